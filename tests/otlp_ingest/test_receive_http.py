"""``POST /v1/traces``, ``/v1/logs`` and ``/v1/metrics`` on a real listener process: encodings,
content codings, the size limit after inflating, the answers and their encodings, the key and
the Host rule."""

from __future__ import annotations

import gzip
import json
import zlib

import pytest
from google.rpc.status_pb2 import Status
from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceResponse
from opentelemetry.proto.collector.metrics.v1.metrics_service_pb2 import (
    ExportMetricsServiceRequest,
    ExportMetricsServiceResponse,
)
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceResponse
from otlp_ingest_helpers import (
    json_body,
    log_record,
    logs_request,
    rss_peak_kb,
    sid,
    span,
    tid,
    trace_request,
    wait_until,
)

PB = "application/x-protobuf"
JSON = "application/json"


def one_span(n: int = 1, **kw):
    return trace_request([span(tid(n), sid(n), name=f"op-{n}", **kw)])


@pytest.mark.timeout(120)
def test_protobuf_and_json_bodies_are_answered_in_their_own_encoding(listener):
    r = listener.post("/v1/traces", one_span(1).SerializeToString())
    assert r.status_code == 200 and r.headers["content-type"] == PB
    assert r.content == b"" and ExportTraceServiceResponse.FromString(r.content) == ExportTraceServiceResponse()
    r = listener.post("/v1/traces", json_body(one_span(2)), "application/json; charset=utf-8")
    assert r.status_code == 200 and r.headers["content-type"].startswith(JSON) and r.json() == {}
    r = listener.post("/v1/traces", one_span(3).SerializeToString(), "Application/X-Protobuf; proto=x")
    assert r.status_code == 200
    for n in (1, 2, 3):
        run = wait_until(lambda n=n: listener.run(f"otel-{tid(n)}-{sid(n)}"))
        assert run["run_kind"] == "span" and run["status"] == "completed"
        assert run["meta"]["otel.span_name"] == f"op-{n}" and run["meta"]["app_id"] == "svc-a"


@pytest.mark.timeout(120)
def test_json_with_base64_ids_and_unknown_fields(listener):
    doc = json.loads(json_body(one_span(4)))
    s = doc["resourceSpans"][0]["scopeSpans"][0]["spans"][0]
    s["traceId"] = "AAAAAAAAAAAAAAAAAAAABA=="  # 16 bytes ending in 4, as base64
    s["spanId"] = "AAAAAAAAAAQ="
    s["someFutureField"] = {"x": 1}
    s["startTimeUnixNano"] = int(s["startTimeUnixNano"])  # a 64-bit integer as a number
    r = listener.post("/v1/traces", json.dumps(doc).encode(), JSON)
    assert r.status_code == 200, r.text
    assert wait_until(lambda: listener.run(f"otel-{tid(4)}-{sid(4)}"))


@pytest.mark.timeout(120)
def test_gzip_identity_and_refused_codings(listener):
    body = one_span(5).SerializeToString()
    assert listener.post("/v1/traces", gzip.compress(body), **{"Content-Encoding": "gzip"}).status_code == 200
    assert listener.post("/v1/traces", one_span(6).SerializeToString(),
                         **{"Content-Encoding": "identity"}).status_code == 200
    two_members = gzip.compress(body[:10]) + gzip.compress(body[10:])
    assert listener.post("/v1/traces", two_members, **{"Content-Encoding": "GZIP"}).status_code == 200
    r = listener.post("/v1/traces", body, **{"Content-Encoding": "br"})
    assert r.status_code == 415 and r.json()["code"] == 3 and "br" in r.json()["message"]
    r = listener.post("/v1/traces", b"not gzip at all", **{"Content-Encoding": "gzip"})
    assert r.status_code == 400 and r.headers["content-type"] == PB
    assert Status.FromString(r.content).code == 3
    r = listener.post("/v1/traces", gzip.compress(body)[:-12], **{"Content-Encoding": "gzip"})
    assert r.status_code == 400 and "cut short" in Status.FromString(r.content).message
    for n in (5, 6):
        assert wait_until(lambda n=n: listener.run(f"otel-{tid(n)}-{sid(n)}"))


@pytest.mark.timeout(120)
def test_other_content_types_get_415(listener):
    body = one_span(7).SerializeToString()
    for ctype in ("text/plain", "application/protobuf-ish", "application/jsonx", ""):
        r = listener.post("/v1/traces", body, ctype)
        assert r.status_code == 415, ctype
        assert r.headers["content-type"] == JSON and r.json()["code"] == 3
    with listener.client() as c:
        assert c.post(listener.origin + "/v1/traces", content=body).status_code == 415
        assert c.get(listener.origin + "/v1/traces").status_code == 405


@pytest.mark.timeout(120)
def test_an_undecodable_body_is_a_final_400_with_a_status_in_the_requests_encoding(listener):
    r = listener.post("/v1/traces", b"\x0a\xff\xff\xff\xff\x0f")  # a length far past the end
    assert r.status_code == 400 and r.headers["content-type"] == PB
    status = Status.FromString(r.content)
    assert status.code == 3 and "traces" in status.message
    r = listener.post("/v1/logs", b"{not json", JSON)
    assert r.status_code == 400 and r.headers["content-type"] == JSON
    assert r.json()["code"] == 3 and "logs" in r.json()["message"]


def padded(message, size: int) -> bytes:
    """The message with an unknown bytes field (number 15) added so that it is ``size`` bytes."""
    body = message.SerializeToString()
    for pad in range(size - len(body) - 8, size - len(body) + 1):
        if pad < 0:
            continue
        field = bytes([15 << 3 | 2]) + _varint(pad) + b"\0" * pad
        if len(body) + len(field) == size:
            return body + field
    raise AssertionError("no padding fits")


