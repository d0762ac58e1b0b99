"""Run store benchmark, on every event shape of ``common.SHAPES``: append_event cost (one streaming
run, events spread over 2,000 runs), get_run_events with descendants, resident memory per held
event and per run, and the run search. Figures are given as ratios to U (see common.py).

    PYTHONPATH=src:benchmarks python benchmarks/bench_store.py [--quick] [--shapes typical,full_run]
        [--runs N]

``--runs`` sets the number of runs of the memory-per-run row (default 200,000; the row scales
linearly, 1,000,000 takes about five times as long and memory).
"""

from __future__ import annotations

import gc
import statistics
import subprocess
import sys
import time

from common import SHAPES, report, shaped_event, typical_event, unit_seconds as _unit_seconds

from orvane_devtools.observation.Tallybook import RuntimeTallybook

QUICK = "--quick" in sys.argv


def _arg(name: str, default: str) -> str:
    for i, a in enumerate(sys.argv):
        if a == name and i + 1 < len(sys.argv):
            return sys.argv[i + 1]
        if a.startswith(name + "="):
            return a.split("=", 1)[1]
    return default


SELECTED = [s for s in _arg("--shapes", ",".join(SHAPES)).split(",") if s]
MEMORY_RUNS = int(_arg("--runs", "200000"))


def unit_seconds() -> float:
    """U, measured again right before each row: on a shared machine the load moves within a run,
    and a row is only comparable with a U measured next to it."""
    return _unit_seconds(number=5_000, repeat=5)


def new_store(max_events: int, max_runs: int | None = None) -> RuntimeTallybook:
    """A store; ``max_runs`` is passed where the store takes it (a build without run eviction
    keeps every run anyway)."""
    if max_runs is None:
        return RuntimeTallybook(max_events)
    try:
        return RuntimeTallybook(max_events, max_runs=max_runs)
    except TypeError:
        return RuntimeTallybook(max_events)


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


