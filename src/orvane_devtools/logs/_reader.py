"""Queries of the log database, each thread on its own connection.

The answers are those of the in-memory service fed the same events; how each filter maps onto
the file:

* Run and event filters on exact values are indexed columns; a value that is not a string (only
  possible when the service is called directly) is compared in Python after decoding.
* ``app_id_pattern`` and ``event_types`` are evaluated in Python over the distinct values kept in
  the ``names`` table, then applied as an ``IN`` list.
* Search: through the trigram indexes of the texts, or by scanning them (``_search.py``).

What is decoded is kept for the next query, shared by the threads: run records by key and
generation (a changed run has a new generation), run contexts (decoded, and as their stored
JSON) and record texts by key (never reused), and the run tree's shape (children in order, by
parent) until a run in it changes (``_shape.py``). Answers that read many rows (a page of
sessions, a root's runs, LLM calls and totals of many runs) are kept per thread until the file
changes (``read_kept``).

Threads and state: the queries run on the calling thread, each in a read transaction of that
thread's own connection (made on first use, closed by ``close``). A ``Reader`` owns the
connections, the decoded records and contexts it keeps (shared by the threads), its ``RunShape``
and its ``Search``.
"""

from __future__ import annotations

import json
import re
import sqlite3
import threading
from contextlib import contextmanager
from typing import Any, Iterator

from .Logbook import _model_from_json
from ._common import needle_of, trim_cache
from ._schema import (
    EVENT_BODY_SQL,
    EVENT_LENS_SQL,
    EVENT_TEXT_SQL,
    NAME_EVENT_APP_ID,
    NAME_EVENT_TYPE,
    NAME_RUN_APP_ID,
    configure_reader,
    connect,
    wrap_error,
)
from ._llm_reader import LlmReads
from ._search import Search, fields_of
from ._shape import RunShape

__all__ = ["Reader"]

_RUN_COLUMNS = (
    "run_id", "root_run_id", "parent_run_id", "run_kind", "status", "agent_id", "session_id",
    "app_id", "group_id", "flow_name",
)

# Decoded run records kept (by key and generation), run contexts kept (by key).
_RECORDS_MAX = 32_768
_CONTEXTS_MAX = 16_384
# An event's row as the decoding reads it: its seq, its whole JSON, its context's key.
_GET_EVENT_SQL = f"SELECT seq, {EVENT_BODY_SQL.format(e='')}, ctx_id FROM events WHERE event_id = ?"
_EVENTS_SELECT = f"SELECT e.seq, {EVENT_BODY_SQL.format(e='e.')}, e.ctx_id"
# Its whole search text and the lengths of its values, with the keys of its kept payload and meta.
_TEXT_COLUMNS = f", {EVENT_TEXT_SQL.format(e='e.')}, {EVENT_LENS_SQL.format(e='e.')}, e.pay_val, e.meta_val"

# How a run context begins inside an event's JSON: a stored body kept without its context holds
# this only inside a nested value.
_OWN_RUN = ',"run":{"run_id":'


def _member_kinds(cls: Any, context_cls: Any) -> tuple[tuple[str, int], ...] | None:
    """The (name, kind) pairs by which the stored JSON of an event of ``cls`` is built into one
    without validation (``Logbook._model_from_json``), or None where a field of the class is not
    one the direct build gives exactly what validation gives: a plain field of type str, str | None,
    int, dict[str, Any] or Any, and a run context stored apart (absent, or null)."""
    kinds = {str: 1, str | None: 2, int: 3, dict[str, Any]: 4, Any: 0, context_cls | None: 5}
    if cls.model_config or cls.__pydantic_decorators__.field_validators or cls.__pydantic_decorators__.model_validators:
        return None
    out = []
    for name, info in cls.model_fields.items():
        kind = next((k for t, k in kinds.items() if info.annotation == t), None)
        if kind is None or info.alias not in (None, name) or info.validation_alias is not None or info.metadata:
            return None
        out.append((name, kind))
    if not out or out[-1][1] != 5 or any(k == 5 for _, k in out[:-1]):
        return None
    return tuple(out)




