"""Decoding OTLP/HTTP bodies (traces and logs) into the listener's plain dicts.

The native protobuf readers (``Ingest._decode_otlp_traces`` / ``_decode_otlp_logs``) against a
reference conversion of the same opentelemetry-proto messages (what the protobuf runtime reads
from the same bytes); their field tables against the installed package's descriptors; malformed
bodies; and the JSON road (``listener.otlp.json_body``) against the protobuf road.
"""

from __future__ import annotations

import base64
import json
import math
import random

import pytest
from google.protobuf.descriptor import FieldDescriptor
from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceRequest
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.proto.logs.v1.logs_pb2 import SeverityNumber
from opentelemetry.proto.trace.v1.trace_pb2 import Span, Status
from otlp_decode_helpers import (
    EGROUP,
    I32,
    I64,
    LEN,
    SGROUP,
    VARINT,
    assert_same,
    assert_shared,
    f32,
    f64,
    ld,
    nest,
    one_record,
    one_span,
    random_logs,
    random_traces,
    ref_logs,
    ref_traces,
    tag,
    to_json,
    varint,
    vi,
)

from orvane_devtools.listener.Ingest import _decode_otlp_logs, _decode_otlp_traces
from orvane_devtools.listener.otlp import json_body
from orvane_devtools.listener.otlp.json_body import decode_json_logs, decode_json_traces

ROOTS = {
    "traces": (ExportTraceServiceRequest, _decode_otlp_traces, ref_traces),
    "logs": (ExportLogsServiceRequest, _decode_otlp_logs, ref_logs),
}


def error_of(decode, body: bytes) -> str:
    with pytest.raises(ValueError) as info:
        decode(body)
    return str(info.value)


# --- the field tables against the descriptors ------------------------------------------------

_WIRE_OF_TYPE = {
    FieldDescriptor.TYPE_FIXED64: I64, FieldDescriptor.TYPE_DOUBLE: I64, FieldDescriptor.TYPE_SFIXED64: I64,
    FieldDescriptor.TYPE_FIXED32: I32, FieldDescriptor.TYPE_FLOAT: I32, FieldDescriptor.TYPE_SFIXED32: I32,
    FieldDescriptor.TYPE_STRING: LEN, FieldDescriptor.TYPE_BYTES: LEN, FieldDescriptor.TYPE_MESSAGE: LEN,
}
_WIRE_NAMES = {VARINT: "0 (varint)", I64: "1 (64-bit)", LEN: "2 (length-delimited)", I32: "5 (32-bit)"}


def _probe(wire: int, number: int) -> bytes:
    """A well-formed field of that wire type (an empty message for length-delimited ones)."""
    return {VARINT: vi(number, 1), I64: f64(number, 1), I32: f32(number, 1), LEN: ld(number, b"")}[wire]


def _messages(root) -> dict[str, tuple[object, list[int]]]:
    """Every message type reachable from `root`, with the shortest path of field numbers to it."""
    found = {root.full_name: (root, [])}
    queue = [root]
    while queue:
        desc = queue.pop(0)
        for field in desc.fields:
            m = field.message_type
            if m is not None and m.full_name not in found:
                found[m.full_name] = (m, found[desc.full_name][1] + [field.number])
                queue.append(m)
    return found


@pytest.mark.parametrize("root", ROOTS)
def test_every_field_of_the_descriptors_is_read_with_its_wire_type(root):
    """For each message type of the request, each field the installed descriptors define is one
    the reader knows with that wire type (another wire type is refused naming the field), and
    every other number up to 40 is skipped as unknown, whatever its wire type."""
    cls, decode, _ = ROOTS[root]
    messages = _messages(cls.DESCRIPTOR)
    assert {"opentelemetry.proto.common.v1.AnyValue", "opentelemetry.proto.resource.v1.Resource",
            "opentelemetry.proto.common.v1.InstrumentationScope"} <= set(messages)
    for name, (desc, path) in messages.items():
        defined = {}
        for field in desc.fields:
            wire = _WIRE_OF_TYPE.get(field.type, VARINT)
            defined[field.number] = wire
            decode(nest(path, _probe(wire, field.number)))  # its own wire type: read
            for other in (VARINT, LEN, I64, I32):
                if other == wire:
                    continue
                message = error_of(decode, nest(path, _probe(other, field.number)))
                assert f"{field.name}: wire type {_WIRE_NAMES[other]}, expected {_WIRE_NAMES[wire]}" in message, (
                    name, field.name, message)
        for number in range(1, 41):
            if number not in defined:
                for wire in (VARINT, LEN, I64, I32):
                    decode(nest(path, _probe(wire, number)))


