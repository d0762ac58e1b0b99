"""The log database's writer: one thread, one connection, group commit.

Appends from any thread are queued as tickets; the writer thread takes every ticket queued so far
(up to a batch size), writes their events in one ``BEGIN IMMEDIATE`` transaction and resolves each
ticket's future only after ``COMMIT``. Run records are derived by a native run store
(``RuntimeTallybook``) that holds the runs of recent batches: a run it does not hold is loaded from
the file and adopted, so a record continues exactly where the stored one left off.

Retention (``logs.max_events`` and ``logs.retention_days``), the trigram indexes and WAL checkpoints
also run here, in small steps between batches. An index step is one statement (a temporary trigger
does its work), so the interpreter lock is free while it runs: a step that starts as a batch's
appends are settled overlaps the making of the next batch.
"""

from __future__ import annotations

import collections
import functools
import itertools
import json
import os
import sqlite3
import threading
import time
import zlib
from concurrent.futures import Future, InvalidStateError
from json.encoder import encode_basestring
from typing import Any

from .Logbook import _log_rows
from ._schema import (
    BUSY_TIMEOUT_MS,
    INDEX_STEP_SQL,
    MONOTONIC,
    NAME_EVENT_APP_ID,
    NAME_EVENT_TYPE,
    NAME_RUN_APP_ID,
    PENDING_CONTEXT,
    PENDING_HEAD,
    PENDING_VAL,
    connect,
    read_counters,
    wrap_error,
    write_counters,
)

__all__ = ["Writer", "commit_counter"]

# path -> [transactions committed to that file by the writers of this process]; readers compare it
# to know whether this process wrote since they last looked (without asking the file).
_commit_counters: dict[str, list[int]] = {}
_commit_counters_lock = threading.Lock()


def commit_counter(path: str) -> list[int]:
    """The shared count of this process's commits to the file at ``path`` (a one-item list)."""
    with _commit_counters_lock:
        counter = _commit_counters.get(path)
        if counter is None:
            counter = _commit_counters[path] = [0]
        return counter

# Events written per transaction at most (tickets are never split; one larger ticket is one batch).
MAX_BATCH_EVENTS = 4096
# Oldest events removed per retention step when the store is over its limits by more than a batch.
RETENTION_STEP = 1000
# Seconds between the writer's maintenance rounds (age retention, checkpoints, trigram counts).
MAINTENANCE_EVERY = 1.0
# Seconds without a ticket after which the writer counts as idle (and indexes what is left).
IDLE_DELAY = 0.1
# A WAL file larger than this is checkpointed and truncated; the writer waits at most
# CHECKPOINT_WAIT_MS for readers to let it.
WAL_CHECKPOINT_BYTES = 32 * 1024 * 1024
CHECKPOINT_WAIT_MS = 200
# Events written between the writer's passive checkpoints (a few MB of WAL). They run after the
# batch's tickets are settled: the connection's own automatic checkpoint would run inside COMMIT,
# while the appends of the batch still wait.
CHECKPOINT_EVENTS = 4096
# Seconds the writer's shutdown waits for a checkpoint under way on the checkpoint thread.
CHECKPOINT_STOP_WAIT = 1.0
# The derivation store is emptied when it has seen this many events or holds this many runs.
DERIVER_MAX_EVENTS = 20_000
DERIVER_MAX_RUNS = 4096
# Event texts enter the trigram index in bulk (one commit per text would cost a segment each):
# once INDEX_BATCH are waiting, up to INDEX_STEP at a time; all of them when the writer is idle.
# The run texts of new heads, contexts and vals (pending_text) go in with each step; they count
# towards INDEX_BATCH like event texts.
INDEX_BATCH = 1024
INDEX_STEP = 8192
INDEX_WHEN_IDLE = True
# One event text in SAMPLE_EVERY is counted into the trigram frequencies the search planner uses.
SAMPLE_EVERY = 64
SAMPLE_FLUSH = 512
# A payload or meta text at least this long that a run's events repeat is kept once per run (in
# `vals`, indexed once) instead of in each event's text; a run remembers this many such texts.
VAL_MIN_CHARS = 24
VAL_MEMORY = 32

# Whether the writer builds the rows of the events that need nothing but what it remembers in
# one native call per ticket (Logbook._log_rows); its own loop does the same.
NATIVE_ROWS = True

# A prepared event (see SQLiteLogStore.prepare): a tuple, in this order.
(P_ID, P_TS, P_TYPE, P_SOURCE, P_LEVEL, P_APP, P_GROUP, P_RUN, P_BODY, P_PARTS, P_RUN_JSON, P_CTX_TEXT, P_MESSAGE,
 P_META, P_CONTEXT) = range(15)


class _Ticket:
    """One submission. Its future is a ``concurrent.futures.Future``, or an asyncio future of
    ``loop`` (settled on that loop, one wake-up per loop and batch)."""

    __slots__ = ("kind", "items", "future", "loop")

    def __init__(self, kind: str, items: list | None, future: Any, loop: Any = None) -> None:
        self.kind = kind  # "append", "barrier", "index", "reset", "stop"
        self.items = items
        self.future = future
        self.loop = loop


class _TicketFailed(Exception):
    def __init__(self, ticket: _Ticket, exc: BaseException) -> None:
        super().__init__(str(exc))
        self.ticket = ticket
        self.exc = exc


