"""Shared pieces of the OTLP body decoding tests.

- Random requests built with opentelemetry-proto's messages (every AnyValue kind, nesting,
  unicode, empty and absent fields, unknown fields added by hand).
- A reference conversion of such messages to the listener's plain shape, written from the
  message objects (the protobuf runtime's reading of the bytes), independent of the decoders.
- The protobuf wire format by hand, for bodies the messages cannot express.
- A canonical form for comparing decoded items exactly (types, key order, -0.0 and NaN).
"""

from __future__ import annotations

import base64
import json
import math
import random
import struct
from typing import Any

from google.protobuf import json_format
from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceRequest
from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest
from opentelemetry.proto.common.v1.common_pb2 import AnyValue, InstrumentationScope, KeyValue
from opentelemetry.proto.logs.v1.logs_pb2 import LogRecord
from opentelemetry.proto.resource.v1.resource_pb2 import Resource
from opentelemetry.proto.trace.v1.trace_pb2 import Span, Status

# --- the wire format by hand ---------------------------------------------------------------

VARINT, I64, LEN, SGROUP, EGROUP, I32 = 0, 1, 2, 3, 4, 5


def varint(n: int) -> bytes:
    n &= (1 << 64) - 1
    out = bytearray()
    while n >= 0x80:
        out.append((n & 0x7F) | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def tag(number: int, wire: int) -> bytes:
    return varint(number << 3 | wire)


def ld(number: int, payload: bytes) -> bytes:
    """A length-delimited field."""
    return tag(number, LEN) + varint(len(payload)) + payload


def vi(number: int, value: int) -> bytes:
    return tag(number, VARINT) + varint(value)


def f64(number: int, value: int) -> bytes:
    return tag(number, I64) + struct.pack("<Q", value)


def f32(number: int, value: int) -> bytes:
    return tag(number, I32) + struct.pack("<I", value)


def nest(path: list[int], payload: bytes) -> bytes:
    """`payload` as the content of the message at `path` (field numbers from the request down)."""
    for number in reversed(path):
        payload = ld(number, payload)
    return payload


def one_span(span: bytes) -> bytes:
    """A trace request holding one span whose content is `span`."""
    return nest([1, 2, 2], span)


def one_record(record: bytes) -> bytes:
    """A logs request holding one log record whose content is `record`."""
    return nest([1, 2, 2], record)


def unknown_fields(rng: random.Random, numbers: tuple[int, ...] = (50, 99, 1000, 19000, (1 << 29) - 1)) -> bytes:
    """A few fields no OTLP message here defines, of every wire type a proto3 parser skips."""
    out = b""
    for _ in range(rng.randint(1, 3)):
        number = rng.choice(numbers)
        wire = rng.choice((VARINT, I64, LEN, I32))
        if wire == VARINT:
            out += vi(number, rng.choice((0, 1, 300, (1 << 64) - 1)))
        elif wire == I64:
            out += f64(number, rng.getrandbits(64))
        elif wire == I32:
            out += f32(number, rng.getrandbits(32))
        else:
            out += ld(number, rng.randbytes(rng.randint(0, 12)))
    return out


def with_unknown(msg: Any, rng: random.Random) -> Any:
    """`msg` holding unknown fields (kept by the runtime and written back when serialised)."""
    msg.MergeFromString(unknown_fields(rng))
    return msg


# --- random messages -------------------------------------------------------------------------

TEXTS = ["", "chat", "gen_ai.request.model", "ünïcödé", "日本語のテキスト", "emoji 🚀🔥", "a\x00b",
         "line\nbreak", "tab\tquote\"back\\slash", "\u2028\u2029", "x" * 300, "\U0010ffff"]


def rand_text(rng: random.Random) -> str:
    if rng.random() < 0.6:
        return rng.choice(TEXTS)
    alphabet = "abcXYZ019 _.-/ éß€あ🙂\x7f"
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 20)))


DOUBLES = [0.0, -0.0, 1.5, -2.25, 1e308, -1e-308, 5e-324, math.inf, -math.inf, math.nan, 3.141592653589793]
INTS = [0, 1, -1, 127, 128, -129, (1 << 63) - 1, -(1 << 63), 1 << 32, 1760000000000000000]


