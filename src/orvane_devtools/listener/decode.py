"""Decoding an upload body into events: the shape check, per-event validation and masking.

The body is the one ``RemoteTraceSink`` sends::

    {"app_id": str, "group_id": str | null, "environment": str, "events": [event, ...]}

Each event is validated as a ``RuntimeEvent``; one that fails is rejected by its index with the
reason and the others are kept. Every event is masked as ``DataFormatter.sanitize`` masks it, so a
secret never reaches the store (nor an error message: errors come from the careful road only,
which masks before it validates).

Three roads give the same events. The native one (``Ingest._read_upload_body``) reads the body
and builds the events without validation wherever validation would only take the values over:
an event object whose members are fields of the model with their declared JSON types, its
values of free shape masked by the shared native sanitizer. An event it cannot build exactly is
left to the careful road (below), event by event; a body it cannot read as a whole (not strict
JSON, NaN, a lone surrogate, a host's own sanitizer, ...) goes to the other two roads.

The quick road validates the whole body in one pass of the JSON
parser, then walks the values of free shape (``level``, ``payload``, ``error``, ``meta``, the
run's ``run_kind`` and ``meta``) once: it masks what the sanitizer would mask, with the
sanitizer's own verdict on each key, turns non-finite numbers into their names, and gives up on
anything that needs special handling (an invalid event, nesting close to the sanitizer's depth
limit, a ``\\ud`` escape that may be a lone surrogate, a host's own replacement of
``DataFormatter.sanitize``). Giving up falls back to the careful road, which decodes the body,
masks and validates event by event and finds the rejected indexes.
"""

from __future__ import annotations

import json
import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from pydantic import BaseModel, ConfigDict, ValidationError

from orvane.utils import DataFormatter

from .._orvane_compat import RuntimeEvent, RuntimeRunContext
from .Ingest import _read_upload_body

__all__ = ["BodyError", "DecodedBatch", "decode_body", "event_masker", "plain_event_models", "value_masker"]

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


def _may_hold_surrogates(body: bytes) -> bool:
    """Whether the body has a ``\\ud..`` escape (a surrogate, perhaps a lone one that no store
    can encode). A body without any backslash is answered by one ``memchr``."""
    return b"\\" in body and (b"\\ud" in body or b"\\uD" in body)


class _GiveUp(Exception):
    """The quick road cannot decide this body alike; the careful road takes it."""


# The sanitizer as this module found it: a host that replaces it gets its own on every event
# (the careful road calls it), since the quick road can only decide like the original.
_ORIGINAL_SANITIZE = DataFormatter.__dict__.get("sanitize")
# Values that hold nothing to mask or to refuse: the walk steps over them.
_PLAIN = frozenset((str, int, bool, type(None)))


def _float_text(value: float) -> str:
    """The name a non-finite float is kept under (no JSON reader takes it back as a number)."""
    return "NaN" if value != value else ("Infinity" if value > 0 else "-Infinity")


class _Masker:
    """Masks the secrets of decoded values in place, deciding like ``DataFormatter.sanitize``,
    and turns non-finite floats into their names as the careful road does.

    The verdict on each key text comes from the sanitizer (``DataFormatter.is_secret_key``) and
    is remembered for one body only, where the same keys come back event after event: a mapping
    whose keys are all known to be harmless (one set operation) only has its values walked.
    Raises ``_GiveUp`` on nesting that comes near the sanitizer's depth limit (where it cuts the
    value short).
    """

    __slots__ = ("verdicts", "harmless", "limit", "mask")

    def __init__(self) -> None:
        self.verdicts: dict[str, bool] = {}
        self.harmless: set[str] = set()
        self.mask = DataFormatter.MASK
        # The sanitizer walks an event from depth 0; stay well clear of where it cuts.
        self.limit = DataFormatter.MAX_DEPTH - 2

    def items(self, items: Any, depth: int) -> bool:
        """Walks the containers among ``items`` (of a container at ``depth``); True when a
        non-finite float is among them (the caller writes those as text)."""
        plain = _PLAIN
        odd = False
        for item in items:
            kind = type(item)
            if kind in plain:
                continue
            if kind is dict:
                self.mapping(item, depth)
            elif kind is list:
                self.sequence(item, depth)
            elif kind is float and not math.isfinite(item):
                odd = True
        return odd

    def sequence(self, value: list[Any], depth: int) -> None:
        if depth >= self.limit:
            raise _GiveUp
        if self.items(value, depth + 1):
            for i, item in enumerate(value):
                if type(item) is float and not math.isfinite(item):
                    value[i] = _float_text(item)

    def mapping(self, value: dict[str, Any], depth: int) -> None:
        if depth >= self.limit:
            raise _GiveUp
        if not self.harmless.issuperset(value):
            self.mask_keys(value)  # the values under secret keys become the mask (plain text)
        if self.items(value.values(), depth + 1):
            for key, item in value.items():
                if type(item) is float and not math.isfinite(item):
                    value[key] = _float_text(item)

    def mask_keys(self, value: dict[str, Any]) -> None:
        verdicts = self.verdicts
        harmless = self.harmless
        for key in value.keys() - harmless:  # the secret keys, and those not judged yet
            secret = verdicts.get(key)
            if secret is None:
                secret = verdicts[key] = DataFormatter.is_secret_key(key)
                if not secret:
                    harmless.add(key)
            if secret:
                value[key] = self.mask

    def field(self, model: Any, name: str, depth: int) -> None:
        value = getattr(model, name)
        kind = type(value)
        if kind is dict:
            self.mapping(value, depth)
        elif kind is list:
            self.sequence(value, depth)
        elif kind is float and not math.isfinite(value):
            setattr(model, name, _float_text(value))

    def event(self, ev: RuntimeEvent) -> None:
        # The fields of free shape, at the depth the sanitizer meets them in the event's dict.
        plain = _PLAIN
        if type(ev.level) not in plain:
            self.field(ev, "level", 1)
        payload = ev.payload
        if type(payload) is dict:
            self.mapping(payload, 1)
        elif type(payload) not in plain:
            self.field(ev, "payload", 1)
        if type(ev.error) not in plain:
            self.field(ev, "error", 1)
        if ev.meta:
            self.mapping(ev.meta, 1)
        run = ev.run
        if run is not None:
            if type(run.run_kind) not in plain:
                self.field(run, "run_kind", 2)
            if run.meta:
                self.mapping(run.meta, 2)


