"""The listener's core with a real desk: storage failures and what a retry stores."""

from __future__ import annotations

import asyncio
import json
from concurrent.futures import Future

import pytest
from listener_helpers import body, event

from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore, StorageError
from orvane_devtools.listener.decode import decode_body


def batch_of(events):
    return decode_body(json.dumps(body(events)).encode())


class Recorder:
    """A sink the desk feeds (as it feeds an OTLP exporter): the events it got, in order."""

    name = "recorder"

    def __init__(self):
        self.ids = []

    async def append_event(self, ev):
        self.ids.append(ev.event_id)


def _refuse_commits(store, message):
    """Make the store's hand-off to its writer fail like a full disk while ``broken["on"]``."""
    real_submit = store.submit  # hands the writer one transaction's worth of events
    broken = {"on": True}

    def submit(prepared, loop=None):
        if broken["on"]:
            failed: Future = Future()
            failed.set_exception(OSError(28, message))
            return failed
        return real_submit(prepared, loop)

    store.submit = submit
    return broken


def test_an_event_the_store_refuses_is_rejected_by_its_index_and_the_rest_is_kept(tmp_path):
    recorder = Recorder()
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db"), backends=[recorder])
    store = core.log_service._store
    real_prepare = store.prepare

    def prepare(ev):
        if ev.event_id == "run-r-e2":
            raise ValueError("event 'run-r-e2' cannot be stored: no room for this value")
        return real_prepare(ev)

    store.prepare = prepare
    events = [event(i, "run-r") for i in range(4)]
    for _ in range(2):  # the same answer every time: the sender does not retry it for ever
        result = asyncio.run(core.ingest(batch_of(events)))
        assert [(r["index"], "no room" in r["error"]) for r in result.rejected] == [(2, True)]
    assert [e.event_id for e in core.desk.query_events(run_id="run-r")] == ["run-r-e0", "run-r-e1", "run-r-e3"]
    assert recorder.ids == ["run-r-e0", "run-r-e1", "run-r-e3"]  # each once
    assert core.stats()["ingested_total"] == 3 and core.stats()["duplicates_total"] == 3
    core.log_service.close()


def test_the_desk_and_its_sinks_get_events_only_once_they_are_committed(tmp_path):
    recorder = Recorder()
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db"), backends=[recorder])
    store = core.log_service._store
    broken = _refuse_commits(store, "No space left on device")
    events = [event(i, "run-f") for i in range(4)]

    async def scenario():
        with pytest.raises(StorageError, match="4 event"):
            await core.ingest(batch_of(events))
        assert recorder.ids == [] and core.hub.seq == 0
        assert core.log_service.get_event("run-f-e2") is None
        broken["on"] = False  # the disk has room again; the sink retries the whole batch
        return await core.ingest(batch_of(events))

    result = asyncio.run(scenario())
    assert result.accepted == 4 and result.duplicates == 0
    assert recorder.ids == [f"run-f-e{i}" for i in range(4)] and core.hub.seq == 4
    assert [e.event_id for e in core.desk.query_events(run_id="run-f")] == [f"run-f-e{i}" for i in range(4)]
    assert core.ingested_total == 4
    # A third send is a plain duplicate now, and the desk's sinks do not get it again.
    again = asyncio.run(core.ingest(batch_of(events)))
    assert again.accepted == 0 and again.duplicates == 4
    assert len(recorder.ids) == 4 and core.hub.seq == 4
    core.log_service.close()


def test_failed_group_commit_marks_the_whole_batch_for_the_retry(tmp_path):
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db.sqlite3"))
    service = core.desk.log_service
    store = service._store
    broken = _refuse_commits(store, "database or disk is full")
    events = [event(i, "run-g") for i in range(5)]

    async def scenario():
        with pytest.raises(StorageError, match="5 event"):
            await core.ingest(batch_of(events))
        broken["on"] = False
        return await core.ingest(batch_of(events))

    result = asyncio.run(scenario())
    assert result.accepted == 5 and result.duplicates == 0
    assert len(core.desk.query_events(run_id="run-g")) == 5
    core.desk.log_service.close()


