"""Importing trace files into a database: the answers against the desk that wrote the file, and
every kind of damage a file can carry (cut, garbage, binary, empty, gzip, standard input)."""

from __future__ import annotations

import asyncio
import base64
import gzip
import json
import os
import random
from pathlib import Path

import pytest
from tracefiles_helpers import (
    close_core,
    desk_answers,
    jsonl,
    listener_desk,
    random_stream,
    run_cli,
    write_with_sink,
)

from orvane_devtools.tracefiles.importer import DatabaseTarget, run_import
from orvane_devtools.tracefiles.lines import TraceSource


def import_db(db: Path, *names: str, max_line_bytes: int | None = None):
    sources = [TraceSource(n) if max_line_bytes is None else TraceSource(n, max_line_bytes=max_line_bytes)
               for n in names]
    return asyncio.run(run_import(sources, DatabaseTarget(db)))


def stored(db: Path) -> dict[str, dict]:
    """Every event in the database by id, as JSON."""
    core = listener_desk(db)
    try:
        return {e.event_id: e.model_dump(mode="json") for e in core.desk.query_events()}
    finally:
        close_core(core)


def event_line(i: int, run: str = "run-1", **fields) -> dict:
    doc = {"event_id": f"{run}-e{i}", "event_type": "agent_task.progress", "timestamp": 1_760_000_000_000 + i,
           "message": f"step {i}", "run": {"run_id": run, "root_run_id": run, "run_kind": "agent_task"}}
    doc.update(fields)
    return doc


class TestAgainstTheDeskThatWroteTheFile:
    @pytest.mark.parametrize("seed", [1, 7, 42])
    def test_same_runs_trees_events_and_searches(self, tmp_path, seed):
        events = random_stream(seed)
        desk = write_with_sink(tmp_path / "trace.jsonl", events)
        [summary] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "trace.jsonl"))
        assert (summary.accepted, summary.duplicates, summary.bad_count) == (len(events), 0, 0)
        roots = sorted({e["run"]["root_run_id"] for e in events})
        runs = sorted({e["run"]["run_id"] for e in events})
        core = listener_desk(tmp_path / "db.sqlite3")
        try:
            want = desk_answers(desk, roots, runs)
            got = desk_answers(core.desk, roots, runs)
        finally:
            close_core(core)
        assert len(want["runs"]) == len(runs) and want["runs status=failed"] and want["tree " + roots[0]]
        differing = [k for k in want if want[k] != got[k]]
        assert not differing, f"answers differ: {differing[:5]}"

    def test_the_same_file_twice_stores_nothing_new(self, tmp_path):
        events = random_stream(5)
        write_with_sink(tmp_path / "trace.jsonl", events)
        db = tmp_path / "db.sqlite3"
        [first] = import_db(db, str(tmp_path / "trace.jsonl"))
        before = stored(db)
        [second] = import_db(db, str(tmp_path / "trace.jsonl"))
        assert first.accepted == len(events) and first.duplicates == 0
        assert second.accepted == 0 and second.duplicates == len(events)
        assert stored(db) == before

    def test_secrets_in_a_foreign_file_are_masked_as_an_upload_is(self, tmp_path):
        # A file from elsewhere may hold what our own backend would have masked.
        line = event_line(1, payload={"api_key": "sk-live-123", "nested": {"dbPassword": "hunter2", "note": "ok"}},
                          meta={"Authorization": "Bearer abc"})
        (tmp_path / "t.jsonl").write_bytes(jsonl([line]))
        import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        [ev] = stored(tmp_path / "db.sqlite3").values()
        assert ev["payload"] == {"api_key": "***", "nested": {"dbPassword": "***", "note": "ok"}}
        assert ev["meta"]["Authorization"] == "***"
        assert b"sk-live-123" not in (tmp_path / "db.sqlite3").read_bytes()


