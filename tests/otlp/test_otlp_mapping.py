"""Runs into spans: the tree, ids, timings, names, attributes, events and statuses of what the
span builder emits, decoded with opentelemetry-proto and checked against the events sent."""

from __future__ import annotations

import hashlib
import json
import math

import pytest
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.proto.trace.v1.trace_pb2 import Span, Status
from otlp_helpers import Clock, by_run, event, plain_spans, run_ctx

from orvane_devtools.observation.backends import Otlp

MS = 1_000_000


def build(events, *, finish_at: int | None = None, judge_at: int | None = None, **options):
    b = Otlp._SpanBuilder(**options)
    assert b.add(events) == 0
    if judge_at is not None:
        b.judge(judge_at)
    if finish_at is not None:
        b.finish_all(finish_at)
    spans = []
    while (body := b.take_request(max_spans=7)) is not None:
        spans += plain_spans(ExportTraceServiceRequest.FromString(body))
    return b, spans


def sha(prefix: bytes, text: str, n: int) -> str:
    return hashlib.sha256(prefix + b"\0" + text.encode()).digest()[:n].hex()


@pytest.fixture
def clock():
    return Clock()


def test_a_run_tree_keeps_its_shape_ids_and_times(clock):
    root = run_ctx("root", agent="Planner", session_id="s-1", meta={"flow_name": "trip"})
    child = run_ctx("child", parent="root", agent="Booker", agent_id="agent-7")
    grand = run_ctx("grand", parent="child", root="root", kind="tool", meta={"tool": "flights"})
    t0 = clock()
    evs = [
        event("agent_task.started", root, t0, meta={"app_id": "travel", "environment": "prod", "group_id": "g1"}),
        event("agent_task.started", child, clock()),
        event("tool.started", grand, clock()),
        event("tool.completed", grand, clock(5)),
        event("agent_task.completed", child, clock()),
        event("agent_task.completed", root, clock(10)),
    ]
    _, spans = build(evs)
    runs = by_run(spans)
    assert set(runs) == {"root", "child", "grand"}
    r, c, g = runs["root"], runs["child"], runs["grand"]
    # One trace derived from the root run id; span ids from the run ids; parents from parent ids.
    assert {s["trace_id"] for s in spans} == {sha(b"orvane-trace", "root", 16)}
    assert r["span_id"] == sha(b"orvane-span", "root", 8) and r["parent_span_id"] == ""
    assert c["parent_span_id"] == r["span_id"] and g["parent_span_id"] == c["span_id"]
    # Start = first event, end = terminal event, in nanoseconds.
    assert (r["start"], r["end"]) == (t0 * MS, evs[-1].timestamp * MS)
    assert (g["start"], g["end"]) == (evs[2].timestamp * MS, evs[3].timestamp * MS)
    # Names and attributes of the GenAI conventions.
    assert r["name"] == "invoke_agent Planner" and c["name"] == "invoke_agent Booker"
    assert g["name"] == "execute_tool flights"
    assert r["kind"] == Span.SPAN_KIND_INTERNAL
    assert r["attributes"]["gen_ai.operation.name"] == "invoke_agent"
    assert r["attributes"]["gen_ai.agent.name"] == "Planner"
    assert r["attributes"]["gen_ai.conversation.id"] == "s-1"
    assert c["attributes"]["gen_ai.agent.id"] == "agent-7"
    assert g["attributes"]["gen_ai.operation.name"] == "execute_tool"
    assert g["attributes"]["gen_ai.tool.name"] == "flights"
    assert r["attributes"]["orvane.group.id"] == "g1"
    assert r["attributes"]["orvane.flow.name"] == "trip"
    assert r["attributes"]["orvane.run.event_count"] == 2
    assert r["resource"] == {"service.name": "travel", "deployment.environment.name": "prod"}
    # The child named no application: the default service name, in its own resource.
    assert c["resource"] == {"service.name": "unknown_service"}
    # Success leaves the status unset.
    assert {s["status_code"] for s in spans} == {Status.STATUS_CODE_UNSET}
    # Spans of a run end before their parent ends, and leave in the order they end.
    assert [s["attributes"]["orvane.run.id"] for s in spans] == ["grand", "child", "root"]


