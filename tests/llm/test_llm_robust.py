"""Malformed input never raises: random attribute mappings, span events, log records and event
payloads built from the names the readers look for and from hostile values (wrong types, NaN,
huge and negative numbers, broken and deeply nested JSON, bytes, objects). Every record that
comes out is strict JSON and reads back equal from its stored form. The conftest fixture fails
any test in which a reader caught a fault of its own."""

from __future__ import annotations

import json
import math
import random

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.llm import LlmCall, merge, read_event, read_log_events, read_span
from orvane_devtools.llm.record import FIELDS

NAMES = [
    "gen_ai.operation.name",
    "gen_ai.provider.name",
    "gen_ai.system",
    "gen_ai.request.model",
    "gen_ai.response.model",
    "gen_ai.usage.input_tokens",
    "gen_ai.usage.output_tokens",
    "gen_ai.usage.cache_read.input_tokens",
    "gen_ai.usage.cache_creation.input_tokens",
    "gen_ai.usage.reasoning.output_tokens",
    "gen_ai.usage.prompt_tokens",
    "gen_ai.usage.completion_tokens",
    "gen_ai.usage.cost",
    "gen_ai.response.finish_reasons",
    "gen_ai.response.time_to_first_chunk",
    "gen_ai.input.messages",
    "gen_ai.output.messages",
    "gen_ai.system_instructions",
    "gen_ai.tool.definitions",
    "openinference.span.kind",
    "llm.provider",
    "llm.system",
    "llm.model_name",
    "llm.invocation_parameters",
    "llm.token_count.prompt",
    "llm.token_count.completion",
    "llm.token_count.total",
    "llm.token_count.prompt_details.cache_read",
    "llm.token_count.completion_details.reasoning",
    "llm.cost.total",
    "llm.cost.prompt",
    "llm.cost.completion",
    "llm.finish_reason",
    "llm.request.type",
    "llm.usage.total_tokens",
    "llm.input_messages",
    "llm.input_messages.0.message.role",
    "llm.input_messages.0.message.content",
    "llm.input_messages.1.message.contents.0.message_content.type",
    "llm.input_messages.1.message.contents.0.message_content.text",
    "llm.output_messages.0.message.tool_calls.0.tool_call.function.arguments",
    "llm.output_messages.0.message.tool_calls.3.tool_call.id",
    "llm.output_messages.99999999.message.role",
    "llm.tools.0.tool.json_schema",
    "gen_ai.prompt.0.role",
    "gen_ai.prompt.0.content",
    "gen_ai.prompt.1.tool_calls.0.arguments",
    "gen_ai.completion.0.content",
    "gen_ai.completion.0.finish_reason",
    "llm.request.functions.0.name",
    "llm.request.functions.0.parameters",
    "gen_ai.event.content",
    "event.name",
    "gen_ai.prompt",
    "gen_ai.completion",
]
PAYLOAD_KEYS = [
    "model",
    "provider",
    "usage",
    "messages",
    "choices",
    "response",
    "request",
    "system",
    "instructions",
    "tools",
    "input",
    "output",
    "output_messages",
    "input_messages",
    "completion",
    "stop_reason",
    "finish_reason",
    "finish_reasons",
    "prompt",
    "content",
    "role",
    "type",
    "time_to_first_token_ms",
    "request_model",
    "response_model",
    "gen_ai.operation.name",
]
USAGE_KEYS = [
    "input_tokens",
    "output_tokens",
    "prompt_tokens",
    "completion_tokens",
    "total_tokens",
    "cache_read_input_tokens",
    "cache_creation_input_tokens",
    "cache_read_tokens",
    "cache_write_tokens",
    "reasoning_tokens",
    "cost",
    "cost_usd",
    "prompt_tokens_details",
    "completion_tokens_details",
    "input_tokens_details",
    "output_tokens_details",
]
EVENT_NAMES = [
    "gen_ai.client.inference.operation.details",
    "gen_ai.system.message",
    "gen_ai.user.message",
    "gen_ai.assistant.message",
    "gen_ai.tool.message",
    "gen_ai.choice",
    "gen_ai.content.prompt",
    "gen_ai.content.completion",
    "First Token Stream Event",
    "exception",
    None,
    7,
]


def deep_list(n: int) -> list:
    value: list = []
    for _ in range(n):
        value = [value]
    return value


