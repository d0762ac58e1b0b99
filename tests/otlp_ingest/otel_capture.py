"""Spans and log records of the OpenTelemetry SDK, captured in memory and read back the way an
OTLP receiver reads them.

:class:`Capture` is an SDK ``TracerProvider`` (with :class:`~orvane_devtools.otel.RunSpanProcessor`
first) and ``LoggerProvider``, each with its in-memory exporter. :meth:`Capture.spans` and
:meth:`Capture.logs` encode what was captured with the SDK's own OTLP encoders, serialise it to
the protobuf bytes an exporter would send, parse those with ``opentelemetry-proto`` and turn
them into the normalised dict shape the listener's OTLP decoder gives:

    span: {"trace_id": hex, "span_id", "parent_span_id" ("" when absent), "trace_state",
           "flags", "name", "kind": int, "start_time_unix_nano", "end_time_unix_nano",
           "attributes": dict, "dropped_attributes_count", "events": [{"time_unix_nano",
           "name", "attributes", "dropped_attributes_count"}], "dropped_events_count",
           "links": [...], "dropped_links_count", "status": {"code", "message"},
           "resource": dict, "resource_schema_url", "scope": {"name", "version", "attributes"}}
    log:  {"time_unix_nano", "observed_time_unix_nano", "severity_number", "severity_text",
           "body", "attributes", "dropped_attributes_count", "flags", "trace_id", "span_id",
           "event_name", "resource", "scope"}

So a test written against these dicts reads the same once the capture is replaced by a listener
that received the same bytes.
"""

from __future__ import annotations

from typing import Any

from opentelemetry.exporter.otlp.proto.common._log_encoder import encode_logs
from opentelemetry.exporter.otlp.proto.common.trace_encoder import encode_spans
from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceRequest
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.sdk._logs import LoggerProvider
from opentelemetry.sdk._logs.export import InMemoryLogRecordExporter, SimpleLogRecordProcessor
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from opentelemetry.sdk.trace.sampling import Sampler

from orvane_devtools.otel import RunSpanProcessor

SERVICE_NAME = "bridge-tests"

# OTLP's span kinds (the SDK's SpanKind enum counts from INTERNAL = 0; the wire from UNSPECIFIED).
KIND_INTERNAL, KIND_SERVER, KIND_CLIENT = 1, 2, 3
STATUS_UNSET, STATUS_OK, STATUS_ERROR = 0, 1, 2
# SpanFlags: the low byte is the W3C trace flags; these two say whether the parent is remote.
FLAG_HAS_IS_REMOTE = 0x100
FLAG_IS_REMOTE = 0x200


class Capture:
    def __init__(self, *, sampler: Sampler | None = None, stamps: bool = True) -> None:
        resource = Resource.create({"service.name": SERVICE_NAME})
        self.span_exporter = InMemorySpanExporter()
        self.log_exporter = InMemoryLogRecordExporter()
        self.tracer_provider = TracerProvider(resource=resource, sampler=sampler)
        if stamps:
            self.tracer_provider.add_span_processor(RunSpanProcessor())
        self.tracer_provider.add_span_processor(SimpleSpanProcessor(self.span_exporter))
        self.logger_provider = LoggerProvider(resource=resource)
        self.logger_provider.add_log_record_processor(SimpleLogRecordProcessor(self.log_exporter))

    def tracer(self, name: str = "bridge-tests"):
        return self.tracer_provider.get_tracer(name)

    def clear(self) -> None:
        self.span_exporter.clear()
        self.log_exporter.clear()

    def shutdown(self) -> None:
        self.tracer_provider.shutdown()
        self.logger_provider.shutdown()

    def spans(self) -> list[dict[str, Any]]:
        """The finished spans, in the order they ended, as a receiver decodes them."""
        body = encode_spans(self.span_exporter.get_finished_spans()).SerializeToString()
        return spans_of(ExportTraceServiceRequest.FromString(body))

    def logs(self) -> list[dict[str, Any]]:
        body = encode_logs(self.log_exporter.get_finished_logs()).SerializeToString()
        return logs_of(ExportLogsServiceRequest.FromString(body))


