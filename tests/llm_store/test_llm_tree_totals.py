"""The totals of a run with all its descendants, as the file store sums them in one query: random
forests (orphans, a run named as its own ancestor) against a plain model of the parent links and
against the in-memory store; span runs that join a tree after their calls were stored; runs that
leave the file with retention; and a page of GET /runs against each run's own answer."""

from __future__ import annotations

import asyncio
import random

import pytest
from listener_helpers import event
from otlp_ingest_helpers import T0_NS, sid, span, tid
from test_llm_runs_api import chat_attributes, get, ingest, post_spans, tree_nodes

from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.listener.calls import event_pieces
from orvane_devtools.logs import RuntimeLogService

T0 = 1_760_000_000_000
T0_MS = T0_NS // 1_000_000


async def append(service: RuntimeLogService, events: list) -> None:
    async with service.batch():
        await service.append_events(events, event_pieces(events))


def usage_event(n: int, run_id: str, parent: str | None, root: str, inp: int, out: int,
                model: str = "gpt-4o-mini") -> RuntimeEvent:
    doc = event(n, run_id, parent=parent, root=root, ts=T0 + n, event_type="agent_task.llm_call",
                payload={"model": model, "provider": "openai",
                         "usage": {"prompt_tokens": inp, "completion_tokens": out}})
    return RuntimeEvent(**doc)


def plain_event(n: int, run_id: str, parent: str | None, root: str) -> RuntimeEvent:
    return RuntimeEvent(**event(n, run_id, parent=parent, root=root, ts=T0 + n))


def a_forest(rng: random.Random) -> tuple[list[list[RuntimeEvent]], dict[str, str | None], dict[str, list]]:
    """Batches of events over ~60 runs: parents earlier in the list mostly, some named parents
    that never arrive, two runs naming each other; each run with 0 to 3 calls."""
    runs = [f"r{i}" for i in range(60)]
    parent: dict[str, str | None] = {}
    for i, rid in enumerate(runs):
        roll = rng.random()
        if i == 0 or roll < 0.15:
            parent[rid] = None
        elif roll < 0.22:
            parent[rid] = f"gone-{i % 3}"  # an orphan: its parent never arrives
        else:
            parent[rid] = runs[rng.randrange(0, i)]
    parent["r58"], parent["r59"] = "r59", "r58"  # a cycle
    calls: dict[str, list] = {rid: [] for rid in runs}
    events: list[RuntimeEvent] = []
    n = 0
    for rid in runs:
        root = parent[rid] or rid
        events.append(plain_event(n, rid, parent[rid], root))
        n += 1
        for _ in range(rng.randrange(0, 4)):
            inp, out = rng.randrange(1, 5000), rng.randrange(0, 900)
            model = rng.choice(["gpt-4o-mini", "gpt-4o", "house-model"])
            events.append(usage_event(n, rid, parent[rid], root, inp, out, model))
            calls[rid].append((inp, out, model))
            n += 1
    rng.shuffle(events)  # runs still get their parent from their first event
    batches = [events[i:i + 25] for i in range(0, len(events), 25)]
    first_parent: dict[str, str | None] = {}
    for batch in batches:
        for ev in batch:
            first_parent.setdefault(ev.run.run_id, ev.run.parent_run_id)
    return batches, first_parent, calls


def descendants(parent: dict[str, str | None], top: str) -> set[str]:
    kids: dict[str, list[str]] = {}
    for rid, p in parent.items():
        if p is not None:
            kids.setdefault(p, []).append(rid)
    seen, todo = set(), [top]
    while todo:
        node = todo.pop()
        if node not in seen:
            seen.add(node)
            todo.extend(kids.get(node, ()))
    return seen


@pytest.mark.timeout(120)
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_random_forests_against_the_parent_links_and_the_memory_store(tmp_path, seed):
    batches, parent, calls = a_forest(random.Random(seed))
    asked = [*parent, "gone-0", "gone-1", "gone-2", "no-such-run", "r3", "r3"]
    answers = []
    for settings in (Settings({}), Settings({"logs.path": str(tmp_path / f"f{seed}.db")})):
        service = RuntimeLogService(settings)
        try:
            for batch in batches[:-1]:
                asyncio.run(append(service, batch))
            # Half the trees walked first, so that the file store's readers keep their shape
            # (totals then sum those there, the others in the file); the last batch then
            # changes some of them.
            for rid in asked[::2]:
                service.collect_descendant_run_ids(rid)
            asyncio.run(append(service, batches[-1]))
            for rid in asked[1::3]:
                service.collect_descendant_run_ids(rid)
            answers.append((service.llm_totals(asked), service.llm_totals(asked, descendants=False)))
        finally:
            service.close()
    assert answers[0] == answers[1]
    totals, own = answers[1]
    assert set(totals) == set(asked)
    for top in asked:
        members = descendants(parent, top)
        made = [c for m in members for c in calls.get(m, ())]
        got = totals[top]
        assert got["llm_calls"] == len(made), top
        assert got["input_tokens"] == sum(c[0] for c in made), top
        assert got["output_tokens"] == sum(c[1] for c in made), top
        assert got["total_tokens"] == sum(c[0] + c[1] for c in made), top
        assert got["unpriced_calls"] == sum(c[2] == "house-model" for c in made), top
        priced = [own[m]["cost_usd"] for m in members if m in own and own[m]["cost_usd"] is not None]
        assert got["cost_usd"] == (pytest.approx(sum(priced), rel=1e-12) if priced else None), top
    # The cases the forest is for were there: a cycle, orphans under a parent never stored.
    assert {"r58", "r59"} <= descendants(parent, "r58") and any(
        len(descendants(parent, f"gone-{k}")) > 1 for k in range(3))


