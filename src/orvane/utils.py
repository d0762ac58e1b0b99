"""Small shared helpers: dotted-key settings, JSON-safe sanitising, lazy imports."""

from __future__ import annotations

import dataclasses
import importlib
from collections.abc import Mapping
from types import ModuleType
from typing import Any

from pydantic import BaseModel

__all__ = ["DataFormatter", "LazyImport", "Settings"]

_MISSING = object()


def _copy_mappings(value: Any) -> Any:
    """Copy nested mappings into fresh dicts so the caller's data is never aliased."""
    if isinstance(value, Mapping):
        return {k: _copy_mappings(v) for k, v in value.items()}
    return value


def _lookup(mapping: Mapping, key: str) -> Any:
    """Resolve ``key`` in ``mapping``; returns ``_MISSING`` when absent.

    The whole key is tried first (flat dotted keys win), then the key is split
    at its dots from the right, so ``"a.b.c"`` is also found as ``{"a.b": {"c": ..}}``
    or ``{"a": {"b": {"c": ..}}}``.
    """
    value = mapping.get(key, _MISSING)
    if value is not _MISSING:
        return value
    cut = len(key)
    while True:
        cut = key.rfind(".", 0, cut)
        if cut <= 0:
            return _MISSING
        sub = mapping.get(key[:cut], _MISSING)
        if isinstance(sub, Mapping):
            value = _lookup(sub, key[cut + 1:])
            if value is not _MISSING:
                return value


class Settings:
    """Read-mostly settings keyed by dotted strings.

    Both layouts are accepted and may be mixed::

        Settings({"observation.enabled": False})
        Settings({"observation": {"enabled": False}})

    When both hold a value for the same dotted key, the flat entry wins.
    ``set`` always stores a flat entry, so it overrides any nested value.
    The given mapping is copied; later changes to it do not leak in.
    """

    __slots__ = ("_data",)

    def __init__(self, mapping: Mapping[str, Any] | None = None) -> None:
        self._data: dict[str, Any] = {}
        if mapping:
            for key, value in mapping.items():
                self._data[str(key)] = _copy_mappings(value)

    def get(self, key: str, default: Any = None) -> Any:
        """Value stored for the dotted ``key``, or ``default`` when there is none."""
        value = _lookup(self._data, key)
        return default if value is _MISSING else value

    def set(self, key: str, value: Any) -> None:
        """Store ``value`` under the dotted ``key`` (as a flat entry)."""
        self._data[str(key)] = value

    def as_dict(self) -> dict[str, Any]:
        """A copy of the stored entries, in the layout they were given."""
        return _copy_mappings(self._data)

    def __contains__(self, key: object) -> bool:
        return isinstance(key, str) and _lookup(self._data, key) is not _MISSING

    def __repr__(self) -> str:
        return f"Settings({self._data!r})"


# Keys whose values never leave the process in clear text.  A key is secret
# when its whole text, case-folded (str.casefold), is one of _SECRET_KEYS, or
# when its last word (see _key_words), case-folded, is one of _SECRET_NOUNS, or
# when it ends in the word "key" preceded by one of _SECRET_KEY_QUALIFIERS.
# So "db_password", "dbPassword", "client_secret", "aws_secret_access_key",
# "x-api-key" and "set-cookie" are masked, while "max_tokens", "token_count",
# "tokenizer", "keyboard" and "author" stay visible.  The native sanitizer of
# the backends reads these three collections at every use and decides alike.
_SECRET_KEYS = frozenset(
    {
        "authorization",
        "proxy-authorization",
        "api_key",
        "apikey",
        "x-api-key",
        "password",
        "passwd",
        "secret",
        "client_secret",
        "token",
        "access_token",
        "refresh_token",
        "id_token",
        "cookie",
        "set-cookie",
    }
)

# Words that make a key secret when they end it (compared case-folded).
_SECRET_NOUNS = frozenset(
    {
        "password",
        "passwd",
        "secret",
        "token",
        "cookie",
        "authorization",
        "credential",
        "credentials",
    }
)

# Words that make a key ending in "key" secret when they come just before it.
_SECRET_KEY_QUALIFIERS = frozenset({"api", "private", "secret", "access"})