def test_span_events_carry_the_scalar_fields_and_the_masked_payload(clock):
    run = run_ctx("r", agent="A")
    ts = clock()
    evs = [
        event("agent_task.started", run, ts, source="planner", level="warning", message="go",
              payload={"query": "x", "api_key": "sk-live-123", "nested": [{"password": "p"}]},
              event_id="e-1"),
        event("agent_task.completed", run, clock(), payload=None, message=None, event_id="e-2"),
    ]
    _, spans = build(evs)
    (span,) = spans
    first, last = span["events"]
    assert first["name"] == "agent_task.started" and first["time"] == ts * MS
    a = first["attributes"]
    assert a["orvane.event.id"] == "e-1"
    assert a["orvane.event.source"] == "planner"
    assert a["orvane.event.level"] == "warning"
    assert a["orvane.event.message"] == "go"
    payload = json.loads(a["orvane.event.payload"])
    assert payload == {"query": "x", "api_key": "***", "nested": [{"password": "***"}]}
    assert "sk-live-123" not in json.dumps(spans)
    # Absent fields stay absent rather than becoming empty strings.
    assert "orvane.event.payload" not in last["attributes"]
    assert "orvane.event.message" not in last["attributes"]


def test_the_payload_is_masked_by_the_modules_sanitizer(clock, monkeypatch):
    class Formatter:
        @staticmethod
        def sanitize(value):
            return {"replaced": True}

    monkeypatch.setattr(Otlp, "DataFormatter", Formatter)
    run = run_ctx("r")
    _, spans = build([event("x.started", run, clock(), payload={"a": 1}),
                      event("x.completed", run, clock())])
    assert json.loads(spans[0]["events"][0]["attributes"]["orvane.event.payload"]) == {"replaced": True}


def test_a_failed_run_has_status_error_with_type_and_message(clock):
    run = run_ctx("r", agent="A")
    evs = [
        event("agent_task.started", run, clock()),
        event("agent_task.failed", run, clock(), message="model call timed out",
              error={"type": "TimeoutError", "detail": "no answer after 30 s", "token": "t"}),
    ]
    _, spans = build(evs)
    (span,) = spans
    assert span["status_code"] == Status.STATUS_CODE_ERROR
    assert span["status_message"] == "no answer after 30 s"
    assert span["attributes"]["error.type"] == "TimeoutError"
    assert span["attributes"]["orvane.run.status"] == "failed"
    assert json.loads(span["events"][-1]["attributes"]["orvane.event.error"])["token"] == "***"


@pytest.mark.parametrize(
    "error, message, expected_type, expected_message",
    [
        (None, "boom", "_OTHER", "boom"),
        ("plain text", None, "_OTHER", "plain text"),
        ({"code": 429}, "rate limited", "429", "rate limited"),
        ({"name": "ToolError", "message": "bad input"}, "ignored", "ToolError", "bad input"),
    ],
)
def test_failure_type_and_message_come_from_the_error_or_the_event(clock, error, message,
                                                                   expected_type, expected_message):
    run = run_ctx("r")
    _, spans = build([event("task.started", run, clock()),
                      event("task.failed", run, clock(), error=error, message=message)])
    assert spans[0]["attributes"]["error.type"] == expected_type
    assert spans[0]["status_message"] == expected_message


def test_stream_deltas_are_counted_unless_asked_for(clock):
    run = run_ctx("r", agent="Writer")
    evs = [event("agent_task.started", run, clock())]
    evs += [event("stream.delta", run, clock(), payload={"delta": f"t{i}"}) for i in range(5)]
    evs += [event("agent_task.completed", run, clock())]
    _, (span,) = build(evs)
    assert [e["name"] for e in span["events"]] == ["agent_task.started", "agent_task.completed"]
    assert span["attributes"]["orvane.run.stream_delta_count"] == 5
    assert span["attributes"]["orvane.run.event_count"] == 7
    _, (span,) = build(evs, stream_deltas=True)
    assert [e["name"] for e in span["events"]].count("stream.delta") == 5
    assert json.loads(span["events"][3]["attributes"]["orvane.event.payload"]) == {"delta": "t2"}
    assert "orvane.run.stream_delta_count" not in span["attributes"]


