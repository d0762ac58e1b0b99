"""The run store factory: ``create_observation_store`` and the ``ObservationStoreBackend`` protocol."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol, runtime_checkable

if TYPE_CHECKING:  # pragma: no cover
    from orvane_devtools._orvane_compat import RuntimeEvent

    from .Tallybook import RunRecord, RunStatus

__all__ = ["ObservationStoreBackend", "create_observation_store"]


@runtime_checkable
class ObservationStoreBackend(Protocol):
    """What a run store offers the observation facade."""

    backend_name: str

    def append_event(self, event: RuntimeEvent) -> None: ...

    def list_runs(
        self,
        *,
        run_id: str | None = None,
        root_run_id: str | None = None,
        parent_run_id: str | None = None,
        run_kind: str | None = None,
        status: RunStatus | None = None,
        agent_id: str | None = None,
        session_id: str | None = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        flow_name: str | None = None,
        search: str | None = None,
        since: int | None = None,
        until: int | None = None,
        limit: int | None = None,
    ) -> list[RunRecord]: ...

    def get_run(self, run_id: str) -> RunRecord | None: ...

    def get_run_children(self, run_id: str) -> list[RunRecord]: ...

    def get_run_events(
        self, run_id: str, *, limit: int | None = None, include_descendants: bool = False
    ) -> list[RuntimeEvent]: ...

    def get_recent_events(self, *, limit: int | None = None) -> list[RuntimeEvent]: ...

    def get_event(self, event_id: str) -> RuntimeEvent | None: ...

    def reset(self) -> None: ...


def create_observation_store(*, settings: Any = None, max_events: int = 1200) -> ObservationStoreBackend:
    """Return the in-memory run store holding at most ``max_events`` events per ring.

    ``max_events`` is an integer (another real number is truncated); a value below 1 counts as 1.
    Anything else is refused with the store's argument type error. ``settings`` is accepted for
    stores configured from the host's settings; the in-memory store needs none.
    """
    from .Tallybook import RuntimeTallybook

    if max_events is None or isinstance(max_events, (str, bytes, bytearray)):
        return RuntimeTallybook(max_events)  # raises the argument type error
    try:
        count = int(max_events)
    except (TypeError, ValueError):
        return RuntimeTallybook(max_events)  # raises the argument type error
    return RuntimeTallybook(max(1, count))
