"""The facade reads the master switch and the de-duplication window through its own methods and
orvane.utils.Settings without Python frames; these cases pin that the results stay those of the
Python methods, and that replaced methods are still honoured."""

from __future__ import annotations

import asyncio
import types

import pytest
from desk_fakes import make_event

from orvane import utils
from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk

RuntimeTraceDesk = TraceDesk.RuntimeTraceDesk


@pytest.mark.parametrize(
    "values, expected",
    [
        ({}, True),
        ({"observation.enabled": False}, False),
        ({"observation": {"enabled": False}}, False),
        ({"observation": {"enabled": 0}, "observation.enabled": 1}, True),  # flat wins
        ({"observation": {"other": 1}}, True),
        ({"observation": "not a mapping"}, True),
        ({"observation": types.MappingProxyType({"enabled": False})}, False),
        ({"observation": {"enabled": None}}, None),
        ({"observation": {"enabled": []}}, []),
    ],
)
def test_master_switch_matches_settings_get(stores, values, expected):
    settings = Settings(values)
    assert settings.get("observation.enabled", True) == expected
    desk = RuntimeTraceDesk(settings)
    assert desk._is_enabled() is bool(expected)
    assert asyncio.run(desk.append_event(make_event(1))) is bool(expected)


def test_dotted_prefixes_are_tried_from_the_right(stores, tmp_path):
    path = str(tmp_path / "e.jsonl")
    # "observation.jsonl" holds "enabled" and "path"; the nested "observation" does not.
    desk = RuntimeTraceDesk(Settings({"observation.jsonl": {"enabled": True, "path": path},
                                      "observation": {"jsonl": {}, "enabled": False}}))
    assert [b.path.name for b in desk._backends] == ["e.jsonl"]
    assert desk._is_enabled() is False


def test_replaced_get_and_lookup_are_used(stores, monkeypatch):
    settings = Settings({"observation.enabled": True})
    desk = RuntimeTraceDesk(settings)
    monkeypatch.setattr(Settings, "get", lambda self, key, default=None: False)
    assert desk._is_enabled() is False
    monkeypatch.undo()
    monkeypatch.setattr(utils, "_lookup", lambda mapping, key: False)
    assert desk._is_enabled() is False

    class Sub(Settings):
        def get(self, key, default=None):
            return 0 if key == "observation.enabled" else super().get(key, default)

    assert RuntimeTraceDesk(Sub({}))._is_enabled() is False


def test_overridden_switch_and_window_are_called(stores):
    calls = []

    class Desk(RuntimeTraceDesk):
        def _is_enabled(self):
            calls.append("enabled")
            return True

    desk = Desk(Settings({"observation.enabled": False}))
    assert asyncio.run(desk.append_event(make_event(1))) is True
    desk._remember_event_id = lambda event_id: calls.append(event_id) and False
    assert asyncio.run(desk.append_event(make_event(2))) is False
    assert calls == ["enabled", "enabled", "evt-2"]
