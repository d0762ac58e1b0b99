"""The body of one write transaction of the log database: ``BEGIN IMMEDIATE``, the rows of a
batch of events, the derivation of their run records, the rows of run texts, ``COMMIT``.

Run records are derived by a native run store (``RuntimeTallybook``) that holds the runs of recent
batches: a run it does not hold is loaded from the file and adopted, so a record continues exactly
where the stored one left off. A run's record texts (heads), run contexts and repeated payload or
meta texts (vals) are kept once per run in rows of their own, which the events name by key.

Thread and state: runs on the writer thread only (called by ``Writer`` and ``Maintenance``). It
owns the writer's connection (``conn``) and what the writer remembers of the file: its counter
row (``counters``; other threads read only copies, ``Writer.counters``), the derivation store and
the ``_RunState`` of each run it holds, the values known to be in ``names``, the rows of run texts
the open transaction made, and how many texts wait for the index step (``pending_texts``). It
counts sampled event texts into the maintenance's ``Samples``.
"""

from __future__ import annotations

import functools
import json
import sqlite3
import zlib
from json.encoder import encode_basestring
from typing import TYPE_CHECKING, Any

from .Logbook import _log_rows
from ._links import Linker
from ._llm import UPDATE_FACTS_SQL, new_pieces, run_facts, store_calls
from ._schema import (
    NAME_EVENT_APP_ID,
    NAME_EVENT_TYPE,
    NAME_RUN_APP_ID,
    PENDING_CONTEXT,
    PENDING_HEAD,
    PENDING_VAL,
    ROW_PARAMS,
    commit_counter,
    cut_texts,
    insert_events,
    read_counters,
    write_counters,
)

if TYPE_CHECKING:
    from ._maintenance import Samples

__all__ = ["TicketFailed", "Transaction"]

# The derivation store is emptied when it has seen this many events or holds this many runs.
DERIVER_MAX_EVENTS = 20_000
DERIVER_MAX_RUNS = 4096
# One event text in SAMPLE_EVERY is counted into the trigram frequencies the search planner uses.
SAMPLE_EVERY = 64
# A payload or meta text at least this long that a run's events repeat is kept once per run (in
# `vals`, indexed once) instead of in each event's text; a run remembers this many such texts.
VAL_MIN_CHARS = 24
VAL_MEMORY = 32

# Event rows per insert statement at most (see _schema.insert_events).
INSERT_ROWS = 64

# Whether the rows of the events that need nothing but what the writer remembers are built in
# one native call per ticket (Logbook._log_rows); the loop in Transaction.write does so too.
NATIVE_ROWS = True

# A prepared event (see SQLiteLogStore.prepare): a tuple, in this order.
(P_ID, P_TS, P_TYPE, P_SOURCE, P_LEVEL, P_APP, P_GROUP, P_RUN, P_BODY, P_PARTS, P_RUN_JSON, P_CTX_TEXT, P_MESSAGE,
 P_META, P_CONTEXT) = range(15)


class TicketFailed(Exception):
    """One ticket's events were refused (the others of its batch are written again without it)."""

    def __init__(self, ticket: Any, exc: BaseException) -> None:
        super().__init__(str(exc))
        self.ticket = ticket
        self.exc = exc


