"""The listener's reads over its desk: pages of runs and events, run trees, descendant totals.

Plain functions of a ``RuntimeTraceDesk`` whose reads go to the log service: no HTTP here. The
endpoints (``views``) run them on the reader thread and turn what they return into answers.
Run records are the desk's resolved copies, as every read of the desk gives them; the run routes
answer each as a ``RunAnswer``, with the run's LLM call and its totals (stored at ingest by the
log service: here they are read, never computed from events).
"""

from __future__ import annotations

import json
from collections.abc import Iterator
from typing import Any

from ..logs._llm import Totals
from .params import encode_cursor
from .responses import JSONText, RunAnswer

__all__ = [
    "SORTS",
    "RunsPage",
    "StoredRun",
    "Subtree",
    "event_total",
    "events_page",
    "flat_tree",
    "nested_tree",
    "run_answer",
    "run_answers",
    "run_event_texts",
    "settled",
    "runs_page",
    "subtree",
]

# Orders of GET /runs: the store's (newest update first), by start, and by the LLM totals of each
# run with its descendants or the run's duration (largest first, unless ascending; runs without a
# value last either way).
SORTS = ("updated", "started", "cost", "tokens", "duration")


# -- runs with their LLM calls ------------------------------------------------------------------

def run_answers(desk: Any, records: list[Any], totals: dict[str, dict[str, Any]] | None = None) -> list[RunAnswer]:
    """The records with their LLM calls and totals (two reads of the log service)."""
    if not records:
        return []
    service = desk.log_service
    ids = [r.run_id for r in records]
    texts = service.llm_call_texts(ids)
    if totals is None:
        totals = service.llm_totals(ids)
    return [RunAnswer(r, texts.get(r.run_id), totals[r.run_id]) for r in records]


def run_answer(desk: Any, record: Any) -> RunAnswer:
    return run_answers(desk, [record])[0]


def _duration(record: Any) -> int | None:
    end = record.completed_at or record.failed_at
    start = record.started_at
    if end is None or start is None:
        return None
    return max(0, end - start)


# -- pages ------------------------------------------------------------------------------------

def events_page(events: list[Any], limit: int, offset: int) -> tuple[list[Any], str | None]:
    """The newest ``limit`` events before the ``offset`` newest ones, oldest first, and the
    cursor of the next (older) page. ``events`` holds the newest ``offset + limit + 1``."""
    older = len(events) > offset + limit
    end = len(events) - offset
    rows = events[max(0, end - limit):max(0, end)]
    return rows, encode_cursor(offset + limit) if older else None


def run_event_texts(desk: Any, run_id: str, descendants: bool, limit: int) -> list[str]:
    """The newest ``limit`` events of the run (with its descendants' when asked), oldest first,
    as the JSON of each (``model_dump_json()``): the events ``desk.query_events(run_id=,
    include_descendants=, limit=)`` gives, read as the log service does for the desk, written
    from the JSON the file keeps."""
    service = desk.log_service
    if descendants:
        run_ids = service.collect_descendant_run_ids(run_id)
        if run_ids is not None and not isinstance(run_ids, list):
            raise TypeError(f"collect_descendant_run_ids returned {type(run_ids).__name__}, not a list")
    else:
        run_ids = [run_id]
    return service.query_event_texts(run_ids=run_ids, run_id=run_id if run_ids is None else None, limit=limit)


