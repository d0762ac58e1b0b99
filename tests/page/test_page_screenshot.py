"""The demo's session, sent by ``orvane-devtools demo --endpoint URL`` to a listener subprocess,
read in the page as a user would: the run tree with its failed child and, once the listener
judges it, its orphan. The screenshot taken here is the one in the README (set
ORVANE_PAGE_SCREENSHOT=docs/page-run-tree.png to write it there)."""

from __future__ import annotations

import os
import re
import struct
import subprocess
import sys
import time
from pathlib import Path

from playwright.sync_api import expect

ORPHAN_WAIT_S = 30.0  # the listener here judges an orphan 1 s after its root ended


def test_demo_session_in_the_page_with_a_failed_child_and_an_orphan(make_listener, open_page, tmp_path):
    lst = make_listener(extra=("--orphan-after", "1")).start()
    out = subprocess.run([sys.executable, "-m", "orvane_devtools", "demo", "--endpoint", lst.ingest_url,
                          "--out", str(tmp_path / "demo")], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stdout + out.stderr
    root = re.search(r"to see (run-root\S*) in the web page", out.stdout).group(1)
    tag = root[len("run-root"):]

    page = open_page(f"{lst.origin}/?run={root}", width=1280, height=800)
    expect(page.locator(".run-header h2")).to_have_text("Researcher")
    expect(page.locator(f'.tree-row[data-run-id="run-summarize{tag}"]')).to_have_attribute("data-state", "failed")
    expect(page.locator(".ev-row.group-row .etype")).to_have_text("stream.delta ×3")

    # The translator was left running when the root ended; the page shows it open until the
    # listener's verdict, then marks it orphaned without a reload (the page re-reads open trees).
    orphan = page.locator(f'.tree-row[data-run-id="run-translate{tag}"]')
    expect(orphan).to_have_attribute("data-state", re.compile("running|orphaned"))
    deadline = time.monotonic() + ORPHAN_WAIT_S
    while orphan.get_attribute("data-state") != "orphaned" and time.monotonic() < deadline:
        page.wait_for_timeout(500)
    expect(orphan).to_have_attribute("data-state", "orphaned", timeout=1000)
    expect(orphan.locator(".chip")).to_have_attribute("title", re.compile("^Orphaned: left running after its parent run ended at"))
    expect(page.locator(".tree-panel .list-summary")).to_have_text("4 runs · 1 failed · 1 orphaned")

    page.locator(".ev-row", has_text="agent_task.failed").click()
    expect(page.locator(".ev-detail .sec-error .json")).to_contain_text('"type": "TimeoutError"')
    page.mouse.move(0, 0)
    page.wait_for_timeout(200)  # let the last frame settle
    shot = tmp_path / "page-run-tree.png"
    page.screenshot(path=str(shot))
    data = shot.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    assert struct.unpack(">II", data[16:24]) == (1280, 800)
    target = os.environ.get("ORVANE_PAGE_SCREENSHOT")
    if target:
        Path(target).write_bytes(data)