class _RunState:
    """What the writer remembers of a run held by the derivation store."""

    __slots__ = ("run_key", "new", "unwritten", "made", "columns", "ident", "meta_text", "head_id", "ctx_json",
                 "ctx_id", "vals", "seen_json", "seen_meta", "seen_status", "call_facts")

    def __init__(self, run_key: int, new: bool = False) -> None:
        self.run_key = run_key
        # A run this writer created: its key is fresh, so no head or context row names it until
        # this state made one. `unwritten`: its `runs` row is still to be inserted.
        self.new = new
        self.unwritten = new
        # Of a new run: the hashes of the head and context rows made for it (see _made_key), so
        # that a text it never had is known to have no row without asking the file.
        self.made: set[int] | None = set() if new else None
        # The indexed columns of the run's row as this writer last wrote them (see _store_records),
        # None until it wrote the row.
        self.columns: tuple | None = None
        self.ident: tuple | None = None
        self.meta_text: str | None = None
        self.head_id: int | None = None
        self.ctx_json: str | None = None
        self.ctx_id: int | None = None
        # Payload/meta texts of the run's recent events: text -> its `vals` key, or None when
        # seen once (kept in that event's own text).
        self.vals: dict[str, int | None] = {}
        # What the last event that set `head_id` carried: its context JSON, its meta's text, and
        # the run's status after it.
        self.seen_json: str | None = None
        self.seen_meta: str | None = None
        self.seen_status: str | None = None
        # The run's ``run_facts`` as its row of `llm_calls` holds them, if it has one (None for a
        # new run until its record is first written).
        self.call_facts: tuple | None = None


def _whole_texts(parts: tuple, event_id: Any, etype: Any, source: Any, level: Any) -> tuple[str, str]:
    """(`lens`, `t`) of an event row from its eight search values, kept whole."""
    return "%d,%d,%d,%d,%d,%d,%d,%d" % tuple(map(len, parts)), " ".join(filter(None, parts))


def _cut_texts(parts: tuple, event_id: Any, etype: Any, source: Any, level: Any) -> tuple[str, str]:
    """(`lens`, `t`) of an event row without the values its columns give again, where they do
    (see _schema.EVENT_TEXT_SQL); else whole. ``level`` is the row's column (a text or None)."""
    head = parts[:4]
    if (
        type(event_id) is str and type(etype) is str and (source is None or type(source) is str)
        and (level is None or type(level) is str) and head[0] and head[0] == event_id and head[1] == etype
        and head[2] == (source or "") and head[3] == (level or "") and "\0" not in "".join(head)
    ):
        rest = parts[4:]
        return "+%d,%d,%d,%d" % tuple(map(len, rest)), " ".join(filter(None, rest))
    return _whole_texts(parts, event_id, etype, source, level)


def _text_hash(text: str) -> int:
    return zlib.crc32(text.encode("utf-8", "surrogatepass"))


# The tables of the rows a run's texts are kept in, as the first item of the keys of
# Transaction._made_rows and (shifted above the 32-bit hash) of _RunState.made.
_HEADS, _CONTEXTS = 1, 2


def _made_key(table: int, digest: int) -> int:
    return (table << 32) | digest


