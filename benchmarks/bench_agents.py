"""Ten agents at once: ten sink processes sending at full speed to one listener with its database.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_agents.py
     (ORVANE_BENCH_AGENTS_SCALE=0.2 for a quick pass with a fifth of the events)

In one run, against one ``orvane-devtools start`` process on a fresh database:

* one sink process alone sends ``N`` typical events (the reference rate);
* then ten sink processes, started together, send ``N`` events each, at full speed (each a
  ``RemoteTraceSink`` with its default batch size and flush interval and a queue that holds all
  of its events);

a stream client follows ``/stream`` throughout (both phases pay for it alike).

Each rate is counted from the first delivered batch on (the processes' start left out). Rows: the
total rate of the ten against the single sink's rate (target: at least 1), the smallest share of
one sink in the total (target: at least a twentieth), the events stored at the end against the
events sent (nothing lost, nothing stored twice: the listener's own count), the "database is
locked" lines in the listener's output (target: none), and what the stream client saw: every
committed event, or the ``gap`` messages that told it it fell behind. Reported beside them: the
CPU time per event of the listener and of the senders in each phase (from /proc and each
sender's ``process_time``), and the total rate the machine's cores allow at those costs.
"""

from __future__ import annotations

import json
import multiprocessing as mp
import os
import shutil
import subprocess
import tempfile
import threading
import time
import warnings
from pathlib import Path
from typing import Any

import httpx
from bench_listener import cpu_seconds, start_listener
from common import report, typical_fields, unit_seconds

SCALE = float(os.environ.get("ORVANE_BENCH_AGENTS_SCALE", "1"))
AGENTS = 10
PER_SINK = int(20_000 * SCALE)


def agent(url: str, tag: str, first_number: int, count: int, go: Any, out: Any) -> None:
    """One agent process: its sink sends ``count`` events (numbered from ``first_number``, so
    that no two agents share an event id) once ``go`` is set; puts (tag, first delivery time,
    events delivered by then, end time, events delivered, the process's CPU seconds while it sent)
    on ``out``."""
    from orvane_devtools._orvane_compat import RuntimeEvent
    from orvane_devtools.observation.backends.Uplink import (
        ObservationBridgeUnavailableWarning,
        RemoteTraceSink,
    )

    warnings.simplefilter("ignore", ObservationBridgeUnavailableWarning)
    events = [RuntimeEvent(**typical_fields(first_number + i, run_id=f"{tag}-run-{i // 1000}", parent=None))
              for i in range(count)]
    sink = RemoteTraceSink(endpoint=url, api_key=None, buffer_limit=count)
    go.wait()
    cpu0 = time.process_time()
    t0 = time.time()
    for ev in events:
        sink.append_event_nowait(ev)
    first = None
    while (done := sink.get_stats()["uploaded_event_count"]) < count:
        if first is None and done:
            first = (time.time(), done)
        time.sleep(0.02)  # (a finer poll costs the agents CPU that the listener then misses)
        if time.time() - t0 > 900:
            break
    end = time.time()
    if first is None or first[1] >= count:
        first = (t0, 0)
    out.put((tag, first[0], first[1], end, sink.get_stats()["uploaded_event_count"], time.process_time() - cpu0))


def run_agents(ctx: Any, url: str, tags: list[str], count: int, first_number: int = 0) -> list[tuple]:
    go = ctx.Event()
    out = ctx.Queue()
    procs = [ctx.Process(target=agent, args=(url, tag, first_number + k * count, count, go, out))
             for k, tag in enumerate(tags)]
    for p in procs:
        p.start()
    time.sleep(2.0 + 0.3 * len(procs))  # each builds its events before the start
    go.set()
    results = [out.get(timeout=1200) for _ in procs]
    for p in procs:
        p.join(60)
    return results


class StreamCount:
    """A client of ``/stream`` that counts the events and the gaps it is sent."""

    def __init__(self, stream_url: str) -> None:
        self.events = 0
        self.gaps = 0
        self.dropped = 0
        self.ids: set[str] = set()
        self._stop = False
        self._opened = threading.Event()
        self._thread = threading.Thread(target=self._follow, args=(stream_url,), daemon=True)
        self._thread.start()
        self._opened.wait(10)

    def _follow(self, url: str) -> None:
        kind = None
        try:
            with httpx.stream("GET", url, timeout=httpx.Timeout(10.0, read=None)) as resp:
                self._opened.set()
                for line in resp.iter_lines():
                    if self._stop:
                        return
                    if line.startswith("event:"):
                        kind = line[6:].strip()
                    elif line.startswith("data:") and kind == "event":
                        self.events += 1
                        self.ids.add(json.loads(line[5:])["event_id"])
                    elif line.startswith("data:") and kind == "gap":
                        self.gaps += 1
                        self.dropped += int(json.loads(line[5:]).get("dropped") or 0)
        except httpx.HTTPError:
            pass
        finally:
            self._opened.set()

    def stop(self) -> None:
        self._stop = True


