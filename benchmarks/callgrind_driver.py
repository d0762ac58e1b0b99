"""A driver for counting instructions of the event walks under callgrind (not a benchmark).

On a shared machine wall-clock figures move with the load; instruction counts do not. This runs
one operation over many events of one shape inside ``functools.reduce``, so that callgrind can
count exactly that loop:

    valgrind --tool=callgrind --collect-atstart=no --toggle-collect=functools_reduce \\
        .venv/bin/python benchmarks/callgrind_driver.py desk large_payload 3000

Operations: ``desk`` (await desk.append_event, no backend, one subscriber that never reads,
driven without an event loop: with no backend the coroutine completes in its first step),
``desk_jsonl`` (the same with the JSON Lines backend in a temporary directory, driven by an event
loop: counts the caller's thread and the file's writer thread alike), ``uplink``
(RemoteTraceSink.append_event_nowait with the listener down and the worker waiting out a long
back-off, so that only the caller's path runs; the queue is emptied, inside the count, every 500
events), ``store`` (RuntimeTallybook.append_event, events spread over 2,000 runs), ``stream`` /
``stream_late`` (the events of one run into a store holding 1,200: the first N / N after 19,000),
``unit`` (U itself: model_copy(deep=True) of the plain typical event, N times; the shape is
ignored), ``copy`` / ``copy_payload`` (our native deep copy of one event of the shape / of its
payload, made and released N times), ``marshal_payload`` (marshal.loads of that payload),
``descendants`` (get_run_events(include_descendants=True) of a tree of 121 runs, N calls), and two
facade queries of benchmarks/bench_queries.py (the shape argument is ignored): ``list_runs`` (N
calls of the desk's list_runs() over 10,000 runs, half orphaned) and ``tree`` (N calls of
get_run_tree of a tree of 2,000 runs; ``tree500`` of 500). Divide the "Collected" count by the
number of events (or by N times 1,210 returned events, N times 10,000 runs, N times the tree's
nodes). Set PYTHONPATH to the tree whose build is measured (and benchmarks/ for the event
shapes).
"""

from __future__ import annotations

import functools
import os
import sys

from common import shaped_event

from orvane.utils import Settings
from orvane_devtools.observation.Tallybook import RuntimeTallybook
from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk


def completed(coro):
    """The result of a coroutine that completes without suspending."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("the coroutine suspended")


def main(what: str, shape: str, n: int) -> None:
    if what == "desk":
        events = [shaped_event(shape, i, run_id=f"run-{i // 50}") for i in range(n)]
        desk = RuntimeTraceDesk(Settings({"observation.buffer_limit": 1200}))
        desk.subscribe(maxsize=10)
        for i in range(200):  # first-use look-ups out of the count
            completed(desk.append_event(shaped_event(shape, 10**7 + i, run_id="warm-up")))
        functools.reduce(lambda _, e: completed(desk.append_event(e)), events, None)
    elif what == "desk_jsonl":
        import asyncio
        import tempfile

        events = [shaped_event(shape, i, run_id=f"run-{i // 50}") for i in range(n)]
        tmp = tempfile.mkdtemp(prefix="callgrind-desk-")
        desk = RuntimeTraceDesk(Settings({"observation.jsonl.enabled": True,
                                          "observation.jsonl.path": os.path.join(tmp, "events.jsonl")}))

        async def append_all(batch):
            for e in batch:
                await desk.append_event(e)

        loop = asyncio.new_event_loop()
        warm = [shaped_event(shape, 10**7 + i, run_id="warm-up") for i in range(200)]
        loop.run_until_complete(append_all(warm))
        functools.reduce(lambda _, batch: loop.run_until_complete(append_all(batch)), [events], None)
        import shutil

        shutil.rmtree(tmp, ignore_errors=True)
    elif what == "uplink":
        import warnings

        from bench_uplink import idle_worker_sink

        warnings.simplefilter("ignore")
        sink = idle_worker_sink(shaped_event(shape, 10**7), timeout=60, settle=0.2)
        for i in range(200):
            sink.append_event_nowait(shaped_event(shape, 10**7 + 1 + i))
        sink._pending_events.clear()
        chunks = [[shaped_event(shape, k + i) for i in range(500)] for k in range(0, n, 500)]

        def step(_, chunk):
            for e in chunk:
                sink.append_event_nowait(e)
            sink._pending_events.clear()

        functools.reduce(step, chunks, None)
    elif what in ("unit", "copy", "copy_payload", "marshal_payload"):
        import marshal

        from common import plain_event
        from orvane_devtools.observation.TraceSink import _deep_copy

        ev = shaped_event(shape, 7)
        frozen = marshal.dumps(ev.payload)
        plain = plain_event()
        step = {
            "unit": lambda _, __: plain.model_copy(deep=True),
            "copy": lambda _, __: _deep_copy(ev),
            "copy_payload": lambda _, __: _deep_copy(ev.payload),
            "marshal_payload": lambda _, __: marshal.loads(frozen),
        }[what]
        for _ in range(200):
            step(None, None)
        functools.reduce(step, range(n), None)
    elif what in ("stream", "stream_late"):
        # One run's events into the desk's store (1,200 held): its first N, or N after 19,000
        # uncounted ones (the run has outgrown its ring: each event's search text is written as it
        # comes).
        before = 19_000 if what == "stream_late" else 0
        events = [shaped_event(shape, i, run_id="run-stream") for i in range(before + n)]
        store = RuntimeTallybook(1200)
        for e in events[:before]:
            store.append_event(e)
        functools.reduce(lambda _, e: store.append_event(e), events[before:], None)
    elif what == "store":
        events = [shaped_event(shape, i, run_id=f"run-{i % 2000}") for i in range(n)]
        store = RuntimeTallybook(1200)
        for i in range(2000):  # every run exists before the count
            store.append_event(shaped_event(shape, 10**7 + i, run_id=f"run-{i % 2000}"))
        functools.reduce(lambda _, e: store.append_event(e), events, None)
    elif what == "descendants":
        store = RuntimeTallybook(5000)
        tree = [("root", None)] + [(f"c{k:02d}", "root") for k in range(20)]
        tree += [(f"c{k:02d}-g{j}", f"c{k:02d}") for k in range(20) for j in range(5)]
        i = 0
        for _ in range(10):
            for run_id, parent in tree:
                store.append_event(shaped_event(shape, i, run_id=run_id, parent=parent))
                i += 1
        store.get_run_events("root", include_descendants=True)
        functools.reduce(lambda _, __: store.get_run_events("root", include_descendants=True), range(n), None)
    elif what in ("list_runs", "tree", "tree500"):
        import bench_queries

        bench_queries.TraceDesk.time = bench_queries.FixedClock(bench_queries.T0)
        if what == "list_runs":
            desk = bench_queries.build_runs(10_000)
            call = desk.list_runs
        else:
            desk = bench_queries.build_tree(2_000 if what == "tree" else 500)
            call = functools.partial(desk.get_run_tree, "t0")
        call()
        functools.reduce(lambda _, __: call(), range(n), None)
    else:
        raise SystemExit(f"unknown operation {what!r}: desk, desk_jsonl, uplink, unit, copy, copy_payload, "
                         "marshal_payload, store, stream, stream_late, descendants, list_runs, tree or tree500")
    sys.stdout.flush()
    os._exit(0)  # the events' release at exit stays out of the count (and out of the wait)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
