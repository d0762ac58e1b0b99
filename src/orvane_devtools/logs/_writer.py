"""The log database's writer: one thread, one connection, group commit.

Appends from any thread are queued as tickets; the writer thread takes every ticket queued so far
(up to a batch size), writes their events in one ``BEGIN IMMEDIATE`` transaction (the body of a
transaction: ``_transaction.py``) and resolves each ticket's future only after ``COMMIT``. Between
batches it runs the maintenance steps (retention, trigram index steps, checkpoints, samples:
``_maintenance.py``).

Threads and state: ``submit`` and ``stop`` run on any thread and touch only the queue,
``_stopping`` and ``pending``, under ``_cond`` (and ``counters`` copies the file's counters for
``stats()``). Everything else runs on the writer thread "OrvaneLogWriter", which alone calls the
``Transaction`` and the ``Maintenance`` it owns once it has started. This
file owns the queue of tickets, the settled asyncio futures waiting to be handed to their loops,
and the session's counters ``stats()`` reads from other threads (plain ints: ``appended``,
``duplicates``, ``commits``, ``failed_batches``, ``pending``, and ``last_error``, which the
maintenance steps and the checkpoint thread set through ``_note_error``).
"""

from __future__ import annotations

import collections
import sqlite3
import threading
import time
from concurrent.futures import Future, InvalidStateError
from typing import Any

from ._maintenance import Maintenance, Samples
from ._schema import wrap_error
from ._transaction import TicketFailed, Transaction

# Moved runs kept for the service to take (Writer.moved_runs).
MAX_MOVED_RUNS = 10_000

__all__ = ["Writer"]

# Events written per transaction at most (tickets are never split; one larger ticket is one batch).
MAX_BATCH_EVENTS = 4096


class _Ticket:
    """One submission. Its future is a ``concurrent.futures.Future``, or an asyncio future of
    ``loop`` (settled on that loop, one wake-up per loop and batch)."""

    __slots__ = ("kind", "items", "future", "loop", "links", "calls")

    def __init__(self, kind: str, items: list | None, future: Any, loop: Any = None, links: Any = None,
                 calls: list | None = None) -> None:
        self.kind = kind  # "append", "barrier", "index", "reset", "stop"
        self.items = items
        self.future = future
        self.loop = loop
        # Of an append: its span links (a _links.SpanLinks), or None.
        self.links = links
        # Of an append: the LLM call pieces its events carry (_llm.CallPiece), or None.
        self.calls = calls


