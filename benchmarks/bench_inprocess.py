"""In-process operations, native against the plain-Python build of benchmarks/plain/, and how the
native ones grow with the data they hold.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_inprocess.py [--turns N]

Every row takes turns: each turn measures the native operation and the plain one (or the small
and the large case) one after the other on the same machine state, and the row gives the median
over the turns of each side and of their ratio. Times are the calling thread's CPU time (a shared
machine's other work is not counted), and U is measured on the same clock.

* ``list_runs()`` with resolution over 10,000 runs, half of them orphaned children of finished
  parents, per run: the plain build / the native one (target >= 10x).
* ``append_event_nowait`` of a fresh event on the caller's thread (thread CPU), typical and
  large-payload shapes: plain / native (target >= 10x). The native sink's listener is down and
  its worker waits out a long back-off; the plain sink's worker only waits. For the large payload
  the first-level copies that a snapshot must make (payload, meta, run meta) are timed beside it:
  where the ratio misses, the target is the native cost within 1.5x of that floor.
* ``get_run_tree`` of a tree under one finished root (fan-out 4, every run below it open), per
  node: 2,000 runs / 500 runs (native, target <= 1.2x); the plain build's figures beside it.
* The run store's append of the events of one run, typical and large-payload shapes: the mean
  cost per event of events 19,001-20,000 / of events 1-1,000 (native), for the desk's store (the
  store factory's, holding the desk's default 1,200 events: target <= 1.3x) and, for reference,
  a ``RuntimeTallybook`` holding all 20,000.
"""

from __future__ import annotations

import gc
import statistics
import sys
import time
import warnings

import plain.queries as plain_queries
from common import plain_event, report, shaped_event, typical_event
from plain import PlainRemoteSink, PlainRunQueries, PlainTallybook

from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.backends.Uplink import ObservationBridgeUnavailableWarning
from orvane_devtools.observation.Tallybook import RuntimeTallybook

from bench_queries import T0, FixedClock, half_orphaned, tree_events
from bench_uplink import idle_worker_sink

warnings.simplefilter("ignore", ObservationBridgeUnavailableWarning)


def _turns() -> int:
    for i, a in enumerate(sys.argv):
        if a == "--turns" and i + 1 < len(sys.argv):
            return int(sys.argv[i + 1])
    return 7


TURNS = _turns()


def unit_seconds(clock=time.perf_counter, number: int = 2_000, rounds: int = 9) -> float:
    """U on the given clock: the median seconds per model_copy(deep=True) of the plain typical event."""
    ev = plain_event()
    per = []
    for _ in range(rounds):
        t0 = clock()
        for _ in range(number):
            ev.model_copy(deep=True)
        per.append((clock() - t0) / number)
    return statistics.median(per)


def both_builds(events):
    """A native desk and a plain query facade, both holding the same events."""
    desk = TraceDesk.RuntimeTraceDesk(Settings({"observation.buffer_limit": 100}))
    store = PlainTallybook(100)
    for ev in events:
        desk._run_store.append_event(ev)
        store.append_event(ev)
    return desk, PlainRunQueries(store)


def dumped(records):
    return [r.model_dump(mode="json") for r in records]


def tree_dump(node):
    return None if node is None else {"run": node.run.model_dump(mode="json"),
                                      "children": [tree_dump(c) for c in node.children]}


def timed(fn) -> float:
    """Thread CPU seconds of one call (time waiting for the machine is not counted)."""
    t0 = time.thread_time()
    fn()
    return time.thread_time() - t0


def paired(first, second, turns: int = TURNS):
    """Medians over `turns` of (first's seconds, second's seconds, second / first), the two taken
    one after the other in each turn."""
    a, b, ratio = [], [], []
    for _ in range(turns):
        ta, tb = first(), second()
        a.append(ta)
        b.append(tb)
        ratio.append(tb / ta)
    return statistics.median(a), statistics.median(b), statistics.median(ratio)


def rows_list_runs(u: float) -> list:
    n = 10_000
    desk, plain = both_builds(half_orphaned(n))
    native = desk.list_runs()
    assert len(native) == n and sum(r.status == "failed" for r in native) == n // 2
    assert dumped(native) == dumped(plain.list_runs()), "the two builds answer differently"
    t_native, t_plain, ratio = paired(lambda: timed(desk.list_runs) / n, lambda: timed(plain.list_runs) / n)
    return [
        (f"list_runs() over {n:,} runs (half orphaned), per run: native", t_native, t_native / u, ""),
        ("  the same, plain build", t_plain, t_plain / u, ""),
        (f"  plain / native: {ratio:.1f}x", None, None, ">= 10x"),
    ]


