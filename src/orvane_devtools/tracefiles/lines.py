"""Reading a trace file line by line in bounded memory: plain or gzip, a file or standard input.

A source is read in chunks of ``CHUNK_BYTES``; a line is held only until its end is found, and a
line longer than the reader's limit is not held at all: it is reported (``Line.too_long``) and
skipped up to its end. Memory therefore stays within a chunk plus the longest line allowed,
whatever the size of the file. Gzip is recognised by its magic bytes (whatever the file is
called), concatenated members included; a gzip file cut short gives the lines before the cut and
reports the rest as one cut line.
"""

from __future__ import annotations

import gzip
import io
import os
import sys
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from typing import IO, BinaryIO

__all__ = [
    "CHUNK_BYTES",
    "DEFAULT_MAX_LINE_BYTES",
    "GZIP_MAGIC",
    "Line",
    "SourceError",
    "TraceSource",
]

GZIP_MAGIC = b"\x1f\x8b"
CHUNK_BYTES = 1 << 20
# The longest line kept: a JSON Lines backend writes one event per line, and an event larger
# than a listener's default body limit could not have been uploaded either.
DEFAULT_MAX_LINE_BYTES = 16 * 1024 * 1024
_BOM = b"\xef\xbb\xbf"


class SourceError(OSError):
    """A trace file cannot be opened or read; the message is one line meant for the user."""


@dataclass(slots=True)
class Line:
    """One line of a source: its number (from 1) and its bytes without the end of line.

    ``ended`` is False for a last line the source ends inside (no newline after it: a file still
    being written, a crash, a cut gzip stream). ``too_long`` is set instead of ``data`` (which is
    then empty) for a line longer than the reader's limit; ``size`` is its length in bytes as far
    as it was read.
    """

    number: int
    data: bytes
    ended: bool = True
    too_long: bool = False
    size: int = 0
    cut_gzip: bool = False


class _Rewound(io.RawIOBase):
    """A raw stream that gives ``head`` back before the rest of ``stream`` (for the magic bytes
    of standard input, which cannot seek)."""

    def __init__(self, head: bytes, stream: BinaryIO) -> None:
        self._head = head
        self._stream = stream

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        data = self._stream.read(len(buffer))
        n = len(data)
        buffer[:n] = data
        return n


class _Counting(io.RawIOBase):
    """Counts the bytes read from the underlying raw stream (the progress of a gzip file is how
    much of the file on disk was read, not how much came out of it)."""

    def __init__(self, stream: BinaryIO) -> None:
        self._stream = stream
        self.count = 0

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: memoryview) -> int:  # type: ignore[override]
        data = self._stream.read(len(buffer))
        n = len(data)
        buffer[:n] = data
        self.count += n
        return n


