"""Reading the log file: what a reader keeps decoded (records, run contexts, the tree's shape) is
used again only while it is what the file holds -- after writes to other runs, to the tree itself,
from another process, after runs are removed or the file is emptied -- and every answer is a copy
the caller may change."""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
import time

import pytest

from logs_helpers import T0, append_all
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService, _shape

_seq = iter(range(10**9))


def ev(run: str, parent: str | None = None, event_type: str = "stream.delta", **kw) -> RuntimeEvent:
    i = next(_seq)
    ctx = RuntimeRunContext(run_id=run, parent_run_id=parent, run_kind="agent_task", meta=kw.pop("run_meta", {}))
    return RuntimeEvent(event_id=f"e{i}", event_type=event_type, timestamp=kw.pop("timestamp", T0 + i), run=ctx, **kw)


def both(open_service):
    """A file-backed service and an in-memory one, fed alike."""
    file = open_service(logs__max_events=100_000)
    mem = RuntimeLogService(Settings({"logs.max_events": 100_000}))

    def feed(events):
        append_all(file, events)
        append_all(mem, events)

    return file, mem, feed


def tree_of(service, run_id: str) -> list:
    """(run id, status, event count, children...) of the subtree, through the look-ups a tree
    walk makes: by run id, then by parent."""
    record = service.query_runs(run_id=run_id, limit=1)
    if not record:
        return []
    out = []
    stack = [(record[0], 0)]
    while stack:
        rec, depth = stack.pop()
        out.append((depth, rec.run_id, rec.status, rec.event_count, rec.updated_at))
        for child in reversed(service.query_runs(parent_run_id=rec.run_id)):
            stack.append((child, depth + 1))
    return out


class TestTheKeptTree:
    def test_changes_to_the_tree_show_at_once_and_other_runs_leave_it_kept(self, open_service, monkeypatch):
        file, mem, feed = both(open_service)
        feed([ev("root"), ev("a", "root"), ev("b", "root"), ev("a1", "a"), ev("a2", "a"), ev("other")])
        assert tree_of(file, "root") == tree_of(mem, "root")
        loads = []
        real = _shape.RunShape.load_subtree
        monkeypatch.setattr(_shape.RunShape, "load_subtree",
                            lambda self, conn, parent: loads.append(parent) or real(self, conn, parent))
        # Writes to a run outside the tree: the shape is kept.
        feed([ev("other"), ev("other", event_type="job_completed")])
        assert tree_of(file, "root") == tree_of(mem, "root")
        assert loads == []
        # A status change, a new child, a run moving to another parent, a child updated last
        # (which reorders its siblings): each shows in the next walk.
        for change in ([ev("a1", "a", event_type="agent_task.failed")], [ev("b1", "b")], [ev("a2", "b")],
                       [ev("b", "root", timestamp=T0 - 5)], [ev("a", "root", timestamp=T0 + 10**6)]):
            feed(change)
            assert tree_of(file, "root") == tree_of(mem, "root"), change
            assert file.collect_descendant_run_ids("root") == mem.collect_descendant_run_ids("root")
        assert [r.run_id for r in file.query_runs(parent_run_id="b")] == [r.run_id for r in mem.query_runs(parent_run_id="b")]

    def test_a_run_that_appears_after_it_was_asked_for(self, open_service):
        file, mem, feed = both(open_service)
        assert file.query_runs(run_id="late") == [] and file.query_runs(parent_run_id="late") == []
        assert file.collect_descendant_run_ids("late") == ["late"]
        feed([ev("late"), ev("kid", "late")])
        assert [r.run_id for r in file.query_runs(run_id="late")] == ["late"]
        assert [r.run_id for r in file.query_runs(parent_run_id="late")] == ["kid"]
        assert file.collect_descendant_run_ids("late") == ["late", "kid"]

    def test_another_process_writing_the_file(self, open_service, db_path, tmp_path):
        file = open_service()
        append_all(file, [ev("root"), ev("a", "root")])
        assert [r.run_id for r in file.query_runs(parent_run_id="root")] == ["a"]
        assert file.query_runs(run_id="a")[0].event_count == 1
        script = tmp_path / "writer.py"
        script.write_text(
            "import asyncio, sys\n"
            "from orvane.utils import Settings\n"
            "from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext\n"
            "from orvane_devtools.logs import RuntimeLogService\n"
            "s = RuntimeLogService(Settings({'logs.path': sys.argv[1]}))\n"
            "ctx = lambda run, parent: RuntimeRunContext(run_id=run, parent_run_id=parent, run_kind='job')\n"
            "asyncio.run(s.append_events([RuntimeEvent(event_id='x1', event_type='job_completed', run=ctx('a', 'root')),\n"
            "                             RuntimeEvent(event_id='x2', event_type='stream.delta', run=ctx('c', 'root'))]))\n"
            "s.close()\n"
        )
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        done = subprocess.run([sys.executable, str(script), db_path], capture_output=True, text=True, env=env, timeout=60)
        assert done.returncode == 0, done.stderr
        time.sleep(min(_shape._RECHECK_NS / 1e9 * 2, 1.0))
        assert sorted(r.run_id for r in file.query_runs(parent_run_id="root")) == ["a", "c"]
        record = file.query_runs(run_id="a")[0]
        assert (record.event_count, record.status) == (2, "completed")
        assert file.collect_descendant_run_ids("root") == ["root", "a", "c"]

    @pytest.mark.timeout(90)
    def test_a_chain_deeper_than_one_read(self, open_service, monkeypatch):
        monkeypatch.setattr(_shape, "_SUBTREE_MAX", 40)
        file, mem, feed = both(open_service)
        feed([ev(f"c{i}", f"c{i - 1}" if i else None) for i in range(300)] + [ev("side", "c10")])
        assert file.collect_descendant_run_ids("c0") == mem.collect_descendant_run_ids("c0")
        assert len(file.collect_descendant_run_ids("c0")) == 301
        assert tree_of(file, "c0") == tree_of(mem, "c0")
        # A loop of parents ends the walk.
        feed([ev("c0", "c299")])
        assert file.collect_descendant_run_ids("c5") == mem.collect_descendant_run_ids("c5")


