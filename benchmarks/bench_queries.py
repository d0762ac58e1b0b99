"""Facade queries: list_runs with resolution, get_run_tree, query_events(search=...).

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_queries.py
Figures are per run returned, per tree node, or per event scanned, and as ratios to U (the deep
copy of the typical event) and to R (the pydantic deep copy of one run record). Every timing, U
included, is the best of several rounds (the machine is shared; the median swings with other
load). The list_runs row is repeated with the cyclic garbage collector paused to show what the
collections triggered by the store's 10,000 fresh copies cost, and each facade row has a companion
row with the facade's share: the row minus the store calls it makes, timed alone.
"""

from __future__ import annotations

import gc
import time

from common import plain_event, report, typical_event

from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.Tallybook import RunRecord

T0 = 1_760_000_000_000


def best(fn, rounds: int = 7) -> float:
    """Seconds of the fastest of `rounds` calls."""
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def per_call_best(fn, number: int, rounds: int = 9) -> float:
    """Seconds per call of ``fn``: the fastest of `rounds` rounds of `number` calls."""
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t0) / number)
    return min(times)


def desk_with(buffer_limit: int = 1200):
    return TraceDesk.RuntimeTraceDesk(Settings({"observation.buffer_limit": buffer_limit}))


class FixedClock:
    """A ``time`` module stand-in whose wall clock stands at ``ms``."""

    def __init__(self, ms: int) -> None:
        self.ms = ms

    def time(self) -> float:
        return (self.ms + 0.5) / 1000

    def time_ns(self) -> int:
        return self.ms * 1_000_000 + 500_000

    def monotonic(self) -> float:
        return time.monotonic()

    def perf_counter(self) -> float:
        return time.perf_counter()


def run_event(i: int, run_id: str, parent: str | None, event_type: str, ts: int):
    ev = typical_event(i, run_id=run_id, parent=parent)
    ev.event_type = event_type
    ev.timestamp = ts
    return ev


def half_orphaned(n: int):
    """The events of n runs: n/2 finished parents, each with one open child last active before
    its parent ended (so every child resolves as orphaned)."""
    end = T0 - 100_000
    for i in range(n // 2):
        yield run_event(2 * i, f"parent-{i}", None, "agent_task.completed", end)
        yield run_event(2 * i + 1, f"child-{i}", f"parent-{i}", "agent_task.started", end - 5)


def tree_events(n: int):
    """The events of a tree of n runs under one finished root: fan-out 4, every run below it open."""
    end = T0 - 100_000
    yield run_event(0, "t0", None, "agent_task.completed", end)
    for i in range(1, n):
        yield run_event(i, f"t{i}", f"t{(i - 1) // 4}", "agent_task.started", end - 5)


def desk_of(events):
    desk = desk_with(buffer_limit=100)
    store = desk._run_store
    for ev in events:
        store.append_event(ev)
    return desk


def build_runs(n: int):
    """n runs: n/2 finished parents, each with one open child last active before it ended."""
    return desk_of(half_orphaned(n))


def build_tree(n: int):
    """A tree of n runs under one finished root: fan-out 4, every run below the root open."""
    return desk_of(tree_events(n))


def build_chain(n: int):
    """A chain of n runs under one finished root, each the only child of the one before."""
    desk = desk_with(buffer_limit=100)
    store = desk._run_store
    end = T0 - 100_000
    store.append_event(run_event(0, "c0", None, "agent_task.completed", end))
    for i in range(1, n):
        store.append_event(run_event(i, f"c{i}", f"c{i - 1}", "agent_task.started", end - 5))
    return desk


def build_events(n: int):
    desk = desk_with(buffer_limit=n)
    store = desk._run_store
    for i in range(n):
        store.append_event(typical_event(i, run_id=f"run-{i // 50}", parent="root-1"))
    return desk


def main() -> None:
    TraceDesk.time = FixedClock(T0)
    plain = plain_event()
    u = per_call_best(lambda: plain.model_copy(deep=True), 2_000)
    sample = build_runs(2)._run_store.get_run("child-0")
    assert isinstance(sample, RunRecord)
    r_unit = per_call_best(lambda: sample.model_copy(deep=True), 2_000)
    rows = [("U: model_copy(deep=True) of the typical event", u, 1.0, ""),
            ("R: model_copy(deep=True) of a run record", r_unit, r_unit / u, "")]

    n = 10_000
    desk = build_runs(n)
    assert len(desk.list_runs()) == n
    assert sum(r.status == "failed" for r in desk.list_runs()) == n // 2
    t = best(desk.list_runs) / n
    rows.append((f"list_runs() over {n} runs (half orphaned), per run", t, t / u, "<= 0.15 U"))
    rows.append(("  same, in R", t, t / r_unit, ""))
    store = desk._run_store
    t_store = best(store.list_runs) / n
    rows.append(("  of which the store's list_runs (copies), per run", t_store, t_store / u, ""))
    rows.append(("  the facade's share (resolution), per run", t - t_store, (t - t_store) / u, ""))
    gc.disable()
    try:
        t_nogc = best(desk.list_runs) / n
        t_store_nogc = best(store.list_runs) / n
    finally:
        gc.enable()
    rows.append(("  list_runs() with the collector paused, per run", t_nogc, t_nogc / u, ""))
    rows.append(("  the store's list_runs with the collector paused, per run", t_store_nogc, t_store_nogc / u, ""))

    per_node = {}
    for size in (500, 1_000, 2_000):
        desk = build_tree(size)
        tree = desk.get_run_tree("t0")
        assert tree is not None
        t = best(lambda: desk.get_run_tree("t0")) / size
        per_node[size] = t
        rows.append((f"get_run_tree over {size} runs, per node", t, t / u, "<= 0.2 U"))
        ids = [f"t{i}" for i in range(size)]
        store = desk._run_store
        t_kids = best(lambda: [store.get_run_children(i) for i in ids]) / size
        rows.append(("  the facade's share (minus the store's get_run_children), per node",
                     t - t_kids, (t - t_kids) / u, ""))
    growth = per_node[2_000] / per_node[500]
    rows.append((f"get_run_tree per node, 2,000 runs / 500 runs: {growth:.2f}x", None, None, "<= 1.15x"))
    for size in (2_000, 10_000):
        desk = build_chain(size)
        t = best(lambda: desk.get_run_tree("c0"), 3) / size
        rows.append((f"get_run_tree over a {size}-deep chain, per node", t, t / u, "linear"))
        t = best(lambda: desk.get_run(f"c{size - 1}"), 3) / size
        rows.append((f"get_run of the deepest of {size} (walks the chain), per level", t, t / u, ""))

    for size in (1_200, 20_000):
        desk = build_events(size)
        assert len(desk.get_recent_events()) == size
        assert desk.query_events(search="no such text anywhere") == []
        t = best(lambda: desk.query_events(search="no such text anywhere"), 5) / size
        rows.append((f"query_events(search=miss) over {size} events, per event", t, t / u, "<= 0.15 U"))
        hits = len(desk.query_events(search="PLANNER"))
        t = best(lambda: desk.query_events(search="PLANNER"), 5) / size
        rows.append((f"query_events(search=hit, {hits} hits) over {size} events, per event", t, t / u, ""))
        t_base = best(lambda: desk._run_store.get_recent_events(), 5) / size
        rows.append(("  of which the store's get_recent_events (copies), per event", t_base, t_base / u, ""))
    report(rows)


if __name__ == "__main__":
    main()
