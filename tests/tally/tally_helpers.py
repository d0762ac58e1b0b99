"""Helpers shared by the run store tests."""

from __future__ import annotations

import itertools

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext

_ids = itertools.count()


def make_event(event_type="stream.delta", *, run_id="run-1", ts=1_000, run=True, **kw) -> RuntimeEvent:
    """A RuntimeEvent; run fields go in run_fields, run=False makes a run-less event."""
    run_fields = kw.pop("run_fields", {})
    ctx = None
    if run:
        ctx = RuntimeRunContext(run_id=run_id, run_kind=run_fields.pop("run_kind", "agent_task"), **run_fields)
    return RuntimeEvent(
        event_id=kw.pop("event_id", f"evt-{next(_ids)}"), event_type=event_type, timestamp=ts, run=ctx, **kw
    )
