"""Child process of the crash test: appends events ``start``..``total`` to a log file and prints
``a b`` (events a..b-1 are committed) after each append returns. Run as a script."""

from __future__ import annotations

import asyncio
import random
import sys

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService

T0 = 1_760_000_000_000
TYPES = ["agent_task.started", "stream.delta", "stream.delta", "tool_call_completed", "agent_task.failed", "run.waiting"]


def event(i: int) -> RuntimeEvent:
    run = i % 97
    parent = None if run < 7 else f"run-{run % 7}"
    return RuntimeEvent(
        event_id=f"evt-{i:06d}",
        event_type=TYPES[(i * 7 + run) % len(TYPES)],
        timestamp=T0 + i // 3,
        source="agent.planner",
        message=f"step {i} of run {run}",
        payload={"i": i, "text": "partial answer", "items": [i % 5, {"k": run}]},
        meta={"app_id": f"app-{run % 3}", "group_id": "team-a"},
        run=RuntimeRunContext(run_id=f"run-{run}", parent_run_id=parent, run_kind="agent_task",
                              agent_name=f"Agent {run % 4}", meta={"flow_name": "answer"}),
    )


async def main(path: str, start: int, total: int, seed: int) -> None:
    rng = random.Random(seed)
    service = RuntimeLogService(Settings({"logs.path": path, "logs.max_events": 10**6}))
    i = start
    while i < total:
        n = min(total - i, rng.choice([1, 3, 16, 64, 200]))
        events = [event(k) for k in range(i, i + n)]
        if rng.random() < 0.5:
            await service.append_events(events)
        else:
            await asyncio.gather(*(service.append_event(e) for e in events))
        sys.stdout.write(f"{i} {i + n}\n")
        sys.stdout.flush()
        i += n
    service.close()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])))
