"""`orvane-devtools start --otlp-endpoint URL`: the listener forwards the runs it receives to an
OTLP receiver as spans, the run still open when it stops as incomplete."""

from __future__ import annotations

import asyncio
import os
import re
import signal
import subprocess
import sys
import time

import pytest
from otlp_helpers import Receiver, by_run

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.backends.Uplink import RemoteTraceSink


@pytest.fixture
def receiver():
    r = Receiver()
    yield r
    r.close()


def start(tmp_path, *args: str) -> tuple[subprocess.Popen, str, str]:
    proc = subprocess.Popen([sys.executable, "-m", "orvane_devtools", "start", "--port", "0",
                             "--db", str(tmp_path / "l.sqlite3"), *args],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    lines = []
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        lines.append(line)
        if "Press Ctrl-C" in line:
            break
    banner = "".join(lines)
    match = re.search(r"ingest URL:\s+(\S+)", banner)
    if match is None:
        proc.kill()
        raise AssertionError(f"no banner: {banner!r} {proc.stderr.read()!r}")
    return proc, match.group(1), banner


@pytest.mark.timeout(120)
def test_the_listener_forwards_runs_as_spans(receiver, tmp_path):
    proc, ingest, banner = start(tmp_path, "--otlp-endpoint", receiver.url().replace("http://", "http://u:pw-9@"),
                                 "--otlp-header", "x-tenant=t1", "--orphan-after", "0")
    try:
        assert f"OTLP export: {receiver.url()} (http/protobuf)" in banner  # no credentials shown
        sink = RemoteTraceSink(endpoint=ingest, api_key=None, app_id="remote-app", background_flush_interval=0.01)
        done = {"run_id": "done", "run_kind": "agent_task", "agent_name": "A"}
        still = {"run_id": "still", "run_kind": "agent_task", "agent_name": "B"}
        events = [RuntimeEvent(event_type="agent_task.started", run=done),
                  RuntimeEvent(event_type="agent_task.started", run=still),
                  RuntimeEvent(event_type="agent_task.completed", run=done)]
        asyncio.run(sink.append_events(events))
        asyncio.run(sink.flush())
        assert receiver.wait_for(lambda r: r.span_count() >= 1, timeout=30)
        assert by_run(receiver.spans())["done"]["resource"]["service.name"] == "remote-app"
    finally:
        proc.send_signal(signal.SIGINT)
        proc.wait(timeout=60)
    runs = by_run(receiver.spans())
    assert set(runs) == {"done", "still"}
    assert runs["still"]["status_message"] == "incomplete"
    headers = receiver.requests[0]["headers"]
    assert headers["x-tenant"] == "t1" and headers["authorization"].startswith("Basic ")


def test_a_bad_otlp_endpoint_is_refused_in_one_line(tmp_path):
    out = subprocess.run([sys.executable, "-m", "orvane_devtools", "start", "--port", "0",
                          "--db", str(tmp_path / "l.sqlite3"), "--otlp-endpoint", "ftp://nowhere"],
                         capture_output=True, text=True, timeout=60, env=dict(os.environ))
    assert out.returncode != 0
    assert "--otlp-endpoint" in out.stderr and "http:// or https://" in out.stderr
    assert "Traceback" not in out.stderr
