"""Opening the log file: new, reopened, and every kind of file it must refuse without touching."""

from __future__ import annotations

import asyncio
import hashlib
import os
import sqlite3

import pytest

from logs_helpers import T0, Stream, append_all
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import (
    LogStoreCorruptError,
    LogStoreError,
    LogStoreReadOnlyError,
    LogStoreVersionError,
    RuntimeLogService,
    _schema,
)


def digest(path: str) -> str:
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def make_log(path: str, n: int = 40) -> list:
    service = RuntimeLogService(Settings({"logs.path": path}))
    events = Stream(3, n).events
    append_all(service, events)
    service.close()
    return events


class TestNewAndReopened:
    def test_creates_folders_schema_and_version(self, tmp_path):
        path = tmp_path / "a" / "b" / "log.db"
        with RuntimeLogService(Settings({"logs.path": str(path)})) as service:
            assert service.persistent and service.path == str(path)
            assert service.stats()["events"] == 0
        conn = sqlite3.connect(path)
        assert conn.execute("PRAGMA user_version").fetchone()[0] == _schema.SCHEMA_VERSION
        assert conn.execute("PRAGMA application_id").fetchone()[0] == _schema.APPLICATION_ID
        assert conn.execute("PRAGMA journal_mode").fetchone()[0] == "wal"
        assert conn.execute("PRAGMA integrity_check").fetchone()[0] == "ok"

    def test_reopening_brings_back_runs_trees_search_and_events(self, tmp_path):
        path = str(tmp_path / "log.db")
        parent = RuntimeRunContext(run_id="p", run_kind="agent_task", agent_name="Planner")
        child = RuntimeRunContext(run_id="c", parent_run_id="p", run_kind="tool")
        events = [
            RuntimeEvent(event_type="agent_task.started", timestamp=T0, run=parent, message="Plan the trip"),
            RuntimeEvent(event_type="tool_call_started", timestamp=T0 + 1, run=child, payload={"q": "Fares"}),
            RuntimeEvent(event_type="tool_call_completed", timestamp=T0 + 2, run=child),
        ]
        first = RuntimeLogService(Settings({"logs.path": path}))
        append_all(first, events)
        before = (first.query_runs(), first.query_events(), first.query_runs(search="fares planner"))
        first.close()
        again = RuntimeLogService(Settings({"logs.path": path}))
        try:
            assert (again.query_runs(), again.query_events(), again.query_runs(search="fares planner")) == before
            assert [r.run_id for r in again.query_runs(search="FARES")] == ["c"]
            assert again.collect_descendant_run_ids("p") == ["p", "c"]
            assert again.query_runs(run_id="c")[0].status == "completed"
            assert again.get_event(events[1].event_id) == events[1]
            # A run continues where the stored record left off.
            append_all(again, [RuntimeEvent(event_type="tool_call_failed", timestamp=T0 + 9, run=child)])
            record = again.query_runs(run_id="c")[0]
            assert (record.event_count, record.status, record.started_at) == (3, "failed", T0 + 1)
        finally:
            again.close()

    def test_an_empty_file_becomes_a_log(self, tmp_path):
        path = tmp_path / "empty.db"
        path.write_bytes(b"")
        with RuntimeLogService(Settings({"logs.path": str(path)})) as service:
            append_all(service, Stream(1, 5).events)
            assert service.stats()["events"] == 5


