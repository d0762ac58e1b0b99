"""Listener benchmark: ``orvane-devtools start`` as a separate process, fed and read over HTTP.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_listener.py
     (ORVANE_BENCH_LISTENER_SCALE=0.1 for a quick pass with a tenth of the events)

* Throughput: one RemoteTraceSink (default batch size and flush interval, a queue large enough
  to hold everything) sends 200,000 events to the listener with its database, and, in the same
  run, to a listener that answers 200 without storing anything (the raw one of bench_uplink).
  The two take turns, a tenth of the events each time (a new sink for each), the no-op listener
  first and last, so that both see the same load: the load of this shared machine moves within
  seconds. Each turn of the listener with its database is set against the mean rate of the no-op
  turns just before and after it (each rate from the first delivered batch on, the sink's start
  left out); the row gives the median of those ten ratios, and its label each of them and the
  ratio of the rates over all turns.
  Target: with the database, at least a quarter of the no-op rate.
  In the same turns, after each turn of the listener, the same sink sends to the floor listener
  of listener_floor.py (the server stack, the body parsed, the events' rows with their indexes
  committed before the answer, nothing else): its rate against the no-op turns beside it, and the
  listener's against it (ORVANE_BENCH_LISTENER_FLOOR: full (default), parse, rows, bare, or off).
* The listener's CPU time (user + system, from /proc) per 1,000 events of that run, and how it
  splits between the event loop's thread and the others (the log service's writer).
* Latency of one POST of 200 events (typical shape, fresh ids), p50 and p99 over 300 requests.
  Target: p99 <= 2,500 U.
* GET {prefix}/runs?search=NEEDLE over 500,000 stored events, for a needle that matches at most
  50 runs (24 at full scale), p95 over 40 requests. Target: <= 500 U.
* Decoding an upload body in the listener (validation and masking, in this process), per event,
  for each event shape and for typical events with random hexadecimal ids and a masked secret
  key (what a sink sends), all of them on the quick road; and for bodies with one invalid event
  (decoded event by event). Reported.
* The time a SIGTERM takes to stop the listener with a stream open and a batch in flight.
  Target: <= 2 s.
"""

from __future__ import annotations

import json
import multiprocessing as mp
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import uuid
import warnings
from pathlib import Path

import httpx
from bench_uplink import listener_main
from common import SHAPES, report, shaped_fields, typical_fields, unit_seconds
from listener_floor import FLOOR_MODES, floor_main

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.backends.Uplink import (
    ObservationBridgeUnavailableWarning,
    RemoteTraceSink,
)

warnings.simplefilter("ignore", ObservationBridgeUnavailableWarning)
SCALE = float(os.environ.get("ORVANE_BENCH_LISTENER_SCALE", "1"))
FLOOR = os.environ.get("ORVANE_BENCH_LISTENER_FLOOR", "full")
if FLOOR not in (*FLOOR_MODES, "off"):
    sys.exit(f"ORVANE_BENCH_LISTENER_FLOOR must be one of {', '.join(FLOOR_MODES)} or off, not {FLOOR!r}")
TURNS = 10  # the throughput run alternates between the two listeners, a tenth of the events each time


