"""How the log database's writer derives run records: the run store's `_derive_record` gives the
same records, statuses and links as `append_event`, for every kind of run context; what the writer
is handed holds no event; a context changed by its owner after an append changes nothing stored."""

from __future__ import annotations

import asyncio
import enum
import random
import sys

import pytest

from logs_helpers import Stream, append_all
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService
from orvane_devtools.observation.Tallybook import RuntimeTallybook


class Kind(enum.Enum):
    TASK = "agent_task"


def derive(store: RuntimeTallybook, e: RuntimeEvent):
    return store._derive_record(e.event_type, e.timestamp, e.source, e.message, e.meta, e.run)


@pytest.mark.parametrize("seed", range(4))
def test_same_records_as_append_event(seed):
    events = [e for e in Stream(seed, 400, pool=6 if seed % 2 else 0).events if e.run is not None]
    appended, derived = RuntimeTallybook(1), RuntimeTallybook(1)
    for e in events:
        appended.append_event(e)
        status = derive(derived, e)
        assert status == appended.get_run(e.run.run_id).status
    assert [r.model_dump_json() for r in derived.list_runs()] == [r.model_dump_json() for r in appended.list_runs()]
    assert derived._children_by_parent == appended._children_by_parent
    # Nothing of the events is kept.
    assert derived.get_recent_events() == [] and derived.get_run_events(events[0].run.run_id) == []


def test_contexts_of_every_shape_and_a_dict_standing_for_the_context():
    rng = random.Random(5)
    appended, derived, by_dict = RuntimeTallybook(), RuntimeTallybook(), RuntimeTallybook()
    contexts = [
        RuntimeRunContext(run_id="a", run_kind=Kind.TASK, meta={"flow_name": "f", "n": [1, {"x": 2}]}),
        RuntimeRunContext(run_id="a", run_kind="agent_task", parent_run_id="p", meta={"app_id": 7}),
        RuntimeRunContext(run_id="b", run_kind="tool", root_run_id="a", parent_run_id="a", agent_name="Zed"),
    ]
    for i in range(60):
        ctx = rng.choice(contexts)
        e = RuntimeEvent(event_id=f"e{i}", event_type=rng.choice(["agent_task.started", "stream.delta",
                                                                  "agent_task.failed", "agent_task.completed"]),
                         timestamp=1000 + i, source="s", message=f"m{i}", run=ctx,
                         meta=rng.choice([{}, {"app_id": "x", "environment": "prod"}, {"group_id": 3}]))
        appended.append_event(e)
        derive(derived, e)
        by_dict._derive_record(e.event_type, e.timestamp, e.source, e.message, e.meta, dict(ctx.__dict__))
    expected = [r.model_dump_json() for r in appended.list_runs()]
    assert [r.model_dump_json() for r in derived.list_runs()] == expected
    assert [r.model_dump_json() for r in by_dict.list_runs()] == expected


def test_refusals_leave_the_store_as_it_was():
    store = RuntimeTallybook()
    e = RuntimeEvent(event_id="e", event_type="stream.delta", timestamp=1, run=RuntimeRunContext(run_id="r"))
    with pytest.raises(TypeError, match="timestamp"):
        store._derive_record(e.event_type, "soon", e.source, e.message, e.meta, e.run)
    with pytest.raises(ValueError, match="run context"):
        store._derive_record(e.event_type, 1, e.source, e.message, e.meta, None)
    assert store.list_runs() == []
    assert derive(store, e) == store.get_run("r").status
    assert store.get_run("r").event_count == 1


def test_queued_events_hold_no_event_objects(open_service):
    """The prepared form waits in the writer's queue: it must not keep the event, its payload or
    its meta alive (they would age into the collector's older generations)."""
    service = open_service()
    store = service._store
    payload = {"nested": {"list": [1, 2, {"k": "v"}]}}
    ctx = RuntimeRunContext(run_id="r", run_kind="agent_task", meta={"flow_name": "f"})
    events = [RuntimeEvent(event_id=f"e{i}", event_type="stream.delta", timestamp=1000 + i, run=ctx,
                           payload=payload, meta={"app_id": "a"}) for i in range(3)]
    held = (events[2], events[2].payload, events[2].meta, ctx, ctx.meta)
    before = [sys.getrefcount(o) for o in held]
    prepared = [store.prepare(e) for e in events]
    after = [sys.getrefcount(o) for o in held]
    assert after == before
    assert not any(isinstance(x, (RuntimeEvent, RuntimeRunContext)) for p in prepared for x in p)


