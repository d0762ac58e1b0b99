"""Helpers of the log service tests: seeded random event streams and feeding them in."""

from __future__ import annotations

import asyncio
import random
from typing import Any

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService

T0 = 1_760_000_000_000

WORDS = [
    "plan", "route", "budget", "Price", "cheap", "Straße", "STRASSE", "ΣΊΣΥΦΟΣ", "tool", "search",
    "answer", "partial", "x", "ab", "a b", "multi-agent", "it's", "50%", "[draft]", "*", "?",
    "İstanbul", "naïve", "emoji 🚀", "", "  padded  ", "tab\there", "line\nbreak",
]
TYPES = [
    "agent_task.started", "agent_task.completed", "agent_task.failed", "tool_call_started",
    "tool_call_completed", "stream.delta", "stream.delta", "stream.delta", "run.waiting",
    "approval_raised", "agent_task.resumed", "job_retrying", "note", "custom.event.completed.failed",
]
SOURCES = ["agent.planner", "agent.Planner", "tool.search", None]
LEVELS = ["info", "INFO", "warning", "error", "debug", 20, None]
APPS = ["demo-app", "demo-2", "prod", "Demo", 7, None]
GROUPS = ["team-a", "team-b", None, 3]


def words(rng: random.Random, n: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(n))


def json_value(rng: random.Random, depth: int = 0) -> Any:
    kind = rng.randrange(8 if depth < 3 else 5)
    if kind == 0:
        return None
    if kind == 1:
        return rng.choice([True, False])
    if kind == 2:
        return rng.randrange(-5, 10**6)
    if kind == 3:
        return rng.choice([0.5, 1.25, -3.0, 1e-3])
    if kind == 4:
        return words(rng, rng.randrange(0, 4))
    if kind in (5, 6):
        return {rng.choice(["k", "Key", "text", "status", "ß", "a b"]) + str(i): json_value(rng, depth + 1)
                for i in range(rng.randrange(0, 4))}
    return [json_value(rng, depth + 1) for _ in range(rng.randrange(0, 4))]


class Stream:
    """A seeded random stream of events over a forest of runs."""

    def __init__(self, seed: int, n_events: int, n_runs: int = 24, pool: int = 0) -> None:
        """``pool``: when given, payloads and metas are drawn from that many values each (so a
        run's events repeat them, as streams of one application do)."""
        self.rng = rng = random.Random(seed)
        self.pool = [(json_value(rng), self.meta(rng)) for _ in range(pool)]
        self.run_ids: list[str] = []
        self.parents: dict[str, str | None] = {}
        for i in range(n_runs):
            rid = rng.choice(["run-", "Run_", "r", " lead "]) + str(i) + rng.choice(["", "-x", " sp"])
            parent = rng.choice(self.run_ids) if self.run_ids and rng.random() < 0.6 else None
            self.run_ids.append(rid)
            self.parents[rid] = parent
        self.events = [self.event(i) for i in range(n_events)]

    @staticmethod
    def meta(rng: random.Random) -> dict[str, Any]:
        meta: dict[str, Any] = {}
        for key, values in (("app_id", APPS), ("group_id", GROUPS), ("environment", ["local", "prod"])):
            if rng.random() < 0.6:
                meta[key] = rng.choice(values)
        if rng.random() < 0.3:
            meta["note"] = json_value(rng)
        return meta

    def event(self, i: int) -> RuntimeEvent:
        rng = self.rng
        run = None
        if rng.random() < 0.92:
            rid = rng.choice(self.run_ids)
            parent = self.parents[rid]
            run = RuntimeRunContext(
                run_id=rid,
                parent_run_id=parent if rng.random() < 0.95 else None,
                root_run_id=rng.choice([None, None, parent, "root-" + rid[:3]]),
                run_kind=rng.choice(["agent_task", "tool", "flow", 3]),
                agent_id=rng.choice([None, "agent-7", "agent-8"]),
                agent_name=rng.choice([None, "Planner", "Searcher", "PLANNER"]),
                session_id=rng.choice([None, "session-1", "session-2"]),
                response_id=rng.choice([None, None, f"resp-{i % 5}"]),
                execution_id=rng.choice([None, "exec-1"]),
                meta=rng.choice([{}, {}, {"flow_name": rng.choice(["answer", "plan"])},
                                 {"app_id": rng.choice(APPS), "flow_name": "answer"}]),
            )
        if self.pool and rng.random() < 0.85:
            payload, meta = rng.choice(self.pool)
        else:
            meta = self.meta(rng)
            payload = json_value(rng)
        return RuntimeEvent(
            event_id=rng.choice(["evt-", "E", "id "]) + f"{i:05d}" + rng.choice(["", "ß", "-Z"]),
            event_type=rng.choice(TYPES),
            timestamp=T0 + rng.randrange(-50, 400),
            source=rng.choice(SOURCES),
            level=rng.choice(LEVELS),
            message=rng.choice([None, words(rng, rng.randrange(1, 6))]),
            payload=payload,
            error=rng.choice([None, None, {"kind": words(rng, 1)}, words(rng, 2)]),
            meta=meta,
            run=run,
        )


def append_all(service: RuntimeLogService, events: list, rng: random.Random | None = None) -> None:
    """Feed events one by one and in batches of random size (the same order either way)."""

    async def feed() -> None:
        i = 0
        while i < len(events):
            n = 1 if rng is None else rng.choice([1, 1, 2, 5, 17])
            chunk = events[i:i + n]
            if n == 1:
                await service.append_event(chunk[0])
            else:
                await service.append_events(chunk)
            i += n

    asyncio.run(feed())


