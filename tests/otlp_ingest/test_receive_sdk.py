"""Real OpenTelemetry clients against a real listener process: the SDK's tracer and logger
providers with the OTLP/HTTP protobuf exporters, configured the way users configure them (the
environment's base URL, headers and compression), our own runs posted to ``/ingest`` as parents,
and our own OTLP export forwarded from one listener to another."""

from __future__ import annotations

import time
import uuid

import httpx
import pytest
import requests
from opentelemetry import trace
from opentelemetry.exporter.otlp.proto.http._log_exporter import OTLPLogExporter
from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
from opentelemetry._logs import SeverityNumber
from opentelemetry.sdk._logs import LoggerProvider
from opentelemetry.sdk._logs.export import BatchLogRecordProcessor
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import BatchSpanProcessor, SpanExportResult
from opentelemetry.trace import NonRecordingSpan, SpanContext, Status, StatusCode, TraceFlags
from otlp_ingest_helpers import wait_until

from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for


def tracer_for(listener, monkeypatch, **env: str):
    """A tracer provider exporting to the listener, configured through the environment only."""
    monkeypatch.setenv("OTEL_EXPORTER_OTLP_ENDPOINT", listener.origin)
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    exporter = OTLPSpanExporter()
    provider = TracerProvider(resource=Resource.create({"service.name": "sdk-app",
                                                        "deployment.environment.name": "test"}))
    provider.add_span_processor(BatchSpanProcessor(exporter, schedule_delay_millis=60_000))
    return provider, exporter


def flush(provider) -> None:
    assert provider.force_flush(30_000)


def run_id_of(s) -> str:
    ctx = s.get_span_context()
    return f"otel-{ctx.trace_id:032x}-{ctx.span_id:016x}"


def ingest(listener, events, **body):
    with listener.client() as c:
        r = c.post(listener.ingest_url, json={"app_id": "agent-app", "events": events, **body})
    r.raise_for_status()
    return r.json()


def our_event(run_id, event_type="agent_task.started", *, parent=None, root=None, **fields):
    doc = {"event_id": f"{run_id}-{event_type}-{uuid.uuid4().hex[:6]}", "event_type": event_type,
           "timestamp": int(time.time() * 1000), "run": {"run_id": run_id, "root_run_id": root or run_id,
                                                         "parent_run_id": parent, "run_kind": "agent_task",
                                                         "agent_name": "Planner"}}
    doc.update(fields)
    return doc


def under_our_run(run_id: str, root: str):
    """The context in which a span is a child of our run (what the bridge builds)."""
    return trace.set_span_in_context(NonRecordingSpan(SpanContext(
        trace_id=int(trace_id_for(root), 16), span_id=int(span_id_for(run_id), 16), is_remote=True,
        trace_flags=TraceFlags(TraceFlags.SAMPLED))))


