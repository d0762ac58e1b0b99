"""Event-type filters: exact names and ``prefix*`` wildcards."""

from __future__ import annotations

from typing import Any

__all__ = ["matches_wavelane_event_type"]


def _entry_matches(event_type: str, entry: Any) -> bool:
    if type(entry) is not str and not isinstance(entry, str):
        return False
    if entry == event_type:
        return True
    return entry.endswith("*") and event_type.startswith(entry[:-1])


def matches_wavelane_event_type(event_type: Any, wanted: Any) -> bool:
    """Whether ``event_type`` passes the ``wanted`` filter.

    ``wanted`` is ``None`` (no filter: anything matches), one pattern, or a
    list/tuple/set of patterns (an empty one matches nothing).  A pattern
    matches on equality; a pattern ending in ``*`` matches every event type
    starting with the text before the ``*`` (so ``"*"`` matches everything).
    Otherwise non-string event types and non-string patterns never match.
    """
    if wanted is None:
        return True
    if not isinstance(event_type, str):
        return False
    if isinstance(wanted, str):
        return _entry_matches(event_type, wanted)
    if isinstance(wanted, (list, tuple, set, frozenset)):
        for entry in wanted:
            if _entry_matches(event_type, entry):
                return True
    return False
