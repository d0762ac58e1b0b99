"""Run store queries: filters, search, time window, ordering, children, events, regex, arguments."""

from __future__ import annotations

import re

import pytest
from tally_helpers import make_event

from orvane_devtools.observation import Tallybook
from orvane_devtools.observation.StoreBackend import ObservationStoreBackend, create_observation_store
from orvane_devtools.observation.Tallybook import RunRecord, RuntimeTallybook


def ids(records):
    return [r.run_id for r in records]


@pytest.fixture
def filled(store, ev):
    store.append_event(ev("a.started", run_id="r1", ts=100, meta={"app_id": "shop-web", "group_id": "g1"},
                          run_fields={"agent_id": "A", "session_id": "s1", "agent_name": "planner",
                                      "meta": {"flow_name": "checkout"}}))
    store.append_event(ev("a.completed", run_id="r2", ts=300, meta={"app_id": "shop-api"},
                          run_fields={"parent_run_id": "r1", "root_run_id": "r1", "agent_id": "B",
                                      "run_kind": "tool"}))
    store.append_event(ev("a.failed", run_id="r3", ts=200, message="Disk FULL",
                          run_fields={"parent_run_id": "r1", "root_run_id": "r1"}))
    return store


class TestListRuns:
    def test_field_filters(self, filled):
        assert ids(filled.list_runs()) == ["r2", "r3", "r1"]
        assert ids(filled.list_runs(run_id="r3")) == ["r3"]
        assert ids(filled.list_runs(root_run_id="r1")) == ["r2", "r3", "r1"]
        assert ids(filled.list_runs(parent_run_id="r1")) == ["r2", "r3"]
        assert ids(filled.list_runs(run_kind="tool")) == ["r2"]
        assert ids(filled.list_runs(status="failed")) == ["r3"]
        assert ids(filled.list_runs(agent_id="A", session_id="s1")) == ["r1"]
        assert ids(filled.list_runs(app_id="shop-api")) == ["r2"]
        assert ids(filled.list_runs(group_id="g1", flow_name="checkout")) == ["r1"]
        assert filled.list_runs(group_id="g1", flow_name="other") == []

    def test_app_id_pattern(self, filled):
        assert ids(filled.list_runs(app_id_pattern=r"^shop-")) == ["r2", "r1"]
        assert ids(filled.list_runs(app_id_pattern="api$")) == ["r2"]
        assert ids(filled.list_runs(app_id_pattern="")) == ["r2", "r3", "r1"]  # empty: no filter
        assert filled.list_runs(app_id_pattern="(unclosed") == []  # malformed: excludes all

    def test_search(self, filled):
        assert ids(filled.list_runs(search="   ")) == ["r2", "r3", "r1"]  # blank needle matches all
        assert ids(filled.list_runs(search="PLANNER")) == ["r1"]
        assert ids(filled.list_runs(search="disk full")) == ["r3"]
        assert ids(filled.list_runs(search="  disk full\n")) == ["r3"]
        assert filled.list_runs(search="disk  full") == []  # one substring, not words
        assert ids(filled.list_runs(search='"flow_name": "checkout"')) == ["r1"]  # meta JSON text
        assert ids(filled.list_runs(search="r1")) == ["r2", "r3", "r1"]

    def test_search_case_folding(self, store, ev):
        store.append_event(ev(run_id="x", message="Grüße aus der STRASSE"))
        assert ids(store.list_runs(search="GRÜSSE")) == ["x"]
        assert ids(store.list_runs(search="straße")) == ["x"]

    def test_time_window(self, store, ev):
        store.append_event(ev(run_id="in", ts=150))
        store.append_event(ev(run_id="edge", ts=100))
        store.append_event(ev(run_id="out", ts=50))
        assert ids(store.list_runs(since=100, until=200)) == ["in", "edge"]
        assert ids(store.list_runs(until=100)) == ["edge", "out"]
        assert ids(store.list_runs(since=151)) == []

    def test_time_window_held_events_decide(self, ev):
        store = RuntimeTallybook(max_events=1)
        store.append_event(ev(run_id="r", ts=500))
        store.append_event(ev(run_id="r", ts=10))  # the ring now holds only ts=10; updated_at is 10
        store._runs["r"].updated_at = 500
        assert store.list_runs(since=400) == []  # judged by the held event, not updated_at
        assert ids(store.list_runs(since=5, until=10)) == ["r"]

    def test_time_window_without_held_events(self, ev):
        store = RuntimeTallybook(max_events=0)
        store.append_event(ev(run_id="r", ts=500))
        rec = store._runs["r"]
        assert ids(store.list_runs(since=500, until=500)) == ["r"]  # by updated_at
        assert store.list_runs(until=499) == []
        rec.updated_at = 0  # zero counts as missing: started_at decides
        rec.started_at = 42
        assert ids(store.list_runs(since=40, until=45)) == ["r"]
        rec.started_at = None
        rec.completed_at = None
        rec.failed_at = 0  # failed_at is taken whatever its value
        assert ids(store.list_runs(since=0, until=0)) == ["r"]
        rec.failed_at = None
        assert store.list_runs(since=0) == []
        assert store._record_matches_time_window(rec, None, None) is True

    def test_sort_and_limit(self, store, ev):
        for run_id, ts in (("a", 5), ("b", 7), ("c", 5), ("d", 0)):
            store.append_event(ev(run_id=run_id, ts=ts))
        store._runs["d"].updated_at = None
        assert ids(store.list_runs()) == ["b", "a", "c", "d"]  # stable for equal keys, None counts as 0
        assert store.list_runs(limit=0) == []
        assert ids(store.list_runs(limit=2)) == ["b", "a"]
        assert ids(store.list_runs(limit=-1)) == ["b", "a", "c"]
        assert ids(store.list_runs(limit=10)) == ["b", "a", "c", "d"]

    def test_argument_types(self, store):
        for name in ("run_id", "status", "search", "app_id_pattern", "flow_name"):
            with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected str, got int\)"):
                store.list_runs(**{name: 1})
        with pytest.raises(TypeError, match=r"Argument 'limit' has incorrect type \(expected int, got str\)"):
            store.list_runs(limit="1")
        with pytest.raises(TypeError):
            store.list_runs("positional")
        for call in (lambda: store.get_run(1), lambda: store.get_run_children(None),
                     lambda: store.get_run_events(b"x"), lambda: store.get_event(1.0),
                     lambda: store._collect_descendant_run_ids(3)):
            with pytest.raises(TypeError, match="has incorrect type"):
                call()
        with pytest.raises(TypeError, match=r"Argument 'limit' has incorrect type"):
            store.get_recent_events(limit="x")
        with pytest.raises(TypeError, match=r"Argument 'record' has incorrect type"):
            store._record_matches_search({"run_id": "x"}, "x")


