"""The log service's persistent store: runs and events in an SQLite file (``logs.path``; a
``FileLogStore``, see ``_store.py``)."""

from __future__ import annotations

import asyncio
import atexit
import os
import threading
import weakref
from concurrent.futures import Future
from typing import Any, Callable, ClassVar, Literal

from .Logbook import _log_prepare, _private_copy
from ._common import LogStoreError, normalize
from ._reader import Reader
from ._sessions import copy_summaries, sql_session_heads, sql_session_summaries, sql_usage
from ._schema import column_prefix as _column_prefix, commit_counter, open_writer, prepare_path
from ._writer import Writer

__all__ = ["SQLiteLogStore"]

_INT64 = (-(2**63), 2**63 - 1)


def _serializers() -> tuple[Any, Any]:
    from .._orvane_compat import RuntimeEvent, RuntimeRunContext

    return RuntimeEvent.__pydantic_serializer__.to_json, RuntimeRunContext.__pydantic_serializer__.to_json


# An event's and a run context's JSON (bytes), as ``model_dump_json`` writes them.
_event_json, _context_json = _serializers()
# The normalisation the native prepare uses: it stands in for `normalize` while that is this one.
_own_normalize = normalize
# Seconds the interpreter's exit waits for each store to write what is queued.
EXIT_WAIT = 10.0

_live: "weakref.WeakSet[SQLiteLogStore]" = weakref.WeakSet()
_live_lock = threading.Lock()
# Connections inherited through fork(): never used again, never closed by the child.
_inherited: list[Any] = []
# How many forks this process descends from (a store made before the last one starts afresh).
_forks = [0]


def _forked() -> None:
    _forks[0] += 1


os.register_at_fork(after_in_child=_forked)


