"""Where one ``POST /v1/traces`` request's time goes in the real listener: a diagnostic, not a
benchmark row.

Run: PYTHONPATH=src:benchmarks python benchmarks/otlp_timeline.py [REQUESTS]   (default 60)

Starts ``orvane-devtools start`` in a child process with clocks around its steps, posts REQUESTS
requests of 512 GenAI chat spans (the shape of bench_otlp_receive.py, protobuf, one at a time) and
prints, as medians over the requests (the first 10 left out), the request as the client saw it and
its steps in the listener:

* decode: the native reader, body to span dicts; map: the spans to events and links;
* prepare + submit: the events checked and encoded for the writer (event loop);
* queue wait, write: until the writer takes the request, then its transaction and commit;
* feed: after the answer, the desk's intake and the streams;
* index steps: the trigram index steps the writer ran meanwhile (count, median, total).
"""

from __future__ import annotations

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpx
from bench_otlp_receive import chat_spans
from opentelemetry.exporter.otlp.proto.common.trace_encoder import encode_spans

CHILD = r"""
import asyncio, atexit, json, sys, time
from orvane_devtools.listener import Ingest, core
from orvane_devtools.listener.otlp import mapping
from orvane_devtools.logs import _maintenance, _sqlite, _writer

marks = {k: [] for k in ("decode0", "decode1", "map1", "submit", "write0", "write1", "feed0", "feed1", "index")}
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

wrap(Ingest, "_decode_otlp_traces", "decode0", "decode1")
original_map = mapping.map_spans
def map_spans(*args, **kwargs):
    try:
        return original_map(*args, **kwargs)
    finally:
        marks["map1"].append(clock())
mapping.map_spans = map_spans
wrap(_sqlite.SQLiteLogStore, "submit", "submit")
wrap(_writer.Writer, "_write_once", "write0", "write1")
original_feed = core.ListenerCore.feed
async def feed(self, result):
    marks["feed0"].append(clock())
    try:
        return await original_feed(self, result)
    finally:
        marks["feed1"].append(clock())
core.ListenerCore.feed = feed
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

from orvane_devtools.__main__ import main
sys.exit(main(["start", "--port", "0", "--db", db_path]))
"""


def median(values: list[float]) -> float:
    ordered = sorted(values)
    return ordered[len(ordered) // 2] if ordered else float("nan")


def main() -> None:
    requests = int(sys.argv[1]) if len(sys.argv) > 1 else 60
    tmp = Path(tempfile.mkdtemp(prefix="otlp-timeline-"))
    out = tmp / "marks.json"
    proc = subprocess.Popen([sys.executable, "-c", CHILD, str(out), str(tmp / "db.sqlite3")],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    origin = None
    assert proc.stdout is not None
    for line in proc.stdout:
        if "ingest URL:" in line:
            origin = "/".join(line.split("ingest URL:", 1)[1].strip().split("/")[:3])
        if line.startswith("Press Ctrl-C"):
            break
    if origin is None:
        proc.kill()
        sys.exit("the listener did not start")
    bodies = [encode_spans(chat_spans(512, f"tl{r}")[:512]).SerializeToString() for r in range(requests)]
    took = []
    with httpx.Client(timeout=60) as client:
        for body in bodies:
            t0 = time.perf_counter()
            r = client.post(origin + "/v1/traces", content=body, headers={"Content-Type": "application/x-protobuf"})
            took.append(time.perf_counter() - t0)
            assert r.status_code == 200 and r.content == b"", r.content
            time.sleep(0.05)  # let the feed after the answer finish before the next request
    proc.terminate()
    proc.wait(timeout=30)
    m = json.loads(out.read_text())
    skip = 10
    n = min(len(m[k]) for k in ("decode0", "decode1", "map1", "submit", "write0", "write1", "feed0", "feed1"))
    span = range(skip, n)
    rows = [
        ("request (client)", took[skip:n]),
        ("decode", [m["decode1"][i] - m["decode0"][i] for i in span]),
        ("map", [m["map1"][i] - m["decode1"][i] for i in span]),
        ("prepare + submit", [m["submit"][i] - m["map1"][i] for i in span]),
        ("queue wait", [m["write0"][i] - m["submit"][i] for i in span]),
        ("write + commit", [m["write1"][i] - m["write0"][i] for i in span]),
        ("feed (after the answer)", [m["feed1"][i] - m["feed0"][i] for i in span]),
    ]
    print(f"{n} requests of 512 spans; medians of the last {n - skip}")
    for label, values in rows:
        print(f"{label:26s} median {median(values) * 1e3:8.2f} ms   mean {sum(values) / len(values) * 1e3:8.2f} ms")
    steps = m["index"]
    print(f"{'index steps':26s} {len(steps)}, median {median(steps) * 1e3:.2f} ms, {sum(steps) * 1e3:.0f} ms in all")
    print(json.dumps({"requests": n}))


if __name__ == "__main__":
    main()
