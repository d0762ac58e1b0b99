"""Live feed of committed events and changed run records, as Server-Sent Events.

Every committed event becomes one item with a sequence number; the hub keeps the most recent
items in a ring so a client that reconnects with ``Last-Event-ID`` gets what it missed. Each
client has a subscription in the hub's own subscription registry (the same filter meanings as
``RuntimeTraceDesk.subscribe``) with a bounded queue: a client that reads too slowly loses the
oldest items and is told so with a ``gap`` message, and ingest never waits for a client.

Message ids are ``<epoch>-<seq>``; the epoch changes with every start of the listener, so an id
from before a restart is recognised and answered with a ``gap`` (the client refetches).

A run can also change without an event of its own: a span run stored before its parent arrived
joins the parent's tree when the parent comes (its parent and root change, see
``logs/_links.py``). ``publish_runs`` sends such a run's record as a ``run`` message of its own,
through the same subscriptions (a stream that follows a run's descendants gets the runs that
joined its tree), so an open page moves the run without reading everything again.
"""

from __future__ import annotations

import asyncio
import collections
import time
from collections.abc import AsyncIterator
from typing import Any

from ..observation.subscriptions import RuntimeObservationSubscriptions, SubscriptionClosed
from .responses import render_json

__all__ = ["StreamFilter", "StreamHub"]

RING_SIZE = 10_000


class _Item:
    """One committed event as the subscription registry sees it (it reads these attributes)."""

    __slots__ = ("seq", "event", "run", "event_type", "source", "level", "meta", "run_record",
                 "_text")

    def __init__(self, seq: int, event: Any) -> None:
        self.seq = seq
        self.event = event
        self.run = event.run
        self.event_type = event.event_type
        self.source = event.source
        self.level = event.level
        self.meta = event.meta
        self.run_record: Any = None
        self._text: str | None = None

    def text(self) -> str:
        if self._text is None:
            self._text = self.event.model_dump_json()
        return self._text


class _RunItem:
    """A run record that changed without an event (``StreamHub.publish_runs``): the subscription
    registry matches it by its run (the record's own links) and the meta of the record; it has
    no event type, source or level, so streams filtered by those do not get it."""

    __slots__ = ("seq", "event", "run", "event_type", "source", "level", "meta", "run_record")

    def __init__(self, seq: int, record: Any) -> None:
        self.seq = seq
        self.event = None
        self.run = record
        self.event_type = None
        self.source = None
        self.level = None
        self.meta = record.meta if isinstance(getattr(record, "meta", None), dict) else {}
        self.run_record = record


class StreamFilter:
    """The filters of one stream: the subscription's, plus ``search``, ``since``, ``until``."""

    __slots__ = ("subscribe_kwargs", "search", "since", "until", "_matches")

    def __init__(self, *, event_types: list[str] | None = None, run_id: str | None = None,
                 include_descendants: bool = False, source: str | None = None,
                 level: str | None = None, app_id: str | None = None,
                 app_id_pattern: str | None = None, group_id: str | None = None,
                 search: str | None = None, since: int | None = None,
                 until: int | None = None) -> None:
        self.subscribe_kwargs = {
            "event_types": event_types, "run_id": run_id,
            "include_descendants": include_descendants, "source": source, "level": level,
            "app_id": app_id, "app_id_pattern": app_id_pattern, "group_id": group_id,
        }
        self.search = search if search is not None and search.strip() else None
        self.since = since
        self.until = until

    def accepts(self, desk: Any, event: Any) -> bool:
        if self.since is not None and event.timestamp < self.since:
            return False
        if self.until is not None and event.timestamp > self.until:
            return False
        if self.search is not None and not desk.event_matches_search(event, self.search):
            return False
        return True


