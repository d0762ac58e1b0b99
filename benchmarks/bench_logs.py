"""The persistent log service (``logs.enabled`` with ``logs.path``) through the facade, as ratios to U.

One file is filled with typical events to 500,000 (``BENCH_LOGS_N`` to change), 50 per run, plus a
tree of 1,000 runs (5 events each) and a tree of 10,000 runs (one event each, four children per
run). Rows:

* sustained append: ``await desk.append_event`` inside ``log_service.batch()`` blocks of 256 (one
  commit per block: how the listener ingests a request), measured over 10,240 typical events at
  several fill levels, each window timed in ten pieces of 1,024 appended back to back (the row
  gives the median piece, the label the whole window's mean up to the writer's last commit);
  the 1,000-run tree, appended right after the first window, has a row of its own; also 64
  concurrent producers awaiting each append's own commit, and one append at a time (latency
  bound: a commit per event). The timed events are made before the clock starts.
* ``query_events(search=...)`` and ``query_runs(search=...)`` for needles that match one event;
* ``get_run_tree`` and ``query_events(run_id=..., include_descendants=True)`` of the 1,000-run
  tree: repeated (what the service keeps decoded is used again), after an append elsewhere (the
  file changed), and as the first call of a new desk on the file (nothing kept);
* the 10,000-run tree: ``get_run_tree`` and ``query_runs(root_run_id=...)`` (how the listener
  reads a tree);
* resident memory of a process that appended the same events straight to a log service (in a
  process of its own), and of this process after the fill through the facade -- whose own
  in-memory run store keeps every run's accumulated search text, outside the log service --, above
  the process before the first append; and the file's size per stored event (indexes and WAL
  included).

Every timed row gives wall time (the ratio column) and CPU time in its label: the CPU time of the
process (both the caller's and the writer's thread) for appends, of the calling thread for
queries, each over U measured in CPU time. The machine is shared and its load moves within
seconds: every timed window of appends and every timed query call is set against the mean of the
U measured just before and just after it (about 30 ms each; a query row gives the median of its
calls' ratios). The other rows use the median of U measured before the fill, just after each
timed window, after the fill and at the end.

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
import threading
import time

from common import current_rss_kb, peak_rss_kb, plain_event, report, typical_event, typical_fields

from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk

N = int(os.environ.get("BENCH_LOGS_N", "500000"))
BLOCK = 256
PIECE = 4 * BLOCK  # a timed window is measured in pieces of this many events
WINDOW = 10 * PIECE
TREE_RUNS = 1000
TREE_EVENTS = 5
TREE_AT = WINDOW  # index of the tree's first event: right after the first timed window
BIG_RUNS = 10_000
BIG_AT = 20_000  # index of the big tree's first event (when N leaves room for it)
BIG = N >= BIG_AT + BIG_RUNS + WINDOW


def run_of(i: int) -> tuple[str, str | None]:
    k = i - TREE_AT
    if 0 <= k < TREE_RUNS * TREE_EVENTS:
        node = k // TREE_EVENTS
        if node == 0:
            return "tree-0", None
        return f"tree-{node}", "tree-0" if node < 10 else f"tree-{1 + node % 9}"
    k = i - BIG_AT
    if BIG and 0 <= k < BIG_RUNS:
        return f"big-{k}", None if k == 0 else f"big-{(k - 1) // 4}"
    return f"run-{i // 50}", f"group-{(i // 50) % 100}"


def event(i: int):
    run_id, parent = run_of(i)
    if run_id.startswith("big-"):
        from orvane_devtools._orvane_compat import RuntimeEvent

        fields = typical_fields(i, run_id=run_id, parent=parent)
        fields["run"]["root_run_id"] = "big-0"
        return RuntimeEvent(**fields)
    return typical_event(i, run_id=run_id, parent=parent)


def units(number: int = 20_000, repeat: int = 7) -> tuple[float, float]:
    """U in wall seconds and in CPU seconds of this thread (medians of ``repeat`` rounds)."""
    ev = plain_event()
    walls, cpus = [], []
    for _ in range(repeat):
        t0, c0 = time.perf_counter(), time.thread_time()
        for _ in range(number):
            ev.model_copy(deep=True)
        walls.append((time.perf_counter() - t0) / number)
        cpus.append((time.thread_time() - c0) / number)
    return statistics.median(walls), statistics.median(cpus)


def writer_cpu() -> float:
    """CPU seconds of the log service threads so far (writers and checkpoints; Linux; 0 elsewhere)."""
    total = 0.0
    for t in threading.enumerate():
        if t.name.startswith("OrvaneLog") and t.native_id is not None:
            try:
                with open(f"/proc/self/task/{t.native_id}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
            except OSError:
                pass
    return total


class Clock:
    """Wall, process CPU, this thread's CPU and the writers' CPU over a span."""

    def __enter__(self) -> Clock:
        self.w0, self.p0, self.t0, self.x0 = time.perf_counter(), time.process_time(), time.thread_time(), writer_cpu()
        return self

    def __exit__(self, *exc) -> None:
        self.wall = time.perf_counter() - self.w0
        self.process = time.process_time() - self.p0
        self.thread = time.thread_time() - self.t0
        self.writer = writer_cpu() - self.x0


async def fill(desk, start: int, stop: int, made: list | None = None) -> None:
    """Events start..stop-1, in batch blocks of BLOCK (``made``: those events, made beforehand)."""
    log = desk.log_service
    i = start
    while i < stop:
        end = min(stop, i + BLOCK)
        async with log.batch():
            if made is None:
                for k in range(i, end):
                    await desk.append_event(event(k))
            else:
                for k in range(i - start, end - start):
                    await desk.append_event(made[k])
        i = end


async def concurrent(desk, made: list, producers: int) -> None:
    async def producer(j: int) -> None:
        for k in range(j, len(made), producers):
            await desk.append_event(made[k])

    await asyncio.gather(*(producer(j) for j in range(producers)))


async def one_by_one(desk, made: list) -> None:
    for e in made:
        await desk.append_event(e)


def beside_unit() -> tuple[float, float]:
    """U measured right beside one timed span (three rounds of 500 calls, about 30 ms): the
    load on this shared machine moves within seconds, so each span is set against the U of
    its own moment rather than against one U for the whole run."""
    return units(number=500, repeat=3)


def per_call(fn, repeat: int = 7, before=None) -> tuple[float, float, float]:
    """Medians over ``repeat`` calls of (wall seconds, wall / U, thread CPU / U) of one call, each
    call against the mean of the U measured just before and just after it (``before`` runs
    untimed ahead of each call, before the first U)."""
    walls, ratios, cpu_ratios = [], [], []
    unit = beside_unit()
    for _ in range(repeat):
        if before is not None:
            before()
            unit = beside_unit()
        t0, c0 = time.perf_counter(), time.thread_time()
        fn()
        wall, cpu = time.perf_counter() - t0, time.thread_time() - c0
        after = beside_unit()
        walls.append(wall)
        ratios.append(wall / ((unit[0] + after[0]) / 2))
        cpu_ratios.append(cpu / ((unit[1] + after[1]) / 2))
        unit = after
    return statistics.median(walls), statistics.median(ratios), statistics.median(cpu_ratios)


def cpu_label(c: Clock, count: int, u_cpu: float) -> str:
    """The process's CPU time per event over U, and its split between the caller and the writer."""
    return (f"cpu {c.process / count / u_cpu:.2f} U: caller {c.thread / count / u_cpu:.2f}, "
            f"writer {c.writer / count / u_cpu:.2f}")


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


