"""The facade's run queries in plain Python: every record read from the run store is resolved on
a copy (stale and orphaned runs reported as failed) before it is returned."""

from __future__ import annotations

import time
from typing import Any

from orvane_devtools.observation.Query import RunTreeNode
from plain.store import PlainTallybook, RunRecord, RunStatus

_TERMINAL = ("completed", "failed")


class PlainRunQueries:
    """Run queries over ``store`` with the facade's stale and orphan thresholds (milliseconds;
    0 switches a rule off). The clock is this module's ``time`` (``time.time()``)."""

    def __init__(self, store: PlainTallybook, *, stale_after_ms: int = 900_000,
                 orphan_after_ms: int = 30_000) -> None:
        self._run_store = store
        self._run_stale_after_ms = stale_after_ms
        self._run_orphan_after_ms = orphan_after_ms

    # -- resolution ---------------------------------------------------------------------------

    @staticmethod
    def _now_ms() -> int:
        return int(time.time() * 1000)

    @staticmethod
    def _terminal_timestamp(record: RunRecord) -> int | None:
        anchor = record.meta.get("devtools_stale_anchor_at") if isinstance(record.meta, dict) else None
        if isinstance(anchor, int):
            return anchor
        return record.failed_at or record.completed_at or record.updated_at or record.started_at

    def _get_raw_run_record(self, run_id: str) -> RunRecord | None:
        return self._run_store.get_run(run_id)

    def _find_terminal_ancestor(self, record: RunRecord, *, now_ms: int, cache: dict,
                                resolving: set) -> RunRecord | None:
        parent_id = record.parent_run_id
        walked: set[str] = set()
        while parent_id is not None and parent_id not in walked:
            walked.add(parent_id)
            parent = cache.get(parent_id)
            if parent is None:
                if parent_id in resolving:
                    return None
                raw = self._get_raw_run_record(parent_id)
                if raw is not None:
                    parent = self._resolve_run_record(raw, now_ms=now_ms, cache=cache, resolving=resolving)
                if parent is None:
                    return None
            if parent.status in _TERMINAL:
                return parent
            parent_id = parent.parent_run_id
        return None

    def _resolve_run_record(self, record: RunRecord | None, *, now_ms: int, cache: dict,
                            resolving: set) -> RunRecord | None:
        if record is None:
            return None
        cached = cache.get(record.run_id)
        if cached is not None or record.run_id in cache:
            return cached
        if record.run_id in resolving:
            return None
        resolving.add(record.run_id)
        try:
            resolved = record.model_copy(deep=True)
            if resolved.status in ("completed", "failed", "waiting"):
                cache[resolved.run_id] = resolved
                return resolved
            anchor = resolved.updated_at or resolved.started_at
            if anchor is None:
                cache[resolved.run_id] = resolved
                return resolved
            stale_reason = None
            terminal_ancestor = None
            if self._run_stale_after_ms > 0 and now_ms - anchor >= self._run_stale_after_ms:
                stale_reason = "stale_timeout"
            if stale_reason is None and self._run_orphan_after_ms > 0:
                terminal_ancestor = self._find_terminal_ancestor(resolved, now_ms=now_ms, cache=cache,
                                                                 resolving=resolving)
                end = None if terminal_ancestor is None else self._terminal_timestamp(terminal_ancestor)
                if end is not None and anchor <= end and now_ms - end >= self._run_orphan_after_ms:
                    stale_reason = "orphaned_after_ancestor_terminal"
            if stale_reason is not None:
                resolved.status = "failed"
                resolved.failed_at = resolved.failed_at or now_ms
                meta = dict(resolved.meta)
                meta["devtools_stale_reason"] = stale_reason
                meta["devtools_stale_detected_at"] = now_ms
                if stale_reason == "orphaned_after_ancestor_terminal" and terminal_ancestor is not None:
                    end = self._terminal_timestamp(terminal_ancestor)
                    if end is not None:
                        meta["devtools_stale_anchor_at"] = end
                resolved.meta = meta
            cache[resolved.run_id] = resolved
            return resolved
        finally:
            resolving.discard(record.run_id)

    def _resolve_run_records(self, records: list, *, status: RunStatus | None = None,
                             limit: int | None = None) -> list[RunRecord]:
        if not isinstance(records, list):
            raise TypeError(f"expected a list of run records, got {type(records).__name__}")
        if limit is not None and limit <= 0:
            return []  # a limit of 0 or below keeps nothing (not the first record)
        now_ms = self._now_ms()
        cache: dict[str, RunRecord | None] = {}
        resolving: set[str] = set()
        result = []
        for record in records:
            resolved = self._resolve_run_record(record, now_ms=now_ms, cache=cache, resolving=resolving)
            if resolved is None or (status is not None and resolved.status != status):
                continue
            result.append(resolved)
            if limit is not None and len(result) >= limit:
                break
        return result

    # -- queries ------------------------------------------------------------------------------

    def list_runs(self, *, status: RunStatus | None = None, limit: int | None = None,
                  **filters: Any) -> list[RunRecord]:
        records = self._run_store.list_runs(**filters, limit=None)
        return self._resolve_run_records(records, status=status, limit=limit)

    def get_run(self, run_id: str) -> RunRecord | None:
        return self._resolve_run_record(self._get_raw_run_record(run_id), now_ms=self._now_ms(), cache={},
                                        resolving=set())

    def get_run_children(self, run_id: str) -> list[RunRecord]:
        now_ms = self._now_ms()
        cache: dict[str, RunRecord | None] = {}
        resolving: set[str] = set()
        children = []
        for child in self._run_store.get_run_children(run_id):
            resolved = self._resolve_run_record(child, now_ms=now_ms, cache=cache, resolving=resolving)
            if resolved is not None:
                children.append(resolved)
        return children

    def get_run_tree(self, run_id: str) -> RunTreeNode | None:
        return self._subtree(run_id, set())

    def _subtree(self, run_id: str, path: set[str]) -> RunTreeNode | None:
        run = self.get_run(run_id)
        if run is None:
            return None
        path.add(run_id)  # the runs above this one: a run that is its own descendant is skipped
        subtrees = []
        for child in self.get_run_children(run_id):
            if child.run_id not in path:
                subtree = self._subtree(child.run_id, path)
                if subtree is not None:
                    subtrees.append(subtree)
        path.discard(run_id)
        return RunTreeNode(run=run, children=subtrees)
