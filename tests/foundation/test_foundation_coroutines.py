"""The native coroutine bridge and the backend contract, driven by asyncio."""

import asyncio
import collections.abc
import gc
import threading
import warnings
import weakref

import pytest

from orvane_devtools.observation import TraceSink
from orvane_devtools.observation.TraceSink import RuntimeTraceSink


class RecordingSink(RuntimeTraceSink):
    name = "recording"

    def __init__(self):
        self.batches = []

    async def append_events(self, events):
        await asyncio.sleep(0)
        self.batches.append(events)


async def value_after_sleep(value, delay=0):
    await asyncio.sleep(delay)
    return value


class YieldOnce:
    """Awaitable that yields one sentinel to the driver, then returns its value."""

    def __init__(self, value=None):
        self.value = value

    def __await__(self):
        yield "tick"
        return self.value


async def raise_after_sleep(exc):
    await asyncio.sleep(0)
    raise exc


class TestBridge:
    def test_is_a_coroutine_for_asyncio(self):
        coro = TraceSink._await_each([])
        try:
            assert asyncio.iscoroutine(coro)
            assert isinstance(coro, collections.abc.Coroutine)
            assert isinstance(coro, collections.abc.Awaitable)
        finally:
            coro.close()

    def test_nothing_runs_before_first_resumption(self):
        ran = []

        class Awaitable:
            def __await__(self):
                ran.append(True)
                return iter(())

        coro = TraceSink._await_each([Awaitable()])
        assert ran == []
        assert asyncio.run(coro) == [None]
        assert ran == [True]

    def test_returns_value_through_asyncio_run(self):
        result = asyncio.run(
            TraceSink._await_each([value_after_sleep((1, 2)), asyncio.sleep(0.001, "slept")])
        )
        # A tuple result must arrive whole, not unpacked by StopIteration.
        assert result == [(1, 2), "slept"]

    def test_awaits_gather_and_to_thread(self):
        async def main():
            gathered = asyncio.gather(value_after_sleep(1), value_after_sleep(2))
            in_thread = asyncio.to_thread(threading.current_thread)
            return await TraceSink._await_each([gathered, in_thread])

        gathered, thread = asyncio.run(main())
        assert gathered == [1, 2]
        assert thread is not threading.main_thread()

    def test_exception_caught_by_type_inside_cpp(self):
        result = asyncio.run(
            TraceSink._await_each([raise_after_sleep(KeyError("k")), value_after_sleep("after")], KeyError)
        )
        assert isinstance(result[0], KeyError) and result[0].args == ("k",)
        assert result[1] == "after"

    def test_subclass_of_caught_type_is_caught_and_others_propagate(self):
        caught = asyncio.run(TraceSink._await_each([raise_after_sleep(KeyError("k"))], LookupError))
        assert isinstance(caught[0], KeyError)
        with pytest.raises(ValueError, match="boom"):
            asyncio.run(TraceSink._await_each([raise_after_sleep(ValueError("boom"))], KeyError))

    def test_create_task_and_gather_accept_native_coroutines(self):
        async def main():
            task = asyncio.create_task(TraceSink._await_each([value_after_sleep("t")]))
            both = await asyncio.gather(
                TraceSink._await_each([value_after_sleep("a")]),
                TraceSink._await_each([value_after_sleep("b")]),
            )
            return await task, both

        assert asyncio.run(main()) == (["t"], [["a"], ["b"]])

    def test_nested_native_coroutines(self):
        inner = TraceSink._await_each([value_after_sleep(1)])
        assert asyncio.run(TraceSink._await_each([inner])) == [[1]]

    def test_cancellation_reaches_the_awaited_future(self):
        async def main():
            started = asyncio.Event()
            cancelled = []

            async def sleeper():
                started.set()
                try:
                    await asyncio.sleep(10)
                except asyncio.CancelledError:
                    cancelled.append(True)
                    raise

            task = asyncio.create_task(TraceSink._await_each([sleeper()]))
            await started.wait()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return cancelled

        assert asyncio.run(main()) == [True]

    def test_cancelling_gather_inside_cancels_children(self):
        async def main():
            children = [asyncio.ensure_future(asyncio.sleep(10)) for _ in range(2)]
            task = asyncio.create_task(TraceSink._await_each([asyncio.gather(*children)]))
            await asyncio.sleep(0.01)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return [c.cancelled() for c in children]

        assert asyncio.run(main()) == [True, True]

    def test_close_before_start_and_after_suspension(self):
        coro = TraceSink._await_each([YieldOnce()])
        coro.close()
        with pytest.raises(RuntimeError):
            coro.send(None)

        async def inner_coro():
            await YieldOnce()

        inner = inner_coro()
        coro = TraceSink._await_each([inner])
        assert coro.send(None) == "tick"  # the inner awaitable's yield reaches us untouched
        assert coro.cr_await is not None
        coro.close()
        assert inner.cr_frame is None  # the awaited coroutine was closed too

    def test_values_sent_reach_the_inner_iterator(self):
        received = []

        class Echo:
            def __await__(self):
                received.append((yield "first"))
                return "done"

        coro = TraceSink._await_each([Echo()])
        assert coro.send(None) == "first"
        with pytest.raises(StopIteration) as stop:
            coro.send("hello")
        assert received == ["hello"] and stop.value.value == ["done"]

    def test_reentry_is_refused(self):
        holder = {}

        class Reenter:
            def __await__(self):
                with pytest.raises(ValueError, match="already executing"):
                    holder["coro"].send(None)
                return iter(())

        holder["coro"] = TraceSink._await_each([Reenter()])
        assert asyncio.run(holder["coro"]) == [None]

    def test_manual_protocol(self):
        coro = TraceSink._await_each([])
        with pytest.raises(TypeError, match="just-started"):
            coro.send(1)
        with pytest.raises(StopIteration) as stop:
            coro.send(None)
        assert stop.value.value == []
        with pytest.raises(RuntimeError, match="reuse"):
            coro.send(None)

    def test_throw_into_unstarted_and_suspended(self):
        coro = TraceSink._await_each([])
        with pytest.raises(KeyError):
            coro.throw(KeyError("x"))

        coro = TraceSink._await_each([YieldOnce()], KeyError)
        assert coro.send(None) == "tick"
        with pytest.raises(StopIteration) as stop:
            coro.throw(KeyError("thrown"))
        assert isinstance(stop.value.value[0], KeyError)

    def test_never_awaited_warns_like_python(self):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            TraceSink._await_each([])
            gc.collect()
        assert any("was never awaited" in str(w.message) for w in caught)

    def test_finished_and_closed_coroutines_release_what_they_held(self):
        class Holder:
            pass

        held = Holder()
        ref = weakref.ref(held)
        asyncio.run(TraceSink._await_each([value_after_sleep(held)]))
        del held
        gc.collect()
        assert ref() is None

        held = Holder()
        ref = weakref.ref(held)
        coro = TraceSink._await_each([YieldOnce(held)])
        coro.send(None)
        coro.close()
        del held, coro
        gc.collect()
        assert ref() is None

    def test_not_awaitable_raises_inside(self):
        with pytest.raises(TypeError, match="can't be awaited"):
            asyncio.run(TraceSink._await_each([42]))


