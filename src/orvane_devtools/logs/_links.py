"""Span links: how runs that arrived as OpenTelemetry spans join the run tree in any order.

A run record's parent and root are fixed when its first event creates it. A span run (run id
``otel-{trace_id}-{span_id}``) can arrive before its parent, in another request, and its parent
may be a span run or one of our own runs (a span whose parent span id is ``span_id_for(run_id)``
of that run). So the writer keeps two tables (``_schema.LINK_TABLES``) and, after the rows of a
transaction are written, settles what the transaction made:

* ``aliases``: each new run of ours gets a row ``span_id_for(run_id) -> run_id``. The mapping of
  spans reads it to find a parent that is one of our runs; the writer reads it to adopt the runs
  waiting for that span id.
* ``span_waits``: a span run whose parent was not known when its span was mapped (it names the
  parent's span run id, ``otel-{trace}-{parent span}``, and, unless the span carried its root,
  that same id as its root: the provisional root of everything waiting below that parent), and a
  run a log record opened before its own span arrived (parent none, root itself).

Settling, in one place for every append of the transaction:

1. aliases of the new runs of ours;
2. wait rows of the new span runs that wait, and of the runs log records opened;
3. a run opened by a log record whose span has now arrived takes the span's root, parent, kind
   and agent (its start moves back to the span's start);
4. the wait rows under the span ids that appeared (our new runs, new span runs) or that the new
   waiting runs wait for are tried: a waiting run whose parent span run exists, or whose parent
   span id is now an alias, joins its parent: parent set, root = the parent's root. When its
   root was provisional (its old parent's id, or its own id), every span run under that same
   provisional root takes the new root too: one indexed look-up reaches the waiting subtree.

A changed record is adopted again by the derivation store (``_adopt_run``) and written with the
transaction's run generation, so readers' kept records and tree shapes see it as any other
change; its run id goes to the transaction's ``moved`` list, which the writer hands to the
service once the transaction is committed (``RuntimeLogService.take_moved_runs``: the listener
sends those records to its open streams, whose pages move the runs in their trees). Our own events pay one ``INSERT`` per new run and one look-up per transaction that made
runs; everything else happens only for span runs.

Threads and state: writer thread only, inside the open transaction of its ``Transaction``.
"""

from __future__ import annotations

import json
import sqlite3
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._transaction import Transaction

__all__ = ["OTEL_RUN_PREFIX", "SpanLinks", "alias_rows", "forget_run_links"]

# Run ids of span runs begin with this.
OTEL_RUN_PREFIX = "otel-"

# Identity fields a span gives the run that a log record opened before it.
_IDENTITY = ("agent_id", "agent_name", "session_id", "response_id", "execution_id")


@dataclass(slots=True)
class SpanLinks:
    """What one append tells the writer about the span runs of its events.

    ``waiting``: (run id, parent span id) of the span runs whose parent was not known when
    they were mapped. ``logged``: (run id, span id) of the span runs a log record of this append
    names while their span was not known (the record opens the run when it is new). ``spans``:
    (run id, span id, facts) of every span run a span of this append defines; ``facts`` holds
    ``root_run_id``, ``parent_run_id``, ``run_kind``, the identity fields (None when absent) and
    ``started_at`` (epoch ms): what a run that a log record opened takes from its span.
    """

    waiting: list[tuple[str, str]] = field(default_factory=list)
    logged: list[tuple[str, str]] = field(default_factory=list)
    spans: list[tuple[str, str, dict[str, Any]]] = field(default_factory=list)

    def __bool__(self) -> bool:
        return bool(self.waiting or self.logged or self.spans)


def _span_id_for() -> Any:
    from ..observation.backends.Otlp import span_id_for

    return span_id_for


def alias_rows(run_ids: list[str]) -> list[tuple[str, str]]:
    """(span_id_for(run_id), run_id) of the runs of ours among ``run_ids`` (span runs have
    their own span id in their run id and need no alias)."""
    span_id_for = _span_id_for()
    return [(span_id_for(r), r) for r in run_ids if not r.startswith(OTEL_RUN_PREFIX)]