class TraceSource:
    """One trace file to read: a path, or ``-`` for standard input.

    ``size`` is the length of the file on disk when it is a regular file (None for a pipe or
    standard input); ``position`` how many of those bytes were read so far; ``gzip`` whether
    the content is gzip (known once ``lines()`` has begun).
    """

    def __init__(self, name: str, *, stdin: IO[bytes] | None = None,
                 max_line_bytes: int = DEFAULT_MAX_LINE_BYTES) -> None:
        self.name = name
        self.label = "standard input" if name == "-" else name
        self.max_line_bytes = max_line_bytes
        self._stdin = stdin
        self.size: int | None = None
        self.gzip = False
        self._counter: _Counting | None = None

    @property
    def position(self) -> int:
        return self._counter.count if self._counter is not None else 0

    def check(self) -> None:
        """Raises ``SourceError`` when the file is missing or cannot be read (before anything is
        imported); records its size."""
        if self.name == "-":
            return
        try:
            st = os.stat(self.name)
        except FileNotFoundError:
            raise SourceError(f"{self.name}: no such file") from None
        except OSError as exc:
            raise SourceError(f"{self.name}: {exc.strerror or exc}") from None
        import stat

        if stat.S_ISDIR(st.st_mode):
            raise SourceError(f"{self.name}: is a folder, not a trace file")
        if not os.access(self.name, os.R_OK):
            raise SourceError(f"{self.name}: not allowed to read it")
        self.size = st.st_size if stat.S_ISREG(st.st_mode) else None

    def _open_raw(self) -> BinaryIO:
        if self.name == "-":
            stream = self._stdin if self._stdin is not None else sys.stdin.buffer
            return stream
        try:
            return open(self.name, "rb", buffering=0)
        except OSError as exc:
            raise SourceError(f"{self.name}: {exc.strerror or exc}") from None

    def lines(self) -> Iterator[Line]:
        """The lines of the source, numbered from 1, blank ones included (the caller skips them)."""
        raw = self._open_raw()
        owned = raw is not self._stdin and self.name != "-"
        try:
            counter = self._counter = _Counting(raw)
            head = b""
            while len(head) < 2:
                more = counter.read(2 - len(head))
                if not more:
                    break
                head += more
            self.gzip = head == GZIP_MAGIC
            stream: BinaryIO = io.BufferedReader(_Rewound(head, counter), CHUNK_BYTES)  # type: ignore[arg-type]
            if self.gzip:
                stream = gzip.GzipFile(fileobj=stream, mode="rb")  # type: ignore[assignment]
            yield from self._split(stream)
        finally:
            if owned:
                raw.close()

    def _read(self, stream: BinaryIO) -> tuple[bytes, bool]:
        """(the next chunk, whether the gzip stream ended before its end marker)."""
        try:
            return stream.read1(CHUNK_BYTES), False
        except (EOFError, gzip.BadGzipFile, zlib.error):
            # Cut short (a file still being written) or damaged: what came out so far is kept.
            return b"", True
        except OSError as exc:
            raise SourceError(f"{self.label}: {exc.strerror or exc}") from None

    def _chunks(self, stream: BinaryIO) -> Iterator[tuple[bytes, bool]]:
        """The content in chunks, a byte order mark at its start left out; the last chunk is
        empty (with whether the gzip stream broke off)."""
        head = b""
        while len(head) < len(_BOM):
            chunk, broken = self._read(stream)
            if not chunk:
                break
            head += chunk
        else:
            broken = False
        if head.startswith(_BOM):
            head = head[len(_BOM):]
        if head:
            yield head, False
        if head or not broken:
            while True:
                chunk, broken = self._read(stream)
                if not chunk:
                    break
                yield chunk, False
        yield b"", broken

    def _split(self, stream: BinaryIO) -> Iterator[Line]:
        limit = self.max_line_bytes
        number = 0
        carry = b""    # the start of a line whose end has not been read yet
        skipping = 0   # > 0: inside a line already known to be too long; its length so far
        for chunk, broken in self._chunks(stream):
            if not chunk:
                if skipping:
                    number += 1
                    yield Line(number, b"", ended=False, too_long=True, size=skipping, cut_gzip=broken)
                elif carry or broken:
                    number += 1
                    data = carry[:-1] if carry.endswith(b"\r") else carry
                    yield Line(number, data, ended=False, size=len(carry), cut_gzip=broken)
                return
            parts = chunk.split(b"\n")
            tail = parts.pop()  # the start of the next line (b"" when the chunk ends a line)
            if parts:
                head = parts[0]
                if skipping:
                    number += 1
                    yield Line(number, b"", too_long=True, size=skipping + len(head))
                    skipping = 0
                    parts = parts[1:]
                elif carry:
                    parts[0] = carry + head
                carry = b""
                for data in parts:
                    number += 1
                    size = len(data)
                    if size > limit:
                        yield Line(number, b"", too_long=True, size=size)
                        continue
                    if data.endswith(b"\r"):
                        data = data[:-1]
                    yield Line(number, data, size=size)
            if skipping:
                skipping += len(tail)
            elif len(carry) + len(tail) > limit:
                skipping = len(carry) + len(tail)
                carry = b""
            elif tail:
                carry += tail
