"""Spans and log records as runs and events (``listener.otlp.mapping``), as plain functions:
requests built from opentelemetry-proto messages, read into the normalised shape by the tests'
reference conversion, mapped, and the events looked at."""

from __future__ import annotations

import json

import pytest
from otlp_ingest_helpers import T0_NS, log_record, logs_of, logs_request, sid, span, spans_of, tid, trace_request

from orvane.utils import DataFormatter
from orvane_devtools.listener.otlp.mapping import map_logs, map_spans, split_attributes
from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for

T = tid(0xABC)


def mapped_spans(*spans, resource=None, known=None):
    return map_spans(spans_of(trace_request(list(spans), resource)), known=known)


def only_group(mapped):
    assert not mapped.rejected, mapped.rejected
    assert len(mapped.groups) == 1
    return mapped.groups[0]


def run_of(events):
    runs = {(e.run.run_id, e.run.parent_run_id, e.run.root_run_id, e.run.run_kind) for e in events}
    assert len(runs) == 1, runs
    return events[0].run


# -- kinds ----------------------------------------------------------------------------------------

@pytest.mark.parametrize("attributes, kind", [
    ({"gen_ai.operation.name": "chat"}, "llm"),
    ({"gen_ai.operation.name": "text_completion"}, "llm"),
    ({"gen_ai.operation.name": "generate_content"}, "llm"),
    ({"gen_ai.operation.name": "embeddings"}, "embedding"),
    ({"gen_ai.operation.name": "execute_tool"}, "tool"),
    ({"gen_ai.operation.name": "invoke_agent"}, "agent"),
    ({"gen_ai.operation.name": "create_agent"}, "agent"),
    ({"gen_ai.operation.name": "retrieval"}, "retrieval"),  # others as they are
    ({"gen_ai.operation.name": "Chat"}, "Chat"),  # the names are case-sensitive
    ({"openinference.span.kind": "LLM"}, "llm"),
    ({"openinference.span.kind": "RERANKER"}, "reranker"),
    ({"openinference.span.kind": "GUARDRAIL"}, "guardrail"),
    ({"gen_ai.operation.name": "embeddings", "openinference.span.kind": "LLM"}, "embedding"),
    ({"gen_ai.operation.name": "", "openinference.span.kind": "TOOL"}, "tool"),  # empty counts as absent
    ({"gen_ai.operation.name": 3}, "span"),  # not a text
    ({}, "span"),
])
def test_the_kind_comes_from_the_operation_then_the_openinference_kind(attributes, kind):
    events = only_group(mapped_spans(span(T, sid(1), attributes=attributes)))
    assert run_of(events).run_kind == kind
    assert [e.event_type for e in events] == [f"{kind}.started", f"{kind}.completed"]


# -- the events of a span -------------------------------------------------------------------------

