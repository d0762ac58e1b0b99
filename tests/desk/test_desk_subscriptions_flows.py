"""Subscriptions, channel buffer and flow definitions through the facade."""

from __future__ import annotations

import asyncio

import pytest
from desk_fakes import make_event

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.flow_registry import RuntimeFlowRegistry
from orvane_devtools.observation.Query import ObservationSubscriptionFilter

RuntimeTraceDesk = TraceDesk.RuntimeTraceDesk

SUBSCRIBE_DEFAULTS = {
    "filter": None, "event_types": None, "run_id": None, "include_descendants": True,
    "source": None, "level": None, "app_id": None, "app_id_pattern": None, "group_id": None,
    "maxsize": 100,
}


class RecordingCalls:
    def __init__(self, result="result"):
        self.calls = []
        self.result = result

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def method(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            return self.result

        return method


@pytest.fixture
def desk(stores):
    return RuntimeTraceDesk(Settings({"observation.channel_buffer_limit": 3}))


class TestSubscribe:
    def test_defaults_and_pass_through(self, desk):
        registry = desk._subscriptions = RecordingCalls(result=object())
        assert desk.subscribe() is registry.result
        name, args, kwargs = registry.calls[0]
        assert name == "subscribe" and args == ()
        assert list(kwargs.items()) == list(SUBSCRIBE_DEFAULTS.items())

    def test_values_after_checks(self, desk):
        registry = desk._subscriptions = RecordingCalls()
        flt = ObservationSubscriptionFilter(source="x")
        desk.subscribe(filter=flt, event_types=["a", "b"], run_id="r", include_descendants=0,
                       source="s", level="info", app_id="a", app_id_pattern="^a", group_id="g",
                       maxsize=2.7)
        kwargs = registry.calls[0][2]
        assert kwargs["filter"] is flt and kwargs["event_types"] == ["a", "b"]
        assert kwargs["include_descendants"] is False and kwargs["maxsize"] == 2
        assert type(kwargs["maxsize"]) is int
        desk.subscribe(include_descendants=[1])
        assert registry.calls[1][2]["include_descendants"] is True

    @pytest.mark.parametrize("name", ["run_id", "source", "level", "app_id", "app_id_pattern", "group_id"])
    def test_string_arguments_checked_before_the_registry(self, desk, name):
        registry = desk._subscriptions = RecordingCalls()
        with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected str, got int\)"):
            desk.subscribe(**{name: 5})
        assert registry.calls == []

    @pytest.mark.parametrize("bad", [None, "10", [1]])
    def test_maxsize_must_be_a_number(self, desk, bad):
        with pytest.raises(TypeError, match=r"Argument 'maxsize' has incorrect type \(expected int"):
            desk.subscribe(maxsize=bad)

    def test_keyword_only(self, desk):
        with pytest.raises(TypeError, match="positional"):
            desk.subscribe(None)
        with pytest.raises(TypeError, match="unexpected keyword argument 'runid'"):
            desk.subscribe(runid="x")

    def test_registry_errors_propagate(self, desk):
        class Broken:
            def subscribe(self, **kwargs):
                raise LookupError("registry")

        desk._subscriptions = Broken()
        with pytest.raises(LookupError):
            desk.subscribe()

    def test_real_registry_receives_matching_events(self, desk):
        sub = desk.subscribe(run_id="run-2")
        asyncio.run(desk.append_events([make_event(1, run_id="run-1"), make_event(2, run_id="run-2")]))
        got = sub.get_nowait()
        assert got.event_id == "evt-2" and sub.empty()
        desk.unsubscribe(sub)
        assert len(desk._subscriptions) == 0

    def test_unsubscribe_passes_through(self, desk):
        registry = desk._subscriptions = RecordingCalls(result=True)
        assert desk.unsubscribe("some-id") is None
        assert registry.calls == [("unsubscribe", ("some-id",), {})]


