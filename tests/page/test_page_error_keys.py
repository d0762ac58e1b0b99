"""Next error and previous error: `e` and Shift+E (and the buttons) walk the tree's failed, stale
and orphaned runs and the events' errors, revealing runs inside closed nodes and opening events
inside folded delta groups, and wrap around at both ends."""

from __future__ import annotations

import re

import pytest
from playwright.sync_api import expect

from page_helpers import event, now_ms, run_ctx, uid


def upload(listener):
    """root ─ a ─ a1 (failed), a2; b (failed); c left running after the root ended (orphaned);
    d (completed). In tree order the errors are a1, b, c."""
    ids = {n: uid(n) for n in ("root", "a", "a1", "a2", "b", "c", "d")}
    base = now_ms() - 120_000
    root = ids["root"]

    def ctx(name, parent, agent):
        return run_ctx(ids[name], root=root, parent=ids[parent] if parent else None, agent=agent)

    R = ctx("root", None, "Planner")
    evs = [
        event("agent_task.started", R, ts=base),
        event("agent_task.started", ctx("a", "root", "Research"), ts=base + 10),
        event("agent_task.started", ctx("a1", "a", "Flights"), ts=base + 20),
        event("agent_task.started", ctx("a2", "a", "Hotels"), ts=base + 30),
        event("agent_task.started", ctx("b", "root", "Booker"), ts=base + 40),
        event("agent_task.started", ctx("c", "root", "Translator"), ts=base + 50),
        event("agent_task.started", ctx("d", "root", "Mailer"), ts=base + 60),
        event("agent_task.failed", ctx("a1", "a", "Flights"), ts=base + 100, level="error", message="no flights left"),
        event("agent_task.completed", ctx("a2", "a", "Hotels"), ts=base + 110),
        # A delta stream whose middle piece is an error: the group holding it unfolds.
        event("stream.delta", ctx("c", "root", "Translator"), ts=base + 120, payload={"delta": "Bon"}),
        event("stream.delta", ctx("c", "root", "Translator"), ts=base + 121, level="error",
              message="decoder hiccup", payload={"delta": "??"}),
        event("stream.delta", ctx("c", "root", "Translator"), ts=base + 122, payload={"delta": "jour"}),
        event("agent_task.completed", ctx("a", "root", "Research"), ts=base + 200),
        event("agent_task.failed", ctx("b", "root", "Booker"), ts=base + 300, level="error", message="card declined"),
        event("agent_task.completed", ctx("d", "root", "Mailer"), ts=base + 400),
        event("agent_task.completed", R, ts=base + 1000),
    ]
    assert listener.post(evs)["accepted"] == len(evs)
    return ids


@pytest.mark.timeout(120)
def test_next_and_previous_error_in_the_tree_reveal_closed_nodes_and_wrap(listener, open_page):
    ids = upload(listener)
    page = open_page(f"{listener.origin}/?run={ids['root']}")
    row = lambda name: page.locator(f'.tree-row[data-run-id="{ids[name]}"]')  # noqa: E731
    expect(row("c")).to_have_attribute("data-state", "orphaned")
    status = page.locator(".tree-panel .err-status")

    # a1 sits inside a closed node: the walk opens it.
    row("a").locator(".twisty").click()
    expect(row("a1")).to_have_count(0)
    page.locator(".tree-list").focus()
    page.keyboard.press("Home")
    page.keyboard.press("e")
    expect(page).to_have_url(re.compile(rf"run={ids['a1']}(&|$)"))
    expect(row("a")).to_have_attribute("aria-expanded", "true")
    expect(row("a1")).to_have_attribute("aria-selected", "true")
    expect(status).to_have_text("failed run 1 of 3")
    page.keyboard.press("e")
    expect(page).to_have_url(re.compile(rf"run={ids['b']}(&|$)"))
    page.keyboard.press("e")
    expect(page).to_have_url(re.compile(rf"run={ids['c']}(&|$)"))
    expect(status).to_have_text("failed run 3 of 3")
    # Past the last: back to the first, and it says so.
    page.keyboard.press("e")
    expect(page).to_have_url(re.compile(rf"run={ids['a1']}(&|$)"))
    expect(status).to_have_text("failed run 1 of 3 (wrapped to the first)")
    page.keyboard.press("Shift+E")
    expect(page).to_have_url(re.compile(rf"run={ids['c']}(&|$)"))
    expect(status).to_have_text("failed run 3 of 3 (wrapped to the last)")
    # The keyboard's place follows the jump: an arrow goes on from the run jumped to.
    page.keyboard.press("ArrowUp")
    page.keyboard.press("Enter")
    expect(page).to_have_url(re.compile(rf"run={ids['b']}(&|$)"))

    # The buttons do the same.
    page.locator(".tree-panel").get_by_role("button", name="Previous error").click()
    expect(page).to_have_url(re.compile(rf"run={ids['a1']}(&|$)"))
    page.locator(".tree-panel").get_by_role("button", name="Next error").click()
    expect(page).to_have_url(re.compile(rf"run={ids['b']}(&|$)"))
    # With focus on a button (not in any list) the key goes to the tree.
    page.keyboard.press("e")
    expect(page).to_have_url(re.compile(rf"run={ids['c']}(&|$)"))


@pytest.mark.timeout(120)
def test_next_and_previous_error_in_the_events_open_them_and_wrap(listener, open_page):
    ids = upload(listener)
    page = open_page(f"{listener.origin}/?run={ids['root']}")
    expect(page.locator(".events-panel .list-summary")).to_have_text("16 events")
    detail = page.locator(".ev-detail")
    status = page.locator(".events-panel .err-status")

    page.locator(".ev-list").focus()
    page.keyboard.press("e")
    expect(detail.locator(".detail-msg")).to_have_text("no flights left")
    expect(status).to_have_text("error 1 of 3")
    # The focus stays in the list, so the next key goes on walking the events.
    page.keyboard.press("e")
    expect(detail.locator(".detail-msg")).to_have_text("decoder hiccup")
    expect(page.locator(".ev-row.group-row")).to_have_attribute("aria-expanded", "true")
    expect(page.locator(".ev-row.member-row")).to_have_count(3)
    page.keyboard.press("e")
    expect(detail.locator(".detail-msg")).to_have_text("card declined")
    page.keyboard.press("e")
    expect(detail.locator(".detail-msg")).to_have_text("no flights left")
    expect(status).to_have_text("error 1 of 3 (wrapped to the first)")
    page.keyboard.press("Shift+E")
    expect(detail.locator(".detail-msg")).to_have_text("card declined")
    page.locator(".events-panel").get_by_role("button", name="Previous error").click()
    expect(detail.locator(".detail-msg")).to_have_text("decoder hiccup")
    # The tree kept its selection: the events' walk does not move it.
    expect(page).to_have_url(re.compile(rf"run={ids['root']}&"))

    # A run without errors says so.
    page.goto(f"{listener.origin}/?run={ids['d']}")
    expect(page.locator(".events-panel .list-summary")).to_have_text("2 events")
    page.locator(".events-panel").get_by_role("button", name="Next error").click()
    expect(status).to_have_text("no errors")
    expect(detail).to_be_hidden()
