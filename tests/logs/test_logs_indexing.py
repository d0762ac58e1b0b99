"""The writer's trigram index steps: run texts waiting in pending_text, the step as one statement
of its own, another writer on the file in between, event rows inserted many to a statement, and
files of schema version 2 brought up to date."""

from __future__ import annotations

import asyncio
import sqlite3

import pytest

from logs_helpers import T0, Stream, append_all
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService, _maintenance, _schema, _transaction
from orvane_devtools.observation.Tallybook import RuntimeTallybook


def file_rows(path: str, sql: str) -> list:
    conn = sqlite3.connect(path)
    try:
        return conn.execute(sql).fetchall()
    finally:
        conn.close()


def run_event(i: int, run: str, **kw) -> RuntimeEvent:
    ctx = kw.pop("ctx", None) or RuntimeRunContext(run_id=run, run_kind="agent_task")
    return RuntimeEvent(event_id=f"{run}-{i}", event_type=kw.pop("event_type", "stream.delta"),
                        timestamp=T0 + i, run=ctx, **kw)


def fts_ok(path: str) -> None:
    """SQLite's own check that every trigram index holds exactly what its texts give."""
    conn = sqlite3.connect(path)
    try:
        for table in ("event_text", "head_text", "context_text", "val_text"):
            conn.execute(f"INSERT INTO {table}({table}) VALUES ('integrity-check')")
        assert conn.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
    finally:
        conn.close()


def quiet_writer(monkeypatch) -> None:
    """No index step unless asked for (index_now), so the tests see texts waiting."""
    monkeypatch.setattr(_maintenance, "INDEX_BATCH", 10**9)
    monkeypatch.setattr(_maintenance, "INDEX_WHEN_IDLE", False)


class TestWaitingRunTexts:
    def events(self) -> list:
        ctx = RuntimeRunContext(run_id="trip", run_kind="agent_task", agent_name="Wanderlust Planner",
                                session_id="sess-Quokka")
        repeated = {"city": "Ouagadougou", "nights": 3, "note": "a payload every event repeats"}
        return [run_event(i, "trip", ctx=ctx, payload=repeated, message=f"step {i}",
                          meta={"app_id": "demo-app", "tag": "Zanzibar holiday meta"}) for i in range(6)]

    NEEDLES = ("wanderlust", "QUOKKA", "ouagadougou", "zanzibar", "a payload every", "step 3")

    def answers(self, service) -> list:
        return [([r.run_id for r in service.query_runs(search=n)],
                 [e.event_id for e in service.query_events(search=n)]) for n in self.NEEDLES]

    def test_found_while_waiting_and_after_the_step(self, open_service, db_path, monkeypatch):
        quiet_writer(monkeypatch)
        service = open_service()
        append_all(service, self.events())
        waiting = file_rows(db_path, "SELECT kind FROM pending_text ORDER BY id")
        # The record texts, the context and the repeated payload and meta wait for the index.
        assert {k for (k,) in waiting} == {_schema.PENDING_HEAD, _schema.PENDING_CONTEXT, _schema.PENDING_VAL}
        assert file_rows(db_path, "SELECT count(*) FROM head_text") == [(0,)]
        before = self.answers(service)
        memory = RuntimeLogService(Settings({}))
        append_all(memory, self.events())
        assert before == self.answers(memory)
        assert all(runs == ["trip"] for runs, _ in before)
        service._store.index_now()
        assert file_rows(db_path, "SELECT count(*) FROM pending_text") == [(0,)]
        assert file_rows(db_path, "SELECT count(*) FROM head_text")[0][0] > 0
        assert self.answers(service) == before
        fts_ok(db_path)

    def test_a_dropped_run_takes_its_waiting_texts(self, open_service, db_path, monkeypatch):
        quiet_writer(monkeypatch)
        service = open_service(logs__max_events=6)
        append_all(service, self.events())
        # Six events of another run push every event of "trip" out, and "trip" with them.
        append_all(service, [run_event(i, "later", message="Kilimanjaro") for i in range(6)])
        kinds = {k for (k,) in file_rows(db_path, "SELECT kind FROM pending_text")}
        ids = {i for (i,) in file_rows(db_path, "SELECT id FROM pending_text")}
        keys = {k for (k,) in file_rows(db_path, "SELECT head_id FROM heads UNION SELECT ctx_id FROM contexts"
                                                   " UNION SELECT val_id FROM vals")}
        assert ids <= keys and _schema.PENDING_HEAD in kinds
        assert service.query_runs(search="wanderlust") == []
        assert [r.run_id for r in service.query_runs(search="kilimanjaro")] == ["later"]
        service._store.index_now()
        fts_ok(db_path)

    def test_reset_forgets_waiting_texts(self, open_service, db_path, monkeypatch):
        quiet_writer(monkeypatch)
        service = open_service()
        append_all(service, self.events())
        service.reset()
        assert file_rows(db_path, "SELECT count(*) FROM pending_text") == [(0,)]
        assert service.query_runs(search="wanderlust") == []
        append_all(service, self.events())
        assert [r.run_id for r in service.query_runs(search="wanderlust")] == ["trip"]

    def test_waiting_texts_kept_across_a_restart(self, open_service, db_path, monkeypatch):
        quiet_writer(monkeypatch)
        first = open_service()
        append_all(first, self.events())
        first.close()
        assert file_rows(db_path, "SELECT count(*) FROM pending_text")[0][0] > 0
        second = open_service()
        assert [r.run_id for r in second.query_runs(search="quokka")] == ["trip"]
        # The reopened writer counts what waits and indexes it with its next step.
        assert second._store._writer.maintenance.index_lag() > 0
        second._store.index_now()
        assert file_rows(db_path, "SELECT count(*) FROM pending_text") == [(0,)]
        assert [r.run_id for r in second.query_runs(search="quokka")] == ["trip"]
        fts_ok(db_path)


