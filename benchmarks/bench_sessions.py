"""Sessions: opening one session of 1,000 LLM calls (``GET /sessions/{id}``: its summary and its
turns with their trees' totals) and the first page of ``GET /sessions``, through the listener's
application in this process on a real SQLite file.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_sessions.py
``ORVANE_BENCH_SESSION_TURNS`` (default 50) sets how many turns share the 1,000 calls.

The session: turns of an agent root carrying the session id, each with LLM runs under it (the
session id on them too, as a framework passes it down), each call started and completed with
its usage; beside it 200 other sessions of 3 turns with 2 calls each, so that the list and the
summary read among other sessions' runs.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from pathlib import Path

from common import report, unit_seconds

CALLS = 1000
BATCH = 512
T0 = 1_760_000_000_000


def turn_events(session: str, root: str, calls: int, at: int) -> list[dict]:
    root_run = {"run_id": root, "run_kind": "agent_task", "agent_name": "Planner", "session_id": session}
    events = [{"event_id": f"{root}-s", "event_type": "agent_task.started", "timestamp": at, "run": root_run}]
    for c in range(calls):
        cid = f"{root}-c{c}"
        run = {"run_id": cid, "root_run_id": root, "parent_run_id": root, "run_kind": "llm", "session_id": session}
        events += [
            {"event_id": f"{cid}-s", "event_type": "llm.started", "timestamp": at + c, "run": run,
             "payload": {"model": "gpt-4o", "messages": [{"role": "user", "content": "q" * 200}]}},
            {"event_id": f"{cid}-c", "event_type": "llm.completed", "timestamp": at + c + 9, "run": run,
             "payload": {"model": "gpt-4o", "usage": {"input_tokens": 300, "output_tokens": 40},
                         "choices": [{"message": {"role": "assistant", "content": "a" * 200}}]}},
        ]
    events.append({"event_id": f"{root}-e", "event_type": "agent_task.completed", "timestamp": at + calls + 20,
                   "run": root_run})
    return events


def timed(client, url: str, params: dict, rounds: int = 40) -> tuple[float, float, dict]:
    times = []
    body = None
    for _ in range(rounds):
        t = time.perf_counter()
        r = client.get(url, params=params)
        times.append(time.perf_counter() - t)
        assert r.status_code == 200, r.text
        body = r.json()
    times.sort()
    return times[len(times) // 2], times[int(len(times) * 0.95)], body


def main() -> None:
    turns = int(os.environ.get("ORVANE_BENCH_SESSION_TURNS", "50"))
    u = unit_seconds()
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "listener"))
    from listener_helpers import InProcessListener

    with tempfile.TemporaryDirectory() as tmp:
        listener = InProcessListener(Path(tmp) / "sessions.sqlite3")
        try:
            client = listener.client()
            events: list[dict] = []
            for s in range(200):
                for t in range(3):
                    events += turn_events(f"other-{s}", f"other-{s}-t{t}", 2, T0 + s * 100 + t * 10)
            per_turn = CALLS // turns
            for t in range(turns):
                events += turn_events("big", f"big-t{t}", per_turn, T0 + 100_000 + t * 2000)
            for start in range(0, len(events), BATCH):
                r = client.post(f"{listener.api}/ingest", json={"events": events[start:start + BATCH]})
                assert r.status_code == 200 and not r.json()["rejected"], r.text
            p50, p95, body = timed(client, f"{listener.api}/sessions/big", {})
            assert len(body["runs"]) == turns and body["session"]["totals"]["llm_calls"] == per_turn * turns
            l50, l95, page = timed(client, f"{listener.api}/sessions", {})
            assert page["sessions"][0]["session_id"] == "big" and len(page["sessions"]) == 100
        finally:
            listener.kill()
    report([
        (f"GET /sessions/{{id}}, {per_turn * turns:,} LLM calls in {turns} turns, p50", p50, p50 / u, "reported"),
        (f"GET /sessions/{{id}}, {per_turn * turns:,} LLM calls in {turns} turns, p95", p95, p95 / u, "<= 500 U"),
        ("GET /sessions, first page of 100 (201 sessions), p50", l50, l50 / u, "reported"),
        ("GET /sessions, first page of 100 (201 sessions), p95", l95, l95 / u, "reported"),
    ])


if __name__ == "__main__":
    main()
