"""The web page, its icon and the health check: the listener's public routes."""

from __future__ import annotations

import html
import re
from pathlib import Path

from starlette.requests import Request
from starlette.responses import FileResponse, HTMLResponse, Response

from ..responses import JSONAnswer
from ..state import of

__all__ = ["favicon", "healthz", "page", "render_page"]

PLACEHOLDER_PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="orvane-prefix" content="{prefix}"><meta name="orvane-auth" content="{auth}">
<title>orvane devtools listener</title></head>
<body><h1>orvane devtools listener</h1>
<p>The listener is running. Its API is under <code>{prefix_text}</code>:
<a href="{prefix_text}/runs">{prefix_text}/runs</a>, <code>{prefix_text}/stream</code>,
<a href="{prefix_text}/stats">{prefix_text}/stats</a>.</p></body></html>
"""

_META_RE = {
    "orvane-prefix": re.compile(r'(<meta\s+name="orvane-prefix"\s+content=")[^"]*(")'),
    "orvane-auth": re.compile(r'(<meta\s+name="orvane-auth"\s+content=")[^"]*(")'),
    "orvane-max-body": re.compile(r'(<meta\s+name="orvane-max-body"\s+content=")[^"]*(")'),
}

# The page needs nothing from elsewhere: no outside request, no inline script.
PAGE_HEADERS = {
    "Cache-Control": "no-cache",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Content-Security-Policy": ("default-src 'self'; img-src 'self' data:; object-src 'none'; "
                                "base-uri 'none'; frame-ancestors 'none'"),
}


def render_page(page_dir: Path, prefix: str, auth: bool, max_body: int | None = None) -> str:
    """``index.html`` with the API's prefix, whether it needs a key and the largest body it takes
    (the page splits a trace file it imports under it) filled in; a placeholder page when the
    page's files are missing."""
    index = page_dir / "index.html"
    values = {"orvane-prefix": html.escape(prefix, quote=True), "orvane-auth": "key" if auth else "none",
              "orvane-max-body": "" if max_body is None else str(int(max_body))}
    try:
        text = index.read_text(encoding="utf-8")
    except OSError:
        return PLACEHOLDER_PAGE.format(prefix=values["orvane-prefix"], auth=values["orvane-auth"],
                                       prefix_text=values["orvane-prefix"] or "/")
    for name, pattern in _META_RE.items():
        text = pattern.sub(lambda m, v=values[name]: m.group(1) + v + m.group(2), text, count=1)
    return text


async def page(request: Request) -> Response:
    state = of(request)
    text = render_page(state.page_dir, state.config.prefix, bool(state.config.api_key),
                       state.config.max_body)
    return HTMLResponse(text, headers=PAGE_HEADERS)


async def favicon(request: Request) -> Response:
    icon = of(request).page_dir / "assets" / "favicon.svg"
    if icon.is_file():
        return FileResponse(icon, media_type="image/svg+xml")
    return Response(status_code=404)


async def healthz(request: Request) -> Response:
    return JSONAnswer({"ok": True})