def test_no_repeated_scalar_fields_so_packing_does_not_arise():
    """Packed encoding applies to repeated numeric fields; these messages have none (their only
    repeated scalars are strings). Should a version of the package add one, this fails, and
    the reader must learn to read it packed and unpacked."""
    for cls in (ExportTraceServiceRequest, ExportLogsServiceRequest):
        for desc, _ in _messages(cls.DESCRIPTOR).values():
            for field in desc.fields:
                if field.is_repeated and field.type != FieldDescriptor.TYPE_MESSAGE:
                    assert field.type in (FieldDescriptor.TYPE_STRING, FieldDescriptor.TYPE_BYTES), field.full_name


def test_json_enum_names_are_the_descriptors():
    assert json_body.SPAN_KINDS == {v.name: v.number for v in Span.SpanKind.DESCRIPTOR.values}
    assert json_body.STATUS_CODES == {v.name: v.number for v in Status.StatusCode.DESCRIPTOR.values}
    assert json_body.SEVERITY_NUMBERS == {v.name: v.number for v in SeverityNumber.DESCRIPTOR.values}


# --- random requests against the reference -----------------------------------------------------


@pytest.mark.parametrize("root", ROOTS)
def test_random_requests_decode_as_the_reference(root):
    """Random requests (every AnyValue kind, nesting, unicode, empty and absent fields, unknown
    fields in every message) decode exactly as the reference converts what the protobuf runtime
    reads from the same bytes; resource and scope dicts are shared by their items."""
    cls, decode, ref = ROOTS[root]
    make = random_traces if root == "traces" else random_logs
    groups, scoped, leaves = (("resource_spans", "scope_spans", "spans") if root == "traces"
                              else ("resource_logs", "scope_logs", "log_records"))
    rng = random.Random(20261208)
    items = 0
    for _ in range(400):
        body = make(rng).SerializeToString()
        parsed = cls.FromString(body)
        got = decode(body)
        assert_same(got, ref(parsed))
        assert_shared(got, parsed, groups, scoped, leaves)
        items += len(got)
    assert items > 1000  # the generator does make items


@pytest.mark.parametrize("root", ROOTS)
def test_empty_and_itemless_requests(root):
    cls, decode, _ = ROOTS[root]
    assert decode(b"") == []
    # Resources and scopes without items give nothing, but are still read.
    assert decode(nest([1], ld(2, b"") + ld(1, b""))) == []
    assert "resource_" in error_of(decode, nest([1, 1], ld(1, b"\x0a\x05ab")))


def test_the_genai_shape_in_detail():
    """One span of the GenAI chat shape, field by field (the reference test's values, seen by eye)."""
    req = ExportTraceServiceRequest()
    rs = req.resource_spans.add(schema_url="https://opentelemetry.io/schemas/1.26.0")
    rs.resource.attributes.add(key="service.name").value.string_value = "agent"
    ss = rs.scope_spans.add()
    ss.scope.name, ss.scope.version = "opentelemetry.instrumentation.openai_v2", "2.1b0"
    span = ss.spans.add(trace_id=bytes.fromhex("5b8efff798038103d269b633813fc60c"),
                        span_id=bytes.fromhex("eee19b7ec3c1b174"), parent_span_id=bytes.fromhex("eee19b7ec3c1b173"),
                        name="chat gpt-4o", kind=Span.SPAN_KIND_CLIENT, start_time_unix_nano=1_760_000_000_000_000_000,
                        end_time_unix_nano=1_760_000_000_500_000_000, flags=0x301)
    span.attributes.add(key="gen_ai.operation.name").value.string_value = "chat"
    span.attributes.add(key="gen_ai.usage.input_tokens").value.int_value = 42
    span.attributes.add(key="gen_ai.request.temperature").value.double_value = 0.5
    span.attributes.add(key="gen_ai.response.finish_reasons").value.array_value.values.add().string_value = "stop"
    span.attributes.add(key="blob").value.bytes_value = b"\x00\x01\xfe"
    span.attributes.add(key="stream").value.bool_value = True
    span.events.add(time_unix_nano=7, name="gen_ai.content.prompt").attributes.add(key="n").value.int_value = 1
    span.status.code = Status.STATUS_CODE_ERROR
    span.status.message = "rate limited"
    (got,) = _decode_otlp_traces(req.SerializeToString())
    assert got == {
        "trace_id": "5b8efff798038103d269b633813fc60c", "span_id": "eee19b7ec3c1b174",
        "parent_span_id": "eee19b7ec3c1b173", "trace_state": "", "flags": 0x301, "name": "chat gpt-4o", "kind": 3,
        "start_time_unix_nano": 1_760_000_000_000_000_000, "end_time_unix_nano": 1_760_000_000_500_000_000,
        "attributes": {"gen_ai.operation.name": "chat", "gen_ai.usage.input_tokens": 42,
                       "gen_ai.request.temperature": 0.5, "gen_ai.response.finish_reasons": ["stop"],
                       "blob": "AAH+", "stream": True},
        "dropped_attributes_count": 0,
        "events": [{"time_unix_nano": 7, "name": "gen_ai.content.prompt", "attributes": {"n": 1},
                    "dropped_attributes_count": 0}],
        "dropped_events_count": 0, "links": [], "dropped_links_count": 0,
        "status": {"code": 2, "message": "rate limited"},
        "resource": {"service.name": "agent"}, "resource_schema_url": "https://opentelemetry.io/schemas/1.26.0",
        "scope": {"name": "opentelemetry.instrumentation.openai_v2", "version": "2.1b0", "attributes": {}},
    }
    assert list(got) == ["trace_id", "span_id", "parent_span_id", "trace_state", "flags", "name", "kind",
                         "start_time_unix_nano", "end_time_unix_nano", "attributes", "dropped_attributes_count",
                         "events", "dropped_events_count", "links", "dropped_links_count", "status", "resource",
                         "resource_schema_url", "scope"]


