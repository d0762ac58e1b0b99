"""At most max_runs runs: which runs go first, what goes with them, and how they are counted."""

from __future__ import annotations

import pytest
from tally_helpers import make_event

from orvane.utils import Settings
from orvane_devtools.observation.StoreBackend import create_observation_store
from orvane_devtools.observation.Tallybook import RunRecord, RuntimeTallybook


def run_ids(store):
    return sorted(r.run_id for r in store.list_runs())


class TestWhichRunsGo:
    def test_finished_runs_whose_events_left_the_recent_events_go_first(self):
        store = RuntimeTallybook(max_events=2, max_runs=3)
        store.append_event(make_event("a.completed", run_id="done-old", ts=1))
        store.append_event(make_event("a.started", run_id="open-old", ts=2))
        store.append_event(make_event("a.failed", run_id="done-new", ts=3))
        store.append_event(make_event("stream.delta", run_id="open-old", ts=4))  # recent: done-new, open-old
        store.append_event(make_event(run_id="fourth", ts=5))
        # done-old is finished and out of the recent events; open-old is the oldest but open.
        assert run_ids(store) == ["done-new", "fourth", "open-old"]
        assert store.evicted_run_count == 1
        store.append_event(make_event(run_id="fifth", ts=6))  # recent: fourth, fifth
        assert run_ids(store) == ["fifth", "fourth", "open-old"]  # done-new's events have left too
        store.append_event(make_event(run_id="sixth", ts=7))
        # No finished run left: the oldest run goes, open or not.
        assert run_ids(store) == ["fifth", "fourth", "sixth"]
        assert store.evicted_run_count == 3

    def test_a_finished_run_still_among_the_recent_events_waits(self):
        store = RuntimeTallybook(max_events=10, max_runs=2)
        store.append_event(make_event("a.started", run_id="open", ts=1))
        store.append_event(make_event("a.completed", run_id="done", ts=2))
        store.append_event(make_event(run_id="new", ts=3))
        assert run_ids(store) == ["done", "new"]  # the open one was older, and done's events are recent

    def test_a_run_that_finishes_later_or_reopens_is_judged_by_its_latest_status(self):
        store = RuntimeTallybook(max_events=1, max_runs=2)
        store.append_event(make_event("a.completed", run_id="a", ts=1))
        store.append_event(make_event("a.resumed", run_id="a", ts=2))  # running again
        store.append_event(make_event("a.completed", run_id="b", ts=3))
        store.append_event(make_event(run_id="c", ts=4))
        assert run_ids(store) == ["a", "c"]  # b was the finished one

    def test_the_run_being_appended_to_stays(self):
        store = RuntimeTallybook(max_events=0, max_runs=1)
        for i, run_id in enumerate(["a", "b", "b", "c"]):
            store.append_event(make_event("a.completed", run_id=run_id, ts=i))
            assert run_ids(store) == [run_id]
        assert store.evicted_run_count == 2 and store.get_run("c").event_count == 1

    def test_adopted_runs_count_and_can_push_others_out(self):
        store = RuntimeTallybook(max_runs=2)
        store.append_event(make_event(run_id="a", ts=1))
        store._adopt_run(RunRecord(run_id="x", root_run_id="x", run_kind="k", status="completed"))
        store._adopt_run(RunRecord(run_id="y", root_run_id="y", run_kind="k"))
        assert run_ids(store) == ["a", "y"] and store.evicted_run_count == 1


