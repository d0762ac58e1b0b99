"""Web page benchmark: the listener as a subprocess, its page in headless Chromium.

Run: PYTHONPATH=src:benchmarks python benchmarks/bench_page.py
(needs Debian's chromium, or ORVANE_CHROMIUM=/path, and Playwright for Python)

* A new run's first event posted to the listener until its row shows in an open page
  (median of 15; target <= 25,000 U, about half a second).
* Opening a 10,000-node run tree from the runs list until it answers a click (the root's first
  child expands), measured in the browser (median of 5; target <= 50,000 U).
* Opening a run of 100,000 events until its newest page shows (median of 3; no target: it must
  not freeze the page, so the longest main-thread task is reported beside it).
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from pathlib import Path

import httpx
from common import report, unit_seconds

TREE_CHILDREN, TREE_GRANDCHILDREN = 99, 100  # 1 + 99 + 9,900 = 10,000 runs
LONG_RUN_EVENTS = 100_000


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Listener:
    def __init__(self, folder: Path) -> None:
        self.port = free_port()
        self.origin = f"http://127.0.0.1:{self.port}"
        self.api = f"{self.origin}/observation"
        env = dict(os.environ)
        env.pop("ORVANE_DEVTOOLS_API_KEY", None)
        self.proc = subprocess.Popen([sys.executable, "-m", "orvane_devtools", "start", "--port", str(self.port),
                                      "--db", str(folder / "bench.sqlite3")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                if httpx.get(f"{self.origin}/healthz", timeout=1).status_code == 200:
                    break
            except httpx.HTTPError:
                time.sleep(0.05)
        else:
            self.proc.kill()
            raise SystemExit("the listener did not start")
        self.client = httpx.Client(timeout=120)

    def post(self, events: list[dict]) -> None:
        r = self.client.post(f"{self.api}/ingest", json={"app_id": "bench-app", "group_id": "bench",
                                                          "environment": "local", "events": events})
        r.raise_for_status()

    def stop(self) -> None:
        self.client.close()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def ev(run: dict, event_type: str, ts: int, message: str | None = None) -> dict:
    return {"event_id": uuid.uuid4().hex, "event_type": event_type, "timestamp": ts, "source": "bench.agent",
            "level": "info", "message": message, "payload": None, "error": None, "meta": {}, "run": run}


def ctx(run_id: str, root: str, parent: str | None, agent: str) -> dict:
    return {"run_id": run_id, "root_run_id": root, "parent_run_id": parent, "run_kind": "agent_task",
            "agent_name": agent}


WATCH_ROWS = """() => {
  window.__seen = {};
  window.__want = new Set();
  const look = () => {
    for (const id of window.__want) {
      if (document.querySelector(`.run-row[data-run-id="${id}"]`)) {
        window.__seen[id] = performance.timeOrigin + performance.now();
        window.__want.delete(id);
      }
    }
  };
  new MutationObserver(look).observe(document.querySelector('.runs-list'),
    { subtree: true, childList: true, attributes: true, attributeFilter: ['data-run-id'] });
}"""

LONG_TASKS = """() => {
  window.__longest = 0;
  new PerformanceObserver((list) => {
    for (const e of list.getEntries()) window.__longest = Math.max(window.__longest, e.duration);
  }).observe({ type: 'longtask', buffered: false });
}"""

OPEN_TREE = """async ([root, child]) => {
  const frame = () => new Promise((r) => requestAnimationFrame(() => r()));
  const t0 = performance.now();
  window.orvaneApp.navigate({ run: root });
  let twisty = null;
  for (;;) {
    const view = document.getElementById('run-view');
    twisty = view.dataset.treeReady === '10000'
      && document.querySelector(`.tree-row[data-run-id="${child}"] .twisty`);
    if (twisty) break;
    await frame();
    if (performance.now() - t0 > 120000) throw new Error('the tree did not open');
  }
  twisty.dispatchEvent(new MouseEvent('click', { bubbles: true }));
  while (document.querySelector(`.tree-row[data-run-id="${child}"]`).getAttribute('aria-expanded') !== 'true') await frame();
  await frame();
  const total = performance.now() - t0;
  // The part spent waiting for the listener: the record and the tree requests.
  let server = 0;
  for (const e of performance.getEntriesByType('resource')) {
    if (e.startTime >= t0 && (e.name.includes('/tree?') || e.name.endsWith(`/runs/${root}`))) server += e.responseEnd - e.startTime;
  }
  return [total, server];
}"""

OPEN_LONG_RUN = """async ([runId, expected]) => {
  const frame = () => new Promise((r) => requestAnimationFrame(() => r()));
  const t0 = performance.now();
  window.orvaneApp.navigate({ run: runId });
  for (;;) {
    const s = document.querySelector('.events-panel .list-summary');
    if (s && s.textContent === expected && document.querySelector('.ev-row')) break;
    await frame();
    if (performance.now() - t0 > 120000) throw new Error('the run did not open: ' + (s && s.textContent));
  }
  await frame();
  return performance.now() - t0;
}"""


def step(text: str) -> None:
    print(f"bench_page: {text}", file=sys.stderr, flush=True)


def chromium() -> str:
    exe = os.environ.get("ORVANE_CHROMIUM") or shutil.which("chromium")
    if not exe:
        raise SystemExit("bench_page needs Chromium: apt-get install chromium (or ORVANE_CHROMIUM=/path)")
    return exe


def main() -> None:
    from playwright.sync_api import sync_playwright

    u = unit_seconds()
    rows = []
    with tempfile.TemporaryDirectory() as tmp, sync_playwright() as p:
        listener = Listener(Path(tmp))
        browser = p.chromium.launch(executable_path=chromium(), headless=True,
                                    args=["--no-sandbox"] if os.geteuid() == 0 else [])
        try:
            page = browser.new_page(viewport={"width": 1280, "height": 800})
            # Some runs already there, as in a listener that has been running for a while.
            now = int(time.time() * 1000)
            listener.post([ev(ctx(f"warm-{i}", f"warm-{i}", None, "Warm"), "agent_task.completed", now - 1000 + i)
                           for i in range(300)])
            page.goto(listener.origin + "/")
            page.wait_for_selector('#conn[data-state="live"]')
            page.wait_for_selector(".run-row")
            page.evaluate(WATCH_ROWS)
            latencies = []
            for i in range(16):
                rid = f"fresh-{uuid.uuid4().hex[:8]}"
                page.evaluate("id => window.__want.add(id)", rid)
                t0 = time.time()
                listener.post([ev(ctx(rid, rid, None, "Fresh"), "agent_task.started", int(t0 * 1000))])
                seen = None
                deadline = time.monotonic() + 30
                while seen is None and time.monotonic() < deadline:
                    seen = page.evaluate("id => window.__seen[id] ?? null", rid)
                    if seen is None:
                        time.sleep(0.002)
                if seen is None:
                    raise SystemExit(f"run {rid} never showed")
                if i:  # the first one warms the page's code paths
                    latencies.append(seen / 1000 - t0)
                time.sleep(0.05)
            lat = statistics.median(latencies)
            rows.append(("page: first event posted -> its run's row shown (median of 15)", lat, lat / u, "<= 25,000 U"))
            rows.append(("  the same, slowest of 15", max(latencies), max(latencies) / u, "-"))

            step(f"row latency {lat * 1000:.1f} ms; uploading a 10,000-node tree")
            # A 10,000-node tree.
            root = "tree-root"
            base = now - 60_000
            evs = [ev(ctx(root, root, None, "Conductor"), "agent_task.started", base)]
            for c in range(TREE_CHILDREN):
                cid = f"{root}-c{c:02d}"
                evs.append(ev(ctx(cid, root, root, f"Section {c}"), "agent_task.started", base + c))
                for g in range(TREE_GRANDCHILDREN):
                    evs.append(ev(ctx(f"{cid}-g{g:02d}", root, cid, f"Player {c}.{g}"), "agent_task.started", base + c + g))
            for k in range(0, len(evs), 2500):
                listener.post(evs[k:k + 2500])
            step("opening it")
            opens, longest, own = [], [], []
            for _ in range(6):
                page.goto(listener.origin + "/")
                page.wait_for_selector(".run-row")
                page.evaluate(LONG_TASKS)
                total, server = page.evaluate(OPEN_TREE, [root, f"{root}-c00"])
                opens.append(total / 1000)
                own.append((total - server) / 1000)
                longest.append(page.evaluate("window.__longest") / 1000)
            opens, longest, own = opens[1:], longest[1:], own[1:]
            t = statistics.median(opens)
            rows.append(("page: open a 10,000-node tree until it answers a click (median of 5)", t, t / u, "<= 50,000 U"))
            o = statistics.median(own)
            rows.append(("  of which the page's own work (not waiting for the listener)", o, o / u, "-"))
            lt = statistics.median(longest)
            rows.append(("  longest main-thread task while opening it", lt, lt / u, "-"))

            step(f"tree opens in {t * 1000:.0f} ms; uploading a run of {LONG_RUN_EVENTS:,} events")
            # A run of 100,000 events.
            long_id = "long-run"
            run = ctx(long_id, long_id, None, "Chatty")
            for k in range(0, LONG_RUN_EVENTS, 5000):
                listener.post([ev(run, "stream.delta" if j % 10 else "agent_task.action.completed", base + j, f"step {j}")
                               for j in range(k, k + 5000)])
            step("opening it")
            opens, longest = [], []
            for _ in range(4):
                page.goto(listener.origin + "/")
                page.wait_for_selector(".run-row")
                page.evaluate(LONG_TASKS)
                opens.append(page.evaluate(OPEN_LONG_RUN, [long_id, f"newest 1,000 of {LONG_RUN_EVENTS:,} events"]) / 1000)
                longest.append(page.evaluate("window.__longest") / 1000)
            opens, longest = opens[1:], longest[1:]
            t = statistics.median(opens)
            rows.append((f"page: open a run of {LONG_RUN_EVENTS:,} events, newest page shown (median of 3)", t, t / u, "-"))
            lt = statistics.median(longest)
            rows.append(("  longest main-thread task while opening it", lt, lt / u, "-"))
        finally:
            browser.close()
            listener.stop()
    report(rows)


if __name__ == "__main__":
    main()
