"""The run store factory: ``create_observation_store`` and the ``ObservationStoreBackend`` protocol."""

from __future__ import annotations

from typing import Any


def create_observation_store(*, settings: Any = None, max_events: int = 1200):
    """Return the in-memory run store holding at most ``max_events`` events per ring (at least 1)."""
    from .Tallybook import RuntimeTallybook

    return RuntimeTallybook(max(1, int(max_events)))
