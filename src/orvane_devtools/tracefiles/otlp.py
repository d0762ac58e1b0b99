"""OTLP JSON lines in a trace file: the one place that decides what becomes of them.

Every line recognised as an OTLP JSON request (``formats.OTLP_KINDS``) comes here, from every
road in (``orvane-devtools import`` into a database, ``POST /import``, so ``open`` and the page
too). This version stores none of them: they are counted and reported under ``NOT_IMPORTED``,
never as bad lines.
"""

from __future__ import annotations

from typing import Any

__all__ = ["NOT_IMPORTED", "otlp_line_events"]

NOT_IMPORTED = "OTLP lines: not imported by this version"


def otlp_line_events(kind: str, body: bytes) -> list[Any] | None:
    """The events of one OTLP JSON line, or None while this version does not import them.

    ``kind`` is "traces", "logs" or "metrics"; ``body`` the line's bytes, one
    ``Export*ServiceRequest`` in OTLP's JSON encoding, exactly as a receiver gets it as an
    ``application/json`` body. The events returned (``RuntimeEvent``s, masked as every stored
    event is, with stable event ids so that a file imported twice is stored once) are committed
    with the file's other events; an empty list means the line holds nothing to keep. A
    ``ValueError`` makes the line a bad line with the error's text as its reason.
    """
    return None