def rows_run_tree(u: float) -> list:
    builds = {}
    for size in (500, 2_000):
        desk, plain = both_builds(tree_events(size))
        assert tree_dump(desk.get_run_tree("t0")) == tree_dump(plain.get_run_tree("t0"))
        builds[size] = (desk, plain)
    rows = []
    for label, pick in (("native", 0), ("plain build", 1)):
        small, large = builds[500][pick], builds[2_000][pick]
        t_small, t_large, growth = paired(lambda: timed(lambda: small.get_run_tree("t0")) / 500,
                                          lambda: timed(lambda: large.get_run_tree("t0")) / 2_000)
        rows.append((f"get_run_tree over 500 runs, per node: {label}", t_small, t_small / u, ""))
        rows.append((f"get_run_tree over 2,000 runs, per node: {label}", t_large, t_large / u, ""))
        rows.append((f"  per node, 2,000 runs / 500 runs ({label}): {growth:.2f}x", None, None,
                     "<= 1.2x" if pick == 0 else "reported"))
    desk, plain = builds[2_000]
    _, _, ratio = paired(lambda: timed(lambda: desk.get_run_tree("t0")),
                         lambda: timed(lambda: plain.get_run_tree("t0")))
    rows.append((f"  get_run_tree over 2,000 runs, plain / native: {ratio:.1f}x", None, None, "reported"))
    return rows


def _nowait_round(sink, events) -> float:
    """Thread CPU seconds per append_event_nowait of `events` into an emptied queue."""
    sink._pending_events.clear()
    t0 = time.thread_time()
    for e in events:
        sink.append_event_nowait(e)
    return (time.thread_time() - t0) / len(events)


def _first_level_copies(events) -> float:
    """Thread CPU seconds per event of the copies a snapshot of each event must make: its payload,
    meta and run meta mappings, first level (the mappings are looked up before the clock starts)."""
    maps = [(e.payload, e.meta, e.run.meta) for e in events]
    t0 = time.thread_time()
    for payload, meta, run_meta in maps:
        dict(payload)
        dict(meta)
        dict(run_meta)
    return (time.thread_time() - t0) / len(maps)


def rows_nowait(u_thread: float, rounds: int = 201, per_round: int = 20) -> list:
    rows = []
    for shape in ("typical", "large_payload"):
        native = idle_worker_sink(shaped_event(shape, 0))
        plain = PlainRemoteSink(endpoint=native.endpoint, api_key="k")
        plain.append_event_nowait(shaped_event(shape, 0))
        probe = [shaped_event(shape, i) for i in range(1, 4)]
        for sink in (native, plain):
            sink._pending_events.clear()
            for e in probe:
                sink.append_event_nowait(e)
        queued = [[e.model_dump(mode="json") for e in sink._pending_events] for sink in (native, plain)]
        assert queued[0] == queued[1], "the two sinks queue different snapshots"
        t_native, t_plain, t_floor, ratio = [], [], [], []
        for turn in range(TURNS):
            per_turn_native, per_turn_plain, per_turn_floor = [], [], []
            for r in range(rounds):
                base = (turn * rounds + r) * per_round * 3
                ev_native = [shaped_event(shape, base + i) for i in range(per_round)]
                ev_plain = [shaped_event(shape, base + per_round + i) for i in range(per_round)]
                ev_floor = [shaped_event(shape, base + 2 * per_round + i) for i in range(per_round)]
                per_turn_native.append(_nowait_round(native, ev_native))
                per_turn_plain.append(_nowait_round(plain, ev_plain))
                per_turn_floor.append(_first_level_copies(ev_floor))
            n, p = statistics.median(per_turn_native), statistics.median(per_turn_plain)
            t_native.append(n)
            t_plain.append(p)
            t_floor.append(statistics.median(per_turn_floor))
            ratio.append(p / n)
        n, p, f, q = (statistics.median(x) for x in (t_native, t_plain, t_floor, ratio))
        rows.append((f"append_event_nowait [{shape}] (thread CPU): native", n, n / u_thread, ""))
        rows.append(("  the same, plain build", p, p / u_thread, ""))
        rows.append((f"  plain / native: {q:.1f}x", None, None, ">= 10x"))
        if shape != "typical":
            # The floor replaces the 10x target only where the copies alone cost more than it allows.
            if f > p / 10:
                note = f"native / floor {n / f:.2f}x (<= 1.5x: the copies exceed plain / 10)"
            else:
                note = f"native / floor {n / f:.2f}x; the copies are under plain / 10: 10x stands"
            rows.append(("  floor: the snapshot's first-level copies (payload, meta, run meta)", f, f / u_thread,
                         note))
    return rows


