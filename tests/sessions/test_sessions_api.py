"""Sessions and LLM usage through the listener's API: the application in this process on a real
SQLite file, fed our own events and OTLP spans (built with opentelemetry-proto), read back through
GET /sessions, /sessions/{id}, /usage and /runs?top=1; and the log service's two stores fed the
same events give the same summaries."""

from __future__ import annotations

import asyncio
import time

import pytest
from listener_helpers import T0, body, event
from otlp_ingest_helpers import T0_NS, sid, span, tid, trace_request

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.listener.calls import event_pieces
from orvane_devtools.logs import RuntimeLogService

PB = {"content-type": "application/x-protobuf"}
HOUR_MS = 3600 * 1000


def ctx(run_id: str, session: str | None, *, parent: str | None = None, kind: str = "agent_task",
        agent: str = "Planner", root: str | None = None) -> dict:
    return {"run_id": run_id, "root_run_id": root or parent or run_id, "parent_run_id": parent, "run_kind": kind,
            "agent_name": agent, "session_id": session}


def agent_run(run_id: str, session: str | None, start: int, end: int | None, **kw) -> list[dict]:
    """A run's started event and, unless ``end`` is None, its completed one."""
    run = ctx(run_id, session, **kw)
    out = [event(0, run_id, ts=start, event_type="agent_task.started", run=run)]
    if end is not None:
        out.append(event(1, run_id, ts=end, event_type="agent_task.completed", run=run))
    return out


def llm_run(run_id: str, session: str | None, start: int, duration: int, *, model: str = "gpt-4o-mini",
            tokens: tuple[int, int] = (100, 10), failed: bool = False, parent: str | None = None,
            root: str | None = None) -> list[dict]:
    """One LLM call as a run of kind llm: started with its request, completed with its usage
    (or failed) ``duration`` ms later."""
    run = ctx(run_id, session, parent=parent, kind="llm", root=root)
    started = event(0, run_id, ts=start, event_type="llm.started", run=run,
                    payload={"model": model, "provider": "openai", "messages": [{"role": "user", "content": "q"}]})
    if failed:
        ended = event(1, run_id, ts=start + duration, event_type="llm.failed", run=run, payload={"error": "boom"})
    else:
        ended = event(1, run_id, ts=start + duration, event_type="llm.completed", run=run, payload={
            "model": model, "usage": {"prompt_tokens": tokens[0], "completion_tokens": tokens[1]},
            "choices": [{"message": {"role": "assistant", "content": "a"}}]})
    return [started, ended]


def ingest(listener, events: list[dict], **fields) -> None:
    r = listener.client().post(f"{listener.api}/ingest", json=body(events, **fields))
    assert r.status_code == 200 and not r.json()["rejected"], r.text


def get(listener, path: str, **params) -> dict:
    r = listener.client().get(f"{listener.api}{path}", params=params)
    assert r.status_code == 200, r.text
    return r.json()


def post_spans(listener, spans) -> None:
    r = listener.client().post("/v1/traces", content=trace_request(spans).SerializeToString(), headers=PB)
    assert r.status_code == 200, r.text


def span_run_id(trace: int, span_no: int) -> str:
    return f"otel-{tid(trace)}-{sid(span_no)}"


def chat_span(trace: int, span_no: int, parent: int, model: str, start_ns: int, **attrs):
    attributes = {"gen_ai.operation.name": "chat", "gen_ai.provider.name": "openai", "gen_ai.request.model": model,
                  "gen_ai.usage.input_tokens": 1200, "gen_ai.usage.output_tokens": 300, **attrs}
    return span(tid(trace), sid(span_no), sid(parent), name=f"chat {model}", attributes=attributes, start=start_ns)


def summed(totals: list[dict]) -> dict:
    out = {"llm_calls": 0, "input_tokens": 0, "output_tokens": 0, "total_tokens": 0, "cost_usd": None,
           "unpriced_calls": 0}
    for t in totals:
        for k in ("llm_calls", "input_tokens", "output_tokens", "total_tokens", "unpriced_calls"):
            out[k] += t[k]
        if t["cost_usd"] is not None:
            out["cost_usd"] = (out["cost_usd"] or 0) + t["cost_usd"]
    return out


