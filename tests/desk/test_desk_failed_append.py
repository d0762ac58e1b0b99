"""An append that fails part-way leaves no trace in the facade: the id leaves the de-duplication
window (an id it pushed out comes back), the channel buffer, the flow registry and the
subscriptions are as before, and the error reaches the caller; a retry is accepted."""

from __future__ import annotations

import asyncio
import sys

import pytest
from desk_fakes import RecordingStore, make_event

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeRunContext
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.flow_registry import RuntimeFlowRegistry
from orvane_devtools.observation.subscriptions import RuntimeObservationSubscriptions

RuntimeTraceDesk = TraceDesk.RuntimeTraceDesk


def run(coro):
    return asyncio.run(coro)


class StrRaises:
    def __str__(self):
        raise RuntimeError("no text for this value")

    __repr__ = __str__


class DeepcopyRaises:
    def __deepcopy__(self, memo):
        raise RuntimeError("cannot be copied")


class EqRaises(str):
    """A meta value that cannot be compared."""

    def __eq__(self, other):
        raise RuntimeError("cannot be compared")

    def __ne__(self, other):
        raise RuntimeError("cannot be compared")

    __hash__ = str.__hash__


def cyclic():
    payload = {"a": 1}
    payload["self"] = payload
    return payload


def huge_int():
    return 10 ** (sys.get_int_max_str_digits() + 10)


class RaisingStore(RecordingStore):
    """A store that refuses the events whose id is in ``refuse``."""

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.refuse = set()
        self.calls = 0

    def append_event(self, event):
        self.calls += 1
        if event.event_id in self.refuse:
            raise ValueError("the store refuses this event")
        super().append_event(event)


def flowed(i, run_id="run-1", flow="answer", **kw):
    """An event of flow `flow` (named in the run's meta)."""
    ev = make_event(i, run_id=run_id, **kw)
    ev.run = RuntimeRunContext(run_id=run_id, parent_run_id="root", run_kind="agent_task",
                               meta={"flow_name": flow})
    return ev


def snapshot(desk, subs):
    """Everything of the facade an append may change, except the store."""
    return {
        "seen": set(desk._seen_event_ids),
        "window": list(desk._seen_event_id_buffer),
        "channel": [e.event_id for e in desk._channel_buffer],
        "flows": {name: desk._flow_registry.run_ids_for_flow(name)
                  for name in desk._flow_registry.flow_names},
        "flow_order": desk._flow_registry.flow_names,
        "queues": [[e.event_id for e in s._queue] for s in subs],
        "dropped": [s.dropped_count for s in subs],
        "links": dict(desk._subscriptions._parents),
    }


@pytest.fixture
def raising(monkeypatch):
    """The store factory builds RaisingStores; the list collects them."""
    built = []

    def factory(**kwargs):
        built.append(RaisingStore(**kwargs))
        return built[-1]

    monkeypatch.setattr(TraceDesk, "create_observation_store", factory)
    return built


def full_desk(**settings):
    """A desk whose window and channel are full (so an append evicts from both), with three
    subscriptions, two flows and tracked run links."""
    values = {"observation.buffer_limit": 3, "observation.channel_buffer_limit": 3}
    values.update(settings)
    desk = RuntimeTraceDesk(Settings(values))
    subs = [desk.subscribe(maxsize=2), desk.subscribe(run_id="root"),
            desk.subscribe(app_id="app", maxsize=5)]
    events = [flowed(1, run_id="run-1", flow="answer"), flowed(2, run_id="run-2", flow="plan"),
              flowed(3, run_id="run-3", flow="answer")]
    assert run(desk.append_events(events)) == 3
    return desk, subs


