"""Our own events into LLM calls: a usage payload in the OpenAI chat shape, in Anthropic's content
blocks, in OpenAI's Responses shape and already normalised, each with its rule for cached tokens;
events that carry no call; a started and a completed event merged."""

from __future__ import annotations

import datetime as dt

import pytest
from genai_prices import Usage, calc_price

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.llm import merge, note_first_delta, read_event

TS_MS = 1_752_000_000_000  # 2025-07-08


def table_cost(model: str, provider: str | None, **usage: int) -> float:
    when = dt.datetime.fromtimestamp(TS_MS / 1e3, tz=dt.UTC)
    return float(
        calc_price(Usage(**usage), model, provider_id=provider, genai_request_timestamp=when).total_price
    )


def event(payload=None, meta=None, kind="llm", event_type="llm.completed"):
    return RuntimeEvent(
        event_type=event_type,
        timestamp=TS_MS,
        payload=payload,
        meta=meta or {},
        run={"run_id": "r1", "run_kind": kind},
    )


OPENAI_MESSAGES = [
    {"role": "system", "content": "Be brief."},
    {"role": "user", "content": [{"type": "text", "text": "Weather in Paris?"}]},
    {
        "role": "assistant",
        "content": None,
        "tool_calls": [
            {
                "id": "call_1",
                "type": "function",
                "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'},
            }
        ],
    },
    {"role": "tool", "tool_call_id": "call_1", "content": '{"temp": 14}'},
]
OPENAI_INPUT = [
    {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]},
    {"role": "user", "parts": [{"type": "text", "content": "Weather in Paris?"}]},
    {
        "role": "assistant",
        "parts": [
            {"type": "tool_call", "id": "call_1", "name": "get_weather", "arguments": {"city": "Paris"}}
        ],
    },
    {"role": "tool", "parts": [{"type": "tool_call_response", "id": "call_1", "response": {"temp": 14}}]},
]


class TestOpenAIShape:
    def payload(self, **extra):
        payload = {
            "model": "gpt-4o-mini-2024-07-18",
            "provider": "openai",
            "messages": OPENAI_MESSAGES,
            "tools": [
                {"type": "function", "function": {"name": "get_weather", "parameters": {"type": "object"}}}
            ],
            "choices": [
                {
                    "index": 0,
                    "finish_reason": "stop",
                    "message": {"role": "assistant", "content": "14 degrees."},
                }
            ],
            "usage": {
                "prompt_tokens": 1000,
                "completion_tokens": 50,
                "total_tokens": 1050,
                "prompt_tokens_details": {"cached_tokens": 800},
                "completion_tokens_details": {"reasoning_tokens": 20},
            },
        }
        payload.update(extra)
        return payload

    def test_chat_completion_with_cached_and_reasoning_tokens(self):
        call = read_event(event(self.payload()))
        got = call.as_json()
        assert got["input_messages"] == OPENAI_INPUT
        assert got["output_messages"] == [
            {
                "role": "assistant",
                "parts": [{"type": "text", "content": "14 degrees."}],
                "finish_reason": "stop",
            }
        ]
        assert got["tool_definitions"] == [
            {"type": "function", "name": "get_weather", "parameters": {"type": "object"}}
        ]
        assert got["finish_reasons"] == ["stop"]
        # OpenAI counts cached tokens inside prompt_tokens: not added again.
        assert (
            call.input_tokens,
            call.cache_read_tokens,
            call.output_tokens,
            call.reasoning_tokens,
            call.total_tokens,
        ) == (
            1000,
            800,
            50,
            20,
            1050,
        )
        assert call.model == "gpt-4o-mini-2024-07-18" and call.provider == "openai"
        assert call.cost_usd == pytest.approx(
            table_cost(
                "gpt-4o-mini-2024-07-18",
                "openai",
                input_tokens=1000,
                cache_read_tokens=800,
                output_tokens=50,
                output_reasoning_tokens=20,
            ),
            rel=1e-12,
        )

    def test_the_json_form_of_the_event_reads_the_same(self):
        ev = event(self.payload())
        assert read_event(ev.model_dump()) == read_event(ev)

    def test_a_cost_in_the_usage_mapping_wins(self):
        call = read_event(
            event(self.payload(usage={"prompt_tokens": 5, "completion_tokens": 1, "cost": 0.75}))
        )
        assert (call.cost_usd, call.priced, call.cost_source) == (0.75, True, "reported")

    def test_usage_in_the_meta(self):
        call = read_event(
            event({"note": "x"}, meta={"model": "gpt-4o", "usage": {"input_tokens": 3, "output_tokens": 4}})
        )
        assert (call.model, call.input_tokens, call.output_tokens, call.total_tokens, call.priced) == (
            "gpt-4o",
            3,
            4,
            7,
            True,
        )

    def test_an_unknown_model_is_unpriced(self):
        call = read_event(event(self.payload(model="llama-local", provider="ollama")))
        assert (call.cost_usd, call.priced, call.cost_source) == (None, False, None)
        assert call.input_tokens == 1000


