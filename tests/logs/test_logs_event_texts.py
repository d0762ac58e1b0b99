"""Events as JSON text (``query_event_texts``) and session summaries kept between reads.

The texts are made from the JSON the file keeps, without decoding the events: each must be,
byte for byte, what decoding the event and dumping it gives (``query_events`` then
``model_dump_json``), over a real file holding runs whose context is kept apart, runs whose
events carry different contexts, events without a run, values that stress the JSON writer, and
nested values that look like a run context. Session summaries are kept until the file changes:
after each write they must equal a fresh read of the file by SQL of its own connection.
"""

from __future__ import annotations

import asyncio
import json
import random
import sqlite3

import pytest
from logs_helpers import T0, Stream, append_all

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.listener.calls import event_pieces
from orvane_devtools.logs import RuntimeLogService, _schema, _sqlite
from orvane_devtools.logs._schema import EVENT_BODY_SQL, EVENT_LENS_SQL, EVENT_TEXT_SQL
from orvane_devtools.logs._sessions import sql_session_summaries


def _context(run_id: str, run_kind: str = "agent_task", **fields) -> RuntimeRunContext:
    return RuntimeRunContext(run_id=run_id, run_kind=run_kind, **fields)


def edge_events() -> list[RuntimeEvent]:
    """Events whose JSON is hard to get right from stored pieces."""
    out = []
    # One run, one context throughout: kept apart once.
    for i in range(6):
        out.append(RuntimeEvent(event_id=f"same-{i}", event_type="stream.delta", timestamp=T0 + i,
                                run=_context("same", agent_name="Planner", session_id="s-1"),
                                payload={"i": i}, meta={"app_id": "demo"}))
    # One run whose events carry three contexts in turn (agent name, meta, session change).
    contexts = [_context("shifting", agent_name="A"), _context("shifting", agent_name="B", meta={"k": [1, 2]}),
                _context("shifting", agent_name="A", session_id="s-2")]
    for i in range(9):
        out.append(RuntimeEvent(event_id=f"shift-{i}", event_type="stream.delta", timestamp=T0 + 100 + i,
                                run=contexts[i % 3], message=f"step {i}"))
    # Values that stress the writer: text escapes, non-ASCII, floats, integers past 64 bits.
    out.append(RuntimeEvent(
        event_id="odd-values", event_type="note", timestamp=T0 + 200, run=_context("same"),
        message='quote " backslash \\ tab \t nul \x00 line \u2028 emoji 🚀 Straße',
        payload={"f": [0.1, -0.0, 1e300, 2.5e-8, 1.0], "big": 2**70, "neg": -(2**65), "nested": {"": None}},
        error={"kind": "ValueError", "args": ["ΣΊΣΥΦΟΣ"]}, level=20, source=None,
    ))
    # Nested values that hold what a run context looks like inside an event's JSON.
    out.append(RuntimeEvent(event_id="looks-like-run", event_type="note", timestamp=T0 + 201,
                            run=_context("same"), meta={"x": 1, "run": {"run_id": "fake", "meta": {}}}))
    out.append(RuntimeEvent(event_id="payload-run", event_type="note", timestamp=T0 + 202,
                            run=_context("same"), payload={"a": 1, "run": {"run_id": "p"}}))
    # No run at all.
    out.append(RuntimeEvent(event_id="no-run", event_type="note", timestamp=T0 + 203, run=None,
                            payload=[{"run": {"run_id": "x"}}]))
    # A child run, for the descendants' events.
    for i in range(3):
        out.append(RuntimeEvent(event_id=f"kid-{i}", event_type="stream.delta", timestamp=T0 + 3 + i,
                                run=_context("kid", parent_run_id="same", root_run_id="same")))
    return out


