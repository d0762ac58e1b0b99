"""LLM calls read once at ingest, stored with their runs in the SQLite file, and served on the run
routes: the listener's application in this process, fed OTLP spans of the GenAI chat shape
(built with opentelemetry-proto), GenAI log events and our own events, read back through the API."""

from __future__ import annotations

import datetime as dt
import json
import sqlite3

import pytest
from genai_prices import Usage, calc_price
from listener_helpers import body, event
from otlp_ingest_helpers import T0_NS, log_record, logs_request, sid, span, tid, trace_request

PB = {"content-type": "application/x-protobuf"}
T0_MS = T0_NS // 1_000_000


def price(model: str, provider: str, at_ns: int, **usage: int) -> float:
    when = dt.datetime.fromtimestamp(at_ns / 1e9, dt.UTC)
    return float(calc_price(Usage(**usage), model, provider_id=provider, genai_request_timestamp=when).total_price)


def chat_attributes(model: str = "gpt-4o-mini", **extra) -> dict:
    attrs = {
        "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai", "gen_ai.request.model": model,
        "gen_ai.response.model": model, "gen_ai.usage.input_tokens": 1200, "gen_ai.usage.output_tokens": 300,
        "gen_ai.usage.cache_read.input_tokens": 1000, "gen_ai.response.finish_reasons": ["stop"],
        "gen_ai.input.messages": json.dumps([{"role": "user", "parts": [{"type": "text", "content": "Weather?"}]}]),
        "gen_ai.output.messages": json.dumps([{"role": "assistant", "parts": [
            {"type": "tool_call", "id": "c1", "name": "weather", "arguments": json.dumps({"city": "Paris"})}],
            "finish_reason": "tool_calls"}]),
    }
    attrs.update(extra)
    return attrs


def post_spans(listener, spans, **kw):
    r = listener.client().post("/v1/traces", content=trace_request(spans, **kw).SerializeToString(), headers=PB)
    assert r.status_code == 200, r.text
    return r


def post_logs(listener, records):
    r = listener.client().post("/v1/logs", content=logs_request(records).SerializeToString(), headers=PB)
    assert r.status_code == 200, r.text


def ingest(listener, events):
    r = listener.client().post(f"{listener.api}/ingest", json=body(events))
    assert r.status_code == 200 and not r.json()["rejected"], r.text
    return r.json()


def get(listener, path, **params):
    r = listener.client().get(f"{listener.api}{path}", params=params)
    assert r.status_code == 200, r.text
    return r.json()


def run_id(trace: int, span_no: int) -> str:
    return f"otel-{tid(trace)}-{sid(span_no)}"


def tree_nodes(listener, root: str) -> dict[str, dict]:
    flat = get(listener, f"/runs/{root}/tree", format="flat")
    return {n["run"]["run_id"]: n["run"] for n in flat["nodes"]}


