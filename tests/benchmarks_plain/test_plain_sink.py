"""The plain remote sink's intake queues and counts as RemoteTraceSink's does: the same snapshots
after every append through the drop policy, the same counters, snapshots independent of the
caller's mappings."""

from __future__ import annotations

import threading
import warnings

import pytest
from bench_uplink import closed_port_url
from plain import PlainRemoteSink

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.backends.Uplink import ObservationBridgeUnavailableWarning, RemoteTraceSink

COUNTERS = ("pending_event_count", "enqueued_event_count", "dropped_event_count",
            "dropped_high_frequency_event_count", "dropped_terminal_event_count", "coalesced_event_count",
            "coalesced_item_count")


_made: list = []


@pytest.fixture(autouse=True)
def _empty_queues_afterwards():
    """The native sinks' queues are emptied after each test, so that nothing is left for the
    flush the sink runs at interpreter exit (against a closed port: a warning)."""
    yield
    while _made:
        _made.pop()._pending_events.clear()


def sinks(buffer_limit: int):
    """A native and a plain sink whose workers wait a minute before any upload attempt."""
    url = closed_port_url()
    kw = dict(endpoint=url, api_key="k", buffer_limit=buffer_limit, background_flush_interval=60.0)
    native = RemoteTraceSink(**kw)
    _made.append(native)
    return native, PlainRemoteSink(**kw)


def queued(sink):
    return [e.model_dump(mode="json") for e in sink._pending_events]


def counters(sink):
    stats = sink.get_stats()
    return {k: stats[k] for k in COUNTERS}


def e(i: int, event_type: str = "agent_task.progress", **fields) -> RuntimeEvent:
    return RuntimeEvent(event_id=f"e{i}", event_type=event_type, timestamp=1_000 + i, **fields)


MIXED = [
    e(0, "agent_task.completed"),
    e(1, "stream.delta"),
    e(2, message="worker HEARTBEAT ok"),
    e(3, "agent_execution.stream", payload={"path": "x.result.completed", "status": "running"}),
    e(4, "agent_execution.stream", payload={"value": {"status": " Completed "}}, message="m"),
    e(5, meta={"coalesced": True, "coalesced_count": 7}, payload={"events": [1, 2]}),
    e(6, meta={"coalesced": True}, payload={"events": [1, 2, 3]}),
    e(7, meta={"coalesced": "yes", "high_frequency": 1}),
    e(8, meta={"high_frequency": True}),
    e(9, "agent_task.action.started"),
    e(10, "llm.streaming.chunk", run=RuntimeRunContext(run_id="r", meta={"k": "v"})),
    e(11, "agent_task.failed"),
    e(12, "agent_task.progress"),
    e(13, "agent_task.blocked"),
]


@pytest.mark.timeout(30)
@pytest.mark.parametrize("buffer_limit", [1, 3, 5, 20])
def test_the_queue_and_its_counters_follow_the_native_sink(buffer_limit):
    warnings.simplefilter("ignore", ObservationBridgeUnavailableWarning)
    native, plain = sinks(buffer_limit)
    for event in MIXED:
        native.append_event_nowait(event)
        plain.append_event_nowait(event)
        assert queued(native) == queued(plain), event.event_id
        assert counters(native) == counters(plain), event.event_id
    if buffer_limit == 20:
        assert counters(plain)["coalesced_item_count"] == 10 and counters(plain)["dropped_event_count"] == 0
    else:
        assert counters(plain)["dropped_event_count"] == len(MIXED) - buffer_limit


@pytest.mark.timeout(30)
def test_a_full_queue_drops_the_preferred_event_first_then_the_oldest():
    native, plain = sinks(3)
    for sink in (native, plain):
        sink.append_events_nowait([e(0, "agent_task.completed"), e(1, "stream.delta"), e(2, "agent_task.failed")])
        sink.append_event_nowait(e(3, "agent_task.completed"))
        assert [x.event_id for x in sink._pending_events] == ["e0", "e2", "e3"]
        sink.append_event_nowait(e(4, "agent_task.completed"))
        assert [x.event_id for x in sink._pending_events] == ["e2", "e3", "e4"]
    assert counters(native) == counters(plain)
    assert counters(plain)["dropped_high_frequency_event_count"] == 1
    assert counters(plain)["dropped_terminal_event_count"] == 1


@pytest.mark.timeout(30)
def test_snapshots_do_not_follow_the_callers_mappings():
    native, plain = sinks(10)
    run = RuntimeRunContext(run_id="r", meta={"a": 1})
    event = e(0, payload={"p": 1}, meta={"m": 1}, run=run)
    for sink in (native, plain):
        sink.append_event_nowait(event)
    event.payload["p"] = 2
    event.meta["m"] = 2
    run.meta["a"] = 2
    for sink in (native, plain):
        snap = sink._pending_events[0]
        assert (snap.payload, snap.meta, snap.run.meta) == ({"p": 1}, {"m": 1}, {"a": 1})
    assert queued(native) == queued(plain)


@pytest.mark.timeout(30)
def test_appends_start_one_named_worker_and_an_empty_list_none():
    _, plain = sinks(10)
    plain.append_events_nowait([])
    assert plain._worker_thread is None and counters(plain)["enqueued_event_count"] == 0
    plain.append_event_nowait(e(0))
    plain.append_event_nowait(e(1))
    workers = [t for t in threading.enumerate() if t is plain._worker_thread]
    assert len(workers) == 1 and workers[0].name == "ObservationBridgeFlushWorker" and workers[0].daemon
