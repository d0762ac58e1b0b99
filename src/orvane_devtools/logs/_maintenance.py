"""The writer's maintenance steps: retention (``logs.max_events`` and ``logs.retention_days``) and
emptying the log, the trigram index steps, WAL checkpoints and the trigram samples, in small steps
between batches.

An index step is one statement (a temporary trigger does its work), so the interpreter lock is
free while it runs: a step that starts as a batch's appends are settled overlaps the making of the
next batch. Passive checkpoints run on a thread of their own (``Checkpointer``); the checkpoints
that empty the WAL stay on the writer thread.

Threads and state: ``Maintenance`` runs on the writer thread only: between batches (``maintain``,
the "index" and "reset" tickets, the close), and inside a batch's open transaction just before
its commit (``before_commit``). It owns the schedule of the rounds (the last round, the retention
backlog, the pause of index steps after a failure), the count of events written since the last
checkpoint, the checkpoint thread, the trigram ``Samples`` (which the transaction body fills as it
writes event texts, on the same thread), and the counters ``stats()`` reads from other threads
(plain ints: ``checkpoints``, ``retention_steps``, ``index_steps``). It changes the file only
through the ``Transaction`` (its connection, counters and transactions), and reports the failures
it keeps for ``stats()`` through ``report``. The checkpoint thread "OrvaneLogCheckpoint" owns its
own connection and touches nothing else but its request flags (under its condition) and ``done``.
"""

from __future__ import annotations

import collections
import json
import os
import sqlite3
import threading
import time
from typing import Callable

from ._links import forget_run_links
from ._schema import (
    BUSY_TIMEOUT_MS,
    EVENT_TEXT_SQL,
    FORGET_CONTEXT,
    FORGET_EVENT,
    FORGET_HEAD,
    FORGET_VAL,
    INDEX_STEP_SQL,
    MONOTONIC,
    PENDING_CONTEXT,
    PENDING_HEAD,
    PENDING_VAL,
    connect,
    merge_in_steps,
    wrap_error,
)
from ._transaction import Transaction

__all__ = ["Checkpointer", "Maintenance", "Samples"]

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
# Event texts enter the trigram index in bulk (one commit per text would cost a segment each):
# once INDEX_BATCH are waiting, up to INDEX_STEP at a time; all of them when the writer is idle.
# The run texts of new heads, contexts and vals (pending_text) go in with each step, and the texts
# of the events and runs retention removed leave their indexes with it; they count towards
# INDEX_BATCH like event texts.
INDEX_BATCH = 1024
INDEX_STEP = 8192
INDEX_WHEN_IDLE = True
# A batch's transaction adds the sampled trigram counts to the file once this many texts were
# sampled (see _transaction.SAMPLE_EVERY); the maintenance rounds add the rest.
SAMPLE_FLUSH = 512


class Samples:
    """Trigram counts of sampled event texts: the frequencies the search planner reads from the
    `trigrams` table. The transaction body counts one text in SAMPLE_EVERY into ``counts`` as it
    writes them (``texts``: how many are counted; ``tick``: texts since the last one counted)."""

    __slots__ = ("counts", "texts", "tick")

    def __init__(self) -> None:
        self.counts: collections.Counter[str] = collections.Counter()
        self.texts = 0
        self.tick = 0

    def write(self, conn: sqlite3.Connection, counters: dict[str, int]) -> None:
        """Add the counts to the `trigrams` table, in the open transaction."""
        if not self.counts:
            return
        conn.executemany(
            "INSERT INTO trigrams(tri, n) VALUES (?, ?) ON CONFLICT(tri) DO UPDATE SET n = n + excluded.n",
            list(self.counts.items()),
        )
        counters["sampled_texts"] += self.texts
        self.clear()

    def clear(self) -> None:
        self.counts.clear()
        self.texts = 0


