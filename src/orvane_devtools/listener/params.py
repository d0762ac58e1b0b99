"""Query parameters of the API: each one checked, a bad one named in a 400 answer."""

from __future__ import annotations

import base64
import binascii
import json
import re
from collections.abc import Iterable
from typing import Any

from ..observation.Query import ObservationEventQuery, ObservationRunQuery

__all__ = ["EVENT_FILTERS", "RUN_FILTERS", "BadParameter", "Params", "filter_readers",
           "read_filters"]

RUN_STATUSES = ("unknown", "running", "waiting", "completed", "failed")
_TRUE = {"1", "true", "yes", "on"}
_FALSE = {"0", "false", "no", "off"}


class BadParameter(ValueError):
    def __init__(self, name: str, message: str) -> None:
        super().__init__(message)
        self.name = name
        self.message = message


class Params:
    """The query string of one request, read parameter by parameter.

    An empty value counts as absent (forms send empty fields). A parameter given twice, or one
    the route does not know, is refused, so that a typo never silently widens a query.
    """

    def __init__(self, multi_items: Iterable[tuple[str, str]], allowed: Iterable[str]) -> None:
        allowed = set(allowed)
        self._values: dict[str, str] = {}
        self._lists: dict[str, list[str]] = {}
        for name, value in multi_items:
            if name not in allowed:
                raise BadParameter(name, f"unknown parameter '{name}'")
            if name == "event_types":
                self._lists.setdefault(name, []).append(value)
                continue
            if name in self._values:
                raise BadParameter(name, f"parameter '{name}' is given more than once")
            self._values[name] = value

    def text(self, name: str, *, max_length: int = 1000) -> str | None:
        value = self._values.get(name)
        if value is None or value == "":
            return None
        if len(value) > max_length:
            raise BadParameter(name, f"'{name}' is longer than {max_length} characters")
        return value

    def integer(self, name: str, *, minimum: int | None = None, maximum: int | None = None,
                default: int | None = None) -> int | None:
        value = self._values.get(name)
        if value is None or value == "":
            return default
        text = value.strip()
        if not re.fullmatch(r"[+-]?[0-9]{1,19}", text):
            raise BadParameter(name, f"'{name}' must be an integer, got {value[:40]!r}")
        number = int(text)
        if minimum is not None and number < minimum:
            raise BadParameter(name, f"'{name}' must be at least {minimum}")
        if maximum is not None and number > maximum:
            raise BadParameter(name, f"'{name}' must be at most {maximum}")
        return number

    def boolean(self, name: str, default: bool = False) -> bool:
        value = self._values.get(name)
        if value is None or value == "":
            return default
        lowered = value.strip().lower()
        if lowered in _TRUE:
            return True
        if lowered in _FALSE:
            return False
        raise BadParameter(name, f"'{name}' must be true or false, got {value[:40]!r}")

    def status(self, name: str = "status") -> str | None:
        value = self.text(name)
        if value is not None and value not in RUN_STATUSES:
            raise BadParameter(name, f"'{name}' must be one of {', '.join(RUN_STATUSES)}")
        return value

    def pattern(self, name: str) -> str | None:
        value = self.text(name)
        if value is not None:
            try:
                re.compile(value)
            except re.error as exc:
                raise BadParameter(name, f"'{name}' is not a valid regular expression ({exc})") from None
        return value

    def event_types(self, name: str = "event_types") -> list[str] | None:
        values = self._lists.get(name)
        if not values:
            return None
        types = [part.strip() for value in values for part in value.split(",") if part.strip()]
        if len(types) > 100:
            raise BadParameter(name, f"'{name}' names more than 100 types")
        return types or None

    def choice(self, name: str, choices: tuple[str, ...], default: str) -> str:
        value = self.text(name)
        if value is None:
            return default
        if value not in choices:
            raise BadParameter(name, f"'{name}' must be one of {', '.join(choices)}")
        return value

    def cursor(self, name: str = "cursor") -> int:
        """The position a ``next_cursor`` points at (0 when none is given)."""
        value = self.text(name)
        if value is None:
            return 0
        return decode_cursor(value, name)


def encode_cursor(offset: int) -> str:
    raw = json.dumps({"o": offset}, separators=(",", ":")).encode()
    return base64.urlsafe_b64encode(raw).decode().rstrip("=")


def decode_cursor(value: str, name: str = "cursor") -> int:
    try:
        padded = value + "=" * (-len(value) % 4)
        doc: Any = json.loads(base64.urlsafe_b64decode(padded.encode()))
        offset = doc["o"]
        if type(offset) is not int or offset < 0:
            raise ValueError
        return offset
    except (ValueError, KeyError, TypeError, binascii.Error, UnicodeDecodeError):
        raise BadParameter(name, f"'{name}' is not a cursor this listener gave out") from None


def filter_readers(model: Any) -> dict[str, str]:
    """The filters of a query model (``limit`` aside: each route bounds it itself), each with
    the ``Params`` method that reads it: text, a run status, a regular expression, an integer,
    a boolean, or a list of event types. Derived from the model's fields, so the API offers
    exactly the filters the desk's queries take."""
    readers: dict[str, str] = {}
    for name, info in model.model_fields.items():
        if name == "limit":
            continue
        annotation = info.annotation
        if annotation == bool:
            reader = "boolean"
        elif annotation == int | None:
            reader = "integer"
        elif annotation == str | list[str] | None:
            reader = "event_types"
        elif annotation == str | None:
            reader = "status" if name == "status" else "pattern" if name.endswith("_pattern") else "text"
        else:
            raise TypeError(f"no query parameter reads the filter {model.__name__}.{name}")
        readers[name] = reader
    return readers


# The filters of GET /runs and of GET /events and /stream: those of the desk's query models.
RUN_FILTERS = filter_readers(ObservationRunQuery)
EVENT_FILTERS = filter_readers(ObservationEventQuery)


def read_filters(params: Params, readers: dict[str, str]) -> dict[str, Any]:
    """Every filter of ``readers`` as ``params`` gives it (None, or False, when absent)."""
    return {name: getattr(params, reader)(name) for name, reader in readers.items()}
