"""``orvane-devtools demo``: a small agent session played through the observation layer.

The session: a root agent task with three child tasks, tool actions and stream deltas; one child
fails, one is left running after the root finished, and some events arrive twice. Every event
goes through a ``RuntimeTraceDesk`` (with the JSON Lines backend on) and, side by side, through a
``RemoteTraceSink`` to a DevTools listener: by default a minimal one that the demo runs on
127.0.0.1, or, with ``--endpoint URL``, a running ``orvane-devtools start`` listener (the run ids
then carry a suffix of their own, so that sessions sent twice stay apart).
"""

from __future__ import annotations

import asyncio
import itertools
import json
import os
import tempfile
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any

ORPHAN_AFTER_SECONDS = 1


class _Listener:
    """A minimal DevTools listener: accepts ingest POSTs, answers the reachability probe."""

    def __init__(self) -> None:
        self.events: list[dict[str, Any]] = []
        self.requests = 0
        listener = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self) -> None:  # noqa: N802
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                listener.requests += 1
                listener.events.extend(json.loads(body)["events"])
                self._answer(200, b'{"ok": true}')

            def do_GET(self) -> None:  # noqa: N802
                self._answer(200, b"[]")

            def _answer(self, status: int, body: bytes) -> None:
                self.send_response(status)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args: Any) -> None:
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, name="demo-listener", daemon=True)

    def __enter__(self) -> "_Listener":
        self.thread.start()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.server.shutdown()
        self.server.server_close()


def _session(tag: str = "") -> list[Any]:
    """The events of the demo session, in the order the agent emits them; ``tag`` is appended
    to every run id and the session id."""
    from ._orvane_compat import RuntimeEvent

    now = int(time.time() * 1000)
    meta = {"app_id": "demo-app", "group_id": "research-team", "environment": "local"}
    root = {"run_id": "run-root" + tag, "run_kind": "agent_task", "agent_name": "Researcher",
            "session_id": "session-1" + tag, "meta": {"flow_name": "answer-question"}}

    def child(run_id: str, agent: str) -> dict[str, Any]:
        return {"run_id": run_id + tag, "root_run_id": "run-root" + tag,
                "parent_run_id": "run-root" + tag, "run_kind": "agent_task",
                "agent_name": agent, "session_id": "session-1" + tag}

    events: list[Any] = []
    clock = itertools.count(now - 100)  # one millisecond apart, ending about now

    def emit(event_type: str, run: dict[str, Any] | None, message: str, **fields: Any) -> Any:
        ev = RuntimeEvent(event_id=uuid.uuid4().hex, event_type=event_type, timestamp=next(clock),
                          source="demo.agent", message=message, meta=dict(meta), run=run, **fields)
        events.append(ev)
        return ev

    emit("agent_task.started", root, "Answer: how do glaciers move?")
    search = child("run-search", "Searcher")
    emit("agent_task.started", search, "searching the web")
    emit("agent_task.action.started", search, "tool call", payload={"tool": "web_search", "query": "glacier flow"})
    dup = emit("agent_task.action.completed", search, "tool result", payload={"tool": "web_search", "hits": 3})
    events.append(dup)  # delivered twice by a retrying transport
    for i, text in enumerate(["Glaciers ", "flow under ", "their own weight."]):
        emit("stream.delta", search, text, payload={"index": i, "delta": text})
    emit("agent_task.completed", search, "search done")
    summarize = child("run-summarize", "Summarizer")
    emit("agent_task.started", summarize, "summarizing")
    failed = emit("agent_task.failed", summarize, "model call timed out",
                  level="error", error={"type": "TimeoutError", "detail": "no answer after 30 s"})
    events.append(failed)  # a second copy of the failure report
    translate = child("run-translate", "Translator")
    emit("agent_task.started", translate, "translating the answer")
    emit("stream.delta", translate, "Les glaciers ", payload={"index": 0, "delta": "Les glaciers "})
    emit("agent_task.completed", root, "answer delivered")
    return events


def _line_count(path: Path) -> int:
    return len(path.read_bytes().splitlines()) if path.exists() else 0


def _clock(ms: int | None) -> str:
    if ms is None:
        return "?"
    return time.strftime("%H:%M:%S", time.localtime(ms / 1000)) + f".{ms % 1000:03d}"


def _print_tree(node: Any, prefix: str = "", last: bool = True, top: bool = True) -> None:
    run = node.run
    status = run.status.value if hasattr(run.status, "value") else str(run.status)
    reason = run.meta.get("devtools_stale_reason")
    label = f"{run.run_id} ({run.agent_name}) {status}" + (f" - {reason}" if reason else "")
    print(("  " if top else prefix + ("`-- " if last else "|-- ")) + label)
    child_prefix = prefix + ("    " if last else "|   ")
    for i, child in enumerate(node.children):
        _print_tree(child, child_prefix if not top else "  ", i == len(node.children) - 1, False)


