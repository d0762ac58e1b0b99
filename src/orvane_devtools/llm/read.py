"""Readers of LLM calls: OpenTelemetry spans and log events of every convention in use, and our
own events, each into one :class:`~orvane_devtools.llm.record.LlmCall`.

Each reader is a pure function that returns a record, or None when its input does not describe
an LLM call. A reader meets anything: a malformed piece (a count that is not a number, a message
that is not an object, JSON that does not parse) is skipped and the rest is read. JSON that
arrives as a string is parsed, also when it was encoded twice; a string that is not JSON stays
text. docs/llm.md lists every source attribute per field and which one wins.

Which convention counts cached tokens where:

* OpenTelemetry GenAI: ``gen_ai.usage.input_tokens`` includes cache reads and writes (the
  conventions say so for both cache attributes), ``gen_ai.usage.output_tokens`` includes
  reasoning. The older indexed attributes are read the same way.
* OpenInference: ``llm.token_count.prompt_details.*`` are details of ``llm.token_count.prompt``
  (its cache read "maps to cached_tokens in OpenAI responses", which OpenAI counts inside the
  prompt), ``completion_details.reasoning`` one of ``llm.token_count.completion``.
* Our own usage mappings: OpenAI's ``prompt_tokens`` includes ``prompt_tokens_details.
  cached_tokens`` and the Responses API's ``input_tokens`` includes ``input_tokens_details.
  cached_tokens``; Anthropic's ``input_tokens`` excludes ``cache_read_input_tokens`` and
  ``cache_creation_input_tokens``, which are added. A mapping that counts with ``prompt_tokens``
  counts cache inside, whatever its cache keys are called (normalising libraries do).

Wherever cache counts are taken to be inside, a cache count larger than the input count can only
mean the producer counted it outside, and it is added; the same holds for reasoning and output.
"""

from __future__ import annotations

import base64
import json
import logging
import math
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import Any, TypeGuard

from . import prices
from .record import FIELDS, LlmCall

__all__ = [
    "read_span",
    "read_genai_attributes",
    "read_log_events",
    "fold_log_event",
    "read_event",
    "read_fields",
    "merge",
    "note_first_delta",
]

_log = logging.getLogger(__name__)

# gen_ai.operation.name values that are LLM calls (the rest, embeddings, execute_tool,
# invoke_agent, ..., are runs of other kinds).
_LLM_OPERATIONS = frozenset({"chat", "text_completion", "generate_content"})
_OLD_REQUEST_TYPES = frozenset({"chat", "completion"})

# -- source attributes, first one present wins -----------------------------------------------------

_PROVIDER = ("gen_ai.provider.name", "gen_ai.system", "llm.provider", "llm.system")
_REQUEST_MODEL = ("gen_ai.request.model", "llm.request.model_name")
_RESPONSE_MODEL = ("gen_ai.response.model", "llm.response.model_name", "llm.model_name")
_INPUT = ("gen_ai.usage.input_tokens", "llm.token_count.prompt", "gen_ai.usage.prompt_tokens")
_OUTPUT = ("gen_ai.usage.output_tokens", "llm.token_count.completion", "gen_ai.usage.completion_tokens")
_CACHE_READ = (
    "gen_ai.usage.cache_read.input_tokens",
    "llm.token_count.prompt_details.cache_read",
    "gen_ai.usage.cache_read_input_tokens",
)
_CACHE_WRITE = (
    "gen_ai.usage.cache_creation.input_tokens",
    "llm.token_count.prompt_details.cache_write",
    "gen_ai.usage.cache_creation_input_tokens",
)
_REASONING = (
    "gen_ai.usage.reasoning.output_tokens",
    "llm.token_count.completion_details.reasoning",
    "gen_ai.usage.reasoning_tokens",
)
_TOTAL = ("llm.token_count.total", "llm.usage.total_tokens", "gen_ai.usage.total_tokens")
_COST = ("gen_ai.usage.cost", "llm.cost.total")

# Span events that mark the first streamed token (the call's start is the span's start).
_FIRST_TOKEN_EVENTS = frozenset(
    {"First Token Stream Event", "gen_ai.content.completion.chunk", "llm.content.completion.chunk"}
)

# Log events (and span events of the same names) of the GenAI conventions.
_DETAILS_EVENT = "gen_ai.client.inference.operation.details"
_MESSAGE_EVENTS = {
    "gen_ai.system.message": "system",
    "gen_ai.user.message": "user",
    "gen_ai.assistant.message": "assistant",
    "gen_ai.tool.message": "tool",
}
_CHOICE_EVENT = "gen_ai.choice"

_MAX_INDEX = 100_000  # indexes of flattened lists beyond this are malformed
_MAX_DEPTH = 64  # nesting kept in values taken as they come
_MAX_COUNT = 2**53  # token counts beyond this are malformed (and lose precision as JSON numbers)


# -- small readers of values -----------------------------------------------------------------------


def _count(value: Any) -> int | None:
    """A token count: a non-negative integer (an integral float or a decimal string counts)."""
    t = type(value)
    if t is int:
        return value if 0 <= value <= _MAX_COUNT else None
    if t is float:
        if value.is_integer() and 0 <= value <= _MAX_COUNT:
            return int(value)
        return None
    if t is str:
        s = value.strip()
        if 0 < len(s) <= 19 and s.isascii() and s.isdigit():
            return int(s)
    return None


def _amount(value: Any) -> float | None:
    """A non-negative finite number (a decimal string counts)."""
    t = type(value)
    if t is int:
        return float(value) if value >= 0 else None
    if t is float:
        return value if math.isfinite(value) and value >= 0 else None
    if t is str and 0 < len(value) <= 64:
        try:
            number = float(value)
        except ValueError:
            return None
        return number if math.isfinite(number) and number >= 0 else None
    return None


def _text(value: Any) -> str | None:
    if isinstance(value, str):
        value = str(value).strip()
        return value or None
    return None


def _json(value: Any) -> Any:
    """Parses a string that holds JSON (an array, an object, or JSON encoded again as a string);
    any other value, and a string that does not parse, comes back as it is."""
    for _ in range(3):
        if not isinstance(value, str):
            return value
        head = value.lstrip()[:1]
        if head not in ("[", "{", '"'):
            return value
        try:
            parsed = json.loads(value)
        except (ValueError, RecursionError):
            return value
        if head == '"' and not isinstance(parsed, str):
            return value
        value = parsed
    return value


def _plain(value: Any, depth: int = 0) -> Any:
    """A JSON-safe copy of a value kept as it came: bytes as base64 text, tuples as lists,
    non-finite floats as None, keys as strings; nesting beyond ``_MAX_DEPTH`` is cut."""
    t = type(value)
    if value is None or t is str or t is bool or t is int:
        return value
    if t is float:
        return value if math.isfinite(value) else None
    if depth >= _MAX_DEPTH:
        return None
    if _is_map(value):
        return {str(k): _plain(v, depth + 1) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_plain(v, depth + 1) for v in value]
    if isinstance(value, (bytes, bytearray, memoryview)):
        return base64.b64encode(bytes(value)).decode("ascii")
    if isinstance(value, str):
        return str(value)
    if isinstance(value, bool):
        return bool(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, float):
        return float(value) if math.isfinite(value) else None
    return str(value)


