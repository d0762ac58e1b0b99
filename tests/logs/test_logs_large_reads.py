"""Reads whose cost must not grow with the file: a run's newest page of events, the newest
sessions, the LLM calls of a time window; the indexes behind them, and files of the schema
before those indexes, upgraded when opened."""

from __future__ import annotations

import asyncio
import random
import sqlite3

import pytest

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.listener.calls import event_pieces
from orvane_devtools.logs import _schema, _sessions

T0 = 1_760_000_000_000
FAR = 2**62  # an `until` every session passes: the summaries take the general road with it


def _event(i: int, run_id: str, ts: int, *, session: str | None = None, event_type: str = "stream.delta",
           payload: dict | None = None, kind: str = "agent_task") -> RuntimeEvent:
    return RuntimeEvent(
        event_id=f"ev-{i:06d}", event_type=event_type, timestamp=ts, source="agent.planner",
        message=f"step {i}", payload=payload or {"n": i},
        meta={"app_id": "demo-app"},
        run={"run_id": run_id, "root_run_id": run_id, "run_kind": kind, "session_id": session,
             "agent_id": "agent-1"},
    )


def _append(service, events: list) -> None:
    async def go() -> None:
        async with service.batch():
            await service.append_events(events, event_pieces(events) or None)

    asyncio.run(go())


def _plans(path: str, statements: list[tuple[str, tuple]]) -> list[str]:
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return [" / ".join(r[3] for r in conn.execute("EXPLAIN QUERY PLAN " + sql, args))
                for sql, args in statements]
    finally:
        conn.close()


@pytest.mark.timeout(60)
class TestOneRunsNewestEvents:
    def test_the_newest_page_is_the_tail_of_the_run_in_time_order(self, open_service, db_path):
        """Timestamps out of arrival order and shared by several events, other runs' events in
        between: the newest ``limit`` events of one run, asked by ``run_id`` or as the only run
        of ``run_ids``, are the tail of all its events ordered by time, then arrival."""
        rng = random.Random(7)
        service = open_service()
        events = []
        for i in range(900):
            run = "long" if i % 3 else f"other-{i % 7}"
            events.append(_event(i, run, T0 + rng.randrange(0, 60)))  # many ties, any order
        _append(service, events)
        mine = [e for e in events if e.run.run_id == "long"]
        by_time = [e.event_id for e in sorted(mine, key=lambda e: e.timestamp)]  # stable: arrival within a tie
        for limit in (1, 50, 599, 600, 1000):
            want = by_time[-limit:]
            assert [e.event_id for e in service.query_events(run_id="long", limit=limit)] == want
            assert [e.event_id for e in service.query_events(run_ids=["long"], limit=limit)] == want
        assert [e.event_id for e in service.query_events(run_ids=["long"])] == by_time
        # Two runs still interleave by time, each run's events in the order the ids name them.
        both = service.query_events(run_ids=["other-1", "long"], limit=30)
        stamps = [e.timestamp for e in both]
        assert stamps == sorted(stamps) and len(both) == 30


@pytest.mark.timeout(120)
class TestNewestSessions:
    def _fill(self, service, rng: random.Random) -> None:
        events = []
        i = 0
        for s in range(60):
            for r in range(rng.randrange(1, 5)):
                for _ in range(rng.randrange(1, 4)):
                    # Few distinct times: sessions whose newest runs tie, at every page boundary.
                    ts = T0 + rng.randrange(0, 12) * 1000
                    events.append(_event(i, f"s{s}-r{r}", ts, session=f"sess-{s:02d}"))
                    i += 1
        for j in range(20):  # runs of no session, and of the empty session id
            events.append(_event(i, f"lone-{j}", T0 + rng.randrange(0, 12) * 1000, session="" if j % 2 else None))
            i += 1
        rng.shuffle(events)
        _append(service, events)

    def test_pages_match_the_grouping_of_every_run(self, open_service):
        """The newest sessions found from the newest runs, page by page and with ``since``, are
        the ones (and the summaries) that grouping every run of the file gives."""
        service = open_service()
        self._fill(service, random.Random(11))
        seen = []
        for limit, offset in ((1, 0), (5, 0), (5, 5), (7, 3), (13, 20), (100, 0), (10, 55), (10, 60), (10, 200)):
            quick = service.session_summaries(limit=limit, offset=offset)
            assert quick == service.session_summaries(until=FAR, limit=limit, offset=offset), (limit, offset)
            seen.append(quick)
        assert len(seen[5]) == 60 and [s["session_id"] for s in seen[1]] == [s["session_id"] for s in seen[5][:5]]
        for since in (T0, T0 + 5000, T0 + 11_000, T0 + 12_000):
            for limit, offset in ((3, 0), (4, 2), (100, 0)):
                assert (service.session_summaries(since=since, limit=limit, offset=offset)
                        == service.session_summaries(since=since, until=FAR, limit=limit, offset=offset))
        assert service.session_summaries(since=T0 + 12_000) == []

    def test_sessions_whose_newest_runs_tie_come_by_id(self, open_service, db_path):
        """Read from the newest run on: a session counts by its newest run (met first), and
        sessions whose newest runs tie come in the order of their ids, whatever the order the
        runs arrived in."""
        service = open_service()
        events = [
            _event(0, "a", T0 + 30, session="sess-b"),
            _event(1, "b", T0 + 20, session="sess-z"),
            _event(2, "c", T0 + 20, session="sess-c"),
            _event(3, "d", T0 + 20, session="sess-a"),
            _event(4, "e", T0 + 10, session="sess-0"),
        ]
        _append(service, events)
        asyncio.run(service.flush())
        conn = sqlite3.connect(f"file:{db_path}?mode=ro", uri=True)
        try:
            assert _sessions._newest_sessions(conn, None, 2) == ["sess-b", "sess-a"]
            assert _sessions._newest_sessions(conn, None, 4) == ["sess-b", "sess-a", "sess-c", "sess-z"]
            assert _sessions._newest_sessions(conn, None, 9) == ["sess-b", "sess-a", "sess-c", "sess-z", "sess-0"]
            assert _sessions._newest_sessions(conn, T0 + 20, 9) == ["sess-b", "sess-a", "sess-c", "sess-z"]
        finally:
            conn.close()


