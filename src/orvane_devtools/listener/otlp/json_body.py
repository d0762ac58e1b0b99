"""OTLP/HTTP JSON bodies (``application/json``) read into the listener's plain shape.

``decode_json_traces`` and ``decode_json_logs`` give exactly what the native protobuf readers
(``Ingest._decode_otlp_traces`` / ``_decode_otlp_logs``) give for the same request: one dict per
span or log record, in request order, the resource's attributes and the scope as dicts shared by
the items they hold (read-only by contract). See ``native/Ingest/ingest.hpp`` for the shape.

What is read, beyond the proto3 JSON mapping the protocol's JSON encoding follows:

- Keys in lowerCamelCase (``traceId``) or snake_case (``trace_id``), which some producers send;
  where both are given, the lowerCamelCase one is taken. Unknown keys are ignored, and ``null``
  reads as the field's zero value.
- Ids (trace, span, parent span, link and log record ids) as hex, as the protocol requires, or
  as base64, as the plain proto3 mapping writes bytes. The length tells them apart: a trace id is
  32 hex digits or 24 base64 characters (22 without padding), a span id 16 hex digits or 12
  base64 characters (11 without padding); base64 in the standard or the URL-safe alphabet. Ids
  come out as lower-case hex, ``""`` for an empty or absent one; hex of another (even) length
  comes out as it is, like the protobuf road's bytes of the wrong length (the mapping refuses
  that item); anything else is an error.
- 64-bit integers (times, ``intValue``) and the 32-bit ones as numbers or decimal strings; a
  number with a fraction, or out of the field's range, is an error.
- Enumerations (span kind, status code, severity number) as integers or by their names
  (``SPAN_KIND_SERVER``); an unknown name is an error, an unknown integer is kept.
- ``doubleValue`` as a number or a string (``"NaN"``, ``"Infinity"``, ``"-Infinity"``, or a
  decimal); ``bytesValue`` as base64 (standard or URL-safe, padded or not), given back in the
  standard alphabet with padding, as the native reader writes bytes.
- AnyValue: ``{}`` (or only a profiles-only ``stringValueStrindex``) reads as None; more than one
  member is an error. Arrays and key-value lists may nest 64 levels deep, as in the native reader.
- Texts: the body is read as UTF-8 (a leading byte order mark dropped) with U+FFFD for bytes
  that are not, and a lone surrogate written as a ``\\ud8xx`` escape becomes U+FFFD too, so
  texts are valid Unicode on both roads.

Anything else that is not this shape raises ``ValueError`` naming where, as the native readers
do ("span 3: attribute 2: value: ...").

Limits, as in the native readers: at most ``max_items`` spans, span events and span links (each
counted on its own across the request) or log records, and at most ``max_parts`` parts (each
attribute or key-value entry, each array element, each resource and scope group), counted in
request order while the items are built; over one, ``TooManyItems`` (``otlp.body``) is raised
at once. The JSON document itself is parsed whole first (the body limit bounds it).
"""

from __future__ import annotations

import binascii
import json
import math
import re
from typing import Any

from .body import TooManyItems

__all__ = ["decode_json_traces", "decode_json_logs"]

MAX_DEPTH = 64
"""How deep arrays and key-value lists may nest inside one AnyValue (the value itself is 1)."""

SPAN_KINDS = {
    "SPAN_KIND_UNSPECIFIED": 0, "SPAN_KIND_INTERNAL": 1, "SPAN_KIND_SERVER": 2,
    "SPAN_KIND_CLIENT": 3, "SPAN_KIND_PRODUCER": 4, "SPAN_KIND_CONSUMER": 5,
}
STATUS_CODES = {"STATUS_CODE_UNSET": 0, "STATUS_CODE_OK": 1, "STATUS_CODE_ERROR": 2}
SEVERITY_NUMBERS = {"SEVERITY_NUMBER_UNSPECIFIED": 0} | {
    f"SEVERITY_NUMBER_{level}{'' if k == 1 else k}": base + k - 1
    for base, level in ((1, "TRACE"), (5, "DEBUG"), (9, "INFO"), (13, "WARN"), (17, "ERROR"), (21, "FATAL"))
    for k in range(1, 5)
}

