"""Stale and orphan resolution of run records, through the facade's queries and its private API."""

from __future__ import annotations

import asyncio
import gc
import sys

import pytest

from desk_queries_helpers import T0, event, feed
from orvane_devtools.observation import TraceDesk

STALE = 900_000
ORPHAN = 30_000


def runs_by_id(records):
    return {r.run_id: r for r in records}


class TestStaleRule:
    def test_exactly_at_threshold_is_stale_one_ms_younger_is_not(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "old", T0 - STALE), event("task.started", "young", T0 - STALE + 1))
        runs = runs_by_id(desk.list_runs())
        old, young = runs["old"], runs["young"]
        assert old.status == "failed"
        assert old.failed_at == T0
        assert old.meta == {"devtools_stale_reason": "stale_timeout", "devtools_stale_detected_at": T0}
        assert young.status == "running"
        assert young.failed_at is None
        assert young.meta == {}

    def test_threshold_from_settings_and_zero_switches_it_off(self, make_desk, clock):
        desk = make_desk({"observation.run_stale_after_seconds": 5})
        feed(desk, event("task.started", "r", T0 - 5_000))
        assert desk.get_run("r").status == "failed"
        off = make_desk({"observation.run_stale_after_seconds": 0})
        feed(off, event("task.started", "r", T0 - 10**9))
        assert off.get_run("r").status == "running"

    def test_started_at_is_the_anchor_when_updated_at_is_zero(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "r", T0))
        record = desk._run_store.get_run("r")
        record.updated_at = 0
        record.started_at = T0 - STALE
        out = desk._resolve_run_record(record, now_ms=T0, cache={}, resolving=set())
        assert out.status == "failed"

    def test_existing_failed_at_is_kept(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "r", T0 - STALE))
        record = desk._run_store.get_run("r")
        record.failed_at = 123
        out = desk._resolve_run_record(record, now_ms=T0, cache={}, resolving=set())
        assert (out.status, out.failed_at) == ("failed", 123)

    def test_waiting_and_untimed_records_are_never_judged(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.waiting", "w", T0 - 10 * STALE))
        record = desk._run_store.get_run("w")
        assert desk.get_run("w").model_dump() == record.model_dump()
        record = record.model_copy(update={"status": "running", "updated_at": None, "started_at": None})
        out = desk._resolve_run_record(record, now_ms=T0 + 10 * STALE, cache={}, resolving=set())
        assert out.model_dump() == record.model_dump()
        assert out is not record


class TestOrphanRule:
    def _family(self, make_desk, child_ts, *, settings=None):
        desk = make_desk(settings or {})
        feed(desk, event("task.started", "root", T0 - 200_000), event("task.completed", "root", T0 - 100_000),
             event("task.started", "child", child_ts, parent="root"))
        return desk

    def test_orphaned_exactly_at_grace_not_one_ms_before(self, make_desk, clock):
        end = T0 - 100_000
        desk = self._family(make_desk, end)
        clock.ms = end + ORPHAN
        child = desk.get_run("child")
        assert child.status == "failed"
        assert child.failed_at == clock.ms
        assert child.meta == {
            "devtools_stale_reason": "orphaned_after_ancestor_terminal",
            "devtools_stale_detected_at": clock.ms,
            "devtools_stale_anchor_at": end,
        }
        clock.ms = end + ORPHAN - 1
        assert desk.get_run("child").status == "running"

    def test_activity_after_the_ancestor_ended_protects_the_child(self, make_desk, clock):
        end = T0 - 100_000
        desk = self._family(make_desk, end + 1, settings={"observation.run_stale_after_seconds": 10**6})
        clock.ms = end + 10**8
        assert desk.get_run("child").status == "running"

    def test_orphan_grace_zero_switches_the_rule_off(self, make_desk, clock):
        desk = self._family(make_desk, T0 - 150_000, settings={"observation.run_orphan_after_seconds": 0})
        assert desk.get_run("child").status == "running"

    def test_stale_wins_and_carries_no_anchor(self, make_desk, clock):
        desk = self._family(make_desk, T0 - STALE - 5)
        child = desk.get_run("child")
        assert child.meta["devtools_stale_reason"] == "stale_timeout"
        assert "devtools_stale_anchor_at" not in child.meta

    def test_open_subtree_is_anchored_at_the_roots_end(self, make_desk, clock):
        end = T0 - 100_000
        desk = make_desk()
        feed(desk, event("task.completed", "root", end),
             event("task.started", "mid", end - 10, parent="root"),
             event("task.started", "leaf", end - 5, parent="mid"))
        for source in (desk.list_runs(), [desk.get_run("leaf"), desk.get_run("mid")], desk.get_run_children("mid")):
            for r in source:
                if r.run_id in ("mid", "leaf"):
                    assert r.status == "failed"
                    assert r.meta["devtools_stale_anchor_at"] == end

    def test_stale_ancestor_ends_at_its_detection_time(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "parent", T0 - STALE - 1),
             event("task.started", "child", T0 - STALE + 10, parent="parent"))
        # The parent is stale (ends now); the child was last active before that end, but the
        # grace has not passed since it.
        child = desk.get_run("child")
        assert child.status == "running"
        cache = {}
        desk._resolve_run_record(desk._run_store.get_run("child"), now_ms=T0, cache=cache, resolving=set())
        assert cache["parent"].failed_at == T0
        assert TraceDesk.RuntimeTraceDesk._terminal_timestamp(cache["parent"]) == T0

    def test_missing_parent_ends_the_walk_quietly(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "child", T0 - 60_000, parent="ghost"))
        assert desk.get_run("child").status == "running"