class SQLiteLogStore:
    persistent: Literal[True] = True
    # The class's own prepare and append (set below the class).
    _own_prepare: ClassVar[Callable[..., tuple]]
    _own_append: ClassVar[Callable[..., Any]]

    def __init__(self, path: str, *, max_events: int, retention_days: float | None, synchronous: str) -> None:
        self.path = prepare_path(path)
        self._max_events = max(1, max_events)
        self._retention_days = retention_days
        self._synchronous = synchronous
        self._pid = os.getpid()
        self._forks = _forks[0]
        self._lock = threading.Lock()
        self._closed = False
        # run id -> (how an event's JSON ends with the run's context, its JSON, its search text),
        # and a fourth item the native prepare adds (see Logbook._log_prepare).
        self._contexts: dict[str, tuple] = {}
        # What the native prepare remembers of each run's payload and meta texts.
        self._texts: dict[str, list] = {}
        self._start()
        with _live_lock:
            _live.add(self)

    def _start(self) -> None:
        conn, counters = open_writer(self.path, self._synchronous)
        self._writer = Writer(
            conn, self.path, counters, max_events=self._max_events, retention_days=self._retention_days
        )
        self._reader = Reader(self.path, commit_counter(self.path))
        # A store that is dropped without close() still lets its writer finish and exit.
        self._finalizer = weakref.finalize(self, _release, self._writer, self._reader)

    def _ready(self) -> None:
        if self._closed:
            raise RuntimeError(f"the log service of {self.path} is closed")
        if self._forks != _forks[0]:
            self._after_fork()

    def _after_fork(self) -> None:
        # The parent's connections and writer thread do not exist here: keep the objects (closing
        # an inherited SQLite connection could disturb the parent's locks) and start afresh.
        with self._lock:
            if self._pid == os.getpid():
                self._forks = _forks[0]
                return
            _inherited.append((self._writer, self._reader))
            self._finalizer.detach()
            self._pid = os.getpid()
            self._forks = _forks[0]
            self._start()

    # -- appends -----------------------------------------------------------------------------

    def prepare(self, event: Any) -> tuple:
        """Check and encode one event for the file; raises for an event the file cannot hold.

        Gives the tuple the writer takes (see ``_transaction.P_*``): the event's columns, its JSON
        without the run context (which the writer keeps once per distinct context), its eight
        normalised search values, the context's JSON and search text, and what the writer's
        derivation of the run record reads (message, meta, the run context).

        The tuple waits in the writer's queue, so it holds texts, numbers and two small dicts
        rather than the event: the event's objects die here instead of ageing into the older
        generations of the cycle collector (whose full collections then walk the whole heap). The
        dicts (the event's meta and its run context's fields, copies that share only immutable
        scalars with the event) are what derivation reads, as they are now: a change the caller
        makes to its event later is not seen by the writer, and the event may be one that others
        hold too (the facade hands over its own copy, see ``RuntimeLogService._reads_event_at_once``).

        Done natively (Logbook._log_prepare) for the events that allow it; the body below is the
        same steps for every event, and words every refusal.
        """
        if normalize is _own_normalize:
            try:
                prepared = _log_prepare(event, _event_json, self._contexts, self._context, self._texts)
            except Exception as exc:  # noqa: BLE001 - whatever the event's values raise, it is refused
                raise ValueError(
                    f"event {event.event_id!r} cannot be stored in {self.path}: {type(exc).__name__}: {exc}"
                ) from None
            if prepared is not None:
                return prepared
        event_id = event.event_id
        ts = event.timestamp
        if not isinstance(ts, int) or not _INT64[0] <= ts <= _INT64[1]:
            raise ValueError(
                f"event {event_id!r} cannot be stored in {self.path}: its timestamp {ts!r} is not a "
                f"64-bit integer of milliseconds"
            )
        try:
            # JSON in UTF-8: an event with a lone surrogate anywhere, or a value whose string
            # form raises, stops here.
            full = _event_json(event, fallback=str)
            norm = normalize
            parts = (
                norm(event_id), norm(event.event_type), norm(event.source), norm(event.level),
                norm(event.message), norm(event.payload), norm(event.error), norm(event.meta),
            )
            # What the row's columns give again is not stored twice.
            cut = _column_prefix(full, event_id, event.event_type, ts, event.source, event.level)
            run = event.run
            if run is None:
                run_id = run_json = ctx_text = context = None
                body = full[cut:].decode()
            else:
                run_id = run.run_id
                cached = self._contexts.get(run_id)
                if cached is None or not full.endswith(cached[0]):
                    cached = self._context(run)
                    if not full.endswith(cached[0]):  # pragma: no cover - serialised otherwise inside
                        cached = (b"", cached[1], cached[2])
                tail, run_json, ctx_text = cached[:3]
                if tail:
                    end = len(full) - len(tail)
                    body = (full[cut if cut < end else 0: end] + b"}").decode()
                else:  # pragma: no cover - the context serialised differently inside the event
                    body = full[cut:].decode()
                context = _private_copy(run.__dict__)
        except Exception as exc:  # noqa: BLE001 - whatever the event's values raise, it is refused
            raise ValueError(
                f"event {event_id!r} cannot be stored in {self.path}: {type(exc).__name__}: {exc}"
            ) from None
        meta = event.meta
        app_id = meta.get("app_id")
        group_id = meta.get("group_id")
        level = event.level
        return (
            event_id,
            ts,
            event.event_type,
            event.source,
            level if isinstance(level, str) else None,
            app_id if isinstance(app_id, str) else None,
            group_id if isinstance(group_id, str) else None,
            run_id,
            body,
            parts,
            run_json,
            ctx_text,
            event.message,
            _private_copy(meta) if type(meta) is dict else meta,
            context,
        )

    def _context(self, run: Any) -> tuple[bytes, str, str]:
        """(how an event's JSON ends with this run context, the context's JSON, its search text),
        remembered per run id: a run's events mostly carry the same context."""
        kind = run.run_kind
        if kind is not None and not isinstance(kind, str):
            str(kind)  # the record keeps the kind's string form
        run_json = _context_json(run, fallback=str)
        text = normalize(run.model_dump(mode="json", fallback=str))
        entry = (b',"run":' + run_json + b"}", run_json.decode(), text)
        if len(self._contexts) >= 4096:
            self._contexts.clear()
        self._contexts[run.run_id] = entry
        return entry

    def append(self, events: list, loop: Any = None, calls: list | None = None) -> Future | asyncio.Future:
        return self.submit([self.prepare(e) for e in events], loop, None, calls)

    def submit(self, prepared: list, loop: Any = None, links: Any = None,
               calls: list | None = None) -> Future | asyncio.Future:
        """Queue prepared events as one ticket (one transaction), with the span links of their
        runs (see _links.SpanLinks) and the LLM call pieces of the events (see _llm.py) when
        given."""
        self._ready()
        return self._writer.submit("append", prepared, loop, links or None, calls or None)

    def barrier(self) -> Future:
        self._ready()
        return self._writer.submit("barrier")

    def take_moved_runs(self) -> list[str]:
        moved = self._writer.moved_runs
        out = []
        while moved:
            try:
                out.append(moved.popleft())
            except IndexError:  # taken by another thread meanwhile
                break
        return list(dict.fromkeys(out))

    def index_now(self) -> None:
        """Bring the trigram index up to date with every committed event (normally it follows
        the commits in bulk, when the writer has a moment)."""
        self._ready()
        self._writer.submit("index").result()

    def reset(self) -> None:
        self._ready()
        self._writer.submit("reset").result()

    def close(self, timeout: float | None = None) -> None:
        with self._lock:
            if self._closed:
                return
            self._closed = True
        if self._pid == os.getpid():
            self._finalizer.detach()
            self._writer.stop(timeout)
            self._reader.close()
        with _live_lock:
            _live.discard(self)

    def stats(self) -> dict[str, Any]:
        self._ready()
        w = self._writer
        counters = w.counters()
        sizes = {}
        for suffix, key in (("", "file_bytes"), ("-wal", "wal_bytes")):
            try:
                sizes[key] = os.path.getsize(self.path + suffix)
            except OSError:
                sizes[key] = 0
        return {
            "persistent": True,
            "path": self.path,
            "events": counters["events"],
            "runs": counters["runs"],
            "file_bytes": sizes["file_bytes"],
            "wal_bytes": sizes["wal_bytes"],
            "max_events": self._max_events,
            "retention_days": self._retention_days,
            "dropped_events": counters["dropped_events"],
            "expired_events": counters["expired_events"],
            "dropped_runs": counters["dropped_runs"],
            "appended_events": w.appended,
            "duplicate_events": w.duplicates,
            "pending_events": w.pending,
            "commits": w.commits,
            "failed_batches": w.failed_batches,
            "checkpoints": w.maintenance.checkpoints,
            "retention_steps": w.maintenance.retention_steps,
            "index_steps": w.maintenance.index_steps,
            "unindexed_events": counters["last_seq"] - counters["indexed_upto"],
            "last_error": w.last_error,
        }

    # -- queries -----------------------------------------------------------------------------

    def query_runs(self, values: dict[str, Any]) -> list:
        self._ready()
        return self._reader.query_runs(values)

    def root_run_rows(self, root_run_id: str) -> list[tuple]:
        self._ready()
        return self._reader.root_run_rows(root_run_id)

    def run_record(self, run_id: str) -> list:
        """[the record of ``run_id``] or [] (``query_runs(run_id=...)``)."""
        self._ready()
        return self._reader.run_record(run_id)

    def child_records(self, parent: str) -> list:
        """The records naming ``parent`` as their parent, newest update first
        (``query_runs(parent_run_id=...)``)."""
        self._ready()
        return self._reader.child_records(parent)

    def collect_descendant_run_ids(self, run_id: str) -> list[str]:
        self._ready()
        return self._reader.collect_descendant_run_ids(run_id)

    def span_runs(self, keys: list[tuple[str, str]]) -> dict[tuple[str, str], tuple[str, str]]:
        self._ready()
        return self._reader.span_runs(keys)

    def get_event(self, event_id: str) -> Any:
        self._ready()
        return self._reader.get_event(event_id)

    # -- LLM calls ---------------------------------------------------------------------------

    def llm_call_texts(self, run_ids: list[str]) -> dict[str, str]:
        self._ready()
        return self._reader.llm_call_texts(run_ids)

    def llm_numbers(self, run_ids: list[str]) -> dict[str, tuple]:
        self._ready()
        return self._reader.llm_numbers(run_ids)

    def llm_tree_numbers(self, run_ids: list[str]) -> dict[str, list[tuple]]:
        self._ready()
        return self._reader.llm_tree_numbers(run_ids)

    def llm_model_runs(self, model: str) -> set[str]:
        self._ready()
        return self._reader.llm_model_runs(model)

    # -- sessions and usage ------------------------------------------------------------------

    def keep_while_unchanged(self, key: Any, work: Any) -> Any:
        self._ready()
        return self._reader.keep_while_unchanged(key, work)

    def session_summaries(self, *, session_id: str | None, app_id: str | None, since: int | None,
                          until: int | None, search: str | None, limit: int, offset: int) -> list[dict[str, Any]]:
        self._ready()
        # Kept until the file changes: a page of sessions reads every run of its sessions.
        key = ("session_summaries", session_id, app_id, since, until, search, limit, offset)
        return self._reader.read_kept(key, copy_summaries, sql_session_summaries, session_id=session_id,
                                      app_id=app_id, since=since, until=until, search=search, limit=limit,
                                      offset=offset)

    def session_heads(self, session_id: str) -> list[str]:
        self._ready()
        return self._reader.read_with(sql_session_heads, session_id)

    def llm_usage(self, since: int, until: int | None) -> list[dict[str, Any]]:
        self._ready()
        return self._reader.read_with(sql_usage, since, until)

    def query_events(
        self,
        *,
        run_ids: list[str] | None,
        run_id: str | None,
        event_types: Any,
        source: Any,
        level: Any,
        app_id: Any,
        app_id_pattern: str | None,
        group_id: Any,
        search: str | None,
        since: int | None,
        until: int | None,
        limit: int | None,
        texts: bool = False,
    ) -> list:
        self._ready()
        return self._reader.query_events(
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


# Appends read their events only in prepare() while these are the class's own (see
# RuntimeLogService._reads_event_at_once).
SQLiteLogStore._own_prepare = SQLiteLogStore.prepare
SQLiteLogStore._own_append = SQLiteLogStore.append


def _release(writer: Writer, reader: Reader) -> None:
    writer.stop(0)
    reader.close()


def _close_all_at_exit() -> None:
    with _live_lock:
        stores = list(_live)
    for store in stores:
        try:
            store.close(EXIT_WAIT)
        except (LogStoreError, RuntimeError):
            pass


atexit.register(_close_all_at_exit)