def fill_value(v: AnyValue, rng: random.Random, depth: int) -> None:
    """Sets a random member of the AnyValue `v` (or none); arrays and kvlists down to `depth`."""
    kinds = ["string", "bool", "int", "double", "bytes", "unset"]
    if depth > 0:
        kinds += ["array", "kvlist", "array", "kvlist"]
    kind = rng.choice(kinds)
    if kind == "string":
        v.string_value = rand_text(rng)
    elif kind == "bool":
        v.bool_value = rng.random() < 0.5
    elif kind == "int":
        v.int_value = rng.choice(INTS) if rng.random() < 0.5 else rng.randint(-(1 << 63), (1 << 63) - 1)
    elif kind == "double":
        v.double_value = rng.choice(DOUBLES) if rng.random() < 0.5 else rng.uniform(-1e6, 1e6)
    elif kind == "bytes":
        v.bytes_value = rng.randbytes(rng.randint(0, 7))
    elif kind == "array":
        v.array_value.SetInParent()
        for _ in range(rng.randint(0, 4)):
            fill_value(v.array_value.values.add(), rng, depth - 1)
    elif kind == "kvlist":
        v.kvlist_value.SetInParent()
        fill_attributes(v.kvlist_value.values, rng, depth - 1, most=4)


def fill_attributes(attrs: Any, rng: random.Random, depth: int = 3, most: int = 6) -> None:
    keys = ["k", "gen_ai.system", "ключ", "", "k"]  # repeated keys: a later one wins
    for _ in range(rng.randint(0, most)):
        kv = attrs.add()
        kv.key = rng.choice(keys) if rng.random() < 0.4 else rand_text(rng)
        if rng.random() < 0.9:  # sometimes no value at all
            fill_value(kv.value, rng, depth)
        if rng.random() < 0.1:
            with_unknown(kv, rng)


# Whether random ids may have other lengths than 16 / 8 bytes (the protobuf readers keep them as
# sent; the JSON encoding cannot carry them). Set by random_traces / random_logs.
_odd_ids = True


def rand_id(rng: random.Random, size: int) -> bytes:
    r = rng.random()
    if r < 0.1:
        return b""
    if r < 0.15 and _odd_ids:
        return rng.randbytes(rng.randint(1, 20))  # an id of another length: kept as sent
    return rng.randbytes(size)


def fill_resource(r: Resource, rng: random.Random) -> None:
    fill_attributes(r.attributes, rng)
    if rng.random() < 0.3:
        r.dropped_attributes_count = rng.randint(0, (1 << 32) - 1)
    if rng.random() < 0.2:
        ref = r.entity_refs.add(schema_url=rand_text(rng), type="service")
        ref.id_keys.extend(["service.name", rand_text(rng)])
        ref.description_keys.append("service.version")
    if rng.random() < 0.2:
        with_unknown(r, rng)


def fill_scope(s: InstrumentationScope, rng: random.Random) -> None:
    if rng.random() < 0.8:
        s.name = rand_text(rng)
    if rng.random() < 0.5:
        s.version = rand_text(rng)
    if rng.random() < 0.4:
        fill_attributes(s.attributes, rng, depth=1)
    if rng.random() < 0.2:
        s.dropped_attributes_count = rng.randint(0, 9)
    if rng.random() < 0.2:
        with_unknown(s, rng)


