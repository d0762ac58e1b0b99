"""An open page when a span's parent arrives after it: the listener joins the span to its
parent's tree and tells the open streams, and the page showing the span moves it into that tree,
under its parent, without a reload."""

from __future__ import annotations

import httpx
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.proto.common.v1.common_pb2 import AnyValue, KeyValue
from opentelemetry.proto.resource.v1.resource_pb2 import Resource
from opentelemetry.proto.trace.v1.trace_pb2 import ResourceSpans, ScopeSpans, Span
from playwright.sync_api import expect

from page_helpers import event, now_ms, run_ctx, uid
from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for


def tree_row(page, run_id):
    return page.locator(f'.tree-row[data-run-id="{run_id}"]')


def test_a_span_shown_before_its_parent_moves_into_the_parents_tree(listener, open_page):
    root, step = uid("late-root"), uid("late-step")
    trace = trace_id_for(root)
    t0 = now_ms()
    chat = Span(trace_id=bytes.fromhex(trace), span_id=bytes.fromhex("00000000000000a1"),
                parent_span_id=bytes.fromhex(span_id_for(step)), name="chat gpt-4o-mini", kind=3,
                start_time_unix_nano=(t0 + 10) * 1_000_000, end_time_unix_nano=(t0 + 20) * 1_000_000,
                attributes=[KeyValue(key="gen_ai.operation.name", value=AnyValue(string_value="chat"))])
    request = ExportTraceServiceRequest(resource_spans=[ResourceSpans(
        resource=Resource(attributes=[KeyValue(key="service.name", value=AnyValue(string_value="page-tests"))]),
        scope_spans=[ScopeSpans(spans=[chat])])])
    r = httpx.post(listener.origin + "/v1/traces", content=request.SerializeToString(),
                   headers={"Content-Type": "application/x-protobuf"}, timeout=30)
    assert r.status_code == 200
    chat_id = f"otel-{trace}-00000000000000a1"

    page = open_page(f"{listener.origin}/?run={chat_id}")
    expect(tree_row(page, chat_id)).to_be_visible()
    expect(tree_row(page, root)).to_have_count(0)
    page.evaluate("window.__notReloaded = true")

    # The agent's own runs arrive afterwards.
    listener.post([
        event("agent_task.started", run_ctx(root, agent="Planner"), ts=t0),
        event("agent_task.started", run_ctx(step, root=root, parent=root, agent="Planner"), ts=t0 + 5),
    ])
    expect(tree_row(page, root)).to_be_visible()
    expect(tree_row(page, step)).to_have_attribute("aria-level", "2")
    expect(tree_row(page, chat_id)).to_have_attribute("aria-level", "3")
    expect(tree_row(page, chat_id)).to_have_attribute("aria-selected", "true")
    assert page.evaluate("window.__notReloaded") is True
