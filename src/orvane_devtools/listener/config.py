"""Settings of one listener: where it listens, where it keeps its data, who may talk to it."""

from __future__ import annotations

import ipaddress
import os
import sys
from dataclasses import dataclass, field
from pathlib import Path

__all__ = [
    "API_KEY_ENV",
    "DEFAULT_HOST",
    "DEFAULT_MAX_BODY",
    "DEFAULT_MAX_EVENTS",
    "DEFAULT_MAX_ITEMS",
    "DEFAULT_PORT",
    "DEFAULT_PREFIX",
    "DEFAULT_STREAM_QUEUE_SIZE",
    "PARTS_PER_ITEM",
    "ListenerConfig",
    "ListenerConfigError",
    "default_data_dir",
    "default_db_path",
    "is_loopback_host",
    "normalize_prefix",
]

DEFAULT_HOST = "127.0.0.1"
DEFAULT_PORT = 8765
DEFAULT_PREFIX = "/observation"
DEFAULT_MAX_BODY = 16 * 1024 * 1024
# Events the database keeps (oldest dropped first); the in-process default of the log service is
# sized for a host's memory, not for a listener that collects every run of a machine.
DEFAULT_MAX_EVENTS = 5_000_000
# Spans (and, each on its own, span events and span links) or log records one OTLP request may
# hold. The body limit bounds bytes, and an empty span is two bytes: without this bound a body
# under the limit could decode into millions of runs. 20,000 is forty batches of an SDK's default
# size (512) and more than a Collector's default batch (8,192); a span costs the listener about
# 8 KB of memory while it is mapped and stored, so the bound keeps a request's peak to what a
# body of real spans at the default body limit costs anyway.
DEFAULT_MAX_ITEMS = 20_000
# Attributes, list elements and the other parts counted with them (``--max-items`` times this)
# one OTLP request may hold: a GenAI chat span has about 25.
PARTS_PER_ITEM = 50
# Messages an open stream holds for a client that reads slowly (the oldest go first, and the
# client is told with a "gap").
DEFAULT_STREAM_QUEUE_SIZE = 1000
API_KEY_ENV = "ORVANE_DEVTOOLS_API_KEY"
DB_FILE_NAME = "listener.sqlite3"


class ListenerConfigError(ValueError):
    """A listener setting that cannot work; the message is one line meant for the user."""


def default_data_dir() -> Path:
    """The per-user folder for the listener's data.

    ``$XDG_DATA_HOME/orvane-devtools`` (default ``~/.local/share/orvane-devtools``) on Linux and
    other Unix systems, ``~/Library/Application Support/orvane-devtools`` on macOS and
    ``%LOCALAPPDATA%\\orvane-devtools`` on Windows.
    """
    home = Path.home()
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA") or str(home / "AppData" / "Local")
        return Path(base) / "orvane-devtools"
    if sys.platform == "darwin":
        return home / "Library" / "Application Support" / "orvane-devtools"
    base = os.environ.get("XDG_DATA_HOME") or str(home / ".local" / "share")
    return Path(base) / "orvane-devtools"


def default_db_path() -> Path:
    return default_data_dir() / DB_FILE_NAME


def normalize_prefix(prefix: str) -> str:
    """``observation/`` -> ``/observation``; ``/`` or ``""`` -> ``""`` (routes at the root)."""
    if not isinstance(prefix, str):
        raise ListenerConfigError("--prefix must be a text such as /observation")
    text = prefix.strip()
    if any(c in text for c in "?#%\\ ") or any(ord(c) < 32 for c in text):
        raise ListenerConfigError(f"--prefix {prefix!r} may only hold path segments such as /observation")
    parts = [p for p in text.split("/") if p]
    if any(p in (".", "..") for p in parts):
        raise ListenerConfigError(f"--prefix {prefix!r} may not hold '.' or '..' segments")
    if parts and parts[0] in ("assets", "healthz", "favicon.ico"):
        # Those paths belong to the page and the health check (and need no key).
        raise ListenerConfigError(f"--prefix {prefix!r} would mix the API with the page's files")
    return "/" + "/".join(parts) if parts else ""


def is_loopback_host(host: str) -> bool:
    """True for ``localhost`` and loopback addresses (127.0.0.0/8, ::1)."""
    name = host.strip().strip("[]").lower()
    if name == "localhost":
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


