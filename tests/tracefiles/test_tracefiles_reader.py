"""The line reader against a plain model (split on newlines), whatever the chunk size; its
memory while a line far over the limit goes by; what each line is recognised as."""

from __future__ import annotations

import gzip
import io
import json
import random
import tracemalloc

import pytest

from orvane_devtools.tracefiles import lines as lines_module
from orvane_devtools.tracefiles.formats import BAD, BLANK, EVENT, recognise
from orvane_devtools.tracefiles.lines import Line, TraceSource


def model(content: bytes, limit: int) -> list[tuple]:
    """(number, data, ended, too_long) of each line, as a plain split gives them."""
    if content.startswith(b"\xef\xbb\xbf"):
        content = content[3:]
    parts = content.split(b"\n")
    ends_with_newline = parts[-1] == b""
    if ends_with_newline:
        parts.pop()
    out = []
    for i, part in enumerate(parts, 1):
        ended = i < len(parts) or ends_with_newline
        if len(part) > limit:
            out.append((i, b"", ended, True))
        else:
            out.append((i, part[:-1] if part.endswith(b"\r") else part, ended, False))
    return out


def read(source: TraceSource) -> list[tuple]:
    return [(ln.number, ln.data, ln.ended, ln.too_long) for ln in source.lines()]


def random_content(rng: random.Random) -> bytes:
    pieces = []
    for _ in range(rng.randrange(0, 40)):
        kind = rng.random()
        if kind < 0.1:
            pieces.append(b"")
        elif kind < 0.2:
            pieces.append(b"x" * rng.randrange(20, 90))  # around the limits used below
        else:
            pieces.append(bytes(rng.choice(b"ab{}\"\r: ") for _ in range(rng.randrange(12))))
    content = b"\n".join(pieces)
    if rng.random() < 0.5:
        content += b"\n"
    if rng.random() < 0.1:
        content = b"\xef\xbb\xbf" + content
    return content


@pytest.mark.parametrize("chunk", [1, 2, 3, 7, 64, 1 << 20])
def test_lines_are_those_of_a_plain_split_whatever_the_chunk_size(tmp_path, monkeypatch, chunk):
    monkeypatch.setattr(lines_module, "CHUNK_BYTES", chunk)
    rng = random.Random(chunk)
    for case in range(60):
        content = random_content(rng)
        limit = rng.choice([25, 50, 1000])
        path = tmp_path / f"c{case}.jsonl"
        path.write_bytes(content)
        assert read(TraceSource(str(path), max_line_bytes=limit)) == model(content, limit), (content, limit)
        path.write_bytes(gzip.compress(content))
        assert read(TraceSource(str(path), max_line_bytes=limit)) == model(content, limit), "gzip"


def test_limit_boundary(tmp_path):
    path = tmp_path / "t.jsonl"
    path.write_bytes(b"a" * 10 + b"\n" + b"b" * 11 + b"\n" + b"c" * 10 + b"\r\n" + b"d" * 12)
    got = read(TraceSource(str(path), max_line_bytes=10))
    # A CR before the newline counts towards the line's length as the file holds it.
    assert got == [(1, b"a" * 10, True, False), (2, b"", True, True), (3, b"", True, True), (4, b"", False, True)]


def test_standard_input_with_gzip_magic_bytes_read_one_at_a_time():
    class Trickle(io.RawIOBase):
        """A pipe that hands out one byte per read (the magic bytes arrive apart)."""

        def __init__(self, data: bytes) -> None:
            self.data = data

        def readable(self) -> bool:
            return True

        def readinto(self, buffer) -> int:
            if not self.data:
                return 0
            buffer[0] = self.data[0]
            self.data = self.data[1:]
            return 1

    content = b'{"a": 1}\n{"b": 2}\n'
    source = TraceSource("-", stdin=Trickle(gzip.compress(content)))
    assert read(source) == model(content, 1000) and source.gzip


def test_a_line_far_over_the_limit_is_never_held(tmp_path, monkeypatch):
    monkeypatch.setattr(lines_module, "CHUNK_BYTES", 64 * 1024)
    path = tmp_path / "big.jsonl"
    with open(path, "wb") as f:
        f.write(b'{"first": 1}\n')
        for _ in range(400):  # one line of 40 MB
            f.write(b"y" * 100_000)
        f.write(b'\n{"last": 2}\n')
    tracemalloc.start()
    try:
        got = [(ln.number, ln.data, ln.too_long, ln.size) for ln in TraceSource(str(path), max_line_bytes=1 << 20).lines()]
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert got == [(1, b'{"first": 1}', False, 12), (2, b"", True, 40_000_000), (3, b'{"last": 2}', False, 11)]
    assert peak < 4 * (1 << 20), f"peak {peak} bytes while reading a 40 MB line"


@pytest.mark.parametrize("data, ended, kind, reason", [
    (b'{"event_id": "e"}', True, EVENT, None),
    (b'  {"event_id": "e"}  ', True, EVENT, None),
    (b"   ", True, BLANK, None),
    (b"", True, BLANK, None),
    (b'{"resourceSpans": []}', True, "traces", None),
    (b'{"resourceLogs": [], "x": 1}', True, "logs", None),
    (b'{"resourceMetrics": []}', True, "metrics", None),
    (b'{"resourceSpans": [], "event_type": "x"}', True, EVENT, None),
    (b'{"event_id": "e"', True, BAD, "not JSON (Expecting ',' delimiter"),
    (b'{"event_id": "e"', False, BAD, "cut off: the file ends inside this line"),
    (b'{"event_id": "\xff"}', True, BAD, "not UTF-8 text (byte 15 of the line)"),
    (b'{"event_id": "\xe2\x82', False, BAD, "cut off"),
    (b"[1]", True, BAD, "not an event: a JSON object is expected, the line holds an array"),
    (b'"text"', True, BAD, "not an event: a JSON object is expected, the line holds a string"),
    (b"null", True, BAD, "not an event: a JSON object is expected, the line holds null"),
    (b"NaN", True, BAD, "not an event: a JSON object is expected, the line holds a number"),
    (b"[" * 100_000 + b"]" * 100_000, True, BAD, "not an event: nested too deeply"),
])
def test_what_a_line_is(data, ended, kind, reason):
    got_kind, value = recognise(Line(1, data, ended=ended, size=len(data)), 1000)
    assert got_kind == kind
    if reason is not None:
        assert value.startswith(reason), value
    elif kind == EVENT:
        assert value == json.loads(data)
