"""LLM calls stored at ingest: what an event with a usage payload costs the listener's ingest
against the same event without one, and listing 100 runs with their LLM calls and totals.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_llm.py

* ingest: the listener's core (decode, store in a real SQLite file, feed the desk) over bodies
  of 512 typical events; the same events with a payload that carries ``model``, ``provider``
  and a ``usage`` mapping, one LLM call per event on runs of 8 events (an agent's run reporting
  its calls), read, folded, priced and stored. Both sets run in turns on fresh files, best of
  the rounds. A third set, the usage events with the reading of calls turned off, tells what the
  larger payload alone costs (reported, not a target).
* listing: ``GET /runs`` (default order, 100 runs with ``llm`` and ``totals``) through the
  application in this process, over trees of an agent root, 4 agent children and 8 LLM runs
  each with started/delta/completed events (101 events a tree): 40 requests one after another,
  then 40 each after a request that stores one more tree (the listing while ingest goes on).
  ``ORVANE_BENCH_LLM_EVENTS`` (default 500,000) sets the stored set. It is built once through the
  listener's core (about 3 minutes on the 2-core machine) and kept in the temporary folder
  (``orvane-bench-llm/``, named for its size and the schema version); each run lists a copy of
  it. ``ORVANE_BENCH_LLM_FRESH=1`` builds it again.
"""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import tempfile
import time
from pathlib import Path

from common import report, typical_fields, unit_seconds

from orvane_devtools.listener import calls as llm_calls
from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore
from orvane_devtools.logs import _schema

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


def tree_events(tree: int, t0: int) -> list[dict]:
    """The 101 events of one tree: an agent root, 4 agent children, 8 LLM runs under each."""
    root = f"root-{tree}"
    events = [{"event_id": f"{root}-s", "event_type": "agent_task.started", "timestamp": t0,
               "run": {"run_id": root, "run_kind": "agent_task"}}]
    for kid in range(4):
        kid_id = f"{root}-k{kid}"
        events.append({"event_id": f"{kid_id}-s", "event_type": "agent_task.started", "timestamp": t0,
                       "run": {"run_id": kid_id, "root_run_id": root, "parent_run_id": root,
                               "run_kind": "agent_task"}})
        for call in range(8):
            cid = f"{kid_id}-c{call}"
            run = {"run_id": cid, "root_run_id": root, "parent_run_id": kid_id, "run_kind": "llm"}
            events += [
                {"event_id": f"{cid}-s", "event_type": "llm.started", "timestamp": t0, "run": run,
                 "payload": {"model": "gpt-4o", "messages": [{"role": "user", "content": "q" * 200}]}},
                {"event_id": f"{cid}-d", "event_type": "stream.delta", "timestamp": t0 + 5, "run": run,
                 "payload": {"delta": "a"}},
                {"event_id": f"{cid}-c", "event_type": "llm.completed", "timestamp": t0 + 9, "run": run,
                 "payload": {"model": "gpt-4o", "usage": {"input_tokens": 300, "output_tokens": 40},
                             "choices": [{"message": {"role": "assistant", "content": "a" * 200}}]}},
            ]
    return events


def stored_set(total: int) -> tuple[Path, int]:
    """The file of about ``total`` events in trees (built once, then kept), and its event count."""
    folder = Path(tempfile.gettempdir()) / "orvane-bench-llm"
    folder.mkdir(exist_ok=True)
    path = folder / f"listing-{total}-v{_schema.SCHEMA_VERSION}.sqlite3"
    count_file = path.with_suffix(".count")
    if path.exists() and count_file.exists() and not os.environ.get("ORVANE_BENCH_LLM_FRESH"):
        return path, int(count_file.read_text())
    building = folder / f"building-{os.getpid()}.sqlite3"
    core = ListenerCore(ListenerConfig(db_path=building))

    async def build() -> int:
        stored, tree, pending = 0, 0, []
        while stored < total:
            events = tree_events(tree, 1_760_000_000_000 + stored)
            stored += len(events)
            tree += 1
            pending += events
            while len(pending) >= BATCH or (pending and stored >= total):
                doc = json.dumps({"events": pending[:BATCH]}).encode()
                pending = pending[BATCH:]
                result = await core.ingest(core.decode(doc))
                assert not result.rejected, result.rejected
        return stored

    try:
        stored = asyncio.run(build())
    finally:
        asyncio.run(core.close())
    for suffix in ("-wal", "-shm"):
        Path(f"{building}{suffix}").unlink(missing_ok=True)
    building.replace(path)
    count_file.write_text(str(stored))
    return path, stored


def listing_seconds(folder: Path, total: int) -> tuple[list[float], list[float], int]:
    import sys

    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "listener"))
    from listener_helpers import InProcessListener

    kept, stored = stored_set(total)
    copy = folder / "listing.sqlite3"
    shutil.copyfile(kept, copy)
    listener = InProcessListener(copy)
    try:
        client = listener.client()

        def listed() -> float:
            t = time.perf_counter()
            r = client.get(f"{listener.api}/runs", params={"limit": 100})
            took = time.perf_counter() - t
            assert r.status_code == 200 and len(r.json()["runs"]) == 100
            return took

        still = [listed() for _ in range(40)]
        live = []
        for k in range(40):
            events = tree_events(10**6 + k, 1_770_000_000_000 + 1000 * k)
            for start in range(0, len(events), BATCH):
                r = client.post(f"{listener.api}/ingest", json={"events": events[start:start + BATCH]})
                assert r.status_code == 200 and not r.json()["rejected"], r.text
            live.append(listed())
        return still, live, stored
    finally:
        listener.kill()


def p(times: list[float], q: float) -> float:
    times = sorted(times)
    return times[min(len(times) - 1, int(len(times) * q))]


def main() -> None:
    total = 20_480
    u = unit_seconds()
    plain_docs = bodies(total, "plain", False)
    usage_docs = bodies(total, "usage", True)
    with tempfile.TemporaryDirectory() as tmp:
        folder = Path(tmp)
        plain, with_usage, unread = [], [], []
        read = llm_calls.event_pieces
        for r in range(ROUNDS):
            plain.append(ingest_seconds(plain_docs, folder, f"plain-{r}") / total)
            with_usage.append(ingest_seconds(usage_docs, folder, f"usage-{r}") / total)
            llm_calls.event_pieces = lambda events: []
            try:
                unread.append(ingest_seconds(usage_docs, folder, f"unread-{r}") / total)
            finally:
                llm_calls.event_pieces = read
        a, b, c = min(plain), min(with_usage), min(unread)
        still, live, stored = listing_seconds(folder, int(os.environ.get("ORVANE_BENCH_LLM_EVENTS", "500000")))
    report([
        ("ingest per event, typical events (decode, store, feed)", a, a / u, "reference"),
        ("ingest per event, the same with a usage payload", b, b / u, f"ratio {b / a:.3f} (target <= 1.10)"),
        ("ingest per event, the usage payload with calls not read", c, c / u, f"ratio {c / a:.3f} (reported)"),
        (f"GET /runs, 100 runs with llm and totals, p50 ({stored:,} events stored)", p(still, 0.5),
         p(still, 0.5) / u, "reported"),
        (f"GET /runs, 100 runs with llm and totals, p95 ({stored:,} events stored)", p(still, 0.95),
         p(still, 0.95) / u, "<= 200 U"),
        ("the same after each request a tree stored, p50", p(live, 0.5), p(live, 0.5) / u, "reported"),
        ("the same after each request a tree stored, p95", p(live, 0.95), p(live, 0.95) / u, "reported"),
    ])


if __name__ == "__main__":
    main()
