"""Spans into LLM calls: tables of span attributes in each convention (current GenAI, OpenInference,
the older indexed attributes) against the record expected, with the shapes readers are known to
get wrong; attribute names from the conventions' own packages, and spans from the real SDK."""

from __future__ import annotations

import datetime as dt
import json

import pytest
from genai_prices import Usage, calc_price
from openinference.semconv.trace import (
    MessageAttributes,
    MessageContentAttributes,
    OpenInferenceSpanKindValues,
    SpanAttributes,
    ToolAttributes,
    ToolCallAttributes,
)
from opentelemetry.semconv._incubating.attributes import gen_ai_attributes as G

from orvane_devtools.llm import LlmCall, read_span

T0 = 1_752_000_000_000_000_000  # 2025-07-08, ns
MS = 1_000_000


def at(ns: int) -> dt.datetime:
    return dt.datetime.fromtimestamp(ns / 1e9, tz=dt.UTC)


def table_cost(model: str, provider: str | None, ns: int = T0, **usage: int) -> float:
    """The price table's own answer, asked directly."""
    return float(
        calc_price(Usage(**usage), model, provider_id=provider, genai_request_timestamp=at(ns)).total_price
    )


def subset(call: LlmCall | None, **expected):
    assert call is not None
    got = call.as_json()
    for key, value in expected.items():
        assert got[key] == value, f"{key}: {got[key]!r} != {value!r}"
    return got


def genai_chat(**extra):
    attrs = {
        G.GEN_AI_OPERATION_NAME: "chat",
        G.GEN_AI_PROVIDER_NAME: "openai",
        G.GEN_AI_REQUEST_MODEL: "gpt-4o",
        G.GEN_AI_RESPONSE_MODEL: "gpt-4o-2024-08-06",
        G.GEN_AI_RESPONSE_ID: "chatcmpl-1",
        G.GEN_AI_USAGE_INPUT_TOKENS: 1200,
        G.GEN_AI_USAGE_OUTPUT_TOKENS: 300,
        G.GEN_AI_RESPONSE_FINISH_REASONS: ("stop",),
        "server.address": "api.openai.com",
        "server.port": 443,
    }
    attrs.update(extra)
    return attrs


INPUT = [
    {"role": "user", "parts": [{"type": "text", "content": "Weather in Paris?"}]},
    {
        "role": "assistant",
        "parts": [
            {"type": "tool_call", "id": "call_1", "name": "get_weather", "arguments": {"location": "Paris"}}
        ],
    },
    {"role": "tool", "parts": [{"type": "tool_call_response", "id": "call_1", "response": "rainy, 57°F"}]},
]
OUTPUT = [
    {"role": "assistant", "parts": [{"type": "text", "content": "It is rainy."}], "finish_reason": "stop"}
]


