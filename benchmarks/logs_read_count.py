"""Instructions per event that ``query_events(run_id=..., include_descendants=True)`` returns from
a file-backed log service: a diagnostic, not a benchmark row (counts do not depend on the load).

Run: PYTHONPATH=src:benchmarks python benchmarks/logs_read_count.py   (needs valgrind)

Fills a file with 20,000 events of ``bench_logs`` (its 1,000-run tree of 5,000 events included),
then counts, under callgrind, processes that open the file and ask for the tree's events 0 and 3
times; the difference over 15,000 events is the count per event. It does so once with events built
from their stored JSON and once with every event validated, and prints both beside U (about
266,000 instructions: ``model_copy(deep=True)`` of the plain model).
"""

from __future__ import annotations

import asyncio
import os
import re
import shutil
import subprocess
import sys
import tempfile

CHILD = r"""
import sys
from orvane.utils import Settings
from orvane_devtools.observation import TraceDesk
from orvane_devtools.logs import _reader
if sys.argv[3] == "validate":
    _reader._member_kinds = lambda *a: None
settings = {"logs.enabled": True, "logs.path": sys.argv[1], "logs.max_events": 10_000_000}
desk = TraceDesk.RuntimeTraceDesk(Settings(settings))
ask = lambda: desk.query_events(run_id="tree-0", include_descendants=True)
desk.get_run_tree("tree-0")
assert len(ask()) == 5000
for _ in range(int(sys.argv[2])):
    ask(); [[] for _ in range(20)]  # a collection the queries made due runs here
"""


def fill(path: str) -> None:
    os.environ["BENCH_LOGS_N"] = "20000"
    import bench_logs
    from orvane.utils import Settings
    from orvane_devtools.observation import TraceDesk

    settings = {"logs.enabled": True, "logs.path": path, "logs.max_events": 10_000_000}
    desk = TraceDesk.RuntimeTraceDesk(Settings(settings))
    asyncio.run(bench_logs.fill(desk, 0, 20_000))
    asyncio.run(desk.log_service.flush())
    desk.log_service._store.index_now()
    desk.log_service.close()


def count(*args: str) -> int:
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", CHILD, *args],
        capture_output=True, text=True, check=True,
    ).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def main() -> None:
    tmp = tempfile.mkdtemp(prefix="logs-read-count-")
    try:
        path = os.path.join(tmp, "events.db")
        fill(path)
        for mode in ("built", "validate"):
            per = (count(path, "3", mode) - count(path, "0", mode)) / 15_000
            print(f"{mode:>8}: {per:,.0f} instructions per event ({per / 266_000:.3f} U)")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    main()
