"""The listener's state: one ``RuntimeTraceDesk`` with the log service, ingest, counters, streams.

Everything here runs on the server's event loop thread (the desk holds no locks and expects one
thread). The log service keeps the events in the SQLite file (``logs.path``). A request goes in
two steps:

* ``store``: its valid events go to the log service in one batch (one commit), and the request
  is answered only after that commit, so what is acknowledged is durable. The database decides
  what is new (a unique ``event_id``), so a retried batch is stored once.
* ``feed``: the committed events are then appended through the desk (its de-duplication window,
  its sinks such as the OTLP exporter, its subscriptions) and published to the live streams.
  The server runs this step after the answer has left, while the sender prepares its next
  batch, so that the sender's wait is the decoding and the commit only.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import threading
import time
from pathlib import Path
from typing import Any

from orvane.utils import Settings

from . import calls as llm_calls
from .config import ListenerConfig
from .decode import MAX_ERROR_TEXT, DecodedBatch, decode_body
from .stream import StreamHub

__all__ = ["HeldNothingStore", "IngestResult", "ListenerCore", "StorageError"]

# Recent event ids the desk itself remembers (its de-duplication window): the desk's sinks and the
# streams get an event retried within this many events only once. What is stored is the
# database's call (a unique event_id), however old the first copy.
DEDUP_WINDOW = 50_000
RATE_WINDOW_SECONDS = 10.0


class StorageError(RuntimeError):
    """Events could not be committed; the sender should retry the whole batch."""


class IngestResult:
    """The answer to one request, and its committed events (new or already stored) for ``feed``."""

    __slots__ = ("accepted", "duplicates", "rejected", "stored_events")

    def __init__(self) -> None:
        self.accepted = 0
        self.duplicates = 0
        self.rejected: list[dict[str, Any]] = []
        self.stored_events: list[Any] = []

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


def _warm_prices() -> None:
    from ..llm import warm

    try:
        warm()
    except Exception:  # noqa: BLE001 - calls then go unpriced; the first one to price says why
        logging.getLogger("orvane_devtools.llm").exception("the price table could not be read")


class ListenerCore:
    """The desk, the ingest road into it, the live streams out of it, and the counters."""

    def __init__(self, config: ListenerConfig, *, backends: list[Any] | None = None) -> None:
        from ..logs import RuntimeLogService
        from ..observation.TraceDesk import RuntimeTraceDesk

        self.config = config
        config.db_path.parent.mkdir(parents=True, exist_ok=True)
        # The price table takes seconds to import: ahead of the first LLM call the writer prices.
        threading.Thread(target=_warm_prices, name="OrvanePriceTable", daemon=True).start()
        settings = _desk_settings(config)
        self.log_service = RuntimeLogService(settings)
        if not callable(getattr(self.log_service, "batch", None)):
            raise RuntimeError("the log service does not commit in batches")
        # Every read goes to the log service: the desk keeps no copy of its own (its store holds
        # nothing), and its appends come after the listener stored the events
        # (``append_stored_event`` leaves the log service out). Further sinks (an OTLP exporter,
        # for one) are fed with every accepted event; the desk keeps all three across a reload.
        try:
            self.desk = RuntimeTraceDesk(settings, run_store=HeldNothingStore(),
                                         log_service=self.log_service, backends=list(backends or ()))
        except BaseException:
            self.log_service.close()
            raise
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
        # Committed events the desk failed to take (its sinks and subscriptions missed them).
        self.desk_errors = 0
        self.last_desk_error: str | None = None
        self._closed = False

    # -- ingest -------------------------------------------------------------------------------

    def decode(self, body: bytes) -> DecodedBatch:
        return decode_body(body)

    async def ingest(self, batch: DecodedBatch) -> IngestResult:
        """``store`` then ``feed``: returns once the events are committed and handed on."""
        result = await self.store(batch)
        await self.feed(result)
        return result

    async def store(self, batch: DecodedBatch) -> IngestResult:
        """Commits the valid events of ``batch`` in one batch of the log service; returns once
        they are committed.

        The database tells which events are new and which it already holds (a retried batch, a
        batch another request is committing: both count as duplicates only once committed,
        since the log service answers after the commit that holds them). An event the store
        refuses (a value it cannot encode) is rejected by its index like an invalid one.
        Raises ``StorageError`` when the commit failed: nothing of the batch is known to be
        stored, the caller answers with a server error, and the sender's retry stores it.
        """
        result = IngestResult()
        result.rejected = list(batch.rejected)
        if batch.events:
            await self._commit(batch, result)
        self._count(result)
        return result

    async def _commit(self, batch: DecodedBatch, result: IngestResult) -> None:
        service = self.log_service
        events = batch.events
        kept = events
        # The LLM calls the events carry, read once here and stored with them.
        pieces = llm_calls.event_pieces(events) or None
        try:
            async with service.batch() as commit:
                try:
                    await service.append_events(events, pieces)
                except ValueError:
                    # One of them cannot be stored (nothing of the list was queued): one by
                    # one, to reject that one by its index and keep the others.
                    kept = []
                    by_event: dict[str, list[Any]] = {}
                    for piece in pieces or ():
                        by_event.setdefault(piece.event_id, []).append(piece)
                    for pos, ev in enumerate(events):
                        try:
                            await service.append_events([ev], by_event.get(ev.event_id))
                        except ValueError as exc:
                            result.rejected.append({"index": batch.indexes[pos],
                                                    "error": str(exc)[:MAX_ERROR_TEXT]})
                        else:
                            kept.append(ev)
                    result.rejected.sort(key=lambda r: r["index"])
        except Exception as exc:
            raise StorageError(f"{len(kept)} event(s) could not be stored: {exc}") from exc
        result.accepted = commit.stored
        result.duplicates = commit.duplicates
        result.stored_events = kept

    def span_lookup(self) -> Any:
        """The look-up of stored span runs for the OTLP mapping (None when the log service has
        none). A look-up that fails finds nothing: the spans then wait, and the log service links
        them when it commits them, as it links spans whose parents arrive later."""
        lookup = getattr(self.log_service, "span_runs", None)
        if not callable(lookup):
            return None

        def known(keys: list[tuple[str, str]]) -> dict[tuple[str, str], tuple[str, str]]:
            try:
                return lookup(keys)
            except Exception:  # noqa: BLE001 - a read that failed; the commit decides
                return {}

        return known

    async def store_mapped(self, mapped: Any) -> IngestResult:
        """Commits the events of mapped spans or log records (an ``otlp.mapping.Mapped``) in
        one transaction with their span links; returns once they are committed. Each item's
        events are stored whole or not at all: an item the store refuses is rejected by its
        index like an invalid one. ``StorageError`` as for ``store``."""
        result = IngestResult()
        result.rejected = [{"index": i, "error": r} for i, r in mapped.rejected]
        groups = mapped.groups
        if groups:
            service = self.log_service
            try:
                stored, duplicates, refused = await service.append_spans(groups, mapped.links, mapped.calls or None)
            except Exception as exc:
                raise StorageError(f"{len(groups)} item(s) could not be stored: {exc}") from exc
            left_out = set()
            for position, reason in refused:
                left_out.add(position)
                result.rejected.append({"index": mapped.items[position], "error": reason[:MAX_ERROR_TEXT]})
            result.rejected.sort(key=lambda r: r["index"])
            result.accepted = stored
            result.duplicates = duplicates
            result.stored_events = [ev for i, group in enumerate(groups) if i not in left_out for ev in group]
        self._count(result)
        return result

    async def feed(self, result: IngestResult) -> None:
        """Appends committed events through the desk (its window, sinks and subscriptions take
        each event once) and publishes those it took to the live streams."""
        events = result.stored_events
        if not events:
            return
        # The events are stored already, and they are the listener's own (decoded for this
        # request, not changed after this): the desk takes them as its private copies and leaves
        # its log service out.
        append = self.desk.append_stored_event
        taken = []
        for ev in events:
            try:
                if await append(ev):
                    taken.append(ev)
            except Exception as exc:  # stored all the same; only the desk's consumers missed it
                self.desk_errors += 1
                self.last_desk_error = f"{type(exc).__name__}: {exc}"[:MAX_ERROR_TEXT]
        if taken:
            await self.hub.publish(taken)
        # Runs that this commit (or one before it) moved without an event of theirs: a span run
        # that joined its parent's tree when the parent arrived. Their records go to the streams.
        take_moved = getattr(self.log_service, "take_moved_runs", None)
        if callable(take_moved):
            try:
                moved = take_moved()
            except Exception:  # noqa: BLE001 - the streams miss a move; the pages' re-reads catch it
                moved = []
            if moved:
                await self.hub.publish_runs(moved)

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
        service = self.log_service
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
            "desk_errors": self.desk_errors,
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
        service = self.log_service
        for name in ("aclose", "close"):
            closer = getattr(service, name, None)
            if callable(closer):
                outcome = closer()
                if asyncio.iscoroutine(outcome):
                    await outcome
                break