@pytest.fixture
def two_sessions(start_in_process):
    """s-1 (app-a): a turn of our events whose LLM child carries the session id too, then a turn
    of spans (app svc-a, their service) whose chat span (an unpriced model) carries none; s-2
    (app-b, agent Writer), newer.
    Besides: a run of the empty session and one of none, which are no sessions."""
    listener = start_in_process()
    ingest(listener, [*agent_run("t1", "s-1", T0, T0 + 1000),
                      *llm_run("t1-llm", "s-1", T0 + 100, 400, parent="t1")])
    post_spans(listener, [
        span(tid(7), sid(1), name="invoke_agent Helper", start=T0_NS + 5_000_000_000, end=T0_NS + 9_000_000_000,
             attributes={"gen_ai.operation.name": "invoke_agent", "gen_ai.conversation.id": "s-1",
                         "gen_ai.agent.name": "Helper"}),
        chat_span(7, 2, 1, "house-model-7b", T0_NS + 6_000_000_000),
    ])
    of_b = [*agent_run("w1", "s-2", T0 + 20_000, T0 + 30_000, agent="Writer"),
            *llm_run("w1-llm", None, T0 + 21_000, 100, parent="w1", tokens=(7, 3))]
    for doc in of_b:
        doc["meta"] = {"app_id": "app-b"}
    ingest(listener, of_b)
    ingest(listener, [*agent_run("loose", None, T0, T0 + 5), *agent_run("blank", "", T0, T0 + 5)])
    return listener


class TestSessionList:
    def test_one_row_per_session_newest_first_with_the_calls_of_its_trees_once(self, two_sessions):
        rows = get(two_sessions, "/sessions")
        assert rows["next_cursor"] is None
        assert [s["session_id"] for s in rows["sessions"]] == ["s-2", "s-1"]
        s2, s1 = rows["sessions"]
        # The app of its newest run: the spans' service.
        assert (s1["runs"], s1["app_id"], s1["first_activity_at"]) == (3, "svc-a", T0)
        assert s1["last_activity_at"] == T0 + 9000
        assert s1["statuses"] == {"unknown": 0, "running": 0, "waiting": 0, "completed": 3, "failed": 0}
        assert s1["agents"] == ["Helper", "Planner"]
        # Each call once: t1-llm's call is in t1's totals and its own; the chat span carries
        # no session id and counts through its tree.
        own_call = get(two_sessions, "/runs/t1-llm")["totals"]
        assert own_call["llm_calls"] == 1 and own_call["cost_usd"] > 0
        assert s1["totals"]["llm_calls"] == 2
        assert (s1["totals"]["input_tokens"], s1["totals"]["output_tokens"]) == (1300, 310)
        assert s1["totals"]["cost_usd"] == pytest.approx(own_call["cost_usd"])
        assert s1["totals"]["unpriced_calls"] == 1
        # s-2's LLM run carries no session id either.
        assert (s2["runs"], s2["app_id"], s2["totals"]["llm_calls"], s2["totals"]["total_tokens"]) == (
            1, "app-b", 1, 10)

    def test_a_session_reads_as_its_turns_oldest_first_with_their_trees_totals(self, two_sessions):
        answer = get(two_sessions, "/sessions/s-1")
        turns = answer["runs"]
        assert [t["run_id"] for t in turns] == ["t1", span_run_id(7, 1)]
        assert answer["session"]["turns"] == 2 and answer["next_cursor"] is None
        listed = {s["session_id"]: s for s in get(two_sessions, "/sessions")["sessions"]}["s-1"]
        assert answer["session"]["totals"] == listed["totals"]
        for turn in turns:
            assert turn["totals"] == get(two_sessions, f"/runs/{turn['run_id']}")["totals"]
        assert summed([t["totals"] for t in turns]) == pytest.approx(listed["totals"])
        assert turns[1]["totals"]["unpriced_calls"] == 1 and turns[1]["totals"]["cost_usd"] is None

    def test_an_unknown_session_and_one_id_with_a_slash(self, two_sessions):
        r = two_sessions.client().get(f"{two_sessions.api}/sessions/nope")
        assert (r.status_code, r.json()) == (404, {"error": "session not found"})
        for blank in ("", "%20"):
            assert two_sessions.client().get(f"{two_sessions.api}/sessions/{blank}x").status_code == 404
        ingest(two_sessions, agent_run("slashed", "team/a", T0, T0 + 1))
        assert [t["run_id"] for t in get(two_sessions, "/sessions/team/a")["runs"]] == ["slashed"]

    def test_a_stale_run_counts_as_failed_as_on_the_runs_route(self, start_in_process):
        listener = start_in_process()
        ingest(listener, agent_run("open", "s-open", T0, None))
        record = get(listener, "/runs/open")
        assert record["status"] == "failed"  # long ago: judged stale
        row = get(listener, "/sessions")["sessions"][0]
        assert row["statuses"]["failed"] == 1 and row["statuses"]["running"] == 0
        assert get(listener, "/sessions/s-open")["session"]["statuses"] == row["statuses"]

    def test_a_turn_whose_root_is_missing_is_headed_by_its_top_session_run(self, start_in_process):
        listener = start_in_process()
        ingest(listener, [*agent_run("mid", "s-m", T0, T0 + 50, parent="gone"),
                          *llm_run("leaf", "s-m", T0 + 10, 20, parent="mid", root="gone")])
        answer = get(listener, "/sessions/s-m")
        assert [t["run_id"] for t in answer["runs"]] == ["mid"]
        assert answer["runs"][0]["totals"]["llm_calls"] == 1
        assert answer["session"]["totals"]["llm_calls"] == 1


