"""Facade configuration: settings, limits, backends, log service, reload and reset."""

from __future__ import annotations

import asyncio
import collections
import math

import pytest
from desk_fakes import LoggingSettings, make_event

from orvane.utils import Settings
from orvane_devtools.logs import RuntimeLogService
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.backends import JSONLTraceSink
from orvane_devtools.observation.flow_registry import RuntimeFlowRegistry
from orvane_devtools.observation.subscriptions import RuntimeObservationSubscriptions

RuntimeTraceDesk = TraceDesk.RuntimeTraceDesk
coerce = TraceDesk._coerce_int_setting


class TestCoerceIntSetting:
    @pytest.mark.parametrize(
        "value, expected",
        [
            (True, 1),
            (False, 0),
            (7, 7),
            (-3, -3),
            (12.9, 12),
            (-12.9, -12),
            ("250", 250),
            ("  -4 ", -4),
            ("1_000", 1000),
            ("+8", 8),
            ("12.5", 99),
            ("2.5e2", 99),
            ("abc", 99),
            ("", 99),
            (None, 99),
            ([1], 99),
            (b"12", 99),
        ],
    )
    def test_rules(self, value, expected):
        result = coerce(value, 99)
        assert result == expected and type(result) is int

    def test_bool_is_not_passed_through_as_bool(self):
        assert type(coerce(True, 5)) is int

    @pytest.mark.parametrize("value", [math.inf, -math.inf, math.nan, 1e300, 10**30, -(10**30),
                                       str(10**30), "9" * 5000])
    def test_values_beyond_the_machine_fall_back_to_default(self, value):
        assert coerce(value, 42) == 42

    def test_default_is_truncated_or_rejected(self):
        assert coerce(None, 7.9) == 7
        with pytest.raises(TypeError, match=r"Argument 'default' has incorrect type \(expected int, got str\)"):
            coerce(1, "3")


class TestConstruction:
    def test_settings_without_keys(self, stores):
        settings = LoggingSettings()
        desk = RuntimeTraceDesk(settings)
        reads = list(settings.reads)
        assert desk.settings is settings
        assert stores[0].kwargs == {"settings": settings, "max_events": 1200}
        assert desk._channel_buffer.maxlen == 160
        assert desk._seen_event_id_buffer.maxlen == 1200
        assert desk._run_stale_after_ms == 900_000
        assert desk._run_orphan_after_ms == 30_000
        assert desk._backends == [] and desk._log_service is None and desk.log_service is None
        assert desk._is_enabled() is True
        assert isinstance(desk._subscriptions, RuntimeObservationSubscriptions)
        assert isinstance(desk._flow_registry, RuntimeFlowRegistry)
        assert isinstance(desk._seen_event_ids, set)
        assert isinstance(desk._channel_buffer, collections.deque)
        # Each key read once, in order, with its default; then the reload keys.
        assert reads == [
            ("observation.buffer_limit", 1200),
            ("observation.channel_buffer_limit", 160),
            ("observation.run_stale_after_seconds", 900),
            ("observation.run_orphan_after_seconds", 30),
            ("observation.jsonl.enabled", False),
            ("observation.otlp.enabled", False),
            ("logs.enabled", False),
        ]

    def test_settings_returning_none_everywhere(self, stores):
        class NoneSettings:
            def get(self, key, default=None):
                return None

        desk = RuntimeTraceDesk(settings=NoneSettings())
        assert stores[0].kwargs["max_events"] == 1200
        assert desk._channel_buffer.maxlen == 160
        assert (desk._run_stale_after_ms, desk._run_orphan_after_ms) == (900_000, 30_000)
        assert desk._is_enabled() is False

    @pytest.mark.parametrize(
        "raw, max_events, window",
        [("250", 250, 250), ("2.5e2", 1200, 1200), (True, 1, 1), (0, 0, 1), (-5, -5, 1),
         (math.inf, 1200, 1200), (10**40, 1200, 1200)],
    )
    def test_buffer_limit(self, stores, raw, max_events, window):
        desk = RuntimeTraceDesk(Settings({"observation.buffer_limit": raw}))
        assert stores[0].kwargs["max_events"] == max_events
        assert desk._seen_event_id_buffer.maxlen == window

    @pytest.mark.parametrize("raw, ms", [(-10, 0), (1.9, 1000), ("5", 5000), (math.nan, 900_000),
                                         (2**62, 900_000)])
    def test_stale_seconds(self, stores, raw, ms):
        desk = RuntimeTraceDesk(Settings({"observation.run_stale_after_seconds": raw}))
        assert desk._run_stale_after_ms == ms

    def test_orphan_seconds(self, stores):
        desk = RuntimeTraceDesk(Settings({"observation.run_orphan_after_seconds": "-1"}))
        assert desk._run_orphan_after_ms == 0

    def test_channel_limit(self, stores):
        assert RuntimeTraceDesk(Settings({"observation.channel_buffer_limit": 0}))._channel_buffer.maxlen == 0
        with pytest.raises(ValueError):
            RuntimeTraceDesk(Settings({"observation.channel_buffer_limit": -1}))

    def test_errors_of_collaborators_propagate(self, monkeypatch, stores):
        def broken(**kwargs):
            raise RuntimeError("no store")

        monkeypatch.setattr(TraceDesk, "create_observation_store", broken)
        with pytest.raises(RuntimeError, match="no store"):
            RuntimeTraceDesk(Settings({}))

    def test_argument_forms(self, stores):
        with pytest.raises(TypeError):
            RuntimeTraceDesk()
        with pytest.raises(TypeError):
            RuntimeTraceDesk(Settings({}), 1)

    def test_runtime_backend_and_read_only_properties(self, stores):
        desk = RuntimeTraceDesk(Settings({}))
        assert desk.runtime_backend == "recording"
        desk._run_store.backend_name = "other"
        assert desk.runtime_backend == "other"
        with pytest.raises(AttributeError):
            desk.runtime_backend = "x"
        with pytest.raises(AttributeError):
            desk.log_service = None


