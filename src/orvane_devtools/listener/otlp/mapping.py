"""OpenTelemetry spans and log records as runs and events: plain functions, no HTTP.

The input is the decoders' normalised shape (a list of dicts per request: ids as lower-case hex,
attributes as dicts whose values keep their types, ``resource`` and ``scope`` shared and
read-only). The output is a ``Mapped``: the events of each item kept (one group per span or log
record, stored whole or not at all), the items refused with their reasons, and the span links
the log service settles when it commits them (``logs.SpanLinks``). docs/otlp.md ("Receiving
OTLP") holds the table of this mapping; keep the two in step.

A parent that is not in the request is looked up once per request through ``known`` (the log
service's ``span_runs``: the span run of that id, or the run of ours whose OTLP span id it is).
A parent found nowhere leaves the span waiting: its parent is the parent's span run id
(``otel-{trace}-{parent span}``), its root the root the span carries (``orvane.run.root_id``)
or else that same id, and the log service joins it to its parent when the parent arrives, a span
or a run of ours (see ``logs/_links.py``).

Every event is masked as the events of an upload are (``decode.event_masker``: the same verdict
on every key as ``DataFormatter.sanitize``). Event ids are stable, so an export sent again is
stored once: ``otel-{trace}-{span}-start`` / ``-e{i}`` / ``-end`` for a span, and for a log
record a digest of what it holds (its trace, span, times, severity, name, body and attributes).
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any

from ..._orvane_compat import RuntimeEvent, RuntimeRunContext
from ...logs import SpanLinks
from ..calls import event_pieces, log_piece, span_piece
from ..decode import _GiveUp, _PLAIN, event_masker, plain_event_models, value_masker

__all__ = [
    "Lookup",
    "Mapped",
    "kind_of",
    "map_logs",
    "map_spans",
    "split_attributes",
]

# (trace id, span id) -> (run id, root run id) of the stored runs those spans are.
Lookup = Callable[[list[tuple[str, str]]], dict[tuple[str, str], tuple[str, str]]]

OTEL_RUN_PREFIX = "otel-"
SOURCE = "otlp"  # the source of events whose instrumentation scope has no name
MAX_REASONS = 5  # reasons named in a partial-success message

# gen_ai.operation.name -> run kind (other operations are kinds as they are).
GENAI_KINDS = {
    "chat": "llm",
    "text_completion": "llm",
    "generate_content": "llm",
    "embeddings": "embedding",
    "execute_tool": "tool",
    "invoke_agent": "agent",
    "create_agent": "agent",
}
DEFAULT_KIND = "span"

# Attributes that describe the answer (in the `{kind}.completed`/`.failed` event's payload); all
# others describe the request (in `{kind}.started`).
RESPONSE_PREFIXES = (
    "gen_ai.response.", "gen_ai.usage.", "gen_ai.output.", "gen_ai.completion.", "gen_ai.evaluation.",
    "llm.output_messages.", "llm.token_count.", "llm.cost.", "llm.usage.", "output.", "error.",
    "http.response.", "rpc.response.", "db.response.", "retrieval.documents", "reranker.output_documents",
    "embedding.embeddings",
)
RESPONSE_KEYS = frozenset(("gen_ai.tool.call.result",))

_SPAN_KINDS = ("unspecified", "internal", "server", "client", "producer", "consumer")
_STATUS_ERROR = 2
_ZERO_TRACE = "0" * 32
_ZERO_SPAN = "0" * 16
_HEX = frozenset("0123456789abcdef")
# Severity numbers (1-24) in steps of four: TRACE, DEBUG, INFO, WARN, ERROR, FATAL.
_LEVELS = ("debug", "debug", "info", "warning", "error", "critical")
_LEVEL_NAMES = {
    "trace": "debug", "debug": "debug", "info": "info", "information": "info", "notice": "info",
    "warn": "warning", "warning": "warning", "error": "error", "err": "error", "fatal": "critical",
    "critical": "critical",
}


@dataclass
class Mapped:
    """The events of one request, per item kept, and the items refused."""

    groups: list[list[RuntimeEvent]] = field(default_factory=list)
    items: list[int] = field(default_factory=list)  # the request index of each group's item
    links: SpanLinks = field(default_factory=SpanLinks)
    # The LLM call pieces of the events kept (logs.CallPiece: LLM spans, GenAI log events, our
    # own events that carry a call), stored with them.
    calls: list[Any] = field(default_factory=list)
    rejected: list[tuple[int, str]] = field(default_factory=list)
    total: int = 0

    def events(self) -> list[RuntimeEvent]:
        return [ev for group in self.groups for ev in group]

    def reject(self, index: int, reason: str) -> None:
        self.rejected.append((index, reason))

    def message(self, noun: str) -> str:
        """The partial-success message: how many items were refused and the first reasons."""
        if not self.rejected:
            return ""
        shown = "; ".join(f"{noun} {i}: {r}" for i, r in sorted(self.rejected)[:MAX_REASONS])
        more = len(self.rejected) - MAX_REASONS
        tail = f"; and {more} more" if more > 0 else ""
        return f"{len(self.rejected)} {noun}(s) rejected: {shown}{tail}"


# -- small readers -------------------------------------------------------------------------------

def _text(value: Any) -> str | None:
    return value if type(value) is str and value else None


def _hex_id(value: Any, digits: int, zero: str) -> str | None:
    """The id as lower-case hex when it is ``digits`` hex digits and not all zero, else None."""
    if type(value) is not str or len(value) != digits:
        return None
    text = value.lower()
    if not _HEX.issuperset(text) or text == zero:
        return None
    return text


def _int(value: Any) -> int:
    return value if type(value) is int and value >= 0 else 0


def kind_of(attributes: dict[str, Any]) -> str:
    """The run kind a span's attributes give: ``gen_ai.operation.name`` (GENAI_KINDS, other
    operations as they are), else OpenInference's ``openinference.span.kind`` in lower case,
    else "span"."""
    operation = _text(attributes.get("gen_ai.operation.name"))
    if operation is not None:
        return GENAI_KINDS.get(operation, operation)
    kind = _text(attributes.get("openinference.span.kind"))
    if kind is not None:
        return kind.lower()
    return DEFAULT_KIND


def _is_response(key: str) -> bool:
    return key.startswith(RESPONSE_PREFIXES) or key in RESPONSE_KEYS


def split_attributes(attributes: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """(request attributes, response attributes) of a span, each in the span's order."""
    request: dict[str, Any] = {}
    response: dict[str, Any] = {}
    for key, value in attributes.items():
        (response if _is_response(key) else request)[key] = value
    return request, response


