"""Cost of ``await desk.append_event(event)`` on the facade, as ratios to U.

Cases: no backend and one subscriber, for every event shape of ``common.SHAPES``, each with the
facade's own share (the same case minus the run store's append of the same events alone); the
JSON Lines backend (no subscriber); for the large-payload shape, reference rows for the least
that one independent copy of the event costs (our deep copy of the event and of its payload alone,
marshal.loads of the payload) beside the store's append of it. Each case awaits many distinct
events one after the other inside one running event loop. Each figure, U included, is the fastest of several rounds (the
machine is shared: the fastest round is the one least disturbed by other work).

The run store is the real one from the store factory when the Tallybook module is built;
otherwise a stand-in that only keeps a count is used (said so in the output).
"""

from __future__ import annotations

import asyncio
import marshal
import os
import shutil
import statistics
import sys
import tempfile
import time

from common import SHAPES, plain_event, report, shaped_event, typical_event

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


def _best_unit(rounds: int = 9, number: int = 2000) -> float:
    """U as the fastest of several rounds, like the operations it scales here."""
    ev = plain_event()
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(number):
            ev.model_copy(deep=True)
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def _desk_and_store(shape: str, n: int, rounds: int, start: int) -> tuple[float, float]:
    """Seconds per event of ``await desk.append_event`` (no backend, one subscriber) and of the
    run store's own append_event of the same kind of events (fresh copies), the fastest of
    `rounds` rounds each; the two kinds of round alternate, so both see the same load."""
    desk = TraceDesk.RuntimeTraceDesk(Settings({"observation.buffer_limit": 1200}))
    desk.subscribe(maxsize=10)
    store = TraceDesk.create_observation_store(settings=Settings({}), max_events=1200)

    async def desk_round(events):
        t0 = time.perf_counter()
        for e in events:
            await desk.append_event(e)
        return (time.perf_counter() - t0) / len(events)

    async def main():
        best_desk = best_store = float("inf")
        offset = start
        for _ in range(rounds):
            best_desk = min(best_desk, await desk_round(_events(n, offset, shape)))
            copies = [e.model_copy(deep=True) for e in _events(n, offset + 1_000_000, shape)]
            offset += n
            t0 = time.perf_counter()
            for e in copies:
                store.append_event(e)
            best_store = min(best_store, (time.perf_counter() - t0) / n)
        return best_desk, best_store

    return asyncio.run(main())


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
        return min(rounds)

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


def _best_per_call(fn, number: int, rounds: int = 9) -> float:
    """Seconds per call of ``fn``, the fastest of several rounds (as the rows it is set beside)."""
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - t0) / number)
    return best


def _floor_rows(u: float, store_large: float) -> list:
    """What one independent copy of the large-payload event costs at the least, beside the store's
    append of it: the floor under the facade's append of that shape, whose intake must make one
    independent deep copy (for the channel buffer and the subscribers) and hand it to the store.
    Each copy is released right after it is made, as the facade's copies are released in the end."""
    from orvane_devtools.observation.TraceSink import _deep_copy

    ev = shaped_event("large_payload", 7)
    payload = ev.payload
    frozen = marshal.dumps(payload)
    number = 5000
    rows = []
    copy_event = _best_per_call(lambda: _deep_copy(ev), number)
    copy_payload = _best_per_call(lambda: _deep_copy(payload), number)
    unmarshal = _best_per_call(lambda: marshal.loads(frozen), number)
    rows.append(("  reference [large_payload]: our deep copy of the event alone (made, released)",
                 copy_event, copy_event / u, "-"))
    rows.append(("  reference [large_payload]: our deep copy of its payload dict alone",
                 copy_payload, copy_payload / u, "-"))
    rows.append(("  reference [large_payload]: marshal.loads of that payload (59 containers)",
                 unmarshal, unmarshal / u, "-"))
    rows.append(("  reference [large_payload]: the run store's append of the event alone",
                 store_large, store_large / u, "-"))
    rows.append(("  floor [large_payload]: the event's copy + the store's append",
                 copy_event + store_large, (copy_event + store_large) / u, "vs 0.4 U"))
    return rows


def main() -> None:
    note = _store_note()
    n = int(os.environ.get("BENCH_N", "2000"))
    u = _best_unit()
    rows = []

    store_large = None
    for k, shape in enumerate(SHAPES):
        sec, store = _desk_and_store(shape, n, 9, 40_000_000 * (k + 1))
        rows.append((f"append_event, no backend, one subscriber [{shape}]", sec, sec / u, "<= 0.4 U"))
        rows.append((f"  the facade's share (minus the store's append alone) [{shape}]",
                     sec - store, (sec - store) / u, "-"))
        if shape == "large_payload":
            store_large = store
    if store_large is not None and note == "real store":
        rows.extend(_floor_rows(u, store_large))

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

    print(f"U = {u * 1e6:.2f}us, best of rounds  ({note}; python {sys.version.split()[0]})")
    report(rows)


if __name__ == "__main__":
    main()