def test_tool_actions_inside_a_run_become_child_spans(clock):
    run = run_ctx("r", agent="Researcher", session_id="s")
    t = [clock() for _ in range(8)]
    evs = [
        event("agent_task.started", run, t[0]),
        event("agent_task.action.started", run, t[1], payload={"tool": "search", "tool_call_id": "c1"}),
        event("agent_task.action.started", run, t[2], payload={"tool": {"name": "fetch"}, "call_id": "c2"}),
        event("agent_task.action.completed", run, t[3], payload={"tool": "search", "tool_call_id": "c1"}),
        event("agent_task.action.failed", run, t[4], payload={"tool": "fetch", "call_id": "c2"},
              error={"type": "HTTPError"}, message="404"),
        event("agent_task.action.started", run, t[5], payload={"tool": "calc"}),
        # An action without a tool name stays an event of the run.
        event("agent_task.action.completed", run, t[6], payload={"note": "no tool"}),
        event("agent_task.completed", run, t[7]),
    ]
    _, spans = build(evs)
    tools = {s["attributes"].get("gen_ai.tool.call.id") or s["attributes"]["gen_ai.tool.name"]: s
             for s in spans if s["name"].startswith("execute_tool")}
    agent = by_run(spans)["r"]
    assert set(tools) == {"c1", "c2", "calc"}
    search, fetch, calc = tools["c1"], tools["c2"], tools["calc"]
    for tool in (search, fetch, calc):
        assert tool["parent_span_id"] == agent["span_id"] and tool["trace_id"] == agent["trace_id"]
        assert tool["attributes"]["gen_ai.operation.name"] == "execute_tool"
        assert tool["attributes"]["gen_ai.conversation.id"] == "s"
    assert search["name"] == "execute_tool search"
    assert (search["start"], search["end"]) == (t[1] * MS, t[3] * MS)
    assert search["status_code"] == Status.STATUS_CODE_UNSET
    assert [e["name"] for e in search["events"]] == ["agent_task.action.started", "agent_task.action.completed"]
    assert fetch["name"] == "execute_tool fetch"
    assert fetch["status_code"] == Status.STATUS_CODE_ERROR and fetch["attributes"]["error.type"] == "HTTPError"
    assert fetch["status_message"] == "404"
    # A tool still running when its run ends is cut at the run's end as incomplete.
    assert calc["end"] == t[7] * MS and calc["status_code"] == Status.STATUS_CODE_ERROR
    assert calc["status_message"] == "incomplete"
    # Action events do not end the run (the store's status flips, the span does not).
    assert agent["end"] == t[7] * MS
    assert [e["name"] for e in agent["events"]] == [
        "agent_task.started", "agent_task.action.completed", "agent_task.completed"]
    assert len({s["span_id"] for s in spans}) == len(spans)


def test_runs_open_at_exit_are_incomplete_and_end_now(clock):
    run = run_ctx("r", agent="A")
    child = run_ctx("c", parent="r", kind="task")
    started = clock()
    now = started + 60_000
    b, spans = build([event("agent_task.started", run, started), event("task.started", child, clock())],
                     finish_at=now)
    runs = by_run(spans)
    for s in runs.values():
        assert s["status_code"] == Status.STATUS_CODE_ERROR and s["status_message"] == "incomplete"
        assert s["end"] == now * MS
        assert s["attributes"]["orvane.run.status"] == "incomplete"
        assert "orvane.run.stale_reason" not in s["attributes"]
    # A run that is neither an agent nor a tool is named by its kind.
    assert runs["c"]["name"] == "task" and "gen_ai.operation.name" not in runs["c"]["attributes"]
    assert b.counts()["incomplete_run_count"] == 2 and b.open_count == 0