def runs_page(desk: Any, query: dict[str, Any], limit: int, offset: int,
              environment: str | None, order: str, *, model: str | None = None,
              ascending: bool = False, top: bool = False,
              steady: list[bool] | None = None) -> tuple[list[RunAnswer], str | None]:
    """One page of runs matching ``query`` (the ``list_runs`` filters), each with its LLM call
    and totals, and the cursor of the next page. ``order`` is one of ``SORTS``: "updated" (the
    store's order: newest update first; ``ascending`` does not apply), "started" (newest start
    first), "cost" and "tokens" (of the run's LLM calls with its descendants'), "duration" (of
    an ended run). ``model``: only runs whose LLM call names this model. ``top``: only runs
    without a parent run (each with its tree's totals, as every run). ``steady``, when given,
    gets one item: whether the page's runs and their order are ``clock_free``."""
    want = offset + limit + 1
    keep = None
    if environment is not None or model is not None or top:
        models = desk.log_service.llm_model_runs(model) if model is not None else None

        def keep(r: Any) -> bool:
            if top and r.parent_run_id is not None:
                return False
            if environment is not None and (r.meta or {}).get("environment") != environment:
                return False
            return models is None or r.run_id in models

        if models is not None and not models:
            if steady is not None:
                steady.append(True)
            return [], None
    totals = None
    if order != "updated":
        # Every match is read, then sorted (the store orders by update), ties by run id.
        records = desk.query_runs(**query)
        if keep is not None:
            records = [r for r in records if keep(r)]
        records.sort(key=lambda r: r.run_id)
        if order == "started":
            records.sort(key=lambda r: r.started_at or 0, reverse=not ascending)
        elif order == "duration":
            _sort_missing_last(records, _duration, ascending)
        else:
            totals = desk.log_service.llm_totals([r.run_id for r in records])
            field = "cost_usd" if order == "cost" else "total_tokens"

            def value(r: Any) -> Any:
                figure = totals[r.run_id][field]
                # A tree without calls has no tokens to sort by (its 0 is "none").
                return None if figure is None or totals[r.run_id]["llm_calls"] == 0 else figure

            _sort_missing_last(records, value, ascending)
    elif keep is None:
        records = desk.query_runs(limit=want, **query)
    else:
        records = _runs_matching(desk, query, keep, want)
    if steady is not None:
        steady.append(clock_free(records, query.get("status"), order))
    rows = records[offset:offset + limit]
    next_cursor = encode_cursor(offset + limit) if len(records) > offset + limit else None
    return run_answers(desk, rows, totals), next_cursor


# Meta that judgement writes into a run it reports failed (the time it did so among them).
_JUDGED_META = ("devtools_stale_reason", "devtools_stale_detected_at")


def judged(record: Any) -> bool:
    """Whether the clock may have a part in ``record`` (a resolved record): an open run, which
    judgement reports failed once it has been quiet long enough, or one it reports so now."""
    if record.status not in _SETTLED:
        return True
    meta = record.meta
    return bool(meta) and any(key in meta for key in _JUDGED_META)


def clock_free(records: list[Any], status: Any, order: str) -> bool:
    """Whether a read of runs that gave ``records`` (every record it judged; ``status`` its status
    filter, ``order`` its order) gives the same runs in the same order while the stored runs are
    unchanged, whatever the clock, though an open run's record may read otherwise: no filter
    may admit or leave out the runs judgement reports failed (an open run left out now may be
    one tomorrow), and with open runs the order may not be by duration (a run judged failed
    ends when it is judged so)."""
    if status is not None and str(status) not in ("completed", "waiting"):
        return False
    return order != "duration" or not any(judged(r) for r in records)


class RunsPage:
    """A page of ``GET /runs`` as its text, for keeping while the stored runs are unchanged (a
    page whose runs and order are ``clock_free``): the rows of settled runs as written once, an
    open run's row written again from the desk's judgement of it each time the page is."""

    __slots__ = ("_parts", "_open", "_text")

    def __init__(self, rows: list[RunAnswer], next_cursor: str | None) -> None:
        parts = ['{"runs":[']
        self._open: list[tuple[int, RunAnswer]] = []
        for i, row in enumerate(rows):
            if i:
                parts.append(",")
            if judged(row.record):
                self._open.append((len(parts), row))
            parts.append(row.json())
        parts.append(f'],"next_cursor":{json.dumps(next_cursor)}}}')
        self._text = "".join(parts)
        # The pieces are needed only to write the open runs' rows again.
        self._parts = parts if self._open else []

    def __len__(self) -> int:
        return len(self._text)

    def text(self) -> str:
        """The page as it was written."""
        return self._text

    def again(self, desk: Any) -> str:
        """The page written again now: its open runs judged again (the clock moved)."""
        if not self._open:
            return self._text
        parts = self._parts[:]
        for position, row in self._open:
            record = desk.get_run(row.run_id)
            if record is None:  # gone since (the page is kept only while the file is unchanged)
                return self._text
            parts[position] = RunAnswer(record, row.llm, row.totals).json()
        return "".join(parts)


def _sort_missing_last(records: list[Any], value: Any, ascending: bool) -> None:
    """Sorts in place by ``value`` (stable), records whose value is None last."""
    keyed = [(value(r), r) for r in records]
    present = [(v, r) for v, r in keyed if v is not None]
    present.sort(key=lambda item: item[0], reverse=not ascending)
    records[:] = [r for _, r in present] + [r for v, r in keyed if v is None]