class Transaction:
    """The writer's connection and the body of each of its write transactions."""

    def __init__(self, conn: sqlite3.Connection, path: str, counters: dict[str, int], samples: Samples) -> None:
        from ..observation.Tallybook import RunRecord, RuntimeTallybook

        self.conn = conn
        self._path = path
        # The file's counter row as this writer keeps it (written at each commit).
        self.counters = counters
        self._run_record = RunRecord
        self._norm = RuntimeTallybook._normalize_search_text
        self._deriver = RuntimeTallybook(1)
        # The native loop over the events that need nothing but what this writer remembers
        # (None: every event through the loop in write, which does the same).
        # Whether event texts are kept without what their columns give again (a file made since
        # schema version 8: its trigram index reads them back whole, see _schema.EVENT_TEXT_SQL).
        self.cut_texts = cut_texts(conn)
        self._texts_of = _cut_texts if self.cut_texts else _whole_texts
        self._build_rows = (functools.partial(_log_rows, self._deriver, cut_texts=self.cut_texts) if NATIVE_ROWS
                            else None)
        self._working: dict[str, _RunState] = {}
        self._derived = 0
        # Distinct values in the `names` table, by kind.
        self._names: dict[int, set[str]] = {NAME_EVENT_TYPE: set(), NAME_EVENT_APP_ID: set(), NAME_RUN_APP_ID: set()}
        # The counters as the file holds them (only changed ones are written).
        self._written: dict[str, int] = dict(counters)
        self._gen: int | None = None  # the run generation of the open transaction, once given
        self._commits_here = commit_counter(path)
        self._samples = samples
        self._data_version = conn.execute("PRAGMA data_version").fetchone()[0]
        # Rows per insert statement: a power of two within the number of parameters SQLite allows.
        most = max(1, min(INSERT_ROWS, conn.getlimit(sqlite3.SQLITE_LIMIT_VARIABLE_NUMBER) // ROW_PARAMS))
        self._insert_max = 1 << (most.bit_length() - 1)
        # Texts waiting in pending_text for the index step: run texts to add and texts of dropped
        # events and runs to forget (those of this writer's transactions; what the file held at
        # open counts too).
        self.pending_texts = conn.execute("SELECT count(*) FROM pending_text").fetchone()[0]
        # The heads, contexts, vals and pending_text rows made by the open transaction, inserted
        # together before its event rows (_insert_made), and the head and context rows among them
        # by (table, run_key, hash) -> [(key, text)], for _stored_row to find before they are in
        # the file. Emptied when a transaction begins, commits or rolls back.
        self._new_heads: list[tuple] = []
        self._new_contexts: list[tuple] = []
        self._new_vals: list[tuple] = []
        self._new_pending: list[tuple] = []
        self._made_rows: dict[tuple[int, int, int], list[tuple[int, str]]] = {}
        # The runs the open transaction made, in order (their links are settled before the
        # commit, see _links.py).
        self._created: list[str] = []
        # The runs whose parent or root the link step of the open transaction changed, in order
        # (the writer hands them on once the transaction is committed).
        self.moved: list[str] = []
        self._linker = Linker(self)

    # -- the transaction ---------------------------------------------------------------------

    def begin(self) -> None:
        conn = self.conn
        self._forget_made()
        self._created.clear()
        self.moved.clear()
        conn.execute("BEGIN IMMEDIATE")
        self._gen = None
        version = conn.execute("PRAGMA data_version").fetchone()[0]
        if version != self._data_version:
            # Another connection (another service on this file, another process) wrote: what
            # this writer remembers may be stale.
            self._data_version = version
            self.forget_working()

    def commit(self) -> None:
        # (A batch inserts its rows of run texts before its events; whatever else made some since
        # has them inserted here, within the transaction.)
        self._insert_made()
        write_counters(self.conn, self.counters, self._written)
        self.conn.execute("COMMIT")
        self._forget_made()
        self._commits_here[0] += 1

    def rollback(self) -> None:
        self._forget_made()
        try:
            if self.conn.in_transaction:
                self.conn.execute("ROLLBACK")
        except sqlite3.Error:
            pass

    def close(self) -> None:
        try:
            self.conn.close()
        except sqlite3.Error:
            pass

    def run_gen(self) -> int:
        """The generation of the open transaction's run rows (one more than the last)."""
        gen = self._gen
        if gen is None:
            gen = self._gen = self.counters["run_gen"] + 1
            self.counters["run_gen"] = gen
        return gen

    def _next_key(self) -> int:
        key = self.counters["last_key"] + 1
        self.counters["last_key"] = key
        return key

    # -- what the writer remembers -----------------------------------------------------------

    def forget_runs(self) -> None:
        """Empty the derivation store (its runs are adopted from the file again when needed)."""
        self._deriver.reset()
        self._working.clear()
        self._derived = 0

    def forget_working(self) -> None:
        """Empty the derivation store and every cache of the file's contents."""
        self.forget_runs()
        self._forget_names()
        self.counters.update(read_counters(self.conn))
        self._written = dict(self.counters)
        self._count_pending()

    def forget_emptied(self) -> None:
        """The file's tables were emptied (or a try to): forget its runs and names, and count
        the run texts waiting for the index again."""
        self.forget_runs()
        self._forget_names()
        self._count_pending()

    def _count_pending(self) -> None:
        """Count the texts waiting in pending_text again (after a rollback the count kept may be
        off: what the rolled-back transaction added or took)."""
        try:
            self.pending_texts = self.conn.execute("SELECT count(*) FROM pending_text").fetchone()[0]
        except sqlite3.Error:
            pass

    def forget_dropped(self, run_id: str) -> None:
        """The run ``run_id`` left the file: a derivation store that holds it is emptied (a later
        event of that id must start a new record)."""
        if run_id in self._working:
            self.forget_runs()

    def indexed(self, upto: int) -> None:
        """An index step moved the event texts up to seq ``upto`` and every waiting run text into
        the trigram indexes (the step's statement advanced the stored counter itself)."""
        self.counters["indexed_upto"] = upto
        self._written["indexed_upto"] = max(upto, self._written.get("indexed_upto", 0))
        self.pending_texts = 0

    def _forget_names(self) -> None:
        for names in self._names.values():
            names.clear()

    def _forget_made(self) -> None:
        """Forget the rows the open transaction made (committed or rolled back now)."""
        self._new_heads.clear()
        self._new_contexts.clear()
        self._new_vals.clear()
        self._new_pending.clear()
        self._made_rows.clear()

    def _insert_made(self) -> None:
        """Insert the heads, contexts, vals and pending_text rows of the open transaction."""
        conn = self.conn
        if self._new_heads:
            conn.executemany("INSERT INTO heads(head_id, run_key, hash, vals) VALUES (?, ?, ?, ?)", self._new_heads)
            self._new_heads.clear()
        if self._new_contexts:
            conn.executemany(
                "INSERT INTO contexts(ctx_id, run_key, hash, body) VALUES (?, ?, ?, ?)", self._new_contexts
            )
            self._new_contexts.clear()
        if self._new_vals:
            conn.executemany("INSERT INTO vals(val_id, run_key) VALUES (?, ?)", self._new_vals)
            self._new_vals.clear()
        if self._new_pending:
            conn.executemany("INSERT INTO pending_text(id, kind, a, b) VALUES (?, ?, ?, ?)", self._new_pending)
            self._new_pending.clear()

    # -- a batch of appends ------------------------------------------------------------------

    def write(self, tickets: list) -> tuple[list[tuple[int, int]], int, int]:
        """Begin a transaction and write the events of the append ``tickets`` and their run records
        in it (left open). Gives (stored, duplicates) per ticket and the totals; a ticket whose
        events are refused raises ``TicketFailed``. The links of the runs made (and of the span
        runs of tickets that carry ``links``) are settled last (``_links.Linker``)."""
        if self._derived >= DERIVER_MAX_EVENTS or len(self._working) >= DERIVER_MAX_RUNS:
            self.forget_runs()
        conn = self.conn
        self.begin()
        ids = [p[P_ID] for t in tickets for p in t.items]
        ids_json = json.dumps(ids)
        seen_ids = {
            r[0]
            for r in conn.execute(
                "SELECT event_id FROM events WHERE event_id IN (SELECT value FROM json_each(?))", (ids_json,)
            )
        }
        if "\\u0000" in ids_json:
            # json_each gives a text with a NUL back cut short at the NUL: such ids one by one.
            for event_id in ids:
                if "\0" in event_id and conn.execute(
                    "SELECT 1 FROM events WHERE event_id = ?", (event_id,)
                ).fetchone():
                    seen_ids.add(event_id)
        # The LLM call pieces of events this transaction stores (each event's piece once: not
        # one of an event the file holds, nor of a second copy of an event in the batch).
        pieces = new_pieces(((t.calls, [p[P_ID] for p in t.items]) for t in tickets if t.calls), seen_ids)
        touched: dict[str, _RunState] = {}
        rows: list[tuple] = []
        results = []
        stored_total = 0
        dup_total = 0
        working = self._working
        adopt = self._adopt
        derive = self._deriver._derive_record
        get_run = self._deriver.get_run
        head_for = self._head_for
        ctx_for = self._ctx_for
        val_for = self._val_for
        texts_of = self._texts_of
        counters = self.counters
        seq = counters["last_seq"]
        types = self._names[NAME_EVENT_TYPE]
        apps = self._names[NAME_EVENT_APP_ID]
        samples = self._samples
        tick = samples.tick
        build = self._build_rows
        created = self._created
        link_tickets: list[tuple[Any, set[str]]] = []
        for ticket in tickets:
            made_from = len(created)
            stored = dups = 0
            items = ticket.items
            i = 0
            try:
                while True:
                    status = None
                    if build is not None:
                        # The events that need nothing but what this writer remembers; it stops
                        # at the first other one (with its status when it derived it already).
                        i, seq, tick, n, d, status = build(
                            items, i, seen_ids, working, touched, rows, seq, tick, types, apps, VAL_MIN_CHARS,
                            SAMPLE_EVERY,
                        )
                        stored += n
                        dups += d
                    if i >= len(items):
                        break
                    p = items[i]
                    i += 1
                    (event_id, ts, etype, source, level, app, group, run_id, body, parts, run_json, ctx_text,
                     message, meta_obj, context) = p
                    if status is None:
                        if event_id in seen_ids:
                            dups += 1
                            continue
                        seen_ids.add(event_id)
                    if run_id is None:
                        run_key = head_id = ctx_id = pay_val = meta_val = None
                        lens, text = texts_of(parts, event_id, etype, source, level)
                    else:
                        state = working.get(run_id)
                        if state is None:
                            state = adopt(run_id)
                        if status is None:
                            status = derive(etype, ts, source, message, meta_obj, context)
                        meta = parts[7]
                        # The record's texts change only with the context, the event's meta or
                        # the status (applying the same context and meta again leaves them).
                        head_id = state.head_id
                        if (
                            head_id is None or run_json != state.seen_json or meta != state.seen_meta
                            or status != state.seen_status
                        ):
                            head_id = head_for(state, get_run(run_id))
                            state.seen_json = run_json
                            state.seen_meta = meta
                            state.seen_status = status
                        ctx_id = state.ctx_id
                        if ctx_id is None or run_json != state.ctx_json:
                            ctx_id = ctx_for(state, run_json, ctx_text)
                        run_key = state.run_key
                        touched[run_id] = state
                        pay = parts[5]
                        vals = state.vals
                        # A text the run repeats has its key in `vals` already (else _val_for);
                        # the event's own text then leaves it out.
                        pay_val = (vals.get(pay) or val_for(state, pay)) if len(pay) >= VAL_MIN_CHARS else None
                        meta_val = (vals.get(meta) or val_for(state, meta)) if len(meta) >= VAL_MIN_CHARS else None
                        if pay_val is None and meta_val is None:
                            lens, text = texts_of(parts, event_id, etype, source, level)
                        else:
                            if pay_val is not None:
                                pay = ""
                            if meta_val is not None:
                                meta = ""
                            own = (*parts[:5], pay, parts[6], meta)
                            lens, text = texts_of(own, event_id, etype, source, level)
                    seq += 1
                    rows.append(
                        (seq, event_id, run_key, ts, etype, source, level, app, group, head_id, ctx_id, pay_val,
                         meta_val, lens, text, body)
                    )
                    if etype not in types:
                        self._name(NAME_EVENT_TYPE, etype)
                    if app is not None and app not in apps:
                        self._name(NAME_EVENT_APP_ID, app)
                    tick += 1
                    if tick >= SAMPLE_EVERY:
                        tick = 0
                        text = " ".join(filter(None, parts))
                        samples.counts.update({text[k:k + 3] for k in range(len(text) - 2)})
                        samples.texts += 1
                    stored += 1
            except sqlite3.Error:
                raise
            except BaseException as exc:  # noqa: BLE001 - this ticket's events are refused
                raise TicketFailed(ticket, exc) from exc
            links = ticket.links
            if links:
                link_tickets.append((links, set(created[made_from:])))
            results.append((stored, dups))
            stored_total += stored
            dup_total += dups
        samples.tick = tick
        self._derived += stored_total
        counters["last_seq"] = seq
        self._insert_made()
        insert_events(conn, rows, self._insert_max)
        if touched:
            self._store_records(touched)
        if pieces:
            store_calls(self.conn, self._working, self._created, pieces, get_run)
        if created or link_tickets:
            self._linker.settle(created, link_tickets)
        counters["events"] += stored_total
        return results, stored_total, dup_total

    def _adopt(self, run_id: str) -> _RunState:
        conn = self.conn
        row = conn.execute("SELECT run_key, record FROM runs WHERE run_id = ?", (run_id,)).fetchone()
        if row is None:
            # Its row is inserted with its first record (_store_records, in this transaction).
            self.counters["runs"] += 1
            state = _RunState(self._next_key(), new=True)
            self._created.append(run_id)
        else:
            record = self._run_record.model_validate_json(row[1])
            self._deriver._adopt_run(record)
            state = _RunState(row[0])
            state.call_facts = run_facts(run_id, record)
        self._working[run_id] = state
        return state

    # -- the rows of run texts ---------------------------------------------------------------

    def _stored_row(self, state: _RunState, table: int, query: str, digest: int, text: str) -> int | None:
        """The id of the run's row (in ``table``, found in the file by ``query``) that has the
        hash ``digest`` and holds ``text``, or None. Rows this transaction made are not in the
        file yet; a new run has rows only of the hashes it made."""
        made = self._made_rows.get((table, state.run_key, digest))
        if made is not None:
            for row_id, stored in made:
                if stored == text:
                    return row_id
        if state.new and _made_key(table, digest) not in state.made:
            return None
        for row_id, stored in self.conn.execute(query, (state.run_key, digest)):
            if stored == text:
                return row_id
        return None

    def _made_row(self, state: _RunState, table: int, digest: int, key: int, text: str) -> None:
        self._made_rows.setdefault((table, state.run_key, digest), []).append((key, text))
        if state.made is not None:
            state.made.add(_made_key(table, digest))

    def _head_for(self, state: _RunState, record: Any) -> int:
        """The id of the row holding the run's record texts as they are after this event."""
        norm = self._norm
        ident = (
            record.run_id, record.root_run_id, record.parent_run_id, record.run_kind, record.agent_id,
            record.agent_name, record.session_id, record.response_id, record.execution_id, record.status,
        )
        meta_text = norm(record.meta)
        if state.head_id is not None and ident == state.ident and meta_text == state.meta_text:
            return state.head_id
        vals = [norm(v) for v in ident]
        vals.append(meta_text)
        # json.dumps(vals, ensure_ascii=False) of the eleven texts, without making an encoder
        text = "[" + ", ".join(map(encode_basestring, vals)) + "]"
        digest = _text_hash(text)
        head_id = self._stored_row(
            state, _HEADS, "SELECT head_id, vals FROM heads WHERE run_key = ? AND hash = ?", digest, text
        )
        if head_id is None:
            head_id = self._next_key()
            self._new_heads.append((head_id, state.run_key, digest, text))
            self._new_pending.append((head_id, PENDING_HEAD, " ".join(filter(None, vals[:10])), meta_text))
            self._made_row(state, _HEADS, digest, head_id, text)
            self.pending_texts += 1
        state.ident = ident
        state.meta_text = meta_text
        state.head_id = head_id
        return head_id

    def _ctx_for(self, state: _RunState, body: str, text: str) -> int:
        """The id of the row holding the run context ``body`` (its JSON) and its search text."""
        if state.ctx_id is not None and body == state.ctx_json:
            return state.ctx_id
        digest = _text_hash(body)
        ctx_id = self._stored_row(
            state, _CONTEXTS, "SELECT ctx_id, body FROM contexts WHERE run_key = ? AND hash = ?", digest, body
        )
        if ctx_id is None:
            ctx_id = self._next_key()
            self._new_contexts.append((ctx_id, state.run_key, digest, body))
            self._new_pending.append((ctx_id, PENDING_CONTEXT, text, None))
            self._made_row(state, _CONTEXTS, digest, ctx_id, body)
            self.pending_texts += 1
        state.ctx_json = body
        state.ctx_id = ctx_id
        return ctx_id

    def _val_for(self, state: _RunState, text: str) -> int | None:
        """The `vals` key of a payload or meta text the run repeats; None the first time the
        run's recent events show it (the text then stays in the event's own text)."""
        vals = state.vals
        key = vals.get(text, 0)
        if key == 0:
            if len(vals) >= VAL_MEMORY:
                vals.clear()
            vals[text] = None
            return None
        if key is None:
            key = self._next_key()
            self._new_vals.append((key, state.run_key))
            self._new_pending.append((key, PENDING_VAL, text, None))
            self.pending_texts += 1
            vals[text] = key
        return key

    # -- run records and names ---------------------------------------------------------------

    def _store_records(self, touched: dict[str, _RunState]) -> None:
        gen = self.run_gen()
        get_run = self._deriver.get_run
        rows = []
        inserts = []
        # Rows whose columns in indexes other than those of the order and the generation are as
        # this writer wrote them: only what changed is set, so SQLite leaves those indexes alone.
        same = []
        same_but_status = []
        # Runs whose record now says something else of their LLM call's usage columns.
        facts_rows = []
        apps = self._names[NAME_RUN_APP_ID]
        for run_id, state in touched.items():
            record = get_run(run_id)
            meta = record.meta
            app_id = meta.get("app_id")
            group_id = meta.get("group_id")
            flow_name = meta.get("flow_name")
            app_id = app_id if isinstance(app_id, str) else None
            window = record.updated_at or record.started_at or record.completed_at or record.failed_at
            row = (
                record.root_run_id, record.parent_run_id, record.run_kind, record.status, record.agent_id,
                record.session_id, app_id, group_id if isinstance(group_id, str) else None,
                flow_name if isinstance(flow_name, str) else None, record.updated_at or 0, window, gen,
                record.model_dump_json(fallback=str), state.run_key,
            )
            # (Compared with their types: 1 and 1.0 or True are equal but not stored alike.)
            columns = (row[:3] + row[4:9], tuple(map(type, row[:9])))
            last = state.columns
            facts = run_facts(run_id, record)
            if facts != state.call_facts:
                # (A run whose row is still to be inserted has no call yet: store_calls writes
                # its call's row from the record, later in this transaction.)
                if not state.unwritten:
                    facts_rows.append((*facts, state.run_key))
                state.call_facts = facts
            if state.unwritten:
                inserts.append(row + (run_id,))
                state.unwritten = False
            elif last is None or last[:2] != columns:
                rows.append(row)
            elif last[2] == row[3]:
                same.append(row[9:])
            else:
                same_but_status.append(row[3:4] + row[9:])
            state.columns = (*columns, row[3])
            if app_id is not None and app_id not in apps:
                self._name(NAME_RUN_APP_ID, app_id)
        if inserts:
            self.conn.executemany(
                "INSERT INTO runs(root_run_id, parent_run_id, run_kind, status, agent_id, session_id, app_id,"
                " group_id, flow_name, sort_ts, window_ts, gen, record, run_key, run_id)"
                " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                inserts,
            )
        if rows:
            self.conn.executemany(
                "UPDATE runs SET root_run_id = ?, parent_run_id = ?, run_kind = ?, status = ?, agent_id = ?,"
                " session_id = ?, app_id = ?, group_id = ?, flow_name = ?, sort_ts = ?, window_ts = ?, gen = ?,"
                " record = ? WHERE run_key = ?",
                rows,
            )
        if same:
            self.conn.executemany(
                "UPDATE runs SET sort_ts = ?, window_ts = ?, gen = ?, record = ? WHERE run_key = ?", same
            )
        if same_but_status:
            self.conn.executemany(
                "UPDATE runs SET status = ?, sort_ts = ?, window_ts = ?, gen = ?, record = ? WHERE run_key = ?",
                same_but_status,
            )
        if facts_rows:
            self.conn.executemany(UPDATE_FACTS_SQL, facts_rows)

    def _name(self, kind: int, value: str) -> None:
        names = self._names[kind]
        if value not in names:
            self.conn.execute("INSERT OR IGNORE INTO names(kind, value) VALUES (?, ?)", (kind, value))
            names.add(value)
