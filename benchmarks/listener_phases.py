"""Where the listener's time per event goes, without HTTP: a diagnostic, not a benchmark row.

Run: PYTHONPATH=src:benchmarks python benchmarks/listener_phases.py [EVENTS]   (default 40,000)

Builds the listener's core on a new database in a temporary folder and hands it bodies of 200
typical events (as ``RemoteTraceSink`` sends them) one after the other, as one sender does:

* decode: the body to validated, masked events (event loop);
* store: the events to the log service and the wait for their commit: what the sender waits for
  after decoding (event loop, then the log service's writer thread);
* feed: the desk's intake and the stream ring, which the server runs after the answer has left.

Prints the wall time of each step and the CPU time of the event loop's thread and of the other
threads (the writer), per event and per 1,000 events, and in U.
"""

from __future__ import annotations

import asyncio
import gc
import json
import os
import shutil
import sys
import tempfile
import threading
import time
from pathlib import Path

from common import typical_fields, unit_seconds

from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore

BATCH = 200


def bodies(total: int, tag: str) -> list[bytes]:
    out = []
    for r in range(total // BATCH):
        events = [typical_fields(r * BATCH + i, run_id=f"{tag}-run-{(r * BATCH + i) // 1000}", parent=None)
                  for i in range(BATCH)]
        for ev in events:
            ev["event_id"] = f"{tag}-{ev['event_id']}"
        out.append(json.dumps({"app_id": "bench", "group_id": None, "environment": "local",
                               "events": events}, separators=(",", ":")).encode())
    return out


def thread_cpu() -> dict[int, float]:
    """CPU seconds (user + system) of each thread of this process."""
    ticks = os.sysconf("SC_CLK_TCK")
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            fields = Path(f"/proc/self/task/{tid}/stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        out[int(tid)] = (int(fields[11]) + int(fields[12])) / ticks
    return out


async def measure(core: ListenerCore, docs: list[bytes]) -> dict[str, float]:
    loop_tid = threading.get_native_id()
    spent = {"decode": 0.0, "store": 0.0, "feed": 0.0}
    before = thread_cpu()
    for doc in docs:
        t0 = time.perf_counter()
        batch = core.decode(doc)
        t1 = time.perf_counter()
        result = await core.store(batch)
        t2 = time.perf_counter()
        await core.feed(result)
        t3 = time.perf_counter()
        spent["decode"] += t1 - t0
        spent["store"] += t2 - t1
        spent["feed"] += t3 - t2
    after = thread_cpu()
    used = {tid: after[tid] - before.get(tid, 0.0) for tid in after}
    spent["event loop CPU"] = used.pop(loop_tid, 0.0)
    spent["other threads CPU"] = sum(used.values())
    return spent


def main() -> None:
    total = int(sys.argv[1]) if len(sys.argv) > 1 else 40_000
    u = unit_seconds()
    tmp = Path(tempfile.mkdtemp(prefix="listener-phases-"))
    try:
        core = ListenerCore(ListenerConfig(db_path=tmp / "phases.sqlite3"))
        warm, docs = bodies(5 * BATCH, "warm"), bodies(total, "run")

        async def run() -> dict[str, float]:
            for doc in warm:
                await core.ingest(core.decode(doc))
            # The server's collector settings (see listener/server.py).
            gc.collect()
            gc.freeze()
            gc.set_threshold(10_000, 20, 20)
            try:
                return await measure(core, docs)
            finally:
                gc.unfreeze()
                await core.close()

        spent = asyncio.run(run())
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    n = total // BATCH * BATCH
    print(f"U = {u * 1e6:.2f} us; {n:,} events in bodies of {BATCH}")
    print(f"{'step':34s} {'per event':>12s} {'per 1,000':>12s} {'U/event':>9s}")
    for name, seconds in spent.items():
        label = name if "CPU" in name else f"{name} (wall)"
        print(f"{label:34s} {seconds / n * 1e6:10.2f}us {seconds / n * 1e6:10.2f}ms {seconds / n / u:9.3f}")
    wait = spent["decode"] + spent["store"]
    print(f"{'the sender waits (decode + store)':34s} {wait / n * 1e6:10.2f}us {wait / n * 1e6:10.2f}ms "
          f"{wait / n / u:9.3f}")


if __name__ == "__main__":
    main()
