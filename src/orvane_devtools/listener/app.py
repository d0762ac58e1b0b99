"""The listener's HTTP API as a Starlette application.

Routes (``{prefix}`` defaults to ``/observation``)::

    GET  /                                 the web page (public)
    GET  /assets/{file}                    the page's files (public)
    GET  /healthz                          {"ok": true} (public)
    POST {prefix}/ingest                   an upload body -> accepted / duplicates / rejected
    GET  {prefix}/runs                     run records, newest update first, paged
    GET  {prefix}/runs/{run_id}            one run record
    GET  {prefix}/runs/{run_id}/children   its child runs
    GET  {prefix}/runs/{run_id}/tree       its subtree (nested, or ?format=flat)
    GET  {prefix}/runs/{run_id}/events     its events (and its descendants' with
                                           include_descendants), newest page first
    GET  {prefix}/events                   events by filters and search
    GET  {prefix}/events/{event_id}        one event
    GET  {prefix}/stream                   Server-Sent Events of committed events and runs
    GET  {prefix}/stats                    counters

Run records are the desk's resolved copies (stale and orphaned runs reported as failed), dumped
in JSON mode; events likewise.
"""

from __future__ import annotations

import asyncio
import contextlib
import functools
import hmac
import html
import json
import re
from collections.abc import AsyncIterator, Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

from starlette.applications import Starlette
from starlette.background import BackgroundTask
from starlette.requests import Request
from starlette.responses import FileResponse, HTMLResponse, Response, StreamingResponse
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.types import ASGIApp, Receive, Scope, Send

from .config import ListenerConfig, is_loopback_host
from .core import ListenerCore, StorageError
from .ingest import BodyError
from .params import BadParameter, Params, encode_cursor
from .stream import StreamFilter

__all__ = ["create_app"]

PAGE_DIR = Path(__file__).resolve().parent / "page"
RUNS_DEFAULT_LIMIT = 100
RUNS_MAX_LIMIT = 1000
EVENTS_DEFAULT_LIMIT = 500
EVENTS_MAX_LIMIT = 5000

RUN_FILTERS = ("run_id", "root_run_id", "parent_run_id", "run_kind", "agent_id", "session_id",
               "app_id", "group_id", "flow_name", "search")
EVENT_TEXT_FILTERS = ("source", "level", "app_id", "group_id", "search")


def _json_default(value: Any) -> Any:
    return str(value)


def _dumps(value: Any) -> bytes:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"),
                      default=_json_default).encode("utf-8")


def json_response(value: Any, status: int = 200, headers: dict[str, str] | None = None) -> Response:
    return Response(_dumps(value), status_code=status, media_type="application/json",
                    headers=headers)


def error(status: int, message: str, **extra: Any) -> Response:
    return json_response({"error": message, **extra}, status)


def _json(record: Any) -> str:
    """A record as JSON text, written by pydantic in one go (the same values as ``_dump``)."""
    return record.model_dump_json()


def raw_json_response(text: str, status: int = 200) -> Response:
    return Response(text.encode("utf-8"), status_code=status, media_type="application/json")


def _list_text(records: list[Any]) -> str:
    return "[" + ",".join(map(_json, records)) + "]"


# -- security --------------------------------------------------------------------------------

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
        if self.loopback_only and not self._host_ok(headers.get(b"host")):
            await error(400, "this listener only answers requests addressed to a loopback host")(
                scope, receive, send)
            return
        if self.key is not None and not self._is_public(scope["path"]):
            given = headers.get(b"authorization", b"")
            scheme, _, token = given.partition(b" ")
            supplied = token.strip() if scheme.lower() == b"bearer" else b""
            # Compare in constant time whatever was sent (a missing key compares too).
            if not hmac.compare_digest(supplied, self.key):
                await json_response({"error": "unauthorized"}, 401,
                                    {"WWW-Authenticate": "Bearer"})(scope, receive, send)
                return
        await self.app(scope, receive, send)

    def _is_public(self, path: str) -> bool:
        return path in self.public_paths or path.startswith(self.public_prefixes)

    @staticmethod
    def _host_ok(host: bytes | None) -> bool:
        if not host:
            return True  # HTTP/1.0 clients send none; nothing to be confused about
        text = host.decode("latin-1").strip()
        if text.startswith("["):
            name = text[1:text.find("]")] if "]" in text else text
        else:
            name = text.rsplit(":", 1)[0] if text.count(":") == 1 else text
        return is_loopback_host(name)


