"""OtlpTraceSink benchmark: caller's cost per event, end-to-end export against the OpenTelemetry
Python SDK, and bytes on the wire.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_otlp.py

* append_event_nowait on the caller's thread, as a ratio to U (thread CPU time; the worker
  drains between bursts of 1,000 events): target <= 0.15 U.
* End-to-end: runs of five events (started, three progress events with the typical payload,
  completed) go from the caller to an OTLP/HTTP receiver in another process, which decodes every
  request and counts the spans; spans per second from the first append until the receiver holds
  them all. The same spans, made by hand with the SDK's tracer (same names, attributes and
  events), go through its BatchSpanProcessor and OTLP/HTTP exporter to the same receiver in the
  same run. Target: ours >= 5 x the SDK's.
* Bytes on the wire per exported event, ours (gzip, the default, and uncompressed) beside the
  SDK's (uncompressed, its default, and gzip).
"""

from __future__ import annotations

import json
import multiprocessing as mp
import statistics
import sys
import time

from common import report, shaped_fields, unit_seconds

EVENTS_PER_RUN = 5


def receiver_main(port_out, spans, events, wire_bytes):
    """A minimal OTLP/HTTP receiver (HTTP/1.1 keep-alive): every body is gunzipped when it says
    so and decoded with opentelemetry-proto; spans are counted, and the span events of the first
    span of each request (the receiver shares the machine: walking every span in Python would
    make it, not the senders, what is measured)."""
    import asyncio
    import gzip

    from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest

    ok = (b"HTTP/1.1 200 OK\r\nContent-Type: application/x-protobuf\r\nContent-Length: 0\r\n\r\n")

    async def handle(reader, writer):
        try:
            while True:
                head = await reader.readuntil(b"\r\n\r\n")
                length, gz = 0, False
                for line in head.split(b"\r\n"):
                    low = line.lower()
                    if low.startswith(b"content-length:"):
                        length = int(line[15:])
                    elif low.startswith(b"content-encoding:") and b"gzip" in low:
                        gz = True
                body = await reader.readexactly(length) if length else b""
                if head.startswith(b"POST"):
                    raw = gzip.decompress(body) if gz else body
                    req = ExportTraceServiceRequest.FromString(raw)
                    n = e = 0
                    for rs in req.resource_spans:
                        for ss in rs.scope_spans:
                            n += len(ss.spans)
                            if ss.spans:
                                e += len(ss.spans) * len(ss.spans[0].events)
                    with spans.get_lock():
                        spans.value += n
                        events.value += e
                        wire_bytes.value += len(body)
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


def run_events(r: int):
    """The five events of run number `r`."""
    from orvane_devtools._orvane_compat import RuntimeEvent

    types = ["agent_task.started", "agent_task.progress", "agent_task.progress", "agent_task.progress",
             "agent_task.completed"]
    out = []
    for k, t in enumerate(types):
        f = shaped_fields("typical", r * EVENTS_PER_RUN + k, run_id=f"run-{r}", parent=None)
        f["event_type"] = t
        out.append(RuntimeEvent(**f))
    return out


def sdk_export(endpoint: str, runs: list[list], gzip: bool) -> float:
    """The same spans written by hand with the SDK; returns seconds from the first span until
    force_flush returned (every span exported)."""
    from opentelemetry.exporter.otlp.proto.http import Compression
    from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
    from opentelemetry.sdk.resources import Resource
    from opentelemetry.sdk.trace import TracerProvider
    from opentelemetry.sdk.trace.export import BatchSpanProcessor
    from opentelemetry.trace import SpanKind

    provider = TracerProvider(resource=Resource({"service.name": "demo-app", "deployment.environment.name": "local"}))
    exporter = OTLPSpanExporter(endpoint=endpoint, compression=Compression.Gzip if gzip else Compression.NoCompression)
    # A queue as long as the run so that the SDK drops nothing; default batch size and delay.
    provider.add_span_processor(BatchSpanProcessor(exporter, max_queue_size=len(runs) + 1))
    tracer = provider.get_tracer("orvane_devtools.observation", "0.1.0")
    t0 = time.perf_counter()
    for evs in runs:
        first, last = evs[0], evs[-1]
        run = first.run
        span = tracer.start_span(f"invoke_agent {run.agent_name}", kind=SpanKind.INTERNAL,
                                 start_time=first.timestamp * 1_000_000, attributes={
                                     "gen_ai.operation.name": "invoke_agent", "gen_ai.agent.name": run.agent_name,
                                     "gen_ai.agent.id": run.agent_id, "gen_ai.conversation.id": run.session_id,
                                     "orvane.run.id": run.run_id, "orvane.run.root_id": run.root_run_id,
                                     "orvane.run.kind": str(run.run_kind), "orvane.run.execution_id": run.execution_id,
                                     "orvane.group.id": "team-a", "orvane.flow.name": "answer"})
        for e in evs:
            span.add_event(e.event_type, {
                "orvane.event.id": e.event_id, "orvane.event.source": e.source, "orvane.event.level": e.level,
                "orvane.event.message": e.message,
                "orvane.event.payload": json.dumps(e.payload, ensure_ascii=False, separators=(",", ":"))},
                timestamp=e.timestamp * 1_000_000)
        span.set_attributes({"orvane.run.status": "completed", "orvane.run.event_count": len(evs)})
        span.end(end_time=last.timestamp * 1_000_000)
    provider.force_flush(timeout_millis=600_000)
    elapsed = time.perf_counter() - t0
    provider.shutdown()
    return elapsed