class TestTerminalTimestamp:
    @pytest.mark.parametrize(
        "fields, expected",
        [
            ({"failed_at": 5, "completed_at": 6, "updated_at": 7, "started_at": 8}, 5),
            ({"failed_at": 0, "completed_at": 6, "updated_at": 7, "started_at": 8}, 6),
            ({"failed_at": None, "completed_at": 0, "updated_at": 7, "started_at": 8}, 7),
            ({"updated_at": 0, "started_at": 0}, 0),
            ({}, None),
            ({"failed_at": 5, "meta": {"devtools_stale_anchor_at": 3}}, 3),
            ({"failed_at": 5, "meta": {"devtools_stale_anchor_at": "3"}}, 5),
        ],
    )
    def test_choice(self, fields, expected):
        from orvane_devtools.observation.Tallybook import RunRecord

        record = RunRecord(run_id="r", root_run_id="r", run_kind="k", **fields)
        assert TraceDesk.RuntimeTraceDesk._terminal_timestamp(record) == expected


class TestBatchAndCopies:
    def test_stored_records_never_change_and_results_are_independent(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "r", T0 - STALE))
        before = desk._run_store.get_run("r").model_dump()
        first = desk.get_run("r")
        first.meta["x"] = 1
        first.status = "completed"
        assert desk._run_store.get_run("r").model_dump() == before
        assert desk.get_run("r").meta == {"devtools_stale_reason": "stale_timeout", "devtools_stale_detected_at": T0}

    def test_a_store_handing_out_its_own_objects_is_not_changed(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.completed", "root", T0 - 100_000),
             event("task.started", "child", T0 - 100_000, parent="root"),
             event("task.started", "old", T0 - STALE))
        held = {r.run_id: r for r in desk._run_store.list_runs()}
        before = {k: v.model_dump() for k, v in held.items()}

        class SharingStore:
            def list_runs(self, **kw):
                return list(held.values())

            def get_run(self, run_id):
                return held.get(run_id)

            def get_run_children(self, run_id):
                return [r for r in held.values() if r.parent_run_id == run_id]

        desk._run_store = SharingStore()
        out = desk.list_runs() + desk.get_run_children("root") + [desk.get_run("old")]
        out.append(desk.get_run_tree("root").children[0].run)
        assert {r.run_id: r.status for r in out} == {"root": "completed", "child": "failed", "old": "failed"}
        assert all(r is not held[r.run_id] for r in out)
        assert {k: v.model_dump() for k, v in held.items()} == before

    def test_one_clock_reading_per_public_call(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.completed", "root", T0 - 100_000),
             *[event("task.started", f"c{i}", T0 - 100_000, parent="root") for i in range(20)])
        for call in (desk.list_runs, lambda: desk.get_run_children("root"), lambda: desk.get_run_tree("root"),
                     lambda: desk.get_run("c3"), lambda: desk.query_runs()):
            clock.reads = 0
            call()
            assert clock.reads == 1

    def test_cache_and_resolving_are_the_callers(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.completed", "root", T0 - 100_000),
             event("task.started", "child", T0 - 100_000, parent="root"))
        raw = desk._get_raw_run_record("child")
        cache, resolving = {}, set()
        out = desk._resolve_run_record(raw, now_ms=T0, cache=cache, resolving=resolving)
        assert set(cache) == {"root", "child"} and cache["child"] is out
        assert resolving == set()
        # A cached entry is answered as is, even None.
        assert desk._resolve_run_record(raw, now_ms=T0, cache=cache, resolving=resolving) is out
        assert desk._resolve_run_record(raw, now_ms=T0, cache={"child": None}, resolving=set()) is None
        # An id under way resolves to None.
        assert desk._resolve_run_record(raw, now_ms=T0, cache={}, resolving={"child"}) is None
        # The ancestor walk reads the cache: a cached running root is no terminal ancestor.
        running_root = cache["root"].model_copy(update={"status": "running"})
        assert desk._find_terminal_ancestor(raw, now_ms=T0, cache={"root": running_root}, resolving=set()) is None
        found = desk._find_terminal_ancestor(raw, now_ms=T0, cache={}, resolving=set())
        assert (found.run_id, found.status) == ("root", "completed")
        assert desk._find_terminal_ancestor(raw, now_ms=T0, cache={}, resolving={"root"}) is None

    def test_duplicates_in_one_batch_are_the_same_object(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "r", T0))
        raw = desk._run_store.get_run("r")
        out = desk._resolve_run_records([raw, raw.model_copy(deep=True)])
        assert len(out) == 2 and out[0] is out[1] and out[0] is not raw

    def test_errors_leave_the_in_progress_set_as_it_was(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "child", T0 - 60_000, parent="p"))
        raw = desk._run_store.get_run("child")

        class Broken:
            def get_run(self, run_id):
                raise RuntimeError("store down")

        desk._run_store = Broken()
        resolving = {"other"}
        with pytest.raises(RuntimeError, match="store down"):
            desk._resolve_run_record(raw, now_ms=T0, cache={}, resolving=resolving)
        assert resolving == {"other"}


