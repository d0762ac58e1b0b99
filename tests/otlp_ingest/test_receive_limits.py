"""How many items one OTLP request may hold: the readers' bounds at their edges (the native
protobuf reader and the JSON reader count alike and stop as soon as a bound is passed), and the
413 of a real listener process for a body of tiny items that the body limit alone lets through,
with the listener's peak memory while it refuses one."""

from __future__ import annotations

import gzip
import subprocess
import sys

import pytest
from google.rpc.status_pb2 import Status
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.proto.trace.v1.trace_pb2 import Span
from otlp_decode_helpers import ld, to_json
from otlp_ingest_helpers import log_record, logs_request, rss_peak_kb, sid, span, tid, trace_request, wait_until

from orvane_devtools.listener.config import DEFAULT_MAX_BODY, DEFAULT_MAX_ITEMS, PARTS_PER_ITEM
from orvane_devtools.listener.Ingest import _decode_otlp_logs, _decode_otlp_traces
from orvane_devtools.listener.otlp.body import TooManyItems
from orvane_devtools.listener.otlp.json_body import decode_json_logs, decode_json_traces

PB = "application/x-protobuf"
JSON = "application/json"

TRACES = {"protobuf": (_decode_otlp_traces, lambda m: m.SerializeToString()),
          "json": (decode_json_traces, to_json)}
LOGS = {"protobuf": (_decode_otlp_logs, lambda m: m.SerializeToString()),
        "json": (decode_json_logs, to_json)}


def spans(n: int, first: int = 1, **kw) -> list[Span]:
    return [span(tid(first + i), sid(first + i), **kw) for i in range(n)]


def too_many(decode, body: bytes, **limits) -> TooManyItems:
    with pytest.raises(TooManyItems) as info:
        decode(body, **limits)
    return info.value


# -- the readers -------------------------------------------------------------------------------


@pytest.mark.parametrize("road", sorted(TRACES))
def test_spans_events_and_links_are_each_bounded_at_the_limit(road):
    decode, encode = TRACES[road]
    # Three resource groups: the count runs across the whole request, not per list.
    req = ExportTraceServiceRequest(resource_spans=[trace_request(spans(2, 1 + 2 * g)).resource_spans[0]
                                                    for g in range(3)])
    assert len(decode(encode(req), max_items=6)) == 6
    e = too_many(decode, encode(req), max_items=5)
    assert (e.what, e.limit, str(e)) == ("spans", 5, "more than 5 spans")

    events = [(0, f"e{i}", {}) for i in range(4)]
    req = trace_request(spans(2, events=events))  # 8 events, in two spans
    assert [len(s["events"]) for s in decode(encode(req), max_items=8)] == [4, 4]
    assert (too_many(decode, encode(req), max_items=7).what) == "span events"

    req = trace_request(spans(2))
    for s in req.resource_spans[0].scope_spans[0].spans:
        for i in range(3):
            s.links.add(trace_id=bytes.fromhex(tid(90)), span_id=bytes.fromhex(sid(90 + i)))
    assert [len(s["links"]) for s in decode(encode(req), max_items=6)] == [3, 3]
    assert too_many(decode, encode(req), max_items=5).what == "span links"
    # No bound given: none.
    assert len(decode(encode(req))) == 2


@pytest.mark.parametrize("road", sorted(TRACES))
def test_parts_count_attributes_list_elements_and_groups_across_the_request(road):
    decode, encode = TRACES[road]
    # 1 resource group + 1 scope group + 1 resource attribute + 2 span attributes, one an array
    # of 3 elements (3) and one a key-value list of 2 entries (2), + 1 event attribute = 11.
    req = trace_request(spans(1, attributes={"a": [1, 2, 3], "b": {"x": 1, "y": "z"}},
                              events=[(0, "e", {"k": True})]))
    assert len(decode(encode(req), max_parts=11)) == 1
    e = too_many(decode, encode(req), max_parts=10)
    assert (e.what, e.limit) == ("parts", 10)


