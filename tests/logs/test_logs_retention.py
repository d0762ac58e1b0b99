"""Retention in the log file (``logs.max_events``, ``logs.retention_days``), in small steps, the
WAL kept short, and the settings that drive them."""

from __future__ import annotations

import asyncio
import math
import threading
import time

import pytest

from logs_helpers import T0, append_all
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import DEFAULT_MAX_EVENTS, RuntimeLogService, _maintenance
from orvane_devtools.observation import TraceDesk


def ev(i: int, run: str, ts: int | None = None) -> RuntimeEvent:
    return RuntimeEvent(event_id=f"e{i}", event_type="job_started" if i % 10 == 0 else "stream.delta",
                        timestamp=T0 + i if ts is None else ts,
                        run=RuntimeRunContext(run_id=run, run_kind="job"))


def wait_for(predicate, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        time.sleep(0.02)


@pytest.fixture
def quick_maintenance(monkeypatch):
    monkeypatch.setattr(_maintenance, "MAINTENANCE_EVERY", 0.02)


class TestMaxEvents:
    def test_oldest_go_first_counted_and_empty_runs_with_them(self, open_service):
        service = open_service(logs__max_events=20)
        events = [ev(i, run="abcde"[i // 10]) for i in range(50)]
        append_all(service, events)
        kept = service.query_events()
        assert [e.event_id for e in kept] == [f"e{i}" for i in range(30, 50)]
        assert [r.run_id for r in service.query_runs()] == ["e", "d"]
        assert service.get_event("e29") is None and service.get_event("e30") is not None
        stats = service.stats()
        assert (stats["events"], stats["runs"], stats["dropped_events"], stats["dropped_runs"]) == (20, 2, 30, 3)

    def test_a_run_that_keeps_some_events_keeps_its_whole_record(self, open_service):
        service = open_service(logs__max_events=5)
        append_all(service, [ev(i, run="long") for i in range(12)])
        record = service.query_runs(run_id="long")[0]
        assert record.event_count == 12 and record.started_at == T0
        assert [e.event_id for e in service.query_events(run_id="long")] == [f"e{i}" for i in range(7, 12)]

    def test_a_dropped_run_that_comes_back_starts_a_new_record(self, open_service):
        service = open_service(logs__max_events=3)
        append_all(service, [ev(0, "old"), ev(1, "x"), ev(2, "x"), ev(3, "x")])
        assert service.query_runs(run_id="old") == []
        append_all(service, [ev(4, "old")])
        assert service.query_runs(run_id="old")[0].event_count == 1

    def test_a_lower_limit_is_reached_in_small_steps_while_appends_go_on(self, open_service, monkeypatch, quick_maintenance):
        monkeypatch.setattr(_maintenance, "RETENTION_STEP", 7)
        first = open_service(logs__max_events=1000)
        append_all(first, [ev(i, run=f"r{i // 20}") for i in range(300)])
        first.close()
        service = open_service(logs__max_events=50)
        appended = []

        async def keep_appending():
            for i in range(300, 320):
                await service.append_event(ev(i, run="late"))
                appended.append(i)

        asyncio.run(keep_appending())
        assert len(appended) == 20
        wait_for(lambda: service.stats()["events"] <= 50)
        stats = service.stats()
        # Each of the 20 appends removed 7 in its own transaction, the rest went 7 at a time.
        assert stats["retention_steps"] * 7 + 20 * 7 >= 270
        assert [e.event_id for e in service.query_events()][-20:] == [f"e{i}" for i in range(300, 320)]
        assert stats["dropped_events"] == 270


class TestRetentionDays:
    def test_events_older_than_the_limit_go(self, open_service, quick_maintenance):
        now = int(time.time() * 1000)
        day = 86_400_000
        service = open_service(logs__retention_days="1.5")
        assert service.retention_days == 1.5
        events = [ev(0, "ancient", now - 10 * day), ev(1, "mixed", now - 2 * day), ev(2, "mixed", now - day),
                  ev(3, "fresh", now)]
        # One transaction: a maintenance round between two appends would expire "mixed"'s first
        # event before its second arrives, and the run would come back as a new record.
        asyncio.run(service.append_events(events))
        # The writer counts the expired events in the transaction that removes them, so the
        # count can be seen a moment before the commit is: wait for the answer itself.
        wait_for(lambda: [e.event_id for e in service.query_events()] == ["e2", "e3"])
        assert service.stats()["expired_events"] == 2
        assert sorted(r.run_id for r in service.query_runs()) == ["fresh", "mixed"]
        assert service.query_runs(run_id="mixed")[0].event_count == 2
        assert service.stats()["dropped_runs"] == 1

    @pytest.mark.parametrize("value", [None, 0, -1, "abc", float("nan"), float("inf"), True, [], 10**400])
    def test_values_that_mean_no_limit(self, value):
        assert RuntimeLogService(Settings({"logs.retention_days": value})).retention_days is None

    @pytest.mark.parametrize("value, days", [(3, 3.0), ("2.5", 2.5), (" 7 ", 7.0), (0.25, 0.25)])
    def test_values_that_set_a_limit(self, value, days):
        assert RuntimeLogService(Settings({"logs.retention_days": value})).retention_days == days


class TestMaxEventsSetting:
    @pytest.mark.parametrize(
        "value, expected",
        [
            (float("inf"), DEFAULT_MAX_EVENTS),
            (float("-inf"), DEFAULT_MAX_EVENTS),
            (float("nan"), DEFAULT_MAX_EVENTS),
            (2**64, DEFAULT_MAX_EVENTS),
            (-(2**63) - 1, DEFAULT_MAX_EVENTS),
            (1e300, DEFAULT_MAX_EVENTS),
            ("99999999999999999999", DEFAULT_MAX_EVENTS),
            ("1e3", DEFAULT_MAX_EVENTS),
            (12.9, 12),
            (" 40 ", 40),
            (True, 1),
        ],
    )
    def test_the_desk_builds_its_log_service_with_any_value(self, value, expected, tmp_path):
        desk = TraceDesk.RuntimeTraceDesk(Settings({"logs.enabled": True, "logs.max_events": value}))
        assert desk.log_service.max_events == expected
        if math.isfinite(expected) and expected > 0:
            path = str(tmp_path / "log.db")
            desk = TraceDesk.RuntimeTraceDesk(
                Settings({"logs.enabled": True, "logs.max_events": value, "logs.path": path})
            )
            try:
                assert desk.log_service.max_events == expected
                assert desk.log_service.stats()["max_events"] == expected
            finally:
                desk.log_service.close()


def test_the_wal_stays_short_while_readers_are_busy(open_service, monkeypatch, quick_maintenance):
    monkeypatch.setattr(_maintenance, "WAL_CHECKPOINT_BYTES", 256 * 1024)
    service = open_service(logs__max_events=100_000)
    stop = threading.Event()
    errors = []

    def read_all_the_time():
        try:
            while not stop.is_set():
                service.query_events(limit=20)
                service.query_runs(run_id="r3")
                time.sleep(0.001)
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    readers = [threading.Thread(target=read_all_the_time) for _ in range(2)]
    for t in readers:
        t.start()
    try:
        for k in range(60):
            asyncio.run(service.append_events([ev(k * 50 + i, run=f"r{i % 9}") for i in range(50)]))
        wait_for(lambda: service.stats()["checkpoints"] >= 1)
        wait_for(lambda: service.stats()["wal_bytes"] <= 4 * 256 * 1024)
    finally:
        stop.set()
        for t in readers:
            t.join(10)
    assert not errors
    assert service.stats()["events"] == 3000


def test_continuous_writing_keeps_the_wal_short_without_readers(open_service, monkeypatch):
    """Every CHECKPOINT_EVENTS events the WAL is copied into the file (mostly on the checkpoint
    thread, the rest by the writer once that is done), so the WAL is written from its start again
    instead of growing with the log."""
    monkeypatch.setattr(_maintenance, "CHECKPOINT_EVENTS", 100)
    service = open_service(logs__max_events=100_000)
    for k in range(80):
        events = [ev(k * 50 + i, run=f"r{i % 9}").model_copy(update={"message": f"{k} {i} " + "x" * 2000})
                  for i in range(50)]
        asyncio.run(service.append_events(events))
    stats = service.stats()
    assert stats["events"] == 4000
    # 4,000 events of 2 KB: about 10 MB went through the WAL; a few checkpoints' worth stay in it.
    assert stats["wal_bytes"] < 3 * 1024 * 1024, stats
    maintenance = service._store._writer.maintenance
    # Copied at least every few intervals: by the checkpoint thread, or by the writer itself
    # where the thread had not been scheduled since the last request (a busy machine).
    assert maintenance._checkpointer.done + maintenance.writer_checkpoints >= 10
    assert stats["checkpoints"] == 0  # no truncation was needed


def test_the_wal_stays_short_when_the_checkpoint_thread_never_runs(open_service, monkeypatch):
    """A machine too busy to schedule the checkpoint thread: the writer copies the WAL itself
    whenever the thread has not started on the previous request, so the WAL stays short."""
    stuck = threading.Event()
    monkeypatch.setattr(_maintenance.Checkpointer, "_run", lambda self: stuck.wait(30))
    monkeypatch.setattr(_maintenance, "CHECKPOINT_EVENTS", 100)
    service = open_service(logs__max_events=100_000)
    try:
        for k in range(80):
            events = [ev(k * 50 + i, run=f"r{i % 9}").model_copy(update={"message": f"{k} {i} " + "x" * 2000})
                      for i in range(50)]
            asyncio.run(service.append_events(events))
        stats = service.stats()
        maintenance = service._store._writer.maintenance
        assert stats["events"] == 4000
        assert maintenance._checkpointer.done == 0
        assert maintenance.writer_checkpoints >= 10
        assert stats["wal_bytes"] < 3 * 1024 * 1024, stats
    finally:
        stuck.set()


def test_appends_do_not_wait_for_a_long_copy_of_the_checkpoint_thread(open_service, monkeypatch, quick_maintenance):
    """A copy that takes longer than an interval of appends (a large file on a slow disk, whose
    copy ends with a sync): the batches go on meanwhile instead of waiting for it at every
    interval, and the rounds still keep the WAL short by emptying it themselves."""
    copying = threading.Event()
    release = threading.Event()

    def one_endless_copy(self):
        with self._cond:
            while not (self._due or self._stopping):
                self._cond.wait()
            self._due = False  # started: the copy is under way until released
        copying.set()
        release.wait(30)

    monkeypatch.setattr(_maintenance.Checkpointer, "_run", one_endless_copy)
    monkeypatch.setattr(_maintenance, "CHECKPOINT_EVENTS", 100)
    monkeypatch.setattr(_maintenance, "WAL_CHECKPOINT_BYTES", 256 * 1024)
    service = open_service(logs__max_events=100_000)
    try:
        started = time.monotonic()
        for k in range(40):
            events = [ev(k * 50 + i, run=f"r{i % 9}").model_copy(update={"message": f"{k} {i} " + "x" * 2000})
                      for i in range(50)]
            asyncio.run(service.append_events(events))
        took = time.monotonic() - started
        assert copying.is_set()
        maintenance = service._store._writer.maintenance
        assert maintenance._checkpointer.done == 0 and maintenance.writer_checkpoints == 0
        # About twenty intervals came due while the copy was under way; waiting for it at each
        # (up to a second) took twenty seconds.
        assert took < 8.0, took
        wait_for(lambda: service.stats()["checkpoints"] >= 1)
        assert service.stats()["events"] == 2000
    finally:
        release.set()
