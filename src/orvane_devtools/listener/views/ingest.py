"""``POST /ingest``: an upload body in, its events committed, the answer after the commit."""

from __future__ import annotations

from starlette.background import BackgroundTask
from starlette.requests import Request
from starlette.responses import Response

from ..core import StorageError
from ..decode import BodyError
from ..responses import JSONAnswer, error
from ..state import of

__all__ = ["BodyTooLarge", "ingest", "read_body"]


class BodyTooLarge(Exception):
    """The body is larger than the listener's limit (answered with 413)."""


async def read_body(request: Request, limit: int) -> bytes:
    """The request's body, refused with ``BodyTooLarge`` (or ``BodyError`` for a bad
    Content-Length) as soon as it is known to exceed ``limit`` bytes."""
    length = request.headers.get("content-length")
    if length is not None:
        if not length.isdigit():
            raise BodyError("Content-Length is not a number")
        if int(length) > limit:
            raise BodyTooLarge
    chunks = []
    size = 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise BodyTooLarge
        chunks.append(chunk)
    return b"".join(chunks)


def too_large(limit: int) -> Response:
    return error(413, f"the body is larger than the limit of {limit} bytes")


async def ingest(request: Request) -> Response:
    state = of(request)
    limit = state.config.max_body
    core = state.core
    try:
        batch = core.decode(await read_body(request, limit))
    except BodyTooLarge:
        return too_large(limit)
    except BodyError as exc:
        return error(400, str(exc))
    try:
        result = await core.store(batch)
    except StorageError as exc:
        return error(503, f"the events could not be stored; retry the batch ({exc})")
    # The desk and the streams get the committed events once the answer has left: the
    # sender's wait ends with the commit.
    return JSONAnswer(result.as_json(), background=BackgroundTask(core.feed, result))