def test_stale_and_orphaned_runs_follow_the_facades_rules(clock):
    root = run_ctx("root", agent="A")
    child = run_ctx("child", parent="root")
    quiet = run_ctx("quiet")
    t0 = clock()
    evs = [
        event("agent_task.started", quiet, t0),
        event("agent_task.started", root, clock()),
        event("agent_task.started", child, clock()),
        event("agent_task.completed", root, clock()),
    ]
    root_end = evs[-1].timestamp
    b = Otlp._SpanBuilder(stale_after_seconds=900, orphan_after_seconds=30)
    b.add(evs)
    assert b.ready_count == 1  # the root
    b.judge(root_end + 29_999)  # one millisecond short of the orphan grace
    assert b.ready_count == 1 and b.open_count == 2
    b.judge(root_end + 30_000)
    spans = plain_spans(ExportTraceServiceRequest.FromString(b.take_request()))
    orphan = by_run(spans)["child"]
    assert orphan["status_code"] == Status.STATUS_CODE_ERROR
    assert orphan["status_message"] == "orphaned_after_ancestor_terminal"
    assert orphan["attributes"]["orvane.run.stale_reason"] == "orphaned_after_ancestor_terminal"
    assert orphan["attributes"]["orvane.run.status"] == "failed"
    assert orphan["end"] == (root_end + 30_000) * MS
    assert b.open_count == 1  # "quiet" is neither stale yet nor anyone's orphan
    b.judge(t0 + 900_000 - 1)
    assert b.open_count == 1
    b.judge(t0 + 900_000)
    (stale,) = plain_spans(ExportTraceServiceRequest.FromString(b.take_request()))
    assert stale["status_message"] == "stale_timeout" and stale["attributes"]["error.type"] == "stale_timeout"
    assert b.counts()["stale_run_count"] == 1 and b.counts()["orphaned_run_count"] == 1


def test_a_waiting_run_is_never_stale_and_zero_switches_a_rule_off(clock):
    run = run_ctx("w")
    b = Otlp._SpanBuilder(stale_after_seconds=1)
    b.add([event("agent_task.waiting", run, clock())])
    b.judge(clock() + 10**9)
    assert b.open_count == 1
    b = Otlp._SpanBuilder(stale_after_seconds=0, orphan_after_seconds=0)
    b.add([event("agent_task.started", run, clock())])
    b.judge(clock() + 10**12)
    assert b.open_count == 1


def test_orphans_of_an_orphan_are_anchored_at_the_roots_end(clock):
    root = run_ctx("root")
    mid = run_ctx("mid", parent="root")
    leaf = run_ctx("leaf", parent="mid", root="root")
    evs = [event("agent_task.started", r, clock()) for r in (root, mid, leaf)]
    evs.append(event("agent_task.completed", root, clock()))
    end = evs[-1].timestamp
    _, spans = build(evs, judge_at=end + 30_000)
    runs = by_run(spans)
    assert runs["mid"]["status_message"] == runs["leaf"]["status_message"] == "orphaned_after_ancestor_terminal"


def test_events_after_a_run_ended_continue_it_in_a_child_span(clock):
    run = run_ctx("r", agent="A")
    evs = [event("agent_task.started", run, clock()), event("agent_task.completed", run, clock()),
           event("agent_task.started", run, clock()), event("agent_task.completed", run, clock())]
    b, spans = build(evs)
    runs = by_run(spans)
    first, again = runs["r"], runs["r#1"]
    assert again["parent_span_id"] == first["span_id"] and again["trace_id"] == first["trace_id"]
    assert again["span_id"] != first["span_id"]
    assert again["start"] == evs[2].timestamp * MS
    assert b.counts()["continued_run_count"] == 1


def test_the_same_event_twice_is_folded_in_once(clock):
    run = run_ctx("r")
    done = event("agent_task.completed", run, clock() + 5)
    b, spans = build([event("agent_task.started", run, clock()), done, done])
    assert len(spans) == 1 and len(spans[0]["events"]) == 2
    assert b.counts()["duplicate_event_count"] == 1