def wait_for(counter, target: int, t0: float, limit: float = 300.0) -> float:
    while counter.value < target:
        if time.perf_counter() - t0 > limit:
            raise SystemExit(f"only {counter.value} of {target} spans arrived")
        time.sleep(0.002)
    return time.perf_counter() - t0


def main() -> None:
    import warnings

    from orvane_devtools.observation.backends.Otlp import OtlpExportWarning, OtlpTraceSink

    warnings.simplefilter("ignore", OtlpExportWarning)
    u = unit_seconds()
    rows = []

    ctx = mp.get_context("spawn")
    spans, span_events, wire = ctx.Value("q", 0), ctx.Value("q", 0), ctx.Value("q", 0)
    recv, send = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=receiver_main, args=(send, spans, span_events, wire), daemon=True)
    proc.start()
    url = f"http://127.0.0.1:{recv.recv()}/v1/traces"

    def reset():
        for c in (spans, span_events, wire):
            with c.get_lock():
                c.value = 0

    # 1. Caller's cost: bursts of 1,000 events, the worker draining (untimed) in between.
    n_runs = 4_000
    runs = [run_events(r) for r in range(n_runs)]
    flat = [e for evs in runs for e in evs]
    sink = OtlpTraceSink(endpoint=url, buffer_limit=len(flat), span_buffer_limit=n_runs)
    cpu_rounds, wall_rounds = [], []
    for _ in range(3):
        reset()
        c = w = 0.0
        for start in range(0, len(flat), 1000):
            part = flat[start:start + 1000]
            c0, w0 = time.thread_time(), time.perf_counter()
            for e in part:
                sink.append_event_nowait(e)
            c += time.thread_time() - c0
            w += time.perf_counter() - w0
            deadline = time.perf_counter() + 60
            while sink.get_stats()["pending_event_count"] and time.perf_counter() < deadline:
                time.sleep(0.002)
        cpu_rounds.append(c / len(flat))
        wall_rounds.append(w / len(flat))
        wait_for(spans, n_runs, time.perf_counter())
        # Fresh runs for the next round (a run id seen before would continue its run).
        flat = [e.model_copy(update={"run": e.run.model_copy(update={"run_id": e.run.run_id + "x"}),
                                     "event_id": e.event_id + "x"}) for e in flat]
    cpu, wall = statistics.median(cpu_rounds), statistics.median(wall_rounds)
    rows.append(("OtlpTraceSink.append_event_nowait, worker draining (thread CPU)", cpu, cpu / u, "<= 0.15 U"))
    rows.append(("OtlpTraceSink.append_event_nowait, worker draining (wall)", wall, wall / u, ""))

    # 2. End-to-end spans per second, ours and the SDK's, same receiver, same run. The machine's
    # load drifts, so the four variants run in turns, three rounds, and each ratio is the median
    # of the ratios of one round.
    total_runs = 6_000
    base = [run_events(r + 100_000) for r in range(total_runs)]
    variants = [("ours, gzip (default)", "ours", {}), ("SDK, uncompressed (default)", "sdk", False),
                ("ours, uncompressed", "ours", {"compression": "none"}), ("SDK, gzip", "sdk", True)]
    rates = {label: [] for label, _, _ in variants}
    per_event = {}
    for round_no in range(3):
        for label, kind, kw in variants:
            tag = f"-{round_no}-{kind}-{len(rates[label])}"
            runs = [[e.model_copy(update={"run": e.run.model_copy(update={"run_id": e.run.run_id + tag}),
                                          "event_id": e.event_id + tag}) for e in evs] for evs in base]
            reset()
            if kind == "ours":
                sink = OtlpTraceSink(endpoint=url, buffer_limit=total_runs * EVENTS_PER_RUN,
                                     span_buffer_limit=total_runs, **kw)
                t0 = time.perf_counter()
                for evs in runs:
                    for e in evs:
                        sink.append_event_nowait(e)
                elapsed = wait_for(spans, total_runs, t0)
            else:
                elapsed = sdk_export(url, runs, kw)
                wait_for(spans, total_runs, time.perf_counter() - elapsed)
            rates[label].append(total_runs / elapsed)
            per_event[label] = wire.value / span_events.value
    proc.terminate()

    def ratio(a: str, b: str) -> float:
        return statistics.median(x / y for x, y in zip(rates[a], rates[b]))

    for label, _, _ in variants:
        rows.append((f"end-to-end, {label}: spans/s ({EVENTS_PER_RUN} events each)", None, None,
                     f"{statistics.median(rates[label]):,.0f}/s"))
    rows.append(("end-to-end, ours / SDK (defaults), spans per second", None, None,
                 f"{ratio('ours, gzip (default)', 'SDK, uncompressed (default)'):.1f} x (>= 5 x)"))
    rows.append(("end-to-end, ours / SDK, both gzip", None, None, f"{ratio('ours, gzip (default)', 'SDK, gzip'):.1f} x"))
    rows.append(("end-to-end, ours / SDK, both uncompressed", None, None,
                 f"{ratio('ours, uncompressed', 'SDK, uncompressed (default)'):.1f} x"))
    for label, _, _ in variants:
        rows.append((f"bytes on the wire per exported event, {label}", None, None, f"{per_event[label]:,.1f} B"))
    print(f"U = {u * 1e6:.2f} us")
    report(rows)


if __name__ == "__main__":
    sys.exit(main())