_WORD_SEPARATORS = "_-."


def _key_words(text: str) -> list[str]:
    """The words of a key: split at "_", "-" and ".", and where the case changes.

    A word starts at an upper-case character that follows a character that is
    not upper case ("dbPassword" -> "db", "Password"; "oauth2Token" -> "oauth2",
    "Token"), or that follows an upper-case run and comes before a lower-case
    character ("APIKey" -> "API", "Key").  Case is the str.isupper/islower of
    the single character.
    """
    words: list[str] = []
    start = 0
    end = len(text)
    for i, ch in enumerate(text):
        if ch in _WORD_SEPARATORS:
            if i > start:
                words.append(text[start:i])
            start = i + 1
        elif i > start and ch.isupper():
            if not text[i - 1].isupper() or (i + 1 < end and text[i + 1].islower()):
                words.append(text[start:i])
                start = i
    if start < end:
        words.append(text[start:])
    return words


def _is_secret_text(text: str) -> bool:
    """The verdict on a key whose JSON key text is ``text`` (see _SECRET_KEYS)."""
    folded = text.casefold()
    if folded in _SECRET_KEYS:
        return True
    # Case folding works character by character, so the folded last word ends
    # the folded text (but for trailing separators): keys that end in no
    # secret word leave here.
    tail = folded.rstrip(_WORD_SEPARATORS)
    if not (tail.endswith("key") or tail.endswith(tuple(_SECRET_NOUNS))):
        return False
    words = _key_words(text)
    if not words:
        return False
    last = words[-1].casefold()
    if last in _SECRET_NOUNS:
        return True
    return last == "key" and len(words) > 1 and words[-2].casefold() in _SECRET_KEY_QUALIFIERS


_SCALARS = (str, int, float, bool, type(None))


def _float_key(key: float) -> str:
    # Same text json.dumps writes for a float key (allow_nan=True).
    if key != key:
        return "NaN"
    if key == float("inf"):
        return "Infinity"
    if key == float("-inf"):
        return "-Infinity"
    return float.__repr__(key)


def _key_text(key: Any) -> str:
    """Mirror json.dumps key coercion; other key types become ``str(key)``."""
    if type(key) is str:
        return key
    if isinstance(key, str):
        return str.__str__(key)
    if isinstance(key, float):
        return _float_key(key)
    if key is True:
        return "true"
    if key is False:
        return "false"
    if key is None:
        return "null"
    if isinstance(key, int):
        return int.__repr__(key)
    return _safe_str(key)


def _safe_str(value: Any) -> str:
    try:
        return str(value)
    except Exception:
        return f"<unprintable {type(value).__name__}>"


class DataFormatter:
    """Turns arbitrary data into JSON-encodable data with secrets masked."""

    MASK = "***"
    RECURSION_MARKER = "<recursion>"
    DEPTH_MARKER = "<max depth>"
    # Containers nested deeper than this are replaced by DEPTH_MARKER, which
    # keeps both this walk and a later json.dumps clear of recursion limits.
    MAX_DEPTH = 200

    @staticmethod
    def is_secret_key(key: Any) -> bool:
        """True when values under ``key`` are masked (see ``sanitize``)."""
        return _is_secret_text(_key_text(key))

    @staticmethod
    def sanitize(data: Any) -> Any:
        """JSON-encodable deep copy of ``data`` with secret values masked.

        * mappings become new dicts (order kept, keys coerced like json.dumps);
        * lists and tuples become lists;
        * str/int/float/bool/None are returned unchanged (NaN/inf included);
        * pydantic models and dataclass instances are walked as mappings of
          their fields, so secrets inside them are masked too;
        * anything else becomes ``str(value)``.

        Values under secret keys are replaced by ``"***"`` at any depth: keys
        whose whole text is a known secret name (``authorization``, ``api_key``,
        ...) or whose words end in a secret noun (``db_password``, ``dbPassword``,
        ``access_token``, ``set-cookie``, ``private_key``, ``x-api-key``), all
        compared case-insensitively; token counts such as ``max_tokens`` or
        ``token_count`` stay visible.  A container met again on its own
        path becomes ``"<recursion>"``; nesting beyond ``MAX_DEPTH`` becomes
        ``"<max depth>"``.
        """
        if type(data) in _SCALARS:
            return data
        return _walk(data, _Walk(), 0)


