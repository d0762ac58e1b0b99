"""The direct reader of the common payload shape (``model``, ``provider``, a ``usage`` mapping of
counts) against the general reader of our events: random payloads, every usage key and value
kind the general reader meets, read both ways with and without a price, must give the same
record (stored form, time, inferred fields)."""

from __future__ import annotations

import random

import pytest

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.llm import read as reader
from orvane_devtools.llm import read_event, read_fields

TS_MS = 1_752_000_000_000

COUNT_KEYS = (
    "input_tokens", "prompt_tokens", "output_tokens", "completion_tokens", "total_tokens",
    "cache_read_input_tokens", "cache_creation_input_tokens", "cache_read_tokens", "cache_write_tokens",
    "reasoning_tokens",
)
DETAIL_KEYS = {
    "prompt_tokens_details": "cached_tokens",
    "input_tokens_details": "cached_tokens",
    "completion_tokens_details": "reasoning_tokens",
    "output_tokens_details": "reasoning_tokens",
}
COST_KEYS = ("cost", "cost_usd", "total_cost")
# Keys beside the call's that the general reader looks at (each sends a payload the general way).
GENERAL_KEYS = {
    "stop_reason": "end_turn",
    "choices": [{"message": {"role": "assistant", "content": "hi"}, "finish_reason": "stop"}],
    "messages": [{"role": "user", "content": "q"}],
    "finish_reason": "length",
    "ttft_ms": 12.5,
    "request_model": "gpt-4o",
    "response": {"model": "gpt-4o-2024-08-06"},
    "type": "message",
    "output": "done",
    "gen_ai.operation.name": "chat",
}
MODELS = ["gpt-4o-mini", "gpt-4o", "claude-3-5-sonnet-20241022", " gpt-4o ", "", "no-such-model", 7, None]
PROVIDERS = ["openai", "anthropic", "OpenAI", " ", None, 3]


def a_count(rng: random.Random):
    return rng.choice([
        0, 1, 30, 120, 1500, 10**6, 2**53, 2**53 + 1, -1,  # plain ints and the bounds
        3.0, 2.5, float("nan"), "12", " 7 ", "x", True, None, [4],
    ])


def a_usage(rng: random.Random) -> dict:
    usage: dict = {}
    for key in rng.sample(COUNT_KEYS, rng.randint(0, len(COUNT_KEYS))):
        # Mostly plain counts, so that the direct reader takes a good share.
        usage[key] = rng.randint(0, 5000) if rng.random() < 0.8 else a_count(rng)
    for group, inner in DETAIL_KEYS.items():
        if rng.random() < 0.3:
            roll = rng.random()
            if roll < 0.7:
                usage[group] = {inner: rng.randint(0, 3000) if rng.random() < 0.8 else a_count(rng), "audio_tokens": 0}
            elif roll < 0.8:
                usage[group] = {}
            elif roll < 0.9:
                usage[group] = '{"%s": 5}' % inner  # JSON in a string: the general reader parses it
            else:
                usage[group] = None
    if rng.random() < 0.1:
        usage[rng.choice(COST_KEYS)] = rng.choice([0.0012, "0.5", -1, None])
    if rng.random() < 0.2:
        usage["service_tier"] = "standard"  # a key neither reader reads
    return usage


def a_payload(rng: random.Random) -> dict:
    payload: dict = {"path": "agent_task.action", "attempt": 1}
    if rng.random() < 0.9:
        payload["model"] = rng.choice(MODELS)
    if rng.random() < 0.7:
        payload["provider"] = rng.choice(PROVIDERS)
    roll = rng.random()
    if roll < 0.9:
        payload["usage"] = a_usage(rng)
    elif roll < 0.95:
        payload["usage"] = '{"prompt_tokens": 3}'
    if rng.random() < 0.15:
        key = rng.choice(sorted(GENERAL_KEYS))
        payload[key] = GENERAL_KEYS[key]
    return payload


def facts(call):
    if call is None:
        return None
    return call.as_json(), call.at_ns, sorted(call.inferred)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("price", [False, True], ids=["unpriced", "priced"])