class Checkpointer:
    """Passive checkpoints of one log database on a thread and connection of their own.

    A passive checkpoint copies WAL frames that no reader needs into the file without taking the
    write lock, so it runs while the writer commits the next batches (each of which would
    otherwise wait for its copying and its syncs). Requests made while one runs are merged into
    the next. The writer keeps the checkpoints that empty the WAL (TRUNCATE) for itself.
    """

    def __init__(self, path: str, report: Callable[[str], None]) -> None:
        self._path = path
        self._report = report  # called with the text of a failure (kept for stats())
        self._cond = threading.Condition()
        self._due = False
        self._stopping = False
        self.requested = 0  # requests made (by the writer's thread only)
        self.done = 0
        self._thread = threading.Thread(target=self._run, name="OrvaneLogCheckpoint", daemon=True)
        self._thread.start()

    def request(self) -> None:
        with self._cond:
            self.requested += 1
            self._due = True
            self._cond.notify()

    @property
    def behind(self) -> bool:
        """Whether a request is still waiting for a checkpoint to start (the thread has not run
        since: a machine too busy to schedule it)."""
        with self._cond:
            return self._due

    @property
    def copying(self) -> bool:
        """Whether a requested checkpoint is still under way."""
        with self._cond:
            return self.done < self.requested and not self._stopping

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
                with self._cond:
                    self.done = self.requested if not self._due else self.requested - 1
                    self._cond.notify_all()
        finally:
            if conn is not None:
                try:
                    conn.close()
                except sqlite3.Error:
                    pass


