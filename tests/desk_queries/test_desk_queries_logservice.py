"""The log service: its own behaviour, and how the facade routes run and event look-ups to it."""

from __future__ import annotations

import asyncio

import pytest

from desk_queries_helpers import T0, event, feed
from orvane.utils import Settings
from orvane_devtools.logs import RuntimeLogService

STALE = 900_000


def append(service, *events):
    for ev in events:
        asyncio.run(service.append_event(ev))


class Spy:
    """Records the calls made to some methods of an object and delegates them."""

    def __init__(self, target, *names):
        self.calls = []
        for name in names:
            real = getattr(target, name)

            def wrapper(*args, _name=name, _real=real, **kwargs):
                self.calls.append((_name, args, kwargs))
                return _real(*args, **kwargs)

            setattr(target, name, wrapper)


@pytest.fixture
def logged(make_desk, clock):
    desk = make_desk({"logs.enabled": True})
    assert isinstance(desk.log_service, RuntimeLogService)
    return desk


class TestRunRouting:
    def test_run_look_ups_read_the_service_and_list_runs_reads_the_store(self, logged):
        append(logged.log_service, event("task.started", "only-in-log", T0 - STALE))
        feed(logged, event("task.started", "only-in-store", T0))
        assert logged.get_run("only-in-log").status == "failed"
        assert logged.get_run("only-in-store") is None
        assert [r.run_id for r in logged.list_runs()] == ["only-in-store"]
        assert [r.run_id for r in logged.query_runs()] == ["only-in-log"]

    def test_what_query_runs_passes_down(self, logged):
        spy = Spy(logged.log_service, "query_runs")
        append(logged.log_service, event("task.started", "a", T0 - STALE), event("task.started", "b", T0),
               event("task.started", "c", T0 - 1))
        assert [r.run_id for r in logged.query_runs(limit=1, agent_id=None)] == ["b"]
        name, args, kwargs = spy.calls[-1]
        assert args == () and list(kwargs) == [
            "run_id", "root_run_id", "parent_run_id", "run_kind", "status", "agent_id", "session_id", "app_id",
            "app_id_pattern", "group_id", "flow_name", "search", "since", "until", "limit"]
        assert kwargs["limit"] == 1 and kwargs["status"] is None
        # With a status the service must return everything: the cut follows resolution.
        assert [r.run_id for r in logged.query_runs(status="failed", limit=1)] == ["a"]
        assert spy.calls[-1][2]["limit"] is None and spy.calls[-1][2]["status"] is None

    def test_raw_record_and_children_calls(self, logged):
        spy = Spy(logged.log_service, "query_runs")
        append(logged.log_service, event("task.completed", "p", T0 - 100_000),
               event("task.started", "k1", T0 - 100_000, parent="p"), event("task.started", "k2", T0, parent="p"))
        raw = logged._get_raw_run_record("p")
        assert spy.calls[-1] == ("query_runs", (), {"run_id": "p", "limit": 1})
        assert raw.status == "completed"
        spy.calls.clear()
        kids = logged.get_run_children("p")
        # The children, then the parent once for the orphan rule (cached for the second child).
        assert spy.calls == [("query_runs", (), {"parent_run_id": "p"}), ("query_runs", (), {"run_id": "p", "limit": 1})]
        assert {k.run_id: k.status for k in kids} == {"k1": "failed", "k2": "running"}
        tree = logged.get_run_tree("p")
        assert sorted(n.run.run_id for n in tree.children) == ["k1", "k2"]
        assert logged._get_raw_run_record("nope") is None

    def test_service_result_must_be_a_list(self, logged):
        logged.log_service.query_runs = lambda **kw: tuple()
        with pytest.raises(TypeError, match="Argument 'records' has incorrect type"):
            logged.query_runs()