def test_a_run_without_root_id_joins_its_parents_trace(clock):
    parent = run_ctx("p", root="top")
    child = {"run_id": "c", "parent_run_id": "p", "run_kind": "agent_task"}  # no root given
    _, spans = build([event("agent_task.started", parent, clock()), event("agent_task.started", child, clock()),
                      event("agent_task.completed", child, clock()), event("agent_task.completed", parent, clock())])
    runs = by_run(spans)
    assert runs["c"]["trace_id"] == runs["p"]["trace_id"] == sha(b"orvane-trace", "top", 16)
    # In a process that never saw the parent, the parent is taken as the root.
    _, (alone,) = build([event("agent_task.started", child, 5), event("agent_task.completed", child, 6)])
    assert alone["trace_id"] == sha(b"orvane-trace", "p", 16)


def test_span_event_limit_drops_the_oldest_and_counts(clock):
    run = run_ctx("r")
    evs = [event("agent_task.started", run, clock())]
    evs += [event("agent_task.progress", run, clock(), message=str(i)) for i in range(10)]
    evs += [event("agent_task.completed", run, clock())]
    b, (span,) = build(evs, max_events_per_span=4)
    assert [e["attributes"].get("orvane.event.message") for e in span["events"]] == ["7", "8", "9", None]
    assert span["dropped_events"] == 8
    assert b.counts()["dropped_span_event_count"] == 8


def test_long_texts_are_cut_at_a_character_boundary(clock):
    run = run_ctx("r")
    text = "é" * 100  # two bytes each
    b, (span,) = build([event("task.started", run, clock(), message=text),
                        event("task.completed", run, clock())], max_attribute_length=51)
    message = span["events"][0]["attributes"]["orvane.event.message"]
    assert message == "é" * 25
    assert b.counts()["truncated_attribute_count"] == 1


def test_text_that_is_not_valid_unicode_still_makes_a_decodable_request(clock):
    lone = "bad \udc80 surrogate"
    run = run_ctx("r\ud800", agent=lone)
    _, (span,) = build([event("task.started", run, clock(), message=lone, payload={"k": lone}),
                        event("task.completed", run, clock())])
    assert span["attributes"]["gen_ai.agent.name"] == "bad \ufffd surrogate"
    assert span["events"][0]["attributes"]["orvane.event.message"] == "bad \ufffd surrogate"
    assert span["attributes"]["orvane.run.id"] == "r\ufffd"


def test_unreadable_events_are_set_aside_and_the_rest_go_on(clock):
    class Boom:
        def __str__(self):
            raise RuntimeError("no text")

    run = run_ctx("r")
    b = Otlp._SpanBuilder()
    bad = event("task.started", run, clock())
    object.__setattr__(bad, "event_type", Boom())
    cyclic: list = []
    cyclic.append(cyclic)
    skipped = b.add([bad, event("task.started", run, clock(), payload={"loop": cyclic}),
                     event("task.completed", run, clock())])
    assert skipped == 1
    counts = b.counts()
    assert counts["unreadable_event_count"] == 1 and counts["absorbed_event_count"] == 2
    (span,) = plain_spans(ExportTraceServiceRequest.FromString(b.take_request()))
    assert json.loads(span["events"][0]["attributes"]["orvane.event.payload"]) == {"loop": ["<recursion>"]}


def test_events_without_a_run_are_counted_not_exported(clock):
    b, spans = build([event("system.heartbeat", None, clock())])
    assert spans == [] and b.counts()["unattached_event_count"] == 1


def test_the_open_run_limit_sends_the_least_active_run_as_incomplete(clock):
    evs = [event("task.started", run_ctx(f"r{i}"), clock()) for i in range(3)]
    evs.append(event("task.progress", run_ctx("r0"), clock()))  # r0 becomes the most active
    evs.append(event("task.started", run_ctx("r3"), clock()))
    b, spans = build(evs, max_open_runs=3)
    (evicted,) = spans
    assert evicted["attributes"]["orvane.run.id"] == "r1"
    assert evicted["status_message"] == "incomplete"
    assert b.counts()["evicted_run_count"] == 1 and b.open_count == 3


