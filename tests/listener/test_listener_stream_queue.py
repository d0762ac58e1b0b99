"""``--stream-queue-size``: the option, and a real listener whose small stream queue overflows
again and again, each overflow announced by its own ``gap``."""

from __future__ import annotations

import os
import subprocess
import sys

import httpx
import pytest
from listener_helpers import SSEReader, body, event, fresh_id

from orvane_devtools.listener.config import ListenerConfig, ListenerConfigError

pytestmark = pytest.mark.timeout(60)


def run_start(*args: str) -> subprocess.CompletedProcess:
    """A start that must be refused: it ends by itself, at once."""
    try:
        return subprocess.run([sys.executable, "-m", "orvane_devtools", "start", *args],
                              capture_output=True, text=True, timeout=20, env=dict(os.environ))
    except subprocess.TimeoutExpired:
        pytest.fail(f"the listener started with {args}; it should have refused them")


def post(proc, events):
    r = httpx.post(proc.ingest_url, json=body(events), timeout=10)
    assert r.status_code == 200, r.text
    assert r.json()["accepted"] == len(events)


class TestOption:
    @pytest.mark.parametrize("value", ["0", "-1"])
    def test_below_one_is_one_line_and_exit_2(self, tmp_path, value):
        done = run_start("--port", "0", "--db", str(tmp_path / "db"), "--stream-queue-size", value)
        assert done.returncode == 2
        err = done.stderr.strip()
        assert err == f"orvane-devtools start: --stream-queue-size {value} must be at least 1", done.stderr
        assert not (tmp_path / "db").exists()

    @pytest.mark.parametrize("value", ["many", "2.5", ""])
    def test_not_a_whole_number_is_refused(self, tmp_path, value):
        done = run_start("--port", "0", "--db", str(tmp_path / "db"), "--stream-queue-size", value)
        assert done.returncode == 2
        assert "--stream-queue-size" in done.stderr and "Traceback" not in done.stderr
        assert not (tmp_path / "db").exists()

    def test_default_and_config(self):
        import argparse

        from orvane_devtools.listener.cli import add_start_arguments, config_from_args

        parser = argparse.ArgumentParser()
        add_start_arguments(parser)
        assert config_from_args(parser.parse_args([]), {}).stream_queue_size == 1000
        config = config_from_args(parser.parse_args(["--stream-queue-size", "1"]), {})
        assert config.stream_queue_size == 1
        config.validate()
        with pytest.raises(ListenerConfigError, match="--stream-queue-size 0 must be at least 1"):
            ListenerConfig(stream_queue_size=0).validate()


class TestOverflow:
    def test_each_overflow_is_announced_and_the_newest_messages_kept(self, start_listener):
        proc = start_listener("--stream-queue-size", "2", "--heartbeat", "30")
        run = fresh_id("burst")
        reader = SSEReader(f"{proc.api}/stream", params={"run_id": run})
        try:
            reader.next(kind="hello")
            for burst in range(3):
                first = burst * 10
                post(proc, [event(first + i, run) for i in range(10)])
                gap = reader.next()
                # The gap comes first, then what is left of the burst: its last two events.
                assert gap["event"] == "gap", gap
                assert gap["json"] == {"dropped": 8, "reason": "overflow"}
                assert "id" not in gap
                kept = [reader.next(), reader.next()]
                assert [m["event"] for m in kept] == ["event", "event"]
                assert [m["json"]["event_id"] for m in kept] == [f"{run}-e{first + 8}", f"{run}-e{first + 9}"]
                record = reader.next()
                assert record["event"] == "run" and record["json"]["event_count"] == first + 10
            # A batch that fits the queue comes whole, without a gap.
            post(proc, [event(30, run), event(31, run)])
            assert [reader.next()["event"] for _ in range(3)] == ["event", "event", "run"]
        finally:
            reader.close()

    def test_the_default_queue_holds_a_thousand(self, start_listener):
        proc = start_listener()
        run = fresh_id("whole")
        reader = SSEReader(f"{proc.api}/stream", params={"run_id": run})
        try:
            reader.next(kind="hello")
            post(proc, [event(i, run) for i in range(1000)])
            whole = [reader.next() for _ in range(1001)]
            post(proc, [event(i, run) for i in range(1000, 2001)])
            over = [reader.next() for _ in range(1002)]
        finally:
            reader.close()
        assert [m["event"] for m in whole] == ["event"] * 1000 + ["run"]
        assert [m["json"]["event_id"] for m in whole[:1000]] == [f"{run}-e{i}" for i in range(1000)]
        # One more than the queue holds: the oldest is dropped and announced.
        assert [m["event"] for m in over] == ["gap"] + ["event"] * 1000 + ["run"]
        assert over[0]["json"] == {"dropped": 1, "reason": "overflow"}
        assert over[1]["json"]["event_id"] == f"{run}-e1001"
