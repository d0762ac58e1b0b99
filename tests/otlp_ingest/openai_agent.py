"""An agent program for the end-to-end test of the official OpenAI instrumentation: the real
``openai`` SDK against the fake server, the OpenTelemetry SDK exporting over OTLP/HTTP protobuf
into a listener, and the agent's own runs uploaded to the same listener.

Run as ``python openai_agent.py BASE_URL LISTENER_ORIGIN INGEST_URL ROOT``; each call is made
under a run of its own (``use_run(step, root_run_id=ROOT)``): ``{ROOT}-chat`` (a chat),
``{ROOT}-stream`` (a streamed chat with usage), ``{ROOT}-tool`` (a tool call, then the answer to
its result), ``{ROOT}-fail`` (a call the server answers with 500). The agent's runs are uploaded
half before the calls (the root and the chat step) and half after them, so the listener sees
both orders. Exits 0 once every span and log record was exported.
"""

from __future__ import annotations

import json
import os
import sys
import time

import httpx


def our_events(root: str, steps: list[str], t0: int, *, with_root: bool) -> list[dict]:
    """An ``agent_task.started`` event of each step (a child of ``root``), and of the root when
    ``with_root``."""
    def ev(run_id: str, parent: str | None, i: int) -> dict:
        return {"event_id": f"{run_id}-started", "event_type": "agent_task.started", "timestamp": t0 + i,
                "source": "agent.planner", "level": "info", "message": f"{run_id} started",
                "run": {"run_id": run_id, "root_run_id": root, "parent_run_id": parent,
                        "run_kind": "agent_task" if parent else "agent", "agent_name": "Planner"}}

    return ([ev(root, None, 0)] if with_root else []) + [ev(s, root, i + 1) for i, s in enumerate(steps)]


def upload(ingest_url: str, events: list[dict]) -> None:
    body = {"app_id": "openai-agent", "group_id": None, "environment": "local", "events": events}
    r = httpx.post(ingest_url, json=body, timeout=30)
    r.raise_for_status()
    assert not r.json()["rejected"], r.json()


def main(base_url: str, origin: str, ingest_url: str, root: str) -> int:
    os.environ["OTEL_INSTRUMENTATION_GENAI_CAPTURE_MESSAGE_CONTENT"] = "span_and_event"
    import openai
    from opentelemetry.exporter.otlp.proto.http._log_exporter import OTLPLogExporter
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
    from opentelemetry.instrumentation.genai.openai import OpenAIInstrumentor
    from opentelemetry.sdk._logs import LoggerProvider
    from opentelemetry.sdk._logs.export import BatchLogRecordProcessor
    from opentelemetry.sdk.resources import Resource
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import BatchSpanProcessor

    from orvane_devtools.otel import RunSpanProcessor, use_run

    resource = Resource.create({"service.name": "openai-agent"})
    tracer_provider = TracerProvider(resource=resource)
    tracer_provider.add_span_processor(RunSpanProcessor())
    tracer_provider.add_span_processor(BatchSpanProcessor(OTLPSpanExporter(endpoint=f"{origin}/v1/traces")))
    logger_provider = LoggerProvider(resource=resource)
    logger_provider.add_log_record_processor(BatchLogRecordProcessor(OTLPLogExporter(endpoint=f"{origin}/v1/logs")))
    OpenAIInstrumentor().instrument(tracer_provider=tracer_provider, logger_provider=logger_provider)

    chat, stream, tool, fail = (f"{root}-{name}" for name in ("chat", "stream", "tool", "fail"))
    t0 = time.time_ns() // 1_000_000
    upload(ingest_url, our_events(root, [chat], t0, with_root=True))
    question = [{"role": "user", "content": "What is the capital of France?"}]
    weather = {"type": "function", "function": {
        "name": "get_weather", "description": "The current weather in a city.",
        "parameters": {"type": "object", "properties": {"city": {"type": "string"}}, "required": ["city"]}}}
    with openai.OpenAI(base_url=base_url, api_key="sk-test", max_retries=0, timeout=15) as client:
        with use_run(chat, root_run_id=root):
            client.chat.completions.create(model="gpt-4o-mini", messages=question)
        with use_run(stream, root_run_id=root):
            for _ in client.chat.completions.create(model="gpt-4o-mini", messages=question, stream=True,
                                                    stream_options={"include_usage": True}):
                pass
        with use_run(tool, root_run_id=root):
            ask = [{"role": "user", "content": "Weather in Paris?"}]
            first = client.chat.completions.create(model="gpt-4o-mini", messages=ask, tools=[weather])
            call = first.choices[0].message.tool_calls[0]
            answer = [*ask, first.choices[0].message.model_dump(exclude_none=True),
                      {"role": "tool", "tool_call_id": call.id, "content": json.dumps({"temp_c": 21})}]
            client.chat.completions.create(model="gpt-4o-mini", messages=answer, tools=[weather])
        with use_run(fail, root_run_id=root):
            try:
                client.chat.completions.create(model="gpt-4o-mini", messages=question,
                                               extra_headers={"x-fake-status": "500"})
            except openai.InternalServerError:
                pass
            else:
                raise AssertionError("the fake server did not fail the call")
    tracer_provider.shutdown()  # exports what is left; a failed export is logged by the SDK
    logger_provider.shutdown()
    upload(ingest_url, our_events(root, [stream, tool, fail], t0 + 10, with_root=False))
    print("exported", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:5]))
