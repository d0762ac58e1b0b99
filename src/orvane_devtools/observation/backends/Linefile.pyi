import asyncio
import json
import types
from collections.abc import Sequence
from pathlib import Path
from typing import Any, ClassVar

from orvane.utils import DataFormatter
from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.TraceSink import RuntimeTraceSink

__all__ = ("JSONLTraceSink",)

class JSONLTraceSink(RuntimeTraceSink):
    """Appends every event to a UTF-8 JSON Lines file, one line per event.

    Line: ``json.dumps(DataFormatter.sanitize(event.model_dump(mode="json")),
    ensure_ascii=False) + "\\n"`` in UTF-8, except that a lone surrogate code point is written as
    its escape ``\\udXXX`` (so the file stays valid UTF-8 and readers get the code point back).

    The parent directories and the file are created by the first write; an empty batch touches
    nothing. Writes run on one writer thread per file, which keeps the file open in append mode;
    each batch reaches the file as one append under the file's lock, so lines of concurrent
    batches (tasks, threads, several sinks of the same path) never interleave or tear. A file
    deleted, renamed (rotated) or replaced underneath is created again at ``path`` by the next
    batch. An error (a directory in the way, no permission, disk full) raises ``OSError`` from
    ``append_events``; the next batch tries again. The coroutine finishes once the batch has been
    written (write(2) returned).

    A subclass (or an instance, by assigning the attribute) may replace ``_serialize_event`` (its
    mapping is encoded) or ``_write_lines`` (then called as
    ``await asyncio.to_thread(self._write_lines, lines)``).
    """

    name: ClassVar[str]
    path: Path
    def __init__(self, path: str) -> None: ...
    def _serialize_event(self, event: RuntimeEvent) -> Any: ...
    def _write_lines(self, lines: list[str]) -> None:
        """Append the text lines now, on the calling thread (blocking)."""
    async def append_events(self, events: Sequence[RuntimeEvent]) -> None: ...
    async def append_event(self, event: RuntimeEvent) -> None: ...

def _encode_line(value: Any) -> bytes:
    """The bytes of one line for a JSON-compatible value (see JSONLTraceSink)."""

def _encode_event(event: RuntimeEvent) -> bytes:
    """The bytes of the line JSONLTraceSink (without overridden hooks) writes for ``event``."""

def _sanitize(value: Any) -> Any:
    """``DataFormatter.sanitize(value)``, by the native sanitizer while ``DataFormatter.sanitize``
    is the original one (else by the host's sanitize)."""

def _resolve_batch(batch: list[tuple[asyncio.Future[None], BaseException | None]]) -> None: ...

_exit_timeout: float
"""Bound of the exit hook in seconds (default 10.0), read when the interpreter exits."""

def _shutdown_writers(module: types.ModuleType) -> None:
    """The exit hook (registered with atexit; only for the interpreter's exit): writes what is
    queued, stops the writer threads and waits for threads to leave the module's native code,
    within ``_exit_timeout``; afterwards another thread that enters that code stops for good."""

def _forget_writers_after_fork() -> None: ...