def stored_events(api: str) -> int:
    return int(httpx.get(f"{api}/stats", timeout=30).json()["events"])


def main() -> None:
    u = unit_seconds()
    tmp = Path(tempfile.mkdtemp(prefix="bench-agents-"))
    ctx = mp.get_context("spawn")
    lines: list[str] = []
    proc, url = start_listener(tmp / "agents.sqlite3", lines)
    api = url.rsplit("/ingest", 1)[0]
    rows: list[tuple] = []
    try:
        # The stream client follows both phases, so that the single sink's reference pays for
        # the stream as the ten do.
        stream = StreamCount(f"{api}/stream")
        cpu_a = cpu_seconds(proc.pid)
        (single,) = run_agents(ctx, url, ["one"], PER_SINK)
        cpu_b = cpu_seconds(proc.pid)
        _, f0, n0, end, got, single_cpu = single
        single_rate = (PER_SINK - n0) / (end - f0)
        time.sleep(1.0)  # the single sink's last commits reach the stream
        seen_before, dropped_before, gaps_before = len(stream.ids), stream.dropped, stream.gaps
        before = stored_events(api)
        cpu_c = cpu_seconds(proc.pid)
        results = run_agents(ctx, url, [f"agent{i}" for i in range(AGENTS)], PER_SINK, first_number=PER_SINK)
        cpu_d = cpu_seconds(proc.pid)
        start = min(r[1] for r in results)
        finish = max(r[3] for r in results)
        delivered_after_start = sum(r[4] for r in results) - sum(r[2] for r in results if r[1] == start)
        total_rate = delivered_after_start / (finish - start)
        shares = [(r[4] - r[2]) / (r[3] - r[1]) / total_rate for r in results]
        time.sleep(2.0)  # the last commits reach the stream
        stream.stop()
        after = stored_events(api)
        sent = AGENTS * PER_SINK
        locked = sum("database is locked" in line for line in lines)
        seen, dropped = len(stream.ids) - seen_before, stream.dropped - dropped_before
        gaps = stream.gaps - gaps_before
        rows.append((f"one sink alone, {PER_SINK:,} events, events/s", None, None, f"{single_rate:,.0f}/s"))
        rows.append((f"{AGENTS} sinks at once, {PER_SINK:,} events each, total events/s", None, None,
                     f"{total_rate:,.0f}/s"))
        rows.append((f"  total rate of the {AGENTS} / the single sink's rate", None, None,
                     f"{total_rate / single_rate:.2f} (>= 1)"))
        rows.append(("  smallest share of one sink in the total rate (its rate / the total)", None, None,
                     f"{min(shares):.3f} (>= 0.05; all {', '.join(f'{s:.3f}' for s in sorted(shares))})"))
        rows.append(("  events stored by the ten / events sent (the listener's own count)", None, None,
                     f"{after - before:,} / {sent:,} ({'none lost or doubled' if after - before == sent else 'MISMATCH'})"))
        rows.append(('  "database is locked" lines in the listener\'s output', None, None, f"{locked} (0)"))
        rows.append(("  a stream client: events received, gaps announced (events they dropped)", None, None,
                     f"{seen:,} of {sent:,}; {gaps} gaps ({dropped:,} dropped)"
                     f"{'' if seen + dropped >= sent else ' MISSED WITHOUT A GAP'}"))
        per_event = (finish - start) / max(1, delivered_after_start)
        rows.append(("  wall time per event with ten sinks", per_event, per_event / u, "report"))
        # Where the machine's time goes: with ten senders and the listener on a machine of few
        # cores, what the senders themselves use is taken from the listener.
        one_listener = (cpu_b - cpu_a) / PER_SINK
        ten_listener = (cpu_d - cpu_c) / sent
        one_sender = single_cpu / PER_SINK
        ten_senders = sum(r[5] for r in results) / sent
        rows.append(("  listener CPU per event: one sink", one_listener, one_listener / u, "report"))
        rows.append(("  listener CPU per event: ten sinks", ten_listener, ten_listener / u, "report"))
        rows.append(("  senders' CPU per event: one sink", one_sender, one_sender / u, "report"))
        rows.append(("  senders' CPU per event: ten sinks", ten_senders, ten_senders / u, "report"))
        cores = os.cpu_count() or 1
        bound = cores / (ten_listener + ten_senders)
        rows.append((f"  the most {cores} cores allow at those CPU costs / the single sink's rate", None, None,
                     f"{bound / single_rate:.2f} ({bound:,.0f}/s)"))
    finally:
        proc.terminate()
        try:
            proc.wait(30)
        except subprocess.TimeoutExpired:
            proc.kill()
        shutil.rmtree(tmp, ignore_errors=True)
    report(rows)


if __name__ == "__main__":
    main()
