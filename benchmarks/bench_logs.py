"""The persistent log service (``logs.enabled`` with ``logs.path``) through the facade, as ratios to U.

One file is filled with typical events to 500,000 (``BENCH_LOGS_N`` to change), 50 per run in
10,000 runs, plus a tree of 1,000 runs (5 events each). Rows:

* sustained append: ``await desk.append_event`` inside ``log_service.batch()`` blocks of 256 (one
  commit per block: how the listener ingests a request), measured over 10,000 events at several
  fill levels; also 64 concurrent producers awaiting each append's own commit, and one append at a
  time (latency bound: a commit per event);
* ``query_events(search=...)`` and ``query_runs(search=...)`` for needles that match one event;
* ``get_run_tree`` and ``query_events(run_id=..., include_descendants=True)`` of the tree;
* resident memory of a process that appended the same events straight to a log service (in a
  process of its own), and of this process after the fill through the facade -- whose own
  in-memory run store keeps every run's accumulated search text, outside the log service --, above
  the process before the first append; and the file's size per stored event (indexes and WAL
  included).

    python benchmarks/bench_logs.py            (tools/dev bench logs)
"""

from __future__ import annotations

import asyncio
import gc
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from common import current_rss_kb, peak_rss_kb, report, typical_event, unit_seconds

from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk

N = int(os.environ.get("BENCH_LOGS_N", "500000"))
WINDOW = 10_000
BLOCK = 256
TREE_RUNS = 1000
TREE_EVENTS = 5
TREE_AT = 2_000  # index of the tree's first event


def run_of(i: int) -> tuple[str, str | None]:
    k = i - TREE_AT
    if 0 <= k < TREE_RUNS * TREE_EVENTS:
        node = k // TREE_EVENTS
        if node == 0:
            return "tree-0", None
        return f"tree-{node}", "tree-0" if node < 10 else f"tree-{1 + node % 9}"
    return f"run-{i // 50}", f"group-{(i // 50) % 100}"


def event(i: int):
    run_id, parent = run_of(i)
    return typical_event(i, run_id=run_id, parent=parent)


async def fill(desk, start: int, stop: int) -> float:
    """Seconds per event for events start..stop-1, in batch blocks of BLOCK."""
    log = desk.log_service
    t0 = time.perf_counter()
    i = start
    while i < stop:
        end = min(stop, i + BLOCK)
        async with log.batch():
            for k in range(i, end):
                await desk.append_event(event(k))
        i = end
    return (time.perf_counter() - t0) / (stop - start)


async def concurrent(desk, start: int, count: int, producers: int) -> float:
    async def producer(j: int) -> None:
        for k in range(start + j, start + count, producers):
            await desk.append_event(event(k))

    t0 = time.perf_counter()
    await asyncio.gather(*(producer(j) for j in range(producers)))
    return (time.perf_counter() - t0) / count


async def one_by_one(desk, start: int, count: int) -> float:
    t0 = time.perf_counter()
    for k in range(start, start + count):
        await desk.append_event(event(k))
    return (time.perf_counter() - t0) / count


