"""The usage of a window in the file store reads what it needs of each call's run from the call's
row (`failed_calls`, `timed_ms`, `cost_pico`): those columns must follow the runs through every
change (runs that fail or end after their calls, a second call, events sent again, retention, a
restart of the writer), and a file of schema version 6 gains them at open with the answers it
gave before. The in-memory store, which computes everything from the records, is the reference."""

from __future__ import annotations

import asyncio
import gzip
import json
import shutil
import sqlite3
from pathlib import Path

import pytest
from usage_cases import first_half, second_half, usage_windows

from orvane.utils import Settings
from orvane_devtools.listener.calls import event_pieces
from orvane_devtools.logs import RuntimeLogService, _schema
from orvane_devtools.logs._llm import run_facts, usage_columns
from orvane_devtools.logs._sessions import memory_usage
from orvane_devtools.observation.Tallybook import RunRecord

DATA = Path(__file__).resolve().parent / "data"


async def _append(service: RuntimeLogService, events: list) -> None:
    async with service.batch():
        await service.append_events(events, event_pieces(events))


def feed(service: RuntimeLogService, events: list, per_batch: int = 7) -> None:
    for i in range(0, len(events), per_batch):
        asyncio.run(_append(service, events[i:i + per_batch]))
    asyncio.run(service.flush())


def answers(service: RuntimeLogService) -> list:
    return [service.llm_usage(since, until) for since, until in usage_windows()]


def stored_columns(path: Path) -> dict[str, tuple]:
    """run id -> (cost_pico, failed_calls, timed_ms) as the file holds them."""
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return {run_id: tuple(rest) for run_id, *rest in conn.execute(
            "SELECT r.run_id, l.cost_pico, l.failed_calls, l.timed_ms FROM llm_calls l JOIN runs r USING (run_key)")}
    finally:
        conn.close()


def expected_columns(path: Path) -> dict[str, tuple]:
    """The same columns recomputed from each call's numbers and its run's stored record."""
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        rows = conn.execute("SELECT r.run_id, r.record, l.calls, l.cost_usd FROM llm_calls l JOIN runs r USING (run_key)")
        return {run_id: usage_columns(calls, cost, run_facts(run_id, RunRecord.model_validate_json(record)))
                for run_id, record, calls, cost in rows}
    finally:
        conn.close()


def usage_from_records(path: Path) -> list:
    """The usage of each window computed as the in-memory store does, from the calls' numbers and
    their runs' records as the file holds them (none of the usage columns)."""
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        held = [(run_id, RunRecord.model_validate_json(record), tuple(row)) for run_id, record, *row in conn.execute(
            "SELECT r.run_id, r.record, l.model, l.provider, l.calls, l.input_tokens, l.output_tokens, l.total_tokens,"
            " l.cost_usd, l.unpriced, l.at_ms FROM llm_calls l JOIN runs r USING (run_key)")]
    finally:
        conn.close()
    return [memory_usage(held, since, until) for since, until in usage_windows()]


def check_columns(path: Path) -> dict[str, tuple]:
    held = stored_columns(path)
    assert held == expected_columns(path)
    return held


@pytest.mark.timeout(120)
def test_the_columns_follow_the_runs_through_every_change(tmp_path):
    path = tmp_path / "u.db"
    memory = RuntimeLogService(Settings({}))
    file = RuntimeLogService(Settings({"logs.path": str(path)}))
    try:
        for service in (memory, file):
            feed(service, first_half())
        assert answers(file) == answers(memory)
        held = check_columns(path)
        # What the second half changes, as the first half left it.
        assert held["waiting"][2] is None and held["agent-a"][1] == 0 and held["mini-3"][2] == 50
        assert held["broken"] == (None, 1, 70) and held["otel-0123456789abcdef0123456789abcdef-0123456789abcdef"][2] == 250
        # The writer starts again: the runs are adopted from the file when their next events come.
        file.close()
        file = RuntimeLogService(Settings({"logs.path": str(path)}))
        for service in (memory, file):
            feed(service, second_half(), per_batch=3)
        assert answers(file) == answers(memory) == usage_from_records(path)
        held = check_columns(path)
        assert held["waiting"][2] == 500 and held["agent-a"][1] == 3 and held["mini-3"][2] is None
        assert held["agent-c"] == (None, 0, None) and held["late-2"][1:] == (1, 12)
        everything = file.llm_usage(0, None)
        # broken, late-2 and the three calls of agent-a
        assert sum(m["errors"] for m in everything) == 5
    finally:
        memory.close()
        file.close()


@pytest.mark.timeout(120)
def test_retention_takes_the_calls_of_the_runs_it_removes(tmp_path):
    """Past logs.max_events the oldest events go, and with the last event of a run its call:
    the usage is that of the calls and records left."""
    path = tmp_path / "kept.db"
    events = first_half() + second_half()
    file = RuntimeLogService(Settings({"logs.path": str(path), "logs.max_events": 30}))
    try:
        feed(file, events, per_batch=5)
        left = {r.run_id for r in file.query_runs(limit=1000)}
        assert 5 < len(left) < len({e.run.run_id for e in events})
        held = check_columns(path)
        assert set(held) <= left and "late-2" in held and "mini-0" not in held
        assert answers(file) == usage_from_records(path)
    finally:
        file.close()


def _v6_copy(tmp_path: Path) -> Path:
    db = tmp_path / "v6.sqlite3"
    with gzip.open(DATA / "listener-v6.sqlite3.gz", "rb") as src, open(db, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return db


def _schema_facts(path: Path) -> tuple:
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return (conn.execute("PRAGMA user_version").fetchone()[0],
                {r[1] for r in conn.execute("PRAGMA table_info(llm_calls)")},
                {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'index'")})
    finally:
        conn.close()


@pytest.mark.timeout(120)
def test_a_file_of_schema_version_6_gains_the_columns_and_answers_as_before(tmp_path):
    """The fixture is the first half as the log service of schema version 6 stored it, with the
    usage and sessions it answered (listener-v6-usage.json)."""
    db = _v6_copy(tmp_path)
    version, columns, indexes = _schema_facts(db)
    assert version == 6 and "timed_ms" not in columns and "llm_calls_at" in indexes
    before = json.loads((DATA / "listener-v6-usage.json").read_text())
    file = RuntimeLogService(Settings({"logs.path": str(db)}))
    memory = RuntimeLogService(Settings({}))
    fresh_path = tmp_path / "fresh.db"
    fresh = RuntimeLogService(Settings({"logs.path": str(fresh_path)}))
    try:
        version, columns, indexes = _schema_facts(db)
        assert version == _schema.SCHEMA_VERSION == 8
        assert {"cost_pico", "failed_calls", "timed_ms"} <= columns
        assert "llm_calls_usage" in indexes and "llm_calls_at" not in indexes
        assert answers(file) == before["usage"]
        assert file.session_summaries() == before["sessions"]
        # The columns filled from the stored records are those the writer sets.
        for service in (memory, fresh):
            feed(service, first_half())
        assert check_columns(db) == stored_columns(fresh_path)
        assert answers(memory) == before["usage"]
        # The upgraded file goes on as a new one does.
        for service in (memory, fresh, file):
            feed(service, second_half(), per_batch=4)
        assert answers(file) == answers(memory) == answers(fresh)
        assert check_columns(db) == stored_columns(fresh_path)
    finally:
        for service in (file, memory, fresh):
            service.close()
