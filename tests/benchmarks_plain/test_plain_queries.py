"""The plain run queries resolve stale and orphaned runs as the native facade does: the same
records, statuses and meta keys from list_runs, get_run, get_run_children and get_run_tree."""

from __future__ import annotations

import pytest
import plain.queries as plain_queries
from bench_inprocess import both_builds, dumped, tree_dump

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation import TraceDesk

T0 = 1_760_000_000_000
STALE, ORPHAN = 900_000, 30_000


class Clock:
    """A ``time`` stand-in whose time() reads as the set milliseconds (+0.5 ms, so that
    int(time() * 1000) gives back exactly ``ms``)."""

    def __init__(self, ms: int) -> None:
        self.ms = ms

    def time(self) -> float:
        return (self.ms + 0.5) / 1000

    def monotonic(self) -> float:
        return self.ms / 1000


@pytest.fixture
def clock(monkeypatch):
    c = Clock(T0)
    monkeypatch.setattr(TraceDesk, "time", c)
    monkeypatch.setattr(plain_queries, "time", c)
    return c


def ev(event_type: str, run_id: str, ts: int, parent: str | None = None) -> RuntimeEvent:
    return RuntimeEvent(event_type=event_type, timestamp=ts,
                        run=RuntimeRunContext(run_id=run_id, parent_run_id=parent, run_kind="agent_task"))


# A forest around every rule: a finished root with an orphaned child (updated before the end), a
# child updated after the end, a grandchild under the orphan, a stale run, a run one millisecond
# short of stale, a waiting run long idle, a child whose parent is not stored, and a loop.
END = T0 - 60_000
FOREST = [
    ev("agent_task.completed", "root", END),
    ev("agent_task.started", "orphan", END - 10, parent="root"),
    ev("agent_task.started", "late", END + 1, parent="root"),
    ev("agent_task.started", "grandchild", END - 20, parent="orphan"),
    ev("agent_task.started", "stale", T0 - STALE),
    ev("agent_task.started", "fresh", T0 - STALE + 1),
    ev("agent_task.waiting", "waiting", T0 - 10 * STALE),
    ev("agent_task.started", "lost", END - 10, parent="missing"),
    ev("agent_task.started", "loop-a", END - 10, parent="loop-b"),
    ev("agent_task.started", "loop-b", END - 10, parent="loop-a"),
    ev("agent_task.failed", "failed-root", END - 40_000),
    ev("agent_task.started", "young-orphan", END - 50_000, parent="failed-root"),
]


def test_list_runs_resolves_as_the_native_facade(clock):
    desk, plain = both_builds(FOREST)
    assert dumped(desk.list_runs()) == dumped(plain.list_runs())
    by_id = {r.run_id: r for r in plain.list_runs()}
    assert by_id["orphan"].meta["devtools_stale_reason"] == "orphaned_after_ancestor_terminal"
    assert by_id["grandchild"].meta["devtools_stale_anchor_at"] == END
    assert by_id["stale"].meta["devtools_stale_reason"] == "stale_timeout" and by_id["stale"].failed_at == T0
    assert {by_id[k].status for k in ("late", "fresh", "lost", "loop-a", "loop-b")} == {"running"}
    assert by_id["waiting"].status == "waiting"
    for kwargs in ({"status": "failed"}, {"status": "running", "limit": 2}, {"status": "completed"},
                   {"limit": 0}, {"parent_run_id": "root"}, {"search": "orphan"}):
        assert dumped(desk.list_runs(**kwargs)) == dumped(plain.list_runs(**kwargs)), kwargs


def test_the_orphan_rule_waits_for_its_grace(clock):
    clock.ms = END + ORPHAN - 1
    desk, plain = both_builds(FOREST)
    assert plain.get_run("orphan").status == "running"
    assert dumped(desk.list_runs()) == dumped(plain.list_runs())
    clock.ms = END + ORPHAN
    assert plain.get_run("orphan").status == "failed"
    assert dumped(desk.list_runs()) == dumped(plain.list_runs())


def test_get_run_children_and_trees_match(clock):
    desk, plain = both_builds(FOREST)
    for run_id in ("root", "orphan", "grandchild", "loop-a", "missing", "failed-root"):
        assert dumped(desk.get_run_children(run_id)) == dumped(plain.get_run_children(run_id)), run_id
        assert (desk.get_run(run_id) is None) == (plain.get_run(run_id) is None)
        assert tree_dump(desk.get_run_tree(run_id)) == tree_dump(plain.get_run_tree(run_id)), run_id
    assert plain.get_run_tree("missing") is None


def test_resolution_leaves_the_stored_records_alone(clock):
    _, plain = both_builds(FOREST)
    plain.list_runs()
    assert plain._run_store._runs["orphan"].status == "running"
    assert "devtools_stale_reason" not in plain._run_store._runs["orphan"].meta


@pytest.mark.timeout(10)
def test_a_run_that_is_its_own_descendant_is_visited_once_in_a_tree(clock):
    desk, plain = both_builds(FOREST)
    node = plain.get_run_tree("loop-a")
    assert [c.run.run_id for c in node.children] == ["loop-b"] and node.children[0].children == []
    assert tree_dump(desk.get_run_tree("loop-a")) == tree_dump(node)
