"""The listener at its default size: 5,000,000 stored events (``--max-events``' default).

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_scale.py
     (ORVANE_BENCH_SCALE_EVENTS=500000 for a quick pass with fewer stored events)

For iterating on the queries: ``ORVANE_BENCH_SCALE_ROWS=queries`` runs only the start on the full
set and the query rows (``=usage``: only ``/usage``), and ``ORVANE_BENCH_SCALE_DB=<file>`` has
that listener open a file of your own in place (a copy of a stored set, with its facts beside it
as ``<file stem>.json``; a file of an earlier schema version is upgraded at that start, once)
instead of a new copy of the kept set. ``ORVANE_BENCH_SCALE_ROWS=cap`` runs only the rows past the
cap (and the uncapped reference beside them), on two new copies of the full set.
``ORVANE_BENCH_SCALE_ONLY=/runs,/sessions`` keeps only the query rows whose URL holds one of those
texts (comma separated).

The stored set: typical events of ``common.py`` in runs of 2 to 2,000 events (an agent, a
session and an app each; now and then a message with the needle ``zanzibar-quokka``, in 60
runs in all), trees of an agent root, 4 agents and 8 LLM runs each as ``bench_llm.py`` makes
them, in sessions of one to five turns, runs of 8 events with a usage payload (one call per
event) as ``bench_llm.py`` makes them, one tree of 1,000 runs and one run of 20,000 events
near the end. Timestamps run evenly over six days up to the time of the build, so the last
day holds a sixth of the events. The set is built once through the listener's own storing
road (``ListenerCore.store``: each body decoded by the listener's decoder, its LLM calls read,
then one batch of the log service's writer per body, three bodies in flight so that the writer
never waits for the next one), which is faster than a trace-file import (that reads each line
twice and commits one batch of lines at a time); it is kept in ``ORVANE_BENCH_CACHE`` (default
``$TMPDIR/orvane-bench-scale``) under a name with the size, a version of this layout and the
schema version, with a small set of a tenth of the size beside it for the ingest row. A run
never writes into the kept files: each listener gets a copy. ``ORVANE_BENCH_SCALE_FRESH=1``
builds them again.

Rows (each a ratio to U measured just before and just after what it times, in this run):

* ingest: one ``RemoteTraceSink`` sends typical events to a listener on a copy of the small set
  (0.5 M stored) and to one on a copy of the full set (5 M; started with ``--max-events`` above
  it, so nothing is dropped), in turns of 20,000 events; each full-set turn against the mean of
  the small-set turns beside it, the median of those ratios. Target >= 0.8.
* past the cap: ``POST /ingest`` of 200 events to a listener on a copy of the full set started
  with ``--max-events`` at the stored count (at full size the default; each request makes
  retention drop as many of the oldest),
  p99 over 300 requests, against the same to the uncapped listener, in turns of 30 requests.
  Target <= 2x. The ``-wal`` file of the capped listener is sampled every 50 ms all along
  (reported: its largest size).
* queries over the full set, p95 of 40 requests each, each beside its floor (a bare request's
  p95, ``/healthz``, plus writing the answer's JSON alone, both of this run; where the target lies
  below the floor the row holds within 1.5x of it): the first page of ``/runs`` (<= 100 U);
  ``/runs?search=`` and ``/events?search=`` for the needle (<= 500 U); the 1,000-run tree,
  ``GET /runs/{id}/tree`` (<= 500 U); the first page of ``/sessions`` and ``/usage`` over the
  last day of the set (<= 300 U); the newest 500 events of the 20,000-event run (<= 100 U).
* start: ``orvane-devtools start`` on a copy of the full set until ``/healthz`` answers
  (<= 150,000 U), beside the same on a new, empty file (the floor: the interpreter, imports,
  the server).
* size: the file's bytes (with its ``-wal``) per stored event (<= 1 KB); the largest resident
  memory of each listener (VmHWM from /proc, sampled all along; <= 300 MB).
"""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings
from contextlib import closing
from pathlib import Path
from typing import Any, Iterator

import httpx
from bench_listener import percentile, sink_rate, start_listener
from common import report, typical_fields, unit_seconds

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.logs import _schema
from orvane_devtools.observation.backends.Uplink import ObservationBridgeUnavailableWarning

warnings.simplefilter("ignore", ObservationBridgeUnavailableWarning)

