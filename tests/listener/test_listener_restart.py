"""The listener stopped and started again: the sink's warning and probe, kept runs, SIGKILL."""

from __future__ import annotations

import asyncio
import random
import signal
import threading
import time
import warnings

import httpx
import pytest
from listener_helpers import needs_persistence
from listener_helpers import body, event, fresh_id, runtime_event

from orvane_devtools.observation.backends.Uplink import (
    ObservationBridgeUnavailableWarning,
    RemoteTraceSink,
)

pytestmark = pytest.mark.timeout(90)


class TestUploadBackendAgainstRestarts:
    def test_warning_probe_and_catch_up(self, start_listener, tmp_path):
        db = tmp_path / "listener.sqlite3"
        proc = start_listener(db=db)
        port = proc.port
        run = fresh_id()
        sink = RemoteTraceSink(endpoint=proc.ingest_url, api_key=None, timeout=2.0)
        assert sink._local_listener_target == (f"http://127.0.0.1:{port}", "/observation")
        assert asyncio.run(sink._probe_local_listener()) is True

        asyncio.run(sink.append_events([runtime_event(0, run)]))
        assert sink.get_stats()["uploaded_event_count"] == 1

        proc.stop()
        assert asyncio.run(sink._probe_local_listener()) is False
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            asyncio.run(sink.append_events([runtime_event(1, run)]))
            asyncio.run(sink.append_events([runtime_event(2, run)]))
        outage = [w for w in caught if issubclass(w.category, ObservationBridgeUnavailableWarning)]
        assert len(outage) == 1, [str(w.message) for w in caught]
        text = str(outage[0].message)
        assert text.startswith(f"ObservationBridge could not connect to the DevTools listener at {proc.ingest_url}")
        assert "Start the local listener with `orvane-devtools start`." in text
        assert sink._needs_local_probe is True
        assert sink.get_stats()["pending_event_count"] == 2

        # Back on the same port with the same database: the probe answers, the queue drains.
        start_listener(db=db, port=port)
        assert asyncio.run(sink._probe_local_listener()) is True
        sink._next_retry_at = 0.0  # skip the rest of the back-off
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            asyncio.run(sink.append_events([runtime_event(3, run)]))
        assert not [w for w in caught if issubclass(w.category, ObservationBridgeUnavailableWarning)]
        stats = sink.get_stats()
        assert stats["pending_event_count"] == 0 and stats["uploaded_event_count"] == 4
        assert sink._needs_local_probe is False and sink._failure_count == 0
        r = httpx.get(f"http://127.0.0.1:{port}/observation/events", params={"run_id": run}, timeout=5)
        assert {e["event_id"] for e in r.json()["events"]} >= {f"{run}-e1", f"{run}-e2", f"{run}-e3"}

    def test_probe_of_a_listener_with_a_key_still_counts_as_up(self, start_listener):
        proc = start_listener(api_key="the-key")
        sink = RemoteTraceSink(endpoint=proc.ingest_url, api_key=None)
        # 401 is below 500: the listener is there, only the key is missing.
        assert asyncio.run(sink._probe_local_listener()) is True


@needs_persistence
class TestPersistence:
    def test_restart_keeps_every_run(self, start_listener, tmp_path):
        db = tmp_path / "keep.sqlite3"
        proc = start_listener(db=db)
        runs = [fresh_id() for _ in range(20)]
        with proc.client() as c:
            for k, run in enumerate(runs):
                evs = [event(i, run, parent=runs[0] if k else None) for i in range(10)]
                assert c.post("/observation/ingest", json=body(evs)).json()["accepted"] == 10
            before = c.get("/observation/runs", params={"limit": 1000}).json()["runs"]
            tree_before = c.get(f"/observation/runs/{runs[0]}/tree").json()
        proc.stop()
        proc2 = start_listener(db=db)
        with proc2.client() as c:
            after = c.get("/observation/runs", params={"limit": 1000}).json()["runs"]
            tree_after = c.get(f"/observation/runs/{runs[0]}/tree").json()
            assert c.get("/observation/events", params={"search": runs[7]}).json()["events"]
            again = c.post("/observation/ingest", json=body([event(0, runs[3])])).json()
        key = lambda r: r["run_id"]  # noqa: E731
        # The records as stored: the judgement (and its time) is made anew at every read.
        strip = lambda rs: [{k: v for k, v in r.items() if k not in ("meta", "failed_at", "status")}  # noqa: E731
                            for r in sorted(rs, key=key)]
        assert strip(after) == strip(before)
        assert len(tree_after["children"]) == len(tree_before["children"]) == 19
        assert again == {"accepted": 0, "duplicates": 1, "rejected": []}

    @pytest.mark.timeout(120)
    def test_sigkill_during_ingest_loses_nothing_acknowledged(self, start_listener, tmp_path):
        db = tmp_path / "kill.sqlite3"
        proc = start_listener(db=db)
        acknowledged: list[str] = []
        stop = threading.Event()

        def sender():
            client = httpx.Client(timeout=5)
            n = 0
            while not stop.is_set():
                run = f"kill-run-{n // 1000}"
                evs = [event(n + i, run) for i in range(100)]
                n += 100
                try:
                    r = client.post(proc.ingest_url, json=body(evs))
                except httpx.HTTPError:
                    return
                if r.status_code == 200:
                    acknowledged.extend(e["event_id"] for e in evs)

        thread = threading.Thread(target=sender)
        thread.start()
        time.sleep(random.uniform(1.0, 2.0))
        proc.proc.send_signal(signal.SIGKILL)
        proc.proc.wait(10)
        stop.set()
        thread.join(10)
        assert len(acknowledged) >= 100
        proc2 = start_listener(db=db)
        with proc2.client() as c:
            for event_id in acknowledged[:: max(1, len(acknowledged) // 200)] + acknowledged[-100:]:
                assert c.get(f"/observation/events/{event_id}").status_code == 200, event_id
            total = c.get("/observation/stats").json()["events"]
        assert total >= len(acknowledged)
