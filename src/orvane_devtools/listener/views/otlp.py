"""``POST /v1/traces``, ``/v1/logs`` and ``/v1/metrics``: the OTLP/HTTP receiver.

A body (``application/x-protobuf`` or ``application/json``, gzip or not) is read up to the
listener's size limit counted after inflating, decoded into the normalised shape (the native
protobuf reader ``Ingest._decode_otlp_traces``/``_decode_otlp_logs``, or the JSON reader
``otlp.json_body``; both looked up when a request comes), mapped onto runs and events
(``otlp.mapping``) and committed; the ``Export*ServiceResponse`` leaves after the commit, in the
request's encoding, with ``partial_success`` when items were refused. Then, as for ``/ingest``,
the committed events go to the desk and the streams.

Errors are ``google.rpc.Status`` bodies in the request's encoding: 400 for a body that cannot be
decoded (final: exporters do not send it again), 413 over the body limit or over the item limit
(``--max-items``: spans, span events and span links each, or log records, and the parts counted
with them; the readers stop as soon as one is passed), 415 for another content type or encoding
(as JSON), 503 when the commit failed (exporters retry).
"""

from __future__ import annotations

import importlib
from typing import Any

from starlette.background import BackgroundTask
from starlette.requests import Request
from starlette.responses import Response

from ..core import StorageError
from ..decode import BodyError
from ..otlp import answers
from ..otlp.body import BadBody, TooLarge, TooManyItems, Unsupported, codings, inflate, media_type
from ..state import of
from .ingest import BodyTooLarge, read_body

__all__ = ["logs", "metrics", "traces"]

METRICS_NOTE = "metrics are accepted and not kept: this listener keeps traces and logs"


class _Signal:
    """What differs between the signals: the decoders, the mapping, the names of the answer."""

    def __init__(self, name: str, native: str, json_reader: str, rejected_key: str, noun: str) -> None:
        self.name = name
        self.native = native
        self.json_reader = json_reader
        self.rejected_key = rejected_key
        self.noun = noun

    def decoder(self, media: str) -> Any:
        """The decoder of this signal in ``media``, looked up now (None when not built in)."""
        if media == answers.PROTOBUF:
            from .. import Ingest

            return getattr(Ingest, self.native, None)
        try:
            reader = importlib.import_module("orvane_devtools.listener.otlp.json_body")
        except ImportError:
            return None
        return getattr(reader, self.json_reader, None)

    def map(self, items: list[Any], known: Any) -> Any:
        from ..otlp import mapping

        if self.name == "traces":
            return mapping.map_spans(items, known=known)
        return mapping.map_logs(items, known=known)


TRACES = _Signal("traces", "_decode_otlp_traces", "decode_json_traces", "rejectedSpans", "span")
LOGS = _Signal("logs", "_decode_otlp_logs", "decode_json_logs", "rejectedLogRecords", "log record")


def too_many_message(exc: TooManyItems, max_items: int) -> str:
    """The 413 text for a request over the item limit: what went over, and what is taken."""
    if exc.what == "parts":
        return (f"the request holds more than {exc.limit} attributes, list elements and other parts; "
                f"this listener takes at most {exc.limit} in one request ({exc.limit // max_items} per item "
                f"of --max-items {max_items}): send fewer spans or log records per request")
    return (f"the request holds more than {exc.limit} {exc.what}; this listener takes at most {exc.limit} "
            f"{exc.what} in one request (--max-items): send smaller batches (a lower batch size in the "
            f"exporter, such as OTEL_BSP_MAX_EXPORT_BATCH_SIZE or OTEL_BLRP_MAX_EXPORT_BATCH_SIZE)")


def _status(media: str, http_status: int, code: int, message: str) -> Response:
    return Response(answers.status_body(media, code, message), status_code=http_status, media_type=media)


async def _body(request: Request, limit: int) -> tuple[str, bytes] | Response:
    """(the media type, the inflated body), or the error answer."""
    try:
        media = media_type(request.headers.get("content-type"))
        applied = codings(request.headers.get("content-encoding"))
    except Unsupported as exc:
        return _status(answers.JSON, 415, answers.INVALID_ARGUMENT, str(exc))
    too_large = f"the body is larger than the limit of {limit} bytes"
    try:
        body = inflate(await read_body(request, limit), applied, limit)
    except (BodyTooLarge, TooLarge):
        return _status(media, 413, answers.RESOURCE_EXHAUSTED, too_large)
    except (BadBody, BodyError) as exc:
        return _status(media, 400, answers.INVALID_ARGUMENT, str(exc))
    return media, body


async def _export(request: Request, signal: _Signal) -> Response:
    state = of(request)
    core = state.core
    read = await _body(request, state.config.max_body)
    if isinstance(read, Response):
        return read
    media, body = read
    decode = signal.decoder(media)
    if decode is None:
        return _status(answers.JSON, 415, answers.INVALID_ARGUMENT,
                       f"this listener cannot read {signal.name} as {media}")
    config = state.config
    try:
        items = decode(body, config.max_items, config.max_parts)
    except TooManyItems as exc:
        return _status(media, 413, answers.RESOURCE_EXHAUSTED, too_many_message(exc, config.max_items))
    except (ValueError, RecursionError) as exc:
        text = str(exc) or type(exc).__name__
        return _status(media, 400, answers.INVALID_ARGUMENT, f"the body is not an OTLP {signal.name} request: {text}"[:500])
    mapped = signal.map(items, core.span_lookup())
    try:
        result = await core.store_mapped(mapped)
    except StorageError as exc:
        return _status(media, 503, answers.UNAVAILABLE, f"the {signal.name} could not be stored; send them again ({exc})"[:500])
    rejected = result.rejected
    message = ""
    if rejected:
        shown = "; ".join(f"{signal.noun} {r['index']}: {r['error']}" for r in rejected[:5])
        more = f"; and {len(rejected) - 5} more" if len(rejected) > 5 else ""
        message = f"{len(rejected)} {signal.noun}(s) rejected: {shown}{more}"
    content = answers.export_response(media, signal.rejected_key, len(rejected), message)
    # The desk and the streams get the committed events once the answer has left.
    return Response(content, media_type=media, background=BackgroundTask(core.feed, result))


async def traces(request: Request) -> Response:
    return await _export(request, TRACES)


async def logs(request: Request) -> Response:
    return await _export(request, LOGS)


async def metrics(request: Request) -> Response:
    """Metrics are taken and dropped, and the answer says so (an exporter that got 404 would
    log an error at every export)."""
    state = of(request)
    read = await _body(request, state.config.max_body)
    if isinstance(read, Response):
        return read
    media, _ = read
    return Response(answers.export_response(media, "rejectedDataPoints", 0, METRICS_NOTE), media_type=media)