@pytest.mark.timeout(120)
def test_sdk_spans_land_as_runs_with_their_ids_kinds_parents_and_events(listener, monkeypatch):
    provider, _ = tracer_for(listener, monkeypatch, OTEL_EXPORTER_OTLP_COMPRESSION="gzip")
    tracer = provider.get_tracer("tests.sdk", "1.0")
    with tracer.start_as_current_span("invoke_agent Planner", attributes={
            "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "Planner",
            "gen_ai.conversation.id": "conv-1"}) as agent:
        with tracer.start_as_current_span("chat gpt-x", attributes={
                "gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-x",
                "gen_ai.usage.input_tokens": 21, "gen_ai.usage.output_tokens": 4,
                "gen_ai.response.finish_reasons": ("stop",)}) as chat:
            chat.add_event("gen_ai.content.prompt", {"gen_ai.prompt": "hello"})
            chat.add_event("first_token")
        with tracer.start_as_current_span("execute_tool search", attributes={
                "gen_ai.operation.name": "execute_tool", "gen_ai.tool.name": "search"}) as tool:
            tool.record_exception(ValueError("no results"))
            tool.set_status(Status(StatusCode.ERROR, "search failed"))
    flush(provider)
    ids = {name: run_id_of(s) for name, s in (("agent", agent), ("chat", chat), ("tool", tool))}
    runs = {name: wait_until(lambda r=r: listener.run(r)) for name, r in ids.items()}
    assert runs["agent"]["run_kind"] == "agent" and runs["agent"]["parent_run_id"] is None
    assert runs["agent"]["agent_name"] == "Planner" and runs["agent"]["session_id"] == "conv-1"
    assert runs["chat"]["run_kind"] == "llm" and runs["tool"]["run_kind"] == "tool"
    for name in ("chat", "tool"):
        assert runs[name]["parent_run_id"] == ids["agent"] and runs[name]["root_run_id"] == ids["agent"]
    assert runs["chat"]["status"] == "completed" and runs["tool"]["status"] == "failed"
    assert runs["chat"]["meta"]["app_id"] == "sdk-app" and runs["chat"]["meta"]["environment"] == "test"
    assert runs["chat"]["meta"]["model"] == "gpt-x" and runs["chat"]["meta"]["otel.scope"] == "tests.sdk"
    chat_events = listener.events(ids["chat"])
    assert [e["event_type"] for e in chat_events] == ["llm.started", "gen_ai.content.prompt", "first_token",
                                                     "llm.completed"]
    assert chat_events[-1]["payload"] == {"gen_ai.usage.input_tokens": 21, "gen_ai.usage.output_tokens": 4,
                                          "gen_ai.response.finish_reasons": ["stop"]}
    tool_events = listener.events(ids["tool"])
    assert [e["event_type"] for e in tool_events] == ["tool.started", "exception", "tool.failed"]
    assert tool_events[1]["error"]["type"] == "ValueError" and tool_events[1]["level"] == "error"
    assert tool_events[-1]["error"] == {"message": "search failed", "type": "ValueError"}
    tree = listener.flat_tree(ids["agent"])
    assert [n["run"]["run_id"] for n in tree["nodes"]][0] == ids["agent"] and len(tree["nodes"]) == 3
    provider.shutdown()


@pytest.mark.timeout(120)
def test_children_before_parents_across_requests(listener, monkeypatch):
    provider, _ = tracer_for(listener, monkeypatch)
    tracer = provider.get_tracer("tests.sdk")
    outer = tracer.start_span("outer")
    middle = tracer.start_span("middle", context=trace.set_span_in_context(outer))
    inner = tracer.start_span("inner", context=trace.set_span_in_context(middle))
    for s in (inner, middle, outer):  # each in a request of its own, the child first
        s.end()
        flush(provider)
    root = run_id_of(outer)
    wait_until(lambda: listener.run(root))
    assert listener.run(run_id_of(inner))["root_run_id"] == root
    assert listener.run(run_id_of(middle))["parent_run_id"] == root
    tree = listener.flat_tree(root)
    assert [(n["run"]["run_id"], n["depth"]) for n in tree["nodes"]] == [
        (root, 0), (run_id_of(middle), 1), (run_id_of(inner), 2)]
    assert tree["detached"] == []
    provider.shutdown()