DEEP_LISTS = [deep_list(10), deep_list(200), deep_list(2000)]


def dumps(v) -> str:
    try:
        return json.dumps(v, default=repr)
    except (ValueError, RecursionError):
        return "[]"


def value(rng: random.Random, depth: int = 0):
    choice = rng.randrange(26)
    if choice == 0:
        return None
    if choice == 1:
        return rng.choice([0, 1, -1, 7, 2**70, -(2**63), 123456789])
    if choice == 2:
        return rng.choice([0.5, -1.5, math.nan, math.inf, -math.inf, 1e308, 3.0])
    if choice == 3:
        return rng.choice([True, False])
    if choice == 4:
        return rng.choice(
            ["", " ", "chat", "LLM", "llm", "openai", "gpt-4o", "o3", "stop", "12", "-3", "1e5", "NaN"]
        )
    if choice == 5:
        return rng.choice(
            ["{", "[1,", '"unterminated', "[" * 5000 + "]" * 5000, "[" * 50000, '"\\"[1]\\""', "null"]
        )
    if choice == 6:
        return dumps(value(rng, depth + 1)) if depth < 4 else "[]"
    if choice == 7:
        return json.dumps(dumps(value(rng, depth + 1))) if depth < 4 else '"{}"'
    if choice == 8:
        return rng.choice([b"\x00\xff", bytearray(b"ab"), object(), 1j, {1, 2}])
    if choice == 9:
        return rng.choice(DEEP_LISTS)
    if choice in (10, 11, 12) and depth < 4:
        return [value(rng, depth + 1) for _ in range(rng.randrange(4))]
    if choice in (13, 14, 15) and depth < 4:
        return tuple(value(rng, depth + 1) for _ in range(rng.randrange(3)))
    if choice in (16, 17, 18, 19) and depth < 4:
        keys = [
            "role",
            "parts",
            "content",
            "type",
            "text",
            "tool_calls",
            "function",
            "name",
            "arguments",
            "id",
            "response",
            "result",
            "message",
            "finish_reason",
            "input",
            "tool_use_id",
            "thinking",
            "summary",
            "input_schema",
            "parameters",
            "delta",
            "functionCall",
            "args",
            "output",
            "call_id",
            3,
            None,
        ]
        return {rng.choice(keys): value(rng, depth + 1) for _ in range(rng.randrange(5))}
    if choice == 20 and depth < 4:
        return [
            {
                "role": value(rng, depth + 1),
                "parts": [
                    {
                        "type": rng.choice(
                            [
                                "text",
                                "tool_call",
                                "tool_call_response",
                                "reasoning",
                                "tool_use",
                                "tool_result",
                                "thinking",
                                "function_call",
                                "?",
                            ]
                        ),
                        "content": value(rng, depth + 1),
                        "arguments": value(rng, depth + 1),
                        "response": value(rng, depth + 1),
                    }
                ],
            }
        ]
    if choice == 21 and depth < 4:
        return {rng.choice(USAGE_KEYS): value(rng, depth + 1) for _ in range(rng.randrange(6))}
    if choice == 22:
        return rng.choice(["chat", "text_completion", "generate_content", "execute_tool"])
    return rng.choice(["text", "tool_call", "assistant", "user", "tool", "system", '{"a": 1}', "[]"])


def attributes(rng: random.Random) -> dict:
    attrs = {rng.choice(NAMES): value(rng) for _ in range(rng.randrange(1, 14))}
    marker = rng.randrange(4)
    if marker == 0:
        attrs["gen_ai.operation.name"] = "chat"
    elif marker == 1:
        attrs["openinference.span.kind"] = "LLM"
    elif marker == 2:
        attrs["llm.request.type"] = "chat"
    if rng.random() < 0.2:
        attrs[rng.choice(["x", 5, ("t",)])] = value(rng)
    return attrs


