"""The log service consulted by the observation facade when ``logs.enabled`` is set.

``RuntimeLogService`` keeps the events it receives in memory, in a run store of its own made by
``create_observation_store`` (so run records are derived exactly as the facade's store derives
them), and answers the run and event look-ups the facade makes when a log service is configured.
Its filters mean what the run store's and the facade's mean. Everything it returns is a copy:
callers never share objects with it, and it never keeps the caller's objects.

Settings (read once, at construction):

``logs.max_events`` (default 5000)
    Capacity of the service's event buffers (the store's ``max_events``: the ring of recent
    events and each run's ring). Older events are dropped first; run records are kept.
"""

from __future__ import annotations

import re
from typing import Any

from .observation.StoreBackend import create_observation_store

__all__ = ["RuntimeLogService"]

DEFAULT_MAX_EVENTS = 5000

_RUN_FILTERS = (
    "run_id",
    "root_run_id",
    "parent_run_id",
    "run_kind",
    "status",
    "agent_id",
    "session_id",
    "app_id",
    "app_id_pattern",
    "group_id",
    "flow_name",
    "search",
    "since",
    "until",
    "limit",
)


def _max_events_setting(settings: Any) -> int:
    if settings is None:
        return DEFAULT_MAX_EVENTS
    value = settings.get("logs.max_events", DEFAULT_MAX_EVENTS)
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        return int(value)
    if isinstance(value, str):
        try:
            return int(value)
        except ValueError:
            return DEFAULT_MAX_EVENTS
    return DEFAULT_MAX_EVENTS


def _check_text(name: str, value: Any) -> None:
    if value is not None and not isinstance(value, str):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected str, got {type(value).__name__})"
        )


def _check_int(name: str, value: Any) -> None:
    if value is not None and not isinstance(value, int):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})"
        )


def _tail(items: list, limit: int | None) -> list:
    return items if limit is None else items[-limit:]


