"""Trace files and a real listener process: ``POST /import``, ``GET /runs/{id}/export``, the round
trip through a second listener, ``import --endpoint``, and ``open``."""

from __future__ import annotations

import base64
import json
import os
import socket
import stat
import threading
from pathlib import Path

import httpx
import pytest
from tracefiles_helpers import close_core, jsonl, listener_desk, random_stream, run_cli, wait_for, write_with_sink

from orvane_devtools.observation.backends.Otlp import span_id_for, trace_id_for

API = "/observation"


def line(i: int, run: str = "run-1", **fields) -> dict:
    doc = {"event_id": f"{run}-e{i}", "event_type": "agent_task.progress", "timestamp": 1_760_000_000_000 + i,
           "message": f"step {i}", "run": {"run_id": run, "root_run_id": run, "run_kind": "agent_task"}}
    doc.update(fields)
    return doc


def start(processes, tmp_path: Path, *args: str, name: str = "l"):
    return processes("start", "--port", "0", "--db", str(tmp_path / f"{name}.sqlite3"),
                     "--stale-after", "0", "--orphan-after", "0", *args)


def post(proc, body: bytes, **kw) -> httpx.Response:
    return httpx.post(f"{proc.origin}{API}/import", content=body, timeout=30, **kw)


def get(proc, path: str, headers=None, **params):
    r = httpx.get(f"{proc.origin}{API}{path}", params=params, headers=headers or {}, timeout=30)
    r.raise_for_status()
    return r


