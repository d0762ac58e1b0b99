"""What the listener's endpoints share: ``app.state.listener``.

One ``ListenerState`` per application: the configuration, the page's folder, the core (built or
given when the application starts) and the reader thread. Endpoints are module-level functions
that read it from the request (``of(request)``); nothing else is shared between them.
"""

from __future__ import annotations

import asyncio
import functools
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import TYPE_CHECKING, Any

from starlette.requests import Request

from .config import ListenerConfig

if TYPE_CHECKING:
    from .core import ListenerCore

__all__ = ["ListenerState", "of"]

PAGE_DIR = Path(__file__).resolve().parent / "page"


class ListenerState:
    """The listener's shared state, one per application.

    ``core`` and the reader thread exist from the application's start to its stop (the
    lifespan); both are used on the server's event loop thread only, apart from the reads handed
    to the reader thread.
    """

    def __init__(self, config: ListenerConfig, core: ListenerCore | None = None) -> None:
        self.config = config
        self.page_dir = Path(config.page_dir) if config.page_dir else PAGE_DIR
        self._core = core
        self._reader: ThreadPoolExecutor | None = None

    @property
    def core(self) -> ListenerCore:
        if self._core is None:
            raise RuntimeError("the listener has not started (its lifespan did not run)")
        return self._core

    def start(self) -> None:
        """Builds the core when none was given, and the reader thread."""
        if self._core is None:
            from .core import ListenerCore

            self._core = ListenerCore(self.config)
        # Reads (queries, trees, their JSON) run on one thread of their own, so that a large
        # answer never holds up ingest or the streams on the event loop. The desk's reads go
        # to the log service, whose readers keep a connection per thread.
        self._reader = ThreadPoolExecutor(max_workers=1, thread_name_prefix="listener-reader")

    async def stop(self) -> None:
        if self._reader is not None:
            self._reader.shutdown(wait=False, cancel_futures=True)
        if self._core is not None:
            await self._core.close()

    async def read(self, work: Callable[..., Any], *args: Any) -> Any:
        """Runs ``work(*args)`` (a query and its answer) on the reader thread."""
        loop = asyncio.get_running_loop()
        return await loop.run_in_executor(self._reader, functools.partial(work, *args))


def of(request: Request) -> ListenerState:
    """The listener state of the application that serves ``request``."""
    return request.app.state.listener
