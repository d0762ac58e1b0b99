"""Reading an OTLP/HTTP request body: its media type, its content encoding, and gzip inflated in
bounded steps, so that the size limit counts the inflated bytes and a small body that inflates
to gigabytes stops at the limit instead of filling the memory."""

from __future__ import annotations

import zlib

from .answers import JSON, PROTOBUF

__all__ = ["BadBody", "TooLarge", "TooManyItems", "Unsupported", "codings", "gunzip", "inflate", "media_type"]

# Inflated bytes handed out per step at most.
STEP = 1 << 20


class Unsupported(Exception):
    """A content type or content encoding the receiver does not take (answered with 415)."""


class BadBody(ValueError):
    """A body that cannot be read as its encoding says (answered with 400)."""


class TooLarge(Exception):
    """The body, once inflated, is larger than the limit (answered with 413)."""


class TooManyItems(Exception):
    """A request holding more than a reader's bound allows (answered with 413): ``what`` is
    ``"spans"``, ``"span events"``, ``"span links"``, ``"log records"`` or ``"parts"``
    (attributes and the other parts counted with them), ``limit`` the bound it went over. The
    native readers and the JSON reader raise it while they read, before the request is built
    whole."""

    def __init__(self, what: str, limit: int) -> None:
        super().__init__(f"more than {limit} {what}")
        self.what = what
        self.limit = limit


def media_type(header: str | None) -> str:
    """``application/x-protobuf`` or ``application/json`` (parameters such as ``charset``
    allowed, case ignored); ``Unsupported`` for anything else."""
    if header is None:
        raise Unsupported("a Content-Type of application/x-protobuf or application/json is required")
    media = header.split(";", 1)[0].strip().lower()
    if media in (PROTOBUF, JSON):
        return media
    raise Unsupported(f"Content-Type {media or header!r} is not taken: send application/x-protobuf or "
                      f"application/json")


def codings(header: str | None) -> list[str]:
    """The content codings in the order they were applied; ``Unsupported`` for one other than
    gzip or identity."""
    if header is None:
        return []
    out = []
    for part in header.split(","):
        coding = part.strip().lower()
        if coding in ("", "identity"):
            continue
        if coding in ("gzip", "x-gzip"):
            out.append("gzip")
            continue
        raise Unsupported(f"Content-Encoding {part.strip()!r} is not taken: send gzip or identity")
    return out


def gunzip(data: bytes, limit: int) -> bytes:
    """The inflated ``data`` (gzip, one member or several); ``TooLarge`` as soon as more than
    ``limit`` bytes come out, ``BadBody`` for data that is not gzip or is cut short."""
    out = bytearray()
    rest = data
    while True:
        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        pending = rest
        try:
            while True:
                room = min(STEP, limit + 1 - len(out))
                chunk = inflater.decompress(pending, room)
                out += chunk
                if len(out) > limit:
                    raise TooLarge
                pending = inflater.unconsumed_tail
                if inflater.eof:
                    break
                if not pending and not chunk:
                    raise BadBody("the gzip body is cut short")
        except zlib.error as exc:
            raise BadBody(f"the body is not valid gzip ({exc})") from None
        rest = inflater.unused_data
        if not rest:
            return bytes(out)


def inflate(data: bytes, applied: list[str], limit: int) -> bytes:
    """The body with its content codings (``codings``) undone, the last applied first."""
    for _ in reversed(applied):
        data = gunzip(data, limit)
    return data
