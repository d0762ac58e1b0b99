"""The run view: the root's tree with its waterfall, orphan and missing-parent markers, events with
their detail (secrets masked), stream deltas folded into one row, and paging of long runs."""

from __future__ import annotations

import re
import warnings
from dataclasses import dataclass

from playwright.sync_api import expect

from page_helpers import event, flush, now_ms, run_ctx, uid


@dataclass
class Tree:
    root: str
    a: str
    a1: str
    a2: str
    failed: str
    orphan: str
    detached: str
    missing_parent: str
    root_end: int


def upload_tree(listener) -> Tree:
    """A finished root with a child of two grandchildren, a failed child, a child left running
    after the root ended (judged orphaned at once: all this happened two minutes ago) and a run
    whose parent never arrives."""
    t = Tree(*(uid(n) for n in ("root", "a", "a1", "a2", "failed", "orphan", "detached", "ghost")), root_end=0)
    base = now_ms() - 120_000
    t.root_end = base + 1000

    def ctx(rid, parent, agent):
        return run_ctx(rid, root=t.root, parent=parent, agent=agent)

    R = run_ctx(t.root, agent="Planner")
    evs = [
        event("agent_task.started", R, ts=base, message="plan the trip"),
        event("agent_task.started", ctx(t.a, t.root, "Researcher"), ts=base + 100),
        event("agent_task.started", ctx(t.failed, t.root, "Booker"), ts=base + 150),
        event("agent_task.started", ctx(t.a1, t.a, "Flights"), ts=base + 200),
        event("agent_task.started", ctx(t.a2, t.a, "Hotels"), ts=base + 250),
        event("agent_task.started", ctx(t.orphan, t.root, "Translator"), ts=base + 300),
        event("agent_task.completed", ctx(t.a1, t.a, "Flights"), ts=base + 300),
        event("stream.delta", ctx(t.orphan, t.root, "Translator"), ts=base + 350, message="Bonjour",
              payload={"delta": "Bonjour"}),
        event("agent_task.completed", ctx(t.a2, t.a, "Hotels"), ts=base + 400),
        event("agent_task.completed", ctx(t.a, t.root, "Researcher"), ts=base + 500),
        event("agent_task.failed", ctx(t.failed, t.root, "Booker"), ts=base + 600, level="error",
              message="booking API timed out", error={"type": "TimeoutError", "detail": "no answer after 30 s"}),
        event("agent_task.started", ctx(t.detached, t.missing_parent, "Latecomer"), ts=base + 700),
        event("agent_task.completed", R, ts=t.root_end, message="trip planned"),
    ]
    result = listener.post(evs)
    assert result["accepted"] == len(evs), result
    return t


def tree_row(page, run_id):
    return page.locator(f'.tree-row[data-run-id="{run_id}"]')


