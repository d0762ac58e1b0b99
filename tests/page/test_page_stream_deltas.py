"""Stream deltas of one call of one run fold into one row: the count of deltas (a coalesced event
counting for the deltas it holds), the time from the call's start to its first delta, the row
opening to show them; deltas of another call or another run do not join it, and live deltas
join the row they belong to. Everything goes through a real listener's /ingest."""

from __future__ import annotations

import pytest
from playwright.sync_api import expect

from page_helpers import event, now_ms, run_ctx, uid


def delta(run, ts, text, **payload):
    return event("stream.delta", run, ts=ts, message=text, payload={"delta": text, **payload})


@pytest.mark.timeout(120)
def test_deltas_fold_per_call_with_their_count_and_time_to_first_delta(listener, open_page):
    rid, other = uid("writer"), uid("helper")
    R = run_ctx(rid, agent="Writer")
    O = run_ctx(other, root=rid, parent=rid, agent="Helper")
    base = now_ms() - 60_000
    evs = [
        event("agent_task.started", R, ts=base),
        event("agent_task.started", O, ts=base + 5),
        event("agent_task.action.started", R, ts=base + 100, message="first call"),
        delta(R, base + 220, "Glaciers ", call_id="c1"),
        # A delta of another run in between does not break the group.
        delta(O, base + 225, "(aside)"),
        delta(R, base + 230, "flow ", call_id="c1"),
        # Another call of the same run streaming at the same time: a group of its own.
        delta(R, base + 233, "Ice ", call_id="c2"),
        delta(R, base + 240, "slowly.", call_id="c1"),
        delta(R, base + 245, "melts.", call_id="c2"),
        event("agent_task.action.completed", R, ts=base + 300, message="first call done"),
        event("agent_task.action.started", R, ts=base + 1000, message="second call"),
        # Coalesced upstream: one event standing for four deltas.
        event("stream.delta", R, ts=base + 1450, message="4 deltas",
              meta={"coalesced": True, "coalesced_count": 4},
              payload={"events": [{"delta": "A "}, {"delta": "B "}, {"delta": "C "}, {"delta": "D "}]}),
        delta(R, base + 1460, "E."),
    ]
    assert listener.post(evs)["accepted"] == len(evs)

    page = open_page(f"{listener.origin}/?run={rid}")
    expect(page.locator(".events-panel .list-summary")).to_have_text(f"{len(evs)} events")
    groups = page.locator(".ev-row.group-row")
    expect(groups).to_have_count(3)
    c1, c2, second = groups.nth(0), groups.nth(1), groups.nth(2)
    expect(c1.locator(".etype")).to_have_text("stream.delta ×3")
    expect(c1.locator(".e5")).to_have_text("Glaciers flow slowly.")
    # From the call's start (the action started at +100 ms) to its first delta at +220 ms.
    expect(c1.locator(".fold-facts")).to_have_text("first after 120 ms")
    expect(c2.locator(".etype")).to_have_text("stream.delta ×2")
    expect(c2.locator(".e5")).to_have_text("Ice melts.")
    # The other run's lone delta stays a plain row.
    expect(page.locator(".ev-row:not(.group-row)", has_text="(aside)")).to_have_count(1)

    expect(second.locator(".etype")).to_have_text("stream.delta ×5")
    expect(second.locator(".etype")).to_have_attribute("title", "5 deltas in 2 events")
    expect(second.locator(".e5")).to_have_text("A B C D E.")
    expect(second.locator(".fold-facts")).to_have_text("first after 450 ms")

    # The row opens to show its events; Enter on a member opens it.
    second.locator(".twisty").click()
    members = page.locator(".ev-row.member-row")
    expect(members).to_have_count(2)
    members.nth(0).click()
    expect(page.locator(".ev-detail .sec-meta .json")).to_contain_text('"coalesced_count": 4')

    # Deltas arriving live join the group of their call; one of a call whose group ended with
    # the action's completion starts a row of its own.
    page.locator(".ev-detail .close").click()
    assert listener.post([delta(R, base + 1470, " And more.")])["accepted"] == 1
    expect(second.locator(".etype")).to_have_text("stream.delta ×6")
    expect(second.locator(".e5")).to_have_text("A B C D E. And more.")
    assert listener.post([delta(R, base + 1480, "late", call_id="c1")])["accepted"] == 1
    expect(page.locator(".ev-row:not(.group-row)", has_text="late")).to_have_count(1)
    expect(groups).to_have_count(3)
