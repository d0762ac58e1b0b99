"""Span runs join the run tree in any order of arrival: the log service on a real file, fed
spans through the mapping (as the listener feeds it) and our own runs through ``append_events``,
one transaction per step, the reads after each step through the service's readers (whose kept
records and tree shapes must follow every change)."""

from __future__ import annotations

import asyncio
import itertools
import sqlite3

import pytest
from otlp_ingest_helpers import log_record, logs_of, logs_request, sid, span, spans_of, tid, trace_request

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.listener.otlp.mapping import map_logs, map_spans
from orvane_devtools.logs import RuntimeLogService, _schema
from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for

T = tid(0x51)


@pytest.fixture
def service(tmp_path):
    s = RuntimeLogService(Settings({"logs.path": str(tmp_path / "log.sqlite3")}))
    yield s
    s.close()


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 30))


def send_spans(service, *spans):
    mapped = map_spans(spans_of(trace_request(list(spans))), known=service.span_runs)
    stored, _dups, refused = run(service.append_spans(mapped.groups, mapped.links))
    assert not refused and not mapped.rejected
    return stored


def send_logs(service, *records):
    mapped = map_logs(logs_of(logs_request(list(records))), known=service.span_runs)
    run(service.append_spans(mapped.groups, mapped.links))
    return mapped


def our_event(run_id, i=0, *, parent=None, root=None, event_type="agent_task.started"):
    return RuntimeEvent(event_id=f"{run_id}-{i}", event_type=event_type, timestamp=1_760_000_000_000 + i,
                        run={"run_id": run_id, "root_run_id": root or run_id, "parent_run_id": parent,
                             "run_kind": "agent_task"})


def send_ours(service, *events):
    run(service.append_events(list(events)))


def links(service, run_id):
    rows = service.query_runs(run_id=run_id)
    assert rows, f"no run {run_id}"
    return rows[0].parent_run_id, rows[0].root_run_id


def otel(n, trace=T):
    return f"otel-{trace}-{sid(n)}"


def file_rows(service, sql):
    conn = sqlite3.connect(service.path)
    try:
        return conn.execute(sql).fetchall()
    finally:
        conn.close()


# -- spans among spans ---------------------------------------------------------------------------

CHAIN = [(3, 2), (2, 1), (1, None)]  # child, parent


@pytest.mark.parametrize("order", list(itertools.permutations(range(3))))
def test_a_chain_of_spans_in_separate_requests_in_every_order(service, order):
    for i in order:
        child, parent = CHAIN[i]
        send_spans(service, span(T, sid(child), sid(parent) if parent else ""))
        # Read after every step: the readers' kept shape must follow the changes.
        service.collect_descendant_run_ids(otel(1))
    assert links(service, otel(3)) == (otel(2), otel(1))
    assert links(service, otel(2)) == (otel(1), otel(1))
    assert links(service, otel(1)) == (None, otel(1))
    assert service.collect_descendant_run_ids(otel(1)) == [otel(1), otel(2), otel(3)]
    assert file_rows(service, "SELECT * FROM span_waits") == []


def test_a_waiting_subtree_takes_its_root_when_the_chain_closes(service):
    send_spans(service, span(T, sid(10), sid(9)), span(T, sid(11), sid(10)), span(T, sid(12), sid(11)))
    # Everything under the missing 9 waits with 9's span run id as its provisional root.
    assert {links(service, otel(n))[1] for n in (10, 11, 12)} == {otel(9)}
    send_spans(service, span(T, sid(9), sid(8)))
    assert {links(service, otel(n))[1] for n in (9, 10, 11, 12)} == {otel(8)}
    send_spans(service, span(T, sid(8)))
    assert {links(service, otel(n))[1] for n in (8, 9, 10, 11, 12)} == {otel(8)}
    assert links(service, otel(9))[0] == otel(8)
    # Records, tree and children read through the readers show the new links.
    assert [r.run_id for r in service.query_runs(root_run_id=otel(8))].count(otel(12)) == 1
    assert [r.run_id for r in service.query_runs(parent_run_id=otel(9))] == [otel(10)]


def test_the_runs_a_commit_moved_are_handed_on_once(service):
    """``take_moved_runs`` names every run whose parent or root a commit changed -- the one
    that joined, and the runs under its provisional root -- once, and nothing for a commit that
    linked everything at once."""
    send_spans(service, span(T, sid(21), sid(20)), span(T, sid(22), sid(21)))
    assert service.take_moved_runs() == []  # 22 found 21 in its own request: nothing moved
    send_spans(service, span(T, sid(20)))
    assert service.take_moved_runs() == []  # 21 named 20 and took its root from the start
    send_spans(service, span(T, sid(31), sid(30)), span(T, sid(32), sid(31)))
    send_spans(service, span(T, sid(30), sid(29)))  # waits itself: 31 and 32 take 29's run as root
    assert sorted(service.take_moved_runs()) == sorted([otel(31), otel(32)])
    assert service.take_moved_runs() == []
    send_ours(service, our_event("mv-root"))
    stamped = span(trace_id_for("mv-root"), sid(23), span_id_for("mv-step"))
    send_spans(service, stamped)
    send_ours(service, our_event("mv-step", parent="mv-root", root="mv-root"))
    assert service.take_moved_runs() == [f"otel-{trace_id_for('mv-root')}-{sid(23)}"]
    assert RuntimeLogService(Settings({})).take_moved_runs() == []  # in memory: links are not kept


