"""GenAI log events (and span events) folded into a call, and the merge of partial records: the
per-message events of the older conventions in order, the current details event with structured
attributes, content carried as span events, and which value wins when two records meet."""

from __future__ import annotations

import datetime as dt
import json

import pytest
from genai_prices import Usage, calc_price
from opentelemetry.semconv._incubating.attributes import gen_ai_attributes as G

from orvane_devtools.llm import LlmCall, fold_log_event, merge, read_log_events, read_span

T0 = 1_752_000_000_000_000_000
MS = 1_000_000


def log(name, body, **attributes):
    return {
        "event_name": name,
        "body": body,
        "attributes": {G.GEN_AI_SYSTEM: "openai", **attributes},
        "time_unix_nano": T0 + 5 * MS,
    }


# What the OpenAI instrumentation sends as log events for a call with a tool round trip.
OLDER_EVENTS = [
    log("gen_ai.system.message", {"content": "Be brief."}),
    log("gen_ai.user.message", {"content": "Weather in Paris?"}),
    log(
        "gen_ai.assistant.message",
        {
            "tool_calls": [
                {
                    "id": "call_1",
                    "type": "function",
                    "function": {"name": "get_weather", "arguments": '{"location": "Paris"}'},
                }
            ]
        },
    ),
    log("gen_ai.tool.message", {"content": "rainy, 57°F", "id": "call_1"}),
    log(
        "gen_ai.choice",
        {"index": 0, "finish_reason": "stop", "message": {"role": "assistant", "content": "It is rainy."}},
    ),
]
OLDER_INPUT = [
    {"role": "system", "parts": [{"type": "text", "content": "Be brief."}]},
    {"role": "user", "parts": [{"type": "text", "content": "Weather in Paris?"}]},
    {
        "role": "assistant",
        "parts": [
            {"type": "tool_call", "id": "call_1", "name": "get_weather", "arguments": {"location": "Paris"}}
        ],
    },
    {"role": "tool", "parts": [{"type": "tool_call_response", "id": "call_1", "response": "rainy, 57°F"}]},
]
OLDER_OUTPUT = [
    {"role": "assistant", "parts": [{"type": "text", "content": "It is rainy."}], "finish_reason": "stop"}
]


def chat_span(**extra):
    attrs = {
        G.GEN_AI_OPERATION_NAME: "chat",
        G.GEN_AI_SYSTEM: "openai",
        G.GEN_AI_REQUEST_MODEL: "gpt-4o-mini",
        G.GEN_AI_RESPONSE_MODEL: "gpt-4o-mini-2024-07-18",
        G.GEN_AI_USAGE_INPUT_TOKENS: 80,
        G.GEN_AI_USAGE_OUTPUT_TOKENS: 12,
        G.GEN_AI_RESPONSE_FINISH_REASONS: ("stop",),
    }
    attrs.update(extra)
    return attrs