class TestIndexStep:
    def test_runs_as_one_transaction_of_its_own(self, open_service, db_path, monkeypatch):
        quiet_writer(monkeypatch)
        service = open_service()
        append_all(service, Stream(5, 300).events)
        writer = service._store._writer
        lag = writer.maintenance.index_lag()
        assert lag > 300 - 1  # every event text and the run texts
        commits = writer.commits
        service._store.index_now()
        counters = dict(file_rows(db_path, "SELECT key, value FROM meta"))
        assert counters["indexed_upto"] == counters["last_seq"] and writer.maintenance.index_lag() == 0
        assert writer.maintenance.index_steps >= 1 and writer.commits == commits
        # The step's statement left no transaction open behind it.
        assert not writer.transaction.conn.in_transaction
        fts_ok(db_path)

    def test_another_writer_in_between(self, open_service, db_path, monkeypatch):
        """A second service appends to the file between the first writer's steps: no text is
        indexed twice or left out, whichever writer runs the step."""
        quiet_writer(monkeypatch)
        a, b = open_service(), open_service()
        stream = Stream(11, 240)
        for k in range(0, 240, 40):
            append_all(a if k % 80 else b, stream.events[k:k + 40])
            (a if k % 120 else b)._store.index_now()
        a._store.index_now()
        b._store.index_now()
        fts_ok(db_path)
        memory = RuntimeLogService(Settings({}))
        append_all(memory, stream.events)
        for needle in ("plan", "Straße", "evt-0001", "multi-agent", "resp-3"):
            assert ([e.event_id for e in a.query_events(search=needle, limit=1000)]
                    == [e.event_id for e in memory.query_events(search=needle, limit=1000)])
            assert sorted(r.run_id for r in b.query_runs(search=needle)) == sorted(
                r.run_id for r in memory.query_runs(search=needle))

    def test_a_busy_file_falls_back_to_a_transaction_that_waits(self, open_service, db_path, monkeypatch):
        quiet_writer(monkeypatch)
        service = open_service()
        append_all(service, Stream(3, 80).events)
        writer = service._store._writer
        real = writer.transaction.conn
        failed = []

        class Busy:
            """The step's lone statement meets a busy file once; the rest passes through."""

            def __getattr__(self, name):
                return getattr(real, name)

            def execute(self, sql, *args):
                if sql.startswith("INSERT INTO index_step") and not real.in_transaction and not failed:
                    failed.append(sql)
                    raise sqlite3.OperationalError("database is locked")
                return real.execute(sql, *args)

        writer.transaction.conn = Busy()
        try:
            service._store.index_now()
        finally:
            writer.transaction.conn = real
        assert failed and writer.maintenance.index_lag() == 0
        counters = dict(file_rows(db_path, "SELECT key, value FROM meta"))
        assert counters["indexed_upto"] == counters["last_seq"]
        fts_ok(db_path)


