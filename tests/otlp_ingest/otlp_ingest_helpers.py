"""Shared pieces of the OTLP receiver's tests: requests built from opentelemetry-proto messages,
a reference conversion of those messages into the decoders' normalised shape, and the listener as
a real process (``orvane-devtools start``, with the build's own readers) with its HTTP face."""

from __future__ import annotations

import base64
import json
import os
import re
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import httpx
from google.protobuf import json_format
from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceRequest
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.proto.common.v1.common_pb2 import AnyValue, ArrayValue, InstrumentationScope, KeyValue, KeyValueList
from opentelemetry.proto.logs.v1.logs_pb2 import LogRecord, ResourceLogs, ScopeLogs
from opentelemetry.proto.resource.v1.resource_pb2 import Resource
from opentelemetry.proto.trace.v1.trace_pb2 import ResourceSpans, ScopeSpans, Span, Status

T0_NS = 1_760_000_000_000_000_000

# -- values ------------------------------------------------------------------------------------


def any_value(value: Any) -> AnyValue:
    """A Python value as an AnyValue (bool before int: a bool is an int)."""
    if isinstance(value, bool):
        return AnyValue(bool_value=value)
    if isinstance(value, int):
        return AnyValue(int_value=value)
    if isinstance(value, float):
        return AnyValue(double_value=value)
    if isinstance(value, str):
        return AnyValue(string_value=value)
    if isinstance(value, bytes):
        return AnyValue(bytes_value=value)
    if isinstance(value, (list, tuple)):
        return AnyValue(array_value=ArrayValue(values=[any_value(v) for v in value]))
    if isinstance(value, dict):
        return AnyValue(kvlist_value=KeyValueList(values=key_values(value)))
    if value is None:
        return AnyValue()
    raise TypeError(value)


def key_values(values: dict[str, Any]) -> list[KeyValue]:
    return [KeyValue(key=k, value=any_value(v)) for k, v in values.items()]


def from_any(value: AnyValue) -> Any:
    kind = value.WhichOneof("value")
    if kind is None:
        return None
    if kind == "array_value":
        return [from_any(v) for v in value.array_value.values]
    if kind == "kvlist_value":
        return {kv.key: from_any(kv.value) for kv in value.kvlist_value.values}
    if kind == "bytes_value":
        return base64.b64encode(value.bytes_value).decode("ascii")
    return getattr(value, kind)


def from_key_values(kvs: Any) -> dict[str, Any]:
    return {kv.key: from_any(kv.value) for kv in kvs}


# -- messages -> the normalised shape (the reference, written from the message objects) --------


def spans_of(request: ExportTraceServiceRequest) -> list[dict[str, Any]]:
    out = []
    for rs in request.resource_spans:
        resource = from_key_values(rs.resource.attributes)
        for ss in rs.scope_spans:
            scope = {"name": ss.scope.name, "version": ss.scope.version,
                     "attributes": from_key_values(ss.scope.attributes)}
            for s in ss.spans:
                out.append({
                    "trace_id": s.trace_id.hex(), "span_id": s.span_id.hex(),
                    "parent_span_id": s.parent_span_id.hex(), "trace_state": s.trace_state, "flags": s.flags,
                    "name": s.name, "kind": s.kind, "start_time_unix_nano": s.start_time_unix_nano,
                    "end_time_unix_nano": s.end_time_unix_nano, "attributes": from_key_values(s.attributes),
                    "dropped_attributes_count": s.dropped_attributes_count,
                    "events": [{"time_unix_nano": e.time_unix_nano, "name": e.name,
                                "attributes": from_key_values(e.attributes),
                                "dropped_attributes_count": e.dropped_attributes_count} for e in s.events],
                    "dropped_events_count": s.dropped_events_count,
                    "links": [{"trace_id": ln.trace_id.hex(), "span_id": ln.span_id.hex(),
                               "trace_state": ln.trace_state, "attributes": from_key_values(ln.attributes),
                               "flags": ln.flags} for ln in s.links],
                    "dropped_links_count": s.dropped_links_count,
                    "status": {"code": s.status.code, "message": s.status.message},
                    "resource": resource, "resource_schema_url": rs.schema_url, "scope": scope,
                })
    return out


