"""The page's answer to a ``gap`` on its stream (the listener dropped messages for it): a live
page reads what it shows again, a paused page counts the gap and reads again when resumed, and
every overflow of a real stream is answered, also one that comes while the previous one's
re-read is still under way.

The first two drive the page with a stream served by the test (``page.route``): the page gets a
hello and a gap and nothing else, and its later reconnections are held, so that no other road
(a resumed stream, the periodic re-read of a live page) can bring the run posted meanwhile. The
others overflow a real listener's stream (``--stream-queue-size 1``) again and again.
"""

from __future__ import annotations

import json
import re
import time

import pytest
from playwright.sync_api import expect

from page_helpers import event, now_ms, run_ctx, uid

pytestmark = pytest.mark.timeout(120)

STREAM = re.compile(r"/observation/stream(\?|$)")


def row(page, run_id):
    return page.locator(f'.run-row[data-run-id="{run_id}"]')


def finished_run(run_id, *, agent, t):
    """A completed run (a list of completed runs is re-read only once a minute by itself)."""
    ctx = run_ctx(run_id, agent=agent)
    return [event("agent_task.started", ctx, ts=t), event("agent_task.completed", ctx, ts=t + 1)]


def sse(*messages):
    return "".join(f"event: {name}\ndata: {json.dumps(data)}\n\n" for name, data in messages)


class HeldStream:
    """Holds every request of the page's stream; ``serve_next`` answers the oldest held one
    with a stream that ends after the given messages."""

    def __init__(self, page):
        self.held = []
        page.route(STREAM, lambda route: self.held.append(route))

    def wait_for(self, page, count):
        deadline = time.monotonic() + 15
        while len(self.held) < count:
            assert time.monotonic() < deadline, "the page did not open its stream"
            page.wait_for_timeout(50)

    def serve_next(self, *messages):
        route = self.held.pop(0)
        hello = "retry: 2000\nid: test-0\n" + sse(("hello", {"epoch": "test", "seq": 0}))
        route.fulfill(status=200, headers={"Cache-Control": "no-cache"}, content_type="text/event-stream",
                      body=hello + sse(*messages))


def open_list_with_held_stream(listener, open_page):
    app = uid("gap-app")
    before = uid("before")
    listener.post(finished_run(before, agent="Before", t=now_ms() - 10_000), app_id=app)
    page = open_page("about:blank")
    stream = HeldStream(page)
    page.goto(f"{listener.origin}/?app={app}", wait_until="domcontentloaded")
    expect(row(page, before)).to_be_visible()
    stream.wait_for(page, 1)
    return page, stream, app


def test_a_live_page_reads_its_list_again_on_a_gap(listener, open_page):
    page, stream, app = open_list_with_held_stream(listener, open_page)
    meanwhile = uid("meanwhile")
    listener.post(finished_run(meanwhile, agent="Meanwhile", t=now_ms()), app_id=app)
    assert listener.get(f"/runs/{meanwhile}")["status"] == "completed"
    page.wait_for_timeout(300)
    expect(row(page, meanwhile)).to_have_count(0)  # nothing has told the page yet

    stream.serve_next(("gap", {"dropped": 2, "reason": "overflow"}))
    expect(row(page, meanwhile)).to_be_visible()
    expect(row(page, meanwhile)).to_have_attribute("data-state", "completed")
    # The run came through a re-read: the stream brought no run message, and the page has not
    # got another stream since (the next one is held).
    stream.wait_for(page, 1)
    expect(page.locator("#conn")).to_have_attribute("data-state", "reconnecting")


def test_a_paused_page_counts_the_gap_and_reads_again_when_resumed(listener, open_page):
    page, stream, app = open_list_with_held_stream(listener, open_page)
    pause = page.locator("#pause")
    pause.click()
    expect(pause).to_have_attribute("aria-pressed", "true")
    meanwhile = uid("meanwhile")
    listener.post(finished_run(meanwhile, agent="Meanwhile", t=now_ms()), app_id=app)

    stream.serve_next(("gap", {"dropped": 3, "reason": "overflow"}))
    marker = page.locator("#new-marker")
    expect(marker).to_be_visible()
    expect(marker).to_have_text("3 new events")
    page.wait_for_timeout(300)
    expect(row(page, meanwhile)).to_have_count(0)  # held back while paused

    pause.click()
    expect(pause).to_have_attribute("aria-pressed", "false")
    expect(marker).to_be_hidden()
    expect(row(page, meanwhile)).to_be_visible()


def test_every_overflow_of_a_real_stream_is_answered(make_listener, open_page):
    lst = make_listener(extra=("--stream-queue-size", "1")).start()
    page = open_page(lst.origin + "/")
    runs_reads = []
    page.on("request", lambda r: runs_reads.append(r.url) if "/observation/runs?" in r.url else None)
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")
    # The page's first periodic re-read comes a few seconds after it opened (later ones a minute
    # apart while no run is open): let it pass, so that only a gap can bring what follows.
    deadline = time.monotonic() + 10
    while len(runs_reads) < 2 and time.monotonic() < deadline:
        page.wait_for_timeout(100)

    for round_ in range(3):
        # Queue of one: the whole batch but its last event is dropped, so the stream says
        # "gap" and brings only the record of the run of that last event.
        dropped, last = uid(f"dropped{round_}"), uid(f"last{round_}")
        t = now_ms()
        lst.post(finished_run(dropped, agent="Dropped", t=t) + finished_run(last, agent="Last", t=t + 5))
        expect(row(page, last)).to_be_visible()
        expect(row(page, dropped)).to_be_visible()
        expect(row(page, dropped)).to_have_attribute("data-state", "completed")
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")


def test_a_gap_during_a_re_read_is_answered_by_another(make_listener, open_page):
    """Overflows come in bursts: a gap that arrives while the page is still waiting for the
    re-read of the previous one (whose answer was read before the new events were stored)
    needs a re-read of its own."""
    lst = make_listener(extra=("--stream-queue-size", "1")).start()
    page = open_page(lst.origin + "/")
    runs_reads = []
    page.on("request", lambda r: runs_reads.append(r.url) if "/observation/runs?" in r.url else None)
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")
    deadline = time.monotonic() + 10
    while len(runs_reads) < 2 and time.monotonic() < deadline:
        page.wait_for_timeout(100)

    held = []

    def hold_one_answer(route):
        # The answer as the listener gives it now, handed to the page only when the test says.
        if held:
            route.continue_()
        else:
            held.append((route, route.fetch()))

    page.route(re.compile(r"/observation/runs\?"), hold_one_answer)
    first, first_last = uid("dropped-a"), uid("last-a")
    t = now_ms()
    lst.post(finished_run(first, agent="Dropped", t=t) + finished_run(first_last, agent="Last", t=t + 5))
    deadline = time.monotonic() + 15
    while not held:
        assert time.monotonic() < deadline, "the gap brought no re-read"
        page.wait_for_timeout(50)
    # A second overflow while that answer is on its way.
    second, second_last = uid("dropped-b"), uid("last-b")
    lst.post(finished_run(second, agent="Dropped", t=t + 10) + finished_run(second_last, agent="Last", t=t + 15))
    expect(row(page, second_last)).to_be_visible()  # its record came after the second gap
    route, answer = held[0]
    route.fulfill(response=answer)
    for run_id in (first, first_last, second, second_last):
        expect(row(page, run_id)).to_be_visible()