class TestLogEvents:
    def test_older_per_message_events_in_order(self):
        call = read_log_events(OLDER_EVENTS)
        assert call.provider == "openai"
        assert call.input_messages == OLDER_INPUT
        assert call.output_messages == OLDER_OUTPUT
        assert call.finish_reasons == ["stop"]
        # No usage in the events: no cost, and not a cost of 0.
        assert (call.input_tokens, call.cost_usd, call.priced) == (None, None, False)

    def test_the_order_of_arrival_is_kept(self):
        call = read_log_events(list(reversed(OLDER_EVENTS[:4])))
        assert call.input_messages == list(reversed(OLDER_INPUT))

    def test_span_and_its_log_events_merge_into_one_priced_call(self):
        span = read_span(chat_span(), start_ns=T0)
        logs = read_log_events(OLDER_EVENTS)
        call = merge(span, logs)
        assert call.input_messages == OLDER_INPUT and call.output_messages == OLDER_OUTPUT
        assert (call.input_tokens, call.output_tokens, call.total_tokens) == (80, 12, 92)
        assert call.at_ns == T0  # the span's start, not the log's time
        expected = calc_price(
            Usage(input_tokens=80, output_tokens=12),
            "gpt-4o-mini-2024-07-18",
            provider_id="openai",
            genai_request_timestamp=dt.datetime.fromtimestamp(T0 / 1e9, dt.UTC),
        ).total_price
        assert call.cost_usd == pytest.approx(float(expected), rel=1e-12)
        assert merge(logs, span).as_json() == call.as_json()

    def test_choice_without_captured_content(self):
        call = read_log_events([log("gen_ai.choice", {"index": 0, "finish_reason": "length"})])
        assert call.output_messages == [{"role": "assistant", "parts": [], "finish_reason": "length"}]
        assert call.finish_reasons == ["length"]

    def test_current_details_event_with_structured_attributes(self):
        attributes = {
            G.GEN_AI_OPERATION_NAME: "chat",
            G.GEN_AI_PROVIDER_NAME: "openai",
            G.GEN_AI_REQUEST_MODEL: "gpt-4o",
            G.GEN_AI_USAGE_INPUT_TOKENS: 10,
            G.GEN_AI_USAGE_OUTPUT_TOKENS: 2,
            G.GEN_AI_INPUT_MESSAGES: [{"role": "user", "parts": [{"type": "text", "content": "hi"}]}],
            G.GEN_AI_OUTPUT_MESSAGES: [
                {
                    "role": "assistant",
                    "parts": [{"type": "text", "content": "hello"}],
                    "finish_reason": "stop",
                }
            ],
            G.GEN_AI_SYSTEM_INSTRUCTIONS: [{"type": "text", "content": "Be kind."}],
        }
        call = read_log_events(
            [
                {
                    "event_name": "gen_ai.client.inference.operation.details",
                    "body": None,
                    "attributes": attributes,
                    "time_unix_nano": T0,
                }
            ]
        )
        assert call.model == "gpt-4o" and call.input_tokens == 10 and call.priced
        assert call.input_messages[0]["parts"][0]["content"] == "hi"
        assert call.finish_reasons == ["stop"]
        assert call.system_instructions == [{"type": "text", "content": "Be kind."}]
        assert call.at_ns == T0

    def test_event_name_from_the_attribute_of_older_sdks(self):
        record = {"body": {"content": "hi"}, "attributes": {"event.name": "gen_ai.user.message"}}
        call = read_log_events([record])
        assert call.input_messages == [{"role": "user", "parts": [{"type": "text", "content": "hi"}]}]

    def test_body_as_a_json_string(self):
        call = read_log_events([log("gen_ai.user.message", json.dumps({"content": "hi"}))])
        assert call.input_messages[0]["parts"] == [{"type": "text", "content": "hi"}]

    def test_records_that_are_not_genai_events(self):
        assert read_log_events([{"event_name": "app.started", "body": "x", "attributes": {}}]) is None
        assert read_log_events([]) is None
        assert fold_log_event(None, "http.request", {}, {}) is None
        existing = LlmCall(provider="p")
        assert fold_log_event(existing, "other", {}, {}) is existing

    def test_details_event_of_another_operation_is_ignored(self):
        attributes = {G.GEN_AI_OPERATION_NAME: "embeddings", G.GEN_AI_REQUEST_MODEL: "m"}
        assert (
            read_log_events(
                [{"event_name": "gen_ai.client.inference.operation.details", "attributes": attributes}]
            )
            is None
        )


