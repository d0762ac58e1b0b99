"""The listener's state: one ``RuntimeTraceDesk`` with the log service, ingest, counters, streams.

Everything here runs on the server's event loop thread (the desk holds no locks and expects one
thread). The log service keeps the events in the SQLite file (``logs.path``): the events of one
request are appended through the desk inside one batch of the log service and committed
together, and the request is answered only after that commit, so what is acknowledged is
durable.
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

__all__ = ["HeldNothingStore", "IngestResult", "ListenerCore", "StorageError"]

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


class HeldNothingStore:
    """The desk's in-memory run store in the listener: it keeps nothing.

    With a log service the desk reads runs, trees and events from the log service, and so does
    every route of the listener. The desk's own store would derive every run record a second
    time and keep a copy of every event (one ring per run, growing with the number of runs)
    that no answer ever reads; on the ingest road that cost about as much as the rest of the
    desk's work. This store takes the desk's copy and drops it, and answers the store's reads
    as an empty store does.
    """

    backend_name = "listener"

    def append_event(self, event: Any) -> None:
        return None

    def list_runs(self, **filters: Any) -> list[Any]:
        return []

    def get_run(self, run_id: str) -> None:
        return None

    def get_run_children(self, run_id: str) -> list[Any]:
        return []

    def get_run_events(self, run_id: str, *, limit: int | None = None,
                       include_descendants: bool = False) -> list[Any]:
        return []

    def get_recent_events(self, *, limit: int | None = None) -> list[Any]:
        return []

    def get_event(self, event_id: str) -> None:
        return None

    def reset(self) -> None:
        return None


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
    if config.stale_after_seconds is not None:
        values["observation.run_stale_after_seconds"] = config.stale_after_seconds
    if config.orphan_after_seconds is not None:
        values["observation.run_orphan_after_seconds"] = config.orphan_after_seconds
    if config.retention_days is not None:
        values["logs.retention_days"] = config.retention_days
    if config.otlp_endpoint:
        # The desk builds the OTLP exporter (judged by the same stale and orphan thresholds).
        values["observation.otlp.enabled"] = True
        values["observation.otlp.endpoint"] = config.otlp_endpoint
        values["observation.otlp.protocol"] = config.otlp_protocol
        values["observation.otlp.headers"] = config.otlp_headers_dict()
    return Settings(values)


class ListenerCore:
    """The desk, the ingest road into it, the live streams out of it, and the counters."""

    def __init__(self, config: ListenerConfig, *, backends: list[Any] | None = None) -> None:
        from ..observation.TraceDesk import RuntimeTraceDesk

        self.config = config
        config.db_path.parent.mkdir(parents=True, exist_ok=True)
        self.desk = RuntimeTraceDesk(_desk_settings(config))
        if not callable(getattr(self.desk.log_service, "batch", None)):
            raise RuntimeError("the log service does not commit in batches")
        # Every read goes to the log service: the desk keeps no copy of its own. Set here, after
        # the desk is built; ``reload`` on this desk would bring its own store back.
        self.desk._run_store = HeldNothingStore()
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
        # Events accepted by a request whose commit is under way: id -> that commit's outcome.
        self._inflight: dict[str, asyncio.Future[bool]] = {}
        self._closed = False

    # -- ingest -------------------------------------------------------------------------------

    def decode(self, body: bytes) -> DecodedBatch:
        return decode_body(body)

    async def ingest(self, batch: DecodedBatch) -> IngestResult:
        """Append the valid events through the desk; returns once they are committed.

        Raises ``StorageError`` when a commit failed (after committing what it could); the
        caller answers with a server error so that the sender retries, and the retry stores the
        events that failed without storing the others twice. An event the store refuses (a value
        it cannot encode) is rejected by its index like an invalid one.
        """
        result = IngestResult()
        result.rejected = list(batch.rejected)
        events = batch.events
        if events:
            await self._append_in_one_commit(self.desk.log_service, batch, result)
            result.rejected.sort(key=lambda r: r["index"])
        self._count(result)
        if result.stored_events:
            await self.hub.publish(result.stored_events)
        if result.failed:
            first = result.failed[0][1]
            raise StorageError(f"{len(result.failed)} event(s) could not be stored: {first}")
        return result

    async def _append_in_one_commit(self, service: Any, batch: DecodedBatch,
                                    result: IngestResult) -> None:
        """Appends inside the log service's batch: the desk's appends queue their events and
        return, and leaving the batch waits for the one commit that holds them all.

        An event another request is still committing counts as a duplicate only once that
        commit is done (had it failed, this request stores the event): an answer never
        acknowledges an event that is not committed.
        """
        append = self.desk.append_event
        events = batch.events
        inflight = self._inflight
        done: asyncio.Future[bool] = asyncio.get_running_loop().create_future()
        accepted: list[Any] = []
        retry: list[int] = []
        waits: dict[asyncio.Future[bool], list[int]] = {}
        committed = False
        try:
            async with service.batch() as commit:
                for pos, ev in enumerate(events):
                    try:
                        outcome = await append(ev)
                    except ValueError as exc:  # the store cannot hold this event
                        result.rejected.append({"index": batch.indexes[pos],
                                                "error": str(exc)[:300]})
                        continue
                    except Exception as exc:  # not stored; the desk remembers it though
                        self._uncommitted[ev.event_id] = None
                        result.failed.append((batch.indexes[pos], exc))
                        continue
                    event_id = ev.event_id
                    if outcome:
                        accepted.append(ev)
                        inflight[event_id] = done
                    elif self._uncommitted and event_id in self._uncommitted:
                        retry.append(pos)
                    elif event_id in inflight:
                        waits.setdefault(inflight[event_id], []).append(pos)
                    else:
                        result.duplicates += 1
            committed = True
        except Exception as exc:
            # The commit failed: none of this batch's events is known to be stored.
            for ev in accepted:
                self._uncommitted[ev.event_id] = None
                result.failed.append((-1, exc))
        finally:
            for ev in accepted:
                if inflight.get(ev.event_id) is done:
                    del inflight[ev.event_id]
            done.set_result(committed)
        if committed:
            # Events the desk had not seen lately may still be in the database from before
            # (a restart, or a retry older than the desk's window): the commit counted them.
            # Which ones it was is not known here, so the stream gets them all (the page keys
            # by id).
            result.accepted += commit.stored
            result.duplicates += commit.duplicates
            result.stored_events.extend(accepted)
            for ev in accepted:
                self._uncommitted.pop(ev.event_id, None)
        for other, positions in waits.items():
            if await other:
                result.duplicates += len(positions)
            else:
                retry.extend(positions)
        if retry:
            retry.sort()
            await self._store_again(events, retry, batch, result)

    async def _store_again(self, events: list[Any], positions: list[int], batch: DecodedBatch,
                           result: IngestResult) -> None:
        """Events the desk remembers but whose commit failed before: straight to the log
        service (which ignores any that did get stored)."""
        log_service = self.desk.log_service
        again = [events[pos] for pos in positions]
        copies = [ev.model_copy(deep=True) for ev in again]
        try:
            stored = await log_service.append_events(copies)
        except Exception as exc:  # still failing: keep them marked, report it
            result.failed.extend((batch.indexes[pos], exc) for pos in positions)
            return
        for ev in again:
            self._uncommitted.pop(ev.event_id, None)
        result.accepted += stored
        result.duplicates += len(again) - stored
        result.stored_events.extend(again)

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
        counts = getattr(service, "stats", None)
        if callable(counts):
            try:
                value = counts()
                return int(value["events"]), int(value["runs"])
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