async def _play(out_dir: Path, endpoint: str, api_key: str | None = None,
                tag: str = "") -> tuple[Any, Any, int, int]:
    from orvane.utils import Settings

    from .observation.backends.Uplink import RemoteTraceSink
    from .observation.TraceDesk import RuntimeTraceDesk

    settings = Settings({
        "observation.jsonl.enabled": True,
        "observation.jsonl.path": str(out_dir / "events.jsonl"),
        "observation.run_orphan_after_seconds": ORPHAN_AFTER_SECONDS,
    })
    desk = RuntimeTraceDesk(settings)
    remote = RemoteTraceSink(endpoint=endpoint, api_key=api_key, app_id="demo-app",
                             group_id="research-team", background_flush_interval=0.05)
    events = _session(tag)
    accepted = 0
    for ev in events:
        accepted += await desk.append_event(ev)
        remote.append_event_nowait(ev)
    await remote.flush()
    return desk, remote, len(events), accepted


def _report(desk: Any, path: Path, before: int, sent: int, accepted: int, tag: str = "") -> None:
    print("orvane-devtools demo: one agent session through the observation layer\n")
    print(f"events emitted {sent}, accepted {accepted}, duplicates dropped {sent - accepted}")
    print("\nrun tree (stale and orphan runs judged at read time):")
    _print_tree(desk.get_run_tree("run-root" + tag))
    orphan = desk.get_run("run-translate" + tag)
    if orphan is not None and orphan.meta.get("devtools_stale_reason"):
        anchor = orphan.meta.get("devtools_stale_anchor_at")
        print(f"  run-translate{tag} was left running when its root ended at {_clock(anchor)}; "
              f"judged at {_clock(orphan.meta['devtools_stale_detected_at'])}, "
              f"{ORPHAN_AFTER_SECONDS} s grace")

    hits = desk.query_events(search="TIMED OUT")
    print(f"\nsearch 'TIMED OUT': {len(hits)} event(s)")
    for ev in hits:
        print(f"  {ev.event_type:28} {ev.run.run_id if ev.run else '-':14} {ev.message}")

    added = _line_count(path) - before
    print(f"\nJSON Lines file: {path} ({added} lines appended)")


def run_demo(out_dir: str | None = None, endpoint: str | None = None,
             api_key: str | None = None) -> int:
    folder = Path(out_dir) if out_dir else Path(tempfile.mkdtemp(prefix="orvane-demo-"))
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / "events.jsonl"
    before = _line_count(path)
    if endpoint:
        return _run_against(endpoint, api_key or os.environ.get("ORVANE_DEVTOOLS_API_KEY") or None,
                            folder, path, before)
    with _Listener() as listener:
        endpoint = f"http://127.0.0.1:{listener.port}/observation/ingest"
        desk, remote, sent, accepted = asyncio.run(_play(folder, endpoint))
        time.sleep(ORPHAN_AFTER_SECONDS + 0.1)  # let the orphan grace pass
        _report(desk, path, before, sent, accepted)

        stats = remote.get_stats()
        print(f"\nupload to {endpoint} (fed directly, duplicates included):")
        print(f"  requests {listener.requests}, events received by the listener {len(listener.events)}")
        shown = ("enqueued_event_count", "uploaded_event_count", "upload_batch_count",
                 "dropped_event_count", "upload_failure_count")
        print("  " + ", ".join(f"{k} {stats[k]}" for k in shown if k in stats))
    return 0


def _run_against(endpoint: str, api_key: str | None, folder: Path, path: Path, before: int) -> int:
    """The session sent to a running listener; the page shows it there."""
    from urllib.parse import urlsplit

    tag = "-" + uuid.uuid4().hex[:6]
    desk, remote, sent, accepted = asyncio.run(_play(folder, endpoint, api_key, tag))
    time.sleep(ORPHAN_AFTER_SECONDS + 0.1)
    _report(desk, path, before, sent, accepted, tag)
    stats = remote.get_stats()
    print(f"\nupload to {endpoint}:")
    shown = ("enqueued_event_count", "uploaded_event_count", "upload_batch_count",
             "upload_failure_count")
    print("  " + ", ".join(f"{k} {stats[k]}" for k in shown if k in stats))
    if stats.get("pending_event_count"):
        print(f"\nthe listener at {endpoint} did not take the session "
              f"({stats.get('last_failure') or 'no answer'}); is `orvane-devtools start` running?")
        return 1
    parts = urlsplit(endpoint)
    print(f"\nopen {parts.scheme}://{parts.netloc}/ to see run-root{tag} in the web page")
    return 0