def fts_levels(path: str, table: str) -> list[int]:
    """The number of segments on each level of an FTS5 index, read from its structure record
    (rowid 10 of its _data table: a cookie, an optional version marker, then varints)."""
    conn = sqlite3.connect(path)
    try:
        data = conn.execute(f"SELECT block FROM {table}_data WHERE id = 10").fetchone()[0]
    finally:
        conn.close()
    pos = 4
    v2 = data[4:8] == b"\xff\x00\x00\x01"
    if v2:
        pos += 4

    def varint() -> int:
        nonlocal pos
        value = 0
        for k in range(9):
            byte = data[pos]
            pos += 1
            if k == 8:
                return (value << 8) | byte
            value = (value << 7) | (byte & 0x7F)
            if not byte & 0x80:
                return value
        raise AssertionError("unreachable")

    n_levels, _segments, _writes = varint(), varint(), varint()
    if v2:
        varint()  # the origin counter
    levels = []
    for _ in range(n_levels):
        varint()  # segments of this level being merged into the next
        n_segments = varint()
        for _ in range(n_segments):
            for _ in range(8 if v2 else 3):
                varint()
        levels.append(n_segments)
    assert pos == len(data), "structure record not read to its end"
    return levels


def fts_settings(path: str, table: str) -> dict:
    return dict(file_rows(path, f"SELECT k, v FROM {table}_config WHERE k IN ('automerge', 'usermerge')"))


MERGE_SETTINGS = {"automerge": 0, "usermerge": _schema.MERGE_SEGMENTS}


class TestMergedInSteps:
    """The trigram indexes merge their segments only in the index steps, a bounded amount each:
    every level keeps fewer segments than the merge threshold, the indexes stay whole, and a file
    whose indexes still merged by themselves is set so by its writer."""

    def feed_in_steps(self, service, stream: Stream, steps: int) -> None:
        per = len(stream.events) // steps
        for k in range(steps):
            append_all(service, stream.events[k * per:(k + 1) * per])
            service._store.index_now()

    def test_each_level_stays_under_the_threshold(self, open_service, db_path, monkeypatch):
        quiet_writer(monkeypatch)
        service = open_service()
        stream = Stream(17, 1200, n_runs=60, pool=12)
        steps = 60
        self.feed_in_steps(service, stream, steps)
        for table in _schema.FTS_TABLES:
            assert fts_settings(db_path, table) == MERGE_SETTINGS, table
        levels = fts_levels(db_path, "event_text")
        # A segment per step: sixty of them merged down to a handful on each level.
        assert max(levels) <= _schema.MERGE_SEGMENTS and sum(levels) < steps // 3, levels
        for table in ("head_text", "context_text", "val_text"):
            assert max(fts_levels(db_path, table)) <= _schema.MERGE_SEGMENTS, table
        fts_ok(db_path)
        memory = RuntimeLogService(Settings({}))
        append_all(memory, stream.events)
        for needle in ("plan", "evt-00", "multi-agent", "resp-3", "Straße"):
            assert ([e.event_id for e in service.query_events(search=needle, limit=2000)]
                    == [e.event_id for e in memory.query_events(search=needle, limit=2000)]), needle
            assert sorted(r.run_id for r in service.query_runs(search=needle)) == sorted(
                r.run_id for r in memory.query_runs(search=needle)), needle

    def test_a_file_whose_indexes_merged_by_themselves_is_set_by_its_writer(self, open_service, db_path,
                                                                              monkeypatch):
        quiet_writer(monkeypatch)
        stream = Stream(23, 600, n_runs=30, pool=8)
        first = open_service()
        self.feed_in_steps(first, stream, 20)
        first.close(10)
        # As a file of an earlier release: the event index merging by itself in groups of
        # eight, the run texts' indexes with FTS5's defaults.
        conn = sqlite3.connect(db_path)
        try:
            conn.execute("INSERT INTO event_text(event_text, rank) VALUES ('automerge', 8)")
            conn.execute("DELETE FROM event_text_config WHERE k = 'usermerge'")
            for table in ("head_text", "context_text", "val_text"):
                conn.execute(f"DELETE FROM {table}_config WHERE k IN ('automerge', 'usermerge')")
            conn.commit()
        finally:
            conn.close()
        assert fts_settings(db_path, "event_text") == {"automerge": 8}
        again = open_service()
        for table in _schema.FTS_TABLES:
            assert fts_settings(db_path, table) == MERGE_SETTINGS, table
        more = Stream(29, 600, n_runs=30, pool=8)
        for ev in more.events:
            ev.event_id = "b-" + ev.event_id
        self.feed_in_steps(again, more, 20)
        assert max(fts_levels(db_path, "event_text")) <= _schema.MERGE_SEGMENTS
        fts_ok(db_path)

    def test_a_file_too_busy_to_be_set_still_opens(self, open_service, db_path, monkeypatch):
        """Setting the merging is a write at the writer's start: a file another process keeps
        busy past the timeout opens all the same (its indexes merge by themselves until the
        next writer), and the failure is kept for stats()."""
        def busy(conn):
            raise sqlite3.OperationalError("database is locked")

        monkeypatch.setattr(_maintenance, "merge_in_steps", busy)
        service = open_service()
        append_all(service, Stream(5, 40).events)
        assert service.stats()["events"] == 40
        assert "database is locked" in (service.stats()["last_error"] or "")


