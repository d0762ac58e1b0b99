"""The normalised record of one LLM call.

Every reader in :mod:`orvane_devtools.llm.read` returns an :class:`LlmCall`, whatever convention
the call was recorded in; the store keeps its :meth:`LlmCall.as_json` form beside the run or
event it was read from, so lists, sorts and totals query stored numbers.

Counting rules (the readers apply them; docs/llm.md gives the source attributes):

* ``input_tokens`` counts all input, cache reads and cache writes included; ``cache_read_tokens``
  and ``cache_write_tokens`` are parts of it.
* ``output_tokens`` counts all output, reasoning included; ``reasoning_tokens`` is a part of it.
* ``total_tokens`` is the convention's own total where it sends one, else input plus output.
* ``cost_usd`` is a number or None, never a stand-in 0: ``priced`` says whether there is a cost at
  all, ``cost_source`` where it came from ("reported" by the producer, "priced" from the price
  table, None when there is none).
* ``model`` is the response model, else the request model.

Messages have one shape: ``{"role": str, "parts": [part, ...]}`` (output messages may add
``"finish_reason"``), with parts such as ``{"type": "text", "content": str}``,
``{"type": "tool_call", "id", "name", "arguments"}``, ``{"type": "tool_call_response", "id",
"response"}``, ``{"type": "reasoning", "content"}``; part types this module does not know are
kept as they came. ``system_instructions`` is a list of parts; ``tool_definitions`` a list of
``{"type": "function", "name", "description", "parameters"}`` where the source allows it.
"""

from __future__ import annotations

import math
from typing import Any

__all__ = ["FIELDS", "LlmCall", "COST_SOURCES"]

FIELDS: tuple[str, ...] = (
    "provider",
    "request_model",
    "response_model",
    "model",
    "input_tokens",
    "cache_read_tokens",
    "cache_write_tokens",
    "output_tokens",
    "reasoning_tokens",
    "total_tokens",
    "cost_usd",
    "priced",
    "cost_source",
    "finish_reasons",
    "time_to_first_token_ms",
    "input_messages",
    "output_messages",
    "system_instructions",
    "tool_definitions",
)

COST_SOURCES = ("reported", "priced")

_TOKEN_FIELDS = (
    "input_tokens",
    "cache_read_tokens",
    "cache_write_tokens",
    "output_tokens",
    "reasoning_tokens",
    "total_tokens",
)
_LIST_FIELDS = (
    "finish_reasons",
    "input_messages",
    "output_messages",
    "system_instructions",
    "tool_definitions",
)


def _number(value: Any) -> float | None:
    """A finite non-negative number of a stored form (booleans are not numbers)."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        number = float(value)
        if math.isfinite(number) and number >= 0:
            return number
    return None


class LlmCall:
    """One LLM call, read from any convention.

    Besides the stored fields it keeps two things that are not stored: ``at_ns``, the call's time
    in epoch nanoseconds (prices are the ones valid then), and ``inferred``, the names of fields
    whose value was derived rather than read (a total summed from its parts, finish reasons taken
    from the output messages, ...). :func:`orvane_devtools.llm.read.merge` lets a value that was
    read win over one that was inferred.
    """

    __slots__ = FIELDS + ("at_ns", "inferred")

    provider: str | None
    request_model: str | None
    response_model: str | None
    model: str | None
    input_tokens: int | None
    cache_read_tokens: int | None
    cache_write_tokens: int | None
    output_tokens: int | None
    reasoning_tokens: int | None
    total_tokens: int | None
    cost_usd: float | None
    priced: bool
    cost_source: str | None
    finish_reasons: list[str]
    time_to_first_token_ms: float | None
    input_messages: list[dict[str, Any]]
    output_messages: list[dict[str, Any]]
    system_instructions: list[dict[str, Any]]
    tool_definitions: list[dict[str, Any]]
    at_ns: int | None
    inferred: set[str]

    def __init__(self, **fields: Any) -> None:
        # Written out: a record is made for each call read at ingest.
        self.provider = self.request_model = self.response_model = self.model = None
        self.input_tokens = self.cache_read_tokens = self.cache_write_tokens = None
        self.output_tokens = self.reasoning_tokens = self.total_tokens = None
        self.cost_usd = self.cost_source = self.time_to_first_token_ms = None
        self.priced = False
        self.finish_reasons = []
        self.input_messages = []
        self.output_messages = []
        self.system_instructions = []
        self.tool_definitions = []
        self.at_ns = None
        self.inferred = set()
        for name, value in fields.items():
            if name not in self.__slots__:
                raise TypeError(f"LlmCall has no field {name!r}")
            setattr(self, name, value)

    # -- derived values ------------------------------------------------------------------------

    def settle(self) -> LlmCall:
        """Derives ``model`` (response, else request) and, where the source sent no total,
        ``total_tokens`` (input plus output); returns self."""
        model = self.response_model or self.request_model
        if model is not None:
            self.model = model
        if self.total_tokens is None or "total_tokens" in self.inferred:
            if self.input_tokens is not None or self.output_tokens is not None:
                self.total_tokens = (self.input_tokens or 0) + (self.output_tokens or 0)
                self.inferred.add("total_tokens")
        return self

    def has_usage(self) -> bool:
        return self.input_tokens is not None or self.output_tokens is not None

    # -- plain forms ---------------------------------------------------------------------------

    def as_json(self) -> dict[str, Any]:
        """The stored form: a plain dict of JSON values, one key per field."""
        out: dict[str, Any] = {}
        for name in FIELDS:
            value = getattr(self, name)
            if name in _LIST_FIELDS:
                value = list(value)
            out[name] = value
        return out

    @classmethod
    def from_json(cls, data: Any, *, at_ns: int | None = None) -> LlmCall | None:
        """Reads a stored form back (None for anything that is not one). Unknown keys are
        ignored; values of the wrong type are dropped, so a damaged row reads as a partial call."""
        if not isinstance(data, dict):
            return None
        call = cls()
        call.at_ns = at_ns if type(at_ns) is int else None
        for name in ("provider", "request_model", "response_model", "model"):
            value = data.get(name)
            if isinstance(value, str):
                setattr(call, name, value)
        for name in _TOKEN_FIELDS:
            value = data.get(name)
            if type(value) is int and value >= 0:
                setattr(call, name, value)
        cost = _number(data.get("cost_usd"))
        if cost is not None:
            call.cost_usd = cost
        call.priced = data.get("priced") is True and call.cost_usd is not None
        source = data.get("cost_source")
        call.cost_source = source if source in COST_SOURCES and call.priced else None
        call.time_to_first_token_ms = _number(data.get("time_to_first_token_ms"))
        reasons = data.get("finish_reasons")
        if isinstance(reasons, list):
            call.finish_reasons = [r for r in reasons if isinstance(r, str)]
        for name in ("input_messages", "output_messages", "system_instructions", "tool_definitions"):
            value = data.get(name)
            if isinstance(value, list):
                setattr(call, name, [item for item in value if isinstance(item, dict)])
        return call

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, LlmCall):
            return NotImplemented
        return self.as_json() == other.as_json()

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        shown = ", ".join(
            f"{name}={getattr(self, name)!r}"
            for name in FIELDS
            if getattr(self, name) not in (None, [], False)
        )
        return f"LlmCall({shown})"