def fill_span(s: Span, rng: random.Random) -> None:
    s.trace_id = rand_id(rng, 16)
    s.span_id = rand_id(rng, 8)
    if rng.random() < 0.6:
        s.parent_span_id = rand_id(rng, 8)
    if rng.random() < 0.3:
        s.trace_state = "vendor=abc,other=1" if rng.random() < 0.5 else rand_text(rng)
    if rng.random() < 0.5:
        s.flags = rng.choice((0, 1, 0x100, 0x301, (1 << 32) - 1))
    s.name = rand_text(rng)
    s.kind = rng.choice((0, 1, 2, 3, 4, 5, 77))  # an unknown kind is kept (open enum)
    s.start_time_unix_nano = rng.choice((0, 1, 1_760_000_000_123_456_789, (1 << 64) - 1))
    s.end_time_unix_nano = s.start_time_unix_nano + rng.randint(0, 1000) if s.start_time_unix_nano < 1 << 63 else 0
    fill_attributes(s.attributes, rng)
    if rng.random() < 0.3:
        s.dropped_attributes_count = rng.randint(0, (1 << 32) - 1)
    for _ in range(rng.randint(0, 3)):
        e = s.events.add()
        if rng.random() < 0.8:
            e.time_unix_nano = rng.getrandbits(64)
        e.name = rand_text(rng)
        fill_attributes(e.attributes, rng, depth=2)
        if rng.random() < 0.2:
            e.dropped_attributes_count = rng.randint(0, 5)
        if rng.random() < 0.1:
            with_unknown(e, rng)
    if rng.random() < 0.2:
        s.dropped_events_count = rng.randint(0, 100)
    for _ in range(rng.choice((0, 0, 1, 2))):
        link = s.links.add(trace_id=rand_id(rng, 16), span_id=rand_id(rng, 8))
        if rng.random() < 0.5:
            link.trace_state = "k=v"
        fill_attributes(link.attributes, rng, depth=1)
        if rng.random() < 0.3:
            link.dropped_attributes_count = 2
        if rng.random() < 0.5:
            link.flags = rng.choice((1, 0x301))
        if rng.random() < 0.1:
            with_unknown(link, rng)
    if rng.random() < 0.2:
        s.dropped_links_count = rng.randint(0, 9)
    r = rng.random()
    if r < 0.3:
        s.status.code = rng.choice((0, 1, 2, 9))
        if rng.random() < 0.6:
            s.status.message = rand_text(rng)
    elif r < 0.4:
        s.status.SetInParent()  # present but empty
    if rng.random() < 0.15:
        with_unknown(s, rng)


def random_traces(rng: random.Random, groups: int = 3, spans: int = 4,
                  odd_ids: bool = True) -> ExportTraceServiceRequest:
    global _odd_ids
    _odd_ids = odd_ids
    req = ExportTraceServiceRequest()
    for _ in range(rng.randint(0, groups)):
        rs = req.resource_spans.add()
        if rng.random() < 0.85:
            fill_resource(rs.resource, rng)
        if rng.random() < 0.5:
            rs.schema_url = "https://opentelemetry.io/schemas/1.26.0"
        for _ in range(rng.randint(0, 3)):
            ss = rs.scope_spans.add()
            if rng.random() < 0.85:
                fill_scope(ss.scope, rng)
            if rng.random() < 0.3:
                ss.schema_url = rand_text(rng)
            for _ in range(rng.randint(0, spans)):
                fill_span(ss.spans.add(), rng)
            if rng.random() < 0.1:
                with_unknown(ss, rng)
        if rng.random() < 0.1:
            with_unknown(rs, rng)
    if rng.random() < 0.1:
        with_unknown(req, rng)
    return req


def fill_record(r: LogRecord, rng: random.Random) -> None:
    if rng.random() < 0.8:
        r.time_unix_nano = rng.getrandbits(64)
    if rng.random() < 0.8:
        r.observed_time_unix_nano = rng.getrandbits(64)
    if rng.random() < 0.7:
        r.severity_number = rng.choice((0, 1, 9, 13, 17, 24, 99))
    if rng.random() < 0.5:
        r.severity_text = rng.choice(("INFO", "ERROR", rand_text(rng)))
    if rng.random() < 0.8:
        fill_value(r.body, rng, 3)
    fill_attributes(r.attributes, rng)
    if rng.random() < 0.2:
        r.dropped_attributes_count = rng.randint(0, 7)
    if rng.random() < 0.5:
        r.flags = rng.choice((0, 1, (1 << 32) - 1))
    if rng.random() < 0.6:
        r.trace_id = rand_id(rng, 16)
        r.span_id = rand_id(rng, 8)
    if rng.random() < 0.4:
        r.event_name = rng.choice(("gen_ai.user.message", "gen_ai.choice", rand_text(rng)))
    if rng.random() < 0.15:
        with_unknown(r, rng)


