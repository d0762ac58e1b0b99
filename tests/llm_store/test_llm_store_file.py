"""The LLM calls in the log service's two stores: a file written before the table existed, runs
leaving the file with their calls, reset, and the in-memory store against the file store."""

from __future__ import annotations

import asyncio
import gzip
import shutil
import sqlite3
from pathlib import Path

import pytest
from listener_helpers import body, event

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.listener.calls import event_pieces
from orvane_devtools.logs import CallPiece, RuntimeLogService, _schema

DATA = Path(__file__).resolve().parent / "data"
T0 = 1_760_000_000_000


def usage_event(i: int, run_id: str, model: str = "gpt-4o-mini", *, kind: str = "agent_task", **usage) -> RuntimeEvent:
    doc = event(i, run_id, ts=T0 + i, event_type="agent_task.llm_call",
                payload={"model": model, "provider": "openai",
                         "usage": usage or {"prompt_tokens": 10 * (i + 1), "completion_tokens": i + 1}})
    doc["run"]["run_kind"] = kind
    return RuntimeEvent(**doc)


async def append(service: RuntimeLogService, events: list) -> None:
    async with service.batch():
        await service.append_events(events, event_pieces(events))


def table_rows(path: str, sql: str) -> list:
    conn = sqlite3.connect(path)
    try:
        return conn.execute(sql).fetchall()
    finally:
        conn.close()


def test_a_file_of_the_previous_schema_opens_and_gains_the_table(tmp_path, start_in_process):
    """The fixture was written by the listener before LLM calls were stored (schema version 4):
    a span run of a chat call and one of our runs with a usage event. Opened, the file gains the
    table (no rebuild: those runs keep no call), and new events store theirs."""
    db = tmp_path / "old.sqlite3"
    with gzip.open(DATA / "listener-v4.sqlite3.gz", "rb") as src, open(db, "wb") as dst:
        shutil.copyfileobj(src, dst)
    assert table_rows(str(db), "PRAGMA user_version") == [(4,)]
    assert "llm_calls" not in {r[0] for r in table_rows(str(db), "SELECT name FROM sqlite_master")}
    listener = start_in_process(db=db)
    client = listener.client()
    runs = {r["run_id"]: r for r in client.get(f"{listener.api}/runs").json()["runs"]}
    assert len(runs) == 3 and "old-agent" in runs
    assert all(r["llm"] is None and r["totals"]["llm_calls"] == 0 for r in runs.values())
    assert table_rows(str(db), "PRAGMA user_version") == [(_schema.SCHEMA_VERSION,)]
    assert table_rows(str(db), "SELECT count(*) FROM llm_calls") == [(0,)]
    # The old run goes on, and its next call is stored.
    more = event(5, "old-agent", event_type="agent_task.llm_call",
                 payload={"model": "gpt-4o-mini", "usage": {"prompt_tokens": 7, "completion_tokens": 1}})
    assert client.post(f"{listener.api}/ingest", json=body([more])).json()["accepted"] == 1
    answer = client.get(f"{listener.api}/runs/old-agent").json()
    assert answer["llm"]["input_tokens"] == 7 and answer["totals"]["llm_calls"] == 1
    assert answer["event_count"] == 3


def test_retention_removes_a_run_call_with_the_run(tmp_path):
    path = str(tmp_path / "kept.db")
    service = RuntimeLogService(Settings({"logs.path": path, "logs.max_events": 4}))
    try:
        asyncio.run(append(service, [usage_event(0, "old"), usage_event(1, "old")]))
        assert set(service.llm_calls(["old"])) == {"old"}
        asyncio.run(append(service, [usage_event(i, f"new-{i}") for i in range(2, 6)]))
        asyncio.run(service.flush())
        assert service.query_runs(run_id="old") == []
        assert service.llm_calls(["old"]) == {} and service.llm_totals(["old"])["old"]["llm_calls"] == 0
        assert set(service.llm_calls([f"new-{i}" for i in range(2, 6)])) == {f"new-{i}" for i in range(2, 6)}
    finally:
        service.close()
    assert table_rows(path, "SELECT count(*) FROM llm_calls") == [(4,)]
    assert table_rows(path, "SELECT count(*) FROM llm_calls WHERE run_key NOT IN (SELECT run_key FROM runs)") == [(0,)]


