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


_LONG_TEXT = (
    "The planner weighed three routes, compared their costs against the budget, asked the "
    "search tool for fresh prices and kept the cheapest route that still met every constraint. "
)


def _large_payload(i: int) -> dict[str, Any]:
    return {
        "path": "agent_task.action",
        "value": {"text": "partial answer " * 4, "tokens": 12, "scores": [0.1, 0.25, 0.5, 0.75]},
        "items": [
            {"id": k, "name": f"item-{k}", "tags": ["a", "b", "c"], "price": 10.5 + k,
             "nested": {"depth": [k, [k + 1, [k + 2]]], "ok": k % 2 == 0}}
            for k in range(8)
        ],
        "messages": [{"role": "user" if k % 2 else "assistant", "content": f"turn {k} of {i}"}
                     for k in range(6)],
        "status": "running",
        "attempt": 1,
    }


SHAPES = ("typical", "large_payload", "many_meta", "long_message", "full_run")
"""Event shapes of the suite: the typical event, and one variant each with a larger payload with
nested lists, ten meta keys, a 2 KB message, and a run context with every field set."""


def shaped_fields(shape: str, i: int = 0, run_id: str = "run-1", parent: str | None = "root-1") -> dict[str, Any]:
    """Field values of event number ``i`` of the given shape (see ``SHAPES``)."""
    fields = typical_fields(i, run_id=run_id, parent=parent)
    if shape == "typical":
        pass
    elif shape == "large_payload":
        fields["payload"] = _large_payload(i)
    elif shape == "many_meta":
        fields["meta"] = {
            "app_id": "demo-app", "group_id": "team-a", "environment": "local",
            "region": "eu-west-1", "host": "worker-3", "pid": 4242, "attempt": i % 3,
            "trace_flags": "01", "model": "large-2", "user_tier": "pro",
        }
    elif shape == "long_message":
        fields["message"] = (f"step {i}: " + _LONG_TEXT * 12)[:2048]
    elif shape == "full_run":
        fields["run"].update(response_id=f"resp-{i % 7}", execution_id="exec-1")
        fields["run"]["meta"] = {"app_id": "demo-app", "flow_name": "answer", "group_id": "team-a",
                                 "environment": "local", "owner": "planner-team"}
    else:
        raise ValueError(f"unknown event shape {shape!r}")
    return fields


def typical_event(i: int = 0, **kw: Any):
    from orvane_devtools._orvane_compat import RuntimeEvent

    return RuntimeEvent(**typical_fields(i, **kw))


def shaped_event(shape: str, i: int = 0, **kw: Any):
    from orvane_devtools._orvane_compat import RuntimeEvent

    return RuntimeEvent(**shaped_fields(shape, i, **kw))


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