class TestIntegerArguments:
    """Integer arguments take an int (bool included, as a typed Python argument does) or None;
    anything else, a float too, is refused before any work."""

    CALLS = {
        "list_runs since": lambda s, v: s.list_runs(since=v),
        "list_runs until": lambda s, v: s.list_runs(until=v),
        "list_runs limit": lambda s, v: s.list_runs(limit=v),
        "get_run_events limit": lambda s, v: s.get_run_events("r1", limit=v),
        "get_recent_events limit": lambda s, v: s.get_recent_events(limit=v),
        "_record_matches_time_window since": lambda s, v: s._record_matches_time_window(s.get_run("r1"), v),
        "_record_matches_time_window until": lambda s, v: s._record_matches_time_window(s.get_run("r1"), None, v),
    }

    @pytest.mark.parametrize("call", list(CALLS))
    @pytest.mark.parametrize("value, type_name", [(1.5, "float"), (2.0, "float"), ("3", "str"), (b"3", "bytes")])
    def test_other_types_are_refused_with_the_argument_named(self, filled, call, value, type_name):
        name = call.split()[-1]
        with pytest.raises(TypeError, match=rf"^Argument '{name}' has incorrect type \(expected int, got {type_name}\)$"):
            self.CALLS[call](filled, value)

    def test_ints_bools_and_big_ints(self, filled):
        assert ids(filled.list_runs(limit=True)) == ["r2"]  # True is the int 1
        assert filled.list_runs(limit=False) == []
        assert ids(filled.list_runs(limit=10**30)) == ["r2", "r3", "r1"]
        assert ids(filled.list_runs(limit=-(10**30))) == []
        assert filled.list_runs(since=10**30) == [] and ids(filled.list_runs(until=10**30)) == ["r2", "r3", "r1"]
        assert len(filled.get_recent_events(limit=-(10**30))) == 0
        assert len(filled.get_recent_events(limit=10**30)) == 3
        assert [e.run.run_id for e in filled.get_run_events("r1", include_descendants=True, limit=2**63)] == \
               ["r1", "r3", "r2"]
        assert filled.get_run_events("r1", include_descendants=True, limit=-(2**63)) == []

        class MyInt(int):
            pass

        assert ids(filled.list_runs(limit=MyInt(1))) == ["r2"]


