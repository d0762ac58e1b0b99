"""Live subscription registry: filtering, descendants, queueing, async reading."""

import asyncio
import threading

import pytest

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation import subscriptions as subs_mod
from orvane_devtools.observation.Query import ObservationSubscriptionFilter
from orvane_devtools.observation.subscriptions import (
    RuntimeObservationSubscription,
    RuntimeObservationSubscriptions,
    SubscriptionClosed,
)


def ev(event_type="run.started", run=None, **kw):
    return RuntimeEvent(event_type=event_type, run=run, **kw)


def drain(sub):
    out = []
    while not sub.empty():
        out.append(sub.get_nowait())
    return out


@pytest.fixture
def registry():
    return RuntimeObservationSubscriptions()


class TestFiltering:
    def test_no_filter_receives_everything_as_given(self, registry):
        sub = registry.subscribe()
        e = ev()
        registry.publish(e)
        assert sub.get_nowait() is e  # delivered, not copied

    def test_event_types(self, registry):
        sub = registry.subscribe(event_types=["tool.*", "run.finished"])
        events = [ev("tool.called"), ev("run.started"), ev("run.finished"), ev("toolbox")]
        for e in events:
            registry.publish(e)
        assert drain(sub) == [events[0], events[2]]

    def test_event_types_copied_at_subscribe(self, registry):
        wanted = ["a"]
        sub = registry.subscribe(event_types=wanted)
        wanted.append("b")
        registry.publish(ev("b"))
        assert sub.empty()

    def test_source_and_level(self, registry):
        sub = registry.subscribe(source="agent", level="error")
        registry.publish(ev(source="agent", level="info"))
        registry.publish(ev(source="tool", level="error"))
        hit = ev(source="agent", level="error")
        registry.publish(hit)
        assert drain(sub) == [hit]

    def test_app_and_group_ids(self, registry):
        by_app = registry.subscribe(app_id="app-1")
        by_group = registry.subscribe(group_id="g")
        by_pattern = registry.subscribe(app_id_pattern=r"^app-\d$")
        e1 = ev(meta={"app_id": "app-1", "group_id": "g"})
        e2 = ev(meta={"app_id": "app-22"})
        e3 = ev(meta={"app_id": 5})
        e4 = ev()
        for e in (e1, e2, e3, e4):
            registry.publish(e)
        assert drain(by_app) == [e1]
        assert drain(by_group) == [e1]
        assert drain(by_pattern) == [e1]

    def test_malformed_pattern_matches_nothing(self, registry):
        sub = registry.subscribe(app_id_pattern="([unclosed")
        registry.publish(ev(meta={"app_id": "([unclosed"}))
        assert sub.empty()

    def test_all_filters_must_hold(self, registry):
        sub = registry.subscribe(event_types="run.*", source="s", app_id="a", run_id="r1")
        good = ev("run.x", run={"run_id": "r1"}, source="s", meta={"app_id": "a"})
        registry.publish(ev("tool.x", run={"run_id": "r1"}, source="s", meta={"app_id": "a"}))
        registry.publish(ev("run.x", run={"run_id": "r2"}, source="s", meta={"app_id": "a"}))
        registry.publish(ev("run.x", run={"run_id": "r1"}, source="s", meta={"app_id": "b"}))
        registry.publish(good)
        assert drain(sub) == [good]

    def test_filter_object_and_keyword_precedence(self, registry):
        f = ObservationSubscriptionFilter(event_types=["a"], source="s", include_descendants=False, run_id="r")
        sub = registry.subscribe(filter=f, source="t")
        assert sub.event_types == ("a",)
        assert sub.source == "t"
        assert sub.run_id == "r"
        assert sub.include_descendants is False
        assert registry.subscribe(filter=f, include_descendants=True).include_descendants is True
        assert registry.subscribe(filter={"level": "warn"}).level == "warn"
        assert registry.subscribe().include_descendants is True
        assert sub.filter.model_dump() == {
            "event_types": ["a"], "run_id": "r", "include_descendants": False, "source": "t",
            "level": None, "app_id": None, "app_id_pattern": None, "group_id": None,
        }


