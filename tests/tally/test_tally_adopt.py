"""Seeding a store with records derived elsewhere (`_adopt_run`): what is restored and what not."""

from __future__ import annotations

import pytest
from tally_helpers import make_event

from orvane_devtools.observation.Tallybook import RunRecord, RuntimeTallybook


def derived(events):
    """A store fed `events`, as the store that is restarted would have been."""
    store = RuntimeTallybook()
    for e in events:
        store.append_event(e)
    return store


def history():
    return [
        make_event("agent_task.started", run_id="p", ts=10, message="Kick-off Alpha",
                   run_fields={"agent_name": "Planner", "meta": {"flow_name": "f1"}}),
        make_event("agent_task.started", run_id="c", ts=20, payload={"secretword": "Zebra"},
                   run_fields={"parent_run_id": "p", "root_run_id": "p"}),
        make_event("agent_task.completed", run_id="c", ts=30, meta={"app_id": "shop"},
                   run_fields={"parent_run_id": "p"}),
    ]


class TestAdoptRun:
    def test_reloaded_runs_answer_like_the_original_store(self):
        before = derived(history())
        texts = before._search_cache_by_run
        after = RuntimeTallybook()
        for rec in before.list_runs()[::-1]:  # oldest updated first, as a reload might
            after._adopt_run(rec, search_text=texts[rec.run_id])
        for run_id in ("p", "c"):
            assert after.get_run(run_id) == before.get_run(run_id)
        assert [r.run_id for r in after.get_run_children("p")] == ["c"]
        assert after._collect_descendant_run_ids("p") == ["p", "c"]
        assert after._children_by_parent == {"p": {"c"}}
        assert after._search_cache_by_run == texts
        for needle in ("zebra", "kick-off alpha", "agent_task.started", "PLANNER"):
            assert [r.run_id for r in after.list_runs(search=needle)] == \
                   [r.run_id for r in before.list_runs(search=needle)], needle
        # The old events themselves are not restored.
        assert after.get_run_events("c") == [] and after.get_recent_events() == []
        assert after.list_runs(since=25, until=35)[0].run_id == "c"  # judged by the record's times

    def test_later_appends_continue_the_run_as_if_its_events_had_been_seen(self):
        events = history()
        more = [make_event("agent_task.resumed", run_id="c", ts=40, message="Again",
                           run_fields={"parent_run_id": "elsewhere", "agent_id": "a9"})]
        full = derived(events + more)
        reloaded = RuntimeTallybook()
        seed = derived(events)
        for rec in seed.list_runs()[::-1]:
            reloaded._adopt_run(rec, seed._search_cache_by_run[rec.run_id])
        for e in more:
            reloaded.append_event(e)
        assert reloaded.get_run("c") == full.get_run("c")
        assert reloaded.get_run("c").event_count == 3 and reloaded.get_run("c").started_at == 20
        assert reloaded._search_cache_by_run["c"] == full._search_cache_by_run["c"]
        assert reloaded._children_by_parent == {"p": {"c"}}  # a later event never moves a run
        # A needle spanning the old text and the new event's text.
        tail = full._search_cache_by_run["c"]
        cut = len(seed._search_cache_by_run["c"])
        needle = tail[cut - 6:cut + 8]
        assert [r.run_id for r in reloaded.list_runs(search=needle)] == ["c"]

    def test_without_search_text_only_the_record_fields_are_searched(self):
        seed = derived(history())
        store = RuntimeTallybook()
        store._adopt_run(seed.get_run("c"))
        assert store._search_cache_by_run == {"c": ""}
        assert store.list_runs(search="zebra") == []  # an old event's payload: not restored
        assert [r.run_id for r in store.list_runs(search="shop")] == ["c"]  # record meta
        store.append_event(make_event(run_id="c", ts=50, message="Fresh words"))
        assert store._search_cache_by_run["c"].startswith("c p p agent_task")
        assert [r.run_id for r in store.list_runs(search="fresh words")] == ["c"]

    def test_search_text_is_kept_stripped_and_blank_text_is_empty(self):
        store = RuntimeTallybook()
        rec = RunRecord(run_id="r", root_run_id="r", run_kind="k")
        store._adopt_run(rec, "  \u3000old words\n")
        assert store._search_cache_by_run == {"r": "old words"}
        store.append_event(make_event(run_id="r", ts=1))
        assert store._search_cache_by_run["r"].startswith("old words r r k")
        store._adopt_run(rec, " \t ")
        assert store._search_cache_by_run == {"r": ""}
        assert store.list_runs(search="old words") == []

    def test_replacing_keeps_order_moves_parent_link_and_keeps_text_when_none_given(self):
        store = RuntimeTallybook()
        store.append_event(make_event(run_id="a", ts=5, payload={"note": "Original words"},
                                      run_fields={"parent_run_id": "p1"}))
        store.append_event(make_event(run_id="b", ts=5))
        text = store._search_cache_by_run["a"]
        replaced = store.get_run("a").model_copy(update={"parent_run_id": "p2", "status": "failed"})
        store._adopt_run(replaced)
        assert list(store._runs) == ["a", "b"]
        assert store._children_by_parent == {"p2": {"a"}}
        assert store.get_run("a").status == "failed"
        assert store._search_cache_by_run["a"] == text  # the events this store saw stay searchable
        assert [r.run_id for r in store.list_runs(search="original words")] == ["a"]
        assert len(store.get_run_events("a")) == 1  # held events stay
        store._adopt_run(replaced, "replacement text")
        assert store.list_runs(search="original words") == []
        assert [r.run_id for r in store.list_runs(search="replacement")] == ["a"]

    def test_the_store_keeps_its_own_copy(self):
        store = RuntimeTallybook()
        rec = RunRecord(run_id="r", root_run_id="r", run_kind="k", meta={"app_id": "x"})
        store._adopt_run(rec)
        rec.meta["app_id"] = "changed"
        rec.status = "failed"
        assert store.get_run("r").meta == {"app_id": "x"} and store.get_run("r").status == "unknown"
        assert store._runs["r"] is not rec

    def test_argument_types_and_failures_leave_no_trace(self):
        store = RuntimeTallybook()
        with pytest.raises(TypeError, match=r"Argument 'record' has incorrect type \(expected RunRecord, got dict\)"):
            store._adopt_run({"run_id": "r"})
        rec = RunRecord(run_id="r", root_run_id="r", run_kind="k", parent_run_id="p")
        with pytest.raises(TypeError, match=r"Argument 'search_text' has incorrect type \(expected str, got bytes\)"):
            store._adopt_run(rec, b"text")
        bad = RunRecord.model_construct(run_id=["unhashable"], root_run_id="r", run_kind="k")
        with pytest.raises(TypeError):
            store._adopt_run(bad)
        assert store._runs == {} and store._children_by_parent == {} and store._search_cache_by_run == {}

    def test_cannot_be_called_from_code_running_inside_a_store_call(self):
        store = RuntimeTallybook()
        caught = []

        class Sneaky:  # the store is reached through the instance, never through the class
            def __init__(self, action):
                self.action = action

            def __str__(self):
                try:
                    self.action()
                except RuntimeError as e:
                    caught.append(str(e))
                return "sneaky"

            def __deepcopy__(self, memo):
                return self

        record = RunRecord(run_id="x", root_run_id="x", run_kind="k")
        store.append_event(make_event(run_id="r", payload=Sneaky(lambda: store._adopt_run(record))))
        assert store.list_runs(search="sneaky")  # str() runs while the run's text is written
        assert caught and "cannot be changed" in caught[0]
        assert store.get_run("x") is None