class TestStatusAndLimit:
    def test_status_filter_sees_resolved_status(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "stale", T0 - STALE), event("task.started", "live", T0))
        assert [r.run_id for r in desk.list_runs(status="failed")] == ["stale"]
        assert [r.run_id for r in desk.list_runs(status="running")] == ["live"]

    def test_limit_counts_after_the_status_filter(self, make_desk, clock):
        desk = make_desk()
        # Newest first: three running runs, then completed ones.
        feed(desk, *[event("task.completed", f"done{i}", T0 - 10 - i) for i in range(3)],
             *[event("task.started", f"run{i}", T0 - i) for i in range(3)])
        assert [r.run_id for r in desk.list_runs(status="completed", limit=2)] == ["done0", "done1"]

    @pytest.mark.parametrize("limit", [0, -1, -5])
    def test_limit_zero_or_below_gives_nothing(self, make_desk, clock, limit):
        desk = make_desk()
        feed(desk, event("task.started", "a", T0), event("task.started", "b", T0))
        assert desk.list_runs(limit=limit) == []
        assert desk._resolve_run_records(desk._run_store.list_runs(), limit=limit) == []
        assert desk.query_runs(limit=limit) == []

    def test_query_runs_equals_list_runs_and_builds_the_query(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "a", T0 - STALE), event("task.started", "b", T0, parent="a"))
        assert [r.model_dump() for r in desk.query_runs()] == [r.model_dump() for r in desk.list_runs()]
        assert [r.run_id for r in desk.query_runs(parent_run_id="a")] == ["b"]
        query = TraceDesk.ObservationRunQuery(run_id="a")
        assert [r.run_id for r in desk.query_runs(query, run_id="b")] == ["a"]
        with pytest.raises(Exception):
            desk.query_runs(no_such_filter=1)