# -- the page --------------------------------------------------------------------------------

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
}


def render_page(page_dir: Path, prefix: str, auth: bool) -> str:
    index = page_dir / "index.html"
    values = {"orvane-prefix": html.escape(prefix, quote=True), "orvane-auth": "key" if auth else "none"}
    try:
        text = index.read_text(encoding="utf-8")
    except OSError:
        return PLACEHOLDER_PAGE.format(prefix=values["orvane-prefix"], auth=values["orvane-auth"],
                                       prefix_text=values["orvane-prefix"] or "/")
    for name, pattern in _META_RE.items():
        text = pattern.sub(lambda m, v=values[name]: m.group(1) + v + m.group(2), text, count=1)
    return text


# -- the application -------------------------------------------------------------------------

def create_app(config: ListenerConfig, core: ListenerCore | None = None,
               *, on_shutdown: Any = None) -> Starlette:
    """The listener's ASGI application; builds a ``ListenerCore`` when none is given.

    The core (with its database) opens when the application starts and closes when it stops.
    """
    state: dict[str, Any] = {"core": core, "reader": None}
    page_dir = Path(config.page_dir) if config.page_dir else PAGE_DIR
    prefix = config.prefix

    def the_core() -> ListenerCore:
        return state["core"]

    async def read(work: Callable[[], Any]) -> Response:
        """Runs ``work`` (a query and its answer) on the reader thread."""
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(state["reader"], work)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        if state["core"] is None:
            state["core"] = ListenerCore(config)
        app.state.core = state["core"]
        # Reads (queries, trees, their JSON) run on one thread of their own, so that a large
        # answer never holds up ingest or the streams on the event loop. The desk's reads go
        # to the log service, whose readers keep a connection per thread.
        state["reader"] = ThreadPoolExecutor(max_workers=1, thread_name_prefix="listener-reader")
        try:
            yield
        finally:
            state["reader"].shutdown(wait=False, cancel_futures=True)
            await state["core"].close()
            if on_shutdown is not None:
                on_shutdown()

    # -- public -------------------------------------------------------------------------------

    async def page(request: Request) -> Response:
        text = render_page(page_dir, prefix, bool(config.api_key))
        return HTMLResponse(text, headers={
            "Cache-Control": "no-cache",
            "X-Content-Type-Options": "nosniff",
            "Referrer-Policy": "no-referrer",
            # The page needs nothing from elsewhere: no outside request, no inline script.
            "Content-Security-Policy": ("default-src 'self'; img-src 'self' data:; "
                                        "object-src 'none'; base-uri 'none'; "
                                        "frame-ancestors 'none'"),
        })

    async def favicon(request: Request) -> Response:
        icon = page_dir / "assets" / "favicon.svg"
        if icon.is_file():
            return FileResponse(icon, media_type="image/svg+xml")
        return Response(status_code=404)

    async def healthz(request: Request) -> Response:
        return json_response({"ok": True})

    # -- ingest -------------------------------------------------------------------------------

    async def ingest(request: Request) -> Response:
        length = request.headers.get("content-length")
        limit = config.max_body
        if length is not None:
            if not length.isdigit():
                return error(400, "Content-Length is not a number")
            if int(length) > limit:
                return error(413, f"the body is larger than the limit of {limit} bytes")
        chunks = []
        size = 0
        async for chunk in request.stream():
            size += len(chunk)
            if size > limit:
                return error(413, f"the body is larger than the limit of {limit} bytes")
            chunks.append(chunk)
        core = the_core()
        try:
            batch = core.decode(b"".join(chunks))
        except BodyError as exc:
            return error(400, str(exc))
        try:
            result = await core.store(batch)
        except StorageError as exc:
            return error(503, f"the events could not be stored; retry the batch ({exc})")
        # The desk and the streams get the committed events once the answer has left: the
        # sender's wait ends with the commit.
        return Response(_dumps(result.as_json()), media_type="application/json",
                        background=BackgroundTask(core.feed, result))

    # -- runs ---------------------------------------------------------------------------------

    def run_query(params: Params) -> dict[str, Any]:
        query: dict[str, Any] = {name: params.text(name) for name in RUN_FILTERS}
        query["status"] = params.status()
        query["app_id_pattern"] = params.pattern("app_id_pattern")
        query["since"] = params.integer("since")
        query["until"] = params.integer("until")
        return {k: v for k, v in query.items() if v is not None}

    async def list_runs(request: Request) -> Response:
        params = Params(request.query_params.multi_items(),
                        RUN_FILTERS + ("status", "app_id_pattern", "since", "until", "limit",
                                       "cursor", "environment", "order"))
        query = run_query(params)
        limit = params.integer("limit", minimum=1, maximum=RUNS_MAX_LIMIT, default=RUNS_DEFAULT_LIMIT)
        offset = params.cursor()
        environment = params.text("environment")
        order = params.choice("order", ("updated", "started"), "updated")
        desk = the_core().desk
        return await read(functools.partial(_list_runs, desk, query, limit, offset, environment, order))

    async def get_run(request: Request) -> Response:
        Params(request.query_params.multi_items(), ())
        return await read(functools.partial(_get_run, the_core().desk, request.path_params["run_id"]))

    async def run_children(request: Request) -> Response:
        Params(request.query_params.multi_items(), ())
        return await read(functools.partial(_run_children, the_core().desk,
                                            request.path_params["run_id"]))

    async def run_tree(request: Request) -> Response:
        params = Params(request.query_params.multi_items(), ("format",))
        shape = params.choice("format", ("nested", "flat"), "nested")
        return await read(functools.partial(_run_tree, the_core().desk,
                                            request.path_params["run_id"], shape))

    async def run_events(request: Request) -> Response:
        params = Params(request.query_params.multi_items(), ("limit", "include_descendants", "cursor"))
        limit = params.integer("limit", minimum=1, maximum=EVENTS_MAX_LIMIT, default=EVENTS_DEFAULT_LIMIT)
        descendants = params.boolean("include_descendants")
        offset = params.cursor()
        return await read(functools.partial(_run_events, the_core().desk,
                                            request.path_params["run_id"], limit, descendants,
                                            offset))

    # -- events -------------------------------------------------------------------------------

    def event_query(params: Params) -> dict[str, Any]:
        query: dict[str, Any] = {name: params.text(name) for name in EVENT_TEXT_FILTERS}
        query["run_id"] = params.text("run_id")
        query["include_descendants"] = params.boolean("include_descendants")
        query["event_types"] = params.event_types()
        query["app_id_pattern"] = params.pattern("app_id_pattern")
        query["since"] = params.integer("since")
        query["until"] = params.integer("until")
        return query

    EVENT_PARAMS = EVENT_TEXT_FILTERS + ("run_id", "include_descendants", "event_types",
                                         "app_id_pattern", "since", "until")

    async def list_events(request: Request) -> Response:
        params = Params(request.query_params.multi_items(), EVENT_PARAMS + ("limit", "cursor"))
        query = event_query(params)
        limit = params.integer("limit", minimum=1, maximum=EVENTS_MAX_LIMIT, default=EVENTS_DEFAULT_LIMIT)
        offset = params.cursor()
        query = {k: v for k, v in query.items() if v is not None and v is not False}
        return await read(functools.partial(_list_events, the_core().desk, query, limit, offset))

    async def get_event(request: Request) -> Response:
        Params(request.query_params.multi_items(), ())
        return await read(functools.partial(_get_event, the_core().desk,
                                            request.path_params["event_id"]))

    # -- stream and stats ---------------------------------------------------------------------

    async def stream(request: Request) -> Response:
        params = Params(request.query_params.multi_items(), EVENT_PARAMS + ("last_event_id",))
        query = event_query(params)
        flt = StreamFilter(**query)
        last_id = request.headers.get("last-event-id") or params.text("last_event_id")
        hub = the_core().hub

        async def body() -> AsyncIterator[bytes]:
            async for text in hub.messages(flt, last_id):
                yield text.encode("utf-8")

        return StreamingResponse(body(), media_type="text/event-stream", headers={
            "Cache-Control": "no-cache", "X-Accel-Buffering": "no", "Connection": "keep-alive"})

    async def stats(request: Request) -> Response:
        Params(request.query_params.multi_items(), ())
        core = the_core()
        return await read(lambda: json_response(core.stats()))

    async def bad_parameter(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, BadParameter)
        return error(400, exc.message, parameter=exc.name)

    async def not_found(request: Request, exc: Exception) -> Response:
        status = getattr(exc, "status_code", 404)
        if status == 405:
            return error(405, "method not allowed")
        return error(404, "not found")

    api = [
        Route(f"{prefix}/ingest", ingest, methods=["POST"]),
        Route(f"{prefix}/runs", list_runs, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}/children", run_children, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}/tree", run_tree, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}/events", run_events, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}", get_run, methods=["GET"]),
        Route(f"{prefix}/events", list_events, methods=["GET"]),
        Route(f"{prefix}/events/{{event_id:path}}", get_event, methods=["GET"]),
        Route(f"{prefix}/stream", stream, methods=["GET"]),
        Route(f"{prefix}/stats", stats, methods=["GET"]),
    ]
    routes = [
        Route("/", page, methods=["GET"]),
        Route("/favicon.ico", favicon, methods=["GET"]),
        Route("/healthz", healthz, methods=["GET"]),
        *api,
        Mount("/assets", app=StaticFiles(directory=page_dir / "assets", check_dir=False)),
    ]
    app = Starlette(routes=routes, lifespan=lifespan,
                    exception_handlers={BadParameter: bad_parameter, 404: not_found, 405: not_found})
    if config.cors_origins:
        from starlette.middleware.cors import CORSMiddleware

        app.add_middleware(CORSMiddleware, allow_origins=list(config.cors_origins),
                           allow_methods=["GET", "POST"],
                           allow_headers=["Authorization", "Content-Type", "Last-Event-ID"])
    app.add_middleware(GuardMiddleware, api_key=config.api_key, loopback_only=config.loopback_only,
                       public_paths=("/", "/healthz", "/favicon.ico"), public_prefixes=("/assets/",))
    app.state.config = config
    return app