def _runs_matching(desk: Any, query: dict[str, Any], keep: Any, want: int) -> list[Any]:
    """Runs of the query that ``keep`` keeps; asks for more rows until it has ``want`` of them
    or the query has no more."""
    ask = max(want * 2, 200)
    while True:
        records = desk.query_runs(limit=ask, **query)
        matching = [r for r in records if keep(r)]
        if len(matching) >= want or len(records) < ask:
            return matching[:want]
        ask *= 4


# -- trees ------------------------------------------------------------------------------------

Subtree = tuple[Any, dict[str, list[Any]], list[Any]]

# Statuses that judgement leaves as they are: a record with one of them is answered as stored.
_SETTLED = frozenset(("completed", "failed", "waiting"))


class StoredRun:
    """A run of a tree whose record judgement leaves as it is: its links, its update time, and
    its record's JSON as stored (what ``model_dump_json`` of the record gives)."""

    __slots__ = ("run_id", "parent_run_id", "root_run_id", "status", "updated_at", "_text")

    def __init__(self, run_id: str, parent_run_id: str | None, root_run_id: str | None, status: str,
                 updated_at: int, text: str) -> None:
        self.run_id = run_id
        self.parent_run_id = parent_run_id
        self.root_run_id = root_run_id
        self.status = status
        self.updated_at = updated_at
        self._text = text

    def model_dump_json(self) -> str:
        return self._text


def _root_group(desk: Any, root_id: str) -> list[Any]:
    """The runs of a root as ``desk.query_runs(root_run_id=root_id)`` gives them (its order, its
    judgement), in one read of their rows: a settled run as its stored JSON (``StoredRun``); when
    some are still open, that query's records of those."""
    service = desk.log_service
    group: list[Any] = []
    open_ids: list[str] = []
    for run_id, parent, root, status, updated, text, exact in service.root_run_rows(root_id):
        if exact and status in _SETTLED:
            group.append(StoredRun(run_id, parent, root, status, updated, text))
        else:
            group.append(run_id)
            open_ids.append(run_id)
    if open_ids:
        # Judged as the root's query judges them: in one batch with the whole group.
        judged = {record.run_id: record for record in desk.query_runs(root_run_id=root_id)}
        group = [judged.get(item) if type(item) is str else item for item in group]
        group = [item for item in group if item is not None]
    return group


def subtree(desk: Any, run_id: str, *, as_stored: bool = False) -> Subtree | None:
    """(the run, children by parent id, runs of its root not reachable from it) in two reads:
    the runs of the run's root (one read of their rows; the root's query too when some are still
    open) and the run's descendant ids (the log service's parent links). The tree means what
    ``get_run_tree`` means: children are the runs naming their parent, in the desk's order
    (newest update first); a descendant filed under another root is fetched by itself.
    ``as_stored``: settled runs of the root come as ``StoredRun`` (their links and JSON alone,
    for answers that write them), the others as records; else every run is a record."""
    run = desk.get_run(run_id)
    if run is None:
        return None
    root_id = run.root_run_id or run.run_id
    group = _root_group(desk, root_id) if as_stored else desk.query_runs(root_run_id=root_id)
    position = {r.run_id: i for i, r in enumerate(group)}
    records = {r.run_id: r for r in group}
    records[run.run_id] = records.get(run.run_id, run)
    descendant_ids = desk.log_service.collect_descendant_run_ids(run_id)
    for rid in descendant_ids:
        if rid not in records:
            other = desk.get_run(rid)
            if other is not None:
                records[rid] = other
                position[rid] = len(position)
    children: dict[str, list[Any]] = {}
    for rid in descendant_ids:
        record = records.get(rid)
        if record is None or rid == run_id or record.parent_run_id is None:
            continue
        children.setdefault(record.parent_run_id, []).append(record)
    for kids in children.values():
        # The log service's order: newest update first (the root query's order among equals).
        kids.sort(key=lambda r: (-(r.updated_at or 0), position.get(r.run_id, len(position))))
    detached: list[Any] = []
    if root_id == run_id:
        reachable = set(descendant_ids)
        detached = [r for r in group if r.run_id not in reachable]
    return records[run.run_id], children, detached


def settled(tree: Subtree) -> bool:
    """Whether every run of the tree is a settled run as stored (``StoredRun``): its answer then
    depends on the stored runs alone, not on the clock of a judgement. (A judged record that
    reads "failed" may have been judged so just now.)"""
    run, children, detached = tree
    return (type(run) is StoredRun and all(type(r) is StoredRun for kids in children.values() for r in kids)
            and all(type(r) is StoredRun for r in detached))


