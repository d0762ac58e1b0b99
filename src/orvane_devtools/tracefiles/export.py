"""A run tree written out as a trace file, page by page: JSON Lines or OTLP JSON lines.

The tree is the run, its descendants and, for a root, the runs of its tree whose parent has not
arrived (the ``detached`` runs of its tree answer), so that the file imported elsewhere answers
the same tree. Its events are read oldest first in pages of about ``PAGE_EVENTS`` through the log
service's queries (a window of timestamps per page, narrowed where events crowd), so an export
holds one page of events at a time whatever the size of the tree; only the run records of the
tree are read at once.

* ``jsonl``: each event as the JSON Lines backend writes it (``Linefile._encode_event``: the line
  ``JSONLTraceSink`` writes), so the file reads back with ``orvane-devtools import``.
* ``otlp-json``: the spans our OTLP export would send for these events
  (``Otlp._SpanBuilder``, the exporter's own span builder, with the listener's stale and orphan
  thresholds), one ``ExportTraceServiceRequest`` in OTLP's JSON encoding per line, as an
  OpenTelemetry Collector's file exporter writes them. Runs still open at the end are judged
  stale or orphaned as the exporter would judge them now, and those still open after that are
  ended as incomplete, as the exporter does when it stops.

Every method is a blocking read of the desk's log service: the listener calls them on its
reader thread, one call per page.
"""

from __future__ import annotations

import re
import time
from typing import Any

__all__ = ["FORMATS", "PAGE_EVENTS", "SessionExport", "TreeExport", "export_file_name", "session_file_name"]

FORMATS = ("jsonl", "otlp-json")
PAGE_EVENTS = 1000
_SPANS_PER_LINE = 512
_INT64_MIN = -(2**63)
_UNSAFE = re.compile(r"[^A-Za-z0-9._-]+")


def export_file_name(run_id: str, fmt: str) -> str:
    """``run-<id>.jsonl`` (``.otlp.jsonl`` for OTLP JSON), the id reduced to safe characters."""
    safe = _UNSAFE.sub("_", run_id).strip("._")[:100] or "tree"
    return f"run-{safe}.otlp.jsonl" if fmt == "otlp-json" else f"run-{safe}.jsonl"


def session_file_name(session_id: str, fmt: str) -> str:
    """``session-<id>.jsonl`` (``.otlp.jsonl`` for OTLP JSON), the id reduced to safe characters."""
    safe = _UNSAFE.sub("_", session_id).strip("._")[:100] or "session"
    return f"session-{safe}.otlp.jsonl" if fmt == "otlp-json" else f"session-{safe}.jsonl"


