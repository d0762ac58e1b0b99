"""Cost of ``await desk.append_event(event)`` on the facade, as ratios to U.

Cases: no backend and one subscriber, for every event shape of ``common.SHAPES``, each with the
facade's own share (the same case minus the run store's append of the same events alone); the
JSON Lines backend (no subscriber). Each case awaits many distinct events one after the other
inside one running event loop.

The run store is the real one from the store factory when the Tallybook module is built;
otherwise a stand-in that only keeps a count is used (said so in the output).
"""

from __future__ import annotations

import asyncio
import os
import shutil
import statistics
import sys
import tempfile
import time

from common import SHAPES, report, shaped_event, typical_event, unit_seconds

from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk


class _CountingStore:
    backend_name = "counting"

    def __init__(self, **_):
        self.count = 0

    def append_event(self, event):
        self.count += 1

    def reset(self):
        self.count = 0


def _store_note() -> str:
    try:
        from orvane_devtools.observation import Tallybook  # noqa: F401
        return "real store"
    except ImportError:
        TraceDesk.create_observation_store = lambda **kw: _CountingStore(**kw)
        return "stand-in store (Tallybook not built)"


def _events(n: int, offset: int, shape: str = "typical"):
    return [shaped_event(shape, offset + i, run_id=f"run-{(offset + i) // 50}") for i in range(n)]


def _store_alone(n: int, repeat: int, start: int, shape: str) -> float:
    """The run store's append_event of the same kind of events (fresh copies), per event."""
    store = TraceDesk.create_observation_store(settings=Settings({}), max_events=1200)
    rounds = []
    offset = start
    for _ in range(repeat):
        copies = [e.model_copy(deep=True) for e in _events(n, offset, shape)]
        offset += n
        t0 = time.perf_counter()
        for e in copies:
            store.append_event(e)
        rounds.append((time.perf_counter() - t0) / n)
    return statistics.median(rounds)


def _per_event(desk, n: int, repeat: int, start: int, shape: str = "typical") -> float:
    async def one_round(events):
        t0 = time.perf_counter()
        for e in events:
            await desk.append_event(e)
        return (time.perf_counter() - t0) / len(events)

    async def main():
        rounds = []
        offset = start
        for _ in range(repeat):
            events = _events(n, offset, shape)
            offset += n
            rounds.append(await one_round(events))
        return statistics.median(rounds)

    return asyncio.run(main())


def _breakdown(n: int, u: float):
    from orvane.utils import DataFormatter

    rows = []
    store = TraceDesk.create_observation_store(settings=Settings({}), max_events=1200)
    copies = [e.model_copy(deep=True) for e in _events(n, 20_000_000)]
    t0 = time.perf_counter()
    for e in copies:
        store.append_event(e)
    sec = (time.perf_counter() - t0) / n
    rows.append(("  part: run store append_event alone", sec, sec / u, "-"))

    ev = typical_event(1)
    number = 5000
    t0 = time.perf_counter()
    for _ in range(number):
        DataFormatter.sanitize(ev.model_dump(mode="json"))
    sec = (time.perf_counter() - t0) / number
    rows.append(("  part: model_dump(mode='json') + DataFormatter.sanitize", sec, sec / u, "-"))

    from orvane_devtools.observation.backends import JSONLTraceSink, Linefile

    t0 = time.perf_counter()
    for _ in range(number):
        Linefile._encode_event(ev)
    sec = (time.perf_counter() - t0) / number
    rows.append(("  part: the sink's line for an event (dump, sanitise, encode)", sec, sec / u, "-"))

    tmp = tempfile.mkdtemp(prefix="bench-desk-")
    try:
        sink = JSONLTraceSink(os.path.join(tmp, "sink.jsonl"))

        async def sink_loop(events):
            t0 = time.perf_counter()
            for e in events:
                await sink.append_event(e)
            return (time.perf_counter() - t0) / len(events)

        sec = statistics.median(asyncio.run(sink_loop(_events(n, 30_000_000 + k * n)))
                                for k in range(5))
        rows.append(("  part: JSONLTraceSink.append_event alone", sec, sec / u, "-"))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return rows


def main() -> None:
    note = _store_note()
    n = int(os.environ.get("BENCH_N", "2000"))
    u = unit_seconds()
    rows = []

    for k, shape in enumerate(SHAPES):
        desk = TraceDesk.RuntimeTraceDesk(Settings({"observation.buffer_limit": 1200}))
        desk.subscribe(maxsize=10)
        start = 40_000_000 * (k + 1)
        sec = _per_event(desk, n, 7, start, shape)
        rows.append((f"append_event, no backend, one subscriber [{shape}]", sec, sec / u, "<= 0.4 U"))
        store = _store_alone(n, 7, start + 20_000_000, shape)
        rows.append((f"  of which the facade (minus the store's append) [{shape}]", sec - store,
                     (sec - store) / u, "-"))

    tmp = tempfile.mkdtemp(prefix="bench-desk-")
    try:
        path = os.path.join(tmp, "logs", "events.jsonl")
        desk = TraceDesk.RuntimeTraceDesk(
            Settings({"observation.jsonl.enabled": True, "observation.jsonl.path": path})
        )
        sec = _per_event(desk, n, 7, 10_000_000)
        rows.append(("append_event, JSON Lines backend", sec, sec / u, "<= 2 U"))
        with open(path, "rb") as f:
            lines = sum(1 for _ in f)
        assert lines == 7 * n, lines
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    # Where the time goes: the parts the facade calls, measured alone.
    rows.extend(_breakdown(n, u))

    print(f"U = {u * 1e6:.2f}us  ({note}; python {sys.version.split()[0]})")
    report(rows)


if __name__ == "__main__":
    main()