class TestChannelBuffer:
    def test_keeps_the_newest_as_copies(self, desk):
        asyncio.run(desk.append_events([make_event(i) for i in range(1, 6)]))
        first = desk.read_channel_buffer()
        second = desk.read_channel_buffer()
        assert [e.event_id for e in first] == ["evt-3", "evt-4", "evt-5"]
        assert first == second
        buffered = list(desk._channel_buffer)
        assert all(a is not b for a, b in zip(first, buffered))
        first[0].payload["n"] = "changed"
        first[0].run.meta["flow_name"] = "changed"
        assert desk.read_channel_buffer()[0].payload["n"] == 3
        assert desk.read_channel_buffer()[0].run.meta["flow_name"] == "answer"

    def test_drain(self, desk):
        asyncio.run(desk.append_events([make_event(1), make_event(2), make_event(1)]))
        expected = desk.read_channel_buffer()
        assert desk.drain_channel_buffer() == expected
        assert desk.read_channel_buffer() == [] and desk.drain_channel_buffer() == []

    def test_failing_copy_leaves_buffer_untouched(self, desk):
        class Uncopyable:
            def __deepcopy__(self, memo):
                raise RuntimeError("no copy")

        asyncio.run(desk.append_event(make_event(1)))
        desk._channel_buffer.append(Uncopyable())
        with pytest.raises(RuntimeError):
            desk.drain_channel_buffer()
        assert len(desk._channel_buffer) == 2

    def test_capacity_zero(self, stores):
        desk = RuntimeTraceDesk(Settings({"observation.channel_buffer_limit": 0}))
        assert asyncio.run(desk.append_event(make_event(1))) is True
        assert desk.read_channel_buffer() == [] and desk.drain_channel_buffer() == []

    def test_capacity_one(self, stores):
        desk = RuntimeTraceDesk(Settings({"observation.channel_buffer_limit": 1}))
        asyncio.run(desk.append_events([make_event(1), make_event(2)]))
        assert [e.event_id for e in desk.drain_channel_buffer()] == ["evt-2"]


class TestFlows:
    def test_register_passes_through_in_order(self, desk):
        registry = desk._flow_registry = RecordingCalls(result={"ok": 1})
        definition = {}
        assert desk.register_flow_definition(app_id=None, group_id=None, flow_name="f",
                                              definition=definition) == {"ok": 1}
        name, args, kwargs = registry.calls[0]
        assert name == "register" and args == ()
        assert list(kwargs) == ["app_id", "group_id", "flow_name", "definition", "mermaid"]
        assert kwargs["definition"] is definition and kwargs["mermaid"] is None

    def test_resolve_passes_three_keywords(self, desk):
        registry = desk._flow_registry = RecordingCalls(result=None)
        assert desk.resolve_flow_definition(app_id="a", group_id="g", flow_name="f") is None
        assert registry.calls == [("resolve", (), {"app_id": "a", "group_id": "g", "flow_name": "f"})]

    @pytest.mark.parametrize(
        "kwargs, text",
        [
            ({"definition": None}, "Argument 'definition' has incorrect type (expected Mapping, got NoneType)"),
            ({"flow_name": None}, "Argument 'flow_name' has incorrect type (expected str, got NoneType)"),
            ({"app_id": 1}, "Argument 'app_id' has incorrect type (expected str, got int)"),
            ({"group_id": b"g"}, "Argument 'group_id' has incorrect type (expected str, got bytes)"),
            ({"mermaid": ["x"]}, "Argument 'mermaid' has incorrect type (expected Mapping, got list)"),
        ],
    )
    def test_register_argument_checks(self, desk, kwargs, text):
        registry = desk._flow_registry = RecordingCalls()
        full = {"app_id": None, "group_id": None, "flow_name": "f", "definition": {}} | kwargs
        with pytest.raises(TypeError) as info:
            desk.register_flow_definition(**full)
        assert str(info.value) == text and registry.calls == []

    def test_missing_arguments_name_the_first(self, desk):
        with pytest.raises(TypeError, match=r"missing 1 required keyword-only argument: 'definition'"):
            desk.register_flow_definition(app_id=None, group_id=None, flow_name="f")
        with pytest.raises(TypeError, match=r"arguments: 'group_id'"):
            desk.resolve_flow_definition(app_id=None)
        with pytest.raises(TypeError, match="positional"):
            desk.resolve_flow_definition(None, None, "f")

    @pytest.mark.parametrize("bad", [["not", "a", "mapping"], "text", 3])
    def test_results_must_be_mappings(self, desk, bad):
        desk._flow_registry = RecordingCalls(result=bad)
        with pytest.raises(TypeError, match=rf"expected Mapping or None, got {type(bad).__name__}"):
            desk.resolve_flow_definition(app_id=None, group_id=None, flow_name="f")
        with pytest.raises(TypeError, match="register"):
            desk.register_flow_definition(app_id=None, group_id=None, flow_name="f", definition={})

    def test_real_registry(self, desk):
        definition = {"nodes": [{"id": "a"}]}
        entry = desk.register_flow_definition(app_id="app", group_id=None, flow_name="answer",
                                              definition=definition, mermaid={"graph": "a-->b"})
        definition["nodes"].clear()
        assert entry["definition"] == {"nodes": [{"id": "a"}]}
        found = desk.resolve_flow_definition(app_id="app", group_id="team", flow_name="answer")
        assert found["mermaid"] == {"graph": "a-->b"} and found["definition"]["nodes"]
        assert desk.resolve_flow_definition(app_id="other", group_id=None, flow_name="answer") is None
        asyncio.run(desk.append_events([make_event(1, run_id="r1"), make_event(2, run_id="r2"),
                                        make_event(3, run_id="r1")]))
        assert desk._flow_registry.run_ids_for_flow("answer") == ["r1", "r2"]


