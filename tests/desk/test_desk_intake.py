"""Event intake: de-duplication window, order of the consumers, copies, fan-out and failures."""

from __future__ import annotations

import asyncio
import json
import warnings

import pytest
from desk_fakes import make_event

from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.TraceSink import RuntimeTraceSink

RuntimeTraceDesk = TraceDesk.RuntimeTraceDesk


def run(coro):
    return asyncio.run(coro)


def desk_with(stores, **values):
    return RuntimeTraceDesk(Settings(values))


class RecordingBackend(RuntimeTraceSink):
    name = "recording"

    def __init__(self, log=None, fail=None):
        self.events = []
        self.log = log
        self.fail = fail

    async def append_events(self, events):
        if self.log is not None:
            self.log.append((self.name, events[0]))
        if self.fail is not None:
            raise self.fail
        self.events.extend(events)


class RecordingSubscriptions:
    """Subscriptions that note each published event in ``log``."""

    def __init__(self, log):
        self.log = log

    def publish(self, e):
        self.log.append(("publish", e))


class RecordingLogService:
    """A log service that notes each appended event in ``log``."""

    def __init__(self, log):
        self.log = log

    async def append_event(self, e):
        self.log.append(("log", e))


class TestWindow:
    def test_remember_event_id(self, stores):
        desk = desk_with(stores, **{"observation.buffer_limit": 2})
        assert [desk._remember_event_id(x) for x in "ABA"] == [True, True, False]
        assert desk._remember_event_id("C") is True  # evicts A
        assert list(desk._seen_event_id_buffer) == ["B", "C"]
        assert desk._seen_event_ids == {"B", "C"}
        assert desk._remember_event_id("A") is True  # evicts B
        assert desk._seen_event_ids == {"C", "A"}
        with pytest.raises(TypeError, match=r"Argument 'event_id' has incorrect type \(expected str, got int\)"):
            desk._remember_event_id(5)

    @pytest.mark.parametrize("limit", [0, 1])
    def test_window_of_one(self, stores, limit):
        desk = desk_with(stores, **{"observation.buffer_limit": limit})
        ev_a, ev_b = make_event(1, event_id="A"), make_event(2, event_id="B")
        assert [run(desk.append_event(e)) for e in (ev_a, ev_b, ev_a)] == [True, True, True]
        assert run(desk.append_event(ev_a)) is False
        assert desk._seen_event_ids == {"A"}

    def test_large_window_keeps_set_and_sequence_in_step(self, stores):
        desk = desk_with(stores, **{"observation.buffer_limit": 50})
        for i in range(500):
            desk._remember_event_id(f"id-{i % 170}")
        assert set(desk._seen_event_id_buffer) == desk._seen_event_ids
        assert len(desk._seen_event_ids) == 50


