"""The listener's HTTP API as a Starlette application: its routes, guard and lifespan.

Routes (``{prefix}`` defaults to ``/observation``)::

    GET  /                                 the web page (public)
    GET  /assets/{file}                    the page's files (public)
    GET  /healthz                          {"ok": true} (public)
    POST {prefix}/ingest                   an upload body -> accepted / duplicates / rejected
    POST {prefix}/import                   a JSON Lines body (a trace file, or part of one)
    GET  {prefix}/runs                     run records, newest update first, paged
    GET  {prefix}/runs/{run_id}            one run record
    GET  {prefix}/runs/{run_id}/children   its child runs
    GET  {prefix}/runs/{run_id}/tree       its subtree (nested, or ?format=flat)
    GET  {prefix}/runs/{run_id}/events     its events (and its descendants' with
                                           include_descendants), newest page first
    GET  {prefix}/runs/{run_id}/export     its tree as a trace file (JSON Lines or OTLP JSON)
    GET  {prefix}/sessions                 sessions (runs sharing a session id), newest activity first
    GET  {prefix}/sessions/{session_id}    one session: its summary and its turns (run trees)
    GET  {prefix}/sessions/{id}/export     the session's trees as a trace file
    GET  {prefix}/usage                    LLM calls per model over a time window
    GET  {prefix}/events                   events by filters and search
    GET  {prefix}/events/{event_id}        one event
    GET  {prefix}/stream                   Server-Sent Events of committed events and runs
    GET  {prefix}/stats                    counters
    POST /v1/traces                        OTLP/HTTP spans -> runs and events
    POST /v1/logs                          OTLP/HTTP log records -> events
    POST /v1/metrics                       OTLP/HTTP metrics: accepted, not kept

The endpoints are the module-level functions of ``views``; they share ``app.state.listener``
(``state.ListenerState``). Run records are the desk's resolved copies (stale and orphaned runs
reported as failed), dumped in JSON mode; events likewise.
"""

from __future__ import annotations

import contextlib
from collections.abc import AsyncIterator, Callable
from typing import Any

from starlette.applications import Starlette
from starlette.routing import BaseRoute, Mount, Route
from starlette.staticfiles import StaticFiles

from .config import ListenerConfig
from .core import ListenerCore
from .guard import GuardMiddleware
from .params import BadParameter
from .state import ListenerState
from .views import errors, events, ingest, live, otlp, page, runs, sessions, tracefiles

__all__ = ["api_routes", "create_app", "otlp_routes"]

PUBLIC_PATHS = ("/", "/healthz", "/favicon.ico")
PUBLIC_PREFIXES = ("/assets/",)


def api_routes(prefix: str) -> list[BaseRoute]:
    """The API's routes under ``prefix`` (more specific paths first: run ids may hold '/')."""
    return [
        Route(f"{prefix}/ingest", ingest.ingest, methods=["POST"]),
        Route(f"{prefix}/import", tracefiles.import_lines, methods=["POST"]),
        Route(f"{prefix}/runs", runs.list_runs, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}/children", runs.run_children, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}/tree", runs.run_tree, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}/events", runs.run_events, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}/export", tracefiles.export_run, methods=["GET"]),
        Route(f"{prefix}/runs/{{run_id:path}}", runs.get_run, methods=["GET"]),
        Route(f"{prefix}/sessions", sessions.list_sessions, methods=["GET"]),
        Route(f"{prefix}/sessions/{{session_id:path}}/export", tracefiles.export_session, methods=["GET"]),
        Route(f"{prefix}/sessions/{{session_id:path}}", sessions.get_session, methods=["GET"]),
        Route(f"{prefix}/usage", sessions.usage, methods=["GET"]),
        Route(f"{prefix}/events", events.list_events, methods=["GET"]),
        Route(f"{prefix}/events/{{event_id:path}}", events.get_event, methods=["GET"]),
        Route(f"{prefix}/stream", live.stream, methods=["GET"]),
        Route(f"{prefix}/stats", live.stats, methods=["GET"]),
    ]


def otlp_routes() -> list[BaseRoute]:
    """The OTLP/HTTP receiver's routes, at the standard paths (no prefix: an exporter given the
    listener's address as its endpoint appends them)."""
    return [
        Route("/v1/traces", otlp.traces, methods=["POST"]),
        Route("/v1/logs", otlp.logs, methods=["POST"]),
        Route("/v1/metrics", otlp.metrics, methods=["POST"]),
    ]


def create_app(config: ListenerConfig, core: ListenerCore | None = None,
               *, on_shutdown: Callable[[], Any] | None = None) -> Starlette:
    """The listener's ASGI application; builds a ``ListenerCore`` when none is given.

    The core (with its database) opens when the application starts and closes when it stops.
    """
    state = ListenerState(config, core)

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        state.start()
        try:
            yield
        finally:
            await state.stop()
            if on_shutdown is not None:
                on_shutdown()

    routes = [
        Route("/", page.page, methods=["GET"]),
        Route("/favicon.ico", page.favicon, methods=["GET"]),
        Route("/healthz", page.healthz, methods=["GET"]),
        *otlp_routes(),
        *api_routes(config.prefix),
        Mount("/assets", app=StaticFiles(directory=state.page_dir / "assets", check_dir=False)),
    ]
    app = Starlette(routes=routes, lifespan=lifespan,
                    exception_handlers={BadParameter: errors.bad_parameter,
                                        404: errors.not_found, 405: errors.not_found})
    if config.cors_origins:
        from starlette.middleware.cors import CORSMiddleware

        app.add_middleware(CORSMiddleware, allow_origins=list(config.cors_origins),
                           allow_methods=["GET", "POST"],
                           allow_headers=["Authorization", "Content-Type", "Last-Event-ID"])
    app.add_middleware(GuardMiddleware, api_key=config.api_key, loopback_only=config.loopback_only,
                       public_paths=PUBLIC_PATHS, public_prefixes=PUBLIC_PREFIXES)
    app.state.config = config
    app.state.listener = state
    return app