class TestRunsAndChildren:
    def test_get_run_and_children(self, filled):
        assert filled.get_run("missing") is None and filled.get_run_children("missing") == []
        assert filled._collect_descendant_run_ids("missing") == ["missing"]
        assert ids(filled.get_run_children("r1")) == ["r3", "r2"]  # started_at ascending
        assert filled.get_run("r1") == filled._runs["r1"] and filled.get_run("r1") is not filled._runs["r1"]

    def test_children_without_record_are_skipped(self, filled):
        filled._children_by_parent["r1"].add("ghost")
        assert ids(filled.get_run_children("r1")) == ["r3", "r2"]

    def test_descendants_breadth_first(self, store, ev):
        for run_id, parent in (("root", None), ("b", "root"), ("a", "root"), ("a2", "a"), ("a1", "a"), ("b1", "b")):
            store.append_event(ev(run_id=run_id, run_fields={"parent_run_id": parent}))
        assert store._collect_descendant_run_ids("root") == ["root", "a", "b", "a1", "a2", "b1"]

    def test_descendant_walk_stops_at_loops(self, store, ev):
        store.append_event(ev(run_id="x", run_fields={"parent_run_id": "y"}))
        store.append_event(ev(run_id="y", run_fields={"parent_run_id": "x"}))
        store.append_event(ev(run_id="self", run_fields={"parent_run_id": "self"}))
        assert store._collect_descendant_run_ids("x") == ["x", "y"]
        assert store._collect_descendant_run_ids("self") == ["self"]
        assert [e.run.run_id for e in store.get_run_events("x", include_descendants=True)] == ["x", "y"]


class TestEvents:
    def test_run_events_order_and_limit(self, store, ev):
        store.append_event(ev(run_id="p", ts=30, event_id="p1"))
        store.append_event(ev(run_id="b", ts=10, event_id="b1", run_fields={"parent_run_id": "p"}))
        store.append_event(ev(run_id="a", ts=10, event_id="a1", run_fields={"parent_run_id": "p"}))
        store.append_event(ev(run_id="p", ts=10, event_id="p2"))
        events = store.get_run_events("p", include_descendants=True)
        assert [e.event_id for e in events] == ["p2", "a1", "b1", "p1"]  # parent, a, b; then by time
        assert [e.event_id for e in store.get_run_events("p")] == ["p2", "p1"]
        assert [e.event_id for e in store.get_run_events("p", include_descendants=True, limit=0)] == ["p2", "a1", "b1", "p1"]
        assert [e.event_id for e in store.get_run_events("p", include_descendants=True, limit=2)] == ["b1", "p1"]
        assert [e.event_id for e in store.get_run_events("p", include_descendants=True, limit=-1)] == ["a1", "b1", "p1"]
        assert store.get_run_events("nobody") == []

    def test_recent_events_and_get_event(self, ev):
        store = RuntimeTallybook(max_events=3)
        for i in range(4):
            store.append_event(ev(run_id="r", event_id=f"e{i}", ts=i))
        store.append_event(ev(run=False, event_id="e3", ts=99))  # same id again, newer
        assert [e.event_id for e in store.get_recent_events()] == ["e2", "e3", "e3"]
        assert [e.event_id for e in store.get_recent_events(limit=1)] == ["e3"]
        assert [e.event_id for e in store.get_recent_events(limit=0)] == ["e2", "e3", "e3"]
        assert [e.event_id for e in store.get_recent_events(limit=-2)] == ["e3"]
        assert store.get_event("e3").timestamp == 99  # newest first
        assert store.get_event("e1") is None  # left the recent ring, though its run ring holds it
        assert [e.event_id for e in store.get_run_events("r")] == ["e1", "e2", "e3"]