def _varint(n: int) -> bytes:
    out = bytearray()
    while True:
        if n < 0x80:
            out.append(n)
            return bytes(out)
        out.append((n & 0x7F) | 0x80)
        n >>= 7


@pytest.mark.timeout(180)
def test_the_size_limit_counts_inflated_bytes_and_a_gzip_bomb_stays_small(start_listener):
    limit = 1024 * 1024
    listener = start_listener("--max-body", str(limit))
    at = padded(one_span(8), limit)
    over = padded(one_span(9), limit + 1)
    assert listener.post("/v1/traces", at).status_code == 200
    r = listener.post("/v1/traces", over)
    assert r.status_code == 413 and Status.FromString(r.content).code == 8
    # Compressed, the same bodies weigh a few kilobytes: the inflated size decides.
    assert listener.post("/v1/traces", gzip.compress(at), **{"Content-Encoding": "gzip"}).status_code == 200
    r = listener.post("/v1/traces", gzip.compress(over), **{"Content-Encoding": "gzip"})
    assert r.status_code == 413
    r = listener.post("/v1/traces", json_body(one_span(10)) + b" " * limit, JSON)
    assert r.status_code == 413 and r.headers["content-type"] == JSON and r.json()["code"] == 8
    # A bomb: 1 GiB of zeros in about a megabyte, under the limit as it travels.
    before = rss_peak_kb(listener.pid())
    packer = zlib.compressobj(9, zlib.DEFLATED, 16 + zlib.MAX_WBITS)
    zeros = b"\0" * (1 << 20)
    bomb = b"".join(packer.compress(zeros) for _ in range(1024)) + packer.flush()
    assert len(bomb) < limit
    r = listener.post("/v1/traces", bomb, **{"Content-Encoding": "gzip"})
    assert r.status_code == 413
    grown = rss_peak_kb(listener.pid()) - before
    assert grown < 64 * 1024, f"the listener's peak memory grew by {grown} KiB"
    assert listener.run(f"otel-{tid(8)}-{sid(8)}") is not None


@pytest.mark.timeout(120)
def test_partial_success_names_the_refused_spans_and_keeps_the_rest(listener):
    good, short_trace, zero_span = span(tid(11), sid(11)), span(tid(12), sid(12)), span(tid(13), sid(13))
    short_trace.trace_id = b"\x01" * 15
    zero_span.span_id = b"\0" * 8
    req = trace_request([good, short_trace, zero_span])
    r = listener.post("/v1/traces", req.SerializeToString())
    assert r.status_code == 200
    partial = ExportTraceServiceResponse.FromString(r.content).partial_success
    assert partial.rejected_spans == 2
    assert "2 span(s) rejected" in partial.error_message and "trace_id" in partial.error_message
    assert "span_id" in partial.error_message
    r = listener.post("/v1/traces", json_body(req), JSON)
    assert r.json() == {"partialSuccess": {"rejectedSpans": "2", "errorMessage": partial.error_message}}
    assert wait_until(lambda: listener.run(f"otel-{tid(11)}-{sid(11)}"))
    # Log records likewise.
    bad = log_record("bad")
    bad.trace_id = b"\x02" * 17
    r = listener.post("/v1/logs", logs_request([log_record("fine"), bad]).SerializeToString())
    partial = ExportLogsServiceResponse.FromString(r.content).partial_success
    assert r.status_code == 200 and partial.rejected_log_records == 1 and "log record 1" in partial.error_message


@pytest.mark.timeout(120)
def test_metrics_are_accepted_and_not_kept(listener):
    r = listener.post("/v1/metrics", ExportMetricsServiceRequest().SerializeToString())
    assert r.status_code == 200 and r.headers["content-type"] == PB
    partial = ExportMetricsServiceResponse.FromString(r.content).partial_success
    assert partial.rejected_data_points == 0 and "not kept" in partial.error_message
    r = listener.post("/v1/metrics", b"{}", JSON)
    assert r.status_code == 200 and r.json() == {"partialSuccess": {"errorMessage": partial.error_message}}
    assert listener.post("/v1/metrics", b"{}", "text/plain").status_code == 415


@pytest.mark.timeout(120)
def test_an_export_sent_again_is_stored_once(listener):
    req = trace_request([span(tid(14), sid(14), events=[(0, "tick", {"n": 1})])]).SerializeToString()
    for _ in range(3):
        assert listener.post("/v1/traces", req).status_code == 200
    run_id = f"otel-{tid(14)}-{sid(14)}"
    wait_until(lambda: listener.run(run_id))
    assert listener.run(run_id)["event_count"] == 3
    assert [e["event_type"] for e in listener.events(run_id)] == ["span.started", "tick", "span.completed"]
    with listener.client() as c:
        stats = c.get(f"{listener.api}/stats").json()
    assert stats["duplicates_total"] == 6 and stats["ingested_total"] == 3


@pytest.mark.timeout(120)
def test_the_key_and_the_host_rule(start_listener):
    listener = start_listener(api_key="s3cret-key")
    body = one_span(15).SerializeToString()
    import httpx

    for path in ("/v1/traces", "/v1/logs", "/v1/metrics"):
        r = httpx.post(listener.origin + path, content=body, headers={"Content-Type": PB}, timeout=10)
        assert r.status_code == 401, path
        r = httpx.post(listener.origin + path, content=body, timeout=10,
                       headers={"Content-Type": PB, "Authorization": "Bearer wrong-key"})
        assert r.status_code == 401
    assert listener.post("/v1/traces", body).status_code == 200
    r = listener.post("/v1/traces", body, Host="attacker.example")
    assert r.status_code == 400
