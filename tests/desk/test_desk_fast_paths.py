"""The facade reads the master switch and the de-duplication window through its own methods and
orvane.utils.Settings without Python frames; these cases pin that the results stay those of the
Python methods, and that replaced methods are still honoured."""

from __future__ import annotations

import asyncio
import collections
import types

import pytest
from desk_fakes import make_event

from orvane import utils
from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk

RuntimeTraceDesk = TraceDesk.RuntimeTraceDesk


@pytest.mark.parametrize(
    "values, expected",
    [
        ({}, True),
        ({"observation.enabled": False}, False),
        ({"observation": {"enabled": False}}, False),
        ({"observation": {"enabled": 0}, "observation.enabled": 1}, True),  # flat wins
        ({"observation": {"other": 1}}, True),
        ({"observation": "not a mapping"}, True),
        ({"observation": types.MappingProxyType({"enabled": False})}, False),
        ({"observation": {"enabled": None}}, None),
        ({"observation": {"enabled": []}}, []),
    ],
)
def test_master_switch_matches_settings_get(stores, values, expected):
    settings = Settings(values)
    assert settings.get("observation.enabled", True) == expected
    desk = RuntimeTraceDesk(settings)
    assert desk._is_enabled() is bool(expected)
    assert asyncio.run(desk.append_event(make_event(1))) is bool(expected)


def test_dotted_prefixes_are_tried_from_the_right(stores, tmp_path):
    path = str(tmp_path / "e.jsonl")
    # "observation.jsonl" holds "enabled" and "path"; the nested "observation" does not.
    desk = RuntimeTraceDesk(Settings({"observation.jsonl": {"enabled": True, "path": path},
                                      "observation": {"jsonl": {}, "enabled": False}}))
    assert [b.path.name for b in desk._backends] == ["e.jsonl"]
    assert desk._is_enabled() is False


def test_replaced_get_and_lookup_are_used(stores, monkeypatch):
    settings = Settings({"observation.enabled": True})
    desk = RuntimeTraceDesk(settings)
    monkeypatch.setattr(Settings, "get", lambda self, key, default=None: False)
    assert desk._is_enabled() is False
    monkeypatch.undo()
    monkeypatch.setattr(utils, "_lookup", lambda mapping, key: False)
    assert desk._is_enabled() is False

    class Sub(Settings):
        def get(self, key, default=None):
            return 0 if key == "observation.enabled" else super().get(key, default)

    assert RuntimeTraceDesk(Sub({}))._is_enabled() is False


def test_overridden_switch_and_window_are_called(stores):
    calls = []

    class Desk(RuntimeTraceDesk):
        def _is_enabled(self):
            calls.append("enabled")
            return True

    desk = Desk(Settings({"observation.enabled": False}))
    assert asyncio.run(desk.append_event(make_event(1))) is True
    desk._remember_event_id = lambda event_id: calls.append(event_id) and False
    assert asyncio.run(desk.append_event(make_event(2))) is False
    assert calls == ["enabled", "enabled", "evt-2"]


# ---------------------------------------------------------------------------------------------
# The halves of flow capture and publication run natively for the package's own registries; the
# cases below check them against the Python functions they stand for, on random events.

import random  # noqa: E402

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext  # noqa: E402
from orvane_devtools.observation import flow_registry, subscriptions  # noqa: E402
from orvane_devtools.observation.flow_registry import RuntimeFlowRegistry  # noqa: E402
from orvane_devtools.observation.subscriptions import RuntimeObservationSubscriptions  # noqa: E402

RUN_IDS = [f"r{i}" for i in range(6)]


def random_event(rng, i):
    meta = {}
    if rng.random() < 0.7:
        meta["app_id"] = rng.choice(["app-1", "app-2", "other", 5])
    if rng.random() < 0.5:
        meta["group_id"] = rng.choice(["g1", "g2"])
    if rng.random() < 0.5:
        meta["flow_name"] = rng.choice(["f1", "f2", "f3", "f4", "", 7])
    run = None
    if rng.random() < 0.85:
        run = RuntimeRunContext(
            run_id=rng.choice(RUN_IDS),
            parent_run_id=rng.choice(RUN_IDS + [None, None]),
            root_run_id=rng.choice(RUN_IDS + [None, None, None]),
            meta={"flow_name": rng.choice(["f1", "f5", "", None])} if rng.random() < 0.5 else {},
        )
    return RuntimeEvent(
        event_id=f"e{i}",
        event_type=rng.choice(["agent_task.started", "tool.called", "stream.delta", "x.y"]),
        source=rng.choice(["a", "b", None]),
        level=rng.choice(["info", "error"]),
        meta=meta,
        run=run,
    )