@pytest.mark.parametrize("road", sorted(LOGS))
def test_log_records_and_their_parts_are_bounded(road):
    decode, encode = LOGS[road]
    req = logs_request([log_record(f"line {i}", attributes={"i": i}) for i in range(4)])
    assert len(decode(encode(req), max_items=4, max_parts=7)) == 4  # 2 groups + 1 + 4 attributes
    assert too_many(decode, encode(req), max_items=3).what == "log records"
    assert too_many(decode, encode(req), max_parts=6).what == "parts"
    # A body's array elements count too.
    req = logs_request([log_record(["a", "b", "c"])])
    assert too_many(decode, encode(req), max_parts=5).what == "parts"
    assert len(decode(encode(req), max_parts=6)) == 1


def test_the_native_reader_stops_at_the_first_item_over_the_limit():
    """Over the bound, the rest of the body is not read: bytes that are no protobuf after the
    item that went over give TooManyItems, not a decode error (a reader that built the whole
    request first would fail on them)."""
    good = ld(2, ld(1, bytes.fromhex(tid(1))) + ld(2, bytes.fromhex(sid(1))))
    broken = b"\xff\xff\xff"  # a varint cut short
    body = ld(1, ld(2, good * 3)) + broken
    assert too_many(_decode_otlp_traces, body, max_items=2).what == "spans"
    with pytest.raises(ValueError, match="truncated"):
        _decode_otlp_traces(body, max_items=3)
    # Events over the bound in the first span, the broken bytes after it.
    one = ld(1, bytes.fromhex(tid(1))) + ld(2, bytes.fromhex(sid(1))) + ld(11, b"") * 3
    body = ld(1, ld(2, ld(2, one))) + broken
    assert too_many(_decode_otlp_traces, body, max_items=2).what == "span events"
    with pytest.raises(ValueError, match="truncated"):
        _decode_otlp_traces(body, max_items=3)


def test_the_protobuf_reader_counts_repaired_texts_and_entity_refs():
    """A text that is not UTF-8 needs storage of its own even when its field is set again and
    again (the last one wins), so each one counts; so do entity refs and their keys."""
    name = ld(5, b"\xff")  # span name, repaired to U+FFFD
    one = ld(1, bytes.fromhex(tid(1))) + ld(2, bytes.fromhex(sid(1))) + name * 10
    body = ld(1, ld(2, ld(2, one)))
    assert _decode_otlp_traces(body, max_parts=12)[0]["name"] == "\ufffd"  # 2 groups + 10 texts
    assert too_many(_decode_otlp_traces, body, max_parts=11).what == "parts"
    resource = ld(3, ld(2, b"host") + ld(3, b"host.id") * 3)  # one entity ref with 3 id keys
    body = ld(1, ld(1, resource) + ld(2, ld(2, one[: -len(name) * 10])))
    assert len(_decode_otlp_traces(body, max_parts=6)) == 1
    assert too_many(_decode_otlp_traces, body, max_parts=5).what == "parts"


@pytest.mark.parametrize("decode", [_decode_otlp_traces, _decode_otlp_logs, decode_json_traces, decode_json_logs])
def test_limit_arguments_are_checked(decode):
    body = b"{}" if decode in (decode_json_traces, decode_json_logs) else b""
    assert decode(body, max_items=0, max_parts=0) == []
    with pytest.raises(TypeError, match=r"Argument 'max_items' has incorrect type \(expected int, got str\)"):
        decode(body, max_items="10")
    with pytest.raises(ValueError, match="max_parts must be at least 0"):
        decode(body, max_parts=-1)


# -- the listener ------------------------------------------------------------------------------


def empty_spans_body(n: int) -> bytes:
    """An ExportTraceServiceRequest of `n` spans with no field set: two bytes each."""
    return ld(1, ld(2, b"\x12\x00" * n))