class TestRowsPerStatement:
    @pytest.mark.parametrize("most", [1, 4, 64])
    def test_every_batch_size(self, open_service, db_path, monkeypatch, most):
        monkeypatch.setattr(_transaction, "INSERT_ROWS", most)
        service = open_service()
        ids = []
        for size in (1, 3, 4, 5, 63, 64, 65, 130, 257):
            batch = [run_event(len(ids) + i, f"r{size}", message=f"m{len(ids) + i}") for i in range(size)]
            ids += [e.event_id for e in batch]
            asyncio.run(service.append_events(batch))
        assert [i for (i,) in file_rows(db_path, "SELECT event_id FROM events ORDER BY seq")] == ids
        assert service.stats()["events"] == len(ids)
        record = service.query_runs(run_id="r257")[0]
        fresh = RuntimeTallybook(1000)
        for e in service.query_events(run_id="r257", limit=1000):
            fresh.append_event(e)
        assert record == fresh.get_run("r257") and record.event_count == 257

    def test_within_what_sqlite_allows(self, open_service, monkeypatch):
        """A build of SQLite with few parameters per statement gets smaller statements."""
        real = _schema.open_writer

        def few_parameters(path, synchronous):
            conn, counters = real(path, synchronous)
            conn.setlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER, 100)
            return conn, counters

        monkeypatch.setattr("orvane_devtools.logs._sqlite.open_writer", few_parameters)
        service = open_service()
        assert service._store._writer.transaction._insert_max == 4
        asyncio.run(service.append_events([run_event(i, "r", message=f"m{i}") for i in range(23)]))
        assert service.query_runs(run_id="r")[0].event_count == 23


def make_version_2(path: str) -> None:
    """The file as version 2 left it: no pending_text (it indexed run texts at once)."""
    conn = sqlite3.connect(path, isolation_level=None)
    try:
        assert conn.execute("SELECT count(*) FROM pending_text").fetchone()[0] == 0
        conn.execute("DROP TABLE pending_text")
        conn.execute("UPDATE meta SET value = 2 WHERE key = 'schema_version'")
        conn.execute("PRAGMA user_version = 2")
    finally:
        conn.close()


class TestVersion2Files:
    def test_brought_up_to_date_and_read_as_before(self, open_service, db_path):
        stream = Stream(7, 200)
        first = open_service()
        append_all(first, stream.events[:150])
        first._store.index_now()
        before = ([r.run_id for r in first.query_runs(search="plan")],
                  [e.event_id for e in first.query_events(search="answer", limit=500)])
        first.close()
        make_version_2(db_path)
        second = open_service()
        assert file_rows(db_path, "PRAGMA user_version") == [(_schema.SCHEMA_VERSION,)]
        assert dict(file_rows(db_path, "SELECT key, value FROM meta"))["schema_version"] == _schema.SCHEMA_VERSION
        assert ([r.run_id for r in second.query_runs(search="plan")],
                [e.event_id for e in second.query_events(search="answer", limit=500)]) == before
        append_all(second, stream.events[150:])
        memory = RuntimeLogService(Settings({}))
        append_all(memory, stream.events)
        assert ([e.event_id for e in second.query_events(search="plan", limit=500)]
                == [e.event_id for e in memory.query_events(search="plan", limit=500)])
        second._store.index_now()
        fts_ok(db_path)

    def test_an_upgrade_that_another_writer_made_first(self, open_service, db_path):
        """Two writers that both read version 2 before either upgraded: the second's upgrade
        finds the table there and only sets the version again."""
        first = open_service()
        append_all(first, Stream(2, 30).events)
        first._store.index_now()
        first.close()
        make_version_2(db_path)
        conn = sqlite3.connect(db_path, isolation_level=None)
        try:
            _schema._upgrade(conn, db_path, 2)
            _schema._upgrade(conn, db_path, 2)
        finally:
            conn.close()
        service = open_service()
        assert service.stats()["events"] == 30
        assert file_rows(db_path, "PRAGMA user_version") == [(_schema.SCHEMA_VERSION,)]