def test_many_distinct_and_repeated_texts():
    """Texts shared within a request (attribute keys, short values) stay right past the sharing
    table's bounds: thousands of distinct keys, keys over its length limit, keys that differ in
    one byte, repeated ones, and texts that are prefixes of one another."""
    req = ExportTraceServiceRequest()
    ss = req.resource_spans.add().scope_spans.add()
    rng = random.Random(5)
    for i in range(300):
        span = ss.spans.add(name=f"span {i % 7}")
        for j in range(25):
            k = rng.randrange(6000)
            key = rng.choice([f"key.{k}", f"key.{k}x", "x" * (60 + k % 10), f"{k:08d}"[: 1 + k % 8], "same"])
            span.attributes.add(key=key).value.string_value = rng.choice([key, key[:-1], "v" * (k % 70)])
    body = req.SerializeToString()
    assert_same(_decode_otlp_traces(body), ref_traces(ExportTraceServiceRequest.FromString(body)))


def test_large_bodies_from_several_threads():
    """Bodies of 64 KiB and more are read without the GIL: several threads decoding large
    requests (and malformed ones) at once get each its own right answer."""
    import threading

    rng = random.Random(8)
    bodies = []
    while len(bodies) < 4:
        body = random_traces(rng, groups=6, spans=40).SerializeToString()
        if len(body) >= 64 * 1024:
            bodies.append(body)
    wants = [ref_traces(ExportTraceServiceRequest.FromString(b)) for b in bodies]
    bad = bodies[0][:-1]
    failures: list[BaseException] = []

    def run(k: int) -> None:
        try:
            for i in range(6):
                j = (k + i) % len(bodies)
                assert_same(_decode_otlp_traces(bodies[j]), wants[j])
                with pytest.raises(ValueError):
                    _decode_otlp_traces(bad)
        except BaseException as e:  # reported by the main thread
            failures.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not any(t.is_alive() for t in threads)
    assert not failures, failures[0]


# --- protobuf's rules, against the runtime ---------------------------------------------------------


def _kv(key: bytes, *values: bytes) -> bytes:
    return ld(1, key) + b"".join(ld(2, v) for v in values)