class TreeExport:
    """The export of one run tree; ``open()`` once, then ``next_chunk()`` until it gives None."""

    def __init__(self, desk: Any, run_id: str, fmt: str = "jsonl", *,
                 page_events: int = PAGE_EVENTS, stale_after_seconds: float | None = None,
                 orphan_after_seconds: float | None = None) -> None:
        if fmt not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}")
        self.desk = desk
        self.run_id = run_id
        self.fmt = fmt
        self.page_events = max(1, page_events)
        self.stale_after_seconds = stale_after_seconds
        self.orphan_after_seconds = orphan_after_seconds
        self.run_ids: list[str] = []
        self.events_written = 0
        self._next: int | None = None   # the oldest timestamp not read yet
        self._last: int | None = None   # the newest event's timestamp
        self._window = 1
        self._builder: Any = None
        self._done = False

    # -- the tree ------------------------------------------------------------------------------

    def open(self) -> bool:
        """Reads the tree's runs and the time span of its events; False when the run is unknown."""
        from ..listener import queries

        tree = queries.subtree(self.desk, self.run_id)
        if tree is None:
            return False
        run, children, detached = tree
        ids = [record.run_id for record, _ in queries.walk(run, children)]
        seen = set(ids)
        ids.extend(r.run_id for r in detached if r.run_id not in seen)
        self.run_ids = ids
        records = [run, *(r for kids in children.values() for r in kids), *detached]
        service = self.desk.log_service
        newest = service.query_events(run_ids=ids, limit=1)
        if not newest:
            self._done = True
        else:
            self._last = newest[-1].timestamp
            self._next = self._oldest_timestamp(service, records)
            total = sum(r.event_count or 0 for r in records) or 1
            span = self._last - self._next + 1
            self._window = max(1, span * self.page_events // total)
        if self.fmt == "otlp-json":
            self._builder = self._span_builder(len(ids))
        return True

    def _oldest_timestamp(self, service: Any, records: list[Any]) -> int:
        """The timestamp of the tree's oldest event: the earliest time its records name, unless
        some event is older still (then found by halving)."""
        times = [t for r in records for t in (r.started_at, r.updated_at, r.completed_at, r.failed_at)
                 if t is not None]
        guess = min(times) if times else self._last
        assert guess is not None
        ids = self.run_ids
        if not service.query_events(run_ids=ids, until=guess - 1, limit=1):
            return guess
        low, high = _INT64_MIN, guess - 1  # an event at or below `high` exists
        while low < high:
            middle = (low + high) // 2
            if service.query_events(run_ids=ids, until=middle, limit=1):
                high = middle
            else:
                low = middle + 1
        return low

    def _span_builder(self, runs: int) -> Any:
        from ..observation.backends.Otlp import _SpanBuilder

        options: dict[str, Any] = {"max_open_runs": max(10_000, runs + 1)}
        if self.stale_after_seconds is not None:
            options["stale_after_seconds"] = self.stale_after_seconds
        if self.orphan_after_seconds is not None:
            options["orphan_after_seconds"] = self.orphan_after_seconds
        return _SpanBuilder(**options)

    # -- the pages ----------------------------------------------------------------------------

    def next_events(self) -> list[Any] | None:
        """The next page of the tree's events (oldest first), or None when all were read."""
        if self._done or self._next is None or self._last is None:
            self._done = True
            return None
        service = self.desk.log_service
        ids = self.run_ids
        page = self.page_events
        while self._next <= self._last:
            start = self._next
            end = min(self._last, start + self._window - 1)
            rows = service.query_events(run_ids=ids, since=start, until=end, limit=page + 1)
            if len(rows) > page:
                if end > start:
                    self._window = max(1, (end - start + 1) // 4)
                    continue
                # More than a page in one millisecond: run by run, the order of the log
                # service's answer (timestamp, then the runs in the order asked, then arrival).
                rows = [ev for rid in ids for ev in service.query_events(run_id=rid, since=start, until=start)]
            elif len(rows) < page // 2:
                self._window *= 2
            self._next = end + 1
            if rows:
                self.events_written += len(rows)
                return rows
        self._done = True
        return None

    def next_chunk(self) -> bytes | None:
        """The bytes of the next page's lines, or None at the end."""
        while True:
            events = self.next_events()
            if events is None:
                return self._finish()
            chunk = self._lines(events)
            if chunk:
                return chunk

    def _lines(self, events: list[Any]) -> bytes:
        if self.fmt == "jsonl":
            from ..observation.backends.Linefile import _encode_event

            return b"".join(map(_encode_event, events))
        builder = self._builder
        builder.add(events)
        return self._drain()

    def _drain(self) -> bytes:
        builder = self._builder
        out = []
        while builder.ready_count:
            body = builder.take_request(_SPANS_PER_LINE, "http/json", False)
            if body is None:
                break
            out.append(body)
            out.append(b"\n")
        return b"".join(out)

    def _finish(self) -> bytes | None:
        builder = self._builder
        if builder is None:
            return None
        self._builder = None
        now = time.time_ns() // 1_000_000
        builder.judge(now)
        builder.finish_all(now)
        self._builder = builder
        chunk = self._drain()
        self._builder = None
        return chunk or None


class SessionExport:
    """The export of every run tree of one session, in the order of the session's turns (its
    heads by start), each written as ``TreeExport`` writes it; ``open()`` once, then
    ``next_chunk()`` until it gives None.

    The trees are those of the session's runs: each by its root, or, when the root is not
    stored (a subtree whose parent never arrived), by its top run among the session's runs."""

    def __init__(self, desk: Any, session_id: str, fmt: str = "jsonl", **options: Any) -> None:
        if fmt not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)}")
        self.desk = desk
        self.session_id = session_id
        self.fmt = fmt
        self.options = options
        self.heads: list[str] = []
        self.events_written = 0
        self._current: TreeExport | None = None

    def open(self) -> bool:
        """Finds the session's trees (``RuntimeLogService.session_heads``), in the order of the
        session's turns; False when no stored run has this session."""
        service = self.desk.log_service
        heads = [r for r in map(self.desk.get_run, service.session_heads(self.session_id)) if r is not None]
        if not heads:
            return False
        heads.sort(key=lambda r: (r.started_at or r.updated_at or 0, r.run_id))
        self.heads = [r.run_id for r in heads]
        return True

    def next_chunk(self) -> bytes | None:
        """The bytes of the next page's lines, or None once every tree was written."""
        while True:
            current = self._current
            if current is None:
                if not self.heads:
                    return None
                current = TreeExport(self.desk, self.heads.pop(0), self.fmt, **self.options)
                if not current.open():
                    continue
                self._current = current
            chunk = current.next_chunk()
            if chunk is None:
                self.events_written += current.events_written
                self._current = None
                continue
            return chunk