class TestPagingAndFilters:
    def test_pages_follow_the_cursor_without_gaps_or_repeats(self, start_in_process):
        listener = start_in_process()
        events = []
        for i in range(5):
            events += agent_run(f"p{i}", f"p-{i}", T0 + i * 100, T0 + i * 100 + 10)
        events += agent_run("tie", "p-tie", T0 + 410, T0 + 410)  # p-4's last activity, later id
        ingest(listener, events)
        seen, cursor = [], None
        for _ in range(10):
            page = get(listener, "/sessions", limit=2, **({"cursor": cursor} if cursor else {}))
            seen += [s["session_id"] for s in page["sessions"]]
            cursor = page["next_cursor"]
            if cursor is None:
                break
        assert seen == ["p-4", "p-tie", "p-3", "p-2", "p-1", "p-0"]
        turns = get(listener, "/sessions/p-4", limit=1)
        assert [t["run_id"] for t in turns["runs"]] == ["p4"] and turns["next_cursor"] is None

    def test_turns_page_too(self, start_in_process):
        listener = start_in_process()
        ingest(listener, [e for i in range(5) for e in agent_run(f"turn{i}", "s-long", T0 + i, T0 + i + 1)])
        first = get(listener, "/sessions/s-long", limit=3)
        rest = get(listener, "/sessions/s-long", limit=3, cursor=first["next_cursor"])
        assert [t["run_id"] for t in first["runs"] + rest["runs"]] == [f"turn{i}" for i in range(5)]
        assert rest["next_cursor"] is None and first["session"]["turns"] == 5

    @pytest.mark.parametrize(("params", "expected"), [
        ({"app_id": "app-b"}, ["s-2"]),
        ({"app_id": "app-a"}, ["s-1"]),  # any run of the session, not only the newest
        ({"app_id": "app-z"}, []),
        ({"search": "S-2"}, ["s-2"]),
        ({"search": " writer "}, ["s-2"]),  # an agent name, case-folded and trimmed
        ({"search": "s-"}, ["s-2", "s-1"]),
        ({"since": T0 + 10_000}, ["s-2"]),  # last activity at or after
        ({"until": T0 + 10_000}, ["s-1"]),  # first activity at or before
        ({"since": T0 + 9000, "until": T0 + 9000}, ["s-1"]),
        ({"since": T0 + 9001, "until": T0 + 19_999}, []),
    ])
    def test_filters(self, two_sessions, params, expected):
        assert [s["session_id"] for s in get(two_sessions, "/sessions", **params)["sessions"]] == expected


def usage_events(now: int) -> list[dict]:
    events = []
    # 20 timed calls of one model: 100 ms .. 2000 ms, in a shuffled order.
    for i, k in enumerate([7, 3, 12, 1, 20, 5, 9, 15, 2, 18, 11, 4, 16, 8, 14, 6, 19, 10, 13, 17]):
        events += llm_run(f"mini-{i}", "u", now + i, 100 * k)
    events += llm_run("house-1", "u", now + 100, 30, model="house-model-7b", tokens=(5, 5))
    events += llm_run("house-2", "u", now + 101, 60, model="house-model-7b", tokens=(5, 5))
    events += llm_run("broken", "u", now + 102, 70, model="gpt-4o", failed=True)
    # An agent's run reporting two calls: counted, not timed (the run is not one call).
    agent = ctx("agent", "u")
    events += [event(i, "agent", ts=now + 200 + i, event_type="agent_task.llm_call", run=agent,
                     payload={"model": "gpt-4o-mini", "usage": {"prompt_tokens": 1, "completion_tokens": 1}})
               for i in range(2)]
    return events


