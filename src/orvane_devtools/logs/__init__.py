"""The log service consulted by the observation facade when ``logs.enabled`` is set.

``RuntimeLogService`` keeps the events it receives and the run records derived from them, and
answers the run and event look-ups the facade makes when a log service is configured
(``query_runs``, ``get_event``, ``collect_descendant_run_ids``, ``query_events``). Everything it
returns is a copy: callers never share objects with it.

Two stores, chosen by ``logs.path``:

* not set: in memory, in a run store of its own made by ``create_observation_store``, so records
  are derived exactly as the facade's store derives them; gone when the process ends.
* set: in an SQLite file at that path (created with its folders when missing). Records are
  derived by the same native run store, then kept in the file with the events; reopening the file
  brings every run, tree, search and event back. Appends are committed by one writer thread in
  group commits: ``append_event`` returns once the event's transaction has committed.

Settings (read once, at construction):

``logs.path`` (default none)
    The SQLite file of the persistent store; none or empty keeps the log in memory.
``logs.max_events`` (default 5000)
    How many events are kept: the oldest are dropped first (in memory: the capacity of each of
    the store's rings; in the file: of the whole file, the drops counted in ``stats()``). Run
    records are kept in memory; in the file a run goes when none of its events is left.
``logs.retention_days`` (default none, file only)
    Events whose timestamp is older than this many days (a positive number) are dropped.
``logs.synchronous`` (default "normal", file only)
    "normal": a committed event survives a crash of the process; "full": also a power loss
    (one fsync per commit).
"""

from __future__ import annotations

import asyncio
import contextvars
from concurrent.futures import Future
from typing import TYPE_CHECKING, Any

from ._common import (
    DEFAULT_MAX_EVENTS,
    LogStoreCorruptError,
    LogStoreError,
    LogStoreFullError,
    LogStoreReadOnlyError,
    LogStoreVersionError,
    check_int,
    check_text,
    max_events_setting,
    path_setting,
    retention_days_setting,
    synchronous_setting,
    type_error,
)
from ._links import SpanLinks
from ._llm import CallPiece
from ._llm_answers import LlmAnswers
from ._memory import MemoryLogStore

if TYPE_CHECKING:
    from ._store import DirectLogStore, FileLogStore

__all__ = [
    "CallPiece",
    "DEFAULT_MAX_EVENTS",
    "LogBatch",
    "LogStoreCorruptError",
    "LogStoreError",
    "LogStoreFullError",
    "LogStoreReadOnlyError",
    "LogStoreVersionError",
    "RuntimeLogService",
    "SpanLinks",
]

_INT_FILTERS = frozenset(("since", "until", "limit"))

_current_batch: contextvars.ContextVar[LogBatch | None] = contextvars.ContextVar(
    "orvane_log_batch", default=None
)


_event_cls: list[type] = []


def _event_class() -> type:
    if not _event_cls:
        from .._orvane_compat import RuntimeEvent

        _event_cls.append(RuntimeEvent)
    return _event_cls[0]


def _failed(error: BaseException) -> Future:
    future: Future = Future()
    future.set_exception(error)
    return future


async def _wait(future: Any) -> Any:
    if isinstance(future, Future):
        if future.done():
            return future.result()
        return await asyncio.wrap_future(future)
    return await future


# Events a batch hands the writer at a time while its block runs (so writing overlaps the block).
_BATCH_CHUNK = 512