def _constant(name: str) -> str:
    # NaN and +-Infinity are not JSON: keep them as their names rather than as floats that no
    # JSON reader (the page's included) would accept back.
    return name


def _clean_floats(value: Any) -> Any:
    """Non-finite floats (from numbers too large for a float) become their names as text."""
    kind = type(value)
    if kind is float:
        return value if math.isfinite(value) else _float_text(value)
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


# The JSON type each field takes as it is (see native/Ingest/body_read.cpp): the codes of the
# native reader's layout.
_ANY, _STR, _STR_OR_NONE, _INT64, _DICT, _MODEL_OR_NONE, _NON_EMPTY_STR = range(7)
_PLAIN_KINDS: tuple[tuple[Any, int], ...] = (
    (Any, _ANY), (str, _STR), (str | None, _STR_OR_NONE), (int, _INT64), (dict[str, Any], _DICT))
# Defaults the native reader hands out as they are (shared by every event, so immutable).
_IMMUTABLE = (str, int, float, bool, type(None))


def _plain_model(cls: Any) -> bool:
    """Whether validation of ``cls`` does nothing but take over values of the declared types:
    no configuration, no validators of any kind, no private state, no post-init hook."""
    decorators = cls.__pydantic_decorators__
    return (not cls.model_config and not decorators.validators and not decorators.field_validators
            and not decorators.root_validators and not decorators.model_validators
            and not cls.__private_attributes__ and cls.__pydantic_post_init__ is None
            and not getattr(cls, "__pydantic_root_model__", False))


def _field_layout(cls: Any, nested: Any = None) -> tuple | None:
    """(name, kind, default) for each field of ``cls`` in order, or None where a field is not
    one the native reader builds exactly. A field with a default factory other than ``dict``
    (``event_id``, ``timestamp``) or a mutable default counts as required: an event that leaves
    it out takes the careful road, which gives validation's own default."""
    if not _plain_model(cls):
        return None
    out = []
    for name, info in cls.model_fields.items():
        if info.alias not in (None, name) or info.validation_alias is not None or info.metadata:
            return None
        if nested is not None and info.annotation == nested | None:
            kind = _MODEL_OR_NONE
        else:
            kind = next((k for t, k in _PLAIN_KINDS if info.annotation == t), None)
            if kind is None:
                return None
        if name == "event_id" and kind == _STR:
            kind = _NON_EMPTY_STR  # retries are matched by it: an empty one is rejected
        if info.default_factory is dict:
            default: Any = dict
        elif info.is_required() or info.default_factory is not None or type(info.default) not in _IMMUTABLE:
            default = ...
        else:
            default = info.default
        out.append((name, kind, default))
    return tuple(out)


_layout_cache: list[Any] = [None, None, None]  # (event class, run class, layout or None)


def _native_layout() -> tuple | None:
    """The native reader's layout of the event classes in use, or None when it cannot build
    them exactly."""
    event_cls, run_cls = RuntimeEvent, RuntimeRunContext
    cache = _layout_cache
    if cache[0] is not event_cls or cache[1] is not run_cls:
        event_fields = _field_layout(event_cls, nested=run_cls)
        run_fields = _field_layout(run_cls)
        layout = None
        if event_fields is not None and run_fields is not None and \
                any(kind == _MODEL_OR_NONE for _, kind, _ in event_fields):
            layout = (event_cls, event_fields, run_cls, run_fields)
        cache[:] = [event_cls, run_cls, layout]
    return cache[2]


def _native(body: bytes) -> DecodedBatch | None:
    """The native road: None when the body as a whole needs the other roads."""
    layout = _native_layout()
    if layout is None or type(body) is not bytes:
        return None
    read = _read_upload_body(body, layout)
    if read is None:
        return None
    doc, events, left = read
    if not left:
        return DecodedBatch(events=events, indexes=list(range(len(events))), total=len(events))
    # Some events need validation or the sanitizer's copy: those go the careful way, one by one.
    defaults, items = _check_body_fields(doc)
    return _decode_items(items, defaults, _item_masker(body), ready=events)


