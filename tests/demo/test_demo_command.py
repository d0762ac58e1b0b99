"""The main job: `orvane-devtools demo` plays a session end to end and exits 0."""

import json
import subprocess
import sys


def test_demo_runs_end_to_end(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-m", "orvane_devtools", "demo", "--out", str(tmp_path)],
        capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert "events emitted 15, accepted 13, duplicates dropped 2" in out
    assert "run-translate (Translator) failed - orphaned_after_ancestor_terminal" in out
    assert "run-summarize (Summarizer) failed" in out
    assert "search 'TIMED OUT': 1 event(s)" in out
    assert "events received by the listener 15" in out
    lines = (tmp_path / "events.jsonl").read_text(encoding="utf-8").splitlines()
    assert len(lines) == 13
    assert {json.loads(line)["event_type"] for line in lines} >= {"agent_task.failed", "stream.delta"}
    assert len(out.splitlines()) <= 30  # fits one screen