class TestContentBlocks:
    def payload(self):
        return {
            "provider": "anthropic",
            "request": {
                "model": "claude-sonnet-4-20250514",
                "system": [{"type": "text", "text": "You are terse."}],
                "tools": [{"name": "calc", "description": "adds", "input_schema": {"type": "object"}}],
                "messages": [
                    {"role": "user", "content": [{"type": "text", "text": "1+1?"}]},
                    {
                        "role": "assistant",
                        "content": [
                            {"type": "thinking", "thinking": "easy", "signature": "s"},
                            {"type": "tool_use", "id": "tu_1", "name": "calc", "input": {"a": 1, "b": 1}},
                        ],
                    },
                    {
                        "role": "user",
                        "content": [
                            {
                                "type": "tool_result",
                                "tool_use_id": "tu_1",
                                "content": [{"type": "text", "text": "2"}],
                            },
                        ],
                    },
                ],
            },
            "response": {
                "type": "message",
                "role": "assistant",
                "model": "claude-sonnet-4-20250514",
                "content": [{"type": "text", "text": "2"}],
                "stop_reason": "end_turn",
                "usage": {
                    "input_tokens": 20,
                    "cache_read_input_tokens": 1000,
                    "cache_creation_input_tokens": 500,
                    "output_tokens": 40,
                },
            },
        }

    def test_anthropic_blocks_and_cache_counted_outside_input(self):
        call = read_event(event(self.payload()))
        got = call.as_json()
        assert got["system_instructions"] == [{"type": "text", "content": "You are terse."}]
        assert got["tool_definitions"] == [
            {"type": "function", "name": "calc", "description": "adds", "parameters": {"type": "object"}}
        ]
        assert got["input_messages"] == [
            {"role": "user", "parts": [{"type": "text", "content": "1+1?"}]},
            {
                "role": "assistant",
                "parts": [
                    {"type": "reasoning", "content": "easy"},
                    {"type": "tool_call", "id": "tu_1", "name": "calc", "arguments": {"a": 1, "b": 1}},
                ],
            },
            {"role": "user", "parts": [{"type": "tool_call_response", "id": "tu_1", "response": "2"}]},
        ]
        assert got["output_messages"] == [
            {"role": "assistant", "parts": [{"type": "text", "content": "2"}], "finish_reason": "end_turn"}
        ]
        assert got["finish_reasons"] == ["end_turn"]
        # Anthropic's input_tokens leaves cache reads and writes out: all input is their sum.
        assert (call.input_tokens, call.cache_read_tokens, call.cache_write_tokens, call.total_tokens) == (
            1520,
            1000,
            500,
            1560,
        )
        assert (call.request_model, call.response_model) == (
            "claude-sonnet-4-20250514",
            "claude-sonnet-4-20250514",
        )
        assert call.cost_usd == pytest.approx(
            table_cost(
                "claude-sonnet-4-20250514",
                "anthropic",
                input_tokens=1520,
                cache_read_tokens=1000,
                cache_write_tokens=500,
                output_tokens=40,
            ),
            rel=1e-12,
        )

    def test_a_normalised_prompt_count_holds_its_cache_whatever_the_names(self):
        usage = {
            "prompt_tokens": 1520,
            "completion_tokens": 40,
            "cache_read_input_tokens": 1000,
            "cache_creation_input_tokens": 500,
        }
        call = read_event(event({"model": "claude-sonnet-4-20250514", "usage": usage}))
        assert (call.input_tokens, call.cache_read_tokens, call.cache_write_tokens) == (1520, 1000, 500)

    def test_openai_responses_shape(self):
        payload = {
            "request": {"model": "o3", "instructions": "Think.", "input": "Prove it."},
            "response": {
                "model": "o3-2025-04-16",
                "output": [
                    {"type": "reasoning", "summary": [{"type": "summary_text", "text": "Plan."}]},
                    {
                        "type": "message",
                        "role": "assistant",
                        "content": [{"type": "output_text", "text": "Done."}],
                    },
                ],
                "usage": {
                    "input_tokens": 300,
                    "input_tokens_details": {"cached_tokens": 100},
                    "output_tokens": 900,
                    "output_tokens_details": {"reasoning_tokens": 700},
                    "total_tokens": 1200,
                },
            },
        }
        call = read_event(event(payload))
        assert call.system_instructions == [{"type": "text", "content": "Think."}]
        assert call.input_messages == [{"role": "user", "parts": [{"type": "text", "content": "Prove it."}]}]
        assert call.output_messages == [
            {"role": "assistant", "parts": [{"type": "reasoning", "content": "Plan."}]},
            {"role": "assistant", "parts": [{"type": "text", "content": "Done."}]},
        ]
        assert (call.input_tokens, call.cache_read_tokens, call.output_tokens, call.reasoning_tokens) == (
            300,
            100,
            900,
            700,
        )
        assert call.model == "o3-2025-04-16"