def logs_of(request: ExportLogsServiceRequest) -> list[dict[str, Any]]:
    out = []
    for rl in request.resource_logs:
        resource = from_key_values(rl.resource.attributes)
        for sl in rl.scope_logs:
            scope = {"name": sl.scope.name, "version": sl.scope.version,
                     "attributes": from_key_values(sl.scope.attributes)}
            for r in sl.log_records:
                out.append({
                    "time_unix_nano": r.time_unix_nano, "observed_time_unix_nano": r.observed_time_unix_nano,
                    "severity_number": r.severity_number, "severity_text": r.severity_text,
                    "body": from_any(r.body) if r.HasField("body") else None,
                    "attributes": from_key_values(r.attributes),
                    "dropped_attributes_count": r.dropped_attributes_count, "flags": r.flags,
                    "trace_id": r.trace_id.hex(), "span_id": r.span_id.hex(), "event_name": r.event_name,
                    "resource": resource, "scope": scope,
                })
    return out


# -- building requests -------------------------------------------------------------------------


def tid(n: int) -> str:
    return f"{n:032x}"


def sid(n: int) -> str:
    return f"{n:016x}"


def span(trace: str, span_id: str, parent: str = "", *, name: str = "op", attributes: dict | None = None,
         start: int = T0_NS, end: int | None = None, events: list[tuple[int, str, dict]] | None = None,
         status: int = 0, status_message: str = "", kind: int = 1) -> Span:
    return Span(
        trace_id=bytes.fromhex(trace), span_id=bytes.fromhex(span_id),
        parent_span_id=bytes.fromhex(parent) if parent else b"", name=name, kind=kind,
        start_time_unix_nano=start, end_time_unix_nano=start + 5_000_000 if end is None else end,
        attributes=key_values(attributes or {}),
        events=[Span.Event(time_unix_nano=t, name=n, attributes=key_values(a)) for t, n, a in (events or [])],
        status=Status(code=status, message=status_message),
    )


def trace_request(spans: list[Span], resource: dict | None = None, scope: str = "tests.scope") -> ExportTraceServiceRequest:
    return ExportTraceServiceRequest(resource_spans=[ResourceSpans(
        resource=Resource(attributes=key_values(resource if resource is not None else {"service.name": "svc-a"})),
        scope_spans=[ScopeSpans(scope=InstrumentationScope(name=scope, version="1.0"), spans=spans)],
    )])


def log_record(body: Any = "a line", *, trace: str = "", span_id: str = "", severity: int = 9,
               attributes: dict | None = None, at: int = T0_NS, event_name: str = "") -> LogRecord:
    return LogRecord(time_unix_nano=at, observed_time_unix_nano=at, severity_number=severity,
                     body=any_value(body), attributes=key_values(attributes or {}),
                     trace_id=bytes.fromhex(trace) if trace else b"",
                     span_id=bytes.fromhex(span_id) if span_id else b"", event_name=event_name)


def logs_request(records: list[LogRecord], resource: dict | None = None) -> ExportLogsServiceRequest:
    return ExportLogsServiceRequest(resource_logs=[ResourceLogs(
        resource=Resource(attributes=key_values(resource if resource is not None else {"service.name": "svc-a"})),
        scope_logs=[ScopeLogs(scope=InstrumentationScope(name="tests.logs"), log_records=records)],
    )])


_ID_KEYS = {"traceId": 16, "spanId": 8, "parentSpanId": 8}


def json_body(message: Any) -> bytes:
    """The OTLP/JSON encoding of a message: lowerCamelCase names, ids as lower-case hex."""
    doc = json_format.MessageToDict(message)

    def fix(node: Any) -> Any:
        if isinstance(node, dict):
            return {k: (base64.b64decode(v).hex() if k in _ID_KEYS and isinstance(v, str) else fix(v))
                    for k, v in node.items()}
        if isinstance(node, list):
            return [fix(v) for v in node]
        return node

    return json.dumps(fix(doc)).encode()


