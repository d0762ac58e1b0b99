"""``orvane-devtools start``: its options and how they become a ``ListenerConfig``."""

from __future__ import annotations

import argparse
import os
import re
import sys
from pathlib import Path

from .config import (
    API_KEY_ENV,
    DEFAULT_HOST,
    DEFAULT_MAX_BODY,
    DEFAULT_MAX_EVENTS,
    DEFAULT_MAX_ITEMS,
    DEFAULT_PORT,
    DEFAULT_PREFIX,
    DEFAULT_STREAM_QUEUE_SIZE,
    ListenerConfig,
    default_db_path,
)

__all__ = ["add_start_arguments", "config_from_args", "parse_size", "start_command"]

_SIZE_RE = re.compile(r"\s*([0-9]+(?:\.[0-9]+)?)\s*([kmg]i?b?|b)?\s*", re.IGNORECASE)
_UNITS = {"": 1, "b": 1, "k": 1000, "kb": 1000, "ki": 1024, "kib": 1024, "m": 1000**2,
          "mb": 1000**2, "mi": 1024**2, "mib": 1024**2, "g": 1000**3, "gb": 1000**3,
          "gi": 1024**3, "gib": 1024**3}


def parse_size(text: str) -> int:
    """``16MiB`` -> 16777216, ``500k`` -> 500000, ``2048`` -> 2048."""
    match = _SIZE_RE.fullmatch(text)
    if not match:
        raise argparse.ArgumentTypeError(f"{text!r} is not a size such as 16MiB or 500000")
    number, unit = match.groups()
    return int(float(number) * _UNITS[(unit or "").lower()])


def add_start_arguments(parser: argparse.ArgumentParser, *, port: int = DEFAULT_PORT,
                        db_default: str | None = None) -> None:
    """The options of ``start`` (``open`` takes them too, with its own port and database
    defaults: ``port``, and ``db_default`` the text its help gives for a missing ``--db``)."""
    parser.add_argument("--host", default=DEFAULT_HOST,
                        help=f"address to listen on (default {DEFAULT_HOST}; any other than a "
                             f"loopback address needs an API key)")
    port_text = "any free one" if port == 0 else str(port)
    parser.add_argument("--port", type=int, default=port,
                        help=f"port to listen on (default {port_text}; 0 picks a free one)")
    parser.add_argument("--prefix", default=DEFAULT_PREFIX,
                        help=f"path under which the API lives (default {DEFAULT_PREFIX})")
    parser.add_argument("--db", default=None, metavar="PATH",
                        help=f"SQLite database file (default {db_default or default_db_path()})")
    parser.add_argument("--api-key", default=None, metavar="KEY",
                        help=f"require 'Authorization: Bearer KEY' on the API (also from "
                             f"{API_KEY_ENV}; prefer the variable: a command line is visible "
                             f"to other users of the machine)")
    parser.add_argument("--max-body", type=parse_size, default=DEFAULT_MAX_BODY, metavar="SIZE",
                        help="largest upload body accepted, e.g. 16MiB (default 16MiB); larger "
                             "ones get 413")
    parser.add_argument("--max-events", type=int, default=DEFAULT_MAX_EVENTS, metavar="N",
                        help=f"events the database keeps, oldest dropped first "
                             f"(default {DEFAULT_MAX_EVENTS:,})")
    parser.add_argument("--max-items", type=int, default=DEFAULT_MAX_ITEMS, metavar="N",
                        help=f"spans (span events and span links each too) or log records one OTLP "
                             f"request may hold; larger ones get 413 (default {DEFAULT_MAX_ITEMS:,})")
    parser.add_argument("--retention-days", type=float, default=None, metavar="DAYS",
                        help="drop events older than this many days (default: keep)")
    parser.add_argument("--cors-origin", action="append", default=[], metavar="ORIGIN",
                        help="allow cross-origin requests from this origin (repeatable; "
                             "default: no CORS headers)")
    parser.add_argument("--stale-after", type=int, default=None, metavar="SECONDS",
                        help="a running run without activity this long reads as failed "
                             "(default 900; 0 turns the rule off)")
    parser.add_argument("--orphan-after", type=int, default=None, metavar="SECONDS",
                        help="a running run this long after its ancestor ended reads as failed "
                             "(default 30; 0 turns the rule off)")
    parser.add_argument("--stream-queue-size", type=int, default=DEFAULT_STREAM_QUEUE_SIZE, metavar="N",
                        help=f"messages each open stream holds for a page that reads slowly; when "
                             f"more arrive the oldest are dropped and the page is told to read "
                             f"again (default {DEFAULT_STREAM_QUEUE_SIZE}, at least 1)")
    parser.add_argument("--otlp-endpoint", default=None, metavar="URL",
                        help="also export every run received as OpenTelemetry spans to this "
                             "OTLP/HTTP traces URL, e.g. http://127.0.0.1:4318/v1/traces")
    parser.add_argument("--otlp-protocol", default="http/protobuf", choices=["http/protobuf", "http/json"],
                        help="encoding of the OTLP export (default http/protobuf)")
    parser.add_argument("--otlp-header", action="append", default=[], metavar="NAME=VALUE",
                        help="header sent with every OTLP export request (repeatable)")
    parser.add_argument("--heartbeat", type=float, default=15.0, metavar="SECONDS",
                        help=argparse.SUPPRESS)


def config_from_args(args: argparse.Namespace, environ: dict[str, str] | None = None) -> ListenerConfig:
    environ = os.environ if environ is None else environ
    api_key = args.api_key if args.api_key else environ.get(API_KEY_ENV) or None
    return ListenerConfig(
        host=args.host,
        port=args.port,
        prefix=args.prefix,
        db_path=Path(args.db) if args.db else None,
        api_key=api_key,
        max_body=args.max_body,
        max_events=args.max_events,
        max_items=getattr(args, "max_items", DEFAULT_MAX_ITEMS),
        retention_days=args.retention_days,
        cors_origins=list(args.cors_origin),
        heartbeat_seconds=args.heartbeat,
        stream_queue_size=getattr(args, "stream_queue_size", DEFAULT_STREAM_QUEUE_SIZE),
        stale_after_seconds=getattr(args, "stale_after", None),
        orphan_after_seconds=getattr(args, "orphan_after", None),
        otlp_endpoint=getattr(args, "otlp_endpoint", None) or None,
        otlp_protocol=getattr(args, "otlp_protocol", "http/protobuf"),
        otlp_headers=list(getattr(args, "otlp_header", []) or []),
    )


def start_command(args: argparse.Namespace) -> int:
    from .config import ListenerConfigError
    from .server import main_start

    try:
        config = config_from_args(args)
    except ListenerConfigError as exc:
        print(f"orvane-devtools start: {exc}", file=sys.stderr, flush=True)
        return 2
    return main_start(config, backends=extra_backends(args, config))


def extra_backends(args: argparse.Namespace, config: ListenerConfig) -> list:
    """Sinks built from the command line that the desk feeds with every accepted event, beside
    the database (exporters to other systems add their options and their sink here)."""
    return []
