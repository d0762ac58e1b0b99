"""The listener's state: one ``RuntimeTraceDesk`` with the log service, ingest, counters, streams.

Everything here runs on the server's event loop thread (the desk holds no locks and expects one
thread). The log service keeps the events: with ``logs.path`` set it is the SQLite service, whose
``append_event`` returns once the event is committed, so an ingest answer is sent only for
events that are durable.
"""

from __future__ import annotations

import asyncio
import collections
import time
from pathlib import Path
from typing import Any

from orvane.utils import Settings

from .config import ListenerConfig
from .ingest import DecodedBatch, decode_body
from .stream import StreamHub

__all__ = ["IngestResult", "ListenerCore", "StorageError"]

# Recent event ids the desk itself remembers (its de-duplication window): a batch retried within
# this many events is recognised without asking the database.
DEDUP_WINDOW = 50_000
RATE_WINDOW_SECONDS = 10.0


class StorageError(RuntimeError):
    """Events could not be committed; the sender should retry the whole batch."""


class IngestResult:
    __slots__ = ("accepted", "duplicates", "rejected", "stored_events", "failed")

    def __init__(self) -> None:
        self.accepted = 0
        self.duplicates = 0
        self.rejected: list[dict[str, Any]] = []
        self.stored_events: list[Any] = []
        self.failed: list[tuple[int, BaseException]] = []

    def as_json(self) -> dict[str, Any]:
        return {"accepted": self.accepted, "duplicates": self.duplicates, "rejected": self.rejected}


def _desk_settings(config: ListenerConfig) -> Settings:
    values: dict[str, Any] = {
        "logs.enabled": True,
        "logs.path": str(config.db_path),
        "logs.max_events": config.max_events,
        "observation.buffer_limit": DEDUP_WINDOW,
        # The listener reads runs and events from the log service; the desk's channel buffer
        # would only hold copies nobody reads.
        "observation.channel_buffer_limit": 0,
    }
    if config.retention_days is not None:
        values["logs.retention_days"] = config.retention_days
    return Settings(values)