_U32 = 1 << 32
_U64 = 1 << 64
_I32 = 1 << 31
_I64 = 1 << 63
_DECIMAL = re.compile(r"-?[0-9]+\Z")
_HEX = re.compile(r"[0-9a-fA-F]*\Z")
_SURROGATE = re.compile("[\ud800-\udfff]")
# (hex length, base64 lengths) of an id of that many bytes.
_TRACE_ID = (32, (24, 22), 16)
_SPAN_ID = (16, (12, 11), 8)


class _Budget:
    """What one request may still hold (see Limits above); ``None`` bounds nothing."""

    __slots__ = ("items", "parts", "spans", "events", "links", "records", "taken")

    def __init__(self, max_items: int | None, max_parts: int | None) -> None:
        self.items = _limit(max_items, "max_items")
        self.parts = _limit(max_parts, "max_parts")
        self.taken = 0
        self.spans = self.events = self.links = self.records = 0

    def part(self) -> None:
        if self.taken >= self.parts:
            raise TooManyItems("parts", self.parts)
        self.taken += 1

    def item(self, kind: str, what: str) -> None:
        n = getattr(self, kind)
        if n >= self.items:
            raise TooManyItems(what, self.items)
        setattr(self, kind, n + 1)


def _limit(value: Any, name: str) -> int | float:
    if value is None:
        return math.inf
    if not isinstance(value, int):
        raise TypeError(f"Argument '{name}' has incorrect type (expected int, got {type(value).__name__})")
    if value < 0:
        raise ValueError(f"{name} must be at least 0")
    return value


class _Bad(Exception):
    """A shape error on its way up; each level adds where it was, until one places it whole."""

    def __init__(self, what: str) -> None:
        super().__init__(what)
        self.what = what
        self.placed = False

    def at(self, label: str, index: int | None = None, place: bool = False) -> _Bad:
        if not self.placed:
            head = label if index is None else f"{label} {index}"
            self.what = f"{head}: {self.what}"
            self.placed = place
        return self


def _type_name(v: Any) -> str:
    if v is None:
        return "null"
    if isinstance(v, bool):
        return "a boolean"
    if isinstance(v, (int, float)):
        return "a number"
    if isinstance(v, str):
        return "a string"
    if isinstance(v, list):
        return "an array"
    return "an object"


def _get(obj: dict[str, Any], camel: str, snake: str) -> Any:
    v = obj.get(camel)
    if v is None and snake != camel:
        v = obj.get(snake)
    return v


def _object(v: Any, name: str | None) -> dict[str, Any]:
    """`v` as an object ({} for null); `name` says what it is, None for an item of a list (whose
    place its caller adds)."""
    if v is None:
        return {}
    if not isinstance(v, dict):
        what = f"expected an object, got {_type_name(v)}"
        raise _Bad(f"{name}: {what}" if name else what)
    return v


def _list(v: Any, name: str) -> list[Any]:
    if v is None:
        return []
    if not isinstance(v, list):
        raise _Bad(f"{name}: expected an array, got {_type_name(v)}")
    return v


def _text(v: Any, name: str) -> str:
    if v is None:
        return ""
    if not isinstance(v, str):
        raise _Bad(f"{name}: expected a string, got {_type_name(v)}")
    if not v.isascii() and _SURROGATE.search(v):
        v = _SURROGATE.sub("\ufffd", v)
    return v


