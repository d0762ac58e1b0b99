"""SIGKILL during a 50,000-event ingest: every acknowledged event survives, every run record is the
one its stored events derive, and the file is sound."""

from __future__ import annotations

import os
import random
import signal
import sqlite3
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from orvane.utils import Settings
from orvane_devtools.logs import RuntimeLogService
from orvane_devtools.observation.Tallybook import RuntimeTallybook

TOTAL = 50_000
SCRIPT = Path(__file__).with_name("crash_ingest.py")


class Child:
    """The ingesting process, with the acknowledgements it printed."""

    def __init__(self, path: str, start: int, seed: int) -> None:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        self.proc = subprocess.Popen(
            [sys.executable, str(SCRIPT), path, str(start), str(TOTAL), str(seed)],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
        )
        self.acked: set[int] = set()
        self.lock = threading.Lock()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        for line in self.proc.stdout:
            a, b = map(int, line.split())
            with self.lock:
                self.acked.update(range(a, b))

    def count(self) -> int:
        with self.lock:
            return len(self.acked)


def check_file(path: str, acked: set[int]) -> int:
    """The file after a crash: sound, holding every acknowledged event, records consistent."""
    conn = sqlite3.connect(path)
    try:
        assert conn.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
    finally:
        conn.close()
    service = RuntimeLogService(Settings({"logs.path": path, "logs.max_events": 10**6}))
    try:
        events = service.query_events()
        ids = [e.event_id for e in events]
        assert len(ids) == len(set(ids))
        stored = {int(i.split("-")[1]) for i in ids}
        missing = acked - stored
        assert not missing, f"{len(missing)} acknowledged events lost, e.g. {sorted(missing)[:5]}"
        # Appends commit in queue order: what is stored is a prefix of the ingest.
        assert stored == set(range(len(stored)))
        fresh = RuntimeTallybook(10**6)
        for e in events:
            fresh.append_event(e)
        records = service.query_runs()
        assert {r.run_id: r for r in records} == {r.run_id: r for r in fresh.list_runs()}
        stats = service.stats()
        assert stats["events"] == len(events) and stats["runs"] == len(records)
        return len(stored)
    finally:
        service.close()


@pytest.mark.timeout(300)
def test_sigkill_during_ingest(tmp_path):
    path = str(tmp_path / "crash.db")
    rng = random.Random(20261208)
    stored = 0
    for round_ in range(3):
        # Start a little before what is stored: re-sent events must be ignored as duplicates.
        child = Child(path, max(0, stored - 50), seed=round_)
        target = rng.randrange(stored + 1500, stored + 9000)
        deadline = time.monotonic() + 120
        while child.count() < target - max(0, stored - 50) and child.proc.poll() is None:
            assert time.monotonic() < deadline, "the ingest did not progress"
            time.sleep(0.005)
        time.sleep(rng.random() * 0.05)
        child.proc.send_signal(signal.SIGKILL)
        child.proc.wait(30)
        child.reader.join(30)
        assert child.proc.returncode == -signal.SIGKILL, child.proc.stderr.read()
        acked = child.acked | set(range(stored))
        now = check_file(path, acked)
        assert now >= len(acked) and now > stored
        stored = now
    # The last run completes the ingest.
    child = Child(path, max(0, stored - 50), seed=99)
    assert child.proc.wait(240) == 0, child.proc.stderr.read()
    child.reader.join(30)
    assert check_file(path, set(range(TOTAL))) == TOTAL
