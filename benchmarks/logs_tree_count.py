"""Instructions per event of ``await desk.append_event`` into a file-backed log service for the
events of ``bench_logs``'s 1,000-run tree (5 events per run, events 10,240 to 15,239): many short
runs, each new to the writer. A diagnostic, not a benchmark row (counts do not depend on the load).

Run: PYTHONPATH=src:benchmarks python benchmarks/logs_tree_count.py   (needs valgrind)

Fills a file with events 0 to 10,239 of ``bench_logs``, then counts, under callgrind with one count
per thread, processes that open a copy of the file, make the tree's 5,000 events and append the
first 1,000 or all of them inside ``log_service.batch()`` blocks of 256 (then bring the trigram
index up to date and close the service, as ``logs_append_count`` does). The difference over 4,000
events (800 runs) is the count per event, given for the whole process, the calling thread and the
writer thread, beside U (about 266,000 instructions: ``model_copy(deep=True)`` of the plain model).
``LOGS_COUNT_SET`` works as for ``logs_append_count``.

The counts are not quite independent of the load: the writer indexes what waits whenever no
append came for ``IDLE_DELAY``, and under valgrind on a busy machine that happens more often, in
smaller (dearer) steps. To compare two builds, count both with those steps left out:
``LOGS_COUNT_SET=INDEX_WHEN_IDLE=0`` (texts are then indexed in steps of ``INDEX_BATCH`` and at
the end).
"""

from __future__ import annotations

import os

from logs_append_count import report

TREE_AT = 10_240  # bench_logs.TREE_AT, asserted below
TREE_EVENTS = 5_000
SMALL = 1_000


def main() -> None:
    os.environ["BENCH_LOGS_N"] = "500000"
    import bench_logs

    assert bench_logs.TREE_AT == TREE_AT and bench_logs.TREE_RUNS * bench_logs.TREE_EVENTS == TREE_EVENTS
    report(TREE_AT, SMALL, TREE_EVENTS, "logs-tree-count-")


if __name__ == "__main__":
    main()
