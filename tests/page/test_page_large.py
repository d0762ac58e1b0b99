"""A run tree of 10,000 nodes opens without freezing the page: the tree is windowed, opens one
level deep, and answers the mouse and the keyboard at once. (How fast is a benchmark row:
benchmarks/bench_page.py.)"""

from __future__ import annotations

import re

from playwright.sync_api import expect

from page_helpers import event, now_ms, run_ctx, uid

CHILDREN = 99
GRANDCHILDREN = 100  # 1 + 99 + 99 * 100 = 10,000 runs


def upload_big_tree(listener) -> str:
    root = uid("big")
    base = now_ms() - 60_000
    evs = [event("agent_task.started", run_ctx(root, agent="Conductor"), ts=base)]
    for c in range(CHILDREN):
        cid = f"{root}-c{c:02d}"
        evs.append(event("agent_task.started", run_ctx(cid, root=root, parent=root, agent=f"Section {c:02d}"), ts=base + 10 * c))
        for g in range(GRANDCHILDREN):
            gid = f"{cid}-g{g:02d}"
            ctx = run_ctx(gid, root=root, parent=cid, agent=f"Player {c:02d}.{g:02d}")
            evs.append(event("agent_task.started", ctx, ts=base + 10 * c + g))
            if g % 2 == 0:
                evs.append(event("agent_task.completed", ctx, ts=base + 10 * c + g + 5))
    for i in range(0, len(evs), 2500):
        listener.post(evs[i:i + 2500])
    return root


def test_a_10000_node_tree_opens_windowed_and_stays_interactive(listener, open_page):
    root = upload_big_tree(listener)
    page = open_page(f"{listener.origin}/?run={root}")
    view = page.locator("#run-view")
    expect(view).to_have_attribute("data-tree-ready", "10000", timeout=60_000)
    expect(page.locator(".tree-panel .list-summary")).to_have_text(re.compile(r"^10,000 runs · "))
    # Only the rows in view exist; the root's children start closed.
    assert page.locator(".tree-row").count() < 80
    section = page.locator(f'.tree-row[data-run-id="{root}-c50"]')
    page.locator(".tree-list").focus()
    page.keyboard.press("End")
    last = page.locator(".tree-row.active")
    expect(last).to_have_attribute("data-run-id", f"{root}-c98")
    expect(last).to_have_attribute("aria-expanded", "false")

    # Open one section with the keyboard: its hundred players follow it.
    for _ in range(48):
        page.keyboard.press("ArrowUp")
    expect(page.locator(".tree-row.active")).to_have_attribute("data-run-id", f"{root}-c50")
    page.keyboard.press("ArrowRight")
    expect(section).to_have_attribute("aria-expanded", "true")
    page.keyboard.press("ArrowRight")
    expect(page.locator(".tree-row.active")).to_have_attribute("data-run-id", f"{root}-c50-g00")
    page.keyboard.press("Enter")
    expect(page.locator(".run-header h2")).to_have_text("Player 50.00")

    # Everything open: the very last player is reachable and the DOM stays small.
    page.get_by_role("button", name="Expand all").click()
    page.locator(".tree-list").focus()
    page.keyboard.press("End")
    expect(page.locator(".tree-row.active")).to_have_attribute("data-run-id", f"{root}-c98-g99")
    expect(page.locator(".tree-row.active .tname")).to_have_text("Player 98.99")
    assert page.locator(".tree-row").count() < 80
    # Drawn on the waterfall like any other row.
    bar = page.locator(".tree-row.active .bar").bounding_box()
    assert bar and bar["width"] >= 1
