"""The listener as a real subprocess, events and bodies for its tests, a reader of Server-Sent Events."""

from __future__ import annotations

import json
import logging
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path
from typing import Any

import httpx
import pytest

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


START_TIMEOUT = 30.0
_URL_RE = re.compile(r"ingest URL:\s+(http://[^\s]+)")


class ListenerProcess:
    """One ``orvane-devtools start`` process; its output is collected by a reader thread."""

    def __init__(self, db: Path, *args: str, port: int = 0, env: dict[str, str] | None = None,
                 api_key: str | None = None) -> None:
        self.db = db
        self.args = list(args)
        self.port = port
        self.api_key = api_key
        self.env = dict(os.environ if env is None else env)
        self.proc: subprocess.Popen[str] | None = None
        self.lines: list[str] = []
        self.ingest_url = ""
        self.base = ""

    def command(self) -> list[str]:
        cmd = [sys.executable, "-m", "orvane_devtools", "start", "--port", str(self.port),
               "--db", str(self.db), *self.args]
        if self.api_key:
            cmd += ["--api-key", self.api_key]
        return cmd

    def start(self) -> ListenerProcess:
        self.lines = []
        self.proc = subprocess.Popen(self.command(), stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT, text=True, env=self.env)
        ready = threading.Event()

        def read(proc: subprocess.Popen[str]) -> None:
            assert proc.stdout is not None
            for line in proc.stdout:
                self.lines.append(line.rstrip("\n"))
                match = _URL_RE.search(line)
                if match:
                    self.ingest_url = match.group(1)
                if line.startswith("Press Ctrl-C"):
                    ready.set()
            ready.set()

        threading.Thread(target=read, args=(self.proc,), daemon=True).start()
        if not ready.wait(START_TIMEOUT) or not self.ingest_url:
            self.kill()
            raise AssertionError("the listener did not start:\n" + self.output())
        self.base = self.ingest_url.rsplit("/", 2)[0] if self.ingest_url.count("/") > 3 else self.ingest_url
        self.port = int(self.ingest_url.split(":")[2].split("/")[0])
        self.origin = f"http://127.0.0.1:{self.port}"
        return self

    def output(self) -> str:
        return "\n".join(self.lines)

    @property
    def api(self) -> str:
        """The URL of the API root (the prefix)."""
        return self.ingest_url[: -len("/ingest")]

    def headers(self) -> dict[str, str]:
        return {"Authorization": f"Bearer {self.api_key}"} if self.api_key else {}

    def client(self, **kw) -> httpx.Client:
        return httpx.Client(base_url=self.origin, headers=self.headers(), timeout=10.0, **kw)

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 10.0) -> tuple[int, float]:
        """Sends ``sig``; returns (exit code, seconds until the process ended)."""
        assert self.proc is not None
        t0 = time.monotonic()
        self.proc.send_signal(sig)
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"the listener did not stop within {timeout} s:\n" + self.output())
        return code, time.monotonic() - t0

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def alive(self) -> bool:
        return self.proc is not None and self.proc.poll() is None


def persistent_log_service() -> bool:
    """Whether the log service keeps its events in the ``logs.path`` file."""
    import tempfile

    from orvane.utils import Settings
    from orvane_devtools.logs import RuntimeLogService

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "probe.sqlite3"
        service = RuntimeLogService(Settings({"logs.enabled": True, "logs.path": str(path)}))
        try:
            return path.exists()
        finally:
            close = getattr(service, "close", None)
            if callable(close):
                close()


needs_persistence = pytest.mark.skipif(
    not persistent_log_service(),
    reason="the log service in this build keeps events in memory only (no logs.path)",
)


class InProcessClient:
    """A synchronous face over an ``httpx.AsyncClient`` that reaches the application through
    httpx's ASGI transport, on the listener's own event-loop thread. Leaving a ``with`` block
    does not close it (the listener does, when it stops)."""

    def __init__(self, owner: InProcessListener) -> None:
        self._owner = owner

    def request(self, method: str, url: str, **kw: Any) -> httpx.Response:
        return self._owner.call(self._owner.async_client.request(method, url, **kw))

    def get(self, url: str, **kw: Any) -> httpx.Response:
        return self.request("GET", url, **kw)

    def post(self, url: str, **kw: Any) -> httpx.Response:
        return self.request("POST", url, **kw)

    def delete(self, url: str, **kw: Any) -> httpx.Response:
        return self.request("DELETE", url, **kw)

    def options(self, url: str, **kw: Any) -> httpx.Response:
        return self.request("OPTIONS", url, **kw)

    def __enter__(self) -> InProcessClient:
        return self

    def __exit__(self, *exc: Any) -> None:
        return None


