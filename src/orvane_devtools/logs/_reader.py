"""Queries of the log database, each thread on its own connection in a short read transaction.

The answers are those of the in-memory service fed the same events; how each filter maps onto
the file:

* Run and event filters on exact values are indexed columns; a value that is not a string (only
  possible when the service is called directly) is compared in Python after decoding.
* ``app_id_pattern`` and ``event_types`` are evaluated in Python over the distinct values kept in
  the ``names`` table, then applied as an ``IN`` list.
* Search. An event's own searched values are kept, normalised as the run store normalises them and
  joined by single spaces, in ``event_texts``, indexed by the FTS5 table ``event_text`` (trigram
  tokenizer; the newest texts are indexed in bulk a little later and scanned meanwhile); its run context's
  text in ``context_text``. A run's accumulated search text is the sequence, over its events, of
  the run's record values after each event followed by that event's values; the distinct record
  values of a run live in ``heads`` / ``head_text``. A needle without a space cannot span two
  values, so the index answers it directly; a needle with spaces is also looked for across value
  boundaries, by rebuilding the text of the runs that hold its rarest word. Needles shorter than
  three characters (which the trigram index cannot serve) are found by scanning the texts.
"""

from __future__ import annotations

import json
import re
import sqlite3
import threading
from contextlib import contextmanager
from typing import Any, Iterator

