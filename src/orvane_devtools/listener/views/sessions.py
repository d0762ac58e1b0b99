"""``/sessions``, one session's turns, and ``/usage`` (LLM calls per model over a window)."""

from __future__ import annotations

import time
from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from .. import sessions
from ..params import BadParameter, Params
from ..responses import JSONAnswer, JSONText, error
from ..state import of

__all__ = ["get_session", "list_sessions", "usage"]

SESSIONS_DEFAULT_LIMIT = 100
SESSIONS_MAX_LIMIT = 1000
TURNS_DEFAULT_LIMIT = 500
TURNS_MAX_LIMIT = 5000
# The window of /usage when none is given: the last 24 hours.
USAGE_DEFAULT_WINDOW_MS = 24 * 3600 * 1000


def _window(params: Params) -> tuple[int | None, int | None]:
    since = params.integer("since", minimum=0)
    until = params.integer("until", minimum=0)
    if since is not None and until is not None and until < since:
        raise BadParameter("until", "'until' is before 'since'")
    return since, until


async def list_sessions(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), ("app_id", "since", "until", "search", "limit", "cursor"))
    since, until = _window(params)
    filters = {"app_id": params.text("app_id"), "search": params.text("search"), "since": since, "until": until}
    limit = params.integer("limit", minimum=1, maximum=SESSIONS_MAX_LIMIT, default=SESSIONS_DEFAULT_LIMIT)
    offset = params.cursor()
    state = of(request)
    return await state.read(_list_sessions, state.core.desk, filters, limit, offset)


def _list_sessions(desk: Any, filters: dict[str, Any], limit: int, offset: int) -> Response:
    rows, next_cursor = sessions.session_page(desk, filters, limit, offset)
    # Summaries are plain data with text keys: written at once.
    return JSONAnswer({"sessions": JSONText.plain(rows), "next_cursor": next_cursor})


async def get_session(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), ("limit", "cursor"))
    limit = params.integer("limit", minimum=1, maximum=TURNS_MAX_LIMIT, default=TURNS_DEFAULT_LIMIT)
    offset = params.cursor()
    state = of(request)
    return await state.read(_get_session, state.core.desk, request.path_params["session_id"], limit, offset)


def _get_session(desk: Any, session_id: str, limit: int, offset: int) -> Response:
    answer = sessions.session_turns(desk, session_id, limit, offset)
    return error(404, "session not found") if answer is None else JSONAnswer(answer)


async def usage(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), ("since", "until"))
    since, until = _window(params)
    # A window the caller gives is answered again from the same calls until the file changes;
    # the default one moves with the clock.
    fixed = since is not None
    if since is None:
        end = until if until is not None else int(time.time() * 1000)
        since = max(0, end - USAGE_DEFAULT_WINDOW_MS)
    state = of(request)
    return await state.read(_usage, state.core.desk, since, until, fixed)


def _usage(desk: Any, since: int, until: int | None, fixed: bool) -> Response:
    def work() -> tuple[JSONText, bool]:
        models, totals = sessions.usage(desk, since, until)
        return JSONText.plain({"since": since, "until": until, "models": models, "totals": totals}), fixed

    if not fixed:
        return JSONAnswer(work()[0])
    return JSONAnswer(desk.log_service.keep_while_unchanged(("usage", since, until), work))
