"""`orvane-devtools demo --endpoint URL` sends its session to a running listener."""

from __future__ import annotations

import socket
import subprocess
import sys

import httpx


def run_demo(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "orvane_devtools", "demo", *args],
                          capture_output=True, text=True, timeout=120)


def test_demo_session_lands_in_the_listener(start_listener, tmp_path):
    proc = start_listener("--orphan-after", "1")
    done = run_demo("--endpoint", proc.ingest_url, "--out", str(tmp_path / "out"))
    assert done.returncode == 0, done.stderr + done.stdout
    root = next(word for word in done.stdout.split() if word.startswith("run-root-"))
    assert f"open http://127.0.0.1:{proc.port}/ to see {root}" in done.stdout
    with httpx.Client(base_url=proc.api, timeout=10) as c:
        tree = c.get(f"/runs/{root}/tree").json()
        kids = {n["run"]["agent_name"]: n["run"] for n in tree["children"]}
        assert tree["run"]["status"] == "completed"
        assert kids["Summarizer"]["status"] == "failed"
        assert kids["Translator"]["meta"]["devtools_stale_reason"] == "orphaned_after_ancestor_terminal"
        stats = c.get("/stats").json()
    # 15 emitted, 2 of them sent twice: the listener keeps 13.
    assert stats["events"] == 13 and stats["duplicates_total"] == 2
    # The same demo again: a session of its own, next to the first.
    again = run_demo("--endpoint", proc.ingest_url, "--out", str(tmp_path / "out"))
    assert again.returncode == 0
    roots = httpx.get(f"{proc.api}/runs", timeout=10).json()["runs"]
    assert len([r for r in roots if r["run_id"].startswith("run-root-")]) == 2


def test_demo_against_no_listener_says_so(tmp_path):
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    done = run_demo("--endpoint", f"http://127.0.0.1:{port}/observation/ingest", "--out", str(tmp_path))
    assert done.returncode == 1
    assert "is `orvane-devtools start` running?" in done.stdout