@pytest.mark.timeout(120)
@pytest.mark.parametrize("spans_first", [True, False])
def test_our_own_runs_as_parents_in_both_orders(listener, monkeypatch, spans_first):
    provider, _ = tracer_for(listener, monkeypatch)
    tracer = provider.get_tracer("tests.sdk")
    root, agent = f"root-{uuid.uuid4().hex[:6]}", f"agent-{uuid.uuid4().hex[:6]}"
    ours = [our_event(root), our_event(agent, parent=root, root=root)]
    if not spans_first:
        ingest(listener, ours)
    with tracer.start_as_current_span("chat m", context=under_our_run(agent, root),
                                      attributes={"gen_ai.operation.name": "chat"}) as chat:
        with tracer.start_as_current_span("embeddings e", attributes={"gen_ai.operation.name": "embeddings"}) as emb:
            pass
    flush(provider)
    wait_until(lambda: listener.run(run_id_of(emb)))
    if spans_first:
        assert listener.run(run_id_of(chat))["parent_run_id"] == f"otel-{trace_id_for(root)}-{span_id_for(agent)}"
        ingest(listener, ours)
    run = wait_until(lambda: (r := listener.run(run_id_of(chat))) and r["parent_run_id"] == agent and r)
    assert run["root_run_id"] == root and run["run_kind"] == "llm"
    assert listener.run(run_id_of(emb))["root_run_id"] == root
    tree = listener.flat_tree(root)
    assert [n["run"]["run_id"] for n in tree["nodes"]] == [root, agent, run_id_of(chat), run_id_of(emb)]
    provider.shutdown()


@pytest.mark.timeout(120)
def test_the_key_through_the_exporters_headers(start_listener, monkeypatch):
    listener = start_listener(api_key="k3y-for-otlp")
    provider, exporter = tracer_for(listener, monkeypatch)
    tracer = provider.get_tracer("tests.sdk")
    with tracer.start_as_current_span("refused"):
        pass
    flush(provider)  # 401: the exporter gives up on the batch (not retried)
    monkeypatch.setenv("OTEL_EXPORTER_OTLP_HEADERS", "Authorization=Bearer%20k3y-for-otlp")
    keyed, _ = tracer_for(listener, monkeypatch)
    with keyed.get_tracer("tests.sdk").start_as_current_span("taken") as taken:
        pass
    flush(keyed)
    assert wait_until(lambda: listener.run(run_id_of(taken)))
    assert [r["meta"]["otel.span_name"] for r in listener.runs()] == ["taken"]
    provider.shutdown()
    keyed.shutdown()


class Garbling(requests.Session):
    """A requests session that sends garbage instead of the exporter's body, and counts."""

    def __init__(self) -> None:
        super().__init__()
        self.statuses: list[int] = []

    def request(self, method, url, *args, **kwargs):  # noqa: ANN001
        kwargs["data"] = b"\x0a\xff\xff\xff\xff\x0f\x00"
        response = super().request(method, url, *args, **kwargs)
        self.statuses.append(response.status_code)
        return response


@pytest.mark.timeout(120)
def test_a_malformed_body_is_refused_for_good_and_not_sent_again(listener, monkeypatch):
    monkeypatch.setenv("OTEL_EXPORTER_OTLP_ENDPOINT", listener.origin)
    session = Garbling()
    exporter = OTLPSpanExporter(session=session)
    provider = TracerProvider()
    tracer = provider.get_tracer("tests.sdk")
    with tracer.start_as_current_span("s") as s:
        pass
    started = time.monotonic()
    assert exporter.export([s]) is SpanExportResult.FAILURE
    assert session.statuses == [400]  # one try: 400 is final for the exporter
    assert time.monotonic() - started < 5
    assert listener.runs() == []
    exporter.shutdown()