def _is_map(value: Any) -> TypeGuard[Mapping[Any, Any]]:
    return type(value) is dict or isinstance(value, Mapping)


def _first(attributes: Mapping[str, Any], names: Sequence[str], read: Any) -> Any:
    for name in names:
        value = attributes.get(name)
        if value is not None:
            value = read(value)
            if value is not None:
                return value
    return None


def _string_list(value: Any) -> list[str]:
    value = _json(value)
    if isinstance(value, str):
        value = [value]
    if not isinstance(value, (list, tuple)):
        return []
    return [s for s in (_text(v) for v in value) if s is not None]


# -- message parts ---------------------------------------------------------------------------------


def _part(block: Any) -> dict[str, Any] | None:
    """One part in the GenAI shape, from a GenAI part or a content block of OpenAI, Anthropic or
    Gemini. Unknown part types are kept as they came."""
    if isinstance(block, str):
        return {"type": "text", "content": block}
    if not _is_map(block):
        return None
    kind = block.get("type")
    if kind in ("text", "input_text", "output_text"):
        content = block.get("content")
        if not isinstance(content, str):
            content = block.get("text")
        if not isinstance(content, str):
            return None
        part = _plain({k: v for k, v in block.items() if k not in ("type", "text", "content")})
        return {"type": "text", "content": content, **part}
    if kind == "tool_call":
        part = _plain(dict(block))
        part["arguments"] = _plain(_json(block.get("arguments")))
        return part
    if kind in ("tool_use", "server_tool_use"):
        return _tool_call(block.get("id"), block.get("name"), block.get("input"))
    if kind == "function_call":  # an OpenAI Responses item
        return _tool_call(block.get("call_id") or block.get("id"), block.get("name"), block.get("arguments"))
    if kind == "tool_call_response":
        part = _plain(dict(block))
        response = block.get("response")
        if response is None and "result" in block:
            response = block.get("result")
        part["response"] = _plain(_json(response))
        return part
    if kind == "tool_result":
        return _tool_response(block.get("tool_use_id"), _block_text(block.get("content")))
    if kind == "function_call_output":
        return _tool_response(block.get("call_id"), block.get("output"))
    if kind == "thinking":
        content = block.get("thinking")
        return {"type": "reasoning", "content": content if isinstance(content, str) else None}
    if kind == "reasoning":
        content = block.get("content")
        if not isinstance(content, str):
            content = block.get("text")
        if not isinstance(content, str):
            content = _summary_text(block.get("summary"))
        part = _plain({k: v for k, v in block.items() if k not in ("type", "content", "text", "summary")})
        return {"type": "reasoning", "content": content, **part}
    if kind is None:
        if isinstance(block.get("text"), str):
            return {"type": "text", "content": block["text"]}
        call = block.get("functionCall") or block.get("function_call")
        if _is_map(call):
            return _tool_call(call.get("id"), call.get("name"), call.get("args", call.get("arguments")))
        response = block.get("functionResponse") or block.get("function_response")
        if _is_map(response):
            return _tool_response(response.get("id"), response.get("response"), name=response.get("name"))
    return _plain(dict(block))


def _tool_call(call_id: Any, name: Any, arguments: Any) -> dict[str, Any]:
    return {
        "type": "tool_call",
        "id": call_id if isinstance(call_id, str) else None,
        "name": name if isinstance(name, str) else None,
        "arguments": _plain(_json(arguments)),
    }


def _tool_response(call_id: Any, response: Any, *, name: Any = None) -> dict[str, Any]:
    part: dict[str, Any] = {
        "type": "tool_call_response",
        "id": call_id if isinstance(call_id, str) else None,
        "response": _plain(_json(response)),
    }
    if isinstance(name, str):
        part["name"] = name
    return part


def _block_text(content: Any) -> Any:
    """A tool result's content: the text of a list of text blocks, else the content as it is."""
    if (
        isinstance(content, list)
        and content
        and all(_is_map(b) and b.get("type") == "text" and isinstance(b.get("text"), str) for b in content)
    ):
        return "".join(b["text"] for b in content)
    return content


def _summary_text(summary: Any) -> str | None:
    if isinstance(summary, list):
        texts = [str(s["text"]) for s in summary if _is_map(s) and isinstance(s.get("text"), str)]
        if texts:
            return "\n".join(texts)
    return None


def _parts(value: Any) -> list[dict[str, Any]]:
    value = _json(value)
    if isinstance(value, (str, Mapping)):
        value = [value]
    if not isinstance(value, (list, tuple)):
        return []
    return [p for p in (_part(v) for v in value) if p is not None]


# -- messages --------------------------------------------------------------------------------------


def _message(raw: Any, default_role: str | None = None) -> dict[str, Any] | None:
    """One message in the GenAI shape, from a GenAI message (``parts``) or a chat message of
    OpenAI or Anthropic (``content`` as text or blocks, ``tool_calls``, ``tool_call_id``)."""
    raw = _json(raw)
    if isinstance(raw, str):
        return {"role": default_role or "user", "parts": [{"type": "text", "content": raw}]}
    if not _is_map(raw):
        return None
    role = _text(raw.get("role")) or default_role or "unknown"
    parts_value = raw.get("parts")
    if parts_value is not None:
        message: dict[str, Any] = {"role": role, "parts": _parts(parts_value)}
        for key, value in raw.items():
            if key not in ("role", "parts"):
                message[str(key)] = _plain(value)
        return message
    parts: list[dict[str, Any]] = []
    reasoning = raw.get("reasoning_content")
    if isinstance(reasoning, str) and reasoning:
        parts.append({"type": "reasoning", "content": reasoning})
    content = raw.get("content")
    tool_call_id = raw.get("tool_call_id")
    if role == "tool" or isinstance(tool_call_id, str):
        if content is not None or isinstance(tool_call_id, str):
            parts.append(_tool_response(tool_call_id, _block_text(content), name=raw.get("name")))
    elif content is not None:
        parts.extend(
            _parts(content) if not isinstance(content, str) else [{"type": "text", "content": content}]
        )
    refusal = raw.get("refusal")
    if isinstance(refusal, str) and refusal:
        parts.append({"type": "refusal", "content": refusal})
    tool_calls = _json(raw.get("tool_calls"))
    if isinstance(tool_calls, list):
        for call in tool_calls:
            if not _is_map(call):
                continue
            function = call.get("function")
            if _is_map(function):
                parts.append(_tool_call(call.get("id"), function.get("name"), function.get("arguments")))
            else:
                parts.append(_tool_call(call.get("id"), call.get("name"), call.get("arguments")))
    function_call = raw.get("function_call")
    if _is_map(function_call):
        parts.append(_tool_call(None, function_call.get("name"), function_call.get("arguments")))
    message = {"role": role, "parts": parts}
    name = raw.get("name")
    if isinstance(name, str) and role != "tool":
        message["name"] = name
    finish = _text(raw.get("finish_reason"))
    if finish is not None:
        message["finish_reason"] = finish
    return message


