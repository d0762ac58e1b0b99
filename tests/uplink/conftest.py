"""A real HTTP listener on 127.0.0.1 for the upload tests."""

from __future__ import annotations

import json
import socket
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest


class Listener:
    """Records every request; answers with ``status`` after ``delay`` seconds, or as ``answer``
    decides: a function of the recorded request returning (status, extra headers)."""

    def __init__(self) -> None:
        self.status = 200
        self.probe_status = 200
        self.delay = 0.0
        self.answer = None
        self.requests: list[dict] = []
        self.cond = threading.Condition()
        listener = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):  # keep test output quiet
                pass

            def _record(self, body: bytes) -> dict:
                request = {
                    "method": self.command,
                    "path": self.path,
                    "headers": {k.lower(): v for k, v in self.headers.items()},
                    "body": json.loads(body) if body else None,
                    "raw": body,
                }
                with listener.cond:
                    listener.requests.append(request)
                    listener.cond.notify_all()
                return request

            def _answer(self, status: int, headers: dict | None = None) -> None:
                if listener.delay:
                    time.sleep(listener.delay)
                payload = b"{}"
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", "application/json")
                    self.send_header("Content-Length", str(len(payload)))
                    for name, value in (headers or {}).items():
                        self.send_header(name, value)
                    self.end_headers()
                    self.wfile.write(payload)
                except OSError:
                    pass

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                request = self._record(body)
                if listener.answer is not None:
                    self._answer(*listener.answer(request))
                else:
                    self._answer(listener.status)

            def do_GET(self):
                self._record(b"")
                self._answer(listener.probe_status)

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def url(self, path: str = "/observation/ingest") -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    def posts(self) -> list[dict]:
        with self.cond:
            return [r for r in self.requests if r["method"] == "POST"]

    def events(self) -> list[dict]:
        return [e for r in self.posts() for e in r["body"]["events"]]

    def accepted_events(self) -> list[dict]:
        """Events of the requests answered with 2xx (the answer function marks them)."""
        with self.cond:
            return [e for r in self.requests if r["method"] == "POST" and r.get("accepted", True)
                    for e in r["body"]["events"]]

    def wait_for(self, predicate, timeout: float = 10.0) -> bool:
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True

    def wait_events(self, count: int, timeout: float = 10.0) -> bool:
        return self.wait_for(lambda: len([e for r in self.requests if r["method"] == "POST"
                                           for e in r["body"]["events"]]) >= count, timeout)

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()


@pytest.fixture
def listener():
    server = Listener()
    yield server
    server.close()


@pytest.fixture
def down_url():
    """URL of a port on 127.0.0.1 where nothing listens."""
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return f"http://127.0.0.1:{port}/observation/ingest"
