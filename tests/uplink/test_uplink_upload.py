"""Upload protocol of RemoteTraceSink against a real HTTP listener: bodies, headers, failures,
back-off, the unavailability warning and the local listener probe."""

from __future__ import annotations

import asyncio
import time as real_time
import warnings

import pytest

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.backends import Uplink
from orvane_devtools.observation.backends.Uplink import (
    ObservationBridgeUnavailableWarning,
    RemoteTraceSink,
)

TAIL = " Pending events will stay buffered in memory and upload will retry silently with backoff."
REMOTE_HINT = "Check that the configured DevTools endpoint and API key are reachable."
LOCAL_HINT = "Start the local listener with `orvane-devtools start`."


class FakeTime:
    """Stands in for the module's ``time``: a monotonic clock moved by hand."""

    def __init__(self) -> None:
        self.now = 1000.0

    def monotonic(self) -> float:
        return self.now

    def time(self) -> float:
        return 1_700_000_000.0 + self.now

    def sleep(self, seconds: float) -> None:
        real_time.sleep(min(seconds, 0.01))


@pytest.fixture
def fake_time(monkeypatch):
    clock = FakeTime()
    monkeypatch.setattr(Uplink, "time", clock)
    return clock


def sink_for(url, **kw):
    kw.setdefault("api_key", "key-123")
    kw.setdefault("timeout", 1.0)
    sink = RemoteTraceSink(endpoint=url, **kw)
    sink._ensure_background_flush = lambda: True  # uploads only when a test asks
    return sink


def ev(event_type="agent_task.progress", **kw):
    return RuntimeEvent(event_type=event_type, **kw)


def remote_url(listener):
    # 127.0.0.2 is not a local listener name: no probe happens.
    return listener.url().replace("127.0.0.1", "127.0.0.2")


def caught_all(fn):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        fn()
    return list(seen)


def caught(fn):
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        fn()
    return [w for w in seen if issubclass(w.category, ObservationBridgeUnavailableWarning)]


class TestRequests:
    def test_body_headers_and_path(self, listener):
        sink = sink_for(listener.url("/custom/ingest"), app_id="app", group_id="grp", environment="prod")
        sink._needs_local_probe = False
        run = RuntimeRunContext(run_id="r1", meta={"flow_name": "f"})
        events = [
            ev("stream.delta", payload={"text": "hi", "api_key": "leak"}, run=run),
            ev("x.completed", meta={"environment": "staging"}),
        ]
        sink.append_events_nowait(events)
        asyncio.run(sink.flush())
        (post,) = listener.posts()
        assert post["path"] == "/custom/ingest"
        assert post["headers"]["authorization"] == "Bearer key-123"
        assert post["headers"]["content-type"] == "application/json"
        body = post["body"]
        assert list(body) == ["app_id", "group_id", "environment", "events"]
        assert (body["app_id"], body["group_id"], body["environment"]) == ("app", "grp", "prod")
        first, second = body["events"]
        assert first["event_id"] == events[0].event_id
        assert first["meta"] == {"app_id": "app", "group_id": "grp", "environment": "prod"}
        assert first["payload"] == {"text": "hi", "api_key": "***"}  # sanitised
        assert first["run"]["meta"] == {"flow_name": "f"}
        assert second["meta"]["environment"] == "staging"  # the event's own value wins
        stats = sink.get_stats()
        assert (stats["upload_batch_count"], stats["uploaded_event_count"], stats["pending_event_count"]) == (1, 2, 0)
        assert stats["last_upload_at"] is not None

    @pytest.mark.parametrize("key", [None, ""])
    def test_no_authorization_without_a_key(self, listener, key):
        sink = sink_for(remote_url(listener).replace("127.0.0.2", "127.0.0.1"), api_key=key)
        sink._needs_local_probe = False
        sink.append_event_nowait(ev())
        asyncio.run(sink.flush())
        assert "authorization" not in listener.posts()[0]["headers"]

    def test_nothing_to_send_sends_nothing(self, listener):
        sink = sink_for(listener.url())
        asyncio.run(sink.flush())
        asyncio.run(sink.append_events([]))
        assert listener.requests == []

    def test_append_events_uploads_in_batches_oldest_first(self, listener):
        sink = sink_for(listener.url(), batch_size=3, api_key=None)
        events = [ev() for _ in range(7)]
        asyncio.run(sink.append_events(events))
        posts = listener.posts()
        assert [len(p["body"]["events"]) for p in posts] == [3, 3, 1]
        assert [e["event_id"] for e in listener.events()] == [e.event_id for e in events]
        # The local endpoint was probed once, on its GET route, before the first upload.
        gets = [r for r in listener.requests if r["method"] == "GET"]
        assert [g["path"] for g in gets] == ["/observation/runs"]
        assert sink._needs_local_probe is False

    def test_flush_runs_off_the_callers_loop(self, listener):
        sink = sink_for(listener.url())
        sink.append_event_nowait(ev())

        async def main():
            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    ticks += 1
                    await asyncio.sleep(0)

            task = asyncio.create_task(ticker())
            await sink.flush()
            task.cancel()
            return ticks

        assert asyncio.run(main()) > 0
        assert len(listener.posts()) == 1

    def test_inherited_append_event_uses_the_batch_path(self, listener):
        sink = sink_for(listener.url())
        event = ev()
        asyncio.run(sink.append_event(event))
        assert [e["event_id"] for e in listener.events()] == [event.event_id]

    def test_coroutines_start_lazily_and_check_arguments_at_call(self, listener):
        sink = sink_for(listener.url())
        coro = sink.append_events([ev()])
        assert sink._enqueued_event_count == 0
        coro.close()
        with pytest.raises(TypeError, match="Argument 'events' has incorrect type"):
            sink.append_events(5)