class TestStoreRefuses:
    def test_nothing_changes_and_a_retry_is_accepted(self, raising):
        desk, subs = full_desk()
        store = raising[0]
        before = snapshot(desk, subs)
        event = flowed(4, run_id="run-4", flow="new-flow")
        store.refuse.add(event.event_id)
        with pytest.raises(ValueError, match="refuses"):
            run(desk.append_event(event))
        assert snapshot(desk, subs) == before
        assert [e.event_id for e in store.events] == ["evt-1", "evt-2", "evt-3"]

        store.refuse.clear()
        assert run(desk.append_event(event)) is True
        after = snapshot(desk, subs)
        assert after["window"] == ["evt-2", "evt-3", "evt-4"]
        assert after["channel"] == ["evt-2", "evt-3", "evt-4"]
        assert after["flows"]["new-flow"] == ["run-4"]
        assert after["queues"][0] == ["evt-3", "evt-4"] and after["queues"][2][-1] == "evt-4"
        assert run(desk.append_event(event)) is False

    def test_an_existing_flow_keeps_its_place(self, raising):
        desk, subs = full_desk()
        before = snapshot(desk, subs)
        assert before["flow_order"] == ["plan", "answer"]
        event = flowed(4, run_id="run-9", flow="plan")  # would move "plan" to the end
        raising[0].refuse.add(event.event_id)
        with pytest.raises(ValueError):
            run(desk.append_event(event))
        assert snapshot(desk, subs) == before

    def test_the_copy_failing_is_the_same(self, raising):
        desk, subs = full_desk()
        before = snapshot(desk, subs)
        event = flowed(4, payload={"value": DeepcopyRaises()})
        with pytest.raises(RuntimeError, match="cannot be copied"):
            run(desk.append_event(event))
        assert snapshot(desk, subs) == before and raising[0].calls == 3

    def test_append_events_stops_and_keeps_the_earlier_ones(self, raising):
        desk = RuntimeTraceDesk(Settings({}))
        bad = make_event(2)
        raising[0].refuse.add("evt-2")
        with pytest.raises(ValueError):
            run(desk.append_events([make_event(1), bad, make_event(3)]))
        assert desk._seen_event_ids == {"evt-1"}
        assert [e.event_id for e in desk.read_channel_buffer()] == ["evt-1"]


class TestPublicationRefuses:
    def test_a_filter_that_raises_stops_the_event_before_the_store(self, raising):
        desk, subs = full_desk()
        before = snapshot(desk, subs)
        event = flowed(4, meta={"app_id": EqRaises("app")})
        with pytest.raises(RuntimeError, match="cannot be compared"):
            run(desk.append_event(event))
        # The subscription made first (no filter) got nothing either: all or nothing.
        assert snapshot(desk, subs) == before
        assert raising[0].calls == 3

    def test_registry_publish_is_all_or_nothing(self):
        registry = RuntimeObservationSubscriptions()
        first, second = registry.subscribe(), registry.subscribe(app_id="app")
        with pytest.raises(RuntimeError):
            registry.publish(flowed(1, meta={"app_id": EqRaises("app")}))
        assert first.empty() and second.empty()
        registry.publish(flowed(2))
        assert first.qsize() == second.qsize() == 1

    def test_a_replaced_publish_that_raises(self, raising):
        desk, subs = full_desk()
        before = snapshot(desk, subs)
        calls = []

        def publish(event):
            calls.append(event.event_id)
            raise KeyError("subscribers down")

        desk._subscriptions.publish = publish
        event = flowed(4, run_id="run-4", flow="new-flow")
        with pytest.raises(KeyError):
            run(desk.append_event(event))
        assert calls == ["evt-4"]
        assert snapshot(desk, subs) == before
        # A store cannot take an event back: it keeps what it accepted.
        assert raising[0].events[-1].event_id == "evt-4"