class TestImportRoute:
    def test_the_answer_after_the_commit_with_lines_numbered_in_the_body(self, processes, tmp_path):
        proc = start(processes, tmp_path)
        body = b"".join([
            jsonl([line(0)]),
            b"\n",                                   # 2: blank, not bad
            b"garbage\n",                            # 3
            jsonl([{"event_type": "x.started"}]),    # 4: an object that is no event
            b'{"resourceMetrics": []}\n',            # 5: OTLP metrics, not kept
            jsonl([line(1, payload={"token": "abc123"})]),  # 6
        ])
        r = post(proc, body)
        assert r.status_code == 200, r.text
        answer = r.json()
        assert answer == {
            "accepted": 2, "duplicates": 0, "bad_lines": 2, "otlp_not_kept": 1,
            "rejected": [{"line": 3, "error": "not JSON (Expecting value: line 1 column 1 (char 0))"},
                         {"line": 4, "error": "event_id: a non-empty string is required (retries are matched by it)"}],
            "trees": [{"root_run_id": "run-1", "run_id": "run-1"}],
        }
        # Answered after the commit: readable at once, and masked as an upload is.
        assert get(proc, "/events/run-1-e1").json()["payload"] == {"token": "***"}
        again = post(proc, body).json()
        assert (again["accepted"], again["duplicates"], again["bad_lines"]) == (0, 2, 2)

    @pytest.mark.parametrize("body, error", [
        (b"", "the body is empty; expected JSON Lines: one event per line"),
        (b" \n\n\t\n", "the body is empty; expected JSON Lines: one event per line"),
        (b"garbage\n[1]\n", "the body holds no event: no line is a JSON object"),
    ])
    def test_a_body_without_an_event_line_is_400(self, processes, tmp_path, body, error):
        proc = start(processes, tmp_path)
        r = post(proc, body)
        assert r.status_code == 400 and r.json()["error"] == error
        if body.strip():
            assert r.json()["bad_lines"] == 2 and [x["line"] for x in r.json()["rejected"]] == [1, 2]

    def test_a_body_of_otlp_lines_only_is_answered_not_refused(self, processes, tmp_path):
        proc = start(processes, tmp_path)
        r = post(proc, b'{"resourceLogs": []}\n{"resourceMetrics": []}\n')
        assert r.status_code == 200 and r.json()["otlp_not_kept"] == 1 and r.json()["accepted"] == 0

    def test_otlp_lines_are_stored_as_the_receiver_stores_them(self, processes, tmp_path):
        span = {"traceId": "ab" * 16, "spanId": "cd" * 8, "name": "chat gpt-4o",
                "startTimeUnixNano": "1760000000000000000", "endTimeUnixNano": "1760000000500000000",
                "attributes": [{"key": "gen_ai.operation.name", "value": {"stringValue": "chat"}}]}
        child = dict(span, spanId="ef" * 8, parentSpanId="cd" * 8, name="execute_tool search",
                     attributes=[{"key": "gen_ai.operation.name", "value": {"stringValue": "execute_tool"}}])
        otlp = json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": [child, span]}]}]}).encode() + b"\n"
        proc = start(processes, tmp_path)
        r = post(proc, otlp)
        assert r.status_code == 200, r.text
        run_id, child_id = f"otel-{'ab' * 16}-{'cd' * 8}", f"otel-{'ab' * 16}-{'ef' * 8}"
        assert r.json()["accepted"] == 4 and r.json()["trees"] == [{"root_run_id": run_id, "run_id": run_id}]
        got = get(proc, f"/runs/{child_id}").json()
        assert (got["run_kind"], got["parent_run_id"], got["root_run_id"]) == ("tool", run_id, run_id)
        assert post(proc, otlp).json()["duplicates"] == 4

    def test_the_body_limit_is_that_of_ingest(self, processes, tmp_path):
        proc = start(processes, tmp_path, "--max-body", "2048")
        one = json.dumps(line(0)).encode()
        at_limit = one + b" " * (2048 - len(one) - 1) + b"\n"
        assert len(at_limit) == 2048
        assert post(proc, at_limit).status_code == 200
        r = post(proc, at_limit + b"\n")
        assert r.status_code == 413 and r.json()["error"] == "the body is larger than the limit of 2048 bytes"

    def test_the_key_and_the_open_pages(self, processes, tmp_path):
        proc = start(processes, tmp_path, "--api-key", "s3cret")
        assert post(proc, jsonl([line(0)])).status_code == 401
        key = {"Authorization": "Bearer s3cret"}
        seen: list[str] = []
        connected = threading.Event()

        def listen() -> None:
            with httpx.stream("GET", f"{proc.origin}{API}/stream", headers=key,
                              timeout=httpx.Timeout(10, read=20)) as resp:
                for text in resp.iter_lines():
                    if text.startswith("event: hello"):
                        connected.set()
                    if text.startswith("data:") and '"event_id"' in text:
                        seen.append(json.loads(text[5:])["event_id"])
                        if len(seen) == 3:
                            return

        reader = threading.Thread(target=listen, daemon=True)
        reader.start()
        assert connected.wait(10)
        assert post(proc, jsonl([line(i) for i in range(3)]), headers=key).json()["accepted"] == 3
        reader.join(20)
        assert seen == ["run-1-e0", "run-1-e1", "run-1-e2"]


def tree_lines(path: Path, root: str) -> list[bytes]:
    return [ln + b"\n" for ln in path.read_bytes().splitlines() if json.loads(ln)["run"]["root_run_id"] == root]