class TestSerialization:
    def test_matches_the_sanitiser_of_the_plain_dump(self):
        from orvane.utils import DataFormatter

        deep = current = {}
        for _ in range(230):  # deeper than DataFormatter.MAX_DEPTH
            current["next"] = {}
            current = current["next"]
        payload = {
            "Token": "t", "nested": [{"password": 1, "ok": [1, {"Authorization": "x"}]}],
            "deep": deep, "text": "Straße", "n": 1.5,
        }
        sink = sink_for("https://devtools.example.com/ingest", group_id="g")
        event = ev(payload=payload, meta={"api_key": "secret", "app_id": "mine"})
        merged = {**event.meta, "group_id": "g", "environment": "local"}
        expected = DataFormatter.sanitize(event.model_copy(update={"meta": merged}).model_dump(mode="json"))
        assert sink._serialize_event(event) == expected
        assert expected["meta"]["api_key"] == "***" and expected["payload"]["Token"] == "***"


class TestFailures:
    @pytest.mark.parametrize("status", [401, 500])
    def test_error_status_keeps_the_batch(self, listener, status):
        listener.status = status
        sink = sink_for(remote_url(listener).replace("127.0.0.2", "127.0.0.1"))
        sink._needs_local_probe = False
        sink._local_listener_target = None
        sink.append_events_nowait([ev(), ev()])
        seen = caught(lambda: asyncio.run(sink.flush()))
        assert len(seen) == 1
        stats = sink.get_stats()
        assert stats["pending_event_count"] == 2 and stats["upload_failure_count"] == 1
        assert str(status) in stats["last_failure"]
        assert sink._failure_count == 1
        listener.status = 200
        asyncio.run(sink.flush())
        assert sink.get_stats()["pending_event_count"] == 0 and sink._failure_count == 0

    def test_slow_listener_times_out(self, listener):
        listener.delay = 0.6
        sink = sink_for(listener.url(), timeout=0.2)
        sink._needs_local_probe = False
        sink.append_event_nowait(ev())
        seen = caught(lambda: asyncio.run(sink.flush()))
        assert len(seen) == 1 and sink.get_stats()["pending_event_count"] == 1
        assert sink._upload_failure_count == 1

    def test_down_listener_warns_once_with_the_text(self, down_url):
        sink = sink_for(down_url.replace("127.0.0.1", "localhost"))
        sink.append_event_nowait(ev())
        seen = caught(lambda: asyncio.run(sink.flush()))
        seen += caught(lambda: asyncio.run(sink.flush()))
        assert len(seen) == 1
        text = str(seen[0].message)
        prefix = f"ObservationBridge could not connect to the DevTools listener at {sink.endpoint} ("
        assert text.startswith(prefix) and text.endswith("). " + LOCAL_HINT + TAIL)
        assert sink._upload_failure_count == 2 and sink._needs_local_probe is True

    def test_warning_texts(self):
        sink = sink_for("https://devtools.example.com/ingest")
        assert sink._build_warning_message() == (
            "ObservationBridge could not connect to the DevTools listener at "
            "https://devtools.example.com/ingest. " + REMOTE_HINT + TAIL)
        assert sink._build_warning_message(ValueError("")) == sink._build_warning_message()
        assert "(boom). " in sink._build_warning_message(ValueError("boom"))
        with pytest.raises(TypeError, match="Argument 'error' has incorrect type"):
            sink._mark_unavailable("not an exception")

    def test_secrets_never_leak(self, listener):
        listener.status = 401
        url = listener.url().replace("127.0.0.1", "user:hunter2@127.0.0.1")
        sink = sink_for(url, api_key="sk-very-secret")
        sink._needs_local_probe = False
        sink.append_event_nowait(ev())
        seen = caught(lambda: asyncio.run(sink.flush()))
        texts = [str(w.message) for w in seen] + [repr(sink.get_stats())]
        for text in texts:
            assert "hunter2" not in text and "sk-very-secret" not in text
        assert len(seen) == 1 and len(listener.posts()) == 1
        assert sink.endpoint == url

    def test_errors_outside_encoding_propagate(self, listener):
        sink = sink_for(listener.url())
        sink._needs_local_probe = False
        sink.append_event_nowait(ev())

        def broken(batch_event_ids):
            raise RuntimeError("bookkeeping broke")

        sink._drop_uploaded_batch = broken
        with pytest.raises(RuntimeError, match="bookkeeping broke"):
            asyncio.run(sink.flush())
        assert sink._upload_failure_count == 0 and sink._has_pending_events()

    def test_events_the_sanitiser_fails_on_are_set_aside(self, listener, monkeypatch):
        sink = sink_for(listener.url())
        sink._needs_local_probe = False
        sink.append_event_nowait(ev())

        class Broken:
            @staticmethod
            def sanitize(data):
                raise RuntimeError("cannot serialise")

        monkeypatch.setattr(Uplink, "DataFormatter", Broken)
        seen = caught_all(lambda: asyncio.run(sink.flush()))
        assert [w.category.__name__ for w in seen] == ["ObservationBridgeEventSetAsideWarning"]
        assert "RuntimeError: cannot serialise" in str(seen[0].message)
        stats = sink.get_stats()
        assert (stats["unencodable_event_count"], stats["pending_event_count"], stats["upload_failure_count"]) == (1, 0, 0)
        assert listener.posts() == []