class TestUsage:
    def test_per_model_calls_tokens_cost_errors_and_latency_percentiles(self, start_in_process):
        listener = start_in_process()
        ingest(listener, usage_events(T0))
        ingest(listener, llm_run("later", "u", T0 + 10 * HOUR_MS, 5))  # outside the window
        answer = get(listener, "/usage", since=T0, until=T0 + HOUR_MS)
        assert (answer["since"], answer["until"]) == (T0, T0 + HOUR_MS)
        models = {m["model"]: m for m in answer["models"]}
        assert [m["model"] for m in answer["models"]] == ["gpt-4o-mini", "house-model-7b", "gpt-4o"]
        mini = models["gpt-4o-mini"]
        assert (mini["calls"], mini["timed_calls"], mini["errors"]) == (22, 20, 0)
        assert (mini["input_tokens"], mini["output_tokens"], mini["total_tokens"]) == (2002, 202, 2204)
        assert (mini["p50_ms"], mini["p95_ms"]) == (1000, 1900)  # nearest rank of 20
        assert mini["cost_usd"] > 0 and mini["unpriced_calls"] == 0
        house = models["house-model-7b"]
        assert (house["cost_usd"], house["unpriced_calls"], house["calls"]) == (None, 2, 2)
        assert (house["p50_ms"], house["p95_ms"]) == (30, 60)
        broken = models["gpt-4o"]
        assert (broken["errors"], broken["calls"], broken["p50_ms"]) == (1, 1, 70)
        assert answer["totals"]["calls"] == 25 and answer["totals"]["errors"] == 1
        assert answer["totals"]["unpriced_calls"] == 2 + broken["unpriced_calls"]
        assert answer["totals"]["cost_usd"] == pytest.approx(mini["cost_usd"] + (broken["cost_usd"] or 0))
        later = get(listener, "/usage", since=T0 + HOUR_MS + 1)["models"]
        assert [(m["model"], m["calls"], m["p50_ms"]) for m in later] == [("gpt-4o-mini", 1, 5)]

    def test_the_default_window_is_the_last_24_hours(self, start_in_process):
        listener = start_in_process()
        now = int(time.time() * 1000)
        ingest(listener, [*llm_run("recent", None, now - HOUR_MS, 10), *llm_run("old", None, now - 30 * HOUR_MS, 10,
                                                                                  model="gpt-4o")])
        answer = get(listener, "/usage")
        assert answer["until"] is None and now - 24 * HOUR_MS - 5000 <= answer["since"] <= now - 24 * HOUR_MS + 60_000
        assert [m["model"] for m in answer["models"]] == ["gpt-4o-mini"]
        # Given only until, the 24 hours before it.
        older = get(listener, "/usage", until=now - 29 * HOUR_MS)
        assert older["since"] == now - 53 * HOUR_MS and [m["model"] for m in older["models"]] == ["gpt-4o"]
        empty = get(listener, "/usage", since=now + HOUR_MS)
        assert empty["models"] == [] and empty["totals"]["calls"] == 0 and empty["totals"]["cost_usd"] is None


class TestTopLevelRuns:
    def test_only_runs_without_a_parent_each_with_its_trees_totals(self, two_sessions):
        top = get(two_sessions, "/runs", top=1)["runs"]
        ids = {r["run_id"] for r in top}
        assert ids == {"t1", span_run_id(7, 1), "w1", "loose", "blank"}
        assert all(r["parent_run_id"] is None for r in top)
        every = {r["run_id"] for r in get(two_sessions, "/runs", top=0)["runs"]}
        assert {"t1-llm", span_run_id(7, 2), "w1-llm"} <= every
        by_cost = get(two_sessions, "/runs", top="true", sort="cost")["runs"]
        assert [r["run_id"] for r in by_cost][:2] == ["t1", "w1"]  # the span tree has no priced call
        assert {r["run_id"]: r["totals"]["llm_calls"] for r in by_cost}["t1"] == 1

    def test_paging_top_level_runs_among_many_children(self, start_in_process):
        listener = start_in_process()
        events = []
        for i in range(3):
            events += agent_run(f"root{i}", None, T0 + i * 1000, T0 + i * 1000 + 900)
            for j in range(150):
                events += agent_run(f"root{i}-c{j}", None, T0 + i * 1000 + j, T0 + i * 1000 + j + 1,
                                    parent=f"root{i}")
        ingest(listener, events)
        first = get(listener, "/runs", top=1, limit=2)
        rest = get(listener, "/runs", top=1, limit=2, cursor=first["next_cursor"])
        assert [r["run_id"] for r in first["runs"] + rest["runs"]] == ["root2", "root1", "root0"]
        assert rest["next_cursor"] is None


