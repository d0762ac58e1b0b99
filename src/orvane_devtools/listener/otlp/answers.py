"""The receiver's answers in both encodings, written by hand: the ``Export*ServiceResponse``
messages (with their ``partial_success``) and ``google.rpc.Status`` are a few bytes each, and
the listener needs no protobuf runtime to write them.

Protobuf: ``Export{Trace,Logs,Metrics}ServiceResponse { Export*PartialSuccess partial_success =
1; }``, ``Export*PartialSuccess { int64 rejected_<items> = 1; string error_message = 2; }``,
``Status { int32 code = 1; string message = 2; }``; fields at their default value are left out, so
a full success is an empty body. JSON: lowerCamelCase names, the 64-bit count as a decimal
string, ``{}`` for a full success.
"""

from __future__ import annotations

import json

__all__ = ["JSON", "PROTOBUF", "export_response", "status_body", "varint"]

PROTOBUF = "application/x-protobuf"
JSON = "application/json"

# google.rpc.Code values of the answers the receiver gives.
INVALID_ARGUMENT = 3
RESOURCE_EXHAUSTED = 8
UNAVAILABLE = 14


def varint(value: int) -> bytes:
    """``value`` as a protobuf varint (negative numbers as their 64-bit two's complement)."""
    if value < 0:
        value += 1 << 64
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _field_varint(number: int, value: int) -> bytes:
    return varint(number << 3) + varint(value) if value else b""


def _field_bytes(number: int, data: bytes) -> bytes:
    return varint((number << 3) | 2) + varint(len(data)) + data if data else b""


def export_response(media: str, rejected_key: str, rejected: int, message: str) -> bytes:
    """An ``Export*ServiceResponse``: ``partial_success`` when items were refused or a message
    is to be said. ``rejected_key`` is the JSON name of the count (``rejectedSpans``,
    ``rejectedLogRecords``, ``rejectedDataPoints``)."""
    if media == JSON:
        if not rejected and not message:
            return b"{}"
        partial: dict[str, str] = {}
        if rejected:
            partial[rejected_key] = str(rejected)
        if message:
            partial["errorMessage"] = message
        return json.dumps({"partialSuccess": partial}, ensure_ascii=False).encode("utf-8")
    inner = _field_varint(1, rejected) + _field_bytes(2, message.encode("utf-8", "replace"))
    if not inner:
        return b""
    return _field_bytes(1, inner)


def status_body(media: str, code: int, message: str) -> bytes:
    """A ``google.rpc.Status`` with ``code`` and ``message``."""
    if media == JSON:
        return json.dumps({"code": code, "message": message}, ensure_ascii=False).encode("utf-8")
    return _field_varint(1, code) + _field_bytes(2, message.encode("utf-8", "replace"))