class TestAppendEvent:
    def test_is_a_real_coroutine(self, stores):
        desk = desk_with(stores)
        coro = desk.append_event(make_event(1))
        assert asyncio.iscoroutine(coro)
        assert desk._seen_event_ids == set()  # nothing ran yet
        assert run(coro) is True
        assert desk._seen_event_ids == {"evt-1"}

    def test_consumers_in_order_with_private_copies(self, stores, monkeypatch):
        log = []

        class Registry:
            def capture_event(self, e):
                log.append(("flow", e))

            def reset(self):
                pass

        class Channel(list):
            maxlen = None

            def append(self, e):
                log.append(("channel", e))

        desk = desk_with(stores)
        desk._flow_registry, desk._subscriptions = Registry(), RecordingSubscriptions(log)
        desk._channel_buffer = Channel()
        stores[0].log = log
        desk._backends.extend([RecordingBackend(log), RecordingBackend(log)])
        desk._backends[1].name = "second"
        desk._log_service = RecordingLogService(log)
        event = make_event(1)

        assert run(desk.append_event(event)) is True
        assert [who for who, _ in log] == ["flow", "channel", "store", "publish",
                                          "recording", "second", "log"]
        shared = log[0][1]
        assert all(e is shared for _, e in log[:4])  # one private copy for the first four
        others = [e for _, e in log[4:]]
        assert len({id(e) for e in others + [shared]}) == 4  # own copy per backend and log
        for _, e in log:
            assert e is not event and e == event
            assert e.payload is not event.payload and e.run is not event.run

    def test_a_stored_event_is_taken_as_it_is_and_the_log_service_left_out(self, stores):
        # The listener stores events in the log service itself and hands them over afterwards.
        log = []

        desk = desk_with(stores)
        desk._subscriptions = RecordingSubscriptions(log)
        stores[0].log = log
        desk._backends.extend([RecordingBackend(log), RecordingBackend(log)])
        desk._log_service = RecordingLogService(log)
        event = make_event(1)
        coro = desk.append_stored_event(event)
        assert asyncio.iscoroutine(coro) and log == []
        assert run(coro) is True
        assert [who for who, _ in log] == ["store", "publish", "recording", "recording"]
        assert log[0][1] is event and log[1][1] is event  # no copy of the handed-over event
        assert all(e is not event and e == event for _, e in log[2:])  # backends: own copies
        assert run(desk.append_stored_event(event)) is False  # the window applies
        assert run(desk.append_event(event)) is False
        assert len(log) == 4

    def test_a_failed_stored_append_leaves_no_trace(self, stores):
        desk = desk_with(stores)

        class Refusing:
            backend_name = "refusing"

            def append_event(self, e):
                raise ValueError("refused")

        desk._run_store = Refusing()
        with pytest.raises(ValueError, match="refused"):
            run(desk.append_stored_event(make_event(3)))
        assert "evt-3" not in desk._seen_event_ids

    def test_duplicate_and_disabled_change_nothing(self, stores):
        settings = Settings({})
        desk = RuntimeTraceDesk(settings)
        backend = RecordingBackend()
        desk._backends.append(backend)
        event = make_event(1)
        assert run(desk.append_event(event)) is True
        assert run(desk.append_event(event)) is False
        settings.set("observation.enabled", False)
        other = make_event(2)
        assert run(desk.append_event(other)) is False
        assert "evt-2" not in desk._seen_event_ids
        assert len(stores[0].events) == len(backend.events) == len(desk.read_channel_buffer()) == 1
        settings.set("observation.enabled", True)
        assert run(desk.append_event(other)) is True

    def test_caller_mutation_after_append_is_not_seen(self, stores):
        desk = desk_with(stores)
        sub = desk.subscribe()
        event = make_event(1)
        run(desk.append_event(event))
        event.payload["n"] = "changed"
        event.run.run_id = "changed"
        event.meta["app_id"] = "changed"
        for seen in (stores[0].events[0], desk.read_channel_buffer()[0], sub.get_nowait()):
            assert seen.payload["n"] == 1 and seen.run.run_id == "run-1" and seen.meta["app_id"] == "app"

    def test_event_id_that_is_not_a_string(self, stores):
        desk = desk_with(stores)
        event = make_event(1)
        object.__setattr__(event, "event_id", 12)
        with pytest.raises(TypeError, match="Argument 'event_id'"):
            run(desk.append_event(event))
        assert desk._seen_event_ids == set() and stores[0].events == []

    def test_errors_of_store_propagate_and_leave_no_trace(self, stores):
        desk = desk_with(stores)

        def broken(e):
            raise KeyError("store down")

        stores[0].append_event = broken
        event = make_event(1)
        with pytest.raises(KeyError):
            run(desk.append_event(event))
        assert desk.read_channel_buffer() == []  # see test_desk_failed_append.py
        del stores[0].append_event
        assert run(desk.append_event(event)) is True  # the id was forgotten

    def test_log_service_error_propagates_after_backends(self, stores):
        desk = desk_with(stores)
        backend = RecordingBackend()
        desk._backends.append(backend)

        class LogService:
            async def append_event(self, e):
                raise ValueError("log down")

        desk._log_service = LogService()
        with pytest.raises(ValueError, match="log down"):
            run(desk.append_event(make_event(1)))
        assert len(backend.events) == 1 and len(stores[0].events) == 1

    def test_same_id_started_together_is_accepted_once(self, stores):
        desk = desk_with(stores)
        started = []

        class Slow(RuntimeTraceSink):
            async def append_events(self, events):
                started.append(events[0].event_id)
                await asyncio.sleep(0.01)

        desk._backends.append(Slow())

        async def main():
            return await asyncio.gather(*(desk.append_event(make_event(1)) for _ in range(5)))

        assert sorted(run(main())) == [False] * 4 + [True]
        assert started == ["evt-1"] and len(stores[0].events) == 1

    def test_backends_run_concurrently(self, stores):
        desk = desk_with(stores)
        both_inside = asyncio.Event

        class Meeting(RuntimeTraceSink):
            arrived = 0

            def __init__(self, gate):
                self.gate = gate

            async def append_events(self, events):
                Meeting.arrived += 1
                if Meeting.arrived == 2:
                    self.gate.set()
                # Would dead-lock if the backends were awaited one after the other.
                await asyncio.wait_for(self.gate.wait(), 2)

        async def main():
            gate = both_inside()
            desk._backends.extend([Meeting(gate), Meeting(gate)])
            return await desk.append_event(make_event(1))

        assert run(main()) is True