def random_logs(rng: random.Random, groups: int = 3, records: int = 4,
                odd_ids: bool = True) -> ExportLogsServiceRequest:
    global _odd_ids
    _odd_ids = odd_ids
    req = ExportLogsServiceRequest()
    for _ in range(rng.randint(0, groups)):
        rl = req.resource_logs.add()
        if rng.random() < 0.85:
            fill_resource(rl.resource, rng)
        if rng.random() < 0.5:
            rl.schema_url = "https://opentelemetry.io/schemas/1.26.0"
        for _ in range(rng.randint(0, 3)):
            sl = rl.scope_logs.add()
            if rng.random() < 0.85:
                fill_scope(sl.scope, rng)
            for _ in range(rng.randint(0, records)):
                fill_record(sl.log_records.add(), rng)
            if rng.random() < 0.1:
                with_unknown(sl, rng)
    return req


# --- the reference conversion ----------------------------------------------------------------


def ref_value(v: AnyValue) -> Any:
    which = v.WhichOneof("value")
    if which is None or which == "string_value_strindex":
        return None
    if which == "string_value":
        return v.string_value
    if which == "bool_value":
        return v.bool_value
    if which == "int_value":
        return v.int_value
    if which == "double_value":
        return v.double_value
    if which == "bytes_value":
        return base64.b64encode(v.bytes_value).decode("ascii")
    if which == "array_value":
        return [ref_value(x) for x in v.array_value.values]
    if which == "kvlist_value":
        return ref_attributes(v.kvlist_value.values)
    raise AssertionError(f"AnyValue member {which} unknown to the test")


def ref_attributes(kvs: Any) -> dict[str, Any]:
    out: dict[str, Any] = {}
    for kv in kvs:
        out[kv.key] = ref_value(kv.value) if kv.HasField("value") else None
    return out


def ref_scope(s: InstrumentationScope) -> dict[str, Any]:
    return {"name": s.name, "version": s.version, "attributes": ref_attributes(s.attributes)}


def ref_status(s: Status) -> dict[str, Any]:
    return {"code": s.code, "message": s.message}


def ref_traces(req: ExportTraceServiceRequest) -> list[dict[str, Any]]:
    out = []
    for rs in req.resource_spans:
        resource = ref_attributes(rs.resource.attributes)
        for ss in rs.scope_spans:
            scope = ref_scope(ss.scope)
            for s in ss.spans:
                out.append({
                    "trace_id": s.trace_id.hex(),
                    "span_id": s.span_id.hex(),
                    "parent_span_id": s.parent_span_id.hex(),
                    "trace_state": s.trace_state,
                    "flags": s.flags,
                    "name": s.name,
                    "kind": s.kind,
                    "start_time_unix_nano": s.start_time_unix_nano,
                    "end_time_unix_nano": s.end_time_unix_nano,
                    "attributes": ref_attributes(s.attributes),
                    "dropped_attributes_count": s.dropped_attributes_count,
                    "events": [{"time_unix_nano": e.time_unix_nano, "name": e.name,
                                "attributes": ref_attributes(e.attributes),
                                "dropped_attributes_count": e.dropped_attributes_count} for e in s.events],
                    "dropped_events_count": s.dropped_events_count,
                    "links": [{"trace_id": link.trace_id.hex(), "span_id": link.span_id.hex(),
                               "trace_state": link.trace_state, "attributes": ref_attributes(link.attributes),
                               "flags": link.flags} for link in s.links],
                    "dropped_links_count": s.dropped_links_count,
                    "status": ref_status(s.status),
                    "resource": resource,
                    "resource_schema_url": rs.schema_url,
                    "scope": scope,
                })
    return out