def _append_windows(store, shape: str, total: int, marks: tuple[int, ...], span: int = 1_000) -> dict[int, float]:
    """Thread CPU seconds per event of `store`'s appends of one run's events: for each mark, the
    mean over the `span` events ending at it (collections and drops within it included)."""
    events = [shaped_event(shape, i, run_id="run-stream") for i in range(total)]
    gc.collect()
    out: dict[int, float] = {}
    append = store.append_event
    t0 = time.thread_time()
    for i, ev in enumerate(events, 1):
        if i % span == 1:
            t0 = time.thread_time()
        append(ev)
        if i in marks:
            out[i] = (time.thread_time() - t0) / span
    return out


def _first_thousand_with_text(store, shape: str, n: int = 1_000) -> float:
    """Thread CPU seconds per event of `n` appends of one run's events plus the first run search
    after them, which writes the search text those appends left for later."""
    events = [shaped_event(shape, i, run_id="run-stream") for i in range(n)]
    gc.collect()
    t0 = time.thread_time()
    for ev in events:
        store.append_event(ev)
    store.list_runs(search="no such text anywhere")
    return (time.thread_time() - t0) / n


def _payload_text(shape: str, n: int = 1_000) -> float:
    """Thread CPU seconds per event of the payload's search text (the store's own normalisation),
    made for `n` fresh events of the shape: the one text of a large-payload event that differs
    from the previous event's and must be written for it."""
    normalize = RuntimeTallybook._normalize_search_text
    payloads = [shaped_event(shape, 10_000_000 + i, run_id="run-stream").payload for i in range(n)]
    t0 = time.thread_time()
    for payload in payloads:
        normalize(payload)
    return (time.thread_time() - t0) / n


def rows_one_run_append(u: float) -> list:
    """The desk's store (the store factory's, with the desk's default limit of 1,200 held events)
    and, for reference, a store with room for every event."""
    rows = []
    small, large = 1_000, 20_000
    cases = (("the desk's store, 1,200 held", lambda: TraceDesk.create_observation_store(
        settings=Settings({}), max_events=1_200), "<= 1.3x"),
             ("a store holding all", lambda: RuntimeTallybook(large), "reported"))
    _append_windows(cases[0][1](), "typical", large, (large,))  # warm-up: the allocators' first pages
    for shape in ("typical", "large_payload"):
        for label, make, target in cases:
            at_small, at_large, growth, with_text, floor = [], [], [], [], []
            for _ in range(TURNS):
                w = _append_windows(make(), shape, large, (small, large))
                at_small.append(w[small])
                at_large.append(w[large])
                growth.append(w[large] / w[small])
                with_text.append(_first_thousand_with_text(make(), shape, small))
                if shape != "typical":
                    need = w[small] + _payload_text(shape)
                    floor.append((w[large] / need, need / w[small]))
            s, lg, g = statistics.median(at_small), statistics.median(at_large), statistics.median(growth)
            t = statistics.median(with_text)
            rows.append((f"append_event [{shape}], one run, {label}: events 1-{small:,}", s, s / u, ""))
            rows.append((f"  events {large - 999:,}-{large:,}", lg, lg / u, ""))
            rows.append((f"  per event, {large:,} / {small:,}: {g:.2f}x", None, None, target))
            if target != "reported":
                rows.append((f"  events 1-{small:,} with the search text they defer (first search after)",
                             t, t / u, f"{lg / t:.2f}x of it at {large:,}"))
            if floor and target != "reported":
                # The floor replaces the 1.3x target only where the text each event must add already
                # costs more than the target leaves.
                f = statistics.median(x for x, _ in floor)
                need = statistics.median(y for _, y in floor)
                rows.append(("  floor: events 1-1,000 + the payload's search text each event adds "
                             f"(_normalize_search_text, {need:.2f}x of events 1-1,000); at {large:,} / floor: "
                             f"{f:.2f}x", None, None, "<= 1.5x" if need > 1.3 else "1.3x stands"))
    return rows


def main() -> None:
    clock = FixedClock(T0)
    TraceDesk.time = clock
    plain_queries.time = clock
    u = unit_seconds(time.thread_time)
    rows = [("U: model_copy(deep=True) of the plain typical event (thread CPU)", u, 1.0, "")]
    rows += rows_list_runs(u)
    rows += rows_nowait(u)
    rows += rows_run_tree(u)
    rows += rows_one_run_append(u)
    print(f"U = {u * 1e6:.2f} us (thread CPU); {TURNS} turns per row")
    report(rows)


if __name__ == "__main__":
    main()
