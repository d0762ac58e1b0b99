"""JSON Lines backend: exact bytes, files and directories, failures, rotation, concurrency."""

from __future__ import annotations

import asyncio
import json
import os
import pathlib
import threading

import pytest

from orvane.utils import DataFormatter
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.backends import JSONLTraceSink, Linefile
from orvane_devtools.observation.TraceSink import RuntimeTraceSink


def event(i=0, **kw):
    return RuntimeEvent(
        event_id=kw.pop("event_id", f"e{i}"),
        event_type=kw.pop("event_type", "stream.delta"),
        timestamp=1_700_000_000_000 + i,
        message=kw.pop("message", f"m{i}"),
        payload=kw.pop("payload", {"i": i, "f": 0.1 * i, "nested": {"list": [1, None, True]}}),
        meta=kw.pop("meta", {"app_id": "app", "api_key": "secret-value"}),
        run=RuntimeRunContext(run_id=f"r{i % 3}", run_kind="task"),
        **kw,
    )


def expected_line(ev):
    data = DataFormatter.sanitize(ev.model_dump(mode="json"))
    return (json.dumps(data, ensure_ascii=False) + "\n").encode("utf-8")


class TestEncoding:
    @pytest.mark.parametrize(
        "value",
        [
            {"a": 1, "b": [1, 2.5, None, True, False], "c": {"d": {}}},
            [[], {}, "", [[[]]]],
            {"floats": [0.1, 1e16, 1e-7, -0.0, 1.0, 123456789.123, 5e-324, 1.7976931348623157e308]},
            {"specials": [float("nan"), float("inf"), float("-inf")]},
            {"ints": [0, -1, 2**63 - 1, -(2**63), 2**64, -(10**40), 10**100]},
            {"text": "ü€😀 \u2028 \x7f \x00\x01\x1f \"quoted\" back\\slash \n\r\t\b\f"},
            {"ключ": "значение", "中文": "字符", "emoji😀": "😀"},
            {1: "int key", 2.5: "float", True: "t", False: "f", None: "n", float("nan"): "nan"},
            ("tuple", 1),
            "plain string",
            3.25,
            None,
        ],
    )
    def test_bytes_equal_python(self, value):
        assert Linefile._encode_line(value) == (json.dumps(value, ensure_ascii=False) + "\n").encode()

    def test_subclasses_and_other_types(self):
        import enum

        class Color(str, enum.Enum):
            RED = "red"

        class Num(enum.IntEnum):
            ONE = 1

        class MyDict(dict):
            pass

        value = {"c": Color.RED, "n": Num.ONE, "f": type("F", (float,), {})(2.5),
                 "d": MyDict(x=[1])}
        assert Linefile._encode_line(value) == (json.dumps(value, ensure_ascii=False) + "\n").encode()

    def test_unencodable_values_raise_like_json(self):
        with pytest.raises(TypeError, match="not JSON serializable"):
            Linefile._encode_line({"x": object()})
        loop = []
        loop.append(loop)
        with pytest.raises(ValueError, match="Circular reference"):
            Linefile._encode_line(loop)

    @pytest.mark.parametrize("text", ['say "hi"', '"', '""quoted""', 'back\\slash "and" quote',
                                      'tab\there\nnew line', '\x00\x01\x1f\x7f', 'plain ascii'])
    def test_ascii_only_text_is_escaped(self, text):
        # Text without any non-ASCII character takes the writer's ASCII path: quotes, backslashes
        # and control characters must be escaped there as well, in values and in keys.
        value = {text: text, "list": [text, {"k": text}]}
        assert Linefile._encode_line(value) == (json.dumps(value, ensure_ascii=False) + "\n").encode()
        assert json.loads(Linefile._encode_line(value)) == value

    def test_lone_surrogates_are_escaped(self):
        line = Linefile._encode_line({"s": "a\ud800b", "k\udfff": 1})
        assert line == b'{"s": "a\\ud800b", "k\\udfff": 1}\n'
        line.decode("utf-8")  # valid UTF-8
        assert json.loads(line) == {"s": "a\ud800b", "k\udfff": 1}

    def test_deep_nesting_goes_through_json(self):
        value = 0
        for _ in range(1500):
            value = [value]
        try:
            expected = (json.dumps(value, ensure_ascii=False) + "\n").encode()
        except RecursionError:
            with pytest.raises(RecursionError):
                Linefile._encode_line(value)
        else:
            assert Linefile._encode_line(value) == expected