# -- the listener as a process -----------------------------------------------------------------

START_TIMEOUT = 60.0
_URL_RE = re.compile(r"ingest URL:\s+(http://[^\s]+)")


class Listener:
    """One ``orvane-devtools start`` process, as it ships; its output is collected by a reader
    thread."""

    def __init__(self, db: Path, *args: str, api_key: str | None = None, env: dict[str, str] | None = None) -> None:
        self.db = db
        self.args = list(args)
        self.api_key = api_key
        self.env = dict(os.environ if env is None else env)
        self.proc: subprocess.Popen[str] | None = None
        self.lines: list[str] = []
        self.origin = ""
        self.ingest_url = ""

    def start(self) -> Listener:
        cmd = [sys.executable, "-m", "orvane_devtools", "start", "--port", "0", "--db", str(self.db), *self.args]
        if self.api_key:
            cmd += ["--api-key", self.api_key]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=self.env)
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
            raise AssertionError("the listener did not start:\n" + "\n".join(self.lines))
        port = int(self.ingest_url.split(":")[2].split("/")[0])
        self.origin = f"http://127.0.0.1:{port}"
        return self

    @property
    def api(self) -> str:
        return self.ingest_url[: -len("/ingest")]

    def headers(self) -> dict[str, str]:
        return {"Authorization": f"Bearer {self.api_key}"} if self.api_key else {}

    def client(self) -> httpx.Client:
        return httpx.Client(headers=self.headers(), timeout=30.0)

    def pid(self) -> int:
        assert self.proc is not None
        return self.proc.pid

    def stop(self, timeout: float = 15.0) -> int:
        assert self.proc is not None
        self.proc.terminate()
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError("the listener did not stop:\n" + "\n".join(self.lines)) from None

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)

    # -- reads through the API ---------------------------------------------------------------

    def run(self, run_id: str) -> dict[str, Any] | None:
        with self.client() as c:
            r = c.get(f"{self.api}/runs/{run_id}")
        if r.status_code == 404:
            return None
        r.raise_for_status()
        return r.json()

    def runs(self, **params: Any) -> list[dict[str, Any]]:
        with self.client() as c:
            r = c.get(f"{self.api}/runs", params={"limit": 1000, **params})
        r.raise_for_status()
        return r.json()["runs"]

    def events(self, run_id: str) -> list[dict[str, Any]]:
        with self.client() as c:
            r = c.get(f"{self.api}/runs/{run_id}/events", params={"limit": 5000})
        r.raise_for_status()
        return r.json()["events"]

    def search(self, text: str) -> list[dict[str, Any]]:
        with self.client() as c:
            r = c.get(f"{self.api}/events", params={"search": text, "limit": 1000})
        r.raise_for_status()
        return r.json()["events"]

    def flat_tree(self, run_id: str) -> dict[str, Any]:
        with self.client() as c:
            r = c.get(f"{self.api}/runs/{run_id}/tree", params={"format": "flat"})
        r.raise_for_status()
        return r.json()

    def post(self, path: str, body: bytes, content_type: str = "application/x-protobuf",
             **headers: str) -> httpx.Response:
        with self.client() as c:
            return c.post(self.origin + path, content=body, headers={"Content-Type": content_type, **headers})


def rss_peak_kb(pid: int) -> int:
    """The peak resident memory of process `pid` so far (VmHWM), in KiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise AssertionError("no VmHWM")


def wait_until(check: Any, timeout: float = 20.0, interval: float = 0.05) -> Any:
    """Calls ``check`` until it gives something true; that value (AssertionError on time-out)."""
    deadline = time.monotonic() + timeout
    last = None
    while time.monotonic() < deadline:
        last = check()
        if last:
            return last
        time.sleep(interval)
    raise AssertionError(f"not true within {timeout} s (last: {last!r})")