def _messages(value: Any, default_role: str | None = None) -> list[dict[str, Any]]:
    value = _json(value)
    if isinstance(value, (str, Mapping)):
        value = [value]
    if not isinstance(value, (list, tuple)):
        return []
    return [m for m in (_message(v, default_role) for v in value) if m is not None]


def _choices(value: Any) -> list[dict[str, Any]]:
    """Output messages from OpenAI choices (chat ``message`` or completion ``text``)."""
    value = _json(value)
    if not isinstance(value, (list, tuple)):
        return []
    out = []
    for choice in value:
        if not _is_map(choice):
            continue
        message = choice.get("message")
        if message is None:
            message = choice.get("delta")
        if message is not None:
            msg = _message(message, "assistant")
        elif isinstance(choice.get("text"), str):
            msg = {"role": "assistant", "parts": [{"type": "text", "content": choice["text"]}]}
        else:
            msg = None
        if msg is None:
            continue
        finish = _text(choice.get("finish_reason"))
        if finish is not None:
            msg["finish_reason"] = finish
        out.append(msg)
    return out


def _tool_definitions(value: Any) -> list[dict[str, Any]]:
    value = _json(value)
    if _is_map(value):
        value = [value]
    if not isinstance(value, (list, tuple)):
        return []
    return [d for d in (_tool_definition(v) for v in value) if d is not None]


def _tool_definition(raw: Any) -> dict[str, Any] | None:
    raw = _json(raw)
    if not _is_map(raw):
        return None
    function = raw.get("function")
    if _is_map(function):  # OpenAI chat: {"type": "function", "function": {...}}
        out = {"type": _text(raw.get("type")) or "function"}
        out.update(_plain(dict(function)))
        if "parameters" in out:
            out["parameters"] = _plain(_json(function.get("parameters")))
        return out
    out = _plain(dict(raw))
    if "input_schema" in raw and "parameters" not in raw:  # Anthropic
        out["parameters"] = out.pop("input_schema")
    if "parameters" in out:
        out["parameters"] = _plain(_json(raw.get("parameters", raw.get("input_schema"))))
    out.setdefault("type", "function")
    return out


# -- the span attribute families ---------------------------------------------------------------------


def _fold_counts(call: LlmCall, *, cache_outside: bool = False) -> None:
    """Applies the counting rules: input includes cache reads and writes, output includes
    reasoning (added where the source counted them outside)."""
    cached = (call.cache_read_tokens or 0) + (call.cache_write_tokens or 0)
    if call.input_tokens is None:
        if cached:
            call.input_tokens = cached
            call.inferred.add("input_tokens")
    elif cache_outside or cached > call.input_tokens:
        call.input_tokens += cached
    if call.reasoning_tokens is not None:
        if call.output_tokens is None:
            call.output_tokens = call.reasoning_tokens
            call.inferred.add("output_tokens")
        elif call.reasoning_tokens > call.output_tokens:
            call.output_tokens += call.reasoning_tokens


def read_genai_attributes(attributes: Mapping[str, Any], call: LlmCall | None = None) -> LlmCall:
    """Reads every attribute family (current GenAI, OpenInference, older indexed) from a flat
    mapping into ``call`` (a new one by default), without deciding whether it is an LLM call.
    Used for span attributes and for the attributes of GenAI log events."""
    if call is None:
        call = LlmCall()
    a = attributes
    call.provider = _first(a, _PROVIDER, _text)
    call.request_model = _first(a, _REQUEST_MODEL, _text)
    call.response_model = _first(a, _RESPONSE_MODEL, _text)
    call.input_tokens = _first(a, _INPUT, _count)
    call.output_tokens = _first(a, _OUTPUT, _count)
    call.cache_read_tokens = _first(a, _CACHE_READ, _count)
    call.cache_write_tokens = _first(a, _CACHE_WRITE, _count)
    call.reasoning_tokens = _first(a, _REASONING, _count)
    call.total_tokens = _first(a, _TOTAL, _count)
    _fold_counts(call)

    cost = _first(a, _COST, _amount)
    if cost is None:
        prompt_cost = _amount(a.get("llm.cost.prompt"))
        completion_cost = _amount(a.get("llm.cost.completion"))
        if prompt_cost is not None and completion_cost is not None:
            cost = prompt_cost + completion_cost
    if cost is not None and math.isfinite(cost):
        call.cost_usd = cost
        call.priced = True
        call.cost_source = "reported"

    reasons = a.get("gen_ai.response.finish_reasons")
    if reasons is not None:
        call.finish_reasons = _string_list(reasons)
    if not call.finish_reasons:
        reason = _text(a.get("llm.finish_reason"))
        if reason is not None:
            call.finish_reasons = [reason]

    ttft = _amount(a.get("gen_ai.response.time_to_first_chunk"))
    if ttft is not None and math.isfinite(ttft * 1000.0):
        call.time_to_first_token_ms = ttft * 1000.0

    value = a.get("gen_ai.input.messages")
    if value is not None:
        call.input_messages = _messages(value)
    value = a.get("gen_ai.output.messages")
    if value is not None:
        call.output_messages = _messages(value, "assistant")
    value = a.get("gen_ai.system_instructions")
    if value is not None:
        call.system_instructions = _parts(value)
    value = a.get("gen_ai.tool.definitions")
    if value is not None:
        call.tool_definitions = _tool_definitions(value)

    if "openinference.span.kind" in a:
        _read_openinference(a, call)
    if not (call.input_messages or call.output_messages) and (
        "gen_ai.prompt.0.content" in a
        or "gen_ai.prompt.0.role" in a
        or "gen_ai.completion.0.content" in a
        or "gen_ai.completion.0.role" in a
    ):
        _read_indexed(a, call)
    if not call.tool_definitions and "llm.request.functions.0.name" in a:
        _read_indexed_functions(a, call)

    if not call.finish_reasons:
        found = [m["finish_reason"] for m in call.output_messages if isinstance(m.get("finish_reason"), str)]
        if found:
            call.finish_reasons = found
            call.inferred.add("finish_reasons")
    return call


_OI_KEY = re.compile(r"llm\.(input_messages|output_messages|tools)\.(\d{1,6})\.(.+)\Z", re.S)
_OI_NESTED = re.compile(r"message\.(contents|tool_calls)\.(\d{1,6})\.(.+)\Z", re.S)


