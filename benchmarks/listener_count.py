"""Instructions per event of the listener's steps, counted with callgrind: a diagnostic, not a
benchmark row (counts do not depend on the load, unlike the times of ``listener_phases.py``).

Run: PYTHONPATH=src:benchmarks python benchmarks/listener_count.py   (needs valgrind)

Each count is a child process that builds the listener's core on a new database, ingests 1,000
warm-up events, then takes 4,000 typical events in bodies of 200 (as ``RemoteTraceSink`` sends
them) up to a step: ``decode`` (the body to masked events), ``store`` (the log service's
``prepare`` on the event loop and its writer thread up to the commit), ``feed`` (the desk's intake
and the stream ring, after the answer). The difference between consecutive steps over 4,000 is
the count per event of that step (both threads); ``decode, Python roads`` decodes without the
native reading. U is about 266,000 instructions (``model_copy(deep=True)`` of the plain model).
"""

from __future__ import annotations

import os
import re
import subprocess
import sys

EVENTS = 4000

CHILD = r"""
import asyncio, gc, os, sys, tempfile
from pathlib import Path
from listener_phases import bodies
from orvane_devtools.listener import decode
from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore

step, events = sys.argv[1], int(sys.argv[2])
if step == "python":
    decode._native = lambda body: None
core = ListenerCore(ListenerConfig(db_path=Path(tempfile.mkdtemp()) / "count.sqlite3"))
warm, docs = bodies(1000, "warm"), bodies(events, "run")

async def main():
    for doc in warm:
        await core.ingest(core.decode(doc))
    # The server's collector settings (see listener/server.py).
    gc.collect(); gc.freeze(); gc.set_threshold(10_000, 20, 20)
    for doc in docs:
        if step == "none":
            continue
        batch = core.decode(doc)
        if step in ("decode", "python"):
            continue
        result = await core.store(batch)
        if step == "store":
            continue
        await core.feed(result)
    await core.log_service.flush()
    os._exit(0)  # the close and the interpreter's exit are not counted

asyncio.run(main())
"""


def count(step: str) -> int:
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", CHILD,
         step, str(EVENTS)],
        capture_output=True, text=True, check=True, env=os.environ,
    ).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def main() -> None:
    counts = {step: count(step) for step in ("none", "python", "decode", "store", "feed")}
    rows = [
        ("decode, Python roads", counts["python"] - counts["none"]),
        ("decode", counts["decode"] - counts["none"]),
        ("store (prepare, writer)", counts["store"] - counts["decode"]),
        ("feed (desk, stream ring)", counts["feed"] - counts["store"]),
        ("decode + store + feed", counts["feed"] - counts["none"]),
    ]
    for name, total in rows:
        per = total / EVENTS
        print(f"{name:26s} {per:10,.0f} instructions per event ({per / 266_000:.3f} U)")


if __name__ == "__main__":
    main()
