"""Importing trace files: into a database file, or into a running listener over its API.

Both roads read the sources batch by batch (``batches.gather``) and keep only a batch or two in
memory; what an import did is a ``Summary`` per source.

* ``DatabaseTarget``: the listener's own store road (``ListenerCore.store``: the upload decoder,
  then one commit of the log service per batch), so the file ends as the listener would have
  left it, with the same answers to every query.
* ``ListenerTarget``: ``POST {prefix}/import`` with the batch's event and OTLP lines, so the
  listener decodes, masks, de-duplicates and publishes them to its open pages as it does for
  an upload. A body the listener finds too large (413) is split, down to the single line it
  refuses; a failed commit (503) or a lost connection is retried a few times.
"""

from __future__ import annotations

import asyncio
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import IO, Any
from urllib.parse import urlsplit, urlunsplit

from .batches import BadLine, LineBatch, decode_lines, feed_stored, gather, store_decoded, tree_heads
from .lines import SourceError, TraceSource
from .otlp import NOT_KEPT

__all__ = [
    "CoreTarget",
    "DatabaseTarget",
    "ImportFailed",
    "ListenerTarget",
    "Outcome",
    "Progress",
    "SourceError",
    "Summary",
    "import_source",
    "import_url",
    "run_import",
]

# Bad lines a summary keeps in full (with their reasons); the others are counted.
REPORTED_LINES = 10
# Lines after which a terminal gets a progress bar: a small file is done before one would help.
BAR_AFTER_LINES = 5000
# Bytes of event lines in one request to a listener: well under its default body limit, so that
# one request is a few hundred milliseconds of its time.
REQUEST_BYTES = 1 << 20
RETRIES = 3


class ImportFailed(RuntimeError):
    """The import cannot go on (a listener that cannot be reached or refuses, a database that
    cannot be opened); the message is one line meant for the user."""


@dataclass(slots=True)
class Outcome:
    """What one batch did."""

    accepted: int = 0
    duplicates: int = 0
    bad: list[BadLine] = field(default_factory=list)
    bad_count: int = 0
    otlp_not_kept: int = 0
    # The run trees stored, each by the run to show it by (``batches.tree_heads``).
    trees: dict[str, str] = field(default_factory=dict)


@dataclass
class Summary:
    """What the import of one source did."""

    label: str
    lines: int = 0
    event_lines: int = 0
    accepted: int = 0
    duplicates: int = 0
    bad_count: int = 0
    bad: list[BadLine] = field(default_factory=list)
    otlp_not_kept: int = 0

    def add(self, outcome: Outcome) -> None:
        self.accepted += outcome.accepted
        self.duplicates += outcome.duplicates
        self.otlp_not_kept += outcome.otlp_not_kept
        self.bad_count += outcome.bad_count
        room = REPORTED_LINES - len(self.bad)
        if room > 0:
            self.bad.extend(outcome.bad[:room])

    def text(self) -> list[str]:
        """The summary as lines for a terminal."""
        out = [f"{self.label}: {_n(self.accepted, 'event')} stored, "
               f"{_n(self.duplicates, 'duplicate')}, {_n(self.bad_count, 'bad line')} "
               f"({_n(self.lines, 'line')} read)"]
        for bad in self.bad:
            out.append(f"  line {bad.line}: {bad.error}")
        if self.bad_count > len(self.bad):
            out.append(f"  ... and {_n(self.bad_count - len(self.bad), 'more bad line')}")
        if self.otlp_not_kept:
            out.append(f"  {NOT_KEPT}: {_n(self.otlp_not_kept, 'line')}")
        return out