class TestFlowRegistry:
    def test_capture_prefers_event_meta_and_needs_a_run(self):
        reg = RuntimeFlowRegistry()
        run = RuntimeRunContext(run_id="r1", meta={"flow_name": "from-run"})
        reg.capture_event(RuntimeEvent(event_type="x", meta={"flow_name": "from-event"}, run=run))
        reg.capture_event(RuntimeEvent(event_type="x", run=run))
        reg.capture_event(RuntimeEvent(event_type="x", meta={"flow_name": "no-run"}))
        reg.capture_event(RuntimeEvent(event_type="x", meta={"flow_name": 5},
                                       run=RuntimeRunContext(run_id="r2")))
        assert reg.run_ids_for_flow("from-event") == ["r1"]
        assert reg.run_ids_for_flow("from-run") == ["r1"]
        assert reg.run_ids_for_flow("no-run") == [] and reg.flow_names == ["from-event", "from-run"]

    def test_resolve_fallbacks(self):
        reg = RuntimeFlowRegistry()
        reg.register(app_id=None, group_id=None, flow_name="f", definition={"v": "any"})
        reg.register(app_id="a", group_id=None, flow_name="f", definition={"v": "app"})
        reg.register(app_id="a", group_id="g", flow_name="f", definition={"v": "exact"})
        assert reg.resolve(app_id="a", group_id="g", flow_name="f")["definition"]["v"] == "exact"
        assert reg.resolve(app_id="a", group_id="h", flow_name="f")["definition"]["v"] == "app"
        assert reg.resolve(app_id="b", group_id="g", flow_name="f")["definition"]["v"] == "any"
        assert reg.resolve(app_id="a", group_id="g", flow_name="other") is None
        reg.reset()
        assert reg.resolve(app_id=None, group_id=None, flow_name="f") is None

    def test_bounded_runs_per_flow(self, monkeypatch):
        from orvane_devtools.observation import flow_registry

        monkeypatch.setattr(flow_registry, "MAX_RUNS_PER_FLOW", 3)
        reg = RuntimeFlowRegistry()
        for i in range(5):
            reg.capture_event(RuntimeEvent(event_type="x", meta={"flow_name": "f"},
                                           run=RuntimeRunContext(run_id=f"r{i}")))
        assert reg.run_ids_for_flow("f") == ["r2", "r3", "r4"]
