"""The remote sink's intake in plain Python: a bounded pending queue of event snapshots with the
overflow drop policy and the coalescing counters, and a background thread woken per append. The
thread only waits (it uploads nothing): the rows measure the caller's side."""

from __future__ import annotations

import threading
import time
from collections import deque
from typing import Any

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext

_TERMINAL_SUFFIXES = (".completed", ".failed", ".error")
_TERMINAL_TYPES = frozenset({"agent_task.blocked", "agent_task.action.started", "agent_task.action.completed",
                             "agent_task.action.failed", "agent_task.action.error"})
_RESULT_PATHS = ("agent_task.completed", "agent_task.blocked", "result.completed", "result.blocked")
_TERMINAL_STATUSES = frozenset({"completed", "blocked", "failed", "error"})


class PlainRemoteSink:
    name = "remote"

    def __init__(self, *, endpoint: str, api_key: str | None, app_id: str = "default",
                 group_id: str | None = None, environment: str = "local", timeout: float = 5.0,
                 buffer_limit: int = 1200, batch_size: int = 200,
                 background_flush_interval: float = 0.25) -> None:
        self.endpoint = endpoint
        self.api_key = api_key
        self.app_id = app_id or "default"
        self.group_id = group_id
        self.environment = environment
        self.timeout = float(timeout)
        self._buffer_limit = max(1, int(buffer_limit))
        self._batch_size = max(1, min(int(batch_size), self._buffer_limit))
        self._background_flush_interval = background_flush_interval if background_flush_interval > 0 else 0.0
        self._pending_events: deque[RuntimeEvent] = deque()
        self._pending_lock = threading.Lock()
        self._stats_lock = threading.Lock()
        self._enqueued_event_count = 0
        self._dropped_event_count = 0
        self._dropped_high_frequency_event_count = 0
        self._dropped_terminal_event_count = 0
        self._coalesced_event_count = 0
        self._coalesced_item_count = 0
        self._worker_event = threading.Event()
        self._worker_thread: threading.Thread | None = None

    # -- snapshots and the drop policy --------------------------------------------------------

    @staticmethod
    def _snapshot_run_context(run: RuntimeRunContext | None) -> RuntimeRunContext | None:
        if run is None:
            return None
        return run.model_copy(update={"meta": dict(run.meta)})

    @staticmethod
    def _snapshot_event(event: RuntimeEvent) -> RuntimeEvent:
        payload = event.payload
        return event.model_copy(update={
            "payload": dict(payload) if isinstance(payload, dict) else payload,
            "run": PlainRemoteSink._snapshot_run_context(event.run),
            "meta": dict(event.meta),
        })

    @staticmethod
    def _event_type_text(event: RuntimeEvent) -> str:
        return str(event.event_type) if event.event_type else ""

    @staticmethod
    def _is_terminal_or_result_event(event: RuntimeEvent) -> bool:
        event_type = PlainRemoteSink._event_type_text(event)
        if event_type.endswith(_TERMINAL_SUFFIXES) or event_type in _TERMINAL_TYPES:
            return True
        payload = event.payload
        if event_type != "agent_execution.stream" or not isinstance(payload, dict):
            return False
        path = str(payload.get("path") or event.message or "")
        value = payload.get("value")
        value = value if isinstance(value, dict) else {}
        status = str(value.get("status") or payload.get("status") or "").strip().lower()
        if any(marker in path for marker in _RESULT_PATHS):
            return True
        return status in _TERMINAL_STATUSES

    @staticmethod
    def _is_preferred_drop_event(event: RuntimeEvent) -> bool:
        if PlainRemoteSink._is_terminal_or_result_event(event):
            return False
        if event.meta.get("coalesced") is True or event.meta.get("high_frequency") is True:
            return True
        event_type = PlainRemoteSink._event_type_text(event)
        if "stream.delta" in event_type or "streaming" in event_type or "heartbeat" in event_type:
            return True
        return "heartbeat" in str(event.message or "").lower()

    def _drop_one_pending_event_locked(self) -> None:
        chosen = next((e for e in self._pending_events if self._is_preferred_drop_event(e)), None)
        if chosen is None and self._pending_events:
            chosen = self._pending_events[0]
        if chosen is None:
            return
        self._pending_events.remove(chosen)
        with self._stats_lock:
            self._dropped_event_count += 1
            if self._is_preferred_drop_event(chosen):
                self._dropped_high_frequency_event_count += 1
            elif self._is_terminal_or_result_event(chosen):
                self._dropped_terminal_event_count += 1

    # -- intake -------------------------------------------------------------------------------

    def _enqueue_events(self, events) -> None:
        with self._pending_lock:
            for event in events:
                if len(self._pending_events) >= self._buffer_limit:
                    self._drop_one_pending_event_locked()
                self._pending_events.append(self._snapshot_event(event))
                coalesced = event.meta.get("coalesced") is True
                coalesced_count = 0
                if coalesced and isinstance(event.payload, dict):
                    count = event.meta.get("coalesced_count")
                    if isinstance(count, int):
                        coalesced_count = count
                    elif isinstance(event.payload.get("events"), list):
                        coalesced_count = len(event.payload["events"])
                with self._stats_lock:
                    self._enqueued_event_count += 1
                    if coalesced:
                        self._coalesced_event_count += 1
                        self._coalesced_item_count += coalesced_count

    def append_event_nowait(self, event: RuntimeEvent) -> None:
        self.append_events_nowait([event])

    def append_events_nowait(self, events) -> None:
        if not events:
            return
        self._enqueue_events(events)
        self._ensure_background_flush()

    def _ensure_background_flush(self) -> bool:
        if self._worker_thread is None or not self._worker_thread.is_alive():
            self._worker_thread = threading.Thread(target=self._background_flush_worker,
                                                   name="ObservationBridgeFlushWorker", daemon=True)
            self._worker_thread.start()
        self._worker_event.set()
        return True

    def _background_flush_worker(self) -> None:
        while True:
            self._worker_event.wait()
            self._worker_event.clear()
            if self._background_flush_interval > 0:
                time.sleep(self._background_flush_interval)
                self._worker_event.clear()

    def _has_pending_events(self) -> bool:
        with self._pending_lock:
            return bool(self._pending_events)

    def _peek_pending_batch(self) -> list[RuntimeEvent]:
        with self._pending_lock:
            return [e for _, e in zip(range(self._batch_size), self._pending_events)]

    def get_stats(self) -> dict[str, Any]:
        with self._pending_lock:
            pending = len(self._pending_events)
        with self._stats_lock:
            return {
                "endpoint": self.endpoint, "app_id": self.app_id, "group_id": self.group_id,
                "environment": self.environment, "buffer_limit": self._buffer_limit,
                "batch_size": self._batch_size, "background_flush_interval": self._background_flush_interval,
                "pending_event_count": pending, "enqueued_event_count": self._enqueued_event_count,
                "dropped_event_count": self._dropped_event_count,
                "dropped_high_frequency_event_count": self._dropped_high_frequency_event_count,
                "dropped_terminal_event_count": self._dropped_terminal_event_count,
                "coalesced_event_count": self._coalesced_event_count,
                "coalesced_item_count": self._coalesced_item_count,
            }
