"""The OpenTelemetry Python SDK, given an equivalent hand-made trace, sends what we send: both
requests, received by the same OTLP receiver and decoded with opentelemetry-proto, hold the same
spans (ids, parents, names, kinds, times, attributes, events and statuses)."""

from __future__ import annotations

import asyncio
import hashlib

import pytest
from opentelemetry import trace
from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.id_generator import IdGenerator
from opentelemetry.trace import SpanKind, Status, StatusCode
from otlp_helpers import Receiver, event, plain_spans, run_ctx
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest

from orvane_devtools.observation.backends import Otlp

MS = 1_000_000
T0 = 1_750_000_000_000


def trace_id(root: str) -> int:
    return int.from_bytes(hashlib.sha256(b"orvane-trace\0" + root.encode()).digest()[:16], "big")


def span_id(run_id: str, part: str | None = None, key: str | None = None) -> int:
    text = b"orvane-span\0" + run_id.encode()
    if part is not None:
        text += b"\0" + part.encode() + b"\0" + key.encode()
    return int.from_bytes(hashlib.sha256(text).digest()[:8], "big")


class FixedIds(IdGenerator):
    """Hands out the ids of the hand-made trace in the order the spans are started."""

    def __init__(self, span_ids: list[int], trace_ids: list[int]) -> None:
        self.span_ids, self.trace_ids = list(span_ids), list(trace_ids)

    def generate_span_id(self) -> int:
        return self.span_ids.pop(0)

    def generate_trace_id(self) -> int:
        return self.trace_ids.pop(0)


def our_events():
    root = run_ctx("root", agent="Planner", session_id="conv-1", meta={"flow_name": "trip"})
    worker = run_ctx("worker", parent="root", agent="Booker", agent_id="a-9", session_id="conv-1")
    meta = {"app_id": "travel", "environment": "prod", "group_id": "team"}
    return [
        event("agent_task.started", root, T0 + 0, meta=meta, event_id="e0", message="plan", level="info"),
        event("agent_task.started", worker, T0 + 1, meta=meta, event_id="e1", level="info"),
        event("agent_task.action.started", worker, T0 + 2, meta=meta, event_id="e2", level="info",
              payload={"tool": "book", "tool_call_id": "call-1"}),
        event("agent_task.action.completed", worker, T0 + 5, meta=meta, event_id="e3", level="info",
              payload={"tool": "book", "tool_call_id": "call-1"}),
        event("agent_task.failed", worker, T0 + 7, meta=meta, event_id="e4", level="error",
              message="no seats", error={"type": "SoldOut"}),
        event("agent_task.completed", root, T0 + 9, meta=meta, event_id="e5", level="info"),
    ]


def sdk_trace(endpoint: str) -> None:
    """The same trace written by hand with the SDK's API and sent by its OTLP/HTTP exporter."""
    ids = FixedIds([span_id("root"), span_id("worker"), span_id("worker", "tool", "call-1")],
                   [trace_id("root")])
    provider = TracerProvider(
        resource=Resource({"service.name": "travel", "deployment.environment.name": "prod"}),
        id_generator=ids)
    provider.add_span_processor(SimpleSpanProcessor(OTLPSpanExporter(endpoint=endpoint)))
    tracer = provider.get_tracer("orvane_devtools.observation", "0.1.0")

    def ev(eid, level, message=None, payload=None, error=None):
        a = {"orvane.event.id": eid, "orvane.event.level": level}
        if message is not None:
            a["orvane.event.message"] = message
        if payload is not None:
            a["orvane.event.payload"] = payload
        if error is not None:
            a["orvane.event.error"] = error
        return a

    root = tracer.start_span("invoke_agent Planner", kind=SpanKind.INTERNAL, start_time=T0 * MS, attributes={
        "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "Planner",
        "gen_ai.conversation.id": "conv-1"})
    root.add_event("agent_task.started", ev("e0", "info", "plan"), timestamp=T0 * MS)
    worker = tracer.start_span("invoke_agent Booker", context=trace.set_span_in_context(root),
                               kind=SpanKind.INTERNAL, start_time=(T0 + 1) * MS, attributes={
        "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "Booker", "gen_ai.agent.id": "a-9",
        "gen_ai.conversation.id": "conv-1"})
    worker.add_event("agent_task.started", ev("e1", "info"), timestamp=(T0 + 1) * MS)
    tool = tracer.start_span("execute_tool book", context=trace.set_span_in_context(worker),
                             kind=SpanKind.INTERNAL, start_time=(T0 + 2) * MS, attributes={
        "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "book",
        "gen_ai.tool.call.id": "call-1", "gen_ai.conversation.id": "conv-1", "orvane.run.id": "worker"})
    call = '{"tool":"book","tool_call_id":"call-1"}'
    tool.add_event("agent_task.action.started", ev("e2", "info", payload=call), timestamp=(T0 + 2) * MS)
    tool.add_event("agent_task.action.completed", ev("e3", "info", payload=call), timestamp=(T0 + 5) * MS)
    tool.end(end_time=(T0 + 5) * MS)
    worker.add_event("agent_task.failed", ev("e4", "error", "no seats", error='{"type":"SoldOut"}'),
                     timestamp=(T0 + 7) * MS)
    worker.set_attributes({
        "error.type": "SoldOut", "orvane.run.id": "worker", "orvane.run.root_id": "root",
        "orvane.run.parent_id": "root", "orvane.run.kind": "agent_task", "orvane.group.id": "team",
        "orvane.run.status": "failed", "orvane.run.event_count": 4})
    worker.set_status(Status(StatusCode.ERROR, "no seats"))
    worker.end(end_time=(T0 + 7) * MS)
    root.add_event("agent_task.completed", ev("e5", "info"), timestamp=(T0 + 9) * MS)
    root.set_attributes({
        "orvane.run.id": "root", "orvane.run.root_id": "root", "orvane.run.kind": "agent_task",
        "orvane.group.id": "team", "orvane.flow.name": "trip", "orvane.run.status": "completed",
        "orvane.run.event_count": 2})
    root.end(end_time=(T0 + 9) * MS)
    provider.shutdown()


def comparable(spans):
    out = {}
    for s in spans:
        s = dict(s)
        # Bits 8-9 say whether the parent is remote; the SDK leaves the W3C trace flags (bits
        # 0-7, where we mark spans sampled) out.
        assert s["flags"] & 0xFF in (0, 1)
        s["flags"] &= 0x300
        out[s["span_id"]] = s
    return out


@pytest.fixture
def receiver():
    r = Receiver()
    yield r
    r.close()


@pytest.mark.parametrize("protocol", ["http/protobuf", "http/json"])
def test_the_sdk_and_we_send_the_same_spans(receiver, protocol):
    sdk_trace(receiver.url())
    assert receiver.wait_for(lambda r: r.span_count() >= 3)
    theirs = comparable(receiver.spans())
    receiver.requests.clear()
    sink = Otlp.OtlpTraceSink(endpoint=receiver.url(), protocol=protocol, background_flush_interval=0.01)
    asyncio.run(sink.append_events(our_events()))
    asyncio.run(sink.flush())
    assert receiver.wait_for(lambda r: r.span_count() >= 3)
    ours = comparable(receiver.spans())
    assert set(ours) == set(theirs)
    for sid, mine in ours.items():
        assert mine == theirs[sid], f"span {mine['name']} differs"
    # The builder alone encodes the very same request.
    b = Otlp._SpanBuilder()
    b.add(our_events())
    assert comparable(plain_spans(ExportTraceServiceRequest.FromString(b.take_request()))) == ours
