"""Retention past ``logs.max_events`` on a real file: the commit that drops the oldest events and
runs leaves their trigram index entries to the writer's next index step (they wait in
pending_text). Searches between the commits never answer a dropped event or run, the indexes and
the rows agree once the step has run (FTS5's own integrity check), and a process killed or
closed between the drop and the step leaves a file that answers right and finishes the work at
its next step."""

from __future__ import annotations

import asyncio
import collections
import os
import signal
import sqlite3
import subprocess
import sys
import time
from pathlib import Path

import pytest

from logs_helpers import T0, append_all
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService, _maintenance, _schema, _transaction

MAX = 24
PER_RUN = 4
FORGET_KINDS = {_schema.FORGET_EVENT, _schema.FORGET_HEAD, _schema.FORGET_CONTEXT, _schema.FORGET_VAL}
CHILD = Path(__file__).with_name("crash_retention.py")


def run_events(k: int, start: int = 0, count: int = PER_RUN) -> list[RuntimeEvent]:
    """Events of run ``k``. Every one of them holds each of the run's needles: its agent name
    (the run's record texts and its context), a meta text of its context, a payload long enough
    to be kept once per run once repeated (`vals`), and its message (the event's own text)."""
    ctx = RuntimeRunContext(run_id=f"run-{k}", run_kind="agent_task", agent_name=f"Agent Quok{k:03d}zz",
                            meta={"flow_name": f"flowx{k:03d}q"})
    return [
        RuntimeEvent(event_id=f"run-{k}-{i}", event_type="stream.delta", timestamp=T0 + 1000 * k + i,
                     message=f"msgneedle{k:03d}w step {i}", payload={"note": f"payload text of run {k:03d} repeated"},
                     run=ctx)
        for i in range(start, start + count)
    ]


def needles(k: int) -> list[str]:
    return [f"quok{k:03d}zz", f"FLOWX{k:03d}Q", f"run {k:03d} repeated", f"msgneedle{k:03d}w"]


def file_rows(path: str, sql: str, args: tuple = ()) -> list:
    conn = sqlite3.connect(path)
    try:
        return conn.execute(sql, args).fetchall()
    finally:
        conn.close()


def waiting_kinds(path: str) -> set[int]:
    return {k for (k,) in file_rows(path, "SELECT DISTINCT kind FROM pending_text")}


def index_agrees(path: str) -> None:
    """Nothing waits, and each trigram index holds exactly the texts of the rows still stored:
    SQLite's check of each index against its texts (``rank`` 1: also against the events table
    the event index reads its texts from), and no index keeps an entry of a row that left."""
    assert file_rows(path, "SELECT count(*) FROM pending_text") == [(0,)]
    conn = sqlite3.connect(path)
    try:
        for table in ("event_text", "head_text", "context_text", "val_text"):
            conn.execute(f"INSERT INTO {table}({table}, rank) VALUES ('integrity-check', 1)")
        assert conn.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        for index, rows in (("event_text", "SELECT seq FROM events"), ("head_text", "SELECT head_id FROM heads"),
                            ("context_text", "SELECT ctx_id FROM contexts"), ("val_text", "SELECT val_id FROM vals")):
            conn.execute(f"CREATE VIRTUAL TABLE temp.{index}_docs USING fts5vocab(main, {index}, instance)")
            indexed = {r[0] for r in conn.execute(f"SELECT DISTINCT doc FROM temp.{index}_docs")}
            assert indexed == {r[0] for r in conn.execute(rows)}, index
    finally:
        conn.close()


def same_answers(service: RuntimeLogService, kept: list[RuntimeEvent], runs: range) -> None:
    """Every needle of every run ever written, against an in-memory service that holds only the
    events the file must still hold: the same runs and the same events, none of a dropped one."""
    oracle = RuntimeLogService(Settings({}))
    append_all(oracle, kept)
    kept_ids = {e.event_id for e in kept}
    for k in runs:
        for needle in needles(k):
            got_runs = [r.run_id for r in service.query_runs(search=needle)]
            assert got_runs == [r.run_id for r in oracle.query_runs(search=needle)], needle
            got_events = {e.event_id for e in service.query_events(search=needle, limit=1000)}
            assert got_events == {e.event_id for e in oracle.query_events(search=needle, limit=1000)}, needle
            assert got_events <= kept_ids


