"""OTLP JSON lines in a trace file: read as the receiver reads an ``application/json`` body, and
stored through the receiver's own road.

Every line recognised as an OTLP JSON request (``formats.OTLP_KINDS``) comes here, from every
road in (``orvane-devtools import`` into a database, ``POST /import``, so ``open`` and the page
too):

* ``read_line`` decodes one line with the receiver's JSON reader (``listener.otlp.json_body``):
  the spans or log records of one ``Export*ServiceRequest``. A line that is no such request is a
  bad line (``ValueError``, with the reader's reason). Metrics lines are taken and not kept, as
  ``POST /v1/metrics`` takes them; they are counted under ``NOT_KEPT``, never as bad lines.
* ``store_lines`` maps the items of each line onto runs and events (``listener.otlp.mapping``,
  with the stored span runs as the receiver looks them up) and commits each line as the receiver
  commits one request (``ListenerCore.store_mapped``: the events with their span links, so a
  span whose parent is in an earlier line, an earlier file or a later one joins its tree). The
  event ids are derived from the trace id, span id and position, so a file imported twice is
  stored once.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

__all__ = ["NOT_KEPT", "OtlpLine", "StoredLines", "read_line", "store_lines"]

NOT_KEPT = "OTLP metrics lines taken and not kept (this listener keeps traces and logs)"

_NOUNS = {"traces": "span", "logs": "log record"}


@dataclass(slots=True)
class OtlpLine:
    """One OTLP line decoded: its number in its source, ``traces`` or ``logs``, and its items
    in the receiver's decoded shape."""

    number: int
    kind: str
    items: list[dict[str, Any]]


@dataclass(slots=True)
class StoredLines:
    """What storing the OTLP lines of one batch did: the events stored and repeated, each line
    with refused items as ``(line, reason)`` (the others of its items are stored), and the core's result of each line (to feed the desk
    and the streams with, once committed)."""

    accepted: int = 0
    duplicates: int = 0
    refused: list[tuple[int, str]] = field(default_factory=list)
    results: list[Any] = field(default_factory=list)


# Refused items a line's reason names; the others are counted.
_SHOWN = 3


def _refused(noun: str, rejected: list[dict[str, Any]]) -> str:
    shown = "; ".join(f"{noun} {r['index']}: {r['error']}" for r in rejected[:_SHOWN])
    more = f"; and {len(rejected) - _SHOWN} more" if len(rejected) > _SHOWN else ""
    return f"{len(rejected)} {noun}(s) of the line refused: {shown}{more}"


def read_line(kind: str, body: bytes, max_items: int | None = None,
              max_parts: int | None = None) -> OtlpLine | None:
    """The spans or log records of one OTLP JSON line, or None for a metrics line (not kept).

    ``kind`` is "traces", "logs" or "metrics" (``formats.OTLP_KINDS``); ``body`` the line's
    bytes, one ``Export*ServiceRequest`` in OTLP's JSON encoding. ``max_items`` and ``max_parts``
    bound the line as the listener's ``--max-items`` bounds one request (None: the listener's
    defaults), so a line of millions of tiny spans is refused while it is read. ``ValueError``
    when the line is no such request or holds more than the bounds allow (the line is then a bad
    line, with the error's text as its reason).
    """
    if kind not in _NOUNS:
        return None
    from ..listener.config import DEFAULT_MAX_ITEMS, PARTS_PER_ITEM
    from ..listener.otlp import json_body
    from ..listener.otlp.body import TooManyItems

    if max_items is None:
        max_items = DEFAULT_MAX_ITEMS
    if max_parts is None:
        max_parts = max_items * PARTS_PER_ITEM
    read = json_body.decode_json_traces if kind == "traces" else json_body.decode_json_logs
    try:
        items = read(body, max_items, max_parts)
    except RecursionError:
        raise ValueError("not an OTLP request: nesting too deep") from None
    except TooManyItems as exc:
        raise ValueError(f"holds more than {exc.limit} {exc.what} (--max-items {max_items}): "
                         f"split it into smaller requests") from None
    return OtlpLine(0, kind, items)


async def store_lines(core: Any, lines: list[OtlpLine]) -> StoredLines:
    """Commits the OTLP lines of one batch through ``core`` (a ``ListenerCore``), one
    transaction per line, in order; raises ``StorageError`` as ``store_mapped`` does."""
    from ..listener.otlp import mapping

    out = StoredLines()
    for line in lines:
        if not line.items:
            continue
        known = core.span_lookup()
        if line.kind == "traces":
            mapped = mapping.map_spans(line.items, known=known)
        else:
            mapped = mapping.map_logs(line.items, known=known)
        result = await core.store_mapped(mapped)
        out.accepted += result.accepted
        out.duplicates += result.duplicates
        if result.rejected:
            out.refused.append((line.number, _refused(_NOUNS[line.kind], result.rejected)))
        out.results.append(result)
    return out