class TestKeptDecodedValues:
    def test_records_and_contexts_of_removed_runs_never_come_back(self, open_service):
        service = open_service(logs__max_events=3)
        append_all(service, [ev("gone", run_meta={"v": 1}, message="first life")])
        assert service.query_runs(run_id="gone")[0].meta == {"v": 1}
        assert service.query_events(run_id="gone")[0].run.meta == {"v": 1}
        append_all(service, [ev("x"), ev("x"), ev("x")])
        assert service.query_runs(run_id="gone") == []
        # The run comes back with another context: a new record, the new context.
        append_all(service, [ev("gone", run_meta={"v": 2})])
        record = service.query_runs(run_id="gone")[0]
        assert (record.meta, record.event_count) == ({"v": 2}, 1)
        assert [e.run.meta for e in service.query_events(run_id="gone")] == [{"v": 2}]
        assert service.query_runs(search="first life") == []

    def test_after_a_reset(self, open_service):
        service = open_service()
        append_all(service, [ev("r", run_meta={"k": "old"}), ev("kid", "r")])
        assert tree_of(service, "r")[0][3] == 1 and service.query_events(run_id="r")[0].run.meta == {"k": "old"}
        service.reset()
        assert service.query_runs(run_id="r") == [] and service.query_runs(parent_run_id="r") == []
        append_all(service, [ev("r", run_meta={"k": "new"})])
        assert [e.run.meta for e in service.query_events(run_id="r")] == [{"k": "new"}]
        assert service.query_runs(parent_run_id="r") == []
        assert service.query_runs(run_id="r")[0].meta == {"k": "new"}

    def test_answers_are_copies(self, open_service):
        service = open_service()
        append_all(service, [ev("r", run_meta={"k": [1]}, payload={"p": [1]}), ev("kid", "r")])
        for _ in range(2):
            record = service.query_runs(run_id="r")[0]
            record.meta["k"].append(2)
            record.status = "failed"
            kid = service.query_runs(parent_run_id="r")[0]
            kid.meta["x"] = 1
            event = service.query_events(run_id="r")[0]
            event.run.meta["k"].append(3)
            event.payload["p"].append(4)
        assert service.query_runs(run_id="r")[0].meta == {"k": [1]}
        assert service.query_runs(run_id="r")[0].status != "failed"
        assert service.query_runs(parent_run_id="r")[0].meta == {}
        event = service.query_events(run_id="r")[0]
        assert (event.run.meta, event.payload) == ({"k": [1]}, {"p": [1]})
        assert service.get_event(event.event_id) == event

    def test_an_event_stored_with_its_context_reads_back_whole(self, open_service):
        """Events of one run with changing contexts: each event comes back with its own."""
        service = open_service()
        events = [ev("r", run_meta={"step": i % 3}, payload={"i": i}) for i in range(9)]
        events.append(RuntimeEvent(event_id="no-run", event_type="note", timestamp=T0, payload=[1]))
        append_all(service, events)
        assert service.query_events() == events
        assert [service.get_event(e.event_id) for e in events] == events
        assert [e.model_fields_set for e in service.query_events()] == [
            RuntimeEvent.__pydantic_validator__.validate_json(e.model_dump_json()).model_fields_set for e in events
        ]