class TestRunFiltering:
    def test_run_id_without_descendants(self, registry):
        sub = registry.subscribe(run_id="root", include_descendants=False)
        own = ev(run={"run_id": "root"})
        registry.publish(own)
        registry.publish(ev(run={"run_id": "c", "parent_run_id": "root", "root_run_id": "root"}))
        registry.publish(ev())
        assert drain(sub) == [own]

    def test_descendants_via_root_parent_and_tracked_chain(self, registry):
        sub = registry.subscribe(run_id="root")
        events = [
            ev(run={"run_id": "root"}),
            ev(run={"run_id": "child", "parent_run_id": "root"}),
            ev(run={"run_id": "grandchild", "parent_run_id": "child"}),
            ev(run={"run_id": "ggc", "parent_run_id": "grandchild"}),
            ev(run={"run_id": "any", "root_run_id": "root"}),
        ]
        stranger = ev(run={"run_id": "x", "parent_run_id": "y"})
        for e in events:
            registry.publish(e)
        registry.publish(stranger)
        assert drain(sub) == events

    def test_mid_tree_subscription(self, registry):
        sub = registry.subscribe(run_id="child")
        registry.publish(ev(run={"run_id": "child", "parent_run_id": "root"}))
        registry.publish(ev(run={"run_id": "gc", "parent_run_id": "child"}))
        registry.publish(ev(run={"run_id": "ggc", "parent_run_id": "gc"}))
        registry.publish(ev(run={"run_id": "sibling", "parent_run_id": "root"}))
        assert [e.run.run_id for e in drain(sub)] == ["child", "gc", "ggc"]

    def test_parent_cycle_terminates(self, registry):
        sub = registry.subscribe(run_id="target")
        registry.publish(ev(run={"run_id": "a", "parent_run_id": "b"}))
        registry.publish(ev(run={"run_id": "b", "parent_run_id": "a"}))
        registry.publish(ev(run={"run_id": "c", "parent_run_id": "a"}))
        assert sub.empty()

    def test_link_tracking_only_while_needed_and_bounded(self, registry, monkeypatch):
        registry.subscribe(event_types="*")
        registry.publish(ev(run={"run_id": "a", "parent_run_id": "p"}))
        assert len(registry._parents) == 0

        monkeypatch.setattr(subs_mod, "MAX_TRACKED_RUNS", 3)
        sub = registry.subscribe(run_id="p")
        for i in range(10):
            registry.publish(ev(run={"run_id": f"r{i}", "parent_run_id": f"r{i - 1}" if i else "p"}))
        assert len(registry._parents) == 3
        registry.unsubscribe(sub)
        assert len(registry._parents) == 0


class TestQueue:
    def test_drop_oldest_when_full(self, registry):
        sub = registry.subscribe(maxsize=2)
        events = [ev(str(i)) for i in range(5)]
        for e in events:
            registry.publish(e)
        assert sub.qsize() == 2
        assert sub.dropped_count == 3
        assert drain(sub) == events[3:]
        assert sub.empty()
        with pytest.raises(asyncio.QueueEmpty):
            sub.get_nowait()

    @pytest.mark.parametrize("maxsize", [0, -5])
    def test_maxsize_below_one_is_one(self, registry, maxsize):
        sub = registry.subscribe(maxsize=maxsize)
        registry.publish(ev("a"))
        registry.publish(ev("b"))
        assert sub.qsize() == 1 and sub.dropped_count == 1
        assert sub.get_nowait().event_type == "b"