def _origin(resource: Any, attributes: dict[str, Any]) -> dict[str, Any]:
    """The event meta of an item: app, group and environment, from its resource (our own
    resource attributes first) and, for the group, the attribute our export writes."""
    res = resource if type(resource) is dict else {}
    meta: dict[str, Any] = {}
    app = _text(res.get("orvane.app.id"))
    if app is None:
        service = _text(res.get("service.name"))
        # An SDK without a configured service names it "unknown_service[:process]": no app.
        if service is not None and not service.startswith("unknown_service"):
            app = service
    if app is not None:
        meta["app_id"] = app
    group = _text(res.get("orvane.group.id")) or _text(attributes.get("orvane.group.id"))
    if group is not None:
        meta["group_id"] = group
    environment = (_text(res.get("orvane.environment")) or _text(res.get("deployment.environment.name"))
                   or _text(res.get("deployment.environment")))
    if environment is not None:
        meta["environment"] = environment
    return meta


def _source(scope: Any) -> str:
    if type(scope) is dict:
        name = _text(scope.get("name"))
        if name is not None:
            return name
    return SOURCE


def _json_or_text(value: Any) -> Any:
    """A JSON text our export wrote (a payload, an error) as its value; text that is not JSON
    (cut at the export's attribute limit) stays text."""
    if type(value) is not str:
        return value
    try:
        return json.loads(value)
    except ValueError:
        return value


def _ms(ns: int) -> int:
    return ns // 1_000_000


# -- building events -----------------------------------------------------------------------------

_new = object.__new__
_set = object.__setattr__


@dataclass(slots=True)
class _Shared:
    """What every event of one span carries: its meta and run context values as given, and
    those values masked and completed (every context field) when ``_Builder.span_event`` may
    build events from them without masking them again, else None."""

    meta: dict[str, Any]
    run: dict[str, Any]
    full: dict[str, Any] | None


