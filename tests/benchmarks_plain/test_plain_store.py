"""The plain run store answers as RuntimeTallybook does, over seeded random event sequences and
the boundaries of its derivation, so that the benchmark rows compare equal work."""

from __future__ import annotations

import random

import pytest
from plain import PlainTallybook

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.Tallybook import RuntimeTallybook

T0 = 1_760_000_000_000
TYPES = ["agent_task.started", "agent_task.completed", "stream.delta", "tool_call_failed", "agent_task.waiting",
         "agent_task.raised", "run.resumed", "agent_task.completed.failed", "note", "llm_retrying"]
PAYLOADS = [None, {"path": "a.b", "value": {"text": "Grüße STRASSE", "n": 2}}, [1, 2.5, "x"], "plain text",
            {"items": [{"k": "v"}, None, True]}, 42]


def random_events(seed: int, n: int = 120) -> list[RuntimeEvent]:
    rnd = random.Random(seed)
    runs = [("r0", None), ("r1", "r0"), ("r2", "r0"), ("r3", "r1"), ("r4", None), ("r5", "r4"), ("r6", "r9")]
    events = []
    for i in range(n):
        run_id, parent = rnd.choice(runs)
        run = None
        if rnd.random() > 0.05:
            run = RuntimeRunContext(
                run_id=run_id, parent_run_id=parent, root_run_id=rnd.choice([None, "r0", run_id]),
                run_kind=rnd.choice(["agent_task", "tool"]), agent_id=rnd.choice([None, "agent-1", "agent-2"]),
                agent_name=rnd.choice([None, "Planner", "Critic"]), session_id=rnd.choice([None, "s1"]),
                meta=rnd.choice([{}, {"app_id": "app-a", "flow_name": "answer"}, {"group_id": "g1"}]))
        events.append(RuntimeEvent(
            event_id=f"e{seed}-{i}", event_type=rnd.choice(TYPES), timestamp=T0 + rnd.randrange(0, 50),
            source=rnd.choice([None, "agent.planner", "tool.search"]), message=rnd.choice([None, f"Step {i} ÉTÉ"]),
            payload=rnd.choice(PAYLOADS), error=rnd.choice([None, {"code": 3}]),
            meta=rnd.choice([{}, {"app_id": "app-b"}, {"environment": "prod", "x": 1}]), run=run))
    return events


def both(events, max_events: int = 30):
    native, plain = RuntimeTallybook(max_events), PlainTallybook(max_events)
    for ev in events:
        native.append_event(ev)
        plain.append_event(ev)
    return native, plain


def dumps(items):
    return [x.model_dump(mode="json") for x in items]


@pytest.mark.parametrize("seed", range(6))
def test_random_sequences_give_the_same_records_texts_and_queries(seed):
    native, plain = both(random_events(seed))
    assert dumps(native.list_runs()) == dumps(plain.list_runs())
    assert native._search_cache_by_run == plain._search_cache_by_run
    for kwargs in ({"search": "planner"}, {"search": "  GRÜSSE "}, {"search": "e%d-7" % seed},
                   {"app_id": "app-b"}, {"app_id_pattern": "^app-"}, {"app_id_pattern": "("},
                   {"group_id": "g1"}, {"flow_name": "answer"}, {"status": "failed"}, {"parent_run_id": "r0"},
                   {"since": T0 + 20, "until": T0 + 22}, {"since": T0 + 49}, {"limit": 3}, {"limit": -2},
                   {"limit": 0}, {"run_kind": "tool", "agent_id": "agent-1"}):
        assert dumps(native.list_runs(**kwargs)) == dumps(plain.list_runs(**kwargs)), kwargs
    for run_id in ("r0", "r1", "r4", "r9", "nope"):
        assert (native.get_run(run_id) is None) == (plain.get_run(run_id) is None)
        if plain.get_run(run_id) is not None:
            assert native.get_run(run_id).model_dump() == plain.get_run(run_id).model_dump()
        # Children with equal sort keys come in no fixed order: compare them as sets.
        assert {r.run_id for r in native.get_run_children(run_id)} == \
            {r.run_id for r in plain.get_run_children(run_id)}
        assert native._collect_descendant_run_ids(run_id) == plain._collect_descendant_run_ids(run_id)
        for kwargs in ({}, {"include_descendants": True}, {"include_descendants": True, "limit": 5},
                       {"limit": 0}, {"limit": -3}):
            assert dumps(native.get_run_events(run_id, **kwargs)) == dumps(plain.get_run_events(run_id, **kwargs))
    assert dumps(native.get_recent_events(limit=7)) == dumps(plain.get_recent_events(limit=7))
    assert native.get_event(f"e{seed}-119").model_dump() == plain.get_event(f"e{seed}-119").model_dump()
    assert native.get_event(f"e{seed}-0") is None and plain.get_event(f"e{seed}-0") is None  # left the ring


def run_event(event_type: str, run_id: str, ts: int, **fields) -> RuntimeEvent:
    run = RuntimeRunContext(run_id=run_id, run_kind="agent_task", **fields.pop("run", {}))
    return RuntimeEvent(event_type=event_type, timestamp=ts, run=run, **fields)


def test_derivation_boundaries_match_the_native_store():
    events = [
        run_event("agent_task.started", "a", T0, run={"agent_id": "x", "meta": {"app_id": "run-app"}},
                  meta={"app_id": "event-app"}),
        run_event("agent_task.completed", "a", T0 + 5, run={"agent_id": None}),
        run_event("agent_task.started", "a", T0 + 9),
        run_event("stream.delta", "a", T0 + 12),
    ]
    native, plain = both(events, max_events=2)
    record = plain.get_run("a")
    assert record.model_dump() == native.get_run("a").model_dump()
    assert (record.status, record.event_count, record.started_at, record.completed_at) == ("running", 4, T0, T0 + 5)
    assert record.agent_id == "x" and record.root_run_id == "a" and record.meta["app_id"] == "event-app"
    assert len(plain.get_run_events("a")) == 2 and len(plain.get_recent_events()) == 2


def test_returned_records_and_events_are_copies():
    plain = PlainTallybook(10)
    plain.append_event(run_event("agent_task.started", "a", T0, meta={"app_id": "one"}))
    plain.list_runs()[0].meta["app_id"] = "changed"
    plain.get_run("a").meta["app_id"] = "changed"
    plain.get_run_events("a")[0].meta["app_id"] = "changed"
    assert plain.get_run("a").meta["app_id"] == "one"
    assert plain.get_run_events("a")[0].meta["app_id"] == "one"


@pytest.mark.timeout(10)
def test_a_looping_parent_chain_ends_the_descendant_walk():
    plain = PlainTallybook(10)
    plain.append_event(run_event("agent_task.started", "a", T0, run={"parent_run_id": "b"}))
    plain.append_event(run_event("agent_task.started", "b", T0, run={"parent_run_id": "a"}))
    assert plain._collect_descendant_run_ids("a") == ["a", "b"]
    assert [e.run.run_id for e in plain.get_run_events("a", include_descendants=True)] == ["a", "b"]