def ref_logs(req: ExportLogsServiceRequest) -> list[dict[str, Any]]:
    out = []
    for rl in req.resource_logs:
        resource = ref_attributes(rl.resource.attributes)
        for sl in rl.scope_logs:
            scope = ref_scope(sl.scope)
            for r in sl.log_records:
                out.append({
                    "time_unix_nano": r.time_unix_nano,
                    "observed_time_unix_nano": r.observed_time_unix_nano,
                    "severity_number": r.severity_number,
                    "severity_text": r.severity_text,
                    "body": ref_value(r.body) if r.HasField("body") else None,
                    "attributes": ref_attributes(r.attributes),
                    "dropped_attributes_count": r.dropped_attributes_count,
                    "flags": r.flags,
                    "trace_id": r.trace_id.hex(),
                    "span_id": r.span_id.hex(),
                    "event_name": r.event_name,
                    "resource": resource,
                    "scope": scope,
                })
    return out


# --- comparing ---------------------------------------------------------------------------


def canon(x: Any) -> Any:
    """A form in which equal means the same values of the same types in the same order: bool is
    not int, -0.0 is not 0.0, NaN equals NaN, dict order counts."""
    if isinstance(x, bool):
        return ("bool", x)
    if isinstance(x, int):
        return ("int", x)
    if isinstance(x, float):
        return ("float", "nan" if math.isnan(x) else struct.pack("<d", x))
    if isinstance(x, str):
        return ("str", x)
    if x is None:
        return ("none",)
    if isinstance(x, list):
        return ("list", [canon(v) for v in x])
    if isinstance(x, dict):
        return ("dict", [(canon(k), canon(v)) for k, v in x.items()])
    raise AssertionError(f"unexpected type in a decoded item: {type(x).__name__}")


def assert_same(got: list[dict[str, Any]], want: list[dict[str, Any]]) -> None:
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        assert type(g) is dict
        if canon(g) != canon(w):
            assert g == w, f"item {i} differs"  # pytest shows the difference
            raise AssertionError(f"item {i}: same values but not the same types or order:\n{g!r}\n{w!r}")


def assert_shared(items: list[dict[str, Any]], req: Any, groups: str, scoped: str, leaves: str) -> None:
    """The resource and scope dicts are one object per resource and per scope of the request."""
    i = 0
    for group in getattr(req, groups):
        first_resource = None
        for scope in getattr(group, scoped):
            n = len(getattr(scope, leaves))
            if n == 0:
                continue
            block = items[i:i + n]
            first_resource = first_resource or block[0]["resource"]
            assert all(item["scope"] is block[0]["scope"] for item in block)
            assert all(item["resource"] is first_resource for item in block)
            i += n
    assert i == len(items)


# --- the JSON encoding -------------------------------------------------------------------

ID_KEYS = {"traceId", "spanId", "parentSpanId", "trace_id", "span_id", "parent_span_id"}


def to_json_doc(msg: Any, *, snake: bool = False, enums_as_int: bool = False, ids: str = "hex",
                int_numbers: bool = False) -> Any:
    """The message in the JSON encoding as a parsed document: the proto3 mapping (base64 ids,
    64-bit integers as strings) turned into the protocol's (hex ids) unless ids="base64";
    int_numbers writes 64-bit integers as JSON numbers."""
    doc = json.loads(json_format.MessageToJson(msg, preserving_proto_field_name=snake,
                                               use_integers_for_enums=enums_as_int))
    int_keys = {"timeUnixNano", "startTimeUnixNano", "endTimeUnixNano", "observedTimeUnixNano", "intValue",
                "time_unix_nano", "start_time_unix_nano", "end_time_unix_nano", "observed_time_unix_nano",
                "int_value"}

    def fix(node: Any) -> Any:
        if isinstance(node, dict):
            out = {}
            for k, v in node.items():
                if k in ID_KEYS and isinstance(v, str) and ids == "hex":
                    out[k] = base64.b64decode(v).hex()
                elif k in int_keys and int_numbers and isinstance(v, str):
                    out[k] = int(v)
                else:
                    out[k] = fix(v)
            return out
        if isinstance(node, list):
            return [fix(v) for v in node]
        return node

    return fix(doc)


def to_json(msg: Any, **kw: Any) -> bytes:
    return json.dumps(to_json_doc(msg, **kw)).encode()
