"""Decoding an upload body into events: the shape check, per-event validation and masking.

The body is the one ``RemoteTraceSink`` sends::

    {"app_id": str, "group_id": str | null, "environment": str, "events": [event, ...]}

Each event is validated as a ``RuntimeEvent``; one that fails is rejected by its index with the
reason and the others are kept. Every event is masked with ``DataFormatter.sanitize`` before it is
validated, so a secret never reaches the store (nor an error message).

Two roads give the same events. The quick one validates the whole body in one pass of the
JSON parser when its bytes show that masking would change nothing (no key that is a secret's
name, ASCII only, no ``\\u`` escape) and that nothing needs special handling (no NaN or
Infinity); any failure on the quick road falls back to the careful one, which decodes the body,
masks and validates event by event.
"""

from __future__ import annotations

import json
import math
import re
from dataclasses import dataclass, field
from typing import Any

from pydantic import BaseModel, ConfigDict, ValidationError

from orvane.utils import _SECRET_KEYS, DataFormatter

from .._orvane_compat import RuntimeEvent

__all__ = ["BodyError", "DecodedBatch", "decode_body"]

# The sanitizer's secret names as JSON strings: a body holding none of them (ASCII
# case-insensitively) has no key that masking would change. Only exact keys are masked, so
# "tokens" or "secretary" do not count. Taken from the sanitizer itself so the two never part.
_SECRET_NAMES = tuple(sorted(b'"' + name.encode("ascii") + b'"' for name in _SECRET_KEYS))
# A number with a three-digit exponent may not fit a float (it would become infinity).
_HUGE_NUMBER_RE = re.compile(rb"[0-9][eE][+-]?[0-9]{3}")
_META_KEYS = ("app_id", "group_id", "environment")
MAX_ERROR_TEXT = 300


class BodyError(ValueError):
    """The body is not an upload body at all (answered with 400)."""


@dataclass
class DecodedBatch:
    """The valid events of a body with their indexes, and the rejected indexes with reasons."""

    events: list[RuntimeEvent] = field(default_factory=list)
    indexes: list[int] = field(default_factory=list)
    rejected: list[dict[str, Any]] = field(default_factory=list)
    total: int = 0


class _QuickBody(BaseModel):
    model_config = ConfigDict(extra="ignore")

    app_id: str | None = None
    group_id: str | None = None
    environment: str | None = None
    events: list[RuntimeEvent]


def _needs_careful_road(body: bytes) -> bool:
    if not body.isascii() or b"\\u" in body:
        return True
    if b"NaN" in body or b"Infinity" in body or _HUGE_NUMBER_RE.search(body) is not None:
        return True
    lowered = body.lower()
    return any(name in lowered for name in _SECRET_NAMES)


def _constant(name: str) -> str:
    # NaN and +-Infinity are not JSON: keep them as their names rather than as floats that no
    # JSON reader (the page's included) would accept back.
    return name


def _clean_floats(value: Any) -> Any:
    """Non-finite floats (from numbers too large for a float) become their names as text."""
    kind = type(value)
    if kind is float:
        if math.isfinite(value):
            return value
        return "NaN" if value != value else ("Infinity" if value > 0 else "-Infinity")
    if kind is dict:
        return {k: _clean_floats(v) for k, v in value.items()}
    if kind is list:
        return [_clean_floats(v) for v in value]
    return value


_INT64_MIN = -(2**63)
_INT64_MAX = 2**63 - 1


def _unstorable(event: RuntimeEvent, clean: Any) -> str | None:
    """Why a valid event still cannot be kept (checked before it reaches the desk, so that a
    resent batch is refused the same way again), or None."""
    if not _INT64_MIN <= event.timestamp <= _INT64_MAX:
        return "timestamp: must be a 64-bit integer of milliseconds"
    try:
        json.dumps(clean, ensure_ascii=False).encode("utf-8")
    except UnicodeEncodeError:
        return "the event holds text that is not valid Unicode (a lone surrogate)"
    return None


def _error_text(exc: ValidationError) -> str:
    parts = []
    for err in exc.errors(include_input=False, include_url=False):
        loc = ".".join(str(p) for p in err.get("loc", ()))
        parts.append(f"{loc}: {err.get('msg')}" if loc else str(err.get("msg")))
    text = "; ".join(parts) or "invalid event"
    return text[:MAX_ERROR_TEXT]


def _check_body_fields(doc: dict[str, Any]) -> tuple[dict[str, Any], list[Any]]:
    events = doc.get("events")
    if "events" not in doc:
        raise BodyError("the body has no 'events' list")
    if not isinstance(events, list):
        raise BodyError("'events' must be a list")
    defaults: dict[str, Any] = {}
    for key in _META_KEYS:
        value = doc.get(key)
        if value is None:
            continue
        if not isinstance(value, str):
            raise BodyError(f"'{key}' must be a string or null")
        defaults[key] = value
    return defaults, events


def _fill_meta(meta: dict[str, Any], defaults: dict[str, Any]) -> None:
    # The sink's rule: the event's own meta wins; an empty app_id or environment is not applied.
    for key, value in defaults.items():
        if key not in meta and (value or key == "group_id"):
            meta[key] = value


def _quick(body: bytes) -> DecodedBatch | None:
    try:
        parsed = _QuickBody.model_validate_json(body)
    except ValidationError:
        return None
    events = parsed.events
    for ev in events:
        if "event_id" not in ev.model_fields_set or not ev.event_id:
            return None
        if not _INT64_MIN <= ev.timestamp <= _INT64_MAX:
            return None
    defaults = {k: getattr(parsed, k) for k in _META_KEYS if getattr(parsed, k) is not None}
    if defaults:
        for ev in events:
            _fill_meta(ev.meta, defaults)
    return DecodedBatch(events=events, indexes=list(range(len(events))), total=len(events))


def _careful(body: bytes) -> DecodedBatch:
    try:
        doc = json.loads(body, parse_constant=_constant)
    except RecursionError:
        raise BodyError("the body is nested too deeply") from None
    except (UnicodeDecodeError, ValueError) as exc:
        raise BodyError(f"the body is not valid JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise BodyError("the body must be a JSON object with an 'events' list")
    defaults, items = _check_body_fields(doc)
    batch = DecodedBatch(total=len(items))
    for index, item in enumerate(items):
        if not isinstance(item, dict):
            batch.rejected.append({"index": index, "error": "an event must be a JSON object"})
            continue
        event_id = item.get("event_id")
        if not isinstance(event_id, str) or not event_id:
            batch.rejected.append({
                "index": index,
                "error": "event_id: a non-empty string is required (retries are matched by it)",
            })
            continue
        clean = _clean_floats(DataFormatter.sanitize(item))
        try:
            event = RuntimeEvent.model_validate(clean)
        except ValidationError as exc:
            batch.rejected.append({"index": index, "error": _error_text(exc)})
            continue
        problem = _unstorable(event, clean)
        if problem is not None:
            batch.rejected.append({"index": index, "error": problem})
            continue
        if defaults:
            _fill_meta(event.meta, defaults)
        batch.events.append(event)
        batch.indexes.append(index)
    return batch


def decode_body(body: bytes) -> DecodedBatch:
    """The events of an upload body; raises ``BodyError`` for a body of the wrong shape."""
    if not body.strip():
        raise BodyError("the body is empty; expected a JSON object with an 'events' list")
    if not _needs_careful_road(body):
        batch = _quick(body)
        if batch is not None:
            return batch
    return _careful(body)