def test_stats_rate_and_counts(tmp_path):
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db"))
    asyncio.run(core.ingest(batch_of([event(i, "run-s") for i in range(10)])))
    stats = core.stats()
    assert stats["events"] == 10 and stats["runs"] == 1
    assert stats["ingest_events_per_second"] > 0
    assert stats["ingested_total"] == 10 and stats["ingest_requests"] == 1


def test_retry_during_a_slow_commit_is_acknowledged_by_its_own_commit(tmp_path):
    """A sink that times out retries while the first request is still committing: the retry
    is answered after a commit that holds its events, whatever becomes of the first."""
    recorder = Recorder()
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db.sqlite3"), backends=[recorder])
    store = core.log_service._store
    real_submit = store.submit
    held: list[Future] = []

    def slow_submit(prepared, loop=None):
        if not held:
            pending: Future = Future()
            held.append(pending)
            return pending  # the first commit hangs until the test ends it
        return real_submit(prepared, loop)

    store.submit = slow_submit
    events = [event(i, "run-slow") for i in range(3)]

    async def scenario():
        first = asyncio.ensure_future(core.ingest(batch_of(events)))
        await asyncio.sleep(0.05)
        retry = await asyncio.wait_for(core.ingest(batch_of(events)), 10)
        assert not first.done()  # nothing acknowledged before the commit
        assert core.log_service.get_event("run-slow-e2") is not None
        held[0].set_exception(OSError(5, "I/O error"))
        with pytest.raises(StorageError):
            await first
        return retry

    result = asyncio.run(scenario())
    assert result.accepted == 3 and result.duplicates == 0
    assert len(core.desk.query_events(run_id="run-slow")) == 3
    assert recorder.ids == [f"run-slow-e{i}" for i in range(3)]
    core.log_service.close()


def test_the_desk_keeps_no_copy_and_every_read_comes_from_the_database(tmp_path):
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db.sqlite3"))
    children = [event(i, "run-kid") for i in range(5)]
    for ev in children:
        ev["run"]["parent_run_id"] = "run-b0"
        ev["run"]["root_run_id"] = "run-b0"
    asyncio.run(core.ingest(batch_of(children)))
    for start in range(0, 1000, 50):
        asyncio.run(core.ingest(batch_of([event(i, f"run-b{i // 100}") for i in range(start, start + 50)])))
    desk = core.desk
    assert desk._run_store.get_recent_events() == [] and desk._run_store.list_runs() == []
    assert len(desk.query_runs(limit=1000)) == 11
    assert desk.get_run("run-b3").event_count == 100
    assert [r.run_id for r in desk.get_run_children("run-b0")] == ["run-kid"]
    assert desk.get_run_tree("run-b0") is not None
    assert len(desk.query_events(run_id="run-b9", limit=1000)) == 100
    assert len(desk.query_events(run_id="run-b0", include_descendants=True, limit=1000)) == 105
    assert desk.get_event("run-b0-e0") is not None
    # A batch sent again is still recognised.
    again = asyncio.run(core.ingest(batch_of([event(i, "run-b0") for i in range(50)])))
    assert again.accepted == 0 and again.duplicates == 50
    core.desk.log_service.close()


def test_a_desk_failure_after_the_commit_loses_no_stored_event(tmp_path):
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db.sqlite3"))
    desk_append = core.desk.append_stored_event

    async def append(ev):
        if ev.event_id == "run-d-e1":
            raise RuntimeError("a subscription's filter broke")
        return await desk_append(ev)

    core.desk.append_stored_event = append
    result = asyncio.run(core.ingest(batch_of([event(i, "run-d") for i in range(3)])))
    assert result.accepted == 3 and result.rejected == []
    assert core.stats()["desk_errors"] == 1 and "filter broke" in core.last_desk_error
    assert [ev.event_id for _, ev in core.hub.ring] == ["run-d-e0", "run-d-e2"]
    assert len(core.desk.query_events(run_id="run-d")) == 3
    core.log_service.close()