class TestSink:
    def test_class_shape(self, tmp_path):
        assert issubclass(JSONLTraceSink, RuntimeTraceSink) and JSONLTraceSink.name == "jsonl"
        sink = JSONLTraceSink(str(tmp_path / "x.jsonl"))
        assert sink.path == tmp_path / "x.jsonl" and isinstance(sink.path, pathlib.Path)
        with pytest.raises(TypeError, match=r"Argument 'path' has incorrect type \(expected str, got PosixPath\)"):
            JSONLTraceSink(tmp_path)
        with pytest.raises(TypeError, match="Argument 'path'"):
            JSONLTraceSink(None)

    def test_lines_bytes_directories(self, tmp_path):
        path = tmp_path / "deep" / "er" / "events.jsonl"
        sink = JSONLTraceSink(str(path))
        asyncio.run(sink.append_events([]))
        assert not (tmp_path / "deep").exists()  # empty batch: nothing touched

        e1, e2 = event(1, message="grüße ✓"), event(2)
        asyncio.run(sink.append_events([e1, e2]))
        asyncio.run(sink.append_event(event(3)))
        data = path.read_bytes()
        assert data == expected_line(e1) + expected_line(e2) + expected_line(event(3))
        assert "grüße ✓".encode() in data and b'"***"' in data and b"secret-value" not in data

    def test_appends_to_existing_file(self, tmp_path):
        path = tmp_path / "e.jsonl"
        path.write_bytes(b"existing\n")
        asyncio.run(JSONLTraceSink(str(path)).append_events([event(1), event(2)]))
        lines = path.read_bytes().splitlines()
        assert lines[0] == b"existing" and len(lines) == 3
        assert [json.loads(x)["event_id"] for x in lines[1:]] == ["e1", "e2"]

    def test_serialize_event(self, tmp_path):
        ev = event(4)
        assert JSONLTraceSink(str(tmp_path / "x")). _serialize_event(ev) == DataFormatter.sanitize(
            ev.model_dump(mode="json"))

    def test_write_lines(self, tmp_path):
        sink = JSONLTraceSink(str(tmp_path / "a" / "x.jsonl"))
        sink._write_lines([])
        assert sink.path.read_bytes() == b""
        sink._write_lines(["one\n", "zwei ü\n"])
        assert sink.path.read_text("utf-8") == "one\nzwei ü\n"
        with pytest.raises(TypeError, match="Argument 'lines'"):
            sink._write_lines("one\n")
        with pytest.raises(TypeError, match="Argument 'lines'"):
            sink._write_lines(["ok\n", 5])

    def test_relative_path_follows_the_working_directory(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        sink = JSONLTraceSink("rel/e.jsonl")
        asyncio.run(sink.append_event(event(1)))
        assert (tmp_path / "rel" / "e.jsonl").exists()

    def test_overridden_hooks_are_used(self, tmp_path):
        written = []

        class Custom(JSONLTraceSink):
            def _serialize_event(self, event):
                return {"id": event.event_id}

            def _write_lines(self, lines):
                written.append((threading.current_thread() is threading.main_thread(), lines))

        asyncio.run(Custom(str(tmp_path / "x")).append_events([event(1), event(2)]))
        assert written == [(False, ['{"id": "e1"}\n', '{"id": "e2"}\n'])]

    def test_ascii_event_with_quotes(self, tmp_path):
        ev = event(5, message='he said "stop" \\ twice', payload={'key "q"': 'v "w"'})
        path = tmp_path / "q.jsonl"
        asyncio.run(JSONLTraceSink(str(path)).append_event(ev))
        assert path.read_bytes() == expected_line(ev)
        assert json.loads(path.read_bytes())["message"] == 'he said "stop" \\ twice'

    def test_methods_replaced_on_the_instance_are_used(self, tmp_path):
        # An attribute set on the instance wins over the class's method, as in Python.
        sink = JSONLTraceSink(str(tmp_path / "x.jsonl"))
        written = []
        sink._serialize_event = lambda ev: {"id": ev.event_id}
        asyncio.run(sink.append_events([event(1)]))
        assert sink.path.read_bytes() == b'{"id": "e1"}\n'
        sink._write_lines = written.append
        asyncio.run(sink.append_events([event(2)]))
        assert written == [['{"id": "e2"}\n']]
        assert sink.path.read_bytes() == b'{"id": "e1"}\n'
        other = JSONLTraceSink(str(tmp_path / "x.jsonl"))  # other instances keep the class's
        asyncio.run(other.append_event(event(3)))
        assert sink.path.read_bytes() == b'{"id": "e1"}\n' + expected_line(event(3))

    def test_custom_attribute_access_is_honoured(self, tmp_path):
        class Redirecting(JSONLTraceSink):
            def __getattribute__(self, name):
                if name == "_serialize_event":
                    return lambda ev: {"via": "__getattribute__", "id": ev.event_id}
                return super().__getattribute__(name)

        sink = Redirecting(str(tmp_path / "x.jsonl"))
        asyncio.run(sink.append_event(event(1)))
        assert sink.path.read_bytes() == b'{"via": "__getattribute__", "id": "e1"}\n'

    def test_serialisation_error_writes_nothing(self, tmp_path):
        class Bad(JSONLTraceSink):
            def _serialize_event(self, event):
                if event.event_id == "e2":
                    raise ValueError("bad event")
                return {"id": event.event_id}

        sink = Bad(str(tmp_path / "x.jsonl"))
        with pytest.raises(ValueError):
            asyncio.run(sink.append_events([event(1), event(2)]))
        assert not sink.path.exists()


class TestFailures:
    def test_directory_in_the_way_then_recovers(self, tmp_path):
        path = tmp_path / "e.jsonl"
        path.mkdir()
        sink = JSONLTraceSink(str(path))
        with pytest.raises(IsADirectoryError) as info:
            asyncio.run(sink.append_event(event(1)))
        assert info.value.filename == str(path)
        path.rmdir()
        asyncio.run(sink.append_event(event(2)))
        assert [json.loads(x)["event_id"] for x in path.read_bytes().splitlines()] == ["e2"]

    def test_file_in_place_of_a_directory(self, tmp_path):
        (tmp_path / "blocker").write_text("x")
        sink = JSONLTraceSink(str(tmp_path / "blocker" / "e.jsonl"))
        with pytest.raises(OSError):
            asyncio.run(sink.append_event(event(1)))
        with pytest.raises(OSError):
            sink._write_lines(["x\n"])

    @pytest.mark.skipif(os.geteuid() == 0, reason="root ignores file permissions")
    def test_permission_denied(self, tmp_path):
        path = tmp_path / "e.jsonl"
        path.write_text("")
        path.chmod(0o400)
        with pytest.raises(PermissionError):
            asyncio.run(JSONLTraceSink(str(path)).append_event(event(1)))

    def test_deleted_and_rotated_files_are_recreated(self, tmp_path):
        path = tmp_path / "e.jsonl"
        sink = JSONLTraceSink(str(path))

        async def main():
            await sink.append_event(event(1))
            path.unlink()
            await sink.append_event(event(2))
            path.rename(tmp_path / "e.jsonl.1")
            await sink.append_event(event(3))

        asyncio.run(main())
        ids = lambda p: [json.loads(x)["event_id"] for x in p.read_bytes().splitlines()]  # noqa: E731
        assert ids(tmp_path / "e.jsonl.1") == ["e2"] and ids(path) == ["e3"]

    @pytest.mark.timeout(30)
    def test_a_write_that_fails_late_raises(self, tmp_path):
        # The file is a pipe whose reader comes late and leaves without reading: the writer thread
        # waits in open() and write() long after the coroutine stopped polling, then fails with
        # EPIPE, which must reach the awaiting coroutine.
        import time

        path = tmp_path / "pipe.jsonl"
        os.mkfifo(path)

        def reader():
            fd = os.open(path, os.O_RDONLY)  # returns once the writer thread has opened the pipe
            time.sleep(0.05)  # the writer is blocked on the full pipe by now
            os.close(fd)

        thread = threading.Thread(target=reader)
        thread.start()
        big = [event(i, message="x" * 100_000) for i in range(3)]
        with pytest.raises(BrokenPipeError):
            asyncio.run(JSONLTraceSink(str(path)).append_events(big))
        thread.join()

    def test_cancelled_append_does_not_break_the_writer(self, tmp_path):
        path = tmp_path / "e.jsonl"
        sink = JSONLTraceSink(str(path))

        async def main():
            task = asyncio.ensure_future(sink.append_events([event(i) for i in range(200)]))
            await asyncio.sleep(0)
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
            await sink.append_event(event(999))

        asyncio.run(main())
        lines = path.read_bytes().splitlines()
        assert json.loads(lines[-1])["event_id"] == "e999"
        assert all(json.loads(x) for x in lines)


def test_concurrent_appends_keep_every_line_whole(tmp_path):
    path = tmp_path / "concurrent.jsonl"
    big = "x" * 20_000  # batches far beyond one buffered write
    sinks = [JSONLTraceSink(str(path)) for _ in range(3)]

    def batch(tag, n):
        return [event(i, event_id=f"{tag}-{i}", message=f"{tag} {big}") for i in range(n)]

    async def tasks(tag):
        await asyncio.gather(*(sinks[k % 3].append_events(batch(f"{tag}-{k}", 20)) for k in range(8)))

    def thread_main(tag):
        asyncio.run(tasks(tag))

    threads = [threading.Thread(target=thread_main, args=(f"t{t}",)) for t in range(4)]
    for t in threads:
        t.start()
    for k in range(50):  # synchronous writes from this thread meanwhile
        sinks[0]._write_lines([json.dumps({"event_id": f"sync-{k}", "message": big}) + "\n"] * 3)
    for t in threads:
        t.join()

    lines = path.read_bytes().split(b"\n")
    assert lines[-1] == b""
    ids = [json.loads(line)["event_id"] for line in lines[:-1]]
    assert len(ids) == 4 * 8 * 20 + 150
    assert len(set(ids)) == 4 * 8 * 20 + 50
    # Each batch is contiguous and in order.
    for t in range(4):
        for k in range(8):
            tag = f"t{t}-{k}"
            first = ids.index(f"{tag}-0")
            assert ids[first:first + 20] == [f"{tag}-{i}" for i in range(20)]