class InProcessListener:
    """The listener's ASGI application in this process, reached through httpx's ASGI transport,
    with the face of ``ListenerProcess`` that query tests use: ``api``, ``origin``,
    ``client()``, ``headers()``. The application runs on an event loop of its own thread, its
    lifespan entered as a server would (the database opens), and the command-line options go
    through the same parsing as ``start``'s."""

    def __init__(self, db: Path, *args: str, api_key: str | None = None) -> None:
        import argparse
        import asyncio

        from orvane_devtools.listener.app import create_app
        from orvane_devtools.listener.cli import add_start_arguments, config_from_args

        parser = argparse.ArgumentParser()
        add_start_arguments(parser)
        argv = ["--port", "8765", "--db", str(db), *args]
        if api_key:
            argv += ["--api-key", api_key]
        self.config = config_from_args(parser.parse_args(argv), environ={})
        self.config.validate()
        self.api_key = api_key
        self.port = 8765
        self.origin = f"http://127.0.0.1:{self.port}"
        self.ingest_url = self.config.ingest_url(self.port)
        self.app = create_app(self.config)
        self._asyncio = asyncio
        self._loop = asyncio.new_event_loop()
        self._thread = threading.Thread(target=self._loop.run_forever, name="in-process-listener",
                                        daemon=True)
        self._thread.start()
        self._lifespan = self.app.router.lifespan_context(self.app)
        self.call(self._lifespan.__aenter__())
        self.async_client = httpx.AsyncClient(transport=httpx.ASGITransport(app=self.app),
                                              base_url=self.origin, headers=self.headers(),
                                              timeout=30.0)
        self._open = True

    def call(self, coro: Any, timeout: float = 60.0) -> Any:
        """Runs ``coro`` on the listener's loop; its result (raises AssertionError on time-out)."""
        future = self._asyncio.run_coroutine_threadsafe(coro, self._loop)
        try:
            return future.result(timeout)
        except TimeoutError:
            future.cancel()
            raise AssertionError(f"the in-process listener did not answer within {timeout} s") from None

    @property
    def api(self) -> str:
        return self.ingest_url[: -len("/ingest")]

    def headers(self) -> dict[str, str]:
        return {"Authorization": f"Bearer {self.api_key}"} if self.api_key else {}

    def client(self) -> InProcessClient:
        return InProcessClient(self)

    def alive(self) -> bool:
        return self._open

    def kill(self) -> None:
        if not self._open:
            return
        self._open = False
        try:
            self.call(self.async_client.aclose())
            self.call(self._lifespan.__aexit__(None, None, None))
        finally:
            self._loop.call_soon_threadsafe(self._loop.stop)
            self._thread.join(10)
            self._loop.close()


# -- fixtures of the in-process tests of other folders (imported by their conftest) -----------

@pytest.fixture
def start_in_process(tmp_path):
    """``start_in_process(*args, db=None)`` starts the listener's application in this process on
    a real SQLite file (its own unless ``db`` is given); each one is stopped at the end of the
    test."""
    started: list[InProcessListener] = []

    def start(*args: str, db: Path | None = None) -> InProcessListener:
        listener = InProcessListener(db or tmp_path / f"listener-{len(started)}.sqlite3", *args)
        started.append(listener)
        return listener

    yield start
    for listener in started:
        listener.kill()


@pytest.fixture(autouse=True)
def no_reader_faults(caplog):
    """A fault of the LLM readers or of the folding at ingest is logged, not raised: any such
    record fails the test."""
    caplog.set_level(logging.ERROR, logger="orvane_devtools")
    yield
    faults = [r for r in caplog.records if r.name.startswith("orvane_devtools") and r.levelno >= logging.ERROR]
    assert not faults, "fault: " + "\n".join(r.getMessage() + "\n" + (r.exc_text or "") for r in faults)