def _integer(v: Any, name: str, lo: int, hi: int) -> int:
    """An integer field in [lo, hi): a JSON number without fraction, or a decimal string."""
    if v is None:
        return 0
    if isinstance(v, bool):
        raise _Bad(f"{name}: expected an integer, got a boolean")
    if isinstance(v, int):
        n = v
    elif isinstance(v, float):
        if not v.is_integer():
            raise _Bad(f"{name}: expected an integer, got {v!r}")
        n = int(v)
    elif isinstance(v, str):
        s = v.strip()
        if not _DECIMAL.match(s):
            raise _Bad(f"{name}: expected an integer, got {v[:40]!r}")
        n = int(s)
    else:
        raise _Bad(f"{name}: expected an integer, got {_type_name(v)}")
    if not lo <= n < hi:
        raise _Bad(f"{name}: {n} is out of range")
    return n


def _u64(v: Any, name: str) -> int:
    return _integer(v, name, 0, _U64)


def _u32(v: Any, name: str) -> int:
    return _integer(v, name, 0, _U32)


def _enum(v: Any, name: str, names: dict[str, int]) -> int:
    if isinstance(v, str) and not _DECIMAL.match(v.strip()):
        try:
            return names[v]
        except KeyError:
            raise _Bad(f"{name}: unknown value {v[:40]!r}") from None
    return _integer(v, name, -_I32, _I32)


def _double(v: Any, name: str) -> float:
    if isinstance(v, bool):
        raise _Bad(f"{name}: expected a number, got a boolean")
    if isinstance(v, (int, float)):
        return float(v)
    if isinstance(v, str):
        special = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}.get(v)
        if special is not None:
            return special
        try:
            return float(v)
        except ValueError:
            raise _Bad(f"{name}: expected a number, got {v[:40]!r}") from None
    raise _Bad(f"{name}: expected a number, got {_type_name(v)}")


def _base64(v: str, name: str) -> bytes:
    s = v.replace("-", "+").replace("_", "/")
    s += "=" * (-len(s) % 4)
    try:
        return binascii.a2b_base64(s, strict_mode=True)
    except binascii.Error:
        raise _Bad(f"{name}: not base64: {v[:40]!r}") from None


def _id(v: Any, name: str, shape: tuple[int, tuple[int, int], int]) -> str:
    if v is None:
        return ""
    if not isinstance(v, str):
        raise _Bad(f"{name}: expected a string, got {_type_name(v)}")
    if not v:
        return ""
    hex_len, b64_lens, size = shape
    if len(v) == hex_len and _HEX.match(v):
        return v.lower()
    if len(v) in b64_lens:
        raw = _base64(v, name)
        if len(raw) == size:
            return raw.hex()
    if len(v) % 2 == 0 and _HEX.match(v):
        # Hex of another length: the bytes as sent, as the protobuf road gives them; the mapping
        # refuses that item alone (partial success), not the whole request.
        return v.lower()
    raise _Bad(f"{name}: expected {hex_len} hex digits or {b64_lens[0]} base64 characters, got {v[:40]!r}")


# The members of AnyValue, by each of their names (lowerCamelCase, snake_case).
_MEMBERS = ("stringValue", "boolValue", "intValue", "doubleValue", "arrayValue", "kvlistValue", "bytesValue",
            "stringValueStrindex")
_MEMBER_OF = {name: name for name in _MEMBERS} | {
    re.sub("([A-Z])", lambda m: "_" + m.group(1).lower(), name): name for name in _MEMBERS
}


def _member(v: dict[str, Any]) -> tuple[str, Any] | None:
    """The one member an AnyValue object sets, as (lowerCamelCase name, value); None for none."""
    found: tuple[str, Any] | None = None
    for key, x in v.items():
        member = _MEMBER_OF.get(key)
        if member is None or x is None:
            continue
        if found is None:
            found = (member, x)
        elif found[0] != member:
            raise _Bad(f"more than one of {found[0]} and {member}")
        elif key == member:
            found = (member, x)  # both spellings of one member: lowerCamelCase wins
    return found