class TestThroughTheFacade:
    """The facade resolves (judges stale, orphaned) the records the file's service returns in
    place, as they are copies made for the call; anything else it copies first."""

    @staticmethod
    def desks(db_path):
        from orvane_devtools.observation import TraceDesk

        on_file = TraceDesk.RuntimeTraceDesk(Settings({"logs.enabled": True, "logs.path": db_path}))
        in_memory = TraceDesk.RuntimeTraceDesk(Settings({"logs.enabled": True}))
        events = [ev("root", event_type="agent_task.started"), ev("a", "root"), ev("b", "root"),
                  ev("a1", "a", event_type="agent_task.failed"), ev("a2", "a"), ev("b1", "b")]

        async def feed():
            for desk in (on_file, in_memory):
                for event in events:
                    await desk.append_event(event)

        asyncio.run(feed())
        return on_file, in_memory

    @staticmethod
    def dump(record) -> dict:
        """The record's fields, with the judging clock's readings as "now"."""
        now = lambda v: "now" if isinstance(v, int) and v > T0 + 10**10 else v  # noqa: E731
        out = {k: now(v) for k, v in record.model_dump().items()}
        out["meta"] = {k: now(v) for k, v in out["meta"].items()}
        return out

    @staticmethod
    def shape(node) -> tuple:
        return (TestThroughTheFacade.dump(node.run), [TestThroughTheFacade.shape(kid) for kid in node.children])

    def test_answers_match_memory_and_stay_the_callers(self, db_path):
        on_file, in_memory = self.desks(db_path)
        try:
            assert on_file.log_service._record_copies is True
            for _ in range(2):
                tree = on_file.get_run_tree("root")
                # Old timestamps: the runs left open are judged stale, which writes their record.
                assert tree.children[0].run.meta["devtools_stale_reason"] == "stale_timeout"
                assert self.shape(tree) == self.shape(in_memory.get_run_tree("root"))
                runs = on_file.query_runs(root_run_id="root")
                assert [self.dump(r) for r in runs] == [self.dump(r) for r in in_memory.query_runs(root_run_id="root")]
                assert self.dump(on_file.get_run("a2")) == self.dump(in_memory.get_run("a2"))
                assert [self.dump(r) for r in on_file.get_run_children("a")] == [
                    self.dump(r) for r in in_memory.get_run_children("a")]
                tree.run.meta["mine"] = 1
                tree.children[0].run.meta.clear()
                runs[0].status = "completed"
            stored = on_file.log_service.query_runs(run_id="a")[0]
            assert stored.status == "unknown" and stored.meta == {}
        finally:
            on_file.log_service.close()

    @pytest.mark.parametrize("where", ["instance", "class", "subclass"])
    def test_a_replaced_query_is_copied_as_before(self, db_path, monkeypatch, where):
        """A query_runs that hands out the same objects every time: the facade's judging never
        writes into them, wherever the replacement sits."""
        on_file, _ = self.desks(db_path)
        service = on_file.log_service
        try:
            real = RuntimeLogService.query_runs
            shared: dict = {}

            def query_runs(self_or_none=None, **filters):
                key = repr(sorted(filters.items()))
                if key not in shared:
                    shared[key] = real(service, **filters)
                return shared[key]  # the same objects every time

            if where == "instance":
                monkeypatch.setattr(service, "query_runs", query_runs)
            elif where == "class":
                monkeypatch.setattr(RuntimeLogService, "query_runs", query_runs)
            else:
                monkeypatch.setattr(service, "__class__", type("Sub", (RuntimeLogService,), {"query_runs": query_runs}))
            first = self.shape(on_file.get_run_tree("root"))
            first_runs = [self.dump(r) for r in on_file.query_runs(root_run_id="root")]
            held = {key: [r.model_dump() for r in rows] for key, rows in shared.items()}
            assert self.shape(on_file.get_run_tree("root")) == first
            assert [self.dump(r) for r in on_file.query_runs(root_run_id="root")] == first_runs
            # What the replaced query handed out was never changed by the judging.
            assert {key: [r.model_dump() for r in rows] for key, rows in shared.items()} == held
            assert all("devtools_stale_reason" not in r.meta for rows in shared.values() for r in rows)
        finally:
            service.close()