def test_reset_empties_the_calls(tmp_path):
    service = RuntimeLogService(Settings({"logs.path": str(tmp_path / "r.db")}))
    try:
        asyncio.run(append(service, [usage_event(0, "a")]))
        service.reset()
        assert service.llm_calls(["a"]) == {}
        asyncio.run(append(service, [usage_event(1, "a")]))
        assert service.llm_totals(["a"])["a"]["llm_calls"] == 1
    finally:
        service.close()


def test_a_refused_event_takes_its_piece_with_it(tmp_path):
    """A piece counts only with its event: one whose event the file does not store (refused,
    or not in the append) adds nothing."""
    service = RuntimeLogService(Settings({"logs.path": str(tmp_path / "p.db")}))
    try:
        good, other = usage_event(0, "g"), usage_event(1, "g")
        stray = event_pieces([other])
        asyncio.run(append(service, [good]))

        async def with_stray():
            async with service.batch():
                await service.append_events([usage_event(2, "g2")], stray)

        asyncio.run(with_stray())
        assert service.llm_totals(["g"])["g"]["llm_calls"] == 1
        with pytest.raises(TypeError, match="Argument 'calls' has incorrect type"):
            asyncio.run(service.append_events([good], [("not", "a", "piece")]))
    finally:
        service.close()


def test_the_memory_store_folds_as_the_file_does(tmp_path):
    """Every shape of piece (calls of a run of another kind, parts of one call, deltas, an
    unpriced model), each event once, through both stores: the same records and totals."""
    llm_run = {"run_id": "one", "root_run_id": "root", "parent_run_id": "root", "run_kind": "llm"}
    events = [
        RuntimeEvent(**event(0, "root", ts=T0, event_type="agent_task.started")),
        usage_event(1, "root"),
        usage_event(2, "root", "house-model"),
        RuntimeEvent(**event(3, "one", ts=T0 + 3, run=llm_run, event_type="llm.started",
                             payload={"model": "gpt-4o", "messages": [{"role": "user", "content": "q"}]})),
        RuntimeEvent(**event(4, "one", ts=T0 + 40, run=llm_run, event_type="stream.delta", payload={"delta": "a"})),
        RuntimeEvent(**event(5, "one", ts=T0 + 90, run=llm_run, event_type="llm.completed",
                             payload={"model": "gpt-4o", "usage": {"input_tokens": 5, "output_tokens": 2},
                                      "choices": [{"message": {"role": "assistant", "content": "a"}}]})),
    ]
    answers = []
    for settings in (Settings({}), Settings({"logs.path": str(tmp_path / "m.db")})):
        service = RuntimeLogService(settings)
        try:
            for split in (events[:2], events[2:4], events[4:]):
                asyncio.run(append(service, split))
            answers.append((service.llm_calls(["root", "one"]), service.llm_totals(["root", "one"]),
                            service.llm_model_runs("gpt-4o")))
        finally:
            service.close()
    assert answers[0] == answers[1]
    calls, totals, models = answers[1]
    assert calls["one"]["time_to_first_token_ms"] == 37.0 and calls["one"]["input_tokens"] == 5
    assert totals["root"]["llm_calls"] == 3 and totals["root"]["unpriced_calls"] == 1
    assert totals["one"]["llm_calls"] == 1 and models == {"one"}


