"""The request on the wire: the JSON encoding against the protocol's JSON rules and against the
binary encoding of the same spans, gzip, and ids that are identical in every process."""

from __future__ import annotations

import gzip
import hashlib
import json
import re
import subprocess
import sys
import textwrap

from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from otlp_helpers import Clock, by_run, event, json_to_message, plain_spans, run_ctx

from orvane_devtools.observation.backends import Otlp


def sample_events():
    clock = Clock()
    root = run_ctx("root", agent="Planner", session_id="s", meta={"flow_name": "f"})
    child = run_ctx("child", parent="root", agent="Worker")
    return [
        event("agent_task.started", root, clock(), meta={"app_id": "app", "environment": "dev"},
              payload={"q": "ünïcode \"quoted\" \\ and \n newline", "n": 1.5}),
        event("agent_task.started", child, clock(), meta={"app_id": "other"}),
        event("agent_task.action.started", child, clock(), payload={"tool": "t", "call_id": "c"}),
        event("agent_task.action.completed", child, clock(), payload={"tool": "t", "call_id": "c"}),
        event("agent_task.failed", child, clock(), error={"type": "E"}, message="\x01 control"),
        event("agent_task.completed", root, clock()),
    ]


def bodies(events, *, compress=False):
    out = {}
    for protocol in ("http/protobuf", "http/json"):
        b = Otlp._SpanBuilder()
        b.add(events)
        out[protocol] = b.take_request(protocol=protocol, gzip=compress)
    return out


def test_json_and_protobuf_carry_the_same_request():
    b = bodies(sample_events())
    from_proto = ExportTraceServiceRequest.FromString(b["http/protobuf"])
    from_json = json_to_message(b["http/json"])  # unknown or snake_case keys would raise here
    assert from_json == from_proto
    spans = plain_spans(from_proto)
    assert len(spans) == 3
    # Spans of different applications go to different resources, in order of appearance.
    assert [rs.resource.attributes[0].value.string_value for rs in from_proto.resource_spans] == ["other", "app"]


def test_json_follows_the_protocols_json_rules():
    text = bodies(sample_events())["http/json"].decode()
    data = json.loads(text)

    def walk(node, path=""):
        if isinstance(node, dict):
            for k, v in node.items():
                assert "_" not in k, f"{path}.{k}: keys are lowerCamelCase"
                yield from walk(v, f"{path}.{k}")
                yield path, k, v
        elif isinstance(node, list):
            for i, v in enumerate(node):
                yield from walk(v, f"{path}[{i}]")

    seen = set()
    for path, key, value in walk(data):
        seen.add(key)
        if key in ("traceId", "spanId", "parentSpanId"):
            assert re.fullmatch(r"[0-9a-f]+", value), f"{key} is lower-case hex, not base64"
            assert len(value) == (32 if key == "traceId" else 16)
        if key in ("startTimeUnixNano", "endTimeUnixNano", "timeUnixNano", "intValue"):
            assert isinstance(value, str) and value.isdigit(), f"{key}: 64-bit integers as strings"
        if key in ("kind", "code"):
            assert isinstance(value, int), f"{key}: enums as integers"
        if key == "doubleValue":
            assert isinstance(value, (int, float))
    assert {"traceId", "parentSpanId", "startTimeUnixNano", "kind", "code", "intValue"} <= seen


def test_gzip_bodies_are_one_gzip_member_of_the_same_bytes():
    events = sample_events()
    plain = bodies(events)
    packed = bodies(events, compress=True)
    for protocol in plain:
        assert packed[protocol][:2] == b"\x1f\x8b"
        assert gzip.decompress(packed[protocol]) == plain[protocol]
    assert len(packed["http/json"]) < len(plain["http/json"])


def test_non_finite_and_large_numbers_in_payloads_stay_valid():
    run = run_ctx("r")
    evs = [event("task.started", run, 1, payload={"nan": float("nan"), "big": 2**70, "neg": -5}),
           event("task.completed", run, 2)]
    b = bodies(evs)
    assert json_to_message(b["http/json"]) == ExportTraceServiceRequest.FromString(b["http/protobuf"])
    (span,) = plain_spans(ExportTraceServiceRequest.FromString(b["http/protobuf"]))
    payload = span["events"][0]["attributes"]["orvane.event.payload"]
    assert '"big":1180591620717411303424' in payload and '"neg":-5' in payload


def test_ids_are_the_documented_digests():
    for run_id in ["r", "", "ünï", "x" * 1000]:
        digest = hashlib.sha256(b"orvane-trace\0" + run_id.encode()).hexdigest()
        assert Otlp.trace_id_for(run_id) == digest[:32]
        assert Otlp.span_id_for(run_id) == hashlib.sha256(b"orvane-span\0" + run_id.encode()).hexdigest()[:16]


def test_two_processes_put_one_tree_in_one_trace():
    """The root runs here, its child in another process: the child's span names the root's span
    as parent, in the same trace, without the processes talking to each other."""
    clock = Clock()
    root = run_ctx("root-1", agent="Boss")
    b = Otlp._SpanBuilder()
    b.add([event("agent_task.started", root, clock()), event("agent_task.completed", root, clock())])
    (here,) = plain_spans(ExportTraceServiceRequest.FromString(b.take_request()))
    script = textwrap.dedent("""
        import sys
        from orvane_devtools._orvane_compat import RuntimeEvent
        from orvane_devtools.observation.backends import Otlp
        run = {"run_id": "child-1", "root_run_id": "root-1", "parent_run_id": "root-1",
               "run_kind": "agent_task", "agent_name": "Helper"}
        b = Otlp._SpanBuilder()
        b.add([RuntimeEvent(event_type="agent_task.started", run=run, timestamp=5),
               RuntimeEvent(event_type="agent_task.completed", run=run, timestamp=6)])
        sys.stdout.buffer.write(b.take_request())
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=60, check=True)
    (there,) = plain_spans(ExportTraceServiceRequest.FromString(out.stdout))
    assert there["trace_id"] == here["trace_id"]
    assert there["parent_span_id"] == here["span_id"]
    assert by_run([there])["child-1"]["name"] == "invoke_agent Helper"
