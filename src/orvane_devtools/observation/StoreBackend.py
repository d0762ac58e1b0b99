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


DEFAULT_MAX_RUNS = 100_000
"""Runs the in-memory store keeps when the settings do not say (``observation.max_runs``)."""


def _max_runs_from(settings: Any) -> int:
    """``observation.max_runs`` from the host's settings, read and coerced as every integer
    setting of the observation layer is (see ``_coerce_int_setting``); at least 1."""
    get = getattr(settings, "get", None)
    if settings is None or not callable(get):
        return DEFAULT_MAX_RUNS
    from .TraceDesk import _coerce_int_setting

    return max(1, _coerce_int_setting(get("observation.max_runs", DEFAULT_MAX_RUNS), DEFAULT_MAX_RUNS))


def create_observation_store(*, settings: Any = None, max_events: int = 1200) -> ObservationStoreBackend:
    """Return the in-memory run store holding at most ``max_events`` events per ring.

    ``max_events`` is an integer (another real number is truncated); a value below 1 counts as 1.
    Anything else is refused with the store's argument type error.

    ``settings`` is the host's settings object (read through ``get(key, default)``) or None. The
    store reads ``observation.max_runs`` from it: the most runs it keeps (default 100,000; a value
    below 1 counts as 1; a value that is not an integer, a float, integer text or a boolean, or
    that is not finite or does not fit 64 bits, falls back to the default). Beyond it the oldest
    finished runs whose events have all left the recent events are dropped first, then the oldest
    runs; the store counts them in ``evicted_run_count``.
    """
    from .Tallybook import RuntimeTallybook

    max_runs = _max_runs_from(settings)
    if max_events is None or isinstance(max_events, (str, bytes, bytearray)):
        return RuntimeTallybook(max_events, max_runs=max_runs)  # raises the argument type error
    try:
        count = int(max_events)
    except (TypeError, ValueError):
        return RuntimeTallybook(max_events, max_runs=max_runs)  # raises the argument type error
    return RuntimeTallybook(max(1, count), max_runs=max_runs)