@dataclass
class ListenerConfig:
    """Everything ``orvane-devtools start`` can be told.

    ``api_key`` None or "" means no key. ``cors_origins`` empty means no CORS headers at all.
    ``heartbeat_seconds`` is the quiet time after which an open stream gets a comment line.
    """

    host: str = DEFAULT_HOST
    port: int = DEFAULT_PORT
    prefix: str = DEFAULT_PREFIX
    db_path: Path | None = None
    api_key: str | None = None
    max_body: int = DEFAULT_MAX_BODY
    max_events: int = DEFAULT_MAX_EVENTS
    max_items: int = DEFAULT_MAX_ITEMS
    retention_days: float | None = None
    cors_origins: list[str] = field(default_factory=list)
    stale_after_seconds: int | None = None
    orphan_after_seconds: int | None = None
    heartbeat_seconds: float = 15.0
    stream_queue_size: int = DEFAULT_STREAM_QUEUE_SIZE
    page_dir: Path | None = None
    # Forward every accepted event to an OpenTelemetry receiver as spans (OTLP/HTTP).
    otlp_endpoint: str | None = None
    otlp_protocol: str = "http/protobuf"
    otlp_headers: list[str] = field(default_factory=list)  # "name=value" each

    def __post_init__(self) -> None:
        self.prefix = normalize_prefix(self.prefix)
        if self.db_path is None:
            self.db_path = default_db_path()
        self.db_path = Path(self.db_path).expanduser()
        if self.api_key == "":
            self.api_key = None

    def validate(self) -> None:
        """Refuse settings that cannot work or would expose the data; one-line messages."""
        if not isinstance(self.port, int) or not 0 <= self.port <= 65535:
            raise ListenerConfigError(f"--port {self.port} is not a port number (0-65535)")
        if self.max_body < 1024:
            raise ListenerConfigError(f"--max-body {self.max_body} is too small (at least 1024 bytes)")
        if self.max_events < 1:
            raise ListenerConfigError(f"--max-events {self.max_events} must be at least 1")
        if not isinstance(self.max_items, int) or self.max_items < 1:
            raise ListenerConfigError(f"--max-items {self.max_items} must be at least 1")
        if self.retention_days is not None and not self.retention_days > 0:
            raise ListenerConfigError(f"--retention-days {self.retention_days} must be more than 0")
        for name, value in (("--stale-after", self.stale_after_seconds),
                            ("--orphan-after", self.orphan_after_seconds)):
            if value is not None and value < 0:
                raise ListenerConfigError(f"{name} {value} must be 0 (off) or more seconds")
        if self.heartbeat_seconds <= 0:
            raise ListenerConfigError("the stream heartbeat must be more than 0 seconds")
        if not isinstance(self.stream_queue_size, int) or self.stream_queue_size < 1:
            raise ListenerConfigError(f"--stream-queue-size {self.stream_queue_size} must be at least 1")
        if self.api_key is not None and not (
            self.api_key.isascii() and self.api_key.isprintable() and " " not in self.api_key
        ):
            # HTTP clients send header values as ASCII: any other key could never be sent.
            raise ListenerConfigError("the API key may only hold printable ASCII characters "
                                      "without spaces")
        if not self.api_key and not is_loopback_host(self.host):
            raise ListenerConfigError(
                f"listening on {self.host} makes the runs reachable from other machines: set an "
                f"API key with --api-key or {API_KEY_ENV}, or listen on 127.0.0.1"
            )
        if self.db_path.exists() and self.db_path.is_dir():
            raise ListenerConfigError(f"--db {self.db_path} is a folder, not a database file")
        if self.otlp_endpoint is not None:
            self.otlp_headers_dict()  # raises on a header that is not name=value
            try:
                from ..observation.backends.Otlp import OtlpTraceSink

                OtlpTraceSink(endpoint=self.otlp_endpoint, protocol=self.otlp_protocol,
                              headers=self.otlp_headers_dict())
            except (TypeError, ValueError) as exc:
                raise ListenerConfigError(f"--otlp-endpoint/--otlp-protocol/--otlp-header: {exc}") from None

    def otlp_headers_dict(self) -> dict[str, str]:
        out: dict[str, str] = {}
        for item in self.otlp_headers:
            name, sep, value = item.partition("=")
            if not sep or not name.strip():
                raise ListenerConfigError(f"--otlp-header {item!r} is not NAME=VALUE")
            out[name.strip()] = value.strip()
        return out

    @property
    def max_parts(self) -> int:
        """Attributes and the other parts one OTLP request may hold (``PARTS_PER_ITEM`` per item)."""
        return self.max_items * PARTS_PER_ITEM

    @property
    def loopback_only(self) -> bool:
        return is_loopback_host(self.host)

    def display_host(self) -> str:
        host = self.host
        if host in ("0.0.0.0", "::", ""):
            host = "127.0.0.1" if host != "::" else "[::1]"
        elif ":" in host and not host.startswith("["):
            host = f"[{host}]"
        return host

    def base_url(self, port: int | None = None) -> str:
        return f"http://{self.display_host()}:{self.port if port is None else port}"

    def ingest_url(self, port: int | None = None) -> str:
        return f"{self.base_url(port)}{self.prefix}/ingest"

    def page_url(self, port: int | None = None) -> str:
        return f"{self.base_url(port)}/"
