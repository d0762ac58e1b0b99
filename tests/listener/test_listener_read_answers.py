"""The answers of the heavy read routes, byte for byte, against what the desk's own reads give.

A run's events are written from the JSON the file keeps, a run tree's JSON in one pass, a page
of sessions from summaries kept until the file changes: each answer must be exactly the text
that the desk's reads give when their records and events are written one by one
(``render_json`` of the events, of the resolved records of ``get_run_tree``, of fresh summaries
read by SQL). The set, in a real file through ``/ingest``: a long run whose context changes, an
event whose meta looks like a run context, a tree with LLM calls, an open run judged stale (the
desk's clock is fixed), a descendant filed under another root and a detached run, sessions with
open and ended runs. Pages are walked by their cursors.
"""

from __future__ import annotations

import json
import sqlite3

import pytest
from listener_helpers import T0, InProcessListener, body, event

from orvane_devtools.listener import queries, sessions
from orvane_devtools.listener.responses import RunAnswer, _totals_text, render_json
from orvane_devtools.logs._sessions import sql_session_summaries
from orvane_devtools.observation import TraceDesk

# The desk's clock: an hour after the set, so its open runs are judged stale.
NOW = T0 + 3_600_000
API = "/observation"


class _Clock:
    """The desk's clock, at ``ms`` (``NOW`` unless set): time() reads as those milliseconds."""

    def __init__(self, ms: int = NOW) -> None:
        self.ms = ms

    def time(self) -> float:
        return (self.ms + 0.5) / 1000

    def monotonic(self) -> float:
        return self.ms / 1000


def _llm(i: int, run_id: str, parent: str, root: str, event_type: str, **payload) -> dict:
    ev = event(i, run_id, parent=parent, root=root, event_type=event_type, payload={"model": "gpt-4o", **payload})
    ev["run"]["run_kind"] = "llm"
    return ev


def the_set() -> list[list[dict]]:
    long_run = []
    for i in range(1234):
        ev = event(i, "long", ts=T0 + i)
        ev["run"]["agent_name"] = "Planner" if i < 600 else "Replanner"  # its context changes
        ev["run"]["session_id"] = "sess-long"
        long_run.append(ev)
    long_run[700]["meta"] = {"app_id": "app-a", "run": {"run_id": "not-this-one", "meta": {}}}
    long_run[701]["payload"] = {"text": 'quote " and \u2028 and 🚀', "f": [0.1, -0.0, 1e300], "big": 2**70}
    long_run.append(event(2000, "long", ts=T0 + 1233, event_type="agent_task.completed"))
    tree = [
        event(0, "t0", ts=T0 + 10, event_type="agent_task.started"),
        event(1, "t1", parent="t0", ts=T0 + 11, event_type="agent_task.started"),
        event(2, "t2", parent="t0", ts=T0 + 12, event_type="agent_task.started"),  # left open: stale
        event(3, "t11", parent="t1", root="t0", ts=T0 + 13, event_type="agent_task.started"),
        _llm(4, "t11-llm", "t11", "t0", "llm.started", messages=[{"role": "user", "content": "hi"}]),
        _llm(5, "t11-llm", "t11", "t0", "llm.completed", usage={"input_tokens": 30, "output_tokens": 4}),
        _llm(6, "t2-llm", "t2", "t0", "llm.completed", usage={"input_tokens": 7, "output_tokens": 1}),
        event(7, "t11", parent="t1", root="t0", ts=T0 + 17, event_type="agent_task.completed"),
        event(8, "elsewhere", parent="t1", root="other-root", ts=T0 + 18, event_type="agent_task.started"),
        event(9, "detached", parent="not-arrived", root="t0", ts=T0 + 19, event_type="agent_task.started"),
        event(10, "t1", parent="t0", ts=T0 + 20, event_type="agent_task.completed"),
        event(11, "t0", ts=T0 + 21, event_type="agent_task.completed"),
    ]
    for ev in tree:
        ev["run"]["session_id"] = "sess-tree"
    sessions_part = []
    for i in range(30):
        ev = event(i, f"s-run-{i}", ts=T0 + 100 + i,
                   event_type="agent_task.completed" if i % 3 else "agent_task.started")
        ev["run"]["session_id"] = f"sess-{i % 7}"
        ev["run"]["agent_name"] = ["Planner", "Searcher", None][i % 3]
        ev["meta"]["app_id"] = "app-b" if i % 2 else "app-a"
        sessions_part.append(ev)
    return [long_run, tree, sessions_part]


