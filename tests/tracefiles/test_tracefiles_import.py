"""Importing trace files into a database: the answers against the desk that wrote the file, and
every kind of damage a file can carry (cut, garbage, binary, empty, gzip, standard input)."""

from __future__ import annotations

import asyncio
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


class TestOtlpLines:
    def test_recognised_and_reported_not_as_bad_lines(self, tmp_path):
        from google.protobuf import json_format
        from opentelemetry.proto.collector.logs.v1.logs_service_pb2 import ExportLogsServiceRequest
        from opentelemetry.proto.collector.trace.v1.trace_service_pb2 import ExportTraceServiceRequest

        traces = ExportTraceServiceRequest()
        span = traces.resource_spans.add().scope_spans.add().spans.add()
        span.trace_id = bytes(range(16))
        span.span_id = bytes(range(8))
        span.name = "chat"
        logs = ExportLogsServiceRequest()
        logs.resource_logs.add().scope_logs.add().log_records.add().body.string_value = "hello"
        lines = [json_format.MessageToJson(m, indent=None).encode() for m in (traces, logs)]
        assert all(b"\n" not in line for line in lines)
        (tmp_path / "t.jsonl").write_bytes(lines[0] + b"\n" + jsonl([event_line(0)]) + lines[1] + b"\n")
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert (s.accepted, s.bad_count, s.otlp_not_imported) == (1, 0, 2)
        assert "  OTLP lines: not imported by this version (2 lines)" in s.text()

    def test_an_event_with_a_member_named_like_otlp_is_still_an_event(self, tmp_path):
        (tmp_path / "t.jsonl").write_bytes(jsonl([event_line(0, resourceSpans=[])]))
        [s] = import_db(tmp_path / "db.sqlite3", str(tmp_path / "t.jsonl"))
        assert s.otlp_not_imported == 0 and s.accepted + s.bad_count == 1


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