def _value(v: Any, depth: int, b: _Budget) -> Any:
    """An AnyValue object (at nesting level `depth`) as a Python value (None for none set)."""
    if depth > MAX_DEPTH:
        raise _Bad(f"nesting deeper than {MAX_DEPTH} levels")
    if v is None:
        return None
    if not isinstance(v, dict):
        raise _Bad(f"expected an object, got {_type_name(v)}")
    found = _member(v)
    if found is None:
        return None
    member, x = found
    if member == "stringValue":
        return _text(x, member)
    if member == "intValue":
        return _integer(x, member, -_I64, _I64)
    if member == "boolValue":
        if not isinstance(x, bool):
            raise _Bad(f"boolValue: expected a boolean, got {_type_name(x)}")
        return x
    if member == "doubleValue":
        return _double(x, member)
    if member == "arrayValue":
        out = []
        for item in _list(_object(x, member).get("values"), "arrayValue.values"):
            b.part()
            out.append(_value(item, depth + 1, b))
        return out
    if member == "kvlistValue":
        return _attributes(_object(x, member).get("values"), b, depth + 1, nested=True)
    if member == "bytesValue":
        if not isinstance(x, str):
            raise _Bad(f"bytesValue: expected a string, got {_type_name(x)}")
        return binascii.b2a_base64(_base64(x, member), newline=False).decode("ascii")
    _enum(x, member, {})  # stringValueStrindex: checked, then read as absent (profiles only)
    return None


def _attributes(v: Any, b: _Budget, depth: int = 1, nested: bool = False) -> dict[str, Any]:
    """A list of KeyValue objects as a dict (a later key wins); values at nesting `depth`."""
    out: dict[str, Any] = {}
    for i, kv in enumerate(_list(v, "values" if nested else "attributes")):
        b.part()
        try:
            kv = _object(kv, None)
            key = _text(kv.get("key"), "key")
            value = kv.get("value")
            try:
                # An absent value is None at any depth (the native reader reads no AnyValue then).
                out[key] = None if value is None else _value(value, depth, b)
            except _Bad as e:
                raise e if nested else e.at("value")
        except _Bad as e:
            raise e if nested else e.at("attribute", i)
    return out


def _scope(v: Any, b: _Budget) -> dict[str, Any]:
    s = _object(v, "scope")
    try:
        _u32(_get(s, "droppedAttributesCount", "dropped_attributes_count"), "droppedAttributesCount")
        return {
            "name": _text(s.get("name"), "name"),
            "version": _text(s.get("version"), "version"),
            "attributes": _attributes(s.get("attributes"), b),
        }
    except _Bad as e:
        raise e.at("scope")


def _resource(v: Any, b: _Budget) -> dict[str, Any]:
    r = _object(v, "resource")
    try:
        _u32(_get(r, "droppedAttributesCount", "dropped_attributes_count"), "droppedAttributesCount")
        return _attributes(r.get("attributes"), b)
    except _Bad as e:
        raise e.at("resource")


def _event(v: Any, b: _Budget) -> dict[str, Any]:
    b.item("events", "span events")
    e = _object(v, None)
    return {
        "time_unix_nano": _u64(_get(e, "timeUnixNano", "time_unix_nano"), "timeUnixNano"),
        "name": _text(e.get("name"), "name"),
        "attributes": _attributes(e.get("attributes"), b),
        "dropped_attributes_count": _u32(_get(e, "droppedAttributesCount", "dropped_attributes_count"),
                                         "droppedAttributesCount"),
    }


def _link(v: Any, b: _Budget) -> dict[str, Any]:
    b.item("links", "span links")
    link = _object(v, None)
    _u32(_get(link, "droppedAttributesCount", "dropped_attributes_count"), "droppedAttributesCount")
    return {
        "trace_id": _id(_get(link, "traceId", "trace_id"), "traceId", _TRACE_ID),
        "span_id": _id(_get(link, "spanId", "span_id"), "spanId", _SPAN_ID),
        "trace_state": _text(_get(link, "traceState", "trace_state"), "traceState"),
        "attributes": _attributes(link.get("attributes"), b),
        "flags": _u32(link.get("flags"), "flags"),
    }