class _Local(threading.local):
    conn: sqlite3.Connection | None = None
    # Answers of read_kept, the data_version of the file they were read at, and their items.
    kept_version: int | None = None
    kept: dict[Any, Any] | None = None
    kept_items = 0
    # Answers of keep_while_unchanged: key -> (data_version, answer, its length).
    computed: dict[Any, tuple[int, Any, int]] | None = None


# Answers read_kept keeps per thread at most, and their items (rows, entries) at most, in all:
# all of them go when the file changes or one more would pass either bound.
_KEPT_MAX = 64
_KEPT_ITEMS = 50_000
# The lengths (characters of text) of the answers keep_while_unchanged keeps per thread, in all.
_COMPUTED_SIZE = 8_000_000


class Reader(LlmReads):
    def __init__(self, path: str, commits: list[int]) -> None:
        self._path = path
        self._local = _Local()
        self._lock = threading.Lock()
        self._conns: list[sqlite3.Connection] = []
        self._closed = False
        from .._orvane_compat import RuntimeEvent, RuntimeRunContext
        from ..observation.Tallybook import RunRecord, RuntimeTallybook
        from ..observation.TraceSink import _deep_copy

        self._copy = _deep_copy
        self._decode_event = RuntimeEvent.__pydantic_validator__.validate_json
        self._event_cls = RuntimeEvent
        self._event_members = _member_kinds(RuntimeEvent, RuntimeRunContext)
        self._decode_record = RunRecord.__pydantic_validator__.validate_json
        names = list(RunRecord.model_fields)
        # The members of a record's JSON after the first, in order (none: no text is taken as it is).
        self._record_keys = tuple(f',"{name}":' for name in names[1:]) if names[:1] == ["run_id"] else ()
        # Whether the stored JSON of a record is exact (``_record_json_fits``), by key and generation.
        self._exact_records: dict[tuple[int, int], bool] = {}
        self._decode_context = RuntimeRunContext.__pydantic_validator__.validate_json
        self._matches_regex = RuntimeTallybook._matches_regex
        self._records: dict[int, tuple[int, Any]] = {}
        self._contexts: dict[int, Any] = {}
        self._context_texts: dict[int, str] = {}
        self._shape = RunShape(commits)
        self._search = Search()

    # -- connections -------------------------------------------------------------------------

    def _conn(self) -> sqlite3.Connection:
        """This thread's connection."""
        local = self._local
        conn = local.conn
        if conn is None:
            with self._lock:
                if self._closed:
                    raise RuntimeError(f"the log service of {self._path} is closed")
                try:
                    conn = connect(self._path, query_only=True)
                    configure_reader(conn)
                except sqlite3.Error as exc:
                    raise wrap_error(exc, self._path, "opening a reader") from None
                self._conns.append(conn)
            local.conn = conn
        return conn

    @contextmanager
    def _read(self) -> Iterator[sqlite3.Connection]:
        """A read transaction (one snapshot) on this thread's connection."""
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        conn = self._conn()
        try:
            conn.execute("BEGIN")
            try:
                yield conn
            finally:
                if conn.in_transaction:
                    conn.execute("COMMIT")
        except sqlite3.Error as exc:
            try:
                if conn.in_transaction:
                    conn.execute("ROLLBACK")
            except sqlite3.Error:
                pass
            raise wrap_error(exc, self._path, "reading") from None

    def read_with(self, work: Any, *args: Any, **kwargs: Any) -> Any:
        """``work(conn, *args, **kwargs)`` in one read transaction of this thread's connection
        (for queries kept in modules of their own: ``_sessions.py``)."""
        with self._read() as conn:
            return work(conn, *args, **kwargs)

    def read_kept(self, key: Any, copy: Any, work: Any, *args: Any, **kwargs: Any) -> Any:
        """``read_with(work, *args, **kwargs)``, kept for ``key``: while no commit has changed the
        file since this thread read it (``PRAGMA data_version``, which sees every other
        connection's commits, this process's writer included), the same call gives ``copy`` of
        the kept answer instead of reading again. ``work`` must depend on the file alone (not on
        the clock) and give a sized answer (its length bounds what is kept)."""
        local = self._local
        with self._read() as conn:
            version = conn.execute("PRAGMA data_version").fetchone()[0]
            kept = local.kept
            if kept is None or local.kept_version != version:
                kept = local.kept = {}
                local.kept_version = version
                local.kept_items = 0
            try:
                answer = kept[key]
            except KeyError:
                answer = work(conn, *args, **kwargs)
                items = len(answer)
                if items <= _KEPT_ITEMS:
                    if len(kept) >= _KEPT_MAX or local.kept_items + items > _KEPT_ITEMS:
                        kept.clear()
                        local.kept_items = 0
                    kept[key] = answer
                    local.kept_items += items
            return copy(answer)

    def _version(self) -> int:
        with self._read() as conn:
            return conn.execute("PRAGMA data_version").fetchone()[0]

    def keep_while_unchanged(self, key: Any, work: Any) -> Any:
        """``work()`` gives (an answer, whether it may be kept); a kept answer for ``key`` is
        given again, on this thread, while no commit has changed the file since it was made.
        One is kept only when no commit came while ``work`` ran (its reads all saw one state of
        the file), and ``work`` says it depends on that state alone."""
        local = self._local
        computed = local.computed
        if computed is None:
            computed = local.computed = {}
        before = self._version()
        hit = computed.get(key)
        if hit is not None and hit[0] == before:
            return hit[1]
        answer, keep = work()
        try:
            size = len(answer)  # text, or an answer that tells its length
        except TypeError:
            size = 1
        if keep and size <= _COMPUTED_SIZE and self._version() == before:
            computed.pop(key, None)
            if len(computed) >= 16 or sum(entry[2] for entry in computed.values()) + size > _COMPUTED_SIZE:
                computed.clear()
            computed[key] = (before, answer, size)
        else:
            computed.pop(key, None)
        return answer

    def close(self) -> None:
        with self._lock:
            self._closed = True
            conns, self._conns = self._conns, []
        for conn in conns:
            try:
                conn.close()
            except sqlite3.Error:
                pass

    # -- small helpers -----------------------------------------------------------------------

    @staticmethod
    def _names(conn: sqlite3.Connection, kind: int) -> list[str]:
        return [r[0] for r in conn.execute("SELECT value FROM names WHERE kind = ?", (kind,))]

    def _run_key(self, conn: sqlite3.Connection, run_id: str) -> int | None:
        row = conn.execute("SELECT run_key FROM runs WHERE run_id = ?", (run_id,)).fetchone()
        return None if row is None else row[0]

    def _decode_events(self, conn: sqlite3.Connection, rows: list, body: int = 1, ctx: int = 2) -> list:
        """Events from rows holding the stored JSON at ``body`` and the context key at ``ctx``
        (in the read transaction that read them: the contexts are read in it too)."""
        contexts = self._contexts
        wanted = {r[ctx] for r in rows if r[ctx] is not None and r[ctx] not in contexts}
        if wanted:
            trim_cache(contexts, _CONTEXTS_MAX)
            decode = self._decode_context
            for key, text in conn.execute(
                "SELECT ctx_id, body FROM contexts WHERE ctx_id IN (SELECT value FROM json_each(?))",
                (json.dumps(sorted(wanted)),),
            ):
                contexts[key] = decode(text)
        decode = self._decode_event
        copy = self._copy
        out = []
        append = out.append
        members = self._event_members
        cls = self._event_cls
        for r in rows:
            text = r[body]
            key = r[ctx]
            if members is not None:
                # The stored JSON is this system's own dump of a validated event: built directly
                # where it fits the event's fields exactly (with a copy of its run's context when
                # stored without one), validated otherwise.
                run = None
                if key is not None:
                    context = contexts.get(key)
                    if context is None:
                        context = self._context_of(conn, key)
                    run = copy(context)
                event = _model_from_json(cls, text, members, run)
                if event is not None:
                    append(event)
                    continue
            event = decode(text)
            if key is not None:
                fields_set = event.__pydantic_fields_set__
                if "run" not in fields_set:
                    # Stored without its context: the run's context, as its JSON decodes.
                    context = contexts.get(key)
                    if context is None:
                        context = self._context_of(conn, key)
                    event.__dict__["run"] = copy(context)
                    fields_set.add("run")
            append(event)
        return out

    def _context_of(self, conn: sqlite3.Connection, key: int) -> Any:
        """The run context stored under ``key``, decoded and kept."""
        row = conn.execute("SELECT body FROM contexts WHERE ctx_id = ?", (key,)).fetchone()
        context = self._contexts[key] = self._decode_context(row[0])
        return context

    def _records_of(self, conn: sqlite3.Connection, rows: list) -> list:
        """Copies of run records from rows (run_key, gen, record JSON or None): decoded ones
        kept by key and generation are copied, others decoded (read by key when not given)."""
        cache = self._records
        copy = self._copy
        out: list = []
        missing = []
        for i, (key, gen, text) in enumerate(rows):
            hit = cache.get(key)
            if hit is not None and hit[0] == gen:
                out.append(copy(hit[1]))
                continue
            out.append(None)
            missing.append((i, key, gen, text))
        if missing:
            trim_cache(cache, _RECORDS_MAX)
            unread = [key for _, key, _, text in missing if text is None]
            read: dict[int, tuple[int, str]] = {}
            if unread:
                read = {
                    r[0]: (r[1], r[2])
                    for r in conn.execute(
                        "SELECT run_key, gen, record FROM runs WHERE run_key IN (SELECT value FROM json_each(?))",
                        (json.dumps(unread),),
                    )
                }
            decode = self._decode_record
            for i, key, gen, text in missing:
                if text is None:
                    got = read.get(key)
                    if got is None:
                        continue  # removed meanwhile
                    gen, text = got
                    hit = cache.get(key)
                    if hit is not None and hit[0] == gen:
                        out[i] = copy(hit[1])
                        continue
                record = decode(text)
                cache[key] = (gen, record)
                out[i] = copy(record)
        return [r for r in out if r is not None]

    # -- the run tree's shape ----------------------------------------------------------------

    def _copies(self, conn: sqlite3.Connection, entries: list) -> list:
        """Copies of the records of shape entries ((run_key, gen, ...)): kept ones copied, the
        others read and decoded."""
        cache = self._records
        copy = self._copy
        out = []
        for entry in entries:
            hit = cache.get(entry[0])
            if hit is None or hit[0] != entry[1]:
                return self._records_of(conn, [(e[0], e[1], None) for e in entries])
            out.append(copy(hit[1]))
        return out

    def run_record(self, run_id: str) -> list:
        """[a copy of the record of ``run_id``] or []."""
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        conn = self._conn()
        try:
            shape = self._shape
            with shape.lock:
                entry = shape.fresh(conn).entry(conn, run_id)
            return [] if entry is None else self._copies(conn, (entry,))
        except sqlite3.Error as exc:
            raise wrap_error(exc, self._path, "reading") from None

    def child_records(self, parent: str) -> list:
        """Copies of the records whose parent is ``parent``, newest update first."""
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        conn = self._conn()
        try:
            shape = self._shape
            with shape.lock:
                entries = shape.fresh(conn).kids.get(parent)
                if entries is None:
                    entries = shape.load_subtree(conn, parent)
            return self._copies(conn, entries) if entries else []
        except sqlite3.Error as exc:
            raise wrap_error(exc, self._path, "reading") from None

    def collect_descendant_run_ids(self, run_id: str) -> list[str]:
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        conn = self._conn()
        try:
            shape = self._shape
            with shape.lock:
                kids = shape.fresh(conn).kids
                collected: list[str] = []
                seen: set[str] = set()
                queue = [run_id]
                head = 0
                while head < len(queue):
                    node = queue[head]
                    head += 1
                    if node in seen:
                        continue
                    seen.add(node)
                    collected.append(node)
                    entries = kids.get(node)
                    if entries is None:
                        entries = shape.load_subtree(conn, node)
                    if entries:
                        queue.extend(sorted([rid for _, _, rid in entries]))
                return collected
        except sqlite3.Error as exc:
            raise wrap_error(exc, self._path, "reading") from None

    # -- runs --------------------------------------------------------------------------------

    def span_runs(self, keys: list[tuple[str, str]]) -> dict[tuple[str, str], tuple[str, str]]:
        """(trace id, span id) -> (run id, root run id) of the runs those spans are: the span
        run ``otel-{trace}-{span}`` when stored, else the run of ours whose alias the span id
        is; keys of neither are left out."""
        found: dict[tuple[str, str], tuple[str, str]] = {}
        if not keys:
            return found
        with self._read() as conn:
            by_id = {f"otel-{t}-{s}": (t, s) for t, s in keys}
            for run_id, root in conn.execute(
                "SELECT run_id, root_run_id FROM runs WHERE run_id IN (SELECT value FROM json_each(?))",
                (json.dumps(list(by_id)),),
            ):
                found[by_id[run_id]] = (run_id, root)
            rest = [k for k in keys if k not in found]
            if rest:
                by_span = {
                    span: (run_id, root)
                    for span, run_id, root in conn.execute(
                        "SELECT a.span_id, a.run_id, r.root_run_id FROM aliases a JOIN runs r ON r.run_id = a.run_id"
                        " WHERE a.span_id IN (SELECT value FROM json_each(?))",
                        (json.dumps(sorted({s for _, s in rest})),),
                    )
                }
                for key in rest:
                    hit = by_span.get(key[1])
                    if hit is not None:
                        found[key] = hit
        return found

    def query_runs(self, values: dict[str, Any]) -> list:
        limit = values["limit"]
        if limit == 0:
            return []
        with self._read() as conn:
            # Keys and generations only: the records kept decoded are copied, the others read
            # by key afterwards (in this transaction), so a repeated query reads no record text.
            sql = ["SELECT r.run_key, r.gen, NULL FROM runs r WHERE 1"]
            params: list[Any] = []
            for col in _RUN_COLUMNS:
                v = values[col]
                if v is not None:
                    sql.append(f" AND r.{col} = ?")
                    params.append(v)
            pattern = values["app_id_pattern"]
            if pattern:
                matching = [v for v in self._names(conn, NAME_RUN_APP_ID) if self._matches_regex(v, pattern)]
                if not matching:
                    return []
                sql.append(" AND r.app_id IN (SELECT value FROM json_each(?))")
                params.append(json.dumps(matching))
            search = values["search"]
            if search:
                needle = needle_of(search)
                if needle:
                    keys = self._search.run_keys(conn, needle)
                    if not keys:
                        return []
                    sql.append(" AND r.run_key IN (SELECT value FROM json_each(?))")
                    params.append(json.dumps(sorted(keys)))
            since, until = values["since"], values["until"]
            if since is not None or until is not None:
                inside = ["e.run_key = r.run_key"]
                fallback = ["r.window_ts IS NOT NULL"]
                if since is not None:
                    inside.append("e.ts >= ?")
                    fallback.append("r.window_ts >= ?")
                if until is not None:
                    inside.append("e.ts <= ?")
                    fallback.append("r.window_ts <= ?")
                sql.append(
                    " AND CASE WHEN EXISTS (SELECT 1 FROM events e WHERE e.run_key = r.run_key)"
                    f" THEN EXISTS (SELECT 1 FROM events e WHERE {' AND '.join(inside)})"
                    f" ELSE ({' AND '.join(fallback)}) END"
                )
                bounds = [b for b in (since, until) if b is not None]
                params.extend(bounds)
                params.extend(bounds)
            sql.append(" ORDER BY r.sort_ts DESC, r.run_key")
            if limit is not None and limit > 0:
                sql.append(" LIMIT ?")
                params.append(limit)
            rows = conn.execute("".join(sql), params).fetchall()
            records = self._records_of(conn, rows)
        if limit is not None and limit < 0:
            records = records[:limit]
        return records

    def root_run_rows(self, root_run_id: str) -> list[tuple]:
        """(run_id, parent_run_id, root_run_id, status, updated_at or 0, the record's stored JSON,
        whether that JSON is exactly what decoding it and writing it again gives) of the runs
        whose root is ``root_run_id``, in ``query_runs``' order (newest update first, then by
        key), in one read."""
        # Kept until the file changes (a tree is read again and again while nothing is written).
        return self.read_kept(("root_run_rows", root_run_id), list, self._root_run_rows, root_run_id)

    def _root_run_rows(self, conn: sqlite3.Connection, root_run_id: str) -> list[tuple]:
        rows = conn.execute(
            "SELECT run_id, parent_run_id, root_run_id, status, sort_ts, record, run_key, gen FROM runs"
            " WHERE root_run_id = ? ORDER BY sort_ts DESC, run_key", (root_run_id,)).fetchall()
        exact = self._exact_records
        out = []
        for row in rows:
            stamp = row[6:]
            fit = exact.get(stamp)
            if fit is None:
                fit = self._record_json_fits(row[5])
                if len(exact) >= _RECORDS_MAX:
                    exact.clear()
                exact[stamp] = fit
            out.append((*row[:6], fit))
        return out

    def _record_json_fits(self, text: str) -> bool:
        """Whether a record's stored JSON holds every field of the record class, in order (as
        this system writes records): then it is what decoding it and writing it again gives. Another
        text (one written before a field was added, say) is not."""
        keys = self._record_keys
        if not keys or not text.startswith('{"run_id":') or not text.endswith("}"):
            return False
        find = text.find
        at = 0
        for key in keys:
            at = find(key, at)
            if at < 0:
                return False
        return True

    # -- events ------------------------------------------------------------------------------

    def get_event(self, event_id: str) -> Any:
        with self._read() as conn:
            row = conn.execute(_GET_EVENT_SQL, (event_id,)).fetchone()
            return None if row is None else self._decode_events(conn, [row])[0]

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
        """The events that pass the filters (see ``RuntimeLogService.query_events``); with
        ``texts``, each event's JSON as ``model_dump_json`` writes it instead of the event."""
        post: list[tuple[str, Any]] = []  # (field, wanted) compared in Python
        with self._read() as conn:
            select = _EVENTS_SELECT
            frm = " FROM events e"
            where: list[str] = []
            params: list[Any] = []
            if run_ids is not None:
                keys = dict(
                    conn.execute(
                        "SELECT run_id, run_key FROM runs WHERE run_id IN (SELECT value FROM json_each(?))",
                        (json.dumps(run_ids),),
                    ).fetchall()
                )
                order_keys = [keys[r] for r in run_ids if r in keys]
                if not order_keys:
                    return []
                if len(order_keys) == 1:
                    # One run: its index gives the rows in order, so the newest page is read
                    # without sorting every event of the run.
                    where.append("e.run_key = ?")
                    params.append(order_keys[0])
                    order = " ORDER BY e.ts, e.seq"
                else:
                    frm += " JOIN json_each(?) j ON e.run_key = j.value"
                    params.append(json.dumps(order_keys))
                    order = " ORDER BY e.ts, j.key, e.seq"
                scoped = True
            elif run_id is not None:
                key = self._run_key(conn, run_id)
                if key is None:
                    return []
                where.append("e.run_key = ?")
                params.append(key)
                order = " ORDER BY e.ts, e.seq"
                scoped = True
            else:
                order = " ORDER BY e.seq"
                scoped = False
            if event_types is not None:
                from .._event_aliases import matches_wavelane_event_type

                wanted = [t for t in self._names(conn, NAME_EVENT_TYPE) if matches_wavelane_event_type(t, event_types)]
                if not wanted:
                    return []
                where.append("e.event_type IN (SELECT value FROM json_each(?))")
                params.append(json.dumps(wanted))
            for column, value in (("source", source), ("level", level), ("app_id", app_id), ("group_id", group_id)):
                if value is None:
                    continue
                if isinstance(value, str):
                    where.append(f"e.{column} = ?")
                    params.append(value)
                else:
                    post.append((column, value))
            if app_id_pattern is not None and app_id_pattern.strip():
                try:
                    compiled = re.compile(app_id_pattern)
                except re.error:
                    return []
                matching = [v for v in self._names(conn, NAME_EVENT_APP_ID) if compiled.search(v)]
                if not matching:
                    return []
                where.append("e.app_id IN (SELECT value FROM json_each(?))")
                params.append(json.dumps(matching))
            if since is not None:
                where.append("e.ts >= ?")
                params.append(since)
            if until is not None:
                where.append("e.ts <= ?")
                params.append(until)
            verify = None
            if search is not None and search.strip():
                needle = needle_of(search)
                found = self._search.event_condition(conn, needle, scoped)
                if found is None:
                    return []
                condition, args, ctx_ids, val_ids = found
                where.append(condition)
                params.extend(args)
                if " " in needle:
                    # A needle with a space may have matched across two values of the event
                    # text: such a row counts only through one whole value.
                    select += _TEXT_COLUMNS
                    verify = (needle, ctx_ids, val_ids)
            sql = select + frm + (" WHERE " + " AND ".join(where) if where else "") + order
            python_side = bool(post) or verify is not None
            if not python_side and limit is not None and limit > 0:
                # The newest `limit` rows, then back into order.
                rows = self._tail_rows(conn, sql, params, order, limit)
            else:
                rows = conn.execute(sql, params).fetchall()
                if limit is not None and limit < 0 and not python_side:
                    rows = rows[-limit:]
            if verify is not None:
                needle, ctx_ids, val_ids = verify
                rows = [
                    r for r in rows
                    if r[2] in ctx_ids or r[5] in val_ids or r[6] in val_ids
                    or any(needle in part for part in fields_of(r[3], r[4]))
                ]
                if not post and limit is not None:
                    rows = rows[-limit:]  # the limit, before decoding
            if texts and not post:
                return self._event_texts(conn, rows)
            events = self._decode_events(conn, rows)
        if post:
            for field, wanted in post:
                if field in ("app_id", "group_id"):
                    events = [ev for ev in events if field in ev.meta and ev.meta[field] == wanted]
                else:
                    events = [ev for ev in events if getattr(ev, field) == wanted]
            if limit is not None:
                events = events[-limit:]
        if texts:
            return [event.model_dump_json() for event in events]
        return events

    def _event_texts(self, conn: sqlite3.Connection, rows: list, body: int = 1, ctx: int = 2) -> list[str]:
        """The JSON of the events of rows as ``_decode_events`` gives them (``model_dump_json``
        of each), made from the stored texts without decoding them: a body is this system's own
        compact dump of the event (its run context cut off when kept apart), and decoding and
        dumping again gives the same text. Rows whose body holds a run context of its own (a
        context written otherwise inside the event) or that might (a nested value that looks
        like one), and every row when the event class is not one the stored JSON is built into
        directly, are decoded and dumped."""
        if self._event_members is None:
            return [event.model_dump_json() for event in self._decode_events(conn, rows, body, ctx)]
        texts = self._context_texts
        wanted = {r[ctx] for r in rows if r[ctx] is not None and r[ctx] not in texts}
        if wanted:
            trim_cache(texts, _CONTEXTS_MAX)
            for key, text in conn.execute(
                "SELECT ctx_id, body FROM contexts WHERE ctx_id IN (SELECT value FROM json_each(?))",
                (json.dumps(sorted(wanted)),),
            ):
                texts[key] = text
        out: list[str] = []
        append = out.append
        for r in rows:
            text = r[body]
            key = r[ctx]
            if key is None:
                append(text)
                continue
            context = texts.get(key)
            if context is None or _OWN_RUN in text:
                append(self._decode_events(conn, [r], body, ctx)[0].model_dump_json())
                continue
            append(f"{text[:-1]},\"run\":{context}}}")
        return out

    @staticmethod
    def _tail_rows(conn: sqlite3.Connection, sql: str, params: list, order: str, limit: int) -> list:
        desc = order.replace(", ", " DESC, ").rstrip() + " DESC"
        rows = conn.execute(sql[: -len(order)] + desc + " LIMIT ?", [*params, limit]).fetchall()
        rows.reverse()
        return rows
