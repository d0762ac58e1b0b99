"""Instructions per event of ``await desk.append_event`` into a file-backed log service, inside
``log_service.batch()`` blocks of 256: a diagnostic, not a benchmark row (counts do not depend on
the load).

Run: PYTHONPATH=src:benchmarks python benchmarks/logs_append_count.py   (needs valgrind)

Fills a file with the first 30,000 events of ``bench_logs`` (its two trees included), then counts,
under callgrind with one count per thread, processes that open a copy of the file, make 7,680 events and append the first
2,560 or all of them (then bring the trigram index up to date and close the service, so the
deferred work of the appended events is counted too). The difference over 5,120 events is the
count per event, given for the whole process, the calling thread and the writer thread, beside U
(about 266,000 instructions: ``model_copy(deep=True)`` of the plain model).

``LOGS_COUNT_SET="NAME=VALUE,..."`` sets constants of the writer's modules (``_writer``,
``_transaction``, ``_maintenance``: whichever has the name) or, for names that begin with
``sqlite.``, of ``_sqlite`` in the counted processes, to compare variants, e.g.
``LOGS_COUNT_SET="NATIVE_ROWS=0,INDEX_BATCH=1000000000"``.
"""

from __future__ import annotations

import asyncio
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

FILLED = 30_000  # past both trees of bench_logs: runs of 50 events
SMALL, LARGE = 2_560, 7_680
U_INSTRUCTIONS = 266_000

CHILD = r"""
import asyncio, os, sys
sys.path.insert(0, sys.argv[3])
os.environ["BENCH_LOGS_N"] = "500000"
import bench_logs
from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk
from orvane_devtools.logs import _maintenance, _sqlite, _transaction, _writer
for item in filter(None, os.environ.get("LOGS_COUNT_SET", "").split(",")):
    name, value = item.split("=")
    if name.startswith("sqlite."):
        module, name = _sqlite, name[7:]
    else:
        module = next((m for m in (_writer, _transaction, _maintenance) if hasattr(m, name)), None)
    if module is None or not hasattr(module, name):
        raise SystemExit(f"LOGS_COUNT_SET: no constant {name} in the writer's modules")
    setattr(module, name, int(value))
settings = {"logs.enabled": True, "logs.path": sys.argv[1], "logs.max_events": 10_000_000}
desk = TraceDesk.RuntimeTraceDesk(Settings(settings))
start = int(sys.argv[4])
made = [bench_logs.event(k) for k in range(start, start + int(sys.argv[5]))]
asyncio.run(bench_logs.fill(desk, start, start + int(sys.argv[2]), made))
desk.log_service._store.index_now()
desk.log_service.close()
sys.stdout.flush()
os._exit(0)
"""


def fill(path: str, upto: int = FILLED) -> None:
    """Events 0..upto-1 of ``bench_logs`` into a new file at ``path``, indexed and closed."""
    os.environ["BENCH_LOGS_N"] = "500000"
    import bench_logs
    from orvane.utils import Settings
    from orvane_devtools.observation import TraceDesk

    settings = {"logs.enabled": True, "logs.path": path, "logs.max_events": 10_000_000}
    desk = TraceDesk.RuntimeTraceDesk(Settings(settings))
    asyncio.run(bench_logs.fill(desk, 0, upto))
    asyncio.run(desk.log_service.flush())
    desk.log_service._store.index_now()
    desk.log_service.close()


def count(template: str, appended: int, start: int, made: int) -> tuple[int, int, int]:
    """(whole process, main thread, writer thread) instructions of one child run: ``made`` events
    from the ``start``-th are made, the first ``appended`` of them appended."""
    tmp = tempfile.mkdtemp(prefix="logs-append-count-run-")
    try:
        path = os.path.join(tmp, "events.db")
        shutil.copy(template, path)
        out = os.path.join(tmp, "cg.out")
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run(
            ["valgrind", "--tool=callgrind", "--separate-threads=yes", f"--callgrind-out-file={out}",
             sys.executable, "-c", CHILD, path, str(appended), here, str(start), str(made)],
            capture_output=True, text=True, check=True,
        )
        per_thread = {}
        for name in glob.glob(out + "*"):
            m = re.search(r"-(\d+)$", name)
            with open(name) as f:
                text = f.read()
            total = re.search(r"^(?:totals|summary): (\d+)", text, re.M)
            if m and total:
                per_thread[int(m.group(1))] = int(total.group(1))
        main_thread = per_thread.get(1, 0)
        # The writer: the busiest other thread (threads of the import machinery are tiny).
        others = sorted((v for k, v in per_thread.items() if k != 1), reverse=True)
        return sum(per_thread.values()), main_thread, others[0] if others else 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def report(start: int, small: int, large: int, prefix: str) -> None:
    """Fill a file up to event ``start``, count appending the ``small`` and ``large`` events from
    there, and print the difference per event for the process and each thread."""
    tmp = tempfile.mkdtemp(prefix=prefix)
    try:
        template = os.path.join(tmp, "events.db")
        fill(template, start)
        first = count(template, small, start, large)
        second = count(template, large, start, large)
        n = large - small
        for label, a, b in zip(("both threads", "caller", "writer"), first, second):
            per = (b - a) / n
            print(f"{label:>12}: {per:,.0f} instructions per event ({per / U_INSTRUCTIONS:.3f} U)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main() -> None:
    report(FILLED, SMALL, LARGE, "logs-append-count-")


if __name__ == "__main__":
    main()
