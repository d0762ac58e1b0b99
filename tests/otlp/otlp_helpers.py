"""Shared pieces of the OTLP tests: a real OTLP/HTTP receiver on 127.0.0.1 that decodes every
request with the opentelemetry-proto package, event factories, and a plain view of spans."""

from __future__ import annotations

import base64
import gzip
import json
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any

from google.protobuf import json_format
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import (
    ExportTracePartialSuccess,
    ExportTraceServiceRequest,
    ExportTraceServiceResponse,
)

from orvane_devtools._orvane_compat import RuntimeEvent

_ID_KEYS = {"traceId", "spanId", "parentSpanId"}


def json_to_message(text: bytes | str) -> ExportTraceServiceRequest:
    """Parses an OTLP/JSON body: hex ids (the protocol's rule) become the base64 that the
    generic proto3 JSON parser expects; unknown field names are an error."""

    def fix(node: Any) -> Any:
        if isinstance(node, dict):
            out = {}
            for k, v in node.items():
                if k in _ID_KEYS:
                    assert isinstance(v, str) and v == v.lower(), f"{k} must be lower-case hex: {v!r}"
                    out[k] = base64.b64encode(bytes.fromhex(v)).decode()
                else:
                    out[k] = fix(v)
            return out
        if isinstance(node, list):
            return [fix(v) for v in node]
        return node

    data = json.loads(text)
    return json_format.ParseDict(fix(data), ExportTraceServiceRequest(), ignore_unknown_fields=False)


def decode_body(body: bytes, content_type: str, encoding: str | None) -> ExportTraceServiceRequest:
    if encoding == "gzip":
        body = gzip.decompress(body)
    if content_type.startswith("application/x-protobuf"):
        return ExportTraceServiceRequest.FromString(body)
    if content_type.startswith("application/json"):
        return json_to_message(body)
    raise AssertionError(f"unexpected content type {content_type!r}")


class Receiver:
    """An OTLP/HTTP trace receiver. Every POST is decoded (protobuf or JSON, gzip or not) and
    recorded; the answers come from `script` (a list of (status, headers, body) consumed in
    order), then 200 with an empty ExportTraceServiceResponse."""

    def __init__(self, port: int = 0) -> None:
        self.requests: list[dict] = []
        self.script: list[tuple[int, dict, bytes]] = []
        self.delay = 0.0
        self.cond = threading.Condition()
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args: Any) -> None:
                pass

            def do_POST(self) -> None:  # noqa: N802
                raw = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                headers = {k.lower(): v for k, v in self.headers.items()}
                ctype = headers.get("content-type", "")
                try:
                    message = decode_body(raw, ctype, headers.get("content-encoding"))
                    error = None
                except Exception as exc:  # recorded; the test that sent it fails on it
                    message, error = None, exc
                with receiver.cond:
                    answer = receiver.script.pop(0) if receiver.script else None
                    receiver.requests.append(
                        {"path": self.path, "headers": headers, "raw": raw, "message": message,
                         "error": error, "at": time.monotonic()}
                    )
                    receiver.cond.notify_all()
                if receiver.delay:
                    time.sleep(receiver.delay)
                if answer is None:
                    body = ExportTraceServiceResponse().SerializeToString()
                    if ctype.startswith("application/json"):
                        body = b"{}"
                    answer = (200, {}, body)
                status, extra, body = answer
                try:
                    self.send_response(status)
                    self.send_header("Content-Type", ctype or "application/x-protobuf")
                    for k, v in extra.items():
                        self.send_header(k, v)
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                except OSError:
                    pass

        self.server = ThreadingHTTPServer(("127.0.0.1", port), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)
        self.thread.start()

    def url(self, path: str = "/v1/traces") -> str:
        return f"http://127.0.0.1:{self.port}{path}"

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()

    def wait_for(self, predicate, timeout: float = 10.0) -> bool:
        deadline = time.monotonic() + timeout
        with self.cond:
            while not predicate(self):
                left = deadline - time.monotonic()
                if left <= 0:
                    return False
                self.cond.wait(left)
            return True

    def messages(self) -> list[ExportTraceServiceRequest]:
        with self.cond:
            for r in self.requests:
                if r["error"] is not None:
                    raise AssertionError(f"undecodable request: {r['error']!r}")
            return [r["message"] for r in self.requests]

    def spans(self) -> list[dict]:
        return [s for m in self.messages() for s in plain_spans(m)]

    def span_count(self) -> int:
        with self.cond:
            return sum(len(ss.spans) for r in self.requests if r["message"] is not None
                       for rs in r["message"].resource_spans for ss in rs.scope_spans)


def partial_success(rejected: int, message: str) -> bytes:
    return ExportTraceServiceResponse(
        partial_success=ExportTracePartialSuccess(rejected_spans=rejected, error_message=message)
    ).SerializeToString()


def any_value(v) -> Any:
    kind = v.WhichOneof("value")
    return None if kind is None else getattr(v, kind)


def attrs(kvs) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for kv in kvs:
        assert kv.key not in out, f"attribute {kv.key} twice"
        out[kv.key] = any_value(kv.value)
    return out


def plain_spans(message: ExportTraceServiceRequest) -> list[dict]:
    """Every span of a request as a plain dict, with its resource attributes."""
    out = []
    for rs in message.resource_spans:
        resource = attrs(rs.resource.attributes)
        for ss in rs.scope_spans:
            for s in ss.spans:
                out.append({
                    "resource": resource,
                    "scope": ss.scope.name,
                    "trace_id": s.trace_id.hex(),
                    "span_id": s.span_id.hex(),
                    "parent_span_id": s.parent_span_id.hex(),
                    "name": s.name,
                    "kind": s.kind,
                    "start": s.start_time_unix_nano,
                    "end": s.end_time_unix_nano,
                    "attributes": attrs(s.attributes),
                    "events": [
                        {"name": e.name, "time": e.time_unix_nano, "attributes": attrs(e.attributes)}
                        for e in s.events
                    ],
                    "dropped_events": s.dropped_events_count,
                    "status_code": s.status.code,
                    "status_message": s.status.message,
                    "flags": s.flags,
                })
    return out


def by_run(spans: list[dict]) -> dict[str, dict]:
    """Run spans (not tool spans) keyed by run id; a run id must occur once."""
    out: dict[str, dict] = {}
    for s in spans:
        if s["name"].startswith("execute_tool") and "orvane.run.kind" not in s["attributes"]:
            continue
        key = s["attributes"]["orvane.run.id"]
        if "orvane.run.segment" in s["attributes"]:
            key = f"{key}#{s['attributes']['orvane.run.segment']}"
        assert key not in out, f"run {key} exported twice"
        out[key] = s
    return out


class Clock:
    """Event timestamps one millisecond apart from a fixed start."""

    def __init__(self, start: int = 1_700_000_000_000) -> None:
        self.now = start

    def __call__(self, step: int = 1) -> int:
        self.now += step
        return self.now


def run_ctx(run_id: str, *, parent: str | None = None, root: str | None = None,
            kind: str = "agent_task", agent: str | None = None, **more: Any) -> dict:
    ctx: dict[str, Any] = {"run_id": run_id, "run_kind": kind}
    if parent is not None:
        ctx["parent_run_id"] = parent
        ctx["root_run_id"] = root if root is not None else parent
    elif root is not None:
        ctx["root_run_id"] = root
    if agent is not None:
        ctx["agent_name"] = agent
    ctx.update(more)
    return ctx


def event(event_type: str, run: dict | None, ts: int, **fields: Any) -> RuntimeEvent:
    return RuntimeEvent(event_type=event_type, run=run, timestamp=ts, **fields)