@pytest.mark.parametrize("span", [
    pytest.param(ld(15, vi(3, 1)) + ld(15, ld(2, b"late message")), id="status-twice-merged"),
    pytest.param(ld(15, vi(3, 2) + ld(2, b"a")) + ld(15, vi(3, 1)), id="status-code-overwritten"),
    pytest.param(ld(5, b"first") + ld(5, b"second") + vi(6, 2) + vi(6, 3), id="last-scalar-wins"),
    pytest.param(ld(9, _kv(b"k", ld(1, b"s"), vi(3, 7))), id="oneof-string-then-int"),
    pytest.param(ld(9, _kv(b"k", ld(5, ld(1, vi(3, 1))), ld(5, ld(1, vi(3, 2))))), id="arrays-merged"),
    pytest.param(ld(9, _kv(b"k", ld(6, ld(1, _kv(b"a", vi(3, 1)))), ld(6, ld(1, _kv(b"a", vi(2, 1)))))),
                 id="kvlists-merged-later-key-wins"),
    pytest.param(ld(9, _kv(b"k", ld(5, ld(1, vi(3, 1))), ld(1, b"s"), ld(5, ld(1, vi(3, 2))))),
                 id="array-dropped-by-another-member"),
    pytest.param(ld(9, _kv(b"k", ld(5, ld(1, vi(3, 1))) + ld(5, ld(1, vi(3, 2))))), id="array-twice-in-one-value"),
    pytest.param(ld(9, _kv(b"k", ld(1, b"s") + vi(8, 3))), id="string-then-strindex-reads-absent"),
    pytest.param(ld(9, _kv(b"", vi(3, 5)) + vi(3, 4)), id="key-strindex-ignored"),
    pytest.param(ld(9, _kv(b"k")) + ld(9, _kv(b"k", b"")) + ld(9, _kv(b"j", b"", ld(1, b"s"))),
                 id="absent-and-empty-values"),
    pytest.param(vi(10, (1 << 40) + 5) + vi(12, (1 << 64) - 1), id="uint32-keeps-low-bits"),
    pytest.param(vi(6, (1 << 64) - 1) + ld(15, vi(3, (1 << 35) + 2)), id="enums-as-int32"),
    pytest.param(tag(6, VARINT) + b"\xff" * 9 + b"\x7f", id="ten-byte-varint-extra-bits-dropped"),
    pytest.param(ld(9, _kv(b"k", tag(3, VARINT) + b"\xff" * 9 + b"\x01")), id="int64-min"),
    pytest.param(ld(9, _kv(b"d", f64(4, 0x7FF8000000000001))) + ld(9, _kv(b"z", f64(4, 1 << 63))),
                 id="nan-and-minus-zero"),
    pytest.param(ld(9, _kv(b"b", vi(2, 7))), id="bool-any-nonzero"),
    pytest.param(ld(1, b"\x01\x02") + ld(2, b"") + ld(4, b"\xab" * 9), id="ids-of-other-lengths"),
])
def test_wire_rules_as_the_runtime_reads_them(span):
    """Fields given twice, oneof switches, truncating varints: as the protobuf runtime reads the
    same bytes."""
    body = one_span(span)
    assert_same(_decode_otlp_traces(body), ref_traces(ExportTraceServiceRequest.FromString(body)))


def test_log_body_given_twice_merges_as_the_runtime_reads_it():
    for record in (ld(5, ld(5, ld(1, vi(3, 1)))) + ld(5, ld(5, ld(1, vi(3, 2)))),
                   ld(5, ld(1, b"x")) + ld(5, vi(2, 1)), ld(5, b""), vi(2, (1 << 64) - 3)):
        body = one_record(record)
        assert_same(_decode_otlp_logs(body), ref_logs(ExportLogsServiceRequest.FromString(body)))


# --- UTF-8 -------------------------------------------------------------------------------------

_PIECES = [b"a", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x9a\x80", b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1\xbf",
           b"\xc2", b"\xe2\x82", b"\xe0\x80\x80", b"\xe0\xa0", b"\xed\xa0\x80", b"\xed\x9f\xbf", b"\xf0\x9f",
           b"\xf0\x9f\x9a", b"\xf0\x80\x80\x80", b"\xf4\x90\x80\x80", b"\xf4\x8f\xbf\xbf", b"\xf5\x80", b"\xff",
           b"\xfe", b"\x00", b"\x7f", b"abcdefgh" * 2]


def test_invalid_utf8_is_replaced_as_python_replaces_it():
    """Every text field: bytes that are not UTF-8 give what bytes.decode("utf-8", "replace")
    gives (one U+FFFD per maximal ill-formed subpart), valid text is kept as it is."""
    rng = random.Random(7)
    for _ in range(300):
        raw = b"".join(rng.choice(_PIECES) for _ in range(rng.randint(0, 12)))
        if rng.random() < 0.3:
            raw = rng.randbytes(rng.randint(0, 24))
        text = raw.decode("utf-8", "replace")
        span = (ld(5, raw) + ld(3, raw) + ld(9, _kv(raw, ld(1, raw))) + ld(11, ld(2, raw)) + ld(15, ld(2, raw)))
        scope = ld(1, ld(1, raw) + ld(2, raw))
        body = nest([1], ld(1, ld(1, _kv(raw, ld(1, raw)))) + ld(3, raw) + ld(2, scope + ld(2, span)))
        (got,) = _decode_otlp_traces(body)
        assert got["name"] == got["trace_state"] == got["status"]["message"] == got["events"][0]["name"] == text
        assert got["attributes"] == {text: text} and got["resource"] == {text: text}
        assert got["scope"]["name"] == got["scope"]["version"] == got["resource_schema_url"] == text
        (rec,) = _decode_otlp_logs(one_record(ld(3, raw) + ld(12, raw) + ld(5, ld(1, raw))))
        assert rec["severity_text"] == rec["event_name"] == rec["body"] == text


# --- malformed bodies -------------------------------------------------------------------------


