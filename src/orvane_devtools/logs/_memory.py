"""The log service's in-memory store: a run store of its own, as the facade's store keeps events
(a ``DirectLogStore``, see ``_store.py``)."""

from __future__ import annotations

import re
from concurrent.futures import Future
from typing import Any, Literal

from ..observation.StoreBackend import create_observation_store
from ._common import event_text_parts, needle_of, normalize
from ._llm import NUMBERS, RECORD, fold, row_of
from ._sessions import memory_session_heads, memory_session_summaries, memory_usage

__all__ = ["MemoryLogStore"]


def _tail(items: list, limit: int | None) -> list:
    return items if limit is None else items[-limit:]


class MemoryLogStore:
    """Events and run records in a run store made by ``create_observation_store`` (so records are
    derived exactly as the facade's store derives them), bounded by ``max_events`` per ring."""

    persistent: Literal[False] = False
    path: str | None = None

    def __init__(self, settings: Any, max_events: int) -> None:
        self._store = create_observation_store(settings=settings, max_events=max_events)
        # Parent run id -> child run ids in order of first appearance, as the store links them
        # (at a run's first event); answers parent look-ups without scanning every run.
        self._known_runs: set[str] = set()
        self._children: dict[str, list[str]] = {}
        self._appended = 0
        self._held = 0  # events appended since the last reset (the recent ring keeps the newest)
        # run id -> (its LLM call, its folding state, its row's values: see _llm.row_of)
        self._calls: dict[str, tuple[Any, dict[str, Any], tuple]] = {}

    def append(self, events: list, loop: Any = None, calls: list | None = None) -> Future:
        for event in events:
            run = getattr(event, "run", None)
            self._store.append_event(event)
            self._appended += 1
            self._held += 1
            if run is not None and run.run_id not in self._known_runs:
                self._known_runs.add(run.run_id)
                if run.parent_run_id is not None:
                    self._children.setdefault(run.parent_run_id, []).append(run.run_id)
        if calls:
            self._fold_calls(events, calls)
        done: Future = Future()
        done.set_result((len(events), 0))
        return done

    def _fold_calls(self, events: list, calls: list) -> None:
        # (This store keeps every event appended, repeats included: each piece counts.)
        ids = {event.event_id for event in events}
        by_run: dict[str, list] = {}
        for piece in calls:
            if piece.event_id in ids and piece.run_id in self._known_runs:
                by_run.setdefault(piece.run_id, []).append(piece)
        for run_id, pieces in by_run.items():
            held = self._calls.get(run_id)
            call, facts = (None, {}) if held is None else held[:2]
            if call is not None:
                call = _copy_call(call)
            call, facts = fold(call, facts, pieces)
            if call is not None:
                self._calls[run_id] = (call, facts, row_of(call, facts))

    def barrier(self) -> Future:
        done: Future = Future()
        done.set_result(None)
        return done

    def reset(self) -> None:
        self._store.reset()
        self._calls.clear()
        self._known_runs.clear()
        self._children.clear()
        self._held = 0

    def close(self, timeout: float | None = None) -> None:
        pass

    def take_moved_runs(self) -> list[str]:
        return []  # span links are not kept in memory: no run is ever moved

    def stats(self) -> dict[str, Any]:
        return {
            "persistent": False,
            "path": None,
            "events": min(self._held, self._store._max_events),
            "runs": len(self._known_runs),
            "appended_events": self._appended,
        }

    # -- runs --------------------------------------------------------------------------------

    def span_runs(self, keys: list[tuple[str, str]]) -> dict[tuple[str, str], tuple[str, str]]:
        # Span runs by their ids only: the memory store keeps no aliases of its runs.
        found = {}
        for trace_id, span_id in keys:
            rows = self.run_record(f"otel-{trace_id}-{span_id}")
            if rows:
                found[(trace_id, span_id)] = (rows[0].run_id, rows[0].root_run_id)
        return found

    def query_runs(self, values: dict[str, Any]) -> list:
        given = {k for k, v in values.items() if v is not None and k != "limit"}
        limit = values["limit"]
        if given == {"run_id"}:
            rows = self.run_record(values["run_id"])
            return rows if limit is None else rows[:limit]
        if given == {"parent_run_id"}:
            rows = self.child_records(values["parent_run_id"])
            return rows if limit is None else rows[:limit]
        return self._store.list_runs(**values)

    def root_run_rows(self, root_run_id: str) -> list[tuple]:
        values = dict.fromkeys(("run_id", "parent_run_id", "run_kind", "status", "agent_id", "session_id", "app_id",
                                "app_id_pattern", "group_id", "flow_name", "search", "since", "until", "limit"))
        values["root_run_id"] = root_run_id
        return [(r.run_id, r.parent_run_id, r.root_run_id, r.status, r.updated_at or 0, r.model_dump_json(), True)
                for r in self.query_runs(values)]

    def run_record(self, run_id: str) -> list:
        # One run by id: the store's direct look-up gives the same answer as a scan.
        record = self._store.get_run(run_id)
        return [] if record is None else [record]

    def child_records(self, parent: str) -> list:
        rows = [r for r in map(self._store.get_run, self._children.get(parent, ())) if r is not None]
        rows = [r for r in rows if r.parent_run_id == parent]
        rows.sort(key=lambda r: r.updated_at or 0, reverse=True)
        return rows

    def collect_descendant_run_ids(self, run_id: str) -> list[str]:
        return list(self._store._collect_descendant_run_ids(run_id))

    # -- LLM calls ---------------------------------------------------------------------------

    def llm_call_texts(self, run_ids: list[str]) -> dict[str, str]:
        calls = self._calls
        return {rid: calls[rid][2][RECORD] for rid in run_ids if rid in calls}

    def llm_numbers(self, run_ids: list[str]) -> dict[str, tuple]:
        calls = self._calls
        return {rid: calls[rid][2][NUMBERS] for rid in run_ids if rid in calls}

    def llm_tree_numbers(self, run_ids: list[str]) -> dict[str, list[tuple]]:
        calls = self._calls
        out: dict[str, list[tuple]] = {}
        for rid in run_ids:
            if rid not in out:
                out[rid] = [calls[m][2][NUMBERS] for m in self.collect_descendant_run_ids(rid) if m in calls]
        return out

    def llm_model_runs(self, model: str) -> set[str]:
        return {rid for rid, held in self._calls.items() if held[0].model == model}

    # -- sessions and usage ------------------------------------------------------------------

    def keep_while_unchanged(self, key: Any, work: Any) -> Any:
        return work()[0]  # nothing tells here when the store changed

    def session_summaries(self, *, session_id: str | None, app_id: str | None, since: int | None,
                          until: int | None, search: str | None, limit: int, offset: int) -> list[dict[str, Any]]:
        numbers = {rid: held[2][NUMBERS] for rid, held in self._calls.items()}
        return memory_session_summaries(self._store.list_runs(), numbers, session_id=session_id, app_id=app_id,
                                        since=since, until=until, search=search, limit=limit, offset=offset)

    def session_heads(self, session_id: str) -> list[str]:
        return memory_session_heads(self._store.list_runs(), session_id)

    def llm_usage(self, since: int, until: int | None) -> list[dict[str, Any]]:
        held = [(rid, self._store.get_run(rid), entry[2]) for rid, entry in self._calls.items()]
        return memory_usage(held, since, until)

    # -- events ------------------------------------------------------------------------------

    def get_event(self, event_id: str) -> Any:
        return self._store.get_event(event_id)

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
        from .._event_aliases import matches_wavelane_event_type

        if run_ids is not None:
            events = [ev for rid in run_ids for ev in self._store.get_run_events(rid)]
            events.sort(key=lambda ev: ev.timestamp)
        elif run_id is not None:
            events = self._store.get_run_events(run_id)
        else:
            events = self._store.get_recent_events()
        if event_types is not None:
            events = [ev for ev in events if matches_wavelane_event_type(ev.event_type, event_types)]
        if source is not None:
            events = [ev for ev in events if ev.source == source]
        if level is not None:
            events = [ev for ev in events if ev.level == level]
        if app_id is not None:
            events = [ev for ev in events if "app_id" in ev.meta and ev.meta["app_id"] == app_id]
        if group_id is not None:
            events = [ev for ev in events if "group_id" in ev.meta and ev.meta["group_id"] == group_id]
        if app_id_pattern is not None and app_id_pattern.strip():
            try:
                compiled = re.compile(app_id_pattern)
            except re.error:
                events = []
            else:
                events = [
                    ev
                    for ev in events
                    if isinstance(ev.meta.get("app_id"), str) and compiled.search(ev.meta["app_id"])
                ]
        if search is not None and search.strip():
            needle = needle_of(search)
            events = [ev for ev in events if event_has(ev, needle)]
        if since is not None:
            events = [ev for ev in events if ev.timestamp >= since]
        if until is not None:
            events = [ev for ev in events if ev.timestamp <= until]
        events = _tail(list(events), limit)
        return [ev.model_dump_json() for ev in events] if texts else events


def event_has(event: Any, needle: str) -> bool:
    """Whether the needle occurs in one of the event's searched values (its own fields, then its
    run context dumped as JSON), each value on its own."""
    for text in event_text_parts(event, normalize):
        if needle in text:
            return True
    run = event.run
    return run is not None and needle in normalize(run.model_dump(mode="json"))


def _copy_call(call: Any) -> Any:
    """A copy of a kept call to fold into (folding sets fields of the call it is given)."""
    from ..llm import LlmCall

    copy = LlmCall.from_json(call.as_json(), at_ns=call.at_ns) or LlmCall()
    copy.inferred = set(call.inferred)
    return copy
