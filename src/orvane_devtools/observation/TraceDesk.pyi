import asyncio
import collections
import time
import warnings
from collections.abc import Mapping
from typing import Any, Protocol

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.logs import RuntimeLogService
from orvane_devtools.observation.backends import JSONLTraceSink
from orvane_devtools.observation.flow_registry import RuntimeFlowRegistry
from orvane_devtools.observation.Query import (
    ObservationEventQuery,
    ObservationRunQuery,
    ObservationSubscriptionFilter,
    RunTreeNode,
)
from orvane_devtools.observation.StoreBackend import create_observation_store
from orvane_devtools.observation.subscriptions import (
    RuntimeObservationSubscription,
    RuntimeObservationSubscriptions,
)
from orvane_devtools.observation.Tallybook import RunRecord, RunStatus
from orvane_devtools.observation.TraceSink import RuntimeTraceSink

class _SettingsLike(Protocol):
    def get(self, key: str, default: Any = ..., /) -> Any: ...

def _coerce_int_setting(value: object, default: int | float) -> int:
    """bool -> 0/1; int as is; float truncated; integer text parsed (int() rules); anything
    else -> default. A value that is not finite or does not fit in a signed 64-bit integer also
    gives default. `default` is truncated to int; a non-number raises TypeError."""

class RuntimeTraceDesk:
    # ---------------------------------------------------------------------------------------
    # Configuration, intake, subscriptions, channel buffer and flows.
    #
    # Settings are read only through `settings.get(key, default)`. Limits are read at
    # construction; `observation.jsonl.*` and `logs.enabled` at construction and on `reload`;
    # `observation.enabled` on every `_is_enabled`.
    #
    # Backend failures during fan-out never reach the caller of `append_event`. They are counted
    # per backend in `_backend_failure_counts` (backend -> failures since the last `reload`; an
    # unhashable backend is keyed by its id()), and the first failure of a streak issues one
    # RuntimeWarning naming the backend (its `name` and class) and the error; the backend's next
    # success ends the streak (`_failing_backends` holds the backends inside one).
    # ---------------------------------------------------------------------------------------

    settings: _SettingsLike
    _run_stale_after_ms: int
    _run_orphan_after_ms: int
    _run_store: Any
    _channel_buffer: collections.deque[RuntimeEvent]
    _seen_event_ids: set[str]
    _seen_event_id_buffer: collections.deque[str]
    _subscriptions: RuntimeObservationSubscriptions
    _backends: list[RuntimeTraceSink]
    _log_service: RuntimeLogService | None
    _flow_registry: RuntimeFlowRegistry
    _backend_failure_counts: dict[Any, int]
    _failing_backends: set[Any]

    _given_log_service: Any
    _given_backends: tuple[Any, ...]

    def __init__(
        self,
        settings: _SettingsLike,
        *,
        run_store: Any = None,
        log_service: Any = None,
        backends: list[Any] | tuple[Any, ...] | None = None,
    ) -> None:
        """Build the facade from ``settings``.

        Keyword-only seams for a host that owns some of the parts itself: ``run_store`` is used
        instead of ``create_observation_store(...)``; ``log_service`` instead of the one
        ``logs.enabled`` would build; ``backends`` are fed after the backends the settings ask
        for. ``reload`` keeps all three.
        """
    def reload(self) -> None:
        """Rebuild the backend list (in place) and the log service; forgets failure counts.

        The backends given at construction come back after the rebuilt ones, and a log service
        given at construction stays."""
    def reset(self) -> None:
        """Empty store, channel buffer, window, subscriptions and flow registry."""
    def _is_enabled(self) -> bool: ...
    @property
    def log_service(self) -> RuntimeLogService | None: ...
    @property
    def runtime_backend(self) -> str: ...
    def _remember_event_id(self, event_id: str) -> bool: ...
    async def append_event(self, event: RuntimeEvent) -> bool:
        """Accept one event: True when accepted, False when intake is off or the id is a duplicate.

        The event's private copy goes to the flow registry, the channel buffer, the run store and
        the subscriptions, in that order, without a suspension point; then to every backend
        (concurrently) and the log service. An append that raises before its publication is over
        (the copy, the store, a subscription's filter) leaves no trace in the facade: the id
        leaves the de-duplication window again (an id it pushed out comes back), the channel
        buffer is as before, the package's own flow registry and subscriptions never saw the
        event, and the error reaches the caller; a retry is accepted. A run store cannot take an
        event back: after the store only a replaced ``publish`` can still raise, and the store
        then keeps the event. A replaced ``_remember_event_id`` keeps its own window.
        """
    async def append_stored_event(self, event: RuntimeEvent) -> bool:
        """``append_event`` for an event the log service already holds, handed over by a caller
        that stored it there itself (the listener): the event itself becomes the desk's private
        copy (no copy is made; the caller must not change it afterwards), and the log service is
        not called. Everything else -- the window, the flow registry, the subscriptions, the
        backends with their own copies, the taking back of a failed append -- as ``append_event``."""
    async def append_events(self, events: list[RuntimeEvent]) -> int: ...
    def backend_failures(self) -> dict[Any, int]:
        """A copy of `_backend_failure_counts`."""
    def subscribe(
        self,
        *,
        filter: ObservationSubscriptionFilter | None = None,
        event_types: str | list[str] | None = None,
        run_id: str | None = None,
        include_descendants: bool = True,
        source: str | None = None,
        level: str | None = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        maxsize: int = 100,
    ) -> RuntimeObservationSubscription: ...
    def unsubscribe(self, subscription_or_id: RuntimeObservationSubscription | str) -> None: ...
    def read_channel_buffer(self) -> list[RuntimeEvent]: ...
    def drain_channel_buffer(self) -> list[RuntimeEvent]: ...
    def register_flow_definition(
        self,
        *,
        app_id: str | None,
        group_id: str | None,
        flow_name: str,
        definition: Mapping[str, Any],
        mermaid: Mapping[str, str] | None = None,
    ) -> Mapping[str, Any] | None: ...
    def resolve_flow_definition(
        self, *, app_id: str | None, group_id: str | None, flow_name: str
    ) -> Mapping[str, Any] | None: ...

    # ---------------------------------------------------------------------------------------
    # Queries: run resolution (stale and orphan runs), run queries and tree, event queries.
    #
    # Every run record returned is a resolved copy: an open run ("running"/"unknown") whose last
    # activity is `_run_stale_after_ms` or more old, or whose nearest terminal ancestor ended
    # `_run_orphan_after_ms` or more ago with no activity of the run since, is reported "failed"
    # with `devtools_stale_reason`, `devtools_stale_detected_at` (and, for an orphan,
    # `devtools_stale_anchor_at`) in its meta. One public call reads the clock once and shares
    # one cache. With a log service configured, run look-ups (other than `list_runs`) and
    # `query_events`/`get_event` go to it.
    # ---------------------------------------------------------------------------------------

    @staticmethod
    def _terminal_timestamp(record: RunRecord) -> int | None: ...
    def _get_raw_run_record(self, run_id: str) -> RunRecord | None: ...
    def _find_terminal_ancestor(
        self, record: RunRecord, *, now_ms: int, cache: dict[str, RunRecord | None], resolving: set[str]
    ) -> RunRecord | None: ...
    def _resolve_run_record(
        self, record: RunRecord | None, *, now_ms: int, cache: dict[str, RunRecord | None], resolving: set[str]
    ) -> RunRecord | None: ...
    def _resolve_run_records(
        self, records: list[RunRecord], *, status: RunStatus | str | None = None, limit: int | None = None
    ) -> list[RunRecord]: ...
    def list_runs(
        self,
        *,
        run_id: str | None = None,
        root_run_id: str | None = None,
        parent_run_id: str | None = None,
        run_kind: str | None = None,
        status: RunStatus | str | None = None,
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
    ) -> list[RunRecord]:
        """Resolved run records from the run store; ``status`` and ``limit`` apply after
        resolution. ``since``, ``until`` and ``limit`` take ints only (a float is a type error)."""
    def query_runs(self, query: ObservationRunQuery | None = None, **kwargs: Any) -> list[RunRecord]:
        """Answer a query object, or one built from the keywords when ``query`` is None.

        The fifteen filters of ``list_runs`` are checked before anything runs, given as keywords
        or read from the query object: a text filter must be a str or None, ``since``, ``until``
        and ``limit`` an int or None (a float such as 1.5 or 2.0 is refused with the type error
        naming the argument). Keywords the query model does not know are the model's to refuse.
        """
    def get_run(self, run_id: str) -> RunRecord | None: ...
    def get_run_children(self, run_id: str) -> list[RunRecord]: ...
    def get_run_tree(self, run_id: str) -> RunTreeNode | None: ...
    def get_run_events(
        self, run_id: str, *, limit: int | None = None, include_descendants: bool = False
    ) -> list[RuntimeEvent]: ...
    def get_recent_events(self, *, limit: int | None = None) -> list[RuntimeEvent]: ...
    def get_event(self, event_id: str) -> RuntimeEvent | None: ...
    def query_events(self, query: ObservationEventQuery | None = None, **kwargs: Any) -> list[RuntimeEvent]:
        """Answer a query object, or one built from the keywords when ``query`` is None.

        ``run_id`` and ``search`` must be a str or None, ``since``, ``until`` and ``limit`` an int
        or None (a float is refused with the type error naming the argument), checked before
        the store, the log service or the query model is asked.
        """
    @staticmethod
    def _normalize_search_text(value: Any) -> str: ...
    def _event_matches_search(self, event: RuntimeEvent, search: str) -> bool: ...
    def event_matches_search(self, event: RuntimeEvent, search: str) -> bool:
        """Whether ``event`` matches ``search`` as ``query_events(search=...)`` decides."""