@pytest.fixture(scope="module")
def loaded(tmp_path_factory):
    listener = InProcessListener(tmp_path_factory.mktemp("answers") / "db.sqlite3")
    try:
        with listener.client() as c:
            for part in the_set():
                r = c.post(f"{API}/ingest", json=body(part))
                assert r.status_code == 200 and not r.json()["rejected"], r.text
        yield listener
    finally:
        listener.kill()


@pytest.fixture
def desk(loaded, monkeypatch):
    monkeypatch.setattr(TraceDesk, "time", _Clock())
    return loaded.app.state.listener.core.desk


def _get(listener: InProcessListener, path: str, **params) -> bytes:
    with listener.client() as c:
        r = c.get(f"{API}{path}", params=params)
    assert r.status_code == 200, r.text
    return r.content


def _post(listener: InProcessListener, events: list[dict]) -> None:
    """Ingests ``events`` in one request; every one of them is accepted."""
    with listener.client() as c:
        assert c.post(f"{API}/ingest", json=body(events)).json()["accepted"] == len(events)


def _pages(listener: InProcessListener, path: str, **params):
    """Every page of a route, by its cursors: (offset, the answer's bytes)."""
    while True:
        raw = _get(listener, path, **params)
        yield raw
        cursor = json.loads(raw)["next_cursor"]
        if cursor is None:
            return
        params["cursor"] = cursor


def _run_json(desk, record, totals=None) -> str:
    """A run as the run routes answer it, written field by field."""
    service = desk.log_service
    llm = service.llm_call_texts([record.run_id]).get(record.run_id)
    if totals is None:
        totals = service.llm_totals([record.run_id])[record.run_id]
    totals_text = json.dumps(totals, ensure_ascii=False, separators=(",", ":"))
    return f'{record.model_dump_json()[:-1]},"llm":{llm or "null"},"totals":{totals_text}}}'


