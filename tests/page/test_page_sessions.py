"""The Sessions view (the list with its totals, one session read as its turns, each turn opening
into its run tree, the session's download, live updates, the keyboard and the address) and the
runs list's "Top-level only" switch and sort by cost, against a real listener."""

from __future__ import annotations

import re

import httpx
from playwright.sync_api import expect

from page_helpers import event, now_ms, run_ctx, uid

USAGE = {"prompt_tokens": 1000, "completion_tokens": 200}


def llm_call(run_id: str, parent: str, root: str, session: str | None, model: str, ts: int, took: int,
             usage: dict | None = None) -> list:
    ctx = run_ctx(run_id, root=root, parent=parent, kind="llm", session_id=session)
    return [
        event("llm.started", ctx, ts=ts, payload={"model": model, "provider": "openai",
                                                   "messages": [{"role": "user", "content": "q"}]}),
        event("llm.completed", ctx, ts=ts + took, payload={"model": model, "usage": usage or USAGE,
                                                          "choices": [{"message": {"role": "assistant", "content": "a"}}]}),
    ]


def turn(root: str, session: str, agent: str, ts: int, took: int, calls: list[tuple[str, str | None]]) -> list:
    """A root run of the session with LLM calls under it ((model, session id of the call's run))."""
    ctx = run_ctx(root, agent=agent, session_id=session)
    evs = [event("agent_task.started", ctx, ts=ts, message=f"{agent} starts")]
    for i, (model, call_session) in enumerate(calls):
        evs += llm_call(f"{root}-llm{i}", root, root, call_session, model, ts + 10 + i * 100, 50)
    evs.append(event("agent_task.completed", ctx, ts=ts + took, message=f"{agent} done"))
    return evs


def upload_sessions(listener):
    """Session A: two turns (Planner with a priced call, Critic with an unpriced one, its call's
    run carrying no session id); session B, older: one turn."""
    tag = uid("sess")
    a, b = f"{tag}-a", f"{tag}-b"
    now = now_ms()
    ids = {"t1": uid("plan"), "t2": uid("crit"), "b1": uid("solo")}
    listener.post(turn(ids["b1"], b, "Solo", now - 60_000, 1000, [("gpt-4o-mini", b)]), app_id="app-b")
    listener.post(turn(ids["t1"], a, "Planner", now - 9000, 2000, [("gpt-4o-mini", a), ("gpt-4o-mini", a)]))
    listener.post(turn(ids["t2"], a, "Critic", now - 5000, 3000, [("house-model-7b", None)]))
    return tag, a, b, ids


def session_row(page, sid):
    return page.locator(f'.session-row[data-session-id="{sid}"]')


def turn_row(page, run_id):
    return page.locator(f'.turn-row[data-run-id="{run_id}"]')


def test_sessions_list_one_session_its_turns_and_their_trees(listener, open_page):
    tag, a, b, ids = upload_sessions(listener)
    page = open_page(f"{listener.origin}/")
    page.get_by_role("link", name="Sessions").click()
    expect(page).to_have_url(re.compile(r"\?tab=sessions$"))
    page.get_by_role("searchbox", name="Search sessions").fill(tag)
    expect(page.locator(".session-row")).to_have_count(2)
    expect(page).to_have_url(re.compile(rf"sq={tag}"))
    # Newest activity first, with the calls of each session's trees counted once.
    assert page.locator(".session-row").evaluate_all("rs => rs.map(r => r.dataset.sessionId)") == [a, b]
    ra = session_row(page, a)
    expect(ra.locator(".sc-calls")).to_have_text("3")
    expect(ra.locator(".sc-tokens")).to_have_text("3,600")
    expect(ra.locator(".sc-cost")).to_contain_text("+ 1 unpriced")
    expect(ra.locator(".s2")).to_have_text("4")  # the runs that carry the session id
    expect(ra.locator(".list-line2")).to_contain_text("Critic, Planner")
    expect(session_row(page, b).locator(".s3")).to_have_text("app-b")

    # One session: its turns in order, each with its tree's totals, and its download.
    ra.click()
    expect(page).to_have_url(re.compile(rf"tab=sessions&session={a}"))
    expect(page.locator(".session-header h2")).to_have_text(a)
    expect(page.locator(".turn-row")).to_have_count(2)
    assert page.locator(".turn-row").evaluate_all("rs => rs.map(r => r.dataset.runId)") == [ids["t1"], ids["t2"]]
    t1, t2 = turn_row(page, ids["t1"]), turn_row(page, ids["t2"])
    expect(t1.locator(".list-name")).to_have_text("Planner")
    expect(t1.locator(".badge")).to_have_text("completed")
    expect(t1.locator(".t4")).to_have_text("2.00 s")
    expect(t1.locator(".sc-calls")).to_have_text("2")
    expect(t2.locator(".sc-cost")).to_have_text("unpriced")
    expect(page.locator(".session-header")).to_contain_text("Turns2")
    download = page.get_by_role("link", name="Download session")
    href = download.get_attribute("href")
    assert href.endswith(f"/observation/sessions/{a}/export?format=jsonl")
    exported = httpx.get(f"{listener.origin}{href}", timeout=30).text.splitlines()
    assert len(exported) == 2 + 2 * 2 + 2 + 2  # two turns, three calls

    # A turn opens into its run tree; Escape comes back to the session, then to the list.
    t2.click()
    expect(page.locator(".run-header h2")).to_have_text("Critic")
    expect(page.locator(f'.tree-row[data-run-id="{ids["t2"]}-llm0"]')).to_be_visible()
    expect(page.locator("#view-tabs")).to_be_hidden()
    page.keyboard.press("Escape")
    expect(page.locator(".session-header h2")).to_have_text(a)
    expect(page.locator(".turn-row")).to_have_count(2)
    page.get_by_role("link", name="← All sessions").click()
    expect(page.locator(".session-row")).to_have_count(2)
    expect(page).to_have_url(re.compile(rf"\?sq={tag}&tab=sessions$"))

    # The address alone opens the same session in a fresh page; back returns to the list.
    fresh = open_page(f"{listener.origin}/?tab=sessions&session={b}")
    expect(fresh.locator(".turn-row")).to_have_count(1)
    expect(turn_row(fresh, ids["b1"]).locator(".list-name")).to_have_text("Solo")
    missing = open_page(f"{listener.origin}/?tab=sessions&session={tag}-none")
    expect(missing.locator("#sessions-view")).to_contain_text("No session")