def _deep(levels: int, kind: str) -> bytes:
    """The content of an AnyValue nested `levels` deep (the value itself is level 1) in arrays or
    kvlists, the innermost one empty. Every level only adds bytes before the inner ones, so the
    body is the levels' heads joined, outermost first (built in linear time)."""
    heads, size = [], 0
    for _ in range(levels - 1):
        if kind == "array":
            inner = tag(1, LEN) + varint(size)  # ArrayValue.values
        else:
            kv = ld(1, b"k") + tag(2, LEN) + varint(size)  # KeyValue.key, KeyValue.value
            inner = tag(1, LEN) + varint(len(kv) + size) + kv  # KeyValueList.values
        head = tag(5 if kind == "array" else 6, LEN) + varint(len(inner) + size) + inner
        heads.append(head)
        size += len(head)
    return b"".join(reversed(heads))


def _deep_json(levels: int, kind: str) -> dict:
    value: dict = {}
    for _ in range(levels - 1):
        value = ({"arrayValue": {"values": [value]}} if kind == "array"
                 else {"kvlistValue": {"values": [{"key": "k", "value": value}]}})
    return value


@pytest.mark.parametrize("span, message", [
    (tag(5, LEN), "span 0: truncated"),
    (tag(5, LEN) + b"\x05ab", "span 0: length past the end"),
    (tag(5, LEN) + varint((1 << 64) - 1), "span 0: length past the end"),
    (tag(7, I64) + b"\x01\x02", "span 0: truncated"),
    (tag(16, I32) + b"\x01", "span 0: truncated"),
    (tag(6, VARINT) + b"\x80" * 5, "span 0: truncated"),
    (tag(6, VARINT) + b"\xff" * 10 + b"\x01", "span 0: varint over 10 bytes"),
    (b"\x80", "span 0: truncated"),
    (vi(0, 1), "span 0: field number 0"),
    (b"\x88\x80\x80\x80\x80\x00", "span 0: field tag over 32 bits"),
    (tag(1 << 29, VARINT) + b"\x01", "span 0: field tag over 32 bits"),
    (tag(5, SGROUP) + tag(5, EGROUP), "span 0: group (wire type 3) in field 5"),
    (tag(77, SGROUP) + tag(77, EGROUP), "span 0: group (wire type 3) in field 77"),
    (tag(77, EGROUP), "span 0: group (wire type 4) in field 77"),
    (tag(77, 6), "span 0: invalid wire type 6 in field 77"),
    (tag(77, 7), "span 0: invalid wire type 7 in field 77"),
    (vi(5, 1), "span 0: name: wire type 0 (varint), expected 2 (length-delimited)"),
    (ld(7, b"12345678"), "span 0: start_time_unix_nano: wire type 2 (length-delimited), expected 1 (64-bit)"),
    (vi(16, 1), "span 0: flags: wire type 0 (varint), expected 5 (32-bit)"),
    (ld(9, _kv(b"k", tag(3, VARINT))), "span 0: attribute 0: value: truncated"),
    (ld(9, b"") + ld(9, _kv(b"k", vi(1, 1))), "span 0: attribute 1: value: string_value: wire type 0 (varint)"),
    (ld(11, b"") + ld(11, ld(3, vi(1, 1))), "span 0: event 1: attribute 0: key: wire type 0"),
    (ld(13, ld(4, ld(2, ld(4, b"1234")))), "span 0: link 0: attribute 0: value: double_value: wire type 2"),
    (ld(15, vi(2, 1)), "span 0: status: message: wire type 0"),
    (ld(9, _kv(b"k", _deep(65, "array"))), "span 0: attribute 0: value: nesting deeper than 64 levels"),
    (ld(9, _kv(b"k", _deep(65, "kvlist"))), "span 0: attribute 0: value: nesting deeper than 64 levels"),
    (ld(9, _kv(b"k", _deep(200_000, "array"))), "span 0: attribute 0: value: nesting deeper than 64 levels"),
    (ld(9, _kv(b"k", _deep(100_000, "kvlist"))), "span 0: attribute 0: value: nesting deeper than 64 levels"),
])
def test_malformed_spans_name_where(span, message):
    assert error_of(_decode_otlp_traces, one_span(span)).startswith(message)


def test_malformed_places_outside_spans():
    assert error_of(_decode_otlp_traces, b"\x0a\x05ab") == "request: length past the end"
    assert error_of(_decode_otlp_traces, vi(1, 3)) == (
        "request: resource_spans: wire type 0 (varint), expected 2 (length-delimited)")
    assert error_of(_decode_otlp_traces, ld(1, b"") + ld(1, ld(1, ld(1, vi(1, 1))))) == (
        "resource_spans 1: resource: attribute 0: key: wire type 0 (varint), expected 2 (length-delimited)")
    assert error_of(_decode_otlp_traces, nest([1], ld(2, b"") + ld(2, ld(1, vi(2, 1))))) == (
        "resource_spans 0: scope_spans 1: scope: version: wire type 0 (varint), expected 2 (length-delimited)")
    # Spans are counted across the request.
    two = nest([1, 2], ld(2, b"") + ld(2, b""))
    assert error_of(_decode_otlp_traces, two + two + nest([1, 2], ld(2, tag(5, LEN) + b"\x05"))) == (
        "span 4: length past the end")
    assert error_of(_decode_otlp_logs, one_record(ld(5, _deep(66, "array")))) == (
        "log record 0: body: nesting deeper than 64 levels")
    assert error_of(_decode_otlp_logs, one_record(ld(5, b"") + ld(6, _kv(b"k", ld(7, b"\x01"))[:-1]))) == (
        "log record 0: attribute 0: length past the end")
    assert error_of(_decode_otlp_logs, nest([1, 2], ld(2, b"") + ld(2, ld(6, ld(2, ld(3, b"")))))) == (
        "log record 1: attribute 0: value: int_value: wire type 2 (length-delimited), expected 0 (varint)")