class TestSpans:
    def test_a_chat_span_under_an_agent_span_through_every_run_route(self, start_in_process):
        listener = start_in_process()
        post_spans(listener, [
            span(tid(1), sid(1), name="invoke_agent Planner", attributes={"gen_ai.operation.name": "invoke_agent"},
                 end=T0_NS + 9_000_000),
            span(tid(1), sid(2), sid(1), name="chat gpt-4o-mini", attributes=chat_attributes(), start=T0_NS + 1_000_000),
        ])
        llm_id, agent_id = run_id(1, 2), run_id(1, 1)
        call = get(listener, f"/runs/{llm_id}")["llm"]
        expected = price("gpt-4o-mini", "openai", T0_NS + 1_000_000, input_tokens=1200, cache_read_tokens=1000,
                         output_tokens=300)
        assert call["model"] == "gpt-4o-mini" and call["provider"] == "openai"
        assert (call["input_tokens"], call["cache_read_tokens"], call["output_tokens"], call["total_tokens"]) == (
            1200, 1000, 300, 1500)
        assert call["priced"] is True and call["cost_source"] == "priced"
        assert call["cost_usd"] == pytest.approx(expected, rel=1e-9)
        assert call["finish_reasons"] == ["stop"]
        assert call["input_messages"] == [{"role": "user", "parts": [{"type": "text", "content": "Weather?"}]}]
        # The tool call's arguments, sent as a JSON string, arrive parsed.
        assert call["output_messages"][0]["parts"][0]["arguments"] == {"city": "Paris"}
        own = {"llm_calls": 1, "input_tokens": 1200, "output_tokens": 300, "total_tokens": 1500,
               "cost_usd": pytest.approx(expected, rel=1e-9), "unpriced_calls": 0}
        # The same record and totals on the list, the tree (both shapes) and the children route.
        listed = {r["run_id"]: r for r in get(listener, "/runs")["runs"]}
        assert listed[llm_id]["llm"] == call and listed[llm_id]["totals"] == own
        assert listed[agent_id]["llm"] is None and listed[agent_id]["totals"] == own
        nested = get(listener, f"/runs/{agent_id}/tree")
        assert nested["run"]["totals"] == own and nested["children"][0]["run"]["llm"] == call
        assert tree_nodes(listener, agent_id)[llm_id]["totals"] == own
        assert get(listener, f"/runs/{agent_id}/children")["runs"][0]["llm"] == call
        assert get(listener, f"/runs/{agent_id}")["totals"] == own

    def test_an_unknown_model_is_unpriced_never_zero(self, start_in_process):
        listener = start_in_process()
        post_spans(listener, [
            span(tid(2), sid(1), name="invoke_agent A", attributes={"gen_ai.operation.name": "invoke_agent"}),
            span(tid(2), sid(2), sid(1), attributes=chat_attributes("house-model-7b")),
        ])
        call = get(listener, f"/runs/{run_id(2, 2)}")["llm"]
        assert (call["priced"], call["cost_usd"], call["cost_source"]) == (False, None, None)
        totals = get(listener, f"/runs/{run_id(2, 1)}")["totals"]
        assert totals["cost_usd"] is None and totals["unpriced_calls"] == 1 and totals["llm_calls"] == 1
        assert totals["total_tokens"] == 1500

    def test_a_cost_sent_with_the_span_wins(self, start_in_process):
        listener = start_in_process()
        post_spans(listener, [span(tid(3), sid(1), attributes=chat_attributes(**{"gen_ai.usage.cost": 0.5}))])
        call = get(listener, f"/runs/{run_id(3, 1)}")["llm"]
        assert (call["cost_usd"], call["cost_source"], call["priced"]) == (0.5, "reported", True)

    def test_a_span_sent_again_counts_once(self, start_in_process):
        listener = start_in_process()
        for _ in range(2):
            post_spans(listener, [span(tid(4), sid(1), attributes=chat_attributes())])
        assert get(listener, f"/runs/{run_id(4, 1)}")["totals"]["llm_calls"] == 1

    @pytest.mark.parametrize("logs_first", [False, True], ids=["span-first", "logs-first"])
    def test_log_events_of_the_span_fill_its_messages(self, start_in_process, logs_first):
        """Content captured as GenAI log events (per-message events, each its own record, in
        two requests) joins the span's usage in one call, whichever arrives first."""
        listener = start_in_process()
        attrs = chat_attributes()
        for key in ("gen_ai.input.messages", "gen_ai.output.messages"):
            del attrs[key]
        trace, span_id = tid(5), sid(1)
        records = [
            [log_record({"content": "Be brief."}, trace=trace, span_id=span_id, event_name="gen_ai.system.message"),
             log_record({"content": "Weather?"}, trace=trace, span_id=span_id, event_name="gen_ai.user.message",
                        at=T0_NS + 1)],
            [log_record({"index": 0, "finish_reason": "stop", "message": {"content": "Sunny."}}, trace=trace,
                        span_id=span_id, event_name="gen_ai.choice", at=T0_NS + 2)],
        ]
        sends = [lambda: post_spans(listener, [span(trace, span_id, name="chat gpt-4o-mini", attributes=attrs)])]
        sends += [lambda batch=batch: post_logs(listener, batch) for batch in records]
        for send in (sends[1:] + sends[:1]) if logs_first else sends:
            send()
        # The same log records sent again add nothing.
        post_logs(listener, records[0])
        call = get(listener, f"/runs/{run_id(5, 1)}")["llm"]
        assert [m["role"] for m in call["input_messages"]] == ["system", "user"]
        assert call["input_messages"][1]["parts"] == [{"type": "text", "content": "Weather?"}]
        assert call["output_messages"][0]["parts"] == [{"type": "text", "content": "Sunny."}]
        assert call["finish_reasons"] == ["stop"]  # the span's, not doubled by the choice's
        assert (call["input_tokens"], call["output_tokens"], call["priced"]) == (1200, 300, True)


