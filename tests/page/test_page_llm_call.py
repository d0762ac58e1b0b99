"""An LLM call in the page: OTLP spans posted to a real listener's /v1/traces open as a
conversation (system instructions, messages by role, tool calls with their arguments and
results, the answer, finish reason, tokens with cached and reasoning apart, cost or "unpriced"),
with a Formatted/Raw switch, JSON texts shown parsed, long texts folded behind "show all" and
texts cut at the source marked; model, tokens and cost in the runs list, per node in the tree,
and the tree's totals in its header.

The screenshot of the conversation taken here is the one in the README: set
ORVANE_PAGE_LLM_SCREENSHOT=docs/page-llm-call.png to write it there."""

from __future__ import annotations

import json
import math
import os
import re
import secrets
import struct
import time
from dataclasses import dataclass
from pathlib import Path

import httpx
import pytest
from playwright.sync_api import expect

LONG_TEXT = "\n".join(f"Day {i}: glaciers advance and retreat with the seasons, leaving moraines behind." for i in range(40))
CUT_JSON = '[{"role": "user", "parts": [{"type": "text", "content": "the rest of this never arri'
SYSTEM = "You are a travel agent. Answer in one sentence."


def attr(key, value):
    if isinstance(value, bool):
        v = {"boolValue": value}
    elif isinstance(value, int):
        v = {"intValue": str(value)}
    elif isinstance(value, float):
        v = {"doubleValue": value}
    elif isinstance(value, list):
        v = {"arrayValue": {"values": [{"stringValue": x} for x in value]}}
    else:
        v = {"stringValue": value}
    return {"key": key, "value": v}


def span(trace, sid, parent, name, start_ns, end_ns, attributes):
    return {"traceId": trace, "spanId": sid, "parentSpanId": parent or "", "name": name, "kind": 3,
            "startTimeUnixNano": str(start_ns), "endTimeUnixNano": str(end_ns),
            "attributes": [attr(k, v) for k, v in attributes.items()], "status": {"code": 1}}


@dataclass
class Calls:
    root: str
    chat: str
    unknown: str