class TestWhichEventsCarryACall:
    @pytest.mark.parametrize(
        "ev",
        [
            pytest.param(event(None), id="no-payload"),
            pytest.param(event({"step": 3}), id="no-llm-keys"),
            pytest.param(event({"model": "gpt-4o"}, kind="agent_task"), id="model-alone-elsewhere"),
            pytest.param(event("text payload"), id="text-payload"),
            pytest.param(event({"usage": "not a mapping"}), id="usage-not-a-mapping"),
        ],
    )
    def test_events_without_a_call(self, ev):
        assert read_event(ev) is None

    def test_a_model_on_a_run_of_kind_llm_is_a_call(self):
        call = read_event(event({"model": "gpt-4o"}, event_type="llm.started"))
        assert call.model == "gpt-4o" and not call.priced

    def test_usage_on_a_run_of_another_kind_is_a_call(self):
        call = read_event(
            event({"model": "gpt-4o", "usage": {"input_tokens": 1, "output_tokens": 1}}, kind="agent_task")
        )
        assert call.total_tokens == 2

    def test_span_style_attributes_in_a_payload(self):
        payload = {
            "gen_ai.operation.name": "chat",
            "gen_ai.request.model": "gpt-4o",
            "gen_ai.usage.input_tokens": 7,
            "gen_ai.usage.output_tokens": 3,
        }
        call = read_event(event(payload))
        assert (call.model, call.total_tokens, call.priced) == ("gpt-4o", 10, True)
        assert call.at_ns == TS_MS * 1_000_000


def test_started_and_completed_events_merge():
    started = read_event(
        event(
            {"model": "gpt-4o-mini", "messages": [{"role": "user", "content": "hi"}]},
            event_type="llm.started",
        )
    )
    completed = read_event(
        RuntimeEvent(
            event_type="llm.completed",
            timestamp=TS_MS + 800,
            run={"run_id": "r1", "run_kind": "llm"},
            payload={
                "model": "gpt-4o-mini-2024-07-18",
                "choices": [{"message": {"content": "hello"}, "finish_reason": "stop"}],
                "usage": {"prompt_tokens": 9, "completion_tokens": 2},
                "time_to_first_token_ms": 310,
            },
        )
    )
    call = merge(started, completed)
    assert call.request_model == "gpt-4o-mini" and call.response_model == "gpt-4o-mini-2024-07-18"
    assert call.input_messages == [{"role": "user", "parts": [{"type": "text", "content": "hi"}]}]
    assert call.output_messages[0]["parts"] == [{"type": "text", "content": "hello"}]
    assert (call.total_tokens, call.time_to_first_token_ms, call.at_ns) == (11, 310.0, TS_MS * 1_000_000)
    assert call.cost_usd == pytest.approx(
        table_cost("gpt-4o-mini-2024-07-18", "openai", input_tokens=9, output_tokens=2), rel=1e-12
    )


def test_time_to_first_token_from_the_first_stream_delta():
    started = read_event(event({"model": "gpt-4o", "messages": []}, event_type="llm.started"))
    note_first_delta(started, TS_MS + 420)
    assert started.time_to_first_token_ms == 420.0
    note_first_delta(started, TS_MS + 900)  # a later delta changes nothing
    assert started.time_to_first_token_ms == 420.0
    early = read_event(event({"model": "gpt-4o", "messages": []}))
    assert note_first_delta(early, TS_MS - 5).time_to_first_token_ms is None
    # The instrumentation's own figure, where it sent one, wins over the delta's.
    completed = read_event(
        event({"model": "gpt-4o", "usage": {"input_tokens": 1}, "time_to_first_token_ms": 250})
    )
    assert note_first_delta(completed, TS_MS + 420).time_to_first_token_ms == 250.0