class TestCurrentGenAI:
    def test_parts_messages_as_json_strings(self):
        call = read_span(
            genai_chat(
                **{G.GEN_AI_INPUT_MESSAGES: json.dumps(INPUT), G.GEN_AI_OUTPUT_MESSAGES: json.dumps(OUTPUT)}
            ),
            name="chat gpt-4o",
            start_ns=T0,
        )
        subset(
            call,
            provider="openai",
            request_model="gpt-4o",
            response_model="gpt-4o-2024-08-06",
            model="gpt-4o-2024-08-06",
            input_tokens=1200,
            output_tokens=300,
            total_tokens=1500,
            finish_reasons=["stop"],
            input_messages=INPUT,
            output_messages=OUTPUT,
        )

    @pytest.mark.parametrize(
        "encode",
        [
            pytest.param(lambda v: v, id="structured"),
            pytest.param(json.dumps, id="json"),
            pytest.param(lambda v: json.dumps(json.dumps(v)), id="json-inside-a-json-string"),
        ],
    )
    def test_message_encodings_read_alike(self, encode):
        call = read_span(
            genai_chat(**{G.GEN_AI_INPUT_MESSAGES: encode(INPUT), G.GEN_AI_OUTPUT_MESSAGES: encode(OUTPUT)})
        )
        subset(call, input_messages=INPUT, output_messages=OUTPUT)

    def test_tool_call_arguments_and_responses_sent_as_json_text_are_parsed(self):
        messages = [
            {
                "role": "assistant",
                "parts": [{"type": "tool_call", "id": "c", "name": "f", "arguments": '{"a": [1, 2]}'}],
            },
            {
                "role": "tool",
                "parts": [{"type": "tool_call_response", "id": "c", "response": '{"ok": true}'}],
            },
            {"role": "tool", "parts": [{"type": "tool_call_response", "id": "d", "response": "{not json"}]},
        ]
        call = read_span(genai_chat(**{G.GEN_AI_INPUT_MESSAGES: json.dumps(messages)}))
        parts = [m["parts"][0] for m in call.input_messages]
        assert parts[0]["arguments"] == {"a": [1, 2]}
        assert parts[1]["response"] == {"ok": True}
        assert parts[2]["response"] == "{not json"  # not JSON: stays text

    def test_text_that_looks_like_json_stays_text(self):
        messages = [{"role": "user", "parts": [{"type": "text", "content": '{"a": 1}'}]}]
        call = read_span(genai_chat(**{G.GEN_AI_INPUT_MESSAGES: json.dumps(messages)}))
        assert call.input_messages[0]["parts"][0]["content"] == '{"a": 1}'

    def test_unknown_part_types_are_kept_as_they_came(self):
        parts = [
            {"type": "uri", "modality": "image", "uri": "gs://b/o.png", "mime_type": "image/png"},
            {"type": "x-custom", "payload": {"n": 1}},
            {"type": "reasoning", "content": "think"},
        ]
        call = read_span(
            genai_chat(**{G.GEN_AI_INPUT_MESSAGES: json.dumps([{"role": "user", "parts": parts}])})
        )
        assert call.input_messages[0]["parts"] == parts

    def test_cached_tokens_are_counted_inside_input(self):
        call = read_span(genai_chat(**{G.GEN_AI_USAGE_CACHE_READ_INPUT_TOKENS: 1000}), start_ns=T0)
        subset(call, input_tokens=1200, cache_read_tokens=1000, total_tokens=1500)
        assert call.cost_usd == pytest.approx(
            table_cost(
                "gpt-4o-2024-08-06", "openai", input_tokens=1200, cache_read_tokens=1000, output_tokens=300
            ),
            rel=1e-12,
        )
        # Pricing splits the cached part out rather than adding it: cheaper than uncached input.
        assert call.cost_usd < table_cost("gpt-4o-2024-08-06", "openai", input_tokens=1200, output_tokens=300)

    def test_a_cache_count_above_the_input_count_was_counted_outside_it(self):
        call = read_span(
            genai_chat(
                **{
                    G.GEN_AI_USAGE_INPUT_TOKENS: 100,
                    G.GEN_AI_USAGE_CACHE_READ_INPUT_TOKENS: 1000,
                    G.GEN_AI_USAGE_CACHE_CREATION_INPUT_TOKENS: 50,
                }
            )
        )
        subset(call, input_tokens=1150, cache_read_tokens=1000, cache_write_tokens=50, total_tokens=1450)

    def test_a_cost_sent_with_the_span_wins(self):
        call = read_span(genai_chat(**{"gen_ai.usage.cost": 0.125}), start_ns=T0)
        subset(call, cost_usd=0.125, priced=True, cost_source="reported")

    def test_an_unknown_model_is_unpriced_not_free(self):
        call = read_span(
            genai_chat(
                **{G.GEN_AI_REQUEST_MODEL: "acme-finetune-7", G.GEN_AI_RESPONSE_MODEL: "acme-finetune-7"}
            ),
            start_ns=T0,
        )
        subset(
            call, model="acme-finetune-7", cost_usd=None, priced=False, cost_source=None, input_tokens=1200
        )

    def test_an_unknown_provider_is_unpriced(self):
        call = read_span(genai_chat(**{G.GEN_AI_PROVIDER_NAME: "acme-cloud"}), start_ns=T0)
        subset(call, provider="acme-cloud", cost_usd=None, priced=False)

    def test_reasoning_tokens_are_part_of_output_and_priced_at_their_own_rate(self):
        attrs = genai_chat(
            **{
                G.GEN_AI_PROVIDER_NAME: "perplexity",
                G.GEN_AI_REQUEST_MODEL: "sonar-deep-research",
                G.GEN_AI_RESPONSE_MODEL: "sonar-deep-research",
                G.GEN_AI_USAGE_INPUT_TOKENS: 2000,
                G.GEN_AI_USAGE_OUTPUT_TOKENS: 5000,
                G.GEN_AI_USAGE_REASONING_OUTPUT_TOKENS: 4000,
            }
        )
        call = read_span(attrs, start_ns=T0)
        subset(call, output_tokens=5000, reasoning_tokens=4000, total_tokens=7000)
        expected = table_cost(
            "sonar-deep-research",
            "perplexity",
            input_tokens=2000,
            output_tokens=5000,
            output_reasoning_tokens=4000,
        )
        assert call.cost_usd == pytest.approx(expected, rel=1e-12)
        # The reasoning rate differs from the output rate there, so a reader that dropped the
        # reasoning count would price differently.
        assert expected != pytest.approx(
            table_cost("sonar-deep-research", "perplexity", input_tokens=2000, output_tokens=5000)
        )

    def test_reasoning_model_o3_counts_reasoning_inside_output(self):
        attrs = genai_chat(
            **{
                G.GEN_AI_REQUEST_MODEL: "o3",
                G.GEN_AI_RESPONSE_MODEL: "o3-2025-04-16",
                G.GEN_AI_USAGE_OUTPUT_TOKENS: 1000,
                G.GEN_AI_USAGE_REASONING_OUTPUT_TOKENS: 800,
            }
        )
        call = read_span(attrs, start_ns=T0)
        subset(call, output_tokens=1000, reasoning_tokens=800, total_tokens=2200)
        assert call.cost_usd == pytest.approx(
            table_cost(
                "o3-2025-04-16", "openai", input_tokens=1200, output_tokens=1000, output_reasoning_tokens=800
            ),
            rel=1e-12,
        )

    def test_older_system_attribute_names_the_provider(self):
        attrs = genai_chat()
        del attrs[G.GEN_AI_PROVIDER_NAME]
        attrs[G.GEN_AI_SYSTEM] = "openai"
        subset(read_span(attrs), provider="openai", priced=True)

    def test_system_instructions_and_tool_definitions(self):
        tools = [
            {"type": "function", "name": "get_weather", "description": "d", "parameters": {"type": "object"}}
        ]
        call = read_span(
            genai_chat(
                **{
                    G.GEN_AI_SYSTEM_INSTRUCTIONS: json.dumps([{"type": "text", "content": "Be brief."}]),
                    G.GEN_AI_TOOL_DEFINITIONS: json.dumps(tools),
                }
            )
        )
        subset(call, system_instructions=[{"type": "text", "content": "Be brief."}], tool_definitions=tools)
        plain = read_span(genai_chat(**{G.GEN_AI_SYSTEM_INSTRUCTIONS: "Be brief."}))
        subset(plain, system_instructions=[{"type": "text", "content": "Be brief."}])

    def test_time_to_first_token(self):
        call = read_span(genai_chat(**{G.GEN_AI_RESPONSE_TIME_TO_FIRST_CHUNK: 0.25}))
        assert call.time_to_first_token_ms == pytest.approx(250.0)
        events = [{"name": "First Token Stream Event", "time_unix_nano": T0 + 120 * MS, "attributes": {}}]
        call = read_span(genai_chat(), start_ns=T0, end_ns=T0 + 900 * MS, events=events)
        assert call.time_to_first_token_ms == pytest.approx(120.0)
        # The instrumentation's own figure wins over the event's.
        call = read_span(
            genai_chat(**{G.GEN_AI_RESPONSE_TIME_TO_FIRST_CHUNK: 0.25}), start_ns=T0, events=events
        )
        assert call.time_to_first_token_ms == pytest.approx(250.0)

    def test_model_from_the_span_name_when_no_attribute_names_it(self):
        attrs = genai_chat()
        del attrs[G.GEN_AI_REQUEST_MODEL], attrs[G.GEN_AI_RESPONSE_MODEL]
        subset(
            read_span(attrs, name="chat gpt-4o-mini"),
            request_model="gpt-4o-mini",
            model="gpt-4o-mini",
            priced=True,
        )

    def test_finish_reasons_from_output_messages_when_not_sent(self):
        attrs = genai_chat(
            **{G.GEN_AI_OUTPUT_MESSAGES: json.dumps([{**OUTPUT[0], "finish_reason": "length"}])}
        )
        del attrs[G.GEN_AI_RESPONSE_FINISH_REASONS]
        subset(read_span(attrs), finish_reasons=["length"])

    @pytest.mark.parametrize(
        "attrs",
        [
            pytest.param({G.GEN_AI_OPERATION_NAME: "execute_tool", G.GEN_AI_TOOL_NAME: "x"}, id="tool"),
            pytest.param(
                {G.GEN_AI_OPERATION_NAME: "invoke_agent", G.GEN_AI_USAGE_INPUT_TOKENS: 5}, id="agent"
            ),
            pytest.param(
                {G.GEN_AI_OPERATION_NAME: "embeddings", G.GEN_AI_REQUEST_MODEL: "m"}, id="embeddings"
            ),
            pytest.param({"http.request.method": "GET", "url.full": "http://x"}, id="http"),
            pytest.param({}, id="empty"),
            pytest.param(
                {SpanAttributes.OPENINFERENCE_SPAN_KIND: "CHAIN", SpanAttributes.LLM_MODEL_NAME: "m"},
                id="oi-chain",
            ),
        ],
    )
    def test_spans_that_are_not_llm_calls(self, attrs):
        assert read_span(attrs) is None


