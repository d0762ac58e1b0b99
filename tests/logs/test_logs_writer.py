"""Appends to the log file: committed on return, group commits, batches, refusals that leave no
trace, a full disk, duplicates, and the facade writing through to the file."""

from __future__ import annotations

import asyncio
import sqlite3
import threading

import pytest

from logs_helpers import T0, Stream, append_all
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import LogStoreFullError, RuntimeLogService, _schema
from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.Tallybook import RuntimeTallybook


def stored_ids(path: str) -> list[str]:
    """What another connection sees in the file: the committed events."""
    conn = sqlite3.connect(path)
    try:
        return [r[0] for r in conn.execute("SELECT event_id FROM events ORDER BY seq")]
    finally:
        conn.close()


def ev(i: int, run: str | None = "r", **kw) -> RuntimeEvent:
    ctx = None if run is None else RuntimeRunContext(run_id=run, run_kind="agent_task")
    return RuntimeEvent(event_id=f"e{i}", event_type=kw.pop("event_type", "stream.delta"), timestamp=kw.pop("timestamp", T0 + i),
                        run=ctx, **kw)


class TestCommit:
    def test_append_returns_after_commit(self, open_service, db_path):
        service = open_service()
        seen_on_return = []

        async def main():
            for i in range(20):
                await service.append_event(ev(i))
                seen_on_return.append(len(stored_ids(db_path)))

        asyncio.run(main())
        assert seen_on_return == list(range(1, 21))

    def test_concurrent_appends_share_commits(self, open_service, db_path):
        service = open_service()
        events = [ev(i, run=f"r{i % 7}") for i in range(400)]

        async def main():
            await asyncio.gather(*(service.append_event(e) for e in events))

        asyncio.run(main())
        stats = service.stats()
        assert stats["events"] == 400 and stats["appended_events"] == 400
        assert stats["commits"] < 100, stats["commits"]
        assert stored_ids(db_path) == [e.event_id for e in events]
        assert sum(r.event_count for r in service.query_runs()) == 400

    def test_appends_from_threads(self, open_service):
        service = open_service()

        def worker(k):
            asyncio.run(service.append_events([ev(k * 1000 + i, run=f"t{k}") for i in range(50)]))

        threads = [threading.Thread(target=worker, args=(k,)) for k in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert service.stats()["events"] == 300
        assert sorted(r.event_count for r in service.query_runs()) == [50] * 6

    def test_batch_waits_once_for_every_append_inside(self, open_service, db_path):
        service = open_service()
        events = [ev(i) for i in range(30)]
        inside = []

        async def main():
            before = service.stats()["commits"]
            async with service.batch() as batch:
                for e in events[:20]:
                    await service.append_event(e)
                assert await service.append_events(events[20:]) == 0  # counted by the batch
                inside.append(len(stored_ids(db_path)))
            return batch, service.stats()["commits"] - before

        batch, commits = asyncio.run(main())
        assert stored_ids(db_path) == [e.event_id for e in events]
        assert (batch.stored, batch.duplicates) == (30, 0)
        assert inside[0] < 30 and commits <= 3

    def test_facade_through_a_batch_and_after_a_restart(self, db_path):
        settings = {"logs.enabled": True, "logs.path": db_path, "logs.max_events": 10_000}
        desk = TraceDesk.RuntimeTraceDesk(Settings(settings))
        events = Stream(9, 120).events

        async def main():
            async with desk.log_service.batch() as batch:
                accepted = await desk.append_events(events)
            return accepted, batch

        accepted, batch = asyncio.run(main())
        assert accepted == batch.stored == 120
        runs = desk.log_service.query_runs()
        tree_root = runs[0].run_id
        desk.log_service.close()
        again = TraceDesk.RuntimeTraceDesk(Settings(settings))
        try:
            assert again.log_service.query_runs() == runs
            assert [r.run_id for r in again.query_runs()] == [r.run_id for r in runs]
            assert again.get_run_tree(tree_root) is not None
            assert again.query_events(limit=5) == events[-5:]
            assert again.get_event(events[3].event_id) == events[3]
        finally:
            again.log_service.close()


class TestRefusals:
    def test_wrong_types(self, open_service):
        service = open_service()
        with pytest.raises(TypeError, match=r"^Argument 'event' has incorrect type \(expected RuntimeEvent, got dict\)$"):
            asyncio.run(service.append_event({"event_type": "x"}))
        with pytest.raises(TypeError, match=r"Argument 'events' has incorrect type \(expected list, got generator\)"):
            asyncio.run(service.append_events(e for e in [ev(1)]))
        with pytest.raises(TypeError, match=r"Argument 'events\[1\]'"):
            asyncio.run(service.append_events([ev(1), "x"]))
        assert service.stats()["events"] == 0

    @pytest.mark.parametrize(
        "bad",
        [
            lambda: ev(9, timestamp=2**70),
            lambda: ev(9, message="lone \udc80 surrogate"),
            lambda: ev(9, payload=_cyclic()),
            lambda: ev(9, payload={"obj": _Unprintable()}),
            lambda: RuntimeEvent(event_id="e9", event_type="x", timestamp=T0,
                                 run=RuntimeRunContext(run_id="r", run_kind=_Unprintable())),
        ],
        ids=["timestamp-beyond-64-bits", "lone-surrogate", "cyclic-payload", "unprintable-value", "unprintable-kind"],
    )
    def test_events_the_file_cannot_hold_leave_no_trace(self, open_service, db_path, bad):
        service = open_service()
        asyncio.run(service.append_event(ev(1)))
        with pytest.raises(ValueError, match="e9.*cannot be stored in .*events.db"):
            asyncio.run(service.append_events([ev(2), bad(), ev(3)]))
        with pytest.raises(ValueError, match="e9"):
            asyncio.run(service.append_event(bad()))
        assert stored_ids(db_path) == ["e1"]
        assert service.query_runs(run_id="r")[0].event_count == 1
        asyncio.run(service.append_event(ev(4)))
        assert service.query_runs(run_id="r")[0].event_count == 2

    def test_duplicates_are_ignored(self, open_service, db_path):
        service = open_service()
        assert asyncio.run(service.append_events([ev(1), ev(2), ev(1)])) == 2
        asyncio.run(service.append_event(ev(2)))
        assert stored_ids(db_path) == ["e1", "e2"]
        assert service.query_runs(run_id="r")[0].event_count == 2
        assert service.stats()["duplicate_events"] == 2

    def test_ids_with_a_nul_are_looked_up_whole(self, open_service, db_path):
        # The batch look-ups of event ids and run ids go through JSON; a NUL must not cut an id
        # short there (a duplicate taken for new would fail the whole batch on the unique index).
        service = open_service()
        nul = [ev(1, run="r\0a"), ev(2, run="r"), ev(3, run="r\0b")]
        nul[0] = nul[0].model_copy(update={"event_id": "e\0x"})
        assert asyncio.run(service.append_events(nul)) == 3
        again = [nul[0], ev(4, run="r\0a"), ev(5, run="r\0b"), ev(6, run="r\0c")]
        assert asyncio.run(service.append_events(again)) == 3
        assert asyncio.run(service.append_events([ev(7, run="e"), nul[0]])) == 1
        assert stored_ids(db_path) == ["e\0x", "e2", "e3", "e4", "e5", "e6", "e7"]
        assert service.stats()["duplicate_events"] == 2
        counts = {r.run_id: r.event_count for r in service.query_runs()}
        assert counts == {"r\0a": 2, "r": 1, "r\0b": 2, "r\0c": 1, "e": 1}
        assert service.get_event("e\0x").run.run_id == "r\0a"
        # A new writer adopts the stored runs.
        service.close()
        service = open_service()
        assert asyncio.run(service.append_events([ev(8, run="r\0a"), ev(9, run="r"), nul[0]])) == 2
        assert {r.run_id: r.event_count for r in service.query_runs()} == {**counts, "r\0a": 3, "r": 2}

    def test_a_full_disk(self, open_service, db_path, monkeypatch):
        # The database may not grow past a few pages beyond its schema: writes fail as on a full disk.
        monkeypatch.setattr(_schema, "WRITER_PRAGMAS", ["PRAGMA max_page_count = 60"])
        service = open_service()
        big = "x" * 3000
        written = []
        with pytest.raises(LogStoreFullError, match="full") as err:
            for i in range(500):
                asyncio.run(service.append_events([ev(2 * i, message=big), ev(2 * i + 1, message=big)]))
                written += [f"e{2 * i}", f"e{2 * i + 1}"]
        assert err.value.path.endswith("events.db")
        assert 0 < len(written) < 1000
        # Nothing of the failed batch is in the file; the run counts what is there.
        assert stored_ids(db_path) == written
        assert service.query_runs(run_id="r")[0].event_count == len(written)
        assert "full" in service.stats()["last_error"]
        # Room again: appends go on, and the record continues from what was committed.
        service._store._writer.transaction.conn.execute("PRAGMA max_page_count = 100000")
        asyncio.run(service.append_event(ev(5000)))
        assert service.query_runs(run_id="r")[0].event_count == len(written) + 1
        conn = sqlite3.connect(db_path)
        assert conn.execute("PRAGMA integrity_check").fetchone()[0] == "ok"

    def test_closed_service(self, open_service):
        service = open_service()
        asyncio.run(service.append_event(ev(1)))
        service.close()
        with pytest.raises(RuntimeError, match="closed"):
            asyncio.run(service.append_event(ev(2)))
        with pytest.raises(RuntimeError, match="closed"):
            service.query_runs()


def test_two_services_on_one_file_keep_records_consistent(open_service, db_path):
    """Another writer on the same file (a second service, another process): each writer notices
    the other's commits and derives from the stored records."""
    a, b = open_service(), open_service()
    for i in range(30):
        append_all(a if i % 3 else b, [ev(i, run="shared", event_type="job_started" if i % 2 else "job_completed")])
    record = a.query_runs(run_id="shared")[0]
    assert record.event_count == 30 and b.query_runs(run_id="shared")[0] == record
    fresh = RuntimeTallybook(100)
    for e in a.query_events(run_id="shared"):
        fresh.append_event(e)
    assert fresh.get_run("shared") == record
    # What one reader has decoded and kept is dropped when the other writes.
    assert [r.run_id for r in a.query_runs(parent_run_id="p")] == []
    append_all(b, [ev(99, run="shared"), RuntimeEvent(event_id="k", event_type="x", timestamp=T0,
                                                    run=RuntimeRunContext(run_id="kid", parent_run_id="p",
                                                                          run_kind="job"))])
    assert a.query_runs(run_id="shared")[0].event_count == 31
    assert [r.run_id for r in a.query_runs(parent_run_id="p")] == ["kid"]


class _Unprintable:
    def __str__(self):
        raise RuntimeError("no text for this")

    __repr__ = __str__


def _cyclic():
    d = {}
    d["self"] = d
    return d


FORK_SCRIPT = r"""
import asyncio, os, sys
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService

def ev(i):
    return RuntimeEvent(event_id=f"e{i}", event_type="stream.delta", timestamp=1_760_000_000_000 + i,
                        run=RuntimeRunContext(run_id="shared", run_kind="job"))

service = RuntimeLogService(Settings({"logs.path": sys.argv[1]}))
asyncio.run(service.append_events([ev(i) for i in range(10)]))
pid = os.fork()
if pid == 0:
    # The child's own writer: the parent's thread and connections are not used here.
    asyncio.run(service.append_events([ev(i) for i in range(100, 120)]))
    service.close()
    os._exit(0)
_, status = os.waitpid(pid, 0)
assert status == 0, status
asyncio.run(service.append_events([ev(i) for i in range(200, 205)]))
record = service.query_runs(run_id="shared")[0]
print(record.event_count, len(service.query_events()))
service.close()
"""


@pytest.mark.timeout(60)
def test_a_forked_child_writes_through_its_own_writer(db_path, tmp_path):
    import os
    import subprocess
    import sys

    script = tmp_path / "fork_child.py"
    script.write_text(FORK_SCRIPT)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run([sys.executable, "-W", "ignore", str(script), db_path], capture_output=True, text=True,
                         env=env, timeout=50)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["35", "35"]


def test_reset_empties_the_file_and_appends_go_on(open_service, db_path):
    service = open_service()
    asyncio.run(service.append_events([ev(i, run=f"r{i % 3}") for i in range(30)]))
    service.reset()
    assert service.query_runs() == [] and service.query_events() == [] and stored_ids(db_path) == []
    assert service.query_runs(search="stream") == [] and service.query_events(search="e1") == []
    assert (service.stats()["events"], service.stats()["runs"]) == (0, 0)
    asyncio.run(service.append_events([ev(1, run="r0"), ev(2, run="r0")]))
    assert service.query_runs(run_id="r0")[0].event_count == 2
    assert [e.event_id for e in service.query_events(search="E2")] == ["e2"]


def test_the_memory_service_takes_batches_too():
    service = RuntimeLogService(Settings({}))

    async def main():
        async with service.batch() as batch:
            await service.append_event(ev(1))
            await service.append_events([ev(2), ev(3)])
        return batch

    batch = asyncio.run(main())
    assert (batch.stored, batch.duplicates) == (3, 0)
    assert [e.event_id for e in service.query_events()] == ["e1", "e2", "e3"]
    assert service.stats() == {"persistent": False, "path": None, "events": 3, "runs": 1, "appended_events": 3}