def test_a_full_outbox_lets_the_oldest_spans_go(clock):
    evs = []
    for i in range(5):
        r = run_ctx(f"r{i}")
        evs += [event("task.started", r, clock()), event("task.completed", r, clock())]
    b, spans = build(evs, buffer_limit=2)
    assert [s["attributes"]["orvane.run.id"] for s in spans] == ["r3", "r4"]
    assert b.counts()["dropped_span_count"] == 3


def test_builder_arguments_are_checked():
    with pytest.raises(TypeError, match="Argument 'service_name' has incorrect type"):
        Otlp._SpanBuilder(service_name=5)
    with pytest.raises(ValueError, match="max_open_runs must be 0 or more"):
        Otlp._SpanBuilder(max_open_runs=-1)
    with pytest.raises(ValueError, match="NaN"):
        Otlp._SpanBuilder(stale_after_seconds=math.nan)
    with pytest.raises(ValueError, match="'http/protobuf' or 'http/json'"):
        Otlp._SpanBuilder().take_request(protocol="grpc")
    with pytest.raises(TypeError, match="Argument 'root_run_id' has incorrect type"):
        Otlp.trace_id_for(None)


@pytest.mark.parametrize("event_type", [
    "agent_task.failed", "x_failed", "a.completed", "b_completed", "c.started", "d_resumed",
    "e.retrying", "f.waiting", "g_raised", "stream.delta", "completed.failed", "x.completedish", "",
])
def test_run_status_rule_agrees_with_the_run_store(event_type, clock):
    """Where a span ends is where the run store sees the run end (for non-action events)."""
    from orvane_devtools.observation.Tallybook import _infer_run_status

    run = run_ctx("r")
    b = Otlp._SpanBuilder()
    b.add([event("x.started", run, clock()), event(event_type, run, clock())])
    status = _infer_run_status(event(event_type, run, 0))
    ended = b.ready_count == 1
    assert ended == (status is not None and str(getattr(status, "value", status)) in ("completed", "failed"))


def test_the_de_duplication_window_matches_a_plain_model():
    """Random ids from a small pool: an event is folded in exactly when its id is not among the
    ids of the last `window` events folded in (a sliding window, oldest out first)."""
    import random
    from collections import deque

    rng = random.Random(7)
    for window in (1, 3, 17, 64):
        pool = [f"id-{i}" for i in range(window * 3)]
        b = Otlp._SpanBuilder(dedup_window=window, max_events_per_span=100_000)
        kept, recent = [], deque(maxlen=window)
        run = run_ctx("r")
        evs = []
        for n in range(3000):
            eid = rng.choice(pool)
            evs.append(event("task.progress", run, n + 1, event_id=eid, message=str(n)))
            if eid not in recent:
                recent.append(eid)
                kept.append(str(n))
        b.add(evs)
        b.finish_all(10**7)
        (span,) = plain_spans(ExportTraceServiceRequest.FromString(b.take_request()))
        assert [e["attributes"]["orvane.event.message"] for e in span["events"]] == kept
        assert b.counts()["duplicate_event_count"] == 3000 - len(kept)


def test_events_that_are_not_pydantic_models_are_read_through_their_attributes(clock):
    class Run:
        run_id, root_run_id, parent_run_id, run_kind = "duck", None, None, "agent_task"
        agent_id = session_id = response_id = execution_id = None
        meta = {"flow_name": "ducks"}

        @property
        def agent_name(self):
            return "Quacker"

    class Event:
        def __init__(self, event_type, ts):
            self.event_type, self.timestamp = event_type, ts
            self.event_id, self.source, self.level, self.message = event_type, None, "info", None
            self.payload, self.error, self.meta, self.run = None, None, {}, Run()

    _, (span,) = build([Event("agent_task.started", clock()), Event("agent_task.completed", clock())])
    assert span["name"] == "invoke_agent Quacker"
    assert span["attributes"]["orvane.flow.name"] == "ducks"