class TestBackendContract:
    def test_base_and_incomplete_subclass_cannot_be_instantiated(self):
        with pytest.raises(TypeError):
            RuntimeTraceSink()

        class Incomplete(RuntimeTraceSink):
            pass

        with pytest.raises(TypeError):
            Incomplete()

    def test_class_attribute_name(self):
        assert RuntimeTraceSink.name == "runtime_observation_backend"
        assert RecordingSink.name == "recording"

    def test_append_event_calls_append_events_once_with_one_element_list(self):
        sink = RecordingSink()
        event = object()
        assert asyncio.run(sink.append_event(event)) is None
        assert len(sink.batches) == 1
        assert type(sink.batches[0]) is list and sink.batches[0][0] is event
        asyncio.run(sink.append_event(event=event))
        assert len(sink.batches) == 2

    def test_append_event_returns_a_coroutine_without_running(self):
        sink = RecordingSink()
        coro = sink.append_event(1)
        assert asyncio.iscoroutine(coro) and sink.batches == []
        asyncio.run(coro)
        assert sink.batches == [[1]]

    def test_failure_of_append_events_propagates(self):
        class Failing(RuntimeTraceSink):
            async def append_events(self, events):
                raise OSError("disk full")

        with pytest.raises(OSError, match="disk full"):
            asyncio.run(Failing().append_event(1))

    def test_base_body_raises_not_implemented(self):
        class Delegating(RuntimeTraceSink):
            async def append_events(self, events):
                return await super().append_events(events)

        with pytest.raises(NotImplementedError):
            asyncio.run(Delegating().append_event(1))

    def test_is_an_abc(self):
        import abc

        assert isinstance(RuntimeTraceSink, abc.ABCMeta)
        assert RuntimeTraceSink.__abstractmethods__ == frozenset({"append_events"})
        assert issubclass(RecordingSink, RuntimeTraceSink)