def _suffix(run_id: str | None) -> str | None:
    """The span id at the end of a span run id, or None."""
    if run_id is None or not run_id.startswith(OTEL_RUN_PREFIX):
        return None
    return run_id.rpartition("-")[2]


def forget_run_links(conn: sqlite3.Connection, run_id: str, parent_run_id: str | None) -> None:
    """Remove the link rows of a run that leaves the file."""
    if not run_id.startswith(OTEL_RUN_PREFIX):
        conn.execute("DELETE FROM aliases WHERE span_id = ? AND run_id = ?", (_span_id_for()(run_id), run_id))
        return
    spans = {s for s in (_suffix(run_id), _suffix(parent_run_id)) if s}
    for span in spans:
        conn.execute("DELETE FROM span_waits WHERE span_id = ? AND run_id = ?", (span, run_id))


class Linker:
    """The settling step of one writer's transactions (see the module's docstring)."""

    def __init__(self, txn: Transaction) -> None:
        self._txn = txn

    def settle(self, created: list[str], link_tickets: list[tuple[SpanLinks, set[str]]]) -> None:
        """After the rows of the transaction are written: ``created`` are the runs it made, in
        order; ``link_tickets`` the links of each append that had some, with the runs that
        append made."""
        conn = self._txn.conn
        ours = alias_rows(created) if created else []
        if ours:
            conn.executemany("INSERT OR REPLACE INTO aliases(span_id, run_id) VALUES (?, ?)", ours)
        probe = {span for span, _ in ours}
        waits: list[tuple[str, str]] = []
        defined: list[tuple[str, str, dict[str, Any], set[str], SpanLinks]] = []
        for links, made in link_tickets:
            for run_id, parent_span in links.waiting:
                if run_id in made:
                    waits.append((parent_span, run_id))
                    probe.add(parent_span)
            for run_id, span in links.logged:
                if run_id in made:
                    waits.append((span, run_id))
                    probe.add(span)
            for run_id, span, facts in links.spans:
                if run_id in made:
                    probe.add(span)
                else:
                    defined.append((run_id, span, facts, made, links))
        if waits:
            conn.executemany("INSERT OR IGNORE INTO span_waits(span_id, run_id) VALUES (?, ?)", waits)
        for run_id, span, facts, _made, links in defined:
            if self._opened_by_log(run_id, span):
                self._take_span(run_id, span, facts, links)
                probe.add(span)
                probe.update(p for r, p in links.waiting if r == run_id)
        if not probe:
            return
        rows = conn.execute(
            "SELECT span_id, run_id FROM span_waits WHERE span_id IN (SELECT value FROM json_each(?))",
            (json.dumps(sorted(probe)),),
        ).fetchall()
        for span, run_id in rows:
            self._try_join(span, run_id)

    # -- the steps ---------------------------------------------------------------------------

    def _opened_by_log(self, run_id: str, span: str) -> bool:
        if not run_id.endswith("-" + span):
            return False
        row = self._txn.conn.execute(
            "SELECT 1 FROM span_waits WHERE span_id = ? AND run_id = ?", (span, run_id)
        ).fetchone()
        return row is not None

    def _take_span(self, run_id: str, span: str, facts: dict[str, Any], links: SpanLinks) -> None:
        """A run a log record opened takes what its span says of it."""
        conn = self._txn.conn
        conn.execute("DELETE FROM span_waits WHERE span_id = ? AND run_id = ?", (span, run_id))
        held = self._record(run_id)
        if held is None:
            return
        state, record = held
        old_root = record.root_run_id
        record.root_run_id = facts.get("root_run_id") or run_id
        record.parent_run_id = facts.get("parent_run_id")
        kind = facts.get("run_kind")
        if kind is not None:
            record.run_kind = str(kind)
        for name in _IDENTITY:
            value = facts.get(name)
            if value is not None:
                setattr(record, name, value)
        started = facts.get("started_at")
        if isinstance(started, int) and (record.started_at is None or started < record.started_at):
            record.started_at = started
        self._apply(run_id, state, record)
        for waiting_id, parent_span in links.waiting:
            if waiting_id == run_id:
                conn.execute("INSERT OR IGNORE INTO span_waits(span_id, run_id) VALUES (?, ?)", (parent_span, run_id))
        if old_root == run_id and record.root_run_id != run_id:
            self._reroot(run_id, record.root_run_id)

    def _try_join(self, span: str, run_id: str) -> None:
        """The run waiting under ``span`` joins its parent when the parent is there now."""
        conn = self._txn.conn
        row = conn.execute("SELECT parent_run_id, root_run_id FROM runs WHERE run_id = ?", (run_id,)).fetchone()
        if row is None:  # gone meanwhile
            conn.execute("DELETE FROM span_waits WHERE span_id = ? AND run_id = ?", (span, run_id))
            return
        named, old_root = row
        parent = None
        if named is not None and named != run_id and _suffix(named) == span and self._exists(named):
            parent = named
        if parent is None:
            row = conn.execute("SELECT run_id FROM aliases WHERE span_id = ?", (span,)).fetchone()
            if row is not None and row[0] != run_id:
                parent = row[0]
        if parent is None:
            return
        new_root = self._root_of(parent)
        if new_root is None:  # an alias of a run that left the file
            return
        conn.execute("DELETE FROM span_waits WHERE span_id = ? AND run_id = ?", (span, run_id))
        if named == parent and old_root == new_root:
            return  # linked right from the start (its parent arrived as a span of that id)
        held = self._record(run_id)
        if held is None:  # pragma: no cover - read above in this transaction
            return
        state, record = held
        record.parent_run_id = parent
        record.root_run_id = new_root
        self._apply(run_id, state, record)
        if old_root != new_root and old_root in (named, run_id):
            self._reroot(old_root, new_root)

    def _reroot(self, old: str, new: str) -> None:
        """Every span run under the provisional root ``old`` takes the root ``new``."""
        rows = self._txn.conn.execute(
            "SELECT run_id FROM runs WHERE root_run_id = ? AND substr(run_id, 1, 5) = ?", (old, OTEL_RUN_PREFIX)
        ).fetchall()
        for (run_id,) in rows:
            held = self._record(run_id)
            if held is None:
                continue
            state, record = held
            record.root_run_id = new
            self._apply(run_id, state, record)

    # -- records -----------------------------------------------------------------------------

    def _exists(self, run_id: str) -> bool:
        if run_id in self._txn._working:
            return True
        return self._txn.conn.execute("SELECT 1 FROM runs WHERE run_id = ?", (run_id,)).fetchone() is not None

    def _root_of(self, run_id: str) -> str | None:
        row = self._txn.conn.execute("SELECT root_run_id FROM runs WHERE run_id = ?", (run_id,)).fetchone()
        return None if row is None else row[0]

    def _record(self, run_id: str) -> tuple[Any, Any] | None:
        """(the writer's state of the run, a copy of its record), the run adopted from the
        file when the derivation store does not hold it; None when the file has no such run."""
        txn = self._txn
        state = txn._working.get(run_id)
        if state is None:
            if not self._exists(run_id):
                return None
            state = txn._adopt(run_id)
        record = txn._deriver.get_run(run_id)
        if record is None:  # pragma: no cover - a held state always has its record
            return None
        return state, record

    def _apply(self, run_id: str, state: Any, record: Any) -> None:
        """The record with its new links becomes the run's record (derivation store, texts,
        row)."""
        txn = self._txn
        txn._deriver._adopt_run(record)
        state.columns = None
        txn._head_for(state, record)
        txn._store_records({run_id: state})
        txn.moved.append(run_id)