def oi_message(prefix: str, index: int, **fields) -> dict:
    return {f"{prefix}.{index}.{key}": value for key, value in fields.items()}


class TestOpenInference:
    def attributes(self, **extra):
        role, content = MessageAttributes.MESSAGE_ROLE, MessageAttributes.MESSAGE_CONTENT
        contents = MessageAttributes.MESSAGE_CONTENTS
        calls = MessageAttributes.MESSAGE_TOOL_CALLS
        ins, outs = SpanAttributes.LLM_INPUT_MESSAGES, SpanAttributes.LLM_OUTPUT_MESSAGES
        attrs = {
            SpanAttributes.OPENINFERENCE_SPAN_KIND: OpenInferenceSpanKindValues.LLM.value,
            SpanAttributes.LLM_PROVIDER: "openai",
            SpanAttributes.LLM_SYSTEM: "openai",
            SpanAttributes.LLM_MODEL_NAME: "gpt-4o-mini-2024-07-18",
            SpanAttributes.LLM_INVOCATION_PARAMETERS: json.dumps({"model": "gpt-4o-mini", "temperature": 0}),
            SpanAttributes.LLM_TOKEN_COUNT_PROMPT: 1000,
            SpanAttributes.LLM_TOKEN_COUNT_COMPLETION: 200,
            SpanAttributes.LLM_TOKEN_COUNT_TOTAL: 1200,
            SpanAttributes.LLM_TOKEN_COUNT_PROMPT_DETAILS_CACHE_READ: 768,
            SpanAttributes.LLM_TOKEN_COUNT_COMPLETION_DETAILS_REASONING: 64,
            **oi_message(ins, 0, **{role: "system", content: "Be brief."}),
            **oi_message(
                ins,
                1,
                **{
                    role: "user",
                    f"{contents}.0.{MessageContentAttributes.MESSAGE_CONTENT_TYPE}": "text",
                    f"{contents}.0.{MessageContentAttributes.MESSAGE_CONTENT_TEXT}": "Weather?",
                    f"{contents}.1.{MessageContentAttributes.MESSAGE_CONTENT_TYPE}": "image",
                    f"{contents}.1.{MessageContentAttributes.MESSAGE_CONTENT_IMAGE}.image.url": "https://x/y.png",
                },
            ),
            **oi_message(
                ins,
                2,
                **{
                    role: "assistant",
                    f"{calls}.0.{ToolCallAttributes.TOOL_CALL_ID}": "call_1",
                    f"{calls}.0.{ToolCallAttributes.TOOL_CALL_FUNCTION_NAME}": "get_weather",
                    f"{calls}.0.{ToolCallAttributes.TOOL_CALL_FUNCTION_ARGUMENTS_JSON}": '{"city": "Paris"}',
                },
            ),
            **oi_message(
                ins,
                3,
                **{role: "tool", content: '{"temp": 14}', MessageAttributes.MESSAGE_TOOL_CALL_ID: "call_1"},
            ),
            **oi_message(outs, 0, **{role: "assistant", content: "14 degrees."}),
            f"{SpanAttributes.LLM_TOOLS}.0.{ToolAttributes.TOOL_JSON_SCHEMA}": json.dumps(
                {
                    "type": "function",
                    "function": {"name": "get_weather", "description": "d", "parameters": {"type": "object"}},
                }
            ),
        }
        attrs.update(extra)
        return attrs

    def test_flattened_messages_tools_and_tokens(self):
        call = read_span(self.attributes(), start_ns=T0)
        subset(
            call,
            provider="openai",
            request_model="gpt-4o-mini",
            response_model="gpt-4o-mini-2024-07-18",
            model="gpt-4o-mini-2024-07-18",
            input_tokens=1000,
            cache_read_tokens=768,
            output_tokens=200,
            reasoning_tokens=64,
            total_tokens=1200,
            input_messages=[
                {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]},
                {
                    "role": "user",
                    "parts": [
                        {"type": "text", "content": "Weather?"},
                        {"type": "uri", "modality": "image", "uri": "https://x/y.png"},
                    ],
                },
                {
                    "role": "assistant",
                    "parts": [
                        {
                            "type": "tool_call",
                            "id": "call_1",
                            "name": "get_weather",
                            "arguments": {"city": "Paris"},
                        }
                    ],
                },
                {
                    "role": "tool",
                    "parts": [{"type": "tool_call_response", "id": "call_1", "response": {"temp": 14}}],
                },
            ],
            output_messages=[{"role": "assistant", "parts": [{"type": "text", "content": "14 degrees."}]}],
            tool_definitions=[
                {
                    "type": "function",
                    "name": "get_weather",
                    "description": "d",
                    "parameters": {"type": "object"},
                }
            ],
        )
        # The prompt count holds its cache reads: priced with them split out, not added.
        assert call.cost_usd == pytest.approx(
            table_cost(
                "gpt-4o-mini-2024-07-18",
                "openai",
                input_tokens=1000,
                cache_read_tokens=768,
                output_tokens=200,
                output_reasoning_tokens=64,
            ),
            rel=1e-12,
        )

    def test_reported_costs(self):
        subset(
            read_span(self.attributes(**{SpanAttributes.LLM_COST_TOTAL: 0.02})),
            cost_usd=0.02,
            cost_source="reported",
        )
        both = {SpanAttributes.LLM_COST_PROMPT: 0.015, SpanAttributes.LLM_COST_COMPLETION: 0.005}
        assert read_span(self.attributes(**both)).cost_usd == pytest.approx(0.02)
        # One half of the cost alone is no cost of the call: priced from the table instead.
        half = read_span(self.attributes(**{SpanAttributes.LLM_COST_PROMPT: 0.015}))
        assert half.cost_source == "priced"

    @pytest.mark.parametrize("kind", ["LLM", "llm"])
    @pytest.mark.parametrize("provider", ["openai", "OPENAI", "azure"])
    def test_kind_and_provider_spellings(self, kind, provider):
        call = read_span(
            self.attributes(
                **{SpanAttributes.OPENINFERENCE_SPAN_KIND: kind, SpanAttributes.LLM_PROVIDER: provider}
            )
        )
        subset(call, provider=provider, priced=True)

    def test_llm_provider_wins_over_llm_system(self):
        call = read_span(
            self.attributes(**{SpanAttributes.LLM_PROVIDER: "azure", SpanAttributes.LLM_SYSTEM: "openai"})
        )
        subset(call, provider="azure")

    def test_cache_write_is_inside_the_prompt_too(self):
        call = read_span(self.attributes(**{SpanAttributes.LLM_TOKEN_COUNT_PROMPT_DETAILS_CACHE_WRITE: 100}))
        subset(call, input_tokens=1000, cache_read_tokens=768, cache_write_tokens=100, total_tokens=1200)

    def test_unflattened_message_lists(self):
        attrs = {
            SpanAttributes.OPENINFERENCE_SPAN_KIND: "LLM",
            SpanAttributes.LLM_MODEL_NAME: "gpt-4o",
            SpanAttributes.LLM_INPUT_MESSAGES: [
                {
                    "message.role": "user",
                    "message.contents": [{"message_content.type": "text", "message_content.text": "hi"}],
                }
            ],
        }
        subset(
            read_span(attrs), input_messages=[{"role": "user", "parts": [{"type": "text", "content": "hi"}]}]
        )


