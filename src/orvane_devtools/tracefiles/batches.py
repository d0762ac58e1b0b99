"""Lines gathered into batches, and a batch decoded into the events one commit stores.

A batch holds the event lines of a stretch of one source (bounded in lines and bytes), the OTLP
lines among them and the bad ones with their reasons. Decoding builds one upload body of its
event lines and hands it to the listener's upload decoder (``listener.decode.decode_body``), so
a line of a trace file is validated and masked exactly as the same event in an ``/ingest`` body;
the decoder's rejections come back by index and are turned into line numbers here. Its OTLP
lines are read with the receiver's JSON reader (``otlp.read_line``); ``store_decoded`` commits the
events, then each OTLP line through the receiver's road (``otlp.store_lines``).
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from typing import Any

from ..listener.decode import MAX_ERROR_TEXT, BodyError, DecodedBatch, decode_body
from . import otlp
from .formats import BAD, BLANK, EVENT, recognise
from .lines import Line

__all__ = [
    "BATCH_BYTES",
    "BATCH_LINES",
    "BadLine",
    "DecodedLines",
    "LineBatch",
    "StoredBatch",
    "decode_lines",
    "feed_stored",
    "gather",
    "store_decoded",
    "tree_heads",
]

# A batch of a file read for one commit: large enough that the commit's cost is shared by many
# events, small enough that its lines and events stay a few megabytes.
BATCH_LINES = 2000
BATCH_BYTES = 4 * 1024 * 1024


@dataclass(slots=True)
class BadLine:
    """A line that was not imported: its number in its source and why."""

    line: int
    error: str

    def as_json(self) -> dict[str, Any]:
        return {"line": self.line, "error": self.error}


@dataclass(slots=True)
class LineBatch:
    """The lines of one stretch of a source: event lines (numbers and bytes), OTLP lines, bad
    lines; ``lines`` counts every line read (blank ones too), ``size`` the bytes held."""

    numbers: list[int] = field(default_factory=list)
    data: list[bytes] = field(default_factory=list)
    otlp: list[tuple[int, str, bytes]] = field(default_factory=list)
    bad: list[BadLine] = field(default_factory=list)
    lines: int = 0
    size: int = 0
    last_line: int = 0

    @property
    def event_lines(self) -> int:
        return len(self.numbers)

    def __bool__(self) -> bool:
        return bool(self.lines)


@dataclass(slots=True)
class DecodedLines:
    """A batch decoded: the events to store (``batch``, for ``ListenerCore.store``, with the
    events the decoder rejected by index as in an upload), the line of each of its indexes, the
    lines that are not events at all (``bad``), the OTLP lines read (``otlp``) and the OTLP
    metrics lines, taken and not kept (``otlp_not_kept``)."""

    batch: DecodedBatch
    line_of: list[int]
    bad: list[BadLine]
    otlp: list[otlp.OtlpLine] = field(default_factory=list)
    otlp_not_kept: int = 0

    def rejected_lines(self, rejected: Iterable[dict[str, Any]]) -> list[BadLine]:
        """``rejected`` entries (``{"index", "error"}``, of the decoder or of the store) as lines."""
        line_of = self.line_of
        return [BadLine(line_of[r["index"]], r["error"]) for r in rejected]


def gather(lines: Iterable[Line], limit: int, *, max_lines: int = BATCH_LINES,
           max_bytes: int = BATCH_BYTES) -> Iterator[LineBatch]:
    """The lines of a source in batches of at most ``max_lines`` event lines and about
    ``max_bytes`` bytes; ``limit`` is the line length limit the source was read with."""
    batch = LineBatch()
    for line in lines:
        batch.lines += 1
        batch.last_line = line.number
        kind, value = recognise(line, limit)
        if kind is EVENT:
            batch.numbers.append(line.number)
            batch.data.append(line.data)
            batch.size += len(line.data) + 1
        elif kind is BLANK:
            continue
        elif kind is BAD:
            batch.bad.append(BadLine(line.number, value))
        else:
            batch.otlp.append((line.number, kind, line.data))
            batch.size += len(line.data) + 1
        if len(batch.numbers) >= max_lines or batch.size >= max_bytes:
            yield batch
            batch = LineBatch()
    if batch:
        yield batch


def body_of(data: list[bytes]) -> bytes:
    """The upload body whose events are these event lines, in order."""
    return b'{"events":[' + b",".join(data) + b"]}"


def _one_by_one(batch: LineBatch, bad: list[BadLine]) -> tuple[DecodedBatch, list[int]]:
    out = DecodedBatch()
    line_of: list[int] = []
    for number, data in zip(batch.numbers, batch.data):
        try:
            one = decode_body(body_of([data]))
        except BodyError as exc:
            bad.append(BadLine(number, f"not an event: {exc}"[:MAX_ERROR_TEXT]))
            continue
        for r in one.rejected:
            out.rejected.append({"index": len(line_of), "error": r["error"]})
        for ev in one.events:
            out.events.append(ev)
            out.indexes.append(len(line_of))
        line_of.append(number)
    return out, line_of


def decode_lines(batch: LineBatch, max_items: int | None = None) -> DecodedLines:
    """The events of a batch's event lines (decoded and masked as ``/ingest`` does) and the
    items of its OTLP lines (each bounded by ``max_items`` as a request is: ``otlp.read_line``),
    with the lines that could not be taken."""
    bad = list(batch.bad)
    if batch.data:
        line_of = list(batch.numbers)
        try:
            decoded = decode_body(body_of(batch.data))
        except BodyError:
            # One line makes the whole body unreadable (JSON nested deeper than the decoder
            # goes, say): each line on its own, so that only that one is refused.
            decoded, line_of = _one_by_one(batch, bad)
    else:
        decoded = DecodedBatch()
        line_of = []
    read: list[otlp.OtlpLine] = []
    not_kept = 0
    for number, kind, data in batch.otlp:
        try:
            line = otlp.read_line(kind, data, max_items)
        except ValueError as exc:
            bad.append(BadLine(number, str(exc)[:MAX_ERROR_TEXT] or "not an OTLP request"))
            continue
        if line is None:
            not_kept += 1
            continue
        line.number = number
        read.append(line)
    decoded.total = len(decoded.events)
    bad.sort(key=lambda b: b.line)
    return DecodedLines(decoded, line_of, bad, read, not_kept)


@dataclass(slots=True)
class StoredBatch:
    """What one commit of a decoded batch did: events stored and repeated, every line that was
    not imported (bad, rejected by the decoder or the store, or an OTLP item refused), in line
    order, and the core's results to feed the desk and the streams with."""

    accepted: int
    duplicates: int
    bad: list[BadLine]
    results: list[Any]

    @property
    def stored_events(self) -> list[Any]:
        return [ev for result in self.results for ev in result.stored_events]


