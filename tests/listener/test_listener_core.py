"""The listener's core with a real desk: storage failures and what a retry stores."""

from __future__ import annotations

import asyncio
import json

import pytest
from listener_helpers import body, event

from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore, StorageError
from orvane_devtools.listener.ingest import decode_body


def batch_of(events):
    return decode_body(json.dumps(body(events)).encode())


def test_failed_commit_is_reported_and_the_retry_stores_what_failed(tmp_path):
    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db"))
    service = core.desk.log_service
    real_append = service.append_event
    failing = {"run-f-e2"}

    async def flaky_append(ev):
        if ev.event_id in failing:
            raise OSError(28, "No space left on device")
        return await real_append(ev)

    service.append_event = flaky_append
    events = [event(i, "run-f") for i in range(4)]

    async def scenario():
        with pytest.raises(StorageError, match="1 event"):
            await core.ingest(batch_of(events))
        assert service.get_event("run-f-e2") is None
        failing.clear()  # the disk has room again; the sink retries the whole batch
        return await core.ingest(batch_of(events))

    result = asyncio.run(scenario())
    assert result.accepted == 1 and result.duplicates == 3
    assert service.get_event("run-f-e2") is not None
    assert [e.event_id for e in core.desk.query_events(run_id="run-f")] == [f"run-f-e{i}" for i in range(4)]
    assert core.ingested_total == 4
    # A third send is a plain duplicate now.
    again = asyncio.run(core.ingest(batch_of(events)))
    assert again.accepted == 0 and again.duplicates == 4


def test_failed_group_commit_marks_the_whole_batch_for_the_retry(tmp_path):
    from concurrent.futures import Future

    core = ListenerCore(ListenerConfig(db_path=tmp_path / "db.sqlite3"))
    service = core.desk.log_service
    store = service._store
    real_append = store.append
    broken = {"on": True}

    def append(events):
        if broken["on"]:
            failed: Future = Future()
            failed.set_exception(OSError(28, "database or disk is full"))
            return failed
        return real_append(events)

    store.append = append
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
