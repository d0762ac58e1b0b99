"""query_events over the package's own run store (read in its stored form) against the general
path through the store's public methods: both must give equal results on varied data."""

from __future__ import annotations

import itertools

import pytest

from desk_queries_helpers import T0, event, feed
from orvane_devtools.observation import Tallybook


class Opaque:
    """A payload value kept as a Python object: its text comes from str() of the object."""

    def __init__(self, tag: str) -> None:
        self.tag = tag

    def __str__(self) -> str:
        return f"Opaque<{self.tag}>"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Opaque) and other.tag == self.tag

    __hash__ = None


class Wrapped:
    """A store used through its public methods only (not the package's exact store type)."""

    def __init__(self, inner) -> None:
        self.inner = inner
        self.calls = 0

    def get_recent_events(self, *, limit=None):
        self.calls += 1
        return self.inner.get_recent_events(limit=limit)

    def append_event(self, ev):
        self.inner.append_event(ev)

    def get_run_events(self, run_id, *, limit=None, include_descendants=False):
        return self.inner.get_run_events(run_id, limit=limit, include_descendants=include_descendants)


class SubStore(Tallybook.RuntimeTallybook):
    pass


def varied_events():
    evs = []
    for i in range(40):
        run_id = None if i % 9 == 0 else f"run-{i % 4}"
        # The run context changes now and then, so events of one run carry different contexts.
        run_fields = {"agent_name": f"Agent-{i // 10}", "meta": {"team": "Ünïcode" if i % 3 else "plain"}}
        fields = dict(
            source=["planner", "executor", None][i % 3],
            level=["info", "warning", "ERROR"][i % 3],
            message=["Straße gefunden", "STRASSE", "trailing space   ", "  ", None, "Ωμέγα step"][i % 6],
            payload=[{"k": i, "nested": ["x", 1.5]}, None, "plain text", Opaque(f"o{i}"), [1, 2]][i % 5],
            error=None if i % 7 else {"type": "Boom", "text": "it failed"},
            meta={"app_id": ["app-a", "app-b", "other"][i % 3], "group_id": f"g{i % 2}"} if i % 5 else {},
        )
        ev = event(
            ["agent_task.started", "tool.called", "agent_task.completed", "llm.response"][i % 4],
            run_id,
            T0 + i * 10,
            parent="root" if run_id else None,
            run_fields=run_fields,
            **fields,
        )
        evs.append(ev)
    # A timestamp beyond 64 bits is held as an object.
    evs.append(event("tool.called", "run-1", 2**70, message="huge ts"))
    return evs


@pytest.fixture
def desks(make_desk):
    fast = make_desk()
    general = make_desk()
    evs = varied_events()
    feed(fast, *evs)
    feed(general, *evs)
    general._run_store = Wrapped(general._run_store)
    return fast, general


QUERIES = [
    {},
    {"search": "straße"},
    {"search": "STRASSE"},
    {"search": "ünïcode"},
    {"search": "ÜNÏCODE"},
    {"search": "agent-2"},
    {"search": "opaque<o3"},
    {"search": "space"},
    {"search": "space   "},
    {"search": "   "},
    {"search": "boom"},
    {"search": "\"k\": 3"},
    {"search": "1.5"},
    {"search": "run-2"},
    {"search": "agent_task"},
    {"search": "nothing like it"},
    {"search": "ΩΜΈΓΑ"},
    {"search": "huge"},
    {"search": "null"},
    {"search": "none"},
    {"search": "{}"},
    {"search": "[1, 2]"},
    {"event_types": ["agent_task.started"]},
    {"event_types": ["tool.called", "llm.response"], "search": "plain"},
    {"source": "planner", "search": "straße"},
    {"level": "ERROR"},
    {"app_id": "app-a", "search": "step"},
    {"group_id": "g1"},
    {"app_id_pattern": "^app-"},
    {"app_id_pattern": "(unclosed"},
    {"app_id_pattern": "app", "search": "info"},
    {"since": T0 + 100},
    {"until": T0 + 200, "search": "run"},
    {"since": T0 + 50, "until": T0 + 300, "search": "gefunden"},
    {"since": T0 + 100, "until": 2**62},
    {"limit": 0, "search": "run"},
    {"limit": -3, "search": "run"},
    {"limit": 5, "search": "run"},
    {"limit": 1000},
]