_verdicts: dict[str, bool] = {}
_verdicts_rules: tuple = ()


class _Walk:
    """The state of one sanitize call: the containers on the current path and the verdicts on
    key texts.  While the three collections are frozensets, verdicts are shared between calls
    (and dropped when a collection is replaced); otherwise each call judges afresh."""

    __slots__ = ("path", "verdicts")

    def __init__(self) -> None:
        global _verdicts, _verdicts_rules
        self.path: set[int] = set()
        rules = (_SECRET_KEYS, _SECRET_NOUNS, _SECRET_KEY_QUALIFIERS)
        if type(rules[0]) is frozenset and type(rules[1]) is frozenset and type(rules[2]) is frozenset:
            if (len(_verdicts_rules) != 3 or rules[0] is not _verdicts_rules[0]
                    or rules[1] is not _verdicts_rules[1] or rules[2] is not _verdicts_rules[2]
                    or len(_verdicts) > 4096):
                _verdicts = {}
                _verdicts_rules = rules
            self.verdicts = _verdicts
        else:
            self.verdicts = {}


def _walk(value: Any, walk: _Walk, depth: int) -> Any:
    kind = type(value)
    if kind in _SCALARS:
        return value
    if kind is dict or kind is list or kind is tuple:
        pass
    elif isinstance(value, (str, int, float)):
        # Subclasses (str enums, IntEnum, ...) encode fine as they are.
        return value
    elif isinstance(value, Mapping) or isinstance(value, (list, tuple)):
        pass
    elif isinstance(value, BaseModel):
        try:
            value = value.model_dump()
        except Exception:
            return f"<unserialisable {kind.__name__}>"
        return _walk_mapping(value, walk, depth, id(value))
    elif dataclasses.is_dataclass(value) and not isinstance(value, type):
        fields = {f.name: getattr(value, f.name, None) for f in dataclasses.fields(value)}
        return _walk_mapping(fields, walk, depth, id(value))
    else:
        return _safe_str(value)

    if isinstance(value, Mapping):
        return _walk_mapping(value, walk, depth, id(value))

    path = walk.path
    marker = id(value)
    if marker in path:
        return DataFormatter.RECURSION_MARKER
    if depth >= DataFormatter.MAX_DEPTH:
        return DataFormatter.DEPTH_MARKER
    path.add(marker)
    try:
        depth += 1
        return [
            item if type(item) in _SCALARS else _walk(item, walk, depth)
            for item in value
        ]
    finally:
        path.discard(marker)


def _walk_mapping(value: Mapping, walk: _Walk, depth: int, marker: int) -> Any:
    path = walk.path
    if marker in path:
        return DataFormatter.RECURSION_MARKER
    if depth >= DataFormatter.MAX_DEPTH:
        return DataFormatter.DEPTH_MARKER
    path.add(marker)
    verdicts = walk.verdicts
    try:
        depth += 1
        out: dict[str, Any] = {}
        for key, item in value.items():
            text = key if type(key) is str else _key_text(key)
            secret = verdicts.get(text)
            if secret is None:
                secret = verdicts[text] = _is_secret_text(text)
            if secret:
                out[text] = DataFormatter.MASK
            elif type(item) in _SCALARS:
                out[text] = item
            else:
                out[text] = _walk(item, walk, depth)
        return out
    finally:
        path.discard(marker)


class LazyImport:
    """Import optional packages only when a feature needs them."""

    @staticmethod
    def import_package(name: str) -> ModuleType:
        """Import and return the module ``name``.

        Raises ImportError naming the package and how to install it when the
        package (or one of its own dependencies) cannot be imported.
        """
        try:
            return importlib.import_module(name)
        except ImportError as exc:
            top = name.split(".", 1)[0]
            raise ImportError(
                f"The optional package {name!r} is required for this feature but "
                f"could not be imported ({exc}). Install it with: pip install {top}"
            ) from exc
