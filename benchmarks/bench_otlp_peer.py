"""The listener as an LLM trace viewer fed by the OpenTelemetry SDK, against a peer's figures.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_otlp_peer.py
     (ORVANE_BENCH_PEER_SCALE=0.1 for a quick pass with a tenth of the spans)

The scenario: 20,000 GenAI chat spans (15 attributes, two events each; 10 spans per trace, the
first of a trace its root and the other nine its children, each trace's root ending last) sent
by the SDK's ``BatchSpanProcessor`` (batches of 512) with ``OTLPSpanExporter`` (OTLP/HTTP
protobuf) into ``orvane-devtools start`` on a fresh database, as it ships. The spans are made
beforehand (a tracer provider that only keeps them), so the export measures the processor, the
exporter and the receiver. The peer's figures, measured by an independent benchmark of the same
scenario against another viewer, are printed beside each row.

* Spans visible: from the first export call to the moment the listener's query API has
  returned every span's four events (``{kind}.started``, the two span events,
  ``{kind}.completed``, ids known in advance): a checker thread asks ``GET {prefix}/events``
  with the app and the time span of 50 traces (made one after another) once the exporter's
  answers for all their spans came back (again, after 20 ms, while it is short). Also
  the seconds from the exporter's end (``force_flush`` returned) to all visible, and the
  exporter's own rate against a receiver that answers 200 without decoding (another process),
  measured in the same run before and after the listener's turn (their mean).
* The listener's CPU time (user + system, from /proc) per 1,000 spans, until it went idle after
  the last check, less what a second pass of the same checks costs it (measured right after).
* ``GET {prefix}/runs`` (the first page, 100 runs) and a substring search for a text found in
  one span's attribute only (``/events?search=`` and ``/runs?search=``), after the 20,000
  spans: p50 over 30 requests each, in ms and against U measured beside them.
* The start: from the process's launch until ``/healthz`` answers, on a fresh database and again
  on the database holding the 20,000 spans (a second process after the first stopped), the
  modules' bytecode cached as in an installed package (one start beforehand fills the cache).
* The listener's peak resident memory (VmHWM) over the whole run.

The machine is shared and its load moves: the rates are given against the exporter's own rate
of the same run, and the latencies in U.
"""

from __future__ import annotations

import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import deque
from pathlib import Path

import httpx
from bench_listener import cpu_seconds, percentile, start_listener, wait_idle
from bench_otlp_receive import send_spans, start_null_receiver
from common import report, unit_seconds
from opentelemetry.exporter.otlp.proto.http.trace_exporter import OTLPSpanExporter
from opentelemetry.sdk.resources import Resource
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor, SpanExportResult
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from opentelemetry.trace import SpanKind, set_span_in_context

SCALE = float(os.environ.get("ORVANE_BENCH_PEER_SCALE", "1"))
SPANS_PER_TRACE = 10
NEEDLE = "quokka-lantern-4417"
REQUESTS = 30
WINDOW = 50  # traces checked together: 2,000 events, one GET /events
PREFIX = "/observation"

# The peer's figures for the same scenario.
PEER_EXPORTER = 4_000.0  # spans/s, the SDK's exporter against a no-op receiver
PEER_VISIBLE = 43.0  # spans/s visible in its API
PEER_CPU_MS = 20.0  # server CPU per span
PEER_FIRST_PAGE_MS = 123.0
PEER_SEARCH_MS = 320.0
PEER_RSS_MB = 720.0
PEER_START_S = (16.0, 20.0)


class Trace:
    """One trace as made: its id, its span count, the ids of its spans' events and the span
    times they carry (epoch milliseconds, first and last)."""

    __slots__ = ("trace_id", "spans", "event_ids", "first_ms", "last_ms")

    def __init__(self, trace_id: int, spans: int, event_ids: list[str], first_ms: int, last_ms: int) -> None:
        self.trace_id, self.spans, self.event_ids = trace_id, spans, event_ids
        self.first_ms, self.last_ms = first_ms, last_ms


