"""The log service consulted by the observation facade when ``logs.enabled`` is set."""

from __future__ import annotations

from typing import Any


class RuntimeLogService:
    """In-memory log service (placeholder: keeps copies of the events it receives)."""

    def __init__(self, settings: Any = None) -> None:
        self.settings = settings
        self._events: list[Any] = []

    async def append_event(self, event: Any) -> None:
        self._events.append(event.model_copy(deep=True))