@pytest.mark.timeout(60)
class TestIndexesOfLargeReads:
    def _filled(self, open_service):
        service = open_service()
        events = [_event(i, f"r{i % 40}", T0 + i, session=f"sess-{i % 9}", kind="llm",
                         event_type="llm.completed",
                         payload={"model": "gpt-4o-mini", "usage": {"prompt_tokens": 3, "completion_tokens": 1}})
                  for i in range(200)]
        _append(service, events)
        asyncio.run(service.flush())
        return service

    def test_the_newest_sessions_and_a_windows_calls_are_read_by_index(self, open_service, db_path):
        """No statement of the first page of sessions or of a window's usage scans the runs or
        the calls: with them the page's cost would grow with the whole file."""
        service = self._filled(open_service)
        statements: list[tuple[str, tuple]] = []
        conn = sqlite3.connect(f"file:{db_path}?mode=ro", uri=True)
        conn.set_trace_callback(lambda sql: statements.append(sql))
        try:
            summaries = _sessions.sql_session_summaries(conn, session_id=None, app_id=None, since=None, until=None,
                                                        search=None, limit=3, offset=0)
            usage = _sessions.sql_usage(conn, T0 + 10, T0 + 19)
        finally:
            conn.close()
        assert [s["session_id"] for s in summaries] == ["sess-1", "sess-0", "sess-8"]
        assert sum(row["calls"] for row in usage) == 10
        plans = _plans(db_path, [(sql, ()) for sql in statements if sql.lstrip().upper().startswith("SELECT")])
        # The one scan allowed: the walk of the newest runs' sessions, which stops early.
        walk = "SCAN runs USING COVERING INDEX runs_session_order"
        scans = [p for p in plans
                 if any(step.startswith(("SCAN runs", "SCAN r", "SCAN l", "SCAN llm_calls", "SCAN m"))
                        and step != walk for step in p.split(" / "))]
        assert len(plans) >= 5 and not scans, plans
        assert any("runs_session_order" in p for p in plans), plans
        assert any("COVERING INDEX llm_calls_usage" in p for p in plans), plans
        assert service.llm_usage(T0 + 10, T0 + 19) == usage

    def test_a_file_of_the_schema_before_gains_the_indexes_and_answers_the_same(self, open_service, db_path):
        service = self._filled(open_service)
        before = (service.session_summaries(limit=5), service.llm_usage(T0, None),
                  [e.event_id for e in service.query_events(run_id="r3", limit=3)])
        service.close(10)
        # The file as schema version 5 wrote it: the same tables without the two indexes and the
        # calls' usage columns.
        conn = sqlite3.connect(db_path)
        conn.execute("DROP INDEX runs_session_order")
        conn.execute("DROP INDEX llm_calls_usage")
        for column in ("cost_pico", "failed_calls", "timed_ms"):
            conn.execute(f"ALTER TABLE llm_calls DROP COLUMN {column}")
        conn.execute("UPDATE meta SET value = 5 WHERE key = 'schema_version'")
        conn.execute("PRAGMA user_version = 5")
        conn.commit()
        conn.close()
        again = open_service()
        assert (again.session_summaries(limit=5), again.llm_usage(T0, None),
                [e.event_id for e in again.query_events(run_id="r3", limit=3)]) == before
        conn = sqlite3.connect(f"file:{db_path}?mode=ro", uri=True)
        try:
            names = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index'")}
            assert conn.execute("PRAGMA user_version").fetchone()[0] == _schema.SCHEMA_VERSION == 8
            assert conn.execute("SELECT value FROM meta WHERE key = 'schema_version'").fetchone()[0] == 8
            columns = {r[1] for r in conn.execute("PRAGMA table_info(llm_calls)")}
        finally:
            conn.close()
        assert {"runs_session_order", "llm_calls_usage"} <= names and "llm_calls_at" not in names
        assert {"cost_pico", "failed_calls", "timed_ms"} <= columns
