"""A run's rows across transactions: its texts (heads, contexts, repeated values) made and found
again within one transaction, and its `runs` row kept up to date.

The writer inserts the rows of a transaction's new run texts together, before its events: a text
that comes back within the same transaction (A -> B -> A in one ticket, or across the tickets of
one commit) must find the row made for it earlier, never make a second one, and a transaction
that is rolled back and retried must not point at the rows it never committed. A run's row is
updated in each transaction that touches the run, setting only the columns that may have changed
when the others are as the writer last wrote them.
"""

from __future__ import annotations

import asyncio
import json
import sqlite3
from contextlib import contextmanager

import pytest

from logs_helpers import T0
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService, _maintenance, _schema, _transaction

LONG_A = "the planner weighed three routes against the budget"
LONG_B = "the searcher asked the price tool for fresh figures"


def event(n: int, run: str, agent: str, payload: str, event_type: str = "stream.delta",
          parent: str | None = None, env: str = "local") -> RuntimeEvent:
    return RuntimeEvent(
        event_id=f"e{n}",
        event_type=event_type,
        timestamp=T0 + n,
        source="agent.planner",
        message=f"step {n} by {agent}",
        payload={"text": payload},
        meta={"app_id": "demo-app", "environment": env},
        run=RuntimeRunContext(run_id=run, parent_run_id=parent, run_kind="agent_task", agent_name=agent,
                              session_id="session-1"),
    )


def flip_flop(start: int, run: str, parent: str | None = None) -> list[RuntimeEvent]:
    """A run whose context, record texts and values go A -> B -> A -> B -> A."""
    out = []
    for k, (agent, payload, etype, env) in enumerate([
        ("Planner", LONG_A, "agent_task.started", "local"),
        ("Searcher", LONG_B, "stream.delta", "prod"),
        ("Planner", LONG_A, "stream.delta", "local"),
        ("Searcher", LONG_B, "stream.delta", "prod"),
        ("Planner", LONG_A, "stream.delta", "local"),
        ("Planner", LONG_A, "agent_task.completed", "local"),
    ]):
        out.append(event(start + k, run, agent, payload, etype, parent, env))
    return out


@pytest.fixture
def no_indexing(monkeypatch):
    # Run texts stay in pending_text until asked for, so the writer's count can be checked.
    monkeypatch.setattr(_maintenance, "INDEX_WHEN_IDLE", False)
    monkeypatch.setattr(_maintenance, "INDEX_BATCH", 10**9)


@contextmanager
def one_take(service: RuntimeLogService):
    """Tickets appended inside are taken by the writer together (one transaction, unless one of
    them is refused); yields the list of their futures."""
    writer = service._store._writer
    futures: list = []
    with writer._cond:  # the writer cannot take the queue until every ticket is in it
        yield futures
    for f in futures:
        try:
            f.result(30)
        except Exception:  # noqa: BLE001 - the test looks at each future itself
            pass


def check_rows(path: str, pending_counted: int | None) -> None:
    """Each run text once per run, every key an event names present, every text row's text
    waiting or indexed, and the writer's count of waiting texts right (when given)."""
    conn = sqlite3.connect(path)
    try:
        q = lambda sql: conn.execute(sql).fetchall()  # noqa: E731
        assert q("SELECT run_key, hash, vals FROM heads GROUP BY 1, 2, 3 HAVING count(*) > 1") == []
        for (text,) in q("SELECT vals FROM heads"):  # the JSON of eleven texts, as json.dumps writes it
            values = json.loads(text)
            assert len(values) == 11 and text == json.dumps(values, ensure_ascii=False)
        assert q("SELECT run_key, hash, body FROM contexts GROUP BY 1, 2, 3 HAVING count(*) > 1") == []
        assert q("SELECT seq FROM events WHERE head_id IS NOT NULL AND head_id NOT IN (SELECT head_id FROM heads)"
                 " OR ctx_id IS NOT NULL AND ctx_id NOT IN (SELECT ctx_id FROM contexts)"
                 " OR pay_val IS NOT NULL AND pay_val NOT IN (SELECT val_id FROM vals)"
                 " OR meta_val IS NOT NULL AND meta_val NOT IN (SELECT val_id FROM vals)") == []
        for table, key, index in (("heads", "head_id", "head_text"), ("contexts", "ctx_id", "context_text"),
                                  ("vals", "val_id", "val_text")):
            assert q(f"SELECT {key} FROM {table} WHERE {key} NOT IN (SELECT id FROM pending_text)"
                     f" AND {key} NOT IN (SELECT rowid FROM {index})") == [], table
        adding = (_schema.PENDING_HEAD, _schema.PENDING_CONTEXT, _schema.PENDING_VAL)
        assert q(f"SELECT id FROM pending_text WHERE kind IN {adding} AND id NOT IN (SELECT head_id FROM heads"
                 " UNION ALL SELECT ctx_id FROM contexts UNION ALL SELECT val_id FROM vals)") == []
        # Texts waiting to be forgotten by their index are of rows that left the file, and are in
        # that index still.
        for kind, table, key, index in ((_schema.FORGET_HEAD, "heads", "head_id", "head_text"),
                                        (_schema.FORGET_CONTEXT, "contexts", "ctx_id", "context_text"),
                                        (_schema.FORGET_VAL, "vals", "val_id", "val_text")):
            assert q(f"SELECT id FROM pending_text WHERE kind = {kind} AND (id IN (SELECT {key} FROM {table})"
                     f" OR id NOT IN (SELECT rowid FROM {index}))") == [], index
        assert q(f"SELECT id FROM pending_text WHERE kind = {_schema.FORGET_EVENT} AND (-id IN (SELECT seq FROM events)"
                 " OR -id > (SELECT value FROM meta WHERE key = 'indexed_upto'))") == []
        known = adding + (_schema.FORGET_EVENT, _schema.FORGET_HEAD, _schema.FORGET_CONTEXT, _schema.FORGET_VAL)
        assert q(f"SELECT id, kind FROM pending_text WHERE kind NOT IN {known}"
                 f" OR (kind = {_schema.FORGET_EVENT}) != (id < 0)") == []
        if pending_counted is not None:
            assert conn.execute("SELECT count(*) FROM pending_text").fetchone()[0] == pending_counted
        assert conn.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
    finally:
        conn.close()