def test_a_span_of_another_trace_with_the_same_span_id_is_not_adopted(service):
    other = tid(0x52)
    send_spans(service, span(other, sid(2), sid(1)))
    send_spans(service, span(T, sid(1)))
    assert links(service, otel(2, other)) == (otel(1, other), otel(1, other))
    assert file_rows(service, "SELECT span_id FROM span_waits") == [(sid(1),)]


# -- our own runs as parents ---------------------------------------------------------------------

def under(run_id, root, n):
    """A span whose parent is our run ``run_id`` (as the bridge makes them)."""
    return span(trace_id_for(root), sid(n), span_id_for(run_id))


@pytest.mark.parametrize("spans_first", [True, False])
def test_our_run_as_the_parent_in_both_orders(service, spans_first):
    spans = (under("agent-1", "root-1", 5), span(trace_id_for("root-1"), sid(6), sid(5)))
    ours = (our_event("root-1"), our_event("agent-1", parent="root-1", root="root-1"))
    if spans_first:
        send_spans(service, *spans)
        assert links(service, otel(5, trace_id_for("root-1")))[0] == f"otel-{trace_id_for('root-1')}-{span_id_for('agent-1')}"
        send_ours(service, *ours)
    else:
        send_ours(service, *ours)
        send_spans(service, *spans)
    trace = trace_id_for("root-1")
    assert links(service, otel(5, trace)) == ("agent-1", "root-1")
    assert links(service, otel(6, trace)) == (otel(5, trace), "root-1")
    assert service.collect_descendant_run_ids("root-1") == ["root-1", "agent-1", otel(5, trace), otel(6, trace)]


def test_our_run_arriving_in_the_same_transaction_as_the_spans(service):
    async def both():
        async with service.batch():
            await service.append_events([our_event("agent-2")])
            mapped = map_spans(spans_of(trace_request([under("agent-2", "agent-2", 7)])), known=service.span_runs)
            # Mapped before the run is committed: it waits, and settles in the same commit.
            assert mapped.links.waiting
            return mapped
    mapped = run(both())
    run(service.append_spans(mapped.groups, mapped.links))
    assert links(service, otel(7, trace_id_for("agent-2"))) == ("agent-2", "agent-2")


def test_a_parent_committed_between_mapping_and_commit_is_found_at_commit(service):
    waiting = map_spans(spans_of(trace_request([span(T, sid(21), sid(20))])), known=service.span_runs)
    assert waiting.links.waiting  # nothing stored yet
    send_spans(service, span(T, sid(20), sid(19)))
    run(service.append_spans(waiting.groups, waiting.links))
    # Its parent exists now; its root is its parent's (itself waiting for 19).
    assert links(service, otel(21)) == (otel(20), otel(19))
    send_spans(service, span(T, sid(19)))
    assert links(service, otel(21)) == (otel(20), otel(19))
    assert links(service, otel(20)) == (otel(19), otel(19))


def test_the_stamped_root_places_a_waiting_span_in_the_tree_at_once(service):
    send_ours(service, our_event("root-3"))
    stamped = span(trace_id_for("root-3"), sid(8), span_id_for("agent-3"),
                   attributes={"orvane.run.parent_id": "agent-3", "orvane.run.root_id": "root-3"})
    send_spans(service, stamped)
    trace = trace_id_for("root-3")
    assert links(service, otel(8, trace)) == ("agent-3", "root-3")
    # Among the root's runs, not reachable from it: what the tree shows as detached.
    assert otel(8, trace) in [r.run_id for r in service.query_runs(root_run_id="root-3")]
    assert otel(8, trace) not in service.collect_descendant_run_ids("root-3")
    send_ours(service, our_event("agent-3", parent="root-3", root="root-3"))
    assert otel(8, trace) in service.collect_descendant_run_ids("root-3")
    assert file_rows(service, "SELECT * FROM span_waits") == []


def test_our_own_runs_are_unchanged_by_the_link_step(service):
    # A run of ours that names an odd parent keeps it: only span runs are moved.
    send_ours(service, our_event("x-1", parent=f"otel-{T}-{span_id_for('x-2')}", root=f"otel-{T}-{span_id_for('x-2')}"))
    send_ours(service, our_event("x-2"))
    assert links(service, "x-1") == (f"otel-{T}-{span_id_for('x-2')}",) * 2
    assert file_rows(service, "SELECT span_id, run_id FROM aliases ORDER BY run_id") == [
        (span_id_for("x-1"), "x-1"), (span_id_for("x-2"), "x-2")]


