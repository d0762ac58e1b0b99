"""OtlpTraceSink against a real OTLP/HTTP receiver on 127.0.0.1: what arrives, the wire rules
(retry with Retry-After, final refusals, splitting, partial success), secrets, exit and fork."""

from __future__ import annotations

import asyncio
import json
import logging
import os
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest
from opentelemetry.proto.trace.v1.trace_pb2 import Status
from otlp_helpers import Clock, Receiver, by_run, event, partial_success, run_ctx

from orvane_devtools._demo import _session
from orvane_devtools.observation.backends import Otlp
from orvane_devtools.observation.backends.Otlp import OtlpExportWarning, OtlpTraceSink
from orvane_devtools.observation.TraceSink import RuntimeTraceSink


@pytest.fixture
def receiver():
    r = Receiver()
    r.sinks = []
    yield r
    # Sinks made for the test send what they still hold while the receiver is up, so that no
    # worker goes on retrying against a closed port (or at interpreter exit).
    r.script.clear()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OtlpExportWarning)
        for sink in r.sinks:
            asyncio.run(sink.flush(finish_open_runs=True))
    r.close()


def make_sink(receiver, **kw):
    kw.setdefault("background_flush_interval", 0.01)
    kw.setdefault("endpoint", receiver.url())
    sink = OtlpTraceSink(**kw)
    sink._retry_delay_seconds = 0.05
    sink._max_retry_delay_seconds = 5.0
    receiver.sinks.append(sink)
    return sink