class Maintenance:
    """The maintenance steps of one writer, run through its ``Transaction``."""

    def __init__(
        self,
        txn: Transaction,
        samples: Samples,
        path: str,
        *,
        max_events: int,
        retention_days: float | None,
        report: Callable[[str], None],
    ) -> None:
        self._txn = txn
        self._samples = samples
        self._path = path
        self._max_events = max(1, max_events)
        self._retention_ms = None if retention_days is None else int(retention_days * 86_400_000)
        self._report = report  # called with the text of a failure (kept for stats())
        try:
            merge_in_steps(txn.conn)
        except sqlite3.Error as exc:
            # A file busy past the timeout goes on merging by itself until its next writer.
            report(str(wrap_error(exc, path, "leaving the merging of the trigram indexes to the index steps")))
        for statement in INDEX_STEP_SQL:
            txn.conn.execute(statement)
        self._last_maintenance = 0.0
        self._backlog = False  # retention has more to remove than one step took
        self._index_pause_until = 0.0
        self._since_checkpoint = 0  # events written since the last checkpoint
        self._checkpointer: Checkpointer | None = None  # started with the first checkpoint
        self._caught_up = 0  # the checkpoint thread's count when the writer last copied the rest
        # Passive checkpoints the writer ran itself because the checkpoint thread was behind.
        self.writer_checkpoints = 0
        # Counters of this session (read by stats() from other threads; plain ints).
        self.checkpoints = 0
        self.retention_steps = 0
        self.index_steps = 0

    # -- the schedule ------------------------------------------------------------------------

    def next_round_in(self, now: float, last_work: float) -> float:
        """Seconds a writer with no ticket waits for one before its next round (0: none), given
        when it last handled tickets: until the round is due, or until it counts as idle while
        retention or the index has work left."""
        wait = MAINTENANCE_EVERY - (now - self._last_maintenance)
        if wait <= 0:
            return 0.0
        if self._backlog or (INDEX_WHEN_IDLE and self.index_lag()):
            # Idle work waits until no ticket came for IDLE_DELAY.
            idle_in = max(IDLE_DELAY - (now - last_work), self._index_pause_until - now)
            if idle_in <= 0:
                return 0.0
            wait = min(wait, idle_in)
        return wait

    def maintain(self, *, idle: bool) -> None:
        """Work between batches: indexing, retention, trigram counts, checkpoints. ``idle``: no
        ticket came for ``IDLE_DELAY``."""
        txn = self._txn
        now = time.monotonic()
        due = now - self._last_maintenance >= MAINTENANCE_EVERY
        try:
            self._checkpoint_if_due()
        except sqlite3.Error as exc:  # kept for stats(); a later round tries again
            self._report(str(wrap_error(exc, self._path, "copying the log into the file")))
        lag = self.index_lag() if now >= self._index_pause_until else 0
        try:
            if lag >= INDEX_BATCH or (lag and idle and INDEX_WHEN_IDLE):
                self.index_step(INDEX_STEP)
        except BaseException as exc:  # noqa: BLE001 - kept for stats(); a later round tries again
            txn.rollback()
            txn.forget_working()
            self._index_pause_until = now + MAINTENANCE_EVERY
            self._report(str(wrap_error(exc, self._path, "indexing event texts")))
        if not due and not self._backlog:
            return
        if due:
            self._last_maintenance = now
        try:
            self._retention_step()
            if due:
                if self._samples.counts:
                    self._flush_samples_txn()
                self._checkpoint_if_large()
        except BaseException as exc:  # noqa: BLE001 - maintenance failures are kept for stats()
            txn.rollback()
            txn.forget_working()
            self._report(str(wrap_error(exc, self._path, "removing old events")))
            self._backlog = False

    def wrote(self, events: int) -> None:
        """A batch's transaction committed ``events`` new events."""
        self._since_checkpoint += events

    def close(self) -> None:
        """At the writer's stop: the samples counted so far, the checkpoint thread's last
        checkpoint, and the WAL copied into the file and emptied (each as far as it goes)."""
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

    # -- retention ---------------------------------------------------------------------------

    def before_commit(self, stored: int) -> None:
        """In the open transaction of a batch that stored ``stored`` events: the oldest events
        beyond ``logs.max_events`` go (as many as the batch brought, at least a retention step's
        worth; the rest in later rounds), and the samples once there are SAMPLE_FLUSH of them.
        Their index entries are left to the next index step (``_delete_events``): the work of
        the indexes stays out of the batch's commit."""
        txn = self._txn
        counters = txn.counters
        if counters["events"] > self._max_events:
            excess = counters["events"] - self._max_events
            self._drop_oldest(min(excess, max(RETENTION_STEP, stored)))
            self._backlog = counters["events"] > self._max_events
        if self._samples.texts >= SAMPLE_FLUSH:
            self._samples.write(txn.conn, counters)

    def _retention_step(self) -> None:
        txn = self._txn
        counters = txn.counters
        over = counters["events"] > self._max_events
        cutoff = None
        if self._retention_ms is not None:
            cutoff = int(time.time() * 1000) - self._retention_ms
        if not over and cutoff is None:
            self._backlog = False
            return
        txn.begin()
        removed = 0
        if counters["events"] > self._max_events:
            n = min(RETENTION_STEP, counters["events"] - self._max_events)
            self._drop_oldest(n)
            removed += n
        if cutoff is not None and removed < RETENTION_STEP:
            removed += self._expire(cutoff, RETENTION_STEP - removed)
        if removed:
            txn.commit()
            self._since_checkpoint += removed
            self.retention_steps += 1
        else:
            txn.conn.execute("ROLLBACK")
        self._backlog = removed >= RETENTION_STEP or counters["events"] > self._max_events

    def _drop_oldest(self, count: int) -> None:
        rows = self._txn.conn.execute("SELECT seq, run_key FROM events ORDER BY seq LIMIT ?", (count,)).fetchall()
        self._delete_events(rows)
        self._txn.counters["dropped_events"] += len(rows)

    def _expire(self, cutoff: int, count: int) -> int:
        rows = self._txn.conn.execute(
            "SELECT seq, run_key FROM events WHERE ts < ? ORDER BY ts LIMIT ?", (cutoff, count)
        ).fetchall()
        self._delete_events(rows)
        self._txn.counters["expired_events"] += len(rows)
        return len(rows)

    def _delete_events(self, rows: list[tuple[int, int | None]]) -> None:
        if not rows:
            return
        txn = self._txn
        conn = txn.conn
        counters = txn.counters
        seqs = json.dumps([r[0] for r in rows])
        # The index forgets a text by being told the text it indexed: the texts of the indexed
        # ones wait for the next index step (the rows go now; searches join the index's hits to
        # the rows still stored). Those not indexed yet are simply never indexed.
        txn.pending_texts += conn.execute(
            f"INSERT INTO pending_text(id, kind, a) SELECT -seq, {FORGET_EVENT}, {EVENT_TEXT_SQL.format(e='')}"
            " FROM events"
            " WHERE seq IN (SELECT value FROM json_each(?)) AND seq <= ?",
            (seqs, counters["indexed_upto"]),
        ).rowcount
        conn.execute("DELETE FROM events WHERE seq IN (SELECT value FROM json_each(?))", (seqs,))
        counters["events"] -= len(rows)
        emptied = [
            run_key for run_key in sorted({r[1] for r in rows if r[1] is not None})
            if not conn.execute("SELECT 1 FROM events WHERE run_key = ? LIMIT 1", (run_key,)).fetchone()
        ]
        if emptied:
            self._drop_runs(emptied)

    def _drop_runs(self, run_keys: list[int]) -> None:
        """Remove the runs ``run_keys`` (none of their events is left) with their texts, calls
        and links, a few statements for all of them."""
        txn = self._txn
        conn = txn.conn
        counters = txn.counters
        keys = json.dumps(run_keys)
        runs = conn.execute(
            "SELECT run_id, parent_run_id FROM runs WHERE run_key IN (SELECT value FROM json_each(?))", (keys,)
        ).fetchall()
        for table, key, waiting, forget in (("heads", "head_id", PENDING_HEAD, FORGET_HEAD),
                                            ("contexts", "ctx_id", PENDING_CONTEXT, FORGET_CONTEXT),
                                            ("vals", "val_id", PENDING_VAL, FORGET_VAL)):
            owned = f"SELECT {key} FROM {table} WHERE run_key IN (SELECT value FROM json_each(?))"
            # An indexed text waits for the index step to forget it; one still waiting for its
            # index (its key is in pending_text already) just stops waiting.
            added = conn.execute(
                f"INSERT OR IGNORE INTO pending_text(id, kind, a) SELECT {key}, {forget}, '' FROM {table}"
                " WHERE run_key IN (SELECT value FROM json_each(?))",
                (keys,),
            ).rowcount
            removed = conn.execute(
                f"DELETE FROM pending_text WHERE kind = {waiting} AND id IN ({owned})", (keys,)
            ).rowcount
            txn.pending_texts += added - removed
            conn.execute(f"DELETE FROM {table} WHERE run_key IN (SELECT value FROM json_each(?))", (keys,))
        conn.execute("DELETE FROM runs WHERE run_key IN (SELECT value FROM json_each(?))", (keys,))
        conn.execute("DELETE FROM llm_calls WHERE run_key IN (SELECT value FROM json_each(?))", (keys,))
        for run_id, parent_run_id in runs:
            forget_run_links(conn, run_id, parent_run_id)
        counters["runs"] -= len(run_keys)
        counters["dropped_runs"] += len(run_keys)
        counters["drop_gen"] = txn.run_gen()
        for run_id, _ in runs:
            # The derivation store may still hold the run; a later event must start a new record.
            txn.forget_dropped(run_id)

    def reset(self) -> None:
        """Empty every table of the file in one transaction (a "reset" ticket)."""
        txn = self._txn
        conn = txn.conn
        try:
            txn.begin()
            conn.execute("INSERT INTO event_text(event_text) VALUES ('delete-all')")
            for table in ("events", "runs", "heads", "head_text", "contexts", "context_text", "vals", "val_text",
                          "pending_text", "names", "trigrams", "aliases", "span_waits", "llm_calls"):
                conn.execute(f"DELETE FROM {table}")
            counters = txn.counters
            for key in counters:
                if key not in MONOTONIC:
                    counters[key] = 0
            # Seqs and keys go on from where they were (readers keep what they decoded by them).
            counters["indexed_upto"] = counters["last_seq"]
            counters["drop_gen"] = txn.run_gen()
            txn.commit()
        except BaseException:
            txn.rollback()
            raise
        finally:
            self._samples.clear()
            self._backlog = False
            txn.forget_emptied()

    # -- the trigram indexes -----------------------------------------------------------------

    def index_lag(self) -> int:
        """Texts waiting for the index step: event texts and run texts to add, and the texts of
        removed events and runs to forget."""
        txn = self._txn
        counters = txn.counters
        return counters["last_seq"] - counters["indexed_upto"] + txn.pending_texts

    def index_all(self) -> None:
        """Index steps until every text is in the trigram indexes (an "index" ticket)."""
        while self.index_lag():
            self.index_step(INDEX_STEP)

    def index_step(self, limit: int) -> None:
        """Remove every text waiting to be forgotten from the trigram indexes, and add the oldest
        ``limit`` event texts not yet indexed and every waiting run text: one statement, which
        commits on its own (inside a transaction of the writer's only when the file was busy)."""
        txn = self._txn
        counters = txn.counters
        upto = counters["indexed_upto"]
        top = min(counters["last_seq"], upto + limit)
        step = "INSERT INTO index_step(upto) VALUES (?)"
        try:
            txn.conn.execute(step, (top,))
        except sqlite3.OperationalError:
            # Another connection wrote since this statement's snapshot began (or holds the write
            # lock): the same step in a transaction of its own, which waits its turn.
            txn.rollback()
            txn.begin()
            upto = counters["indexed_upto"]
            top = min(counters["last_seq"], upto + limit)
            txn.conn.execute(step, (top,))
            txn.commit()
        # The step advanced the stored counter itself (never backwards).
        top = max(top, upto)
        txn.indexed(top)
        self._since_checkpoint += top - upto
        self.index_steps += 1

    # -- trigram samples ---------------------------------------------------------------------

    def _flush_samples_txn(self) -> None:
        if not self._samples.counts:
            return
        txn = self._txn
        txn.begin()
        self._samples.write(txn.conn, txn.counters)
        txn.commit()

    # -- checkpoints -------------------------------------------------------------------------

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
            self._txn.conn.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchall()
        if self._since_checkpoint < CHECKPOINT_EVENTS:
            return
        self._since_checkpoint = 0
        if checkpointer is None:
            checkpointer = self._checkpointer = Checkpointer(self._path, self._report)
        elif checkpointer.behind:
            # The thread has not even started on the last request (the machine is too busy to
            # schedule it): the writer copies now itself, so the WAL stays a few checkpoint
            # intervals long however late the thread runs.
            self._txn.conn.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchall()
            self.writer_checkpoints += 1
            return
        elif checkpointer.copying:
            # Still copying a whole interval later (a large file on a slow disk: the copy ends
            # with a sync of the file): the batches go on, and the next interval asks again.
            # Waiting for the copy instead stalled every append behind it for up to a second;
            # the WAL grows by what is written meanwhile, and past WAL_CHECKPOINT_BYTES the
            # rounds empty it (_checkpoint_if_large).
            return
        if checkpointer.done != self._caught_up:
            self._caught_up = checkpointer.done
            self._txn.conn.execute("PRAGMA wal_checkpoint(PASSIVE)").fetchall()
        checkpointer.request()

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
        conn = self._txn.conn
        conn.execute(f"PRAGMA busy_timeout = {CHECKPOINT_WAIT_MS}")
        try:
            busy = conn.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchone()[0]
        finally:
            conn.execute(f"PRAGMA busy_timeout = {BUSY_TIMEOUT_MS}")
        return not busy