class TestRegex:
    def test_matches_regex(self):
        m = RuntimeTallybook._matches_regex
        assert m("shop-web", "web$") and m("xshop", "shop") and not m("shop", "^x")
        assert not m(None, ".*") and not m(5, ".*")
        assert not m("abc", "[")
        with pytest.raises(TypeError, match="Argument 'pattern'"):
            m("abc", 1)

    def test_re_is_looked_up_through_the_module(self, monkeypatch):
        calls = []

        class FakeRe:
            error = re.error

            @staticmethod
            def compile(pattern):
                calls.append(pattern)
                return re.compile(pattern.upper())

        monkeypatch.setattr(Tallybook, "re", FakeRe)
        assert RuntimeTallybook._matches_regex("ABC", "abc") and calls == ["abc"]
        RuntimeTallybook._matches_regex("ABC", "abc")
        assert calls == ["abc"]  # compiled once per pattern

    def test_only_regex_errors_are_swallowed(self, monkeypatch):
        class Boom:
            error = re.error

            @staticmethod
            def compile(pattern):
                raise KeyError(pattern)

        monkeypatch.setattr(Tallybook, "re", Boom)
        with pytest.raises(KeyError):
            RuntimeTallybook._matches_regex("a", "zz-not-cached")


class TestFactory:
    def test_create_observation_store(self):
        store = create_observation_store(settings=object(), max_events=10)
        assert isinstance(store, RuntimeTallybook) and store.backend_name == "memory" and store._max_events == 10
        assert create_observation_store(max_events=0)._max_events == 1
        assert create_observation_store(max_events=-5)._max_events == 1
        assert create_observation_store(max_events=2.7)._max_events == 2
        assert isinstance(store, ObservationStoreBackend)
        with pytest.raises(TypeError, match="Argument 'max_events'"):
            create_observation_store(max_events="10")

    def test_records_are_pydantic(self, filled):
        rec = filled.list_runs(run_id="r1")[0]
        assert isinstance(rec, RunRecord)
        assert rec.model_copy(deep=True) == rec
        assert rec.model_dump(mode="json")["meta"] == {"flow_name": "checkout", "app_id": "shop-web", "group_id": "g1"}


def test_search_sees_records_changed_after_their_last_event(store, ev):
    store.append_event(ev(run_id="r", run_fields={"agent_name": "alpha", "meta": {"flow_name": "f1"}}))
    store.append_event(ev(run_id="r", run_fields={"agent_name": "alpha", "meta": {"flow_name": "f1"}}))
    record = store._runs["r"]
    assert store.list_runs(search="BETA") == []
    record.agent_name = "beta"  # replaced value
    assert ids(store.list_runs(search="BETA")) == ["r"]
    record.meta["note"] = "gamma"  # changed in place
    assert ids(store.list_runs(search="gamma")) == ["r"]
    record.execution_id = ["zeta"]
    store.append_event(ev(run_id="r"))
    assert store.list_runs(search="omicron") == []
    record.execution_id.append("omicron")  # a container field, changed in place
    assert ids(store.list_runs(search="omicron")) == ["r"]
    record.execution_id = None
    record.meta["note"] = ["delta"]
    store.append_event(ev(run_id="r"))
    record.meta["note"].append("epsilon")  # a container inside meta, changed in place
    assert ids(store.list_runs(search="epsilon")) == ["r"]
    store.reset()
    assert store.list_runs(search="alpha") == []