class TestBadParameters:
    @pytest.mark.parametrize(("path", "params", "name"), [
        ("/sessions", {"limit": "0"}, "limit"),
        ("/sessions", {"limit": "1001"}, "limit"),
        ("/sessions", {"cursor": "not-a-cursor"}, "cursor"),
        ("/sessions", {"since": "yesterday"}, "since"),
        ("/sessions", {"since": "10", "until": "9"}, "until"),
        ("/sessions", {"status": "failed"}, "status"),
        ("/sessions", {"session_id": "s-1"}, "session_id"),
        ("/sessions/s-1", {"limit": "5001"}, "limit"),
        ("/sessions/s-1", {"search": "x"}, "search"),
        ("/usage", {"model": "gpt-4o"}, "model"),
        ("/usage", {"since": "-1"}, "since"),
        ("/usage", {"since": "5", "until": "4"}, "until"),
        ("/usage", {"until": "1.5"}, "until"),
        ("/runs", {"top": "maybe"}, "top"),
    ])
    def test_refused_with_the_parameter_named(self, two_sessions, path, params, name):
        r = two_sessions.client().get(f"{two_sessions.api}{path}", params=params)
        assert r.status_code == 400, r.text
        assert r.json()["parameter"] == name

    def test_a_parameter_given_twice(self, two_sessions):
        r = two_sessions.client().get(f"{two_sessions.api}/sessions?app_id=a&app_id=b")
        assert (r.status_code, r.json()["parameter"]) == (400, "app_id")


async def _append(service: RuntimeLogService, events: list) -> None:
    async with service.batch():
        await service.append_events(events, event_pieces(events))


def test_the_two_stores_give_the_same_summaries_and_usage(tmp_path):
    """The memory store computes in Python what the file store computes in SQL."""
    raw = [*agent_run("t1", "s-1", T0, T0 + 1000), *llm_run("t1-llm", "s-1", T0 + 100, 400, parent="t1"),
           *llm_run("child", None, T0 + 200, 50, parent="t1", model="house-model-7b"),
           *agent_run("w1", "s-2", T0 + 20_000, T0 + 30_000, agent="Writer"),
           *agent_run("open", "s-2", T0 + 20_500, None), *usage_events(T0 + 40_000),
           *agent_run("mid", "s-3", T0 + 5, T0 + 50, parent="gone"),
           *llm_run("leaf", "s-3", T0 + 10, 20, parent="mid", root="gone")]
    for doc in raw:
        doc["meta"] = {"app_id": "app-b" if doc["run"]["session_id"] == "s-2" else "app-a"}
    events = [RuntimeEvent(**doc) for doc in raw]
    answers = []
    for settings in (Settings({}), Settings({"logs.path": str(tmp_path / "s.db")})):
        service = RuntimeLogService(settings)
        try:
            asyncio.run(_append(service, events[:7]))
            asyncio.run(_append(service, events[7:]))
            answers.append([
                service.session_summaries(),
                service.session_summaries(search="WRITER"),
                service.session_summaries(app_id="app-b", limit=1),
                service.session_summaries(limit=1, offset=1),
                service.session_summaries(since=T0 + 30_000, until=T0 + 40_000),
                service.session_summaries(session_id="s-1"),
                service.llm_usage(T0, T0 + 40_010),
                service.llm_usage(T0),
                sorted(service.session_heads("s-1")), sorted(service.session_heads("s-2")),
                service.session_heads("s-3"), service.session_heads("nope"),
            ])
        finally:
            service.close()
    assert answers[0] == answers[1]
    summaries = answers[1][0]
    assert [s["session_id"] for s in summaries] == ["u", "s-2", "s-1", "s-3"]
    assert answers[1][8:] == [["t1"], ["open", "w1"], ["mid"], []]
    assert summaries[2]["totals"]["llm_calls"] == 2 and summaries[2]["totals"]["unpriced_calls"] == 1
    assert summaries[1]["statuses"]["running"] == 1  # stored; the listener resolves it
    assert [m["model"] for m in answers[1][6]] == ["gpt-4o-mini", "house-model-7b"]


def test_the_service_checks_its_arguments():
    service = RuntimeLogService(Settings({}))
    with pytest.raises(TypeError, match="Argument 'search' has incorrect type"):
        service.session_summaries(search=3)
    with pytest.raises(TypeError, match="Argument 'limit' has incorrect type"):
        service.session_summaries(limit="5")
    with pytest.raises(TypeError, match="Argument 'since' has incorrect type"):
        service.llm_usage(None)
    with pytest.raises(TypeError, match="Argument 'session_id' has incorrect type"):
        service.session_heads(None)
    assert service.session_summaries(limit=0) == []
