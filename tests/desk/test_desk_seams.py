"""The facade's construction seams: a run store, a log service and backends given by a host that
owns them (the listener does), kept by every reload; the facade built from settings alone is as
before."""

from __future__ import annotations

import asyncio
import warnings

import pytest
from desk_fakes import RecordingStore, make_event

from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk
from orvane_devtools.observation.TraceSink import RuntimeTraceSink


def run(coro):
    return asyncio.run(coro)


class Backend(RuntimeTraceSink):
    def __init__(self, name="given", fail=False):
        self.name = name
        self.fail = fail
        self.seen = []

    async def append_events(self, events):
        if self.fail:
            raise RuntimeError("down")
        self.seen.extend(e.event_id for e in events)


class LogService:
    def __init__(self, settings=None):
        self.settings = settings
        self.appended = []

    async def append_event(self, event):
        self.appended.append(event.event_id)


@pytest.fixture
def built_log_services(monkeypatch):
    """Replace the log service the facade builds from ``logs.enabled``; collects every one."""
    built = []

    def factory(settings):
        service = LogService(settings)
        built.append(service)
        return service

    monkeypatch.setattr(TraceDesk, "RuntimeLogService", factory)
    return built


class TestSettingsAlone:
    def test_the_store_factory_and_the_settings_build_everything(self, stores, built_log_services, tmp_path):
        path = tmp_path / "events.jsonl"
        desk = RuntimeTraceDesk(Settings({"logs.enabled": True, "observation.jsonl.enabled": True,
                                          "observation.jsonl.path": str(path)}))
        assert desk._run_store is stores[0]
        assert desk.log_service is built_log_services[0]
        assert [b.name for b in desk._backends] == ["jsonl"]
        desk.reload()
        assert desk.log_service is built_log_services[1]  # rebuilt, as a reload always did

    def test_settings_stay_positional_and_the_seams_keyword_only(self, stores):
        with pytest.raises(TypeError):
            RuntimeTraceDesk(Settings({}), RecordingStore())


class TestGivenRunStore:
    def test_used_instead_of_the_factory_and_kept_by_reload_and_reset(self, stores):
        store = RecordingStore()
        store.backend_name = "mine"
        desk = RuntimeTraceDesk(Settings({}), run_store=store)
        assert stores == []  # the factory was never asked
        assert desk.runtime_backend == "mine"
        assert run(desk.append_event(make_event(1))) is True
        desk.reload()
        desk.reset()
        assert desk._run_store is store and store.resets == 1
        assert run(desk.append_event(make_event(2))) is True
        assert [e.event_id for e in store.events] == ["evt-2"]


class TestGivenLogService:
    def test_kept_by_reload_whatever_logs_enabled_says(self, stores, built_log_services):
        mine = LogService()
        for enabled in (False, True):
            desk = RuntimeTraceDesk(Settings({"logs.enabled": enabled}), log_service=mine)
            assert desk.log_service is mine
            desk.reload()
            desk.reload()
            assert desk.log_service is mine
        assert built_log_services == []  # never built from the settings instead
        run(desk.append_event(make_event(1)))
        assert mine.appended == ["evt-1"]

    def test_a_stored_event_leaves_the_given_log_service_out(self, stores):
        mine = LogService()
        desk = RuntimeTraceDesk(Settings({}), log_service=mine)
        assert run(desk.append_stored_event(make_event(1))) is True
        assert mine.appended == [] and stores[0].events[0].event_id == "evt-1"


class TestGivenBackends:
    def test_fed_after_the_settings_backends_once_per_reload(self, stores, tmp_path):
        first, second = Backend("a"), Backend("b")
        settings = Settings({"observation.jsonl.enabled": True,
                             "observation.jsonl.path": str(tmp_path / "e.jsonl")})
        given = [first, second]
        desk = RuntimeTraceDesk(settings, backends=given)
        given.clear()  # the desk keeps what it was given, not the caller's list
        assert [b.name for b in desk._backends] == ["jsonl", "a", "b"]
        for _ in range(3):
            desk.reload()
        assert desk._backends[1:] == [first, second]
        assert len(desk._backends) == 3
        run(desk.append_event(make_event(1)))
        assert first.seen == ["evt-1"] and second.seen == ["evt-1"]

    def test_a_tuple_is_taken_and_anything_else_refused(self, stores):
        desk = RuntimeTraceDesk(Settings({}), backends=(Backend(),))
        assert len(desk._backends) == 1
        for bad in (Backend(), "jsonl", {"a": 1}, 3):
            with pytest.raises(TypeError) as info:
                RuntimeTraceDesk(Settings({}), backends=bad)
            assert str(info.value) == (
                f"Argument 'backends' has incorrect type (expected list, got {type(bad).__name__})")

    def test_failures_of_a_given_backend_are_counted_like_any_other(self, stores):
        failing = Backend(fail=True)
        desk = RuntimeTraceDesk(Settings({}), backends=[failing])
        with warnings.catch_warnings(record=True):
            warnings.simplefilter("always")
            assert run(desk.append_event(make_event(1))) is True
        assert desk.backend_failures() == {failing: 1}
        desk.reload()
        assert desk.backend_failures() == {} and desk._backends == [failing]

    def test_a_given_exporter_is_not_taken_for_the_one_the_settings_built(self, stores):
        # A reload hands the settings' OTLP exporter on to its successor; one that was given
        # stays exactly as it was given, and is not doubled.
        exporter = Backend("otlp")
        desk = RuntimeTraceDesk(Settings({}), backends=[exporter])
        desk.reload()
        assert desk._backends == [exporter]
