"""Query and filter models of the observation API."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, ConfigDict, Field

__all__ = [
    "ObservationEventQuery",
    "ObservationRunQuery",
    "ObservationSubscriptionFilter",
    "RunTreeNode",
]


class ObservationEventQuery(BaseModel):
    """Selects stored events; ``since``/``until`` are epoch milliseconds."""

    model_config = ConfigDict(extra="forbid")

    run_id: str | None = None
    include_descendants: bool = False
    event_types: str | list[str] | None = None
    source: str | None = None
    level: str | None = None
    app_id: str | None = None
    app_id_pattern: str | None = None
    group_id: str | None = None
    search: str | None = None
    since: int | None = None
    until: int | None = None
    limit: int | None = None


class ObservationRunQuery(BaseModel):
    """Selects stored run records; ``since``/``until`` are epoch milliseconds."""

    model_config = ConfigDict(extra="forbid")

    run_id: str | None = None
    root_run_id: str | None = None
    parent_run_id: str | None = None
    run_kind: str | None = None
    status: str | None = None
    agent_id: str | None = None
    session_id: str | None = None
    app_id: str | None = None
    app_id_pattern: str | None = None
    group_id: str | None = None
    flow_name: str | None = None
    search: str | None = None
    since: int | None = None
    until: int | None = None
    limit: int | None = None


class ObservationSubscriptionFilter(BaseModel):
    """Filter of a live event subscription."""

    event_types: str | list[str] | None = None
    run_id: str | None = None
    include_descendants: bool = True
    source: str | None = None
    level: str | None = None
    app_id: str | None = None
    app_id_pattern: str | None = None
    group_id: str | None = None


class RunTreeNode(BaseModel):
    """A run record with its child nodes.  Records are kept as given (no copy)."""

    model_config = ConfigDict(arbitrary_types_allowed=True, revalidate_instances="never")

    run: Any
    children: list[RunTreeNode] = Field(default_factory=list)
