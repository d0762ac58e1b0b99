"""Events and bodies for the listener tests, and a small reader of Server-Sent Events."""

from __future__ import annotations

import json
import queue
import threading
import time
import uuid
from typing import Any

import httpx

T0 = 1_760_000_000_000


def event(i: int, run_id: str = "run-1", *, parent: str | None = None, root: str | None = None,
          event_type: str = "agent_task.progress", ts: int | None = None, **fields: Any) -> dict[str, Any]:
    """An event as it travels in an upload body."""
    doc: dict[str, Any] = {
        "event_id": f"{run_id}-e{i}",
        "event_type": event_type,
        "timestamp": T0 + i if ts is None else ts,
        "source": "agent.planner",
        "level": "info",
        "message": f"step {i}",
        "payload": {"step": i},
        "error": None,
        "meta": {"app_id": "app-a", "group_id": "team-a", "environment": "local"},
        "run": {"run_id": run_id, "root_run_id": root or parent or run_id, "parent_run_id": parent,
                "run_kind": "agent_task", "agent_name": "Planner"},
    }
    doc.update(fields)
    return doc


def body(events: list[dict[str, Any]], **fields: Any) -> dict[str, Any]:
    doc = {"app_id": "app-a", "group_id": "team-a", "environment": "local", "events": events}
    doc.update(fields)
    return doc


def runtime_event(i: int, run_id: str = "run-1", **kw: Any):
    from orvane_devtools._orvane_compat import RuntimeEvent

    return RuntimeEvent(**event(i, run_id, **kw))


def fresh_id(prefix: str = "run") -> str:
    return f"{prefix}-{uuid.uuid4().hex[:8]}"


class SSEReader:
    """Reads a stream in a thread; messages land in a queue as dicts (event, id, data, comment)."""

    def __init__(self, url: str, *, headers: dict[str, str] | None = None,
                 params: dict[str, Any] | None = None) -> None:
        self.messages: queue.Queue[dict[str, Any] | None] = queue.Queue()
        self.status: int | None = None
        self.ended = threading.Event()
        self.connected = threading.Event()
        self._client = httpx.Client(timeout=httpx.Timeout(10.0, read=30.0))
        self._url = url
        self._headers = headers or {}
        self._params = params or {}
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        try:
            with self._client.stream("GET", self._url, headers=self._headers, params=self._params) as resp:
                self._resp = resp
                self.status = resp.status_code
                self.headers = resp.headers
                self.connected.set()
                current: dict[str, Any] = {}
                for line in resp.iter_lines():
                    if line == "":
                        if current:
                            if "data" in current:
                                current["json"] = json.loads(current["data"])
                            self.messages.put(current)
                        current = {}
                    elif line.startswith(":"):
                        self.messages.put({"comment": line[1:].strip()})
                    else:
                        name, _, value = line.partition(":")
                        current[name] = value[1:] if value.startswith(" ") else value
        except (httpx.HTTPError, OSError, ValueError, AttributeError):
            pass  # closed by close(), or the server went away
        finally:
            self.connected.set()
            self.ended.set()
            self.messages.put(None)

    def next(self, timeout: float = 10.0, *, kind: str | None = None) -> dict[str, Any]:
        """The next message (of ``kind``, skipping others); raises AssertionError on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {kind or 'message'} within {timeout} s")
            try:
                msg = self.messages.get(timeout=left)
            except queue.Empty:
                raise AssertionError(f"no {kind or 'message'} within {timeout} s") from None
            if msg is None:
                raise AssertionError("the stream ended")
            if kind is None or msg.get("event") == kind or (kind == "comment" and "comment" in msg):
                return msg

    def collect(self, kind: str, count: int, timeout: float = 10.0) -> list[dict[str, Any]]:
        return [self.next(timeout, kind=kind) for _ in range(count)]

    def close(self) -> None:
        resp = getattr(self, "_resp", None)
        if resp is not None:
            # Shut the socket down under the reading thread so that it wakes at once.
            stream = resp.extensions.get("network_stream")
            sock = stream.get_extra_info("socket") if stream is not None else None
            if sock is not None:
                import socket as _socket

                try:
                    sock.shutdown(_socket.SHUT_RDWR)
                except OSError:
                    pass
        self._client.close()
        self._thread.join(5)