# -- reads (on the reader thread) -------------------------------------------------------------

def _page_of_events(events: list[Any], limit: int, offset: int) -> tuple[list[Any], str | None]:
    """The newest ``limit`` events before the ``offset`` newest ones, oldest first, and the
    cursor of the next (older) page. ``events`` holds the newest ``offset + limit + 1``."""
    older = len(events) > offset + limit
    end = len(events) - offset
    rows = events[max(0, end - limit):max(0, end)]
    return rows, encode_cursor(offset + limit) if older else None


def _list_runs(desk: Any, query: dict[str, Any], limit: int, offset: int,
               environment: str | None, order: str) -> Response:
    want = offset + limit + 1
    if order == "started":
        # Newest start first: every match is read, then sorted (the store orders by update).
        records = desk.query_runs(**query)
        if environment is not None:
            records = [r for r in records if (r.meta or {}).get("environment") == environment]
        records.sort(key=lambda r: r.run_id)
        records.sort(key=lambda r: r.started_at or 0, reverse=True)
    elif environment is None:
        records = desk.query_runs(limit=want, **query)
    else:
        records = _runs_in_environment(desk, query, environment, want)
    rows = records[offset:offset + limit]
    next_cursor = encode_cursor(offset + limit) if len(records) > offset + limit else None
    return raw_json_response('{"runs":' + _list_text(rows) + ',"next_cursor":'
                             + json.dumps(next_cursor) + "}")


