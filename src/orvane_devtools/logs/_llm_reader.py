"""The readers' queries of the LLM calls stored with the runs (table ``llm_calls``): the calls'
JSON, their numbers, and the numbers of a run with all its descendants.

``LlmReads`` is a base of ``_reader.Reader``: its methods run on the calling thread's read
connection (``self._read()``) and walk the readers' kept run shape (``self._shape``) where it
holds a subtree whole, as the reader's other queries do.
"""

from __future__ import annotations

import json
import sqlite3
from typing import Any

from ._llm import unpack_record
from ._schema import wrap_error

__all__ = ["LlmReads"]

# Each listed run with every run below it (by parent links; UNION keeps each pair once, so a
# cycle ends), joined to the numbers of those that made LLM calls. A listed id that is not a
# stored run still reaches the runs that name it as their parent.
_TREE_NUMBERS = (
    "WITH RECURSIVE tree(top, id, key) AS ("
    " SELECT j.value, j.value, r.run_key FROM json_each(?) j LEFT JOIN runs r ON r.run_id = j.value"
    " UNION"
    " SELECT t.top, c.run_id, c.run_key FROM tree t JOIN runs c ON c.parent_run_id = t.id)"
    " SELECT t.top, l.calls, l.input_tokens, l.output_tokens, l.total_tokens, l.cost_usd, l.unpriced"
    " FROM tree t JOIN llm_calls l ON l.run_key = t.key"
)


# The numbers of the runs of a JSON list of ids that made LLM calls.
_NUMBERS = (
    "SELECT r.run_id, l.calls, l.input_tokens, l.output_tokens, l.total_tokens, l.cost_usd, l.unpriced"
    " FROM runs r JOIN llm_calls l ON l.run_key = r.run_key WHERE r.run_id IN (SELECT value FROM json_each(?))"
)


def _numbers(conn: Any, run_ids: list[str]) -> dict[str, tuple]:
    return {row[0]: row[1:] for row in conn.execute(_NUMBERS, (json.dumps(run_ids),))}


def _call_texts(conn: Any, run_ids: list[str]) -> dict[str, str]:
    return {run_id: unpack_record(record) for run_id, record in conn.execute(
        "SELECT r.run_id, l.record FROM runs r JOIN llm_calls l ON l.run_key = r.run_key"
        " WHERE r.run_id IN (SELECT value FROM json_each(?))",
        (json.dumps(run_ids),),
    )}


def _copy_groups(groups: dict[str, list[tuple]]) -> dict[str, list[tuple]]:
    return {rid: list(rows) for rid, rows in groups.items()}


def _kept_subtree(kids: dict[str, list[tuple[int, int, str]]], run_id: str) -> list[str] | None:
    """``run_id`` and its descendants, each once, when the kept shape holds the children of every
    one of them; else None."""
    members = [run_id]
    seen = {run_id}
    head = 0
    while head < len(members):
        entries = kids.get(members[head])
        head += 1
        if entries is None:
            return None
        for _, _, rid in entries:
            if rid not in seen:
                seen.add(rid)
                members.append(rid)
    return members


class LlmReads:
    """The LLM queries of a reader (see the module's docstring)."""

    _closed: bool
    _path: str
    _shape: Any
    _read: Any  # the reader's read transaction on this thread's connection
    read_kept: Any  # the reader's answers kept until the file changes

    # -- LLM calls ---------------------------------------------------------------------------

    def llm_call_texts(self, run_ids: list[str]) -> dict[str, str]:
        """run id -> the stored JSON of its LLM call, for the runs of ``run_ids`` that have one."""
        if not run_ids:
            return {}
        # Kept until the file changes, as the trees' numbers are.
        return self.read_kept(("llm_call_texts", tuple(run_ids)), dict, _call_texts, run_ids)

    def llm_numbers(self, run_ids: list[str]) -> dict[str, tuple]:
        """run id -> (calls, input, output, total tokens, cost_usd, unpriced) of its LLM calls."""
        if not run_ids:
            return {}
        with self._read() as conn:
            return _numbers(conn, run_ids)

    def llm_tree_numbers(self, run_ids: list[str]) -> dict[str, list[tuple]]:
        """run id -> the numbers (as ``llm_numbers`` has them) of the runs with LLM calls among
        the run and its descendants, by their parent links (as ``collect_descendant_run_ids``
        follows them), each once. Subtrees the kept shape holds whole are walked there; the
        others are walked in the file, all in one query. Two queries at most, one snapshot; the
        answer is kept until the file changes."""
        if not run_ids:
            return {}
        if self._closed:
            raise RuntimeError(f"the log service of {self._path} is closed")
        try:
            # Kept until the file changes: a page of runs asks for the same trees again.
            return self.read_kept(("llm_tree_numbers", tuple(run_ids)), _copy_groups, self._tree_numbers, run_ids)
        except sqlite3.Error as exc:
            raise wrap_error(exc, self._path, "reading") from None

    def _tree_numbers(self, conn: Any, run_ids: list[str]) -> dict[str, list[tuple]]:
        """``llm_tree_numbers`` in the caller's read transaction."""
        out: dict[str, list[tuple]] = {}
        shape = self._shape
        kept: dict[str, list[str]] = {}
        rest: list[str] = []
        with shape.lock:
            kids = shape.fresh(conn).kids
            for rid in run_ids:
                members = _kept_subtree(kids, rid)
                if members is None:
                    rest.append(rid)
                else:
                    kept[rid] = members
        if kept:
            numbers = _numbers(conn, list({m for members in kept.values() for m in members}))
            for rid, members in kept.items():
                out[rid] = [numbers[m] for m in members if m in numbers]
        if rest:
            for row in conn.execute(_TREE_NUMBERS, (json.dumps(rest),)):
                group = out.get(row[0])
                if group is None:
                    group = out[row[0]] = []
                group.append(row[1:])
        return out

    def llm_model_runs(self, model: str) -> set[str]:
        """The ids of the runs whose LLM call names ``model``."""
        with self._read() as conn:
            return {
                row[0]
                for row in conn.execute(
                    "SELECT r.run_id FROM llm_calls l JOIN runs r ON r.run_key = l.run_key WHERE l.model = ?",
                    (model,),
                )
            }
