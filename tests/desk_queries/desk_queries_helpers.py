"""Helpers of the facade query tests: a settable clock and event builders."""

from __future__ import annotations

from typing import Any

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext

T0 = 1_760_000_000_000


class Clock:
    """A substitute for the module's `time`: time() reads as the set milliseconds.

    Half a millisecond is added so that int(time() * 1000) gives back exactly `ms`.
    """

    def __init__(self, ms: int) -> None:
        self.ms = ms
        self.reads = 0

    def time(self) -> float:
        self.reads += 1
        return (self.ms + 0.5) / 1000

    def monotonic(self) -> float:
        return self.ms / 1000


def event(event_type: str, run_id: str | None, ts: int, *, parent: str | None = None, root: str | None = None,
          **fields: Any) -> RuntimeEvent:
    run = None
    if run_id is not None:
        run = RuntimeRunContext(run_id=run_id, parent_run_id=parent, root_run_id=root, run_kind="agent_task",
                                **fields.pop("run_fields", {}))
    return RuntimeEvent(event_type=event_type, timestamp=ts, run=run, **fields)


def feed(desk, *events: RuntimeEvent) -> None:
    """Append raw events straight to the desk's run store (no intake side effects)."""
    for ev in events:
        desk._run_store.append_event(ev)