def test_a_piece_is_checked_at_the_service(tmp_path):
    service = RuntimeLogService(Settings({}))
    piece = CallPiece("e", "r", None, True, False, 5)
    with pytest.raises(TypeError, match="Argument 'calls'"):
        asyncio.run(service.append_events([], piece))
    with pytest.raises(TypeError, match="Argument 'run_ids'"):
        service.llm_totals("r")
    with pytest.raises(TypeError, match="Argument 'model'"):
        service.llm_model_runs(None)


def test_a_long_call_is_kept_compressed_and_folds_on(tmp_path):
    """A call whose JSON is long (its conversation) is kept compressed; the next commit's pieces
    fold onto it as read back, and every answer is the memory store's."""
    long_run = {"run_id": "long", "root_run_id": "long", "parent_run_id": None, "run_kind": "llm"}
    question = "Wie spät ist es in Zürich? 🚀 " * 80
    events = [
        RuntimeEvent(**event(0, "long", ts=T0, run=long_run, event_type="llm.started",
                             payload={"model": "gpt-4o", "messages": [{"role": "system", "content": "sé bref"},
                                                                      {"role": "user", "content": question}]})),
        usage_event(1, "short"),
        RuntimeEvent(**event(2, "long", ts=T0 + 90, run=long_run, event_type="llm.completed",
                             payload={"model": "gpt-4o", "usage": {"input_tokens": 500, "output_tokens": 20},
                                      "choices": [{"message": {"role": "assistant", "content": "Mittag."}}]})),
        usage_event(3, "short"),
    ]
    answers = []
    db = tmp_path / "m.db"
    for settings in (Settings({}), Settings({"logs.path": str(db)})):
        service = RuntimeLogService(settings)
        try:
            for split in (events[:2], events[2:]):
                asyncio.run(append(service, split))
            answers.append((service.llm_calls(["long", "short"]), service.llm_call_texts(["long", "short"]),
                            service.llm_totals(["long", "short"])))
        finally:
            service.close()
    assert answers[0] == answers[1]
    calls, texts, _ = answers[1]
    assert question in texts["long"] and calls["long"]["output_tokens"] == 20
    assert calls["long"]["output_messages"] and calls["long"]["input_messages"]
    kinds = dict(table_rows(str(db), "SELECT r.run_id, typeof(l.record) FROM llm_calls l JOIN runs r USING (run_key)"))
    assert kinds == {"long": "blob", "short": "text"}
    (size,) = table_rows(str(db), "SELECT length(l.record) FROM llm_calls l JOIN runs r USING (run_key)"
                                  " WHERE r.run_id = 'long'")[0]
    assert size < len(texts["long"].encode()) // 4


def _conversation(size: int) -> str:
    """A call's JSON of about ``size`` characters whose long texts come back kilobytes later (the
    system prompt, the tool definitions), as a conversation's do."""
    import json
    import random

    rng = random.Random(size)
    words = ["tool_call", "assistant", "Zürich", "🚀", "fox", "42", "temperature", "schema", "route"]

    def text(n: int) -> str:
        return " ".join(rng.choice(words) + str(rng.randrange(1000)) for _ in range(n))

    system, messages = text(max(8, size // 60)), []
    while len(json.dumps(messages, ensure_ascii=False)) < size:
        messages += [{"role": "system", "content": system}, {"role": "user", "content": text(max(8, size // 40))}]
    return json.dumps({"messages": messages}, ensure_ascii=False)[:size]


@pytest.mark.parametrize("size", [600, 4_000, 7_500, 8_300, 60_000])
def test_a_packed_record_reads_back_whole_and_as_small_as_a_full_window(size):
    """Records of up to 8 KiB are packed with a window of their size and still compress as well
    as zlib's default (their repeats lie kilobytes apart); longer ones take the default. Every one
    reads back whole."""
    import zlib

    from orvane_devtools.logs._llm import pack_record, unpack_record

    record = _conversation(size)
    packed = pack_record(record)
    assert type(packed) is bytes and unpack_record(packed) == record
    default = zlib.compress(record.encode(), 6)
    assert len(packed) <= len(default) * 1.02 + 8
