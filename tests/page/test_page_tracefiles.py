"""Trace files in the page: a file dropped on it or chosen with "Open file" is imported (in
bodies under the listener's limit, gzip too) and its runs shown; a run downloads as a file."""

from __future__ import annotations

import gzip
import json
import re

from playwright.sync_api import expect

from page_helpers import event, now_ms, run_ctx, uid


def tree_file(root: str, children: int = 2, progress: int = 3) -> list[dict]:
    """A finished tree two minutes old, as the JSON Lines backend writes it."""
    base = now_ms() - 120_000
    R = run_ctx(root, agent="Planner")
    lines = [event("agent_task.started", R, ts=base, message="plan the trip")]
    for c in range(children):
        ctx = run_ctx(f"{root}-c{c}", root=root, parent=root, agent=f"Helper{c}")
        lines.append(event("agent_task.started", ctx, ts=base + 10 + c))
        lines += [event("agent_task.progress", ctx, ts=base + 20 + c + i, message=f"step {i} " + "x" * 300)
                  for i in range(progress)]
        lines.append(event("agent_task.completed", ctx, ts=base + 900 + c))
    lines.append(event("agent_task.completed", R, ts=base + 1000, message="trip planned"))
    return [e.model_dump(mode="json") for e in lines]


def as_bytes(lines: list[dict], extra: bytes = b"") -> bytes:
    return b"".join(json.dumps(x).encode() + b"\n" for x in lines) + extra


def drop(page, name: str, data: bytes) -> None:
    handle = page.evaluate_handle(
        "([name, bytes]) => { const dt = new DataTransfer();"
        " dt.items.add(new File([new Uint8Array(bytes)], name)); return dt; }", [name, list(data)])
    page.dispatch_event("main", "dragenter", {"dataTransfer": handle})
    expect(page.locator("#drop-zone")).to_be_visible()
    page.dispatch_event("main", "drop", {"dataTransfer": handle})


def test_a_dropped_file_is_imported_and_its_run_opens(listener, open_page):
    root = uid("dropped")
    lines = tree_file(root)
    page = open_page(f"{listener.origin}/")
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")
    drop(page, "trace.jsonl", as_bytes(lines, b"not json\n{\"event_id\": \"cut"))
    status = page.locator("#import-status")
    expect(status.locator(".import-summary li").first).to_have_text(
        f"trace.jsonl: {len(lines)} events stored, 0 duplicates, 2 bad lines")
    expect(status).to_contain_text(f"line {len(lines) + 1}: not JSON")
    expect(status).to_contain_text(f"line {len(lines) + 2}: cut off")
    expect(page.locator("#drop-zone")).to_be_hidden()
    # The file held one tree: the page shows that run, its address too.
    expect(page).to_have_url(re.compile(rf"\?run={root}$"))
    expect(page.locator(".tree-panel .list-summary")).to_have_text("3 runs")
    expect(page.locator(".run-header h2")).to_have_text("Planner")
    # Dropped again: nothing new.
    drop(page, "trace.jsonl", as_bytes(lines))
    expect(status.locator(".import-summary li").first).to_have_text(
        f"trace.jsonl: 0 events stored, {len(lines)} duplicates, 0 bad lines")
    status.get_by_role("button", name="Close the import summary").click()
    expect(status).to_be_hidden()
    expect(page.locator("#open-file")).to_be_focused()