class TestExport:
    @pytest.fixture
    def loaded(self, processes, tmp_path):
        events = random_stream(11)
        write_with_sink(tmp_path / "trace.jsonl", events)
        proc = start(processes, tmp_path)
        r = post(proc, (tmp_path / "trace.jsonl").read_bytes())
        assert r.json()["accepted"] == len(events), r.text
        return proc, tmp_path / "trace.jsonl", events

    def test_jsonl_is_the_tree_as_the_backend_wrote_it(self, loaded):
        proc, path, events = loaded
        root = events[0]["run"]["root_run_id"]
        r = get(proc, f"/runs/{root}/export")
        assert r.headers["content-type"] == "application/x-ndjson"
        assert r.headers["content-disposition"] == f'attachment; filename="run-{root}.jsonl"'
        assert r.content.splitlines(keepends=True) == tree_lines(path, root)
        assert get(proc, f"/runs/{root}/export", format="jsonl").content == r.content

    def test_a_child_exports_its_own_subtree(self, loaded):
        proc, _, events = loaded
        child = next(e["run"]["run_id"] for e in events if e["run"]["parent_run_id"] and
                     any(x["run"]["parent_run_id"] == e["run"]["run_id"] for x in events))
        want = [e["event_id"] for e in events
                if e["run"]["run_id"] == child or e["run"]["run_id"].startswith(child + ".")]
        got = [json.loads(x)["event_id"] for x in get(proc, f"/runs/{child}/export").content.splitlines()]
        assert got == want and len(set(e["run"]["run_id"] for e in events if e["event_id"] in want)) > 1

    def test_otlp_json_lines_are_export_requests_of_the_trees_spans(self, loaded):
        from google.protobuf import json_format
        from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest

        proc, path, events = loaded
        root = events[0]["run"]["root_run_id"]
        r = get(proc, f"/runs/{root}/export", format="otlp-json")
        assert r.headers["content-disposition"] == f'attachment; filename="run-{root}.otlp.jsonl"'
        spans = []
        for text in r.content.splitlines():
            doc = json.loads(text)
            found = [s for rs in doc["resourceSpans"] for ss in rs["scopeSpans"] for s in ss["spans"]]
            spans += found
            # OTLP's JSON writes ids in hex where protobuf's JSON mapping has base64: with them
            # turned to base64 the line is an ExportTraceServiceRequest, every member known.
            for span in found:
                for key in ("traceId", "spanId", "parentSpanId"):
                    if span.get(key):
                        span[key] = base64.b64encode(bytes.fromhex(span[key])).decode()
            json_format.ParseDict(doc, ExportTraceServiceRequest())
        runs = {e["run"]["run_id"] for e in events if e["run"]["root_run_id"] == root}
        assert sorted(base64.b64decode(s["spanId"]).hex() for s in spans) == sorted(span_id_for(rid) for rid in runs)
        assert {base64.b64decode(s["traceId"]).hex() for s in spans} == {trace_id_for(root)}
        # Lines a collector's file exporter could have written read back as OTLP lines.
        (path.parent / "spans.jsonl").write_bytes(r.content)
        done = run_cli("import", str(path.parent / "spans.jsonl"), "--db", str(path.parent / "other.sqlite3"))
        n = len(r.content.splitlines())
        assert f"0 bad lines ({n:,} line{'s' if n != 1 else ''} read)".encode() in done.stdout
        # ... and the run spans of our own export come back as the runs they were.
        core = listener_desk(path.parent / "other.sqlite3")
        try:
            back = {run.run_id: run for run in core.desk.query_runs(root_run_id=root)}
        finally:
            close_core(core)
        assert set(back) == runs
        source = {e["run"]["run_id"]: e["run"] for e in events if e["run"]["root_run_id"] == root}
        assert {rid: back[rid].parent_run_id for rid in runs} == {rid: source[rid]["parent_run_id"] for rid in runs}

    def test_a_session_is_every_tree_its_runs_are_in_oldest_first(self, loaded, processes, tmp_path):
        proc, path, events = loaded
        roots = {e["run"]["root_run_id"] for e in events if e["run"].get("session_id") == "sess-a"}
        assert 2 <= len(roots) < len({e["run"]["root_run_id"] for e in events})
        r = get(proc, "/sessions/sess-a/export")
        assert r.headers["content-disposition"] == 'attachment; filename="session-sess-a.jsonl"'
        by_root: dict[str, list[bytes]] = {}
        for root in roots:
            by_root[root] = tree_lines(path, root)
        firsts = {root: json.loads(by_root[root][0])["timestamp"] for root in roots}
        want = [ln for root in sorted(roots, key=lambda x: (firsts[x], x)) for ln in by_root[root]]
        assert r.content.splitlines(keepends=True) == want
        # Into an empty listener: the session's runs are the same.
        other = start(processes, tmp_path, name="other")
        assert post(other, r.content).json()["accepted"] == len(want)
        ids = lambda p: sorted(x["run_id"] for x in get(p, "/runs", session_id="sess-a", limit=500).json()["runs"])
        assert ids(other) == ids(proc)
        assert get(proc, "/sessions/sess-a/export", format="otlp-json").headers["content-disposition"] \
            == 'attachment; filename="session-sess-a.otlp.jsonl"'
        r = httpx.get(f"{proc.origin}{API}/sessions/nope/export", timeout=10)
        assert r.status_code == 404 and r.json() == {"error": "session not found"}

    def test_unknown_run_and_format(self, loaded):
        proc, _, _ = loaded
        r = httpx.get(f"{proc.origin}{API}/runs/nope/export", timeout=10)
        assert r.status_code == 404 and r.json() == {"error": "run not found"}
        r = httpx.get(f"{proc.origin}{API}/runs/nope/export", params={"format": "csv"}, timeout=10)
        assert r.status_code == 400 and r.json()["parameter"] == "format"

    def test_a_downloaded_tree_imported_into_an_empty_listener_answers_the_same(self, loaded, processes, tmp_path):
        source, _, events = loaded
        target = start(processes, tmp_path, name="target")
        root = max({e["run"]["root_run_id"] for e in events},
                   key=lambda r: sum(e["run"]["root_run_id"] == r for e in events))
        (tmp_path / "tree.jsonl").write_bytes(get(source, f"/runs/{root}/export").content)
        done = run_cli("import", str(tmp_path / "tree.jsonl"), "--endpoint", f"{target.origin}{API}/ingest")
        assert done.returncode == 0, done.stderr
        in_tree = [e for e in events if e["run"]["root_run_id"] == root]
        assert f"{len(in_tree):,} events stored, 0 duplicates, 0 bad lines".encode() in done.stdout

        def answers(proc, scope: dict) -> dict:
            """The answers about the tree: on the source, its runs and events among the others."""
            def mine(doc: dict, key: str) -> list:
                return [x for x in doc[key] if (x.get("run") or x)["root_run_id"] == root]

            out = {"runs": get(proc, "/runs", limit=1000, **scope).json(),
                   "tree": get(proc, f"/runs/{root}/tree", format="flat").json(),
                   "nested": get(proc, f"/runs/{root}/tree").json(),
                   "events": get(proc, f"/runs/{root}/events", include_descendants="true", limit=5000).json()}
            for needle in ("berlin", "multi-agent", "timed out", "straße", "kyo"):
                out[f"runs {needle}"] = get(proc, "/runs", search=needle, **scope).json()
                out[f"events {needle}"] = mine(get(proc, "/events", search=needle, limit=5000).json(), "events")
            return out

        want = answers(source, {"root_run_id": root})
        got = answers(target, {})
        assert len(want["runs"]["runs"]) == len({e["run"]["run_id"] for e in in_tree}) > 3
        assert any(want[k] for k in want if k.startswith("events "))
        assert [k for k in want if want[k] != got[k]] == []


