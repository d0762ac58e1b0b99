"""The listener as an OTLP/HTTP receiver: the OpenTelemetry SDK's exporter sending GenAI chat
spans into it, against the same exporter sending to a receiver that answers without decoding.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_otlp_receive.py
     (ORVANE_BENCH_OTLP_SCALE=0.1 for a quick pass with a tenth of the spans)

* Throughput: the SDK's ``BatchSpanProcessor`` (batches of 512) with ``OTLPSpanExporter``
  (OTLP/HTTP protobuf, no compression) exports 100,000 spans of the GenAI chat shape (15
  attributes, two events, a parent: one agent span per 100 chat spans, which ends after them)
  into the listener with its database, and, in the same run, into a receiver (another process)
  that reads each request and answers 200 with an empty response, decoding nothing. The spans are
  made beforehand (a tracer provider that only keeps them), so a turn measures the processor, the
  exporter and the receiver. The two receivers take turns, a tenth of the spans each time, the
  null one first and last; each listener turn is set against the mean rate of the null turns
  beside it, and the row gives the median of those ten ratios. Target: at least 0.5.
* The listener's CPU time (user + system, from /proc) per 1,000 spans of those turns, and the
  share of its event loop's thread (decoding, mapping, answers) and of the others (the writer).
* Latency of one POST of 512 such spans (protobuf, fresh ids), p50 and p99 over 200 requests.
  Target: p99 <= 2,500 U.

The listener is ``orvane-devtools start`` as it ships: it reads protobuf with the build's native
reader (``Ingest._decode_otlp_traces``).
"""

from __future__ import annotations

import multiprocessing as mp
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

import httpx
from bench_listener import cpu_seconds, percentile, wait_idle
from common import report, unit_seconds
from opentelemetry.exporter.otlp.proto.common.trace_encoder import encode_spans
from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import BatchSpanProcessor, SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from opentelemetry.trace import SpanKind, set_span_in_context

SCALE = float(os.environ.get("ORVANE_BENCH_OTLP_SCALE", "1"))
TURNS = 10
CHATS_PER_AGENT = 100


def null_receiver(port_out, counter) -> None:
    """HTTP/1.1 (keep-alive, Content-Length bodies): reads each request, counts it, answers 200
    with an empty protobuf ExportTraceServiceResponse."""
    import asyncio

    ok = b"HTTP/1.1 200 OK\r\nContent-Type: application/x-protobuf\r\nContent-Length: 0\r\n\r\n"

    async def handle(reader, writer):
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length = 0
                for line in head.split(b"\r\n"):
                    if line[:15].lower() == b"content-length:":
                        length = int(line[15:])
                if length:
                    await reader.readexactly(length)
                with counter.get_lock():
                    counter.value += 1
                writer.write(ok)
                await writer.drain()
        except (asyncio.IncompleteReadError, ConnectionError):
            pass
        finally:
            writer.close()

    async def main():
        server = await asyncio.start_server(handle, "127.0.0.1", 0)
        port_out.send(server.sockets[0].getsockname()[1])
        await server.serve_forever()

    asyncio.run(main())


def start_null_receiver() -> tuple[Any, str]:
    """``null_receiver`` in a process of its own; (the process, its ``/v1/traces`` URL)."""
    ctx = mp.get_context("spawn")
    counter = ctx.Value("q", 0)
    recv, send = ctx.Pipe(duplex=False)
    null = ctx.Process(target=null_receiver, args=(send, counter), daemon=True)
    null.start()
    return null, f"http://127.0.0.1:{recv.recv()}/v1/traces"