QUERIES = [
    {},
    {"limit": 5},
    {"limit": 0},
    {"limit": -3},
    {"run_id": "same"},
    {"run_id": "shifting", "limit": 4},
    {"run_ids": ["same", "kid"], "limit": 7},
    {"run_ids": ["kid", "same", "no-such-run"]},
    {"run_id": "no-such-run"},
    {"event_types": ["stream.delta"]},
    {"event_types": ["agent_task.*"], "limit": 10},
    {"source": "agent.planner"},
    {"level": "info", "limit": 20},
    {"level": 20},
    {"app_id": "demo"},
    {"app_id": 7},
    {"group_id": "team-a"},
    {"app_id_pattern": "^demo"},
    {"app_id_pattern": "("},
    {"search": "plan"},
    {"search": "straße"},
    {"search": "a b", "limit": 3},
    {"since": T0 + 100, "until": T0 + 205},
    {"since": T0 + 50, "limit": 2},
    {"run_id": "shifting", "search": "step", "until": T0 + 104},
]


def _column_events() -> list[RuntimeEvent]:
    """Events whose first members (id, type, time, source, level) a row's columns give back, and
    events whose JSON begins otherwise (texts the dump escapes, a level that is not a text): by id,
    whether the file keeps their JSON cut."""
    run = _context("cols", agent_name="P")
    cases = {
        "plain": (dict(source="agent.planner", level="info"), True),
        "no-source-no-level": (dict(source=None, level=None), True),
        "empty-texts": (dict(source="", level=""), True),
        "non-ascii-ünï-🚀": (dict(source="ünïcode", level="warn"), True),
        'quote"in-id': (dict(), False),
        "backslash\\in-id": (dict(), False),
        "line\nbreak": (dict(), False),
        "quoted-source": (dict(source='say "hi"'), False),
        "number-level": (dict(level=30), False),
        "negative-time": (dict(timestamp=-5), True),
        "largest-time": (dict(timestamp=2**63 - 1), True),
        "type/with/slashes": (dict(event_type="a/b\\c"), False),
        "Capital-Id": (dict(source="Agent.Planner"), True),
    }
    out = []
    for i, (event_id, (fields, cut)) in enumerate(cases.items()):
        values = {"event_type": "stream.delta", "timestamp": T0 + i, "payload": {"i": i}, **fields}
        out.append((RuntimeEvent(event_id=event_id, run=run if i % 2 else None, **values), cut))
    return out


def _feed(service: RuntimeLogService) -> None:
    stream = Stream(seed=11, n_events=500, pool=12)
    append_all(service, edge_events() + stream.events, random.Random(3))


@pytest.fixture
def services(open_service):
    """The same events in a file and in memory."""
    file_service = open_service()
    memory = RuntimeLogService(Settings({"logs.max_events": 100_000}))
    for service in (file_service, memory):
        _feed(service)
    return file_service, memory


