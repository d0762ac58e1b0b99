"""Event queries of the facade without a log service: filters in order, search, copies."""

from __future__ import annotations

import pytest

from desk_queries_helpers import T0, event, feed
from orvane_devtools.observation import TraceDesk

Desk = TraceDesk.RuntimeTraceDesk


@pytest.fixture
def desk(make_desk):
    d = make_desk()
    feed(
        d,
        event("task.started", "r1", T0, source="planner", meta={"app_id": "demo-app", "group_id": "g1"}),
        event("stream.delta", "r1", T0 + 1, source="planner", level="debug",
              payload={"Nested": {"Deep": ["Needle"]}}, meta={"app_id": "demo-web"}),
        event("stream.delta", "r2", T0 + 2, parent="r1", source="tool", message="STRASSE closed",
              meta={"app_id": 42, "group_id": "g1"}),
        event("task.completed", "r1", T0 + 3, source="planner", level="WARN", meta={"app_id": "other"}),
        event("note.logged", None, T0 + 4, source="host", message="no run"),
    )
    return d


def types_of(events):
    return [(e.event_type, e.timestamp - T0) for e in events]


class TestLimitAndWindow:
    def test_limit_is_a_tail(self, desk):
        assert [e.timestamp - T0 for e in desk.query_events(limit=3)] == [2, 3, 4]
        assert len(desk.query_events(limit=0)) == 5
        assert [e.timestamp - T0 for e in desk.query_events(limit=-2)] == [2, 3, 4]
        assert len(desk.query_events(limit=50)) == 5

    def test_limit_applies_after_the_filters(self, desk):
        assert [e.timestamp - T0 for e in desk.query_events(source="planner", limit=2)] == [1, 3]

    def test_inclusive_window(self, desk):
        assert [e.timestamp - T0 for e in desk.query_events(since=T0 + 2, until=T0 + 2)] == [2]
        assert [e.timestamp - T0 for e in desk.query_events(since=T0 + 3)] == [3, 4]
        assert [e.timestamp - T0 for e in desk.query_events(until=T0 + 1)] == [0, 1]


class TestExactFilters:
    def test_run_and_descendants_base(self, desk):
        assert [e.timestamp - T0 for e in desk.query_events(run_id="r1")] == [0, 1, 3]
        assert [e.timestamp - T0 for e in desk.query_events(run_id="r1", include_descendants=True)] == [0, 1, 2, 3]

    def test_types_source_level_meta(self, desk):
        assert types_of(desk.query_events(event_types="task.*")) == [("task.started", 0), ("task.completed", 3)]
        assert types_of(desk.query_events(event_types=["stream.delta"], source="tool")) == [("stream.delta", 2)]
        assert types_of(desk.query_events(level="warn")) == []  # exact, no case folding
        assert types_of(desk.query_events(level="WARN")) == [("task.completed", 3)]
        assert [e.timestamp - T0 for e in desk.query_events(group_id="g1")] == [0, 2]
        assert [e.timestamp - T0 for e in desk.query_events(app_id="demo-app")] == [0]


class TestAppIdPattern:
    def test_search_semantics_and_non_strings(self, desk):
        assert [e.timestamp - T0 for e in desk.query_events(app_id_pattern="^demo")] == [0, 1]
        assert [e.timestamp - T0 for e in desk.query_events(app_id_pattern="web")] == [1]
        assert desk.query_events(app_id_pattern="42") == []  # a number is not searched

    def test_invalid_pattern_gives_nothing_and_blank_filters_nothing(self, desk):
        assert desk.query_events(app_id_pattern="(demo") == []
        assert len(desk.query_events(app_id_pattern="   ")) == 5

    def test_other_regex_errors_propagate(self, desk, monkeypatch):
        class BrokenRe:
            error = ValueError

            @staticmethod
            def compile(pattern):
                raise KeyError(pattern)

        monkeypatch.setattr(TraceDesk, "re", BrokenRe)
        with pytest.raises(KeyError):
            desk.query_events(app_id_pattern="x")