def test_the_keyboard_moves_through_sessions_and_turns(listener, open_page):
    tag, a, b, ids = upload_sessions(listener)
    page = open_page(f"{listener.origin}/?tab=sessions&sq={tag}")
    expect(page.locator(".session-row")).to_have_count(2)
    search = page.get_by_role("searchbox", name="Search sessions")
    search.focus()
    page.keyboard.press("ArrowDown")
    active = page.locator(".session-row.active")
    expect(active).to_have_attribute("data-session-id", a)
    page.keyboard.press("ArrowDown")
    expect(active).to_have_attribute("data-session-id", b)
    page.keyboard.press("ArrowUp")
    page.keyboard.press("Enter")
    expect(page.locator(".session-header h2")).to_have_text(a)
    turns = page.locator(".turns-table .list-body")
    expect(turns).to_be_focused()
    expect(page.locator(".turn-row.active")).to_have_attribute("data-run-id", ids["t1"])
    page.keyboard.press("End")
    expect(page.locator(".turn-row.active")).to_have_attribute("data-run-id", ids["t2"])
    page.keyboard.press("Enter")
    expect(page.locator(".run-header h2")).to_have_text("Critic")
    page.keyboard.press("Escape")
    expect(page.locator(".turn-row.active")).to_have_attribute("data-run-id", ids["t2"])
    page.keyboard.press("Escape")  # out of the session
    expect(page.locator(".session-row")).to_have_count(2)
    page.keyboard.press("/")
    expect(search).to_be_focused()


def test_a_new_session_appears_while_the_list_is_open(listener, open_page):
    tag = uid("live")
    page = open_page(f"{listener.origin}/?tab=sessions&sq={tag}")
    expect(page.locator(".sessions-table .empty")).to_contain_text("No session matches")
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")
    root = uid("late")
    listener.post(turn(root, f"{tag}-x", "Late", now_ms() - 500, 100, [("gpt-4o-mini", None)]))
    # Sooner than the slow periodic re-read (every 10 s): the stream's run records ask for it.
    expect(session_row(page, f"{tag}-x").locator(".sc-calls")).to_have_text("1", timeout=6000)


def test_top_level_only_and_the_sort_by_cost_in_the_runs_list(listener, open_page):
    app = uid("top")
    now = now_ms()
    cheap, dear = uid("cheap"), uid("dear")
    small = {"prompt_tokens": 10, "completion_tokens": 1}
    big = {"prompt_tokens": 90_000, "completion_tokens": 9_000}
    for root, usage, ts in ((cheap, small, now - 4000), (dear, big, now - 8000)):
        ctx = run_ctx(root, agent=root)
        evs = [event("agent_task.started", ctx, ts=ts)]
        evs += llm_call(f"{root}-c", root, root, None, "gpt-4o-mini", ts + 5, 20, usage)
        evs.append(event("agent_task.completed", ctx, ts=ts + 100))
        listener.post(evs, app_id=app)
    page = open_page(f"{listener.origin}/?app={app}")
    expect(page.locator(".run-row")).to_have_count(4)
    switch = page.get_by_label("Top-level only")
    switch.check()
    expect(page).to_have_url(re.compile(r"top=1"))
    expect(page.locator(".run-row")).to_have_count(2)
    shown = page.locator(".run-row").evaluate_all("rs => rs.map(r => r.dataset.runId)")
    assert shown == [cheap, dear]  # newest first
    # Each root with its tree's figures.
    expect(page.locator(f'.run-row[data-run-id="{dear}"] .c8')).to_have_text("Σ 99.0k")
    page.locator("select[name=sort]").select_option("cost")
    expect(page).to_have_url(re.compile(r"sort=cost"))
    expect(page.locator(".run-row").first).to_have_attribute("data-run-id", dear)
    assert page.locator(".run-row").count() == 2
    # The address alone gives the same list; unchecking shows the children again.
    fresh = open_page(f"{listener.origin}/?app={app}&top=1&sort=cost")
    expect(fresh.get_by_label("Top-level only")).to_be_checked()
    expect(fresh.locator("select[name=sort]")).to_have_value("cost")
    expect(fresh.locator(".run-row")).to_have_count(2)
    expect(fresh.locator(".run-row").first).to_have_attribute("data-run-id", dear)
    fresh.get_by_label("Top-level only").uncheck()
    expect(fresh.locator(".run-row")).to_have_count(4)
    expect(fresh.locator(".run-row").first).to_have_attribute("data-run-id", re.compile(rf"^{dear}"))
    # A child arriving live is not added to the top-level list.
    fresh.get_by_label("Top-level only").check()
    expect(fresh.locator(".run-row")).to_have_count(2)
    listener.post(llm_call(f"{cheap}-late", cheap, cheap, None, "gpt-4o-mini", now_ms(), 10), app_id=app)
    fresh.wait_for_timeout(2500)
    expect(fresh.locator(".run-row")).to_have_count(2)