class TestEventRouting:
    def test_query_events_hands_the_whole_query_down(self, logged):
        service = logged.log_service
        append(service, event("task.started", "p", T0), event("task.started", "k", T0 + 1, parent="p"),
               event("stream.delta", "p", T0 + 2, meta={"app_id": "x"}))
        spy = Spy(service, "query_events", "collect_descendant_run_ids")
        got = logged.query_events(run_id="p", include_descendants=True, search="STREAM")
        assert [e.timestamp - T0 for e in got] == [2]
        assert spy.calls[0] == ("collect_descendant_run_ids", ("p",), {})
        name, args, kwargs = spy.calls[1]
        assert list(kwargs) == ["run_ids", "run_id", "event_types", "source", "level", "app_id", "app_id_pattern",
                                "group_id", "search", "since", "until", "limit"]
        assert kwargs["run_ids"] == ["p", "k"] and kwargs["run_id"] is None and kwargs["search"] == "STREAM"
        logged.query_events(run_id="p")
        assert spy.calls[-1][2]["run_ids"] == ["p"]
        logged.query_events(limit=2)
        assert spy.calls[-1][2]["run_ids"] is None and spy.calls[-1][2]["limit"] == 2

    def test_descendants_must_be_a_list(self, logged):
        logged.log_service.collect_descendant_run_ids = lambda run_id: (run_id,)
        with pytest.raises(TypeError, match=r"Argument 'run_ids' has incorrect type \(expected list, got tuple\)"):
            logged.query_events(run_id="p", include_descendants=True)

    def test_get_event_asks_the_service_first(self, logged):
        ev = event("task.started", "p", T0)
        append(logged.log_service, ev)
        assert logged.get_event(ev.event_id) == ev
        other = event("task.started", "q", T0)
        feed(logged, other)
        assert logged.get_event(other.event_id) == other

    def test_run_events_come_from_the_store(self, logged):
        append(logged.log_service, event("task.started", "p", T0))
        assert logged.get_run_events("p") == []


class TestService:
    @pytest.fixture
    def service(self, monkeypatch):
        s = RuntimeLogService(Settings({"logs.max_events": 3}))
        return s

    def test_keeps_copies_and_bounds_events(self, service):
        ev = event("task.started", "p", T0, meta={"app_id": "a"})
        append(service, ev)
        ev.meta["app_id"] = "changed"
        got = service.get_event(ev.event_id)
        assert got.meta["app_id"] == "a"
        got.meta["app_id"] = "again"
        assert service.query_events()[0].meta["app_id"] == "a"
        append(service, *[event("stream.delta", "p", T0 + i) for i in range(1, 5)])
        assert service.max_events == 3
        assert [e.timestamp - T0 for e in service.query_events()] == [2, 3, 4]
        assert service.query_runs(run_id="p")[0].event_count == 5

    def test_run_filters(self, service):
        append(service, event("task.started", "p", T0, meta={"app_id": "demo-1"}),
               event("task.started", "k1", T0 + 2, parent="p"), event("task.completed", "k2", T0 + 1, parent="p"),
               event("task.started", "k1", T0 + 3, parent="p"))
        assert [r.run_id for r in service.query_runs(parent_run_id="p")] == ["k1", "k2"]
        assert [r.run_id for r in service.query_runs(parent_run_id="p", status="completed")] == ["k2"]
        assert [r.run_id for r in service.query_runs(parent_run_id="p", limit=1)] == ["k1"]
        assert service.query_runs(run_id="p", limit=0) == []
        assert [r.run_id for r in service.query_runs(app_id_pattern="^demo")] == ["p"]
        assert service.collect_descendant_run_ids("p") == ["p", "k1", "k2"]
        with pytest.raises(TypeError, match="Argument 'limit'"):
            service.query_runs(limit="1")

    def test_event_filters(self, service):
        append(service, event("task.started", "p", T0, meta={"app_id": "demo"}),
               event("task.started", "k", T0 - 5, parent="p", message="Hello WORLD"),
               event("x.logged", None, T0 + 1, meta={"app_id": 7}))
        assert [e.timestamp - T0 for e in service.query_events(run_ids=["p", "k"])] == [-5, 0]
        assert [e.timestamp - T0 for e in service.query_events(search="world")] == [-5]
        assert service.query_events(app_id_pattern="(") == []
        assert [e.timestamp - T0 for e in service.query_events(app_id_pattern="de")] == [0]
        assert [e.timestamp - T0 for e in service.query_events(event_types="task.*", limit=1)] == [-5]
        with pytest.raises(TypeError, match="Argument 'run_ids'"):
            service.query_events(run_ids=("p",))

    def test_reset(self, service):
        append(service, event("task.started", "p", T0), event("task.started", "k", T0, parent="p"))
        service.reset()
        assert service.query_runs() == [] and service.query_events() == []
        assert service.query_runs(parent_run_id="p") == []