def post_spans(listener) -> Calls:
    """An agent span with two chat spans under it: one fully recorded (content captured, cached
    and reasoning tokens, a tool call and its result), one of a model no price table knows."""
    trace = secrets.token_hex(16)
    root_sid, chat_sid, unknown_sid = (secrets.token_hex(8) for _ in range(3))
    t0 = time.time_ns() - 30_000_000_000
    ms = 1_000_000
    inputs = [
        {"role": "user", "parts": [{"type": "text", "content": "What is the weather in Paris?"}]},
        {"role": "assistant", "parts": [{"type": "tool_call", "id": "call_1", "name": "get_weather",
                                         "arguments": json.dumps({"city": "Paris", "units": "metric"})}]},
        {"role": "tool", "parts": [{"type": "tool_call_response", "id": "call_1",
                                    "response": json.dumps({"temp": 14, "sky": "rain"})}]},
        {"role": "user", "parts": [{"type": "text", "content": LONG_TEXT},
                                   {"type": "server_tool_call", "name": "search", "query": json.dumps({"q": "umbrella shops"})}]},
        {"role": "user", "parts": [{"type": "text", "content": CUT_JSON}]},
        {"role": "user", "parts": [{"type": "text", "content": "An old note… [truncated]"}]},
        {"role": "user", "parts": [{"type": "text", "content": '["tea", "coffee"] are what the hotel offers...'}]},
    ]
    outputs = [{"role": "assistant", "finish_reason": "stop",
                "parts": [{"type": "reasoning", "content": "Rain in Paris: suggest an umbrella."},
                          {"type": "text", "content": "It is 14 °C and raining in Paris: take an umbrella."}]}]
    tools = [{"type": "function", "name": "get_weather", "description": "The weather of a city now",
              "parameters": {"type": "object", "properties": {"city": {"type": "string"}}}}]
    chat = {
        "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai",
        "gen_ai.request.model": "gpt-4o", "gen_ai.response.model": "gpt-4o-2024-08-06",
        "gen_ai.usage.input_tokens": 1200, "gen_ai.usage.output_tokens": 300,
        "gen_ai.usage.cache_read.input_tokens": 1000, "gen_ai.usage.reasoning.output_tokens": 120,
        "gen_ai.response.finish_reasons": ["stop"], "gen_ai.response.time_to_first_chunk": 0.35,
        "gen_ai.input.messages": json.dumps(inputs), "gen_ai.output.messages": json.dumps(outputs),
        "gen_ai.system_instructions": json.dumps([{"type": "text", "content": SYSTEM}]),
        "gen_ai.tool.definitions": json.dumps(tools),
    }
    unknown = {
        "gen_ai.operation.name": "chat", "gen_ai.provider.name": "acme-labs",
        "gen_ai.request.model": "acme-frontier-9", "gen_ai.usage.input_tokens": 40, "gen_ai.usage.output_tokens": 2,
        "gen_ai.response.finish_reasons": ["length"],
        "gen_ai.output.messages": json.dumps([{"role": "assistant", "parts": [{"type": "text", "content": "OK"}]}]),
    }
    spans = [
        span(trace, root_sid, None, "invoke_agent Planner", t0, t0 + 2000 * ms,
             {"gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "Planner"}),
        span(trace, chat_sid, root_sid, "chat gpt-4o", t0 + 100 * ms, t0 + 1100 * ms, chat),
        span(trace, unknown_sid, root_sid, "chat acme-frontier-9", t0 + 1200 * ms, t0 + 1900 * ms, unknown),
    ]
    body = {"resourceSpans": [{"resource": {"attributes": [attr("service.name", "travel-desk")]},
                               "scopeSpans": [{"scope": {"name": "tests.genai"}, "spans": spans}]}]}
    r = httpx.post(f"{listener.origin}/v1/traces", json=body, timeout=30.0)
    assert r.status_code == 200 and r.json() == {}, r.text
    run = lambda sid: f"otel-{trace}-{sid}"  # noqa: E731
    return Calls(run(root_sid), run(chat_sid), run(unknown_sid))


def money(cost: float) -> str:
    """A cost as the page writes it: "$1.23", "$0.0123", "$0.00475"."""
    if cost == 0:
        return "$0"
    if cost >= 1:
        return f"${cost:.2f}"
    if cost >= 0.01:
        return "$" + f"{cost:.4f}".rstrip("0").rstrip(".")
    return f"${cost:.{1 - math.floor(math.log10(cost))}f}"


@pytest.mark.timeout(120)
def test_an_llm_span_opens_as_a_conversation_with_a_raw_switch(listener, open_page, tmp_path):
    calls = post_spans(listener)
    stored = listener.get(f"/runs/{calls.chat}")["llm"]
    assert stored["priced"] is True and stored["cost_usd"] > 0, stored

    page = open_page(f"{listener.origin}/?run={calls.chat}", width=1280, height=900)
    conv = page.locator(".conv-panel .conv")
    expect(page.locator("#tab-conv")).to_have_attribute("aria-selected", "true")
    expect(page.locator(".events-panel")).to_be_hidden()

    facts = conv.locator(".conv-facts")
    expect(facts.locator(".conv-model dd")).to_have_text("gpt-4o-2024-08-06 (openai)")
    expect(facts.locator(".conv-in dd")).to_have_text("1,200 (1,000 cache read)")
    expect(facts.locator(".conv-out dd")).to_have_text("300 (120 reasoning)")
    expect(facts.locator(".conv-total dd")).to_have_text("1,500")
    expect(facts.locator(".conv-cost dd")).to_have_text(money(stored["cost_usd"]))
    expect(facts.locator(".conv-finish dd")).to_have_text("stop")
    expect(facts.locator(".conv-ttft dd")).to_have_text("350 ms")
    # A span run is named by its span.
    expect(page.locator(".run-header h2")).to_have_text("chat gpt-4o")
    page.mouse.move(0, 0)
    shot = tmp_path / "page-llm-call.png"
    page.screenshot(path=str(shot))
    data = shot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and struct.unpack(">II", data[16:24]) == (1280, 900)
    target = os.environ.get("ORVANE_PAGE_LLM_SCREENSHOT")
    if target:
        Path(target).write_bytes(data)


    expect(conv.locator(".conv-system")).to_contain_text(SYSTEM)
    tools = conv.locator(".conv-tools")
    tools.locator("summary").click()
    expect(tools).to_contain_text("Tools offered (1)")
    expect(tools.locator(".json")).to_contain_text('"city": {')

    msgs = conv.locator(".conv-input .msg")
    expect(msgs).to_have_count(7)
    expect(msgs.nth(0).locator(".msg-role")).to_have_text("user")
    # The tool call: its arguments (a JSON text where they were sent) as formatted JSON.
    call = msgs.nth(1).locator(".part-tool-call")
    expect(msgs.nth(1).locator(".msg-role")).to_have_text("assistant")
    expect(call.locator(".tool-name")).to_have_text("get_weather")
    expect(call.locator(".tool-id")).to_have_text("call_1")
    expect(call.locator(".json")).to_contain_text('"units": "metric"')
    # Its result says which call it answers.
    result = msgs.nth(2).locator(".part-tool-result")
    expect(result.locator(".tool-name")).to_have_text("get_weather")
    expect(result.locator(".json")).to_contain_text('"sky": "rain"')

    # A long text shows its start and "show all"; a part of another type keeps its fields, its
    # JSON text shown parsed.
    long = msgs.nth(3).locator(".part-text")
    body = long.locator(".conv-text-body")
    expect(long.locator(".show-all")).to_have_text(f"show all ({len(LONG_TEXT):,} characters)")
    assert "Day 39" not in body.inner_text() and "Day 0" in body.inner_text()
    long.locator(".show-all").click()
    expect(body).to_contain_text("Day 39: glaciers")
    expect(long.locator(".show-all")).to_have_text("show less")
    other = msgs.nth(3).locator(".part-other")
    expect(other.locator(".part-kind")).to_have_text("server_tool_call")
    expect(other.locator(".j-parsed")).to_contain_text('"q": "umbrella shops"')
    # Texts cut before they reached the listener are marked; whole ones are not.
    expect(msgs.nth(4).locator(".cut-mark")).to_have_text("✂ cut at the source")
    expect(msgs.nth(5).locator(".cut-mark")).to_have_count(1)
    expect(msgs.nth(0).locator(".cut-mark")).to_have_count(0)
    expect(msgs.nth(6).locator(".cut-mark")).to_have_count(0)  # closed brackets, then prose
    expect(long.locator(".cut-mark")).to_have_count(0)

    answer = conv.locator(".conv-answer .msg")
    expect(answer).to_have_count(1)
    expect(answer.locator(".msg-role")).to_have_text("assistant")
    expect(answer.locator(".finish")).to_have_text("finish: stop")
    expect(answer.locator(".part-reasoning")).to_contain_text("Rain in Paris")
    expect(answer.locator(".part-text")).to_have_text("It is 14 °C and raining in Paris: take an umbrella.")

    # Raw: the call as stored, kept in the address (a reload keeps it).
    page.locator(".conv-panel .raw-switch").get_by_role("button", name="Raw").click()
    expect(page).to_have_url(re.compile(r"raw=1"))
    raw = page.locator(".conv-panel .conv[data-mode=raw] .json")
    expect(raw).to_contain_text('"cache_read_tokens": 1000')
    expect(raw).to_contain_text('"priced": true')
    page.reload()
    expect(page.locator(".conv-panel .conv[data-mode=raw] .json")).to_contain_text('"reasoning_tokens": 120')
    page.locator(".conv-panel .raw-switch").get_by_role("button", name="Formatted").click()
    expect(page.locator(".conv-panel .conv[data-mode=formatted]")).to_be_visible()

    # The events are one tab away; a span's attributes sent as JSON texts show parsed there.
    page.locator("#tab-events").click()
    expect(page).to_have_url(re.compile(r"view=events"))
    expect(page.locator(".conv-panel")).to_be_hidden()
    page.locator(".ev-row", has_text="llm.started").click()
    payload = page.locator(".ev-detail .sec-payload .json")
    expect(payload.locator(".j-parsed").first).to_contain_text('"role": "user"')
    page.locator(".ev-detail .raw-switch").get_by_role("button", name="Raw").click()
    expect(page.locator(".ev-detail .sec-payload .json .j-parsed")).to_have_count(0)
    expect(page.locator(".ev-detail .sec-payload .json")).to_contain_text('\\"role\\": \\"user\\"')


@pytest.mark.timeout(120)
def test_unpriced_calls_tree_totals_and_the_runs_list_columns(listener, open_page):
    calls = post_spans(listener)
    chat = listener.get(f"/runs/{calls.chat}")["llm"]
    totals = listener.get(f"/runs/{calls.root}")["totals"]
    assert totals["llm_calls"] == 2 and totals["unpriced_calls"] == 1, totals

    page = open_page(f"{listener.origin}/?run={calls.unknown}")
    expect(page.locator(".conv-facts .conv-cost dd")).to_have_text("unpriced")
    expect(page.locator(".conv-facts .conv-finish dd")).to_have_text("length")
    # Nothing was recorded as sent: said, not left blank.
    expect(page.locator(".conv-input")).to_contain_text("not recorded")
    expect(page.locator(".run-header .facts")).to_contain_text("Costunpriced")
    assert "$0" not in page.locator(".conv-panel").inner_text()

    # The tree: each call's tokens and cost on its node, the whole tree's in its header.
    expect(page.locator(".tree-panel .list-summary")).to_have_text(
        f"3 runs · 2 LLM calls · {totals['total_tokens']:,} tokens · {money(totals['cost_usd'])} + 1 unpriced")
    node = lambda rid: page.locator(f'.tree-row[data-run-id="{rid}"] .tllm')  # noqa: E731
    expect(node(calls.chat)).to_have_text(f"1,500 · {money(chat['cost_usd'])}")
    expect(node(calls.unknown)).to_have_text("42 · unpriced")
    expect(node(calls.root)).to_have_text("")
    expect(page.locator(".tree-head .th-llm")).to_be_visible()

    # A run without a call shows its events, no tabs.
    page.locator(f'.tree-row[data-run-id="{calls.root}"]').click()
    expect(page.locator(".events-panel")).to_be_visible()
    expect(page.locator("#run-view .tabs")).to_be_hidden()
    expect(page.locator(".events-panel .panel-title")).to_have_text("Events")

    # The runs list: model, tokens and cost columns once the listener gives calls.
    page.goto(f"{listener.origin}/?q={calls.root[len('otel-'):][:32]}")
    row = lambda rid: page.locator(f'.run-row[data-run-id="{rid}"]')  # noqa: E731
    expect(row(calls.chat).locator(".c7")).to_have_text("gpt-4o-2024-08-06")
    expect(row(calls.chat).locator(".c8")).to_have_text("1,500")
    expect(row(calls.chat).locator(".c9")).to_have_text(money(chat["cost_usd"]))
    expect(row(calls.unknown).locator(".c9")).to_have_text("unpriced")
    # The agent run: the sum over its tree.
    expect(row(calls.root).locator(".c7")).to_have_text("2 LLM calls")
    expect(row(calls.root).locator(".c8")).to_have_text(f"Σ {totals['total_tokens']:,}")
    expect(row(calls.root).locator(".c9")).to_have_text(f"{money(totals['cost_usd'])} + 1 unpriced")
    expect(page.locator(".runs-head .c9")).to_be_visible()


@pytest.mark.timeout(120)
def test_live_run_records_keep_the_call_shown_until_the_listener_is_read_again(listener, open_page):
    """Run records from the live stream carry no call: the list and the tree keep the one they
    show (never blank it), and read the listener again for the call's new figures."""
    from page_helpers import event, run_ctx

    calls = post_spans(listener)
    page = open_page(f"{listener.origin}/?q={calls.root[len('otel-'):][:32]}")
    row = page.locator(f'.run-row[data-run-id="{calls.chat}"]')
    expect(row.locator(".c8")).to_have_text("1,500")
    # Record every text the tokens cell takes from now on.
    page.evaluate("""rid => {
      window.seen = [];
      const list = document.querySelector('.runs-list');
      const look = () => {
        const cell = list.querySelector(`.run-row[data-run-id="${rid}"] .c8`);
        if (cell) window.seen.push(cell.textContent);
      };
      new MutationObserver(look).observe(list, { subtree: true, childList: true, characterData: true });
    }""", calls.chat)
    chat = listener.get(f"/runs/{calls.chat}")
    note = event("agent_task.action.completed", run_ctx(calls.chat, root=calls.root, parent=calls.root,
                                                        agent=None, kind="llm"), message="a note on the call")
    assert listener.post([note])["accepted"] == 1
    expect(row.locator(".c6")).to_have_text(str(chat["event_count"] + 1))
    page.wait_for_timeout(1500)  # the re-read the page asks for lands meanwhile
    seen = page.evaluate("window.seen")
    assert seen and all(text == "1,500" for text in seen), seen
    expect(row.locator(".c9")).to_have_text(money(chat["llm"]["cost_usd"]))