def _read_openinference(a: Mapping[str, Any], call: LlmCall) -> None:
    if call.request_model is None:
        params = _json(a.get("llm.invocation_parameters"))
        if _is_map(params):
            model = _text(params.get("model")) or _text(params.get("model_name"))
            if model is not None:
                call.request_model = model
    need_messages = not (call.input_messages or call.output_messages)
    need_tools = not call.tool_definitions
    if not (need_messages or need_tools):
        return
    groups: dict[str, dict[int, dict[str, Any]]] = {"input_messages": {}, "output_messages": {}, "tools": {}}
    for key, value in a.items():
        if not (isinstance(key, str) and key.startswith("llm.")):
            continue
        match = _OI_KEY.match(key)
        if match is None:
            continue
        index = int(match.group(2))
        if index > _MAX_INDEX:
            continue
        groups[match.group(1)].setdefault(index, {})[match.group(3)] = value
    if need_messages:
        for name, target in (("input_messages", "input_messages"), ("output_messages", "output_messages")):
            items = groups[name]
            whole = a.get("llm." + name)
            if not items and isinstance(whole, (list, tuple)):
                items = {i: dict(m) for i, m in enumerate(whole) if _is_map(m)}
            messages = []
            for index in sorted(items):
                message = _openinference_message(
                    items[index], "assistant" if name == "output_messages" else None
                )
                if message is not None:
                    messages.append(message)
            setattr(call, target, messages)
    if need_tools:
        tools = []
        for index in sorted(groups["tools"]):
            fields = groups["tools"][index]
            tool = _tool_definition(fields.get("tool.json_schema"))
            if tool is None and isinstance(fields.get("tool.name"), str):
                tool = {"type": "function", "name": fields["tool.name"]}
            if tool is not None:
                if isinstance(fields.get("tool.description"), str):
                    tool.setdefault("description", fields["tool.description"])
                tools.append(tool)
        call.tool_definitions = tools


def _openinference_message(fields: Mapping[str, Any], default_role: str | None) -> dict[str, Any] | None:
    """One message from the flattened ``message.*`` attributes of OpenInference (or from one
    object of an unflattened list: ``message.contents`` / ``message.tool_calls`` as lists)."""
    contents: dict[int, dict[str, Any]] = {}
    tool_calls: dict[int, dict[str, Any]] = {}
    for key, value in fields.items():
        if not isinstance(key, str):
            continue
        match = _OI_NESTED.match(key)
        if match is not None:
            index = int(match.group(2))
            if index <= _MAX_INDEX:
                target = contents if match.group(1) == "contents" else tool_calls
                target.setdefault(index, {})[match.group(3)] = value
    for list_key, target in (("message.contents", contents), ("message.tool_calls", tool_calls)):
        whole = fields.get(list_key)
        if not target and isinstance(whole, (list, tuple)):
            for i, item in enumerate(whole):
                if _is_map(item):
                    target[i] = dict(item)
    role: str = _text(fields.get("message.role")) or default_role or "unknown"
    parts: list[dict[str, Any]] = []
    content = fields.get("message.content")
    tool_call_id = fields.get("message.tool_call_id")
    if role == "tool" or isinstance(tool_call_id, str):
        if content is not None or isinstance(tool_call_id, str):
            parts.append(_tool_response(tool_call_id, content, name=fields.get("message.name")))
    else:
        if isinstance(content, str):
            parts.append({"type": "text", "content": content})
        for index in sorted(contents):
            item = contents[index]
            kind = _text(item.get("message_content.type")) or "text"
            text = item.get("message_content.text")
            if kind in ("text", "reasoning"):
                if isinstance(text, str):
                    parts.append({"type": kind, "content": text})
            elif kind == "image" and isinstance(item.get("message_content.image.image.url"), str):
                parts.append(
                    {"type": "uri", "modality": "image", "uri": item["message_content.image.image.url"]}
                )
            else:
                part: dict[str, Any] = {"type": kind}
                for k, v in item.items():
                    if k != "message_content.type":
                        part[str(k).removeprefix("message_content.")] = _plain(v)
                parts.append(part)
    for index in sorted(tool_calls):
        item = tool_calls[index]
        parts.append(
            _tool_call(
                item.get("tool_call.id"),
                item.get("tool_call.function.name"),
                item.get("tool_call.function.arguments"),
            )
        )
    function_name = fields.get("message.function_call_name")
    if isinstance(function_name, str):
        parts.append(_tool_call(None, function_name, fields.get("message.function_call_arguments_json")))
    if not parts and "message.role" not in fields:
        return None
    message: dict[str, Any] = {"role": role, "parts": parts}
    name = fields.get("message.name")
    if isinstance(name, str) and role != "tool":
        message["name"] = name
    return message


_INDEXED_KEY = re.compile(r"gen_ai\.(prompt|completion)\.(\d{1,6})\.(.+)\Z", re.S)
_INDEXED_TOOL = re.compile(r"tool_calls\.(\d{1,6})\.(.+)\Z", re.S)


def _read_indexed(a: Mapping[str, Any], call: LlmCall) -> None:
    groups: dict[str, dict[int, dict[str, Any]]] = {"prompt": {}, "completion": {}}
    for key, value in a.items():
        if not (isinstance(key, str) and key.startswith("gen_ai.")):
            continue
        match = _INDEXED_KEY.match(key)
        if match is None:
            continue
        index = int(match.group(2))
        if index <= _MAX_INDEX:
            groups[match.group(1)].setdefault(index, {})[match.group(3)] = value
    for name, target, default_role in (
        ("prompt", "input_messages", "user"),
        ("completion", "output_messages", "assistant"),
    ):
        messages = []
        for index in sorted(groups[name]):
            fields = groups[name][index]
            raw: dict[str, Any] = {}
            tool_calls: dict[int, dict[str, Any]] = {}
            for key, value in fields.items():
                match = _INDEXED_TOOL.match(key)
                if match is not None:
                    tool_calls.setdefault(int(match.group(1)), {})[match.group(2)] = value
                else:
                    raw[key] = value
            if "content" in raw:
                # Content blocks arrive as a JSON string of a list; plain text stays text.
                parsed = _json(raw["content"])
                raw["content"] = parsed if isinstance(parsed, (list, Mapping)) else raw["content"]
            if tool_calls:
                raw["tool_calls"] = [tool_calls[i] for i in sorted(tool_calls)]
            message = _message(raw, default_role)
            if message is not None:
                messages.append(message)
        setattr(call, target, messages)
    if not call.finish_reasons:
        reasons = [
            m["finish_reason"] for m in call.output_messages if isinstance(m.get("finish_reason"), str)
        ]
        if reasons:
            call.finish_reasons = reasons


def _read_indexed_functions(a: Mapping[str, Any], call: LlmCall) -> None:
    tools = []
    for index in range(_MAX_INDEX):
        name = a.get(f"llm.request.functions.{index}.name")
        if name is None:
            break
        if not isinstance(name, str):
            continue
        tool: dict[str, Any] = {"type": "function", "name": name}
        description = a.get(f"llm.request.functions.{index}.description")
        if isinstance(description, str):
            tool["description"] = description
        parameters = a.get(f"llm.request.functions.{index}.parameters")
        if parameters is not None:
            tool["parameters"] = _plain(_json(parameters))
        tools.append(tool)
    call.tool_definitions = tools


