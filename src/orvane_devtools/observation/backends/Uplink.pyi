"""The remote upload backend: RemoteTraceSink and ObservationBridgeUnavailableWarning."""

import threading
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, ClassVar, final

from typing_extensions import disjoint_base

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.TraceSink import RuntimeTraceSink

class ObservationBridgeUnavailableWarning(RuntimeWarning):
    """Issued once per outage when the DevTools listener cannot be reached."""

class ObservationBridgeEventSetAsideWarning(RuntimeWarning):
    """Issued once per sink and reason when an event leaves the queue without being uploaded:
    it cannot be encoded, or the listener refuses it on its own. Apart from
    ObservationBridgeUnavailableWarning: it reports lost events, not an outage."""

@final
class _WakeEvent:
    """A settable flag with a timed wait, as threading.Event; wakes the worker."""

    def set(self) -> None: ...
    def clear(self) -> None: ...
    def is_set(self) -> bool: ...
    def wait(self, timeout: float | None = None) -> bool: ...

@final
class _ExportState:
    """Native state of a sink (queue, counters, locks, worker); not instantiable."""

@final
class _Capture:
    """A queued event kept compactly until Python code asks for its snapshot; not instantiable."""

@disjoint_base
class _PendingEvents:
    """Deque-like view of the queued snapshots, oldest first (hold ``_pending_lock``)."""

    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def __iter__(self) -> Iterator[RuntimeEvent]: ...
    def __getitem__(self, index: int, /) -> RuntimeEvent: ...
    def append(self, item: RuntimeEvent, /) -> None: ...
    def appendleft(self, item: RuntimeEvent, /) -> None: ...
    def extend(self, items: Iterable[RuntimeEvent], /) -> None: ...
    def popleft(self) -> RuntimeEvent: ...
    def pop(self) -> RuntimeEvent: ...
    def remove(self, value: RuntimeEvent, /) -> None: ...
    def clear(self) -> None: ...

class RemoteTraceSink(RuntimeTraceSink):
    """Uploads events in batches over HTTP to a DevTools listener.

    Thread-safe: ``append_event_nowait`` / ``append_events_nowait`` may be called from any
    thread and never wait for I/O; a daemon thread ("ObservationBridgeFlushWorker") uploads.
    Upload failures never raise: they back off (1 s doubling to 30 s, or as Retry-After asks,
    at most 30 s) and issue one ObservationBridgeUnavailableWarning per outage. A batch the
    listener refuses (413, 400, 422) is split down to the events it refuses, which are set
    aside; so are events that cannot be encoded. Events still queued at interpreter exit get
    one forced upload attempt bounded by ``timeout``; a forked child starts with an empty queue.

    Raises ValueError for an endpoint port outside 1-65535 or a timeout that is not a finite
    number greater than 0.
    """

    name: ClassVar[str]
    endpoint: str
    api_key: str | None
    app_id: str
    group_id: str | None
    environment: str
    timeout: float
    _buffer_limit: int
    _batch_size: int
    _background_flush_interval: float
    _retry_delay_seconds: float
    _max_retry_delay_seconds: float
    _next_retry_at: float
    _failure_count: int
    _has_warned_unavailable: bool
    _pending_events: _PendingEvents
    _pending_lock: threading.Lock
    _flush_lock: threading.Lock
    _stats_lock: threading.Lock
    _enqueued_event_count: int
    _dropped_event_count: int
    _dropped_high_frequency_event_count: int
    _dropped_terminal_event_count: int
    _coalesced_event_count: int
    _coalesced_item_count: int
    _upload_batch_count: int
    _uploaded_event_count: int
    _upload_failure_count: int
    _exit_unsent_event_count: int
    _unencodable_event_count: int
    _refused_event_count: int
    _export_state: _ExportState
    _last_upload_at: float | None
    _last_failure_at: float | None
    _last_failure: str | None
    _worker_event: _WakeEvent
    _worker_thread: threading.Thread | None
    _local_listener_target: tuple[str, str] | None
    _needs_local_probe: bool

    def __init__(
        self,
        *,
        endpoint: str,
        api_key: str | None,
        app_id: str = "default",
        group_id: str | None = None,
        environment: str = "local",
        timeout: float = 5.0,
        buffer_limit: int = 1200,
        batch_size: int = 200,
        background_flush_interval: float = 0.25,
    ) -> None: ...

    # queue
    @staticmethod
    def _snapshot_run_context(run: RuntimeRunContext | None) -> RuntimeRunContext | None: ...
    @staticmethod
    def _snapshot_event(event: RuntimeEvent) -> RuntimeEvent: ...
    @staticmethod
    def _is_terminal_or_result_event(event: RuntimeEvent) -> bool: ...
    @staticmethod
    def _is_preferred_drop_event(event: RuntimeEvent) -> bool: ...
    def _drop_one_pending_event_locked(self) -> None: ...
    def _enqueue_events(self, events: Sequence[RuntimeEvent]) -> None: ...
    def _has_pending_events(self) -> bool: ...
    def _peek_pending_batch(self) -> list[RuntimeEvent]: ...
    def _drop_uploaded_batch(self, batch_event_ids: set[str] | frozenset[str]) -> None: ...
    def get_stats(self) -> dict[str, Any]:
        """A new dict: "endpoint" (credentials removed, secret query values masked), "app_id",
        "group_id", "environment", "buffer_limit", "batch_size", "background_flush_interval",
        "pending_event_count", "enqueued_event_count", "dropped_event_count",
        "dropped_high_frequency_event_count", "dropped_terminal_event_count",
        "coalesced_event_count", "coalesced_item_count", "upload_batch_count",
        "uploaded_event_count", "upload_failure_count", "last_upload_at", "last_failure_at",
        "last_failure", "exit_unsent_event_count" (left queued after the exit flush),
        "unencodable_event_count" (set aside: could not be encoded) and
        "refused_event_count" (set aside: the listener refused them one by one with 413, 400 or
        422). The API key is never reported."""

    # upload
    async def append_event(self, event: RuntimeEvent) -> None: ...
    async def append_events(self, events: Sequence[RuntimeEvent]) -> None: ...
    async def flush(self) -> None: ...
    async def _flush_pending_events(self, *, drain: bool = True, force: bool = False) -> None: ...
    def _mark_available(self) -> None: ...
    def _mark_unavailable(self, error: BaseException | None = None) -> None:
        """Count a failure and back off; an HTTP error's Retry-After lengthens the wait (within
        ``_max_retry_delay_seconds``). Warns once per outage."""
    def _build_warning_message(self, error: BaseException | None = None) -> str: ...
    def _serialize_event(self, event: RuntimeEvent) -> Any: ...
    def _encode_batch_natively(self, batch: list[RuntimeEvent]) -> bytes | None:
        """The upload body for ``batch`` as the native encoder writes it (the same bytes the
        Python path would send), or None when the batch takes the Python path."""

    # background worker and local listener
    def append_event_nowait(self, event: RuntimeEvent) -> None: ...
    def append_events_nowait(self, events: Sequence[RuntimeEvent]) -> None: ...
    def _ensure_background_flush(self) -> bool: ...
    def _run_flush_sync(self, *, drain: bool = True, force: bool = False) -> None: ...
    def _background_flush_worker(self) -> None: ...
    def _resolve_local_listener_target(self) -> tuple[str, str] | None: ...
    async def _probe_local_listener(self) -> bool: ...
    def _exit_flush(self) -> None: ...

def _flush_at_exit() -> None: ...
def _after_fork_in_child() -> None: ...