def _n(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def _outcome_of_store(decoded: Any, stored: Any) -> Outcome:
    return Outcome(stored.accepted, stored.duplicates, stored.bad, len(stored.bad), decoded.otlp_not_kept,
                   tree_heads(stored.stored_events))


class CoreTarget:
    """Imports through a listener's core: ``store`` (one commit per batch, as ``/ingest``), then,
    with ``feed``, the desk and the open streams (a running listener's pages show the runs)."""

    def __init__(self, core: Any, *, feed: bool = True) -> None:
        self.core = core
        self.feed = feed

    @property
    def description(self) -> str:
        return str(self.core.config.db_path)

    def open(self) -> None:
        return None

    async def put(self, batch: LineBatch) -> Outcome:
        from ..listener.core import StorageError

        decoded = decode_lines(batch, self.core.config.max_items)
        try:
            stored = await store_decoded(self.core, decoded)
        except StorageError as exc:
            raise ImportFailed(f"the database {self.description} could not store the events: {exc}") from None
        if self.feed:
            await feed_stored(self.core, stored)
        return _outcome_of_store(decoded, stored)

    async def close(self) -> None:
        return None


class DatabaseTarget(CoreTarget):
    """Imports into the database file at ``path`` as the listener stores (a ``ListenerCore`` of
    its own, opened and closed here; nothing listens to its desk, so nothing is fed)."""

    def __init__(self, path: str | Path) -> None:
        super().__init__(None, feed=False)
        self.path = Path(path).expanduser()

    @property
    def description(self) -> str:
        return str(self.path)

    def open(self) -> None:
        from ..listener.config import ListenerConfig
        from ..listener.core import ListenerCore

        if self.path.is_dir():
            raise ImportFailed(f"--db {self.path} is a folder, not a database file")
        try:
            self.core = ListenerCore(ListenerConfig(db_path=self.path))
        except (OSError, ValueError, RuntimeError) as exc:
            raise ImportFailed(f"cannot open the database {self.path}: {exc}") from None

    async def close(self) -> None:
        if self.core is not None:
            core, self.core = self.core, None
            await core.close()


def import_url(endpoint: str) -> str:
    """The listener's import URL for what a user gives: the import URL itself, its ingest URL,
    the API's base (``http://127.0.0.1:8765/observation``) or the bare address (default prefix)."""
    from ..listener.config import DEFAULT_PREFIX

    text = endpoint.strip()
    if "://" not in text:
        text = "http://" + text
    parts = urlsplit(text)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise ValueError(f"--endpoint {endpoint!r} is not an http:// or https:// URL")
    parts.port  # noqa: B018 - raises ValueError for a port that is not a number or out of range
    path = parts.path.rstrip("/")
    if path.endswith("/import"):
        pass
    elif path.endswith("/ingest"):
        path = path[: -len("/ingest")] + "/import"
    elif not path:
        path = DEFAULT_PREFIX + "/import"
    else:
        path += "/import"
    return urlunsplit((parts.scheme, parts.netloc, path, parts.query, ""))


class ListenerTarget:
    """Imports into a running listener through ``POST {prefix}/import``."""

    def __init__(self, endpoint: str, api_key: str | None = None, *, timeout: float = 60.0,
                 request_bytes: int = REQUEST_BYTES) -> None:
        self.url = import_url(endpoint)
        self.api_key = api_key
        self.timeout = timeout
        self.request_bytes = request_bytes
        self.client: Any = None

    @property
    def description(self) -> str:
        parts = urlsplit(self.url)
        host = parts.hostname or ""
        netloc = f"[{host}]" if ":" in host else host
        if parts.port:
            netloc += f":{parts.port}"
        return urlunsplit((parts.scheme, netloc, parts.path, "", ""))

    def open(self) -> None:
        import httpx

        headers = {"Content-Type": "application/x-ndjson"}
        if self.api_key:
            headers["Authorization"] = f"Bearer {self.api_key}"
        self.client = httpx.AsyncClient(headers=headers, timeout=self.timeout)

    async def put(self, batch: LineBatch) -> Outcome:
        # Event and OTLP lines go to the listener in file order; bad lines stay here.
        entries = sorted([*zip(batch.numbers, batch.data), *((n, d) for n, _, d in batch.otlp)])
        outcome = Outcome(bad=list(batch.bad), bad_count=len(batch.bad))
        start = 0
        while start < len(entries):
            size = 0
            end = start
            while end < len(entries) and (end == start or size + len(entries[end][1]) + 1 <= self.request_bytes):
                size += len(entries[end][1]) + 1
                end += 1
            await self._send(entries[start:end], outcome)
            start = end
        outcome.bad.sort(key=lambda b: b.line)
        return outcome

    async def _send(self, entries: list[tuple[int, bytes]], outcome: Outcome) -> None:
        body = b"\n".join(data for _, data in entries) + b"\n"
        status, answer = await self._post(body)
        if status == 413:
            if len(entries) == 1:
                outcome.bad.append(BadLine(entries[0][0], "larger than the listener's body limit"))
                outcome.bad_count += 1
                return
            half = len(entries) // 2
            await self._send(entries[:half], outcome)
            await self._send(entries[half:], outcome)
            return
        if status == 200 or (status == 400 and isinstance(answer, dict) and "bad_lines" in answer):
            numbers = [n for n, _ in entries]
            outcome.accepted += int(answer.get("accepted", 0))
            outcome.duplicates += int(answer.get("duplicates", 0))
            outcome.otlp_not_kept += int(answer.get("otlp_not_kept", 0))
            outcome.bad_count += int(answer.get("bad_lines", 0))
            for item in answer.get("rejected", ()):
                line = item.get("line")
                if isinstance(line, int) and 1 <= line <= len(numbers):
                    outcome.bad.append(BadLine(numbers[line - 1], str(item.get("error"))))
            for tree in answer.get("trees", ()):
                _add_tree(outcome.trees, str(tree.get("root_run_id")), str(tree.get("run_id")))
            return
        message = answer.get("error") if isinstance(answer, dict) else None
        if status == 401:
            raise ImportFailed(f"the listener at {self.description} refused the API key "
                               f"(give it with --api-key or ORVANE_DEVTOOLS_API_KEY)")
        if status in (404, 405):
            raise ImportFailed(f"{self.description} has no import route (is it a listener of this "
                               f"version, and is its prefix in the URL?)")
        raise ImportFailed(f"the listener at {self.description} answered {status}"
                           + (f": {message}" if message else ""))

    async def _post(self, body: bytes) -> tuple[int, Any]:
        import httpx

        delay = 0.5
        for attempt in range(RETRIES + 1):
            try:
                resp = await self.client.post(self.url, content=body)
            except httpx.HTTPError as exc:
                if attempt == RETRIES:
                    raise ImportFailed(f"the listener at {self.description} cannot be reached "
                                       f"({type(exc).__name__}: {exc or 'no answer'})") from None
            else:
                if resp.status_code != 503 or attempt == RETRIES:
                    try:
                        answer = resp.json()
                    except ValueError:
                        answer = None
                    return resp.status_code, answer
            await asyncio.sleep(delay)
            delay = min(delay * 2, 5.0)
        raise AssertionError("unreachable")  # pragma: no cover

    async def close(self) -> None:
        if self.client is not None:
            await self.client.aclose()
            self.client = None


class Progress:
    """A progress bar on a terminal (events read, their rate, bytes left), shown once a source
    has more than ``BAR_AFTER_LINES`` lines; nothing otherwise."""

    def __init__(self, stream: IO[str] | None, *, after_lines: int = BAR_AFTER_LINES) -> None:
        self.stream = stream
        self.enabled = bool(stream is not None and getattr(stream, "isatty", lambda: False)())
        self.after_lines = after_lines
        self.bar: Any = None
        self.started = time.monotonic()

    def begin(self) -> None:
        """A source begins: its rate counts from now."""
        self.close()
        self.started = time.monotonic()

    def update(self, source: TraceSource, lines: int, events: int) -> None:
        if not self.enabled:
            return
        if self.bar is None:
            if lines <= self.after_lines:
                return
            try:
                from tqdm import tqdm
            except ImportError:  # an install without it: the summary still comes
                self.enabled = False
                return
            self.bar = tqdm(total=source.size, unit="B", unit_scale=True, unit_divisor=1024,
                            desc=source.label, file=self.stream, leave=False, mininterval=0.25,
                            dynamic_ncols=True)
            fresh = True
        else:
            fresh = False
        bar = self.bar
        elapsed = max(time.monotonic() - self.started, 1e-6)
        postfix = f"{events:,} events, {events / elapsed:,.0f}/s"
        if source.size is not None:
            postfix += f", {_bytes(max(source.size - source.position, 0))} left"
        bar.set_postfix_str(postfix, refresh=False)
        bar.update(source.position - bar.n)
        if fresh:
            bar.refresh()  # its first frame with the counts, however soon the next comes

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _bytes(n: int) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return f"{n} B"  # pragma: no cover


async def import_source(source: TraceSource, target: Any, progress: Progress | None = None,
                        trees: dict[str, str] | None = None) -> Summary:
    """Imports one source batch by batch; the next batch is read and decoded while the one
    before is being committed."""
    summary = Summary(source.label)
    pending: asyncio.Task | None = None
    events = 0
    lines = source.lines()
    if progress is not None:
        progress.begin()
    try:
        for batch in gather(lines, source.max_line_bytes):
            summary.lines = batch.last_line
            events += batch.event_lines + len(batch.otlp)
            summary.event_lines = events
            if pending is not None:
                _add(summary, await pending, trees)
            pending = asyncio.ensure_future(target.put(batch))
            await asyncio.sleep(0)  # let it start: its commit runs while the next batch is read
            if progress is not None:
                progress.update(source, summary.lines, events)
        if pending is not None:
            outcome, pending = await pending, None
            _add(summary, outcome, trees)
    finally:
        lines.close()
        if pending is not None:
            pending.cancel()
            try:
                await pending
            except BaseException:  # noqa: BLE001 - the error that stopped the loop is the one to report
                pass
        if progress is not None:
            progress.close()
    return summary


def _add(summary: Summary, outcome: Outcome, trees: dict[str, str] | None) -> None:
    summary.add(outcome)
    if trees is not None:
        for root, head in outcome.trees.items():
            _add_tree(trees, root, head)


def _add_tree(trees: dict[str, str], root: str, head: str) -> None:
    known = trees.get(root)
    if known is None or (known != root and head == root):  # once seen, the root shows its tree
        trees[root] = head


async def run_import(sources: Iterable[TraceSource], target: Any, *,
                     progress: Progress | None = None,
                     report: Callable[[Summary], None] | None = None) -> list[Summary]:
    """Imports every source into ``target`` in turn (opened and closed here); ``report`` gets
    each source's summary as soon as it is done. Raises ``ImportFailed`` or ``SourceError``."""
    sources = list(sources)
    for source in sources:
        source.check()
    target.open()
    summaries = []
    try:
        for source in sources:
            summary = await import_source(source, target, progress)
            summaries.append(summary)
            if report is not None:
                report(summary)
    finally:
        await target.close()
    return summaries

