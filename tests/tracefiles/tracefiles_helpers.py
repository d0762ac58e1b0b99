"""Helpers of the trace-file tests: seeded random event streams, trace files written by a real
``JSONLTraceSink``, the answers of a desk in comparable form, listeners as real processes."""

from __future__ import annotations

import asyncio
import json
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any

import httpx

T0 = 1_760_000_000_000
START_TIMEOUT = 30.0

# Words of messages and payload texts: searches below pick needles among them.
WORDS = ["plan", "trip", "Berlin", "hotel", "flight", "budget", "weather", "museum", "Kyoto",
         "train", "dinner", "review", "Δelta", "straße", "naïve", "multi-agent"]
NEEDLES = ["berlin", "hotel", "straße", "multi-agent", "kyo", "tr", "naïve", "flight budget", "zzz"]
KINDS = ["agent_task", "tool_call", "llm_call"]


def random_stream(seed: int, *, roots: int = 4, max_children: int = 4,
                  depth: int = 3) -> list[dict[str, Any]]:
    """Events of a few run trees as a host emits them: each run starts, makes progress (some
    of it as stream deltas), and completes, fails or stays open; runs of different trees
    interleave. Timestamps rise by 1-40 ms from event to event (one clock), so every order of
    the events by time is the order they were emitted in. No secrets: a trace file holds masked
    values, an in-memory desk the values as given."""
    rng = random.Random(seed)
    runs: list[dict[str, Any]] = []

    def make(run_id: str, root: str, parent: str | None, level: int) -> None:
        kind = rng.choice(KINDS)
        runs.append({"run_id": run_id, "root_run_id": root, "parent_run_id": parent,
                     "run_kind": kind, "agent_name": rng.choice(["Planner", "Booker", "Critic"]),
                     "agent_id": f"agent-{rng.randrange(3)}",
                     "session_id": rng.choice([None, "sess-a", "sess-b"])})
        if level < depth:
            for c in range(rng.randrange(max_children + 1) if level else max(1, rng.randrange(max_children + 1))):
                make(f"{run_id}.{c}", root, run_id, level + 1)

    for r in range(roots):
        make(f"s{seed}-root{r}", f"s{seed}-root{r}", None, 0)
    # Each run's script: started, progress and deltas, then an end (or none: left open).
    scripts: list[list[dict[str, Any]]] = []
    for run in runs:
        kind = run["run_kind"]
        steps = [{"event_type": f"{kind}.started", "message": f"start {rng.choice(WORDS)}"}]
        for _ in range(rng.randrange(6)):
            if rng.random() < 0.3:
                steps.append({"event_type": "stream.delta", "message": rng.choice(WORDS),
                              "payload": {"delta": rng.choice(WORDS)}})
            else:
                steps.append({"event_type": f"{kind}.progress",
                              "message": " ".join(rng.choice(WORDS) for _ in range(3)),
                              "payload": {"step": rng.randrange(100), "note": rng.choice(WORDS),
                                          "items": [rng.randrange(9) for _ in range(rng.randrange(4))]}})
        end = rng.random()
        if end < 0.6:
            steps.append({"event_type": f"{kind}.completed", "message": "done"})
        elif end < 0.85:
            steps.append({"event_type": f"{kind}.failed", "level": "error",
                          "message": f"{rng.choice(WORDS)} timed out",
                          "error": {"type": "TimeoutError", "message": "no answer"}})
        scripts.append(steps)
    # Interleave: a run's events in order, parents starting before their children.
    order = {run["run_id"]: i for i, run in enumerate(runs)}
    cursor = [0] * len(runs)
    started: set[str] = set()
    out: list[dict[str, Any]] = []
    ts = T0 + seed * 10_000_000
    while True:
        ready = [i for i, run in enumerate(runs) if cursor[i] < len(scripts[i])
                 and (run["parent_run_id"] is None or run["parent_run_id"] in started)]
        if not ready:
            break
        i = rng.choice(ready)
        step = scripts[i][cursor[i]]
        cursor[i] += 1
        started.add(runs[i]["run_id"])
        ts += rng.randrange(1, 40)
        ev = {"event_id": f"ev-{seed}-{len(out)}", "timestamp": ts, "source": "agent.loop",
              "meta": {"app_id": rng.choice(["app-a", "app-b"]), "group_id": "team-a",
                       "environment": rng.choice(["local", "ci"])},
              "run": dict(runs[i]), **step}
        out.append(ev)
    assert all(cursor[order[r["run_id"]]] == len(scripts[order[r["run_id"]]]) for r in runs)
    return out


def write_with_sink(path: Path, events: list[dict[str, Any]], settings: dict[str, Any] | None = None) -> Any:
    """The events through a desk whose JSON Lines backend writes ``path``; returns the desk."""
    from orvane.utils import Settings
    from orvane_devtools._orvane_compat import RuntimeEvent
    from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk

    desk = RuntimeTraceDesk(Settings({"observation.jsonl.enabled": True,
                                      "observation.jsonl.path": str(path),
                                      "observation.run_stale_after_seconds": 0,
                                      "observation.run_orphan_after_seconds": 0,
                                      **(settings or {})}))

    async def feed() -> None:
        for ev in events:
            assert await desk.append_event(RuntimeEvent(**ev))

    asyncio.run(feed())
    return desk


