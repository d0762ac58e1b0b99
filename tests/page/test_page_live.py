"""The page stays live: runs uploaded by a real RemoteTraceSink appear without a reload, the pause
toggle holds updates back and counts them, and the page reconnects after the listener restarts."""

from __future__ import annotations

import re
import warnings

from playwright.sync_api import expect

from page_helpers import event, flush, now_ms, run_ctx, uid


def _sink(listener, **kw):
    from orvane_devtools.observation.backends.Uplink import ObservationBridgeUnavailableWarning, RemoteTraceSink

    warnings.simplefilter("ignore", ObservationBridgeUnavailableWarning)
    return RemoteTraceSink(endpoint=listener.ingest_url, api_key=None, background_flush_interval=0.05, **kw)


def _row(page, run_id):
    return page.locator(f'.run-row[data-run-id="{run_id}"]')


def test_runs_appear_and_change_live_while_a_remote_sink_uploads(listener, open_page):
    page = open_page(listener.origin + "/")
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")
    page.evaluate("window.__notReloaded = true")

    root = uid("live")
    t0 = now_ms()
    sink = _sink(listener, app_id="live-app", group_id="team-live", environment="staging")
    sink.append_event_nowait(event("agent_task.started", run_ctx(root, agent="LiveAgent"), ts=t0, message="starting up"))

    row = _row(page, root)
    expect(row).to_be_visible()
    expect(row).to_have_attribute("data-state", "running")
    expect(row.locator(".run-name")).to_have_text("LiveAgent")
    expect(row.locator(".c3")).to_have_text("live-app · team-live · staging")
    expect(row.locator(".badge")).to_have_text("running")

    child = uid("live-child")
    sink.append_event_nowait(event("agent_task.started", run_ctx(child, root=root, parent=root, agent="Helper"), ts=t0 + 5))
    sink.append_event_nowait(event("agent_task.completed", run_ctx(child, root=root, parent=root, agent="Helper"), ts=t0 + 6))
    sink.append_event_nowait(event("agent_task.completed", run_ctx(root, agent="LiveAgent"), ts=t0 + 7, message="all done"))
    flush(sink)

    expect(row).to_have_attribute("data-state", "completed")
    expect(row.locator(".c6")).to_have_text("2")
    expect(row.locator(".run-line2")).to_have_text("all done")
    child_row = _row(page, child)
    expect(child_row).to_have_attribute("data-state", "completed")
    # Newest first: the child started after the root, so it sits above it.
    ids = page.locator(".run-row").evaluate_all("rows => rows.map(r => [r.dataset.runId, r.getBoundingClientRect().top])")
    tops = {rid: top for rid, top in ids}
    assert tops[child] < tops[root]
    assert page.evaluate("window.__notReloaded") is True


def test_pause_holds_updates_back_counts_them_and_resume_shows_them(listener, open_page):
    page = open_page(listener.origin + "/")
    conn = page.locator("#conn")
    expect(conn).to_have_attribute("data-state", "live")
    pause = page.locator("#pause")
    pause.click()
    expect(pause).to_have_attribute("aria-pressed", "true")
    expect(pause).to_have_text("Resume")
    expect(conn).to_have_text("Paused")

    held = [uid("held"), uid("held")]
    for rid in held:
        listener.post([event("agent_task.started", run_ctx(rid, agent="Held"))])
    marker = page.locator("#new-marker")
    expect(marker).to_have_text("2 new runs")
    # The messages have arrived (the marker counts them), yet the list has not changed.
    for rid in held:
        expect(_row(page, rid)).to_have_count(0)

    page.keyboard.press("p")  # the keyboard toggle resumes as the button does
    expect(pause).to_have_attribute("aria-pressed", "false")
    expect(marker).to_be_hidden()
    for rid in held:
        expect(_row(page, rid)).to_be_visible()
    expect(conn).to_have_text("Live")


def test_page_reconnects_by_itself_after_the_listener_restarts(make_listener, open_page):
    lst = make_listener().start()
    before = uid("before")
    lst.post([event("agent_task.started", run_ctx(before, agent="Before"))])
    page = open_page(lst.origin + "/")
    conn = page.locator("#conn")
    expect(conn).to_have_attribute("data-state", "live")
    expect(_row(page, before)).to_be_visible()

    lst.stop()
    expect(conn).to_have_attribute("data-state", "reconnecting")
    lst.start()  # same port, same database
    expect(conn).to_have_attribute("data-state", "live")

    after = uid("after")
    lst.post([event("agent_task.started", run_ctx(after, agent="After"))])
    expect(_row(page, after)).to_be_visible()
    expect(_row(page, before)).to_be_visible()


def test_an_open_run_grows_live_children_events_and_status(listener, open_page):
    root = uid("grow")
    R = run_ctx(root, agent="Grower")
    listener.post([event("agent_task.started", R, message="growing")])
    page = open_page(f"{listener.origin}/?run={root}")
    expect(page.locator(".run-header .badge")).to_have_text("running")
    expect(page.locator(".events-panel .list-summary")).to_have_text("1 event")

    child = uid("sprout")
    C = run_ctx(child, root=root, parent=root, agent="Sprout")
    listener.post([event("agent_task.started", C, message="sprouting"),
                   event("agent_task.action.completed", C, message="leaf one")])
    expect(page.locator(f'.tree-row[data-run-id="{child}"]')).to_be_visible()
    expect(page.locator(".ev-row", has_text="leaf one")).to_be_visible()
    expect(page.locator(".events-panel .list-summary")).to_have_text("3 events")

    # Without the child runs, only the root's own events; the choice is kept in the address.
    page.get_by_label("include child runs").uncheck()
    expect(page).to_have_url(re.compile(r"desc=0"))
    expect(page.locator(".events-panel .list-summary")).to_have_text("1 event")
    listener.post([event("agent_task.action.completed", C, message="leaf two")])
    listener.post([event("agent_task.completed", R, message="grown")])
    expect(page.locator(".run-header .badge")).to_have_text("completed")
    expect(page.locator(".ev-row", has_text="grown")).to_be_visible()
    expect(page.locator(".ev-row", has_text="leaf two")).to_have_count(0)
    expect(page.locator(".events-panel .list-summary")).to_have_text("2 events")