def check(call):
    if call is None:
        return
    assert isinstance(call, LlmCall)
    stored = call.as_json()
    assert list(stored) == list(FIELDS)
    text = json.dumps(stored, allow_nan=False)
    assert LlmCall.from_json(json.loads(text)) == call
    for name in ("input_tokens", "output_tokens", "total_tokens", "cache_read_tokens", "reasoning_tokens"):
        v = stored[name]
        assert v is None or (type(v) is int and v >= 0)
    assert stored["cost_usd"] is None or (stored["cost_usd"] >= 0 and stored["priced"])
    assert stored["priced"] == (stored["cost_usd"] is not None)
    if stored["input_tokens"] is not None:
        assert (stored["cache_read_tokens"] or 0) + (stored["cache_write_tokens"] or 0) <= stored[
            "input_tokens"
        ]
    if stored["output_tokens"] is not None:
        assert (stored["reasoning_tokens"] or 0) <= stored["output_tokens"]
    for message in stored["input_messages"] + stored["output_messages"]:
        assert isinstance(message["role"], str) and isinstance(message["parts"], list)


def test_random_span_attributes_never_raise():
    rng = random.Random(1)
    read = 0
    for _ in range(1500):
        events = (
            [
                {
                    "name": rng.choice(EVENT_NAMES),
                    "time_unix_nano": value(rng),
                    "attributes": rng.choice([attributes(rng), value(rng)]),
                }
                for _ in range(rng.randrange(3))
            ]
            if rng.random() < 0.5
            else value(rng)
        )
        call = read_span(
            attributes(rng),
            name=value(rng),
            start_ns=value(rng),
            end_ns=value(rng),
            events=events if events is not None else (),
            price=rng.random() < 0.5,
        )
        check(call)
        read += call is not None
    assert read > 300  # most inputs carried a marker: the deep path ran


def test_non_mappings_are_not_spans():
    for bad in (None, [], "chat", 5, object()):
        assert read_span(bad) is None  # type: ignore[arg-type]


def test_random_log_records_never_raise():
    rng = random.Random(2)
    for _ in range(800):
        records = [
            {
                "event_name": rng.choice(EVENT_NAMES),
                "body": value(rng),
                "attributes": rng.choice([attributes(rng), value(rng)]),
                "time_unix_nano": value(rng),
            }
            if rng.random() < 0.9
            else value(rng)
            for _ in range(rng.randrange(5))
        ]
        check(read_log_events(records, price=rng.random() < 0.5))


def test_random_event_payloads_never_raise():
    rng = random.Random(3)
    read = 0
    for _ in range(1200):
        payload = {rng.choice(PAYLOAD_KEYS): value(rng) for _ in range(rng.randrange(1, 8))}
        if rng.random() < 0.5:
            payload["usage"] = {rng.choice(USAGE_KEYS): value(rng) for _ in range(rng.randrange(1, 6))}
        if rng.random() < 0.3:
            payload["model"] = rng.choice(["gpt-4o", "claude-sonnet-4-20250514", "o3", "unknown-x"])
        meta = {rng.choice(PAYLOAD_KEYS): value(rng) for _ in range(rng.randrange(3))}
        as_dict = {
            "payload": payload if rng.random() < 0.9 else value(rng),
            "meta": meta,
            "timestamp": value(rng),
            "run": rng.choice([{"run_kind": "llm"}, value(rng)]),
        }
        call = read_event(as_dict, price=rng.random() < 0.5)
        check(call)
        read += call is not None
    assert read > 300
    ev = RuntimeEvent(event_type="x", payload={"usage": {"input_tokens": "12", "output_tokens": 3.0}})
    call = read_event(ev)
    assert (call.input_tokens, call.output_tokens) == (12, 3)


def test_random_merges_never_raise():
    rng = random.Random(4)
    calls = [c for c in (read_span(attributes(rng), price=False) for _ in range(400)) if c is not None]
    for _ in range(400):
        a, b = rng.choice(calls), rng.choice(calls)
        check(merge(a, b, price=rng.random() < 0.5))


def test_stored_forms_that_are_damaged_read_as_partial_calls():
    assert LlmCall.from_json("nope") is None
    call = LlmCall.from_json(
        {
            "model": 5,
            "input_tokens": -1,
            "output_tokens": 7,
            "cost_usd": math.nan,
            "priced": True,
            "cost_source": "priced",
            "finish_reasons": ["stop", 3],
            "input_messages": ["x", {"role": "u"}],
        }
    )
    assert (call.model, call.input_tokens, call.output_tokens, call.cost_usd, call.priced) == (
        None,
        None,
        7,
        None,
        False,
    )
    assert call.finish_reasons == ["stop"] and call.input_messages == [{"role": "u"}]