def test_a_span_is_a_run_with_started_span_events_and_completed():
    attributes = {
        "gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-x", "gen_ai.provider.name": "openai",
        "gen_ai.request.temperature": 0.5, "gen_ai.request.stop_sequences": ["\n", "END"],
        "gen_ai.response.finish_reasons": ["stop"], "gen_ai.usage.input_tokens": 12,
        "gen_ai.usage.output_tokens": 3, "gen_ai.response.id": "r-1", "server.port": 443,
        "gen_ai.request.stream": True, "gen_ai.conversation.id": "conv-9", "gen_ai.agent.name": "Planner",
        "gen_ai.agent.id": "agent-7", "llm.invocation_parameters": '{"a": 1}', "extra.map": {"k": [1, 2.5]},
    }
    start = T0_NS + 123_456_789
    events = only_group(mapped_spans(
        span(T, sid(2), sid(1), name="chat gpt-x", attributes=attributes, start=start, end=start + 2_000_000_000,
             events=[(start + 1_000_000, "gen_ai.content.prompt", {"gen_ai.prompt": "hi", "n": 1}),
                     (start + 2_000_000, "first_token", {})], kind=3),
        resource={"service.name": "svc-a", "deployment.environment.name": "staging"},
        known=lambda keys: {(T, sid(1)): ("agent-run", "root-run")}))
    assert [e.event_type for e in events] == ["llm.started", "gen_ai.content.prompt", "first_token", "llm.completed"]
    assert [e.timestamp for e in events] == [start // 10**6, start // 10**6 + 1, start // 10**6 + 2,
                                              (start + 2_000_000_000) // 10**6]
    prefix = f"otel-{T}-{sid(2)}"
    assert [e.event_id for e in events] == [f"{prefix}-start", f"{prefix}-e0", f"{prefix}-e1", f"{prefix}-end"]
    started, prompt, first, completed = events
    # Request attributes at the start, response attributes at the end, every value of its type.
    assert started.payload == {
        "gen_ai.operation.name": "chat", "gen_ai.request.model": "gpt-x", "gen_ai.provider.name": "openai",
        "gen_ai.request.temperature": 0.5, "gen_ai.request.stop_sequences": ["\n", "END"], "server.port": 443,
        "gen_ai.request.stream": True, "gen_ai.conversation.id": "conv-9", "gen_ai.agent.name": "Planner",
        "gen_ai.agent.id": "agent-7", "llm.invocation_parameters": '{"a": 1}', "extra.map": {"k": [1, 2.5]},
    }
    assert completed.payload == {"gen_ai.response.finish_reasons": ["stop"], "gen_ai.usage.input_tokens": 12,
                                 "gen_ai.usage.output_tokens": 3, "gen_ai.response.id": "r-1"}
    assert type(completed.payload["gen_ai.usage.input_tokens"]) is int
    assert prompt.payload == {"gen_ai.prompt": "hi", "n": 1} and first.payload is None
    assert {e.level for e in events} == {"info"} and completed.error is None
    assert started.message == "chat gpt-x" and started.source == "tests.scope"
    run = run_of(events)
    assert (run.run_id, run.parent_run_id, run.root_run_id) == (prefix, "agent-run", "root-run")
    assert (run.agent_name, run.agent_id, run.session_id) == ("Planner", "agent-7", "conv-9")
    assert run.meta == {"otel.span_name": "chat gpt-x", "otel.span_kind": "client", "otel.scope": "tests.scope",
                        "provider": "openai", "model": "gpt-x"}
    assert {json.dumps(e.meta, sort_keys=True) for e in events} == {
        json.dumps({"app_id": "svc-a", "environment": "staging"}, sort_keys=True)}


def test_a_failed_span_and_an_exception_event():
    status_only = only_group(mapped_spans(span(T, sid(1), attributes={"error.type": "Timeout"}, status=2,
                                               status_message="took too long")))
    assert status_only[-1].event_type == "span.failed" and status_only[-1].level == "error"
    assert status_only[-1].error == {"type": "Timeout", "message": "took too long"}
    assert status_only[-1].payload == {"error.type": "Timeout"}  # a response attribute
    assert status_only[-1].message == "took too long"
    # Status OK or unset: completed, whatever the attributes say.
    assert only_group(mapped_spans(span(T, sid(1), status=1)))[-1].event_type == "span.completed"
    raised = only_group(mapped_spans(span(T, sid(1), attributes={"gen_ai.operation.name": "execute_tool"}, events=[
        (T0_NS + 1_000_000, "exception", {"exception.type": "KeyError", "exception.message": "'x'",
                                          "exception.stacktrace": "Traceback ...", "exception.escaped": True})])))
    assert [e.event_type for e in raised] == ["tool.started", "exception", "tool.failed"]
    exception = raised[1]
    assert exception.level == "error" and exception.message == "'x'"
    assert exception.error == {"type": "KeyError", "message": "'x'", "stacktrace": "Traceback ..."}
    assert exception.payload == {"exception.escaped": True}
    assert raised[2].error == {"type": "KeyError", "message": "'x'"}
    # The status message wins over the exception's.
    both = only_group(mapped_spans(span(T, sid(1), status=2, status_message="bad", events=[
        (T0_NS, "exception", {"exception.type": "E", "exception.message": "m"})])))
    assert both[-1].error == {"type": "E", "message": "bad"}


def test_an_end_before_the_start_is_the_start():
    events = only_group(mapped_spans(span(T, sid(1), start=T0_NS + 10**9, end=T0_NS)))
    assert events[0].timestamp == events[-1].timestamp == (T0_NS + 10**9) // 10**6


def test_split_attributes_sends_response_families_to_the_end():
    request, response = split_attributes({
        "gen_ai.request.model": "m", "gen_ai.input.messages": "[]", "gen_ai.output.messages": "[]",
        "gen_ai.usage.cache_read.input_tokens": 1, "llm.token_count.prompt": 4, "llm.output_messages.0.message.role": "a",
        "llm.input_messages.0.message.role": "u", "output.value": "x", "input.value": "y",
        "gen_ai.completion.0.content": "c", "gen_ai.prompt.0.content": "p", "gen_ai.tool.call.result": "r",
        "gen_ai.tool.call.arguments": "{}", "llm.cost.total": 0.1, "error.type": "E", "outputs": 1,
    })
    assert set(response) == {"gen_ai.output.messages", "gen_ai.usage.cache_read.input_tokens", "llm.token_count.prompt",
                             "llm.output_messages.0.message.role", "output.value", "gen_ai.completion.0.content",
                             "gen_ai.tool.call.result", "llm.cost.total", "error.type"}
    assert set(request) == {"gen_ai.request.model", "gen_ai.input.messages", "llm.input_messages.0.message.role",
                            "input.value", "gen_ai.prompt.0.content", "gen_ai.tool.call.arguments", "outputs"}


# -- masking --------------------------------------------------------------------------------------

KEYS = ["api_key", "gen_ai.request.api_key", "http.request.header.authorization", "password", "dbPassword",
        "db_password", "access_token", "gen_ai.usage.input_tokens", "max_tokens", "token_count",
        "llm.token_count.total", "session.id", "user.id", "x-api-key", "set-cookie", "secret", "my.secret.value"]


def test_attributes_are_masked_with_the_sanitizers_verdict_on_every_key():
    attributes = {k: f"value-of-{k}" for k in KEYS}
    attributes["nested"] = {k: [k] for k in KEYS}
    events = only_group(mapped_spans(span(T, sid(1), attributes=attributes, events=[(T0_NS, "ev", attributes)])))
    expected = DataFormatter.sanitize(attributes)
    assert events[1].payload == expected
    request, response = split_attributes(expected)
    assert events[0].payload == request and events[-1].payload == (response or None)
    assert any(v == DataFormatter.MASK for v in expected.values()), "the keys include secret ones"
    assert expected["gen_ai.usage.input_tokens"] != DataFormatter.MASK  # token counts stay visible


def test_a_host_sanitizer_is_called_on_every_event(monkeypatch):
    calls = []
    original = DataFormatter.sanitize

    def sanitize(data):
        calls.append(data.get("event_id"))
        out = original(data)
        if isinstance(out.get("payload"), dict):
            out["payload"] = {k: "hidden" for k in out["payload"]}
        return out

    monkeypatch.setattr(DataFormatter, "sanitize", staticmethod(sanitize))
    events = only_group(mapped_spans(span(T, sid(1), attributes={"a": 1})))
    assert len(calls) == 2 and events[0].payload == {"a": "hidden"}


# -- run ids and parents --------------------------------------------------------------------------

def test_parents_in_the_request_and_roots_through_them_in_any_order():
    spans = [span(T, sid(3), sid(2)), span(T, sid(2), sid(1)), span(T, sid(1)), span(T, sid(4), sid(1))]
    mapped = mapped_spans(*spans)
    runs = {g[0].run.run_id: g[0].run for g in mapped.groups}
    root = f"otel-{T}-{sid(1)}"
    assert runs[f"otel-{T}-{sid(3)}"].parent_run_id == f"otel-{T}-{sid(2)}"
    assert {r.root_run_id for r in runs.values()} == {root}
    assert runs[root].parent_run_id is None
    assert not mapped.links.waiting


def test_a_parent_found_nowhere_leaves_the_span_waiting_under_the_parents_span_run_id():
    asked = []

    def known(keys):
        asked.append(sorted(keys))
        return {}

    mapped = mapped_spans(span(T, sid(3), sid(2)), span(T, sid(4), sid(3)), known=known)
    assert asked == [[(T, sid(2))]]  # one look-up for the request, only of what it lacks
    runs = {g[0].run.run_id: g[0].run for g in mapped.groups}
    waiting = runs[f"otel-{T}-{sid(3)}"]
    assert waiting.parent_run_id == f"otel-{T}-{sid(2)}" == waiting.root_run_id
    assert runs[f"otel-{T}-{sid(4)}"].root_run_id == f"otel-{T}-{sid(2)}"
    assert mapped.links.waiting == [(f"otel-{T}-{sid(3)}", sid(2))]
    assert [s[0] for s in mapped.links.spans] == [f"otel-{T}-{sid(3)}", f"otel-{T}-{sid(4)}"]


def test_stamps_of_our_runs_link_a_span_without_waiting_for_a_look_up():
    parent_span = span_id_for("agent-1")
    trace = trace_id_for("root-1")
    stamped = span(trace, sid(5), parent_span, attributes={"orvane.run.parent_id": "agent-1",
                                                           "orvane.run.root_id": "root-1"})
    mapped = map_spans(spans_of(trace_request([stamped])), known=lambda keys: {})
    run = run_of(only_group(mapped))
    assert (run.parent_run_id, run.root_run_id) == ("agent-1", "root-1")
    assert mapped.links.waiting == [(run.run_id, parent_span)]  # its root is checked when agent-1 arrives
    # A stamp naming a run whose span id is not the parent's is not believed.
    wrong = span(trace, sid(6), sid(9), attributes={"orvane.run.parent_id": "agent-1"})
    run = run_of(only_group(map_spans(spans_of(trace_request([wrong])), known=lambda keys: {})))
    assert run.parent_run_id == f"otel-{trace}-{sid(9)}"
    # Found through the aliases: the run of ours and its root.
    found = map_spans(spans_of(trace_request([span(trace, sid(7), parent_span)])),
                      known=lambda keys: {k: ("agent-1", "root-1") for k in keys})
    run = run_of(only_group(found))
    assert (run.parent_run_id, run.root_run_id) == ("agent-1", "root-1") and not found.links.waiting


def our_run_span(run_id, *, root="root-1", parent=None, kind="agent_task", events=(), **extra):
    attributes = {"orvane.run.id": run_id, "orvane.run.root_id": root, "orvane.run.kind": kind,
                  "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "Planner",
                  "orvane.run.status": "completed", "orvane.group.id": "team-a", **extra}
    if parent:
        attributes["orvane.run.parent_id"] = parent
    return span(trace_id_for(root), span_id_for(run_id), span_id_for(parent) if parent else "",
                name="invoke_agent Planner", attributes=attributes, events=list(events))


def test_our_own_exports_run_spans_map_back_to_their_runs_and_events():
    events = [
        (T0_NS, "agent_task.started", {"orvane.event.id": "e-1", "orvane.event.source": "agent.planner",
                                       "orvane.event.level": "info", "orvane.event.message": "plan",
                                       "orvane.event.payload": '{"step": 1, "api_key": "***"}'}),
        (T0_NS + 10**6, "agent_task.failed", {"orvane.event.id": "e-2", "orvane.event.level": "error",
                                              "orvane.event.error": '{"type": "Boom"}',
                                              "orvane.event.payload": '{"cut": "tex'}),
    ]
    mapped = map_spans(spans_of(trace_request([our_run_span("child-1", parent="root-1", events=events)],
                                              {"service.name": "app-a", "deployment.environment.name": "local"})))
    got = only_group(mapped)
    assert [(e.event_id, e.event_type) for e in got] == [("e-1", "agent_task.started"), ("e-2", "agent_task.failed")]
    first, second = got
    assert (first.source, first.level, first.message, first.payload) == ("agent.planner", "info", "plan",
                                                                          {"step": 1, "api_key": "***"})
    assert second.error == {"type": "Boom"} and second.payload == '{"cut": "tex'  # cut JSON stays text
    assert first.meta == {"app_id": "app-a", "group_id": "team-a", "environment": "local"}
    run = run_of(got)
    assert (run.run_id, run.parent_run_id, run.root_run_id, run.run_kind, run.agent_name) == (
        "child-1", "root-1", "root-1", "agent_task", "Planner")
    assert not mapped.links.spans and not mapped.links.waiting
    # A continuation segment of that run is that run too.
    cont = span(trace_id_for("root-1"), sid(77), span_id_for("child-1"), attributes={
        "orvane.run.id": "child-1", "orvane.run.root_id": "root-1", "orvane.run.parent_id": "root-1",
        "orvane.run.kind": "agent_task", "orvane.run.segment": 1},
        events=[(T0_NS, "agent_task.progress", {"orvane.event.id": "e-3"})])
    assert run_of(only_group(map_spans(spans_of(trace_request([cont]))))).run_id == "child-1"
    # Segment 0 (or none) with another span id is a span run.
    other = span(trace_id_for("root-1"), sid(78), span_id_for("child-1"), attributes={"orvane.run.id": "child-1"})
    run = run_of(only_group(map_spans(spans_of(trace_request([other])))))
    assert run.run_id == f"otel-{trace_id_for('root-1')}-{sid(78)}" and run.parent_run_id == "child-1"


def test_a_run_span_of_ours_without_events_still_makes_its_run():
    got = only_group(map_spans(spans_of(trace_request([our_run_span("lonely")]))))
    assert [e.event_type for e in got] == ["agent_task.started", "agent_task.completed"]
    assert run_of(got).run_id == "lonely"


# -- refusals -------------------------------------------------------------------------------------

@pytest.mark.parametrize("trace, span_id, parent, ok", [
    (tid(1), sid(1), "", True),
    (tid(1), sid(1), "0" * 16, True),  # an all-zero parent is no parent
    ("00" * 15, sid(1), "", False),  # 15 bytes
    ("00" * 17, sid(1), "", False),
    ("0" * 32, sid(1), "", False),  # all zero
    (tid(1), "00" * 7, "", False),
    (tid(1), "00" * 9, "", False),
    (tid(1), "0" * 16, "", False),
    (tid(1), sid(1), "00" * 7, False),
    (tid(1), sid(1), sid(1), False),  # its own parent
    ("", sid(1), "", False),
])
def test_ids_of_the_wrong_size_are_refused_one_by_one(trace, span_id, parent, ok):
    doc = spans_of(trace_request([span(tid(2), sid(2)), span(tid(3), sid(3))]))
    doc[1].update(trace_id=trace, span_id=span_id, parent_span_id=parent)
    mapped = map_spans(doc)
    assert mapped.items == ([0, 1] if ok else [0])
    assert [i for i, _ in mapped.rejected] == ([] if ok else [1])
    assert mapped.total == 2


def test_a_span_twice_in_one_request_is_kept_once():
    mapped = mapped_spans(span(T, sid(1)), span(T, sid(1), name="again"))
    assert mapped.items == [0] and [i for i, _ in mapped.rejected] == [1]
    assert "twice" in mapped.rejected[0][1]
    assert "1 span(s) rejected: span 1:" in mapped.message("span")


def test_event_ids_are_stable_and_distinct():
    first = [e.event_id for e in only_group(mapped_spans(span(T, sid(1), events=[(T0_NS, "a", {})])))]
    again = [e.event_id for e in only_group(mapped_spans(span(T, sid(1), events=[(T0_NS, "a", {})])))]
    other = [e.event_id for e in only_group(mapped_spans(span(T, sid(2), events=[(T0_NS, "a", {})])))]
    assert first == again and len(set(first)) == 3 and not set(first) & set(other)


# -- log records ----------------------------------------------------------------------------------

def mapped_logs(*records, known=None):
    return map_logs(logs_of(logs_request(list(records))), known=known)


@pytest.mark.parametrize("number, text, level", [
    (1, "", "debug"), (4, "", "debug"), (5, "", "debug"), (8, "", "debug"), (9, "", "info"), (12, "", "info"),
    (13, "", "warning"), (16, "", "warning"), (17, "", "error"), (20, "", "error"), (21, "", "critical"),
    (24, "", "critical"), (0, "WARN", "warning"), (0, "Error", "error"), (0, "fatal", "critical"),
    (0, "odd", "info"), (0, "", "info"), (25, "", "info"),
])
def test_log_levels_from_severity(number, text, level):
    record = log_record("x", severity=number)
    record.severity_text = text
    (event,), = mapped_logs(record).groups
    assert event.level == level


def test_a_log_record_with_a_span_is_an_event_of_that_spans_run():
    record = log_record({"content": "hi", "role": "user"}, trace=T, span_id=sid(4), event_name="gen_ai.user.message",
                        attributes={"gen_ai.system": "openai", "api_key": "k"})
    mapped = mapped_logs(record, known=lambda keys: {(T, sid(4)): (f"otel-{T}-{sid(4)}", "root-x")})
    (event,), = mapped.groups
    assert event.event_type == "gen_ai.user.message" and event.message is None
    assert event.payload == {"body": {"content": "hi", "role": "user"},
                             "attributes": {"gen_ai.system": "openai", "api_key": DataFormatter.MASK}}
    assert (event.run.run_id, event.run.root_run_id) == (f"otel-{T}-{sid(4)}", "root-x")
    assert event.meta == {"app_id": "svc-a", "otel.trace_id": T, "otel.span_id": sid(4)}
    assert not mapped.links.logged
    # Its span not stored yet: the record opens the span run, which waits for its span.
    mapped = mapped_logs(record, known=lambda keys: {})
    (event,), = mapped.groups
    assert event.run.run_id == f"otel-{T}-{sid(4)}" == event.run.root_run_id
    assert mapped.links.logged == [(event.run.run_id, sid(4))]


def test_a_log_record_without_a_trace_is_an_event_of_no_run():
    plain = log_record("started the job", attributes={"event.name": "job.started"})
    trace_only = log_record("half", trace=T)
    mapped = mapped_logs(plain, trace_only)
    (first,), (second,) = mapped.groups
    assert first.run is None and first.event_type == "job.started" and first.message == "started the job"
    assert second.run is None and second.meta["otel.trace_id"] == T and second.event_type == "log"


def test_log_event_ids_follow_the_content():
    a = log_record("one", trace=T, span_id=sid(1))
    same = log_record("one", trace=T, span_id=sid(1))
    b = log_record("two", trace=T, span_id=sid(1))
    ids = [g[0].event_id for g in mapped_logs(a, b).groups]
    again = [g[0].event_id for g in mapped_logs(a, b).groups]
    assert ids == again and len(set(ids)) == 2
    twice = [g[0].event_id for g in mapped_logs(a, same).groups]
    assert twice[0] == ids[0] and twice[1] != twice[0]  # a repeat within one request is its own event


def test_log_ids_of_the_wrong_size_are_refused():
    good = log_record("ok", trace=T, span_id=sid(1))
    bad = logs_of(logs_request([log_record("bad")]))[0]
    bad["trace_id"] = "ab" * 15
    mapped = map_logs([logs_of(logs_request([good]))[0], bad])
    assert mapped.items == [0] and [i for i, _ in mapped.rejected] == [1]
    bad["trace_id"], bad["span_id"] = T, "ab" * 9
    assert [i for i, _ in map_logs([bad]).rejected] == [0]


# -- the parts a span's events share ----------------------------------------------------------------

def _nested(depth):
    value = {"leaf": "x", "api_key": "deep-secret"}
    for _ in range(depth):
        value = {"down": value, "password": "p"}
    return value


def _rich_request():
    """Spans whose events take every road of the masking: secret keys at the top and nested,
    non-finite floats, a payload too deep for the quick walk, an exception, our own events."""
    secret = {"api_key": "k-1", "user.id": "u-1", "x-api-key": "k-2", "gen_ai.usage.input_tokens": 5,
              "nested": {"password": "pw", "list": [{"secret": "s"}, 1.5]}}
    ours = [(T0_NS, "agent_task.started", {"orvane.event.id": "own-1", "orvane.event.level": "info",
                                           "orvane.event.payload": '{"token": "t", "x": [1, {"password": "p"}]}'}),
            (T0_NS + 10**6, "agent_task.failed", {"orvane.event.id": "own-2",
                                                  "orvane.event.error": '{"type": "Boom", "secret": "s"}'})]
    spans = [
        span(T, sid(1), name="chat m", attributes={"gen_ai.operation.name": "chat", **secret},
             events=[(T0_NS + 1, "gen_ai.content.prompt", {"gen_ai.prompt": "hi", **secret}),
                     (T0_NS + 2, "exception", {"exception.type": "E", "exception.message": "bad", "token": "t"})]),
        span(T, sid(2), sid(1), attributes={"gen_ai.operation.name": "execute_tool", "x": 1},
             events=[(T0_NS + 3, "ev", {"a": 1})]),
        our_run_span("child-1", parent="root-1", events=ours),
    ]
    docs = spans_of(trace_request(spans, {"service.name": "svc-secret", "deployment.environment.name": "prod"}))
    docs[0]["attributes"]["ratio"] = float("nan")
    docs[0]["events"][0]["attributes"]["limit"] = float("inf")
    docs[1]["attributes"]["deep"] = _nested(DataFormatter.MAX_DEPTH)  # only the sanitizer's copy decides
    return docs


def _dumps(mapped):
    return [[e.model_dump(mode="json") for e in group] for group in mapped.groups]


def test_events_built_from_a_spans_shared_parts_are_those_built_one_by_one(monkeypatch):
    import orvane_devtools.listener.otlp.mapping as mapping

    fast = mapping.map_spans(_rich_request())
    monkeypatch.setattr(mapping, "value_masker", lambda: None)  # every event masked on its own
    slow = mapping.map_spans(_rich_request())
    assert not fast.rejected and not slow.rejected
    assert _dumps(fast) == _dumps(slow)
    chat = fast.groups[0]
    assert chat[0].payload["api_key"] == DataFormatter.MASK and chat[0].payload["nested"]["password"] == DataFormatter.MASK
    assert chat[1].payload["nested"]["list"][0]["secret"] == DataFormatter.MASK
    assert chat[0].payload["ratio"] == "NaN" and chat[1].payload["limit"] == "Infinity"
    assert chat[-1].payload["gen_ai.usage.input_tokens"] == 5
    deep = fast.groups[1][0].payload["deep"]
    assert deep == DataFormatter.sanitize({"payload": {"deep": _nested(DataFormatter.MAX_DEPTH)}})["payload"]["deep"]
    own = fast.groups[2]
    assert own[0].payload["token"] == DataFormatter.MASK and own[1].error["secret"] == DataFormatter.MASK


def test_each_event_of_a_span_holds_its_own_meta_and_run():
    import orvane_devtools.listener.otlp.mapping as mapping

    events = mapping.map_spans(_rich_request()).groups[0]
    assert len(events) == 4
    first, *others = events
    first.meta["app_id"] = "changed"
    first.run.meta["otel.span_name"] = "changed"
    first.run.__dict__["agent_name"] = "changed"
    for ev in others:
        assert ev.meta["app_id"] == "svc-secret" and ev.meta["environment"] == "prod"
        assert ev.run.meta["otel.span_name"] == "chat m" and ev.run.agent_name is None
        assert ev.run is not first.run and ev.meta is not first.meta
