"""Queries of the log database, each thread on its own connection.

The answers are those of the in-memory service fed the same events; how each filter maps onto
the file:

* Run and event filters on exact values are indexed columns; a value that is not a string (only
  possible when the service is called directly) is compared in Python after decoding.
* ``app_id_pattern`` and ``event_types`` are evaluated in Python over the distinct values kept in
  the ``names`` table, then applied as an ``IN`` list.
* Search. An event's own searched values are kept, normalised as the run store normalises them and
  joined by single spaces, in ``events.t``, indexed by the FTS5 table ``event_text`` (trigram
  tokenizer; the newest texts are indexed in bulk a little later and scanned meanwhile); a payload
  or meta text the run repeats in ``vals`` / ``val_text`` (one value each); its run context's text
  in ``context_text``. A run's accumulated search text is the sequence, over its events, of the
  run's record values after each event followed by that event's values; the distinct record
  values of a run live in ``heads`` / ``head_text``. The texts of new heads, contexts and vals
  wait in ``pending_text`` until the writer's next index step, and are scanned there meanwhile. A needle without a space cannot span two
  values, so the indexes answer it directly; a needle with spaces is also looked for across value
  boundaries, by rebuilding the text of the runs that hold its rarest word. Needles shorter than
  three characters (which the trigram index cannot serve) are found by scanning the texts.

What is decoded is kept for the next query, shared by the threads: run records by key and
generation (a changed run has a new generation), run contexts and record texts by key (never
reused), and the run tree's shape (children in order, by parent) until a run in it changes --
readers learn which runs changed from their generations when the file changed (``PRAGMA
data_version``), so a tree stays kept while other runs are written.
"""

from __future__ import annotations

import json
import re
import sqlite3
import threading
import time
from contextlib import contextmanager
from itertools import islice
from typing import Any, Iterator

from .Logbook import _model_from_json
from ._common import needle_of, normalize
from ._schema import (
    NAME_EVENT_APP_ID,
    NAME_EVENT_TYPE,
    NAME_RUN_APP_ID,
    PENDING_CONTEXT,
    PENDING_HEAD,
    PENDING_VAL,
    configure_reader,
    connect,
    wrap_error,
)

__all__ = ["Reader"]

# A needle whose best trigrams are estimated to occur in more than this share of the events is
# matched by scanning the texts (in order, stopping at the limit) rather than through the index.
_SCAN_SHARE = 0.15

_RUN_COLUMNS = (
    "run_id", "root_run_id", "parent_run_id", "run_kind", "status", "agent_id", "session_id",
    "app_id", "group_id", "flow_name",
)

# Decoded run records kept (by key and generation), run contexts and record texts kept (by key).
_RECORDS_MAX = 32_768
_CONTEXTS_MAX = 16_384
_HEADS_MAX = 16_384
# Runs whose children lists are kept at most; a subtree is loaded at once up to this many runs.
_SHAPE_MAX = 50_000
_SUBTREE_MAX = 20_000
# More changed runs than this since the shape was read: it is read again rather than mended.
_MEND_MAX = 4_096
# A thread asks the file whether it changed (PRAGMA data_version) before using the kept shape,
# unless it asked less than this many nanoseconds ago and this process has not written since:
# another process's commit shows at the latest that much later.
_RECHECK_NS = 1_000_000

_MISSING = object()


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


def _glob_escape(text: str) -> str:
    return "".join("[" + c + "]" if c in "*?[" else c for c in text)


def _fields_of(text: str, lens: str) -> Iterator[str]:
    """The separate values of an event text (its non-empty values joined by single spaces)."""
    pos = 0
    for part in lens.split(","):
        n = int(part)
        if n:
            yield text[pos:pos + n]
            pos += n + 1


def _values_of(text: str, lens: str) -> list[str]:
    """All eight values of an event text, empty ones (and those kept in ``vals``) as ""."""
    out = []
    pos = 0
    for part in lens.split(","):
        n = int(part)
        if n:
            out.append(text[pos:pos + n])
            pos += n + 1
        else:
            out.append("")
    return out


