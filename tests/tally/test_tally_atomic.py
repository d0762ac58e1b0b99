"""append_event either takes the whole event or, when it raises, nothing of it; and no event the
store took can make a later query fail."""

from __future__ import annotations

import sys

import pytest
from tally_helpers import make_event

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.Tallybook import RuntimeTallybook


class StrRaises:
    def __str__(self):
        raise RuntimeError("no string form")

    def __repr__(self):
        raise RuntimeError("no repr either")


class CopiedOnce:
    """Copies once (when the store encodes the event), then refuses."""

    def __init__(self):
        self.copies = 0

    def __deepcopy__(self, memo):
        self.copies += 1
        if self.copies > 1:
            raise RuntimeError("copied twice")
        return self


class NoCopy:
    def __deepcopy__(self, memo):
        raise RuntimeError("cannot be copied")


class EqRaises:
    def __eq__(self, other):
        raise RuntimeError("cannot compare")

    __hash__ = object.__hash__

    def __deepcopy__(self, memo):
        return self


class ContainsRaises(dict):
    def __contains__(self, key):
        raise RuntimeError("no membership test")


def state(store: RuntimeTallybook):
    """Everything a caller can see of the store."""
    return (
        [e.model_dump() for e in store.get_recent_events()],
        {k: [e.model_dump() for e in v] for k, v in store._events_by_run.items()},
        [r.model_dump() for r in store.list_runs()],
        {r.run_id: r.model_dump() for r in store.get_run_children("p")},
        {k: set(v) for k, v in store._children_by_parent.items()},
        store._search_cache_by_run,
        [r.run_id for r in store.list_runs(search="kept words")],
        store.evicted_run_count,
    )


def history():
    return [
        make_event("a.started", run_id="p", ts=1, message="kept words", event_id="h1"),
        make_event("a.started", run_id="c", ts=2, run_fields={"parent_run_id": "p", "meta": {"app_id": "x"}},
                   event_id="h2"),
        make_event("stream.delta", run_id="c", ts=3, payload={"k": [1, 2]}, event_id="h3"),
    ]


def deep_list(depth: int):
    value: list = []
    for _ in range(depth):
        value = [value]
    return value


FAILING = {
    "run kind without a string form (new run)":
        lambda: make_event(run_id="new", run_fields={"run_kind": StrRaises()}),
    "value that cannot be copied (existing run)":
        lambda: RuntimeEvent.model_construct(event_id="bad", event_type="a.completed", timestamp=9,
                                             payload=NoCopy(), meta={},
                                             run=RuntimeRunContext(run_id="c", run_kind="k")),
    "identity value copied once, refused the second time (existing run)":
        lambda: RuntimeEvent.model_construct(event_id="bad", event_type="a.completed", timestamp=9, meta={},
                                             run=RuntimeRunContext.model_construct(run_id="c", run_kind="k",
                                                                                   agent_id=CopiedOnce(), meta={})),
    "event meta whose membership test raises (existing run)":
        lambda: RuntimeEvent.model_construct(event_id="bad", event_type="a.completed", timestamp=9,
                                             meta=ContainsRaises(app_id="y"),
                                             run=RuntimeRunContext(run_id="c", run_kind="k")),
    "unhashable run id":
        lambda: RuntimeEvent.model_construct(event_id="bad", event_type="t", timestamp=9, meta={},
                                             run=RuntimeRunContext.model_construct(run_id=["x"], run_kind="k", meta={})),
    "run id RunRecord refuses (new run)":
        lambda: RuntimeEvent.model_construct(event_id="bad", event_type="t", timestamp=9, meta={},
                                             run=RuntimeRunContext.model_construct(run_id=5, run_kind="k", meta={})),
    "timestamp that is not a number":
        lambda: RuntimeEvent.model_construct(event_id="bad", event_type="t", timestamp="soon", meta={},
                                             run=RuntimeRunContext(run_id="c", run_kind="k")),
    "payload nested too deep to copy":
        lambda: make_event(run_id="c", payload=deep_list(50_000), event_id="bad"),
}