def _items(v: Any, label: str, read: Any, b: _Budget) -> list[dict[str, Any]]:
    out = []
    for i, item in enumerate(_list(v, label + "s")):
        try:
            out.append(read(item, b))
        except _Bad as e:
            raise e.at(label, i)
    return out


def _status(v: Any) -> dict[str, Any]:
    s = _object(v, "status")
    try:
        return {"code": _enum(s.get("code"), "code", STATUS_CODES), "message": _text(s.get("message"), "message")}
    except _Bad as e:
        raise e.at("status")


def _span(v: Any, resource: dict[str, Any], schema_url: str, scope: dict[str, Any], b: _Budget) -> dict[str, Any]:
    b.item("spans", "spans")
    s = _object(v, None)
    return {
        "trace_id": _id(_get(s, "traceId", "trace_id"), "traceId", _TRACE_ID),
        "span_id": _id(_get(s, "spanId", "span_id"), "spanId", _SPAN_ID),
        "parent_span_id": _id(_get(s, "parentSpanId", "parent_span_id"), "parentSpanId", _SPAN_ID),
        "trace_state": _text(_get(s, "traceState", "trace_state"), "traceState"),
        "flags": _u32(s.get("flags"), "flags"),
        "name": _text(s.get("name"), "name"),
        "kind": _enum(s.get("kind"), "kind", SPAN_KINDS),
        "start_time_unix_nano": _u64(_get(s, "startTimeUnixNano", "start_time_unix_nano"), "startTimeUnixNano"),
        "end_time_unix_nano": _u64(_get(s, "endTimeUnixNano", "end_time_unix_nano"), "endTimeUnixNano"),
        "attributes": _attributes(s.get("attributes"), b),
        "dropped_attributes_count": _u32(_get(s, "droppedAttributesCount", "dropped_attributes_count"),
                                         "droppedAttributesCount"),
        "events": _items(s.get("events"), "event", _event, b),
        "dropped_events_count": _u32(_get(s, "droppedEventsCount", "dropped_events_count"), "droppedEventsCount"),
        "links": _items(s.get("links"), "link", _link, b),
        "dropped_links_count": _u32(_get(s, "droppedLinksCount", "dropped_links_count"), "droppedLinksCount"),
        "status": _status(s.get("status")),
        "resource": resource,
        "resource_schema_url": schema_url,
        "scope": scope,
    }


def _record(v: Any, resource: dict[str, Any], scope: dict[str, Any], b: _Budget) -> dict[str, Any]:
    b.item("records", "log records")
    r = _object(v, None)
    body = r.get("body")
    try:
        body_value = _value(body, 1, b)
    except _Bad as e:
        raise e.at("body")
    return {
        "time_unix_nano": _u64(_get(r, "timeUnixNano", "time_unix_nano"), "timeUnixNano"),
        "observed_time_unix_nano": _u64(_get(r, "observedTimeUnixNano", "observed_time_unix_nano"),
                                        "observedTimeUnixNano"),
        "severity_number": _enum(_get(r, "severityNumber", "severity_number"), "severityNumber", SEVERITY_NUMBERS),
        "severity_text": _text(_get(r, "severityText", "severity_text"), "severityText"),
        "body": body_value,
        "attributes": _attributes(r.get("attributes"), b),
        "dropped_attributes_count": _u32(_get(r, "droppedAttributesCount", "dropped_attributes_count"),
                                         "droppedAttributesCount"),
        "flags": _u32(r.get("flags"), "flags"),
        "trace_id": _id(_get(r, "traceId", "trace_id"), "traceId", _TRACE_ID),
        "span_id": _id(_get(r, "spanId", "span_id"), "spanId", _SPAN_ID),
        "event_name": _text(_get(r, "eventName", "event_name"), "eventName"),
        "resource": resource,
        "scope": scope,
    }