class TestJsonLinesBackendCopy:
    """The package's own JSON Lines backend, untouched and alone, writes its line from the
    facade's copy at once instead of taking a deep copy of it; every other arrangement still
    gives each backend its own copy."""

    def desk_and_subscription(self, stores, tmp_path):
        path = tmp_path / "events.jsonl"
        desk = desk_with(stores, **{"observation.jsonl.enabled": True, "observation.jsonl.path": str(path)})
        (sink,) = desk._backends
        return desk, desk.subscribe(), sink, path

    def lines(self, path):
        return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]

    def test_the_line_is_the_event_as_accepted(self, stores, tmp_path):
        from orvane_devtools.observation.backends import Linefile

        desk, sub, sink, path = self.desk_and_subscription(stores, tmp_path)
        event = make_event(1)
        want = json.loads(Linefile._encode_event(event))
        for i in range(3):
            assert run(desk.append_event(make_event(i + 1) if i else event)) is True
            shared = sub.get_nowait()  # the facade's own copy
            shared.payload["items"].append("changed later")
            shared.message = "changed later"
        assert self.lines(path)[0] == want
        assert [line["event_id"] for line in self.lines(path)] == ["evt-1", "evt-2", "evt-3"]
        assert all("changed later" not in json.dumps(line) for line in self.lines(path))

    def test_a_replaced_serializer_gets_its_own_copy(self, stores, tmp_path):
        from orvane_devtools.observation.backends import JSONLTraceSink

        class KeepingSink(JSONLTraceSink):
            kept: list = []

            def _serialize_event(self, event):
                self.kept.append(event)
                return {"event_id": event.event_id}

        desk, sub, sink, path = self.desk_and_subscription(stores, tmp_path)
        kept = []

        def keep(event):
            kept.append(event)
            return {"event_id": event.event_id}

        sink._serialize_event = keep  # replaced on the instance
        assert run(desk.append_event(make_event(1))) is True
        desk._backends[:] = [KeepingSink(str(tmp_path / "sub.jsonl"))]  # a subclass
        assert run(desk.append_event(make_event(2))) is True
        for got, shared in zip(kept + KeepingSink.kept, (sub.get_nowait(), sub.get_nowait())):
            assert got == shared and got is not shared and got.payload is not shared.payload

    def test_beside_another_backend_each_gets_its_own_copy(self, stores, tmp_path):
        desk, sub, sink, path = self.desk_and_subscription(stores, tmp_path)
        other = RecordingBackend()
        desk._backends.append(other)
        event = make_event(1)
        assert run(desk.append_event(event)) is True
        shared = sub.get_nowait()
        assert other.events[0] == shared and other.events[0] is not shared
        assert self.lines(path)[0]["event_id"] == "evt-1"