class TestFailedAppendLeavesNoTrace:
    @pytest.mark.parametrize("name", list(FAILING))
    @pytest.mark.parametrize("texts_written_before", [False, True])
    @pytest.mark.parametrize("records_held_by_python", [False, True])
    def test_no_trace(self, name, texts_written_before, records_held_by_python):
        failed, untouched = RuntimeTallybook(max_events=3), RuntimeTallybook(max_events=3)
        for store in (failed, untouched):
            for e in history():
                store.append_event(e)
            if texts_written_before:
                store.list_runs(search="anything")
            if records_held_by_python:
                assert store._runs
        with pytest.raises((RuntimeError, TypeError, ValueError, RecursionError)):
            failed.append_event(FAILING[name]())
        assert state(failed) == state(untouched)
        # Both go on alike: the failed event left nothing a later event could meet.
        for store in (failed, untouched):
            store.append_event(make_event("a.completed", run_id="c", ts=10, event_id="after", message="done"))
            store.append_event(make_event(run_id="new", ts=11, event_id="after2"))
        assert state(failed) == state(untouched)


class TestNoStoredEventBreaksAQuery:
    @staticmethod
    def odd_events():
        loop: list = []
        loop.append(loop)
        cyclic: dict = {}
        cyclic["self"] = cyclic
        huge = 10**5000 if sys.get_int_max_str_digits() else 7
        return [
            make_event(run_id="odd", payload={"loop": loop}, message="cyclic list", ts=5),
            make_event(run_id="odd", payload=cyclic, error=cyclic, ts=6),
            make_event(run_id="odd", payload=StrRaises(), meta={"app_id": StrRaises()}, ts=7),
            make_event(run_id="odd", payload=huge, error={"n": huge}, level=huge, ts=8),
            make_event(run_id="odd", payload=deep_list(200), ts=9),
            make_event(run_id="weird", run_fields={"meta": {"app_id": EqRaises(), "group_id": EqRaises(),
                                                             "flow_name": EqRaises()}}, ts=10),
            make_event(run_id="weird2", run_fields={"meta": {"note": StrRaises()}}, ts=11),
            make_event(run=False, payload={"loop": loop}, ts=12),
        ]

    def test_every_query_answers(self):
        from orvane.utils import Settings
        from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk

        desk = RuntimeTraceDesk(Settings({}))
        store = desk._run_store
        for e in self.odd_events():
            store.append_event(e)  # each is taken whole
        store.append_event(make_event(run_id="plain", message="Findable words", ts=20))
        assert store.get_run("odd").event_count == 5
        assert [r.run_id for r in store.list_runs(search="findable")] == ["plain"]
        assert [r.run_id for r in store.list_runs(search="cyclic list")] == ["odd"]
        assert [r.run_id for r in store.list_runs(search="[[...]]")] == ["odd"]  # repr stands in
        for kw in ({"app_id": "x"}, {"group_id": "g"}, {"flow_name": "f"}, {"app_id_pattern": "^x"},
                   {"search": "nothing like it"}, {"agent_id": "a"}):
            assert store.list_runs(**kw) == [], kw
        assert [r.run_id for r in store.list_runs(since=0, until=100)] == ["plain", "weird2", "weird", "odd"]
        texts = store._search_cache_by_run
        assert set(texts) == {"odd", "weird", "weird2", "plain"}
        assert "cyclic list" in texts["odd"]
        assert [e.timestamp for e in store.get_run_events("odd")] == [5, 6, 7, 8, 9]
        assert store.get_event(store.get_recent_events()[0].event_id) is not None
        assert store._events_by_run and store._recent_events
        for rec in store.list_runs():
            assert store._record_matches_search(rec, "zzz") in (True, False)

    def test_event_search_through_the_facade_answers(self):
        """The facade's event search takes the events' own field texts from the store (run contexts
        here are plain: the facade renders those itself)."""
        from orvane.utils import Settings
        from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk

        desk = RuntimeTraceDesk(Settings({}))
        odd = [e for e in self.odd_events() if e.run is None or e.run.run_id == "odd"]
        for e in odd:
            desk._run_store.append_event(e)
        desk._run_store.append_event(make_event(run_id="plain", message="Findable words", ts=20))
        assert [e.run.run_id for e in desk.query_events(search="findable")] == ["plain"]
        assert [e.timestamp for e in desk.query_events(search="cyclic list")] == [5]
        assert desk.query_events(search="no such words") == []
        assert [e.timestamp for e in desk.query_events(search="[[...]]")] == [5, 12]