EVENTS = int(os.environ.get("ORVANE_BENCH_SCALE_EVENTS", "5000000"))
SMALL = max(10_000, EVENTS // 10)
LAYOUT = 2  # the version of the stored set's layout: a change of the generator bumps it
# A cap no run of the benchmark reaches: the listeners that must not drop anything.
UNCAPPED = ["--max-events", str(10 * EVENTS + 1_000_000)]
CACHE = Path(os.environ.get("ORVANE_BENCH_CACHE") or Path(tempfile.gettempdir()) / "orvane-bench-scale")
DAY_MS = 86_400_000
SPAN_MS = 6 * DAY_MS
NEEDLE = "zanzibar-quokka"
NEEDLE_RUNS = 60
TREE_RUNS = 1000
LONG_RUN_EVENTS = 20_000
BODY = 512
IN_FLIGHT = 3
TURN = max(2_000, min(20_000, EVENTS // 250))  # events of one sink turn
TURNS = 6
POSTS = 300
QUERIES = 40
ROWS = os.environ.get("ORVANE_BENCH_SCALE_ROWS", "all")
OWN_DB = os.environ.get("ORVANE_BENCH_SCALE_DB")

# Sizes of the plain runs, in turn: most runs are short, a few long.
_RUN_SIZES = (2, 5, 12, 30, 8, 60, 3, 150, 20, 400, 6, 40, 2000, 10, 80)


# -- the stored set --------------------------------------------------------------------------

class _Gen:
    """The events of the stored set, in order, each with its number (its timestamp's place)."""

    def __init__(self, total: int, end_ms: int) -> None:
        self.total = total
        self.t0 = end_ms - SPAN_MS
        self.step = SPAN_MS / total
        self.i = 0
        self.runs = 0
        self.sessions = 0
        self.needles = 0
        self.names: dict[str, str] = {}

    def ts(self) -> int:
        return self.t0 + int(self.i * self.step)

    def _plain(self, size: int) -> Iterator[dict]:
        k = self.runs
        self.runs += 1
        run_id = f"run-{k:07d}"
        # One run in (total / 150 / NEEDLE_RUNS) plain runs carries the needle once.
        needle_every = max(1, self.total // 40 // NEEDLE_RUNS)
        needle = k % needle_every == needle_every // 2 and self.needles < NEEDLE_RUNS
        if needle:
            self.needles += 1
        for j in range(size):
            f = typical_fields(self.i, run_id=run_id, parent=None)
            f["run"].update(agent_id=f"agent-{k % 40}", session_id=f"chat-{k // 12}")
            f["meta"]["app_id"] = f"app-{k % 5}"
            if needle and j == size // 2:
                f["message"] = f"step {self.i} found the {NEEDLE} route"
            if j == size - 1 and k % 50 != 7:  # one run in 50 is left open
                f["event_type"] = "agent_task.failed" if k % 25 == 3 else "agent_task.completed"
            yield f

    def _tree(self, root: str, session: str) -> Iterator[dict]:
        """An agent root, 4 agents, 8 LLM runs each (bench_llm's trees), in a session."""
        events = [{"event_type": "agent_task.started", "run": {"run_id": root, "run_kind": "agent_task"}}]
        for kid in range(4):
            kid_id = f"{root}-k{kid}"
            events.append({"event_type": "agent_task.started",
                           "run": {"run_id": kid_id, "root_run_id": root, "parent_run_id": root,
                                   "run_kind": "agent_task"}})
            for call in range(8):
                run = {"run_id": f"{kid_id}-c{call}", "root_run_id": root, "parent_run_id": kid_id,
                       "run_kind": "llm"}
                events += [
                    {"event_type": "llm.started", "run": run, "payload": {
                        "model": "gpt-4o", "messages": [{"role": "user", "content": "q" * 200}]}},
                    {"event_type": "stream.delta", "run": run, "payload": {"delta": "a"}, "dt": 5},
                    {"event_type": "llm.completed", "run": run, "dt": 9, "payload": {
                        "model": "gpt-4o", "usage": {"input_tokens": 300, "output_tokens": 40},
                        "choices": [{"message": {"role": "assistant", "content": "a" * 200}}]}},
                ]
            events.append({"event_type": "agent_task.completed",
                           "run": {"run_id": kid_id, "root_run_id": root, "parent_run_id": root,
                                   "run_kind": "agent_task"}})
        events.append({"event_type": "agent_task.completed", "run": {"run_id": root, "run_kind": "agent_task"}})
        for ev in events:
            ev["run"]["session_id"] = session
            ev["run"]["agent_id"] = "agent-chat"
            ev["meta"] = {"app_id": "chat-app"}
            yield ev

    def _usage(self, run_id: str, session: str) -> Iterator[dict]:
        """A run of 8 events each with a usage payload (bench_llm's usage events)."""
        for j in range(8):
            f = typical_fields(self.i, run_id=run_id, parent=None)
            if j == 7:
                f["event_type"] = "agent_task.completed"
            f["run"].update(session_id=session, agent_id="agent-usage")
            f["payload"] = {**f["payload"], "model": "gpt-4o-mini", "provider": "openai",
                            "usage": {"prompt_tokens": 120 + self.i % 7, "completion_tokens": 30,
                                      "total_tokens": 150 + self.i % 7}}
            yield f

    def _big_tree(self) -> Iterator[dict]:
        """The 1,000-run tree: 9 children under the root, the others under those, 3 events each."""
        for node in range(TREE_RUNS):
            run_id = "tree-0" if node == 0 else f"tree-{node}"
            parent = None if node == 0 else "tree-0" if node < 10 else f"tree-{1 + node % 9}"
            for j in range(3):
                f = typical_fields(self.i, run_id=run_id, parent=parent)
                f["run"]["root_run_id"] = "tree-0"
                f["event_type"] = ("agent_task.started", "stream.delta", "agent_task.completed")[j]
                yield f

    def _long_run(self) -> Iterator[dict]:
        for _ in range(LONG_RUN_EVENTS):
            f = typical_fields(self.i, run_id="long-run", parent=None)
            yield f

    def blocks(self) -> Iterator[Iterator[dict]]:
        total = self.total
        big_at = int(total * 0.93)
        long_at = int(total * 0.95)
        placed_tree = placed_long = False
        k = 0
        while self.i < total:
            if not placed_tree and self.i >= big_at:
                placed_tree = True
                yield self._big_tree()
                continue
            if not placed_long and self.i >= long_at:
                placed_long = True
                yield self._long_run()
                continue
            k += 1
            # By events: about 60 % plain runs, 25 % LLM trees, 15 % usage runs.
            if k % 8 == 3:
                s = self.sessions
                self.sessions += 1
                for turn in range(1 + s % 5):
                    yield self._tree(f"chat-{s}-t{turn}", f"sess-{s}")
            elif k % 8 == 6:
                s = self.sessions
                self.sessions += 1
                for r in range(2 + s % 20):
                    yield self._usage(f"use-{s}-{r}", f"sess-{s}")
            else:
                yield self._plain(_RUN_SIZES[k % len(_RUN_SIZES)])

    def events(self) -> Iterator[dict]:
        for block in self.blocks():
            for ev in block:
                if self.i >= self.total:
                    return
                ev["event_id"] = f"e{self.i:09d}"
                ev["timestamp"] = self.ts() + ev.pop("dt", 0)
                yield ev
                self.i += 1


def _bodies(total: int, end_ms: int) -> Iterator[bytes]:
    gen = _Gen(total, end_ms)
    chunk: list[dict] = []
    for ev in gen.events():
        chunk.append(ev)
        if len(chunk) == BODY:
            yield json.dumps({"app_id": "demo-app", "group_id": "team-a", "environment": "local",
                              "events": chunk}).encode()
            chunk = []
    if chunk:
        yield json.dumps({"app_id": "demo-app", "group_id": "team-a", "environment": "local",
                          "events": chunk}).encode()


def _build(path: Path, total: int) -> dict[str, Any]:
    from orvane_devtools.listener.config import ListenerConfig
    from orvane_devtools.listener.core import ListenerCore

    building = path.with_name(f"building-{os.getpid()}-{path.name}")
    core = ListenerCore(ListenerConfig(db_path=building, max_events=10 * total + 1_000_000))
    end_ms = int(time.time() * 1000)

    async def fill() -> int:
        stored = 0
        tasks: set[asyncio.Task] = set()
        for body in _bodies(total, end_ms):
            batch = core.decode(body)
            assert not batch.rejected, batch.rejected[:3]
            tasks.add(asyncio.ensure_future(core.store(batch)))
            if len(tasks) >= IN_FLIGHT:
                done, tasks = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
                stored += sum(t.result().accepted for t in done)
        for t in tasks:
            stored += (await t).accepted
        return stored

    t0 = time.perf_counter()
    try:
        stored = asyncio.run(fill())
        core.log_service._store.index_now()
    finally:
        asyncio.run(core.close())
    for suffix in ("-wal", "-shm"):
        Path(f"{building}{suffix}").unlink(missing_ok=True)
    building.replace(path)
    info = {"events": stored, "end_ms": end_ms, "build_seconds": time.perf_counter() - t0}
    path.with_suffix(".json").write_text(json.dumps(info))
    return info


def stored_set(total: int) -> tuple[Path, dict[str, Any], bool]:
    """The kept file of ``total`` events (built when missing), its facts, and whether it was built now."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / f"scale-{total}-l{LAYOUT}-v{_schema.SCHEMA_VERSION}.sqlite3"
    facts = path.with_suffix(".json")
    fresh = bool(os.environ.get("ORVANE_BENCH_SCALE_FRESH"))
    if path.exists() and facts.exists() and not fresh:
        return path, json.loads(facts.read_text()), False
    for version in sorted(_schema.UPGRADABLE, reverse=True):
        older = CACHE / f"scale-{total}-l{LAYOUT}-v{version}.sqlite3"
        if older.exists() and older.with_suffix(".json").exists() and not fresh:
            # The same set in an earlier schema: upgraded (a copy), as a listener would at its start.
            t0 = time.perf_counter()
            upgrading = path.with_name(f"upgrading-{os.getpid()}-{path.name}")
            shutil.copyfile(older, upgrading)
            from orvane_devtools.logs import RuntimeLogService
            from orvane.utils import Settings

            RuntimeLogService(Settings({"logs.path": str(upgrading), "logs.max_events": 10 * total})).close()
            for suffix in ("-wal", "-shm"):
                Path(f"{upgrading}{suffix}").unlink(missing_ok=True)
            upgrading.replace(path)
            info = json.loads(older.with_suffix(".json").read_text())
            info["upgraded_from"] = version
            info["upgrade_seconds"] = time.perf_counter() - t0
            facts.write_text(json.dumps(info))
            return path, info, True
    return path, _build(path, total), True


def copy_of(kept: Path, folder: Path, name: str) -> Path:
    """A copy of a kept file, on disk before it is used: a copy of gigabytes still being written
    back by the system would make the first syncs of the listener on it (its checkpoints) wait
    for that, and charge its rows with the copy."""
    target = folder / name
    shutil.copyfile(kept, target)
    fd = os.open(target, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    return target


# -- measuring -------------------------------------------------------------------------------

def beside_unit() -> float:
    """U measured right beside one timed span (about 30 ms): this machine's load moves within
    seconds, so each span is set against the U of its own moment."""
    return unit_seconds(number=500, repeat=3)


def status_kb(pid: int) -> dict[str, int]:
    out = {}
    try:
        for line in Path(f"/proc/{pid}/status").read_text().splitlines():
            if line.startswith(("VmHWM:", "VmRSS:")):
                out[line.split(":")[0]] = int(line.split()[1])
    except OSError:
        pass
    return out


class Sampler:
    """Every 50 ms: the resident memory of the listeners (VmRSS, VmHWM) and the size of the
    ``-wal`` files watched, keeping the largest of each."""

    def __init__(self) -> None:
        self.pids: dict[str, int] = {}
        self.wals: dict[str, Path] = {}
        self.peak_kb: dict[str, int] = {}
        self.wal_max: dict[str, int] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while not self._stop.wait(0.05):
            self.sample()

    def sample(self) -> None:
        for name, pid in list(self.pids.items()):
            kb = status_kb(pid)
            if kb:
                self.peak_kb[name] = max(self.peak_kb.get(name, 0), kb.get("VmHWM", 0), kb.get("VmRSS", 0))
        for name, path in list(self.wals.items()):
            try:
                size = os.path.getsize(path)
            except OSError:
                continue
            self.wal_max[name] = max(self.wal_max.get(name, 0), size)

    def stop(self) -> None:
        self._stop.set()
        self._thread.join(2)


class Listener:
    """One ``orvane-devtools start`` on a file, with its start time until /healthz answered."""

    def __init__(self, name: str, db: Path, sampler: Sampler, extra: list[str] | None = None) -> None:
        self.name = name
        self.db = db
        u0 = beside_unit()
        t0 = time.perf_counter()
        self.proc, self.url = start_listener(db, extra=extra)
        base = self.url.split("/observation")[0]
        while True:
            try:
                if httpx.get(f"{base}/healthz", timeout=5).status_code == 200:
                    break
            except httpx.HTTPError:
                pass
            time.sleep(0.005)
        self.start_seconds = time.perf_counter() - t0
        self.start_ratio = self.start_seconds / ((u0 + beside_unit()) / 2)
        self.api = self.url.rsplit("/ingest", 1)[0]
        self.client = httpx.Client(timeout=120)
        sampler.pids[name] = self.proc.pid
        sampler.sample()

    def stop(self) -> None:
        self.client.close()
        self.proc.terminate()
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)


def turn_events(tag: str, start: int, count: int) -> list[RuntimeEvent]:
    out = []
    for i in range(start, start + count):
        f = typical_fields(i, run_id=f"{tag}-run-{i // 1000}", parent=None)
        f["event_id"] = f"{tag}-{i:09d}"
        f["timestamp"] = int(time.time() * 1000)
        out.append(RuntimeEvent(**f))
    return out


def post_body(tag: str, r: int) -> bytes:
    fields = []
    for i in range(200):
        f = typical_fields(r * 200 + i, run_id=f"{tag}-lat-{r}", parent=None)
        f["event_id"] = f"{tag}-lat-{r:05d}-{i:03d}"
        f["timestamp"] = int(time.time() * 1000)
        fields.append(f)
    return json.dumps({"app_id": "bench", "group_id": None, "environment": "local", "events": fields}).encode()


def timed_gets(client: httpx.Client, url: str, params: dict[str, Any], check) -> list[float]:
    """QUERIES requests one after another, each as a ratio to the U beside it."""
    ratios = []
    unit = beside_unit()
    for _ in range(QUERIES):
        t0 = time.perf_counter()
        resp = client.get(url, params=params)
        took = time.perf_counter() - t0
        assert resp.status_code == 200, (url, resp.status_code, resp.text[:300])
        check(resp.json())
        after = beside_unit()
        ratios.append(took / ((unit + after) / 2))
        unit = after
    return ratios


def json_bytes(sample: int = 50_000) -> float:
    """Mean bytes of one event of the stored set as compact JSON (the first ``sample`` events,
    which hold every kind of block of the set)."""
    total = n = 0
    for ev in _Gen(EVENTS, 1_800_000_000_000).events():
        total += len(json.dumps(ev, separators=(",", ":")).encode())
        n += 1
        if n == sample:
            break
    return total / n


def encode_ratio(body: bytes) -> float:
    """json.dumps of an answer's value (parsed from its body), best of five, in U beside it."""
    value = json.loads(body)
    unit = beside_unit()
    best = float("inf")
    for _ in range(5):
        t0 = time.perf_counter()
        json.dumps(value, ensure_ascii=False, separators=(",", ":"))
        best = min(best, time.perf_counter() - t0)
    return best / ((unit + beside_unit()) / 2)


def usage_floor(db: Path, window: dict[str, int]) -> tuple[int, float, str]:
    """(the calls in the window, the least time to read their numbers, in U, what was read): one
    query of the file (read only) that reads every number the answer sums of each call in the
    window (its model's range of the index of the calls by model and time alone, from schema
    version 7 on; before, each call's row found through the index of the calls by time), with
    no grouping, sorting or joining."""
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    try:
        columns = {r[1] for r in conn.execute("PRAGMA table_info(llm_calls)")}
        args: tuple = (window["since"], window["until"])
        if "timed_ms" in columns:
            models = [r[0] for r in conn.execute("SELECT DISTINCT model FROM llm_calls WHERE model IS NOT NULL")]
            sql = ("SELECT count(*), sum(calls), sum(input_tokens), sum(output_tokens), sum(total_tokens),"
                   " sum(cost_pico), sum(unpriced), sum(failed_calls), sum(timed_ms)"
                   " FROM llm_calls INDEXED BY llm_calls_usage"
                   " WHERE model IN (SELECT value FROM json_each(?)) AND at_ms >= ? AND at_ms <= ?")
            args = (json.dumps(models), *args)
            what = "every number of each call, from the index alone"
        else:
            sql = ("SELECT count(*), sum(calls), sum(total_tokens), sum(cost_usd) FROM llm_calls"
                   " WHERE at_ms >= ? AND at_ms <= ?")
            what = "the calls' rows through the index by time"
        n = conn.execute(sql, args).fetchone()[0]
        unit = beside_unit()
        times = []
        for _ in range(5):
            t0 = time.perf_counter()
            conn.execute(sql, args).fetchone()
            times.append(time.perf_counter() - t0)
        return n, min(times) / ((unit + beside_unit()) / 2), what
    finally:
        conn.close()


def floor_note(target: float, p95: float, bare: float, encode: float) -> str:
    """The floor of a query row (a bare request's p95 plus writing the answer's JSON alone, both
    of this run) and, where the target lies below it, whether the row holds: within 1.5x of it."""
    floor = bare + encode
    note = f"floor {floor:.0f} U (bare request {bare:.0f} U + its JSON alone {encode:.0f} U)"
    if target < floor:
        verdict = "held" if p95 <= 1.5 * floor else "not held"
        note += f": target below it, {p95 / floor:.2f}x the floor, {verdict} (<= 1.5x)"
    return note


def query_rows(big: Listener, info: dict[str, Any], db: Path, u: float, only: str | None = None) -> list[tuple]:
    """The query rows against the listener ``big`` on ``db`` (``only``: the rows whose URL has
    that text), with the bare /healthz beside them; ``u`` the run's U (seconds)."""
    from bench_listener import wait_idle

    rows: list[tuple] = []
    wait_idle(big.proc.pid)
    c, api = big.client, big.api
    day = {"since": info["end_ms"] - DAY_MS, "until": info["end_ms"]}
    checks = [
        ("GET /runs, first page", f"{api}/runs", {}, lambda d: len(d["runs"]) == 100, 100),
        (f"GET /runs?search= ({NEEDLE})", f"{api}/runs", {"search": NEEDLE},
         lambda d: 0 < len(d["runs"]) <= 100, 500),
        (f"GET /events?search= ({NEEDLE})", f"{api}/events", {"search": NEEDLE},
         lambda d: 0 < len(d["events"]) <= 100, 500),
        (f"GET /runs/tree-0/tree ({TREE_RUNS:,} runs)", f"{api}/runs/tree-0/tree", {},
         lambda d: len(d["children"]) == 9, 500),
        ("GET /sessions, first page", f"{api}/sessions", {}, lambda d: 0 < len(d["sessions"]) <= 100, 300),
        ("GET /usage over the last day", f"{api}/usage", day, lambda d: d["totals"]["calls"] > 0, 300),
        ("GET /runs/long-run/events (the newest 500)", f"{api}/runs/long-run/events", {},
         lambda d: 0 < len(d["events"]) <= 500, 100),
    ]
    if only is not None:
        checks = [check for check in checks if only in check[1]]
    some = os.environ.get("ORVANE_BENCH_SCALE_ONLY")
    if some:
        checks = [check for check in checks if any(text in check[1] for text in some.split(","))]
    base = api.rsplit("/", 1)[0]
    health = timed_gets(c, f"{base}/healthz", {}, lambda d: None)
    bare = percentile(health, 0.95)
    floors = {"usage": usage_floor(db, day)} if any("usage" in check[1] for check in checks) else {}
    for label, url, params, ok, target in checks:
        def check(doc, ok=ok, label=label):
            assert ok(doc), (label, str(doc)[:300])
        ratios = timed_gets(c, url, params, check)
        p95 = percentile(ratios, 0.95)
        body = c.get(url, params=params).content
        encode = encode_ratio(body)
        notes = [f"p50 {percentile(ratios, 0.5):.0f} U", f"{len(body) / 1024:.0f} KiB",
                 f"its JSON written by json.dumps alone {encode:.0f} U"]
        if "usage" in url:
            n, ratio, what = floors["usage"]
            notes.append(f"reading the numbers of the window's {n:,} calls alone ({what}) {ratio:.0f} U")
        else:
            notes.append(floor_note(target, p95, bare, encode))
        rows.append((f"{label}, p95 of {QUERIES}", p95 * u, p95, f"<= {target} U ({'; '.join(notes)})"))
    rows.append((f"GET /healthz, p95 of {QUERIES} (the floor of a request)", None, bare, "reported"))
    return rows


def cap_rows(big: Listener, full: Path, full_copy: Path, full_info: dict[str, Any], tmp: Path, sampler: Sampler,
             listeners: list[Listener]) -> list[tuple]:
    """Past the cap: ``POST /ingest`` to a listener on a copy holding as many events as its
    --max-events, in turns with the same to the uncapped listener ``big`` (on ``full_copy``)."""
    from bench_listener import wait_idle

    rows: list[tuple] = []
    capped_copy = copy_of(full, tmp, "capped.sqlite3")
    # --max-events at the stored count: the default (5,000,000) at full size, and a quick
    # pass is past its cap too.
    capped = Listener("capped", capped_copy, sampler, ["--max-events", str(full_info["events"])])
    listeners.append(capped)
    sampler.wals["capped"] = Path(f"{capped_copy}-wal")
    sampler.wals["full"] = Path(f"{full_copy}-wal")
    lat = {"capped": [], "full": []}
    r = 0
    for turn in range(POSTS // 30):
        for lis in (capped, big) if turn % 2 == 0 else (big, capped):
            for _ in range(30):
                body = post_body(lis.name, r)
                r += 1
                unit = beside_unit()
                t0 = time.perf_counter()
                resp = lis.client.post(lis.url, content=body, headers={"Content-Type": "application/json"})
                took = time.perf_counter() - t0
                assert resp.status_code == 200 and resp.json()["accepted"] == 200, resp.text[:300]
                lat[lis.name].append((took, took / ((unit + beside_unit()) / 2)))
    p99 = {name: percentile([x[1] for x in v], 0.99) for name, v in lat.items()}
    p99s = {name: percentile([x[0] for x in v], 0.99) for name, v in lat.items()}
    stats = capped.client.get(f"{capped.api}/stats").json()
    rows.append(("POST /ingest of 200 events past the cap (retention drops as many), p99", p99s["capped"],
                 p99["capped"], f"{p99['capped'] / p99['full']:.2f}x the uncapped p99 (<= 2x); "
                 f"{stats['events']:,} stored"))
    rows.append(("POST /ingest of 200 events, uncapped, p99", p99s["full"], p99["full"], "reference"))
    wait_idle(capped.proc.pid)
    sampler.sample()
    rows.append(("largest -wal file of the capped listener, sampled every 50 ms", None, None,
                 f"{sampler.wal_max.get('capped', 0) / 2**20:.1f} MiB (bounded); uncapped "
                 f"{sampler.wal_max.get('full', 0) / 2**20:.1f} MiB"))
    capped.stop()
    listeners.remove(capped)
    capped_copy.unlink(missing_ok=True)
    return rows


def queries_only() -> None:
    """ORVANE_BENCH_SCALE_ROWS=queries or =usage: the start on the full set and the query rows."""
    u = unit_seconds()
    rows: list[tuple] = []
    CACHE.mkdir(parents=True, exist_ok=True)
    tmp = Path(tempfile.mkdtemp(prefix="bench-scale-", dir=Path(OWN_DB).parent if OWN_DB else CACHE))
    sampler = Sampler()
    big = None
    try:
        if OWN_DB:
            db = Path(OWN_DB)
            info = json.loads(db.with_suffix(".json").read_text())
        else:
            full, info, _ = stored_set(EVENTS)
            db = copy_of(full, tmp, "full.sqlite3")
        with closing(sqlite3.connect(f"file:{db}?mode=ro", uri=True)) as conn:
            version = conn.execute("PRAGMA user_version").fetchone()[0]
        big = Listener("full", db, sampler, UNCAPPED)
        rows.append((f"start on {info['events']:,} stored events until /healthz answers (schema version {version}"
                     f" at the start)", big.start_seconds, big.start_ratio, "<= 150000 U"))
        rows += query_rows(big, info, db, u, "usage" if ROWS == "usage" else None)
    finally:
        if big is not None:
            big.stop()
        sampler.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"U = {u * 1e6:.2f} us")
    report(rows)


def cap_only() -> None:
    """ORVANE_BENCH_SCALE_ROWS=cap: the rows past the cap alone (two copies of the full set)."""
    u = unit_seconds()
    full, info, _ = stored_set(EVENTS)
    tmp = Path(tempfile.mkdtemp(prefix="bench-scale-", dir=CACHE))
    sampler = Sampler()
    listeners: list[Listener] = []
    try:
        full_copy = copy_of(full, tmp, "full.sqlite3")
        big = Listener("full", full_copy, sampler, UNCAPPED)
        listeners.append(big)
        rows = cap_rows(big, full, full_copy, info, tmp, sampler, listeners)
    finally:
        for lis in listeners:
            lis.stop()
        sampler.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"U = {u * 1e6:.2f} us")
    report(rows)


def main() -> None:
    from bench_listener import wait_idle

    u = unit_seconds()
    rows: list[tuple] = []
    t_build = time.perf_counter()
    full, full_info, built_full = stored_set(EVENTS)
    small, small_info, built_small = stored_set(SMALL)
    if built_full or built_small:
        print(f"stored sets built in {time.perf_counter() - t_build:.0f} s: {EVENTS:,} events "
              f"{full_info['build_seconds']:.0f} s, {SMALL:,} events {small_info['build_seconds']:.0f} s")
    else:
        print(f"stored sets kept in {CACHE} (built in {full_info['build_seconds']:.0f} s and "
              f"{small_info['build_seconds']:.0f} s)")
    tmp = Path(tempfile.mkdtemp(prefix="bench-scale-", dir=CACHE))
    sampler = Sampler()
    listeners: list[Listener] = []
    try:
        # The floor of a start: a new, empty file.
        empty = Listener("empty", tmp / "empty.sqlite3", sampler)
        empty.stop()
        full_copy = copy_of(full, tmp, "full.sqlite3")
        file_bytes = full_copy.stat().st_size
        big = Listener("full", full_copy, sampler, UNCAPPED)
        listeners.append(big)
        rows.append((f"start on {full_info['events']:,} stored events until /healthz answers", big.start_seconds,
                     big.start_ratio, f"<= 150000 U (a new, empty file: {empty.start_ratio:,.0f} U, "
                     f"{empty.start_seconds:.2f} s)"))
        rows.append(("file bytes per stored event (file of the stored set)", None, None,
                     f"{file_bytes / full_info['events']:,.0f} B (<= 1024 B; an event's compact JSON alone "
                     f"{json_bytes():,.0f} B)"))
        little = Listener("small", copy_of(small, tmp, "small.sqlite3"), sampler, UNCAPPED)
        listeners.append(little)

        # Ingest through one sink, at 0.5 M and at 5 M stored, in turns.
        pairs = []
        small_rates, full_rates = [], []

        def rate(lis: Listener, k: int) -> float:
            events = turn_events(f"{lis.name}{k}", k * TURN, TURN)
            steady, _ = sink_rate(lis.url, events, lambda s: s.get_stats()["uploaded_event_count"])
            wait_idle(lis.proc.pid)
            return steady

        small_rates.append(rate(little, 0))
        for k in range(TURNS):
            full_rates.append(rate(big, k))
            small_rates.append(rate(little, k + 1))
            pairs.append(full_rates[-1] / ((small_rates[-2] + small_rates[-1]) / 2))
        little.stop()
        listeners.remove(little)
        rows.append((f"sink ingest rate at {full_info['events'] / 1e6:.1f} M stored / at "
                     f"{small_info['events'] / 1e6:.1f} M stored (median of {TURNS} turns: "
                     f"{', '.join(f'{p:.2f}' for p in pairs)})", None, None,
                     f"{statistics.median(pairs):.3f} (>= 0.8); {statistics.median(full_rates):,.0f} / "
                     f"{statistics.median(small_rates):,.0f} events/s"))

        rows += cap_rows(big, full, full_copy, full_info, tmp, sampler, listeners)

        # Queries over the full set.
        rows += query_rows(big, full_info, full_copy, u)
        c, api = big.client, big.api
        stats = c.get(f"{api}/stats").json()
        rows.append(("file bytes per stored event, at the end (with -wal)", None, None,
                     f"{stats['db_bytes'] / stats['events']:,.0f} B for {stats['events']:,} events (<= 1024 B)"))
    finally:
        for lis in listeners:
            lis.stop()
        sampler.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    peak = max(sampler.peak_kb.values())
    rows.append(("largest resident memory of a listener (VmHWM, sampled every 50 ms)", None, None,
                 f"{peak / 1024:.0f} MiB (<= 300 MB): " + ", ".join(
                     f"{k} {v / 1024:.0f}" for k, v in sampler.peak_kb.items())))
    print(f"U = {u * 1e6:.2f} us")
    report(rows)


if __name__ == "__main__":
    if sys.argv[1:2] == ["build"]:
        p, info, built = stored_set(int(sys.argv[2]))
        print(p, info, built)
    elif ROWS == "cap":
        cap_only()
    elif ROWS != "all":
        queries_only()
    else:
        main()
