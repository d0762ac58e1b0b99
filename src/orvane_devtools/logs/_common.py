"""Pieces shared by the log service's modules: argument checks, settings, errors, event text,
bounded caches."""

from __future__ import annotations

import math
import os
from itertools import islice
from typing import Any

from ..observation.Tallybook import RuntimeTallybook

__all__ = [
    "DEFAULT_MAX_EVENTS",
    "LogStoreCorruptError",
    "LogStoreError",
    "LogStoreFullError",
    "LogStoreReadOnlyError",
    "LogStoreVersionError",
    "check_int",
    "check_text",
    "event_text_parts",
    "max_events_setting",
    "needle_of",
    "normalize",
    "path_setting",
    "retention_days_setting",
    "synchronous_setting",
    "trim_cache",
    "type_error",
]

DEFAULT_MAX_EVENTS = 5000

# -- errors ------------------------------------------------------------------------------------


class LogStoreError(RuntimeError):
    """The log database cannot be opened or written. ``path`` names the file."""

    def __init__(self, message: str, path: str | os.PathLike[str] | None = None) -> None:
        super().__init__(message)
        self.path = None if path is None else os.fspath(path)


class LogStoreVersionError(LogStoreError):
    """The file was written by a newer version of the log service (it is left untouched)."""


class LogStoreCorruptError(LogStoreError):
    """The file is not a log database, or SQLite found it damaged (it is left untouched)."""


class LogStoreReadOnlyError(LogStoreError):
    """The file or its folder cannot be written."""


class LogStoreFullError(LogStoreError):
    """The disk (or the database's size limit) is full; nothing of the failed batch was written."""


# -- argument checks ---------------------------------------------------------------------------


def type_error(name: str, expected: str, value: Any) -> TypeError:
    return TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (name, expected, type(value).__name__)
    )


def check_text(name: str, value: Any) -> None:
    if value is not None and not isinstance(value, str):
        raise type_error(name, "str", value)


def check_int(name: str, value: Any) -> None:
    if value is not None and not isinstance(value, int):
        raise type_error(name, "int", value)


# -- settings ----------------------------------------------------------------------------------


def _coerce_int(value: Any, default: int) -> int:
    """The facade's integer setting rule: bools, ints, truncated floats and integer text; a value
    that is not finite or does not fit 64 bits, and anything else, gives ``default``."""
    try:
        from ..observation.TraceDesk import _coerce_int_setting
    except ImportError:  # pragma: no cover - the facade module is part of every build
        _coerce_int_setting = None
    if _coerce_int_setting is not None:
        return _coerce_int_setting(value, default)
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, int):
        return value if -(2**63) <= value < 2**63 else default
    if isinstance(value, float):
        if not math.isfinite(value) or not -(2.0**63) <= math.trunc(value) < 2.0**63:
            return default
        return int(value)
    if isinstance(value, str):
        try:
            parsed = int(value)
        except ValueError:
            return default
        return parsed if -(2**63) <= parsed < 2**63 else default
    return default


def max_events_setting(settings: Any) -> int:
    """``logs.max_events``: the facade's integer rule, default 5000."""
    if settings is None:
        return DEFAULT_MAX_EVENTS
    return _coerce_int(settings.get("logs.max_events", DEFAULT_MAX_EVENTS), DEFAULT_MAX_EVENTS)


def retention_days_setting(settings: Any) -> float | None:
    """``logs.retention_days``: a positive finite number of days (int, float or numeric text);
    anything else (none, zero, negative, not finite, not a number) means no age limit."""
    if settings is None:
        return None
    value = settings.get("logs.retention_days", None)
    if isinstance(value, bool) or value is None:
        return None
    if isinstance(value, str):
        try:
            value = float(value.strip())
        except ValueError:
            return None
    if isinstance(value, int):
        value = float(value) if abs(value) < 2**63 else math.inf
    if not isinstance(value, float) or not math.isfinite(value) or value <= 0:
        return None
    return value


def synchronous_setting(settings: Any) -> str:
    """``logs.synchronous``: "normal" (default; a commit survives a crash of the process) or
    "full" (a commit also survives a power loss, at the price of an fsync per commit)."""
    value = None if settings is None else settings.get("logs.synchronous", "normal")
    if isinstance(value, str) and value.strip().lower() == "full":
        return "full"
    return "normal"


def path_setting(settings: Any) -> str | None:
    """``logs.path``: a path string or path-like; none or an empty string keeps the log in memory."""
    if settings is None:
        return None
    value = settings.get("logs.path", None)
    if value is None:
        return None
    if isinstance(value, os.PathLike):
        value = os.fspath(value)
    if isinstance(value, bytes):
        value = os.fsdecode(value)
    if not isinstance(value, str):
        raise TypeError(
            f"Setting 'logs.path' must be a file path (str or os.PathLike), got {type(value).__name__}"
        )
    return value if value.strip() else None


# -- search text -------------------------------------------------------------------------------


# The run store's normalised search text of a value (case-folded; JSON for non-strings).
normalize = RuntimeTallybook._normalize_search_text


def needle_of(search: str) -> str:
    """A search argument as the needle the run store compares: stripped and case-folded."""
    return search.strip().casefold()


def event_text_parts(event: Any, norm: Any) -> list[str]:
    """The normalised texts of an event's own searched fields, in the run store's order."""
    return [
        norm(event.event_id),
        norm(event.event_type),
        norm(event.source),
        norm(event.level),
        norm(event.message),
        norm(event.payload),
        norm(event.error),
        norm(event.meta),
    ]


# -- caches ------------------------------------------------------------------------------------


def trim_cache(cache: dict, limit: int) -> None:
    """Forget the oldest quarter of a cache that reached ``limit`` entries."""
    if len(cache) >= limit:
        for key in list(islice(cache, limit // 4)):
            cache.pop(key, None)