class TestOlderIndexedAttributes:
    def attributes(self, **extra):
        attrs = {
            "gen_ai.system": "OpenAI",
            "llm.request.type": "chat",
            "gen_ai.request.model": "gpt-4o",
            "gen_ai.response.model": "gpt-4o-2024-08-06",
            "gen_ai.usage.prompt_tokens": 120,
            "gen_ai.usage.completion_tokens": 30,
            "llm.usage.total_tokens": 150,
            "gen_ai.prompt.0.role": "system",
            "gen_ai.prompt.0.content": "Be brief.",
            "gen_ai.prompt.1.role": "user",
            "gen_ai.prompt.1.content": json.dumps([{"type": "text", "text": "Weather?"}]),
            "gen_ai.completion.0.role": "assistant",
            "gen_ai.completion.0.finish_reason": "tool_calls",
            "gen_ai.completion.0.tool_calls.0.id": "call_1",
            "gen_ai.completion.0.tool_calls.0.name": "get_weather",
            "gen_ai.completion.0.tool_calls.0.arguments": '{"city": "Paris"}',
            "llm.request.functions.0.name": "get_weather",
            "llm.request.functions.0.description": "d",
            "llm.request.functions.0.parameters": '{"type": "object"}',
        }
        attrs.update(extra)
        return attrs

    def test_indexed_messages_and_usage(self):
        call = read_span(self.attributes(), start_ns=T0)
        subset(
            call,
            provider="OpenAI",
            model="gpt-4o-2024-08-06",
            input_tokens=120,
            output_tokens=30,
            total_tokens=150,
            finish_reasons=["tool_calls"],
            input_messages=[
                {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]},
                {"role": "user", "parts": [{"type": "text", "content": "Weather?"}]},
            ],
            output_messages=[
                {
                    "role": "assistant",
                    "parts": [
                        {
                            "type": "tool_call",
                            "id": "call_1",
                            "name": "get_weather",
                            "arguments": {"city": "Paris"},
                        }
                    ],
                    "finish_reason": "tool_calls",
                }
            ],
            tool_definitions=[
                {
                    "type": "function",
                    "name": "get_weather",
                    "description": "d",
                    "parameters": {"type": "object"},
                }
            ],
        )
        assert call.cost_usd == pytest.approx(
            table_cost("gpt-4o-2024-08-06", "openai", input_tokens=120, output_tokens=30), rel=1e-12
        )

    def test_the_conventions_own_total_wins_over_the_sum(self):
        subset(read_span(self.attributes(**{"llm.usage.total_tokens": 999})), total_tokens=999)
        attrs = self.attributes()
        del attrs["llm.usage.total_tokens"]
        subset(read_span(attrs), total_tokens=150)

    def test_a_system_with_a_model_and_no_request_type(self):
        attrs = self.attributes()
        del attrs["llm.request.type"]
        assert read_span(attrs) is not None
        assert read_span({"gen_ai.system": "openai"}) is None
        assert read_span(self.attributes(**{"llm.request.type": "embedding"})) is None