@pytest.mark.timeout(60)
def test_the_answer_leaves_before_the_desks_sinks_take_the_events(tmp_path):
    """A real server: the sender's wait ends with the commit, not with the desk's sinks."""
    import threading
    import time

    import httpx
    import uvicorn

    from orvane_devtools.listener.app import create_app
    from orvane_devtools.listener.server import bind_socket

    gate = threading.Event()

    class Gated(Recorder):
        async def append_event(self, ev):
            while not gate.is_set():
                await asyncio.sleep(0.01)
            self.ids.append(ev.event_id)

    sink = Gated()
    config = ListenerConfig(db_path=tmp_path / "db.sqlite3", port=0)
    core = ListenerCore(config, backends=[sink])
    sock = bind_socket("127.0.0.1", 0)
    server = uvicorn.Server(uvicorn.Config(create_app(config, core), log_level="warning",
                                           lifespan="on", timeout_graceful_shutdown=5))
    thread = threading.Thread(target=lambda: asyncio.run(server.serve(sockets=[sock])), daemon=True)
    thread.start()
    try:
        deadline = time.monotonic() + 20
        while not server.started and time.monotonic() < deadline:
            time.sleep(0.02)
        api = f"http://127.0.0.1:{sock.getsockname()[1]}/observation"
        answer = httpx.post(f"{api}/ingest", json=body([event(i, "run-gate") for i in range(3)]),
                            timeout=10)
        assert answer.status_code == 200 and answer.json()["accepted"] == 3
        assert sink.ids == []  # still held: the answer did not wait for it
        assert httpx.get(f"{api}/events/run-gate-e2", timeout=10).status_code == 200  # committed
        gate.set()
        while len(sink.ids) < 3 and time.monotonic() < deadline:
            time.sleep(0.02)
        assert sink.ids == [f"run-gate-e{i}" for i in range(3)]
    finally:
        gate.set()
        server.should_exit = True
        thread.join(10)
        sock.close()


def test_a_reload_of_the_desk_keeps_the_listeners_store_log_service_and_sinks(tmp_path):
    # The listener gives the desk its parts at construction; a reload (by a host, or a later
    # change of settings) must not put the desk's own store and log service back.
    sink = Recorder()
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db.sqlite3"), backends=[sink])
    try:
        store, service = core.desk.runtime_backend, core.desk.log_service
        core.desk.reload()
        assert core.desk.runtime_backend == store == "listener"
        assert core.desk.log_service is service is core.log_service
        asyncio.run(core.ingest(batch_of([event(i, "run-r") for i in range(2)])))
        assert sink.ids == ["run-r-e0", "run-r-e1"]
        assert core.desk.get_run("run-r").event_count == 2
    finally:
        core.log_service.close()


def test_the_listener_reaches_the_desk_through_public_names_only():
    import pathlib
    import re

    import orvane_devtools.listener as package

    root = pathlib.Path(package.__file__).parent
    private = []
    for path in sorted(root.rglob("*.py")):
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
            if re.search(r"\bdesk\._", line):
                private.append(f"{path.relative_to(root)}:{number}: {line.strip()}")
    assert private == []


def test_every_route_handler_is_a_module_level_function(tmp_path):
    # Endpoints can be imported and tested alone: none is a closure of create_app.
    import importlib

    from starlette.routing import Route

    from orvane_devtools.listener.app import create_app

    app = create_app(ListenerConfig(db_path=tmp_path / "db.sqlite3"))
    endpoints = [route.endpoint for route in app.routes if isinstance(route, Route)]
    assert len(endpoints) >= 10
    for endpoint in endpoints:
        assert "<locals>" not in endpoint.__qualname__, endpoint
        module = importlib.import_module(endpoint.__module__)
        assert getattr(module, endpoint.__name__) is endpoint
        assert endpoint.__module__.startswith("orvane_devtools.listener.views."), endpoint
    for handler in app.exception_handlers.values():
        assert "<locals>" not in handler.__qualname__, handler
