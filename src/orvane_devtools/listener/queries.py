"""The listener's reads over its desk: pages of runs and events, run trees, descendant totals.

Plain functions of a ``RuntimeTraceDesk`` whose reads go to the log service: no HTTP here. The
endpoints (``views``) run them on the reader thread and turn what they return into answers.
Run records are the desk's resolved copies, as every read of the desk gives them.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

from .params import encode_cursor

__all__ = [
    "Subtree",
    "event_total",
    "events_page",
    "flat_tree",
    "nested_tree",
    "runs_page",
    "subtree",
]


# -- pages ------------------------------------------------------------------------------------

def events_page(events: list[Any], limit: int, offset: int) -> tuple[list[Any], str | None]:
    """The newest ``limit`` events before the ``offset`` newest ones, oldest first, and the
    cursor of the next (older) page. ``events`` holds the newest ``offset + limit + 1``."""
    older = len(events) > offset + limit
    end = len(events) - offset
    rows = events[max(0, end - limit):max(0, end)]
    return rows, encode_cursor(offset + limit) if older else None


def runs_page(desk: Any, query: dict[str, Any], limit: int, offset: int,
              environment: str | None, order: str) -> tuple[list[Any], str | None]:
    """One page of runs matching ``query`` (the ``list_runs`` filters) and the cursor of the
    next page. ``order`` is "updated" (the store's order: newest update first) or "started"."""
    want = offset + limit + 1
    if order == "started":
        # Newest start first: every match is read, then sorted (the store orders by update).
        records = desk.query_runs(**query)
        if environment is not None:
            records = [r for r in records if (r.meta or {}).get("environment") == environment]
        records.sort(key=lambda r: r.run_id)
        records.sort(key=lambda r: r.started_at or 0, reverse=True)
    elif environment is None:
        records = desk.query_runs(limit=want, **query)
    else:
        records = _runs_in_environment(desk, query, environment, want)
    rows = records[offset:offset + limit]
    next_cursor = encode_cursor(offset + limit) if len(records) > offset + limit else None
    return rows, next_cursor


def _runs_in_environment(desk: Any, query: dict[str, Any], environment: str, want: int) -> list[Any]:
    """Runs of the query whose meta names this environment; asks for more rows until it has
    ``want`` of them or the query has no more."""
    ask = max(want * 2, 200)
    while True:
        records = desk.query_runs(limit=ask, **query)
        matching = [r for r in records if (r.meta or {}).get("environment") == environment]
        if len(matching) >= want or len(records) < ask:
            return matching[:want]
        ask *= 4


# -- trees ------------------------------------------------------------------------------------

Subtree = tuple[Any, dict[str, list[Any]], list[Any]]


def subtree(desk: Any, run_id: str) -> Subtree | None:
    """(the run, children by parent id, runs of its root not reachable from it) in two reads:
    the resolved records of the run's root (one query, one judgement batch) and the run's
    descendant ids (the log service's parent links). The tree means what ``get_run_tree``
    means: children are the runs naming their parent, in the desk's order (newest update
    first); a descendant filed under another root is fetched by itself."""
    run = desk.get_run(run_id)
    if run is None:
        return None
    root_id = run.root_run_id or run.run_id
    group = desk.query_runs(root_run_id=root_id)
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


def nested_tree(tree: Subtree) -> dict[str, Any]:
    """``{"run", "children": [...]}`` nested, built in one depth-first pass (no recursion: a run
    chain may be very deep)."""
    run, children, _ = tree
    top: dict[str, Any] | None = None
    open_nodes: list[dict[str, Any]] = []
    for record, depth in walk(run, children):
        node = {"run": record, "children": []}
        del open_nodes[depth:]
        if open_nodes:
            open_nodes[-1]["children"].append(node)
        else:
            top = node
        open_nodes.append(node)
    assert top is not None
    return top


def flat_tree(tree: Subtree) -> dict[str, Any]:
    """``{"root_run_id", "nodes": [{"run", "depth", "parent_run_id"}] (depth first),
    "detached": [...]}``."""
    run, children, detached = tree
    nodes = [{"run": record, "depth": depth, "parent_run_id": record.parent_run_id}
             for record, depth in walk(run, children)]
    return {"root_run_id": run.root_run_id or run.run_id, "nodes": nodes, "detached": detached}


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