# -- protobuf messages into plain dicts -------------------------------------------------------------


def any_value(v: Any) -> Any:
    kind = v.WhichOneof("value")
    if kind is None:
        return None
    if kind == "array_value":
        return [any_value(item) for item in v.array_value.values]
    if kind == "kvlist_value":
        return attributes_of(v.kvlist_value.values)
    return getattr(v, kind)


def attributes_of(kvs: Any) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for kv in kvs:
        assert kv.key not in out, f"attribute {kv.key!r} twice"
        out[kv.key] = any_value(kv.value)
    return out


def scope_of(scope: Any) -> dict[str, Any]:
    return {"name": scope.name, "version": scope.version, "attributes": attributes_of(scope.attributes)}


def spans_of(message: ExportTraceServiceRequest) -> list[dict[str, Any]]:
    out = []
    for rs in message.resource_spans:
        resource = attributes_of(rs.resource.attributes)
        for ss in rs.scope_spans:
            scope = scope_of(ss.scope)
            for s in ss.spans:
                out.append({
                    "trace_id": s.trace_id.hex(),
                    "span_id": s.span_id.hex(),
                    "parent_span_id": s.parent_span_id.hex(),
                    "trace_state": s.trace_state,
                    "flags": s.flags,
                    "name": s.name,
                    "kind": s.kind,
                    "start_time_unix_nano": s.start_time_unix_nano,
                    "end_time_unix_nano": s.end_time_unix_nano,
                    "attributes": attributes_of(s.attributes),
                    "dropped_attributes_count": s.dropped_attributes_count,
                    "events": [
                        {
                            "time_unix_nano": e.time_unix_nano,
                            "name": e.name,
                            "attributes": attributes_of(e.attributes),
                            "dropped_attributes_count": e.dropped_attributes_count,
                        }
                        for e in s.events
                    ],
                    "dropped_events_count": s.dropped_events_count,
                    "links": [
                        {
                            "trace_id": link.trace_id.hex(),
                            "span_id": link.span_id.hex(),
                            "trace_state": link.trace_state,
                            "attributes": attributes_of(link.attributes),
                            "dropped_attributes_count": link.dropped_attributes_count,
                            "flags": link.flags,
                        }
                        for link in s.links
                    ],
                    "dropped_links_count": s.dropped_links_count,
                    "status": {"code": s.status.code, "message": s.status.message},
                    "resource": resource,
                    "resource_schema_url": rs.schema_url,
                    "scope": scope,
                })
    return out


def logs_of(message: ExportLogsServiceRequest) -> list[dict[str, Any]]:
    out = []
    for rl in message.resource_logs:
        resource = attributes_of(rl.resource.attributes)
        for sl in rl.scope_logs:
            scope = scope_of(sl.scope)
            for r in sl.log_records:
                out.append({
                    "time_unix_nano": r.time_unix_nano,
                    "observed_time_unix_nano": r.observed_time_unix_nano,
                    "severity_number": r.severity_number,
                    "severity_text": r.severity_text,
                    "body": any_value(r.body) if r.HasField("body") else None,
                    "attributes": attributes_of(r.attributes),
                    "dropped_attributes_count": r.dropped_attributes_count,
                    "flags": r.flags,
                    "trace_id": r.trace_id.hex(),
                    "span_id": r.span_id.hex(),
                    "event_name": r.event_name,
                    "resource": resource,
                    "scope": scope,
                })
    return out


def by_name(spans: list[dict[str, Any]]) -> dict[str, dict[str, Any]]:
    """Spans keyed by name; a name must occur once."""
    out: dict[str, dict[str, Any]] = {}
    for s in spans:
        assert s["name"] not in out, f"span {s['name']!r} twice"
        out[s["name"]] = s
    return out