def _quick(body: bytes) -> DecodedBatch | None:
    if _may_hold_surrogates(body) or DataFormatter.__dict__.get("sanitize") is not _ORIGINAL_SANITIZE:
        return None
    try:
        parsed = _QuickBody.model_validate_json(body)
    except ValidationError:
        return None
    events = parsed.events
    masker = _Masker()
    mask = masker.event
    try:
        for ev in events:
            if not ev.event_id or "event_id" not in ev.__pydantic_fields_set__:
                return None
            if not _INT64_MIN <= ev.timestamp <= _INT64_MAX:
                return None
            mask(ev)
    except (_GiveUp, RecursionError):
        return None
    # The sink's rule (see _fill_meta), for every event at once.
    defaults = [(k, v) for k in _META_KEYS
                if (v := getattr(parsed, k)) is not None and (v or k == "group_id")]
    if defaults:
        for ev in events:
            meta = ev.meta
            for key, value in defaults:
                if key not in meta:
                    meta[key] = value
    return DecodedBatch(events=events, indexes=list(range(len(events))), total=len(events))


def _quick_item(item: dict[str, Any], masker: _Masker) -> RuntimeEvent | None:
    """One decoded event validated as it is and masked in place, or None when only the
    sanitizer's own copy can tell (it is invalid as it is, or needs special handling)."""
    try:
        event = RuntimeEvent.model_validate(item)
        if not _INT64_MIN <= event.timestamp <= _INT64_MAX:
            return None
        masker.event(event)
    except (ValidationError, _GiveUp, RecursionError):
        return None
    return event


def _item_masker(body: bytes) -> _Masker | None:
    """The masker that lets the careful road take an event as it validates, where it may."""
    if not _may_hold_surrogates(body) and DataFormatter.__dict__.get("sanitize") is _ORIGINAL_SANITIZE:
        return _Masker()
    return None


def _careful(body: bytes, *, quick_items: bool = True) -> DecodedBatch:
    """Event by event. With ``quick_items``, an event is first validated as it is and masked in
    place (as the quick road does); the sanitizer's copy of it is only made when that fails, to
    give the event or the reason it is rejected."""
    try:
        doc = json.loads(body, parse_constant=_constant)
    except RecursionError:
        raise BodyError("the body is nested too deeply") from None
    except (UnicodeDecodeError, ValueError) as exc:
        raise BodyError(f"the body is not valid JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise BodyError("the body must be a JSON object with an 'events' list")
    defaults, items = _check_body_fields(doc)
    return _decode_items(items, defaults, _item_masker(body) if quick_items else None)


def _decode_items(items: list[Any], defaults: dict[str, Any], masker: _Masker | None,
                  ready: list[Any] | None = None) -> DecodedBatch:
    """The events of decoded ``items``; ``ready`` holds those the native road built (None for
    the others), which are taken as they are."""
    batch = DecodedBatch(total=len(items))
    for index, item in enumerate(items):
        if ready is not None and (done := ready[index]) is not None:
            batch.events.append(done)
            batch.indexes.append(index)
            continue
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
        event = None if masker is None else _quick_item(item, masker)
        if event is None:
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
    batch = _native(body)
    if batch is not None:
        return batch
    batch = _quick(body)
    if batch is not None:
        return batch
    return _careful(body)


def plain_event_models() -> bool:
    """Whether the event and run context classes in use take their values as they are (no
    validators, no configuration): events built from values of the declared types need no
    validation then."""
    return _plain_model(RuntimeEvent) and _plain_model(RuntimeRunContext)


def value_masker() -> _Masker | None:
    """The masker ``event_masker`` walks events with, for callers that mask the parts of many
    events once (``mapping(value, depth)``: in place, at the depth the part has in an event's
    dict; ``_GiveUp`` where only the sanitizer's copy decides), or None when a host replaced
    ``DataFormatter.sanitize`` (then every event goes through ``event_masker``)."""
    return _Masker() if DataFormatter.__dict__.get("sanitize") is _ORIGINAL_SANITIZE else None


def event_masker() -> Callable[[RuntimeEvent], RuntimeEvent]:
    """A function that masks an event built by the listener as every stored event is masked
    (``DataFormatter.sanitize``'s verdict on every key, non-finite floats as their names) and
    gives it back: in place where the masker of uploads can decide (its verdicts kept for this
    function's life, as for one body), else the sanitizer's copy validated again. A host's own
    replacement of the sanitizer is called on every event."""
    masker = _Masker() if DataFormatter.__dict__.get("sanitize") is _ORIGINAL_SANITIZE else None

    def mask(event: RuntimeEvent) -> RuntimeEvent:
        if masker is not None:
            try:
                masker.event(event)
                return event
            except (_GiveUp, RecursionError):
                pass
        clean = _clean_floats(DataFormatter.sanitize(event.model_dump()))
        return RuntimeEvent.model_validate(clean)

    return mask