def count_nodes(tree) -> int:
    nodes = 0
    stack = [tree]
    while stack:
        n = stack.pop()
        nodes += 1
        stack.extend(n.children)
    return nodes


def main() -> None:
    unit_samples = [units()]
    # In a process of its own, started while this one is small (a child's peak counts its start).
    alone = subprocess.run([sys.executable, __file__, "--service-memory", str(N)], capture_output=True,
                           text=True, check=True).stdout.split()
    tmp = tempfile.mkdtemp(prefix="bench-logs-")
    path = os.path.join(tmp, "logs", "events.db")
    settings = Settings({"logs.enabled": True, "logs.path": path, "logs.max_events": 10_000_000})
    timed: list[tuple] = []  # (label, wall s, cpu s, target, cpu kind) -- ratios once U is known
    sized: list[tuple] = []
    try:
        desk = TraceDesk.RuntimeTraceDesk(settings)
        log = desk.log_service
        gc.collect()
        base_rss = current_rss_kb()

        async def timed_fill(label: str, start: int, stop: int, target: str) -> None:
            """Events start..stop-1 in pieces of PIECE, back to back as a sustained stream (the
            writer's work after one piece overlaps the next, as it does in use), each piece timed
            on its own; the whole window is set against the U measured just before it and just
            after it (once the writer has caught up)."""
            made = [event(k) for k in range(start, stop)]  # made outside the clock
            await log.flush()
            before = beside_unit()
            pieces = []
            with Clock() as c:
                for i in range(start, stop, PIECE):
                    end = min(stop, i + PIECE)
                    t0 = time.perf_counter()
                    await fill(desk, i, end, made[i - start:end - start])
                    pieces.append((time.perf_counter() - t0) / (end - i))
                await log.flush()
            after = beside_unit()
            unit_samples.append(after)  # the other rows' U follows the load too
            timed.append((label, c, stop - start, target, pieces, ((before[0] + after[0]) / 2,
                                                                   (before[1] + after[1]) / 2)))

        async def ingest():
            levels = [WINDOW]
            for lv in (100_000, 250_000, 500_000, N):
                if lv <= N and lv - WINDOW >= levels[-1]:  # windows that do not overlap
                    levels.append(lv)
            assert levels[-1] == N, f"BENCH_LOGS_N={N} leaves no room for a second window"
            done = 0
            for level in levels:
                if level - WINDOW > done:
                    start = done
                    if start <= TREE_AT < level - WINDOW:
                        await fill(desk, start, TREE_AT)
                        await timed_fill(f"append_event, batch() blocks of {BLOCK}, the {TREE_RUNS:,}-run tree "
                                         f"({TREE_EVENTS} events per run)", TREE_AT,
                                         TREE_AT + TREE_RUNS * TREE_EVENTS, "-")
                        start = TREE_AT + TREE_RUNS * TREE_EVENTS
                    await fill(desk, start, level - WINDOW)
                await timed_fill(f"append_event, batch() blocks of {BLOCK}, at {level:,} stored", level - WINDOW,
                                 level, "<= 2 U, flat")
                done = level
            await log.flush()
            made = [event(k) for k in range(N, N + WINDOW)]
            with Clock() as c:
                await concurrent(desk, made, 64)
            timed.append((f"append_event, 64 concurrent producers, at {N:,} stored", c, WINDOW, "-"))
            made = [event(k) for k in range(N + WINDOW, N + WINDOW + 1000)]
            with Clock() as c:
                await one_by_one(desk, made)
            timed.append(("append_event, one at a time (a commit each)", c, 1000, "-"))
            await log.flush()

        asyncio.run(ingest())
        log._store.index_now()
        total = log.stats()["events"]
        assert total == N + WINDOW + 1000, total
        gc.collect()
        rss = current_rss_kb()
        unit_samples.append(units())

        def query_row(label, fn, items, target, repeat=7, before=None):
            wall, ratio, cpu_ratio = per_call(fn, repeat, before)
            timed.append((label, (wall / items, ratio / items, cpu_ratio / items), None, target))

        for label, needle in (("a message phrase", f"step {N // 2 + 1} produced"), ("an event id", f"evt-{N - 3:08d}")):
            got = desk.query_events(search=needle)
            assert len(got) == 1, (needle, len(got))
            query_row(f"query_events(search={label}), {total:,} stored", lambda: desk.query_events(search=needle), 1,
                      "<= 500 U")
        needle = f"step {N // 3 + 7} produced"
        assert len(desk.query_runs(search=needle)) == 1
        query_row(f"query_runs(search=a message phrase), {total:,} stored", lambda: desk.query_runs(search=needle), 1,
                  "<= 500 U")

        nodes = count_nodes(desk.get_run_tree("tree-0"))
        assert nodes == TREE_RUNS, nodes
        items = len(desk.query_events(run_id="tree-0", include_descendants=True))
        assert items == TREE_RUNS * TREE_EVENTS, items
        extra = [N + WINDOW + 1000]

        def append_elsewhere():
            asyncio.run(log.append_event(event(extra[0])))
            extra[0] += 1

        tree = lambda: desk.get_run_tree("tree-0")  # noqa: E731
        events = lambda: desk.query_events(run_id="tree-0", include_descendants=True)  # noqa: E731
        query_row(f"get_run_tree, {nodes:,}-run tree, per node", tree, nodes, "<= 0.5 U")
        query_row("  the same after an append elsewhere (the file changed)", tree, nodes, "<= 0.5 U",
                  before=append_elsewhere)
        query_row(f"query_events(run_id, include_descendants), {items:,} events, per event", events, items,
                  "<= 0.5 U")
        query_row("  the same after an append elsewhere (the file changed)", events, items, "<= 0.5 U",
                  before=append_elsewhere)

        # The first call of a new desk on the file: nothing decoded or kept yet.
        fresh: list = []

        def new_desk():
            while fresh:
                fresh.pop().log_service.close()
            fresh.append(TraceDesk.RuntimeTraceDesk(settings))

        query_row("  get_run_tree, first call of a new desk on the file", lambda: fresh[0].get_run_tree("tree-0"),
                  nodes, "-", repeat=5, before=new_desk)
        query_row("  query_events(run_id, include_descendants), first call of a new desk",
                  lambda: fresh[0].query_events(run_id="tree-0", include_descendants=True), items, "-", repeat=5,
                  before=new_desk)
        new_desk()
        fresh.pop().log_service.close()

        if BIG:
            big_nodes = count_nodes(desk.get_run_tree("big-0"))
            assert big_nodes == BIG_RUNS, big_nodes
            query_row(f"get_run_tree, {BIG_RUNS:,}-run tree, per node", lambda: desk.get_run_tree("big-0"), big_nodes,
                      "-", repeat=5)
            query_row("  the same after an append elsewhere (the file changed)", lambda: desk.get_run_tree("big-0"),
                      big_nodes, "-", repeat=5, before=append_elsewhere)
            assert len(desk.query_runs(root_run_id="big-0")) == BIG_RUNS
            query_row(f"query_runs(root_run_id) of that tree, {BIG_RUNS:,} records, per record",
                      lambda: desk.query_runs(root_run_id="big-0"), BIG_RUNS, "-", repeat=5,
                      before=append_elsewhere)

        stats = log.stats()
        size = stats["file_bytes"] + stats["wal_bytes"]
        sized.append((f"resident memory, {N:,} events appended to the log service alone: "
                      f"+{int(alone[0]) / 1024:.1f} MiB (peak {int(alone[1]) / 1024:.1f} MiB)", None, None,
                      "<= 150 MB"))
        sized.append((f"resident memory, {total:,} events through the facade (its own run store included): "
                      f"+{(rss - base_rss) / 1024:.1f} MiB", None, None, "-"))
        sized.append((f"file per stored event, indexes and WAL included: {size / total:,.0f} B "
                      f"({size / 2**20:,.0f} MiB)", None, None, "<= 2 KB"))
        log.close()
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    unit_samples.append(units())
    u = statistics.median(s[0] for s in unit_samples)
    u_cpu = statistics.median(s[1] for s in unit_samples)
    rows = []
    for label, measured, count, target, *pieces in timed:
        if count is None:
            wall, ratio, cpu_ratio = measured
            rows.append((f"{label} [cpu {cpu_ratio:.2f} U]", wall, ratio, target))
        elif pieces:
            # The median piece against the U beside its window: a spell of foreign load moves the
            # mean of a window, rarely the median of its pieces.
            parts, (uw, uc) = pieces
            piece = statistics.median(parts)
            c = measured
            rows.append((f"{label} [median of {len(parts)} pieces of {PIECE:,}, against the U beside "
                         f"the window ({uw * 1e6:.1f} us); whole window {c.wall / count / uw:.2f} U, "
                         f"{cpu_label(c, count, uc)}]", piece, piece / uw, target))
        else:
            c = measured
            wall = c.wall / count
            rows.append((f"{label} [{cpu_label(c, count, u_cpu)}]", wall, wall / u, target))
    print(f"U = {u * 1e6:.2f}us wall, {u_cpu * 1e6:.2f}us cpu (samples: "
          f"{', '.join(f'{w * 1e6:.1f}/{c * 1e6:.1f}' for w, c in unit_samples)})  (python {sys.version.split()[0]})")
    report(rows + sized)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--service-memory":
        service_memory(int(sys.argv[2]))
    else:
        main()