class TestReload:
    @pytest.mark.parametrize("path", ["", 42, None])
    def test_unusable_jsonl_path_gives_no_backend(self, stores, path):
        values = {"observation.jsonl.enabled": True}
        if path is not None:
            values["observation.jsonl.path"] = path
        assert RuntimeTraceDesk(Settings(values))._backends == []

    def test_jsonl_backend_and_log_service(self, stores, tmp_path):
        path = str(tmp_path / "events.jsonl")
        settings = Settings({"observation.jsonl.enabled": "yes", "observation.jsonl.path": path,
                             "logs.enabled": 1})
        desk = RuntimeTraceDesk(settings)
        backends = desk._backends
        assert len(backends) == 1 and isinstance(backends[0], JSONLTraceSink)
        assert str(backends[0].path) == path
        assert isinstance(desk.log_service, RuntimeLogService)
        assert desk.log_service.settings is settings
        assert not (tmp_path / "events.jsonl").exists()  # nothing touched yet

        desk.reload()
        desk.reload()
        assert desk._backends is backends and len(backends) == 1

        settings.set("observation.jsonl.enabled", False)
        settings.set("logs.enabled", "")
        desk.reload()
        assert backends == [] and desk.log_service is None

    def test_reload_rereads_only_its_keys(self, stores):
        settings = LoggingSettings()
        desk = RuntimeTraceDesk(settings)
        settings.reads.clear()
        settings.values["observation.jsonl.enabled"] = True
        settings.values["observation.channel_buffer_limit"] = 5
        desk.reload()
        assert settings.reads == [("observation.jsonl.enabled", False),
                                  ("observation.jsonl.path", None),
                                  ("observation.otlp.enabled", False),
                                  ("logs.enabled", False)]
        assert desk._channel_buffer.maxlen == 160
        assert len(stores) == 1

    def test_constructor_errors_propagate_and_keep_earlier_backends(self, stores, monkeypatch, tmp_path):
        class Boom(Exception):
            pass

        def bad_log_service(settings):
            raise Boom()

        monkeypatch.setattr(TraceDesk, "RuntimeLogService", bad_log_service)
        settings = Settings({"observation.jsonl.enabled": True,
                             "observation.jsonl.path": str(tmp_path / "e.jsonl"),
                             "logs.enabled": True})
        with pytest.raises(Boom):
            RuntimeTraceDesk(settings)
        settings.set("logs.enabled", False)
        desk = RuntimeTraceDesk(settings)
        settings.set("logs.enabled", True)
        with pytest.raises(Boom):
            desk.reload()
        assert len(desk._backends) == 1

    def test_master_switch_is_read_on_every_call(self, stores):
        settings = Settings({})
        desk = RuntimeTraceDesk(settings)
        assert desk._is_enabled() is True
        settings.set("observation.enabled", 0)
        assert desk._is_enabled() is False


def test_reset_empties_everything_but_backends_and_log_service(stores, tmp_path):
    settings = Settings({"observation.jsonl.enabled": True,
                         "observation.jsonl.path": str(tmp_path / "e.jsonl"),
                         "logs.enabled": True})
    desk = RuntimeTraceDesk(settings)
    backends, log_service = list(desk._backends), desk.log_service
    event = make_event(1)
    desk.register_flow_definition(app_id=None, group_id=None, flow_name="f", definition={})
    subscription = desk.subscribe()
    assert asyncio.run(desk.append_event(event)) is True

    desk.reset()
    assert stores[0].resets == 1
    assert desk.read_channel_buffer() == []
    assert desk._seen_event_ids == set() and len(desk._seen_event_id_buffer) == 0
    assert len(desk._subscriptions) == 0 and subscription.closed
    assert desk.resolve_flow_definition(app_id=None, group_id=None, flow_name="f") is None
    assert desk._backends == backends and desk.log_service is log_service
    assert asyncio.run(desk.append_event(event)) is True  # accepted again