def dump(value: Any) -> Any:
    """Records, events and trees as plain JSON values."""
    if hasattr(value, "model_dump"):
        return value.model_dump(mode="json")
    if isinstance(value, dict):
        return {k: dump(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [dump(v) for v in value]
    return value


def tree(node: Any) -> Any:
    """A run tree as JSON with every node's children in run id order: a desk with its own store
    lists children by their start, one reading a log service newest update first (the desk's
    two roads, each as specified); the nodes and their records are what must agree."""
    if node is None:
        return None
    return {"run": dump(node.run),
            "children": sorted((tree(c) for c in node.children), key=lambda n: n["run"]["run_id"])}


def desk_answers(desk: Any, root_ids: list[str], run_ids: list[str]) -> dict[str, Any]:
    """The answers a reader asks a desk for: runs (with filters and searches), trees, events.

    Runs come from ``list_runs`` on a desk that keeps its runs itself, and from ``query_runs``
    (the same filters and meanings, answered by the log service) on a listener's desk, whose
    own store keeps nothing: the listener's ``/runs`` asks that."""
    runs = desk.query_runs if desk.log_service is not None else desk.list_runs
    out: dict[str, Any] = {"runs": dump(runs())}
    for status in ("running", "completed", "failed"):
        out[f"runs status={status}"] = dump(runs(status=status))
    for kind in KINDS:
        out[f"runs kind={kind}"] = dump(runs(run_kind=kind))
    out["runs session"] = dump(runs(session_id="sess-a"))
    out["runs app"] = dump(runs(app_id="app-b"))
    for needle in NEEDLES:
        out[f"runs search={needle}"] = dump(runs(search=needle))
        out[f"events search={needle}"] = dump(desk.query_events(search=needle))
    for rid in root_ids:
        out[f"tree {rid}"] = tree(desk.get_run_tree(rid))
        out[f"children {rid}"] = dump(runs(parent_run_id=rid))
        out[f"events {rid} with descendants"] = dump(desk.query_events(run_id=rid, include_descendants=True))
    for rid in run_ids:
        out[f"events {rid}"] = dump(desk.query_events(run_id=rid))
    out["events deltas"] = dump(desk.query_events(event_types="stream.*"))
    out["events failed"] = dump(desk.query_events(event_types="*.failed"))
    out["events newest 25"] = dump(desk.query_events(limit=25))
    return out


def listener_desk(db: Path) -> Any:
    """A listener's core on the database ``db`` (judgements off, as in ``write_with_sink``)."""
    from orvane_devtools.listener.config import ListenerConfig
    from orvane_devtools.listener.core import ListenerCore

    return ListenerCore(ListenerConfig(db_path=db, stale_after_seconds=0, orphan_after_seconds=0))


def close_core(core: Any) -> None:
    asyncio.run(core.close())


def run_cli(*args: str, stdin: bytes | None = None, env: dict[str, str] | None = None,
            timeout: float = 120) -> subprocess.CompletedProcess:
    """``python -m orvane_devtools ARGS`` to its end."""
    environ = dict(os.environ if env is None else env)
    environ.pop("ORVANE_DEVTOOLS_API_KEY", None) if env is None else None
    return subprocess.run([sys.executable, "-m", "orvane_devtools", *args], input=stdin,
                          capture_output=True, timeout=timeout, env=environ)


class Process:
    """``orvane-devtools start`` or ``open`` as a real process; ready once the banner is out (and,
    for ``open``, once it printed the page's address after its import)."""

    def __init__(self, command: str, *args: str, env: dict[str, str] | None = None,
                 ready: str = "Press Ctrl-C") -> None:
        self.cmd = [sys.executable, "-m", "orvane_devtools", command, *args]
        self.env = dict(os.environ if env is None else env)
        self.ready_text = ready
        self.lines: list[str] = []
        self.proc: subprocess.Popen[str] | None = None
        self.origin = ""

    def start(self) -> "Process":
        self.proc = subprocess.Popen(self.cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, env=self.env)
        ready = threading.Event()
        proc = self.proc

        def read() -> None:
            assert proc.stdout is not None
            for line in proc.stdout:
                self.lines.append(line.rstrip("\n"))
                match = re.search(r"listener on (http://\S+)", line)
                if match:
                    self.origin = match.group(1)
                if self.ready_text in line:
                    ready.set()
            ready.set()

        threading.Thread(target=read, daemon=True).start()
        if not ready.wait(START_TIMEOUT) or not self.origin or proc.poll() is not None:
            self.kill()
            raise AssertionError("the process did not start:\n" + self.output())
        return self

    def output(self) -> str:
        return "\n".join(self.lines)

    def stop(self, timeout: float = 10.0) -> int:
        assert self.proc is not None
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"the process did not stop within {timeout} s:\n" + self.output())

    def kill(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(10)


def wait_for(check: Any, timeout: float = 15.0, what: str = "the condition") -> Any:
    deadline = time.monotonic() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} did not hold within {timeout} s")
        time.sleep(0.05)


def get_json(url: str, headers: dict[str, str] | None = None, **params: Any) -> Any:
    r = httpx.get(url, params=params, headers=headers or {}, timeout=30.0)
    r.raise_for_status()
    return r.json()


def jsonl(events: list[dict[str, Any]]) -> bytes:
    return b"".join(json.dumps(ev).encode() + b"\n" for ev in events)
