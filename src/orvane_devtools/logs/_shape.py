"""The run tree's shape as the readers keep it between queries: which runs each parent has, in
order, and where each run is (its key and generation).

The shape stays kept until a run in it changes: readers learn which runs changed from their
generations when the file changed (``PRAGMA data_version``), so a tree stays kept while other runs
are written. A subtree is read at once when a walk first reaches it.

Threads and state: one ``RunShape`` per log database, shared by the reader's threads; every use
holds ``lock`` (the reader takes it around each look-up). It owns the kept shape and, per thread,
when that thread last asked the file whether it changed.
"""

from __future__ import annotations

import sqlite3
import threading
import time
from typing import Any

__all__ = ["RunShape"]

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


class _Checked(threading.local):
    version: int | None = None  # the data_version the shape was last checked against
    checked = 0  # when (monotonic ns)
    commits = -1  # this process's commit count then


class RunShape:
    """The run tree's shape as read from the file. Valid for the runs' generation ``gen``; mended
    when runs change."""

    def __init__(self, commits: list[int]) -> None:
        self.lock = threading.Lock()
        self.gen: int | None = None
        self.kids: dict[str, list[tuple[int, int, str]]] = {}  # parent id -> [(run_key, gen, run_id)] in order
        self.parent_of: dict[str, Any] = {}  # run id -> its parent id, for runs listed in `kids`
        self.runs: dict[str, tuple[int, int] | None] = {}  # run id -> (run_key, gen) or None
        self._commits = commits  # this process's commits to the file (see _schema.commit_counter)
        self._local = _Checked()

    def clear(self, gen: int | None) -> None:
        self.kids.clear()
        self.parent_of.clear()
        self.runs.clear()
        self.gen = gen

    def fresh(self, conn: sqlite3.Connection) -> RunShape:
        """The kept shape, mended first when the file may have changed since this thread last
        looked (called with ``lock`` held)."""
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
        return self

    def _mend(self, conn: sqlite3.Connection) -> None:
        """Forget what changed in the file since the shape was read: the runs written since
        (by their generation), or all of it when runs were removed."""
        row = conn.execute(
            "SELECT (SELECT value FROM meta WHERE key = 'run_gen'), (SELECT value FROM meta WHERE key = 'drop_gen')"
        ).fetchone()
        run_gen, drop_gen = int(row[0] or 0), int(row[1] or 0)
        if self.gen is None or drop_gen > self.gen or run_gen < self.gen:
            self.clear(run_gen)
            return
        if run_gen == self.gen:
            return
        changed = conn.execute(
            "SELECT run_id, parent_run_id FROM runs WHERE gen > ? LIMIT ?", (self.gen, _MEND_MAX + 1)
        ).fetchall()
        if len(changed) > _MEND_MAX:
            self.clear(run_gen)
            return
        kids, parent_of, runs = self.kids, self.parent_of, self.runs
        for run_id, parent in changed:
            runs.pop(run_id, None)
            old = parent_of.pop(run_id, _MISSING)
            if old is not _MISSING and old is not None:
                kids.pop(old, None)
            if parent is not None:
                kids.pop(parent, None)
        self.gen = run_gen

    def entry(self, conn: sqlite3.Connection, run_id: str) -> tuple[int, int] | None:
        """(run_key, gen) of the run ``run_id``, or None when the file has no such run (read and
        kept when not kept yet; called with ``lock`` held, on a fresh shape)."""
        runs = self.runs
        entry = runs.get(run_id, _MISSING)
        if entry is _MISSING:
            row = conn.execute("SELECT run_key, gen FROM runs WHERE run_id = ?", (run_id,)).fetchone()
            entry = None if row is None else (row[0], row[1])
            if len(runs) < _SHAPE_MAX:
                runs[run_id] = entry
        return entry  # type: ignore[return-value]

    def load_subtree(self, conn: sqlite3.Connection, parent: str) -> list[tuple[int, int, str]]:
        """Read the shape under ``parent``: the children of every run of its subtree (up to
        ``_SUBTREE_MAX`` runs, breadth first), so that a tree walk asks the file once. Returns the
        children of ``parent`` (called with ``lock`` held)."""
        if len(self.parent_of) + len(self.kids) + len(self.runs) > _SHAPE_MAX:
            self.clear(self.gen)
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
        kids, parent_of, runs = self.kids, self.parent_of, self.runs
        for pid, group in groups.items():
            group.sort()
            kids[pid] = [(key, gen, rid) for _, key, gen, rid in group]
            for _, key, gen, rid in group:
                parent_of[rid] = pid
                runs[rid] = (key, gen)
        return kids.get(parent, [])
