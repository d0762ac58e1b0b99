"""`orvane-devtools start`: what it prints, how it refuses, how it stops."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import sys
import time

import httpx
import pytest
from listener_helpers import SSEReader, body, event

from orvane_devtools.listener.cli import parse_size
from orvane_devtools.listener.config import (
    ListenerConfig,
    ListenerConfigError,
    default_db_path,
    normalize_prefix,
)


def run_start(*args: str, env: dict[str, str] | None = None, timeout: float = 30) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "orvane_devtools", "start", *args],
                          capture_output=True, text=True, timeout=timeout,
                          env=dict(os.environ if env is None else env))


class TestStartBanner:
    def test_prints_ingest_url_page_and_database(self, start_listener, tmp_path):
        proc = start_listener()
        out = proc.output()
        assert f"ingest URL:  http://127.0.0.1:{proc.port}/observation/ingest" in out
        assert f"web page:    http://127.0.0.1:{proc.port}/" in out
        assert str(tmp_path / "listener.sqlite3") in out
        assert httpx.get(f"{proc.origin}/healthz", timeout=5).json() == {"ok": True}

    def test_without_db_option_prints_and_creates_the_default_folder(self, tmp_path):
        env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "data"))
        proc = subprocess.Popen([sys.executable, "-m", "orvane_devtools", "start", "--port", "0"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        try:
            lines = []
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline:
                line = proc.stdout.readline()
                if not line:
                    break
                lines.append(line)
                if line.startswith("Press Ctrl-C"):
                    break
            out = "".join(lines)
            expected = tmp_path / "data" / "orvane-devtools" / "listener.sqlite3"
            assert f"database:    {expected}" in out, out
            assert expected.parent.is_dir()
        finally:
            proc.send_signal(signal.SIGTERM)
            assert proc.wait(10) == 0


class TestRefusals:
    def test_port_in_use_is_one_line_without_traceback(self, tmp_path):
        sock = socket.socket()
        sock.bind(("127.0.0.1", 0))
        sock.listen(1)
        port = sock.getsockname()[1]
        try:
            done = run_start("--port", str(port), "--db", str(tmp_path / "db.sqlite3"))
        finally:
            sock.close()
        assert done.returncode == 1
        err = done.stderr.strip()
        assert len(err.splitlines()) == 1, done.stderr
        assert f"port {port}" in err and "already in use" in err
        assert "Traceback" not in done.stderr + done.stdout

    def test_other_address_needs_an_api_key(self, tmp_path):
        env = {k: v for k, v in os.environ.items() if k != "ORVANE_DEVTOOLS_API_KEY"}
        done = run_start("--host", "0.0.0.0", "--port", "0", "--db", str(tmp_path / "db"), env=env)
        assert done.returncode == 2
        assert "API key" in done.stderr and "ORVANE_DEVTOOLS_API_KEY" in done.stderr
        assert len(done.stderr.strip().splitlines()) == 1

    def test_key_from_environment_satisfies_the_address_rule(self):
        config = ListenerConfig(host="0.0.0.0", api_key=None)
        with pytest.raises(ListenerConfigError):
            config.validate()
        from argparse import Namespace

        from orvane_devtools.listener.cli import config_from_args

        args = Namespace(api_key=None, host="0.0.0.0", port=0, prefix="/observation", db=None,
                         max_body=1 << 20, max_events=10, retention_days=None, cors_origin=[],
                         heartbeat=15.0)
        config = config_from_args(args, {"ORVANE_DEVTOOLS_API_KEY": "s3cret"})
        assert config.api_key == "s3cret"
        config.validate()  # no error now
        assert config_from_args(args, {}).api_key is None

    def test_database_path_that_is_a_folder(self, tmp_path):
        done = run_start("--port", "0", "--db", str(tmp_path))
        assert done.returncode == 2
        assert "is a folder" in done.stderr
        assert "Traceback" not in done.stderr

    def test_file_that_is_not_a_database_is_refused_and_kept(self, tmp_path):
        db = tmp_path / "notes.sqlite3"
        db.write_bytes(b"these are my notes, not a database\n" * 100)
        done = run_start("--port", "0", "--db", str(db))
        assert done.returncode == 1
        err = done.stderr.strip()
        assert len(err.splitlines()) == 1 and str(db) in err, done.stderr
        assert "Traceback" not in done.stderr + done.stdout
        assert db.read_bytes().startswith(b"these are my notes")

    @pytest.mark.parametrize("raw, expected", [
        ("/observation", "/observation"), ("observation/", "/observation"), ("/", ""),
        ("", ""), ("/a//b/", "/a/b"),
    ])
    def test_prefix_forms(self, raw, expected):
        assert normalize_prefix(raw) == expected

    @pytest.mark.parametrize("raw", ["/a b", "/../etc", "/x?y", "/%2e", "/assets", "assets/api", "/healthz"])
    def test_prefix_refused(self, raw):
        with pytest.raises(ListenerConfigError):
            normalize_prefix(raw)

    def test_sizes(self):
        assert parse_size("16MiB") == 16 * 1024 * 1024
        assert parse_size("500k") == 500_000
        assert parse_size("2048") == 2048
        with pytest.raises(Exception):
            parse_size("lots")

    def test_default_db_path_is_absolute(self):
        assert default_db_path().is_absolute()


class TestStop:
    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("sig", [signal.SIGTERM, signal.SIGINT])
    def test_signal_stops_with_a_stream_open(self, start_listener, sig):
        proc = start_listener()
        reader = SSEReader(f"{proc.api}/stream")
        try:
            assert reader.next(kind="hello")
            code, _ = proc.stop(sig)
            assert code == 0, proc.output()
            assert reader.ended.wait(5), "the stream stayed open after the server stopped"
            out = proc.output()
            assert "listener stopped" in out and "Traceback" not in out
            # The stream ended at once: the stop did not wait out the graceful time-out (how
            # long a stop takes is measured in benchmarks/bench_listener.py).
            assert "timeout graceful shutdown exceeded" not in out, out
        finally:
            reader.close()

    @pytest.mark.timeout(90)
    def test_batches_in_flight_at_stop_are_committed(self, start_listener, tmp_path):
        from listener_helpers import persistent_log_service

        db = tmp_path / "stop.sqlite3"
        proc = start_listener(db=db)
        outcomes: list = []
        import threading

        def sender():
            with httpx.Client(timeout=10) as client:
                for n in range(0, 1_000_000, 500):
                    evs = [event(n + i, f"stop-{n // 5000}") for i in range(500)]
                    try:
                        r = client.post(proc.ingest_url, json=body(evs))
                    except httpx.HTTPError as exc:
                        outcomes.append((evs, exc))
                        return
                    outcomes.append((evs, r.status_code))

        thread = threading.Thread(target=sender)
        thread.start()
        time.sleep(1.0)
        code, seconds = proc.stop(signal.SIGTERM)
        thread.join(15)
        assert code == 0, proc.output()
        assert "timeout graceful shutdown exceeded" not in proc.output()
        answered = [evs for evs, outcome in outcomes if outcome == 200]
        assert answered, outcomes[-1:]
        # Every answer was a 200 after its commit; the last request either got its 200 too or
        # no answer at all (it was not taken in): never an error status.
        assert all(o == 200 or isinstance(o, httpx.TransportError) for _, o in outcomes)
        if not persistent_log_service():
            return
        proc2 = start_listener(db=db)
        with proc2.client() as c:
            stored = c.get("/observation/stats").json()["events"]
            assert stored >= sum(len(evs) for evs in answered)
            for evs in answered[-3:]:
                assert c.get(f"/observation/events/{evs[-1]['event_id']}").status_code == 200


class TestCollectorSettings:
    def test_serving_tunes_the_collector_and_gives_the_settings_back(self):
        import gc

        from orvane_devtools.listener.server import GC_THRESHOLDS, _collector_tuned

        before = gc.get_threshold()
        assert gc.get_freeze_count() == 0
        with _collector_tuned():
            assert gc.get_threshold() == GC_THRESHOLDS
            assert gc.get_freeze_count() > 0
        assert gc.get_threshold() == before
        assert gc.get_freeze_count() == 0

    def test_objects_a_host_froze_stay_frozen(self):
        import gc

        from orvane_devtools.listener.server import _collector_tuned

        gc.freeze()
        try:
            frozen = gc.get_freeze_count()
            with _collector_tuned():
                pass
            assert gc.get_freeze_count() == frozen
        finally:
            gc.unfreeze()