def bench_stream(rows, shape):
    total = 20_000 if QUICK else 100_000
    marks = {1_000, total // 10, total}
    events = [shaped_event(shape, i, run_id="run-stream") for i in range(total)]
    store = new_store(total)
    gc.collect()
    u = unit_seconds()
    t0 = time.perf_counter()
    windows = timed_appends(store, events, marks)
    overall = (time.perf_counter() - t0) / total
    label = f"append_event [{shape}], one streaming run"
    rows.append((f"{label}: mean over {total:,}", overall, overall / u, "held"))
    rows.append((f"{label}: cost at {total:,} / cost at 1,000", None, windows[total] / windows[1_000], "<= 1.5 (flat)"))
    del store, events
    gc.collect()


def bench_spread(rows, shape):
    total = 20_000 if QUICK else 100_000
    events = [shaped_event(shape, i, run_id=f"run-{i % 2_000}") for i in range(total)]
    best = None
    u = unit_seconds()
    for _ in range(1 if QUICK else 3):
        store = new_store(1_200)
        gc.collect()
        t0 = time.perf_counter()
        append = store.append_event
        for ev in events:
            append(ev)
        sec = (time.perf_counter() - t0) / total
        best = sec if best is None else min(best, sec)
        del store
    u = min(u, unit_seconds())
    rows.append((f"append_event [{shape}], {total:,} events spread over 2,000 runs (1,200 held)", best, best / u,
                 "<= 0.25U"))
    del events
    gc.collect()


def bench_descendants(rows, shape):
    """A tree of 1 + 20 + 100 runs with 10 events each; the whole tree's events per call."""
    store = new_store(5_000)
    i = 0
    tree = [("root", None)] + [(f"c{k:02d}", "root") for k in range(20)]
    tree += [(f"c{k:02d}-g{j}", f"c{k:02d}") for k in range(20) for j in range(5)]
    for _ in range(10):
        for run_id, parent in tree:
            store.append_event(shaped_event(shape, i, run_id=run_id, parent=parent))
            i += 1
    returned = len(store.get_run_events("root", include_descendants=True))
    n = 5 if QUICK else 20
    u = unit_seconds()
    samples = []
    for _ in range(5):
        t0 = time.perf_counter()
        for _ in range(n):
            store.get_run_events("root", include_descendants=True)
        samples.append((time.perf_counter() - t0) / n / returned)
    sec = min(samples)
    u = min(u, unit_seconds())
    rows.append((f"get_run_events(include_descendants=True) [{shape}], 121 runs, per returned event ({returned:,})",
                 sec, sec / u, "<= 0.12U"))
    del store
    gc.collect()


def bench_search(rows):
    runs, per_run = (2_000, 50) if QUICK else (10_000, 50)
    store = new_store(5_000, max_runs=runs)
    for r in range(runs):
        for j in range(per_run):
            store.append_event(typical_event(r * per_run + j, run_id=f"run-{r:05d}", parent=None))
    u = unit_seconds()
    for needle, note in (("no such text anywhere", "no match: full scan"), ("PLANNER", "matches every run at a field")):
        n = 3
        store.list_runs(search=needle)  # the first search may build what later ones reuse
        t0 = time.perf_counter()
        for _ in range(n):
            found = store.list_runs(search=needle)
        sec = (time.perf_counter() - t0) / n / runs
        rows.append((f"list_runs(search={needle!r}) per run, {note} ({len(found)} found)", sec, sec / u,
                     "<= 0.05U" if "full" in note else ""))
    # A needle found only in the accumulated text of the oldest event.
    needle = f"evt-{0:08d}"
    t0 = time.perf_counter()
    found = store.list_runs(search=needle)
    sec = (time.perf_counter() - t0) / runs
    rows.append((f"list_runs(search={needle!r}) per run ({len(found)} found)", sec, sec / u, ""))
    del store
    gc.collect()


def bench_first_search(rows):
    """The first run search after appends: whatever indexing is left for it, per event appended."""
    runs, per_run = (2_000, 10) if QUICK else (2_000, 50)
    store = new_store(runs * per_run, max_runs=runs)
    for j in range(per_run):
        for r in range(runs):
            store.append_event(typical_event(j * runs + r, run_id=f"run-{r:05d}", parent=None))
    u = unit_seconds()
    t0 = time.perf_counter()
    store.list_runs(search="no such text anywhere")
    sec = (time.perf_counter() - t0) / (runs * per_run)
    rows.append((f"first list_runs(search=...) after {runs * per_run:,} appends, per event appended", sec, sec / u,
                 ""))
    del store
    gc.collect()


MEMORY_CHILD = """
import gc, sys
from common import current_rss_kb, shaped_event
from orvane_devtools.observation.Tallybook import RuntimeTallybook
shape, total, runs = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
try:
    store = RuntimeTallybook(max_events=total, max_runs=max(runs, 1))
except TypeError:
    store = RuntimeTallybook(max_events=total)
store.append_event(shaped_event(shape, 0, run_id="warm-up"))
store.reset()
gc.collect()
before = current_rss_kb()
for i in range(total):
    # Events are made one at a time and dropped: only what the store keeps stays resident.
    store.append_event(shaped_event(shape, i, run_id=f"run-{i % runs}"))
gc.collect()
print((current_rss_kb() - before) * 1024 / total)
"""

RUNS_CHILD = """
import gc, sys
from common import current_rss_kb, typical_event
from orvane_devtools.observation.Tallybook import RuntimeTallybook
runs = int(sys.argv[1])
try:
    store = RuntimeTallybook(max_events=1_200, max_runs=runs)
except TypeError:
    store = RuntimeTallybook(max_events=1_200)
store.append_event(typical_event(0, run_id="warm-up"))
store.reset()
gc.collect()
before = current_rss_kb()
for i in range(runs):
    store.append_event(typical_event(i, run_id=f"run-{i:07d}", parent=f"root-{i // 100}"))
gc.collect()
print((current_rss_kb() - before) * 1024 / runs)
"""


def child(code: str, *args) -> float:
    out = subprocess.run([sys.executable, "-c", code, *map(str, args)], check=True, capture_output=True,
                         text=True).stdout
    return float(out.strip().splitlines()[-1])


def bench_memory(rows, shape):
    total = 100_000
    cases = ((1, "one run"), (2_000, "2,000 runs")) if shape == "typical" else ((2_000, "2,000 runs"),)
    for runs, label in cases:
        per_event = child(MEMORY_CHILD, shape, total, runs)
        rows.append((f"resident memory per held event [{shape}] ({total:,} held, {label})", None, None,
                     f"{per_event:,.0f} B (<= 600 B)"))


def bench_memory_per_run(rows):
    runs = 50_000 if QUICK else MEMORY_RUNS
    per_run = child(RUNS_CHILD, runs)
    rows.append((f"resident memory per run ({runs:,} runs of one typical event, 1,200 held)", None, None,
                 f"{per_run:,.0f} B (<= 1 KB)"))


def main():
    u = _unit_seconds()
    print(f"U = {u * 1e6:.2f} us (measured again next to each row)")
    rows = [("U: model_copy(deep=True) of the plain typical event, at the start", u, 1.0, "")]
    for shape in SELECTED:
        bench_spread(rows, shape)
    for shape in SELECTED:
        bench_stream(rows, shape)
    for shape in SELECTED:
        bench_descendants(rows, shape)
    bench_search(rows)
    bench_first_search(rows)
    for shape in SELECTED:
        bench_memory(rows, shape)
    bench_memory_per_run(rows)
    report(rows)


if __name__ == "__main__":
    main()