class LogBatch:
    """A group of appends committed together: see ``RuntimeLogService.batch``."""

    def __init__(self, service: RuntimeLogService) -> None:
        self._service = service
        self._futures: list[Any] = []
        self._prepared: list = []
        self._calls: list = []
        self._token: contextvars.Token | None = None
        self.stored = 0
        self.duplicates = 0

    def _add(self, events: list, calls: list | None = None) -> None:
        store = self._service._store
        if not store.persistent:
            self._futures.append(store.append(events, None, calls) if calls else store.append(events))
            return
        # Checked and encoded now (a refused event raises here); written in chunks. The call
        # pieces of these events go with the chunk that holds them.
        self._prepared.extend([store.prepare(e) for e in events])
        if calls:
            self._calls.extend(calls)
        if len(self._prepared) >= _BATCH_CHUNK:
            self._flush()

    def _add_one(self, event: Any) -> None:
        store = self._service._store
        if not store.persistent:
            self._futures.append(store.append([event]))
            return
        prepared = self._prepared
        prepared.append(store.prepare(event))
        if len(prepared) >= _BATCH_CHUNK:
            self._flush()

    def _flush(self) -> None:
        store = self._service._store
        if self._prepared and store.persistent:  # (only a file store prepares events)
            chunk, self._prepared = self._prepared, []
            calls, self._calls = self._calls, []
            loop = asyncio.get_running_loop()
            self._futures.append(store.submit(chunk, loop, None, calls) if calls else store.submit(chunk, loop))

    async def __aenter__(self) -> LogBatch:
        if self._token is not None:
            raise RuntimeError("a log batch can be entered once")
        self._token = _current_batch.set(self)
        return self

    async def __aexit__(self, exc_type: Any, exc: Any, tb: Any) -> None:
        _current_batch.reset(self._token)
        try:
            self._flush()
        except BaseException as error:  # noqa: BLE001 - the store is closed: still wait below
            self._futures.append(_failed(error))
        futures, self._futures = self._futures, []
        results = await asyncio.gather(*(_wait(f) for f in futures), return_exceptions=True)
        first_error = None
        for result in results:
            if isinstance(result, BaseException):
                first_error = first_error or result
            else:
                self.stored += result[0]
                self.duplicates += result[1]
        if first_error is not None and exc is None:
            raise first_error


