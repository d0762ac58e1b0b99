"""Running the listener: the socket, uvicorn, the start banner and a graceful stop."""

from __future__ import annotations

import asyncio
import contextlib
import errno
import gc
import signal
import socket
import sys
import threading
from collections.abc import Awaitable, Callable, Iterator
from typing import IO, Any

from .config import API_KEY_ENV, ListenerConfig, ListenerConfigError

__all__ = ["ListenerStartError", "bind_socket", "run_listener"]

# The collector's thresholds while the listener runs. Each accepted event leaves a few dozen
# container objects behind for a while (the decoded event, the desk's copies, the writer's
# record) and the desk and the stream ring hold tens of thousands of them: at the interpreter's
# default (a young collection every 2,000 net allocations) the collector cost about as much as
# decoding the events. Nothing the listener keeps relies on the collector (its objects are freed
# by reference counting); cycles are still collected, just less often. Requests in flight
# together hold their objects at once, and each round of them crossed the threshold: ten
# requests in flight paid 40 young collections and 1.2 s per 40,000 events at 10,000, 8 and
# 0.3 s at 30,000 (benchmarks/listener_collector.py). A larger one than that makes each
# collection scan more: at 100,000, with one sender whose objects the desk keeps, the p99 of an
# ingest request rose from about 1,200 U to 7,600 U and the CPU per event by a fifth.
GC_THRESHOLDS = (30_000, 20, 20)

# Time uvicorn grants open connections once a stop began; streams end at once, so only a
# request in the middle of its work can use it. Well inside the 2 s a stop may take.
GRACEFUL_SECONDS = 1.2


class ListenerStartError(RuntimeError):
    """The listener cannot start; the message is one line meant for the user."""


def bind_socket(host: str, port: int) -> socket.socket:
    """A listening TCP socket on ``host``:``port`` (port 0: any free port)."""
    try:
        infos = socket.getaddrinfo(host.strip("[]"), port, type=socket.SOCK_STREAM,
                                   flags=socket.AI_PASSIVE)
    except socket.gaierror as exc:
        raise ListenerStartError(f"cannot listen on {host}: unknown host ({exc.strerror})") from None
    infos.sort(key=lambda info: info[0] != socket.AF_INET)  # IPv4 first for "localhost"
    family, kind, proto, _, address = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            with contextlib.suppress(OSError):
                sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        sock.bind(address)
        sock.listen(2048)
        sock.setblocking(False)
    except OSError as exc:
        sock.close()
        if exc.errno == errno.EADDRINUSE:
            raise ListenerStartError(
                f"port {port} on {host} is already in use (is a listener already running?); "
                f"stop it or choose another port with --port") from None
        if exc.errno in (errno.EACCES, errno.EPERM):
            raise ListenerStartError(f"not allowed to listen on {host}:{port} ({exc.strerror})") from None
        if exc.errno == errno.EADDRNOTAVAIL:
            raise ListenerStartError(f"cannot listen on {host}: no such address on this machine") from None
        raise ListenerStartError(f"cannot listen on {host}:{port} ({exc.strerror})") from None
    return sock


def _public_url(url: str) -> str:
    """The URL without credentials, as it may be printed."""
    from urllib.parse import urlsplit, urlunsplit

    parts = urlsplit(url)
    host = parts.hostname or ""
    if ":" in host:
        host = f"[{host}]"
    netloc = f"{host}:{parts.port}" if parts.port else host
    return urlunsplit((parts.scheme, netloc, parts.path, "", ""))


def _banner(config: ListenerConfig, port: int) -> str:
    key = (f"required: send 'Authorization: Bearer <key>' (the key from --api-key or {API_KEY_ENV})"
           if config.api_key else "none (answers this machine only)")
    return "\n".join([
        f"orvane-devtools listener on {config.base_url(port)}",
        f"  ingest URL:  {config.ingest_url(port)}",
        f"               RemoteTraceSink(endpoint=\"{config.ingest_url(port)}\", api_key=...)",
        f"  web page:    {config.page_url(port)}",
        f"  database:    {config.db_path}",
        f"  API key:     {key}",
        *([f"  OTLP export: {_public_url(config.otlp_endpoint)} ({config.otlp_protocol})"]
          if config.otlp_endpoint else []),
        "Press Ctrl-C to stop.",
    ])