class _RunState:
    """What the writer remembers of a run held by the derivation store."""

    __slots__ = ("run_key", "new", "unwritten", "made", "columns", "ident", "meta_text", "head_id", "ctx_json",
                 "ctx_id", "vals", "seen_json", "seen_meta", "seen_status")

    def __init__(self, run_key: int, new: bool = False) -> None:
        self.run_key = run_key
        # A run this writer created: its key is fresh, so no head or context row names it until
        # this state made one. `unwritten`: its `runs` row is still to be inserted.
        self.new = new
        self.unwritten = new
        # Of a new run: the hashes of the head and context rows made for it (see _made_key), so
        # that a text it never had is known to have no row without asking the file.
        self.made: set[int] | None = set() if new else None
        # The indexed columns of the run's row as this writer last wrote them (see _store_records),
        # None until it wrote the row.
        self.columns: tuple | None = None
        self.ident: tuple | None = None
        self.meta_text: str | None = None
        self.head_id: int | None = None
        self.ctx_json: str | None = None
        self.ctx_id: int | None = None
        # Payload/meta texts of the run's recent events: text -> its `vals` key, or None when
        # seen once (kept in that event's own text).
        self.vals: dict[str, int | None] = {}
        # What the last event that set `head_id` carried: its context JSON, its meta's text, and
        # the run's status after it.
        self.seen_json: str | None = None
        self.seen_meta: str | None = None
        self.seen_status: str | None = None


def _text_hash(text: str) -> int:
    return zlib.crc32(text.encode("utf-8", "surrogatepass"))


# The tables of the rows a run's texts are kept in, as the first item of the keys of
# Writer._made_rows and (shifted above the 32-bit hash) of _RunState.made.
_HEADS, _CONTEXTS = 1, 2


def _made_key(table: int, digest: int) -> int:
    return (table << 32) | digest