class RuntimeLogService(LlmAnswers):
    """Keeps the events the facade hands it and answers the facade's run and event look-ups."""

    def __init__(self, settings: Any = None) -> None:
        self.settings = settings
        self._max_events = max_events_setting(settings)
        self._retention_days = retention_days_setting(settings)
        path = path_setting(settings)
        # The store, told apart by `persistent` (see _store.py).
        self._store: DirectLogStore | FileLogStore
        if path is None:
            self._store = MemoryLogStore(settings, self._max_events)
        else:
            from ._sqlite import SQLiteLogStore

            self._store = SQLiteLogStore(
                path,
                max_events=self._max_events,
                retention_days=self._retention_days,
                synchronous=synchronous_setting(settings),
            )

    # -- properties --------------------------------------------------------------------------

    @property
    def _record_copies(self) -> bool:
        """Whether every run record ``query_runs`` returns is a copy made for that call alone, so
        the facade may resolve it in place rather than copy it once more: true on a file (its
        store copies each record it hands out) while ``query_runs`` is this class's own."""
        return (
            self._store.persistent
            and type(self).query_runs is _own_query_runs
            and "query_runs" not in self.__dict__
        )

    @property
    def _reads_event_at_once(self) -> bool:
        """Whether ``append_event`` reads all it keeps of its event before it first suspends and
        keeps only immutable values and copies of its own (so the facade may hand over the copy it
        holds rather than a deep copy made for this call): true on a file while ``append_event``
        and the store's encoding of events are this package's own."""
        store = self._store
        if not store.persistent or type(self).append_event is not _own_append_event:
            return False
        cls = type(store)
        return (
            cls.prepare is cls._own_prepare and cls.append is cls._own_append and "append_event" not in self.__dict__
            and "prepare" not in store.__dict__ and "append" not in store.__dict__
        )

    @property
    def max_events(self) -> int:
        """How many events are kept (``logs.max_events``)."""
        return self._max_events

    @property
    def retention_days(self) -> float | None:
        """The age limit of events in days (``logs.retention_days``; file only), or None."""
        return self._retention_days

    @property
    def path(self) -> str | None:
        """The absolute path of the SQLite file, or None for the in-memory store."""
        return self._store.path

    @property
    def persistent(self) -> bool:
        """Whether the events are kept in a file."""
        return self._store.persistent

    # -- appends -----------------------------------------------------------------------------

    async def append_event(self, event: Any) -> None:
        """Keep ``event`` and update its run's record.

        Returns once the event is committed (file) or stored (memory). Inside ``batch()`` it
        returns at once and the batch's end waits for the commit. An event the store cannot hold
        (a timestamp beyond 64 bits, a value that cannot be encoded, text with lone surrogates)
        is refused with ``ValueError`` before anything is written. With a file, an event whose
        ``event_id`` is already stored is ignored (appends are idempotent).
        """
        if not isinstance(event, _event_cls[0] if _event_cls else _event_class()):
            raise type_error("event", "RuntimeEvent", event)
        batch = _current_batch.get()
        if batch is not None and batch._service is self:
            batch._add_one(event)
            return None
        await _wait(self._store.append([event], asyncio.get_running_loop()))
        return None

    async def append_events(self, events: list, calls: list | None = None) -> int:
        """Keep every event of ``events`` in one commit; returns how many were new.

        All or nothing: when one event is refused, none is written. With a file, events whose
        ``event_id`` is already stored (or repeated in the list) are not counted.

        ``calls``: the LLM call pieces these events carry (``CallPiece``: the event, the run it
        counts toward, the partial ``LlmCall``), folded into their runs' calls in the same
        commit; a piece counts only when its event is among ``events`` and new (see
        ``llm_calls``).
        """
        if not isinstance(events, (list, tuple)):
            raise type_error("events", "list", events)
        cls = _event_class()
        for i, event in enumerate(events):
            if not isinstance(event, cls):
                raise type_error(f"events[{i}]", "RuntimeEvent", event)
        calls = _check_calls(calls)
        if not events:
            return 0
        batch = _current_batch.get()
        if batch is not None and batch._service is self:
            batch._add(list(events), calls)
            return 0
        loop = asyncio.get_running_loop()
        store = self._store
        stored, _duplicates = await _wait(
            store.append(list(events), loop, calls) if calls else store.append(list(events), loop)
        )
        return stored

    async def append_spans(self, groups: list, links: SpanLinks | None = None,
                           calls: list | None = None) -> tuple[int, int, list[tuple[int, str]]]:
        """Keep the events of ``groups`` (lists of events, one per span or log record) in one
        commit, with the span ``links`` of their runs and the LLM call pieces of their events
        (``calls``, as for ``append_events``); returns (stored, duplicates, refused).

        A group is kept whole or not at all: one whose events the store cannot hold is left
        out and listed in ``refused`` as (its index, the reason). With a file, the links are
        settled in the same transaction (the runs of spans find their parents, in whatever order
        spans and runs arrive; see ``_links.py``); in memory they are not kept.
        """
        if not isinstance(groups, (list, tuple)):
            raise type_error("groups", "list", groups)
        cls = _event_class()
        for i, group in enumerate(groups):
            if not isinstance(group, (list, tuple)):
                raise type_error(f"groups[{i}]", "list", group)
            for event in group:
                if not isinstance(event, cls):
                    raise type_error(f"groups[{i}]", "list of RuntimeEvent", event)
        if links is not None and not isinstance(links, SpanLinks):
            raise type_error("links", "SpanLinks", links)
        calls = _check_calls(calls)
        store = self._store
        refused: list[tuple[int, str]] = []
        if not store.persistent:
            by_event: dict[str, list] = {}
            for piece in calls or ():
                by_event.setdefault(piece.event_id, []).append(piece)
            stored = 0
            for group in groups:
                if group:
                    own = [p for ev in group for p in by_event.get(ev.event_id, ())] if by_event else None
                    stored += (await _wait(store.append(list(group), None, own or None)))[0]
            return stored, 0, refused
        prepared: list = []
        prepare = store.prepare
        for index, group in enumerate(groups):
            try:
                rows = [prepare(event) for event in group]
            except ValueError as exc:
                refused.append((index, str(exc)))
                continue
            prepared.extend(rows)
        if not prepared:
            return 0, 0, refused
        loop = asyncio.get_running_loop()
        stored, duplicates = await _wait(
            store.submit(prepared, loop, links, calls) if calls else store.submit(prepared, loop, links)
        )
        return stored, duplicates, refused

    def take_moved_runs(self) -> list[str]:
        """The ids of the runs that committed appends moved since the last call: runs whose
        parent or root changed after they were stored, because the parent a span named arrived
        later (``append_spans``'s links, see ``_links.py``). Oldest first, each once; [] without a
        file. Whoever shows runs (the listener's live streams) reads their records again."""
        return self._store.take_moved_runs()

    def span_runs(self, keys: list[tuple[str, str]]) -> dict[tuple[str, str], tuple[str, str]]:
        """The stored runs of spans: (trace id, span id) -> (run id, root run id) for each key
        that names one -- the span run ``otel-{trace}-{span}``, else (with a file) the run of
        ours whose OTLP span id (``span_id_for(run_id)``) the span id is. Ids as lower-case hex."""
        if not isinstance(keys, (list, tuple)):
            raise type_error("keys", "list", keys)
        return self._store.span_runs(list(keys))

    def batch(self) -> LogBatch:
        """An async context in which this service's appends share one wait for their commit.

        ``async with service.batch() as b:`` -- every ``append_event``/``append_events`` of this
        service awaited inside the block (in this task, or tasks it starts) is queued at once and
        returns without waiting; leaving the block waits until all of them are committed and
        raises the first error if one failed. ``b.stored`` and ``b.duplicates`` count them
        afterwards. The facade's ``append_event`` awaited inside the block thus costs one commit
        for the whole block.
        """
        return LogBatch(self)

    async def flush(self) -> None:
        """Wait until every append queued so far is committed."""
        await _wait(self._store.barrier())

    def close(self, timeout: float | None = None) -> None:
        """Commit what is queued, stop the writer and close the file (no-op in memory).

        Later calls of any method raise ``RuntimeError``. At interpreter exit this happens by
        itself (waiting up to 10 seconds for queued appends).
        """
        self._store.close(timeout)

    async def aclose(self) -> None:
        """``close()`` without blocking the event loop."""
        await asyncio.to_thread(self._store.close, None)

    def __enter__(self) -> RuntimeLogService:
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def reset(self) -> None:
        """Forget every event and run (with a file: empties the file's tables)."""
        self._store.reset()

    def stats(self) -> dict[str, Any]:
        """Counts and sizes: ``persistent``, ``path``, ``events`` and ``runs`` stored now,
        ``appended_events`` since construction; with a file also ``file_bytes``, ``wal_bytes``,
        ``max_events``, ``retention_days``, ``dropped_events`` (by ``logs.max_events``),
        ``expired_events`` (by ``logs.retention_days``), ``dropped_runs``, ``duplicate_events``,
        ``pending_events`` (queued, not yet committed), ``commits``, ``failed_batches``,
        ``checkpoints``, ``retention_steps`` (transactions that removed old events) and
        ``last_error``."""
        return self._store.stats()

    # -- runs --------------------------------------------------------------------------------

    def query_runs(
        self,
        *,
        run_id: str | None = None,
        root_run_id: str | None = None,
        parent_run_id: str | None = None,
        run_kind: str | None = None,
        status: str | None = None,
        agent_id: str | None = None,
        session_id: str | None = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        flow_name: str | None = None,
        search: str | None = None,
        since: int | None = None,
        until: int | None = None,
        limit: int | None = None,
    ) -> list:
        """Run records (copies) matching every filter given, newest update first.

        The filters are the run store's ``list_runs`` filters: exact matches, ``app_id_pattern``
        a regular expression searched in ``meta["app_id"]``, ``search`` a case-folded substring
        of the run's accumulated search text, ``since``/``until`` an inclusive window in epoch
        milliseconds over the run's kept events (its record times when it has none), ``limit`` a
        slice from the front (0 gives nothing). Records are stored ones, not judged stale or
        orphaned.
        """
        if (
            root_run_id is None and run_kind is None and status is None and agent_id is None
            and session_id is None and app_id is None and app_id_pattern is None and group_id is None
            and flow_name is None and search is None and since is None and until is None
            and (run_id is None) != (parent_run_id is None)
        ):
            # By run id alone or by parent alone: the look-ups of trees and ancestor walks.
            if run_id is not None:
                check_text("run_id", run_id)
            else:
                check_text("parent_run_id", parent_run_id)
            check_int("limit", limit)
            if limit == 0:
                return []
            store = self._store
            rows = store.run_record(run_id) if run_id is not None else store.child_records(parent_run_id)
            return rows if limit is None else rows[:limit]
        values = {
            "run_id": run_id,
            "root_run_id": root_run_id,
            "parent_run_id": parent_run_id,
            "run_kind": run_kind,
            "status": status,
            "agent_id": agent_id,
            "session_id": session_id,
            "app_id": app_id,
            "app_id_pattern": app_id_pattern,
            "group_id": group_id,
            "flow_name": flow_name,
            "search": search,
            "since": since,
            "until": until,
            "limit": limit,
        }
        for name, value in values.items():
            if value is not None:
                if name in _INT_FILTERS:
                    check_int(name, value)
                else:
                    check_text(name, value)
        return self._store.query_runs(values)

    def root_run_rows(self, root_run_id: str) -> list[tuple]:
        """The stored runs whose ``root_run_id`` is ``root_run_id``, in ``query_runs``' order
        (newest update first), as rows of (``run_id``, ``parent_run_id``, ``root_run_id``,
        ``status``, ``updated_at`` or 0, the record's JSON as ``model_dump_json()`` wrote it when
        it was stored, whether that JSON is exactly what decoding the record and writing it
        again gives), read at once: for answers that write stored records as they are. Records
        are stored ones, not judged stale or orphaned."""
        check_text("root_run_id", root_run_id)
        if root_run_id is None:
            raise type_error("root_run_id", "str", None)
        return self._store.root_run_rows(root_run_id)

    def keep_while_unchanged(self, key: Any, work: Any) -> Any:
        """An answer a caller derives from this service's reads, kept while the store does not
        change: ``work()`` gives (the answer, whether it may be kept: it depends on what is stored
        alone, not on the clock); with a file, the answer for ``key`` is given again on the same
        thread until a commit (of this process or another) changes the file, and is kept only
        when no commit came while ``work`` ran. In memory ``work()`` runs every time. The answer
        is shared by the calls that get it: keep only values nobody changes (text)."""
        if not callable(work):
            raise type_error("work", "callable", work)
        return self._store.keep_while_unchanged(key, work)

    def collect_descendant_run_ids(self, run_id: str) -> list[str]:
        """``run_id`` followed by its descendants' ids, breadth first, children in ascending
        order of their ids, each id once."""
        if not isinstance(run_id, str):
            raise type_error("run_id", "str", run_id)
        return self._store.collect_descendant_run_ids(run_id)

    # -- events ------------------------------------------------------------------------------

    def get_event(self, event_id: str) -> Any:
        """A copy of the kept event with this id, or None."""
        if not isinstance(event_id, str):
            raise type_error("event_id", "str", event_id)
        return self._store.get_event(event_id)

    def query_events(
        self,
        *,
        run_ids: list[str] | None = None,
        run_id: str | None = None,
        event_types: Any = None,
        source: str | None = None,
        level: Any = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        search: str | None = None,
        since: int | None = None,
        until: int | None = None,
        limit: int | None = None,
    ) -> list:
        """Kept events (copies) that pass every filter.

        The base is the events of ``run_ids`` (each run's events in that order, then sorted by
        timestamp, stable), else of ``run_id`` (by timestamp), else every kept event in arrival
        order. Then, in this order: ``event_types`` (names, ``prefix*`` wildcards), ``source``,
        ``level``, ``app_id``, ``group_id`` (exact), ``app_id_pattern`` (regular expression
        searched in the string ``meta["app_id"]``; an invalid pattern gives no events),
        ``search`` (trimmed, case-folded substring of one of the event's searched values),
        ``since``/``until`` (inclusive), and ``limit``: the last ``limit`` events (0 keeps all).
        """
        return self._events(False, run_ids, run_id, event_types, source, level, app_id, app_id_pattern, group_id,
                            search, since, until, limit)

    def query_event_texts(
        self,
        *,
        run_ids: list[str] | None = None,
        run_id: str | None = None,
        event_types: Any = None,
        source: str | None = None,
        level: Any = None,
        app_id: str | None = None,
        app_id_pattern: str | None = None,
        group_id: str | None = None,
        search: str | None = None,
        since: int | None = None,
        until: int | None = None,
        limit: int | None = None,
    ) -> list[str]:
        """``query_events`` with each event as its JSON text, as the event's ``model_dump_json()``
        writes it (for answers that embed events: with a file, made from the JSON the file keeps,
        without building the events)."""
        return self._events(True, run_ids, run_id, event_types, source, level, app_id, app_id_pattern, group_id,
                            search, since, until, limit)

    def _events(self, texts: bool, run_ids: Any, run_id: Any, event_types: Any, source: Any, level: Any,
                app_id: Any, app_id_pattern: Any, group_id: Any, search: Any, since: Any, until: Any,
                limit: Any) -> list:
        if run_ids is not None:
            if not isinstance(run_ids, list):
                raise type_error("run_ids", "list", run_ids)
            for rid in run_ids:
                if not isinstance(rid, str):
                    raise type_error("run_ids", "list of str", rid)
        check_text("run_id", run_id)
        check_text("search", search)
        check_text("app_id_pattern", app_id_pattern)
        for name, value in (("since", since), ("until", until), ("limit", limit)):
            check_int(name, value)
        return self._store.query_events(
            run_ids=run_ids,
            run_id=run_id,
            event_types=event_types,
            source=source,
            level=level,
            app_id=app_id,
            app_id_pattern=app_id_pattern,
            group_id=group_id,
            search=search,
            since=since,
            until=until,
            limit=limit,
            texts=texts,
        )


def _check_calls(calls: Any) -> list | None:
    if calls is None:
        return None
    if not isinstance(calls, (list, tuple)):
        raise type_error("calls", "list", calls)
    for piece in calls:
        if not isinstance(piece, CallPiece):
            raise type_error("calls", "list of CallPiece", piece)
    return list(calls) or None


_own_query_runs = RuntimeLogService.query_runs
_own_append_event = RuntimeLogService.append_event