class TestImportCommand:
    def test_into_a_listener_with_its_key(self, processes, tmp_path):
        proc = start(processes, tmp_path, "--api-key", "k-123")
        (tmp_path / "t.jsonl").write_bytes(jsonl([line(i) for i in range(40)]) + b"oops\n")
        env = {k: v for k, v in os.environ.items() if k != "ORVANE_DEVTOOLS_API_KEY"}
        refused = run_cli("import", str(tmp_path / "t.jsonl"), "--endpoint", proc.origin, env=env)
        assert refused.returncode == 1
        assert refused.stderr.decode().strip() == (
            f"orvane-devtools import: the listener at {proc.origin}{API}/import refused the API key "
            f"(give it with --api-key or ORVANE_DEVTOOLS_API_KEY)")
        done = run_cli("import", str(tmp_path / "t.jsonl"), "--endpoint", proc.origin,
                       env={**env, "ORVANE_DEVTOOLS_API_KEY": "k-123"})
        assert done.returncode == 0, done.stderr
        assert b"40 events stored, 0 duplicates, 1 bad line (41 lines read)" in done.stdout
        assert b"line 41: not JSON" in done.stdout
        key = {"Authorization": "Bearer k-123"}
        assert get(proc, "/runs/run-1", headers=key).json()["event_count"] == 40

    def test_bodies_split_under_the_listeners_limit(self, processes, tmp_path):
        proc = start(processes, tmp_path, "--max-body", "4096")
        lines = [line(i, message="m" * 400) for i in range(30)]
        lines.insert(12, line(99, message="x" * 6000))  # line 13: more than the listener takes
        (tmp_path / "t.jsonl").write_bytes(jsonl(lines))
        done = run_cli("import", str(tmp_path / "t.jsonl"), "--endpoint", proc.origin)
        assert done.returncode == 0, done.stderr
        assert b"30 events stored, 0 duplicates, 1 bad line (31 lines read)" in done.stdout
        assert b"line 13: larger than the listener's body limit" in done.stdout
        assert get(proc, "/runs/run-1").json()["event_count"] == 30


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class TestOpenCommand:
    def test_serves_the_page_with_the_files_runs_and_cleans_up(self, processes, tmp_path):
        events = random_stream(4, roots=1)
        write_with_sink(tmp_path / "trace.jsonl", events)
        root = events[0]["run"]["root_run_id"]
        proc = processes("open", str(tmp_path / "trace.jsonl"), ready="Open the page:")
        out = proc.output()
        db = Path(next(x for x in out.splitlines() if "database:" in x).split("database:")[1].strip())
        assert db.exists() and "orvane-open-" in str(db)
        assert f"{len(events):,} events stored, 0 duplicates, 0 bad lines" in out
        assert f"Open the page: {proc.origin}/?run={root}" in out
        page = httpx.get(proc.origin + "/", timeout=10)
        assert page.status_code == 200 and 'name="orvane-prefix"' in page.text
        runs = get(proc, "/runs", limit=1000).json()["runs"]
        assert {r["run_id"] for r in runs} == {e["run"]["run_id"] for e in events}
        assert proc.stop() == 0
        assert not db.exists() and not db.parent.exists()

    def test_browser_opens_the_page_after_the_import(self, processes, tmp_path):
        script = tmp_path / "browser.sh"
        script.write_text(f'#!/bin/sh\necho "$1" > {tmp_path / "opened.txt"}\n')
        script.chmod(script.stat().st_mode | stat.S_IEXEC)
        (tmp_path / "a.jsonl").write_bytes(jsonl([line(0, "r-a")]))
        (tmp_path / "b.jsonl").write_bytes(jsonl([line(0, "r-b")]))
        env = dict(os.environ, BROWSER=f"{script} %s")
        proc = processes("open", str(tmp_path / "a.jsonl"), str(tmp_path / "b.jsonl"), "--browser",
                         "--db", str(tmp_path / "kept.sqlite3"), env=env, ready="Open the page:")
        opened = wait_for(lambda: (tmp_path / "opened.txt").exists() and (tmp_path / "opened.txt").read_text().strip(),
                          what="the browser script")
        assert opened == f"{proc.origin}/"  # two trees: the list, not one run
        assert "all files: 2 events stored" in proc.output()
        assert proc.stop() == 0
        assert (tmp_path / "kept.sqlite3").exists()  # a database given with --db stays

    def test_refusals(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(jsonl([line(0)]))
        missing = run_cli("open", str(tmp_path / "nope.jsonl"))
        assert missing.returncode == 1 and missing.stderr.decode().strip() == \
            f"orvane-devtools open: {tmp_path / 'nope.jsonl'}: no such file"
        small = run_cli("open", str(tmp_path / "t.jsonl"), "--max-body", "10")
        assert small.returncode == 2 and small.stderr.decode().strip() == \
            "orvane-devtools open: --max-body 10 is too small (at least 1024 bytes)"
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            s.listen(1)
            busy = run_cli("open", str(tmp_path / "t.jsonl"), "--port", str(s.getsockname()[1]))
        assert busy.returncode == 1 and b"already in use" in busy.stderr
        assert b"Traceback" not in missing.stderr + small.stderr + busy.stderr