def test_tree_expands_collapses_and_marks_orphans_failures_and_missing_parents(listener, open_page):
    t = upload_tree(listener)
    page = open_page(f"{listener.origin}/?run={t.root}")

    expect(tree_row(page, t.a1)).to_be_visible()
    expect(page.locator(".tree-panel .list-summary")).to_have_text("7 runs · 1 running · 1 failed · 1 orphaned")
    # Siblings in start order, the run whose parent is missing after them.
    order = page.locator(".tree-row").evaluate_all("rows => rows.sort((a, b) => a.getBoundingClientRect().top - b.getBoundingClientRect().top).map(r => r.dataset.runId)")
    assert order == [t.root, t.a, t.a1, t.a2, t.failed, t.orphan, "", t.detached]

    # Collapse with the mouse, expand with the keyboard.
    a = tree_row(page, t.a)
    a.locator(".twisty").click()
    expect(a).to_have_attribute("aria-expanded", "false")
    expect(tree_row(page, t.a1)).to_have_count(0)
    a.click()
    expect(page).to_have_url(re.compile(rf"run={t.a}"))
    expect(a).to_have_attribute("aria-selected", "true")
    page.locator(".tree-list").focus()
    page.keyboard.press("ArrowRight")
    expect(a).to_have_attribute("aria-expanded", "true")
    expect(tree_row(page, t.a1)).to_be_visible()
    page.keyboard.press("ArrowDown")
    page.keyboard.press("Enter")
    expect(page).to_have_url(re.compile(rf"run={t.a1}"))
    page.keyboard.press("ArrowLeft")  # to the parent
    page.keyboard.press("ArrowLeft")  # collapses it
    expect(a).to_have_attribute("aria-expanded", "false")

    # The orphan: marked, with the reason and the moment its root ended.
    orphan = tree_row(page, t.orphan)
    expect(orphan).to_have_attribute("data-state", "orphaned")
    chip = orphan.locator(".chip")
    expect(chip).to_have_text("orphaned")
    ended = page.evaluate("ms => { const d = new Date(ms); const p = (n, w = 2) => String(n).padStart(w, '0');"
                          " return `${p(d.getHours())}:${p(d.getMinutes())}:${p(d.getSeconds())}.${p(d.getMilliseconds(), 3)}`; }",
                          t.root_end)
    expect(chip).to_have_attribute("title", re.compile(rf"^Orphaned: left running after its parent run ended at {re.escape(ended)}; judged at "))
    orphan.click()
    expect(page.locator(".run-header .badge")).to_have_text("orphaned")
    expect(page.locator(".judged-note")).to_contain_text(f"left running after its parent run ended at {ended}")

    # On the waterfall its bar starts before the root's end and runs on past it, hatched.
    ext = orphan.locator(".bar-ext").bounding_box()
    mark = orphan.locator(".root-end").bounding_box()
    bar = orphan.locator(".bar").bounding_box()
    assert ext and mark and bar
    assert bar["x"] < mark["x"] < ext["x"] + ext["width"]
    # Parallel children overlap in time: the failed child's bar starts inside the other's.
    b1 = tree_row(page, t.a).locator(".bar").bounding_box()
    b2 = tree_row(page, t.failed).locator(".bar").bounding_box()
    assert b1["x"] < b2["x"] < b1["x"] + b1["width"]

    failed = tree_row(page, t.failed)
    expect(failed).to_have_attribute("data-state", "failed")
    expect(failed.locator(".chip")).to_have_text("failed")

    # The run whose parent has not arrived is shown and marked, not lost.
    expect(page.locator(".tree-row.section")).to_have_text(re.compile(r"Waiting for their parent run \(1\)"))
    late = tree_row(page, t.detached)
    expect(late.locator(".chip")).to_have_text("parent not arrived")
    expect(late.locator(".chip")).to_have_attribute("title", re.compile(re.escape(t.missing_parent)))

    # Events of the whole tree by default; of the orphan alone without descendants.
    page.goto(f"{listener.origin}/?run={t.root}")
    # (the run whose parent is missing is not reachable from the root, so not a descendant)
    expect(page.locator(".events-panel .list-summary")).to_have_text("12 events")
    expect(page.locator(".ev-row", has_text="Latecomer")).to_have_count(0)


def test_event_detail_shows_payload_error_and_meta_with_secrets_masked(listener, open_page):
    from orvane_devtools.observation.backends.Uplink import ObservationBridgeUnavailableWarning, RemoteTraceSink

    warnings.simplefilter("ignore", ObservationBridgeUnavailableWarning)
    secret, password = "sk-live-" + uid("k"), "hunter-" + uid("p")
    rid = uid("secret")
    R = run_ctx(rid, agent="Keeper")
    sink = RemoteTraceSink(endpoint=listener.ingest_url, api_key=None, app_id="vault", background_flush_interval=0.05)
    sink.append_event_nowait(event("agent_task.started", R, message="opening the vault"))
    sink.append_event_nowait(event("agent_task.action.started", R, message="calling the API",
                                   payload={"url": "https://api.invalid/v1", "api_key": secret,
                                            "nested": {"password": password, "attempt": 2}},
                                   meta={"trace": "t-1"}))
    sink.append_event_nowait(event("agent_task.failed", R, level="error", message="the API said no",
                                   error={"type": "PermissionError", "detail": "denied"}))
    flush(sink)

    page = open_page(f"{listener.origin}/?run={rid}")
    page.locator(".ev-row", has_text="agent_task.action.started").click()
    detail = page.locator(".ev-detail")
    payload = detail.locator(".sec-payload .json")
    expect(payload).to_contain_text('"api_key": "***"')
    expect(payload).to_contain_text('"password": "***"')
    expect(payload).to_contain_text('"attempt": 2')
    expect(detail.locator(".sec-meta .json")).to_contain_text('"trace": "t-1"')
    expect(detail.locator(".sec-error")).to_contain_text("none")
    expect(detail.locator(".detail-msg")).to_have_text("calling the API")
    html = page.content()
    assert secret not in html and password not in html
    expect(page).to_have_url(re.compile(r"event=[0-9a-f]+"))
    assert secret not in page.url

    page.locator(".ev-row", has_text="agent_task.failed").click()
    expect(detail.locator(".sec-error .json")).to_contain_text('"type": "PermissionError"')
    expect(detail.locator(".lvl")).to_have_text("error")
    page.keyboard.press("Escape")
    expect(detail).to_be_hidden()
    expect(page).not_to_have_url(re.compile(r"event="))


