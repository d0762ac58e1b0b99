"""Fixtures of the facade tests."""

from __future__ import annotations

import pytest
from desk_fakes import RecordingStore

from orvane_devtools.observation import TraceDesk


@pytest.fixture
def stores(monkeypatch):
    """Replace the store factory; the list collects every store it builds."""
    built = []

    def factory(**kwargs):
        store = RecordingStore(**kwargs)
        built.append(store)
        return store

    monkeypatch.setattr(TraceDesk, "create_observation_store", factory)
    return built