def test_a_context_changed_after_its_append_changes_nothing_stored(open_service):
    ctx = RuntimeRunContext(run_id="r", run_kind="agent_task", agent_name="Planner", meta={"flow_name": "first"})
    first = RuntimeEvent(event_id="e1", event_type="agent_task.started", timestamp=1000, run=ctx)
    later = RuntimeEvent(event_id="e2", event_type="stream.delta", timestamp=1001,
                         run=RuntimeRunContext(run_id="r", run_kind="agent_task", agent_name="Planner",
                                               meta={"flow_name": "first"}))
    memory = RuntimeLogService(Settings({"logs.max_events": 1000}))
    service = open_service()
    for target in (memory, service):
        append_all(target, [first])
    # The owner reuses its context object for something else.
    ctx.meta["flow_name"] = "second"
    ctx.agent_name = "Other"
    for target in (memory, service):
        append_all(target, [later])
    records = service.query_runs()
    assert [r.model_dump_json() for r in records] == [r.model_dump_json() for r in memory.query_runs()]
    assert records[0].meta["flow_name"] == "first" and records[0].agent_name == "Planner"


def test_contexts_whose_json_hides_their_values_derive_as_in_memory(open_service):
    """Contexts of one run whose JSON is the same while their values differ (an enum kind and its
    text, NaN and none, nested meta) each derive the record from their own values."""
    contexts = [
        dict(run_kind=Kind.TASK), dict(run_kind="agent_task"), dict(run_kind=Kind.TASK),
        dict(run_kind="agent_task", meta={"n": [1, {"x": 2}]}), dict(run_kind="agent_task", meta={"n": [1, {"x": 2}]}),
        dict(run_kind="agent_task", meta={"f": float("nan")}), dict(run_kind="agent_task", meta={"f": None}),
        dict(run_kind="agent_task", meta={"f": 1}), dict(run_kind="agent_task", meta={"f": True}),
        dict(run_kind="agent_task", meta={"f": 1.0}),
    ]
    events = [
        RuntimeEvent(event_id=f"e{i}", event_type="stream.delta", timestamp=1000 + i,
                     run=RuntimeRunContext(run_id="r", agent_name="Planner", **fields))
        for i, fields in enumerate(contexts)
    ]
    memory = RuntimeLogService(Settings({"logs.max_events": 1000}))
    service = open_service()
    records = []
    for e in events:
        append_all(memory, [e])
        append_all(service, [e])
        records.append((service.query_runs()[0].model_dump_json(), memory.query_runs()[0].model_dump_json()))
    assert [a for a, _ in records] == [b for _, b in records]


def test_a_change_inside_a_batch_after_the_append_is_not_derived(open_service):
    """Inside ``batch()`` an append returns before the writer sees the event: the record must be
    derived from the event as it was appended (as its stored JSON is), not as the caller changed
    it afterwards."""
    memory = RuntimeLogService(Settings({"logs.max_events": 1000}))
    service = open_service()

    async def feed(target):
        ctx = RuntimeRunContext(run_id="r", run_kind="agent_task", agent_name="Planner", meta={"flow_name": "first"})
        meta = {"app_id": "shop"}
        async with target.batch():
            await target.append_event(RuntimeEvent(event_id="e1", event_type="agent_task.started", timestamp=1000,
                                                   run=ctx, meta=meta))
            ctx.meta["flow_name"] = "second"
            ctx.agent_name = "Other"
            meta["app_id"] = "elsewhere"

    for target in (memory, service):
        asyncio.run(feed(target))
    record = service.query_runs()[0]
    assert record.model_dump_json() == memory.query_runs()[0].model_dump_json()
    assert (record.meta["flow_name"], record.agent_name, record.meta["app_id"]) == ("first", "Planner", "shop")
    stored = service.query_events()[0]
    assert stored.run.meta["flow_name"] == "first" and stored.meta["app_id"] == "shop"
