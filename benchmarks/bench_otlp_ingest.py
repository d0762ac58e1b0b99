"""OTLP ingest benchmark: decoding an OTLP/HTTP request body into the listener's plain dicts.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_otlp_ingest.py

One ExportTraceServiceRequest of 512 spans of the GenAI chat shape (15 attributes, two events,
a parent; one resource of six attributes, one scope), decoded three ways, each as µs per span
and as a ratio to U (measured just before and just after each row, the row set against their
mean):

* natively: ``Ingest._decode_otlp_traces(body)``;
* the fair alternative: opentelemetry-proto's ``ExportTraceServiceRequest.FromString`` plus a
  Python walk of the message to the same dicts (checked equal to the native ones first), and
  ``FromString`` alone for scale;
* the JSON road: ``listener.otlp.json_body.decode_json_traces`` of the same request in the
  protocol's JSON encoding (hex ids, 64-bit integers as strings).

The same for an ExportLogsServiceRequest of 512 GenAI log events (a kvlist body, three
attributes, trace and span ids). Rows end with the ratios of the alternatives to the native
decoder. No target: the figures decide which decoder the listener uses.
"""

from __future__ import annotations

import base64
import json
import statistics

from common import per_call, report, unit_seconds
from google.protobuf import json_format
from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceRequest
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest

from orvane_devtools.listener.Ingest import _decode_otlp_logs, _decode_otlp_traces
from orvane_devtools.listener.otlp.json_body import decode_json_logs, decode_json_traces

SPANS = 512


def _set(value, v) -> None:
    if isinstance(v, bool):
        value.bool_value = v
    elif isinstance(v, int):
        value.int_value = v
    elif isinstance(v, float):
        value.double_value = v
    elif isinstance(v, list):
        for x in v:
            _set(value.array_value.values.add(), x)
    else:
        value.string_value = v


def _attrs(target, items: dict) -> None:
    for k, v in items.items():
        _set(target.add(key=k).value, v)


RESOURCE = {"service.name": "trip-planner", "service.version": "1.4.2", "deployment.environment.name": "local",
            "telemetry.sdk.name": "opentelemetry", "telemetry.sdk.language": "python",
            "telemetry.sdk.version": "1.27.0"}


def chat_attributes(i: int) -> dict:
    return {
        "gen_ai.operation.name": "chat",
        "gen_ai.system": "openai",
        "gen_ai.request.model": "gpt-4o-mini",
        "gen_ai.request.temperature": 0.7,
        "gen_ai.request.max_tokens": 512,
        "gen_ai.request.top_p": 1.0,
        "gen_ai.response.model": "gpt-4o-mini-2024-07-18",
        "gen_ai.response.id": f"chatcmpl-{i:012d}AbCdEfGhIjKlMn",
        "gen_ai.response.finish_reasons": ["stop"],
        "gen_ai.usage.input_tokens": 1200 + i,
        "gen_ai.usage.output_tokens": 85,
        "server.address": "api.openai.com",
        "server.port": 443,
        "gen_ai.openai.request.service_tier": "auto",
        "gen_ai.openai.response.system_fingerprint": "fp_0ba0d124f1",
    }


