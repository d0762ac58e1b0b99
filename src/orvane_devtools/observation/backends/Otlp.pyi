"""OpenTelemetry trace export: OtlpTraceSink sends runs as spans over OTLP/HTTP."""

import threading
from collections.abc import Mapping, Sequence
from typing import Any, ClassVar

from typing_extensions import disjoint_base

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.TraceSink import RuntimeTraceSink

class OtlpExportWarning(RuntimeWarning):
    """Issued once per outage of the OTLP receiver, and once when spans are refused or dropped."""

def trace_id_for(root_run_id: str) -> str:
    """The trace id (32 hex digits) of the runs under the root run `root_run_id`: the first 16
    bytes of SHA-256 of b"orvane-trace\\0" + the id's UTF-8 bytes."""

def span_id_for(run_id: str) -> str:
    """The span id (16 hex digits) of the run `run_id`: the first 8 bytes of SHA-256 of
    b"orvane-span\\0" + the id's UTF-8 bytes."""

class OtlpTraceSink(RuntimeTraceSink):
    """Exports runs as OpenTelemetry spans over OTLP/HTTP (protobuf or JSON, gzip).

    One run is one span; its events become span events. Events are queued without waiting for
    I/O (from any thread); a daemon thread ("OtlpTraceExportWorker") turns them into spans and
    sends each span once its run ended, was judged stale or orphaned, or at interpreter exit
    (as incomplete). 429/502/503/504 and unreachable receivers are retried with back-off that
    honours Retry-After; 413 splits the request down to the span refused; any other refusal is
    final and counted. Export failures never raise.
    """

    name: ClassVar[str]
    @property
    def endpoint(self) -> str: ...
    @property
    def protocol(self) -> str: ...
    timeout: float
    _buffer_limit: int
    _batch_size: int
    _background_flush_interval: float
    _retry_delay_seconds: float
    _max_retry_delay_seconds: float
    _next_retry_at: float
    _failure_count: int
    _has_warned_unavailable: bool
    _pending_lock: threading.Lock
    _flush_lock: threading.Lock
    _stats_lock: threading.Lock
    _worker_event: Any
    _worker_thread: threading.Thread | None
    _last_upload_at: float | None
    _last_failure_at: float | None
    _last_failure: str | None

    def __init__(
        self,
        *,
        endpoint: str = "http://127.0.0.1:4318/v1/traces",
        headers: Mapping[str, str] | str | None = None,
        protocol: str = "http/protobuf",
        compression: str | None = "gzip",
        service_name: str | None = None,
        environment: str | None = None,
        group_id: str | None = None,
        timeout: float = 10.0,
        buffer_limit: int = 2048,
        batch_size: int = 512,
        background_flush_interval: float = 0.25,
        stream_deltas: bool = False,
        stale_after_seconds: float = 900,
        orphan_after_seconds: float = 30,
        max_events_per_span: int = 128,
        max_open_runs: int = 10000,
        max_attribute_length: int = 32768,
        span_buffer_limit: int = 4096,
    ) -> None: ...
    async def append_event(self, event: RuntimeEvent) -> None:
        """Queue one event for export; never waits for the network."""
    async def append_events(self, events: Sequence[RuntimeEvent]) -> None:
        """Queue the events for export; never waits for the network."""
    def append_event_nowait(self, event: RuntimeEvent) -> None:
        """Queue one event and wake the export worker; from any thread."""
    def append_events_nowait(self, events: Sequence[RuntimeEvent]) -> None:
        """Queue the events and wake the export worker; from any thread."""
    async def flush(self, *, finish_open_runs: bool = False) -> None:
        """Send every finished span now, ignoring back-off; with `finish_open_runs`, runs still
        open are first ended now as incomplete (status error "incomplete"), as at exit."""
    def get_stats(self) -> dict[str, Any]:
        """Export statistics (a new dict; header values and credentials are never reported)."""
    @classmethod
    def _for_settings(
        cls,
        settings: Any,
        previous: OtlpTraceSink | None,
        stale_after_seconds: float,
        orphan_after_seconds: float,
    ) -> OtlpTraceSink | None:
        """The sink the settings' observation.otlp.* keys ask for, or None when export is off."""
    def _flush_sync(self, finish_open_runs: bool = False) -> None: ...
    def _run_flush_sync(self, *, drain: bool = True, force: bool = False) -> None: ...
    def _background_flush_worker(self) -> None: ...
    def _judge_tick(self) -> None: ...
    def _exit_flush(self) -> None: ...

@disjoint_base
class _SpanBuilder:
    """Runs into spans: events in, finished spans out as request bodies (the sink's core)."""

    @property
    def ready_count(self) -> int: ...
    @property
    def open_count(self) -> int: ...

    def __init__(
        self,
        *,
        service_name: str | None = None,
        environment: str | None = None,
        group_id: str | None = None,
        stream_deltas: bool = False,
        max_events_per_span: int = 128,
        max_open_runs: int = 10000,
        max_attribute_length: int = 32768,
        stale_after_seconds: float = 900,
        orphan_after_seconds: float = 30,
        buffer_limit: int = 2048,
        dedup_window: int = 4096,
    ) -> None: ...
    def add(self, events: Sequence[Any]) -> int: ...
    def judge(self, now_ms: int) -> None: ...
    def finish_all(self, now_ms: int) -> None: ...
    def take_request(self, max_spans: int = 512, protocol: str = "http/protobuf", gzip: bool = False) -> bytes | None: ...
    def counts(self) -> dict[str, int]: ...