@pytest.mark.parametrize("kind", ["array", "kvlist"])
def test_nesting_limit_boundary(kind):
    """64 levels of AnyValue are read (the value itself is level 1); 65 are not, on both roads."""
    ok = one_span(ld(9, _kv(b"k", _deep(64, kind))))
    (span,) = _decode_otlp_traces(ok)
    depth, v = 1, span["attributes"]["k"]
    while v is not None:
        v = v[0] if kind == "array" else v["k"]
        depth += 1
    assert depth == 64  # 63 containers, then the innermost (empty) value
    # The protobuf runtime stops at 100 message levels (each AnyValue level is two): the JSON
    # bodies are written directly.
    assert_same(decode_json_traces(_json_span(attributes=[{"key": "k", "value": _deep_json(64, kind)}])), [span])
    assert "span 0: attribute 0: value: nesting deeper than 64 levels" == error_of(
        _decode_otlp_traces, one_span(ld(9, _kv(b"k", _deep(65, kind)))))
    assert "span 0: attribute 0: value: nesting deeper than 64 levels" == error_of(
        decode_json_traces, _json_span(attributes=[{"key": "k", "value": _deep_json(65, kind)}]))


@pytest.mark.parametrize("root", ROOTS)
def test_truncated_at_every_byte(root):
    """Every prefix of a valid request is refused, except those that end between the request's
    own fields, which are smaller valid requests: exactly the prefixes the runtime refuses."""
    cls, decode, ref = ROOTS[root]
    rng = random.Random(3)
    make = random_traces if root == "traces" else random_logs
    body = b""
    while len(body) < 1500:
        body = make(rng, groups=4).SerializeToString()
    refused = 0
    for n in range(len(body)):
        prefix = body[:n]
        try:
            parsed = cls.FromString(prefix)
        except Exception:
            parsed = None
        if parsed is None:
            with pytest.raises(ValueError):
                decode(prefix)
            refused += 1
        else:
            assert_same(decode(prefix), ref(parsed))
    assert refused > len(body) // 2


def test_not_bytes_is_a_type_error():
    for decode in (_decode_otlp_traces, _decode_otlp_logs):
        for arg in ("text", bytearray(b""), memoryview(b""), None, 3):
            with pytest.raises(TypeError, match=r"^Argument 'body' has incorrect type \(expected bytes, got "):
                decode(arg)


# --- the JSON road -------------------------------------------------------------------------

JSON_STYLES = {
    "hex-camel": {},
    "hex-snake": {"snake": True},
    "base64-ids": {"ids": "base64"},
    "enums-as-integers": {"enums_as_int": True},
    "integers-as-numbers": {"int_numbers": True, "snake": True},
}


@pytest.mark.parametrize("style", JSON_STYLES)
@pytest.mark.parametrize("root", ROOTS)
def test_json_road_gives_the_protobuf_roads_dicts(root, style):
    cls, decode, _ = ROOTS[root]
    make = random_traces if root == "traces" else random_logs
    read_json = decode_json_traces if root == "traces" else decode_json_logs
    rng = random.Random(11)
    items = 0
    for _ in range(120):
        msg = make(rng, odd_ids=False)
        want = decode(msg.SerializeToString())
        got = read_json(to_json(msg, **JSON_STYLES[style]))
        assert_same(got, want)
        items += len(got)
    assert items > 300


def test_json_shares_resource_and_scope():
    body = json.dumps({"resourceSpans": [{"resource": {"attributes": [{"key": "a", "value": {"intValue": 1}}]},
                                          "scopeSpans": [{"scope": {"name": "s"}, "spans": [{}, {}]},
                                                         {"spans": [{}]}]}]}).encode()
    a, b, c = decode_json_traces(body)
    assert a["resource"] is b["resource"] is c["resource"]
    assert a["scope"] is b["scope"] and b["scope"] is not c["scope"]
    assert c["scope"] == {"name": "", "version": "", "attributes": {}}