def _get_run(desk: Any, run_id: str) -> Response:
    record = desk.get_run(run_id)
    if record is None:
        return error(404, "run not found")
    return raw_json_response(_json(record))


def _run_children(desk: Any, run_id: str) -> Response:
    if desk.get_run(run_id) is None:
        return error(404, "run not found")
    return raw_json_response('{"runs":' + _list_text(desk.get_run_children(run_id)) + "}")


def _run_tree(desk: Any, run_id: str, shape: str) -> Response:
    tree = _subtree(desk, run_id)
    if tree is None:
        return error(404, "run not found")
    return raw_json_response(_nested(*tree) if shape == "nested" else _flat(*tree))


def _run_events(desk: Any, run_id: str, limit: int, descendants: bool, offset: int) -> Response:
    record = desk.get_run(run_id)
    if record is None:
        return error(404, "run not found")
    events = desk.query_events(run_id=run_id, include_descendants=descendants,
                               limit=offset + limit + 1)
    rows, next_cursor = _page_of_events(events, limit, offset)
    return raw_json_response('{"events":' + _list_text(rows) + ',"next_cursor":'
                             + json.dumps(next_cursor) + ',"total":'
                             + str(_event_total(desk, record, descendants)) + "}")


def _list_events(desk: Any, query: dict[str, Any], limit: int, offset: int) -> Response:
    events = desk.query_events(limit=offset + limit + 1, **query)
    rows, next_cursor = _page_of_events(events, limit, offset)
    return raw_json_response('{"events":' + _list_text(rows) + ',"next_cursor":'
                             + json.dumps(next_cursor) + "}")


def _get_event(desk: Any, event_id: str) -> Response:
    event = desk.get_event(event_id)
    if event is None:
        return error(404, "event not found")
    return raw_json_response(_json(event))