class _Checkpointer:
    """Passive checkpoints of one log database on a thread and connection of their own.

    A passive checkpoint copies WAL frames that no reader needs into the file without taking the
    write lock, so it runs while the writer commits the next batches (each of which would
    otherwise wait for its copying and its syncs). Requests made while one runs are merged into
    the next. The writer keeps the checkpoints that empty the WAL (TRUNCATE) for itself.
    """

    def __init__(self, path: str, report: Any) -> None:
        self._path = path
        self._report = report  # called with the text of a failure (kept for stats())
        self._cond = threading.Condition()
        self._due = False
        self._stopping = False
        self.done = 0
        self._thread = threading.Thread(target=self._run, name="OrvaneLogCheckpoint", daemon=True)
        self._thread.start()

    def request(self) -> None:
        with self._cond:
            self._due = True
            self._cond.notify()

    def stop(self, timeout: float | None) -> None:
        """Let a checkpoint under way finish (within ``timeout``); no new one starts."""
        with self._cond:
            self._stopping = True
            self._cond.notify()
        if threading.current_thread() is not self._thread:
            self._thread.join(timeout)

    def _run(self) -> None:
        conn: sqlite3.Connection | None = None
        try:
            while True:
                with self._cond:
                    while not (self._due or self._stopping):
                        self._cond.wait()
                    if self._stopping:
                        return
                    self._due = False
                try:
                    if conn is None:
                        conn = connect(self._path, query_only=False)
                    conn.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchall()
                except sqlite3.Error as exc:  # kept for stats(); the next request tries again
                    self._report(str(wrap_error(exc, self._path, "copying the log into the file")))
                self.done += 1
        finally:
            if conn is not None:
                try:
                    conn.close()
                except sqlite3.Error:
                    pass


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
        from ..observation.Tallybook import RunRecord, RuntimeTallybook

        self._conn = conn
        self._path = path
        self._counters = counters
        self._max_events = max(1, max_events)
        self._retention_ms = None if retention_days is None else int(retention_days * 86_400_000)
        self._run_record = RunRecord
        self._tally_cls = RuntimeTallybook
        self._norm = RuntimeTallybook._normalize_search_text
        self._deriver = RuntimeTallybook(1)
        # The native loop over the events that need nothing but what this writer remembers
        # (None: every event through the loop in _write_once, which does the same).
        self._build_rows = functools.partial(_log_rows, self._deriver) if NATIVE_ROWS else None
        self._working: dict[str, _RunState] = {}
        self._derived = 0
        # Distinct values in the `names` table, by kind.
        self._names: dict[int, set[str]] = {NAME_EVENT_TYPE: set(), NAME_EVENT_APP_ID: set(), NAME_RUN_APP_ID: set()}
        # The counters as the file holds them (only changed ones are written).
        self._written: dict[str, int] = dict(counters)
        self._gen: int | None = None  # the run generation of the open transaction, once given
        self._commits_here = commit_counter(path)
        self._samples: collections.Counter[str] = collections.Counter()
        self._sampled = 0
        self._sample_tick = 0
        self._data_version = conn.execute("PRAGMA data_version").fetchone()[0]
        for statement in INDEX_STEP_SQL:
            conn.execute(statement)
        # Rows per insert statement: a power of two within the number of parameters SQLite allows.
        most = max(1, min(INSERT_ROWS, conn.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER) // _ROW_PARAMS))
        self._insert_max = 1 << (most.bit_length() - 1)
        # Run texts waiting in pending_text for their index (those of this writer's transactions;
        # what the file held at open counts too).
        self._pending_texts = conn.execute("SELECT count(*) FROM pending_text").fetchone()[0]
        # The heads, contexts, vals and pending_text rows made by the open transaction, inserted
        # together before its event rows (_insert_made), and the head and context rows among them
        # by (table, run_key, hash) -> [(key, text)], for _stored_row to find before they are in
        # the file. Emptied when a transaction begins, commits or rolls back.
        self._new_heads: list[tuple] = []
        self._new_contexts: list[tuple] = []
        self._new_vals: list[tuple] = []
        self._new_pending: list[tuple] = []
        self._made_rows: dict[tuple[int, int, int], list[tuple[int, str]]] = {}

        self._cond = threading.Condition()
        self._queue: collections.deque[_Ticket] = collections.deque()
        self._stopping = False
        self._last_maintenance = 0.0
        self._last_work = 0.0
        self._backlog = False
        self._index_pause_until = 0.0
        self._since_checkpoint = 0  # events written since the last checkpoint
        self._checkpointer: _Checkpointer | None = None  # started with the first checkpoint
        self._caught_up = 0  # the checkpoint thread's count when the writer last copied the rest
        self._settle: dict[Any, list] = {}
        # Counters of this session (read by stats() from other threads; plain ints).
        self.appended = 0
        self.duplicates = 0
        self.commits = 0
        self.failed_batches = 0
        self.checkpoints = 0
        self.retention_steps = 0
        self.index_steps = 0
        self.last_error: str | None = None
        self.pending = 0
        self._thread = threading.Thread(target=self._run, name="OrvaneLogWriter", daemon=True)
        self._thread.start()

    # -- called from any thread --------------------------------------------------------------

    def submit(self, kind: str, items: list | None = None, loop: Any = None) -> Any:
        """Queue a ticket; returns its future: an asyncio future of ``loop`` when one is given,
        else a ``concurrent.futures.Future``."""
        future = Future() if loop is None else loop.create_future()
        ticket = _Ticket(kind, items, future, loop)
        with self._cond:
            if self._stopping:
                raise RuntimeError(f"the log service of {self._path} is closed")
            self._queue.append(ticket)
            if items:
                self.pending += len(items)
            self._cond.notify()
        return future

    def counters(self) -> dict[str, int]:
        return dict(self._counters)

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
        try:
            while True:
                tickets = self._take()
                if tickets is None:
                    break
                if tickets:
                    self._handle(tickets)
                    self._wake_loops()
                    self._last_work = time.monotonic()
                self._maintain(idle=not tickets)
        finally:
            self._shutdown()

    def _take(self) -> list[_Ticket] | None:
        with self._cond:
            while not self._queue:
                now = time.monotonic()
                wait = MAINTENANCE_EVERY - (now - self._last_maintenance)
                if wait <= 0:
                    return []
                if self._backlog or (INDEX_WHEN_IDLE and self._index_lag()):
                    # Idle work waits until no ticket came for IDLE_DELAY.
                    idle_in = max(IDLE_DELAY - (now - self._last_work), self._index_pause_until - now)
                    if idle_in <= 0:
                        return []
                    wait = min(wait, idle_in)
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
                while self._index_lag():
                    self._index_step(INDEX_STEP)
            except BaseException as exc:  # noqa: BLE001 - reported to the caller
                self._rollback()
                _resolve(tickets[0].future, None, wrap_error(exc, self._path, "indexing event texts"))
            else:
                _resolve(tickets[0].future, None, None)
            return
        if kind == "reset":
            try:
                self._reset_all()
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
        try:
            self._flush_samples_txn()
        except BaseException:  # noqa: BLE001 - best effort at close
            pass
        if self._checkpointer is not None:
            self._checkpointer.stop(CHECKPOINT_STOP_WAIT)
        try:
            self._truncate_wal()
        except sqlite3.Error:
            pass
        try:
            self._conn.close()
        except sqlite3.Error:
            pass

    # -- writing a batch ---------------------------------------------------------------------

    def _write(self, tickets: list[_Ticket]) -> None:
        remaining = list(tickets)
        while remaining:
            try:
                results = self._write_once(remaining)
            except _TicketFailed as failed:
                self._rollback()
                self._forget_working()
                remaining = [t for t in remaining if t is not failed.ticket]
                self._finish(failed.ticket, exc=failed.exc)
                continue
            except BaseException as exc:  # noqa: BLE001 - every ticket of the batch learns of it
                self._rollback()
                self._forget_working()
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

    def _rollback(self) -> None:
        self._forget_made()
        try:
            if self._conn.in_transaction:
                self._conn.execute("ROLLBACK")
        except sqlite3.Error:
            pass

    def _forget_made(self) -> None:
        """Forget the rows the open transaction made (committed or rolled back now)."""
        self._new_heads.clear()
        self._new_contexts.clear()
        self._new_vals.clear()
        self._new_pending.clear()
        self._made_rows.clear()

    def _insert_made(self) -> None:
        """Insert the heads, contexts, vals and pending_text rows of the open transaction."""
        conn = self._conn
        if self._new_heads:
            conn.executemany("INSERT INTO heads(head_id, run_key, hash, vals) VALUES (?, ?, ?, ?)", self._new_heads)
            self._new_heads.clear()
        if self._new_contexts:
            conn.executemany(
                "INSERT INTO contexts(ctx_id, run_key, hash, body) VALUES (?, ?, ?, ?)", self._new_contexts
            )
            self._new_contexts.clear()
        if self._new_vals:
            conn.executemany("INSERT INTO vals(val_id, run_key) VALUES (?, ?)", self._new_vals)
            self._new_vals.clear()
        if self._new_pending:
            conn.executemany("INSERT INTO pending_text(id, kind, a, b) VALUES (?, ?, ?, ?)", self._new_pending)
            self._new_pending.clear()

    def _forget_working(self) -> None:
        """Empty the derivation store and every cache of the file's contents."""
        self._deriver.reset()
        self._working.clear()
        self._derived = 0
        self._forget_names()
        self._counters.update(read_counters(self._conn))
        self._written = dict(self._counters)

    def _forget_names(self) -> None:
        for names in self._names.values():
            names.clear()

    def _begin(self) -> None:
        conn = self._conn
        self._forget_made()
        conn.execute("BEGIN IMMEDIATE")
        self._gen = None
        version = conn.execute("PRAGMA data_version").fetchone()[0]
        if version != self._data_version:
            # Another connection (another service on this file, another process) wrote: what
            # this writer remembers may be stale.
            self._data_version = version
            self._deriver.reset()
            self._working.clear()
            self._derived = 0
            self._forget_names()
            self._counters.update(read_counters(conn))
            self._written = dict(self._counters)

    def _commit(self) -> None:
        # (A batch inserts its rows of run texts before its events; whatever else made some since
        # has them inserted here, within the transaction.)
        self._insert_made()
        write_counters(self._conn, self._counters, self._written)
        self._conn.execute("COMMIT")
        self._forget_made()
        self._commits_here[0] += 1

    def _run_gen(self) -> int:
        """The generation of the open transaction's run rows (one more than the last)."""
        gen = self._gen
        if gen is None:
            gen = self._gen = self._counters["run_gen"] + 1
            self._counters["run_gen"] = gen
        return gen

    def _next_key(self) -> int:
        key = self._counters["last_key"] + 1
        self._counters["last_key"] = key
        return key

    def _write_once(self, tickets: list[_Ticket]) -> list[tuple[int, int]]:
        if self._derived >= DERIVER_MAX_EVENTS or len(self._working) >= DERIVER_MAX_RUNS:
            self._deriver.reset()
            self._working.clear()
            self._derived = 0
        conn = self._conn
        self._begin()
        ids = [p[P_ID] for t in tickets for p in t.items]
        ids_json = json.dumps(ids)
        seen_ids = {
            r[0]
            for r in conn.execute(
                "SELECT event_id FROM events WHERE event_id IN (SELECT value FROM json_each(?))", (ids_json,)
            )
        }
        if "\\u0000" in ids_json:
            # json_each gives a text with a NUL back cut short at the NUL: such ids one by one.
            for event_id in ids:
                if "\0" in event_id and conn.execute(
                    "SELECT 1 FROM events WHERE event_id = ?", (event_id,)
                ).fetchone():
                    seen_ids.add(event_id)
        touched: dict[str, _RunState] = {}
        rows: list[tuple] = []
        results = []
        stored_total = 0
        dup_total = 0
        working = self._working
        adopt = self._adopt
        derive = self._deriver._derive_record
        get_run = self._deriver.get_run
        head_for = self._head_for
        ctx_for = self._ctx_for
        val_for = self._val_for
        counters = self._counters
        seq = counters["last_seq"]
        types = self._names[NAME_EVENT_TYPE]
        apps = self._names[NAME_EVENT_APP_ID]
        tick = self._sample_tick
        build = self._build_rows
        for ticket in tickets:
            stored = dups = 0
            items = ticket.items
            i = 0
            try:
                while True:
                    status = None
                    if build is not None:
                        # The events that need nothing but what this writer remembers; it stops
                        # at the first other one (with its status when it derived it already).
                        i, seq, tick, n, d, status = build(
                            items, i, seen_ids, working, touched, rows, seq, tick, types, apps, VAL_MIN_CHARS,
                            SAMPLE_EVERY,
                        )
                        stored += n
                        dups += d
                    if i >= len(items):
                        break
                    p = items[i]
                    i += 1
                    (event_id, ts, etype, source, level, app, group, run_id, body, parts, run_json, ctx_text,
                     message, meta_obj, context) = p
                    if status is None:
                        if event_id in seen_ids:
                            dups += 1
                            continue
                        seen_ids.add(event_id)
                    if run_id is None:
                        run_key = head_id = ctx_id = pay_val = meta_val = None
                        lens = "%d,%d,%d,%d,%d,%d,%d,%d" % tuple(map(len, parts))
                        text = " ".join(filter(None, parts))
                    else:
                        state = working.get(run_id)
                        if state is None:
                            state = adopt(run_id)
                        if status is None:
                            status = derive(etype, ts, source, message, meta_obj, context)
                        meta = parts[7]
                        # The record's texts change only with the context, the event's meta or
                        # the status (applying the same context and meta again leaves them).
                        head_id = state.head_id
                        if (
                            head_id is None or run_json != state.seen_json or meta != state.seen_meta
                            or status != state.seen_status
                        ):
                            head_id = head_for(state, get_run(run_id))
                            state.seen_json = run_json
                            state.seen_meta = meta
                            state.seen_status = status
                        ctx_id = state.ctx_id
                        if ctx_id is None or run_json != state.ctx_json:
                            ctx_id = ctx_for(state, run_json, ctx_text)
                        run_key = state.run_key
                        touched[run_id] = state
                        pay = parts[5]
                        vals = state.vals
                        # A text the run repeats has its key in `vals` already (else _val_for);
                        # the event's own text then leaves it out.
                        pay_val = (vals.get(pay) or val_for(state, pay)) if len(pay) >= VAL_MIN_CHARS else None
                        meta_val = (vals.get(meta) or val_for(state, meta)) if len(meta) >= VAL_MIN_CHARS else None
                        if pay_val is None and meta_val is None:
                            lens = "%d,%d,%d,%d,%d,%d,%d,%d" % tuple(map(len, parts))
                            text = " ".join(filter(None, parts))
                        else:
                            if pay_val is not None:
                                pay = ""
                            if meta_val is not None:
                                meta = ""
                            own = (*parts[:5], pay, parts[6], meta)
                            lens = "%d,%d,%d,%d,%d,%d,%d,%d" % tuple(map(len, own))
                            text = " ".join(filter(None, own))
                    seq += 1
                    rows.append(
                        (seq, event_id, run_key, ts, etype, source, level, app, group, head_id, ctx_id, pay_val,
                         meta_val, lens, text, body)
                    )
                    if etype not in types:
                        self._name(NAME_EVENT_TYPE, etype)
                    if app is not None and app not in apps:
                        self._name(NAME_EVENT_APP_ID, app)
                    tick += 1
                    if tick >= SAMPLE_EVERY:
                        tick = 0
                        text = " ".join(filter(None, parts))
                        self._samples.update({text[k:k + 3] for k in range(len(text) - 2)})
                        self._sampled += 1
                    stored += 1
            except sqlite3.Error:
                raise
            except BaseException as exc:  # noqa: BLE001 - this ticket's events are refused
                raise _TicketFailed(ticket, exc) from exc
            results.append((stored, dups))
            stored_total += stored
            dup_total += dups
        self._sample_tick = tick
        self._derived += stored_total
        counters["last_seq"] = seq
        self._insert_made()
        _insert_rows(conn, rows, self._insert_max)
        if touched:
            self._store_records(touched)
        counters["events"] += stored_total
        if counters["events"] > self._max_events:
            excess = counters["events"] - self._max_events
            self._drop_oldest(min(excess, max(RETENTION_STEP, stored_total)))
            self._backlog = counters["events"] > self._max_events
        if self._sampled >= SAMPLE_FLUSH:
            self._flush_samples()
        self._commit()
        self._since_checkpoint += stored_total
        self.appended += stored_total
        self.duplicates += dup_total
        return results

    def _adopt(self, run_id: str) -> _RunState:
        conn = self._conn
        row = conn.execute("SELECT run_key, record FROM runs WHERE run_id = ?", (run_id,)).fetchone()
        if row is None:
            # Its row is inserted with its first record (_store_records, in this transaction).
            self._counters["runs"] += 1
            state = _RunState(self._next_key(), new=True)
        else:
            record = self._run_record.model_validate_json(row[1])
            self._deriver._adopt_run(record)
            state = _RunState(row[0])
        self._working[run_id] = state
        return state

    def _stored_row(self, state: _RunState, table: int, query: str, digest: int, text: str) -> int | None:
        """The id of the run's row (in ``table``, found in the file by ``query``) that has the
        hash ``digest`` and holds ``text``, or None. Rows this transaction made are not in the
        file yet; a new run has rows only of the hashes it made."""
        made = self._made_rows.get((table, state.run_key, digest))
        if made is not None:
            for row_id, stored in made:
                if stored == text:
                    return row_id
        if state.new and _made_key(table, digest) not in state.made:
            return None
        for row_id, stored in self._conn.execute(query, (state.run_key, digest)):
            if stored == text:
                return row_id
        return None

    def _made_row(self, state: _RunState, table: int, digest: int, key: int, text: str) -> None:
        self._made_rows.setdefault((table, state.run_key, digest), []).append((key, text))
        if state.made is not None:
            state.made.add(_made_key(table, digest))

    def _head_for(self, state: _RunState, record: Any) -> int:
        """The id of the row holding the run's record texts as they are after this event."""
        norm = self._norm
        ident = (
            record.run_id, record.root_run_id, record.parent_run_id, record.run_kind, record.agent_id,
            record.agent_name, record.session_id, record.response_id, record.execution_id, record.status,
        )
        meta_text = norm(record.meta)
        if state.head_id is not None and ident == state.ident and meta_text == state.meta_text:
            return state.head_id
        vals = [norm(v) for v in ident]
        vals.append(meta_text)
        # json.dumps(vals, ensure_ascii=False) of the eleven texts, without making an encoder
        text = "[" + ", ".join(map(encode_basestring, vals)) + "]"
        digest = _text_hash(text)
        head_id = self._stored_row(
            state, _HEADS, "SELECT head_id, vals FROM heads WHERE run_key = ? AND hash = ?", digest, text
        )
        if head_id is None:
            head_id = self._next_key()
            self._new_heads.append((head_id, state.run_key, digest, text))
            self._new_pending.append((head_id, PENDING_HEAD, " ".join(filter(None, vals[:10])), meta_text))
            self._made_row(state, _HEADS, digest, head_id, text)
            self._pending_texts += 1
        state.ident = ident
        state.meta_text = meta_text
        state.head_id = head_id
        return head_id

    def _ctx_for(self, state: _RunState, body: str, text: str) -> int:
        """The id of the row holding the run context ``body`` (its JSON) and its search text."""
        if state.ctx_id is not None and body == state.ctx_json:
            return state.ctx_id
        digest = _text_hash(body)
        ctx_id = self._stored_row(
            state, _CONTEXTS, "SELECT ctx_id, body FROM contexts WHERE run_key = ? AND hash = ?", digest, body
        )
        if ctx_id is None:
            ctx_id = self._next_key()
            self._new_contexts.append((ctx_id, state.run_key, digest, body))
            self._new_pending.append((ctx_id, PENDING_CONTEXT, text, None))
            self._made_row(state, _CONTEXTS, digest, ctx_id, body)
            self._pending_texts += 1
        state.ctx_json = body
        state.ctx_id = ctx_id
        return ctx_id

    def _val_for(self, state: _RunState, text: str) -> int | None:
        """The `vals` key of a payload or meta text the run repeats; None the first time the
        run's recent events show it (the text then stays in the event's own text)."""
        vals = state.vals
        key = vals.get(text, 0)
        if key == 0:
            if len(vals) >= VAL_MEMORY:
                vals.clear()
            vals[text] = None
            return None
        if key is None:
            key = self._next_key()
            self._new_vals.append((key, state.run_key))
            self._new_pending.append((key, PENDING_VAL, text, None))
            self._pending_texts += 1
            vals[text] = key
        return key

    def _store_records(self, touched: dict[str, _RunState]) -> None:
        gen = self._run_gen()
        get_run = self._deriver.get_run
        rows = []
        inserts = []
        # Rows whose columns in indexes other than those of the order and the generation are as
        # this writer wrote them: only what changed is set, so SQLite leaves those indexes alone.
        same = []
        same_but_status = []
        apps = self._names[NAME_RUN_APP_ID]
        for run_id, state in touched.items():
            record = get_run(run_id)
            meta = record.meta
            app_id = meta.get("app_id")
            group_id = meta.get("group_id")
            flow_name = meta.get("flow_name")
            app_id = app_id if isinstance(app_id, str) else None
            window = record.updated_at or record.started_at or record.completed_at or record.failed_at
            row = (
                record.root_run_id, record.parent_run_id, record.run_kind, record.status, record.agent_id,
                record.session_id, app_id, group_id if isinstance(group_id, str) else None,
                flow_name if isinstance(flow_name, str) else None, record.updated_at or 0, window, gen,
                record.model_dump_json(fallback=str), state.run_key,
            )
            # (Compared with their types: 1 and 1.0 or True are equal but not stored alike.)
            columns = (row[:3] + row[4:9], tuple(map(type, row[:9])))
            last = state.columns
            if state.unwritten:
                inserts.append(row + (run_id,))
                state.unwritten = False
            elif last is None or last[:2] != columns:
                rows.append(row)
            elif last[2] == row[3]:
                same.append(row[9:])
            else:
                same_but_status.append(row[3:4] + row[9:])
            state.columns = (*columns, row[3])
            if app_id is not None and app_id not in apps:
                self._name(NAME_RUN_APP_ID, app_id)
        if inserts:
            self._conn.executemany(
                "INSERT INTO runs(root_run_id, parent_run_id, run_kind, status, agent_id, session_id, app_id,"
                " group_id, flow_name, sort_ts, window_ts, gen, record, run_key, run_id)"
                " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                inserts,
            )
        if rows:
            self._conn.executemany(
                "UPDATE runs SET root_run_id = ?, parent_run_id = ?, run_kind = ?, status = ?, agent_id = ?,"
                " session_id = ?, app_id = ?, group_id = ?, flow_name = ?, sort_ts = ?, window_ts = ?, gen = ?,"
                " record = ? WHERE run_key = ?",
                rows,
            )
        if same:
            self._conn.executemany(
                "UPDATE runs SET sort_ts = ?, window_ts = ?, gen = ?, record = ? WHERE run_key = ?", same
            )
        if same_but_status:
            self._conn.executemany(
                "UPDATE runs SET status = ?, sort_ts = ?, window_ts = ?, gen = ?, record = ? WHERE run_key = ?",
                same_but_status,
            )

    def _name(self, kind: int, value: str) -> None:
        names = self._names[kind]
        if value not in names:
            self._conn.execute("INSERT OR IGNORE INTO names(kind, value) VALUES (?, ?)", (kind, value))
            names.add(value)

    # -- retention ---------------------------------------------------------------------------

    def _drop_oldest(self, count: int) -> None:
        rows = self._conn.execute("SELECT seq, run_key FROM events ORDER BY seq LIMIT ?", (count,)).fetchall()
        self._delete_events(rows)
        self._counters["dropped_events"] += len(rows)

    def _expire(self, cutoff: int, count: int) -> int:
        rows = self._conn.execute(
            "SELECT seq, run_key FROM events WHERE ts < ? ORDER BY ts LIMIT ?", (cutoff, count)
        ).fetchall()
        self._delete_events(rows)
        self._counters["expired_events"] += len(rows)
        return len(rows)

    def _delete_events(self, rows: list[tuple[int, int | None]]) -> None:
        if not rows:
            return
        conn = self._conn
        seqs = json.dumps([r[0] for r in rows])
        # The index forgets a text by being told the text it had indexed (before the row goes).
        conn.execute(
            "INSERT INTO event_text(event_text, rowid, t) SELECT 'delete', seq, t FROM events"
            " WHERE seq IN (SELECT value FROM json_each(?)) AND seq <= ?",
            (seqs, self._counters["indexed_upto"]),
        )
        conn.execute("DELETE FROM events WHERE seq IN (SELECT value FROM json_each(?))", (seqs,))
        self._counters["events"] -= len(rows)
        for run_key in {r[1] for r in rows if r[1] is not None}:
            if conn.execute("SELECT 1 FROM events WHERE run_key = ? LIMIT 1", (run_key,)).fetchone():
                continue
            self._drop_run(run_key)

    def _drop_run(self, run_key: int) -> None:
        conn = self._conn
        row = conn.execute("SELECT run_id FROM runs WHERE run_key = ?", (run_key,)).fetchone()
        for table, text_table, key in (("heads", "head_text", "head_id"), ("contexts", "context_text", "ctx_id"),
                                       ("vals", "val_text", "val_id")):
            conn.execute(
                f"DELETE FROM {text_table} WHERE rowid IN (SELECT {key} FROM {table} WHERE run_key = ?)", (run_key,)
            )
            conn.execute(f"DELETE FROM pending_text WHERE id IN (SELECT {key} FROM {table} WHERE run_key = ?)", (run_key,))
            conn.execute(f"DELETE FROM {table} WHERE run_key = ?", (run_key,))
        conn.execute("DELETE FROM runs WHERE run_key = ?", (run_key,))
        self._counters["runs"] -= 1
        self._counters["dropped_runs"] += 1
        self._counters["drop_gen"] = self._run_gen()
        if row is not None and row[0] in self._working:
            # The derivation store still holds the run; a later event must start a new record.
            self._deriver.reset()
            self._working.clear()
            self._derived = 0

    def _maintain(self, *, idle: bool) -> None:
        """Work between batches: indexing, retention, trigram counts, checkpoints. ``idle``: no
        ticket came for ``IDLE_DELAY``."""
        now = time.monotonic()
        due = now - self._last_maintenance >= MAINTENANCE_EVERY
        try:
            self._checkpoint_if_due()
        except sqlite3.Error as exc:  # kept for stats(); a later round tries again
            self.last_error = str(wrap_error(exc, self._path, "copying the log into the file"))
        lag = self._index_lag() if now >= self._index_pause_until else 0
        try:
            if lag >= INDEX_BATCH or (lag and idle and INDEX_WHEN_IDLE):
                self._index_step(INDEX_STEP)
        except BaseException as exc:  # noqa: BLE001 - kept for stats(); a later round tries again
            self._rollback()
            self._forget_working()
            self._index_pause_until = now + MAINTENANCE_EVERY
            self.last_error = str(wrap_error(exc, self._path, "indexing event texts"))
        if not due and not self._backlog:
            return
        if due:
            self._last_maintenance = now
        try:
            self._retention_step()
            if due:
                if self._samples:
                    self._flush_samples_txn()
                self._checkpoint_if_large()
        except BaseException as exc:  # noqa: BLE001 - maintenance failures are kept for stats()
            self._rollback()
            self._forget_working()
            self.last_error = str(wrap_error(exc, self._path, "removing old events"))
            self._backlog = False

    def _retention_step(self) -> None:
        over = self._counters["events"] > self._max_events
        cutoff = None
        if self._retention_ms is not None:
            cutoff = int(time.time() * 1000) - self._retention_ms
        if not over and cutoff is None:
            self._backlog = False
            return
        self._begin()
        removed = 0
        if self._counters["events"] > self._max_events:
            n = min(RETENTION_STEP, self._counters["events"] - self._max_events)
            self._drop_oldest(n)
            removed += n
        if cutoff is not None and removed < RETENTION_STEP:
            removed += self._expire(cutoff, RETENTION_STEP - removed)
        if removed:
            self._commit()
            self._since_checkpoint += removed
            self.retention_steps += 1
        else:
            self._conn.execute("ROLLBACK")
        self._backlog = removed >= RETENTION_STEP or self._counters["events"] > self._max_events

    def _index_lag(self) -> int:
        """Texts waiting for the trigram indexes: event texts and run texts."""
        return self._counters["last_seq"] - self._counters["indexed_upto"] + self._pending_texts

    def _index_step(self, limit: int) -> None:
        """Add the oldest ``limit`` event texts not yet indexed and every waiting run text to the
        trigram indexes: one statement, which commits on its own (inside a transaction of the
        writer's only when the file was busy)."""
        counters = self._counters
        upto = counters["indexed_upto"]
        top = min(counters["last_seq"], upto + limit)
        step = "INSERT INTO index_step(upto) VALUES (?)"
        try:
            self._conn.execute(step, (top,))
        except sqlite3.OperationalError:
            # Another connection wrote since this statement's snapshot began (or holds the write
            # lock): the same step in a transaction of its own, which waits its turn.
            self._rollback()
            self._begin()
            upto = counters["indexed_upto"]
            top = min(counters["last_seq"], upto + limit)
            self._conn.execute(step, (top,))
            self._commit()
        # The step advanced the stored counter itself (never backwards).
        top = max(top, upto)
        counters["indexed_upto"] = top
        self._written["indexed_upto"] = max(top, self._written.get("indexed_upto", 0))
        self._pending_texts = 0
        self._since_checkpoint += top - upto
        self.index_steps += 1

    def _flush_samples(self) -> None:
        if not self._samples:
            return
        self._conn.executemany(
            "INSERT INTO trigrams(tri, n) VALUES (?, ?) ON CONFLICT(tri) DO UPDATE SET n = n + excluded.n",
            list(self._samples.items()),
        )
        self._counters["sampled_texts"] += self._sampled
        self._samples.clear()
        self._sampled = 0

    def _flush_samples_txn(self) -> None:
        if not self._samples:
            return
        self._begin()
        self._flush_samples()
        self._commit()

    def _checkpoint_if_due(self) -> None:
        """A passive checkpoint once CHECKPOINT_EVENTS events were written since the last one
        (it copies what no reader still needs and never waits for readers or writers), on the
        checkpoint thread: the writer goes on with the next batch meanwhile."""
        checkpointer = self._checkpointer
        if checkpointer is not None and checkpointer.done != self._caught_up:
            # The checkpoint thread finished one: what it could not copy (frames of the batches
            # committed meanwhile) is little, and once it is copied too the next transaction
            # writes the WAL from its start again instead of making it longer.
            self._caught_up = checkpointer.done
            self._conn.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchall()
        if self._since_checkpoint < CHECKPOINT_EVENTS:
            return
        self._since_checkpoint = 0
        if checkpointer is None:
            checkpointer = self._checkpointer = _Checkpointer(self._path, self._checkpoint_failed)
        checkpointer.request()

    def _checkpoint_failed(self, text: str) -> None:
        self.last_error = text

    def _checkpoint_if_large(self) -> None:
        try:
            size = os.path.getsize(self._path + "-wal")
        except OSError:
            return
        if size > WAL_CHECKPOINT_BYTES and self._truncate_wal():
            self.checkpoints += 1

    def _truncate_wal(self) -> bool:
        """Copy the WAL into the file and empty it, waiting at most briefly for readers (a reader
        that started before the last commit holds it up; the next round tries again). Commits
        after each transaction already copy what no reader needs (SQLite's passive checkpoint)."""
        conn = self._conn
        conn.execute(f"PRAGMA busy_timeout = {CHECKPOINT_WAIT_MS}")
        try:
            busy = conn.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()[0]
        finally:
            conn.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
        return not busy

    def _reset_all(self) -> None:
        conn = self._conn
        try:
            self._begin()
            conn.execute("INSERT INTO event_text(event_text) VALUES ('delete-all')")
            for table in ("events", "runs", "heads", "head_text", "contexts", "context_text", "vals", "val_text",
                          "pending_text", "names", "trigrams"):
                conn.execute(f"DELETE FROM {table}")
            counters = self._counters
            for key in counters:
                if key not in MONOTONIC:
                    counters[key] = 0
            # Seqs and keys go on from where they were (readers keep what they decoded by them).
            counters["indexed_upto"] = counters["last_seq"]
            counters["drop_gen"] = self._run_gen()
            self._commit()
        except BaseException:
            self._rollback()
            raise
        finally:
            self._deriver.reset()
            self._working.clear()
            self._derived = 0
            self._forget_names()
            self._samples.clear()
            self._sampled = 0
            self._backlog = False
            self._pending_texts = self._conn.execute("SELECT count(*) FROM pending_text").fetchone()[0]


# Event rows go in with statements of many rows each: one pass through SQLite for up to
# INSERT_ROWS rows instead of one per row (the remainder in statements of 2**k rows, so that a
# handful of statement texts serves every batch size).
INSERT_ROWS = 64
_EVENTS_INSERT = (
    "INSERT INTO events(seq, event_id, run_key, ts, event_type, source, level, app_id, group_id,"
    " head_id, ctx_id, pay_val, meta_val, lens, t, body) VALUES "
)
_ROW_PARAMS = 16
_ROW_MARKS = "(" + ",".join("?" * _ROW_PARAMS) + ")"
_insert_sql: dict[int, str] = {}


def _insert_rows(conn: sqlite3.Connection, rows: list[tuple], most: int) -> None:
    """Insert the event rows, ``most`` rows per statement at most."""
    chain = itertools.chain.from_iterable
    i, n = 0, len(rows)
    size = most
    while i < n:
        while n - i < size:
            size //= 2
        sql = _insert_sql.get(size)
        if sql is None:
            sql = _insert_sql[size] = _EVENTS_INSERT + ",".join([_ROW_MARKS] * size)
        conn.execute(sql, list(chain(rows[i:i + size])))
        i += size


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