# -- spans -----------------------------------------------------------------------------------------


def _is_llm_span(a: Mapping[str, Any]) -> bool:
    op = a.get("gen_ai.operation.name")
    if op is not None:
        return type(op) is str and op in _LLM_OPERATIONS
    kind = a.get("openinference.span.kind")
    if kind is not None:
        return isinstance(kind, str) and kind.upper() == "LLM"
    # The older indexed attributes: ``llm.request.type``, or a GenAI system with a model.
    request_type = a.get("llm.request.type")
    if request_type is not None:
        return type(request_type) is str and request_type in _OLD_REQUEST_TYPES
    if a.get("gen_ai.system") is None:
        return False
    return a.get("gen_ai.request.model") is not None or a.get("gen_ai.response.model") is not None


def read_span(
    attributes: Mapping[str, Any],
    *,
    name: str | None = None,
    start_ns: int | None = None,
    end_ns: int | None = None,
    events: Iterable[Mapping[str, Any]] = (),
    price: bool = True,
) -> LlmCall | None:
    """The LLM call a span records, or None for a span that is not an LLM call.

    ``attributes`` is the span's flat attribute mapping as an OTLP receiver decodes it;
    ``events`` its span events (``{"name", "time_unix_nano", "attributes"}``), read for content
    the instrumentation put there and for the first streamed token. ``price``: set the cost from
    the price table where the span reported none."""
    # Most spans are not LLM calls: four look-ups decide that.
    if not _is_map(attributes):
        return None
    if (
        "gen_ai.operation.name" not in attributes
        and "openinference.span.kind" not in attributes
        and "llm.request.type" not in attributes
        and "gen_ai.system" not in attributes
    ):
        return None
    try:
        return _read_span(attributes, name, start_ns, end_ns, events, price)
    except Exception:  # a fault of this module; tests fail on this log record
        _log.exception("could not read the LLM call of span %r", name)
        return None


def _read_span(
    a: Mapping[str, Any],
    name: Any,
    start_ns: Any,
    end_ns: Any,
    events: Any,
    price: bool,
) -> LlmCall | None:
    if not _is_llm_span(a):
        return None
    call = read_genai_attributes(a)
    call.at_ns = start_ns if type(start_ns) is int else None
    if call.request_model is None and isinstance(name, str):
        op = a.get("gen_ai.operation.name")
        if isinstance(op, str) and name.startswith(op + " ") and len(name) > len(op) + 1:
            call.request_model = name[len(op) + 1 :].strip() or None
            call.inferred.add("request_model")
    if events:
        from_events = _read_span_events(events, call, start_ns, end_ns)
        if from_events is not None:
            _fill(call, from_events)
    call.settle()
    if price:
        prices.apply_cost(call)
    return call


def _read_span_events(events: Any, call: LlmCall, start_ns: Any, end_ns: Any) -> LlmCall | None:
    if not isinstance(events, Iterable) or isinstance(events, (str, bytes, Mapping)):
        return None
    folded: LlmCall | None = None
    first_token_ns: int | None = None
    for event in events:
        if not _is_map(event):
            continue
        event_name = event.get("name")
        if not isinstance(event_name, str):
            continue
        attributes = event.get("attributes")
        if not _is_map(attributes):
            attributes = {}
        time_ns = event.get("time_unix_nano")
        if event_name in _FIRST_TOKEN_EVENTS:
            if type(time_ns) is int and (first_token_ns is None or time_ns < first_token_ns):
                first_token_ns = time_ns
            continue
        if event_name == "gen_ai.content.prompt":
            messages = _messages(attributes.get("gen_ai.prompt"))
            if messages:
                folded = folded or LlmCall()
                folded.input_messages.extend(messages)
            continue
        if event_name == "gen_ai.content.completion":
            value = _json(attributes.get("gen_ai.completion"))
            messages = _choices(value) if _looks_like_choices(value) else _messages(value, "assistant")
            if messages:
                folded = folded or LlmCall()
                folded.output_messages.extend(messages)
            continue
        if event_name == _DETAILS_EVENT or event_name in _MESSAGE_EVENTS or event_name == _CHOICE_EVENT:
            body: Any = attributes.get("gen_ai.event.content")
            if body is None:
                body = {k: v for k, v in attributes.items() if not str(k).startswith("gen_ai.")}
            folded = fold_log_event(folded, event_name, body, attributes)
    if (
        first_token_ns is not None
        and type(start_ns) is int
        and start_ns <= first_token_ns
        and (type(end_ns) is not int or first_token_ns <= end_ns)
        and (call.time_to_first_token_ms is None)
    ):
        folded = folded or LlmCall()
        folded.time_to_first_token_ms = (first_token_ns - start_ns) / 1e6
        folded.inferred.add("time_to_first_token_ms")
    return folded


def _looks_like_choices(value: Any) -> bool:
    return (
        isinstance(value, list)
        and bool(value)
        and all(_is_map(v) and ("message" in v or "finish_reason" in v) for v in value)
    )


def _fill(call: LlmCall, other: LlmCall) -> None:
    """Copies into ``call`` what ``other`` has and ``call`` lacks."""
    for name in FIELDS:
        if name in ("priced", "cost_source", "cost_usd", "model"):
            continue
        mine = getattr(call, name)
        theirs = getattr(other, name)
        if (mine is None or mine == []) and theirs not in (None, []):
            setattr(call, name, theirs)
            if name in other.inferred:
                call.inferred.add(name)
    if call.cost_source != "reported" and other.cost_source == "reported":
        call.cost_usd, call.priced, call.cost_source = other.cost_usd, True, "reported"


# -- log events ------------------------------------------------------------------------------------