class TestDamagedFiles:
    def test_a_cut_last_line_is_reported_and_the_rest_imported(self, tmp_path):
        good = jsonl([event_line(i) for i in range(3)])
        cut = json.dumps(event_line(3)).encode()[:-9]
        (tmp_path / "t.jsonl").write_bytes(good + cut)
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert (s.accepted, s.bad_count, s.lines) == (3, 1, 4)
        assert s.bad[0].line == 4 and s.bad[0].error.startswith("cut off: the file ends inside this line")

    def test_a_complete_last_line_without_end_of_line_is_an_event(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(0)]) + json.dumps(event_line(1)).encode())
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert (s.accepted, s.bad_count) == (2, 0)

    def test_garbage_in_the_middle_is_counted_with_its_line_number(self, tmp_path):
        lines = [json.dumps(event_line(i)).encode() for i in range(6)]
        lines[2] = b'{"event_id": "x", "event_type": oops}'
        lines[4] = b"[1, 2, 3]"
        body = b"\n".join(lines[:3]) + b"\n\n   \n" + b"\n".join(lines[3:]) + b"\n"
        (tmp_path / "t.jsonl").write_bytes(body)
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert s.accepted == 4 and s.bad_count == 2
        # Blank lines count as lines but are no bad lines: the numbers are those of the file.
        assert [(b.line, b.error.split(" (")[0]) for b in s.bad] == [
            (3, "not JSON"), (7, "not an event: a JSON object is expected, the line holds an array")]
        assert set(stored(tmp_path / "db.sqlite3")) == {f"run-1-e{i}" for i in (0, 1, 3, 5)}

    def test_an_object_that_is_no_event_is_refused_by_the_upload_decoder(self, tmp_path):
        lines = [event_line(0), {"event_type": "x.started"}, {**event_line(2), "timestamp": "soon"},
                 {**event_line(3), "event_id": ""}, event_line(4)]
        (tmp_path / "t.jsonl").write_bytes(jsonl(lines))
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert s.accepted == 2
        assert [b.line for b in s.bad] == [2, 3, 4]
        assert s.bad[0].error.startswith("event_id: a non-empty string is required")
        assert s.bad[1].error.startswith("timestamp")

    def test_the_first_ten_bad_lines_in_full_then_a_count(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(b"".join(b"garbage %d\n" % i for i in range(25)) + jsonl([event_line(0)]))
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert s.bad_count == 25 and [b.line for b in s.bad] == list(range(1, 11))
        text = s.text()
        assert text[-1] == "  ... and 15 more bad lines" and len(text) == 12 and s.accepted == 1

    def test_an_empty_file(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(b"")
        done = run_cli("import", str(tmp_path / "t.jsonl"), "--db", str(tmp_path / "db.sqlite3"))
        assert done.returncode == 0, done.stderr
        assert b"0 events stored, 0 duplicates, 0 bad lines (0 lines read)" in done.stdout

    def test_a_binary_file_is_all_bad_lines_and_no_failure(self, tmp_path):
        rng = random.Random(3)
        data = bytes(rng.randrange(256) for _ in range(200_000)).replace(b"\x1f\x8b", b"\x1f\x00")
        (tmp_path / "t.bin").write_bytes(b"\x00\x01" + data)
        done = run_cli("import", str(tmp_path / "t.bin"), "--db", str(tmp_path / "db.sqlite3"))
        assert done.returncode == 0, done.stderr
        parts = (b"\x00\x01" + data).split(b"\n")
        bad = sum(1 for part in parts if part.strip())  # lines of whitespace alone are blank lines
        assert 0 < bad < len(parts)
        assert f"0 events stored, 0 duplicates, {bad:,} bad lines ({len(parts):,} lines read)".encode() in done.stdout
        assert b"not UTF-8 text" in done.stdout and b"Traceback" not in done.stderr

    def test_a_line_over_the_limit_is_bad_and_one_at_the_limit_is_not(self, tmp_path):
        at = json.dumps(event_line(0, message="x")).encode()
        pad = 300 - len(at)
        at = json.dumps(event_line(0, message="x" * (1 + pad))).encode()
        assert len(at) == 300
        over = json.dumps(event_line(1, message="x" * (2 + pad))).encode()
        (tmp_path / "t.jsonl").write_bytes(at + b"\n" + over + b"\n" + json.dumps(event_line(2)).encode() + b"\n")
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"), max_line_bytes=300)
        assert s.accepted == 2 and [(b.line, b.error) for b in s.bad] == [(2, "longer than the limit of 300 bytes")]


class TestGzipAndStandardInput:
    def test_gzip_by_name_and_by_magic_bytes(self, tmp_path):
        events = [event_line(i) for i in range(50)]
        (tmp_path / "t.jsonl.gz").write_bytes(gzip.compress(jsonl(events)))
        (tmp_path / "named-plainly.jsonl").write_bytes(gzip.compress(jsonl(events[:10])))
        s1, s2 = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl.gz"), str(tmp_path / "named-plainly.jsonl"))
        assert (s1.accepted, s1.bad_count) == (50, 0) and (s2.duplicates, s2.bad_count) == (10, 0)

    def test_concatenated_gzip_members_are_one_file(self, tmp_path):
        part1 = gzip.compress(jsonl([event_line(i) for i in range(3)]))
        part2 = gzip.compress(jsonl([event_line(i) for i in range(3, 5)]))
        (tmp_path / "t.gz").write_bytes(part1 + part2)
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.gz"))
        assert (s.accepted, s.bad_count, s.lines) == (5, 0, 5)

    def test_a_cut_gzip_file_gives_what_came_before_the_cut(self, tmp_path):
        rng = random.Random(1)
        events = [event_line(i, payload={"noise": rng.getrandbits(256)}) for i in range(400)]
        whole = gzip.compress(jsonl(events))
        (tmp_path / "t.gz").write_bytes(whole[: len(whole) * 2 // 3])
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.gz"))
        assert 100 < s.accepted < 400 and s.bad_count == 1
        assert s.bad[0].line == s.accepted + 1 and "gzip stream ends" in s.bad[0].error
        assert set(stored(tmp_path / "db.sqlite3")) == {f"run-1-e{i}" for i in range(s.accepted)}

    @pytest.mark.parametrize("compress", [False, True])
    def test_standard_input(self, tmp_path, compress):
        data = jsonl([event_line(i) for i in range(20)]) + b"not json\n"
        done = run_cli("import", "-", "--db", str(tmp_path / "db.sqlite3"),
                       stdin=gzip.compress(data) if compress else data)
        assert done.returncode == 0, done.stderr
        assert b"standard input: 20 events stored, 0 duplicates, 1 bad line (21 lines read)" in done.stdout
        assert b"line 21: not JSON" in done.stdout
        assert len(stored(tmp_path / "db.sqlite3")) == 20


def otlp_lines(*messages) -> bytes:
    """OTLP JSON lines as a collector's file exporter writes them: protobuf's JSON mapping of
    each request, with the ids in hex as OTLP's JSON encoding has them."""
    from google.protobuf import json_format

    out = []
    for message in messages:
        doc = json_format.MessageToDict(message)
        for group in doc.get("resourceSpans", ()):
            for scoped in group.get("scopeSpans", ()):
                for span in scoped.get("spans", ()):
                    for key in ("traceId", "spanId", "parentSpanId"):
                        if span.get(key):
                            span[key] = base64.b64decode(span[key]).hex()
        for group in doc.get("resourceLogs", ()):
            for scoped in group.get("scopeLogs", ()):
                for record in scoped.get("logRecords", ()):
                    for key in ("traceId", "spanId"):
                        if record.get(key):
                            record[key] = base64.b64decode(record[key]).hex()
        out.append(json.dumps(doc, separators=(",", ":")).encode() + b"\n")
    return b"".join(out)


TRACE = bytes(range(16))
T_NS = 1_760_000_000_000_000_000


def traces(*spans: tuple[int, int | None, str], service: str = "shop"):
    """An ExportTraceServiceRequest of spans given as (span id byte, parent id byte, name)."""
    from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest

    request = ExportTraceServiceRequest()
    group = request.resource_spans.add()
    attr = group.resource.attributes.add()
    attr.key, attr.value.string_value = "service.name", service
    scoped = group.scope_spans.add()
    for sid, parent, name in spans:
        span = scoped.spans.add()
        span.trace_id = TRACE
        span.span_id = bytes([sid]) * 8
        if parent is not None:
            span.parent_span_id = bytes([parent]) * 8
        span.name = name
        span.start_time_unix_nano = T_NS + sid * 1_000_000
        span.end_time_unix_nano = T_NS + sid * 1_000_000 + 500_000
        kv = span.attributes.add()
        kv.key, kv.value.string_value = "gen_ai.operation.name", "chat"
    return request


def span_run(sid: int) -> str:
    return f"otel-{TRACE.hex()}-{(bytes([sid]) * 8).hex()}"


class TestOtlpLines:
    def test_spans_and_log_records_stored_as_the_receiver_stores_them(self, tmp_path):
        from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceRequest
        from opentelemetry.proto.collector.metrics.v1.metrics_service_pb2 import ExportMetricsServiceRequest

        logs = ExportLogsServiceRequest()
        record = logs.resource_logs.add().scope_logs.add().log_records.add()
        record.body.string_value = "hello from the call"
        record.trace_id, record.span_id = TRACE, bytes([2]) * 8
        record.time_unix_nano = T_NS + 2_100_000
        metrics = ExportMetricsServiceRequest()
        metrics.resource_metrics.add()
        body = (otlp_lines(traces((1, None, "chat a"), (2, 1, "chat b")))
                + jsonl([event_line(0)]) + otlp_lines(logs, metrics))
        (tmp_path / "t.jsonl").write_bytes(body)
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        # Two spans of two events each, the log record, the event line.
        assert (s.accepted, s.bad_count, s.otlp_not_kept) == (6, 0, 1)
        assert "  OTLP metrics lines taken and not kept (this listener keeps traces and logs): 1 line" in s.text()
        core = listener_desk(tmp_path / "db.sqlite3")
        try:
            child = core.desk.get_run(span_run(2))
            assert child.parent_run_id == span_run(1) and child.root_run_id == span_run(1)
            assert child.run_kind == "llm"
            events = core.desk.query_events(run_id=span_run(2))
            assert [e.event_type for e in events if e.event_type != "log"][:1] == ["llm.started"]
            assert "hello from the call" in [e.message for e in events]
            assert [e.run.run_id for e in core.desk.query_events(search="hello from the call")] == [span_run(2)]
        finally:
            close_core(core)
        # The same file again stores nothing new.
        [again] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert (again.accepted, again.duplicates, again.bad_count) == (0, 6, 0)

    def test_a_parent_in_a_later_gzip_file_takes_its_children_in(self, tmp_path):
        (tmp_path / "children.jsonl").write_bytes(otlp_lines(traces((5, 4, "tool"), (6, 5, "chat"))))
        with gzip.open(tmp_path / "parent.jsonl.gz", "wb") as f:
            f.write(otlp_lines(traces((4, None, "agent"))))
        db = tmp_path / "db.sqlite3"
        [a, b] = import_db(db, str(tmp_path / "children.jsonl"), str(tmp_path / "parent.jsonl.gz"))
        assert (a.accepted, b.accepted) == (4, 2)
        core = listener_desk(db)
        try:
            assert core.desk.get_run(span_run(6)).root_run_id == span_run(4)
            assert core.desk.get_run(span_run(5)).parent_run_id == span_run(4)
            runs = {r.run_id for r in core.desk.query_runs(root_run_id=span_run(4))}
            assert runs == {span_run(4), span_run(5), span_run(6)}
        finally:
            close_core(core)

    def test_a_refused_span_is_reported_with_its_line_and_the_others_are_stored(self, tmp_path):
        good = otlp_lines(traces((7, None, "ok"), (8, None, "ok too"))).rstrip(b"\n")
        doc = json.loads(good)
        doc["resourceSpans"][0]["scopeSpans"][0]["spans"][1]["spanId"] = "abcd"  # 2 bytes, not 8
        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(0)]) + json.dumps(doc).encode() + b"\n"
                                           + b'{"resourceSpans": 5}\n')
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert s.accepted == 3 and s.bad_count == 2
        assert [b.line for b in s.bad] == [2, 3]
        assert s.bad[0].error.startswith("1 span(s) of the line refused: span 1: ")
        assert "resourceSpans" in s.bad[1].error

    def test_a_line_over_the_item_bound_is_a_bad_line_as_a_request_is_a_413(self, tmp_path):
        from orvane_devtools.listener.config import DEFAULT_MAX_ITEMS

        def line(n: int) -> bytes:
            return json.dumps({"resourceSpans": [{"scopeSpans": [{"spans": [{}] * n}]}]}).encode() + b"\n"

        (tmp_path / "t.jsonl").write_bytes(line(DEFAULT_MAX_ITEMS + 1) + jsonl([event_line(0)]) + line(DEFAULT_MAX_ITEMS))
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert s.accepted == 1
        # The line at the bound is read (its spans, with no ids, are refused one by one).
        assert [b.line for b in s.bad] == [1, 3]
        assert s.bad[0].error == (f"holds more than {DEFAULT_MAX_ITEMS} spans (--max-items {DEFAULT_MAX_ITEMS}): "
                                  "split it into smaller requests")
        assert s.bad[1].error.startswith(f"{DEFAULT_MAX_ITEMS} span(s) of the line refused")

    def test_an_event_with_a_member_named_like_otlp_is_still_an_event(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(0, resourceSpans=[])]))
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert s.otlp_not_kept == 0 and s.accepted + s.bad_count == 1