class TestStoredFormSearch:
    @pytest.mark.parametrize("query", QUERIES, ids=[str(q) for q in QUERIES])
    def test_equal_to_the_general_path(self, desks, query):
        fast, general = desks
        got = fast.query_events(**query)
        want = general.query_events(**query)
        assert general._run_store.calls == 1
        assert [e.model_dump() for e in got] == [e.model_dump() for e in want]
        assert [type(e) for e in got] == [type(e) for e in want]

    def test_results_are_independent_copies(self, desks):
        fast, _ = desks
        first = fast.query_events(search="straße")
        assert first
        first[0].meta["app_id"] = "changed"
        first[0].message = "changed"
        again = fast.query_events(search="straße")
        assert again[0].message != "changed"
        assert again[0].meta.get("app_id") != "changed"

    def test_nonempty_matches_are_found(self, desks):
        fast, _ = desks
        # The data reaches every kind of match: own fields, the run context only, kept objects.
        assert len(fast.query_events(search="ünïcode")) > len(fast.query_events(search="ünïcode", level="info"))
        assert [e.payload for e in fast.query_events(search="opaque<o3>")] == [Opaque("o3")]
        assert {e.run.agent_name for e in fast.query_events(search="agent-3")} == {"Agent-3"}

    def test_after_reset_and_new_events(self, desks):
        fast, general = desks
        late = event("tool.called", "again", T0, message="After Reset")
        for desk in (fast, general):
            store = desk._run_store
            (store.inner if isinstance(store, Wrapped) else store).reset()
            feed(desk, late)
        for q in ({"search": "after reset"}, {"search": "straße"}, {}):
            assert [e.model_dump() for e in fast.query_events(**q)] == [
                e.model_dump() for e in general.query_events(**q)
            ]

    def test_other_store_types_use_the_public_methods(self, make_desk):
        sub = make_desk()
        sub._run_store = SubStore()
        evs = varied_events()
        feed(sub, *evs)
        plain = make_desk()
        feed(plain, *evs)
        for q in ({"search": "straße"}, {"search": "agent-1", "limit": 2}):
            assert [e.model_dump() for e in sub.query_events(**q)] == [
                e.model_dump() for e in plain.query_events(**q)
            ]

    def test_a_replaced_get_recent_events_is_honoured(self, desks, monkeypatch):
        fast, _ = desks
        seen = []
        original = Tallybook.RuntimeTallybook.get_recent_events

        def patched(self, *, limit=None):
            seen.append(limit)
            return original(self, limit=limit)[:3]

        monkeypatch.setattr(Tallybook.RuntimeTallybook, "get_recent_events", patched)
        got = fast.query_events(search="e")
        assert seen == [None]
        assert len(got) <= 3

    def test_search_and_filter_combinations_agree(self, desks):
        fast, general = desks
        searches = [None, "straße", "run-1", "o1"]
        levels = [None, "info"]
        limits = [None, 2, -1]
        for search, level, limit in itertools.product(searches, levels, limits):
            q = {"search": search, "level": level, "limit": limit}
            assert [e.event_id for e in fast.query_events(**q)] == [
                e.event_id for e in general.query_events(**q)
            ], q

    def test_store_changed_during_the_query(self, desks, monkeypatch):
        # The event type check is outside code: here it resets the store and refills it while the
        # query runs. The query keeps working on the events it started with.
        from orvane_devtools.observation import TraceDesk

        fast, general = desks
        filler = [event("tool.called", f"new-{i}", T0 + i, message="Straße neu" * 50) for i in range(30)]
        results = []
        for desk in (fast, general):
            store = desk._run_store
            inner = store.inner if isinstance(store, Wrapped) else store
            state = {"done": False}

            def check(event_type, wanted, inner=inner, state=state):
                if not state["done"]:
                    state["done"] = True
                    inner.reset()
                    for ev in filler:
                        inner.append_event(ev)
                return True

            monkeypatch.setattr(TraceDesk, "matches_wavelane_event_type", check)
            results.append([e.model_dump() for e in desk.query_events(event_types=["x"], search="straße")])
        assert results[0] == results[1]
        assert len(results[0]) == len([e for e in varied_events() if "strasse" in (e.message or "").casefold()])