class TestContentAsSpanEvents:
    def test_older_prompt_and_completion_span_events(self):
        events = [
            {
                "name": "gen_ai.content.prompt",
                "time_unix_nano": T0,
                "attributes": {"gen_ai.prompt": json.dumps([{"role": "user", "content": "hi"}])},
            },
            {
                "name": "gen_ai.content.completion",
                "time_unix_nano": T0 + MS,
                "attributes": {"gen_ai.completion": json.dumps([{"role": "assistant", "content": "hello"}])},
            },
        ]
        call = read_span(chat_span(), start_ns=T0, events=events)
        assert call.input_messages == [{"role": "user", "parts": [{"type": "text", "content": "hi"}]}]
        assert call.output_messages == [
            {"role": "assistant", "parts": [{"type": "text", "content": "hello"}]}
        ]

    def test_per_message_span_events(self):
        events = [
            {
                "name": "gen_ai.user.message",
                "time_unix_nano": T0,
                "attributes": {
                    G.GEN_AI_SYSTEM: "openai",
                    "gen_ai.event.content": json.dumps({"content": "hi"}),
                },
            },
            {
                "name": "gen_ai.choice",
                "time_unix_nano": T0 + MS,
                "attributes": {
                    "gen_ai.event.content": json.dumps(
                        {"finish_reason": "stop", "message": {"content": "yo"}}
                    )
                },
            },
        ]
        call = read_span(chat_span(), start_ns=T0, events=events)
        assert call.input_messages == [{"role": "user", "parts": [{"type": "text", "content": "hi"}]}]
        assert call.output_messages == [
            {"role": "assistant", "parts": [{"type": "text", "content": "yo"}], "finish_reason": "stop"}
        ]

    def test_span_attributes_win_over_span_events(self):
        messages = [{"role": "user", "parts": [{"type": "text", "content": "from attributes"}]}]
        events = [
            {
                "name": "gen_ai.content.prompt",
                "time_unix_nano": T0,
                "attributes": {"gen_ai.prompt": json.dumps([{"role": "user", "content": "from events"}])},
            }
        ]
        call = read_span(
            chat_span(**{G.GEN_AI_INPUT_MESSAGES: json.dumps(messages)}), start_ns=T0, events=events
        )
        assert call.input_messages == messages

    def test_first_token_outside_the_span_is_not_believed(self):
        events = [{"name": "First Token Stream Event", "time_unix_nano": T0 - MS, "attributes": {}}]
        assert (
            read_span(chat_span(), start_ns=T0, end_ns=T0 + 10 * MS, events=events).time_to_first_token_ms
            is None
        )


class TestMerge:
    def test_a_value_read_wins_over_one_inferred(self):
        explicit = LlmCall(input_tokens=10, output_tokens=5, total_tokens=99).settle()
        summed = LlmCall(input_tokens=10, output_tokens=5).settle()
        assert "total_tokens" in summed.inferred
        assert merge(explicit, summed, price=False).total_tokens == 99
        assert merge(summed, explicit, price=False).total_tokens == 99

    def test_the_later_of_two_values_read_wins(self):
        a = LlmCall(response_model="m-1", provider="openai")
        b = LlmCall(response_model="m-2")
        merged = merge(a, b, price=False)
        assert (merged.response_model, merged.model, merged.provider) == ("m-2", "m-2", "openai")

    def test_sent_finish_reasons_win_over_ones_from_messages(self):
        inferred = LlmCall(finish_reasons=["length"])
        inferred.inferred.add("finish_reasons")
        sent = LlmCall(finish_reasons=["stop"])
        assert merge(sent, inferred, price=False).finish_reasons == ["stop"]

    def test_a_reported_cost_wins_over_a_priced_one(self):
        reported = LlmCall(response_model="gpt-4o", cost_usd=0.5, priced=True, cost_source="reported")
        usage = LlmCall(response_model="gpt-4o", input_tokens=1000, output_tokens=10, at_ns=T0).settle()
        for merged in (merge(reported, usage), merge(usage, reported)):
            assert (merged.cost_usd, merged.cost_source) == (0.5, "reported")
            assert merged.input_tokens == 1000

    def test_the_merged_call_is_priced_again(self):
        started = LlmCall(request_model="gpt-4o", at_ns=T0).settle()
        completed = LlmCall(input_tokens=1000, output_tokens=100, at_ns=T0 + 900 * MS).settle()
        merged = merge(started, completed)
        assert merged.model == "gpt-4o" and merged.at_ns == T0
        expected = calc_price(
            Usage(input_tokens=1000, output_tokens=100),
            "gpt-4o",
            provider_id=None,
            genai_request_timestamp=dt.datetime.fromtimestamp(T0 / 1e9, dt.UTC),
        ).total_price
        assert merged.cost_usd == pytest.approx(float(expected), rel=1e-12) and merged.cost_source == "priced"

    def test_none_sides(self):
        call = LlmCall(provider="x")
        assert merge(None, call) is call and merge(call, None) is call and merge(None, None) is None