def _json_span(**fields) -> bytes:
    return json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": [fields]}]}]}).encode()


@pytest.mark.parametrize("value, want", [
    ({"traceId": "5B8EFFF798038103D269B633813FC60C"}, {"trace_id": "5b8efff798038103d269b633813fc60c"}),
    ({"traceId": base64.b64encode(bytes(range(16))).decode()}, {"trace_id": bytes(range(16)).hex()}),
    ({"traceId": base64.b64encode(bytes(range(16))).decode().rstrip("=")}, {"trace_id": bytes(range(16)).hex()}),
    ({"spanId": base64.urlsafe_b64encode(b"\xfb\xff" * 4).decode()}, {"span_id": "fbff" * 4}),
    ({"spanId": base64.b64encode(b"\xfb\xff" * 4).decode()}, {"span_id": "fbff" * 4}),
    ({"parentSpanId": ""}, {"parent_span_id": ""}),
    ({"parent_span_id": "00f067aa0ba902b7"}, {"parent_span_id": "00f067aa0ba902b7"}),
    ({"startTimeUnixNano": "18446744073709551615", "endTimeUnixNano": 1.5e18},
     {"start_time_unix_nano": (1 << 64) - 1, "end_time_unix_nano": 1_500_000_000_000_000_000}),
    ({"kind": "SPAN_KIND_SERVER", "status": {"code": "STATUS_CODE_ERROR"}},
     {"kind": 2, "status": {"code": 2, "message": ""}}),
    ({"kind": "3", "flags": 257}, {"kind": 3, "flags": 257}),
    ({"name": "n", "name_extra": 1, "unknownField": {"x": [1]}}, {"name": "n"}),
    ({"name": None, "kind": None, "attributes": None, "events": None}, {"name": "", "kind": 0, "attributes": {}}),
    ({"traceId": "A?", "trace_id": "ab" * 16}, None),  # lowerCamelCase wins: "A?" is no id
    # Hex of the wrong length comes through as sent: the mapping refuses that span alone.
    ({"traceId": "0A" * 15}, {"trace_id": "0a" * 15}),
    ({"name": "lone \ud800 surrogate"}, {"name": "lone \ufffd surrogate"}),
])
def test_json_field_forms(value, want):
    if want is None:
        assert "traceId" in error_of(decode_json_traces, _json_span(**value))
        return
    (span,) = decode_json_traces(_json_span(**value))
    assert {k: span[k] for k in want} == want


@pytest.mark.parametrize("value, want", [
    ({"stringValue": "s"}, "s"), ({"string_value": "s"}, "s"), ({"boolValue": False}, False),
    ({"intValue": "-9223372036854775808"}, -(1 << 63)), ({"intValue": 12}, 12), ({"int_value": "7"}, 7),
    ({"doubleValue": "NaN"}, math.nan), ({"doubleValue": "-Infinity"}, -math.inf), ({"doubleValue": 2}, 2.0),
    ({"doubleValue": "1.25"}, 1.25), ({"bytesValue": "-_8"}, "+/8="), ({"bytes_value": ""}, ""),
    ({}, None), ({"stringValueStrindex": 3}, None), ({"stringValue": None, "intValue": 1}, 1),
    ({"stringValue": "camel", "string_value": "snake"}, "camel"),
    ({"arrayValue": {}}, []), ({"arrayValue": {"values": [{}, {"intValue": 1}]}}, [None, 1]),
    ({"kvlistValue": {"values": [{"key": "a", "value": {"intValue": 1}}, {"key": "a"}]}}, {"a": None}),
])
def test_json_any_values(value, want):
    (span,) = decode_json_traces(_json_span(attributes=[{"key": "k", "value": value}]))
    got = span["attributes"]["k"]
    if isinstance(want, float) and math.isnan(want):
        assert math.isnan(got)
    else:
        assert type(got) is type(want) and got == want