class TestEventTexts:
    @pytest.mark.timeout(120)
    def test_each_text_is_the_dump_of_the_decoded_event(self, services):
        for service in services:
            for query in QUERIES:
                texts = service.query_event_texts(**query)
                dumped = [event.model_dump_json() for event in service.query_events(**query)]
                assert texts == dumped, (service.persistent, query)

    @pytest.mark.timeout(120)
    def test_the_file_and_the_memory_give_the_same_texts(self, services):
        file_service, memory = services
        for query in QUERIES:
            if "search" in query:
                continue  # the file's search reads the run's context apart: compared elsewhere
            assert file_service.query_event_texts(**query) == memory.query_event_texts(**query), query

    @pytest.mark.timeout(60)
    def test_runs_with_contexts_kept_apart_and_changing(self, services):
        file_service, _ = services
        texts = file_service.query_event_texts(run_id="shifting")
        names = [RuntimeEvent.model_validate_json(t).run.agent_name for t in texts]
        assert names == ["A", "B", "A"] * 3
        conn = sqlite3.connect(f"file:{file_service.path}?mode=ro", uri=True)
        try:
            kept_apart = conn.execute(
                "SELECT count(*), count(DISTINCT ctx_id) FROM events e JOIN runs r ON r.run_key = e.run_key"
                " WHERE r.run_id = 'shifting' AND e.body NOT LIKE '%\"run\":%'").fetchone()
        finally:
            conn.close()
        assert kept_apart == (9, 3)  # every body without its context, three contexts

    @pytest.mark.timeout(60)
    def test_nested_values_that_look_like_a_context(self, services):
        file_service, _ = services
        for event_id in ("looks-like-run", "payload-run", "no-run"):
            [text] = [t for t in file_service.query_event_texts(search=event_id) if event_id in t]
            assert text == file_service.get_event(event_id).model_dump_json()
            keys = json.loads(text, object_pairs_hook=lambda pairs: [k for k, _ in pairs])
            assert keys[-1] == "run" and keys.count("run") == 1  # one run member, the event's own

    @pytest.mark.timeout(60)
    def test_a_body_that_holds_a_context_of_its_own(self, services):
        # The writer keeps an event's whole JSON, context and all, when the context was written
        # otherwise inside the event than alone: that context is the event's, not the kept one.
        file_service, _ = services
        conn = sqlite3.connect(file_service.path)
        try:
            body, context = conn.execute(
                "SELECT e.body, c.body FROM events e JOIN contexts c ON c.ctx_id = e.ctx_id"
                " WHERE e.event_id = 'same-2'").fetchone()
            own = context.replace('"agent_name":"Planner"', '"agent_name":"Inside"')
            assert own != context
            with conn:
                conn.execute("UPDATE events SET body = ? WHERE event_id = 'same-2'",
                             (f'{body[:-1]},"run":{own}}}',))
        finally:
            conn.close()
        texts = file_service.query_event_texts(run_id="same")
        assert texts == [event.model_dump_json() for event in file_service.query_events(run_id="same")]
        [inside] = [t for t in texts if '"same-2"' in t]
        assert RuntimeEvent.model_validate_json(inside).run.agent_name == "Inside"

    def test_arguments_are_checked_as_for_events(self, services):
        file_service, _ = services
        with pytest.raises(TypeError, match="Argument 'limit' has incorrect type"):
            file_service.query_event_texts(limit="5")
        with pytest.raises(TypeError, match="Argument 'run_ids' has incorrect type"):
            file_service.query_event_texts(run_ids=("same",))


def _fresh_summaries(path: str, **filters) -> list[dict]:
    conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        return sql_session_summaries(conn, **filters)
    finally:
        conn.close()


def _session_event(i: int, run_id: str, session: str | None, *, parent: str | None = None,
                   root: str | None = None, event_type: str = "stream.delta", agent: str = "Planner",
                   app: str = "demo") -> RuntimeEvent:
    return RuntimeEvent(event_id=f"{run_id}-{i}", event_type=event_type, timestamp=T0 + i,
                        meta={"app_id": app}, message=f"step {i}",
                        run=_context(run_id, session_id=session, parent_run_id=parent,
                                     root_run_id=root or parent or run_id, agent_name=agent))