async def store_decoded(core: Any, decoded: DecodedLines) -> StoredBatch:
    """Commits a decoded batch through ``core`` (a ``ListenerCore``): its events in one batch,
    as ``/ingest`` does, then each OTLP line as the receiver commits a request. Raises
    ``StorageError`` when a commit failed (what was committed before it stays)."""
    result = await core.store(decoded.batch)
    bad = decoded.bad + decoded.rejected_lines(result.rejected)
    accepted, duplicates, results = result.accepted, result.duplicates, [result]
    if decoded.otlp:
        lines = await otlp.store_lines(core, decoded.otlp)
        accepted += lines.accepted
        duplicates += lines.duplicates
        bad.extend(BadLine(number, reason[:MAX_ERROR_TEXT]) for number, reason in lines.refused)
        results.extend(lines.results)
    bad.sort(key=lambda b: b.line)
    return StoredBatch(accepted, duplicates, bad, results)


async def feed_stored(core: Any, stored: StoredBatch) -> None:
    """The committed events of ``stored`` to the desk and the open streams, in commit order."""
    for result in stored.results:
        await core.feed(result)


def body_lines(body: bytes) -> Iterator[Line]:
    """The lines of a request body (a JSON Lines body: one event or OTLP request per line)."""
    parts = body.split(b"\n")
    last = len(parts) - 1
    for i, data in enumerate(parts):
        if i == last and not data:
            return  # the body ends with an end of line
        if data.endswith(b"\r"):
            data = data[:-1]
        yield Line(i + 1, data, ended=i < last, size=len(data))


def decode_body_lines(body: bytes, max_items: int | None = None) -> tuple[LineBatch, DecodedLines]:
    """A whole JSON Lines body as one batch, and that batch decoded."""
    batch = LineBatch()
    for part in gather(body_lines(body), len(body) + 1, max_lines=1 << 62, max_bytes=1 << 62):
        batch = part
    return batch, decode_lines(batch, max_items)


def tree_heads(events: Iterable[Any], limit: int = 100, into: dict[str, str] | None = None) -> dict[str, str]:
    """For each run tree that ``events`` belong to (by root run id, at most ``limit`` trees), the
    run to show it by: the root when it is among the events' runs, else the first of its runs
    they name (a subtree exported on its own starts with its top run)."""
    heads: dict[str, str] = {} if into is None else into
    for ev in events:
        run = ev.run
        if run is None:
            continue
        root = run.root_run_id or run.run_id
        known = heads.get(root)
        if known is None:
            if len(heads) >= limit:
                continue
            heads[root] = run.run_id
        elif known != root and run.run_id == root:
            heads[root] = root
    return heads