class TestRefused:
    def test_a_folder(self, tmp_path):
        with pytest.raises(LogStoreError, match="is a folder") as err:
            RuntimeLogService(Settings({"logs.path": str(tmp_path)}))
        assert err.value.path == str(tmp_path)

    def test_a_location_nobody_can_write(self):
        # /proc takes no new folders, whoever asks (a permission check would not stop root).
        path = "/proc/orvane-logs/log.db"
        with pytest.raises(LogStoreReadOnlyError, match="/proc/orvane-logs") as err:
            RuntimeLogService(Settings({"logs.path": path}))
        assert err.value.path == path

    @pytest.mark.skipif(os.geteuid() == 0, reason="root writes read-only files")
    def test_a_read_only_file(self, tmp_path):
        path = str(tmp_path / "log.db")
        make_log(path)
        os.chmod(path, 0o444)
        os.chmod(tmp_path, 0o555)
        try:
            with pytest.raises(LogStoreReadOnlyError, match=str(path)):
                RuntimeLogService(Settings({"logs.path": path}))
        finally:
            os.chmod(tmp_path, 0o755)

    def test_a_file_that_is_not_a_database(self, tmp_path):
        path = tmp_path / "notes.db"
        path.write_bytes(b"these are my notes, not a database\n" * 300)
        before = digest(str(path))
        with pytest.raises(LogStoreCorruptError, match="notes.db") as err:
            RuntimeLogService(Settings({"logs.path": str(path)}))
        assert err.value.path == str(path)
        assert digest(str(path)) == before

    def test_a_database_of_another_program(self, tmp_path):
        path = str(tmp_path / "other.db")
        conn = sqlite3.connect(path)
        conn.execute("CREATE TABLE customers(name TEXT)")
        conn.execute("INSERT INTO customers VALUES ('ada')")
        conn.commit()
        conn.close()
        before = digest(path)
        with pytest.raises(LogStoreCorruptError, match="another program"):
            RuntimeLogService(Settings({"logs.path": path}))
        assert digest(path) == before
        assert sqlite3.connect(path).execute("SELECT name FROM customers").fetchall() == [("ada",)]

    def test_a_file_from_a_newer_version(self, tmp_path):
        path = str(tmp_path / "log.db")
        make_log(path)
        conn = sqlite3.connect(path)
        conn.execute(f"PRAGMA user_version = {_schema.SCHEMA_VERSION + 1}")
        conn.close()
        before = digest(path)
        with pytest.raises(LogStoreVersionError, match=f"schema version {_schema.SCHEMA_VERSION + 1}") as err:
            RuntimeLogService(Settings({"logs.path": path}))
        assert err.value.path == path
        assert digest(path) == before

    def test_a_file_of_an_earlier_layout(self, tmp_path):
        """Version 1 kept event texts apart and whole event JSON: refused, named, untouched."""
        path = str(tmp_path / "log.db")
        make_log(path)
        conn = sqlite3.connect(path)
        conn.execute("PRAGMA user_version = 1")
        conn.close()
        before = digest(path)
        with pytest.raises(LogStoreVersionError, match="schema version 1, written by an earlier") as err:
            RuntimeLogService(Settings({"logs.path": path}))
        assert err.value.path == path
        assert digest(path) == before

    def test_a_damaged_file(self, tmp_path):
        path = str(tmp_path / "log.db")
        make_log(path, 300)
        size = os.path.getsize(path)
        with open(path, "r+b") as f:
            # Keep the header and the schema page; scribble over the pages after them.
            f.seek(4096 * 2)
            f.write(os.urandom(min(4096 * 6, size - 4096 * 2)))
        before = digest(path)
        with pytest.raises(LogStoreCorruptError, match="damaged") as err:
            RuntimeLogService(Settings({"logs.path": path}))
        assert err.value.path == path
        assert digest(path) == before

    def test_an_sqlite_without_the_trigram_tokenizer(self, tmp_path, monkeypatch):
        monkeypatch.setattr(_schema, "_TRIGRAM", "tokenize='no_such_tokenizer'")
        with pytest.raises(LogStoreError, match="FTS5 with the trigram tokenizer"):
            RuntimeLogService(Settings({"logs.path": str(tmp_path / "log.db")}))

    def test_a_path_setting_of_the_wrong_type(self):
        with pytest.raises(TypeError, match="logs.path"):
            RuntimeLogService(Settings({"logs.path": 42}))


def test_a_path_like_setting_and_an_empty_one(tmp_path):
    with RuntimeLogService(Settings({"logs.path": tmp_path / "p.db"})) as service:
        assert service.path == str(tmp_path / "p.db")
    memory = RuntimeLogService(Settings({"logs.path": ""}))
    assert not memory.persistent and memory.path is None
    asyncio.run(memory.append_event(Stream(2, 1).events[0]))
    assert memory.stats()["events"] == 1
