"""Integer arguments of the queries take ints (and None) only: a float, even a whole one, is the
house type error naming the argument, raised before the store, the log service, the clock or the
query model is touched -- given as a keyword or inside a query object."""

from __future__ import annotations

import pydantic
import pytest

from desk_queries_helpers import T0, event, feed
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.Query import ObservationEventQuery, ObservationRunQuery


def message(name, got="float", expected="int"):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


class Spy:
    """Wraps a collaborator and records every attribute asked for."""

    def __init__(self, inner):
        self.inner = inner
        self.touched = []

    def __getattr__(self, name):
        self.touched.append(name)
        return getattr(self.inner, name)


class LogService:
    """A log service that answers nothing and records the calls."""

    def __init__(self):
        self.calls = []

    def query_runs(self, **kw):
        self.calls.append(("query_runs", kw))
        return []

    def query_events(self, **kw):
        self.calls.append(("query_events", kw))
        return []

    def collect_descendant_run_ids(self, run_id):
        self.calls.append(("collect", run_id))
        return [run_id]


@pytest.fixture
def desk(make_desk, clock, monkeypatch):
    desk = make_desk()
    feed(desk, event("task.started", "r1", T0), event("task.completed", "r2", T0 + 1))
    desk._run_store = Spy(desk._run_store)
    return desk


@pytest.fixture
def model_calls(monkeypatch):
    """Counts the query models built by the facade."""
    built = []

    def counting(cls):
        def make(**kw):
            built.append(cls.__name__)
            return cls(**kw)
        return make

    monkeypatch.setattr(TraceDesk, "ObservationRunQuery", counting(ObservationRunQuery))
    monkeypatch.setattr(TraceDesk, "ObservationEventQuery", counting(ObservationEventQuery))
    return built


INTEGERS = ["since", "until", "limit"]
FLOATS = [1.5, 2.0, float("nan")]


class TestKeywords:
    @pytest.mark.parametrize("name", INTEGERS)
    @pytest.mark.parametrize("value", FLOATS, ids=["fraction", "whole", "nan"])
    @pytest.mark.parametrize("method", ["list_runs", "query_runs", "query_events"])
    def test_a_float_is_refused_before_anything_runs(self, desk, clock, model_calls, method, name, value):
        reads = clock.reads
        with pytest.raises(TypeError) as info:
            getattr(desk, method)(**{name: value})
        assert str(info.value) == message(name)
        assert desk._run_store.touched == [] and model_calls == [] and clock.reads == reads

    @pytest.mark.parametrize("method", ["query_runs", "query_events"])
    def test_text_arguments_of_the_keyword_path(self, desk, model_calls, method):
        for name in ["run_id", "search"]:
            with pytest.raises(TypeError) as info:
                getattr(desk, method)(**{name: 5})
            assert str(info.value) == message(name, "int", "str")
        assert model_calls == [] and desk._run_store.touched == []

    def test_query_runs_checks_every_text_filter(self, desk):
        for name in ["root_run_id", "parent_run_id", "run_kind", "status", "agent_id", "session_id",
                     "app_id", "app_id_pattern", "group_id", "flow_name"]:
            with pytest.raises(TypeError) as info:
                desk.query_runs(**{name: 1.0})
            assert str(info.value) == message(name, "float", "str")

    def test_ints_and_bools_are_ints(self, desk):
        first = desk.list_runs()[0].run_id
        assert [r.run_id for r in desk.list_runs(limit=1)] == [first]
        assert [r.run_id for r in desk.query_runs(limit=True)] == [first]
        assert len(desk.list_runs(limit=2**70)) == 2
        assert len(desk.query_events(since=T0 + 1, until=10**30)) == 1
        assert desk.query_events(since=10**30) == []
        assert len(desk.query_events(since=-(10**30), limit=2**70)) == 2

    def test_a_keyword_the_model_does_not_know_is_still_the_models_error(self, desk):
        with pytest.raises(pydantic.ValidationError):
            desk.query_runs(bogus=1)
        with pytest.raises(pydantic.ValidationError):
            desk.query_events(bogus=1.5)

    @pytest.mark.parametrize("call", [
        lambda d: d.get_run_events("r1", limit=1.5),
        lambda d: d.get_recent_events(limit=2.0),
        lambda d: d._resolve_run_records([], limit=1.5),
    ], ids=["get_run_events", "get_recent_events", "_resolve_run_records"])
    def test_the_other_limits(self, desk, call):
        with pytest.raises(TypeError) as info:
            call(desk)
        assert str(info.value) == message("limit")
        assert desk._run_store.touched == []


def forged(cls, **values):
    """A query object holding values its model would refuse: built without validation, and one
    changed after validation (assignment is not validated)."""
    made = [cls.model_construct(**values), cls()]
    for name, value in values.items():
        setattr(made[1], name, value)
    return made


class TestQueryObjects:
    @pytest.mark.parametrize("name", INTEGERS)
    @pytest.mark.parametrize("with_log", [False, True], ids=["store", "log-service"])
    def test_run_query(self, desk, name, with_log):
        log = desk._log_service = LogService() if with_log else None
        for query in forged(ObservationRunQuery, **{name: 1.5}):
            with pytest.raises(TypeError) as info:
                desk.query_runs(query)
            assert str(info.value) == message(name)
        assert desk._run_store.touched == [] and (log is None or log.calls == [])

    @pytest.mark.parametrize("name", INTEGERS + ["run_id", "search"])
    @pytest.mark.parametrize("with_log", [False, True], ids=["store", "log-service"])
    def test_event_query(self, desk, name, with_log):
        log = desk._log_service = LogService() if with_log else None
        value = 1.5 if name in INTEGERS else 7
        for query in forged(ObservationEventQuery, **{name: value}):
            with pytest.raises(TypeError) as info:
                desk.query_events(query)
            assert str(info.value) == message(name, *(("float",) if name in INTEGERS else ("int", "str")))
        assert desk._run_store.touched == [] and (log is None or log.calls == [])

    def test_keywords_beside_a_query_object_are_ignored(self, desk):
        assert len(desk.query_runs(ObservationRunQuery(limit=1), limit=1.5)) == 1
        assert len(desk.query_events(ObservationEventQuery(limit=1), since=1.5)) == 1


class TestTimeBoundsAtTheEdgeOf64Bits:
    EDGES = [2**63 - 1, 2**63, 2**70, -(2**63), -(2**63) - 1, 0]

    @pytest.mark.parametrize("bound", EDGES + [2**63 - 2, -(2**63) + 1])
    def test_like_python_comparisons(self, make_desk, bound):
        desk = make_desk()
        feed(desk, *(event("tool.called", "r1", ts) for ts in self.EDGES))
        stamps = [e.timestamp for e in desk.get_recent_events()]
        assert sorted(stamps) == sorted(self.EDGES)
        assert [e.timestamp for e in desk.query_events(since=bound)] == [t for t in stamps if t >= bound]
        assert [e.timestamp for e in desk.query_events(until=bound)] == [t for t in stamps if t <= bound]