def wait_until(predicate, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def one_run(run_id: str, clock: Clock, *, fail: bool = False, **ctx):
    run = run_ctx(run_id, agent=ctx.pop("agent", "A"), **ctx)
    return [event("agent_task.started", run, clock()),
            event("agent_task.failed" if fail else "agent_task.completed", run, clock())]


def test_a_session_arrives_as_one_trace_with_its_tree(receiver):
    sink = make_sink(receiver)
    assert isinstance(sink, RuntimeTraceSink) and sink.name == "otlp"
    for ev in _session():  # holds two repeated events, as a retrying transport sends them
        sink.append_event_nowait(ev)
    assert receiver.wait_for(lambda r: r.span_count() >= 4)  # the translator's run is still open
    asyncio.run(sink.flush(finish_open_runs=True))
    spans = receiver.spans()
    runs = by_run(spans)
    assert set(runs) == {"run-root", "run-search", "run-summarize", "run-translate"}
    root = runs["run-root"]
    assert len({s["trace_id"] for s in spans}) == 1
    for child in ("run-search", "run-summarize", "run-translate"):
        assert runs[child]["parent_span_id"] == root["span_id"]
    assert runs["run-summarize"]["status_code"] == Status.STATUS_CODE_ERROR
    assert runs["run-summarize"]["attributes"]["error.type"] == "TimeoutError"
    assert runs["run-translate"]["status_message"] == "incomplete"
    assert root["resource"]["service.name"] == "demo-app"
    assert [s["name"] for s in spans].count("execute_tool web_search") == 1
    stats = sink.get_stats()
    assert stats["exported_span_count"] == len(spans) == 5
    assert stats["duplicate_event_count"] == 2 and stats["ready_span_count"] == 0
    headers = receiver.requests[0]["headers"]
    assert headers["content-type"] == "application/x-protobuf"
    assert headers["content-encoding"] == "gzip"
    assert receiver.requests[0]["path"] == "/v1/traces"


def test_json_protocol_without_compression(receiver):
    sink = make_sink(receiver, protocol="http/json", compression="none")
    clock = Clock()
    asyncio.run(sink.append_events(one_run("j", clock)))
    asyncio.run(sink.flush())
    (request,) = receiver.requests
    assert request["headers"]["content-type"] == "application/json"
    assert "content-encoding" not in request["headers"]
    assert json.loads(request["raw"])["resourceSpans"][0]["scopeSpans"][0]["spans"][0]["name"] == "invoke_agent A"
    assert by_run(receiver.spans())["j"]["status_code"] == Status.STATUS_CODE_UNSET


def test_appending_never_waits_for_the_receiver(receiver):
    gate = threading.Event()
    receiver.delay = 0  # the handler below blocks instead
    original = receiver.server.RequestHandlerClass.do_POST

    def blocked(handler):
        gate.wait(10)
        original(handler)

    receiver.server.RequestHandlerClass.do_POST = blocked
    try:
        sink = make_sink(receiver)
        clock = Clock()

        async def feed():
            for i in range(50):
                await sink.append_event(one_run(f"r{i}", clock)[0])
                await sink.append_events(one_run(f"s{i}", clock))

        asyncio.run(feed())
        # Everything was accepted while the receiver still holds its first request.
        assert not gate.is_set()
        assert sink.get_stats()["enqueued_event_count"] == 150
    finally:
        gate.set()
        receiver.server.RequestHandlerClass.do_POST = original
    assert receiver.wait_for(lambda r: r.span_count() >= 50)


def test_retryable_answers_back_off_and_honour_retry_after(receiver):
    receiver.script = [(503, {"Retry-After": "1"}, b""), (429, {}, b"")]
    sink = make_sink(receiver)
    clock = Clock()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        sink.append_events_nowait(one_run("r", clock))
        assert receiver.wait_for(lambda r: len(r.requests) >= 3, timeout=20)
    times = [r["at"] for r in receiver.requests]
    assert times[1] - times[0] >= 0.9, "the second attempt came before Retry-After allowed"
    # The same span three times: the request is sent again, whole, until it is accepted.
    assert [list(by_run(plain_of(q))) for q in receiver.requests] == [["r"], ["r"], ["r"]]
    assert wait_until(lambda: sink.get_stats()["exported_span_count"] == 1)
    stats = sink.get_stats()
    assert stats["export_failure_count"] == 2
    assert stats["last_failure"].startswith("HTTP 429")
    outage = [w for w in caught if issubclass(w.category, OtlpExportWarning)]
    assert len(outage) == 1, "one warning per outage"


def _refused_then_accepted(receiver):
    """Sends a run the receiver refuses for good (with the warning), then one it accepts; gives
    the sink once both requests arrived and no third one followed."""
    sink = make_sink(receiver)
    clock = Clock()
    with pytest.warns(OtlpExportWarning, match="refused a request for good"):
        sink.append_events_nowait(one_run("bad", clock))
        assert receiver.wait_for(lambda r: len(r.requests) >= 1)
        asyncio.run(sink.flush())
    sink.append_events_nowait(one_run("good", clock))
    assert receiver.wait_for(lambda r: len(r.requests) >= 2)
    asyncio.run(sink.flush())
    time.sleep(0.2)
    assert len(receiver.requests) == 2
    return sink


def test_a_final_refusal_drops_the_request_and_is_never_retried(receiver):
    receiver.script = [(400, {}, b"")]
    sink = _refused_then_accepted(receiver)
    assert "good" in by_run(plain_of(receiver.requests[1]))
    stats = sink.get_stats()
    assert stats["dropped_request_span_count"] == 1 and stats["exported_span_count"] == 1
    assert stats["export_failure_count"] == 0
    assert stats["last_failure"].startswith("HTTP 400")


def test_answers_whose_texts_are_not_utf8_keep_their_meaning(receiver):
    # google.rpc.Status {message: b"bad \xff\xfe tenant"}, and a partial success whose
    # error_message holds bytes that are not UTF-8: a refusal stays final, an acceptance stays
    # an acceptance, and the texts are shown with U+FFFD.
    status = b"\x12\x0d" + b"bad \xff\xfe tenant"
    accepted = b"\x0a\x0a\x08\x01\x12\x06ok \xc3\x28!"
    receiver.script = [(400, {}, status), (200, {}, accepted)]
    sink = _refused_then_accepted(receiver)
    stats = sink.get_stats()
    assert stats["dropped_request_span_count"] == 1 and stats["export_failure_count"] == 0
    assert stats["last_failure"].startswith("HTTP 400") and "bad \ufffd\ufffd tenant" in stats["last_failure"]
    assert stats["exported_span_count"] == 1 and stats["partial_success_count"] == 1
    assert stats["rejected_span_count"] == 1 and stats["last_partial_success"] == "ok \ufffd(!"


def plain_of(request):
    from otlp_helpers import plain_spans

    return plain_spans(request["message"])


def test_too_large_requests_are_split_into_halves_in_queue_order(receiver):
    clock = Clock()
    sink = make_sink(receiver)
    receiver.script = [(413, {}, b"")] * 2  # the batch of four, then its first half
    with sink._flush_lock:  # four runs wait for one batch
        for i in range(4):
            sink.append_events_nowait(one_run(f"r{i}", clock))
    asyncio.run(sink.flush())
    assert receiver.wait_for(lambda r: r.span_count() >= 10)
    sizes = [[s["attributes"]["orvane.run.id"] for s in plain_of(r)] for r in receiver.requests]
    assert sizes == [["r0", "r1", "r2", "r3"], ["r0", "r1"], ["r0"], ["r1"], ["r2", "r3"]]
    assert sink.get_stats()["exported_span_count"] == 4


def test_a_single_span_refused_as_too_large_is_set_aside(receiver):
    receiver.script = [(413, {}, b"")] * 3
    sink = make_sink(receiver)
    clock = Clock()
    with pytest.warns(OtlpExportWarning, match="refused even alone"):
        with sink._flush_lock:
            sink.append_events_nowait(one_run("a", clock) + one_run("b", clock))
        asyncio.run(sink.flush())
    stats = sink.get_stats()
    assert stats["refused_span_count"] == 2 and stats["exported_span_count"] == 0
    sink.append_events_nowait(one_run("c", clock))
    assert receiver.wait_for(lambda r: any("c" in by_run(plain_of(q)) for q in r.requests))


def test_partial_success_is_counted_not_retried(receiver):
    receiver.script = [(200, {}, partial_success(2, "two spans lacked a name"))]
    sink = make_sink(receiver)
    clock = Clock()
    with sink._flush_lock:
        sink.append_events_nowait(one_run("a", clock) + one_run("b", clock) + one_run("c", clock))
    asyncio.run(sink.flush())
    stats = sink.get_stats()
    assert stats["rejected_span_count"] == 2 and stats["partial_success_count"] == 1
    assert stats["last_partial_success"] == "two spans lacked a name"
    assert stats["exported_span_count"] == 3
    assert len(receiver.requests) == 1


def test_a_receiver_that_is_down_gets_the_spans_when_it_is_back(receiver):
    port = receiver.port
    receiver.close()
    clock = Clock()
    sink = make_sink(receiver, endpoint=f"http://127.0.0.1:{port}/v1/traces")
    receiver.sinks.remove(sink)
    sink._max_retry_delay_seconds = 0.2
    with pytest.warns(OtlpExportWarning, match="could not export spans"):
        sink.append_events_nowait(one_run("late", clock))
        assert wait_until(lambda: sink.get_stats()["export_failure_count"] > 0)
    assert sink.get_stats()["ready_span_count"] == 1
    back = Receiver(port)
    try:
        sink.append_events_nowait(one_run("later", clock))
        assert back.wait_for(lambda r: r.span_count() >= 2, timeout=15)
        assert set(by_run(back.spans())) == {"late", "later"}
    finally:
        back.close()


def test_credentials_and_header_values_never_show(receiver):
    url = receiver.url().replace("http://", "http://alice:s3cr3t-pw@") + "?api_key=k-123456"
    sink = make_sink(receiver, endpoint=url, headers={"x-api-key": "hdr-secret-9"})
    receiver.script = [(503, {}, b"bad key hdr-secret-9 for alice:s3cr3t-pw")]
    clock = Clock()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        sink.append_events_nowait(one_run("r", clock))
        assert receiver.wait_for(lambda r: len(r.requests) >= 1)
        assert wait_until(lambda: sink.get_stats()["export_failure_count"] > 0)
    shown = json.dumps(sink.get_stats(), default=str) + " ".join(str(w.message) for w in caught)
    for secret in ("s3cr3t-pw", "hdr-secret-9", "k-123456"):
        assert secret not in shown
    request = receiver.requests[0]
    assert request["headers"]["x-api-key"] == "hdr-secret-9"
    assert request["headers"]["authorization"].startswith("Basic ")
    assert "alice" not in request["path"] and "api_key=k-123456" in request["path"]


def test_header_values_in_the_endpoint_never_show_in_logs_warnings_or_stats(receiver, caplog):
    # A receiver that takes its key both ways: as a header and in the URL, under query names and
    # path pieces that look harmless, and a bearer token whose bare value is in the URL too.
    path = "/t/bare-token-77x/v1/traces?tenant=hdr-secret-9&api_key=k-123456&region=eu"
    sink = make_sink(receiver, endpoint=receiver.url(path),
                     headers={"x-api-key": "hdr-secret-9", "Authorization": "Bearer bare-token-77x"})
    receiver.script = [(503, {}, b"no tenant hdr-secret-9 (token bare-token-77x)")]
    clock = Clock()
    with caplog.at_level(logging.INFO), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        sink.append_events_nowait(one_run("a", clock))
        assert receiver.wait_for(lambda r: len(r.requests) >= 1)
        assert wait_until(lambda: sink.get_stats()["export_failure_count"] > 0)
        asyncio.run(sink.flush())
        assert wait_until(lambda: sink.get_stats()["exported_span_count"] == 1)
    logged = [r.getMessage() for r in caplog.records if r.name.startswith("httpx")]
    assert any("HTTP Request: POST http://127.0.0.1:" in line and "503" in line for line in logged)
    assert any("200 OK" in line for line in logged)
    stats = sink.get_stats()
    shown = [*logged, *(str(w.message) for w in caught), json.dumps(stats, default=str)]
    for text in shown:
        for secret in ("hdr-secret-9", "bare-token-77x", "k-123456"):
            assert secret not in text, text
    assert stats["endpoint"] == receiver.url("/t/***/v1/traces?tenant=***&api_key=***&region=eu")
    # The receiver still gets the endpoint and the headers as configured.
    assert {r["path"] for r in receiver.requests} == {path}
    assert receiver.requests[-1]["headers"]["authorization"] == "Bearer bare-token-77x"


def test_stale_and_orphaned_runs_leave_with_their_reason(receiver, monkeypatch):
    sink = make_sink(receiver, orphan_after_seconds=30)
    t0 = 1_800_000_000_000
    root = run_ctx("root")
    child = run_ctx("child", parent="root")
    sink.append_events_nowait([event("agent_task.started", root, t0), event("agent_task.started", child, t0 + 1),
                               event("agent_task.completed", root, t0 + 2)])
    assert receiver.wait_for(lambda r: r.span_count() >= 1)

    class Later:
        def __getattr__(self, name):
            return getattr(time, name)

        @staticmethod
        def time():
            return (t0 + 2 + 30_000) / 1000

    monkeypatch.setattr(Otlp, "time", Later())
    sink.append_events_nowait([event("other.started", run_ctx("x"), t0 + 3)])  # wakes a run
    assert receiver.wait_for(lambda r: r.span_count() >= 2)
    orphan = by_run(receiver.spans())["child"]
    assert orphan["status_message"] == "orphaned_after_ancestor_terminal"
    assert sink.get_stats()["orphaned_run_count"] == 1


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        ({"endpoint": "ftp://h/x"}, ValueError, "http:// or https://"),
        ({"endpoint": "http://h:70000/v1/traces"}, ValueError, "1-65535"),
        ({"endpoint": 5}, TypeError, "Argument 'endpoint' has incorrect type"),
        ({"timeout": 0}, ValueError, "greater than 0"),
        ({"timeout": float("inf")}, ValueError, "finite"),
        ({"protocol": "grpc"}, ValueError, "'http/protobuf' or 'http/json'"),
        ({"compression": "zstd"}, ValueError, "'gzip' or 'none'"),
        ({"headers": "novalue"}, ValueError, "name=value"),
        ({"headers": {"bad name": "v"}}, ValueError, "not a valid header name"),
        ({"headers": {"x": "a\r\nInjected: 1"}}, ValueError, "line break"),
        ({"headers": {"x": 1}}, TypeError, "Argument 'headers' has incorrect type"),
        ({"headers": 3}, TypeError, "Argument 'headers' has incorrect type"),
        ({"buffer_limit": "many"}, TypeError, "Argument 'buffer_limit' has incorrect type"),
    ],
)
def test_bad_settings_are_refused_by_the_constructor(kwargs, error, text):
    with pytest.raises(error, match=text):
        OtlpTraceSink(**kwargs)


