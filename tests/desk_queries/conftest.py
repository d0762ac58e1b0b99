"""Fixtures of the facade query tests: desks built by the real constructor over a run store.

The run store is the package's RuntimeTallybook when it is built; otherwise the reference store of
desk_queries_helpers (same query contract, copies out) stands in.
"""

from __future__ import annotations

from typing import Any

import pytest

from desk_queries_helpers import T0, Clock, ReferenceStore
from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk


def _real_store_available() -> bool:
    try:
        from orvane_devtools.observation.Tallybook import RuntimeTallybook  # noqa: F401
    except ImportError:
        return False
    return True


@pytest.fixture(autouse=True)
def _store_factory(monkeypatch):
    """Use the reference store wherever the package's store is not built."""
    if not _real_store_available():
        def factory(*, settings=None, max_events=1200):
            return ReferenceStore(max_events)

        import orvane_devtools.logs as logs

        monkeypatch.setattr(TraceDesk, "create_observation_store", factory)
        monkeypatch.setattr(logs, "create_observation_store", factory)
    yield


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