class TestWhatGoesWithARun:
    def test_record_events_text_and_links(self):
        store = RuntimeTallybook(max_events=1, max_runs=3)
        store.append_event(make_event("a.completed", run_id="child", ts=1, message="child words",
                                      run_fields={"parent_run_id": "parent"}))
        store.append_event(make_event("a.started", run_id="parent", ts=2))
        store.append_event(make_event("a.started", run_id="other", ts=3))
        store.append_event(make_event(run_id="trigger", ts=4))
        assert store.get_run("child") is None
        assert "child" not in store._events_by_run and "child" not in store._search_cache_by_run
        assert store.list_runs(search="child words") == []
        assert store._children_by_parent == {}  # the emptied set went with its last child
        assert store._collect_descendant_run_ids("parent") == ["parent"]
        # The same run id later starts afresh.
        store.append_event(make_event(run_id="child", ts=5, run_fields={"parent_run_id": "parent"}))
        assert store.get_run("child").event_count == 1 and store._children_by_parent == {"parent": {"child"}}

    def test_a_dropped_parent_keeps_its_living_childrens_links(self):
        store = RuntimeTallybook(max_events=1, max_runs=3)
        store.append_event(make_event("a.completed", run_id="root", ts=1))
        store.append_event(make_event("a.started", run_id="kid", ts=2, run_fields={"parent_run_id": "root"}))
        store.append_event(make_event("a.started", run_id="x", ts=3))
        store.append_event(make_event("a.started", run_id="y", ts=4))
        assert store.get_run("root") is None
        assert store._collect_descendant_run_ids("root") == ["root", "kid"]
        assert store.get_run_children("root")[0].run_id == "kid"

    def test_records_held_by_python_code_go_from_the_mapping(self):
        store = RuntimeTallybook(max_events=1, max_runs=2)
        live = store._runs
        for i, run_id in enumerate(["a", "b", "c"]):
            store.append_event(make_event("a.completed", run_id=run_id, ts=i))
        assert list(live) == ["b", "c"] and store._runs is live


class TestLimitAndCount:
    def test_lowering_the_limit_drops_at_once_and_reset_clears_the_count(self):
        store = RuntimeTallybook(max_events=1)
        for i in range(10):
            store.append_event(make_event("a.completed", run_id=f"r{i}", ts=i))
        store._max_runs = 4
        assert run_ids(store) == ["r6", "r7", "r8", "r9"] and store.evicted_run_count == 6
        store.reset()
        assert store.evicted_run_count == 0 and store._max_runs == 4

    def test_bounded_over_many_runs(self):
        store = RuntimeTallybook(max_events=50, max_runs=100)
        for i in range(5_000):
            store.append_event(make_event("a.completed" if i % 3 else "a.started", run_id=f"r{i}", ts=i,
                                          run_fields={"parent_run_id": f"p{i % 7}"}))
        assert len(store.list_runs()) == 100 and store.evicted_run_count == 4_900
        assert sum(len(v) for v in store._children_by_parent.values()) == 100
        assert len(store._search_cache_by_run) == 100

    @pytest.mark.parametrize("bad", [0, -1])
    def test_argument(self, bad):
        assert RuntimeTallybook()._max_runs == 100_000
        assert RuntimeTallybook(5, 7.9)._max_runs == 7
        with pytest.raises(ValueError, match="max_runs must be at least 1"):
            RuntimeTallybook(max_runs=bad)
        with pytest.raises(TypeError, match=r"Argument 'max_runs' has incorrect type \(expected int, got str\)"):
            RuntimeTallybook(max_runs="10")
        with pytest.raises(ValueError):
            RuntimeTallybook()._max_runs = bad


class TestSetting:
    @pytest.mark.parametrize("value, expected", [(5, 5), (2.9, 2), ("17", 17), (True, 1), (0, 1), (-4, 1),
                                                 ("many", 100_000), (float("inf"), 100_000), (2**70, 100_000),
                                                 (None, 100_000)])
    def test_observation_max_runs_is_read_from_the_settings(self, value, expected):
        store = create_observation_store(settings=Settings({"observation.max_runs": value}), max_events=3)
        assert store._max_runs == expected and store._max_events == 3

    def test_default_and_the_facade(self):
        from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk

        assert create_observation_store()._max_runs == 100_000
        assert create_observation_store(settings=Settings({}))._max_runs == 100_000
        desk = RuntimeTraceDesk(Settings({"observation.max_runs": 2, "observation.buffer_limit": 1}))
        store = desk._run_store
        for run_id in ("a", "b", "c"):
            store.append_event(make_event("a.completed", run_id=run_id))
        assert [r.run_id for r in desk.list_runs()] == ["b", "c"] and store.evicted_run_count == 1
