"""What the cycle collector costs the listener with one sender and with several at once: a
diagnostic, not a benchmark row.

Run: PYTHONPATH=src:benchmarks python benchmarks/listener_collector.py [IN_FLIGHT [THRESHOLD]]
     (defaults: 10 requests in flight, the listener's own first threshold)

Builds the listener's core on a new database in a temporary folder and hands it 40,000 typical
events in bodies of 200, ``IN_FLIGHT`` bodies at a time (decode, store, feed, as the server does
for concurrent requests), with the collector set as the server sets it (the first threshold
``THRESHOLD`` when given). Prints the CPU and wall time per event and the collections of each
generation with the time they took (``gc.callbacks``). A young collection comes when the objects
alive have grown by the first threshold since the last one; requests in flight together hold
their objects at once.
"""

from __future__ import annotations

import asyncio
import gc
import shutil
import sys
import tempfile
import time
from pathlib import Path

from listener_phases import BATCH, bodies

from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore
from orvane_devtools.listener.server import GC_THRESHOLDS


async def _one(core: ListenerCore, doc: bytes) -> None:
    result = await core.store(core.decode(doc))
    await core.feed(result)


async def _send(core: ListenerCore, docs: list[bytes], in_flight: int) -> None:
    for k in range(0, len(docs), in_flight):
        await asyncio.gather(*(_one(core, d) for d in docs[k:k + in_flight]))


def main() -> None:
    in_flight = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    first = int(sys.argv[2]) if len(sys.argv) > 2 else GC_THRESHOLDS[0]
    spent = [0.0, 0.0, 0.0]
    counts = [0, 0, 0]
    started: dict[int, float] = {}

    def watch(phase: str, info: dict) -> None:
        g = info["generation"]
        if phase == "start":
            started[g] = time.perf_counter()
        else:
            spent[g] += time.perf_counter() - started.pop(g, time.perf_counter())
            counts[g] += 1

    tmp = Path(tempfile.mkdtemp(prefix="listener-collector-"))
    try:
        core = ListenerCore(ListenerConfig(db_path=tmp / "collector.sqlite3"))
        warm, docs = bodies(60 * BATCH, "warm"), bodies(40_000, "run")

        async def run() -> tuple[float, float]:
            await _send(core, warm, 1)
            gc.collect()
            gc.freeze()
            gc.set_threshold(first, *GC_THRESHOLDS[1:])
            gc.callbacks.append(watch)
            try:
                c0, t0 = time.process_time(), time.perf_counter()
                await _send(core, docs, in_flight)
                return time.process_time() - c0, time.perf_counter() - t0
            finally:
                gc.callbacks.remove(watch)
                gc.unfreeze()
                await core.close()

        cpu, wall = asyncio.run(run())
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    n = len(docs) * BATCH
    print(f"{n:,} events, {in_flight} bodies of {BATCH} in flight, first threshold {first:,}")
    print(f"CPU per event {cpu / n * 1e6:.1f} us, wall per event {wall / n * 1e6:.1f} us")
    for g in range(3):
        print(f"generation {g}: {counts[g]} collections, {spent[g] * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
