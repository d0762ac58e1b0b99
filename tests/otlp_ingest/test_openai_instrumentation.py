"""The official OpenAI instrumentation for OpenTelemetry, with the real ``openai`` SDK talking
HTTP to a fake OpenAI-compatible server on 127.0.0.1 (fake_openai.py), inside our runs.

Content capture is on through the instrumentation's environment variable (spans and log
events). Each call's span must be a child of the run that was current (parent span id
``span_id_for(run_id)``, trace id ``trace_id_for(root)``) and carry the run stamps; its span and
its log record, read as a receiver decodes them (otel_capture.py) through
``orvane_devtools.llm``, must give the model, the tokens (cached and reasoning apart), the cost
(against genai-prices asked directly) and the messages.
"""

from __future__ import annotations

import asyncio
import contextvars
import datetime as dt
import json
import threading

import openai
import pytest
from fake_openai import DEFAULT_REPLY, DEFAULT_USAGE, FakeOpenAI
from genai_prices import Usage, calc_price
from opentelemetry import trace
from opentelemetry.instrumentation.genai.openai import OpenAIInstrumentor
from otel_capture import KIND_CLIENT, STATUS_ERROR, STATUS_UNSET, Capture

from orvane_devtools import llm
from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for
from orvane_devtools.otel import use_run

REQUEST_MODEL = "gpt-4o-mini"
RESPONSE_MODEL = "gpt-4o-mini-2024-07-18"
ROOT = "agent-run-1"
WAIT_S = 15.0
WEATHER_TOOL = {
    "type": "function",
    "function": {
        "name": "get_weather",
        "description": "The current weather in a city.",
        "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]},
    },
}


@pytest.fixture(scope="module")
def server():
    with FakeOpenAI() as fake:
        yield fake


@pytest.fixture(scope="module")
def telemetry():
    """One SDK set-up for the module, the instrumentation installed into it with content
    capture on (the mode is read when it is installed and on every call)."""
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT", "span_and_event")
        capture = Capture()
        instrumentor = OpenAIInstrumentor()
        instrumentor.instrument(tracer_provider=capture.tracer_provider,
                                logger_provider=capture.logger_provider)
        try:
            yield capture
        finally:
            instrumentor.uninstrument()
            capture.shutdown()


@pytest.fixture
def capture(telemetry, server):
    telemetry.clear()
    server.requests.clear()
    return telemetry


@pytest.fixture
def client(server):
    with openai.OpenAI(base_url=server.base_url, api_key="sk-test", max_retries=0, timeout=WAIT_S) as c:
        yield c


def only_span(capture: Capture) -> dict:
    spans = capture.spans()
    assert len(spans) == 1, [s["name"] for s in spans]
    return spans[0]


def log_of(capture: Capture, span: dict) -> dict:
    """The one log record of the span's call, found by its trace and span ids."""
    mine = [r for r in capture.logs() if (r["trace_id"], r["span_id"]) == (span["trace_id"], span["span_id"])]
    assert len(mine) == 1, capture.logs()
    return mine[0]


def read_span(span: dict) -> llm.LlmCall:
    call = llm.read_span(span["attributes"], name=span["name"], start_ns=span["start_time_unix_nano"],
                         end_ns=span["end_time_unix_nano"], events=span["events"])
    assert call is not None, span
    return call


def read_log(record: dict) -> llm.LlmCall:
    call = llm.read_log_events([record])
    assert call is not None, record
    return call


def listed_price(span: dict, *, input_tokens: int, cache_read_tokens: int, output_tokens: int,
                 reasoning_tokens: int) -> float:
    """genai-prices itself, at the call's time."""
    when = dt.datetime.fromtimestamp(span["start_time_unix_nano"] / 1e9, tz=dt.timezone.utc)
    usage = Usage(input_tokens=input_tokens, cache_read_tokens=cache_read_tokens, output_tokens=output_tokens,
                  output_reasoning_tokens=reasoning_tokens)
    return float(calc_price(usage, RESPONSE_MODEL, provider_id="openai", genai_request_timestamp=when).total_price)


def assert_child_of_run(span: dict, run_id: str, root: str) -> None:
    assert span["parent_span_id"] == span_id_for(run_id)
    assert span["trace_id"] == trace_id_for(root)
    assert span["attributes"]["orvane.run.root_id"] == root
    assert span["attributes"]["orvane.run.parent_id"] == run_id