def start_listener(db: Path) -> tuple[subprocess.Popen, str]:
    """``orvane-devtools start`` as a process; (the process, its origin)."""
    proc = subprocess.Popen([sys.executable, "-m", "orvane_devtools", "start", "--port", "0", "--db", str(db)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    origin = None
    assert proc.stdout is not None
    for line in proc.stdout:
        match = re.search(r"ingest URL:\s+(http://[^/\s]+)", line)
        if match:
            origin = match.group(1)
        if line.startswith("Press Ctrl-C"):
            break
    if origin is None:
        proc.kill()
        sys.exit("the listener did not start")
    threading.Thread(target=lambda: proc.stdout.read(), daemon=True).start()
    return proc, origin


def chat_spans(count: int, tag: str) -> list:
    """``count`` chat spans (and their agent spans) made by the SDK, in the order they ended."""
    keep = InMemorySpanExporter()
    provider = TracerProvider(resource=Resource.create({"service.name": "bench-app",
                                                        "deployment.environment.name": "bench"}))
    provider.add_span_processor(SimpleSpanProcessor(keep))
    tracer = provider.get_tracer("bench.genai", "1.0")
    made = 0
    while made < count:
        agent = tracer.start_span("invoke_agent Planner", attributes={
            "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": "Planner",
            "gen_ai.conversation.id": f"{tag}-conv-{made}"})
        parent = set_span_in_context(agent)
        for i in range(min(CHATS_PER_AGENT, count - made)):
            chat = tracer.start_span("chat gpt-4o-mini", context=parent, kind=SpanKind.CLIENT, attributes={
                "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai",
                "gen_ai.request.model": "gpt-4o-mini", "gen_ai.request.temperature": 0.2,
                "gen_ai.request.max_tokens": 512, "gen_ai.request.top_p": 0.9,
                "gen_ai.response.model": "gpt-4o-mini-2024-07-18", "gen_ai.response.id": f"chatcmpl-{tag}-{made}-{i}",
                "gen_ai.response.finish_reasons": ("stop",), "gen_ai.usage.input_tokens": 812 + i,
                "gen_ai.usage.output_tokens": 64, "server.address": "api.openai.com", "server.port": 443,
                "gen_ai.conversation.id": f"{tag}-conv-{made}", "gen_ai.output.type": "text"})
            chat.add_event("gen_ai.content.prompt", {"gen_ai.prompt": "Plan a three-day trip to Lisbon."})
            chat.add_event("gen_ai.content.completion", {"gen_ai.completion": "Day one: Alfama and the castle."})
            chat.end()
        made += min(CHATS_PER_AGENT, count - made)
        agent.end()
    spans = list(keep.get_finished_spans())
    provider.shutdown()
    return spans


def send_spans(exporter: Any, spans: list) -> tuple[float, float]:
    """``spans`` sent through the SDK's batch processor and ``exporter``: (start, end) on the
    ``perf_counter`` clock, the end when ``force_flush`` returned."""
    processor = BatchSpanProcessor(exporter, max_queue_size=len(spans) + 1,
                                   max_export_batch_size=min(512, len(spans) + 1), schedule_delay_millis=50)
    t0 = time.perf_counter()
    for s in spans:
        processor.on_end(s)
    assert processor.force_flush(600_000)
    end = time.perf_counter()
    processor.shutdown()
    return t0, end


def export_rate(endpoint: str, spans: list) -> tuple[float, float]:
    """(spans per second, seconds) for the SDK's batch processor and exporter sending ``spans``."""
    t0, end = send_spans(OTLPSpanExporter(endpoint=endpoint, timeout=60), spans)
    return len(spans) / (end - t0), end - t0


def main() -> None:
    u = unit_seconds()
    total = int(100_000 * SCALE)
    part = -(-total // TURNS)
    tmp = Path(tempfile.mkdtemp(prefix="bench-otlp-"))
    null, null_url = start_null_receiver()
    proc, origin = start_listener(tmp / "otlp.sqlite3")
    url = origin + "/v1/traces"
    null_spans = chat_spans(part, "null")
    null_rates: list[float] = []
    pairs: list[float] = []
    elapsed = cpu = loop_cpu = 0.0
    sent = 0

    null_rates.append(export_rate(null_url, null_spans)[0])
    for k in range(TURNS):
        spans = chat_spans(min(part, total - k * part), f"t{k}")
        cpu0, loop0 = cpu_seconds(proc.pid), cpu_seconds(proc.pid, proc.pid)
        rate, took = export_rate(url, spans)
        elapsed += took
        sent += len(spans)
        wait_idle(proc.pid)
        cpu += cpu_seconds(proc.pid) - cpu0
        loop_cpu += cpu_seconds(proc.pid, proc.pid) - loop0
        null_rates.append(export_rate(null_url, null_spans)[0])
        pairs.append(rate / ((null_rates[k] + null_rates[k + 1]) / 2))
        del spans
    with httpx.Client(timeout=30) as client:
        stats = client.get(origin + "/observation/stats").json()
    assert stats["rejected_total"] == 0, stats
    ratio = statistics.median(pairs)
    rows = [
        (f"SDK exporter -> listener with database, {sent:,} GenAI chat spans, spans/s", None, None,
         f"{sent / elapsed:,.0f}/s"),
        ("SDK exporter -> receiver that answers 200 without decoding, spans/s", None, None,
         f"{statistics.mean(null_rates):,.0f}/s"),
        (f"  listener rate / null rate (median of {TURNS} turns: {', '.join(f'{p:.3f}' for p in pairs)})",
         None, None, f"{ratio:.3f} (>= 0.5)"),
    ]
    per_k = cpu / sent * 1000
    loop_k = loop_cpu / sent * 1000
    rows.append(("listener CPU time per 1,000 spans (user + system)", per_k, per_k / u, "report"))
    rows.append(("  of which the event loop (decoding, mapping, answers)", loop_k, loop_k / u, "report"))
    rows.append(("  of which other threads (the log writer)", per_k - loop_k, (per_k - loop_k) / u, "report"))

    # Latency of one 512-span request.
    latencies = []
    requests = int(200 * max(SCALE, 0.25))
    with httpx.Client(timeout=60) as client:
        for r in range(requests):
            body = encode_spans(chat_spans(512, f"lat{r}")[:512]).SerializeToString()
            t0 = time.perf_counter()
            resp = client.post(url, content=body, headers={"Content-Type": "application/x-protobuf"})
            latencies.append(time.perf_counter() - t0)
            assert resp.status_code == 200 and resp.content == b"", resp.content
    p50, p99 = percentile(latencies, 0.5), percentile(latencies, 0.99)
    rows.append(("POST /v1/traces of 512 chat spans, p50", p50, p50 / u, ""))
    rows.append(("POST /v1/traces of 512 chat spans, p99", p99, p99 / u, "<= 2500 U"))
    null.terminate()
    proc.terminate()
    proc.wait(30)
    print(f"U = {u * 1e6:.2f} us; the listener: orvane-devtools start with its native protobuf reader")
    report(rows)


if __name__ == "__main__":
    main()
