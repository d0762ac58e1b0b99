"""LLM calls stored at ingest: what an event with a usage payload costs the listener's ingest
against the same event without one, and listing 100 runs with their LLM calls and totals.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_llm.py
``ORVANE_BENCH_LLM_EVENTS`` (default 100,000) sets the stored set the listing reads.

* ingest: the listener's core (decode, store in a real SQLite file, feed the desk) over bodies
  of 512 typical events; the same events with a payload that carries ``model``, ``provider``
  and a ``usage`` mapping, one LLM call per run of 8 events (an agent's run reporting its call),
  read, folded, priced and stored. Both sets run in turns on fresh files, best of the rounds.
* listing: ``GET /runs`` (default order, 100 runs with ``llm`` and ``totals``) through the
  application in this process, over trees of an agent root, 4 agent children and 8 LLM runs
  each with started/delta/completed events.
"""

from __future__ import annotations

import asyncio
import json
import os
import tempfile
import time
from pathlib import Path

from common import report, typical_fields, unit_seconds

from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore

BATCH = 512
ROUNDS = 5


def bodies(total: int, tag: str, usage: bool) -> list[bytes]:
    out = []
    for start in range(0, total, BATCH):
        events = []
        for i in range(start, min(total, start + BATCH)):
            doc = typical_fields(i, run_id=f"{tag}-run-{i // 8}", parent=f"{tag}-root")
            doc["event_id"] = f"{tag}-{i}"
            if usage:
                doc["payload"] = {**doc["payload"], "model": "gpt-4o-mini", "provider": "openai",
                                  "usage": {"prompt_tokens": 120 + i % 7, "completion_tokens": 30,
                                            "total_tokens": 150 + i % 7}}
            events.append(doc)
        out.append(json.dumps({"app_id": "demo-app", "group_id": "team-a", "environment": "local",
                               "events": events}).encode())
    return out


def ingest_seconds(docs: list[bytes], folder: Path, name: str) -> float:
    core = ListenerCore(ListenerConfig(db_path=folder / f"{name}.sqlite3"))

    async def run() -> float:
        t0 = time.perf_counter()
        for doc in docs:
            await core.ingest(core.decode(doc))
        return time.perf_counter() - t0

    try:
        return asyncio.run(run())
    finally:
        asyncio.run(core.close())


def listing_seconds(folder: Path, total: int) -> tuple[float, float, int]:
    import sys

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "listener"))
    from listener_helpers import InProcessListener

    listener = InProcessListener(folder / "listing.sqlite3")
    try:
        client = listener.client()
        t0 = 1_760_000_000_000
        i = 0
        tree = 0
        while i < total:
            events = []
            root = f"root-{tree}"
            events.append({"event_id": f"{root}-s", "event_type": "agent_task.started", "timestamp": t0 + i,
                           "run": {"run_id": root, "run_kind": "agent_task"}})
            for kid in range(4):
                kid_id = f"{root}-k{kid}"
                events.append({"event_id": f"{kid_id}-s", "event_type": "agent_task.started", "timestamp": t0 + i,
                               "run": {"run_id": kid_id, "root_run_id": root, "parent_run_id": root,
                                       "run_kind": "agent_task"}})
                for call in range(8):
                    cid = f"{kid_id}-c{call}"
                    run = {"run_id": cid, "root_run_id": root, "parent_run_id": kid_id, "run_kind": "llm"}
                    events += [
                        {"event_id": f"{cid}-s", "event_type": "llm.started", "timestamp": t0 + i, "run": run,
                         "payload": {"model": "gpt-4o", "messages": [{"role": "user", "content": "q" * 200}]}},
                        {"event_id": f"{cid}-d", "event_type": "stream.delta", "timestamp": t0 + i + 5, "run": run,
                         "payload": {"delta": "a"}},
                        {"event_id": f"{cid}-c", "event_type": "llm.completed", "timestamp": t0 + i + 9, "run": run,
                         "payload": {"model": "gpt-4o", "usage": {"input_tokens": 300, "output_tokens": 40},
                                     "choices": [{"message": {"role": "assistant", "content": "a" * 200}}]}},
                    ]
            for start in range(0, len(events), BATCH):
                r = client.post(f"{listener.api}/ingest", json={"events": events[start:start + BATCH]})
                assert r.status_code == 200 and not r.json()["rejected"], r.text
            i += len(events)
            tree += 1
        times = []
        for _ in range(40):
            t = time.perf_counter()
            r = client.get(f"{listener.api}/runs", params={"limit": 100})
            times.append(time.perf_counter() - t)
            assert r.status_code == 200 and len(r.json()["runs"]) == 100
        times.sort()
        return times[len(times) // 2], times[int(len(times) * 0.95)], i
    finally:
        listener.kill()


def main() -> None:
    total = 20_480
    u = unit_seconds()
    plain_docs = bodies(total, "plain", False)
    usage_docs = bodies(total, "usage", True)
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        plain, with_usage = [], []
        for r in range(ROUNDS):
            plain.append(ingest_seconds(plain_docs, folder, f"plain-{r}") / total)
            with_usage.append(ingest_seconds(usage_docs, folder, f"usage-{r}") / total)
        a, b = min(plain), min(with_usage)
        p50, p95, stored = listing_seconds(folder, int(os.environ.get("ORVANE_BENCH_LLM_EVENTS", "100000")))
    report([
        ("ingest per event, typical events (decode, store, feed)", a, a / u, "reference"),
        ("ingest per event, the same with a usage payload", b, b / u, f"ratio {b / a:.3f} (target <= 1.10)"),
        (f"GET /runs, 100 runs with llm and totals, p50 ({stored:,} events stored)", p50, p50 / u, "reported"),
        (f"GET /runs, 100 runs with llm and totals, p95 ({stored:,} events stored)", p95, p95 / u, "<= 200 U"),
    ])


if __name__ == "__main__":
    main()