def asyncio_append(service: RuntimeLogService, events: list[RuntimeEvent]) -> None:
    """The events in one append (one commit)."""
    asyncio.run(service.append_events(events))


def wait_for(predicate, timeout: float = 20.0) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.02)


def hold_steps(monkeypatch) -> None:
    """No index step unless asked for (index_now): what the commits leave waiting stays so."""
    monkeypatch.setattr(_maintenance, "INDEX_BATCH", 10**9)
    monkeypatch.setattr(_maintenance, "INDEX_WHEN_IDLE", False)


class TestPastTheCap:
    def capped(self, open_service, db_path, monkeypatch, sample_every: int) -> tuple[RuntimeLogService, list]:
        """Runs of four events, two runs a commit, into a file holding MAX events; an index step
        after every third commit, and the answers checked after every commit and every step.
        Returns the service and the events the file must still hold."""
        hold_steps(monkeypatch)
        # Every text sampled: the search planner asks the index for the needle's two rarest
        # trigrams; one in 64 (too few samples): for every trigram of the needle.
        monkeypatch.setattr(_transaction, "SAMPLE_EVERY", sample_every)
        monkeypatch.setattr(_maintenance, "SAMPLE_FLUSH", 1)
        service = open_service(logs__max_events=MAX)
        kept: collections.deque[RuntimeEvent] = collections.deque()
        seen: set[int] = set()
        stale_seen = False
        runs = range(24)
        for pair in range(0, len(runs), 2):
            batch = [e for pair_events in zip(run_events(pair), run_events(pair + 1)) for e in pair_events]
            asyncio_append(service, batch)
            kept.extend(batch)
            while len(kept) > MAX:
                kept.popleft()
            seen |= waiting_kinds(db_path)
            if pair >= 6 and not stale_seen:
                # The commit left the index alone: it still finds the first run's message, whose
                # events are gone (a search must join its hits to the rows still stored).
                gone = file_rows(db_path, "SELECT rowid FROM event_text WHERE event_text MATCH ?"
                                          " AND rowid NOT IN (SELECT seq FROM events)", ('"dle" AND "000"',))
                stale_seen = bool(gone)
            same_answers(service, list(kept), runs)
            if pair % 6 == 2:
                service._store.index_now()
                assert waiting_kinds(db_path) == set()
                same_answers(service, list(kept), runs)
        assert FORGET_KINDS <= seen, seen
        assert stale_seen
        if sample_every == 1:
            assert file_rows(db_path, "SELECT value FROM meta WHERE key = 'sampled_texts'")[0][0] >= 32
        stats = service.stats()
        assert (stats["events"], stats["runs"]) == (MAX, MAX // PER_RUN)
        return service, list(kept)

    @pytest.mark.timeout(120)
    @pytest.mark.parametrize("sample_every", [1, 64])
    def test_searches_between_commits_never_answer_a_dropped_event_or_run(self, open_service, db_path,
                                                                           monkeypatch, sample_every):
        self.capped(open_service, db_path, monkeypatch, sample_every)

    @pytest.mark.timeout(120)
    def test_the_indexes_agree_with_the_rows_after_the_step(self, open_service, db_path, monkeypatch):
        service, kept = self.capped(open_service, db_path, monkeypatch, 1)
        assert waiting_kinds(db_path) & FORGET_KINDS
        service._store.index_now()
        index_agrees(db_path)
        same_answers(service, kept, range(24))

    @pytest.mark.timeout(120)
    def test_a_run_dropped_before_its_texts_were_indexed(self, open_service, db_path, monkeypatch):
        # Nothing indexed yet: the dropped texts just stop waiting, nothing waits to be forgotten.
        hold_steps(monkeypatch)
        service = open_service(logs__max_events=MAX)
        for k in range(10):
            asyncio_append(service, run_events(k))
        assert not waiting_kinds(db_path) & FORGET_KINDS
        kept = [e for k in range(4, 10) for e in run_events(k)]
        same_answers(service, kept, range(10))
        service._store.index_now()
        index_agrees(db_path)
        same_answers(service, kept, range(10))

    @pytest.mark.timeout(120)
    def test_the_steps_of_a_busy_writer_catch_up_on_their_own(self, open_service, db_path):
        # The writer's own schedule (steps once enough texts wait, or when idle) with texts to add
        # and texts to forget mixed: everything waiting is done by the idle step.
        service = open_service(logs__max_events=MAX)
        for k in range(0, 40, 2):
            asyncio_append(service, run_events(k) + run_events(k + 1))
        kept = [e for k in range(34, 40) for e in run_events(k)]
        same_answers(service, kept, range(40))
        wait_for(lambda: file_rows(db_path, "SELECT count(*) FROM pending_text") == [(0,)]
                 and service.stats()["unindexed_events"] == 0)
        index_agrees(db_path)
        same_answers(service, kept, range(40))


class TestRetentionDays:
    @pytest.mark.timeout(120)
    def test_expired_events_leave_their_index_entries_to_the_step(self, open_service, db_path, monkeypatch):
        # The age limit removes events between batches (the maintenance rounds), by the same road.
        hold_steps(monkeypatch)
        monkeypatch.setattr(_maintenance, "MAINTENANCE_EVERY", 0.02)
        now = int(time.time() * 1000)
        old = [e.model_copy(update={"timestamp": now - 10 * 86_400_000 + i}) for i, e in enumerate(run_events(1))]
        young = [e.model_copy(update={"timestamp": now + i}) for i, e in enumerate(run_events(2))]
        service = open_service(logs__retention_days=1)
        asyncio_append(service, old + young)
        service._store.index_now()
        wait_for(lambda: service.stats()["expired_events"] == PER_RUN)
        assert FORGET_KINDS <= waiting_kinds(db_path)
        same_answers(service, young, range(1, 3))
        service._store.index_now()
        index_agrees(db_path)
        same_answers(service, young, range(1, 3))


class TestInterrupted:
    """A child process drops indexed texts (index steps held back, so their entries wait), then
    is killed or closes. The file is opened again with the steps held back (it answers right, its
    writer counts what waits), then with the writer's own schedule (which does the work)."""

    @pytest.mark.timeout(120)
    @pytest.mark.parametrize("how", ["kill", "close"])
    def test_the_reopened_file_answers_right_and_finishes_the_work(self, open_service, db_path, monkeypatch, how):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        proc = subprocess.Popen([sys.executable, str(CHILD), db_path, str(MAX), how], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            line = proc.stdout.readline()
            assert line.strip() == "dropped", (line, proc.stderr.read() if proc.poll() is not None else "")
            if how == "kill":
                # Killed with the drop committed and its index work waiting.
                assert FORGET_KINDS <= waiting_kinds(db_path)
                proc.send_signal(signal.SIGKILL)
            assert proc.wait(30) == (-signal.SIGKILL if how == "kill" else 0), proc.stderr.read()
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(10)
        assert FORGET_KINDS <= waiting_kinds(db_path)
        kept = [e for k in range(6, 12) for e in run_events(k)]
        hold_steps(monkeypatch)
        held = open_service(logs__max_events=MAX)
        same_answers(held, kept, range(12))
        waiting = file_rows(db_path, "SELECT count(*) FROM pending_text")[0][0]
        assert held._store._writer.maintenance.index_lag() == waiting + held.stats()["unindexed_events"]
        held.close()
        monkeypatch.undo()
        service = open_service(logs__max_events=MAX)
        # The reopened writer does what waits with its next (idle) step.
        wait_for(lambda: file_rows(db_path, "SELECT count(*) FROM pending_text") == [(0,)]
                 and service.stats()["unindexed_events"] == 0)
        index_agrees(db_path)
        same_answers(service, kept, range(12))
        assert service.stats()["events"] == MAX