def traces_request() -> ExportTraceServiceRequest:
    req = ExportTraceServiceRequest()
    rs = req.resource_spans.add(schema_url="https://opentelemetry.io/schemas/1.26.0")
    _attrs(rs.resource.attributes, RESOURCE)
    ss = rs.scope_spans.add()
    ss.scope.name, ss.scope.version = "opentelemetry.instrumentation.openai_v2", "2.1b0"
    for i in range(SPANS):
        trace = (i // 8).to_bytes(16, "big")
        span = ss.spans.add(trace_id=trace, span_id=(i + 1).to_bytes(8, "big"),
                            parent_span_id=(0xABC000 + i // 8).to_bytes(8, "big"), flags=0x301,
                            name="chat gpt-4o-mini", kind=3, start_time_unix_nano=1_760_000_000_000_000_000 + i * 1000,
                            end_time_unix_nano=1_760_000_000_900_000_000 + i * 1000)
        _attrs(span.attributes, chat_attributes(i))
        _attrs(span.events.add(time_unix_nano=1_760_000_000_000_000_100 + i, name="gen_ai.user.message").attributes,
               {"gen_ai.system": "openai", "content": "Plan a three-day trip to Lisbon on a budget."})
        _attrs(span.events.add(time_unix_nano=1_760_000_000_900_000_000 + i, name="gen_ai.choice").attributes,
               {"gen_ai.system": "openai", "index": 0, "finish_reason": "stop",
                "message": "Day 1: Alfama and the castle; day 2: Belém; day 3: Sintra."})
        span.status.code = 0
    return req


def logs_request() -> ExportLogsServiceRequest:
    req = ExportLogsServiceRequest()
    rl = req.resource_logs.add(schema_url="https://opentelemetry.io/schemas/1.26.0")
    _attrs(rl.resource.attributes, RESOURCE)
    sl = rl.scope_logs.add()
    sl.scope.name = "opentelemetry.instrumentation.openai_v2"
    for i in range(SPANS):
        r = sl.log_records.add(time_unix_nano=1_760_000_000_000_000_000 + i,
                               observed_time_unix_nano=1_760_000_000_000_000_500 + i, severity_number=9,
                               trace_id=(i // 8).to_bytes(16, "big"), span_id=(i + 1).to_bytes(8, "big"), flags=1,
                               event_name="gen_ai.choice")
        body = r.body.kvlist_value.values
        body.add(key="index").value.int_value = 0
        body.add(key="finish_reason").value.string_value = "stop"
        msg = body.add(key="message").value.kvlist_value.values
        msg.add(key="role").value.string_value = "assistant"
        msg.add(key="content").value.string_value = "Day 1: Alfama and the castle; day 2: Belém; day 3: Sintra."
        _attrs(r.attributes, {"gen_ai.system": "openai", "gen_ai.response.id": f"chatcmpl-{i:012d}",
                              "event.name": "gen_ai.choice"})
    return req


# --- the fair alternative: the protobuf runtime and a Python walk -------------------------------


def _value(v):
    which = v.WhichOneof("value")
    if which == "string_value":
        return v.string_value
    if which == "int_value":
        return v.int_value
    if which == "double_value":
        return v.double_value
    if which == "bool_value":
        return v.bool_value
    if which == "array_value":
        return [_value(x) for x in v.array_value.values]
    if which == "kvlist_value":
        return {kv.key: _value(kv.value) for kv in v.kvlist_value.values}
    if which == "bytes_value":
        return base64.b64encode(v.bytes_value).decode("ascii")
    return None


def _kvs(kvs) -> dict:
    return {kv.key: _value(kv.value) for kv in kvs}


def walk_traces(body: bytes) -> list[dict]:
    req = ExportTraceServiceRequest.FromString(body)
    out = []
    append = out.append
    for rs in req.resource_spans:
        resource = _kvs(rs.resource.attributes)
        schema_url = rs.schema_url
        for ss in rs.scope_spans:
            sc = ss.scope
            scope = {"name": sc.name, "version": sc.version, "attributes": _kvs(sc.attributes)}
            for s in ss.spans:
                st = s.status
                append({
                    "trace_id": s.trace_id.hex(), "span_id": s.span_id.hex(), "parent_span_id": s.parent_span_id.hex(),
                    "trace_state": s.trace_state, "flags": s.flags, "name": s.name, "kind": s.kind,
                    "start_time_unix_nano": s.start_time_unix_nano, "end_time_unix_nano": s.end_time_unix_nano,
                    "attributes": _kvs(s.attributes), "dropped_attributes_count": s.dropped_attributes_count,
                    "events": [{"time_unix_nano": e.time_unix_nano, "name": e.name, "attributes": _kvs(e.attributes),
                                "dropped_attributes_count": e.dropped_attributes_count} for e in s.events],
                    "dropped_events_count": s.dropped_events_count,
                    "links": [{"trace_id": lk.trace_id.hex(), "span_id": lk.span_id.hex(),
                               "trace_state": lk.trace_state, "attributes": _kvs(lk.attributes),
                               "flags": lk.flags} for lk in s.links],
                    "dropped_links_count": s.dropped_links_count,
                    "status": {"code": st.code, "message": st.message},
                    "resource": resource, "resource_schema_url": schema_url, "scope": scope,
                })
    return out


def walk_logs(body: bytes) -> list[dict]:
    req = ExportLogsServiceRequest.FromString(body)
    out = []
    for rl in req.resource_logs:
        resource = _kvs(rl.resource.attributes)
        for sl in rl.scope_logs:
            sc = sl.scope
            scope = {"name": sc.name, "version": sc.version, "attributes": _kvs(sc.attributes)}
            for r in sl.log_records:
                out.append({
                    "time_unix_nano": r.time_unix_nano, "observed_time_unix_nano": r.observed_time_unix_nano,
                    "severity_number": r.severity_number, "severity_text": r.severity_text,
                    "body": _value(r.body) if r.HasField("body") else None, "attributes": _kvs(r.attributes),
                    "dropped_attributes_count": r.dropped_attributes_count, "flags": r.flags,
                    "trace_id": r.trace_id.hex(), "span_id": r.span_id.hex(), "event_name": r.event_name,
                    "resource": resource, "scope": scope,
                })
    return out


def json_body(msg) -> bytes:
    doc = json.loads(json_format.MessageToJson(msg))

    def fix(node):
        if isinstance(node, dict):
            return {k: (base64.b64decode(v).hex() if k in ("traceId", "spanId", "parentSpanId") else fix(v))
                    for k, v in node.items()}
        if isinstance(node, list):
            return [fix(v) for v in node]
        return node

    return json.dumps(fix(doc)).encode()


def main() -> None:
    rows = []
    u_samples = [unit_seconds()]

    def measured(label: str, fn, per: int, number: int, target: str = "report") -> float:
        sec = per_call(fn, number, repeat=7) / per
        u_samples.append(unit_seconds())
        u = statistics.mean(u_samples[-2:])
        rows.append((label, sec, sec / u, target))
        return sec

    for kind, msg, native, walk, read_json, what in (
        ("traces", traces_request(), _decode_otlp_traces, walk_traces, decode_json_traces, "span"),
        ("logs", logs_request(), _decode_otlp_logs, walk_logs, decode_json_logs, "log record"),
    ):
        body = msg.SerializeToString()
        text = json_body(msg)
        assert native(body) == walk(body) == read_json(text), f"the three {kind} roads disagree"
        cls = type(msg)
        n = SPANS
        t_native = measured(f"OTLP {kind}, {n} per request ({len(body) // n} B/{what}): native decode, per {what}",
                            lambda: native(body), n, 20)
        t_walk = measured(f"  opentelemetry-proto FromString + Python walk, per {what}", lambda: walk(body), n, 5)
        measured(f"  of which FromString alone, per {what}", lambda: cls.FromString(body), n, 50)
        t_json = measured(f"  JSON road ({len(text) // n} B/{what}), json_body.decode_json_{kind}, per {what}",
                          lambda: read_json(text), n, 5)
        rows.append((f"  protobuf runtime + walk / native ({kind})", None, None, f"{t_walk / t_native:.1f} x"))
        rows.append((f"  JSON road / native ({kind})", None, None, f"{t_json / t_native:.1f} x"))
    report(rows)


if __name__ == "__main__":
    main()
