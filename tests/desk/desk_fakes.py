"""Fakes for the facade tests: a recording store, settings that log every read, events."""

from __future__ import annotations

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation import TraceDesk


class RecordingStore:
    backend_name = "recording"

    def __init__(self, log=None, **kwargs):
        self.kwargs = kwargs
        self.events = []
        self.resets = 0
        self.log = log

    def append_event(self, event):
        if self.log is not None:
            self.log.append(("store", event))
        self.events.append(event)

    def reset(self):
        self.resets += 1
        self.events.clear()


class LoggingSettings:
    """Settings object of our own: only ``get`` exists; every read is logged."""

    def __init__(self, values=None):
        self.values = dict(values or {})
        self.reads = []

    def get(self, key, default=None):
        self.reads.append((key, default))
        return self.values.get(key, default)


def make_event(i=0, run_id="run-1", event_id=None, **kw):
    return RuntimeEvent(
        event_id=event_id or f"evt-{i}",
        event_type=kw.pop("event_type", "stream.delta"),
        timestamp=1_700_000_000_000 + i,
        message=kw.pop("message", f"message {i}"),
        payload=kw.pop("payload", {"n": i, "items": [1, {"k": "v"}]}),
        meta=kw.pop("meta", {"app_id": "app"}),
        run=RuntimeRunContext(run_id=run_id, run_kind="agent_task", meta={"flow_name": "answer"}),
        **kw,
    )