@pytest.mark.timeout(180)
def test_a_body_of_millions_of_empty_spans_is_a_413_and_stays_small(listener):
    """At the default limits: 16 MiB of empty spans (8 million of them, some kilobytes once
    gzipped) is refused at the first span over the item bound, without building the others."""
    body = empty_spans_body((DEFAULT_MAX_BODY - 16) // 2)
    assert len(body) <= DEFAULT_MAX_BODY
    before = rss_peak_kb(listener.pid())
    r = listener.post("/v1/traces", gzip.compress(body, 6), **{"Content-Encoding": "gzip"})
    assert r.status_code == 413, r.text
    status = Status.FromString(r.content)
    assert status.code == 8  # RESOURCE_EXHAUSTED
    assert f"more than {DEFAULT_MAX_ITEMS} spans" in status.message and "--max-items" in status.message
    grown = rss_peak_kb(listener.pid()) - before
    # Some 35 MiB in a release build (the body, inflated, is 16 MiB); building the 8 million
    # spans would take gigabytes. The bound leaves room for a sanitizer build's shadow memory.
    assert grown < 256 * 1024, f"the listener's peak memory grew by {grown} KiB"
    # Still serving.
    assert listener.post("/v1/traces", trace_request(spans(1)).SerializeToString()).status_code == 200


@pytest.mark.timeout(180)
def test_over_the_item_limit_is_413_in_the_request_encoding_and_nothing_is_kept(start_listener):
    listener = start_listener("--max-items", "40")
    over = trace_request(spans(41, first=100))
    r = listener.post("/v1/traces", gzip.compress(over.SerializeToString()), **{"Content-Encoding": "gzip"})
    assert r.status_code == 413 and r.headers["content-type"] == PB
    status = Status.FromString(r.content)
    assert status.code == 8 and "more than 40 spans" in status.message and "at most 40 spans" in status.message
    r = listener.post("/v1/traces", gzip.compress(to_json(over)), JSON, **{"Content-Encoding": "gzip"})
    assert r.status_code == 413 and r.headers["content-type"] == JSON
    assert r.json()["code"] == 8 and "more than 40 spans" in r.json()["message"]
    logs = logs_request([log_record(f"line {i}") for i in range(41)])
    r = listener.post("/v1/logs", logs.SerializeToString())
    assert r.status_code == 413 and "more than 40 log records" in Status.FromString(r.content).message
    r = listener.post("/v1/logs", to_json(logs), JSON)
    assert r.status_code == 413 and "more than 40 log records" in r.json()["message"]
    many_attributes = trace_request(spans(1, first=300, attributes={f"k{i}": i for i in range(40 * PARTS_PER_ITEM)}))
    r = listener.post("/v1/traces", many_attributes.SerializeToString())
    assert r.status_code == 413
    assert f"at most {40 * PARTS_PER_ITEM} in one request ({PARTS_PER_ITEM} per item of --max-items 40)" in \
        Status.FromString(r.content).message

    # At the limit: stored, whatever the encoding.
    at = trace_request(spans(40, first=1000))
    r = listener.post("/v1/traces", gzip.compress(at.SerializeToString()), **{"Content-Encoding": "gzip"})
    assert r.status_code == 200 and r.content == b""
    r = listener.post("/v1/traces", gzip.compress(to_json(trace_request(spans(40, first=2000)))), JSON,
                      **{"Content-Encoding": "gzip"})
    assert r.status_code == 200 and r.json() == {}
    r = listener.post("/v1/logs", to_json(logs_request([log_record(f"kept {i}") for i in range(40)])), JSON)
    assert r.status_code == 200
    wait_until(lambda: len(listener.runs(app_id="svc-a")) == 80)
    ids = {run["run_id"] for run in listener.runs(app_id="svc-a")}
    assert f"otel-{tid(1000)}-{sid(1000)}" in ids and f"otel-{tid(2039)}-{sid(2039)}" in ids
    assert not any(run_id.startswith((f"otel-{tid(100)}", f"otel-{tid(300)}")) for run_id in ids)
    assert len(listener.search("kept")) == 40 and listener.search("line") == []


@pytest.mark.timeout(60)
def test_max_items_must_be_at_least_one(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "orvane_devtools", "start", "--port", "0", "--db",
                           str(tmp_path / "x.sqlite3"), "--max-items", "0"],
                          capture_output=True, text=True, timeout=50)
    assert proc.returncode == 2
    assert "--max-items 0 must be at least 1" in proc.stderr
