"""The runs list: filters and search through the listener, paging, deep links and the back button,
the keyboard, untrusted text shown as text, layouts from 1280 px down to 800 px in light and dark,
and the API key asked once per tab."""

from __future__ import annotations

import re

from playwright.sync_api import expect

from page_helpers import event, now_ms, run_ctx, uid


def row(page, run_id):
    return page.locator(f'.run-row[data-run-id="{run_id}"]')


def shown_ids(page):
    return set(page.locator(".run-row").evaluate_all("rows => rows.map(r => r.dataset.runId)"))


def upload_mix(listener):
    """Four runs of one app, differing in kind, group, environment, status and age."""
    app = uid("app")
    ids = {k: uid(k) for k in ("alpha", "beta", "gamma", "old")}
    needle = uid("zebra")
    now = now_ms()
    old = now - 3 * 86_400_000

    def post(rid, agent, kind, group, env, events):
        evs = [event(t, run_ctx(rid, agent=agent, kind=kind), ts=ts, **kw) for t, ts, kw in events]
        listener.post(evs, app_id=app, group_id=group, environment=env)

    post(ids["alpha"], "Alpha", "agent_task", "g1", "prod",
         [("agent_task.started", now - 5000, {}), ("agent_task.completed", now - 4000, {})])
    post(ids["beta"], "Beta", "tool_call", "g2", "staging",
         [("tool_call.started", now - 3000, {}), ("tool_call.failed", now - 2000, {"level": "error"})])
    post(ids["gamma"], "Gamma", "agent_task", "g1", "staging",
         [("agent_task.started", now - 1000, {}),
          ("agent_task.action.completed", now - 900, {"payload": {"note": f"saw a {needle} today"}})])
    post(ids["old"], "Elder", "agent_task", "g1", "prod",
         [("agent_task.started", old, {}), ("agent_task.completed", old + 10, {})])
    return app, ids, needle


def test_filters_and_search_narrow_the_list_through_the_listener(listener, open_page):
    app, ids, needle = upload_mix(listener)
    page = open_page(f"{listener.origin}/?app={app}")
    for rid in ids.values():
        expect(row(page, rid)).to_be_visible()
    assert shown_ids(page) == set(ids.values())

    page.locator("select[name=status]").select_option("failed")
    expect(page).to_have_url(re.compile(r"status=failed"))
    expect(page.locator(".run-row")).to_have_count(1)
    expect(row(page, ids["beta"])).to_have_attribute("data-state", "failed")

    page.locator("select[name=status]").select_option("")
    page.locator("input[name=kind]").fill("agent_task")
    page.locator("input[name=kind]").press("Tab")
    expect(page.locator(".run-row")).to_have_count(3)
    page.locator("input[name=env]").fill("staging")
    page.locator("input[name=env]").press("Tab")
    expect(page.locator(".run-row")).to_have_count(1)
    expect(row(page, ids["gamma"])).to_be_visible()
    page.locator("input[name=group]").fill("g2")
    page.locator("input[name=group]").press("Tab")
    expect(page.locator("#runs-view .empty")).to_contain_text("No run matches these filters")
    page.get_by_role("button", name="Clear filters").click()
    expect(page).not_to_have_url(re.compile(r"kind=|env=|group=|app="))

    # One search box with the listener's meaning: case-folded, through the runs' event text.
    page.goto(f"{listener.origin}/?app={app}")
    search = page.get_by_role("searchbox", name="Search runs")
    search.fill(needle.upper())
    search.press("Enter")
    expect(page).to_have_url(re.compile(rf"q={needle.upper()}"))
    expect(page.locator(".run-row")).to_have_count(1)
    expect(row(page, ids["gamma"])).to_be_visible()
    search.fill("beta")
    expect(page.locator(".run-row")).to_have_count(1)
    expect(row(page, ids["beta"])).to_be_visible()
    search.fill("")
    search.press("Enter")

    # The time window leaves out the run of three days ago.
    page.locator("select[name=window]").select_option("24h")
    expect(page.locator(".run-row")).to_have_count(3)
    expect(row(page, ids["old"])).to_have_count(0)
    page.locator("select[name=window]").select_option("7d")
    expect(row(page, ids["old"])).to_be_visible()


