"""GET {prefix}/stream: live events and run records, heartbeat, resume, overflow, stop."""

from __future__ import annotations

import asyncio
import signal

import httpx
import pytest
from listener_helpers import SSEReader, body, event, fresh_id, runtime_event

from orvane_devtools.listener.stream import StreamFilter, StreamHub
from orvane_devtools.observation.backends.Uplink import RemoteTraceSink

pytestmark = pytest.mark.timeout(60)


def post(proc, events):
    r = httpx.post(proc.ingest_url, json=body(events), headers=proc.headers(), timeout=10)
    assert r.status_code == 200, r.text
    return r.json()


class TestLive:
    def test_events_then_run_records_from_a_real_sink(self, start_listener):
        proc = start_listener("--heartbeat", "0.3")
        run = fresh_id()
        reader = SSEReader(f"{proc.api}/stream")
        try:
            hello = reader.next(kind="hello")
            assert hello["json"]["seq"] == 0 and hello["id"].endswith("-0")
            assert reader.headers["content-type"].startswith("text/event-stream")
            assert reader.headers["cache-control"] == "no-cache"
            sink = RemoteTraceSink(endpoint=proc.ingest_url, api_key=None, background_flush_interval=0)
            events = [runtime_event(i, run) for i in range(3)]
            events.append(runtime_event(3, run, event_type="agent_task.completed"))
            asyncio.run(sink.append_events(events))
            got = reader.collect("event", 4)
            assert [m["json"]["event_id"] for m in got] == [e.event_id for e in events]
            ids = [int(m["id"].rsplit("-", 1)[1]) for m in got]
            assert ids == sorted(ids) and len(set(ids)) == 4
            run_msg = reader.next(kind="run")
            assert run_msg["json"]["run_id"] == run
            assert run_msg["json"]["status"] == "completed" and run_msg["json"]["event_count"] == 4
            assert run_msg["id"] == got[-1]["id"]
            assert reader.next(kind="comment", timeout=5)["comment"] == "heartbeat"
        finally:
            reader.close()

    def test_filters_of_the_stream(self, listener):
        run, other = fresh_id(), fresh_id()
        by_run = SSEReader(f"{listener.api}/stream", params={"run_id": run, "include_descendants": "true"})
        by_search = SSEReader(f"{listener.api}/stream", params={"search": "NEEDLE"})
        by_type = SSEReader(f"{listener.api}/stream", params={"event_types": "agent_task.failed"})
        try:
            for r in (by_run, by_search, by_type):
                r.next(kind="hello")
            child = fresh_id("child")
            post(listener, [event(1, other), event(2, run), event(3, child, parent=run),
                            event(4, other, message="a needle here"),
                            event(5, other, event_type="agent_task.failed")])
            assert [m["json"]["event_id"] for m in by_run.collect("event", 2)] == [f"{run}-e2", f"{child}-e3"]
            assert {by_run.next(kind="run")["json"]["run_id"], by_run.next(kind="run")["json"]["run_id"]} == {run, child}
            assert by_search.next(kind="event")["json"]["event_id"] == f"{other}-e4"
            assert by_type.next(kind="event")["json"]["event_id"] == f"{other}-e5"
            # Nothing else reached the filtered streams.
            post(listener, [event(9, fresh_id())])
            for r in (by_run, by_search, by_type):
                with pytest.raises(AssertionError):
                    r.next(timeout=0.5, kind="event")
        finally:
            for r in (by_run, by_search, by_type):
                r.close()

    def test_client_that_leaves_is_dropped(self, listener):
        import time

        reader = SSEReader(f"{listener.api}/stream")
        reader.next(kind="hello")
        assert httpx.get(f"{listener.api}/stats", timeout=5).json()["stream_clients"] == 1
        reader.close()
        deadline = time.monotonic() + 5
        while httpx.get(f"{listener.api}/stats", timeout=5).json()["stream_clients"]:
            assert time.monotonic() < deadline, "the stream stayed registered after its client left"
            time.sleep(0.05)

    def test_bad_stream_parameter_is_400(self, listener):
        r = httpx.get(f"{listener.api}/stream", params={"since": "soon"}, timeout=5)
        assert r.status_code == 400 and r.json()["parameter"] == "since"

    def test_duplicates_are_not_streamed_again(self, listener):
        run = fresh_id()
        reader = SSEReader(f"{listener.api}/stream", params={"run_id": run})
        try:
            reader.next(kind="hello")
            post(listener, [event(1, run)])
            post(listener, [event(1, run), event(2, run)])
            got = reader.collect("event", 2)
            assert [m["json"]["event_id"] for m in got] == [f"{run}-e1", f"{run}-e2"]
        finally:
            reader.close()


