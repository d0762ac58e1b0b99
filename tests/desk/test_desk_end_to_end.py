"""From ``await desk.append_event(event)`` to the run record, subscribers, buffer and file."""

from __future__ import annotations

import asyncio
import json

import pytest
from desk_fakes import make_event

from orvane.utils import DataFormatter, Settings
from orvane_devtools.observation import TraceDesk

pytest.importorskip("orvane_devtools.observation.Tallybook")


def test_event_reaches_every_consumer(tmp_path):
    path = tmp_path / "logs" / "events.jsonl"
    desk = TraceDesk.RuntimeTraceDesk(Settings({
        "observation": {"jsonl": {"enabled": True, "path": str(path)}},
        "logs.enabled": True,
    }))
    assert desk.runtime_backend == "memory"
    sub = desk.subscribe(run_id="run-1")
    events = [make_event(1, message="ünïcode"), make_event(2, event_type="agent_task.completed")]

    async def main():
        accepted = await desk.append_events(events + [events[0]])
        return accepted

    assert asyncio.run(main()) == 2
    record = desk._run_store.get_run("run-1")
    assert record is not None and record.event_count == 2 and record.status == "completed"
    assert [sub.get_nowait().event_id for _ in range(2)] == ["evt-1", "evt-2"]
    assert [e.event_id for e in desk.read_channel_buffer()] == ["evt-1", "evt-2"]
    expected = b"".join(
        (json.dumps(DataFormatter.sanitize(e.model_dump(mode="json")), ensure_ascii=False) + "\n")
        .encode() for e in events)
    assert path.read_bytes() == expected
    assert desk.log_service.get_event("evt-2").event_type == "agent_task.completed"
    assert desk._flow_registry.run_ids_for_flow("answer") == ["run-1"]


def test_unwritable_file_is_retried_and_reported_once(tmp_path):
    path = tmp_path / "events.jsonl"
    path.mkdir()  # a directory in the way
    desk = TraceDesk.RuntimeTraceDesk(Settings({"observation.jsonl.enabled": True,
                                                "observation.jsonl.path": str(path)}))
    sink = desk._backends[0]
    with pytest.warns(RuntimeWarning, match=r"'jsonl' \(orvane_devtools\.observation\.backends\.Linefile\.JSONLTraceSink\).*IsADirectoryError"):
        assert asyncio.run(desk.append_events([make_event(1), make_event(2)])) == 2
    assert desk.backend_failures() == {sink: 2}
    assert desk._run_store.get_run("run-1").event_count == 2
    path.rmdir()
    asyncio.run(desk.append_event(make_event(3)))
    assert [json.loads(x)["event_id"] for x in path.read_bytes().splitlines()] == ["evt-3"]
    assert desk._failing_backends == set()


def test_many_concurrent_appends_through_the_facade(tmp_path):
    path = tmp_path / "events.jsonl"
    desk = TraceDesk.RuntimeTraceDesk(Settings({"observation.jsonl.enabled": True,
                                                "observation.jsonl.path": str(path),
                                                "observation.buffer_limit": 10_000}))

    async def main():
        await asyncio.gather(*(desk.append_event(make_event(i, run_id=f"run-{i % 7}"))
                               for i in range(600)))

    asyncio.run(main())
    ids = [json.loads(x)["event_id"] for x in path.read_bytes().splitlines()]
    assert sorted(ids) == sorted(f"evt-{i}" for i in range(600))