def fold_log_event(
    call: LlmCall | None,
    event_name: Any,
    body: Any,
    attributes: Mapping[str, Any] | None = None,
) -> LlmCall | None:
    """Folds one GenAI log event into ``call`` (None: a new one) and returns it; an event that is
    not a GenAI event leaves ``call`` as it is. Messages are appended in the order of the events.

    Reads ``gen_ai.client.inference.operation.details`` (the current form, the call's attributes)
    and the older per-message events ``gen_ai.system.message``, ``gen_ai.user.message``,
    ``gen_ai.assistant.message``, ``gen_ai.tool.message`` and ``gen_ai.choice`` (body as the
    message). Costs are not set here: see :func:`read_log_events`."""
    attributes = attributes if _is_map(attributes) else {}
    if not isinstance(event_name, str):
        event_name = attributes.get("event.name")
        if not isinstance(event_name, str):
            return call
    body = _json(body)
    if event_name == _DETAILS_EVENT:
        merged = dict(attributes)
        if _is_map(body):
            for key, value in body.items():
                merged.setdefault(key, value)
        op = merged.get("gen_ai.operation.name")
        if op is not None and not (type(op) is str and op in _LLM_OPERATIONS):
            return call
        details = read_genai_attributes(merged)
        if call is None:
            return details
        _fill(call, details)
        return call
    role = _MESSAGE_EVENTS.get(event_name)
    if role is None and event_name != _CHOICE_EVENT:
        return call
    if call is None:
        call = LlmCall()
    if call.provider is None:
        call.provider = _first(attributes, _PROVIDER, _text)
    if role is not None:
        raw: Any = body if isinstance(body, (Mapping, str)) else {}
        if _is_map(raw):
            raw = dict(raw)
            if role == "tool" and "tool_call_id" not in raw:
                raw["tool_call_id"] = raw.get("id")
            raw.setdefault("role", role)
        message = _message(raw, role)
        if message is not None:
            call.input_messages.append(message)
        return call
    # gen_ai.choice: {"index", "finish_reason", "message": {...}}
    choice = body if _is_map(body) else {}
    message = _message(choice.get("message") if "message" in choice else {}, "assistant")
    if message is None:
        message = {"role": "assistant", "parts": []}
    finish = _text(choice.get("finish_reason"))
    if finish is not None:
        message["finish_reason"] = finish
        call.finish_reasons.append(finish)
    call.output_messages.append(message)
    return call


def read_log_events(records: Iterable[Mapping[str, Any]], *, price: bool = True) -> LlmCall | None:
    """One call from the GenAI log events of one span, in order: each record a mapping with
    ``event_name`` (or ``name``; else the ``event.name`` attribute), ``body``, ``attributes`` and
    optionally ``time_unix_nano``. None when none of them is a GenAI event."""
    try:
        call: LlmCall | None = None
        first_ns: int | None = None
        for record in records:
            if not _is_map(record):
                continue
            name = record.get("event_name")
            if name is None:
                name = record.get("name")
            call = fold_log_event(call, name, record.get("body"), record.get("attributes"))
            time_ns = record.get("time_unix_nano")
            if type(time_ns) is int and (first_ns is None or time_ns < first_ns):
                first_ns = time_ns
        if call is None:
            return None
        if call.at_ns is None:
            call.at_ns = first_ns
        call.settle()
        if price:
            prices.apply_cost(call)
        return call
    except Exception:  # a fault of this module; tests fail on this log record
        _log.exception("could not read the LLM call of log events")
        return None


# -- our own events --------------------------------------------------------------------------------

# Keys that say a mapping from one of our events describes an LLM call (besides ``usage``).
_CALL_KEYS = (
    "messages",
    "choices",
    "input_messages",
    "output_messages",
    "stop_reason",
    "completion",
    "output",
)


def _event_fields(event: Any) -> tuple[Any, Any, Any, Any]:
    if _is_map(event):
        run = event.get("run")
        kind = run.get("run_kind") if _is_map(run) else None
        return event.get("payload"), event.get("meta"), event.get("timestamp"), kind
    run = getattr(event, "run", None)
    kind = getattr(run, "run_kind", None) if run is not None else None
    return (
        getattr(event, "payload", None),
        getattr(event, "meta", None),
        getattr(event, "timestamp", None),
        kind,
    )


def _is_response(layer: Mapping[str, Any]) -> bool:
    return (
        "usage" in layer
        or "choices" in layer
        or "stop_reason" in layer
        or isinstance(layer.get("output"), list)
        or layer.get("type") == "message"
    )


def read_event(event: Any, *, price: bool = True) -> LlmCall | None:
    """The LLM call one of our events carries (a ``RuntimeEvent`` or its JSON form), or None.

    Read from the payload, else the meta: a ``usage`` mapping, ``model``, ``provider``,
    ``messages`` (OpenAI chat shape or content blocks), ``choices``, ``system``, ``tools``, and the
    same under ``request`` / ``response``; a payload of span-style GenAI or OpenInference
    attributes is read as a span's."""
    return read_fields(*_event_fields(event), price=price)


def read_fields(payload: Any, meta: Any, timestamp: Any, run_kind: Any, *, price: bool = True) -> LlmCall | None:
    """``read_event`` of an event given as its payload, meta, timestamp (epoch ms) and run kind
    (for a caller that holds them already)."""
    try:
        if type(payload) is dict:
            call = _read_plain(payload, timestamp)
            if call is not None:
                if price:
                    prices.apply_cost(call)
                return call
        elif not _is_map(payload):
            payload = None
        if not _is_map(meta) or not meta:
            meta = None
        if payload is None and meta is None:
            return None
        return _read_event(payload, meta, timestamp, run_kind, price)
    except Exception:  # a fault of this module; tests fail on this log record
        _log.exception("could not read the LLM call of an event")
        return None


# -- the common shape, read directly --------------------------------------------------------------
#
# Most events of ours that carry a call are a payload of ``model``, ``provider`` and a ``usage``
# mapping of counts, beside keys of the event's own. ``_read_plain`` reads that shape with the
# rules of ``_read_mapping`` and ``_read_usage`` written out for it, and gives None for anything
# else (a key those readers would look at, a count that is not a plain integer, a cost), which
# then goes the general way. tests/llm checks that the two agree on random payloads.

# Keys of a payload that ``_read_event`` or ``_read_mapping`` look at, besides ``usage``,
# ``model`` and ``provider``. (``content`` is read only beside one of them; ``input`` only in a
# request.)
_GENERAL_KEYS = frozenset((
    "gen_ai.operation.name", "openinference.span.kind", "request", "response", "request_model",
    "response_model", "input_messages", "messages", "prompt", "system_instructions", "system",
    "instructions", "tool_definitions", "tools", "output_messages", "choices", "output", "type",
    "stop_reason", "completion", "finish_reasons", "finish_reason", "time_to_first_token_ms", "ttft_ms",
))
# The keys _read_usage reads from a usage mapping: counts; groups of details (the count read from
# each); reported costs (left to the general reader).
_USAGE_COUNTS = frozenset((
    "input_tokens", "prompt_tokens", "output_tokens", "completion_tokens", "total_tokens",
    "cache_read_input_tokens", "cache_creation_input_tokens", "cache_read_tokens", "cache_write_tokens",
    "reasoning_tokens",
))
_USAGE_DETAILS = {
    "prompt_tokens_details": "cached_tokens",
    "input_tokens_details": "cached_tokens",
    "completion_tokens_details": "reasoning_tokens",
    "output_tokens_details": "reasoning_tokens",
}
_USAGE_COSTS = frozenset(("cost", "cost_usd", "total_cost"))
# Usage keys beyond input, output and total.
_USAGE_PARTS = frozenset(_USAGE_COUNTS | set(_USAGE_DETAILS)) - {
    "input_tokens", "prompt_tokens", "output_tokens", "completion_tokens", "total_tokens"
}