# -- trees -----------------------------------------------------------------------------------

def _subtree(desk: Any, run_id: str) -> tuple[Any, dict[str, list[Any]], list[Any]] | None:
    """(the run, children by parent id, runs of its root not reachable from it) in two reads:
    the resolved records of the run's root (one query, one judgement batch) and the run's
    descendant ids (the log service's parent links). The tree means what ``get_run_tree``
    means: children are the runs naming their parent, in the desk's order (newest update
    first); a descendant filed under another root is fetched by itself."""
    run = desk.get_run(run_id)
    if run is None:
        return None
    root_id = run.root_run_id or run.run_id
    group = desk.query_runs(root_run_id=root_id)
    position = {r.run_id: i for i, r in enumerate(group)}
    records = {r.run_id: r for r in group}
    records[run.run_id] = records.get(run.run_id, run)
    descendant_ids = desk.log_service.collect_descendant_run_ids(run_id)
    for rid in descendant_ids:
        if rid not in records:
            other = desk.get_run(rid)
            if other is not None:
                records[rid] = other
                position[rid] = len(position)
    children: dict[str, list[Any]] = {}
    for rid in descendant_ids:
        record = records.get(rid)
        if record is None or rid == run_id or record.parent_run_id is None:
            continue
        children.setdefault(record.parent_run_id, []).append(record)
    for kids in children.values():
        # The log service's order: newest update first (the root query's order among equals).
        kids.sort(key=lambda r: (-(r.updated_at or 0), position.get(r.run_id, len(position))))
    detached: list[Any] = []
    if root_id == run_id:
        reachable = set(descendant_ids)
        detached = [r for r in group if r.run_id not in reachable]
    return records[run.run_id], children, detached


def _walk(run: Any, children: dict[str, list[Any]]):
    """(record, depth) depth first, each run once (a parent cycle cannot loop)."""
    seen = {run.run_id}
    stack = [(run, 0)]
    while stack:
        record, depth = stack.pop()
        yield record, depth
        for child in reversed(children.get(record.run_id, ())):
            if child.run_id not in seen:
                seen.add(child.run_id)
                stack.append((child, depth + 1))


def _nested(run: Any, children: dict[str, list[Any]], detached: list[Any]) -> str:
    """The tree as nested JSON text, written in one depth-first pass (no recursion: a run
    chain may be very deep)."""
    pieces: list[str] = []
    open_depth = -1
    for record, depth in _walk(run, children):
        while open_depth >= depth:
            pieces.append("]}")
            open_depth -= 1
        if pieces and pieces[-1] == "]}":
            pieces.append(",")
        pieces.append('{"run":' + _json(record) + ',"children":[')
        open_depth = depth
    pieces.append("]}" * (open_depth + 1))
    return "".join(pieces)


def _flat(run: Any, children: dict[str, list[Any]], detached: list[Any]) -> str:
    nodes = ",".join('{"run":' + _json(record) + ',"depth":' + str(depth) + ',"parent_run_id":'
                     + json.dumps(record.parent_run_id) + "}"
                     for record, depth in _walk(run, children))
    return ('{"root_run_id":' + json.dumps(run.root_run_id or run.run_id) + ',"nodes":['
            + nodes + '],"detached":' + _list_text(detached) + "}")


def _event_total(desk: Any, record: Any, descendants: bool) -> int:
    """The events the run's record counts, with its descendants' when asked (one look-up of
    the descendant ids and one query for the records of the run's root)."""
    if not descendants:
        return record.event_count
    service = desk.log_service
    wanted = set(service.collect_descendant_run_ids(record.run_id))
    root_id = record.root_run_id or record.run_id
    total = 0
    seen: set[str] = set()
    for other in desk.query_runs(root_run_id=root_id):
        if other.run_id in wanted:
            total += other.event_count
            seen.add(other.run_id)
    for run_id in wanted - seen:  # a descendant filed under another root
        other = desk.get_run(run_id)
        if other is not None:
            total += other.event_count
    return total


def _runs_in_environment(desk: Any, query: dict[str, Any], environment: str, want: int) -> list[Any]:
    """Runs of the query whose meta names this environment; asks for more rows until it has
    ``want`` of them or the query has no more."""
    ask = max(want * 2, 200)
    while True:
        records = desk.query_runs(limit=ask, **query)
        matching = [r for r in records if (r.meta or {}).get("environment") == environment]
        if len(matching) >= want or len(records) < ask:
            return matching[:want]
        ask *= 4