def assert_usage(call: llm.LlmCall, span: dict) -> None:
    u = DEFAULT_USAGE
    assert (call.provider, call.request_model, call.response_model, call.model) == (
        "openai", REQUEST_MODEL, RESPONSE_MODEL, RESPONSE_MODEL)
    # OpenAI counts cached tokens inside the prompt and reasoning tokens inside the completion.
    assert call.input_tokens == u["prompt_tokens"]
    assert call.cache_read_tokens == u["cached_tokens"]
    assert call.cache_write_tokens is None
    assert call.output_tokens == u["completion_tokens"]
    assert call.reasoning_tokens == u["reasoning_tokens"]
    assert call.total_tokens == u["prompt_tokens"] + u["completion_tokens"]
    expected = listed_price(span, input_tokens=u["prompt_tokens"], cache_read_tokens=u["cached_tokens"],
                            output_tokens=u["completion_tokens"], reasoning_tokens=u["reasoning_tokens"])
    assert call.priced and call.cost_source == "priced"
    assert call.cost_usd == pytest.approx(expected, rel=1e-9)
    # Cached tokens at their own rate: the whole prompt at the input rate would cost more.
    uncached = listed_price(span, input_tokens=u["prompt_tokens"], cache_read_tokens=0,
                            output_tokens=u["completion_tokens"], reasoning_tokens=u["reasoning_tokens"])
    assert call.cost_usd < uncached


def text(content: str) -> dict:
    return {"type": "text", "content": content}


def core(messages: list[dict]) -> list[dict]:
    """Role, parts and finish reason of each message. (The instrumentation also sends each
    message's ``name``, null when the request gave none; the reader keeps it as it came.)"""
    return [{k: m[k] for k in ("role", "parts", "finish_reason") if k in m} for m in messages]


class TestChat:
    def test_a_chat_call_is_a_child_of_the_current_run_with_model_tokens_cost_and_messages(
            self, capture, client, server):
        with use_run("step-1", root_run_id=ROOT):
            answer = client.chat.completions.create(
                model=REQUEST_MODEL,
                messages=[{"role": "system", "content": "Answer in one sentence."},
                          {"role": "user", "content": "What is the capital of France?"}],
            )
        assert answer.choices[0].message.content == DEFAULT_REPLY
        assert len(server.requests) == 1  # one real HTTP request reached the fake server
        span = only_span(capture)
        assert span["name"] == f"chat {REQUEST_MODEL}"
        assert span["kind"] == KIND_CLIENT
        assert span["status"]["code"] == STATUS_UNSET
        assert_child_of_run(span, "step-1", ROOT)

        call = read_span(span)
        assert_usage(call, span)
        assert call.finish_reasons == ["stop"]
        system_and_user = [
            {"role": "system", "parts": [text("Answer in one sentence.")]},
            {"role": "user", "parts": [text("What is the capital of France?")]},
        ]
        assert core(call.input_messages) == system_and_user
        assert core(call.output_messages) == [
            {"role": "assistant", "parts": [text(DEFAULT_REPLY)], "finish_reason": "stop"}]

        # The log event of the same call carries the same call; merged, they are one record.
        record = log_of(capture, span)
        assert record["event_name"] == "gen_ai.client.inference.operation.details"
        from_log = read_log(record)
        assert from_log.input_messages == call.input_messages
        assert from_log.output_messages == call.output_messages
        assert (from_log.model, from_log.input_tokens, from_log.cache_read_tokens, from_log.reasoning_tokens) == (
            RESPONSE_MODEL, call.input_tokens, call.cache_read_tokens, call.reasoning_tokens)
        merged = llm.merge(call, from_log)
        assert merged is not None
        assert merged.as_json() == call.as_json()

    def test_a_call_outside_any_run_is_a_root_span_without_stamps(self, capture, client):
        client.chat.completions.create(model=REQUEST_MODEL, messages=[{"role": "user", "content": "hi"}])
        span = only_span(capture)
        assert span["parent_span_id"] == ""
        assert not any(k.startswith("orvane.") for k in span["attributes"])

    def test_a_call_under_a_span_of_the_run_is_its_grandchild(self, capture, client, telemetry):
        tracer = telemetry.tracer()
        with use_run("step-2", root_run_id=ROOT):
            with tracer.start_as_current_span("plan the answer") as outer:
                client.chat.completions.create(model=REQUEST_MODEL, messages=[{"role": "user", "content": "hi"}])
        spans = {s["name"]: s for s in capture.spans()}
        chat = spans[f"chat {REQUEST_MODEL}"]
        assert chat["parent_span_id"] == format(outer.get_span_context().span_id, "016x")
        assert chat["trace_id"] == trace_id_for(ROOT)
        assert chat["attributes"]["orvane.run.root_id"] == ROOT
        assert "orvane.run.parent_id" not in chat["attributes"]
        assert_child_of_run(spans["plan the answer"], "step-2", ROOT)