def same_answers(service: RuntimeLogService, events: list[RuntimeEvent]) -> None:
    memory = RuntimeLogService(Settings({}))
    asyncio.run(memory.append_events(events))
    assert service.query_runs() == memory.query_runs()
    assert service.query_events() == memory.query_events()
    for run_id in {e.run.run_id for e in events}:
        assert service.query_events(run_id=run_id) == memory.query_events(run_id=run_id)
        assert service.collect_descendant_run_ids(run_id) == memory.collect_descendant_run_ids(run_id)
    for needle in ("searcher", "PLANNER", "weighed three", "fresh figures", "prod", "budget step", "completed"):
        assert service.query_runs(search=needle) == memory.query_runs(search=needle), needle
        assert service.query_events(search=needle) == memory.query_events(search=needle), needle
    for e in events:
        assert service.get_event(e.event_id) == memory.get_event(e.event_id)


def distinct_texts(path: str) -> tuple[int, int, int]:
    conn = sqlite3.connect(path)
    try:
        return tuple(conn.execute(f"SELECT count(*) FROM {t}").fetchone()[0] for t in ("heads", "contexts", "vals"))
    finally:
        conn.close()


@pytest.mark.parametrize("native", [True, False], ids=["native-rows", "python-rows"])
def test_texts_that_come_back_in_one_ticket(native, open_service, db_path, no_indexing, monkeypatch):
    monkeypatch.setattr(_transaction, "NATIVE_ROWS", native)
    service = open_service()
    odd = 'say "hi" \\ back\nslash\t\U0001f680\u2028\x01'
    events = flip_flop(0, "r") + flip_flop(10, "s", parent="r") + [event(40, "q", odd, LONG_A)]
    writer = service._store._writer
    assert asyncio.run(service.append_events(events)) == len(events)
    assert writer.commits == 1
    # Per run: heads Planner/running, Searcher/running, Planner/completed; contexts Planner and
    # Searcher; one repeated value per text (payload A, payload B, meta local, meta prod); and
    # for "q" a head and a context.
    assert distinct_texts(db_path) == (7, 5, 8)
    check_rows(db_path, writer.transaction.pending_texts)
    same_answers(service, events)
    # A later transaction: the completed runs change away (a new head each) and back, to texts
    # found in the file.
    more = [event(30, "r", "Searcher", LONG_B, env="prod"), event(31, "s", "Searcher", LONG_B, parent="r", env="prod"),
            event(32, "r", "Planner", LONG_A), event(33, "s", "Planner", LONG_A, parent="r")]
    asyncio.run(service.append_events(more))
    assert distinct_texts(db_path) == (9, 5, 8)
    check_rows(db_path, writer.transaction.pending_texts)
    same_answers(service, events + more)
    service._store.index_now()
    check_rows(db_path, 0)
    service.close()
    same_answers(open_service(), events + more)


def test_texts_that_come_back_across_the_tickets_of_one_commit(open_service, db_path, no_indexing):
    service = open_service()
    writer = service._store._writer
    store = service._store
    run = flip_flop(0, "r")
    parts = [run[:2], run[2:4], run[4:] + flip_flop(10, "s", parent="r")[:3], flip_flop(10, "s", parent="r")[3:]]
    with one_take(service) as futures:
        for part in parts:
            futures.append(store.append(part))
    assert [f.result(0) for f in futures] == [(len(p), 0) for p in parts]
    assert writer.commits == 1
    assert distinct_texts(db_path) == (6, 4, 8)
    check_rows(db_path, writer.transaction.pending_texts)
    same_answers(service, [e for p in parts for e in p])