def _read_plain(top: dict[str, Any], timestamp: Any) -> LlmCall | None:
    """The call of a payload of the common shape (see above), or None for any other payload."""
    usage = top.get("usage")
    if type(usage) is not dict or not _GENERAL_KEYS.isdisjoint(top):
        return None
    for key, value in usage.items():
        if value is None:
            continue
        if key in _USAGE_COUNTS:
            if type(value) is not int or not 0 <= value <= _MAX_COUNT:
                return None
        elif key in _USAGE_DETAILS:
            if type(value) is not dict:
                return None
            inner = value.get(_USAGE_DETAILS[key])
            if inner is not None and (type(inner) is not int or not 0 <= inner <= _MAX_COUNT):
                return None
        elif key in _USAGE_COSTS:
            return None

    get = usage.get
    call = LlmCall()
    provider = top.get("provider")
    call.provider = (provider.strip() or None) if type(provider) is str else _text(provider)
    model = top.get("model")
    # A payload with usage is a response: its model is the response model.
    call.response_model = call.model = (model.strip() or None) if type(model) is str else _text(model)
    input_tokens = get("input_tokens")
    counted_as_prompt = False
    if input_tokens is None:
        input_tokens = get("prompt_tokens")
        counted_as_prompt = input_tokens is not None
    output_tokens = get("output_tokens")
    if output_tokens is None:
        output_tokens = get("completion_tokens")
    call.input_tokens = input_tokens
    call.output_tokens = output_tokens
    total_tokens = get("total_tokens")
    if not _USAGE_PARTS.isdisjoint(usage):
        # Anthropic counts its cache outside input_tokens.
        anthropic_read = get("cache_read_input_tokens")
        anthropic_write = get("cache_creation_input_tokens")
        prompt_details = get("prompt_tokens_details") or {}
        input_details = get("input_tokens_details") or {}
        completion_details = get("completion_tokens_details") or {}
        output_details = get("output_tokens_details") or {}
        call.cache_read_tokens = _some(
            anthropic_read, get("cache_read_tokens"), prompt_details.get("cached_tokens"),
            input_details.get("cached_tokens"),
        )
        call.cache_write_tokens = anthropic_write if anthropic_write is not None else get("cache_write_tokens")
        call.reasoning_tokens = _some(
            get("reasoning_tokens"), completion_details.get("reasoning_tokens"),
            output_details.get("reasoning_tokens"),
        )
        outside = not counted_as_prompt and (anthropic_read is not None or anthropic_write is not None)
        _fold_counts(call, cache_outside=outside)
    if total_tokens is not None:
        call.total_tokens = total_tokens
    elif call.input_tokens is not None or call.output_tokens is not None:
        call.total_tokens = (call.input_tokens or 0) + (call.output_tokens or 0)
        call.inferred.add("total_tokens")
    if type(timestamp) is int and 0 <= timestamp < 2**53:
        call.at_ns = timestamp * 1_000_000
    return call


def _read_event(payload: Any, meta: Any, timestamp: Any, run_kind: Any, price: bool) -> LlmCall | None:
    """The general reader of one event's payload and meta (see read_event)."""
    at_ns = timestamp * 1_000_000 if type(timestamp) is int and 0 <= timestamp < 2**53 else None
    for source in (payload, meta):
        if source is None:
            continue
        if "gen_ai.operation.name" in source or "openinference.span.kind" in source:
            call = read_span(source, start_ns=at_ns, price=price)
            if call is not None:
                return call
        call = _read_mapping(source, run_kind)
        if call is not None:
            call.at_ns = at_ns
            call.settle()
            if price:
                prices.apply_cost(call)
            return call
    return None


def _read_mapping(top: Mapping[str, Any], run_kind: Any) -> LlmCall | None:
    request = top.get("request")
    request = request if _is_map(request) else None
    response = _json(top.get("response"))
    response_text = response if isinstance(response, str) else None
    response = response if _is_map(response) else None
    layers = [m for m in (top, response, request) if m is not None]

    usage = None
    for layer in (top, response):
        if layer is not None and _is_map(layer.get("usage")):
            usage = layer["usage"]
            break
    has_model = any(isinstance(m.get("model"), str) for m in layers)
    if usage is None and not (
        has_model
        and (
            run_kind == "llm" or any(k in m for m in layers for k in _CALL_KEYS) or response_text is not None
        )
    ):
        return None

    call = LlmCall()
    call.provider = _text(top.get("provider")) or _first_in(layers, "provider")
    call.request_model = (
        _text(top.get("request_model"))
        or (_text(request.get("model")) if request else None)
        or (None if _is_response(top) else _text(top.get("model")))
    )
    call.response_model = (
        _text(top.get("response_model"))
        or (_text(response.get("model")) if response else None)
        or (_text(top.get("model")) if _is_response(top) else None)
    )

    if usage is not None:
        _read_usage(usage, call)

    # Input: messages, system instructions, tools.
    for layer, is_request in ((top, False), (request, True)):
        if layer is None:
            continue
        if not call.input_messages:
            if "input_messages" in layer:
                call.input_messages = _messages(layer["input_messages"])
            elif "messages" in layer:
                call.input_messages = _messages(layer["messages"])
            elif is_request and "input" in layer:
                call.input_messages = _responses_items(layer["input"], "user")
            elif isinstance(layer.get("prompt"), str):
                call.input_messages = [
                    {"role": "user", "parts": [{"type": "text", "content": layer["prompt"]}]}
                ]
        if not call.system_instructions:
            for key in ("system_instructions", "system", "instructions"):
                if layer.get(key) is not None:
                    call.system_instructions = _parts(layer[key])
                    break
        if not call.tool_definitions:
            for key in ("tool_definitions", "tools"):
                if layer.get(key) is not None:
                    call.tool_definitions = _tool_definitions(layer[key])
                    break

    # Output: output messages, choices, a provider's response object, text.
    if "output_messages" in top:
        call.output_messages = _messages(top["output_messages"], "assistant")
    for layer in (top, response):
        if call.output_messages or layer is None:
            continue
        if "choices" in layer:
            call.output_messages = _choices(layer["choices"])
        elif isinstance(layer.get("output"), list):
            call.output_messages = _responses_items(layer["output"], "assistant")
        elif layer is response or layer.get("type") == "message" or "stop_reason" in layer:
            if isinstance(layer.get("content"), (list, str)):
                message = _message({"role": layer.get("role") or "assistant", "content": layer["content"]})
                if message is not None:
                    call.output_messages = [message]
    if not call.output_messages:
        text = response_text
        if text is None:
            for key in ("completion", "output"):
                if isinstance(top.get(key), str):
                    text = top[key]
                    break
        if text is not None:
            call.output_messages = [{"role": "assistant", "parts": [{"type": "text", "content": text}]}]

    reasons: list[str] = []
    for layer in (top, response):
        if layer is None:
            continue
        if layer.get("finish_reasons") is not None:
            reasons = _string_list(layer["finish_reasons"])
        for key in ("finish_reason", "stop_reason"):
            if not reasons and _text(layer.get(key)) is not None:
                reasons = [_text(layer[key])]  # type: ignore[list-item]
        if reasons:
            break
    if reasons:
        call.finish_reasons = reasons
        if len(call.output_messages) == 1 and "finish_reason" not in call.output_messages[0]:
            call.output_messages[0]["finish_reason"] = reasons[0]
    else:
        found = [m["finish_reason"] for m in call.output_messages if isinstance(m.get("finish_reason"), str)]
        if found:
            call.finish_reasons = found
            call.inferred.add("finish_reasons")

    for key in ("time_to_first_token_ms", "ttft_ms"):
        ttft = _amount(top.get(key))
        if ttft is not None:
            call.time_to_first_token_ms = ttft
            break
    return call