def test_open_file_sends_bodies_under_the_listeners_limit_and_lists_several_trees(make_listener, open_page, tmp_path):
    listener = make_listener(extra=("--max-body", "4096")).start()
    roots = [uid("big"), uid("other")]
    lines = tree_file(roots[0], children=3, progress=10) + tree_file(roots[1])
    big_line = json.dumps(event("agent_task.progress", run_ctx(roots[1]), message="y" * 5000).model_dump(mode="json"))
    path = tmp_path / "trace.jsonl.gz"
    data = as_bytes(lines[:5]) + big_line.encode() + b"\n" + as_bytes(lines[5:])
    assert len(data) > 4 * 4096
    path.write_bytes(gzip.compress(data))
    page = open_page(f"{listener.origin}/?q=something-else")
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")
    expect(page.locator("input.search")).to_be_focused()  # where the page puts it at first
    with page.expect_file_chooser() as chooser:
        page.locator("#open-file").press("Enter")  # focused, then Enter: as from the keyboard
    chooser.value.set_files(str(path))
    status = page.locator("#import-status")
    expect(status.locator(".import-summary li").first).to_have_text(
        f"trace.jsonl.gz: {len(lines)} events stored, 0 duplicates, 1 bad line")
    expect(status).to_contain_text("line 6: longer than the listener's body limit")
    # Two trees: the list, its filters cleared so that both show.
    expect(page).to_have_url(re.compile(r"/$"))
    for root in roots:
        expect(page.locator(f'.run-row[data-run-id="{root}"]')).to_be_visible()
    assert listener.get(f"/runs/{roots[0]}")["event_count"] == 2


def test_download_gives_the_tree_as_a_file(listener, open_page):
    root = uid("down")
    lines = tree_file(root)
    assert listener.post(lines)["accepted"] == len(lines)
    page = open_page(f"{listener.origin}/?run={root}")
    link = page.locator(".run-header .downloads a", has_text="Download")
    expect(link).to_be_visible()
    with page.expect_download() as done:
        link.click()
    download = done.value
    assert download.suggested_filename == f"run-{root}.jsonl"
    got = [json.loads(x) for x in open(download.path(), "rb").read().splitlines()]
    assert sorted(x["event_id"] for x in got) == sorted(x["event_id"] for x in lines)
    assert [x["timestamp"] for x in got] == sorted(x["timestamp"] for x in lines)  # oldest first
    otlp = page.locator(".run-header .downloads a", has_text="OTLP JSON")
    with page.expect_download() as done:
        otlp.click()
    assert done.value.suggested_filename == f"run-{root}.otlp.jsonl"
    assert b'"resourceSpans"' in open(done.value.path(), "rb").read()


def test_a_run_of_a_session_downloads_the_whole_session(listener, open_page):
    session = uid("sess")
    first, second, other = uid("turn1"), uid("turn2"), uid("elsewhere")
    lines = []
    for root, sess in ((first, session), (second, session), (other, None)):
        tree = tree_file(root)
        for line in tree:
            if sess:
                line["run"]["session_id"] = sess
        lines += tree
    assert listener.post(lines)["accepted"] == len(lines)
    page = open_page(f"{listener.origin}/?run={second}")
    link = page.locator(".run-header .downloads a", has_text="Download session")
    expect(link).to_be_visible()
    with page.expect_download() as done:
        link.click()
    assert done.value.suggested_filename == f"session-{session}.jsonl"
    got = [json.loads(x) for x in open(done.value.path(), "rb").read().splitlines()]
    assert {x["run"]["root_run_id"] for x in got} == {first, second}
    assert len(got) == len(lines) * 2 // 3
    # A run of no session has no such link.
    page.goto(f"{listener.origin}/?run={other}")
    expect(page.locator(".run-header .downloads a", has_text="OTLP JSON")).to_be_visible()
    expect(page.locator(".run-header .downloads a", has_text="Download session")).to_have_count(0)


def test_download_and_import_with_an_api_key(make_listener, open_page, tmp_path):
    listener = make_listener(api_key="page-key-1").start()
    root = uid("keyed")
    lines = tree_file(root)
    page = open_page(f"{listener.origin}/")
    page.locator("#key-dialog input").fill("page-key-1")
    page.locator("#key-dialog button").click()
    expect(page.locator("#conn")).to_have_attribute("data-state", "live")
    drop(page, "keyed.jsonl", as_bytes(lines))
    expect(page).to_have_url(re.compile(rf"\?run={root}$"))
    with page.expect_download() as done:
        page.locator(".run-header .downloads a", has_text="Download").click()
    assert done.value.suggested_filename == f"run-{root}.jsonl"
    assert len(open(done.value.path(), "rb").read().splitlines()) == len(lines)
