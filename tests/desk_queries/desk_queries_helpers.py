"""Helpers of the facade query tests: a reference run store, a settable clock, event builders."""

from __future__ import annotations

import collections
import json
import re
from typing import Any, Literal

from pydantic import BaseModel, Field

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext

T0 = 1_760_000_000_000


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
    status: Literal["unknown", "running", "waiting", "completed", "failed"] = "unknown"
    latest_event_type: str | None = None
    latest_source: str | None = None
    latest_message: str | None = None
    started_at: int | None = None
    updated_at: int | None = None
    completed_at: int | None = None
    failed_at: int | None = None
    event_count: int = 0
    meta: dict[str, Any] = Field(default_factory=dict)


def _status(event_type: str):
    for suffixes, status in (
        (("failed",), "failed"),
        (("completed",), "completed"),
        (("started", "resumed", "retrying"), "running"),
        (("waiting", "raised"), "waiting"),
    ):
        if any(event_type.endswith("." + s) or event_type.endswith("_" + s) for s in suffixes):
            return status
    return None


def _norm(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return value.casefold()
    return json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()


class ReferenceStore:
    """A run store with the query contract of the package's store (copies out, copies kept)."""

    backend_name = "reference"

    def __init__(self, max_events: int = 5000) -> None:
        self._max_events = max(1, int(max_events))
        self._runs: dict[str, RunRecord] = {}
        self._events_by_run: dict[str, collections.deque] = {}
        self._recent_events: collections.deque = collections.deque(maxlen=self._max_events)
        self._children_by_parent: dict[str, set[str]] = {}

    def reset(self) -> None:
        for c in (self._runs, self._events_by_run, self._recent_events, self._children_by_parent):
            c.clear()

    def append_event(self, event: RuntimeEvent) -> None:
        ev = event.model_copy(deep=True)
        self._recent_events.append(ev)
        run = ev.run
        if run is None:
            return
        rec = self._runs.get(run.run_id)
        if rec is None:
            rec = RunRecord(
                run_id=run.run_id,
                root_run_id=run.root_run_id or run.run_id,
                parent_run_id=run.parent_run_id,
                run_kind=str(run.run_kind),
                meta=dict(run.meta),
            )
            self._runs[run.run_id] = rec
            if run.parent_run_id is not None:
                self._children_by_parent.setdefault(run.parent_run_id, set()).add(run.run_id)
        for k in ("app_id", "group_id", "environment"):
            if k in ev.meta:
                rec.meta[k] = ev.meta[k]
        rec.latest_event_type = ev.event_type
        rec.updated_at = ev.timestamp
        rec.event_count += 1
        if rec.started_at is None:
            rec.started_at = ev.timestamp
        st = _status(ev.event_type)
        if st is not None:
            rec.status = st
            if st == "completed":
                rec.completed_at = ev.timestamp
            elif st == "failed":
                rec.failed_at = ev.timestamp
        self._events_by_run.setdefault(run.run_id, collections.deque(maxlen=self._max_events)).append(ev)

    def list_runs(self, *, run_id=None, root_run_id=None, parent_run_id=None, run_kind=None, status=None,
                  agent_id=None, session_id=None, app_id=None, app_id_pattern=None, group_id=None,
                  flow_name=None, search=None, since=None, until=None, limit=None):
        rows = list(self._runs.values())
        for name, value in (("run_id", run_id), ("root_run_id", root_run_id), ("parent_run_id", parent_run_id),
                            ("run_kind", run_kind), ("status", status), ("agent_id", agent_id),
                            ("session_id", session_id)):
            if value is not None:
                rows = [r for r in rows if getattr(r, name) == value]
        for key, value in (("app_id", app_id), ("group_id", group_id), ("flow_name", flow_name)):
            if value is not None:
                rows = [r for r in rows if r.meta.get(key) == value]
        if app_id_pattern:
            try:
                rx = re.compile(app_id_pattern)
                rows = [r for r in rows if isinstance(r.meta.get("app_id"), str) and rx.search(r.meta["app_id"])]
            except re.error:
                rows = []
        if search and search.strip():
            needle = search.strip().casefold()
            rows = [r for r in rows if any(needle in _norm(v) for v in r.model_dump().values())]
        if since is not None or until is not None:
            rows = [r for r in rows if (since is None or (r.updated_at or 0) >= since)
                    and (until is None or (r.updated_at or 0) <= until)]
        rows.sort(key=lambda r: r.updated_at or 0, reverse=True)
        if limit is not None:
            rows = rows[:limit]
        return [r.model_copy(deep=True) for r in rows]

    def get_run(self, run_id):
        r = self._runs.get(run_id)
        return None if r is None else r.model_copy(deep=True)

    def get_run_children(self, run_id):
        kids = [self._runs[c] for c in self._children_by_parent.get(run_id, ()) if c in self._runs]
        kids.sort(key=lambda r: (r.started_at or r.updated_at or 0, r.run_id))
        return [r.model_copy(deep=True) for r in kids]

    def _collect_descendant_run_ids(self, run_id):
        collected, pending, seen = [], [run_id], set()
        while pending:
            rid = pending.pop(0)
            if rid in seen:
                continue
            seen.add(rid)
            collected.append(rid)
            pending.extend(sorted(self._children_by_parent.get(rid, ())))
        return collected

    def get_run_events(self, run_id, *, limit=None, include_descendants=False):
        ids = self._collect_descendant_run_ids(run_id) if include_descendants else [run_id]
        evs = [e for rid in ids for e in self._events_by_run.get(rid, ())]
        evs.sort(key=lambda e: e.timestamp)
        if limit is not None:
            evs = evs[-limit:]
        return [e.model_copy(deep=True) for e in evs]

    def get_recent_events(self, *, limit=None):
        evs = list(self._recent_events)
        if limit is not None:
            evs = evs[-limit:]
        return [e.model_copy(deep=True) for e in evs]

    def get_event(self, event_id):
        for e in reversed(self._recent_events):
            if e.event_id == event_id:
                return e.model_copy(deep=True)
        return None


class Clock:
    """A substitute for the module's `time`: time() returns the set milliseconds / 1000."""

    def __init__(self, ms: int) -> None:
        self.ms = ms
        self.reads = 0

    def time(self) -> float:
        self.reads += 1
        return self.ms / 1000

    def monotonic(self) -> float:
        return self.ms / 1000


def event(event_type: str, run_id: str | None, ts: int, *, parent: str | None = None, root: str | None = None,
          **fields: Any) -> RuntimeEvent:
    run = None
    if run_id is not None:
        run = RuntimeRunContext(run_id=run_id, parent_run_id=parent, root_run_id=root, run_kind="agent_task",
                                **fields.pop("run_fields", {}))
    return RuntimeEvent(event_type=event_type, timestamp=ts, run=run, **fields)


def feed(desk, *events: RuntimeEvent) -> None:
    """Append raw events straight to the desk's run store (no intake side effects)."""
    for ev in events:
        desk._run_store.append_event(ev)
