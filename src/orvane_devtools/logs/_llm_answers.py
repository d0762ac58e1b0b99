"""The log service's answers about LLM calls, sessions and usage: the part of
``RuntimeLogService`` that reads the ``llm_calls`` table and the sessions of the runs.

``LlmAnswers`` is a base of ``RuntimeLogService``; its methods check their arguments and ask the
store (``self._store``, either store of ``_store.py``), as the service's other reads do.
"""

from __future__ import annotations

import json
from typing import Any

from ._common import check_int, check_text, type_error
from ._llm import Totals

__all__ = ["LlmAnswers"]


class LlmAnswers:
    """LLM calls, their totals, sessions and usage, read from the service's store."""

    _store: Any

    # -- LLM calls ---------------------------------------------------------------------------

    def llm_calls(self, run_ids: list[str]) -> dict[str, dict[str, Any]]:
        """run id -> its LLM call (``LlmCall.as_json()``), for the runs of ``run_ids`` that have
        one: the call folded from every piece its events brought (``append_events(calls=)``),
        priced at the call's time unless the producer reported the cost."""
        return {rid: json.loads(text) for rid, text in self.llm_call_texts(run_ids).items()}

    def llm_call_texts(self, run_ids: list[str]) -> dict[str, str]:
        """``llm_calls`` as the JSON texts the store keeps (for answers that embed them)."""
        return self._store.llm_call_texts(_check_ids(run_ids))

    def llm_totals(self, run_ids: list[str], *, descendants: bool = True) -> dict[str, dict[str, Any]]:
        """run id -> the totals of the LLM calls of the run and all its descendants (as
        ``collect_descendant_run_ids`` finds them; the run's own with ``descendants=False``):
        ``{"llm_calls", "input_tokens", "output_tokens", "total_tokens", "cost_usd",
        "unpriced_calls"}``. Unknown token counts count as 0; ``cost_usd`` is None when no call
        is priced, and the unpriced calls are counted apart. Every id of ``run_ids`` gets an
        entry (zeros for a run without calls)."""
        store = self._store
        ids = list(dict.fromkeys(_check_ids(run_ids)))
        if descendants:
            rows = store.llm_tree_numbers(ids)
        else:
            numbers = store.llm_numbers(ids)
            rows = {rid: [numbers[rid]] for rid in ids if rid in numbers}
        out: dict[str, dict[str, Any]] = {}
        for rid in ids:
            totals = Totals()
            for row in rows.get(rid, ()):
                totals.add_row(*row)
            out[rid] = totals.as_json()
        return out

    def llm_model_runs(self, model: str) -> set[str]:
        """The ids of the runs whose LLM call's ``model`` (the response model, else the
        request model) is ``model``."""
        if not isinstance(model, str):
            raise type_error("model", "str", model)
        return self._store.llm_model_runs(model)

    # -- sessions and usage ------------------------------------------------------------------

    def session_summaries(
        self,
        *,
        session_id: str | None = None,
        app_id: str | None = None,
        since: int | None = None,
        until: int | None = None,
        search: str | None = None,
        limit: int = 100,
        offset: int = 0,
    ) -> list[dict[str, Any]]:
        """One summary per session (the runs whose ``session_id`` is that non-empty text),
        newest last activity first, ties by id; ``offset`` skipped, at most ``limit``.

        A summary: ``{"session_id", "runs", "first_activity_at", "last_activity_at",
        "statuses": {status: count}, "app_id", "agents", "totals"}``: ``runs`` counts the
        session's runs and ``statuses`` their stored statuses (every status, 0 included);
        the first activity is the earliest start (else update) of a run, the last the latest
        update; ``app_id`` that of the newest run naming one; ``agents`` the distinct agent
        names (sorted, at most 20); ``totals`` (as ``llm_totals``) of the LLM calls of every
        run in the session's trees (the runs sharing a root with one of the session's runs),
        each call once.

        Filters: ``session_id`` (that session only), ``app_id`` (a run of the session has it),
        ``since`` (last activity at or after), ``until`` (first activity at or before),
        ``search`` (trimmed, case-folded substring of the session id or of a run's agent id or
        agent name).
        """
        check_text("session_id", session_id)
        check_text("app_id", app_id)
        check_text("search", search)
        for name, value in (("since", since), ("until", until), ("limit", limit), ("offset", offset)):
            check_int(name, value)
        if limit is None or offset is None:
            raise type_error("limit" if limit is None else "offset", "int", None)
        if limit <= 0:
            return []
        return self._store.session_summaries(session_id=session_id, app_id=app_id, since=since, until=until,
                                             search=search, limit=limit, offset=max(0, offset))

    def session_heads(self, session_id: str) -> list[str]:
        """The ids of the heads of the session's run trees, in no particular order: the root of
        each run of the session when the root is stored, else each run of the session whose
        parent is not one of the session's runs (the trees ``GET /sessions/{id}/export``
        writes); [] for a session no stored run has."""
        if not isinstance(session_id, str):
            raise type_error("session_id", "str", session_id)
        return self._store.session_heads(session_id)

    def llm_usage(self, since: int, until: int | None = None) -> list[dict[str, Any]]:
        """Per model (the run's LLM call's ``model``; null for calls without one), the stored
        calls whose time (epoch ms) is in [``since``, ``until``] (no upper bound when ``until``
        is None), the models with the most calls first: ``{"model", "calls", "input_tokens",
        "output_tokens", "total_tokens", "cost_usd" (None when none is priced),
        "unpriced_calls", "errors" (calls of failed runs), "timed_calls", "p50_ms", "p95_ms"}``.
        A run that made several calls counts them under its last call's model and time. The
        latency figures are the durations of the runs that are one call each (a run of kind
        ``llm`` or a span, ended), by nearest rank; None when there is none."""
        if type(since) is not int:
            raise type_error("since", "int", since)
        check_int("until", until)
        return self._store.llm_usage(since, until)


def _check_ids(run_ids: Any) -> list[str]:
    if not isinstance(run_ids, (list, tuple, set, frozenset)):
        raise type_error("run_ids", "list", run_ids)
    for rid in run_ids:
        if not isinstance(rid, str):
            raise type_error("run_ids", "list of str", rid)
    return list(run_ids)
