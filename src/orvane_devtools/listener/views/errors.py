"""The answers to a bad query parameter, an unknown route and a method a route does not take."""

from __future__ import annotations

from starlette.requests import Request
from starlette.responses import Response

from ..params import BadParameter
from ..responses import error

__all__ = ["bad_parameter", "not_found"]


async def bad_parameter(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, BadParameter)
    return error(400, exc.message, parameter=exc.name)


async def not_found(request: Request, exc: Exception) -> Response:
    if getattr(exc, "status_code", 404) == 405:
        return error(405, "method not allowed")
    return error(404, "not found")
