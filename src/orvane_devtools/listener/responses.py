"""The listener's JSON answers: one response class renders every JSON body.

An answer is plain data (dicts, lists, tuples, text, numbers, None) in which run records and
events stand as they are: each record is written by pydantic in one call
(``model_dump_json``, the same values as a JSON-mode dump), everything else by ``json``. A run
in an answer of the run routes is a ``RunAnswer``: its record with the run's LLM call (the JSON
text the store keeps, spliced in as it is) and its totals. A ``JSONText`` is JSON text made
elsewhere (an event as the store keeps it), spliced in as it is. The
writer walks the value with a stack of its own, so an answer as deep as a long chain of runs
(a nested tree) needs no recursion.
"""

from __future__ import annotations

import json
from typing import Any

from pydantic import BaseModel
from starlette.responses import Response

__all__ = ["JSONAnswer", "JSONText", "RunAnswer", "error", "render_json"]

_encode = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), default=str).encode
_SCALARS = (str, int, float, bool, type(None))


class JSONText(str):
    """Text that is already JSON (one value), written into an answer as it is."""

    __slots__ = ()

    @classmethod
    def array(cls, texts: list[str]) -> JSONText:
        """The JSON array of ``texts`` (each one JSON value)."""
        return cls(f"[{','.join(texts)}]")

    @classmethod
    def plain(cls, value: Any) -> JSONText:
        """``value`` written by ``json`` in one call, as ``render_json`` writes it: for data that
        holds no records and whose mapping keys are all text."""
        return cls(_encode(value))


class RunAnswer:
    """A run record as the run routes answer it: the record's fields, then ``"llm"`` (the run's
    LLM call, ``LlmCall.as_json()``, or null) and ``"totals"`` (of its LLM calls and its
    descendants': ``{"llm_calls", "input_tokens", "output_tokens", "total_tokens", "cost_usd",
    "unpriced_calls"}``)."""

    __slots__ = ("record", "llm", "totals")

    def __init__(self, record: Any, llm: str | None, totals: dict[str, Any]) -> None:
        self.record = record
        self.llm = llm  # the stored JSON text, or None
        self.totals = totals

    @property
    def run_id(self) -> str:
        return self.record.run_id

    def json(self) -> str:
        text = self.record.model_dump_json()
        return f'{text[:-1]},"llm":{self.llm or "null"},"totals":{_totals_text(self.totals)}}}'


# The JSON of the totals met lately, by their values (most runs share a few: no calls at all).
_TOTALS_TEXTS: dict[tuple, str] = {}


def _totals_text(totals: dict[str, Any]) -> str:
    key = (*totals.items(), *map(type, totals.values()))  # 1, 1.0 and True are one key otherwise
    try:
        return _TOTALS_TEXTS[key]
    except KeyError:
        pass
    except TypeError:  # a value that is not hashable
        return _encode(totals)
    text = _encode(totals)
    if len(_TOTALS_TEXTS) >= 4096:
        _TOTALS_TEXTS.clear()
    _TOTALS_TEXTS[key] = text
    return text


def render_json(value: Any) -> str:
    """``value`` as compact JSON text (records written by pydantic, text kept as Unicode)."""
    kind = type(value)
    if kind is JSONText:
        return str.__str__(value)
    if kind in _SCALARS:
        return _encode(value)
    if kind is RunAnswer:
        return value.json()
    if isinstance(value, BaseModel):
        return value.model_dump_json()
    out: list[str] = []
    # Each entry: (iterator over what is left of a container, its closing bracket, first item?)
    stack: list[list[Any]] = []
    _open(value, out, stack)
    while stack:
        frame = stack[-1]
        iterator, closing, is_mapping = frame[0], frame[1], frame[2]
        item = next(iterator, _END)
        if item is _END:
            out.append(closing)
            stack.pop()
            continue
        if frame[3]:
            frame[3] = False
        else:
            out.append(",")
        if is_mapping:
            key, item = item
            out.append(_encode(key if type(key) is str else str(key)))
            out.append(":")
        if type(item) is JSONText:
            out.append(item)
        elif type(item) in _SCALARS:
            out.append(_encode(item))
        elif type(item) is RunAnswer:
            out.append(item.json())
        elif isinstance(item, BaseModel):
            out.append(item.model_dump_json())
        else:
            _open(item, out, stack)
    return "".join(out)


_END = object()


def _open(value: Any, out: list[str], stack: list[list[Any]]) -> None:
    if isinstance(value, dict):
        out.append("{")
        stack.append([iter(value.items()), "}", True, True])
    elif isinstance(value, (list, tuple)):
        out.append("[")
        stack.append([iter(value), "]", False, True])
    else:
        out.append(_encode(value))  # anything else as json writes it (str() for the unknown)


class JSONAnswer(Response):
    """A JSON answer of the API (``application/json``, UTF-8)."""

    media_type = "application/json"

    def render(self, content: Any) -> bytes:
        return render_json(content).encode("utf-8")


def error(status: int, message: str, **extra: Any) -> JSONAnswer:
    """``{"error": message, ...extra}`` with ``status``."""
    return JSONAnswer({"error": message, **extra}, status_code=status)