class TestRunEvents:
    @pytest.mark.timeout(120)
    @pytest.mark.parametrize("run_id, descendants, limit", [
        ("long", False, None), ("long", False, 333), ("long", False, 1), ("t0", True, 4), ("t0", False, None),
        ("t1", True, 5000), ("detached", False, 2),
    ])
    def test_every_page_as_the_events_written_one_by_one(self, loaded, desk, run_id, descendants, limit):
        params = {"include_descendants": "true"} if descendants else {}
        if limit is not None:
            params["limit"] = limit
        size = limit or 500
        record = desk.get_run(run_id)
        total = queries.event_total(desk, record, descendants)
        offset = 0
        pages = 0
        for raw in _pages(loaded, f"/runs/{run_id}/events", **params):
            events = desk.query_events(run_id=run_id, include_descendants=descendants, limit=offset + size + 1)
            rows, cursor = queries.events_page(events, size, offset)
            assert raw.decode() == render_json({"events": rows, "next_cursor": cursor, "total": total})
            offset += size
            pages += 1
        assert pages == max(1, -(-total // size))

    @pytest.mark.timeout(60)
    def test_the_context_each_event_carried(self, loaded, desk):
        doc = json.loads(_get(loaded, "/runs/long/events", limit=5000))
        names = {ev["event_id"]: ev["run"]["agent_name"] for ev in doc["events"]}
        assert names["long-e599"] == "Planner" and names["long-e600"] == "Replanner"
        odd = next(ev for ev in doc["events"] if ev["event_id"] == "long-e700")
        assert odd["run"]["run_id"] == "long" and odd["meta"]["run"] == {"run_id": "not-this-one", "meta": {}}


def _reference_tree(desk, run_id):
    node = desk.get_run_tree(run_id)
    service = desk.log_service

    def ids(n):
        yield n.run.run_id
        for kid in n.children:
            yield from ids(kid)

    all_ids = list(ids(node))
    totals = service.llm_totals(all_ids)

    def nested(n):
        return {"run": RunAnswer(n.run, service.llm_call_texts([n.run.run_id]).get(n.run.run_id), totals[n.run.run_id]),
                "children": [nested(k) for k in n.children]}

    def flat(n, depth):
        yield {"run": nested(n)["run"], "depth": depth, "parent_run_id": n.run.parent_run_id}
        for kid in n.children:
            yield from flat(kid, depth + 1)

    return node, nested(node), list(flat(node, 0)), set(all_ids)


class TestRunTree:
    @pytest.mark.timeout(60)
    @pytest.mark.parametrize("run_id", ["t0", "t1", "t11", "t2", "detached", "long"])
    def test_nested_and_flat_as_the_desks_tree_written_run_by_run(self, loaded, desk, run_id):
        node, nested, flat, reachable = _reference_tree(desk, run_id)
        assert _get(loaded, f"/runs/{run_id}/tree").decode() == render_json(nested)
        root_id = node.run.root_run_id or node.run.run_id
        detached = []
        if root_id == run_id:
            detached = [r for r in desk.query_runs(root_run_id=root_id) if r.run_id not in reachable]
        expected = {"root_run_id": root_id, "nodes": flat, "detached": queries.run_answers(desk, detached)}
        assert _get(loaded, f"/runs/{run_id}/tree", format="flat").decode() == render_json(expected)

    @pytest.mark.timeout(60)
    def test_the_tree_holds_what_the_set_has(self, loaded, desk):
        tree = json.loads(_get(loaded, "/runs/t0/tree"))
        kids = {k["run"]["run_id"]: k for k in tree["children"]}
        assert set(kids) == {"t1", "t2"}
        assert kids["t2"]["run"]["status"] == "failed"  # open an hour: judged stale at the fixed clock
        assert kids["t2"]["run"]["meta"]["devtools_stale_detected_at"] == NOW
        assert tree["run"]["totals"]["llm_calls"] == 2 and tree["run"]["totals"]["input_tokens"] == 37
        assert {k["run"]["run_id"] for k in kids["t1"]["children"]} == {"t11", "elsewhere"}
        flat = json.loads(_get(loaded, "/runs/t0/tree", format="flat"))
        assert [r["run_id"] for r in flat["detached"]] == ["detached"]


class TestSessionsAndRuns:
    @pytest.mark.timeout(120)
    @pytest.mark.parametrize("params", [{}, {"limit": 3}, {"app_id": "app-b", "limit": 2}, {"search": "search"},
                                        {"since": T0 + 110}, {"until": T0 + 50}])
    def test_session_pages_as_fresh_summaries(self, loaded, desk, params):
        path = desk.log_service.path
        limit = params.get("limit", 100)
        filters = {k: params.get(k) for k in ("app_id", "since", "until", "search")}
        offset = 0
        for _ in range(2):  # each page twice: the second read is of the kept summaries
            offset = 0
            for raw in _pages(loaded, "/sessions", **params):
                conn = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
                try:
                    rows = sql_session_summaries(conn, session_id=None, **filters, limit=limit + 1, offset=offset)
                finally:
                    conn.close()
                more = len(rows) > limit
                rows = rows[:limit]
                for row in rows:
                    sessions._resolve(desk, row)
                cursor = json.loads(raw)["next_cursor"]
                assert (cursor is not None) == more
                assert raw.decode() == render_json({"sessions": rows, "next_cursor": cursor})
                offset += limit

    @pytest.mark.timeout(60)
    def test_runs_pages_written_field_by_field(self, loaded, desk):
        offset = 0
        for raw in _pages(loaded, "/runs", limit=7):
            doc = json.loads(raw)
            records = desk.query_runs(limit=offset + 8)[offset:offset + 7]
            runs = ",".join(_run_json(desk, r) for r in records)
            cursor = doc["next_cursor"]
            assert raw.decode() == f'{{"runs":[{runs}],"next_cursor":{json.dumps(cursor)}}}'
            offset += 7
        assert offset > 7


def test_totals_of_equal_values_but_other_types_are_written_apart():
    base = {"llm_calls": 1, "input_tokens": 0, "output_tokens": 0, "total_tokens": 0, "cost_usd": 1.0,
            "unpriced_calls": 0}
    variants = [base, {**base, "cost_usd": 1}, {**base, "llm_calls": True}, {**base, "llm_calls": 1.0},
                {**base, "cost_usd": None}, {**base, "extra": [1]}]
    for _ in range(2):  # the second round reads what the first kept
        for totals in variants:
            assert _totals_text(totals) == json.dumps(totals, ensure_ascii=False, separators=(",", ":"))


@pytest.mark.timeout(60)
def test_a_stored_record_written_without_a_field_is_answered_as_decoded(tmp_path, monkeypatch):
    # A record's JSON from a writer that did not know a field yet: decoding gives the field its
    # default, and the answer is what the desk's records give, not the stored text.
    monkeypatch.setattr(TraceDesk, "time", _Clock())
    listener = InProcessListener(tmp_path / "db.sqlite3")
    try:
        events = [event(0, "a", event_type="agent_task.started"), event(1, "b", parent="a"),
                  event(2, "b", parent="a", event_type="agent_task.completed"),
                  event(3, "a", event_type="agent_task.completed")]
        _post(listener, events)
        desk = listener.app.state.listener.core.desk
        _get(listener, "/runs/a/tree")
        conn = sqlite3.connect(desk.log_service.path)
        try:
            (text,) = conn.execute("SELECT record FROM runs WHERE run_id = 'b'").fetchone()
            assert ',"execution_id":null' in text
            with conn:
                conn.execute("UPDATE runs SET record = ?, gen = gen + 1 WHERE run_id = 'b'",
                             (text.replace(',"execution_id":null', ""),))
        finally:
            conn.close()
        _node, nested, flat, _ = _reference_tree(desk, "a")
        assert _get(listener, "/runs/a/tree").decode() == render_json(nested)
        answer = json.loads(_get(listener, "/runs/a/tree", format="flat"))
        assert answer["nodes"][1]["run"]["execution_id"] is None and len(answer["nodes"]) == 2
    finally:
        listener.kill()


@pytest.mark.timeout(60)
def test_a_tree_read_again_after_a_write_shows_it(tmp_path, monkeypatch):
    # What a tree's answer reads is kept until the file changes: each write shows at once.
    monkeypatch.setattr(TraceDesk, "time", _Clock())
    listener = InProcessListener(tmp_path / "db.sqlite3")
    try:
        desk = listener.app.state.listener.core.desk
        writes = [
            [event(0, "a", event_type="agent_task.started"), event(1, "b", parent="a"),
             event(4, "c", parent="a", event_type="agent_task.completed")],
            [_llm(2, "b-llm", "b", "a", "llm.completed", usage={"input_tokens": 5, "output_tokens": 1})],
            [event(3, "b", parent="a", event_type="agent_task.completed")],
            # A settled run written again: its stored JSON changes, its status does not.
            [event(5, "c", parent="a", event_type="agent_task.completed", message="done again")],
            [event(6, "d", parent="a", event_type="agent_task.completed")],
            # Every run settled: the tree's answer is kept, until the next write.
            [event(7, "a", event_type="agent_task.completed")],
            [event(8, "c", parent="a", event_type="agent_task.completed", message="third")],
        ]
        answers = []
        for batch in writes:
            _post(listener, batch)
            for _ in range(2):  # the second read is of what the first kept
                _node, nested, _flat, _ = _reference_tree(desk, "a")
                answer = _get(listener, "/runs/a/tree").decode()
                assert answer == render_json(nested)
            answers.append(json.loads(answer))
        kids = [{k["run"]["run_id"]: k["run"] for k in a["children"]} for a in answers]
        assert [sorted(k) for k in kids] == [["b", "c"]] * 4 + [["b", "c", "d"]] * 3
        assert [a["run"]["totals"]["input_tokens"] for a in answers] == [0] + [5] * 6
        assert kids[1]["b"]["totals"]["llm_calls"] == 1
        assert [k["b"]["status"] for k in kids] == ["failed", "failed"] + ["completed"] * 5
        assert [k["c"]["event_count"] for k in kids] == [1, 1, 1, 2, 2, 2, 3]
        assert kids[3]["c"]["latest_message"] == "done again" and kids[6]["c"]["latest_message"] == "third"
        assert [a["run"]["status"] for a in answers][-2:] == ["completed", "completed"]
    finally:
        listener.kill()


@pytest.mark.timeout(60)
def test_a_runs_events_read_again_after_a_write_show_it(tmp_path, monkeypatch):
    # A page of a run's events is kept until the file changes: each write shows at once, in the
    # run's page, its parent's page with descendants, and the counts.
    monkeypatch.setattr(TraceDesk, "time", _Clock())
    listener = InProcessListener(tmp_path / "db.sqlite3")
    try:
        desk = listener.app.state.listener.core.desk
        writes = [
            [event(0, "a", event_type="agent_task.started"), event(1, "b", parent="a")],
            [event(2, "a", message="more")],
            [event(3, "b", parent="a", event_type="agent_task.completed")],
            [event(4, "c", parent="b", root="a"), event(5, "a", event_type="agent_task.completed")],
        ]
        seen = []
        for batch in writes:
            _post(listener, batch)
            for run_id, descendants, limit in (("a", False, 2), ("a", True, 500), ("b", False, 500)):
                params = {"limit": limit, **({"include_descendants": "true"} if descendants else {})}
                events = desk.query_events(run_id=run_id, include_descendants=descendants, limit=limit + 1)
                rows, cursor = queries.events_page(events, limit, 0)
                total = queries.event_total(desk, desk.get_run(run_id), descendants)
                want = render_json({"events": rows, "next_cursor": cursor, "total": total})
                for _ in range(2):  # the second read is of what the first kept
                    assert _get(listener, f"/runs/{run_id}/events", **params).decode() == want
                if descendants:
                    seen.append(total)
        assert seen == [2, 3, 4, 6]
        with listener.client() as c:
            assert c.get(f"{API}/runs/nobody/events").status_code == 404
    finally:
        listener.kill()


@pytest.mark.timeout(60)
def test_a_tree_with_a_run_judged_stale_follows_the_clock(loaded, monkeypatch):
    # A tree whose answer holds a judgement is made afresh each time: the judgement's time moves.
    times = []
    for offset in (0, 5_000):
        monkeypatch.setattr(TraceDesk, "time", _Clock(NOW + offset))
        for _ in range(2):
            tree = json.loads(_get(loaded, "/runs/t0/tree"))
            stale = next(k for k in tree["children"] if k["run"]["run_id"] == "t2")
            times.append(stale["run"]["meta"]["devtools_stale_detected_at"])
    assert times == [NOW, NOW, NOW + 5_000, NOW + 5_000]


def _runs_reference(desk, limit: int, **query) -> str:
    """The first page of /runs as the desk's records give it, written field by field."""
    records = desk.query_runs(limit=limit + 1, **query)
    runs = ",".join(_run_json(desk, r) for r in records[:limit])
    cursor = json.dumps(queries.encode_cursor(limit) if len(records) > limit else None)
    return f'{{"runs":[{runs}],"next_cursor":{cursor}}}'


@pytest.mark.timeout(60)
def test_pages_of_runs_and_usage_read_again_after_a_write_or_a_tick_of_the_clock(tmp_path, monkeypatch):
    # A page is kept until the file changes, its open runs judged again each time; one whose
    # runs a judgement of the clock may change (a filter that takes runs judged failed, an
    # order by duration with an open run) never is.
    clock = _Clock(T0 + 1_000)
    monkeypatch.setattr(TraceDesk, "time", clock)
    listener = InProcessListener(tmp_path / "db.sqlite3")
    try:
        desk = listener.app.state.listener.core.desk
        writes = [
            [event(0, "a", event_type="agent_task.started"), event(1, "a", event_type="agent_task.completed")],
            # Left open: quiet long enough, it is judged failed.
            [event(2, "quiet", ts=T0 + 2, event_type="agent_task.started")],
            [event(3, "b", event_type="agent_task.completed")],
            [_llm(4, "b-llm", "b", "b", "llm.completed", usage={"input_tokens": 5, "output_tokens": 1})],
            [event(5, "a", event_type="agent_task.completed", message="again")],
        ]
        window = {"since": T0, "until": T0 + 60_000}
        usage_calls = []
        for batch in writes:
            _post(listener, batch)
            for ms in (T0 + 1_000, T0 + 7_200_000, T0 + 7_200_000, T0 + 1_000):
                clock.ms = ms
                for query in ({}, {"status": "failed"}, {"status": "completed"}):
                    for limit in (1, 100):
                        answer = _get(listener, "/runs", limit=limit, **query).decode()
                        assert answer == _runs_reference(desk, limit, **query), (batch[0]["event_id"], ms, query)
                for order in ("duration", "started"):
                    # Sorted pages against the same page made afresh (the quiet run, once judged
                    # failed, ends when it is judged so: its duration follows the clock).
                    rows, cursor = queries.runs_page(desk, {}, 100, 0, None, order)
                    fresh = render_json({"runs": rows, "next_cursor": cursor})
                    assert _get(listener, "/runs", sort=order).decode() == fresh, (batch[0]["event_id"], ms, order)
                models, totals = sessions.usage(desk, window["since"], window["until"])
                kept = json.loads(_get(listener, "/usage", **window))
                assert kept == {**window, "models": models, "totals": totals}
            usage_calls.append(kept["totals"]["calls"])
        assert usage_calls == [0, 0, 0, 1, 1]
        # The quiet run is failed on the late clock and open on the early one, on the same file.
        clock.ms = T0 + 7_200_000
        assert [r["run_id"] for r in json.loads(_get(listener, "/runs", status="failed"))["runs"]] == ["quiet"]
        clock.ms = T0 + 1_000
        assert json.loads(_get(listener, "/runs", status="failed"))["runs"] == []
    finally:
        listener.kill()


@pytest.mark.timeout(60)
def test_a_page_of_runs_is_kept_within_the_readers_bound(tmp_path, monkeypatch):
    # A kept page counts its text against what a reading thread keeps: a page longer than the
    # bound is made afresh every time, a shorter one once until the file changes.
    from orvane_devtools.logs import _reader

    listener = InProcessListener(tmp_path / "db.sqlite3")
    try:
        events = [event(i, f"r{i}", event_type="agent_task.completed") for i in range(5)]
        _post(listener, events)
        made = []
        real = queries.runs_page

        def counted(*args, **kwargs):
            made.append(1)
            return real(*args, **kwargs)

        monkeypatch.setattr(queries, "runs_page", counted)
        first = _get(listener, "/runs")
        monkeypatch.setattr(_reader, "_COMPUTED_SIZE", len(first) - 1)
        assert [_get(listener, "/runs", limit=5) for _ in range(3)] == [first] * 3
        assert len(made) == 4
        monkeypatch.setattr(_reader, "_COMPUTED_SIZE", len(first) + 1)
        assert [_get(listener, "/runs", limit=4) for _ in range(3)] == [_get(listener, "/runs", limit=4)] * 3
        assert len(made) == 5
    finally:
        listener.kill()
