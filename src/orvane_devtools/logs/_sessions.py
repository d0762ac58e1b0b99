"""Sessions and LLM usage over the stored runs: the summaries behind ``GET /sessions`` and
``GET /usage``, in the file (SQL on a reader's connection) and in memory (the same answers,
computed from the records and the calls the memory store keeps).

A session is the runs whose ``session_id`` is that id (a non-empty text). Its LLM totals are
those of the calls of every run in the session's trees: the runs that share a root with one of
the session's runs (a child run that does not carry the session id, the chat span under an agent
span, say, counts toward it), each call once however many of its ancestors are in the session.

Usage is per model over the stored calls whose time (the call's start, ``at_ms``) falls in a
window. A run that made several calls keeps only its last one's model and time: its calls count
under that model at that time. Latency is the duration of a run that is one LLM call (a run of
kind ``llm`` or a span, with one call, ended); percentiles by nearest rank.
"""

from __future__ import annotations

import json
import math
import sqlite3
from typing import Any, Iterable

from ._common import needle_of
from ._llm import Totals, run_facts, usage_columns

__all__ = [
    "RUN_STATUSES",
    "copy_summaries",
    "memory_session_heads",
    "memory_session_summaries",
    "memory_usage",
    "sql_session_heads",
    "sql_session_summaries",
    "sql_usage",
]

RUN_STATUSES = ("unknown", "running", "waiting", "completed", "failed")
# Totals adds costs in whole units of 10^-12 USD; the SQL sums them so (exact below $9,000).
PICO = 10**12


# -- the shared halves --------------------------------------------------------------------------

def _summary(session_id: str, runs: int, first: int | None, last: int, statuses: dict[str, int],
             app_id: str | None, agents: Iterable[Any], totals: Totals) -> dict[str, Any]:
    names = sorted({a for a in agents if isinstance(a, str) and a})
    return {
        "session_id": session_id,
        "runs": runs,
        "first_activity_at": first if first is not None else (last or None),
        "last_activity_at": last or None,
        "statuses": {s: statuses.get(s, 0) for s in RUN_STATUSES},
        "app_id": app_id,
        "agents": names[:20],
        "totals": totals.as_json(),
    }