class TestOurEvents:
    def test_started_completed_and_deltas_of_one_llm_run_fold_into_one_call(self, start_in_process):
        listener = start_in_process()
        run = {"run_id": "llm-1", "root_run_id": "llm-1", "run_kind": "llm"}
        started = event(0, "llm-1", event_type="llm.started", ts=T0_MS, run=run, payload={
            "model": "claude-3-5-sonnet-20241022", "provider": "anthropic", "system": "Be brief.",
            "messages": [{"role": "user", "content": "Hi"}]})
        deltas = [event(i, "llm-1", event_type="stream.delta", ts=T0_MS + 250 + i, run=run,
                        payload={"delta": "Hel"}) for i in (1, 2)]
        completed = event(3, "llm-1", event_type="llm.completed", ts=T0_MS + 900, run=run, payload={
            "type": "message", "model": "claude-3-5-sonnet-20241022", "stop_reason": "end_turn",
            "content": [{"type": "text", "text": "Hello"}],
            "usage": {"input_tokens": 100, "cache_read_input_tokens": 50, "output_tokens": 20}})
        ingest(listener, [started, deltas[0]])
        ingest(listener, [deltas[1], completed])
        ingest(listener, [started, completed])  # a retried batch changes nothing
        answer = get(listener, "/runs/llm-1")
        call = answer["llm"]
        assert call["system_instructions"] == [{"type": "text", "content": "Be brief."}]
        assert call["input_messages"][0]["parts"] == [{"type": "text", "content": "Hi"}]
        assert call["output_messages"][0]["parts"] == [{"type": "text", "content": "Hello"}]
        assert call["finish_reasons"] == ["end_turn"]
        # Anthropic counts cache reads outside input_tokens: the record counts them inside.
        assert (call["input_tokens"], call["cache_read_tokens"], call["output_tokens"]) == (150, 50, 20)
        assert call["time_to_first_token_ms"] == 251.0  # the first delta, whichever batch
        assert call["cost_usd"] == pytest.approx(price("claude-3-5-sonnet-20241022", "anthropic", T0_NS,
                                                       input_tokens=150, cache_read_tokens=50, output_tokens=20))
        assert answer["totals"]["llm_calls"] == 1

    def test_usage_events_on_a_run_of_another_kind_count_toward_it(self, start_in_process):
        listener = start_in_process()
        calls = [event(i, "agent-1", event_type="agent_task.llm_call", ts=T0_MS + i, payload={
            "model": "gpt-4o-mini", "provider": "openai",
            "usage": {"prompt_tokens": 100 * (i + 1), "completion_tokens": 10}}) for i in range(3)]
        ingest(listener, [event(9, "agent-1", event_type="agent_task.started", ts=T0_MS - 1), *calls[:2]])
        ingest(listener, calls)  # the first two again, and the third
        answer = get(listener, "/runs/agent-1")
        assert answer["run_kind"] == "agent_task"
        assert answer["totals"]["llm_calls"] == 3
        assert (answer["totals"]["input_tokens"], answer["totals"]["output_tokens"]) == (600, 30)
        expected = sum(price("gpt-4o-mini", "openai", (T0_MS + i) * 1_000_000, input_tokens=100 * (i + 1),
                             output_tokens=10) for i in range(3))
        assert answer["totals"]["cost_usd"] == pytest.approx(expected, rel=1e-9)
        assert answer["llm"]["input_tokens"] == 300  # the record is its last call

    def test_events_without_a_call_leave_the_run_without_one(self, start_in_process):
        listener = start_in_process()
        ingest(listener, [event(0, "plain", payload={"model_name": "x", "step": 1}),
                          event(1, "plain", event_type="stream.delta", payload={"delta": "a"})])
        answer = get(listener, "/runs/plain")
        assert answer["llm"] is None
        assert answer["totals"] == {"llm_calls": 0, "input_tokens": 0, "output_tokens": 0, "total_tokens": 0,
                                    "cost_usd": None, "unpriced_calls": 0}