def random_filter(rng):
    return {
        "event_types": rng.choice([None, None, "agent_task.*", ["tool.called", "stream.delta"], "x.y"]),
        "source": rng.choice([None, None, "a", "b"]),
        "level": rng.choice([None, None, "info"]),
        "app_id": rng.choice([None, None, "app-1"]),
        "app_id_pattern": rng.choice([None, None, "^app", "("]),
        "group_id": rng.choice([None, None, "g1"]),
        "run_id": rng.choice([None, None, "r0", "r1", "r5"]),
        "include_descendants": rng.choice([True, False]),
        "maxsize": rng.choice([1, 2, 3, 100]),
    }


def state_of(subs, registry):
    return ([([e.event_id for e in s._queue], s.dropped_count) for s in subs],
            list(registry._parents.items()))


@pytest.mark.parametrize("seed", range(6))
def test_publication_matches_the_python_registry(stores, monkeypatch, seed):
    rng = random.Random(seed)
    monkeypatch.setattr(subscriptions, "MAX_TRACKED_RUNS", 4)
    desk = RuntimeTraceDesk(Settings({"observation.buffer_limit": 10_000}))
    twin = RuntimeObservationSubscriptions()
    filters = [random_filter(rng) for _ in range(6)]
    ours = [desk.subscribe(**f) for f in filters]
    theirs = [twin.subscribe(**f) for f in filters]
    for i in range(300):
        event = random_event(rng, i)
        assert asyncio.run(desk.append_event(event)) is True
        twin.publish(event.model_copy(deep=True))
        if i % 50 == 49:  # drain now and then, so queues are not only ever full
            for s in ours + theirs:
                if s.qsize():
                    s.get_nowait()
    assert state_of(ours, desk._subscriptions) == state_of(theirs, twin)
    assert any(s.qsize() for s in ours) and any(s.dropped_count for s in ours)


@pytest.mark.parametrize("seed", range(4))
def test_flow_capture_matches_the_python_registry(stores, monkeypatch, seed):
    rng = random.Random(seed)
    monkeypatch.setattr(flow_registry, "MAX_FLOWS", 3)
    monkeypatch.setattr(flow_registry, "MAX_RUNS_PER_FLOW", 2)
    desk = RuntimeTraceDesk(Settings({"observation.buffer_limit": 10_000}))
    twin = RuntimeFlowRegistry()
    for i in range(300):
        event = random_event(rng, i)
        asyncio.run(desk.append_event(event))
        twin.capture_event(event)
    assert list(desk._flow_registry._flow_runs.items()) == list(twin._flow_runs.items())
    assert len(twin._flow_runs) == 3


def test_module_globals_are_read_at_call_time(stores, monkeypatch):
    desk = RuntimeTraceDesk(Settings({}))
    sub = desk.subscribe(event_types="never")
    seen = []

    def matcher(event_type, wanted):
        seen.append((event_type, wanted))
        return True

    monkeypatch.setattr(subscriptions, "matches_wavelane_event_type", matcher)
    assert asyncio.run(desk.append_event(make_event(1))) is True
    assert seen == [("stream.delta", "never")] and sub.qsize() == 1
    monkeypatch.setattr(flow_registry, "_meta_flow_name", lambda meta: "from-the-patch")
    event = make_event(2)
    event.meta = collections.OrderedDict()  # not an exact dict: _meta_flow_name decides
    asyncio.run(desk.append_event(event))
    assert desk._flow_registry.run_ids_for_flow("from-the-patch") == ["run-1"]


def test_a_subscription_with_its_own_put_is_served_through_it(stores):
    desk = RuntimeTraceDesk(Settings({}))
    sub = desk.subscribe()
    got = []
    sub._put = got.append
    asyncio.run(desk.append_event(make_event(1)))
    assert [e.event_id for e in got] == ["evt-1"] and sub.qsize() == 0
