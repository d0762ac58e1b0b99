"""End to end: an agent program (openai_agent.py, its own process) drives the real ``openai`` SDK
with the official OpenAI instrumentation against the fake OpenAI server on 127.0.0.1, exports
with the OpenTelemetry SDK's OTLP/HTTP protobuf exporters into a real listener, and uploads its
own runs to the same listener, some before its calls and some after. Every call must land as an
``llm`` run under the run that was current (``use_run``): a chat, a streamed chat, a tool call
and the answer to its result, and a call the server fails with 500."""

from __future__ import annotations

import datetime as dt
import subprocess
import sys
from pathlib import Path

import pytest
from fake_openai import DEFAULT_REPLY, DEFAULT_USAGE, FakeOpenAI
from genai_prices import Usage, calc_price
from otlp_ingest_helpers import wait_until

ROOT = "agent-e2e"
AGENT = Path(__file__).resolve().parent / "openai_agent.py"


@pytest.mark.timeout(240)
def test_openai_calls_land_as_llm_runs_under_the_agents_runs(listener):
    with FakeOpenAI() as fake:
        proc = subprocess.run([sys.executable, str(AGENT), fake.base_url, listener.origin, listener.ingest_url, ROOT],
                              capture_output=True, text=True, timeout=180)
        assert proc.returncode == 0 and "exported" in proc.stdout, proc.stderr[-3000:]
        assert len(fake.requests) == 5

    def llm_runs() -> list[dict]:
        return [r for r in listener.runs(root_run_id=ROOT) if r["run_kind"] == "llm"]

    runs = wait_until(lambda: (found := llm_runs()) and len(found) == 5 and found)
    by_step: dict[str, list[dict]] = {}
    for run in runs:
        assert run["root_run_id"] == ROOT and run["run_id"].startswith("otel-")
        by_step.setdefault(run["parent_run_id"], []).append(run)
    assert sorted((step, len(found)) for step, found in by_step.items()) == [
        (f"{ROOT}-chat", 1), (f"{ROOT}-fail", 1), (f"{ROOT}-stream", 1), (f"{ROOT}-tool", 2)]
    # The steps that were uploaded after the calls hold them too (late parents joined).
    tree = listener.flat_tree(ROOT)
    assert {r["run_id"] for r in runs} <= {n["run"]["run_id"] for n in tree["nodes"]}, tree

    def completed(run: dict) -> dict:
        (end,) = [e for e in listener.events(run["run_id"]) if e["event_type"] in ("llm.completed", "llm.failed")]
        return end

    for step in ("chat", "stream"):
        (run,) = by_step[f"{ROOT}-{step}"]
        assert run["status"] == "completed" and run["meta"]["model"] == "gpt-4o-mini"
        end = completed(run)["payload"]
        assert end["gen_ai.usage.input_tokens"] == DEFAULT_USAGE["prompt_tokens"]
        assert end["gen_ai.usage.output_tokens"] == DEFAULT_USAGE["completion_tokens"]
        assert end["gen_ai.response.model"] == "gpt-4o-mini-2024-07-18"
    reasons = sorted(tuple(completed(run)["payload"]["gen_ai.response.finish_reasons"]) for run in by_step[f"{ROOT}-tool"])
    assert reasons == [("stop",), ("tool_calls",)]
    (failed,) = by_step[f"{ROOT}-fail"]
    assert failed["status"] == "failed"
    end = completed(failed)
    assert end["level"] == "error" and end["error"]["type"] == "openai.InternalServerError"

    # The messages travel as log events of each call's run (content capture on), searchable.
    (chat,) = by_step[f"{ROOT}-chat"]
    details = [e for e in listener.events(chat["run_id"]) if e["event_type"] == "gen_ai.client.inference.operation.details"]
    assert len(details) == 1 and details[0]["run"]["run_id"] == chat["run_id"]
    assert "What is the capital of France?" in str(details[0]["payload"]["attributes"]["gen_ai.input.messages"])
    hits = {e["run"]["run_id"] for e in listener.search("capital of France") if e.get("run")}
    assert chat["run_id"] in hits

    # Read as one LLM call each, through the API: model, tokens, cost, messages.
    for step in ("chat", "stream"):
        (run,) = by_step[f"{ROOT}-{step}"]
        call = listener.run(run["run_id"])["llm"]
        assert (call["request_model"], call["response_model"], call["model"]) == (
            "gpt-4o-mini", "gpt-4o-mini-2024-07-18", "gpt-4o-mini-2024-07-18")
        assert (call["input_tokens"], call["cache_read_tokens"], call["output_tokens"], call["reasoning_tokens"]) == (
            DEFAULT_USAGE["prompt_tokens"], DEFAULT_USAGE["cached_tokens"],
            DEFAULT_USAGE["completion_tokens"], DEFAULT_USAGE["reasoning_tokens"])
        when = dt.datetime.fromtimestamp(run["started_at"] / 1000, tz=dt.timezone.utc)
        usage = Usage(input_tokens=DEFAULT_USAGE["prompt_tokens"], cache_read_tokens=DEFAULT_USAGE["cached_tokens"],
                      output_tokens=DEFAULT_USAGE["completion_tokens"],
                      output_reasoning_tokens=DEFAULT_USAGE["reasoning_tokens"])
        want = float(calc_price(usage, "gpt-4o-mini-2024-07-18", provider_id="openai",
                                genai_request_timestamp=when).total_price)
        assert call["priced"] is True and call["cost_usd"] == pytest.approx(want, rel=1e-9)
    chat_call = listener.run(chat["run_id"])["llm"]
    said = [(m["role"], p.get("content")) for m in chat_call["input_messages"] for p in m["parts"] if p["type"] == "text"]
    assert ("user", "What is the capital of France?") in said
    answered = [p.get("content") for m in chat_call["output_messages"] for p in m["parts"] if p["type"] == "text"]
    assert DEFAULT_REPLY in answered
    (asked, _) = sorted(by_step[f"{ROOT}-tool"], key=lambda r: r["started_at"])
    tool_call = listener.run(asked["run_id"])["llm"]
    assert tool_call["finish_reasons"] == ["tool_calls"]
    assert any(p["type"] == "tool_call" for m in tool_call["output_messages"] for p in m["parts"])
    # The agent's tree counts every call once.
    totals = listener.run(ROOT)["totals"]
    assert totals["llm_calls"] == 5
    assert totals["input_tokens"] >= 2 * DEFAULT_USAGE["prompt_tokens"]