def per_call(fn, repeat: int = 7) -> float:
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def service_memory(n: int) -> None:
    """Child mode: append n events straight to a log service on a file, print the RSS growth."""
    from orvane_devtools.logs import RuntimeLogService

    tmp = tempfile.mkdtemp(prefix="bench-logs-mem-")
    try:
        log = RuntimeLogService(Settings({"logs.path": os.path.join(tmp, "e.db"), "logs.max_events": 10_000_000}))
        gc.collect()
        base = current_rss_kb()

        async def go():
            for i in range(0, n, BLOCK):
                await log.append_events([event(k) for k in range(i, min(n, i + BLOCK))])

        asyncio.run(go())
        log._store.index_now()
        gc.collect()
        print(current_rss_kb() - base, peak_rss_kb())
        log.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main() -> None:
    u = unit_seconds()
    # In a process of its own, started while this one is small (a child's peak counts its start).
    alone = subprocess.run([sys.executable, __file__, "--service-memory", str(N)], capture_output=True,
                           text=True, check=True).stdout.split()
    tmp = tempfile.mkdtemp(prefix="bench-logs-")
    path = os.path.join(tmp, "logs", "events.db")
    rows = []
    try:
        desk = TraceDesk.RuntimeTraceDesk(
            Settings({"logs.enabled": True, "logs.path": path, "logs.max_events": 10_000_000})
        )
        log = desk.log_service
        gc.collect()
        base_rss = current_rss_kb()

        async def ingest():
            levels = [lv for lv in (10_000, 100_000, 250_000, 500_000) if lv < N] + [N]
            done = 0
            for level in levels:
                if level - WINDOW > done:
                    await fill(desk, done, level - WINDOW)
                sec = await fill(desk, level - WINDOW, level)
                rows.append((f"append_event, batch() blocks of {BLOCK}, at {level:,} stored", sec, sec / u,
                             "<= 2 U, flat"))
                done = level
            await log.flush()
            sec = await concurrent(desk, N, WINDOW, 64)
            rows.append((f"append_event, 64 concurrent producers, at {N:,} stored", sec, sec / u, "-"))
            sec = await one_by_one(desk, N + WINDOW, 1000)
            rows.append(("append_event, one at a time (a commit each)", sec, sec / u, "-"))
            await log.flush()

        asyncio.run(ingest())
        log._store.index_now()
        total = log.stats()["events"]
        assert total == N + WINDOW + 1000, total
        gc.collect()
        rss = current_rss_kb()

        for label, needle in (("a message phrase", f"step {N // 2 + 1} produced"), ("an event id", f"evt-{N - 3:08d}")):
            got = desk.query_events(search=needle)
            assert len(got) == 1, (needle, len(got))
            sec = per_call(lambda: desk.query_events(search=needle))
            rows.append((f"query_events(search={label}), {total:,} stored", sec, sec / u, "<= 500 U"))
        needle = f"step {N // 3 + 7} produced"
        assert len(desk.query_runs(search=needle)) == 1
        sec = per_call(lambda: desk.query_runs(search=needle))
        rows.append((f"query_runs(search=a message phrase), {total:,} stored", sec, sec / u, "<= 500 U"))

        tree = desk.get_run_tree("tree-0")
        nodes = 0
        stack = [tree]
        while stack:
            n = stack.pop()
            nodes += 1
            stack.extend(n.children)
        assert nodes == TREE_RUNS, nodes
        sec = per_call(lambda: desk.get_run_tree("tree-0"), 5) / nodes
        rows.append((f"get_run_tree, {nodes:,}-run tree, per node", sec, sec / u, "<= 0.5 U"))
        items = len(desk.query_events(run_id="tree-0", include_descendants=True))
        assert items == TREE_RUNS * TREE_EVENTS, items
        sec = per_call(lambda: desk.query_events(run_id="tree-0", include_descendants=True), 5) / items
        rows.append((f"query_events(run_id, include_descendants), {items:,} events, per event", sec, sec / u,
                     "<= 0.5 U"))

        stats = log.stats()
        size = stats["file_bytes"] + stats["wal_bytes"]
        rows.append((f"resident memory, {N:,} events appended to the log service alone: "
                     f"+{int(alone[0]) / 1024:.1f} MiB (peak {int(alone[1]) / 1024:.1f} MiB)", None, None,
                     "<= 150 MB"))
        rows.append((f"resident memory, {total:,} events through the facade (its own run store included): "
                     f"+{(rss - base_rss) / 1024:.1f} MiB", None, None, "-"))
        rows.append((f"file per stored event, indexes and WAL included: {size / total:,.0f} B "
                     f"({size / 2**20:,.0f} MiB)", None, None, "<= 2 KB"))
        log.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"U = {u * 1e6:.2f}us  (python {sys.version.split()[0]})")
    report(rows)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--service-memory":
        service_memory(int(sys.argv[2]))
    else:
        main()