def test_headers_as_text_are_split_and_percent_decoded(receiver):
    sink = make_sink(receiver, headers=" api-key = a%20b%2Cc , tenant=t1,")
    sink.append_events_nowait(one_run("r", Clock()))
    assert receiver.wait_for(lambda r: len(r.requests) >= 1)
    h = receiver.requests[0]["headers"]
    assert h["api-key"] == "a b,c" and h["tenant"] == "t1"
    assert OtlpTraceSink().endpoint == "http://127.0.0.1:4318/v1/traces"


def _run_script(script: str, *args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script), *args], capture_output=True,
                          text=True, timeout=timeout)


def test_runs_open_at_exit_are_sent_as_incomplete(receiver):
    """A process that exits with work pending: finished runs and still-open runs arrive, the
    open ones ended at exit with status error "incomplete"."""
    out = _run_script("""
        import sys, threading
        from orvane_devtools._orvane_compat import RuntimeEvent
        from orvane_devtools.observation.backends.Otlp import OtlpTraceSink
        sink = OtlpTraceSink(endpoint=sys.argv[1], background_flush_interval=5.0)
        def spin():
            while True:
                sum(range(1000))
        for _ in range(8):
            threading.Thread(target=spin, daemon=True).start()
        for i in range(200):
            run = {"run_id": f"r{i}", "run_kind": "agent_task", "agent_name": "A"}
            sink.append_event_nowait(RuntimeEvent(event_type="agent_task.started", run=run))
            if i % 2:
                sink.append_event_nowait(RuntimeEvent(event_type="agent_task.completed", run=run))
    """, receiver.url())
    assert out.returncode == 0, out.stderr
    assert "Exception ignored" not in out.stderr, out.stderr
    runs = by_run(receiver.spans())
    assert len(runs) == 200
    incomplete = {k for k, s in runs.items() if s["status_message"] == "incomplete"}
    assert incomplete == {f"r{i}" for i in range(0, 200, 2)}


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_exports_only_its_own_runs(receiver):
    out = _run_script("""
        import asyncio, os, sys
        from orvane_devtools._orvane_compat import RuntimeEvent
        from orvane_devtools.observation.backends.Otlp import OtlpTraceSink
        sink = OtlpTraceSink(endpoint=sys.argv[1], background_flush_interval=0.01)
        def run(rid):
            r = {"run_id": rid, "run_kind": "agent_task"}
            return [RuntimeEvent(event_type="agent_task.started", run=r),
                    RuntimeEvent(event_type="agent_task.completed", run=r)]
        with sink._flush_lock:
            sink.append_events_nowait(run("parent-1") + [run("open-in-parent")[0]])
        pid = os.fork()
        if pid == 0:
            st = sink.get_stats()
            assert st["pending_event_count"] == 0 and st["enqueued_event_count"] == 0, st
            sink.append_events_nowait(run("child-1"))
            asyncio.run(sink.flush())
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        assert status == 0
        asyncio.run(sink.flush())
    """, receiver.url())
    assert out.returncode == 0, out.stderr
    runs = by_run(receiver.spans())  # by_run fails on a run that arrives twice
    assert set(runs) == {"parent-1", "child-1", "open-in-parent"}
    assert runs["open-in-parent"]["status_message"] == "incomplete"