class StreamHub:
    def __init__(self, desk: Any, *, queue_size: int = 1000, heartbeat_seconds: float = 15.0) -> None:
        self.desk = desk
        self.queue_size = queue_size
        self.heartbeat_seconds = heartbeat_seconds
        self.epoch = format(time.time_ns() // 1_000_000, "x")
        self.registry = RuntimeObservationSubscriptions()
        # (seq, event) of the most recent committed events, for resuming clients. Plain pairs:
        # the ring is fed on every ingest, also while no client is there to read it.
        self.ring: collections.deque[tuple[int, Any]] = collections.deque(maxlen=RING_SIZE)
        self.seq = 0
        self.client_count = 0
        self.closed = False

    # -- feeding ------------------------------------------------------------------------------

    async def publish(self, events: list[Any]) -> None:
        """Queue committed events (and the records of their runs) for the clients."""
        if self.closed or not events:
            return
        first = self.seq + 1
        self.seq += len(events)
        self.ring.extend(zip(range(first, self.seq + 1), events))
        if not self.client_count:
            return
        items = []
        runs: dict[str, None] = {}
        for seq, ev in enumerate(events, first):
            items.append(_Item(seq, ev))
            if ev.run is not None:
                runs[ev.run.run_id] = None
        # The run records as they are now (resolved), read once per run of the batch and
        # carried by the run's events, so that a client gets them after the events it sees.
        get_run = self.desk.get_run
        records: dict[str, Any] = {}
        for run_id in runs:
            try:
                records[run_id] = get_run(run_id)
            except Exception:
                records[run_id] = None
        publish = self.registry.publish
        for item in items:
            if item.run is not None:
                item.run_record = records[item.run.run_id]
            publish(item)

    async def publish_runs(self, run_ids: list[str]) -> None:
        """Queue the records of runs that changed without an event of theirs (a late parent
        moved them), one ``run`` message each, with the id of the last event sent."""
        if self.closed or not run_ids or not self.client_count:
            return
        get_run = self.desk.get_run
        publish = self.registry.publish
        for run_id in run_ids:
            try:
                record = get_run(run_id)
            except Exception:
                continue
            if record is not None:
                publish(_RunItem(self.seq, record))

    def close(self) -> None:
        """Ends every open stream (their readers see the end after what is queued)."""
        if self.closed:
            return
        self.closed = True
        self.registry.reset()

    # -- reading ------------------------------------------------------------------------------

    def _parse_last_id(self, last_event_id: str | None) -> tuple[bool, int]:
        """(resumable, seq): whether items after ``seq`` can be replayed from the ring."""
        if not last_event_id:
            return False, 0
        epoch, _, seq_text = last_event_id.strip().partition("-")
        if epoch != self.epoch or not seq_text.isdigit():
            return False, -1
        seq = int(seq_text)
        oldest = self.ring[0][0] if self.ring else self.seq + 1
        if seq > self.seq or seq < oldest - 1:
            return False, -1
        return True, seq

    def _id(self, seq: int) -> str:
        return f"{self.epoch}-{seq}"

    async def messages(self, flt: StreamFilter, last_event_id: str | None = None) -> AsyncIterator[str]:
        """The text of the stream for one client, message by message, until the hub closes."""
        if self.closed:
            return
        sub = self.registry.subscribe(maxsize=self.queue_size, **flt.subscribe_kwargs)
        self.client_count += 1
        try:
            start_seq = self.seq
            last_seq = start_seq
            resumable, after = self._parse_last_id(last_event_id)
            hello = "retry: 2000\n"
            if not resumable:
                # A fresh start (or an id that cannot be resumed): from here on.
                hello += f"id: {self._id(start_seq)}\n"
            yield hello + "event: hello\ndata: " + render_json(
                {"epoch": self.epoch, "seq": start_seq}) + "\n\n"
            if resumable:
                replay = self._replay(flt, after, start_seq)
                if replay:
                    yield self._render(flt, replay)
            elif after == -1:
                yield self._gap(0, "resume")
            dropped = 0
            heartbeat = self.heartbeat_seconds
            while True:
                try:
                    first = await asyncio.wait_for(sub.get(), heartbeat)
                except TimeoutError:
                    yield ": heartbeat\n\n"
                    continue
                except SubscriptionClosed:
                    return
                batch = [first]
                while True:
                    try:
                        batch.append(sub.get_nowait())
                    except asyncio.QueueEmpty:
                        break
                if sub.dropped_count != dropped:
                    lost = sub.dropped_count - dropped
                    dropped = sub.dropped_count
                    yield self._gap(lost, "overflow")
                # Events already sent (a replay overlapping the live feed) are left out; run
                # items carry the last sequence number and are always new.
                batch = [item for item in batch if item.seq > last_seq or item.event is None]
                if batch:
                    last_seq = max(last_seq, batch[-1].seq)
                    text = self._render(flt, batch)
                    if text:
                        yield text
        finally:
            self.client_count -= 1
            sub.close()

    def _replay(self, flt: StreamFilter, after: int, upto: int) -> list[_Item]:
        """Ring items in (after, upto] that match the client's filter, matched by a scratch
        registry so that the meaning is the live one (descendant links included). Run records
        are read now: the latest state is what the client missed."""
        scratch = RuntimeObservationSubscriptions()
        items = [_Item(seq, ev) for seq, ev in self.ring if after < seq <= upto]
        sub = scratch.subscribe(maxsize=max(1, len(items)), **flt.subscribe_kwargs)
        for item in items:
            scratch.publish(item)
        out: list[_Item] = []
        records: dict[str, Any] = {}
        while True:
            try:
                item = sub.get_nowait()
            except asyncio.QueueEmpty:
                break
            run = item.run
            if run is not None:
                if run.run_id not in records:
                    try:
                        records[run.run_id] = self.desk.get_run(run.run_id)
                    except Exception:
                        records[run.run_id] = None
                item.run_record = records[run.run_id]
            out.append(item)
        sub.close()
        return out

    def _gap(self, dropped: int, reason: str) -> str:
        # No id: the client's last id stays the last message it really got.
        return "event: gap\ndata: " + render_json({"dropped": dropped, "reason": reason}) + "\n\n"

    def _render(self, flt: StreamFilter, items: list[_Item]) -> str:
        """Event messages for the items the filter accepts, then one run message per run of
        those events (its latest record), all run messages with the id of the last item."""
        parts = []
        records: dict[str, Any] = {}
        desk = self.desk
        for item in items:
            if item.event is None:
                # A moved run: its record, unless the stream searches (its events decide that).
                if flt.search is None:
                    records[item.run_record.run_id] = item.run_record
                continue
            if not flt.accepts(desk, item.event):
                continue
            parts.append(f"id: {self._id(item.seq)}\nevent: event\ndata: {item.text()}\n\n")
            record = item.run_record
            if record is not None:
                records[record.run_id] = record
        if records:
            last_id = self._id(items[-1].seq)
            for record in records.values():
                parts.append(f"id: {last_id}\nevent: run\ndata: "
                             + record.model_dump_json() + "\n\n")
        return "".join(parts)
