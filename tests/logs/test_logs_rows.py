"""The writer's native row builder (``Logbook._log_rows``) against its own Python loop.

The same seeded streams, in the same tickets, go into two files: one written with the native
builder, one with every event through the writer's Python loop. Every table must come out the
same, row for row (keys, texts, counters), through duplicates, run-less events, runs the writer
forgets and adopts again from the file, a reopened file, and retention.
"""

from __future__ import annotations

import asyncio
import random
import sqlite3
from types import SimpleNamespace

import pytest

from logs_helpers import Stream
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService, _maintenance, _transaction
from orvane_devtools.logs.Logbook import _log_rows
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
    got = _log_rows(store, [prepared, unknown], 0, seen, working, touched, rows, 10, 0, {"t"}, set(), 24, 64)
    assert got == (1, 10, 0, 0, 1, None)
    assert seen == {"dup"} and rows == [] and touched == {}
    # A run-less event of a known type: its row, with the texts' lengths and the joined text.
    free = ("e3", 3, "t", "src", "info", None, None, None, "{}", parts, None, None, None, {}, None)
    got = _log_rows(store, [free, ("not", "prepared")], 0, seen, working, touched, rows, 10, 0, {"t"}, set(), 24, 64)
    assert got == (1, 11, 1, 1, 0, None)
    assert rows == [(11, "e3", None, 3, "t", "src", "info", None, None, None, None, None, None,
                     "1,1,0,0,0,0,0,0", "a b", "{}")]
    # The sampling turn and a new event type go to the caller's loop, untouched.
    assert _log_rows(store, [free], 0, set(), working, touched, [], 0, 63, {"t"}, set(), 24, 64)[0] == 0
    assert _log_rows(store, [free], 0, set(), working, touched, [], 0, 0, set(), set(), 24, 64)[0] == 0
    with pytest.raises(TypeError):
        _log_rows(store, (free,), 0, set(), working, touched, [], 0, 0, {"t"}, set(), 24, 64)



def run_state(**kw) -> SimpleNamespace:
    """What the writer remembers of a run it holds (the attributes of its _RunState the builder
    reads), for calling the builder directly."""
    base = dict(head_id=None, ctx_id=None, ctx_json=None, run_key=None, vals={}, seen_json=None,
                seen_meta=None, seen_status=None)
    return SimpleNamespace(**{**base, **kw})


RUN_JSON = '{"run_id":"run-1"}'
CONTEXT = dict(RuntimeRunContext(run_id="run-1", run_kind="agent_task").__dict__)


def prepared(event_id: str, event_type: str, ts=5, message="go") -> tuple:
    parts = (event_id, event_type, "", "", "", "", "", "")
    return (event_id, ts, event_type, "src", "info", None, None, "run-1", "{}", parts, RUN_JSON, "run-1",
            message, {}, dict(CONTEXT))


TYPES = {"agent_task.started", "stream.delta"}


class TestRecordsDerivedInTheGivenStore:
    # The builder derives through the store it is handed (the writer's own), reached natively:
    # records land in that store and nowhere else, and what the store refuses reaches the caller
    # as the store's own _derive_record raises it.

    def test_a_known_run_is_derived_in_that_store_only(self):
        store, other = RuntimeTallybook(1), RuntimeTallybook(1)
        seen, touched, rows = set(), {}, []
        # No head row yet: derived, then handed back with its status for the writer to write one.
        working = {"run-1": run_state()}
        got = _log_rows(store, [prepared("e1", "agent_task.started")], 0, seen, working, touched, rows, 0, 0,
                        TYPES, set(), 24, 64)
        assert got == (0, 0, 0, 0, 0, "running")
        assert seen == {"e1"} and rows == [] and touched == {}
        first = store.get_run("run-1")
        assert (first.status, first.event_count, first.latest_message) == ("running", 1, "go")
        assert other.get_run("run-1") is None
        # Head and context rows as the run has them: derived again, and its row written here.
        state = run_state(head_id=7, ctx_id=3, ctx_json=RUN_JSON, run_key=42, seen_json=RUN_JSON,
                          seen_meta="", seen_status="running")
        working = {"run-1": state}
        got = _log_rows(store, [prepared("e2", "stream.delta", ts=6, message="more")], 0, seen, working, touched,
                        rows, 10, 0, TYPES, set(), 24, 64)
        assert got == (1, 11, 1, 1, 0, None)
        assert touched == {"run-1": state}
        assert rows == [(11, "e2", 42, 6, "stream.delta", "src", "info", None, None, 7, 3, None, None,
                         "2,12,0,0,0,0,0,0", "e2 stream.delta", "{}")]
        record = store.get_run("run-1")
        assert (record.event_count, record.latest_message, record.updated_at) == (2, "more", 6)
        assert other.list_runs() == []

    def test_a_subclass_instance_derives_as_the_store_does(self):
        class Store(RuntimeTallybook):
            pass

        sub, plain = Store(1), RuntimeTallybook(1)
        for store in (sub, plain):
            _log_rows(store, [prepared("e1", "agent_task.started")], 0, set(), {"run-1": run_state()}, {}, [],
                      0, 0, TYPES, set(), 24, 64)
        assert sub.get_run("run-1").model_dump() == plain.get_run("run-1").model_dump()

    def test_a_refused_derivation_raises_what_the_store_raises(self):
        store = RuntimeTallybook(1)
        bad = prepared("e1", "agent_task.started", ts="soon")
        with pytest.raises(TypeError) as want:
            store._derive_record("agent_task.started", "soon", "src", "go", {}, dict(CONTEXT))
        with pytest.raises(TypeError) as got:
            _log_rows(store, [bad], 0, set(), {"run-1": run_state()}, {}, [], 0, 0, TYPES, set(), 24, 64)
        assert str(got.value) == str(want.value) and "timestamp" in str(got.value)
        assert store.list_runs() == []
        # The store is still whole: the next event derives.
        _log_rows(store, [prepared("e2", "agent_task.started")], 0, set(), {"run-1": run_state()}, {}, [],
                  0, 0, TYPES, set(), 24, 64)
        assert store.get_run("run-1").event_count == 1

    @pytest.mark.parametrize("make", [object, dict, lambda: RuntimeTallybook.__new__(RuntimeTallybook)],
                             ids=["object", "dict", "uninitialised store"])
    def test_anything_but_an_initialised_store_is_refused(self, make):
        # Refused before anything is done: nothing is counted as seen, no row is written.
        seen, rows = set(), []
        with pytest.raises(TypeError, match="store|RuntimeTallybook"):
            _log_rows(make(), [prepared("e1", "agent_task.started")], 0, seen, {"run-1": run_state()}, {},
                      rows, 0, 0, TYPES, set(), 24, 64)
        assert seen == set() and rows == []