class Writer:
    """The writer thread of one log database."""

    def __init__(
        self,
        conn: sqlite3.Connection,
        path: str,
        counters: dict[str, int],
        *,
        max_events: int,
        retention_days: float | None,
    ) -> None:
        self._path = path
        # Set before the maintenance starts: its start may report a failure already.
        self.last_error: str | None = None
        samples = Samples()
        self.transaction = Transaction(conn, path, counters, samples)
        self.maintenance = Maintenance(
            self.transaction, samples, path, max_events=max_events, retention_days=retention_days,
            report=self._note_error,
        )
        self._cond = threading.Condition()
        self._queue: collections.deque[_Ticket] = collections.deque()
        self._stopping = False
        self._last_work = 0.0
        self._settle: dict[Any, list] = {}
        # Counters of this session (read by stats() from other threads; plain ints).
        self.appended = 0
        self.duplicates = 0
        self.commits = 0
        # Ids of runs that committed transactions moved (their parent or root changed by the link
        # step), oldest first, until the service takes them (appended here, taken on any thread:
        # deque appends and pops are atomic). Bounded: a taker that never comes loses the oldest.
        self.moved_runs: collections.deque[str] = collections.deque(maxlen=MAX_MOVED_RUNS)
        self.failed_batches = 0
        self.pending = 0
        self._thread = threading.Thread(target=self._run, name="OrvaneLogWriter", daemon=True)
        self._thread.start()

    # -- called from any thread --------------------------------------------------------------

    def submit(self, kind: str, items: list | None = None, loop: Any = None, links: Any = None,
               calls: list | None = None) -> Any:
        """Queue a ticket; returns its future: an asyncio future of ``loop`` when one is given,
        else a ``concurrent.futures.Future``. ``links``: the span links of an append; ``calls``
        the LLM call pieces of its events."""
        future = Future() if loop is None else loop.create_future()
        ticket = _Ticket(kind, items, future, loop, links, calls)
        with self._cond:
            if self._stopping:
                raise RuntimeError(f"the log service of {self._path} is closed")
            self._queue.append(ticket)
            if items:
                self.pending += len(items)
            self._cond.notify()
        return future

    def counters(self) -> dict[str, int]:
        return dict(self.transaction.counters)

    def stop(self, timeout: float | None) -> bool:
        """Write what is queued, then stop the thread and close the connection. True when the
        thread finished within ``timeout``."""
        with self._cond:
            if not self._stopping:
                self._stopping = True
                self._queue.append(_Ticket("stop", None, Future()))
                self._cond.notify()
        if threading.current_thread() is self._thread:
            return False
        self._thread.join(timeout)
        return not self._thread.is_alive()

    @property
    def alive(self) -> bool:
        return self._thread.is_alive()

    # -- the thread --------------------------------------------------------------------------

    def _run(self) -> None:
        maintenance = self.maintenance
        try:
            while True:
                tickets = self._take()
                if tickets is None:
                    break
                if tickets:
                    self._handle(tickets)
                    self._wake_loops()
                    self._last_work = time.monotonic()
                maintenance.maintain(idle=not tickets)
        finally:
            self._shutdown()

    def _take(self) -> list[_Ticket] | None:
        with self._cond:
            while not self._queue:
                wait = self.maintenance.next_round_in(time.monotonic(), self._last_work)
                if wait <= 0:
                    return []
                self._cond.wait(wait)
            first = self._queue[0]
            if first.kind != "append":
                self._queue.popleft()
                if first.kind == "stop":
                    self._queue.clear()
                    return None
                return [first]
            batch: list[_Ticket] = []
            count = 0
            while self._queue and self._queue[0].kind == "append":
                n = len(self._queue[0].items)
                if batch and count + n > MAX_BATCH_EVENTS:
                    break
                batch.append(self._queue.popleft())
                count += n
            return batch

    def _handle(self, tickets: list[_Ticket]) -> None:
        kind = tickets[0].kind
        if kind == "barrier":
            self._finish(tickets[0])
            return
        if kind == "index":
            try:
                self.maintenance.index_all()
            except BaseException as exc:  # noqa: BLE001 - reported to the caller
                self.transaction.rollback()
                _resolve(tickets[0].future, None, wrap_error(exc, self._path, "indexing event texts"))
            else:
                _resolve(tickets[0].future, None, None)
            return
        if kind == "reset":
            try:
                self.maintenance.reset()
            except BaseException as exc:  # noqa: BLE001 - reported to the caller
                _resolve(tickets[0].future, None, wrap_error(exc, self._path, "emptying the log"))
            else:
                _resolve(tickets[0].future, None, None)
            return
        self._write(tickets)

    def _shutdown(self) -> None:
        # Whatever is still queued (a stop arrived while tickets were queued) is refused.
        with self._cond:
            left = list(self._queue)
            self._queue.clear()
            self._stopping = True
        for t in left:
            self._finish(t, exc=RuntimeError(f"the log service of {self._path} is closed"))
        self._wake_loops()
        self.maintenance.close()
        self.transaction.close()

    def _note_error(self, text: str) -> None:
        """Keep the text of a failure for stats() (the maintenance steps' and the checkpoint
        thread's; a failed batch's own error goes to its tickets too)."""
        self.last_error = text

    # -- writing a batch ---------------------------------------------------------------------

    def _write(self, tickets: list[_Ticket]) -> None:
        remaining = list(tickets)
        while remaining:
            try:
                results = self._write_once(remaining)
            except TicketFailed as failed:
                self.transaction.rollback()
                self.transaction.forget_working()
                remaining = [t for t in remaining if t is not failed.ticket]
                self._finish(failed.ticket, exc=failed.exc)
                continue
            except BaseException as exc:  # noqa: BLE001 - every ticket of the batch learns of it
                self.transaction.rollback()
                self.transaction.forget_working()
                self.failed_batches += 1
                error = wrap_error(exc, self._path, "writing events")
                self.last_error = str(error)
                for t in remaining:
                    self._finish(t, exc=error)
                return
            self.commits += 1
            for t, result in zip(remaining, results):
                self._finish(t, result=result)
            return

    def _write_once(self, tickets: list[_Ticket]) -> list[tuple[int, int]]:
        """One transaction of append tickets: their events and run records, the oldest events
        beyond ``logs.max_events`` removed, COMMIT. Gives (stored, duplicates) per ticket."""
        txn = self.transaction
        results, stored, duplicates = txn.write(tickets)
        self.maintenance.before_commit(stored)
        txn.commit()
        if txn.moved:
            self.moved_runs.extend(dict.fromkeys(txn.moved))
        self.maintenance.wrote(stored)
        self.appended += stored
        self.duplicates += duplicates
        return results

    def _finish(self, ticket: _Ticket, *, result: Any = None, exc: BaseException | None = None) -> None:
        with self._cond:
            self.pending -= len(ticket.items or ())
        if ticket.loop is None:
            _resolve(ticket.future, result, exc)
        else:
            self._settle.setdefault(ticket.loop, []).append((ticket.future, result, exc))

    def _wake_loops(self) -> None:
        """Hand the settled asyncio futures to their loops, one call per loop."""
        settle, self._settle = self._settle, {}
        for loop, entries in settle.items():
            try:
                loop.call_soon_threadsafe(_settle_async, entries)
            except RuntimeError:
                pass  # the loop is closed: nobody waits any more


def _settle_async(entries: list) -> None:
    """On the waiting loop: settle asyncio futures (those whose waiter was cancelled stay so)."""
    for future, result, exc in entries:
        if future.done():
            continue
        if exc is not None:
            future.set_exception(exc)
        else:
            future.set_result(result)


def _resolve(future: Future, result: Any, exc: BaseException | None) -> None:
    """Settle a ticket's future; one its waiter cancelled (a timed-out await) is left as it is."""
    try:
        if exc is not None:
            future.set_exception(exc)
        else:
            future.set_result(result)
    except InvalidStateError:
        pass