def test_many_runs_page_and_the_list_stays_windowed(listener, open_page):
    app = uid("many")
    base = now_ms() - 600_000
    evs = [event("agent_task.started", run_ctx(f"{app}-{i:03d}", agent=f"Worker {i}"), ts=base + i)
           for i in range(230)]
    listener.post(evs, app_id=app)
    page = open_page(f"{listener.origin}/?app={app}")
    expect(page.locator(".runs-top .list-summary")).to_have_text("100 runs shown matching")
    assert page.locator(".run-row").count() < 60
    more = page.get_by_role("button", name="Load older runs")
    more.click()
    expect(page.locator(".runs-top .list-summary")).to_have_text("200 runs shown matching")
    more.click()
    expect(page.locator(".runs-top .list-summary")).to_have_text("230 runs matching")
    expect(more).to_be_hidden()
    page.locator(".runs-list").focus()
    page.keyboard.press("End")
    # Newest first: the last row is the run that started first.
    expect(page.locator(".run-row.active")).to_have_attribute("data-run-id", f"{app}-000")
    assert page.locator(".run-row").count() < 60


def test_a_deep_link_opens_the_same_view_in_a_fresh_page_and_back_works(listener, open_page):
    app, ids, _ = upload_mix(listener)
    beta = ids["beta"]
    failed_event = listener.get(f"/runs/{beta}/events")["events"][-1]
    url = f"{listener.origin}/?app={app}&status=failed&run={beta}&event={failed_event['event_id']}"

    page = open_page(url)  # a fresh context: nothing in it but the address
    expect(page.locator(".run-header h2")).to_have_text("Beta")
    expect(page.locator(".ev-detail h4")).to_have_text("tool_call.failed")
    expect(page.locator(f'.tree-row[data-run-id="{beta}"]')).to_have_attribute("aria-selected", "true")
    page.locator(".back").click()
    expect(page.locator(".run-row")).to_have_count(1)
    expect(page.locator("select[name=status]")).to_have_value("failed")
    expect(page.locator("input[name=app]")).to_have_value(app)
    expect(page).to_have_url(re.compile(rf"\?status=failed&app={app}$"))

    # Back and forward move between the list and the run as a user expects.
    row(page, beta).click()
    expect(page.locator(".run-header h2")).to_have_text("Beta")
    page.go_back()
    expect(page.locator("#runs-view")).to_be_visible()
    expect(page.locator("#run-view")).to_be_hidden()
    page.go_forward()
    expect(page.locator(".run-header h2")).to_have_text("Beta")
    page.go_back()
    page.go_back()  # the deep link itself
    expect(page.locator(".run-header h2")).to_have_text("Beta")
    expect(page.locator(".ev-detail h4")).to_have_text("tool_call.failed")


def test_keyboard_moves_through_the_list_and_the_focus_is_visible(listener, open_page):
    app, ids, _ = upload_mix(listener)
    page = open_page(f"{listener.origin}/?app={app}")
    expect(page.locator(".run-row")).to_have_count(4)
    search = page.get_by_role("searchbox", name="Search runs")
    expect(search).to_be_focused()
    page.keyboard.press("ArrowDown")  # from the search box into the list
    lst = page.locator(".runs-list")
    expect(lst).to_be_focused()
    active = page.locator(".run-row.active")
    expect(active).to_have_attribute("data-run-id", ids["gamma"])
    assert active.evaluate("el => getComputedStyle(el).outlineStyle") == "solid"
    assert lst.get_attribute("aria-activedescendant") == active.get_attribute("id")
    page.keyboard.press("ArrowDown")
    expect(active).to_have_attribute("data-run-id", ids["beta"])
    page.keyboard.press("Enter")
    expect(page.locator(".run-header h2")).to_have_text("Beta")
    expect(page.locator(".tree-list")).to_be_focused()
    page.keyboard.press("Escape")
    expect(page.locator("#runs-view")).to_be_visible()
    expect(page.locator(".run-row.active")).to_have_attribute("data-run-id", ids["beta"])
    page.keyboard.press("/")
    expect(search).to_be_focused()