class TestRealStore:
    """With the package's run store, whatever it makes of an awkward value: the append either
    completes or leaves no trace in the facade."""

    @pytest.mark.parametrize("payload", [cyclic, StrRaises, huge_int],
                             ids=["cyclic", "str-raises", "huge-int"])
    def test_all_or_nothing(self, payload):
        pytest.importorskip("orvane_devtools.observation.Tallybook")
        desk, subs = full_desk()
        before = snapshot(desk, subs)
        event = flowed(4, run_id="run-4", flow="new-flow", payload={"value": payload()})
        try:
            accepted = run(desk.append_event(event))
        except Exception:
            assert snapshot(desk, subs) == before
            event.payload = {"value": "fine now"}
            assert run(desk.append_event(event)) is True
        else:
            assert accepted is True
        after = snapshot(desk, subs)
        assert "evt-4" in after["seen"] and after["channel"][-1] == "evt-4"
        assert after["flows"]["new-flow"] == ["run-4"] and after["queues"][0][-1] == "evt-4"


class TestWhatIsNotTakenBack:
    def test_a_replaced_window_is_left_to_its_owner(self, raising):
        class Desk(RuntimeTraceDesk):
            def _remember_event_id(self, event_id):
                self.remembered = getattr(self, "remembered", []) + [event_id]
                return True

        desk = Desk(Settings({}))
        raising[0].refuse.add("evt-1")
        with pytest.raises(ValueError):
            run(desk.append_event(make_event(1)))
        assert desk.remembered == ["evt-1"] and desk.read_channel_buffer() == []

    def test_a_failure_while_taking_back_is_reported_and_the_first_error_raised(self, raising):
        class Channel(list):
            maxlen = None

            def pop(self, *args):
                raise OSError("cannot pop")

        desk = RuntimeTraceDesk(Settings({}))
        desk._channel_buffer = Channel()
        raising[0].refuse.add("evt-1")
        seen = []
        old = sys.unraisablehook
        sys.unraisablehook = seen.append
        try:
            with pytest.raises(ValueError, match="refuses"):
                run(desk.append_event(make_event(1)))
        finally:
            sys.unraisablehook = old
        assert len(seen) == 1 and isinstance(seen[0].exc_value, OSError)
        assert desk._seen_event_ids == set()  # the window was still put back


class TestReplacedHalves:
    """The reading and changing halves run only while capture_event and publish are the package's
    own, looked up at every call: a replacement on the class is called in their place."""

    def test_class_level_replacements_are_called_in_order(self, stores, monkeypatch):
        log = []
        stores_log = log

        def capture_event(self, event):
            log.append(("flow", event.event_id))

        def publish(self, event):
            log.append(("publish", event.event_id))

        desk = RuntimeTraceDesk(Settings({}))
        stores[0].log = stores_log
        monkeypatch.setattr(RuntimeFlowRegistry, "capture_event", capture_event)
        monkeypatch.setattr(RuntimeObservationSubscriptions, "publish", publish)
        assert run(desk.append_event(make_event(1))) is True
        assert [entry[0] for entry in log] == ["flow", "store", "publish"]
        monkeypatch.undo()
        log.clear()
        sub = desk.subscribe()
        assert run(desk.append_event(flowed(2))) is True
        assert [entry[0] for entry in log] == ["store"] and sub.qsize() == 1
        assert desk._flow_registry.run_ids_for_flow("answer") == ["run-1"]

    def test_overridden_halves_of_a_subclass_are_used(self, stores):
        calls = []

        class Registry(RuntimeFlowRegistry):
            def _flow_key(self, event):
                calls.append("key")
                return ("custom", event.run.run_id)

        class Subscriptions(RuntimeObservationSubscriptions):
            def _deliver(self, event, delivery):
                calls.append("deliver")
                super()._deliver(event, delivery)

        desk = RuntimeTraceDesk(Settings({}))
        desk._flow_registry, desk._subscriptions = Registry(), Subscriptions()
        sub = desk.subscribe()
        assert run(desk.append_event(make_event(1))) is True
        assert calls == ["key", "deliver"] and sub.qsize() == 1
        assert desk._flow_registry.run_ids_for_flow("custom") == ["run-1"]