class ListenerCore:
    """The desk, the ingest road into it, the live streams out of it, and the counters."""

    def __init__(self, config: ListenerConfig, *, backends: list[Any] | None = None) -> None:
        from ..observation.TraceDesk import RuntimeTraceDesk

        self.config = config
        config.db_path.parent.mkdir(parents=True, exist_ok=True)
        self.desk = RuntimeTraceDesk(_desk_settings(config))
        if self.desk.log_service is None:  # pragma: no cover - the settings above enable it
            raise RuntimeError("the log service did not start")
        # Further sinks fed with every accepted event (an OTLP exporter, for one). They are
        # added after the desk is built; ``reload`` on this desk would drop them.
        for backend in backends or ():
            self.desk._backends.append(backend)
        self.hub = StreamHub(
            self.desk,
            queue_size=config.stream_queue_size,
            heartbeat_seconds=config.heartbeat_seconds,
        )
        self.started_at = time.time()
        self.ingested_total = 0
        self.rejected_total = 0
        self.duplicates_total = 0
        self.ingest_requests = 0
        self._rate: collections.deque[tuple[float, int]] = collections.deque()
        # Events the desk accepted whose commit failed: the desk remembers their ids, so a retry
        # would look like a duplicate. They go straight to the log service when they come back.
        self._uncommitted: dict[str, None] = {}
        self._closed = False

    # -- ingest -------------------------------------------------------------------------------

    def decode(self, body: bytes) -> DecodedBatch:
        return decode_body(body)

    async def ingest(self, batch: DecodedBatch) -> IngestResult:
        """Append the valid events through the desk; returns once they are committed.

        Raises ``StorageError`` when a commit failed (after committing the rest); the caller
        answers with a server error so that the sender retries, and the retry stores the events
        that failed without storing the others twice.
        """
        result = IngestResult()
        result.rejected = batch.rejected
        events = batch.events
        if events:
            append = self.desk.append_event
            loop = asyncio.get_running_loop()
            # Concurrent appends, each started at once (eagerly): the desk's synchronous steps
            # run in list order, then all wait for the log service together, which commits
            # them in shared transactions. An append that needs no waiting never gets scheduled.
            tasks = [asyncio.Task(append(ev), loop=loop, eager_start=True) for ev in events]
            outcomes = await asyncio.gather(*tasks, return_exceptions=True)
            retry: list[int] = []
            for pos, outcome in enumerate(outcomes):
                ev = events[pos]
                if outcome is True:
                    result.accepted += 1
                    result.stored_events.append(ev)
                    self._uncommitted.pop(ev.event_id, None)
                elif outcome is False:
                    if self._uncommitted and ev.event_id in self._uncommitted:
                        retry.append(pos)
                    else:
                        result.duplicates += 1
                else:
                    self._uncommitted[ev.event_id] = None
                    result.failed.append((batch.indexes[pos], outcome))
            if retry:
                await self._store_again(events, retry, batch, result)
        self._count(result)
        if result.stored_events:
            await self.hub.publish(result.stored_events)
        if result.failed:
            first = result.failed[0][1]
            raise StorageError(f"{len(result.failed)} event(s) could not be stored: {first}")
        return result

    async def _store_again(self, events: list[Any], positions: list[int], batch: DecodedBatch,
                           result: IngestResult) -> None:
        log_service = self.desk.log_service
        for pos in positions:
            ev = events[pos]
            try:
                await log_service.append_event(ev.model_copy(deep=True))
            except Exception as exc:  # still failing: keep it marked, report it
                result.failed.append((batch.indexes[pos], exc))
                continue
            self._uncommitted.pop(ev.event_id, None)
            result.accepted += 1
            result.stored_events.append(ev)

    def _count(self, result: IngestResult) -> None:
        self.ingest_requests += 1
        self.ingested_total += result.accepted
        self.duplicates_total += result.duplicates
        self.rejected_total += len(result.rejected)
        if result.accepted:
            now = time.monotonic()
            self._rate.append((now, result.accepted))
            self._trim_rate(now)

    def _trim_rate(self, now: float) -> None:
        rate = self._rate
        while rate and rate[0][0] < now - RATE_WINDOW_SECONDS:
            rate.popleft()

    # -- stats --------------------------------------------------------------------------------

    def db_bytes(self) -> int:
        total = 0
        path = Path(self.config.db_path)
        for suffix in ("", "-wal", "-shm"):
            try:
                total += (path.parent / (path.name + suffix)).stat().st_size
            except OSError:
                pass
        return total

    def stored_counts(self) -> tuple[int | None, int | None]:
        """(events, runs) held by the log service, when it can tell."""
        service = self.desk.log_service
        counts = getattr(service, "counts", None)
        if callable(counts):
            try:
                value = counts()
                return int(value["events"]), int(value["runs"])
            except Exception:
                return None, None
        store = getattr(service, "_store", None)
        if store is not None:  # the in-memory service
            try:
                return len(store.get_recent_events()), len(store.list_runs())
            except Exception:
                return None, None
        return None, None

    def stats(self) -> dict[str, Any]:
        now = time.monotonic()
        self._trim_rate(now)
        recent = sum(n for _, n in self._rate)
        span = RATE_WINDOW_SECONDS
        if self._rate:
            span = min(RATE_WINDOW_SECONDS, max(1.0, time.time() - self.started_at))
        events, runs = self.stored_counts()
        return {
            "events": events,
            "runs": runs,
            "db_path": str(self.config.db_path),
            "db_bytes": self.db_bytes(),
            "ingest_events_per_second": round(recent / span, 3),
            "ingested_total": self.ingested_total,
            "rejected_total": self.rejected_total,
            "duplicates_total": self.duplicates_total,
            "ingest_requests": self.ingest_requests,
            "stream_clients": self.hub.client_count,
            "started_at": self.started_at,
            "uptime_seconds": round(time.time() - self.started_at, 3),
        }

    # -- lifecycle ----------------------------------------------------------------------------

    def begin_shutdown(self) -> None:
        """Ends every open stream (called as soon as the server starts to stop)."""
        self.hub.close()

    async def close(self) -> None:
        """Closes the streams and the log service (its last commits are flushed)."""
        if self._closed:
            return
        self._closed = True
        self.hub.close()
        service = self.desk.log_service
        for name in ("aclose", "close"):
            closer = getattr(service, name, None)
            if callable(closer):
                outcome = closer()
                if asyncio.iscoroutine(outcome):
                    await outcome
                break