class TestRealSdkSpans:
    """Spans made by the OpenTelemetry SDK, read from the attributes it exports (sequences
    become tuples, values keep their types)."""

    def test_sdk_span_attributes_and_events(self):
        from opentelemetry.sdk.trace import TracerProvider
        from opentelemetry.sdk.trace.export import SimpleSpanProcessor
        from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter

        exporter = InMemorySpanExporter()
        provider = TracerProvider()
        provider.add_span_processor(SimpleSpanProcessor(exporter))
        tracer = provider.get_tracer("test")
        with tracer.start_as_current_span("chat gpt-4o-mini") as span:
            span.set_attributes(
                {
                    G.GEN_AI_OPERATION_NAME: "chat",
                    G.GEN_AI_PROVIDER_NAME: "openai",
                    G.GEN_AI_REQUEST_MODEL: "gpt-4o-mini",
                    G.GEN_AI_USAGE_INPUT_TOKENS: 50,
                    G.GEN_AI_USAGE_OUTPUT_TOKENS: 10,
                    G.GEN_AI_RESPONSE_FINISH_REASONS: ["stop", "length"],
                    G.GEN_AI_INPUT_MESSAGES: json.dumps(INPUT[:1]),
                }
            )
            span.add_event("First Token Stream Event")
        provider.shutdown()
        (finished,) = exporter.get_finished_spans()
        events = [
            {"name": e.name, "time_unix_nano": e.timestamp, "attributes": dict(e.attributes)}
            for e in finished.events
        ]
        call = read_span(
            finished.attributes,
            name=finished.name,
            start_ns=finished.start_time,
            end_ns=finished.end_time,
            events=events,
        )
        subset(
            call,
            model="gpt-4o-mini",
            input_tokens=50,
            output_tokens=10,
            finish_reasons=["stop", "length"],
            input_messages=INPUT[:1],
            priced=True,
        )
        assert 0 <= call.time_to_first_token_ms <= (finished.end_time - finished.start_time) / 1e6
        assert call.cost_usd == pytest.approx(
            table_cost("gpt-4o-mini", "openai", ns=finished.start_time, input_tokens=50, output_tokens=10),
            rel=1e-12,
        )