def run_listener(config: ListenerConfig, *, out: IO[str] | None = None,
                 backends: list[Any] | None = None,
                 after_start: Callable[[Any, int], Awaitable[Any]] | None = None) -> int:
    """Runs the listener until Ctrl-C or SIGTERM; returns the exit code.

    Raises ``ListenerConfigError`` or ``ListenerStartError`` (one-line messages) when it cannot
    start. ``backends`` are further sinks the desk feeds with every accepted event.
    ``after_start(core, port)`` runs as a task on the server's loop once the banner is out (it is
    cancelled if the listener stops before it is done).
    """
    import uvicorn

    from .app import create_app
    from .core import ListenerCore

    out = out or sys.stdout
    config.validate()
    sock = bind_socket(config.host, config.port)
    try:
        try:
            core = ListenerCore(config, backends=backends)
        except (OSError, ValueError, RuntimeError) as exc:
            raise ListenerStartError(f"cannot open the database {config.db_path}: {exc}") from None
        port = sock.getsockname()[1]
        app = create_app(config, core)
        uv_config = uvicorn.Config(
            app, log_level="warning", access_log=False, lifespan="on",
            timeout_graceful_shutdown=GRACEFUL_SECONDS, timeout_keep_alive=30,
            server_header=False, date_header=False)
        work = None if after_start is None else (lambda: after_start(core, port))
        server = _Server(uv_config, core, lambda: print(_banner(config, port), file=out, flush=True),
                         work)
        try:
            with _collector_tuned():
                asyncio.run(server.serve(sockets=[sock]))
        finally:
            if not core._closed:  # the application did not get to its own shutdown
                asyncio.run(core.close())
        if not server.started:
            raise ListenerStartError("the listener stopped while starting (see the messages above)")
        print("orvane-devtools listener stopped.", file=out, flush=True)
        return 0
    finally:
        sock.close()


@contextlib.contextmanager
def _collector_tuned() -> Iterator[None]:
    """Rarer collections while serving, with the objects of the start (modules, the app) set
    aside for good; the interpreter's settings come back afterwards. A process that froze
    objects itself keeps its own arrangement."""
    before = gc.get_threshold()
    freeze = gc.get_freeze_count() == 0
    if freeze:
        gc.collect()
        gc.freeze()
    gc.set_threshold(*GC_THRESHOLDS)
    try:
        yield
    finally:
        gc.set_threshold(*before)
        if freeze:
            gc.unfreeze()


class _Server:
    """A uvicorn server whose stop also ends the open streams at once, and which does not
    re-raise the stopping signal after a graceful stop (the command exits normally)."""

    def __new__(cls, config: Any, core: Any, announce: Any, work: Any = None) -> Any:
        import uvicorn

        class Server(uvicorn.Server):
            def __init__(self) -> None:
                super().__init__(config)
                self._loop: asyncio.AbstractEventLoop | None = None
                self._work: asyncio.Task[Any] | None = None

            async def startup(self, sockets: list[socket.socket] | None = None) -> None:
                self._loop = asyncio.get_running_loop()
                await super().startup(sockets=sockets)
                if self.started and not self.should_exit:
                    announce()
                    if work is not None:
                        self._work = asyncio.ensure_future(work())

            async def shutdown(self, sockets: list[socket.socket] | None = None) -> None:
                task = self._work
                if task is not None and not task.done():
                    task.cancel()
                    with contextlib.suppress(BaseException):
                        await task
                await super().shutdown(sockets=sockets)

            @contextlib.contextmanager
            def capture_signals(self) -> Iterator[None]:
                if threading.current_thread() is not threading.main_thread():
                    yield
                    return
                handled = [signal.SIGINT, signal.SIGTERM]
                original = {sig: signal.signal(sig, self.handle_exit) for sig in handled}
                try:
                    yield
                finally:
                    for sig, handler in original.items():
                        signal.signal(sig, handler)

            def handle_exit(self, sig: int, frame: Any) -> None:
                if self.should_exit:
                    # A stop is under way and ends within the graceful time; a second Ctrl-C
                    # must not skip committing what is in flight.
                    return
                if self._loop is not None and not self._loop.is_closed():
                    # Streams never end by themselves: end them now, from the loop's own thread.
                    self._loop.call_soon_threadsafe(core.begin_shutdown)
                self.should_exit = True

        return Server()


def main_start(config: ListenerConfig, out: IO[str] | None = None,
               err: IO[str] | None = None, backends: list[Any] | None = None) -> int:
    """``orvane-devtools start``: one-line errors instead of tracebacks."""
    err = err or sys.stderr
    try:
        return run_listener(config, out=out, backends=backends)
    except (ListenerConfigError, ListenerStartError) as exc:
        print(f"orvane-devtools start: {exc}", file=err, flush=True)
        return 2 if isinstance(exc, ListenerConfigError) else 1