class TestResume:
    def test_last_event_id_replays_what_was_missed(self, listener):
        run = fresh_id()
        first = SSEReader(f"{listener.api}/stream", params={"run_id": run})
        first.next(kind="hello")
        post(listener, [event(1, run), event(2, run)])
        last = first.collect("event", 2)[-1]["id"]
        first.close()
        post(listener, [event(3, run), event(4, run)])
        post(listener, [event(5, fresh_id())])  # not for this filter
        again = SSEReader(f"{listener.api}/stream", params={"run_id": run},
                          headers={"Last-Event-ID": last})
        try:
            hello = again.next(kind="hello")
            assert "id" not in hello  # the client keeps its own last id until it gets more
            got = again.collect("event", 2)
            assert [m["json"]["event_id"] for m in got] == [f"{run}-e3", f"{run}-e4"]
            assert again.next(kind="run")["json"]["event_count"] == 4
            post(listener, [event(6, run)])
            assert again.next(kind="event")["json"]["event_id"] == f"{run}-e6"
        finally:
            again.close()

    def test_id_from_before_a_restart_gets_a_gap(self, start_listener, tmp_path):
        proc = start_listener()
        reader = SSEReader(f"{proc.api}/stream")
        old_id = reader.next(kind="hello")["id"]
        reader.close()
        proc.stop()
        proc2 = start_listener(port=proc.port, db=tmp_path / "listener.sqlite3")
        again = SSEReader(f"{proc2.api}/stream", headers={"Last-Event-ID": old_id})
        try:
            again.next(kind="hello")
            gap = again.next(kind="gap")
            assert gap["json"]["reason"] == "resume"
        finally:
            again.close()


class TestHub:
    """The hub with a real desk: overflow of a client that does not read."""

    def test_slow_client_gets_a_gap_and_ingest_never_waits(self, tmp_path):
        from orvane_devtools.listener.config import ListenerConfig
        from orvane_devtools.listener.core import ListenerCore
        from orvane_devtools.listener.decode import decode_body

        core = ListenerCore(ListenerConfig(db_path=tmp_path / "db", stream_queue_size=5))

        async def scenario():
            gen = core.hub.messages(StreamFilter())
            assert "event: hello" in await gen.__anext__()
            import json as _json

            for start in range(0, 40, 10):
                batch = decode_body(_json.dumps(body([event(i, "slow") for i in range(start, start + 10)])).encode())
                await core.ingest(batch)  # returns although nobody reads the stream
            gap = await asyncio.wait_for(gen.__anext__(), 5)
            rest = await asyncio.wait_for(gen.__anext__(), 5)
            core.hub.close()
            with pytest.raises(StopAsyncIteration):
                await asyncio.wait_for(gen.__anext__(), 5)
            return gap, rest

        gap, rest = asyncio.run(scenario())
        assert "event: gap" in gap and '"dropped":35' in gap and '"reason":"overflow"' in gap
        assert rest.count("event: event") == 5 and "slow-e39" in rest
        assert core.hub.client_count == 0

    def test_resume_too_old_for_the_ring(self, tmp_path):
        from orvane_devtools.listener.config import ListenerConfig
        from orvane_devtools.listener.core import ListenerCore

        core = ListenerCore(ListenerConfig(db_path=tmp_path / "db"))
        hub: StreamHub = core.hub
        assert hub._parse_last_id(f"{hub.epoch}-0") == (True, 0)
        assert hub._parse_last_id("garbage") == (False, -1)
        assert hub._parse_last_id(f"{hub.epoch}-99") == (False, -1)  # from the future
        assert hub._parse_last_id(None) == (False, 0)


class TestStop:
    def test_stream_ends_when_the_server_stops(self, listener):
        reader = SSEReader(f"{listener.api}/stream")
        reader.next(kind="hello")
        code, _ = listener.stop(signal.SIGTERM)
        assert code == 0
        assert "timeout graceful shutdown exceeded" not in listener.output()
        assert reader.ended.wait(5)
        reader.close()
