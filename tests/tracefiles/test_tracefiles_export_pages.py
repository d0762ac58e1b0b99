"""A tree's export read page by page: the pages put together are the log service's whole answer,
in its order, wherever the events crowd or thin out in time; a page is never the whole tree."""

from __future__ import annotations

import asyncio
import random

import pytest

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.listener.config import ListenerConfig
from orvane_devtools.listener.core import ListenerCore
from orvane_devtools.listener.decode import DecodedBatch
from orvane_devtools.tracefiles.export import TreeExport, export_file_name


@pytest.fixture
def core(tmp_path):
    made = ListenerCore(ListenerConfig(db_path=tmp_path / "db.sqlite3", stale_after_seconds=0,
                                       orphan_after_seconds=0))
    yield made
    asyncio.run(made.close())


def store(core, events: list[RuntimeEvent]) -> None:
    async def run() -> None:
        for i in range(0, len(events), 500):
            part = events[i:i + 500]
            await core.store(DecodedBatch(events=part, indexes=list(range(len(part))), total=len(part)))

    asyncio.run(run())


def ev(i: int, run: str, ts: int, parent: str | None = None, root: str = "root") -> RuntimeEvent:
    return RuntimeEvent(event_id=f"e{i}", event_type="agent_task.progress", timestamp=ts, message=f"m{i}",
                        run={"run_id": run, "root_run_id": root, "parent_run_id": parent, "run_kind": "agent_task"})


def pages(core, run_id: str, page: int) -> tuple[list[list[str]], TreeExport]:
    export = TreeExport(core.desk, run_id, page_events=page)
    assert export.open()
    out = []
    while (events := export.next_events()) is not None:
        out.append([e.event_id for e in events])
    return out, export


def whole(core, export: TreeExport) -> list[str]:
    return [e.event_id for e in core.log_service.query_events(run_ids=export.run_ids)]


@pytest.mark.parametrize("seed", range(4))
def test_pages_put_together_are_the_whole_answer_in_order(core, seed):
    rng = random.Random(seed)
    runs = ["root", "a", "b", "a.1", "b.1", "b.2"]
    parents = {"root": None, "a": "root", "b": "root", "a.1": "a", "b.1": "b", "b.2": "b"}
    events = []
    ts = 1_760_000_000_000
    for i in range(1500):
        # Bursts in one millisecond, quiet hours, and now and then a clock step back.
        ts += rng.choice([0, 0, 0, 1, 2, 5, 3_600_000, -3])
        run = rng.choice(runs)
        events.append(ev(i, run, ts, parents[run]))
    events.append(ev(9999, "other", ts, root="other"))  # another tree: never in this export
    store(core, events)
    got, export = pages(core, "root", page=37)
    flat = [e for p in got for e in p]
    assert flat == whole(core, export) and len(flat) == 1500
    assert max(len(p) for p in got) <= 37 * 2  # one millisecond may hold more than a page


def test_a_crowded_millisecond_is_read_run_by_run_in_the_answers_order(core):
    events = [ev(i, ["root", "c1", "c2"][i % 3], 1_760_000_000_000 + (i >= 200), "root" if i % 3 else None)
              for i in range(300)]
    store(core, events)
    got, export = pages(core, "root", page=10)
    assert [e for p in got for e in p] == whole(core, export) and len(whole(core, export)) == 300


def test_an_event_older_than_every_time_its_runs_name_is_not_left_out(core):
    # The run's record starts with its "started" event; an event stamped a day before it
    # arrives later (a skewed clock). The export still begins with it.
    events = [RuntimeEvent(event_id="start", event_type="agent_task.started", timestamp=1_760_000_000_000,
                           run={"run_id": "root", "root_run_id": "root"}),
              ev(1, "root", 1_760_000_000_000 - 86_400_000), ev(2, "root", 1_760_000_000_005)]
    store(core, events)
    got, export = pages(core, "root", page=1)
    assert [e for p in got for e in p] == ["e1", "start", "e2"] == whole(core, export)


def test_a_subtree_and_the_waiting_runs_of_a_root(core):
    store(core, [ev(0, "root", 1), ev(1, "c", 2, "root"), ev(2, "g", 3, "c"), ev(3, "w", 4, "not-here"),
                 ev(4, "root", 5)])
    got, _ = pages(core, "c", page=100)
    assert got == [["e1", "e2"]]
    got, export = pages(core, "root", page=100)
    # The root's export holds the runs of its tree whose parent has not arrived: its tree
    # answer lists them, and the file read back must answer it the same.
    assert export.run_ids[-1] == "w" and [e for p in got for e in p] == ["e0", "e1", "e2", "e3", "e4"]
    assert not TreeExport(core.desk, "nope").open()


@pytest.mark.parametrize("run_id, name", [
    ("run-1", "run-run-1.jsonl"), ("a/b c", "run-a_b_c.jsonl"), ("../..", "run-tree.jsonl"),
    ("ünï", "run-n.jsonl"), ("x" * 300, "run-" + "x" * 100 + ".jsonl"),
])
def test_file_names(run_id, name):
    assert export_file_name(run_id, "jsonl") == name
    assert export_file_name(run_id, "otlp-json") == name.replace(".jsonl", ".otlp.jsonl")