class TestStream:
    def test_a_streamed_call_with_usage(self, capture, client, server):
        with use_run("stream-step", root_run_id=ROOT):
            stream = client.chat.completions.create(
                model=REQUEST_MODEL, messages=[{"role": "user", "content": "Capital of France?"}],
                stream=True, stream_options={"include_usage": True},
            )
            pieces = [c.choices[0].delta.content or "" for c in stream if c.choices]
        assert "".join(pieces) == DEFAULT_REPLY
        assert len(pieces) > 2  # it really came in pieces
        span = only_span(capture)
        assert_child_of_run(span, "stream-step", ROOT)
        assert span["attributes"]["gen_ai.request.stream"] is True

        call = read_span(span)
        assert_usage(call, span)
        assert call.finish_reasons == ["stop"]
        assert core(call.output_messages) == [
            {"role": "assistant", "parts": [text(DEFAULT_REPLY)], "finish_reason": "stop"}]
        assert call.time_to_first_token_ms is not None
        assert 0 <= call.time_to_first_token_ms <= (span["end_time_unix_nano"] - span["start_time_unix_nano"]) / 1e6
        assert read_log(log_of(capture, span)).output_messages == call.output_messages

    def test_a_streamed_call_without_usage_is_unpriced_not_free(self, capture, client):
        with use_run("stream-no-usage", root_run_id=ROOT):
            for _ in client.chat.completions.create(
                    model=REQUEST_MODEL, messages=[{"role": "user", "content": "hi"}], stream=True):
                pass
        span = only_span(capture)
        assert_child_of_run(span, "stream-no-usage", ROOT)
        call = read_span(span)
        assert call.model == RESPONSE_MODEL
        assert call.input_tokens is None and call.output_tokens is None
        assert call.priced is False and call.cost_usd is None

    def test_a_stream_left_early_still_ends_its_span_under_the_run(self, capture, client):
        with use_run("stream-left", root_run_id=ROOT):
            stream = client.chat.completions.create(
                model=REQUEST_MODEL, messages=[{"role": "user", "content": "hi"}], stream=True,
                stream_options={"include_usage": True})
            next(iter(stream))
            stream.close()
        span = only_span(capture)
        assert_child_of_run(span, "stream-left", ROOT)


class TestToolCall:
    def test_a_tool_call_then_its_result_each_under_its_run(self, capture, client, telemetry):
        messages: list[dict] = [{"role": "user", "content": "What is the weather in Paris?"}]
        with use_run("tool-step", root_run_id=ROOT):
            first = client.chat.completions.create(model=REQUEST_MODEL, messages=messages, tools=[WEATHER_TOOL])
            tool_call = first.choices[0].message.tool_calls[0]
            assert first.choices[0].finish_reason == "tool_calls"
            # The tool runs as a run of its own, with its own spans.
            with use_run("tool-run", root_run_id=ROOT):
                with telemetry.tracer().start_as_current_span("weather lookup"):
                    result = {"city": "Paris", "celsius": 21}
            messages += [
                {"role": "assistant", "content": None, "tool_calls": [{
                    "id": tool_call.id, "type": "function",
                    "function": {"name": tool_call.function.name, "arguments": tool_call.function.arguments}}]},
                {"role": "tool", "tool_call_id": tool_call.id, "content": json.dumps(result)},
            ]
            second = client.chat.completions.create(model=REQUEST_MODEL, messages=messages, tools=[WEATHER_TOOL])
        assert second.choices[0].message.content == DEFAULT_REPLY

        chats = [s for s in capture.spans() if s["name"] == f"chat {REQUEST_MODEL}"]
        lookup = [s for s in capture.spans() if s["name"] == "weather lookup"]
        assert len(chats) == 2 and len(lookup) == 1
        for span in chats:
            assert_child_of_run(span, "tool-step", ROOT)
        assert_child_of_run(lookup[0], "tool-run", ROOT)

        asked = read_span(chats[0])
        assert_usage(asked, chats[0])
        assert asked.finish_reasons == ["tool_calls"]
        (out,) = asked.output_messages
        assert out["role"] == "assistant"
        assert out["parts"] == [{"type": "tool_call", "id": tool_call.id, "name": "get_weather",
                                 "arguments": {"city": "Paris"}}]
        assert [d["name"] for d in asked.tool_definitions] == ["get_weather"]
        assert asked.tool_definitions[0]["parameters"] == WEATHER_TOOL["function"]["parameters"]

        answered = read_span(chats[1])
        # The conversation as it was sent: the question, the call, and the tool's result (its
        # JSON text read as JSON).
        assert core(answered.input_messages) == [
            {"role": "user", "parts": [text("What is the weather in Paris?")]},
            {"role": "assistant", "parts": [{"type": "tool_call", "id": tool_call.id, "name": "get_weather",
                                              "arguments": {"city": "Paris"}}]},
            {"role": "tool", "parts": [{"type": "tool_call_response", "id": tool_call.id, "response": result}]},
        ]
        assert answered.output_messages[0]["parts"] == [text(DEFAULT_REPLY)]
        assert read_log(log_of(capture, chats[1])).input_messages == answered.input_messages

    def test_a_streamed_tool_call_arrives_whole(self, capture, client):
        with use_run("stream-tool", root_run_id=ROOT):
            stream = client.chat.completions.create(
                model=REQUEST_MODEL, messages=[{"role": "user", "content": "Weather in Paris?"}],
                tools=[WEATHER_TOOL], stream=True, stream_options={"include_usage": True})
            pieces = [c.choices[0].delta for c in stream if c.choices]
        arguments = "".join(tc.function.arguments or "" for d in pieces for tc in (d.tool_calls or []))
        assert json.loads(arguments) == {"city": "Paris"}
        span = only_span(capture)
        assert_child_of_run(span, "stream-tool", ROOT)
        call = read_span(span)
        assert_usage(call, span)
        assert call.finish_reasons == ["tool_calls"]
        (message,) = call.output_messages
        # The stream's first delta carries an empty text ("content": ""), kept as an empty part.
        assert [p for p in message["parts"] if p["type"] != "tool_call"] == [text("")]
        (part,) = [p for p in message["parts"] if p["type"] == "tool_call"]
        assert (part["name"], part["arguments"]) == ("get_weather", {"city": "Paris"})
        assert part["id"].startswith("call_")