class TestSearch:
    def test_case_folding_and_nesting(self, desk):
        assert [e.timestamp - T0 for e in desk.query_events(search="DEBUG")] == [1]
        assert [e.timestamp - T0 for e in desk.query_events(search="  needle ")] == [1]
        assert [e.timestamp - T0 for e in desk.query_events(search="deep")] == [1]  # a mapping key
        assert [e.timestamp - T0 for e in desk.query_events(search="straße")] == [2]
        assert len(desk.query_events(search=" \t ")) == 5

    def test_run_context_is_searched(self, desk):
        # "r2"'s run context names its parent "r1"; the root run event names nobody.
        assert [e.timestamp - T0 for e in desk.query_events(search='"parent_run_id": "r1"')] == [2]
        assert desk.query_events(search="agent_task") != []

    def test_run_is_searched_as_its_json_dump(self, make_desk):
        import datetime

        desk = make_desk()
        when = datetime.datetime(2024, 1, 2, 3, 4, 5)
        plain = event("x.logged", "p", T0, run_fields={"meta": {"n": [1, 2.5, None, True], "Key": "Val"}})
        rich = event("x.logged", "q", T0, run_fields={"meta": {"when": when, "t": (1, "A")}})
        feed(desk, plain, rich)
        assert [e.run.run_id for e in desk.query_events(search='"key": "val"')] == ["p"]
        assert [e.run.run_id for e in desk.query_events(search='[1, 2.5, null, true]')] == ["p"]
        # JSON mode renders the datetime in ISO form (not str()) and the tuple as a list.
        assert [e.run.run_id for e in desk.query_events(search="2024-01-02T03:04:05")] == ["q"]
        assert desk.query_events(search="2024-01-02 03:04:05") == []
        assert [e.run.run_id for e in desk.query_events(search='[1, "a"]')] == ["q"]

    def test_event_matches_search_directly(self, desk):
        ev = desk.get_recent_events()[1]
        assert desk._event_matches_search(ev, "NEEDLE")
        assert desk._event_matches_search(ev, "")
        assert not desk._event_matches_search(ev, "absent words")
        with pytest.raises(TypeError, match=r"Argument 'search' has incorrect type \(expected str, got int\)"):
            desk._event_matches_search(ev, 3)

    @pytest.mark.parametrize(
        "value, text",
        [
            (None, ""),
            ("MiXed ß", "mixed ss"),
            ({"b": 1, "A": [True, None]}, '{"A": [true, null], "b": 1}'.casefold()),
            ({"k": {1, 2}}, '{"k": "{1, 2}"}'),
            ("Ünïcode", "ünïcode"),
        ],
    )
    def test_normalize(self, value, text):
        assert Desk._normalize_search_text(value) == text

    def test_normalize_non_json_values_as_text(self):
        class Thing:
            def __str__(self):
                return "THING"

        assert Desk._normalize_search_text({"x": Thing()}) == '{"x": "thing"}'


class TestEventLookups:
    def test_results_are_copies(self, desk):
        first = desk.query_events(run_id="r1")[0]
        first.meta["app_id"] = "changed"
        first.run.run_id = "changed"
        again = desk.query_events(run_id="r1")[0]
        assert again.meta["app_id"] == "demo-app" and again.run.run_id == "r1"

    def test_run_and_recent_events_pass_through(self, desk):
        assert [e.timestamp - T0 for e in desk.get_run_events("r1", limit=2)] == [1, 3]
        assert [e.timestamp - T0 for e in desk.get_run_events("r1", include_descendants=1)] == [0, 1, 2, 3]
        assert [e.timestamp - T0 for e in desk.get_recent_events(limit=1)] == [4]

    def test_get_event_falls_back_to_the_recent_events(self, desk):
        wanted = desk.get_recent_events()[2]
        assert desk.get_event(wanted.event_id) == wanted

        class NoLookup:
            def __init__(self, inner):
                self.inner = inner
                self.get_event = "not callable"

            def get_recent_events(self, *, limit=None):
                return self.inner.get_recent_events(limit=limit)

        desk._run_store = NoLookup(desk._run_store)
        assert desk.get_event(wanted.event_id) == wanted
        assert desk.get_event("nope") is None

    def test_argument_errors(self, desk):
        for call, name, got in [
            (lambda: desk.get_event(1), "event_id", "int"),
            (lambda: desk.get_run_events(None), "run_id", "NoneType"),
            (lambda: desk.get_run_events("r1", limit="2"), "limit", "str"),
            (lambda: desk.get_recent_events(limit=[1]), "limit", "list"),
            (lambda: desk.query_events({"run_id": "r1"}), "query", "ObservationEventQuery"),
        ]:
            with pytest.raises(TypeError) as info:
                call()
            assert f"Argument '{name}' has incorrect type" in str(info.value)
        with pytest.raises(Exception):
            desk.query_events(unknown=1)


class TestUnprintableValues:
    """A held event whose values have no text (str() raising, a cycle, an int too long to print)
    never makes a search raise: such a value is searched by its repr(), or not at all."""

    class NoStr:
        def __str__(self):
            raise RuntimeError("no text")

        def __repr__(self):
            return "NoStr<Hidden>"

    class Nothing:
        def __str__(self):
            raise RuntimeError("no text")

        __repr__ = __str__

    def events(self):
        cyclic = {"k": 1}
        cyclic["self"] = cyclic
        return [
            event("tool.called", None, T0, message="plain words", payload={"v": self.NoStr()}),
            event("tool.called", None, T0 + 1, payload={"v": self.Nothing()}, message="other"),
            event("tool.called", None, T0 + 2, payload=cyclic, message="third"),
            event("tool.called", None, T0 + 3, payload={"n": 10 ** 5000}, message="fourth"),
        ]

    def test_through_the_stores_public_methods(self, make_desk):
        class Listing:
            def __init__(self, events):
                self.events = events

            def get_recent_events(self, *, limit=None):
                return list(self.events)

        desk = make_desk()
        desk._run_store = Listing(self.events())
        assert [e.message for e in desk.query_events(search="hidden")] == ["plain words"]
        assert [e.message for e in desk.query_events(search="words")] == ["plain words"]
        assert desk.query_events(search="no such text") == []
        assert [e.message for e in desk.query_events(search="fourth")] == ["fourth"]

    def test_the_methods_themselves(self, make_desk):
        desk = make_desk()
        first, second = self.events()[:2]
        assert desk._event_matches_search(first, "nostr<hidden>") is True
        assert desk._event_matches_search(second, "anything") is False
        with pytest.raises(RuntimeError):
            desk._normalize_search_text(self.Nothing())  # the text itself still cannot be made
