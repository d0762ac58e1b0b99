"""The listener as a real subprocess (``python -m orvane_devtools start``) on a free port."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import httpx
import pytest

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


@pytest.fixture
def start_listener(tmp_path):
    """Starts listeners (``start_listener(*args, db=..., port=..., api_key=...)``); every one
    still running at the end of the test is killed."""
    started: list[ListenerProcess] = []

    def start(*args: str, db: Path | None = None, port: int = 0, api_key: str | None = None,
              env: dict[str, str] | None = None) -> ListenerProcess:
        proc = ListenerProcess(db or tmp_path / "listener.sqlite3", *args, port=port,
                               api_key=api_key, env=env)
        started.append(proc)
        return proc.start()

    yield start
    for proc in started:
        proc.kill()


@pytest.fixture
def listener(start_listener):
    return start_listener()


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
