"""The real ``openai`` SDK with the official OpenAI instrumentation, in an agent process of its
own (tests/otlp_ingest/openai_agent.py) against the fake OpenAI server on 127.0.0.1, exporting
over OTLP/HTTP protobuf into the page's listener: the chat call opens in the page as a
conversation with the model, tokens and cost the server reported, and the question and answer."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import httpx
import pytest
from playwright.sync_api import expect

OTLP_TESTS = Path(__file__).resolve().parent.parent / "otlp_ingest"
sys.path.insert(0, str(OTLP_TESTS))

from fake_openai import DEFAULT_REPLY, DEFAULT_USAGE, FakeOpenAI  # noqa: E402
from test_page_llm_call import money  # noqa: E402

ROOT = "page-openai-agent"


@pytest.mark.timeout(240)
def test_a_chat_call_of_the_openai_sdk_reads_as_a_conversation(listener, open_page):
    with FakeOpenAI() as fake:
        proc = subprocess.run([sys.executable, str(OTLP_TESTS / "openai_agent.py"), fake.base_url, listener.origin,
                               listener.ingest_url, ROOT], capture_output=True, text=True, timeout=180)
        assert proc.returncode == 0 and "exported" in proc.stdout, proc.stderr[-3000:]
    runs = httpx.get(f"{listener.api}/runs", params={"parent_run_id": f"{ROOT}-chat", "limit": 10}, timeout=10).json()["runs"]
    (chat,) = runs
    call = chat["llm"]
    assert call["priced"] and call["input_tokens"] == DEFAULT_USAGE["prompt_tokens"]

    page = open_page(f"{listener.origin}/?run={chat['run_id']}")
    conv = page.locator(".conv-panel .conv")
    facts = conv.locator(".conv-facts")
    expect(facts.locator(".conv-model dd")).to_contain_text("gpt-4o-mini-2024-07-18")
    expect(facts.locator(".conv-in dd")).to_have_text(
        f"{DEFAULT_USAGE['prompt_tokens']:,} ({DEFAULT_USAGE['cached_tokens']:,} cache read)")
    expect(facts.locator(".conv-out dd")).to_have_text(
        f"{DEFAULT_USAGE['completion_tokens']:,} ({DEFAULT_USAGE['reasoning_tokens']:,} reasoning)")
    expect(facts.locator(".conv-cost dd")).to_have_text(money(call["cost_usd"]))
    expect(conv.locator(".conv-input .msg").first).to_contain_text("What is the capital of France?")
    expect(conv.locator(".conv-answer")).to_contain_text(DEFAULT_REPLY)