def test_span_runs_that_join_later_count_toward_their_new_ancestors(start_in_process):
    """A chat span whose parent span comes in a later request waits detached; so does an agent
    span whose parent is one of our runs that has not arrived. When the parents arrive, the
    calls stored before count toward every new ancestor, on the listing and on each run."""
    listener = start_in_process()
    from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for

    trace = trace_id_for("late-root")
    agent, chat = sid(21), sid(22)
    chat_id, agent_id = f"otel-{trace}-{chat}", f"otel-{trace}-{agent}"
    post_spans(listener, [span(trace, chat, agent, attributes=chat_attributes(), end=T0_NS + 40_000_000)])
    assert get(listener, f"/runs/{chat_id}")["totals"]["llm_calls"] == 1
    post_spans(listener, [span(trace, agent, span_id_for("late-root"), name="invoke_agent A",
                               attributes={"gen_ai.operation.name": "invoke_agent"}, end=T0_NS + 90_000_000)])
    assert get(listener, f"/runs/{agent_id}")["totals"]["llm_calls"] == 1
    # Our root arrives last, with a call of its own.
    root = {"run_id": "late-root", "root_run_id": "late-root", "run_kind": "agent_task"}
    ingest(listener, [
        event(0, "late-root", run=root, ts=T0_MS, event_type="agent_task.started"),
        event(1, "late-root", run=root, ts=T0_MS + 1, payload={
            "model": "gpt-4o", "provider": "openai", "usage": {"input_tokens": 100, "output_tokens": 10}}),
    ])
    answer = get(listener, "/runs/late-root")
    assert answer["totals"]["llm_calls"] == 2
    assert answer["totals"]["input_tokens"] == 1200 + 100
    assert get(listener, f"/runs/{chat_id}")["root_run_id"] == "late-root"
    listed = {r["run_id"]: r for r in get(listener, "/runs", limit=50)["runs"]}
    assert listed["late-root"]["totals"] == answer["totals"]
    assert listed[agent_id]["totals"]["llm_calls"] == 1


def test_runs_leaving_the_file_leave_their_ancestors_totals(tmp_path):
    """Retention removes a child run (its events are the oldest) with its calls: its parent's
    totals drop them; the parent's own calls stay."""
    path = str(tmp_path / "kept.db")
    service = RuntimeLogService(Settings({"logs.path": path, "logs.max_events": 5}))
    try:
        asyncio.run(append(service, [usage_event(0, "kid", "top", "top", 500, 50),
                                     usage_event(1, "kid", "top", "top", 600, 60)]))
        asyncio.run(append(service, [usage_event(2, "top", None, "top", 7, 1)]))
        assert service.llm_totals(["top"])["top"]["llm_calls"] == 3
        asyncio.run(append(service, [plain_event(3 + i, "top", None, "top") for i in range(4)]))
        asyncio.run(service.flush())
        assert service.query_runs(run_id="kid") == []
        totals = service.llm_totals(["top", "kid"])
        assert (totals["top"]["llm_calls"], totals["top"]["input_tokens"]) == (1, 7)
        assert totals["kid"]["llm_calls"] == 0
    finally:
        service.close()


def test_a_page_of_runs_carries_each_runs_own_totals(start_in_process):
    """The listing sums the trees of all its runs in one query: each run's totals on the page
    are those the tree route adds up node by node, for roots, inner runs and leaves alike."""
    listener = start_in_process()
    events = []
    n = 0
    for tree in range(3):
        root = f"t{tree}"
        events.append(event(n, root, ts=T0_MS + n))
        n += 1
        for kid in range(3):
            kid_id = f"{root}-k{kid}"
            for call in range(kid + 1):
                events.append(event(n, kid_id, parent=root, ts=T0_MS + n, payload={
                    "model": "gpt-4o-mini", "usage": {"prompt_tokens": 100 * (call + 1), "completion_tokens": 9}}))
                n += 1
            leaf = f"{kid_id}-leaf"
            events.append(event(n, leaf, parent=kid_id, root=root, ts=T0_MS + n, payload={
                "model": "gpt-4o", "usage": {"prompt_tokens": 1, "completion_tokens": 1}}))
            n += 1
    ingest(listener, events)
    page = get(listener, "/runs", limit=100)["runs"]
    assert len(page) == 3 * (1 + 3 + 3)
    nodes = {}
    for tree in range(3):
        nodes.update(tree_nodes(listener, f"t{tree}"))
    assert len(nodes) == len(page)
    for run in page:
        assert run["totals"] == nodes[run["run_id"]]["totals"], run["run_id"]
    tops = {r["run_id"]: r["totals"] for r in page if r["run_id"] in ("t0", "t1", "t2")}
    assert all(t["llm_calls"] == 6 + 3 for t in tops.values())