@pytest.mark.parametrize("native", [True, False], ids=["native-rows", "python-rows"])
def test_a_ticket_refused_midway_leaves_no_rows_behind(native, open_service, db_path, no_indexing, monkeypatch):
    monkeypatch.setattr(_transaction, "NATIVE_ROWS", native)
    service = open_service()
    writer = service._store._writer
    store = service._store
    asyncio.run(service.append_events([event(100, "old", "Planner", LONG_A)]))
    made = writer.transaction._head_for

    def head_for(state, record):
        if record.agent_name == "Boom":
            raise RuntimeError("refused by the test")
        return made(state, record)

    monkeypatch.setattr(writer.transaction, "_head_for", head_for)
    # The refused ticket makes the same texts, for the same new runs, as the ones after it (the
    # retried transaction hands out the same keys again), then fails.
    refused = flip_flop(200, "r")[:4] + flip_flop(210, "s", parent="r")[:3] + [event(220, "x", "Boom", LONG_A)]
    later = [flip_flop(0, "r")[:3], flip_flop(0, "r")[3:] + flip_flop(10, "s", parent="r"),
             [event(101, "old", "Searcher", LONG_A), event(102, "old", "Planner", LONG_A)]]
    commits = writer.commits
    with one_take(service) as futures:
        futures.append(store.append(refused))
        for part in later:
            futures.append(store.append(part))
    with pytest.raises(RuntimeError, match="refused by the test"):
        futures[0].result(0)
    assert [f.result(0) for f in futures[1:]] == [(len(p), 0) for p in later]
    assert writer.commits == commits + 1
    # (The writer's count of waiting texts still includes the refused transaction's: it only
    # brings the next index step forward.)
    check_rows(db_path, None)
    stored = [event(100, "old", "Planner", LONG_A)] + [e for p in later for e in p]
    same_answers(service, stored)
    # The refused runs' texts came with the refused ticket only: nothing of "x" is stored.
    assert service.query_runs(run_id="x") == [] and service.get_event("e220") is None
    assert service.get_event("e200") is None
    service._store.index_now()
    check_rows(db_path, 0)


def test_run_rows_follow_their_records_across_transactions(open_service, db_path):
    service = open_service()
    memory = RuntimeLogService(Settings({}))
    # One change per transaction (each also moves the runs' times): none, the status, then one
    # indexed column after the other, and back.
    steps = [{}, {}, {"event_type": "agent_task.completed"}, {}, {"agent_id": "agent-8"},
             {"session_id": "session-2"}, {"parent": "p2"}, {"app": "prod"}, {"flow": "plan"},
             {"run_kind": 3}, {"run_kind": "3"}, {"event_type": "agent_task.failed"}, {"agent_id": None}, {}]
    filters = [{"agent_id": "agent-7"}, {"agent_id": "agent-8"}, {"session_id": "session-1"},
               {"session_id": "session-2"}, {"parent_run_id": "p1"}, {"parent_run_id": "p2"}, {"app_id": "demo-app"},
               {"app_id": "prod"}, {"flow_name": "answer"}, {"flow_name": "plan"}, {"run_kind": "agent_task"},
               {"run_kind": "3"}, {"status": "running"}, {"status": "completed"}, {"status": "failed"},
               {"root_run_id": "p1"}, {"root_run_id": "p2"}]
    current = {"agent_id": "agent-7", "session_id": "session-1", "parent": "p1", "app": "demo-app", "flow": "answer",
               "run_kind": "agent_task"}
    for n, step in enumerate(steps):
        current.update({k: v for k, v in step.items() if k != "event_type"})
        batch = []
        for k, run_id in enumerate(["r1", "r2", "r3"]):
            if run_id == "r3" and n % 3:
                continue  # a run left alone by some transactions
            batch.append(RuntimeEvent(
                event_id=f"e{n}-{k}", event_type=step.get("event_type", "stream.delta"), timestamp=T0 + 10 * n + k,
                meta={"app_id": current["app"]},
                run=RuntimeRunContext(run_id=run_id, parent_run_id=current["parent"], run_kind=current["run_kind"],
                                      agent_id=current["agent_id"], session_id=current["session_id"],
                                      meta={"flow_name": current["flow"]}),
            ))
        asyncio.run(service.append_events(batch))
        asyncio.run(memory.append_events(batch))
        assert service.query_runs() == memory.query_runs(), step
        for f in filters:
            assert service.query_runs(**f) == memory.query_runs(**f), (step, f)
    conn = sqlite3.connect(db_path)
    try:
        for record, *columns in conn.execute(
            "SELECT record, root_run_id, parent_run_id, run_kind, status, agent_id, session_id, app_id, flow_name"
            " FROM runs"
        ):
            r = json.loads(record)
            assert columns == [r["root_run_id"], r["parent_run_id"], r["run_kind"], r["status"], r["agent_id"],
                               r["session_id"], r["meta"].get("app_id"), r["meta"].get("flow_name")]
    finally:
        conn.close()
    service.close()
    service = open_service()
    for f in filters:
        assert service.query_runs(**f) == memory.query_runs(**f), f
