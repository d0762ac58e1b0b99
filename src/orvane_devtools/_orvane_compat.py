"""Runtime event and run-context models exchanged with the orvane host."""

from __future__ import annotations

import time
import uuid
from typing import Any

from pydantic import BaseModel, Field

__all__ = ["RuntimeEvent", "RuntimeRunContext"]


def _new_event_id() -> str:
    return uuid.uuid4().hex


def _now_ms() -> int:
    return time.time_ns() // 1_000_000


class RuntimeRunContext(BaseModel):
    """Identifies the run an event belongs to and where it sits in the run tree."""

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


class RuntimeEvent(BaseModel):
    """One event emitted by the host; ``timestamp`` is in epoch milliseconds."""

    event_id: str = Field(default_factory=_new_event_id)
    event_type: str
    timestamp: int = Field(default_factory=_now_ms)
    source: str | None = None
    level: Any = "info"
    message: str | None = None
    payload: Any = None
    error: Any = None
    meta: dict[str, Any] = Field(default_factory=dict)
    run: RuntimeRunContext | None = None
