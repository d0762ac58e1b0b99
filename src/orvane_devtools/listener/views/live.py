"""``/stream`` (Server-Sent Events of committed events and runs) and ``/stats``."""

from __future__ import annotations

from collections.abc import AsyncIterator

from starlette.requests import Request
from starlette.responses import Response, StreamingResponse

from ..params import EVENT_FILTERS, Params, read_filters
from ..responses import JSONAnswer
from ..state import of
from ..stream import StreamFilter

__all__ = ["stats", "stream"]

STREAM_HEADERS = {"Cache-Control": "no-cache", "X-Accel-Buffering": "no", "Connection": "keep-alive"}


async def stream(request: Request) -> Response:
    params = Params(request.query_params.multi_items(), (*EVENT_FILTERS, "last_event_id"))
    flt = StreamFilter(**read_filters(params, EVENT_FILTERS))
    last_id = request.headers.get("last-event-id") or params.text("last_event_id")
    hub = of(request).core.hub

    async def body() -> AsyncIterator[bytes]:
        async for text in hub.messages(flt, last_id):
            yield text.encode("utf-8")

    return StreamingResponse(body(), media_type="text/event-stream", headers=STREAM_HEADERS)


async def stats(request: Request) -> Response:
    Params(request.query_params.multi_items(), ())
    core = of(request).core
    return await of(request).read(lambda: JSONAnswer(core.stats()))