def test_stream_deltas_of_one_action_fold_into_one_row_that_expands(listener, open_page):
    rid = uid("deltas")
    R = run_ctx(rid, agent="Writer")
    words = ["Glaciers ", "flow ", "under ", "their ", "own weight."]
    evs = [event("agent_task.started", R, message="writing"),
           event("agent_task.action.started", R, message="first answer")]
    evs += [event("stream.delta", R, message=w, payload={"index": i, "delta": w}) for i, w in enumerate(words)]
    evs += [event("agent_task.action.completed", R, message="first answer done"),
            event("stream.delta", R, message="Second ", payload={"delta": "Second "}),
            event("stream.delta", R, message="answer.", payload={"delta": "answer."}),
            event("agent_task.completed", R)]
    listener.post(evs)

    page = open_page(f"{listener.origin}/?run={rid}")
    groups = page.locator(".ev-row.group-row")
    expect(groups).to_have_count(2)
    first = groups.nth(0)
    expect(first.locator(".etype")).to_have_text("stream.delta ×5")
    expect(first.locator(".e5")).to_have_text("Glaciers flow under their own weight.")
    expect(groups.nth(1).locator(".etype")).to_have_text("stream.delta ×2")
    expect(page.locator(".ev-row.member-row")).to_have_count(0)

    first.locator(".twisty").click()
    expect(first).to_have_attribute("aria-expanded", "true")
    members = page.locator(".ev-row.member-row")
    expect(members).to_have_count(5)
    expect(members.nth(4).locator(".e5")).to_have_text("own weight.")
    # A member opens like any event; Left folds the group again.
    members.nth(1).click()
    expect(page.locator(".ev-detail .sec-payload .json")).to_contain_text('"delta": "flow "')
    page.locator(".ev-list").focus()
    page.keyboard.press("ArrowLeft")
    expect(members).to_have_count(0)


def test_a_long_run_pages_its_events_and_keeps_the_dom_small(listener, open_page):
    rid = uid("long")
    R = run_ctx(rid, agent="Chatty")
    base = now_ms() - 60_000
    total = 2500
    evs = [event("agent_task.started", R, ts=base)]
    evs += [event("agent_task.action.completed", R, ts=base + i, message=f"step {i}") for i in range(1, total)]
    for i in range(0, total, 1000):
        listener.post(evs[i:i + 1000])

    page = open_page(f"{listener.origin}/?run={rid}")
    summary = page.locator(".events-panel .list-summary")
    expect(summary).to_have_text("newest 1,000 of 2,500 events")
    assert page.locator(".ev-row").count() < 120  # windowed: only rows in view exist
    more = page.locator(".ev-row.more-row")
    expect(more).to_contain_text("1,500 not shown")
    more.click()
    expect(summary).to_have_text("newest 2,000 of 2,500 events")
    # The rows in view stay where they were: the next "older" row is above, out of view.
    expect(page.locator(".ev-row.more-row")).to_have_count(0)
    page.locator(".ev-list").focus()
    page.keyboard.press("Home")
    expect(page.locator(".ev-row.active")).to_have_class(re.compile("more-row"))
    page.keyboard.press("Enter")
    expect(summary).to_have_text("2,500 events")
    expect(page.locator(".ev-row.more-row")).to_have_count(0)
    # The oldest event is reachable with the keyboard.
    page.keyboard.press("Home")
    expect(page.locator(".ev-row.active .e5")).to_have_text("")
    expect(page.locator(".ev-row.active .etype")).to_have_text("agent_task.started")
    page.keyboard.press("End")
    expect(page.locator(".ev-row.active .e5")).to_have_text(f"step {total - 1}")