class TestLifecycle:
    def test_ids_unique_and_unsubscribe(self, registry):
        a = registry.subscribe()
        b = registry.subscribe()
        assert a.id != b.id and len(registry) == 2
        assert registry.unsubscribe(a.id) is True
        assert a.closed and not b.closed
        assert registry.unsubscribe(a.id) is False
        assert registry.unsubscribe("unknown") is False
        assert registry.unsubscribe(b) is True
        assert len(registry) == 0 and registry.subscriptions == []
        registry.publish(ev())
        assert a.empty() and b.empty()

    def test_foreign_subscription_left_alone(self, registry):
        other = RuntimeObservationSubscriptions()
        sub = other.subscribe()
        assert registry.unsubscribe(sub) is False
        assert not sub.closed and len(other) == 1

    def test_direct_close_removes_from_registry(self, registry):
        sub = registry.subscribe()
        sub.close()
        assert len(registry) == 0
        registry.publish(ev())
        assert sub.empty()

    def test_reset(self, registry):
        subs = [registry.subscribe(), registry.subscribe(run_id="r")]
        registry.publish(ev(run={"run_id": "c", "parent_run_id": "r"}))
        registry.reset()
        assert len(registry) == 0
        assert all(s.closed for s in subs)
        assert len(registry._parents) == 0
        registry.publish(ev())
        assert [s.qsize() for s in subs] == [1, 1]  # earlier events remain readable


class TestAsyncReading:
    def test_get_waits_for_later_publish_on_same_loop(self, registry):
        async def main():
            sub = registry.subscribe()
            e = ev()
            reader = asyncio.create_task(sub.get())
            await asyncio.sleep(0)
            assert not reader.done()
            registry.publish(e)
            return e, await asyncio.wait_for(reader, 1)

        sent, received = asyncio.run(main())
        assert received is sent

    def test_async_for_ends_on_unsubscribe(self, registry):
        async def main():
            sub = registry.subscribe()
            seen = []

            async def consume():
                async for event in sub:
                    seen.append(event.event_type)

            task = asyncio.create_task(consume())
            registry.publish(ev("a"))
            await asyncio.sleep(0)
            registry.publish(ev("b"))
            registry.publish(ev("c"))
            registry.unsubscribe(sub.id)
            await asyncio.wait_for(task, 1)
            return seen

        # Events queued before the unsubscribe are still delivered.
        assert asyncio.run(main()) == ["a", "b", "c"]

    def test_get_after_close_raises(self, registry):
        async def main():
            sub = registry.subscribe()
            waiting = asyncio.create_task(sub.get())
            await asyncio.sleep(0)
            sub.close()
            with pytest.raises(SubscriptionClosed):
                await asyncio.wait_for(waiting, 1)
            with pytest.raises(SubscriptionClosed):
                await sub.get()

        asyncio.run(main())
        assert issubclass(SubscriptionClosed, asyncio.QueueShutDown)

    def test_cancelled_reader_does_not_swallow_wakeup(self, registry):
        async def main():
            sub = registry.subscribe()
            first = asyncio.create_task(sub.get())
            second = asyncio.create_task(sub.get())
            await asyncio.sleep(0)
            e = ev()
            registry.publish(e)  # wakes `first` ...
            first.cancel()  # ... which is cancelled before it can read
            got = await asyncio.wait_for(second, 1)
            return e, got

        sent, got = asyncio.run(main())
        assert got is sent

    def test_publish_from_other_thread_wakes_reader(self, registry):
        async def main():
            sub = registry.subscribe()
            e = ev()
            reader = asyncio.create_task(sub.get())
            await asyncio.sleep(0)
            thread = threading.Thread(target=registry.publish, args=(e,))
            thread.start()
            got = await asyncio.wait_for(reader, 2)
            thread.join()
            return e, got

        sent, got = asyncio.run(main())
        assert got is sent

    def test_subscription_is_standalone_usable(self):
        sub = RuntimeObservationSubscription(maxsize=1)
        assert sub.filter.include_descendants is True
        sub.close()
        sub.close()
        assert sub.closed