class TestBackendFailures:
    def _desk(self, stores):
        desk = desk_with(stores)
        return desk

    def test_failures_are_swallowed_and_the_others_still_receive(self, stores):
        desk = self._desk(stores)

        class SyncRaiser:
            name = "sync"

            def append_event(self, e):
                raise RuntimeError("before any awaitable")

        class NotAwaitable:
            name = "plain"

            def append_event(self, e):
                return 42

        good = RecordingBackend()
        failing = RecordingBackend(fail=OSError("disk full"))
        failing.name = "failing"
        desk._backends.extend([SyncRaiser(), failing, NotAwaitable(), good])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            assert run(desk.append_event(make_event(1))) is True
        assert len(good.events) == 1
        assert desk.backend_failures() == {desk._backends[0]: 1, failing: 1, desk._backends[2]: 1}
        texts = [str(w.message) for w in caught]
        assert all(w.category is RuntimeWarning for w in caught) and len(texts) == 3
        assert "'failing'" in texts[1] and "RecordingBackend" in texts[1] and "disk full" in texts[1]
        assert "before any awaitable" in texts[0] and "non-awaitable" in texts[2]

    @pytest.mark.parametrize("count", [1, 2])
    def test_one_warning_per_streak(self, stores, count):
        desk = self._desk(stores)
        flaky = [RecordingBackend(fail=RuntimeError("down")) for _ in range(count)]
        desk._backends.extend(flaky)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            for i in range(3):
                assert run(desk.append_event(make_event(i))) is True
            assert len(caught) == count
            assert all(desk._backend_failure_counts[b] == 3 for b in flaky)
            flaky[0].fail = None  # recovers: the next failure streak warns again
            run(desk.append_event(make_event(10)))
            flaky[0].fail = RuntimeError("down again")
            run(desk.append_event(make_event(11)))
            run(desk.append_event(make_event(12)))
        assert len(caught) == count + 1
        assert "down again" in str(caught[-1].message)
        assert desk.backend_failures()[flaky[0]] == 5

    def test_warnings_as_errors_do_not_reach_the_caller(self, stores):
        desk = self._desk(stores)
        desk._backends.append(RecordingBackend(fail=RuntimeError("down")))
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            seen = []
            import sys

            old = sys.unraisablehook
            sys.unraisablehook = seen.append
            try:
                assert run(desk.append_event(make_event(1))) is True
            finally:
                sys.unraisablehook = old
        assert len(seen) == 1 and issubclass(seen[0].exc_type, RuntimeWarning)

    def test_warnings_go_through_the_module(self, stores, monkeypatch):
        calls = []

        class FakeWarnings:
            @staticmethod
            def warn(message, category):
                calls.append((message, category))

        monkeypatch.setattr(TraceDesk, "warnings", FakeWarnings)
        desk = self._desk(stores)
        desk._backends.append(RecordingBackend(fail=RuntimeError("down")))
        run(desk.append_event(make_event(1)))
        assert len(calls) == 1 and calls[0][1] is RuntimeWarning

    def test_reload_forgets_failure_counts(self, stores):
        desk = self._desk(stores)
        desk._backends.append(RecordingBackend(fail=RuntimeError("x")))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            run(desk.append_event(make_event(1)))
        assert len(desk.backend_failures()) == 1
        desk.reload()
        assert desk.backend_failures() == {} and desk._failing_backends == set()

    @pytest.mark.parametrize("count", [1, 2])
    def test_backend_raising_cancelled_on_its_own_is_a_failure(self, stores, count):
        desk = self._desk(stores)
        desk._backends.extend(RecordingBackend(fail=asyncio.CancelledError()) for _ in range(count))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            assert run(desk.append_event(make_event(1))) is True
        assert sorted(desk.backend_failures().values()) == [1] * count

    def test_cancellation_reaches_the_caller(self, stores):
        desk = self._desk(stores)

        class Hanging(RuntimeTraceSink):
            async def append_events(self, events):
                await asyncio.sleep(10)

        desk._backends.append(Hanging())

        async def main():
            task = asyncio.ensure_future(desk.append_event(make_event(1)))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        run(main())


class TestAppendEvents:
    def test_counts_accepted(self, stores):
        desk = desk_with(stores)
        events = [make_event(1), make_event(2), make_event(1), make_event(3)]
        assert run(desk.append_events(events)) == 3
        assert run(desk.append_events([])) == 0
        assert [e.event_id for e in stores[0].events] == ["evt-1", "evt-2", "evt-3"]

    def test_type_checked_at_call_time(self, stores):
        desk = desk_with(stores)
        for bad in (None, (make_event(1),), "abc"):
            with pytest.raises(TypeError, match=r"Argument 'events' has incorrect type \(expected list"):
                desk.append_events(bad)

    def test_one_at_a_time_through_append_event(self, stores, monkeypatch):
        desk = desk_with(stores)
        order = []

        class Slow(RuntimeTraceSink):
            async def append_events(self, events):
                order.append(("start", events[0].event_id))
                await asyncio.sleep(0.001)
                order.append(("end", events[0].event_id))

        desk._backends.append(Slow())
        run(desk.append_events([make_event(1), make_event(2)]))
        assert order == [("start", "evt-1"), ("end", "evt-1"), ("start", "evt-2"), ("end", "evt-2")]

    def test_error_stops_the_loop(self, stores):
        desk = desk_with(stores)
        bad = make_event(2)
        object.__setattr__(bad, "event_id", None)
        with pytest.raises(TypeError):
            run(desk.append_events([make_event(1), bad, make_event(3)]))
        assert [e.event_id for e in stores[0].events] == ["evt-1"]