@pytest.fixture
def three_levels(start_in_process):
    """root (agent) -> two child agents -> LLM calls: spans under one, our events under the other,
    and a third-level tool run with an event that carries usage."""
    listener = start_in_process()
    root = {"run_id": "root", "root_run_id": "root", "run_kind": "agent_task"}
    kid = {"run_id": "kid-a", "root_run_id": "root", "parent_run_id": "root", "run_kind": "agent_task"}
    tool = {"run_id": "tool-1", "root_run_id": "root", "parent_run_id": "kid-a", "run_kind": "tool"}
    ingest(listener, [
        event(0, "root", run=root, ts=T0_MS, event_type="agent_task.started"),
        event(1, "kid-a", run=kid, ts=T0_MS + 1, event_type="agent_task.started"),
        event(2, "kid-a", run=kid, ts=T0_MS + 2, payload={
            "model": "gpt-4o", "provider": "openai", "usage": {"input_tokens": 1000, "output_tokens": 100}}),
        event(3, "tool-1", run=tool, ts=T0_MS + 3, event_type="tool.started"),
        event(4, "tool-1", run=tool, ts=T0_MS + 4, payload={
            "model": "mystery-1", "usage": {"input_tokens": 7, "output_tokens": 3}}),
        event(5, "tool-1", run=tool, ts=T0_MS + 2000, event_type="tool.completed"),
        event(6, "kid-a", run=kid, ts=T0_MS + 3000, event_type="agent_task.completed"),
        event(7, "root", run=root, ts=T0_MS + 9000, event_type="agent_task.completed"),
    ])
    # Spans of a second child: the bridge's stamps put its trace under our root run.
    stamps = {"orvane.run.root_id": "root", "orvane.run.parent_id": "root"}
    from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for

    trace, parent = trace_id_for("root"), span_id_for("root")
    post_spans(listener, [
        span(trace, sid(11), parent, name="invoke_agent B",
             attributes={"gen_ai.operation.name": "invoke_agent", **stamps}, end=T0_NS + 500_000_000),
        span(trace, sid(12), sid(11), attributes=chat_attributes(**{"orvane.run.root_id": "root"}),
             end=T0_NS + 50_000_000),
        span(trace, sid(13), sid(11), attributes=chat_attributes("gpt-4o", **{"orvane.run.root_id": "root"}),
             end=T0_NS + 80_000_000),
    ])
    return listener, f"otel-{trace}-{sid(11)}", [f"otel-{trace}-{sid(n)}" for n in (12, 13)]