class TestKeptAnswers:
    PAGES = [
        {"session_id": None, "app_id": None, "since": None, "until": None, "search": None, "limit": 100, "offset": 0},
        {"session_id": None, "app_id": None, "since": None, "until": None, "search": None, "limit": 2, "offset": 1},
        {"session_id": None, "app_id": "other", "since": None, "until": None, "search": None, "limit": 10,
         "offset": 0},
        {"session_id": None, "app_id": None, "since": T0 + 5, "until": None, "search": "plan", "limit": 10,
         "offset": 0},
        {"session_id": "s-b", "app_id": None, "since": None, "until": None, "search": None, "limit": 1, "offset": 0},
    ]

    @pytest.mark.timeout(120)
    def test_a_write_shows_in_the_next_read(self, open_service):
        service = open_service()
        events = [_session_event(i, f"r{i % 4}", f"s-{'abc'[i % 3]}") for i in range(24)]
        append_all(service, events)

        def check() -> list:
            pages = []
            for page in self.PAGES:
                kept = service.session_summaries(**page)
                assert kept == _fresh_summaries(service.path, **page), page
                assert service.session_summaries(**page) == kept  # read again: kept, the same
                pages.append(kept)
            return pages

        before = check()
        writes = [
            # A new run in a session, another app, another agent.
            [_session_event(40, "r9", "s-a", agent="Searcher", app="other")],
            # A run ends.
            [_session_event(41, "r1", "s-b", event_type="agent_task.completed")],
            # A child without the session id under a session's run: its calls count toward it.
            [RuntimeEvent(event_id="kid-call", event_type="llm.completed", timestamp=T0 + 42,
                          payload={"model": "gpt-4o", "usage": {"input_tokens": 3, "output_tokens": 4}},
                          run=_context("kid-llm", parent_run_id="r2", root_run_id="r2", run_kind="llm"))],
        ]
        for batch in writes:
            asyncio.run(service.append_events(batch, event_pieces(batch)))
            after = check()
            assert after != before
            before = after

    @pytest.mark.timeout(120)
    def test_tree_totals_follow_each_write(self, open_service):
        # The totals of runs with their descendants, kept until the file changes, against the
        # same events and calls in memory after each write.
        service = open_service()
        memory = RuntimeLogService(Settings({"logs.max_events": 100_000}))
        ids = ["top", "mid", "leaf", "nobody"]

        def call(i: int, run_id: str, parent: str | None, tokens: int) -> RuntimeEvent:
            return RuntimeEvent(event_id=f"call-{i}", event_type="llm.completed", timestamp=T0 + i,
                                payload={"model": "gpt-4o", "usage": {"input_tokens": tokens, "output_tokens": 1}},
                                run=_context(run_id, parent_run_id=parent, root_run_id="top", run_kind="llm"))

        writes = [[call(0, "top", None, 5)], [call(1, "mid", "top", 7)], [call(2, "leaf", "mid", 11)],
                  [call(3, "leaf2", "mid", 13), call(4, "top", None, 17)]]
        seen = []
        for batch in writes:
            for target in (service, memory):
                asyncio.run(target.append_events(batch, event_pieces(batch)))
            totals = service.llm_totals(ids)
            assert totals == memory.llm_totals(ids)
            assert service.llm_totals(ids) == totals  # read again: kept, the same
            seen.append(totals["top"]["input_tokens"])
        assert seen == [5, 12, 23, 48]  # a run folds its calls into one: the top run now counts 17
        totals["top"]["llm_calls"] = -1
        assert service.llm_totals(ids) == memory.llm_totals(ids)

    @pytest.mark.timeout(60)
    def test_answers_are_copies(self, open_service):
        service = open_service()
        append_all(service, [_session_event(i, f"r{i % 2}", "s-a") for i in range(6)])
        page = self.PAGES[0]
        first = service.session_summaries(**page)
        expected = _fresh_summaries(service.path, **page)
        first[0]["statuses"]["running"] = 99
        first[0]["agents"].append("intruder")
        first[0]["totals"]["llm_calls"] = 7
        first[0]["runs"] = -1
        assert service.session_summaries(**page) == expected