from ._common import needle_of, normalize
from ._schema import (
    NAME_EVENT_APP_ID,
    NAME_EVENT_TYPE,
    NAME_RUN_APP_ID,
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


# Run records a thread keeps decoded (for trees and ancestor walks) until the file changes.
_RECORD_CACHE_MAX = 20_000
# A subtree up to this many runs is loaded at once when a run's children are first asked for.
_SUBTREE_MAX = 4096


class _ThreadState:
    __slots__ = ("conn", "version", "heads", "records", "cached", "children", "cache_version")

    def __init__(self, conn: sqlite3.Connection) -> None:
        from ..observation.Tallybook import RuntimeTallybook

        self.conn = conn
        self.version = None
        self.heads: dict[int, list[str]] = {}
        # Decoded records, held by a run store of their own: its get_run hands out fast copies.
        self.records = RuntimeTallybook(1)
        self.cached: dict[str, bool] = {}  # run id -> whether it has a record (False: none)
        self.children: dict[str, list[str]] = {}  # parent run id -> child ids, newest update first
        self.cache_version = None

    def check_cache(self) -> None:
        """Forget the cached records when the file changed since they were read (any writer,
        this process or another: PRAGMA data_version)."""
        version = self.conn.execute("PRAGMA data_version").fetchone()[0]
        if version != self.cache_version or len(self.cached) > _RECORD_CACHE_MAX:
            self.records.reset()
            self.cached.clear()
            self.children.clear()
            self.cache_version = version


class Reader:
    def __init__(self, path: str) -> None:
        self._path = path
        self._local = threading.local()
        self._lock = threading.Lock()
        self._conns: list[sqlite3.Connection] = []
        self._closed = False
        from .._orvane_compat import RuntimeEvent
        from ..observation.Tallybook import RunRecord, RuntimeTallybook

        self._event_cls = RuntimeEvent
        self._record_cls = RunRecord
        self._matches_regex = RuntimeTallybook._matches_regex

    # -- connections -------------------------------------------------------------------------

    def _state(self) -> _ThreadState:
        state = getattr(self._local, "state", None)
        if state is None:
            with self._lock:
                if self._closed:
                    raise RuntimeError(f"the log service of {self._path} is closed")
                try:
                    conn = connect(self._path, query_only=True)
                    configure_reader(conn)
                except sqlite3.Error as exc:
                    raise wrap_error(exc, self._path, "opening a reader") from None
                self._conns.append(conn)
            state = _ThreadState(conn)
            self._local.state = state
        return state

    @contextmanager
    def _read(self) -> Iterator[tuple[sqlite3.Connection, _ThreadState]]:
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        state = self._state()
        conn = state.conn
        try:
            conn.execute("BEGIN")
            version = conn.execute("PRAGMA data_version").fetchone()[0]
            if version != state.version:
                state.heads.clear()
                state.version = version
            try:
                yield conn, state
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

    def _decode_events(self, bodies: list[str]) -> list:
        validate = self._event_cls.__pydantic_validator__.validate_json
        return [validate(b) for b in bodies]

    # -- runs --------------------------------------------------------------------------------

    def _cached_runs(self, values: dict[str, Any]) -> list | None:
        """``query_runs`` by run id alone or parent run id alone (the facade's look-ups for trees
        and ancestors), from the thread's record cache; None for other queries."""
        run_id, parent = values["run_id"], values["parent_run_id"]
        if (run_id is None) == (parent is None):
            return None
        for name, v in values.items():
            if v is not None and name not in ("run_id", "parent_run_id", "limit"):
                return None
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        state = self._state()
        try:
            state.check_cache()
            if run_id is not None:
                ids = [run_id]
                if run_id not in state.cached:
                    self._load_records(state, "r.run_id = ?", run_id, None)
            else:
                ids = state.children.get(parent)
                if ids is None:
                    ids = self._load_subtree(state, parent)
        except sqlite3.Error as exc:
            raise wrap_error(exc, self._path, "reading") from None
        get = state.records.get_run
        rows = [r for r in map(get, ids) if r is not None]
        limit = values["limit"]
        return rows if limit is None else rows[:limit]

    def _load_records(self, state: _ThreadState, where: str, arg: str, parent: str | None) -> list[str]:
        rows = state.conn.execute(
            f"SELECT r.run_id, r.record FROM runs r WHERE {where} ORDER BY r.sort_ts DESC, r.run_key", (arg,)
        ).fetchall()
        validate = self._record_cls.__pydantic_validator__.validate_json
        adopt = state.records._adopt_run
        ids = []
        for rid, text in rows:
            if rid not in state.cached:
                adopt(validate(text))
                state.cached[rid] = True
            ids.append(rid)
        if parent is None:
            if not rows:
                state.cached[arg] = False
        else:
            state.children[parent] = ids
        return ids

    def _load_subtree(self, state: _ThreadState, parent: str) -> list[str]:
        """Load the records under ``parent`` -- its whole subtree when it is not too large, so that
        a tree walk asks the file once -- and return the ids of its children."""
        rows = state.conn.execute(
            "WITH RECURSIVE sub(run_id) AS (SELECT ? UNION SELECT r.run_id FROM runs r JOIN sub"
            " ON r.parent_run_id = sub.run_id LIMIT ?)"
            " SELECT r.run_id, r.parent_run_id, r.sort_ts, r.run_key, r.record FROM runs r"
            " WHERE r.run_id IN sub AND r.parent_run_id IS NOT NULL",
            (parent, _SUBTREE_MAX),
        ).fetchall()
        complete = len(rows) < _SUBTREE_MAX - 1
        if not complete:
            return self._load_records(state, "r.parent_run_id = ?", parent, parent)
        rows.sort(key=lambda r: (-r[2], r[3]))
        validate = self._record_cls.__pydantic_validator__.validate_json
        adopt = state.records._adopt_run
        kids: dict[str, list[str]] = {}
        for rid, par, _, _, text in rows:
            if rid not in state.cached:
                adopt(validate(text))
                state.cached[rid] = True
            kids.setdefault(par, []).append(rid)
        # Every run of the subtree now has its children listed (none for the leaves).
        for rid in {parent, *(r[0] for r in rows)}:
            state.children[rid] = kids.get(rid, [])
        return state.children[parent]

    def query_runs(self, values: dict[str, Any]) -> list:
        limit = values["limit"]
        if limit == 0:
            return []
        cached = self._cached_runs(values)
        if cached is not None:
            return cached
        with self._read() as (conn, state):
            sql = ["SELECT r.record FROM runs r WHERE 1"]
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
                    keys = self._run_search(conn, state, needle)
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
        validate = self._record_cls.__pydantic_validator__.validate_json
        records = [validate(r[0]) for r in rows]
        if limit is not None and limit < 0:
            records = records[:limit]
        return records

    def collect_descendant_run_ids(self, run_id: str) -> list[str]:
        collected: list[str] = []
        seen: set[str] = set()
        queue = [run_id]
        head = 0
        with self._read() as (conn, _):
            while head < len(queue):
                frontier = queue[head:]
                head = len(queue)
                wanted = sorted({n for n in frontier if n not in seen})
                kids: dict[str, list[str]] = {}
                if wanted:
                    for child, parent in conn.execute(
                        "SELECT run_id, parent_run_id FROM runs WHERE parent_run_id IN"
                        " (SELECT value FROM json_each(?))",
                        (json.dumps(wanted),),
                    ):
                        kids.setdefault(parent, []).append(child)
                for node in frontier:
                    if node in seen:
                        continue
                    seen.add(node)
                    collected.append(node)
                    queue.extend(sorted(kids.get(node, ())))
        return collected

    # -- events ------------------------------------------------------------------------------

    def get_event(self, event_id: str) -> Any:
        with self._read() as (conn, _):
            row = conn.execute("SELECT body FROM events WHERE event_id = ?", (event_id,)).fetchone()
        return None if row is None else self._event_cls.__pydantic_validator__.validate_json(row[0])

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
        with self._read() as (conn, state):
            select = "SELECT e.seq, e.body"
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
                ctx_sql = "e.ctx_id IN (SELECT value FROM json_each(?))"
                if scoped or len(needle) < 3 or self._plan(conn, needle)[1] > _SCAN_SHARE:
                    # Scan the texts of the rows the other filters leave.
                    frm += " JOIN event_texts x ON x.seq = e.seq"
                    where.append(f"(instr(x.t, ?) > 0 OR {ctx_sql})")
                    params.extend([needle, json.dumps(sorted(ctx_ids))])
                else:
                    seqs = self._text_hits(conn, needle)
                    if ctx_ids:
                        seqs.update(self._context_events(conn, ctx_ids))
                    if not seqs:
                        return []
                    frm += " JOIN event_texts x ON x.seq = e.seq"
                    where.append("e.seq IN (SELECT value FROM json_each(?))")
                    params.append(json.dumps(sorted(seqs)))
                if " " in needle:
                    # A needle with a space may have matched across two values of the event
                    # text: such a row counts only through one whole value.
                    select += ", x.t, x.lens, e.ctx_id"
                    verify = (needle, ctx_ids)
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
            needle, ctx_ids = verify
            rows = [
                r for r in rows
                if r[4] in ctx_ids or any(needle in part for part in _fields_of(r[2], r[3]))
            ]
        events = self._decode_events([r[1] for r in rows])
        if post:
            for field, wanted in post:
                if field in ("app_id", "group_id"):
                    events = [ev for ev in events if field in ev.meta and ev.meta[field] == wanted]
                else:
                    events = [ev for ev in events if getattr(ev, field) == wanted]
        if python_side and limit is not None:
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
        """Seqs of the event texts that contain the needle: through the trigram index, and by
        scanning the texts that are not indexed yet."""
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
            for r in conn.execute(
                "SELECT seq FROM event_texts WHERE seq > ? AND instr(t, ?) > 0", (upto, needle)
            )
        )
        return hits

    def _context_hits(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        if len(needle) < 3:
            sql, args = "SELECT rowid FROM context_text WHERE instr(t, ?) > 0", (needle,)
        else:
            sql = "SELECT rowid FROM context_text WHERE t GLOB ? AND instr(t, ?) > 0"
            args = ("*" + _glob_escape(needle) + "*", needle)
        return {r[0] for r in conn.execute(sql, args)}

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

    def _runs_with_text(self, conn: sqlite3.Connection, needle: str) -> set[int]:
        """Runs with an event whose text holds the needle, or a record text (``heads``) that does."""
        if len(needle) < 3:
            keys = {
                r[0]
                for r in conn.execute(
                    "SELECT DISTINCT h.run_key FROM heads h JOIN head_text x ON x.rowid = h.head_id"
                    " WHERE instr(x.a, ?) > 0 OR instr(x.b, ?) > 0",
                    (needle, needle),
                )
            }
            keys.update(
                r[0]
                for r in conn.execute(
                    "SELECT DISTINCT e.run_key FROM events e JOIN event_texts x ON x.seq = e.seq"
                    " WHERE e.run_key IS NOT NULL AND instr(x.t, ?) > 0",
                    (needle,),
                )
            )
            return keys
        pattern = "*" + _glob_escape(needle) + "*"
        keys = set()
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
                    "SELECT DISTINCT e.run_key FROM events e JOIN event_texts x ON x.seq = e.seq"
                    " WHERE e.run_key IS NOT NULL AND instr(x.t, ?) > 0",
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

    def _run_search(self, conn: sqlite3.Connection, state: _ThreadState, needle: str) -> set[int]:
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
            if self._run_text_contains(conn, state, key, needle):
                keys.add(key)
        return keys

    def _run_text_contains(self, conn: sqlite3.Connection, state: _ThreadState, run_key: int, needle: str) -> bool:
        """Whether the needle occurs in the run's accumulated search text, rebuilt event by event."""
        heads = state.heads
        keep = len(needle) - 1
        tail = ""
        first = True
        for head_id, event_type, source, message, text in conn.execute(
            "SELECT e.head_id, e.event_type, e.source, json_extract(e.body, '$.message'), x.t"
            " FROM events e JOIN event_texts x ON x.seq = e.seq WHERE e.run_key = ? ORDER BY e.seq",
            (run_key,),
        ):
            vals = heads.get(head_id)
            if vals is None:
                row = conn.execute("SELECT vals FROM heads WHERE head_id = ?", (head_id,)).fetchone()
                vals = json.loads(row[0]) if row else [""] * 11
                heads[head_id] = vals
            record_part = " ".join(
                v for v in (*vals[:10], normalize(event_type), normalize(source), normalize(message), vals[10]) if v
            )
            segment = record_part + " " + text
            piece = segment.strip() if first else " " + segment.rstrip()
            first = False
            chunk = tail + piece
            if needle in chunk:
                return True
            tail = chunk[-keep:] if keep else ""
        return False
