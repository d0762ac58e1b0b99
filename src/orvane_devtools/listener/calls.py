"""The LLM calls the listener reads at ingest, as pieces for the log service to fold and store.

Each stored event that carries an LLM call gives one ``CallPiece`` (``logs._llm``): read here,
once, from the event as it is stored (masked), and folded into its run's call by the log service
in the commit that stores the event. Lists, sorts and totals then read stored numbers.

* Our own events (``/ingest``, ``/import``): ``read_event`` of a payload (else meta) that names a
  ``model`` or carries ``usage`` (or span-style GenAI attributes), on whatever run the event
  belongs to; a stream delta of a run gives the time of its first token. An event without any of
  those keys costs one key check of its payload and of its meta.
* Spans (``otlp.mapping``): ``read_span`` of each span, from the payloads of the events it
  became (its request and response attributes, its span events); GenAI log events of a span
  with ``fold_log_event``, each message event appended to the call's messages.

Pieces are read without a price: the log service prices each run's folded call once per commit.
"""

from __future__ import annotations

from typing import Any

from ..llm import fold_log_event, read_fields, read_span
from ..logs import CallPiece

__all__ = ["event_pieces", "log_piece", "span_piece"]

# Keys of a payload or meta that may describe an LLM call (read_event reads only those that have
# one of them): a usage mapping, a model (at the top, in a request or a response), span-style
# attributes.
_HINTS = frozenset(("usage", "model", "request", "response", "gen_ai.operation.name", "openinference.span.kind"))
# GenAI log events that are one message each (their messages follow those already kept).
_MESSAGE_EVENTS = frozenset((
    "gen_ai.system.message", "gen_ai.user.message", "gen_ai.assistant.message", "gen_ai.tool.message",
    "gen_ai.choice",
))


def event_pieces(events: list[Any]) -> list[CallPiece]:
    """The pieces of our own events (RuntimeEvents of one upload or import)."""
    hints = _HINTS
    pieces: list[CallPiece] = []
    for event in events:
        run = event.run
        if run is None:
            continue
        payload = event.payload
        meta = event.meta
        hinted = (type(payload) is dict and not hints.isdisjoint(payload)) or (
            type(meta) is dict and not hints.isdisjoint(meta)
        )
        # A stream delta ("stream.delta", "*.delta", "*_delta").
        delta = event.event_type.endswith((".delta", "_delta"))
        if not (hinted or delta):
            continue
        kind = run.run_kind
        timestamp = event.timestamp
        call = read_fields(payload, meta, timestamp, kind, price=False) if hinted else None
        if call is None and not delta:
            continue
        pieces.append(CallPiece(event.event_id, run.run_id, call, kind == "llm", False,
                                timestamp if delta else None))
    return pieces


def span_piece(events: list[Any], *, name: str, start_ns: int, end_ns: int, span_events: list[int]) -> CallPiece | None:
    """The piece of a span mapped to ``events`` (its ``.started`` event first, its ``.completed``
    or ``.failed`` event last, between them its span events, whose times in nanoseconds are
    ``span_events``), or None when the span is not an LLM call. Read from the events' payloads,
    that is from the span's attributes as they are stored (masked)."""
    started, ended = events[0], events[-1]
    attributes: dict[str, Any] = {}
    for event in (started, ended):
        if type(event.payload) is dict:
            attributes.update(event.payload)
    inner = [
        {"name": ev.event_type, "time_unix_nano": at_ns,
         "attributes": ev.payload if type(ev.payload) is dict else {}}
        for ev, at_ns in zip(events[1:-1], span_events, strict=True)
    ]
    call = read_span(attributes, name=name, start_ns=start_ns, end_ns=end_ns, events=inner, price=False)
    if call is None:
        return None
    return CallPiece(ended.event_id, ended.run.run_id, call, True)


def log_piece(event: Any, time_ns: int) -> CallPiece | None:
    """The piece of a GenAI log event of a span (an event mapped from an OTLP log record, whose
    payload is ``{"body", "attributes"}``), or None for any other record."""
    event_type = event.event_type
    if not event_type.startswith("gen_ai.") or event.run is None:
        return None
    payload = event.payload if type(event.payload) is dict else {}
    attributes = payload.get("attributes")
    call = fold_log_event(None, event_type, payload.get("body"), attributes if type(attributes) is dict else None)
    if call is None:
        return None
    call.at_ns = time_ns
    call.settle()
    return CallPiece(event.event_id, event.run.run_id, call, True, event_type in _MESSAGE_EVENTS)
