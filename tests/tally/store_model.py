"""A plain Python model of the run store's derivation and search, written from its documented
rules, to check the native store against (differential tests)."""

from __future__ import annotations

import json
from collections import deque
from typing import Any

RECORD_FIELDS = ["run_id", "root_run_id", "parent_run_id", "run_kind", "agent_id", "agent_name", "session_id",
                 "response_id", "execution_id", "status", "latest_event_type", "latest_source", "latest_message",
                 "started_at", "updated_at", "completed_at", "failed_at", "event_count", "meta"]
SEARCHED_RECORD = ["run_id", "root_run_id", "parent_run_id", "run_kind", "agent_id", "agent_name", "session_id",
                   "response_id", "execution_id", "status", "latest_event_type", "latest_source", "latest_message",
                   "meta"]
SEARCHED_EVENT = ["event_id", "event_type", "source", "level", "message", "payload", "error", "meta"]
IDENTITY = ["agent_id", "agent_name", "session_id", "response_id", "execution_id"]


def norm(value: Any) -> str:
    if value is None:
        return ""
    if isinstance(value, str):
        return value.casefold()
    return json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()


def needle_of(search: str) -> str:
    return search.strip().casefold()


def infer_status(event_type: str) -> str | None:
    for status, suffixes in (("failed", (".failed", "_failed")), ("completed", (".completed", "_completed")),
                             ("running", (".started", "_started", ".resumed", "_resumed", ".retrying", "_retrying")),
                             ("waiting", (".waiting", "_waiting", ".raised", "_raised"))):
        if event_type.endswith(suffixes):
            return status
    return None


class StoreModel:
    """Records as plain dicts, rings as deques, one search text per run."""

    def __init__(self, max_events: int = 5000) -> None:
        self.max_events = max_events
        self.runs: dict[str, dict[str, Any]] = {}
        self.rings: dict[str, deque] = {}
        self.recent: deque = deque(maxlen=max_events)
        self.children: dict[str, set[str]] = {}
        self.texts: dict[str, str] = {}

    def append(self, event) -> None:
        e = event.model_copy(deep=True)
        self.recent.append(e)
        run = e.run
        if run is None:
            return
        rec = self.runs.get(run.run_id)
        if rec is None:
            rec = {f: None for f in RECORD_FIELDS}
            rec.update(run_id=run.run_id, root_run_id=run.root_run_id if run.root_run_id is not None else run.run_id,
                       parent_run_id=run.parent_run_id, run_kind=str(run.run_kind), status="unknown",
                       event_count=0, meta=dict(run.meta))
            for f in IDENTITY:
                rec[f] = getattr(run, f)
            self.runs[run.run_id] = rec
            if run.parent_run_id is not None:
                self.children.setdefault(run.parent_run_id, set()).add(run.run_id)
        for f in IDENTITY:
            if getattr(run, f) is not None:
                rec[f] = getattr(run, f)
        if run.meta:
            rec["meta"].update(run.meta)
        for key in ("app_id", "group_id", "environment"):
            if key in e.meta:
                rec["meta"][key] = e.meta[key]
        rec.update(latest_event_type=e.event_type, latest_source=e.source, latest_message=e.message,
                   updated_at=e.timestamp)
        rec["event_count"] += 1
        if rec["started_at"] is None:
            rec["started_at"] = e.timestamp
        status = infer_status(e.event_type)
        if status is not None:
            rec["status"] = status
            if status == "completed":
                rec["completed_at"] = e.timestamp
            elif status == "failed":
                rec["failed_at"] = e.timestamp
        self.rings.setdefault(run.run_id, deque(maxlen=self.max_events)).append(e)
        parts = [norm(rec[f]) for f in SEARCHED_RECORD] + [norm(getattr(e, f)) for f in SEARCHED_EVENT]
        appended = " ".join(p for p in parts if p)
        self.texts[run.run_id] = (self.texts.get(run.run_id, "") + " " + appended).strip()

    def adopt(self, record: dict[str, Any], text: str | None) -> None:
        run_id = record["run_id"]
        old = self.runs.get(run_id)
        if old is None or old["parent_run_id"] != record["parent_run_id"]:
            if old is not None and old["parent_run_id"] is not None:
                kids = self.children.get(old["parent_run_id"])
                if kids is not None:
                    kids.discard(run_id)
                    if not kids:
                        del self.children[old["parent_run_id"]]
            if record["parent_run_id"] is not None:
                self.children.setdefault(record["parent_run_id"], set()).add(run_id)
        self.runs[run_id] = {f: record[f] for f in RECORD_FIELDS}
        self.runs[run_id]["meta"] = dict(record["meta"])
        if text is not None:
            self.texts[run_id] = text.strip()
        else:
            self.texts.setdefault(run_id, "")

    def record_matches(self, rec: dict[str, Any], needle: str) -> bool:
        if not needle:
            return True
        if any(needle in norm(rec[f]) for f in SEARCHED_RECORD):
            return True
        return needle in self.texts.get(rec["run_id"], "")

    def list_run_ids(self, search: str | None = None) -> list[str]:
        recs = list(self.runs.values())
        if search:
            needle = needle_of(search)
            recs = [r for r in recs if self.record_matches(r, needle)]
        recs.sort(key=lambda r: r["updated_at"] or 0, reverse=True)
        return [r["run_id"] for r in recs]

    @staticmethod
    def event_matches(event, search: str) -> bool:
        needle = needle_of(search)
        if not needle:
            return True
        values = [getattr(event, f) for f in SEARCHED_EVENT]
        values.append(event.run.model_dump(mode="json") if event.run is not None else None)
        return any(needle in norm(v) for v in values)
