"""Run store benchmark: append_event cost (one long run, events spread over many runs), the run
search, and resident memory per held event. Figures are given as ratios to U (see common.py).

    PYTHONPATH=src:benchmarks python benchmarks/bench_store.py [--quick]
"""

from __future__ import annotations

import gc
import statistics
import sys
import time

from common import current_rss_kb, report, typical_event, unit_seconds

from orvane_devtools.observation.Tallybook import RuntimeTallybook

QUICK = "--quick" in sys.argv


def timed_appends(store, events, marks):
    """Append all events; for each mark, the median seconds per event over five windows of 200
    events ending at the mark (a median, so that one pause of the machine does not decide)."""
    out = {}
    append = store.append_event
    window = 200
    pending: dict[int, list[float]] = {m: [] for m in marks}
    t0 = time.perf_counter()
    for i, ev in enumerate(events, 1):
        if i % window == 1:
            t0 = time.perf_counter()
        append(ev)
        if i % window == 0:
            for m in marks:
                if m - 5 * window < i <= m:
                    pending[m].append((time.perf_counter() - t0) / window)
    for m, values in pending.items():
        out[m] = statistics.median(values)
    return out


def bench_append(u, rows, label, make, total):
    marks = {1_000, total // 10, total}
    events = [make(i) for i in range(total)]
    store = RuntimeTallybook(max_events=total)
    gc.collect()
    t0 = time.perf_counter()
    windows = timed_appends(store, events, marks)
    overall = (time.perf_counter() - t0) / total
    rows.append((f"append_event, {label}: mean over {total:,}", overall, overall / u, "<= 0.25U"))
    for m in sorted(marks):
        rows.append((f"append_event, {label}: around event {m:,} (median of 5x200)", windows[m], windows[m] / u, ""))
    rows.append((f"append_event, {label}: cost at {total:,} / cost at 1,000", None, windows[total] / windows[1_000], "<= 1.5"))
    del store, events
    gc.collect()


def bench_search(u, rows):
    runs, per_run = (2_000, 50) if QUICK else (10_000, 50)
    store = RuntimeTallybook(max_events=5_000)
    for r in range(runs):
        for j in range(per_run):
            store.append_event(typical_event(r * per_run + j, run_id=f"run-{r:05d}", parent=None))
    for needle, note in (("no such text anywhere", "no match: full scan"), ("PLANNER", "matches every run at a field")):
        n = 3
        t0 = time.perf_counter()
        for _ in range(n):
            found = store.list_runs(search=needle)
        sec = (time.perf_counter() - t0) / n / runs
        rows.append((f"list_runs(search={needle!r}) per run, {note} ({len(found)} found)", sec, sec / u, "<= 0.05U" if "full" in note else ""))
    # A needle found only in the accumulated text of the oldest event.
    needle = f"evt-{0:08d}"
    t0 = time.perf_counter()
    found = store.list_runs(search=needle)
    sec = (time.perf_counter() - t0) / runs
    rows.append((f"list_runs(search={needle!r}) per run ({len(found)} found)", sec, sec / u, ""))
    del store
    gc.collect()


MEMORY_CHILD = """
import gc, sys
from common import current_rss_kb, typical_event
from orvane_devtools.observation.Tallybook import RuntimeTallybook
total, runs = int(sys.argv[1]), int(sys.argv[2])
store = RuntimeTallybook(max_events=total)
store.append_event(typical_event(0, run_id="warm-up"))
store.reset()
gc.collect()
before = current_rss_kb()
for i in range(total):
    # Events are made one at a time and dropped: only what the store keeps stays resident.
    store.append_event(typical_event(i, run_id=f"run-{i % runs}"))
gc.collect()
print((current_rss_kb() - before) * 1024 / total)
"""


def bench_memory(rows):
    import subprocess

    total = 100_000
    for runs, label in ((1, "one run"), (2_000, "2,000 runs")):
        out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(total), str(runs)], check=True,
                             capture_output=True, text=True).stdout
        per_event = float(out.strip().splitlines()[-1])
        rows.append((f"resident memory per held event ({total:,} held, {label})", None, None,
                     f"{per_event:,.0f} B (<= 2.5 KB)"))


def main():
    u = unit_seconds()
    print(f"U = {u * 1e6:.2f} us")
    rows = []
    total = 20_000 if QUICK else 100_000
    bench_append(u, rows, "one streaming run", lambda i: typical_event(i, run_id="run-stream"), total)
    bench_append(u, rows, "2,000 runs", lambda i: typical_event(i, run_id=f"run-{i % 2_000}"), total)
    bench_search(u, rows)
    bench_memory(rows)
    report(rows)


if __name__ == "__main__":
    main()