class TestLoopsAndDepth:
    def test_parent_loop_ends_without_verdict_or_hang(self, make_desk, clock):
        desk = make_desk({"observation.run_stale_after_seconds": 0})
        feed(desk, event("task.started", "A", T0 - 10**7, parent="B"), event("task.started", "B", T0 - 10**7, parent="A"))
        assert {r.run_id: r.status for r in desk.list_runs()} == {"A": "running", "B": "running"}
        tree = desk.get_run_tree("A")
        assert [n.run.run_id for n in tree.children] == ["B"]
        assert tree.children[0].children == []  # A is on the path already

    def test_ancestor_walk_over_a_cached_cycle_stops(self, make_desk, clock):
        from orvane_devtools.observation.Tallybook import RunRecord

        desk = make_desk()
        a = RunRecord(run_id="A", root_run_id="A", parent_run_id="B", run_kind="k", status="running", updated_at=T0)
        b = RunRecord(run_id="B", root_run_id="A", parent_run_id="A", run_kind="k", status="running", updated_at=T0)
        c = RunRecord(run_id="C", root_run_id="A", parent_run_id="A", run_kind="k", status="running", updated_at=T0)
        assert desk._find_terminal_ancestor(c, now_ms=T0, cache={"A": a, "B": b}, resolving=set()) is None

    def test_ten_thousand_deep_chain(self, make_desk, clock):
        depth = 10_000
        end = T0 - 100_000
        desk = make_desk({"observation.buffer_limit": 20})
        feed(desk, event("task.completed", "n0", end),
             *[event("task.started", f"n{i}", end - 1, parent=f"n{i - 1}") for i in range(1, depth + 1)])
        limit = sys.getrecursionlimit()
        runs = desk.list_runs()
        assert len(runs) == depth + 1
        assert all(r.meta.get("devtools_stale_anchor_at") == end for r in runs if r.run_id != "n0")
        deepest = desk.get_run(f"n{depth}")
        assert deepest.meta["devtools_stale_reason"] == "orphaned_after_ancestor_terminal"
        tree = desk.get_run_tree("n0")
        node, seen = tree, 0
        while node.children:
            assert len(node.children) == 1
            node = node.children[0]
            seen += 1
            assert node.run.status == "failed"
        assert seen == depth and node.run.run_id == f"n{depth}"
        assert sys.getrecursionlimit() == limit
        del tree  # freeing the nested nodes must not overflow either

    def test_tree_nodes_equal_validated_ones(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "r", T0), event("task.started", "c1", T0 + 1, parent="r"),
             event("task.started", "c2", T0 + 2, parent="r"), event("task.started", "g", T0 + 3, parent="c1"))
        tree = desk.get_run_tree("r")
        R = TraceDesk.RunTreeNode
        expected = R(run=desk.get_run("r"), children=[
            R(run=desk.get_run("c1"), children=[R(run=desk.get_run("g"), children=[])]),
            R(run=desk.get_run("c2"), children=[])])
        assert tree == expected
        assert desk.get_run_tree("g").children == []
        assert desk.get_run_tree("missing") is None
        # The pydantic state a validated node has, each node with sets of its own.
        nodes = [tree, *tree.children, tree.children[0].children[0]]
        assert all(n.model_fields_set == {"run", "children"} for n in nodes)
        assert all(n.__pydantic_extra__ is None and n.__pydantic_private__ is None for n in nodes)
        assert all(n.run.model_fields_set == desk.get_run(n.run.run_id).model_fields_set for n in nodes)
        nodes[1].model_fields_set.discard("run")
        nodes[1].run.model_fields_set.discard("meta")
        assert nodes[0].model_fields_set == {"run", "children"} and "meta" in nodes[0].run.model_fields_set
        assert desk.get_run_tree("c1").model_fields_set == {"run", "children"}

    def test_tree_in_a_reference_cycle_is_collected(self, make_desk, clock):
        desk = make_desk()
        feed(desk, event("task.started", "r", T0), event("task.started", "c", T0 + 1, parent="r"))
        freed = []

        class Marker:
            def __del__(self):
                freed.append(True)

        tree = desk.get_run_tree("r")
        tree.children[0].run.meta["back"] = tree  # node -> children -> node -> run -> meta -> node
        tree.run.meta["marker"] = Marker()
        del tree
        gc.collect()
        assert freed == [True]


class TestArguments:
    def test_house_type_errors(self, make_desk, clock):
        desk = make_desk()
        cases = [
            (lambda: desk._get_raw_run_record(None), "run_id", "str", "NoneType"),
            (lambda: desk._resolve_run_records((1,)), "records", "list", "tuple"),
            (lambda: desk._resolve_run_records([], limit="3"), "limit", "int", "str"),
            (lambda: desk._resolve_run_record(None, now_ms=T0, cache=[], resolving=set()), "cache", "dict", "list"),
            (lambda: desk._resolve_run_record(None, now_ms=T0, cache={}, resolving=[]), "resolving", "set", "list"),
            (lambda: desk._resolve_run_record(None, now_ms="x", cache={}, resolving=set()), "now_ms", "int", "str"),
            (lambda: desk.get_run(None), "run_id", "str", "NoneType"),
            (lambda: desk.get_run_tree(3), "run_id", "str", "int"),
            (lambda: desk.get_run_children(b"x"), "run_id", "str", "bytes"),
            (lambda: desk.list_runs(agent_id=1), "agent_id", "str", "int"),
            (lambda: desk.list_runs(since="1"), "since", "int", "str"),
            (lambda: desk.query_runs(object()), "query", "ObservationRunQuery", "object"),
        ]
        for call, name, expected, got in cases:
            with pytest.raises(TypeError) as info:
                call()
            assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"

    def test_private_methods_take_keyword_only_state(self, make_desk):
        desk = make_desk()
        with pytest.raises(TypeError):
            desk._resolve_run_record(None, 1, {}, set())
        with pytest.raises(TypeError):
            desk._find_terminal_ancestor(None, now_ms=1, cache={})
        assert desk._resolve_run_record(None, now_ms=1, cache={}, resolving=set()) is None

    def test_store_result_must_be_a_list(self, make_desk, clock):
        desk = make_desk()

        class TupleStore:
            def list_runs(self, **kw):
                return ()

        desk._run_store = TupleStore()
        with pytest.raises(TypeError, match="Argument 'records'"):
            desk.list_runs()


def test_intake_feeds_the_queries(make_desk, clock):
    desk = make_desk()
    asyncio.run(desk.append_event(event("task.started", "r", T0 - STALE)))
    assert desk.get_run("r").status == "failed"