class _Builder:
    """Builds and masks the events of one request.

    With plain event classes (``decode.plain_event_models``: no validators, no private state),
    an event is built as ``model_construct`` builds it -- its field values set as they are, all
    of them counted as given -- without the per-call work of ``model_construct``; the values are
    of the declared types by construction. Otherwise each event is validated."""

    def __init__(self) -> None:
        self.mask = event_masker()
        self.plain = plain_event_models()
        # The parts all events of a span share (its meta, its run's meta) are masked once per
        # span where the masker of uploads decides; each event's own parts one by one.
        self.values = value_masker() if self.plain else None
        self.event_fields = frozenset(RuntimeEvent.model_fields)
        self.run_fields = frozenset(RuntimeRunContext.model_fields)
        self.run_defaults = {name: None for name in RuntimeRunContext.model_fields}
        self.responses: dict[str, bool] = {}  # attribute key -> whether it describes the answer

    def split(self, attributes: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
        """``split_attributes``, each key's verdict remembered for the request."""
        verdicts = self.responses
        request: dict[str, Any] = {}
        response: dict[str, Any] = {}
        for key, value in attributes.items():
            answer = verdicts.get(key)
            if answer is None:
                answer = verdicts[key] = _is_response(key)
            (response if answer else request)[key] = value
        return request, response

    def shared(self, meta: dict[str, Any], run: dict[str, Any]) -> _Shared:
        """The meta and the run context values of a span's events, masked once for all of them
        (``span_event``)."""
        masker = self.values
        if masker is None:
            return _Shared(meta, run, None)
        meta = dict(meta)
        full = self.run_defaults.copy()
        full.update(run)
        full["meta"] = run_meta = dict(run.get("meta") or ())
        try:
            masker.mapping(meta, 1)
            masker.mapping(run_meta, 2)
        except (_GiveUp, RecursionError):
            return _Shared(meta, run, None)
        return _Shared(meta, run, full)

    def span_event(self, shared: _Shared, *, event_id: str, event_type: str, timestamp: int,
                   source: str | None, level: Any, message: str | None, payload: Any,
                   error: Any) -> RuntimeEvent:
        """An event of a span, as ``event`` builds it with the span's meta and run."""
        full = shared.full
        if full is None:
            return self.event(event_id=event_id, event_type=event_type, timestamp=timestamp, source=source,
                              level=level, message=message, payload=payload, error=error, meta=shared.meta,
                              run=shared.run)
        values = full.copy()
        values["meta"] = dict(full["meta"])
        context = self._construct(RuntimeRunContext, values, self.run_fields)
        event = self._construct(RuntimeEvent, {
            "event_id": event_id, "event_type": event_type, "timestamp": timestamp, "source": source,
            "level": level, "message": message, "payload": payload, "error": error,
            "meta": dict(shared.meta), "run": context}, self.event_fields)
        masker = self.values
        plain = _PLAIN
        try:
            if type(level) not in plain:
                masker.field(event, "level", 1)
            if type(payload) is dict:
                masker.mapping(payload, 1)
            elif type(payload) not in plain:
                masker.field(event, "payload", 1)
            if type(error) not in plain:
                masker.field(event, "error", 1)
        except (_GiveUp, RecursionError):
            return self.mask(event)
        return event

    def _construct(self, cls: Any, values: dict[str, Any], fields: frozenset[str]) -> Any:
        model = _new(cls)
        _set(model, "__dict__", values)
        _set(model, "__pydantic_fields_set__", set(fields))
        _set(model, "__pydantic_extra__", None)
        _set(model, "__pydantic_private__", None)
        return model

    def context(self, values: dict[str, Any]) -> RuntimeRunContext:
        if self.plain:
            full = self.run_defaults.copy()
            full.update(values)
            full["meta"] = dict(values.get("meta") or ())
            return self._construct(RuntimeRunContext, full, self.run_fields)
        return RuntimeRunContext.model_validate(values)

    def event(self, *, event_id: str, event_type: str, timestamp: int, source: str | None, level: Any,
              message: str | None, payload: Any, error: Any, meta: dict[str, Any],
              run: dict[str, Any] | None) -> RuntimeEvent:
        context = None if run is None else self.context(run)
        fields = {"event_id": event_id, "event_type": event_type, "timestamp": timestamp, "source": source,
                  "level": level, "message": message, "payload": payload, "error": error, "meta": dict(meta),
                  "run": context}
        if self.plain:
            event = self._construct(RuntimeEvent, fields, self.event_fields)
        else:
            fields["run"] = None if context is None else context.model_dump()
            event = RuntimeEvent.model_validate(fields)
        return self.mask(event)


# -- spans ---------------------------------------------------------------------------------------

class _Span:
    __slots__ = ("index", "doc", "trace", "sid", "psid", "attrs", "run_id", "ours", "parent", "parent_span",
                 "root", "waiting")

    def __init__(self, index: int, doc: dict[str, Any], trace: str, sid: str, psid: str | None) -> None:
        self.index = index
        self.doc = doc
        self.trace = trace
        self.sid = sid
        self.psid = psid
        attrs = doc.get("attributes")
        self.attrs: dict[str, Any] = attrs if type(attrs) is dict else {}
        self.run_id = f"{OTEL_RUN_PREFIX}{trace}-{sid}"
        self.ours = False  # a run span of our own export (or one of its continuations)
        self.parent: str | None = None
        self.parent_span: _Span | None = None  # the parent, when it is in the request
        self.root: str | None = None
        self.waiting = False


def _span_ids(doc: Any) -> tuple[str | None, str, str, str | None]:
    """(the problem, trace id, span id, parent span id or None)."""
    if type(doc) is not dict:
        return "not a span", "", "", None
    trace = _hex_id(doc.get("trace_id"), 32, _ZERO_TRACE)
    if trace is None:
        return "trace_id must be 16 bytes, not all zero", "", "", None
    sid = _hex_id(doc.get("span_id"), 16, _ZERO_SPAN)
    if sid is None:
        return "span_id must be 8 bytes, not all zero", "", "", None
    parent = doc.get("parent_span_id")
    if parent in (None, "", _ZERO_SPAN):
        return None, trace, sid, None
    psid = _hex_id(parent, 16, _ZERO_SPAN)
    if psid is None:
        return "parent_span_id must be empty or 8 bytes", "", "", None
    if psid == sid:
        return "a span cannot be its own parent", "", "", None
    return None, trace, sid, psid


def map_spans(spans: Iterable[Any], *, known: Lookup | None = None) -> Mapped:
    """The runs and events of the spans of one request (see the module's docstring)."""
    from ...observation.backends.Otlp import span_id_for

    docs = list(spans)
    out = Mapped(total=len(docs))
    kept: list[_Span] = []
    by_key: dict[tuple[str, str], _Span] = {}
    for index, doc in enumerate(docs):
        problem, trace, sid, psid = _span_ids(doc)
        if problem is not None:
            out.reject(index, problem)
            continue
        if (trace, sid) in by_key:
            out.reject(index, f"span {sid} of trace {trace} appears twice in the request")
            continue
        span = _Span(index, doc, trace, sid, psid)
        by_key[(trace, sid)] = span
        kept.append(span)

    span_ids: dict[str, str] = {}

    def our_span_id(run_id: str) -> str:
        value = span_ids.get(run_id)
        if value is None:
            value = span_ids[run_id] = span_id_for(run_id)
        return value

    # Run ids: a run span of our own export (its span id is span_id_for of its orvane.run.id, or
    # a continuation of that span) is that run; every other span is its span run.
    by_run: dict[str, _Span] = {}
    for span in kept:
        our_run = _text(span.attrs.get("orvane.run.id"))
        if our_run is not None:
            own = our_span_id(our_run)
            segment = span.attrs.get("orvane.run.segment")
            if span.sid == own or (type(segment) is int and segment >= 1 and span.psid == own):
                span.run_id = our_run
                span.ours = True
                span.parent = _text(span.attrs.get("orvane.run.parent_id"))
                span.root = _text(span.attrs.get("orvane.run.root_id")) or our_run
        by_run.setdefault(span.run_id, span)

    # Parents: a run of ours the span names (the bridge's stamp, or our export's own tool
    # spans), a span of the request, else a stored run (one look-up for the request).
    wanted: dict[tuple[str, str], list[_Span]] = {}
    for span in kept:
        if span.ours:
            continue
        if span.psid is None:
            span.root = span.run_id
            continue
        named = None
        for key in ("orvane.run.parent_id", "orvane.run.id"):
            candidate = _text(span.attrs.get(key))
            if candidate is not None and our_span_id(candidate) == span.psid:
                named = candidate
                break
        if named is not None:
            span.parent = named
            holder = by_run.get(named)
            if holder is not None and holder is not span:
                span.parent_span = holder
                continue
        else:
            holder = by_key.get((span.trace, span.psid))
            if holder is not None:
                span.parent = holder.run_id
                span.parent_span = holder
                continue
        wanted.setdefault((span.trace, span.psid), []).append(span)
    found = known(list(wanted)) if (wanted and known is not None) else {}
    for wanted_key, waiting in wanted.items():
        hit = found.get(wanted_key)
        parent_span_id = wanted_key[1]
        for span in waiting:
            if hit is not None:
                span.parent = span.parent or hit[0]
                span.root = hit[1]
                continue
            # Not arrived: wait under the parent's span run id (or the run of ours it names).
            if span.parent is None:
                span.parent = f"{OTEL_RUN_PREFIX}{span.trace}-{parent_span_id}"
            span.root = _text(span.attrs.get("orvane.run.root_id")) or span.parent
            span.waiting = True
            out.links.waiting.append((span.run_id, parent_span_id))

    # Roots of the spans whose parent is in the request: their parent's root.
    for span in kept:
        if span.root is not None:
            continue
        chain = []
        seen: set[int] = set()
        current = span
        while current.root is None:
            if id(current) in seen or current.parent_span is None:
                # A cycle of parents in the request: its first span stands as the root.
                current.root = current.run_id
                break
            seen.add(id(current))
            chain.append(current)
            current = current.parent_span
        for member in chain:
            member.root = current.root

    builder = _Builder()
    for span in kept:
        try:
            events = _span_events(span, builder, out.links, out.calls)
        except (ValueError, TypeError, OverflowError) as exc:
            out.reject(span.index, f"cannot be mapped: {exc}"[:300])
            continue
        out.groups.append(events)
        out.items.append(span.index)
    return out


def _span_facts(span: _Span, kind: str, start_ms: int) -> dict[str, Any]:
    attrs = span.attrs
    return {
        "root_run_id": span.root,
        "parent_run_id": span.parent,
        "run_kind": kind,
        "agent_id": _text(attrs.get("gen_ai.agent.id")),
        "agent_name": _text(attrs.get("gen_ai.agent.name")),
        "session_id": _text(attrs.get("gen_ai.conversation.id")) or _text(attrs.get("session.id")),
        "started_at": start_ms,
    }


def _provider_model(attrs: dict[str, Any], meta: dict[str, Any]) -> None:
    provider = (_text(attrs.get("gen_ai.provider.name")) or _text(attrs.get("gen_ai.system"))
                or _text(attrs.get("llm.provider")) or _text(attrs.get("llm.system")))
    model = (_text(attrs.get("gen_ai.request.model")) or _text(attrs.get("gen_ai.response.model"))
             or _text(attrs.get("llm.model_name")))
    if provider is not None:
        meta["provider"] = provider
    if model is not None:
        meta["model"] = model


def _span_events(span: _Span, builder: _Builder, links: SpanLinks, calls: list[Any]) -> list[RuntimeEvent]:
    doc = span.doc
    attrs = span.attrs
    start_ns = _int(doc.get("start_time_unix_nano"))
    end_ns = max(_int(doc.get("end_time_unix_nano")), start_ns)
    start_ms, end_ms = _ms(start_ns), _ms(end_ns)
    name = doc.get("name") if type(doc.get("name")) is str else ""
    source = _source(doc.get("scope"))
    origin = _origin(doc.get("resource"), attrs)
    run_meta: dict[str, Any] = {}
    if span.ours:
        kind = _text(attrs.get("orvane.run.kind")) or kind_of(attrs)
        flow = _text(attrs.get("orvane.flow.name"))
        if flow is not None:
            run_meta["flow_name"] = flow
        _provider_model(attrs, run_meta)
        run = {
            "run_id": span.run_id, "root_run_id": span.root, "parent_run_id": span.parent, "run_kind": kind,
            "agent_id": _text(attrs.get("gen_ai.agent.id")), "agent_name": _text(attrs.get("gen_ai.agent.name")),
            "session_id": _text(attrs.get("gen_ai.conversation.id")),
            "response_id": _text(attrs.get("orvane.run.response_id")),
            "execution_id": _text(attrs.get("orvane.run.execution_id")), "meta": run_meta,
        }
    else:
        kind = kind_of(attrs)
        facts = _span_facts(span, kind, start_ms)
        links.spans.append((span.run_id, span.sid, facts))
        run_meta["otel.span_name"] = name
        span_kind = doc.get("kind")
        if type(span_kind) is int and 0 <= span_kind < len(_SPAN_KINDS):
            run_meta["otel.span_kind"] = _SPAN_KINDS[span_kind]
        if source != SOURCE:
            run_meta["otel.scope"] = source
        _provider_model(attrs, run_meta)
        run = {
            "run_id": span.run_id, "root_run_id": span.root, "parent_run_id": span.parent, "run_kind": kind,
            "agent_id": facts["agent_id"], "agent_name": facts["agent_name"], "session_id": facts["session_id"],
            "meta": run_meta,
        }
    prefix = f"{OTEL_RUN_PREFIX}{span.trace}-{span.sid}"
    shared = builder.shared(origin, run)
    make = builder.span_event
    events: list[RuntimeEvent] = []
    times: list[int] = []  # of each span event, in nanoseconds
    failed_by: dict[str, Any] | None = None
    raw_events = doc.get("events")
    for i, item in enumerate(raw_events if type(raw_events) is list else ()):
        if type(item) is not dict:
            continue
        ev_attrs = item.get("attributes")
        ev_attrs = ev_attrs if type(ev_attrs) is dict else {}
        ev_name = _text(item.get("name")) or "event"
        at_ns = _int(item.get("time_unix_nano")) or start_ns
        own_id = _text(ev_attrs.get("orvane.event.id"))
        if own_id is not None:
            # One of our events, as our export carried it: its own id and type.
            events.append(make(
                shared, event_id=own_id, event_type=ev_name, timestamp=_ms(at_ns),
                source=_text(ev_attrs.get("orvane.event.source")),
                level=ev_attrs.get("orvane.event.level") if type(ev_attrs.get("orvane.event.level")) is str else "info",
                message=ev_attrs.get("orvane.event.message") if type(ev_attrs.get("orvane.event.message")) is str else None,
                payload=_json_or_text(ev_attrs.get("orvane.event.payload")),
                error=_json_or_text(ev_attrs.get("orvane.event.error"))))
            times.append(at_ns)
            continue
        level = "info"
        raised: dict[str, Any] = {}
        payload: dict[str, Any] | None = dict(ev_attrs) or None
        message: str | None = ev_name
        if ev_name == "exception":
            level = "error"
            rest = {}
            for key, value in ev_attrs.items():
                if key in ("exception.type", "exception.message", "exception.stacktrace"):
                    raised[key[len("exception."):]] = value
                else:
                    rest[key] = value
            payload = rest or None
            message = _text(raised.get("message")) or ev_name
            failed_by = raised
        events.append(make(
            shared, event_id=f"{prefix}-e{i}", event_type=ev_name, timestamp=_ms(at_ns), source=source,
            level=level, message=message, payload=payload, error=raised or None))
        times.append(at_ns)
    if span.ours and events:
        calls.extend(event_pieces(events))
        return events
    request, response = builder.split(attrs)
    status = doc.get("status")
    status = status if type(status) is dict else {}
    failed = status.get("code") == _STATUS_ERROR or failed_by is not None
    started = make(
        shared, event_id=f"{prefix}-start", event_type=f"{kind}.started", timestamp=start_ms, source=source,
        level="info", message=name or None, payload=request or None, error=None)
    if failed:
        raised = failed_by or {}
        error: dict[str, Any] = {}
        error_type = _text(attrs.get("error.type")) or raised.get("type")
        if error_type is not None:
            error["type"] = error_type
        error_message = _text(status.get("message")) or raised.get("message")
        if error_message is not None:
            error["message"] = error_message
        ended = make(
            shared, event_id=f"{prefix}-end", event_type=f"{kind}.failed", timestamp=end_ms, source=source,
            level="error", message=_text(error_message) or name or None, payload=response or None,
            error=error or None)
    else:
        ended = make(
            shared, event_id=f"{prefix}-end", event_type=f"{kind}.completed", timestamp=end_ms, source=source,
            level="info", message=name or None, payload=response or None, error=None)
    mapped = [started, *events, ended]
    piece = span_piece(mapped, name=name, start_ns=start_ns, end_ns=end_ns, span_events=times)
    if piece is not None:
        calls.append(piece)
    return mapped


# -- log records ---------------------------------------------------------------------------------

def _level(record: dict[str, Any]) -> str:
    number = record.get("severity_number")
    if type(number) is int and 1 <= number <= 24:
        return _LEVELS[(number - 1) // 4]
    text = _text(record.get("severity_text"))
    if text is not None:
        return _LEVEL_NAMES.get(text.strip().lower(), "info")
    return "info"


def _digest(record: dict[str, Any], trace: str | None, sid: str | None) -> str:
    """A digest of what a log record holds: the same record sent again has the same one."""
    scope = record.get("scope")
    canonical = json.dumps(
        [trace, sid, record.get("time_unix_nano"), record.get("observed_time_unix_nano"),
         record.get("severity_number"), record.get("severity_text"), record.get("event_name"),
         record.get("body"), record.get("attributes"), scope.get("name") if type(scope) is dict else None],
        sort_keys=True, ensure_ascii=True, default=str, allow_nan=True, separators=(",", ":"),
    )
    return hashlib.sha256(canonical.encode("ascii")).hexdigest()[:32]


def map_logs(records: Iterable[Any], *, known: Lookup | None = None,
             now_ns: Callable[[], int] | None = None) -> Mapped:
    """The events of the log records of one request (see the module's docstring).

    A record with a trace and span id is an event of that span's run (the span run, or the run
    of ours whose OTLP span id it is); while neither is stored, the record opens the span run,
    which takes its parent, root and kind from its span when the span arrives. A record without
    them is an event of no run."""
    import time

    docs = list(records)
    out = Mapped(total=len(docs))
    parsed: list[tuple[int, dict[str, Any], str | None, str | None]] = []
    for index, doc in enumerate(docs):
        if type(doc) is not dict:
            out.reject(index, "not a log record")
            continue
        raw_trace, raw_span = doc.get("trace_id"), doc.get("span_id")
        trace = sid = None
        if raw_trace not in (None, "", _ZERO_TRACE):
            trace = _hex_id(raw_trace, 32, _ZERO_TRACE)
            if trace is None:
                out.reject(index, "trace_id must be empty or 16 bytes")
                continue
        if raw_span not in (None, "", _ZERO_SPAN):
            sid = _hex_id(raw_span, 16, _ZERO_SPAN)
            if sid is None:
                out.reject(index, "span_id must be empty or 8 bytes")
                continue
        parsed.append((index, doc, trace, sid))
    keys = sorted({(t, s) for _, _, t, s in parsed if t is not None and s is not None})
    found = known(keys) if (keys and known is not None) else {}
    builder = _Builder()
    clock = now_ns or time.time_ns
    repeats: dict[str, int] = {}
    opened: set[str] = set()
    for index, doc, trace, sid in parsed:
        attrs = doc.get("attributes")
        attrs = attrs if type(attrs) is dict else {}
        body = doc.get("body")
        event_type = _text(doc.get("event_name")) or _text(attrs.get("event.name")) or "log"
        at_ns = _int(doc.get("time_unix_nano")) or _int(doc.get("observed_time_unix_nano")) or clock()
        meta = _origin(doc.get("resource"), attrs)
        if trace is not None:
            meta["otel.trace_id"] = trace
        if sid is not None:
            meta["otel.span_id"] = sid
        run: dict[str, Any] | None = None
        if trace is not None and sid is not None:
            hit = found.get((trace, sid))
            if hit is not None:
                run = {"run_id": hit[0], "root_run_id": hit[1]}
            else:
                # Its span has not arrived: the record opens the span run, which waits for it.
                run_id = f"{OTEL_RUN_PREFIX}{trace}-{sid}"
                run = {"run_id": run_id, "root_run_id": run_id, "run_kind": DEFAULT_KIND}
                if run_id not in opened:
                    opened.add(run_id)
                    out.links.logged.append((run_id, sid))
        payload: dict[str, Any] = {}
        if body is not None:
            payload["body"] = body
        if attrs:
            payload["attributes"] = dict(attrs)
        digest = _digest(doc, trace, sid)
        seen = repeats.get(digest, 0)
        repeats[digest] = seen + 1
        event_id = f"{OTEL_RUN_PREFIX}log-{digest}" + (f"-{seen}" if seen else "")
        try:
            event = builder.event(
                event_id=event_id, event_type=event_type, timestamp=_ms(at_ns), source=_source(doc.get("scope")),
                level=_level(doc), message=body if type(body) is str else None, payload=payload or None,
                error=None, meta=meta, run=run)
        except (ValueError, TypeError, OverflowError) as exc:
            out.reject(index, f"cannot be mapped: {exc}"[:300])
            continue
        out.groups.append([event])
        out.items.append(index)
        if trace is not None and sid is not None:
            piece = log_piece(event, at_ns)
            if piece is not None:
                out.calls.append(piece)
    return out
