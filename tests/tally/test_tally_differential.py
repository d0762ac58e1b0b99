"""Random event sequences through the store and through a plain Python model of its rules
(store_model.py): records, search texts and every search answer must agree, whenever the texts
are written (right away, lazily at the first search, when a run outgrows its ring) and however
searches, appends, adoptions and reads of the live records interleave."""

from __future__ import annotations

import random

import pytest
from store_model import RECORD_FIELDS, SEARCHED_EVENT, StoreModel, needle_of, norm

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.Tallybook import RunRecord, RuntimeTallybook

WORDS = ["alpha", "Beta", "GAMMA", "straße", "İstanbul", "ΣΊΣΥΦΟΣ", "x", "", "  padded  ", "tail\u3000",
         "line\nbreak", "quote\"d", "emoji 😀", "ﬁle"]
RUN_IDS = ["r-a", "r-b", "r-c", " spaced", "r-d", "r-e"]
PARENTS = {"r-b": "r-a", "r-c": "r-a", "r-d": "r-b", "r-e": "ghost"}
TYPES = ["a.started", "a.step", "stream.delta", "a.completed", "a_failed", "x.waiting", "b.resumed", "t.raised"]


def random_value(rng: random.Random, depth: int = 0):
    kind = rng.choice(["int", "float", "str", "none", "bool", "big"] + (["list", "dict", "tuple"] * 2 if depth < 3 else []))
    if kind == "int":
        return rng.randint(-1000, 1000)
    if kind == "big":
        return rng.choice([1, -1]) * rng.randint(2**62, 2**100)
    if kind == "float":
        return rng.choice([rng.uniform(-1e6, 1e6), 1e16, -0.0, 0.5, float("inf")])
    if kind == "str":
        return rng.choice(WORDS)
    if kind == "none":
        return None
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "list":
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 3))]
    if kind == "tuple":
        return tuple(random_value(rng, depth + 1) for _ in range(rng.randint(0, 2)))
    return {rng.choice(["k", "K", "key", "ß", "z"]) + str(i): random_value(rng, depth + 1) for i in range(rng.randint(0, 3))}


def random_event(rng: random.Random, i: int) -> RuntimeEvent:
    run_id = rng.choice(RUN_IDS)
    run = None
    if rng.random() > 0.05:
        run = RuntimeRunContext(
            run_id=run_id, parent_run_id=PARENTS.get(run_id), root_run_id=rng.choice([None, "r-a"]),
            run_kind=rng.choice(["agent_task", "tool", 3]),
            agent_id=rng.choice([None, "ag-1", "AG-2"]), agent_name=rng.choice([None, "Planner", "planner", "Straße"]),
            session_id=rng.choice([None, "s1"]), response_id=rng.choice([None, f"resp-{i % 3}"]),
            execution_id=rng.choice([None, "exec"]),
            meta=rng.choice([{}, {"flow_name": "F"}, {"app_id": "run-app", "deep": [1, {"x": "Y"}]}]))
    return RuntimeEvent(
        event_id=rng.choice([f"evt-{i}", f"E-{i}-Ü"]), event_type=rng.choice(TYPES), timestamp=1_000 + rng.randint(0, 50),
        source=rng.choice([None, "src", " Src "]), level=rng.choice(["info", "INFO", " ", None, 3]),
        message=rng.choice(WORDS + [None]), payload=random_value(rng), error=rng.choice([None, {"code": 7}, "boom"]),
        meta=rng.choice([{}, {"app_id": "A"}, {"app_id": "A", "group_id": "G", "environment": "prod"}, {"x": [1]}]),
        run=run)


def needles(rng: random.Random, texts: list[str]) -> list[str]:
    out = ["", "   ", "no such text", "planner", "PLANNER", "STRASSE", "i̇stanbul", '"flow_name": "f"', "a.completed"]
    for text in texts:
        if not text:
            continue
        for _ in range(6):
            start = rng.randrange(len(text))
            piece = text[start:start + rng.randint(1, 40)]  # across fields and events
            out.append(piece)
            out.append(piece.upper())
    return out


def assert_same(store: RuntimeTallybook, model: StoreModel, rng: random.Random) -> None:
    texts = store._search_cache_by_run
    assert texts == model.texts
    got = {r.run_id: r for r in store.list_runs()}
    assert list(got) == model.list_run_ids()
    for run_id, rec in model.runs.items():
        assert got[run_id].model_dump() == {f: rec[f] for f in RECORD_FIELDS}, run_id
    for needle in needles(rng, list(model.texts.values())):
        assert [r.run_id for r in store.list_runs(search=needle)] == model.list_run_ids(needle), repr(needle)
        for run_id, rec in model.runs.items():
            assert store._record_matches_search(got[run_id], needle) == model.record_matches(rec, needle_of(needle))