class TestBodiesWithoutTheirColumns:
    """The file keeps an event's JSON without the first members its row's columns give again, and
    gives the whole JSON back; a file whose bodies are whole (schema version 7) reads the same."""

    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("body", ["native", "python"])
    def test_cut_where_the_columns_give_it_back(self, open_service, monkeypatch, body):
        if body == "python":
            own = _sqlite.normalize
            monkeypatch.setattr(_sqlite, "normalize", lambda value: own(value))
        service = open_service()
        cases = _column_events()
        append_all(service, [event for event, _ in cases])
        conn = sqlite3.connect(service.path)
        try:
            stored = dict(conn.execute("SELECT event_id, body FROM events"))
        finally:
            conn.close()
        for event, cut in cases:
            assert stored[event.event_id].startswith(",") is cut, event.event_id
            assert stored[event.event_id].startswith("{") is not cut, event.event_id
            assert service.get_event(event.event_id).model_dump_json() == event.model_dump_json()
        # The search text leaves out the first four values where they are the columns as they stand
        # (normalised values: a capital letter, a level that is not a text keep it whole).
        conn = sqlite3.connect(service.path)
        try:
            lens = dict(conn.execute("SELECT event_id, lens FROM events"))
        finally:
            conn.close()
        assert {i for i, v in lens.items() if not v.startswith("+")} == {"Capital-Id", "number-level"}
        memory = RuntimeLogService(Settings({}))
        append_all(memory, [event for event, _ in cases])
        for needle in ("plain", "stream.delta", "delta info", "planner info", "agent.planner info {",
                       "ünïcode warn", "-5", "an", "id", " ", "level {", "cols", "warn", "planner", "ünïcode"):
            assert service.query_event_texts(search=needle) == memory.query_event_texts(search=needle), needle
            assert ([r.run_id for r in service.query_runs(search=needle)]
                    == [r.run_id for r in memory.query_runs(search=needle)]), needle
        everything = [event.model_dump_json() for event, _ in cases]
        assert service.query_event_texts() == everything
        assert [e.model_dump_json() for e in service.query_events()] == everything
        in_run = sorted((event for event, _ in cases if event.run is not None), key=lambda e: e.timestamp)
        assert [e.model_dump_json() for e in service.query_events(run_id="cols")] == [
            e.model_dump_json() for e in in_run]

    @pytest.mark.timeout(60)
    def test_a_file_of_whole_bodies_reads_the_same_and_is_upgraded(self, open_service, db_path):
        service = open_service()
        _feed(service)
        before = [service.query_event_texts(**query) for query in QUERIES]
        service.close(10)
        # The file as schema version 7 wrote it: every body whole.
        conn = sqlite3.connect(db_path)
        whole = EVENT_BODY_SQL.format(e="")
        cut = conn.execute("SELECT count(*) FROM events WHERE body LIKE ',%'").fetchone()[0]
        assert cut > 400  # most of what _feed writes is kept cut
        text, lens = EVENT_TEXT_SQL.format(e=""), EVENT_LENS_SQL.format(e="")
        with conn:
            conn.execute(f"UPDATE events SET body = {whole}, t = {text}, lens = {lens}")
            # Its trigram index read the texts from `events`.
            conn.execute("DROP TABLE event_text")
            conn.execute("DROP VIEW event_texts")
            conn.execute("CREATE VIRTUAL TABLE event_text USING fts5(t, content='events', content_rowid='seq',"
                         f" {_schema._TRIGRAM})")
            conn.execute("INSERT INTO event_text(event_text) VALUES ('rebuild')")
            conn.execute("UPDATE meta SET value = 7 WHERE key = 'schema_version'")
            conn.execute("PRAGMA user_version = 7")
        assert conn.execute("SELECT count(*) FROM events WHERE body NOT LIKE '{%' OR lens LIKE '+%'").fetchone()[0] == 0
        conn.close()
        again = open_service()
        assert [again.query_event_texts(**query) for query in QUERIES] == before
        # New rows are kept cut beside the whole ones.
        later = [event for event, _ in _column_events()]
        append_all(again, later)
        assert [again.get_event(e.event_id).model_dump_json() for e in later] == [e.model_dump_json() for e in later]
        assert [again.query_event_texts(**query) for query in QUERIES[:3]] != before[:3]
        asyncio.run(again.flush())
        # Against a file of this version fed the same: its texts cut, the same answers.
        fresh = open_service(str(db_path) + ".fresh")
        _feed(fresh)
        append_all(fresh, later)
        for needle in ("plain", "delta info", "step", "straße", "an", "cols", "info {"):
            assert again.query_event_texts(search=needle) == fresh.query_event_texts(search=needle), needle
            assert ([r.run_id for r in again.query_runs(search=needle)]
                    == [r.run_id for r in fresh.query_runs(search=needle)]), needle
        conn = sqlite3.connect(db_path)
        try:
            assert conn.execute("PRAGMA user_version").fetchone()[0] == 8
            assert conn.execute("SELECT body FROM events WHERE event_id = 'plain'").fetchone()[0].startswith(",")
            # Its index reads `t` as it stands: the texts stay whole, and the index holds them.
            assert conn.execute("SELECT count(*) FROM events WHERE lens LIKE '+%'").fetchone()[0] == 0
            conn.execute("INSERT INTO event_text(event_text) VALUES ('integrity-check')")
            # The page size is the one the file was made with.
            assert conn.execute("PRAGMA page_size").fetchone()[0] == _schema.PAGE_SIZE == 8192
        finally:
            conn.close()
