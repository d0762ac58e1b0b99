"""``/events`` (by filters and search) and ``/events/{id}``."""

from __future__ import annotations

from typing import Any

from starlette.requests import Request
from starlette.responses import Response

from .. import queries
from ..params import EVENT_FILTERS, Params, read_filters
from ..responses import JSONAnswer, error
from ..state import of
from .runs import EVENTS_DEFAULT_LIMIT, EVENTS_MAX_LIMIT

__all__ = ["get_event", "list_events"]

_LIST_PARAMS = (*EVENT_FILTERS, "limit", "cursor")


async def list_events(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), _LIST_PARAMS)
    query = {k: v for k, v in read_filters(params, EVENT_FILTERS).items()
             if v is not None and v is not False}
    limit = params.integer("limit", minimum=1, maximum=EVENTS_MAX_LIMIT, default=EVENTS_DEFAULT_LIMIT)
    offset = params.cursor()
    state = of(request)
    return await state.read(_list_events, state.core.desk, query, limit, offset)


def _list_events(desk: Any, query: dict[str, Any], limit: int, offset: int) -> Response:
    events = desk.query_events(limit=offset + limit + 1, **query)
    rows, next_cursor = queries.events_page(events, limit, offset)
    return JSONAnswer({"events": rows, "next_cursor": next_cursor})


async def get_event(request: Request) -> Response:
    Params(request.query_params.multi_items(), ())
    state = of(request)
    return await state.read(_get_event, state.core.desk, request.path_params["event_id"])


def _get_event(desk: Any, event_id: str) -> Response:
    event = desk.get_event(event_id)
    return error(404, "event not found") if event is None else JSONAnswer(event)