class TestCommand:
    def test_a_missing_file_is_exit_1_before_anything_is_imported(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(0)]))
        done = run_cli("import", str(tmp_path / "t.jsonl"), str(tmp_path / "nope.jsonl"), "--db", str(tmp_path / "db.sqlite3"))
        assert done.returncode == 1
        assert done.stderr.decode().strip().splitlines() == [f"orvane-devtools import: {tmp_path / 'nope.jsonl'}: no such file"]
        assert not (tmp_path / "db.sqlite3").exists()

    def test_bad_options_are_exit_2(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(b"")
        both = run_cli("import", str(tmp_path / "t.jsonl"), "--db", "x", "--endpoint", "http://127.0.0.1:1")
        assert both.returncode == 2 and b"not allowed with argument" in both.stderr
        key = run_cli("import", str(tmp_path / "t.jsonl"), "--db", str(tmp_path / "db"), "--api-key", "k")
        assert key.returncode == 2 and key.stderr.decode().strip() == \
            "orvane-devtools import: --api-key goes with --endpoint (a database file needs no key)"
        url = run_cli("import", str(tmp_path / "t.jsonl"), "--endpoint", "ftp://host/x")
        assert url.returncode == 2 and b"is not an http:// or https:// URL" in url.stderr
        none = run_cli("import")
        assert none.returncode == 2 and b"Traceback" not in none.stderr

    def test_a_database_path_that_is_a_folder_is_exit_1(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(0)]))
        done = run_cli("import", str(tmp_path / "t.jsonl"), "--db", str(tmp_path))
        assert done.returncode == 1 and b"is a folder, not a database file" in done.stderr
        assert b"Traceback" not in done.stderr

    def test_an_unreachable_listener_is_exit_1(self, tmp_path):
        import socket

        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(0)]))
        done = run_cli("import", str(tmp_path / "t.jsonl"), "--endpoint", f"127.0.0.1:{port}", timeout=60)
        assert done.returncode == 1
        err = done.stderr.decode().strip().splitlines()
        assert err == [f"orvane-devtools import: the listener at http://127.0.0.1:{port}/observation/import "
                       f"cannot be reached (ConnectError: All connection attempts failed)"]

    def test_the_default_database_is_the_one_start_uses(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(0)]))
        env = dict(os.environ, XDG_DATA_HOME=str(tmp_path / "data"))
        done = run_cli("import", str(tmp_path / "t.jsonl"), env=env)
        assert done.returncode == 0, done.stderr
        db = tmp_path / "data" / "orvane-devtools" / "listener.sqlite3"
        assert f"importing into {db}".encode() in done.stdout and len(stored(db)) == 1