# -- log records before their spans --------------------------------------------------------------

def test_a_log_record_before_its_span_opens_the_run_the_span_then_completes(service):
    record = log_record("thinking", trace=T, span_id=sid(31), at=1_760_000_000_500_000_000)
    send_logs(service, record)
    assert links(service, otel(31)) == (None, otel(31))
    # A child span arrives meanwhile, under the run the record opened.
    send_spans(service, span(T, sid(32), sid(31)))
    send_spans(service, span(T, sid(31), sid(30), attributes={"gen_ai.operation.name": "chat"},
                              start=1_760_000_000_000_000_000, end=1_760_000_001_000_000_000))
    rec = service.query_runs(run_id=otel(31))[0]
    assert (rec.parent_run_id, rec.root_run_id, rec.run_kind) == (otel(30), otel(30), "llm")
    assert rec.started_at == 1_760_000_000_000 and rec.status == "completed" and rec.event_count == 3
    assert links(service, otel(32)) == (otel(31), otel(30))
    send_spans(service, span(T, sid(30)))
    assert {links(service, otel(n))[1] for n in (30, 31, 32)} == {otel(30)}
    assert file_rows(service, "SELECT * FROM span_waits") == []
    assert [e.event_type for e in service.query_events(run_id=otel(31))] == ["llm.started", "log", "llm.completed"]


def test_a_log_record_under_our_run_without_a_span_joins_that_run(service):
    send_logs(service, log_record("note", trace=trace_id_for("root-4"), span_id=span_id_for("root-4")))
    send_ours(service, our_event("root-4"))
    opened = f"otel-{trace_id_for('root-4')}-{span_id_for('root-4')}"
    assert links(service, opened) == ("root-4", "root-4")
    # Later records of that span go to the run the first one opened, beside the others.
    mapped = send_logs(service, log_record("later", trace=trace_id_for("root-4"), span_id=span_id_for("root-4")))
    assert mapped.groups[0][0].run.run_id == opened
    # Without such a run, a record of our run's span id is an event of our run itself.
    send_ours(service, our_event("root-5"))
    mapped = send_logs(service, log_record("direct", trace=trace_id_for("root-5"), span_id=span_id_for("root-5")))
    assert mapped.groups[0][0].run.run_id == "root-5"
    assert [e.message for e in service.query_events(run_id="root-5")] == [None, "direct"]


# -- the file ------------------------------------------------------------------------------------

def test_runs_leaving_the_file_take_their_link_rows(tmp_path):
    service = RuntimeLogService(Settings({"logs.path": str(tmp_path / "small.sqlite3"), "logs.max_events": 4}))
    try:
        send_ours(service, our_event("old-1"))
        send_spans(service, span(T, sid(41), sid(40)))  # 2 events, waiting
        send_ours(service, *(our_event("new-1", i) for i in range(4)))
        assert service.query_runs(run_id="old-1") == [] and service.query_runs(run_id=otel(41)) == []
        assert file_rows(service, "SELECT * FROM span_waits") == []
        assert file_rows(service, "SELECT run_id FROM aliases") == [("new-1",)]
    finally:
        service.close()


def test_a_file_of_the_previous_schema_gets_the_link_tables_and_the_aliases_of_its_runs(tmp_path):
    path = tmp_path / "v3.sqlite3"
    service = RuntimeLogService(Settings({"logs.path": str(path)}))
    send_ours(service, our_event("kept-1"), our_event("kept-2", parent="kept-1", root="kept-1"))
    service.close()
    conn = sqlite3.connect(path)
    conn.execute("DROP TABLE aliases")
    conn.execute("DROP TABLE span_waits")
    conn.execute("UPDATE meta SET value = 3 WHERE key = 'schema_version'")
    conn.execute("PRAGMA user_version = 3")
    conn.commit()
    conn.close()
    service = RuntimeLogService(Settings({"logs.path": str(path)}))
    try:
        assert file_rows(service, "PRAGMA user_version") == [(_schema.SCHEMA_VERSION,)]
        assert sorted(file_rows(service, "SELECT run_id FROM aliases")) == [("kept-1",), ("kept-2",)]
        send_spans(service, under("kept-2", "kept-1", 50))
        assert links(service, otel(50, trace_id_for("kept-1"))) == ("kept-2", "kept-1")
    finally:
        service.close()


def test_reset_empties_the_link_tables(service):
    send_ours(service, our_event("r-1"))
    send_spans(service, span(T, sid(61), sid(60)))
    service.reset()
    assert file_rows(service, "SELECT count(*) FROM aliases") == [(0,)]
    assert file_rows(service, "SELECT count(*) FROM span_waits") == [(0,)]