class TestBackoff:
    def test_delay_sequence_and_single_warning(self, fake_time):
        sink = sink_for("https://devtools.example.com/ingest")
        delays = []

        def fail_many():
            for _ in range(8):
                sink._mark_unavailable(ConnectionError("down"))
                delays.append(sink._next_retry_at - fake_time.now)

        seen = caught(fail_many)
        assert delays == [1, 2, 4, 8, 16, 30, 30, 30]
        assert len(seen) == 1 and sink._has_warned_unavailable
        sink._mark_available()
        assert (sink._failure_count, sink._next_retry_at, sink._has_warned_unavailable) == (0, 0.0, False)
        seen = caught(lambda: sink._mark_unavailable())
        assert len(seen) == 1 and sink._next_retry_at - fake_time.now == 1
        assert sink.get_stats()["last_failure"] is None

    def test_days_of_failures_stay_at_the_cap(self, fake_time):
        sink = sink_for("https://devtools.example.com/ingest")
        sink._has_warned_unavailable = True
        for count in (1023, 1024, 5000, 10**30):
            sink._failure_count = count
            sink._mark_unavailable()
            assert sink._next_retry_at - fake_time.now == 30.0

    def test_unforced_runs_wait_for_the_deadline(self, listener, fake_time):
        listener.status = 500
        sink = sink_for(listener.url())
        sink._needs_local_probe = False
        sink.append_event_nowait(ev())
        caught(lambda: sink._run_flush_sync(drain=True))
        assert len(listener.posts()) == 1
        listener.status = 200
        sink._run_flush_sync()  # still backing off: no request
        assert len(listener.posts()) == 1
        fake_time.now += 1.0
        # A local listener that failed is probed again before the next unforced upload.
        sink._run_flush_sync()
        assert [r["method"] for r in listener.requests] == ["POST", "GET", "POST"]
        assert not sink._has_pending_events()


class TestProbe:
    @pytest.mark.parametrize(
        "endpoint,target",
        [
            ("http://127.0.0.1:7000/observation/ingest", ("http://127.0.0.1:7000", "/observation")),
            ("http://localhost:7000", ("http://localhost:7000", "/observation")),
            ("https://LOCALHOST:9000/x/ingest", ("https://LOCALHOST:9000", "/x")),
            ("http://127.0.0.1/api/", ("http://127.0.0.1", "/api")),
            ("http://example.com/observation/ingest", None),
            ("ftp://127.0.0.1/observation/ingest", None),
            ("http://127.0.0.2:7000/ingest", None),
        ],
    )
    def test_local_listener_target(self, endpoint, target):
        sink = sink_for(endpoint)
        assert sink._local_listener_target == target
        assert sink._needs_local_probe is (target is not None)

    @pytest.mark.parametrize("status,up", [(200, True), (401, True), (404, True), (500, False), (503, False)])
    def test_probe_status(self, listener, status, up):
        listener.probe_status = status
        sink = sink_for(listener.url("/api/ingest"))
        assert asyncio.run(sink._probe_local_listener()) is up
        (get,) = listener.requests
        assert get["path"] == "/api/runs" and get["headers"]["authorization"] == "Bearer key-123"

    def test_probe_of_a_down_listener_and_a_remote_endpoint(self, down_url):
        assert asyncio.run(sink_for(down_url)._probe_local_listener()) is False
        assert asyncio.run(sink_for("https://example.com/x")._probe_local_listener()) is True

    def test_failed_probe_counts_without_error_text(self, listener):
        listener.probe_status = 500
        sink = sink_for(listener.url())
        sink.append_event_nowait(ev())
        seen = caught(lambda: sink._run_flush_sync())
        assert listener.posts() == [] and sink._upload_failure_count == 1
        assert sink._last_failure is None
        assert len(seen) == 1 and "listener at " + sink.endpoint + ". " in str(seen[0].message)
        # A forced flush skips both the back-off and the probe.
        asyncio.run(sink.flush())
        assert len(listener.posts()) == 1