def test_random_payloads_read_alike_both_ways(price):
    rng = random.Random(20250708 + price)
    direct = 0
    for case in range(4000):
        payload = a_payload(rng)
        meta = rng.choice([{}, {"app_id": "demo"}, {"model": "gpt-4o", "usage": {"input_tokens": 9}}])
        kind = rng.choice(["agent_task", "llm"])
        ts = rng.choice([TS_MS, TS_MS + case, None, -5, 2**60])
        if reader._read_plain(payload, ts) is not None:
            direct += 1
        got = facts(read_fields(payload, meta, ts, kind, price=price))
        want = facts(reader._read_event(payload, meta or None, ts, kind, price))
        assert got == want, (payload, meta, ts, kind)
    # The direct reader took a good share, and the general way the rest.
    assert 1000 < direct < 3800, direct


def test_common_shapes_are_read_directly():
    """The shapes the direct reader is for: OpenAI chat usage with its details groups, Anthropic
    usage with cache counts outside input_tokens, the Responses API's usage."""
    openai = {"model": "gpt-4o-mini", "provider": "openai", "usage": {
        "prompt_tokens": 1200, "completion_tokens": 300, "total_tokens": 1500,
        "prompt_tokens_details": {"cached_tokens": 1024, "audio_tokens": 0},
        "completion_tokens_details": {"reasoning_tokens": 0, "audio_tokens": 0}}}
    anthropic = {"model": "claude-3-5-sonnet-20241022", "provider": "anthropic", "usage": {
        "input_tokens": 20, "output_tokens": 50, "cache_read_input_tokens": 1000,
        "cache_creation_input_tokens": 200}}
    responses = {"model": "o3-mini", "usage": {
        "input_tokens": 90, "output_tokens": 400, "input_tokens_details": {"cached_tokens": 64},
        "output_tokens_details": {"reasoning_tokens": 256}}}
    for payload, counts in (
        (openai, (1200, 300, 1500, 1024, None, 0)),
        (anthropic, (1220, 50, 1270, 1000, 200, None)),
        (responses, (90, 400, 490, 64, None, 256)),
    ):
        call = reader._read_plain(payload, TS_MS)
        assert call is not None, payload
        got = (call.input_tokens, call.output_tokens, call.total_tokens, call.cache_read_tokens,
               call.cache_write_tokens, call.reasoning_tokens)
        assert got == counts
        assert call.model == payload["model"] and call.at_ns == TS_MS * 1_000_000
        event = RuntimeEvent(event_type="llm.completed", timestamp=TS_MS, payload=payload,
                             run={"run_id": "r1", "run_kind": "agent_task"})
        assert facts(read_event(event)) == facts(reader._read_event(payload, None, TS_MS, "agent_task", True))


def test_payloads_the_direct_reader_leaves_to_the_general_one():
    base = {"model": "gpt-4o", "usage": {"prompt_tokens": 10, "completion_tokens": 2}}
    for payload in (
        {**base, "usage": {**base["usage"], "cost": 0.25}},  # a reported cost
        {**base, "usage": {**base["usage"], "prompt_tokens": "10"}},  # a count as text
        {**base, "usage": {**base["usage"], "prompt_tokens_details": '{"cached_tokens": 4}'}},
        {**base, "choices": [{"message": {"role": "assistant", "content": "hi"}}]},
        {**base, "stop_reason": "end_turn"},
        {"model": "gpt-4o", "messages": [{"role": "user", "content": "q"}]},  # no usage
    ):
        assert reader._read_plain(payload, TS_MS) is None, payload
    reported = read_fields({**base, "usage": {**base["usage"], "cost": 0.25}}, None, TS_MS, "llm")
    assert (reported.cost_usd, reported.cost_source) == (0.25, "reported")
    text = read_fields({**base, "usage": {**base["usage"], "prompt_tokens": "10"}}, None, TS_MS, "llm")
    assert text.input_tokens == 10
    chosen = read_fields({**base, "choices": [{"message": {"role": "assistant", "content": "hi"}}]},
                         None, TS_MS, "llm", price=False)
    assert chosen.output_messages == [{"role": "assistant", "parts": [{"type": "text", "content": "hi"}]}]