def start_listener(db: Path, output: list[str] | None = None,
                   extra: list[str] | None = None) -> tuple[subprocess.Popen, str]:
    """``orvane-devtools start`` on ``db`` (with the options ``extra``): (the process, its ingest
    URL). Its output lines are appended to ``output`` when given (else read and dropped)."""
    proc = subprocess.Popen(
        [sys.executable, "-m", "orvane_devtools", "start", "--port", "0", "--db", str(db), *(extra or [])],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = [] if output is None else output
    url = None
    assert proc.stdout is not None
    for line in proc.stdout:
        lines.append(line)
        match = re.search(r"ingest URL:\s+(\S+)", line)
        if match:
            url = match.group(1)
        if line.startswith("Press Ctrl-C"):
            break
    if url is None:
        proc.kill()
        sys.exit("the listener did not start:\n" + "".join(lines))
    if output is None:
        threading.Thread(target=lambda: proc.stdout.read(), daemon=True).start()
    else:
        threading.Thread(target=lambda: output.extend(proc.stdout), daemon=True).start()
    return proc, url


def cpu_seconds(pid: int, tid: int | None = None) -> float:
    """User + system CPU seconds of process ``pid`` (of its thread ``tid`` when given)."""
    path = f"/proc/{pid}/stat" if tid is None else f"/proc/{pid}/task/{tid}/stat"
    fields = Path(path).read_text().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks  # utime + stime


def wait_idle(pid: int, limit: float = 30.0) -> None:
    """Until process ``pid`` has used no CPU time for 0.25 s (or ``limit`` seconds passed)."""
    end = time.perf_counter() + limit
    last = cpu_seconds(pid)
    while time.perf_counter() < end:
        time.sleep(0.25)
        now = cpu_seconds(pid)
        if now == last:
            return
        last = now


def sink_rate(url: str, events: list[RuntimeEvent], delivered) -> tuple[float, float]:
    """(events per second once the first batch was delivered, seconds in all) for one sink
    sending ``events`` until ``delivered()`` reports them all. The first rate leaves out the
    sink's start (its thread, its probe, the connection), which would weigh more in a short
    turn to the fast no-op listener than in a turn to the listener with its database."""
    total = len(events)
    sink = RemoteTraceSink(endpoint=url, api_key=None, buffer_limit=total)
    t0 = time.perf_counter()
    for ev in events:
        sink.append_event_nowait(ev)
    first = None
    while (done := delivered(sink)) < total:
        if first is None and done:
            first = (time.perf_counter(), done)
        time.sleep(0.002)
        if time.perf_counter() - t0 > 600:
            sys.exit(f"only {delivered(sink)} of {total} events delivered")
    end = time.perf_counter()
    t1, n1 = first if first is not None and first[1] < total else (t0, 0)
    return (total - n1) / (end - t1), end - t0


def spread_events(count: int, tag: str, runs_of: int = 1000) -> list[RuntimeEvent]:
    return [RuntimeEvent(**typical_fields(i, run_id=f"{tag}-run-{i // runs_of}", parent=None))
            for i in range(count)]


def body_of(fields: list[dict]) -> bytes:
    return json.dumps({"app_id": "bench", "group_id": None, "environment": "local",
                       "events": fields}).encode()


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(q * (len(ordered) - 1))))]


def decode_rows(u: float) -> list[tuple]:
    """Per-event cost of decoding 200-event bodies (best of five passes over 20 bodies)."""
    from orvane_devtools.listener.decode import _quick, decode_body

    def bodies(make) -> list[bytes]:
        return [body_of([make(r * 200 + i, f"dec-{r}") for i in range(200)]) for r in range(20)]

    def sink_like(i: int, run_id: str) -> dict:
        fields = typical_fields(i, run_id=run_id, parent=None)
        fields["event_id"] = uuid.uuid4().hex
        fields["payload"]["api_key"] = "***"  # a sink masks the value and keeps the key
        return fields

    cases = [(shape, bodies(lambda i, run, shape=shape: shaped_fields(shape, i, run_id=run, parent=None)))
             for shape in SHAPES]
    cases.append(("typical, random hex ids, a masked key", bodies(sink_like)))

    def one_invalid(i: int, run_id: str) -> dict:
        fields = typical_fields(i, run_id=run_id, parent=None)
        if i % 200 == 17:
            fields["timestamp"] = "soon"  # rejected by its index; the body goes event by event
        return fields

    cases.append(("typical, one invalid event in each body", bodies(one_invalid)))
    rows = []
    for name, docs in cases:
        quick = "invalid" not in name
        assert all((_quick(doc) is not None) == quick for doc in docs), f"{name}: wrong road"
        best = float("inf")
        for _ in range(5):
            t0 = time.perf_counter()
            for doc in docs:
                decode_body(doc)
            best = min(best, time.perf_counter() - t0)
        per_event = best / (len(docs) * 200)
        rows.append((f"decode an upload body, per event ({name})", per_event, per_event / u, "report"))
    return rows