def copy_summaries(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """Copies of summaries (``_summary``'s dicts) that share only immutable values with them."""
    return [{**row, "statuses": dict(row["statuses"]), "agents": list(row["agents"]), "totals": dict(row["totals"])}
            for row in rows]


def _matches(needle: str, values: Iterable[Any]) -> bool:
    return any(isinstance(v, str) and needle in v.casefold() for v in values)


def percentile(values: list[float], p: float) -> float | None:
    """The ``p``-th percentile of sorted ``values`` by nearest rank (None for no values)."""
    if not values:
        return None
    rank = max(1, math.ceil(p / 100 * len(values)))
    return values[rank - 1]


def _usage_rows(models: Iterable[tuple]) -> list[dict[str, Any]]:
    """The answer from, per model, (model, its Totals, errors, a list of the durations of its
    timed calls in any order, sorted here in place): the models with the most calls first, ties
    by name (the calls without a model last among equals)."""
    out_rows = []
    for model, sums, errors, durations in models:
        totals = sums.as_json()
        durations.sort()
        out_rows.append({
            "model": model,
            "calls": totals["llm_calls"],
            "input_tokens": totals["input_tokens"],
            "output_tokens": totals["output_tokens"],
            "total_tokens": totals["total_tokens"],
            "cost_usd": totals["cost_usd"],
            "unpriced_calls": totals["unpriced_calls"],
            "errors": errors,
            "timed_calls": len(durations),
            "p50_ms": percentile(durations, 50),
            "p95_ms": percentile(durations, 95),
        })
    out_rows.sort(key=lambda r: (-r["calls"], r["model"] is None, r["model"] or ""))
    return out_rows


# -- in the file --------------------------------------------------------------------------------

def _ids_param(ids: Iterable[str]) -> str:
    return json.dumps(list(ids))


def sql_session_summaries(conn: sqlite3.Connection, *, session_id: str | None, app_id: str | None,
                          since: int | None, until: int | None, search: str | None, limit: int,
                          offset: int) -> list[dict[str, Any]]:
    """The summaries of the sessions that pass the filters, newest last activity first (ties by
    id), ``offset`` skipped, at most ``limit``; in the caller's read transaction."""
    where = ["session_id IS NOT NULL", "session_id != ''"]
    params: list[Any] = []
    if session_id is not None:
        where.append("session_id = ?")
        params.append(session_id)
    needle = needle_of(search) if search else ""
    if needle:
        found = {
            row[0]
            for row in conn.execute(
                "SELECT DISTINCT session_id, agent_id, json_extract(record, '$.agent_name') FROM runs"
                f" WHERE {' AND '.join(where)}", params)
            if _matches(needle, row)
        }
        if not found:
            return []
        where.append("session_id IN (SELECT value FROM json_each(?))")
        params.append(_ids_param(sorted(found)))
    having: list[str] = []
    if app_id is not None:
        having.append("sum(app_id = ?) > 0")
        params.append(app_id)
    if since is not None:
        having.append("max(sort_ts) >= ?")
        params.append(since)
    if until is not None:
        having.append("min(coalesce(json_extract(record, '$.started_at'), sort_ts)) <= ?")
        params.append(until)
    counts = ", ".join(f"sum(status = '{s}')" for s in RUN_STATUSES)
    if session_id is None and not needle and app_id is None and until is None:
        # Only the newest sessions: found from the newest runs, without grouping every run.
        ids = _newest_sessions(conn, since, limit + offset)[offset:]
        if not ids:
            return []
        rows = conn.execute(
            f"SELECT session_id, count(*), max(sort_ts), {counts} FROM runs"
            " WHERE session_id IN (SELECT value FROM json_each(?)) GROUP BY session_id", (_ids_param(ids),)).fetchall()
        by_id = {row[0]: row for row in rows}
        base = [by_id[sid] for sid in ids if sid in by_id]
    else:
        sql = (f"SELECT session_id, count(*), max(sort_ts), {counts} FROM runs WHERE {' AND '.join(where)}"
               " GROUP BY session_id" + (f" HAVING {' AND '.join(having)}" if having else "")
               + " ORDER BY max(sort_ts) DESC, session_id LIMIT ? OFFSET ?")
        params.extend((limit, offset))
        base = conn.execute(sql, params).fetchall()
    if not base:
        return []
    ids = _ids_param(row[0] for row in base)
    details: dict[str, tuple[Any, list[Any]]] = {}
    for sid, first, agents in conn.execute(
        "SELECT session_id, min(coalesce(json_extract(record, '$.started_at'), nullif(sort_ts, 0))),"
        " json_group_array(DISTINCT json_extract(record, '$.agent_name'))"
        " FROM runs WHERE session_id IN (SELECT value FROM json_each(?)) GROUP BY session_id", (ids,)):
        details[sid] = (first, json.loads(agents))
    # One max() and a bare column: SQLite gives the app_id of the newest run that has one.
    apps = dict(
        (sid, app) for sid, app, _ in conn.execute(
            "SELECT session_id, app_id, max(sort_ts) FROM runs WHERE session_id IN (SELECT value FROM json_each(?))"
            " AND app_id IS NOT NULL GROUP BY session_id", (ids,)))
    totals: dict[str, Totals] = {row[0]: Totals() for row in base}
    # Summed in SQL as Totals sums: costs in whole units of 10^-12 USD, NULL while none is priced.
    for sid, calls, inp, out, total, pico, unpriced in conn.execute(
        "SELECT s.session_id, sum(l.calls), sum(l.input_tokens), sum(l.output_tokens), sum(l.total_tokens),"
        f" sum(CAST(round(l.cost_usd * {PICO}) AS INTEGER)), sum(l.unpriced)"
        " FROM (SELECT DISTINCT session_id, root_run_id FROM runs"
        "       WHERE session_id IN (SELECT value FROM json_each(?))) s"
        " JOIN runs m ON m.root_run_id = s.root_run_id"
        " JOIN llm_calls l ON l.run_key = m.run_key GROUP BY s.session_id", (ids,)):
        totals[sid].add_row(calls, inp, out, total, None if pico is None else pico / PICO, unpriced)
    out = []
    for sid, runs, last, *status_counts in base:
        first, agents = details.get(sid, (None, []))
        out.append(_summary(sid, runs, first, last, dict(zip(RUN_STATUSES, status_counts)), apps.get(sid),
                            agents, totals[sid]))
    return out


def _newest_sessions(conn: sqlite3.Connection, since: int | None, count: int) -> list[str]:
    """The ``count`` sessions whose newest run is newest (ties by id), whose newest run is at
    ``since`` or later when given: read from the runs in order of ``sort_ts``, newest first, ties
    by session id (the order of their index), up to the ``count``-th session met: a session's
    first run met is its newest, and one not met by then ranks after every session met."""
    if count <= 0:
        return []
    found: dict[str, None] = {}
    sql = ("SELECT session_id FROM runs INDEXED BY runs_session_order"
           " WHERE session_id IS NOT NULL AND session_id != ''")
    params: list[Any] = []
    if since is not None:
        sql += " AND sort_ts >= ?"
        params.append(since)
    cursor = conn.execute(sql + " ORDER BY sort_ts DESC, session_id", params)
    try:
        while len(found) < count:
            rows = cursor.fetchmany(256)
            if not rows:
                break
            for (sid,) in rows:
                found[sid] = None
                if len(found) == count:
                    break
    finally:
        cursor.close()
    return list(found)


def sql_session_heads(conn: sqlite3.Connection, session_id: str) -> list[str]:
    """The heads of the session's trees: the root of each run of the session when it is stored,
    else each run of the session whose parent is not one of the session's runs; in the caller's
    read transaction, in no particular order."""
    roots = [row[0] for row in conn.execute(
        "SELECT DISTINCT root_run_id FROM runs WHERE session_id = ? AND root_run_id IS NOT NULL", (session_id,))]
    if not roots:
        return []
    stored = {row[0] for row in conn.execute(
        "SELECT run_id FROM runs WHERE run_id IN (SELECT value FROM json_each(?))", (_ids_param(roots),))}
    heads = [root for root in roots if root in stored]
    missing = [root for root in roots if root not in stored]
    if missing:
        heads += [row[0] for row in conn.execute(
            "SELECT r.run_id FROM runs r WHERE r.session_id = ? AND r.root_run_id IN (SELECT value FROM json_each(?))"
            " AND (r.parent_run_id IS NULL OR NOT EXISTS"
            "      (SELECT 1 FROM runs p WHERE p.run_id = r.parent_run_id AND p.session_id = ?))",
            (session_id, _ids_param(missing), session_id))]
    return heads


# Each model's calls in a window, read from the index of the calls by model and time alone.
_MODEL_USAGE = ("SELECT sum(calls), sum(input_tokens), sum(output_tokens), sum(total_tokens), sum(cost_pico),"
                " sum(unpriced), sum(failed_calls), group_concat(timed_ms) FROM llm_calls INDEXED BY llm_calls_usage"
                " WHERE {} AND at_ms >= ? AND at_ms <= ?")
_USAGE_OF_MODEL = _MODEL_USAGE.format("model = ?")
_USAGE_OF_NO_MODEL = _MODEL_USAGE.format("model IS NULL")
# The models of calls that have a time, one after another in the index's order.
_FIRST_MODEL = ("SELECT model FROM llm_calls INDEXED BY llm_calls_usage"
                " WHERE model IS NOT NULL AND at_ms IS NOT NULL ORDER BY model LIMIT 1")
_NEXT_MODEL = ("SELECT model FROM llm_calls INDEXED BY llm_calls_usage"
               " WHERE model > ? AND at_ms IS NOT NULL ORDER BY model LIMIT 1")
_INT64_MAX = 2**63 - 1


def sql_usage(conn: sqlite3.Connection, since: int, until: int | None) -> list[dict[str, Any]]:
    """Per model, the calls whose time is in [since, until] (inclusive; no upper bound when
    ``until`` is None); in the caller's read transaction. Each model's calls in the window are
    one range of the index `llm_calls_usage`, summed in SQL; only the durations of its timed
    calls come back (one text) for the percentiles."""
    window = (since, _INT64_MAX if until is None else until)
    found = []
    row = conn.execute(_USAGE_OF_NO_MODEL, window).fetchone()
    if row[0] is not None:
        found.append((None, row))
    model = conn.execute(_FIRST_MODEL).fetchone()
    while model is not None:
        name = model[0]
        row = conn.execute(_USAGE_OF_MODEL, (name, *window)).fetchone()
        if row[0] is not None:
            found.append((name, row))
        model = conn.execute(_NEXT_MODEL, (name,)).fetchone()
    out = []
    for name, (calls, inp, outp, total, pico, unpriced, errors, timed) in found:
        sums = Totals()
        sums.add_sums(calls, inp, outp, total, pico, unpriced)
        out.append((name, sums, errors, json.loads(f"[{timed}]") if timed is not None else []))
    return _usage_rows(out)


# -- in memory ----------------------------------------------------------------------------------

def memory_session_summaries(records: list[Any], numbers: dict[str, tuple], *, session_id: str | None,
                             app_id: str | None, since: int | None, until: int | None, search: str | None,
                             limit: int, offset: int) -> list[dict[str, Any]]:
    """``sql_session_summaries`` over run records (every stored one) and the numbers of their
    LLM calls (run id -> (calls, input, output, total tokens, cost_usd, unpriced))."""
    sessions: dict[str, list[Any]] = {}
    by_root: dict[str, list[str]] = {}
    for record in records:
        by_root.setdefault(record.root_run_id, []).append(record.run_id)
        sid = record.session_id
        if isinstance(sid, str) and sid and (session_id is None or sid == session_id):
            sessions.setdefault(sid, []).append(record)
    needle = needle_of(search) if search else ""
    rows = []
    for sid, runs in sessions.items():
        last = max(r.updated_at or 0 for r in runs)
        starts = [r.started_at if r.started_at is not None else r.updated_at for r in runs]
        first = min((s for s in starts if s is not None), default=None)
        if needle and not _matches(needle, [sid, *(v for r in runs for v in (r.agent_id, r.agent_name))]):
            continue
        if app_id is not None and not any((r.meta or {}).get("app_id") == app_id for r in runs):
            continue
        if since is not None and last < since:
            continue
        if until is not None and (first if first is not None else last) > until:
            continue
        rows.append((sid, runs, first, last))
    rows.sort(key=lambda row: row[0])
    rows.sort(key=lambda row: row[3], reverse=True)
    out = []
    for sid, runs, first, last in rows[offset:offset + limit]:
        statuses: dict[str, int] = {}
        for r in runs:
            statuses[r.status] = statuses.get(r.status, 0) + 1
        newest = sorted(runs, key=lambda r: r.updated_at or 0, reverse=True)
        app = next((a for r in newest if isinstance(a := (r.meta or {}).get("app_id"), str)), None)
        totals = Totals()
        for root in dict.fromkeys(r.root_run_id for r in runs):
            for member in by_root.get(root, ()):
                row = numbers.get(member)
                if row is not None:
                    totals.add_row(*row)
        out.append(_summary(sid, len(runs), first, last, statuses, app, (r.agent_name for r in runs), totals))
    return out


def memory_session_heads(records: list[Any], session_id: str) -> list[str]:
    """``sql_session_heads`` over run records (every stored one)."""
    known = {r.run_id for r in records}
    mine = [r for r in records if r.session_id == session_id]
    ids = {r.run_id for r in mine}
    heads: dict[str, None] = {}
    for r in mine:
        root = r.root_run_id
        if root in known:
            heads[root] = None
        elif r.parent_run_id is None or r.parent_run_id not in ids:
            heads[r.run_id] = None
    return list(heads)


def memory_usage(calls: Iterable[tuple[str, Any, tuple]], since: int, until: int | None) -> list[dict[str, Any]]:
    """``sql_usage`` over (run id, its record or None, its call row: ``_llm.row_of``)."""
    from ._llm import NUMBERS

    models: dict[Any, list] = {}  # model -> [its Totals, errors, durations]
    for run_id, record, row in calls:
        at_ms = row[8]
        if at_ms is None or at_ms < since or (until is not None and at_ms > until):
            continue
        numbers = row[NUMBERS]
        _, failed_calls, timed_ms = usage_columns(numbers[0], numbers[4], run_facts(run_id, record))
        entry = models.get(row[0])
        if entry is None:
            entry = models[row[0]] = [Totals(), 0, []]
        entry[0].add_row(*numbers)
        entry[1] += failed_calls
        if timed_ms is not None:
            entry[2].append(timed_ms)
    return _usage_rows((model, *entry) for model, entry in models.items())