def _trim(cache: dict, limit: int) -> None:
    """Forget the oldest quarter of a cache that reached ``limit`` entries."""
    if len(cache) >= limit:
        for key in list(islice(cache, limit // 4)):
            cache.pop(key, None)


class _Shape:
    """The run tree's shape as read from the file: which runs each parent has, in order, and
    where each run is. Valid for the runs' generation ``gen``; mended when runs change."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.gen: int | None = None
        self.kids: dict[str, list[tuple[int, int, str]]] = {}  # parent id -> [(run_key, gen, run_id)] in order
        self.parent_of: dict[str, Any] = {}  # run id -> its parent id, for runs listed in `kids`
        self.runs: dict[str, tuple[int, int] | None] = {}  # run id -> (run_key, gen) or None

    def clear(self, gen: int | None) -> None:
        self.kids.clear()
        self.parent_of.clear()
        self.runs.clear()
        self.gen = gen


class _Local(threading.local):
    conn: sqlite3.Connection | None = None
    version: int | None = None  # the data_version the shape was last checked against
    checked = 0  # when (monotonic ns)
    commits = -1  # this process's commit count then


class Reader:
    def __init__(self, path: str, commits: list[int]) -> None:
        self._path = path
        self._commits = commits
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
        self._decode_context = RuntimeRunContext.__pydantic_validator__.validate_json
        self._matches_regex = RuntimeTallybook._matches_regex
        self._records: dict[int, tuple[int, Any]] = {}
        self._contexts: dict[int, Any] = {}
        self._heads: dict[int, list[str]] = {}
        self._shape = _Shape()

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

    @staticmethod
    def _counter(conn: sqlite3.Connection, key: str) -> int:
        row = conn.execute("SELECT value FROM meta WHERE key = ?", (key,)).fetchone()
        return int(row[0] or 0) if row else 0

    def _run_key(self, conn: sqlite3.Connection, run_id: str) -> int | None:
        row = conn.execute("SELECT run_key FROM runs WHERE run_id = ?", (run_id,)).fetchone()
        return None if row is None else row[0]

    def _decode_events(self, conn: sqlite3.Connection, rows: list, body: int = 1, ctx: int = 2) -> list:
        """Events from rows holding the stored JSON at ``body`` and the context key at ``ctx``
        (in the read transaction that read them: the contexts are read in it too)."""
        contexts = self._contexts
        wanted = {r[ctx] for r in rows if r[ctx] is not None and r[ctx] not in contexts}
        if wanted:
            _trim(contexts, _CONTEXTS_MAX)
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
            _trim(cache, _RECORDS_MAX)
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

    def _fresh_shape(self, conn: sqlite3.Connection) -> _Shape:
        """The kept shape, mended first when the file may have changed since this thread last
        looked (called with the shape's lock held)."""
        local = self._local
        commits = self._commits[0]
        now = time.monotonic_ns()
        if commits != local.commits or now - local.checked >= _RECHECK_NS:
            local.commits = commits
            local.checked = now
            version = conn.execute("PRAGMA data_version").fetchone()[0]
            if version != local.version:
                local.version = version
                self._mend(conn)
        return self._shape

    def _mend(self, conn: sqlite3.Connection) -> None:
        """Forget what changed in the file since the shape was read: the runs written since
        (by their generation), or all of it when runs were removed."""
        shape = self._shape
        row = conn.execute(
            "SELECT (SELECT value FROM meta WHERE key = 'run_gen'), (SELECT value FROM meta WHERE key = 'drop_gen')"
        ).fetchone()
        run_gen, drop_gen = int(row[0] or 0), int(row[1] or 0)
        if shape.gen is None or drop_gen > shape.gen or run_gen < shape.gen:
            shape.clear(run_gen)
            return
        if run_gen == shape.gen:
            return
        changed = conn.execute(
            "SELECT run_id, parent_run_id FROM runs WHERE gen > ? LIMIT ?", (shape.gen, _MEND_MAX + 1)
        ).fetchall()
        if len(changed) > _MEND_MAX:
            shape.clear(run_gen)
            return
        kids, parent_of, runs = shape.kids, shape.parent_of, shape.runs
        for run_id, parent in changed:
            runs.pop(run_id, None)
            old = parent_of.pop(run_id, _MISSING)
            if old is not _MISSING and old is not None:
                kids.pop(old, None)
            if parent is not None:
                kids.pop(parent, None)
        shape.gen = run_gen

    def _load_subtree(self, conn: sqlite3.Connection, parent: str) -> list[tuple[int, int, str]]:
        """Read the shape under ``parent``: the children of every run of its subtree (up to
        ``_SUBTREE_MAX`` runs, breadth first), so that a tree walk asks the file once. Returns the
        children of ``parent`` (called with the shape's lock held)."""
        shape = self._shape
        if len(shape.parent_of) + len(shape.kids) + len(shape.runs) > _SHAPE_MAX:
            shape.clear(shape.gen)
        rows = conn.execute(
            "WITH RECURSIVE sub(id) AS (SELECT ? UNION SELECT r.run_id FROM runs r JOIN sub"
            " ON r.parent_run_id = sub.id LIMIT ?)"
            " SELECT sub.id, r.run_id, r.sort_ts, r.run_key, r.gen FROM sub"
            " LEFT JOIN runs r ON r.parent_run_id = sub.id",
            (parent, _SUBTREE_MAX),
        ).fetchall()
        groups: dict[str, list[tuple]] = {}
        for pid, rid, sort_ts, key, gen in rows:
            group = groups.get(pid)
            if group is None:
                group = groups[pid] = []
            if rid is not None:
                group.append((-sort_ts, key, gen, rid))
        kids, parent_of, runs = shape.kids, shape.parent_of, shape.runs
        for pid, group in groups.items():
            group.sort()
            kids[pid] = [(key, gen, rid) for _, key, gen, rid in group]
            for _, key, gen, rid in group:
                parent_of[rid] = pid
                runs[rid] = (key, gen)
        return kids.get(parent, [])

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
            with self._shape.lock:
                runs = self._fresh_shape(conn).runs
                entry = runs.get(run_id, _MISSING)
                if entry is _MISSING:
                    row = conn.execute("SELECT run_key, gen FROM runs WHERE run_id = ?", (run_id,)).fetchone()
                    entry = None if row is None else (row[0], row[1])
                    if len(runs) < _SHAPE_MAX:
                        runs[run_id] = entry
            return [] if entry is None else self._copies(conn, (entry,))
        except sqlite3.Error as exc:
            raise wrap_error(exc, self._path, "reading") from None

    def child_records(self, parent: str) -> list:
        """Copies of the records whose parent is ``parent``, newest update first."""
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        conn = self._conn()
        try:
            with self._shape.lock:
                entries = self._fresh_shape(conn).kids.get(parent)
                if entries is None:
                    entries = self._load_subtree(conn, parent)
            return self._copies(conn, entries) if entries else []
        except sqlite3.Error as exc:
            raise wrap_error(exc, self._path, "reading") from None

    def collect_descendant_run_ids(self, run_id: str) -> list[str]:
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        conn = self._conn()
        try:
            with self._shape.lock:
                kids = self._fresh_shape(conn).kids
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
                        entries = self._load_subtree(conn, node)
                    if entries:
                        queue.extend(sorted([rid for _, _, rid in entries]))
                return collected
        except sqlite3.Error as exc:
            raise wrap_error(exc, self._path, "reading") from None

    # -- runs --------------------------------------------------------------------------------

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
                    keys = self._run_search(conn, needle)
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

    # -- events ------------------------------------------------------------------------------

    def get_event(self, event_id: str) -> Any:
        with self._read() as conn:
            row = conn.execute("SELECT seq, body, ctx_id FROM events WHERE event_id = ?", (event_id,)).fetchone()
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
    ) -> list:
        post: list[tuple[str, Any]] = []  # (field, wanted) compared in Python
        with self._read() as conn:
            select = "SELECT e.seq, e.body, e.ctx_id"
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
                ctx_ids = self._context_hits(conn, needle)
                val_ids = self._val_hits(conn, needle)
                if scoped or len(needle) < 3 or self._plan(conn, needle)[1] > _SCAN_SHARE:
                    # Scan the texts of the rows the other filters leave.
                    where.append(
                        "(instr(e.t, ?) > 0 OR e.ctx_id IN (SELECT value FROM json_each(?))"
                        " OR e.pay_val IN (SELECT value FROM json_each(?))"
                        " OR e.meta_val IN (SELECT value FROM json_each(?)))"
                    )
                    vals = json.dumps(sorted(val_ids))
                    params.extend([needle, json.dumps(sorted(ctx_ids)), vals, vals])
                else:
                    seqs = self._text_hits(conn, needle)
                    if ctx_ids:
                        seqs.update(self._context_events(conn, ctx_ids))
                    if val_ids:
                        seqs.update(self._val_events(conn, val_ids))
                    if not seqs:
                        return []
                    where.append("e.seq IN (SELECT value FROM json_each(?))")
                    params.append(json.dumps(sorted(seqs)))
                if " " in needle:
                    # A needle with a space may have matched across two values of the event
                    # text: such a row counts only through one whole value.
                    select += ", e.t, e.lens, e.pay_val, e.meta_val"
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
                    or any(needle in part for part in _fields_of(r[3], r[4]))
                ]
                if not post and limit is not None:
                    rows = rows[-limit:]  # the limit, before decoding
            events = self._decode_events(conn, rows)
        if post:
            for field, wanted in post:
                if field in ("app_id", "group_id"):
                    events = [ev for ev in events if field in ev.meta and ev.meta[field] == wanted]
                else:
                    events = [ev for ev in events if getattr(ev, field) == wanted]
            if limit is not None:
                events = events[-limit:]
        return events

    @staticmethod
    def _tail_rows(conn: sqlite3.Connection, sql: str, params: list, order: str, limit: int) -> list:
        desc = order.replace(", ", " DESC, ").rstrip() + " DESC"
        rows = conn.execute(sql[: -len(order)] + desc + " LIMIT ?", [*params, limit]).fetchall()
        rows.reverse()
        return rows

    # -- search ------------------------------------------------------------------------------

    def _plan(self, conn: sqlite3.Connection, needle: str) -> tuple[str, float]:
        """The GLOB pattern to ask the trigram index for (the needle's two rarest trigrams, by
        the sampled frequencies) and the estimated share of event texts it lets through (above
        ``_SCAN_SHARE`` a scan is cheaper)."""
        grams: list[tuple[int, str]] = []
        seen: set[str] = set()
        for i in range(len(needle) - 2):
            g = needle[i:i + 3]
            if g not in seen and not any(c in "*?[" for c in g):
                seen.add(g)
                grams.append((i, g))
        if not grams:
            return "*" + _glob_escape(needle) + "*", 1.0
        sampled = self._counter(conn, "sampled_texts")
        if sampled < 32:
            return "*" + _glob_escape(needle) + "*", 0.0
        counts = dict(
            conn.execute(
                "SELECT tri, n FROM trigrams WHERE tri IN (SELECT value FROM json_each(?))",
                (json.dumps([g for _, g in grams]),),
            ).fetchall()
        )
        ranked = sorted(grams, key=lambda ig: (counts.get(ig[1], 0), ig[0]))
        first = ranked[0]
        second = next((ig for ig in ranked[1:] if abs(ig[0] - first[0]) >= 3), None)
        share = counts.get(first[1], 0) / sampled
        if second is None:
            return "*" + first[1] + "*", share
        a, b = sorted((first, second))
        return "*" + a[1] + "*" + b[1] + "*", share

    def _text_hits(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        """Seqs of the events whose own text contains the needle: through the trigram index, and
        by scanning the texts that are not indexed yet."""
        pattern, _ = self._plan(conn, needle)
        upto = self._counter(conn, "indexed_upto")
        hits = {
            r[0]
            for r in conn.execute(
                "SELECT rowid FROM event_text WHERE t GLOB ? AND instr(t, ?) > 0", (pattern, needle)
            )
        }
        hits.update(
            r[0]
            for r in conn.execute("SELECT seq FROM events WHERE seq > ? AND instr(t, ?) > 0", (upto, needle))
        )
        return hits

    @staticmethod
    def _text_table_hits(conn: sqlite3.Connection, table: str, kind: int, needle: str) -> set[int]:
        """Keys of the rows of the text table whose text holds the needle: through its trigram
        index, and among the texts still waiting for it."""
        if len(needle) < 3:
            sql, args = f"SELECT rowid FROM {table} WHERE instr(t, ?) > 0", (needle,)
        else:
            sql = f"SELECT rowid FROM {table} WHERE t GLOB ? AND instr(t, ?) > 0"
            args = ("*" + _glob_escape(needle) + "*", needle)
        hits = {r[0] for r in conn.execute(sql, args)}
        hits.update(r[0] for r in conn.execute(
            "SELECT id FROM pending_text WHERE kind = ? AND instr(a, ?) > 0", (kind, needle)))
        return hits

    def _context_hits(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        return self._text_table_hits(conn, "context_text", PENDING_CONTEXT, needle)

    def _val_hits(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        return self._text_table_hits(conn, "val_text", PENDING_VAL, needle)

    @staticmethod
    def _context_events(conn: sqlite3.Connection, ctx_ids: set[int]) -> set[int]:
        ids = json.dumps(sorted(ctx_ids))
        return {
            r[0]
            for r in conn.execute(
                "SELECT e.seq FROM events e WHERE e.run_key IN"
                " (SELECT run_key FROM contexts WHERE ctx_id IN (SELECT value FROM json_each(?)))"
                " AND e.ctx_id IN (SELECT value FROM json_each(?))",
                (ids, ids),
            )
        }

    @staticmethod
    def _val_events(conn: sqlite3.Connection, val_ids: set[int]) -> set[int]:
        ids = json.dumps(sorted(val_ids))
        out = {r[0] for r in conn.execute(
            "SELECT seq FROM events WHERE pay_val IN (SELECT value FROM json_each(?))", (ids,))}
        out.update(r[0] for r in conn.execute(
            "SELECT seq FROM events WHERE meta_val IN (SELECT value FROM json_each(?))", (ids,)))
        return out

    def _runs_with_text(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        """Runs with an event whose text holds the needle, or a record text (``heads``) or a kept
        payload/meta text (``vals``) that does."""
        keys = {
            r[0]
            for r in conn.execute(
                "SELECT run_key FROM vals WHERE val_id IN (SELECT value FROM json_each(?))",
                (json.dumps(sorted(self._val_hits(conn, needle))),),
            )
        }
        # Record texts still waiting for their index.
        keys.update(
            r[0]
            for r in conn.execute(
                "SELECT h.run_key FROM pending_text x JOIN heads h ON h.head_id = x.id"
                f" WHERE x.kind = {PENDING_HEAD} AND (instr(x.a, ?) > 0 OR instr(x.b, ?) > 0)",
                (needle, needle),
            )
        )
        if len(needle) < 3:
            keys.update(
                r[0]
                for r in conn.execute(
                    "SELECT DISTINCT h.run_key FROM heads h JOIN head_text x ON x.rowid = h.head_id"
                    " WHERE instr(x.a, ?) > 0 OR instr(x.b, ?) > 0",
                    (needle, needle),
                )
            )
            keys.update(
                r[0]
                for r in conn.execute(
                    "SELECT DISTINCT run_key FROM events WHERE run_key IS NOT NULL AND instr(t, ?) > 0",
                    (needle,),
                )
            )
            return keys
        pattern = "*" + _glob_escape(needle) + "*"
        for column in ("a", "b"):
            keys.update(
                r[0]
                for r in conn.execute(
                    f"SELECT h.run_key FROM head_text x JOIN heads h ON h.head_id = x.rowid"
                    f" WHERE x.{column} GLOB ? AND instr(x.{column}, ?) > 0",
                    (pattern, needle),
                )
            )
        if self._plan(conn, needle)[1] > _SCAN_SHARE:
            keys.update(
                r[0]
                for r in conn.execute(
                    "SELECT DISTINCT run_key FROM events WHERE run_key IS NOT NULL AND instr(t, ?) > 0",
                    (needle,),
                )
            )
        else:
            seqs = self._text_hits(conn, needle)
            if seqs:
                keys.update(
                    r[0]
                    for r in conn.execute(
                        "SELECT DISTINCT run_key FROM events WHERE run_key IS NOT NULL AND seq IN"
                        " (SELECT value FROM json_each(?))",
                        (json.dumps(sorted(seqs)),),
                    )
                )
        return keys

    def _run_search(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        """Keys of the runs whose accumulated search text contains the needle."""
        keys = self._runs_with_text(conn, needle)
        if " " not in needle:
            return keys
        words = [w for w in needle.split(" ") if len(w) >= 3]
        if words:
            word = min(words, key=lambda w: (self._plan(conn, w)[1], -len(w)))
            candidates = self._runs_with_text(conn, word)
        else:
            candidates = {r[0] for r in conn.execute("SELECT run_key FROM runs")}
        for key in sorted(candidates - keys):
            if self._run_text_contains(conn, key, needle):
                keys.add(key)
        return keys

    def _head_values(self, conn: sqlite3.Connection, head_id: int) -> list[str]:
        heads = self._heads
        vals = heads.get(head_id)
        if vals is None:
            row = conn.execute("SELECT vals FROM heads WHERE head_id = ?", (head_id,)).fetchone()
            vals = json.loads(row[0]) if row else [""] * 11
            if row:
                _trim(heads, _HEADS_MAX)
                heads[head_id] = vals
        return vals

    def _run_text_contains(self, conn: sqlite3.Connection, run_key: int, needle: str) -> bool:
        """Whether the needle occurs in the run's accumulated search text, rebuilt event by event."""
        kept = dict(
            conn.execute(
                "SELECT x.rowid, x.t FROM val_text x WHERE x.rowid IN (SELECT val_id FROM vals WHERE run_key = ?)"
                f" UNION ALL SELECT x.id, x.a FROM pending_text x WHERE x.kind = {PENDING_VAL}"
                " AND x.id IN (SELECT val_id FROM vals WHERE run_key = ?)",
                (run_key, run_key),
            ).fetchall()
        )
        keep = len(needle) - 1
        tail = ""
        first = True
        for head_id, text, lens, pay_val, meta_val in conn.execute(
            "SELECT head_id, t, lens, pay_val, meta_val FROM events WHERE run_key = ? ORDER BY seq", (run_key,)
        ):
            vals = self._head_values(conn, head_id)
            values = _values_of(text, lens)
            if pay_val is not None:
                values[5] = kept.get(pay_val, "")
            if meta_val is not None:
                values[7] = kept.get(meta_val, "")
            # The record's values after the event: its identity, then latest_event_type,
            # latest_source and latest_message (the event's own), then its meta.
            record_part = " ".join(v for v in (*vals[:10], values[1], values[2], values[4], vals[10]) if v)
            segment = record_part + " " + " ".join(v for v in values if v)
            piece = segment.strip() if first else " " + segment.rstrip()
            first = False
            chunk = tail + piece
            if needle in chunk:
                return True
            tail = chunk[-keep:] if keep else ""
        return False
