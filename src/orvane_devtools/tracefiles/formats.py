"""What one line of a trace file is: an event, an OTLP JSON request, nothing (blank), or bad.

Two formats, recognised line by line (a file may mix them):

* the JSON Lines backend's own line: one event as a JSON object (``JSONLTraceSink`` writes
  ``json.dumps(DataFormatter.sanitize(event.model_dump(mode="json")))`` per line). Whether the
  object is a valid event is the upload decoder's call (``listener.decode``), as for ``/ingest``;
  here it only has to be a JSON object.
* an OTLP JSON request per line, as an OpenTelemetry Collector's file exporter writes them: an
  object with ``resourceSpans`` (an ``ExportTraceServiceRequest``), ``resourceLogs``
  (``ExportLogsServiceRequest``) or ``resourceMetrics`` (``ExportMetricsServiceRequest``).

Everything else is a bad line with the reason: bytes that are not UTF-8, text that is not JSON, a
line cut off by the end of the file, JSON that is not an object, a line over the length limit.
"""

from __future__ import annotations

import json
from typing import Any

from pydantic_core import from_json as _from_json

from .lines import Line

__all__ = [
    "BLANK",
    "BAD",
    "EVENT",
    "OTLP_KINDS",
    "recognise",
]

EVENT = "event"
BLANK = "blank"
BAD = "bad"
# The top-level member of each OTLP request, and the kind of data it carries.
OTLP_KINDS = {"resourceSpans": "traces", "resourceLogs": "logs", "resourceMetrics": "metrics"}
_EVENT_MEMBERS = ("event_type", "event_id")
_JSON_KINDS = {list: "an array", str: "a string", int: "a number", float: "a number",
               bool: "true or false", type(None): "null"}


def _cut(line: Line) -> str:
    if line.cut_gzip:
        return "cut off: the gzip stream ends (or is damaged) inside this line"
    return "cut off: the file ends inside this line (no end of line after it)"


def recognise(line: Line, limit: int) -> tuple[str, Any]:
    """(kind, value) of one line: (EVENT, the decoded object), (an OTLP kind such as "traces",
    the decoded request), (BLANK, None) or (BAD, the reason as text)."""
    if line.too_long:
        if not line.ended:
            return BAD, f"longer than the limit of {limit} bytes, and {_cut(line)}"
        return BAD, f"longer than the limit of {limit} bytes"
    data = line.data
    if not data.strip():
        if line.cut_gzip:
            return BAD, _cut(line)
        return BLANK, None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as exc:
        if not line.ended:
            return BAD, _cut(line)
        return BAD, f"not UTF-8 text (byte {exc.start + 1} of the line)"
    try:
        value = _from_json(text)
    except ValueError:
        # Refused by the quick parser: the standard one decides (it takes the escapes of lone
        # surrogates the JSON Lines backend writes) and gives the reason.
        try:
            value = json.loads(text)
        except RecursionError:
            return BAD, "not an event: nested too deeply"
        except ValueError as exc:
            if not line.ended:
                return BAD, _cut(line)
            return BAD, f"not JSON ({exc})"
    if type(value) is not dict:
        return BAD, f"not an event: a JSON object is expected, the line holds {_JSON_KINDS.get(type(value), 'another value')}"
    for member, kind in OTLP_KINDS.items():
        if member in value and not any(k in value for k in _EVENT_MEMBERS):
            return kind, value
    return EVENT, value