class TestProgress:
    class Terminal:
        """What tqdm writes to, as a terminal would take it (the import asks ``isatty``)."""

        def __init__(self, tty: bool) -> None:
            self.tty = tty
            self.text = ""

        def isatty(self) -> bool:
            return self.tty

        def write(self, s: str) -> int:
            self.text += s
            return len(s)

        def flush(self) -> None:
            pass

    def run(self, tmp_path, lines: int, tty: bool = True) -> str:
        from orvane_devtools.tracefiles.importer import Progress, import_source

        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(i) for i in range(lines)]))
        source = TraceSource(str(tmp_path / "t.jsonl"))
        source.check()
        terminal = self.Terminal(tty)
        target = DatabaseTarget(tmp_path / "db.sqlite3")
        target.open()

        async def go():
            try:
                return await import_source(source, target, Progress(terminal, after_lines=2500))
            finally:
                await target.close()

        assert asyncio.run(go()).accepted == lines
        return terminal.text

    def test_a_bar_with_events_rate_and_bytes_left_past_the_line_count(self, tmp_path):
        text = self.run(tmp_path, 9000)
        assert "t.jsonl" in text and "events, " in text and "/s" in text and " left" in text
        assert "%|" in text  # tqdm's bar over the file's bytes

    def test_no_bar_for_a_small_file_or_without_a_terminal(self, tmp_path):
        assert self.run(tmp_path, 2000) == ""
        (tmp_path / "pipe").mkdir()
        assert self.run(tmp_path / "pipe", 9000, tty=False) == ""