def test_queued_events_do_not_see_later_changes_of_the_callers_mappings(receiver):
    sink = make_sink(receiver)
    run = run_ctx("r", agent="A", meta={"flow_name": "first"})
    started = event("agent_task.started", run, 1, payload={"q": "original"}, meta={"app_id": "app-1"})
    with sink._flush_lock:  # nothing is read before the changes below
        sink.append_events_nowait([started, event("agent_task.completed", run, 2)])
        started.payload["q"] = "changed"
        started.meta["app_id"] = "app-2"
        started.run.meta["flow_name"] = "second"
    asyncio.run(sink.flush())
    span = by_run(receiver.spans())["r"]
    assert json.loads(span["events"][0]["attributes"]["orvane.event.payload"]) == {"q": "original"}
    assert span["resource"]["service.name"] == "app-1"
    assert span["attributes"]["orvane.flow.name"] == "first"


def test_queued_captures_stay_out_of_the_cycle_collector_and_leak_nothing(receiver):
    """A burst of events must not fill the collector's generations with the sink's own captures,
    and what a capture holds (a copy of the payload, the caller's values in it) stays collectable."""
    import gc
    import weakref

    class Node:
        pass

    sink = make_sink(receiver)
    cyclic = Node()
    cyclic.self = cyclic  # only the cycle collector can free it
    alive = weakref.ref(cyclic)
    run = run_ctx("gc-run", agent="A", meta={"flow_name": "f"})
    started = event("agent_task.started", run, 1, payload={"node": cyclic, "items": [1, 2]},
                    meta={"app_id": "app-1"})
    event_id = started.event_id
    with sink._flush_lock:  # nothing is read meanwhile
        sink.append_events_nowait([started, event("agent_task.completed", run, 2)])
        captured = [o for o in gc.get_objects() if type(o) is tuple and o and o[0] == event_id]
        assert captured == []
        assert gc.is_tracked(started.payload)  # the caller's own objects are untouched
    del started, cyclic
    asyncio.run(sink.flush())
    assert "gc-run" in by_run(receiver.spans())
    gc.collect()
    assert alive() is None