def walk(run: Any, children: dict[str, list[Any]]) -> Iterator[tuple[Any, int]]:
    """(record, depth) depth first, each run once (a parent cycle cannot loop)."""
    seen = {run.run_id}
    stack = [(run, 0)]
    while stack:
        record, depth = stack.pop()
        yield record, depth
        for child in reversed(children.get(record.run_id, ())):
            if child.run_id not in seen:
                seen.add(child.run_id)
                stack.append((child, depth + 1))


def _tree_answers(desk: Any, order: list[tuple[Any, int]]) -> dict[str, RunAnswer]:
    """Each run of a walked tree as a ``RunAnswer`` whose totals are those of its subtree in
    this tree (one read of the calls of all its runs, one of the numbers of those with calls)."""
    service = desk.log_service
    ids = [record.run_id for record, _ in order]
    texts = service.llm_call_texts(ids)
    # Only a run with a stored call has numbers of its own: the others add nothing to a sum.
    own = service.llm_totals(list(texts), descendants=False) if texts else {}
    sums: dict[str, Totals] = {}
    if own:
        # Children come after their parent in the walk: summed from the deepest up.
        parents: list[str | None] = []
        stack: list[str] = []
        for record, depth in order:
            del stack[depth:]
            parents.append(stack[-1] if stack else None)
            stack.append(record.run_id)
        for (record, _), parent in zip(reversed(order), reversed(parents), strict=True):
            totals = sums.get(record.run_id)
            mine = own.get(record.run_id)
            if mine is not None:
                if totals is None:
                    totals = sums[record.run_id] = Totals()
                totals.add_row(mine["llm_calls"], mine["input_tokens"], mine["output_tokens"],
                               mine["total_tokens"], mine["cost_usd"], mine["unpriced_calls"])
            if totals is not None and parent is not None:
                above = sums.get(parent)
                if above is None:
                    above = sums[parent] = Totals()
                above.add(totals)
    out = {}
    none = Totals().as_json()  # the totals of a subtree without calls
    for record, _ in order:
        rid = record.run_id
        totals = sums.get(rid)
        out[rid] = RunAnswer(record, texts.get(rid), dict(none) if totals is None else totals.as_json())
    return out


def nested_tree(tree: Subtree, desk: Any) -> JSONText:
    """``{"run", "children": [...]}`` nested, as JSON text written in one depth-first pass (no
    recursion: a run chain may be very deep); each run with its LLM call and its subtree's
    totals."""
    run, children, _ = tree
    order = list(walk(run, children))
    answers = _tree_answers(desk, order)
    out: list[str] = []
    append = out.append
    depth_before = -1
    for record, depth in order:
        if depth <= depth_before:
            # The nodes open from the one before down to this one's parent are complete.
            append("]}" * (depth_before - depth + 1))
            append(",")
        append('{"run":')
        append(answers[record.run_id].json())
        append(',"children":[')
        depth_before = depth
    append("]}" * (depth_before + 1))
    return JSONText("".join(out))


def flat_tree(tree: Subtree, desk: Any) -> dict[str, Any]:
    """``{"root_run_id", "nodes": [{"run", "depth", "parent_run_id"}] (depth first),
    "detached": [...]}``, each run with its LLM call and its subtree's totals."""
    run, children, detached = tree
    order = list(walk(run, children))
    answers = _tree_answers(desk, order)
    nodes = [{"run": answers[record.run_id], "depth": depth, "parent_run_id": record.parent_run_id}
             for record, depth in order]
    return {"root_run_id": run.root_run_id or run.run_id, "nodes": nodes,
            "detached": run_answers(desk, detached)}


def event_total(desk: Any, record: Any, descendants: bool) -> int:
    """The events the run's record counts, with its descendants' when asked (one look-up of
    the descendant ids and one query for the records of the run's root)."""
    if not descendants:
        return record.event_count
    service = desk.log_service
    wanted = set(service.collect_descendant_run_ids(record.run_id))
    root_id = record.root_run_id or record.run_id
    total = 0
    seen: set[str] = set()
    for other in desk.query_runs(root_run_id=root_id):
        if other.run_id in wanted:
            total += other.event_count
            seen.add(other.run_id)
    for run_id in wanted - seen:  # a descendant filed under another root
        other = desk.get_run(run_id)
        if other is not None:
            total += other.event_count
    return total