def traces_of_chats(count: int, tag: str, needle_at: int | None = None) -> tuple[list, list[Trace]]:
    """``count`` chat spans made by the SDK in traces of ``SPANS_PER_TRACE``, in the order they
    ended, and the traces they make. The span number ``needle_at`` carries ``NEEDLE`` in one
    attribute."""
    keep = InMemorySpanExporter()
    provider = TracerProvider(resource=Resource.create({"service.name": f"peer-{tag}",
                                                        "deployment.environment.name": "bench"}))
    provider.add_span_processor(SimpleSpanProcessor(keep))
    tracer = provider.get_tracer("bench.genai", "1.0")
    traces = []
    made = 0
    while made < count:
        n = min(SPANS_PER_TRACE, count - made)
        conv = f"{tag}-conv-{made}"
        started = []
        root = None
        for i in range(n):
            k = made + i
            response_id = f"chatcmpl-{NEEDLE}" if k == needle_at else f"chatcmpl-{tag}-{k}"
            span = tracer.start_span(
                "chat gpt-4o-mini", context=None if root is None else set_span_in_context(root),
                kind=SpanKind.CLIENT, attributes={
                    "gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai",
                    "gen_ai.request.model": "gpt-4o-mini", "gen_ai.request.temperature": 0.2,
                    "gen_ai.request.max_tokens": 512, "gen_ai.request.top_p": 0.9,
                    "gen_ai.response.model": "gpt-4o-mini-2024-07-18", "gen_ai.response.id": response_id,
                    "gen_ai.response.finish_reasons": ("stop",), "gen_ai.usage.input_tokens": 812 + i,
                    "gen_ai.usage.output_tokens": 64, "server.address": "api.openai.com", "server.port": 443,
                    "gen_ai.conversation.id": conv, "gen_ai.output.type": "text"})
            span.add_event("gen_ai.content.prompt", {"gen_ai.prompt": f"Plan day {i + 1} of a trip to Lisbon."})
            span.add_event("gen_ai.content.completion", {"gen_ai.completion": "Alfama, the castle, then Belem."})
            if root is None:
                root = span
            started.append(span)
        for span in started[1:]:
            span.end()
        root.end()
        ids = []
        for span in started:
            ctx = span.get_span_context()
            base = f"otel-{ctx.trace_id:032x}-{ctx.span_id:016x}"
            ids += [base + "-start", base + "-e0", base + "-e1", base + "-end"]
        traces.append(Trace(root.get_span_context().trace_id, n, ids,
                            min(s.start_time for s in started) // 1_000_000,
                            max(s.end_time for s in started) // 1_000_000))
        made += n
    spans = list(keep.get_finished_spans())
    provider.shutdown()
    return spans, traces


class CountingExporter(OTLPSpanExporter):
    """The SDK's exporter, noting when it was first called and which traces' spans were answered."""

    def __init__(self, *args, **kwargs) -> None:
        super().__init__(*args, **kwargs)
        self.first_call: float | None = None
        self.done_spans: dict[int, int] = {}
        self.failed = 0
        self.lock = threading.Lock()

    def export(self, spans):
        if self.first_call is None:
            self.first_call = time.perf_counter()
        result = super().export(spans)
        with self.lock:
            if result is SpanExportResult.SUCCESS:
                for s in spans:
                    tid = s.get_span_context().trace_id
                    self.done_spans[tid] = self.done_spans.get(tid, 0) + 1
            else:
                self.failed += len(spans)
        return result


def export(exporter: CountingExporter, spans: list) -> tuple[float, float]:
    """Spans sent through the batch processor and ``exporter``; (its first export call, the end)."""
    t0, end = send_spans(exporter, spans)
    assert exporter.failed == 0, f"{exporter.failed} spans not delivered"
    return exporter.first_call or t0, end


def window_visible(client: httpx.Client, origin: str, app: str, window: list[Trace]) -> bool:
    """Whether ``GET {prefix}/events`` of the window's time span returns every event of its
    traces (the traces were made one after another, so a window's events fill its span)."""
    params = {"app_id": app, "since": str(window[0].first_ms), "until": str(window[-1].last_ms), "limit": "5000"}
    seen: set[str] = set()
    while True:
        r = client.get(f"{origin}{PREFIX}/events", params=params)
        r.raise_for_status()
        doc = r.json()
        seen.update(e["event_id"] for e in doc["events"])
        if doc["next_cursor"] is None:
            break
        params["cursor"] = doc["next_cursor"]
    return all(seen.issuperset(t.event_ids) for t in window)


def check_all(origin: str, app: str, windows: list[list[Trace]], ready, stop_at: float) -> tuple[float, int]:
    """Checks each window once ``ready(window)`` holds, again (after 20 ms) while it is short of
    events; (the moment the last one was complete, the checks made)."""
    pending = deque(windows)
    asked = 0
    with httpx.Client(timeout=30) as client:
        while pending:
            if time.perf_counter() > stop_at:
                sys.exit(f"{len(pending)} windows of traces not visible in time")
            if not ready(pending[0]):
                time.sleep(0.005)
                continue
            asked += 1
            if window_visible(client, origin, app, pending[0]):
                pending.popleft()
            else:
                time.sleep(0.02)
    return time.perf_counter(), asked


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_time(db: Path, pycache: Path) -> float:
    """Seconds from the launch of ``orvane-devtools start`` on ``db`` until ``/healthz`` answers,
    its modules' bytecode kept in ``pycache`` (as an installed package has it; a source tree run
    with PYTHONDONTWRITEBYTECODE would compile every module at each start)."""
    env = dict(os.environ, PYTHONPYCACHEPREFIX=str(pycache))
    env.pop("PYTHONDONTWRITEBYTECODE", None)
    port = free_port()
    t0 = time.perf_counter()
    proc = subprocess.Popen([sys.executable, "-m", "orvane_devtools", "start", "--port", str(port), "--db", str(db)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    try:
        with httpx.Client(timeout=1) as client:
            while True:
                try:
                    if client.get(f"http://127.0.0.1:{port}/healthz").status_code == 200:
                        return time.perf_counter() - t0
                except httpx.TransportError:
                    pass
                if proc.poll() is not None or time.perf_counter() - t0 > 60:
                    sys.exit("the listener did not answer /healthz")
                time.sleep(0.005)
    finally:
        proc.terminate()
        proc.wait(30)


def vm_hwm_mb(pid: int) -> float:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) / 1024
    raise RuntimeError("no VmHWM")


def timed_gets(client: httpx.Client, url: str, params: dict, check) -> tuple[float, float]:
    """(p50 seconds, p50 ratio to U) of ``REQUESTS`` GETs, each set against U measured beside it."""
    took, ratios = [], []
    for _ in range(REQUESTS):
        u0 = unit_seconds(number=2_000, repeat=3)
        t0 = time.perf_counter()
        r = client.get(url, params=params)
        t = time.perf_counter() - t0
        r.raise_for_status()
        check(r.json())
        u1 = unit_seconds(number=2_000, repeat=3)
        took.append(t)
        ratios.append(t / ((u0 + u1) / 2))
    return percentile(took, 0.5), percentile(ratios, 0.5)


def main() -> None:
    u = unit_seconds()
    total = int(20_000 * SCALE)
    tmp = Path(tempfile.mkdtemp(prefix="bench-otlp-peer-"))
    db = tmp / "peer.sqlite3"
    pycache = tmp / "pycache"
    start_time(tmp / "compile.sqlite3", pycache)  # fills the bytecode cache
    fresh_start = start_time(tmp / "fresh.sqlite3", pycache)

    null, null_url = start_null_receiver()
    null_spans, _ = traces_of_chats(total, "null")

    def null_rate() -> float:
        first, end = export(CountingExporter(endpoint=null_url, timeout=60), null_spans)
        return total / (end - first)

    null_rates = [null_rate()]
    spans, traces = traces_of_chats(total, "peer", needle_at=total // 2 + 3)
    proc, ingest_url = start_listener(db)
    origin = ingest_url.split(PREFIX, 1)[0]
    cpu0 = cpu_seconds(proc.pid)

    exporter = CountingExporter(endpoint=origin + "/v1/traces", timeout=60)
    app = "peer-peer"
    windows = [traces[i:i + WINDOW] for i in range(0, len(traces), WINDOW)]

    def ready(window: list[Trace]) -> bool:
        with exporter.lock:
            return all(exporter.done_spans.get(t.trace_id, 0) >= t.spans for t in window)

    seen: dict = {}

    def checker() -> None:
        seen["visible_at"], seen["asked"] = check_all(origin, app, windows, ready, time.perf_counter() + 900)

    watcher = threading.Thread(target=checker, daemon=True)
    watcher.start()
    first, end = export(exporter, spans)
    watcher.join(900)
    assert "visible_at" in seen, "the checker did not finish"
    visible_at = seen["visible_at"]
    wait_idle(proc.pid)
    cpu_all = cpu_seconds(proc.pid) - cpu0
    # What the checks alone cost the listener: the same checks once more, now all complete.
    cpu1 = cpu_seconds(proc.pid)
    with httpx.Client(timeout=30) as client:
        for window in windows:
            assert window_visible(client, origin, app, window)
    wait_idle(proc.pid)
    cpu_checks = (cpu_seconds(proc.pid) - cpu1) * seen["asked"] / len(windows)
    null_rates.append(null_rate())
    exporter_rate = statistics.mean(null_rates)

    with httpx.Client(timeout=30) as client:
        stats = client.get(f"{origin}{PREFIX}/stats").json()
        assert stats["rejected_total"] == 0, stats

        def page_ok(doc):
            assert len(doc["runs"]) == 100, len(doc["runs"])

        def events_found(doc):
            assert doc["events"] and all(NEEDLE in str(e["payload"]) for e in doc["events"]), doc

        def runs_found(doc):
            assert len(doc["runs"]) == 1, [r["run_id"] for r in doc["runs"]]

        page = timed_gets(client, f"{origin}{PREFIX}/runs", {}, page_ok)
        search_events = timed_gets(client, f"{origin}{PREFIX}/events", {"search": NEEDLE}, events_found)
        search_runs = timed_gets(client, f"{origin}{PREFIX}/runs", {"search": NEEDLE}, runs_found)
    hwm = vm_hwm_mb(proc.pid)
    proc.terminate()
    proc.wait(30)
    full_start = start_time(db, pycache)
    null.terminate()
    shutil.rmtree(tmp, ignore_errors=True)  # the database of 20,000 spans is about 230 MB

    took = visible_at - first
    visible_rate = total / took
    ingest_cpu = max(cpu_all - cpu_checks, 0.0)
    per_k = ingest_cpu / total * 1000
    rows = [
        (f"SDK exporter -> receiver answering 200 without decoding, {total:,} spans, spans/s", None, None,
         f"{exporter_rate:,.0f}/s (peer's run: {PEER_EXPORTER:,.0f}/s)"),
        (f"spans visible in the query API, first export to all {total:,} spans' events returned", None, None,
         f"{took:.1f} s: {visible_rate:,.0f} spans/s = {visible_rate / PEER_VISIBLE:.1f}x the peer's {PEER_VISIBLE:.0f}/s "
         f"(goal >= 40x: {40 * PEER_VISIBLE:,.0f}/s); {visible_rate / exporter_rate:.3f} of the exporter's rate"),
        ("  exporter's end (force_flush returned) to all visible", None, None,
         f"{visible_at - end:.2f} s (goal <= 1 s); {seen['asked']:,} checks of {len(windows):,} windows"),
        ("listener CPU per 1,000 spans (checks left out)", per_k, per_k / u,
         f"{per_k * 1e3:,.0f} ms (peer: {PEER_CPU_MS * 1000:,.0f} ms); with the checks "
         f"{cpu_all / total * 1e6:,.0f} ms"),
        ("GET /runs, first page of 100, p50", page[0], page[1],
         f"{page[0] * 1e3:.1f} ms (peer {PEER_FIRST_PAGE_MS:.0f} ms; goal <= {PEER_FIRST_PAGE_MS / 20:.1f} ms)"),
        ("GET /events?search= (a text in one span's attribute), p50", search_events[0], search_events[1],
         f"{search_events[0] * 1e3:.1f} ms (peer {PEER_SEARCH_MS:.0f} ms; goal <= {PEER_SEARCH_MS / 20:.0f} ms)"),
        ("GET /runs?search= (the same text), p50", search_runs[0], search_runs[1],
         f"{search_runs[0] * 1e3:.1f} ms (peer {PEER_SEARCH_MS:.0f} ms; goal <= {PEER_SEARCH_MS / 20:.0f} ms)"),
        ("start until /healthz answers, fresh database", None, None,
         f"{fresh_start:.2f} s (peer {PEER_START_S[0]:.0f}-{PEER_START_S[1]:.0f} s; goal <= 1.6 s)"),
        (f"start until /healthz answers, {total:,} spans stored", None, None,
         f"{full_start:.2f} s (goal <= 1.6 s)"),
        ("listener peak resident memory (VmHWM)", None, None,
         f"{hwm:,.0f} MB (peer {PEER_RSS_MB:,.0f} MB; goal <= {PEER_RSS_MB / 2:,.0f} MB)"),
    ]
    print(f"U = {u * 1e6:.2f} us; load average {os.getloadavg()[0]:.2f}; orvane-devtools start as it ships")
    report(rows)


if __name__ == "__main__":
    main()