@pytest.mark.parametrize("seed, max_events", [(1, 5000), (2, 3), (3, 1), (4, 0), (5, 7), (6, 2)])
def test_random_sequences_agree_with_the_model(seed, max_events):
    rng = random.Random(seed)
    store = RuntimeTallybook(max_events)
    model = StoreModel(max_events)
    for i in range(300):
        event = random_event(rng, i)
        store.append_event(event)
        model.append(event)
        roll = rng.random()
        if roll < 0.04:
            assert_same(store, model, rng)  # texts written now, in batches of various sizes
        elif roll < 0.08:
            needle = rng.choice(WORDS) or "x"
            assert [r.run_id for r in store.list_runs(search=needle)] == model.list_run_ids(needle)
        elif roll < 0.1 and model.runs:
            # A run reloaded from elsewhere, with or without its text.
            run_id = rng.choice(list(model.runs))
            rec = dict(model.runs[run_id], agent_name=rng.choice([None, "Reloaded"]))
            text = rng.choice([None, model.texts.get(run_id, ""), "older words"])
            store._adopt_run(RunRecord(**rec), text)
            model.adopt(rec, text)
    assert_same(store, model, rng)


def test_reading_the_live_records_midway_keeps_every_answer():
    rng = random.Random(11)
    store = RuntimeTallybook(4)
    model = StoreModel(4)
    for i in range(120):
        event = random_event(rng, i)
        store.append_event(event)
        model.append(event)
        if i == 60:
            live = store._runs  # from here on records live in this mapping
            assert {k: v.model_dump() for k, v in live.items()} == {k: {f: r[f] for f in RECORD_FIELDS}
                                                                    for k, r in model.runs.items()}
            assert store._runs is live
        if i > 60 and i % 10 == 0:
            # A change made through the live mapping is what later events see.
            run_id = rng.choice(list(model.runs))
            store._runs[run_id].agent_name = f"renamed {i}"
            model.runs[run_id]["agent_name"] = f"renamed {i}"
    assert_same(store, model, rng)


def test_event_search_through_the_facade_agrees_with_the_model():
    """query_events(search=...) reads the events' own field texts from the store's search texts."""
    from orvane.utils import Settings
    from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk

    rng = random.Random(5)
    desk = RuntimeTraceDesk(Settings({"observation.buffer_limit": 400}))
    store = desk._run_store
    events = []
    for i in range(250):
        event = random_event(rng, i)
        store.append_event(event)
        events.append(event)
        if i % 60 == 59:  # some texts written before the query, the rest by it
            store.list_runs(search="planner")
    held = events[-400:]
    texts = [" ".join(norm(getattr(e, f)) for f in SEARCHED_EVENT) for e in held[::60]]
    for needle in needles(rng, texts) + ["src", "evt-7", "e-12-ü", "boom", '"code": 7', "r-b", "planner"]:
        want = [e.event_id for e in held if StoreModel.event_matches(e, needle)]
        assert [e.event_id for e in desk.query_events(search=needle)] == want, repr(needle)


@pytest.mark.parametrize("max_events", [3, 50])
def test_payloads_that_change_then_repeat_keep_the_model_text(max_events):
    """A run whose payload differs in every event for a while (the text of each is written afresh,
    the store stops trying to reuse the last one), then repeats one payload, then changes again:
    every event's text is still the model's, in a run that outgrew its ring and in one that did not."""
    store, model = RuntimeTallybook(max_events), StoreModel(max_events)
    plan = [("changing", 0)] * 90 + [("same", 0)] * 40 + [("changing", 1)] * 70 + [("same", 2)] * 5
    for i, (kind, phase) in enumerate(plan):
        if kind == "changing":
            payload = {"phase": phase, "items": [{"n": i, "tag": f"Ü-{i}"}], "nested": {"k": [i, i + 0.5]}}
        else:
            payload = {"phase": phase, "items": [{"n": -1, "tag": "fixed"}], "nested": {"k": [0, 0.5]}}
        event = RuntimeEvent(event_id=f"e-{i}", event_type="stream.delta", timestamp=1_000 + i,
                             payload=payload, meta={"i": i} if kind == "changing" else {"i": 0},
                             run=RuntimeRunContext(run_id="r", run_kind="agent_task"))
        store.append_event(event)
        model.append(event)
        if i % 37 == 0:
            assert store._search_cache_by_run == model.texts, i
    assert store._search_cache_by_run == model.texts
    for needle in ("ü-0", "ü-89", "ü-130", "ü-199", '"tag": "fixed"', '"phase": 2'):
        assert [r.run_id for r in store.list_runs(search=needle)] == ["r"], needle