@pytest.mark.timeout(120)
def test_log_records_with_and_without_a_span(listener, monkeypatch):
    provider, _ = tracer_for(listener, monkeypatch)
    tracer = provider.get_tracer("tests.sdk")
    logger_provider = LoggerProvider(resource=Resource.create({"service.name": "sdk-app"}))
    logger_provider.add_log_record_processor(BatchLogRecordProcessor(OTLPLogExporter(), schedule_delay_millis=60_000))
    logger = logger_provider.get_logger("tests.logs")
    word = uuid.uuid4().hex[:10]
    with tracer.start_as_current_span("work", attributes={"gen_ai.operation.name": "chat"}) as work:
        time.sleep(0.005)  # the records fall strictly inside the span
        logger.emit(severity_number=SeverityNumber.WARN, body=f"inside the span {word}")
        logger.emit(severity_number=SeverityNumber.INFO, event_name="gen_ai.choice",
                    body={"index": 0, "message": {"content": f"the answer {word}"}},
                    attributes={"gen_ai.system": "openai"})
        time.sleep(0.005)
    logger.emit(severity_number=SeverityNumber.ERROR, body=f"outside any span {word}")
    # The records leave before their span: the first opens the span's run, the span completes it.
    assert logger_provider.force_flush(30_000)
    found = wait_until(lambda: len(listener.search(word)) == 3 and listener.search(word))
    flush(provider)
    run_id = run_id_of(work)
    run = wait_until(lambda: (r := listener.run(run_id)) and r["run_kind"] == "llm" and r)
    assert run["status"] == "completed" and run["parent_run_id"] is None and run["event_count"] == 4
    events = listener.events(run_id)
    assert [e["event_type"] for e in events] == ["llm.started", "log", "gen_ai.choice", "llm.completed"]
    assert events[1]["message"] == f"inside the span {word}" and events[1]["level"] == "warning"
    assert events[2]["payload"] == {"body": {"index": 0, "message": {"content": f"the answer {word}"}},
                                    "attributes": {"gen_ai.system": "openai"}}
    outside = [e for e in found if e["message"] == f"outside any span {word}"]
    assert len(outside) == 1 and outside[0]["run"] is None and outside[0]["level"] == "error"
    logger_provider.shutdown()
    provider.shutdown()


@pytest.mark.timeout(180)
def test_our_export_forwarded_to_another_listener_gives_the_same_runs_and_events(start_listener):
    second = start_listener()
    first = start_listener("--otlp-endpoint", second.origin + "/v1/traces")
    now = int(time.time() * 1000)
    meta = {"app_id": "fw-app", "group_id": "team-fw", "environment": "local"}

    def ev(run_id, i, event_type, **kw):
        doc = our_event(run_id, event_type, **kw)
        doc.update(event_id=f"{run_id}-{i}", timestamp=now + i, meta=meta, source="agent.x", message=f"m{i}",
                   payload={"step": i, "nested": {"ok": True, "ratio": 0.5}})
        return doc

    events = [ev("fw-root", 0, "agent_task.started"), ev("fw-child", 1, "agent_task.started", parent="fw-root", root="fw-root"),
              ev("fw-child", 2, "agent_task.progress", parent="fw-root", root="fw-root"),
              ev("fw-child", 3, "agent_task.failed", parent="fw-root", root="fw-root", level="error",
                 error={"type": "Boom", "message": "it broke"}),
              ev("fw-root", 4, "agent_task.completed")]
    assert ingest(first, events)["accepted"] == 5
    # A span of an instrumentation under the child, received by the first listener too.
    from otlp_ingest_helpers import sid, span, trace_request

    trace_id = trace_id_for("fw-root")
    req = trace_request([span(trace_id, sid(1), span_id_for("fw-child"), attributes={"gen_ai.operation.name": "chat"},
                              start=now * 10**6, end=(now + 3) * 10**6)], {"service.name": "fw-app"})
    assert first.post("/v1/traces", req.SerializeToString()).status_code == 200
    span_run = f"otel-{trace_id}-{sid(1)}"
    runs = ["fw-root", "fw-child", span_run]
    wait_until(lambda: all(second.run(r) for r in runs), timeout=60)

    def view(listener, run_id):
        record = listener.run(run_id)
        shape = {k: record[k] for k in ("run_id", "parent_run_id", "root_run_id", "run_kind", "status",
                                         "agent_name", "started_at", "event_count")}
        evs = [{k: e[k] for k in ("event_id", "event_type", "timestamp", "source", "level", "message",
                                   "payload", "error", "meta")} for e in listener.events(run_id)]
        return shape, evs

    for run_id in runs:
        assert view(second, run_id) == view(first, run_id), run_id
    assert second.run(span_run)["parent_run_id"] == "fw-child"