def _first_in(layers: Sequence[Mapping[str, Any]], key: str) -> str | None:
    for layer in layers:
        value = _text(layer.get(key))
        if value is not None:
            return value
    return None


def _some(*values: Any) -> Any:
    for value in values:
        if value is not None:
            return value
    return None


def _detail(usage: Mapping[str, Any], group: str, key: str) -> int | None:
    details = _json(usage.get(group))
    if _is_map(details):
        return _count(details.get(key))
    return None


def _read_usage(usage: Mapping[str, Any], call: LlmCall) -> None:
    """A usage mapping of OpenAI (chat or Responses), Anthropic, or already normalised."""
    input_tokens = _count(usage.get("input_tokens"))
    counted_as_prompt = False
    if input_tokens is None:
        input_tokens = _count(usage.get("prompt_tokens"))
        counted_as_prompt = input_tokens is not None
    output_tokens = _count(usage.get("output_tokens"))
    if output_tokens is None:
        output_tokens = _count(usage.get("completion_tokens"))

    # Anthropic counts these outside input_tokens.
    anthropic_read = _count(usage.get("cache_read_input_tokens"))
    anthropic_write = _count(usage.get("cache_creation_input_tokens"))
    cache_read = anthropic_read
    if cache_read is None:
        cache_read = _some(
            _count(usage.get("cache_read_tokens")),
            _detail(usage, "prompt_tokens_details", "cached_tokens"),
            _detail(usage, "input_tokens_details", "cached_tokens"),
        )
    cache_write = anthropic_write if anthropic_write is not None else _count(usage.get("cache_write_tokens"))
    reasoning = _some(
        _count(usage.get("reasoning_tokens")),
        _detail(usage, "completion_tokens_details", "reasoning_tokens"),
        _detail(usage, "output_tokens_details", "reasoning_tokens"),
    )
    call.input_tokens = input_tokens
    call.output_tokens = output_tokens
    call.cache_read_tokens = cache_read
    call.cache_write_tokens = cache_write
    call.reasoning_tokens = reasoning
    call.total_tokens = _count(usage.get("total_tokens"))
    outside = not counted_as_prompt and (anthropic_read is not None or anthropic_write is not None)
    _fold_counts(call, cache_outside=outside)

    cost = _amount(usage.get("cost"))
    if cost is None:
        cost = _amount(usage.get("cost_usd"))
    if cost is None:
        cost = _amount(usage.get("total_cost"))
    if cost is not None:
        call.cost_usd = cost
        call.priced = True
        call.cost_source = "reported"


def _responses_items(value: Any, default_role: str) -> list[dict[str, Any]]:
    """Messages from OpenAI Responses items (input or output): ``message`` items become messages,
    the other items (function calls and their outputs, reasoning) parts of one message."""
    value = _json(value)
    if isinstance(value, str):
        return [{"role": default_role, "parts": [{"type": "text", "content": value}]}]
    if not isinstance(value, (list, tuple)):
        return []
    messages: list[dict[str, Any]] = []
    loose: list[dict[str, Any]] = []
    for item in value:
        if not _is_map(item):
            continue
        if item.get("type") in (None, "message") and ("content" in item or "role" in item):
            if loose:
                messages.append({"role": default_role, "parts": loose})
                loose = []
            message = _message(item, default_role)
            if message is not None:
                messages.append(message)
        else:
            part = _part(item)
            if part is not None:
                loose.append(part)
    if loose:
        messages.append({"role": default_role, "parts": loose})
    return messages


# -- merging ---------------------------------------------------------------------------------------

_MERGED_SCALARS = (
    "provider",
    "request_model",
    "response_model",
    "input_tokens",
    "cache_read_tokens",
    "cache_write_tokens",
    "output_tokens",
    "reasoning_tokens",
    "total_tokens",
    "time_to_first_token_ms",
)
_MERGED_LISTS = (
    "finish_reasons",
    "input_messages",
    "output_messages",
    "system_instructions",
    "tool_definitions",
)


def merge(a: LlmCall | None, b: LlmCall | None, *, price: bool = True) -> LlmCall | None:
    """One record from two partial records of one call (a span and its log events; a started
    and a completed event), ``b`` being the later one.

    Per field: a value read wins over one inferred (a convention's own total over a sum, finish
    reasons sent over those taken from messages); between two values read, ``b``'s; a value wins
    over none. A reported cost wins over a priced one (``b``'s if both reported); otherwise the
    merged call is priced again at its time (the earlier of the two known)."""
    if a is None:
        return b
    if b is None:
        return a
    out = LlmCall()
    for name in _MERGED_SCALARS + _MERGED_LISTS:
        va, vb = getattr(a, name), getattr(b, name)
        empty_a = va is None or va == []
        empty_b = vb is None or vb == []
        inferred_a, inferred_b = name in a.inferred, name in b.inferred
        if empty_b or (inferred_b and not inferred_a and not empty_a):
            value, inferred = va, inferred_a
        else:
            value, inferred = vb, inferred_b
        if name in _MERGED_LISTS:
            value = list(value) if value is not None else []
        setattr(out, name, value)
        if inferred:
            out.inferred.add(name)
    times = [t for t in (a.at_ns, b.at_ns) if type(t) is int]
    out.at_ns = min(times) if times else None
    out.settle()
    reported = [c for c in (b, a) if c.cost_source == "reported" and c.cost_usd is not None]
    if reported:
        out.cost_usd, out.priced, out.cost_source = reported[0].cost_usd, True, "reported"
    elif price:
        prices.apply_cost(out)
    else:
        costs = [c for c in (b, a) if c.cost_usd is not None]
        if costs:
            out.cost_usd, out.priced, out.cost_source = costs[0].cost_usd, True, costs[0].cost_source
    return out


def note_first_delta(call: LlmCall, delta_ms: Any) -> LlmCall:
    """Sets ``time_to_first_token_ms`` from the time (epoch ms) of the call's first stream delta,
    unless the call has a figure of its own; a delta before the call's start is ignored."""
    if (
        call.time_to_first_token_ms is None
        and type(call.at_ns) is int
        and type(delta_ms) in (int, float)
        and math.isfinite(delta_ms)
    ):
        elapsed = delta_ms - call.at_ns / 1e6
        if elapsed >= 0:
            call.time_to_first_token_ms = float(elapsed)
            call.inferred.add("time_to_first_token_ms")
    return call