class TestFailure:
    def test_a_500_fails_the_call_under_the_run_and_leaves_the_context_as_it_was(self, capture, client, server):
        with use_run("failing-step", root_run_id=ROOT):
            with pytest.raises(openai.InternalServerError):
                client.chat.completions.create(
                    model=REQUEST_MODEL, messages=[{"role": "user", "content": "hi"}],
                    extra_headers={"x-fake-status": "500"})
            # The run is still the current span after the failure inside it.
            assert trace.get_current_span().get_span_context().span_id == int(span_id_for("failing-step"), 16)
        assert trace.get_current_span() is trace.INVALID_SPAN
        assert len(server.requests) == 1  # no retry behind the test's back
        span = only_span(capture)
        assert_child_of_run(span, "failing-step", ROOT)
        assert span["status"]["code"] == STATUS_ERROR
        assert "500" in span["status"]["message"]
        assert span["attributes"]["error.type"] == "openai.InternalServerError"

        call = read_span(span)
        assert (call.request_model, call.response_model, call.model) == (REQUEST_MODEL, None, REQUEST_MODEL)
        assert call.input_tokens is None and call.output_tokens is None
        assert call.priced is False and call.cost_usd is None
        assert core(call.input_messages) == [{"role": "user", "parts": [text("hi")]}]
        assert call.output_messages == []
        assert read_log(log_of(capture, span)).input_messages == call.input_messages


class TestConcurrency:
    def test_async_calls_in_concurrent_tasks_land_under_their_own_runs(self, capture, server):
        async def agent(client: openai.AsyncOpenAI, run_id: str) -> str:
            async with use_run(run_id, root_run_id=ROOT):
                await asyncio.sleep(0)
                answer = await client.chat.completions.create(
                    model=REQUEST_MODEL, messages=[{"role": "user", "content": f"from {run_id}"}])
                return answer.choices[0].message.content

        async def main() -> list[str]:
            async with openai.AsyncOpenAI(base_url=server.base_url, api_key="sk-test", max_retries=0,
                                          timeout=WAIT_S) as client:
                return await asyncio.gather(*(agent(client, f"async-{i}") for i in range(4)))

        answers = asyncio.run(asyncio.wait_for(main(), WAIT_S * 2))
        assert answers == [DEFAULT_REPLY] * 4
        spans = capture.spans()
        assert len(spans) == 4
        for span in spans:
            call = read_span(span)
            (message,) = call.input_messages
            run_id = message["parts"][0]["content"].removeprefix("from ")
            assert_child_of_run(span, run_id, ROOT)
            assert_usage(call, span)

    def test_a_call_in_a_thread_that_runs_a_copied_context(self, capture, client):
        errors: list[BaseException] = []

        def work() -> None:
            try:
                client.chat.completions.create(model=REQUEST_MODEL, messages=[{"role": "user", "content": "hi"}])
            except BaseException as exc:  # pragma: no cover - reported below
                errors.append(exc)

        with use_run("thread-step", root_run_id=ROOT):
            worker = threading.Thread(target=contextvars.copy_context().run, args=(work,))
            worker.start()
            worker.join(WAIT_S)
        assert not worker.is_alive() and not errors
        assert_child_of_run(only_span(capture), "thread-step", ROOT)
