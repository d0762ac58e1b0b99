"""Trace files in and out: ``POST /import`` (a JSON Lines body) and ``GET /runs/{id}/export``.

``/import`` takes what ``/ingest`` takes, as JSON Lines: one event per line as the JSON Lines
backend writes it (or an OTLP JSON request per line, read and committed as ``/v1/traces`` and
``/v1/logs`` commit a request), under the same body limit, decoded and masked by the same
decoder, committed and answered after the commit; the desk and
the open streams get the events once the answer has left. Lines are reported by their number in
the body (from 1).

``/runs/{id}/export`` streams the run's tree as a trace file (``tracefiles.export``), reading
one page of events at a time on the reader thread; ``/sessions/{id}/export`` every tree of the
session, oldest first.
"""

from __future__ import annotations

from collections.abc import AsyncIterator
from typing import Any

from starlette.background import BackgroundTask
from starlette.requests import Request
from starlette.responses import Response, StreamingResponse

from ...tracefiles.batches import decode_body_lines, feed_stored, store_decoded, tree_heads
from ...tracefiles.export import FORMATS, SessionExport, TreeExport, export_file_name, session_file_name
from ..core import StorageError
from ..decode import BodyError
from ..params import Params
from ..responses import JSONAnswer, error
from ..state import of
from .ingest import BodyTooLarge, read_body, too_large

__all__ = ["MAX_REPORTED_LINES", "export_run", "export_session", "import_lines"]

# Bad lines an answer lists in full; ``bad_lines`` counts them all.
MAX_REPORTED_LINES = 100
# Run trees an answer names, each by the run to show it by (the page opens it when there is one).
MAX_TREES = 100


def _rejected(bad: list[Any]) -> list[dict[str, Any]]:
    return [b.as_json() for b in bad[:MAX_REPORTED_LINES]]


async def import_lines(request: Request) -> Response:
    state = of(request)
    limit = state.config.max_body
    core = state.core
    try:
        body = await read_body(request, limit)
    except BodyTooLarge:
        return too_large(limit)
    except BodyError as exc:
        return error(400, str(exc))
    if not body.strip():
        return error(400, "the body is empty; expected JSON Lines: one event per line")
    lines, decoded = decode_body_lines(body, state.config.max_items)
    if not lines.numbers and not lines.otlp:
        return error(400, "the body holds no event: no line is a JSON object",
                     rejected=_rejected(decoded.bad), bad_lines=len(decoded.bad))
    try:
        stored = await store_decoded(core, decoded)
    except StorageError as exc:
        return error(503, f"the events could not be stored; retry the body ({exc})")
    bad = stored.bad
    answer = {
        "accepted": stored.accepted,
        "duplicates": stored.duplicates,
        "rejected": _rejected(bad),
        "bad_lines": len(bad),
        "otlp_not_kept": decoded.otlp_not_kept,
        "trees": [{"root_run_id": root, "run_id": head}
                  for root, head in tree_heads(stored.stored_events, MAX_TREES).items()],
    }
    return JSONAnswer(answer, background=BackgroundTask(feed_stored, core, stored))


def _download(state: Any, export: Any, name: str) -> Response:
    async def body() -> AsyncIterator[bytes]:
        while True:
            chunk = await state.read(export.next_chunk)
            if chunk is None:
                return
            yield chunk

    headers = {"Content-Disposition": f'attachment; filename="{name}"', "Cache-Control": "no-store",
               "X-Content-Type-Options": "nosniff"}
    return StreamingResponse(body(), media_type="application/x-ndjson", headers=headers)


def _thresholds(state: Any) -> dict[str, Any]:
    config = state.config
    return {"stale_after_seconds": config.stale_after_seconds,
            "orphan_after_seconds": config.orphan_after_seconds}


async def export_run(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), ("format",))
    fmt = params.choice("format", FORMATS, "jsonl")
    state = of(request)
    run_id = request.path_params["run_id"]
    export = TreeExport(state.core.desk, run_id, fmt, **_thresholds(state))
    if not await state.read(export.open):
        return error(404, "run not found")
    return _download(state, export, export_file_name(run_id, fmt))


async def export_session(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), ("format",))
    fmt = params.choice("format", FORMATS, "jsonl")
    state = of(request)
    session_id = request.path_params["session_id"]
    export = SessionExport(state.core.desk, session_id, fmt, **_thresholds(state))
    if not await state.read(export.open):
        return error(404, "session not found")
    return _download(state, export, session_file_name(session_id, fmt))
