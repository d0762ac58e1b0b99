"""Background worker, exit flush and fork behaviour of RemoteTraceSink."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading
import time as real_time
import warnings
from pathlib import Path

import pytest

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.backends import Uplink
from orvane_devtools.observation.backends.Uplink import RemoteTraceSink

SRC = str(Path(Uplink.__file__).resolve().parents[3])
WORKER_NAME = "ObservationBridgeFlushWorker"


def ev(event_type="agent_task.progress", **kw):
    return RuntimeEvent(event_type=event_type, **kw)


def until(predicate, timeout: float = 5.0) -> bool:
    deadline = real_time.monotonic() + timeout
    while not predicate():
        if real_time.monotonic() > deadline:
            return False
        real_time.sleep(0.005)
    return True


def workers():
    return {t for t in threading.enumerate() if t.name == WORKER_NAME}


@pytest.fixture(autouse=True)
def quiet_warnings():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Uplink.ObservationBridgeUnavailableWarning)
        yield


class TestWorker:
    def test_quick_appends_share_one_thread_and_one_request(self, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key=None, background_flush_interval=0.2)
        sink._needs_local_probe = False
        before = workers()
        a, b = ev(), ev()
        sink.append_event_nowait(a)
        sink.append_event_nowait(b)
        assert listener.wait_events(2)
        thread = sink._worker_thread
        assert thread.name == WORKER_NAME and thread.daemon and thread.is_alive()
        assert workers() - before == {thread}
        assert [e["event_id"] for e in listener.events()] == [a.event_id, b.event_id]
        assert len(listener.posts()) == 1

    def test_concurrent_first_appends_start_one_worker(self, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key=None, background_flush_interval=0.05)
        sink._needs_local_probe = False
        before = workers()
        barrier = threading.Barrier(8)

        def append():
            barrier.wait()
            for _ in range(20):
                sink.append_event_nowait(ev())

        threads = [threading.Thread(target=append) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert listener.wait_events(160)
        assert len(workers() - before) == 1

    def test_zero_interval_uploads_at_once(self, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key=None, background_flush_interval=0)
        sink._needs_local_probe = False
        sink.append_event_nowait(ev())
        assert listener.wait_events(1)

    def test_backlog_drains_in_full_batches(self, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key=None, batch_size=10,
                               buffer_limit=1000, background_flush_interval=30)
        sink._needs_local_probe = False
        events = [ev() for _ in range(95)]
        sink.append_events_nowait(events)
        # 95 pending is more than a batch: no 30 s batching pause before uploading.
        assert listener.wait_events(95, timeout=10)
        assert [len(p["body"]["events"]) for p in listener.posts()] == [10] * 9 + [5]
        assert [e["event_id"] for e in listener.events()] == [e.event_id for e in events]

    def test_worker_honours_the_backoff_deadline(self, listener, monkeypatch):
        class Clock:
            now = 500.0

            def monotonic(self):
                return self.now

            def time(self):
                return self.now

            def sleep(self, seconds):
                real_time.sleep(min(seconds, 0.01))

        clock = Clock()
        monkeypatch.setattr(Uplink, "time", clock)
        listener.status = 500
        sink = RemoteTraceSink(endpoint=listener.url(), api_key=None, background_flush_interval=0.01)
        sink._needs_local_probe = False
        sink._local_listener_target = None
        sink.append_event_nowait(ev())
        assert listener.wait_for(lambda: len(listener.requests) == 1)
        assert until(lambda: sink._failure_count == 1)
        listener.status = 200
        sink.append_event_nowait(ev())  # wakes the worker, which must keep waiting
        real_time.sleep(0.3)
        assert len(listener.requests) == 1
        clock.now += 1.0
        sink._worker_event.set()
        assert listener.wait_events(3)  # the failed event once, then both
        assert until(lambda: sink.get_stats()["pending_event_count"] == 0)

    def test_worker_survives_errors_of_a_pass(self, listener, monkeypatch):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key=None, background_flush_interval=0)
        sink._needs_local_probe = False
        calls = []

        def broken_run(**kw):
            calls.append(kw)
            raise ValueError("pass failed")

        sink._run_flush_sync = broken_run
        sink.append_event_nowait(ev())
        assert until(lambda: sink._upload_failure_count == 1)
        assert sink._last_failure == "pass failed" and sink._worker_thread.is_alive()
        assert sink._has_pending_events()


def run_script(body: str, timeout: float = 30) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=SRC + os.pathsep + os.environ.get("PYTHONPATH", ""))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body)], capture_output=True,
                          text=True, timeout=timeout, env=env)


class TestWakeEvent:
    def test_a_waiter_that_times_out_never_blocks_the_threads_that_set_or_read_it(self):
        # A thread whose wait(timeout) ends takes the GIL back; meanwhile the GIL's holder reads
        # and sets the event. Neither may wait for the other (run apart: a deadlock would hang).
        result = run_script("""
            import threading, time
            from orvane_devtools.observation.backends.Uplink import RemoteTraceSink
            event = RemoteTraceSink(endpoint="https://devtools.example.com/ingest", api_key=None)._worker_event
            stop = False
            woken = 0

            def waiter():
                global woken
                while not stop:
                    woken += event.wait(0.0005)

            threads = [threading.Thread(target=waiter) for _ in range(2)]
            for t in threads:
                t.start()
            end = time.monotonic() + 1.0
            rounds = 0
            while time.monotonic() < end:
                event.is_set()
                if rounds % 1000 == 0:
                    event.set()
                    event.clear()
                rounds += 1
            stop = True
            for t in threads:
                t.join()
            print("rounds", rounds, "woken", woken)
        """, timeout=30)
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("rounds ")


class TestExit:
    def test_queued_events_are_sent_when_the_process_exits(self, listener):
        result = run_script(f"""
            from orvane_devtools._orvane_compat import RuntimeEvent
            from orvane_devtools.observation.backends.Uplink import RemoteTraceSink
            sink = RemoteTraceSink(endpoint={listener.url()!r}, api_key=None,
                                   background_flush_interval=60, timeout=2.0)
            sink.append_events_nowait([RuntimeEvent(event_id=f"exit-{{i}}", event_type="a") for i in range(5)])
            print("queued", sink.get_stats()["pending_event_count"])
        """)
        assert result.returncode == 0, result.stderr
        assert "queued 5" in result.stdout
        assert [e["event_id"] for e in listener.events()] == [f"exit-{i}" for i in range(5)]

    def test_exit_with_the_listener_down_is_bounded_and_counted(self, down_url):
        result = run_script(f"""
            import atexit, warnings
            warnings.simplefilter("ignore")
            from orvane_devtools._orvane_compat import RuntimeEvent
            from orvane_devtools.observation.backends.Uplink import RemoteTraceSink
            sink = RemoteTraceSink(endpoint={down_url!r}, api_key=None, timeout=0.3,
                                   background_flush_interval=60)
            sink.append_events_nowait([RuntimeEvent(event_type="a") for i in range(3)])
            # Registered after the module's hook, so it runs before it; re-register to run after.
            import orvane_devtools.observation.backends.Uplink as U
            atexit.unregister(U._flush_at_exit)
            atexit.register(lambda: print("unsent", sink.get_stats()["exit_unsent_event_count"]))
            atexit.register(U._flush_at_exit)
        """)
        assert result.returncode == 0, result.stderr
        assert "unsent 3" in result.stdout


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
class TestFork:
    def test_child_gets_fresh_locks_and_worker(self, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key=None, background_flush_interval=0.01)
        sink._needs_local_probe = False
        sink.append_event_nowait(ev(event_id="parent"))
        assert listener.wait_events(1)
        parent_worker = sink._worker_thread
        held = threading.Event()
        release = threading.Event()

        def hold_locks():
            with sink._flush_lock, sink._pending_lock:
                held.set()
                release.wait(5)

        holder = threading.Thread(target=hold_locks)
        holder.start()
        held.wait(5)
        read_fd, write_fd = os.pipe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork with threads
            pid = os.fork()
        if pid == 0:  # child
            code = 1
            try:
                os.close(read_fd)
                sink.append_event_nowait(ev(event_id="child"))
                ok = sink._worker_thread is not parent_worker and sink._worker_thread.is_alive()
                sink._run_flush_sync(force=True)
                code = 0 if ok and not sink._has_pending_events() else 2
            finally:
                os.write(write_fd, bytes([code]))
                os._exit(code)
        os.close(write_fd)
        release.set()
        holder.join()
        _, status = os.waitpid(pid, 0)
        code = os.read(read_fd, 1)
        os.close(read_fd)
        assert code == b"\x00" and os.WEXITSTATUS(status) == 0
        assert "child" in [e["event_id"] for e in listener.events()]
        # The parent is untouched.
        sink.append_event_nowait(ev(event_id="parent-2"))
        assert listener.wait_for(lambda: "parent-2" in [e["event_id"] for e in listener.events()])
        assert sink._worker_thread is parent_worker