class RuntimeLogService:
    """In-memory log service: keeps copies of the events it receives and answers look-ups."""

    def __init__(self, settings: Any = None) -> None:
        self.settings = settings
        self._max_events = _max_events_setting(settings)
        self._store = create_observation_store(settings=settings, max_events=self._max_events)
        # Parent run id -> child run ids in order of first appearance, as the store links them
        # (at a run's first event); answers parent look-ups without scanning every run.
        self._known_runs: set[str] = set()
        self._children: dict[str, list[str]] = {}

    @property
    def max_events(self) -> int:
        """Capacity of the event buffers (``logs.max_events``)."""
        return self._max_events

    async def append_event(self, event: Any) -> None:
        """Keep a copy of ``event`` (the store copies it) and derive its run record."""
        run = getattr(event, "run", None)
        self._store.append_event(event)
        if run is not None and run.run_id not in self._known_runs:
            self._known_runs.add(run.run_id)
            if run.parent_run_id is not None:
                self._children.setdefault(run.parent_run_id, []).append(run.run_id)

    def reset(self) -> None:
        """Forget every event and run."""
        self._store.reset()
        self._known_runs.clear()
        self._children.clear()

    # -- runs --------------------------------------------------------------------------------

    def query_runs(
        self,
        *,
        run_id: str | None = None,
        root_run_id: str | None = None,
        parent_run_id: str | None = None,
        run_kind: str | None = None,
        status: str | None = None,
        agent_id: str | None = None,
        session_id: str | None = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        flow_name: str | None = None,
        search: str | None = None,
        since: int | None = None,
        until: int | None = None,
        limit: int | None = None,
    ) -> list:
        """Run records (copies) matching every filter given, newest update first.

        The filters are the run store's ``list_runs`` filters: exact matches, ``app_id_pattern``
        a regular expression searched in ``meta["app_id"]``, ``search`` a case-folded substring,
        ``since``/``until`` an inclusive window in epoch milliseconds, ``limit`` a slice from the
        front (0 gives nothing). Records are stored ones, not judged stale or orphaned.
        """
        values = {
            "run_id": run_id,
            "root_run_id": root_run_id,
            "parent_run_id": parent_run_id,
            "run_kind": run_kind,
            "status": status,
            "agent_id": agent_id,
            "session_id": session_id,
            "app_id": app_id,
            "app_id_pattern": app_id_pattern,
            "group_id": group_id,
            "flow_name": flow_name,
            "search": search,
            "since": since,
            "until": until,
            "limit": limit,
        }
        for name in _RUN_FILTERS:
            if name in ("since", "until", "limit"):
                _check_int(name, values[name])
            else:
                _check_text(name, values[name])
        given = {k for k, v in values.items() if v is not None and k != "limit"}
        if given == {"run_id"}:
            # One run by id: the store's direct look-up gives the same answer as a scan.
            record = self._store.get_run(run_id)
            rows = [] if record is None else [record]
            return rows if limit is None else rows[:limit]
        if given == {"parent_run_id"}:
            rows = [r for r in map(self._store.get_run, self._children.get(parent_run_id, ())) if r is not None]
            rows = [r for r in rows if r.parent_run_id == parent_run_id]
            rows.sort(key=lambda r: r.updated_at or 0, reverse=True)
            return rows if limit is None else rows[:limit]
        return self._store.list_runs(**values)

    def collect_descendant_run_ids(self, run_id: str) -> list[str]:
        """``run_id`` followed by its descendants' ids, breadth first."""
        _check_text("run_id", run_id)
        if run_id is None:
            raise TypeError("Argument 'run_id' has incorrect type (expected str, got NoneType)")
        return list(self._store._collect_descendant_run_ids(run_id))

    # -- events ------------------------------------------------------------------------------

    def get_event(self, event_id: str) -> Any:
        """A copy of the held event with this id, or None."""
        if not isinstance(event_id, str):
            raise TypeError(
                f"Argument 'event_id' has incorrect type (expected str, got {type(event_id).__name__})"
            )
        return self._store.get_event(event_id)

    def query_events(
        self,
        *,
        run_ids: list[str] | None = None,
        run_id: str | None = None,
        event_types: Any = None,
        source: str | None = None,
        level: Any = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        search: str | None = None,
        since: int | None = None,
        until: int | None = None,
        limit: int | None = None,
    ) -> list:
        """Held events (copies) that pass every filter, oldest first.

        The base is the events of ``run_ids`` (each run's held events in that order, then sorted
        by timestamp, stable), else of ``run_id``, else every held event. Then, in this order:
        ``event_types`` (names, ``prefix*`` wildcards), ``source``, ``level``, ``app_id``,
        ``group_id`` (exact), ``app_id_pattern`` (regular expression searched in the string
        ``meta["app_id"]``; an invalid pattern gives no events), ``search`` (trimmed, case-folded
        substring of the event's text), ``since``/``until`` (inclusive), and ``limit``: the last
        ``limit`` events (0 keeps all).
        """
        from ._event_aliases import matches_wavelane_event_type

        if run_ids is not None and not isinstance(run_ids, list):
            raise TypeError(
                f"Argument 'run_ids' has incorrect type (expected list, got {type(run_ids).__name__})"
            )
        _check_text("run_id", run_id)
        _check_text("search", search)
        _check_text("app_id_pattern", app_id_pattern)
        for name, value in (("since", since), ("until", until), ("limit", limit)):
            _check_int(name, value)

        if run_ids is not None:
            events = [ev for rid in run_ids for ev in self._store.get_run_events(rid)]
            events.sort(key=lambda ev: ev.timestamp)
        elif run_id is not None:
            events = self._store.get_run_events(run_id)
        else:
            events = self._store.get_recent_events()
        if event_types is not None:
            events = [ev for ev in events if matches_wavelane_event_type(ev.event_type, event_types)]
        if source is not None:
            events = [ev for ev in events if ev.source == source]
        if level is not None:
            events = [ev for ev in events if ev.level == level]
        if app_id is not None:
            events = [ev for ev in events if "app_id" in ev.meta and ev.meta["app_id"] == app_id]
        if group_id is not None:
            events = [ev for ev in events if "group_id" in ev.meta and ev.meta["group_id"] == group_id]
        if app_id_pattern is not None and app_id_pattern.strip():
            try:
                compiled = re.compile(app_id_pattern)
            except re.error:
                events = []
            else:
                events = [
                    ev
                    for ev in events
                    if isinstance(ev.meta.get("app_id"), str) and compiled.search(ev.meta["app_id"])
                ]
        if search is not None and search.strip():
            from .observation.TraceDesk import RuntimeTraceDesk

            normalize = RuntimeTraceDesk._normalize_search_text
            needle = search.strip().casefold()
            events = [ev for ev in events if _event_has(ev, needle, normalize)]
        if since is not None:
            events = [ev for ev in events if ev.timestamp >= since]
        if until is not None:
            events = [ev for ev in events if ev.timestamp <= until]
        return _tail(list(events), limit)


def _event_has(event: Any, needle: str, normalize: Any) -> bool:
    run = event.run
    for value in (
        event.event_id,
        event.event_type,
        event.source,
        event.level,
        event.message,
        event.payload,
        event.error,
        event.meta,
        None if run is None else run.model_dump(mode="json"),
    ):
        if needle in normalize(value):
            return True
    return False
