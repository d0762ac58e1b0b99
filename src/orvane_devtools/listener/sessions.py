"""The listener's reads of sessions and LLM usage: pages of session summaries, one session's
turns, usage per model. Plain functions of a ``RuntimeTraceDesk`` whose reads go to the log
service (no HTTP here); the endpoints (``views.sessions``) run them on the reader thread.

A session's summary comes from the log service (``session_summaries``); its status counts are
those of the desk's resolved records when the session has a run still open (a stale or
orphaned run reads failed there, as on ``/runs``). A session's turns are its run trees, each by
its head (``RuntimeLogService.session_heads``: the root of a run of the session, or, when that
root is not stored, the run's top run among the session's runs; the trees
``GET /sessions/{id}/export`` writes), in order of start.
"""

from __future__ import annotations

from typing import Any

from ..logs._llm import Totals
from ..logs._sessions import RUN_STATUSES
from .params import encode_cursor
from .queries import run_answers
from .responses import RunAnswer

__all__ = ["session_page", "session_turns", "usage"]

_OPEN = ("unknown", "running", "waiting")


def _counts(records: list[Any]) -> dict[str, int]:
    counts = dict.fromkeys(RUN_STATUSES, 0)
    for record in records:
        counts[record.status] = counts.get(record.status, 0) + 1
    return counts


def _resolve(desk: Any, summary: dict[str, Any]) -> None:
    """Replaces the stored status counts by the resolved ones when the session has an open run."""
    if any(summary["statuses"][s] for s in _OPEN):
        summary["statuses"] = _counts(desk.query_runs(session_id=summary["session_id"]))


def session_page(desk: Any, filters: dict[str, Any], limit: int, offset: int) -> tuple[list[dict[str, Any]], str | None]:
    """One page of session summaries (``filters``: ``app_id``, ``since``, ``until``,
    ``search``), newest activity first, and the cursor of the next page."""
    rows = desk.log_service.session_summaries(**filters, limit=limit + 1, offset=offset)
    more = len(rows) > limit
    rows = rows[:limit]
    for row in rows:
        _resolve(desk, row)
    return rows, encode_cursor(offset + limit) if more else None


def session_turns(desk: Any, session_id: str, limit: int, offset: int) -> dict[str, Any] | None:
    """``{"session": summary with "turns", "runs": [RunAnswer of each head, with its tree's
    totals], "next_cursor"}``, ``limit`` heads from ``offset`` in order of start (ties by run
    id); None for a session no stored run has. Only the heads are read as records (and every
    run of the session only when one is still open, for its status counts)."""
    service = desk.log_service
    summaries = service.session_summaries(session_id=session_id, limit=1)
    if not summaries:
        return None
    summary = summaries[0]
    _resolve(desk, summary)
    heads = [record for record in map(desk.get_run, service.session_heads(session_id)) if record is not None]
    heads.sort(key=lambda r: (r.started_at or r.updated_at or 0, r.run_id))
    page = heads[offset:offset + limit]
    answers: list[RunAnswer] = run_answers(desk, page)
    more = len(heads) > offset + limit
    summary["turns"] = len(heads)
    return {"session": summary, "runs": answers, "next_cursor": encode_cursor(offset + limit) if more else None}


def usage(desk: Any, since: int, until: int | None) -> tuple[list[dict[str, Any]], dict[str, Any]]:
    """(per model, the LLM calls whose time is in the window: ``RuntimeLogService.llm_usage``;
    their sums over every model: calls, tokens, cost, unpriced calls, errors)."""
    models = desk.log_service.llm_usage(since, until)
    sums = Totals()
    errors = 0
    for row in models:
        sums.add_row(row["calls"], row["input_tokens"], row["output_tokens"], row["total_tokens"], row["cost_usd"],
                     row["unpriced_calls"])
        errors += row["errors"]
    totals = sums.as_json()
    return models, {"calls": totals.pop("llm_calls"), **totals, "errors": errors}