class TestTotals:
    def test_totals_over_a_three_level_tree(self, three_levels):
        listener, kid_b, spans = three_levels
        nodes = tree_nodes(listener, "root")
        assert set(nodes) == {"root", "kid-a", "tool-1", kid_b, *spans}
        assert nodes["tool-1"]["totals"]["unpriced_calls"] == 1 and nodes["tool-1"]["totals"]["cost_usd"] is None
        assert nodes["kid-a"]["totals"]["llm_calls"] == 2 and nodes["kid-a"]["totals"]["unpriced_calls"] == 1
        assert nodes["kid-a"]["totals"]["input_tokens"] == 1007
        assert nodes[kid_b]["totals"]["llm_calls"] == 2 and nodes[kid_b]["totals"]["input_tokens"] == 2400
        root = nodes["root"]["totals"]
        assert (root["llm_calls"], root["input_tokens"], root["output_tokens"], root["unpriced_calls"]) == (
            4, 3407, 703, 1)
        costs = [get(listener, f"/runs/{rid}")["llm"]["cost_usd"] for rid in ("kid-a", *spans)]
        assert root["cost_usd"] == pytest.approx(sum(costs), rel=1e-9)
        # Each node's tree totals are those of its own run answer (one meaning, two roads).
        for rid, node in nodes.items():
            assert get(listener, f"/runs/{rid}")["totals"] == node["totals"], rid

    def test_sorts_and_the_model_filter(self, three_levels):
        listener, kid_b, spans = three_levels

        def ids(**params):
            return [r["run_id"] for r in get(listener, "/runs", limit=100, **params)["runs"]]

        by_cost = ids(sort="cost")
        # Trees with a cost, most expensive first; those without one (no call, or none priced) last.
        costs = {r["run_id"]: r["totals"]["cost_usd"] for r in get(listener, "/runs", limit=100)["runs"]}
        priced = [rid for rid in by_cost if costs[rid] is not None]
        assert [costs[rid] for rid in priced] == sorted(costs[rid] for rid in priced)[::-1]
        assert by_cost[0] == "root" and by_cost[-1] == "tool-1"
        assert ids(sort="cost", direction="asc")[:len(priced)] == priced[::-1]
        by_tokens = ids(sort="tokens")
        assert by_tokens[:2] == ["root", kid_b] and by_tokens[-1] == "tool-1"
        assert ids(sort="duration")[:3] == ["root", "kid-a", "tool-1"]
        assert ids(sort="duration", direction="asc")[0] == spans[0]
        assert set(ids(model="gpt-4o")) == {"kid-a", spans[1]}
        assert ids(model="gpt-4o", sort="cost") == [spans[1], "kid-a"] or ids(model="gpt-4o", sort="cost") == [
            "kid-a", spans[1]]
        assert ids(model="no-such-model") == []
        page = get(listener, "/runs", sort="tokens", limit=2)
        rest = get(listener, "/runs", sort="tokens", limit=100, cursor=page["next_cursor"])
        assert [r["run_id"] for r in page["runs"] + rest["runs"]] == by_tokens

    @pytest.mark.parametrize("params, name", [
        ({"sort": "price"}, "sort"),
        ({"sort": "cost", "order": "started"}, "sort"),
        ({"direction": "up", "sort": "cost"}, "direction"),
        ({"direction": "asc"}, "direction"),
        ({"model": "a", "model2": "b"}, "model2"),
    ])
    def test_bad_sort_parameters_are_named(self, start_in_process, params, name):
        listener = start_in_process()
        r = listener.client().get(f"{listener.api}/runs", params=params)
        assert r.status_code == 400 and r.json()["parameter"] == name, r.text


def test_the_calls_are_stored_in_the_file_not_recomputed(start_in_process, tmp_path):
    """The record is a row of the file beside its run (so a listener opened again on the file
    serves it without reading events), and it goes with the run's events."""
    db = tmp_path / "kept.sqlite3"
    first = start_in_process(db=db)
    post_spans(first, [span(tid(6), sid(1), attributes=chat_attributes())])
    before = get(first, f"/runs/{run_id(6, 1)}")
    first.kill()
    conn = sqlite3.connect(db)
    try:
        rows = conn.execute("SELECT r.run_id, l.model, l.calls, l.input_tokens, l.total_tokens, l.unpriced"
                            " FROM llm_calls l JOIN runs r USING (run_key)").fetchall()
    finally:
        conn.close()
    assert rows == [(run_id(6, 1), "gpt-4o-mini", 1, 1200, 1500, 0)]
    again = start_in_process(db=db)
    assert get(again, f"/runs/{run_id(6, 1)}") == before