def test_untrusted_text_is_shown_as_text(listener, open_page):
    rid = uid("xss")
    evil = '<img src=x onerror="window.__owned=1">'
    listener.post([event("agent_task.started", run_ctx(rid, agent=evil), message='<b onmouseover="window.__owned=2">hi</b>',
                         payload={"html": evil})], app_id=rid)
    page = open_page(f"{listener.origin}/?app={rid}")
    r = row(page, rid)
    expect(r.locator(".run-name")).to_have_text(evil)
    r.click()
    expect(page.locator(".run-header h2")).to_have_text(evil)
    page.locator(".ev-row").first.click()
    expect(page.locator(".ev-detail .sec-payload .json")).to_contain_text('"html"')
    assert page.locator("img, b").count() == 0
    assert page.evaluate("window.__owned") is None


def _no_overflow(page, width):
    sizes = page.evaluate("() => [document.documentElement.scrollWidth, innerWidth]")
    assert sizes[0] <= sizes[1] == width, f"the page is wider than the window: {sizes}"
    for sel in (".topbar", ".runs-table, .tree-panel", "#pause"):
        box = page.locator(sel).first.bounding_box()
        if box:
            assert box["x"] >= 0 and box["x"] + box["width"] <= width + 0.5, (sel, box)


def test_layout_holds_from_1280_down_to_800_px_in_light_and_dark(listener, open_page):
    app, ids, _ = upload_mix(listener)
    for width, scheme in ((1280, "light"), (1024, "dark"), (800, "light"), (800, "dark")):
        page = open_page(f"{listener.origin}/?app={app}", width=width, color_scheme=scheme)
        expect(page.locator(".run-row")).to_have_count(4)
        _no_overflow(page, width)
        name = row(page, ids["gamma"]).locator(".run-name").bounding_box()
        assert name and name["width"] > 30, "the run's name has no room"
        bg, fg = page.evaluate("() => [getComputedStyle(document.body).backgroundColor, getComputedStyle(document.body).color]")
        lum = [sum(int(x) for x in re.findall(r"\d+", c)[:3]) / 765 for c in (bg, fg)]
        if scheme == "dark":
            assert lum[0] < 0.2 and lum[1] > 0.7, (bg, fg)
        else:
            assert lum[0] > 0.9 and lum[1] < 0.25, (bg, fg)
        row(page, ids["beta"]).click()
        expect(page.locator(".run-header h2")).to_have_text("Beta")
        page.locator(".ev-row").first.click()
        expect(page.locator(".ev-detail")).to_be_visible()
        _no_overflow(page, width)
        detail = page.locator(".ev-detail").bounding_box()
        assert detail["width"] > 250 and detail["height"] > 120, detail


def test_with_an_api_key_the_page_asks_once_per_tab_and_never_puts_it_in_the_address(make_listener, open_page):
    key = uid("key")
    lst = make_listener(api_key=key).start()
    rid = uid("guarded")
    lst.post([event("agent_task.started", run_ctx(rid, agent="Guarded"))])

    page = open_page(lst.origin + "/")
    dialog = page.locator("#key-dialog")
    expect(dialog).to_be_visible()
    dialog.locator("input").fill("not-the-key")
    dialog.locator("input").press("Enter")
    expect(dialog.locator(".key-note")).to_have_text(re.compile("did not accept"))
    expect(dialog).to_be_visible()
    dialog.locator("input").fill(key)
    dialog.get_by_role("button", name="Continue").click()
    expect(row(page, rid)).to_be_visible()
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")
    expect(dialog).to_be_hidden()

    # Live updates come through the authorised stream.
    later = uid("later")
    lst.post([event("agent_task.started", run_ctx(later, agent="Later"))])
    expect(row(page, later)).to_be_visible()

    # Kept for the tab: a reload does not ask again; never in the address or in localStorage.
    row(page, rid).click()
    expect(page.locator(".run-header h2")).to_have_text("Guarded")
    page.reload()
    expect(page.locator(".run-header h2")).to_have_text("Guarded")
    expect(dialog).to_be_hidden()
    assert key not in page.url
    assert page.evaluate("() => JSON.stringify(localStorage)").find(key) < 0
    assert key in page.evaluate("() => Object.values(sessionStorage)")
    assert page.evaluate("() => document.cookie").find(key) < 0

    # Another tab (a fresh context) asks again.
    other = open_page(lst.origin + "/")
    expect(other.locator("#key-dialog")).to_be_visible()
