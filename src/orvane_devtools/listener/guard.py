"""The listener's guard: the Bearer key and, on a loopback listener, the Host rule."""

from __future__ import annotations

import hmac

from starlette.types import ASGIApp, Receive, Scope, Send

from .config import is_loopback_host
from .responses import JSONAnswer, error

__all__ = ["GuardMiddleware", "host_is_loopback"]


def host_is_loopback(host: bytes | None) -> bool:
    """Whether a request's ``Host`` header names a loopback address (with or without a port).

    ``localhost``, ``127.0.0.1:8765``, ``[::1]:8765`` pass; ``localhost.attacker.example`` or
    ``localhost.evil:80`` (a name that a web site's DNS can point at 127.0.0.1) do not. A request
    without the header (HTTP/1.0) passes: it names no host to be confused about.
    """
    if not host:
        return True
    text = host.decode("latin-1").strip()
    if text.startswith("["):
        name = text[1:text.find("]")] if "]" in text else text
    else:
        name = text.rsplit(":", 1)[0] if text.count(":") == 1 else text
    return is_loopback_host(name)


class GuardMiddleware:
    """Bearer key check and, on a loopback listener, the Host check.

    With a key set every route except the page, its files and ``/healthz`` needs
    ``Authorization: Bearer KEY``; the key is compared in constant time and a wrong or missing
    one gets 401 without any detail. A listener bound to loopback only answers requests whose
    Host names a loopback address, so that a web site the user visits cannot reach it through a
    name that resolves to 127.0.0.1.
    """

    def __init__(self, app: ASGIApp, *, api_key: str | None, loopback_only: bool,
                 public_paths: tuple[str, ...], public_prefixes: tuple[str, ...]) -> None:
        self.app = app
        self.key = api_key.encode("utf-8") if api_key else None
        self.loopback_only = loopback_only
        self.public_paths = public_paths
        self.public_prefixes = public_prefixes

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = dict(scope.get("headers") or ())
        if self.loopback_only and not host_is_loopback(headers.get(b"host")):
            await error(400, "this listener only answers requests addressed to a loopback host")(
                scope, receive, send)
            return
        if self.key is not None and not self._is_public(scope["path"]):
            given = headers.get(b"authorization", b"")
            scheme, _, token = given.partition(b" ")
            supplied = token.strip() if scheme.lower() == b"bearer" else b""
            # Compare in constant time whatever was sent (a missing key compares too).
            if not hmac.compare_digest(supplied, self.key):
                await JSONAnswer({"error": "unauthorized"}, 401,
                                 {"WWW-Authenticate": "Bearer"})(scope, receive, send)
                return
        await self.app(scope, receive, send)

    def _is_public(self, path: str) -> bool:
        return path in self.public_paths or path.startswith(self.public_prefixes)
