"""The in-memory run store in plain Python: events in bounded deques, one pydantic RunRecord per
run derived from its events, parent and child links, and the store's run queries."""

from __future__ import annotations

import json
import re
from collections import deque
from typing import Any, Literal

from pydantic import BaseModel, Field

from orvane_devtools._orvane_compat import RuntimeEvent

RunStatus = Literal["unknown", "running", "waiting", "completed", "failed"]


class RunRecord(BaseModel):
    run_id: str
    root_run_id: str
    parent_run_id: str | None = None
    run_kind: str
    agent_id: str | None = None
    agent_name: str | None = None
    session_id: str | None = None
    response_id: str | None = None
    execution_id: str | None = None
    status: RunStatus = "unknown"
    latest_event_type: str | None = None
    latest_source: str | None = None
    latest_message: str | None = None
    started_at: int | None = None
    updated_at: int | None = None
    completed_at: int | None = None
    failed_at: int | None = None
    event_count: int = 0
    meta: dict[str, Any] = Field(default_factory=dict)


_IDENTITY_FIELDS = ("agent_id", "agent_name", "session_id", "response_id", "execution_id")
_RECORD_SEARCH_FIELDS = ("run_id", "root_run_id", "parent_run_id", "run_kind", "agent_id", "agent_name",
                         "session_id", "response_id", "execution_id", "status", "latest_event_type",
                         "latest_source", "latest_message", "meta")
_EVENT_SEARCH_FIELDS = ("event_id", "event_type", "source", "level", "message", "payload", "error", "meta")
_STATUS_SUFFIXES: tuple[tuple[tuple[str, ...], RunStatus], ...] = (
    ((".failed", "_failed"), "failed"),
    ((".completed", "_completed"), "completed"),
    ((".started", "_started", ".resumed", "_resumed", ".retrying", "_retrying"), "running"),
    ((".waiting", "_waiting", ".raised", "_raised"), "waiting"),
)


def _infer_run_status(event: RuntimeEvent) -> RunStatus | None:
    for suffixes, status in _STATUS_SUFFIXES:
        if event.event_type.endswith(suffixes):
            return status
    return None


def _first_time(*values: int | None) -> int:
    for value in values:
        if value:
            return value
    return 0