def main() -> None:
    u = unit_seconds()
    rows = decode_rows(u)
    total = int(200_000 * SCALE)
    tmp = Path(tempfile.mkdtemp(prefix="bench-listener-"))

    # 1. The no-op listener (another process): the rate the sink reaches when storing is free,
    # and 2. the real listener with its database. The two take turns, a part of the events each
    # time, so that both see the same load of this (shared) machine.
    ctx = mp.get_context("spawn")
    counter = ctx.Value("q", 0)
    recv, send = ctx.Pipe(duplex=False)
    noop = ctx.Process(target=listener_main, args=(send, counter), daemon=True)
    noop.start()
    noop_url = f"http://127.0.0.1:{recv.recv()}/observation/ingest"
    floor = floor_url = None
    if FLOOR != "off":
        floor_recv, floor_send = ctx.Pipe(duplex=False)
        (tmp / "floor").mkdir()
        floor = ctx.Process(target=floor_main, args=(floor_send, str(tmp / "floor"), FLOOR), daemon=True)
        floor.start()
        floor_url = f"http://127.0.0.1:{floor_recv.recv()}/observation/ingest"
    proc, url = start_listener(tmp / "throughput.sqlite3")
    part = -(-total // TURNS)
    noop_events = spread_events(part * (TURNS + 1), "noop")
    events = spread_events(total, "tp")
    floor_events = spread_events(total, "floor") if floor is not None else []
    floor_pairs = []
    floor_of = []
    noop_time = elapsed = 0.0
    noop_rates = []
    pairs = []
    cpu = loop_cpu = 0.0

    def noop_turn(k: int) -> None:
        nonlocal noop_time
        base = counter.value
        steady, took = sink_rate(noop_url, noop_events[k * part:(k + 1) * part],
                                 lambda s, base=base: counter.value - base)
        noop_time += took
        noop_rates.append(steady)

    noop_turn(0)
    for k in range(TURNS):
        lo, hi = k * part, min(total, (k + 1) * part)
        cpu0, loop0 = cpu_seconds(proc.pid), cpu_seconds(proc.pid, proc.pid)
        steady, spent = sink_rate(url, events[lo:hi], lambda s: s.get_stats()["uploaded_event_count"])
        elapsed += spent
        wait_idle(proc.pid)  # its work after the last answer (indexing) counts, and stays out of the next turn
        cpu += cpu_seconds(proc.pid) - cpu0
        loop_cpu += cpu_seconds(proc.pid, proc.pid) - loop0  # the main thread runs the event loop
        floor_steady = None
        if floor is not None:
            floor_steady, _ = sink_rate(floor_url, floor_events[lo:hi],
                                        lambda s: s.get_stats()["uploaded_event_count"])
        noop_turn(k + 1)
        # This turn against the no-op turns just before and just after it.
        beside = (noop_rates[k] + noop_rates[k + 1]) / 2
        pairs.append(steady / beside)
        if floor_steady is not None:
            floor_pairs.append(floor_steady / beside)
            floor_of.append(steady / floor_steady)
    noop.terminate()
    if floor is not None:
        floor.terminate()
        floor.join(10)
    del events, noop_events, floor_events
    rate, noop_rate = total / elapsed, len(noop_rates) * part / noop_time
    ratio = statistics.median(pairs)
    rows.append((f"sink -> listener with database, {total:,} events, events/s", None, None,
                 f"{rate:,.0f}/s"))
    rows.append(("sink -> no-op listener, same sink and events, events/s", None, None,
                 f"{noop_rate:,.0f}/s"))
    rows.append((f"  listener rate / no-op rate (median of the {TURNS} turns, each against the no-op turns "
                 f"beside it: {', '.join(f'{p:.3f}' for p in pairs)}; over all turns {rate / noop_rate:.3f})",
                 None, None, f"{ratio:.3f} (>= 0.4)"))
    if floor_pairs:
        rows.append((f"  floor listener ({FLOOR}) rate / no-op rate (median of the {TURNS} turns: "
                     f"{', '.join(f'{p:.3f}' for p in floor_pairs)})", None, None,
                     f"{statistics.median(floor_pairs):.3f} (report)"))
        rows.append((f"  listener rate / floor listener rate (median of the {TURNS} turns: "
                     f"{', '.join(f'{p:.3f}' for p in floor_of)})", None, None,
                     f"{statistics.median(floor_of):.3f} (report)"))
    per_k = cpu / total * 1000
    rows.append(("listener CPU time per 1,000 events (user + system)", per_k, per_k / u, "report"))
    loop_k = loop_cpu / total * 1000
    rows.append(("  of which the event loop (decoding, desk, answers)", loop_k, loop_k / u, "report"))
    rows.append(("  of which other threads (the log writer)", per_k - loop_k, (per_k - loop_k) / u,
                 "report"))

    # 3. Latency of one 200-event ingest request.
    client = httpx.Client(timeout=30)
    latencies = []
    for r in range(int(300 * max(SCALE, 0.2))):
        payload = body_of([typical_fields(1_000_000 + r * 200 + i, run_id=f"lat-{r}", parent=None)
                           for i in range(200)])
        t0 = time.perf_counter()
        resp = client.post(url, content=payload, headers={"Content-Type": "application/json"})
        latencies.append(time.perf_counter() - t0)
        assert resp.status_code == 200 and resp.json()["accepted"] == 200, resp.text
    p50, p99 = percentile(latencies, 0.5), percentile(latencies, 0.99)
    rows.append(("POST ingest of 200 events, p50", p50, p50 / u, ""))
    rows.append(("POST ingest of 200 events, p99", p99, p99 / u, "<= 2500 U"))

    # 4. Search over 500,000 stored events (this listener already holds the ones above).
    stored = int(client.get(url.replace("/ingest", "/stats")).json()["events"] or 0)
    want = int(500_000 * SCALE)
    n = 2_000_000
    # Up to 50 runs carry the needle in one message (those filled while n < 2,500,000).
    needle_runs = set(range(0, 10_000, 200))
    while stored < want:
        fields = []
        for _ in range(1000):
            f = typical_fields(n, run_id=f"search-run-{(n // 50) % 10_000}-{n // 500_000}", parent=None)
            if (n // 50) % 10_000 in needle_runs and n % 50 == 7 and n < 2_500_000:
                f["message"] = f"step {n} found the zanzibar-quokka route"
            fields.append(f)
            n += 1
        resp = client.post(url, content=body_of(fields), headers={"Content-Type": "application/json"})
        assert resp.status_code == 200, resp.text
        stored += resp.json()["accepted"]
    runs_url = url.replace("/ingest", "/runs")
    hits = client.get(runs_url, params={"search": "zanzibar-quokka", "limit": 1000}).json()["runs"]
    assert 0 < len(hits) <= 100, len(hits)
    times = []
    for _ in range(40):
        t0 = time.perf_counter()
        resp = client.get(runs_url, params={"search": "zanzibar-quokka"})
        times.append(time.perf_counter() - t0)
        assert resp.status_code == 200
    p95 = percentile(times, 0.95)
    rows.append((f"GET /runs?search=... over {stored:,} events ({len(hits)} runs match), p95",
                 p95, p95 / u, "<= 500 U"))
    client.close()

    # 5. Stop: SIGTERM with a stream open and a batch on its way; seconds until the process ended.
    stream = httpx.Client(timeout=httpx.Timeout(10.0, read=30.0))
    opened = threading.Event()

    def follow() -> None:
        try:
            with stream.stream("GET", url.replace("/ingest", "/stream")) as resp:
                opened.set()
                for _ in resp.iter_lines():
                    pass
        except httpx.HTTPError:
            pass
        finally:
            opened.set()

    threading.Thread(target=follow, daemon=True).start()
    opened.wait(10)
    batch = body_of([typical_fields(9_000_000 + i, run_id="stop", parent=None) for i in range(200)])

    def send_batch() -> None:
        try:
            httpx.post(url, content=batch, timeout=10, headers={"Content-Type": "application/json"})
        except httpx.HTTPError:
            pass  # the stop came first: not taken in, nothing to answer

    threading.Thread(target=send_batch, daemon=True).start()
    time.sleep(0.02)
    t0 = time.perf_counter()
    proc.send_signal(signal.SIGTERM)
    code = proc.wait(30)
    stop_seconds = time.perf_counter() - t0
    stream.close()
    rows.append(("stop (SIGTERM) with a stream open and a batch in flight, seconds", None, None,
                 f"{stop_seconds:.2f} s (<= 2 s), exit code {code}"))

    shutil.rmtree(tmp, ignore_errors=True)
    print(f"U = {u * 1e6:.2f} us")
    report(rows)
    print(f"\nthroughput: {total:,} events in {elapsed:.2f} s = {rate:,.0f} events/s with the database, "
          f"{noop_rate:,.0f}/s to the no-op listener (ratio {ratio:.3f}); listener CPU "
          f"{cpu:.2f} s = {per_k * 1000:.1f} ms per 1,000 events")


if __name__ == "__main__":
    main()
