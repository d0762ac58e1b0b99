"""Fixtures of the facade query tests: desks built by the real constructor (real run store)."""

from __future__ import annotations

from typing import Any

import pytest

from desk_queries_helpers import T0, Clock
from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk


@pytest.fixture
def clock(monkeypatch):
    c = Clock(T0)
    monkeypatch.setattr(TraceDesk, "time", c)
    return c


@pytest.fixture
def make_desk():
    def make(settings: dict[str, Any] | None = None):
        return TraceDesk.RuntimeTraceDesk(Settings(settings or {}))

    return make