class PlainTallybook:
    def __init__(self, max_events: int = 5000) -> None:
        self._max_events = int(max_events)
        self._runs: dict[str, RunRecord] = {}
        self._events_by_run: dict[str, deque[RuntimeEvent]] = {}
        self._recent_events: deque[RuntimeEvent] = deque(maxlen=self._max_events)
        self._children_by_parent: dict[str, set[str]] = {}
        # The run's search text is kept as its pieces, one per event, and joined when read: the
        # same text as joining at every append, without copying the whole text each time.
        self._search_parts_by_run: dict[str, list[str]] = {}

    def reset(self) -> None:
        self._runs.clear()
        self._events_by_run.clear()
        self._recent_events.clear()
        self._children_by_parent.clear()
        self._search_parts_by_run.clear()

    # -- derivation ---------------------------------------------------------------------------

    def append_event(self, event: RuntimeEvent) -> None:
        event_copy = event.model_copy(deep=True)
        self._recent_events.append(event_copy)
        run = event_copy.run
        if run is None:
            return
        record = self._runs.get(run.run_id)
        if record is None:
            record = RunRecord(
                run_id=run.run_id,
                root_run_id=run.root_run_id if run.root_run_id is not None else run.run_id,
                parent_run_id=run.parent_run_id,
                run_kind=str(run.run_kind),
                agent_id=run.agent_id,
                agent_name=run.agent_name,
                session_id=run.session_id,
                response_id=run.response_id,
                execution_id=run.execution_id,
                meta=dict(run.meta),
            )
            self._runs[run.run_id] = record
            if run.parent_run_id is not None:
                self._children_by_parent.setdefault(run.parent_run_id, set()).add(run.run_id)
        for name in _IDENTITY_FIELDS:
            value = getattr(run, name)
            if value is not None:
                setattr(record, name, value)
        if run.meta:
            record.meta.update(run.meta)
        for key in ("app_id", "group_id", "environment"):
            if key in event_copy.meta:
                record.meta[key] = event_copy.meta[key]
        record.latest_event_type = event_copy.event_type
        record.latest_source = event_copy.source
        record.latest_message = event_copy.message
        record.updated_at = event_copy.timestamp
        record.event_count += 1
        if record.started_at is None:
            record.started_at = event_copy.timestamp
        status = _infer_run_status(event_copy)
        if status is not None:
            record.status = status
            if status == "completed":
                record.completed_at = event_copy.timestamp
            elif status == "failed":
                record.failed_at = event_copy.timestamp
        ring = self._events_by_run.get(run.run_id)
        if ring is None:
            ring = self._events_by_run[run.run_id] = deque(maxlen=self._max_events)
        ring.append(event_copy)
        values = [getattr(record, name) for name in _RECORD_SEARCH_FIELDS]
        values += [getattr(event_copy, name) for name in _EVENT_SEARCH_FIELDS]
        texts = (self._normalize_search_text(v) for v in values)
        self._search_parts_by_run.setdefault(run.run_id, []).append(" ".join(t for t in texts if t))

    @property
    def _search_cache_by_run(self) -> dict[str, str]:
        return {run_id: self._search_text(run_id) for run_id in self._search_parts_by_run}

    def _search_text(self, run_id: str) -> str:
        return " ".join(self._search_parts_by_run.get(run_id, ())).strip()

    # -- queries ------------------------------------------------------------------------------

    @staticmethod
    def _normalize_search_text(value: Any) -> str:
        if value is None:
            return ""
        if isinstance(value, str):
            return value.casefold()
        return json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()

    def _record_matches_search(self, record: RunRecord, search: str) -> bool:
        needle = search.strip().casefold()
        if not needle:
            return True
        for name in _RECORD_SEARCH_FIELDS:
            if needle in self._normalize_search_text(getattr(record, name)):
                return True
        return needle in self._search_text(record.run_id)

    def _record_matches_time_window(self, record: RunRecord, since: int | None = None,
                                    until: int | None = None) -> bool:
        if since is None and until is None:
            return True
        events = self._events_by_run.get(record.run_id, ())
        if events:
            return any((since is None or e.timestamp >= since) and (until is None or e.timestamp <= until)
                       for e in events)
        moment = record.updated_at or record.started_at or record.completed_at or record.failed_at
        if moment is None:
            return False
        return (since is None or moment >= since) and (until is None or moment <= until)

    @staticmethod
    def _matches_regex(value: Any, pattern: str) -> bool:
        if not isinstance(value, str):
            return False
        try:
            return re.search(pattern, value) is not None
        except re.error:
            return False

    def list_runs(self, *, run_id: str | None = None, root_run_id: str | None = None,
                  parent_run_id: str | None = None, run_kind: str | None = None,
                  status: RunStatus | None = None, agent_id: str | None = None,
                  session_id: str | None = None, app_id: str | None = None,
                  app_id_pattern: str | None = None, group_id: str | None = None,
                  flow_name: str | None = None, search: str | None = None, since: int | None = None,
                  until: int | None = None, limit: int | None = None) -> list[RunRecord]:
        records = list(self._runs.values())
        for name, wanted in (("run_id", run_id), ("root_run_id", root_run_id),
                             ("parent_run_id", parent_run_id), ("run_kind", run_kind),
                             ("status", status), ("agent_id", agent_id), ("session_id", session_id)):
            if wanted is not None:
                records = [r for r in records if getattr(r, name) == wanted]
        for key, wanted in (("app_id", app_id),):
            if wanted is not None:
                records = [r for r in records if r.meta.get(key) == wanted]
        if app_id_pattern:
            records = [r for r in records if self._matches_regex(r.meta.get("app_id"), app_id_pattern)]
        for key, wanted in (("group_id", group_id), ("flow_name", flow_name)):
            if wanted is not None:
                records = [r for r in records if r.meta.get(key) == wanted]
        if search:
            records = [r for r in records if self._record_matches_search(r, search)]
        if since is not None or until is not None:
            records = [r for r in records if self._record_matches_time_window(r, since, until)]
        records.sort(key=lambda r: r.updated_at or 0, reverse=True)
        if limit is not None:
            records = records[:limit]
        return [r.model_copy(deep=True) for r in records]

    def get_run(self, run_id: str) -> RunRecord | None:
        record = self._runs.get(run_id)
        return None if record is None else record.model_copy(deep=True)

    def get_run_children(self, run_id: str) -> list[RunRecord]:
        children = [self._runs[c] for c in self._children_by_parent.get(run_id, ()) if c in self._runs]
        children.sort(key=lambda r: _first_time(r.started_at, r.updated_at))
        return [r.model_copy(deep=True) for r in children]

    def _collect_descendant_run_ids(self, run_id: str) -> list[str]:
        collected: list[str] = []
        seen = {run_id}
        pending = deque([run_id])
        while pending:
            current = pending.popleft()
            collected.append(current)
            for child in sorted(self._children_by_parent.get(current, ())):
                if child not in seen:  # a looping parent chain ends here instead of forever
                    seen.add(child)
                    pending.append(child)
        return collected

    def get_run_events(self, run_id: str, *, limit: int | None = None,
                       include_descendants: bool = False) -> list[RuntimeEvent]:
        run_ids = self._collect_descendant_run_ids(run_id) if include_descendants else [run_id]
        events = [e for rid in run_ids for e in self._events_by_run.get(rid, ())]
        events.sort(key=lambda e: e.timestamp)
        if limit is not None:
            events = events[-limit:]
        return [e.model_copy(deep=True) for e in events]

    def get_recent_events(self, *, limit: int | None = None) -> list[RuntimeEvent]:
        events = list(self._recent_events)
        if limit is not None:
            events = events[-limit:]
        return [e.model_copy(deep=True) for e in events]

    def get_event(self, event_id: str) -> RuntimeEvent | None:
        for event in reversed(self._recent_events):
            if event.event_id == event_id:
                return event.model_copy(deep=True)
        return None
