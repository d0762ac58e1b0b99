"""The writer's native row builder (``RuntimeTallybook._log_rows``) against its own Python loop.

The same seeded streams, in the same tickets, go into two files: one written with the native
builder, one with every event through the writer's Python loop. Every table must come out the
same, row for row (keys, texts, counters), through duplicates, run-less events, runs the writer
forgets and adopts again from the file, a reopened file, and retention.
"""

from __future__ import annotations

import asyncio
import random
import sqlite3

import pytest

from logs_helpers import Stream
from orvane.utils import Settings
from orvane_devtools.logs import RuntimeLogService, _maintenance, _transaction
from orvane_devtools.observation.Tallybook import RuntimeTallybook

TABLES = {
    "events": "SELECT * FROM events ORDER BY seq",
    "runs": "SELECT * FROM runs ORDER BY run_key",
    "heads": "SELECT * FROM heads ORDER BY head_id",
    "contexts": "SELECT * FROM contexts ORDER BY ctx_id",
    "vals": "SELECT * FROM vals ORDER BY val_id",
    "head_text": "SELECT rowid, * FROM head_text ORDER BY rowid",
    "context_text": "SELECT rowid, * FROM context_text ORDER BY rowid",
    "val_text": "SELECT rowid, * FROM val_text ORDER BY rowid",
    "pending_text": "SELECT * FROM pending_text ORDER BY id",
    "names": "SELECT * FROM names ORDER BY kind, value",
    "trigrams": "SELECT * FROM trigrams ORDER BY tri",
    "meta": "SELECT * FROM meta WHERE key NOT IN ('opened_at', 'created_at') ORDER BY key",
}


def dump(path: str) -> dict[str, list]:
    conn = sqlite3.connect(path)
    try:
        return {name: conn.execute(sql).fetchall() for name, sql in TABLES.items()}
    finally:
        conn.close()


def steady(seed: int, events: list) -> list:
    """The events as one application sends them: a run's events mostly carry the run's first
    context and meta, and most are stream deltas (so most leave the run's stored texts as they
    are, the case the native builder serves); the rest stay as drawn."""
    rng = random.Random(seed)
    first: dict[str, tuple] = {}
    out = []
    for ev in events:
        if ev.run is not None and rng.random() < 0.9:
            run, meta = first.setdefault(ev.run.run_id, (ev.run, ev.meta))
            update = {"run": run, "meta": meta if rng.random() < 0.8 else ev.meta}
            if rng.random() < 0.7:
                update["event_type"] = "stream.delta"
            ev = ev.model_copy(update=update, deep=True)
        out.append(ev)
    return out


def tickets(seed: int, events: list) -> list[list]:
    """The stream cut into tickets of random sizes, with some events sent again."""
    rng = random.Random(seed)
    out, i = [], 0
    while i < len(events):
        n = rng.choice([1, 2, 5, 17, 64, 130])
        chunk = list(events[i:i + n])
        if i and rng.random() < 0.2:
            chunk.insert(rng.randrange(len(chunk) + 1), events[rng.randrange(i)])  # stored before
        if rng.random() < 0.1:
            chunk.append(chunk[0])  # twice in one ticket
        out.append(chunk)
        i += n
    return out


def feed(path: str, native: bool, parts: list[list[list]], monkeypatch, **settings) -> None:
    """Each part through its own service on the file (a reopen between parts)."""
    monkeypatch.setattr(_transaction, "NATIVE_ROWS", native)
    for part in parts:
        service = RuntimeLogService(Settings({"logs.path": path, **settings}))
        try:
            async def go() -> None:
                for chunk in part:
                    await service.append_events(chunk)

            asyncio.run(go())
        finally:
            service.close(10)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("seed", range(4))
def test_native_rows_match_the_python_loop(seed, tmp_path, monkeypatch):
    # A small derivation store: runs are forgotten and adopted again from the file mid-stream.
    monkeypatch.setattr(_transaction, "DERIVER_MAX_RUNS", 5 + seed)
    monkeypatch.setattr(_transaction, "DERIVER_MAX_EVENTS", 150)
    # No trigram indexing: when it runs depends on timing, and it reads the rows compared here.
    monkeypatch.setattr(_maintenance, "INDEX_WHEN_IDLE", False)
    monkeypatch.setattr(_maintenance, "INDEX_BATCH", 10**9)
    # Odd seeds: few runs and pooled payloads and metas (texts the runs repeat, kept in `vals`).
    stream = Stream(seed, 900, n_runs=6 if seed % 2 else 30, pool=4 if seed % 2 else 0)
    events = stream.events if seed == 0 else steady(seed, stream.events)
    cut = tickets(seed, events)
    parts = [cut[: len(cut) // 2], cut[len(cut) // 2:]]
    settings = {"logs.max_events": 700} if seed == 3 else {}
    native, python = str(tmp_path / "native.db"), str(tmp_path / "python.db")
    feed(native, True, parts, monkeypatch, **settings)
    feed(python, False, parts, monkeypatch, **settings)
    got, want = dump(native), dump(python)
    assert len(want["events"]) > (600 if seed == 3 else 850)
    assert want["vals"] or seed % 2 == 0
    for name in TABLES:
        assert got[name] == want[name], name


def test_native_rows_hand_back_what_they_do_not_handle():
    # Called directly: an unknown run stops it before anything of that event is done; a known
    # duplicate is counted; what is not a prepared event is left to the caller's loop.
    store = RuntimeTallybook(1)
    seen, working, touched, rows = {"dup"}, {}, {}, []
    parts = ("a", "b", "", "", "", "", "", "")
    prepared = ("dup", 1, "t", None, None, None, None, None, "{}", parts, None, None, None, {}, None)
    unknown = ("e2", 2, "t", None, None, None, None, "run-1", "{}", parts, "{}", "", None, {}, {"run_id": "run-1"})
    got = store._log_rows([prepared, unknown], 0, seen, working, touched, rows, 10, 0, {"t"}, set(), 24, 64)
    assert got == (1, 10, 0, 0, 1, None)
    assert seen == {"dup"} and rows == [] and touched == {}
    # A run-less event of a known type: its row, with the texts' lengths and the joined text.
    free = ("e3", 3, "t", "src", "info", None, None, None, "{}", parts, None, None, None, {}, None)
    got = store._log_rows([free, ("not", "prepared")], 0, seen, working, touched, rows, 10, 0, {"t"}, set(), 24, 64)
    assert got == (1, 11, 1, 1, 0, None)
    assert rows == [(11, "e3", None, 3, "t", "src", "info", None, None, None, None, None, None,
                     "1,1,0,0,0,0,0,0", "a b", "{}")]
    # The sampling turn and a new event type go to the caller's loop, untouched.
    assert store._log_rows([free], 0, set(), working, touched, [], 0, 63, {"t"}, set(), 24, 64)[0] == 0
    assert store._log_rows([free], 0, set(), working, touched, [], 0, 0, set(), set(), 24, 64)[0] == 0
    with pytest.raises(TypeError):
        store._log_rows((free,), 0, set(), working, touched, [], 0, 0, {"t"}, set(), 24, 64)

