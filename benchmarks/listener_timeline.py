"""Where one ingest request's time goes in the real listener: a diagnostic, not a benchmark row.

Run: PYTHONPATH=src:benchmarks python benchmarks/listener_timeline.py [EVENTS]   (default 40,000)

Starts ``orvane-devtools start`` in a child process with clocks around its steps, sends EVENTS
typical events through one ``RemoteTraceSink`` (default batch size, as bench_listener.py does),
stops the listener and prints, as medians over the requests (the first 20 left out):

* commit -> next request: from the writer's commit to the first byte of the sink's next request
  (the answer, the desk's intake and the stream ring, the sink's own turn);
* decode, prepare + submit: the body to events, the events to the writer's queue (event loop);
* queue wait, write: until the writer takes the request's events, then its transaction;
* index steps: the trigram index steps the writer ran meanwhile (count, median, total).

The sink's rate is counted from its first delivered batch on (bench_listener.sink_rate).
"""

from __future__ import annotations

import bisect
import json
import subprocess
import sys
import tempfile
from pathlib import Path

from bench_listener import sink_rate, spread_events

# Runs in the listener's process: wraps the steps with clocks, writes what it saw at exit.
CHILD = r"""
import atexit, json, sys, time
from orvane_devtools.listener import core
from orvane_devtools.logs import _maintenance, _sqlite, _writer
from uvicorn.protocols.http import httptools_impl

marks = {k: [] for k in ("begin", "decode0", "decode1", "submit", "write0", "write1", "index")}
clock = time.perf_counter

def wrap(owner, name, before, after=None):
    original = getattr(owner, name)
    def wrapped(*args, **kwargs):
        marks[before].append(clock())
        try:
            return original(*args, **kwargs)
        finally:
            if after is not None:
                marks[after].append(clock())
    setattr(owner, name, wrapped)

wrap(httptools_impl.HttpToolsProtocol, "on_message_begin", "begin")
wrap(core.ListenerCore, "decode", "decode0", "decode1")
wrap(_sqlite.SQLiteLogStore, "submit", "submit")
wrap(_writer.Writer, "_write_once", "write0", "write1")
original_step = _maintenance.Maintenance.index_step
def index_step(self, limit):
    t0 = clock()
    try:
        return original_step(self, limit)
    finally:
        marks["index"].append(clock() - t0)
_maintenance.Maintenance.index_step = index_step

out_path, db_path = sys.argv[1], sys.argv[2]

@atexit.register
def dump():
    with open(out_path, "w") as f:
        json.dump(marks, f)

sys.argv = ["orvane-devtools", "start", "--port", "0", "--db", db_path]
from orvane_devtools.__main__ import main
sys.exit(main(sys.argv[1:]))
"""


def median(values: list[float]) -> float:
    ordered = sorted(values)
    return ordered[len(ordered) // 2] if ordered else float("nan")


def main() -> None:
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 40_000
    tmp = Path(tempfile.mkdtemp(prefix="listener-timeline-"))
    out = tmp / "marks.json"
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(out), str(tmp / "db.sqlite3")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    url = None
    assert proc.stdout is not None
    for line in proc.stdout:
        if "ingest URL:" in line:
            url = line.split("ingest URL:", 1)[1].strip()
        if line.startswith("Press Ctrl-C"):
            break
    if url is None:
        proc.kill()
        sys.exit("the listener did not start")
    rate, _ = sink_rate(url, spread_events(total, "timeline"), lambda s: s.get_stats()["uploaded_event_count"])
    proc.terminate()
    proc.wait(timeout=30)
    m = json.loads(out.read_text())
    # The sink's probe (GET /runs) is a request too: pair each write with the next request that
    # began after it, and each request with its decode, submit and write in order.
    n = min(len(m["decode0"]), len(m["submit"]), len(m["write0"]), len(m["write1"]))
    skip = 20
    begins = m["begin"]  # in order: one event loop marks them
    after = []
    for i in range(skip, n - 1):
        end = m["write1"][i]
        j = bisect.bisect_right(begins, end)
        if j < len(begins):
            after.append(begins[j] - end)
    rows = [
        ("commit -> next request", after),
        ("decode", [m["decode1"][i] - m["decode0"][i] for i in range(skip, n)]),
        ("prepare + submit", [m["submit"][i] - m["decode1"][i] for i in range(skip, n)]),
        ("queue wait", [m["write0"][i] - m["submit"][i] for i in range(skip, n)]),
        ("write", [m["write1"][i] - m["write0"][i] for i in range(skip, n)]),
    ]
    print(f"{total:,} events in {n} requests; the sink's rate from its first delivered batch: {rate:,.0f}/s")
    for label, values in rows:
        mean = sum(values) / len(values) if values else float("nan")
        print(f"{label:24s} median {median(values) * 1e3:7.2f} ms   mean {mean * 1e3:7.2f} ms")
    steps = m["index"]
    print(f"{'index steps':24s} {len(steps)}, median {median(steps) * 1e3:.2f} ms, "
          f"{sum(steps) * 1e3:.0f} ms in all")


if __name__ == "__main__":
    main()