def test_a_full_queue_drops_high_frequency_events_first_and_counts_coalesced_ones(receiver):
    sink = make_sink(receiver, buffer_limit=4)
    run = run_ctx("r")
    clock = Clock()
    with sink._flush_lock:  # the worker cannot fold while the queue fills
        sink.append_events_nowait([
            event("agent_task.started", run, clock()),
            event("stream.delta", run, clock()),
            event("agent_task.progress", run, clock(), payload={}, meta={"coalesced": True, "coalesced_count": 7}),
            event("stream.delta", run, clock()),
            event("agent_task.completed", run, clock()),
            event("agent_task.progress", run, clock()),
        ])
        stats = sink.get_stats()
    # The oldest high-frequency entries went: the first delta, then the coalesced progress event.
    assert stats["dropped_event_count"] == 2 and stats["dropped_high_frequency_event_count"] == 2
    assert stats["dropped_terminal_event_count"] == 0
    assert stats["coalesced_event_count"] == 1 and stats["coalesced_item_count"] == 7
    asyncio.run(sink.flush(finish_open_runs=True))
    runs = by_run(receiver.spans())
    assert runs["r"]["attributes"]["orvane.run.stream_delta_count"] == 1
    assert [e["name"] for e in runs["r"]["events"]] == ["agent_task.started", "agent_task.completed"]
    # The progress event after the end continues the run in a span of its own.
    assert [e["name"] for e in runs["r#1"]["events"]] == ["agent_task.progress"]


def test_json_answers_are_read_for_partial_success_and_failure_detail(receiver):
    receiver.script = [
        (503, {"Retry-After": "0"}, b'{"code": 14, "message": "collector overloaded"}'),
        (200, {}, b'{"partialSuccess": {"rejectedSpans": "1", "errorMessage": "span without name"}}'),
    ]
    sink = make_sink(receiver, protocol="http/json")
    clock = Clock()
    with pytest.warns(OtlpExportWarning, match="collector overloaded"):
        sink.append_events_nowait(one_run("a", clock))
        assert wait_until(lambda: sink.get_stats()["partial_success_count"] == 1)
    stats = sink.get_stats()
    assert stats["rejected_span_count"] == 1 and stats["last_partial_success"] == "span without name"
    assert "HTTP 503" in stats["last_failure"] and "collector overloaded" in stats["last_failure"]