def _document(body: bytes) -> dict[str, Any]:
    if not isinstance(body, (bytes, bytearray, memoryview)):
        raise TypeError(f"Argument 'body' has incorrect type (expected bytes, got {type(body).__name__})")
    text = bytes(body).decode("utf-8-sig", "replace")  # a leading byte order mark is dropped
    try:
        doc = json.loads(text)
    except RecursionError:
        raise ValueError("request: nesting too deep") from None
    except ValueError as e:
        raise ValueError(f"request: not JSON: {e}") from None
    if not isinstance(doc, dict):
        raise ValueError(f"request: expected an object, got {_type_name(doc)}")
    return doc


def _walk(doc: dict[str, Any], resource_key: tuple[str, str], scope_key: tuple[str, str],
          items_key: tuple[str, str], item_label: str, build: Any, b: _Budget) -> list[dict[str, Any]]:
    out: list[dict[str, Any]] = []
    groups_name = resource_key[1]
    try:
        groups = _list(_get(doc, *resource_key), resource_key[0])
    except _Bad as e:
        raise ValueError(e.at("request").what) from None
    for g, group in enumerate(groups):
        b.part()
        try:
            group = _object(group, None)
            resource = _resource(group.get("resource"), b)
            schema_url = _text(_get(group, "schemaUrl", "schema_url"), "schemaUrl")
            scopes = _list(_get(group, *scope_key), scope_key[0])
            for s, scoped in enumerate(scopes):
                b.part()
                try:
                    scoped = _object(scoped, None)
                    scope = _scope(scoped.get("scope"), b)
                    _text(_get(scoped, "schemaUrl", "schema_url"), "schemaUrl")
                    items = _list(_get(scoped, *items_key), items_key[0])
                except _Bad as e:
                    raise e.at(scope_key[1], s)
                for item in items:
                    try:
                        out.append(build(item, resource, schema_url, scope, b))
                    except _Bad as e:
                        raise e.at(item_label, len(out), place=True)
        except _Bad as e:
            raise ValueError(e.at(groups_name, g, place=True).what) from None
    return out


def decode_json_traces(body: bytes, max_items: int | None = None, max_parts: int | None = None) -> list[dict[str, Any]]:
    """The spans of an OTLP/HTTP JSON ExportTraceServiceRequest, one plain dict each.

    Args:
        body: the request body (UTF-8 JSON), after any Content-Encoding was undone.
        max_items: the most spans, span events and span links (each on its own); None: no bound.
        max_parts: the most attributes and other parts (see Limits above); None: no bound.

    Returns:
        The spans in request order, in the shape ``Ingest._decode_otlp_traces`` gives.

    Raises:
        ValueError: the body is not such a request; the message names where.
        TooManyItems: the request holds more than a limit allows.

    Example:
        >>> decode_json_traces(b'{"resourceSpans": []}')
        []
    """
    budget = _Budget(max_items, max_parts)
    return _walk(_document(body), ("resourceSpans", "resource_spans"), ("scopeSpans", "scope_spans"),
                 ("spans", "spans"), "span", _span, budget)


def decode_json_logs(body: bytes, max_items: int | None = None, max_parts: int | None = None) -> list[dict[str, Any]]:
    """The log records of an OTLP/HTTP JSON ExportLogsServiceRequest, one plain dict each.

    Args:
        body: the request body (UTF-8 JSON), after any Content-Encoding was undone.
        max_items: the most log records; None: no bound.
        max_parts: the most attributes and other parts (see Limits above); None: no bound.

    Returns:
        The log records in request order, in the shape ``Ingest._decode_otlp_logs`` gives.

    Raises:
        ValueError: the body is not such a request; the message names where.
        TooManyItems: the request holds more than a limit allows.
    """
    budget = _Budget(max_items, max_parts)
    return _walk(_document(body), ("resourceLogs", "resource_logs"), ("scopeLogs", "scope_logs"),
                 ("logRecords", "log_records"), "log record",
                 lambda item, resource, _schema_url, scope, b: _record(item, resource, scope, b), budget)