@pytest.mark.parametrize("body, message", [
    (b"", "request: not JSON"),
    (b"[]", "request: expected an object, got an array"),
    (b'{"resourceSpans": {}}', "request: resourceSpans: expected an array, got an object"),
    (b'{"resourceSpans": [3]}', "resource_spans 0: expected an object, got a number"),
    (b'{"resourceSpans": [{"scopeSpans": [[]]}]}', "resource_spans 0: scope_spans 0: expected an object, got an array"),
    (_json_span(events=["e"]), "span 0: event 0: expected an object, got a string"),
    (_json_span(attributes=[None, 1]), "span 0: attribute 1: expected an object, got a number"),
    (b'{"resourceSpans": [{"scopeSpans": [{"spans": [{}, []]}]}]}', "span 1: expected an object, got an array"),
    (_json_span(traceId="abc"), "span 0: traceId: expected 32 hex digits or 24 base64 characters"),
    (_json_span(spanId="zz" * 8), "span 0: spanId: expected 16 hex digits or 12 base64 characters"),
    (_json_span(spanId="!" * 12), "span 0: spanId: not base64"),
    (_json_span(spanId=base64.b64encode(b"\xff" * 9).decode()), "span 0: spanId: expected"),
    (_json_span(kind="SPAN_KIND_NOPE"), "span 0: kind: unknown value 'SPAN_KIND_NOPE'"),
    (_json_span(kind=1 << 31), "span 0: kind: 2147483648 is out of range"),
    (_json_span(flags=-1), "span 0: flags: -1 is out of range"),
    (_json_span(startTimeUnixNano="12x"), "span 0: startTimeUnixNano: expected an integer, got '12x'"),
    (_json_span(startTimeUnixNano=1.5), "span 0: startTimeUnixNano: expected an integer, got 1.5"),
    (_json_span(startTimeUnixNano=True), "span 0: startTimeUnixNano: expected an integer, got a boolean"),
    (_json_span(name=3), "span 0: name: expected a string, got a number"),
    (_json_span(attributes={}), "span 0: attributes: expected an array, got an object"),
    (_json_span(attributes=[{"key": "k", "value": {"intValue": "1", "stringValue": "s"}}]),
     "span 0: attribute 0: value: more than one of intValue and stringValue"),
    (_json_span(attributes=[{"key": "k", "value": {"boolValue": "true"}}]),
     "span 0: attribute 0: value: boolValue: expected a boolean, got a string"),
    (_json_span(attributes=[{"key": "k", "value": {"intValue": str(1 << 63)}}]),
     "span 0: attribute 0: value: intValue: 9223372036854775808 is out of range"),
    (_json_span(attributes=[{"key": "k", "value": "plain"}]),
     "span 0: attribute 0: value: expected an object, got a string"),
    (_json_span(events=[{}, {"name": 1}]), "span 0: event 1: name: expected a string, got a number"),
    (_json_span(links=[{"traceId": 5}]), "span 0: link 0: traceId: expected a string, got a number"),
    (_json_span(status={"code": "bad"}), "span 0: status: code: unknown value 'bad'"),
    (b'{"resourceSpans": [{"resource": {"attributes": [{"key": 1}]}}]}',
     "resource_spans 0: resource: attribute 0: key: expected a string, got a number"),
    (b'{"resourceSpans": [{"scopeSpans": [{"scope": {"name": 1}}]}]}',
     "resource_spans 0: scope_spans 0: scope: name: expected a string, got a number"),
    (b"[" * 100_000 + b"]" * 100_000, "request: nesting too deep"),
    (b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"attributes": [{"key": "k", "value": '
     + b'{"arrayValue": {"values": [' * 5000 + b"]}}" * 5000 + b"}]}]}]}]}", "request: nesting too deep"),
    (b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"attributes": [{"key": "k", "value": '
     + b'{"arrayValue": {"values": [' * 70 + b"]}}" * 70 + b"}]}]}]}]}",
     "span 0: attribute 0: value: nesting deeper than 64 levels"),
])
def test_json_shape_errors_name_where(body, message):
    assert error_of(decode_json_traces, body).startswith(message)


def test_json_logs_forms_and_errors():
    body = json.dumps({"resourceLogs": [{"scopeLogs": [{"logRecords": [
        {"severityNumber": "SEVERITY_NUMBER_WARN2", "body": {"stringValue": "hi"}, "eventName": "e",
         "observed_time_unix_nano": "5", "traceId": "ab" * 16, "spanId": "cd" * 8},
        {}]}]}]}).encode()
    a, b = decode_json_logs(body)
    assert (a["severity_number"], a["body"], a["event_name"], a["observed_time_unix_nano"]) == (14, "hi", "e", 5)
    assert (a["trace_id"], a["span_id"], b["body"], b["trace_id"]) == ("ab" * 16, "cd" * 8, None, "")
    bad = json.dumps({"resourceLogs": [{"scopeLogs": [{"logRecords": [{}, {"body": {"intValue": "x"}}]}]}]})
    assert error_of(decode_json_logs, bad.encode()) == "log record 1: body: intValue: expected an integer, got 'x'"


def test_json_invalid_utf8_is_replaced():
    raw = b'{"resourceSpans": [{"scopeSpans": [{"spans": [{"name": "a\xff\xe2\x82b"}]}]}]}'
    (span,) = decode_json_traces(raw)
    assert span["name"] == "a\ufffd\ufffdb" == b"a\xff\xe2\x82b".decode("utf-8", "replace")
    (span,) = decode_json_traces(b"\xef\xbb\xbf" + raw)  # a byte order mark before the JSON
    assert span["name"] == "a\ufffd\ufffdb"
