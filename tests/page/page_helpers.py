"""Helpers of the page's browser tests: the listener as a subprocess, events to upload."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path
from typing import Any

import httpx
import pytest

START_TIMEOUT = 30.0


def chromium_path() -> str:
    path = os.environ.get("ORVANE_CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")
    if path and not os.access(path, os.X_OK):
        pytest.fail(f"the browser tests need Chromium: ORVANE_CHROMIUM={path} is not an executable", pytrace=False)
    if not path:
        pytest.fail("the browser tests need Chromium and it is missing: install Debian's package "
                    "'chromium' (apt-get install chromium; tools/dev test does it when run as root) "
                    "or set ORVANE_CHROMIUM=/path/to/chromium", pytrace=False)
    return path


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Listener:
    """``python -m orvane_devtools start`` on a chosen port with its own database."""

    def __init__(self, db: Path, *, port: int | None = None, api_key: str | None = None,
                 extra: tuple[str, ...] = ()) -> None:
        self.db = db
        self.port = port or free_port()
        self.api_key = api_key
        self.extra = extra
        self.proc: subprocess.Popen[str] | None = None
        self.lines: list[str] = []
        self.origin = f"http://127.0.0.1:{self.port}"
        self.api = f"{self.origin}/observation"
        self.ingest_url = f"{self.api}/ingest"

    def start(self) -> "Listener":
        cmd = [sys.executable, "-m", "orvane_devtools", "start", "--port", str(self.port),
               "--db", str(self.db), *self.extra]
        env = dict(os.environ)
        env.pop("ORVANE_DEVTOOLS_API_KEY", None)
        if self.api_key:
            env["ORVANE_DEVTOOLS_API_KEY"] = self.api_key
        self.lines = []
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        proc = self.proc

        def read() -> None:
            assert proc.stdout is not None
            for line in proc.stdout:
                self.lines.append(line.rstrip("\n"))

        threading.Thread(target=read, daemon=True).start()
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                raise AssertionError("the listener exited at start:\n" + "\n".join(self.lines))
            try:
                if httpx.get(f"{self.origin}/healthz", timeout=1.0).status_code == 200:
                    return self
            except httpx.HTTPError:
                pass
            time.sleep(0.05)
        self.kill()
        raise AssertionError("the listener did not answer /healthz in time:\n" + "\n".join(self.lines))

    def stop(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()

    def kill(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    def headers(self) -> dict[str, str]:
        return {"Authorization": f"Bearer {self.api_key}"} if self.api_key else {}

    def post(self, events: list[Any], *, app_id: str = "page-tests", group_id: str | None = "team-a",
             environment: str = "local") -> dict[str, Any]:
        """Upload a batch as the upload backend does, straight over HTTP."""
        body = {"app_id": app_id, "group_id": group_id, "environment": environment,
                "events": [e.model_dump(mode="json") if hasattr(e, "model_dump") else e for e in events]}
        r = httpx.post(self.ingest_url, json=body, headers=self.headers(), timeout=60.0)
        r.raise_for_status()
        return r.json()

    def get(self, path: str, **params: Any) -> Any:
        r = httpx.get(f"{self.api}{path}", params=params, headers=self.headers(), timeout=30.0)
        r.raise_for_status()
        return r.json()


def uid(prefix: str) -> str:
    return f"{prefix}-{uuid.uuid4().hex[:8]}"


def now_ms() -> int:
    return time.time_ns() // 1_000_000


def event(event_type: str, run: dict[str, Any] | None, *, ts: int | None = None, message: str | None = None,
          **fields: Any) -> Any:
    from orvane_devtools._orvane_compat import RuntimeEvent

    return RuntimeEvent(event_id=uuid.uuid4().hex, event_type=event_type,
                        timestamp=now_ms() if ts is None else ts, source=fields.pop("source", "tests.agent"),
                        message=message, run=run, **fields)


def run_ctx(run_id: str, *, root: str | None = None, parent: str | None = None, agent: str = "Agent",
            kind: str = "agent_task", **extra: Any) -> dict[str, Any]:
    return {"run_id": run_id, "root_run_id": root or run_id, "parent_run_id": parent,
            "run_kind": kind, "agent_name": agent, **extra}


def flush(sink: Any) -> None:
    """Await ``sink.flush()`` on a thread of its own (the test's thread runs Playwright's loop)."""
    import asyncio

    done: list[BaseException | None] = []

    def run() -> None:
        try:
            asyncio.run(sink.flush())
            done.append(None)
        except BaseException as exc:  # handed to the test
            done.append(exc)

    t = threading.Thread(target=run)
    t.start()
    t.join(60)
    assert done, "flush did not finish"
    if done[0] is not None:
        raise done[0]
