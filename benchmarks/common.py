"""Shared pieces of the benchmark suite: the typical event and the unit U.

U is the cost of ``model_copy(deep=True)`` of a plain pydantic model with the same fields and
values as the typical event (a run context with meta, a payload of about five keys with a nested
list, a meta of three keys), measured in the same process and run as the operation it scales.
"""

from __future__ import annotations

import json
import os
import statistics
import sys
import time
from typing import Any, Callable

from pydantic import BaseModel, Field


class PlainRun(BaseModel):
    run_id: str
    root_run_id: str | None = None
    parent_run_id: str | None = None
    run_kind: Any = None
    agent_id: str | None = None
    agent_name: str | None = None
    session_id: str | None = None
    response_id: str | None = None
    execution_id: str | None = None
    meta: dict[str, Any] = Field(default_factory=dict)


class PlainEvent(BaseModel):
    event_id: str
    event_type: str
    timestamp: int
    source: str | None = None
    level: Any = "info"
    message: str | None = None
    payload: Any = None
    error: Any = None
    meta: dict[str, Any] = Field(default_factory=dict)
    run: PlainRun | None = None


def typical_fields(i: int = 0, run_id: str = "run-1", parent: str | None = "root-1") -> dict[str, Any]:
    """Field values of the typical event number ``i``."""
    return {
        "event_id": f"evt-{i:08d}",
        "event_type": "agent_task.action.completed" if i % 10 == 9 else "stream.delta",
        "timestamp": 1_760_000_000_000 + i,
        "source": "agent.planner",
        "level": "info",
        "message": f"step {i} produced a partial answer",
        "payload": {
            "path": "agent_task.action",
            "value": {"text": "partial answer", "tokens": 12},
            "items": [1, 2, {"k": "v"}],
            "status": "running",
            "attempt": 1,
        },
        "error": None,
        "meta": {"app_id": "demo-app", "group_id": "team-a", "environment": "local"},
        "run": {
            "run_id": run_id,
            "root_run_id": parent or run_id,
            "parent_run_id": parent,
            "run_kind": "agent_task",
            "agent_id": "agent-7",
            "agent_name": "Planner",
            "session_id": "session-1",
            "response_id": None,
            "execution_id": "exec-1",
            "meta": {"app_id": "demo-app", "flow_name": "answer"},
        },
    }


def typical_event(i: int = 0, **kw: Any):
    from orvane_devtools._orvane_compat import RuntimeEvent

    return RuntimeEvent(**typical_fields(i, **kw))


def plain_event(i: int = 0, **kw: Any) -> PlainEvent:
    return PlainEvent(**typical_fields(i, **kw))


def per_call(fn: Callable[[], Any], number: int, repeat: int = 5) -> float:
    """Median seconds per call of ``fn`` over ``repeat`` rounds of ``number`` calls."""
    rounds = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(number):
            fn()
        rounds.append((time.perf_counter() - t0) / number)
    return statistics.median(rounds)


def unit_seconds(number: int = 20_000, repeat: int = 7) -> float:
    """U: seconds per ``model_copy(deep=True)`` of the plain typical event."""
    ev = plain_event()
    return per_call(lambda: ev.model_copy(deep=True), number, repeat)


def peak_rss_kb() -> int:
    import resource

    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def current_rss_kb() -> int:
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    import os

    return pages * os.sysconf("SC_PAGE_SIZE") // 1024


def report(rows: list[tuple[str, float | None, float | None, str]]) -> None:
    """Print rows of (operation, seconds per op, ratio to U, target).

    When ORVANE_BENCH_ROWS names a file (the suite runner sets it), the rows and this process's
    peak resident memory are also appended to it as one JSON document per line.
    """
    out = os.environ.get("ORVANE_BENCH_ROWS")
    if out:
        with open(out, "a", encoding="utf-8") as f:
            f.write(json.dumps({"rows": rows, "peak_rss_kb": peak_rss_kb(), "script": sys.argv[0]}) + "\n")
    print(f"{'operation':64} {'per op':>10} {'ratio':>8}  target")
    for op, sec, ratio, target in rows:
        s = f"{sec * 1e6:8.2f}us" if sec is not None else "-"
        r = f"{ratio:7.3f}U" if ratio is not None else "-"
        print(f"{op:64} {s:>10} {r:>8}  {target}")
