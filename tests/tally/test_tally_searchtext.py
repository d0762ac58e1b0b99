"""The search text normalisation against Python's own json.dumps(...).casefold()."""

from __future__ import annotations

import collections
import datetime
import decimal
import enum
import json
import math
import random

import pytest

from orvane_devtools.observation.Tallybook import RuntimeTallybook

normalize = RuntimeTallybook._normalize_search_text


def reference(value):
    if value is None:
        return ""
    if isinstance(value, str):
        return value.casefold()
    return json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()


class Color(enum.Enum):
    RED = "Red"


class Level(enum.IntEnum):
    HIGH = 3


class Mode(enum.StrEnum):
    FAST = "Fast"


class MyStr(str):
    def __str__(self):  # json writes the text itself, not this
        return "other"


class MyInt(int):
    def __repr__(self):  # json uses int.__repr__
        return "other"


class MyFloat(float):
    pass


class Thing:
    def __str__(self):
        return 'Thing "Ü"\n'


SCALARS = [
    0, 1, -1, 2**63 - 1, -(2**63), 2**64, 10**30, -(10**40), True, False,
    0.1, -0.0, 0.0, 1e16, 1e-7, 1.5e300, 5e-324, 123456789.125, float("inf"), float("-inf"), float("nan"),
    "", "Plain ASCII", "Straße", "İstanbul", "ΣΊΣΥΦΟΣ ς", "ﬁ ligature", "Kelvin K", "emoji 😀 Ǆ",
    'quote " backslash \\ slash /', "ctrl \x00\x01\x08\x0c\n\r\t\x1f\x7f end", "\u2028 line sep",
    Color.RED, Level.HIGH, Mode.FAST, MyStr("Sub"), MyInt(7), MyFloat(2.5),
    b"bytes", {1, 2}, frozenset(), Thing(), decimal.Decimal("1.10"), datetime.date(2024, 1, 2), complex(1, 2),
]


@pytest.mark.parametrize("value", SCALARS, ids=lambda v: type(v).__name__ + ":" + repr(v)[:20])
def test_scalars_match_python(value):
    assert normalize(value) == reference(value)


@pytest.mark.parametrize("value", SCALARS, ids=lambda v: type(v).__name__ + ":" + repr(v)[:20])
def test_scalars_inside_containers_match_python(value):
    for wrapped in ([value, None, [value]], {"k": value, "K": None}, (value,)):
        assert normalize(wrapped) == reference(wrapped)


@pytest.mark.parametrize(
    "value",
    [
        None,
        {},
        [],
        (),
        {"b": 1, "a": [1, 2, {"z": None, "y": [True, False]}], "c": {"nested": {"deep": "Ä"}}},
        {"B": 1, "a": 2},  # sorted on the original keys, folded afterwards: {"b": .., "a": ..}
        {"é": 1, "z": 2, "a": 3, "Z": 4, "ß": 5, "SS": 6},
        {1: "one", 2: "two", 10: "ten"},
        {1.5: "x", -0.0: "y", float("inf"): "z", float("nan"): "n"},
        {True: "t", False: "f"},
        {None: "n"},
        {Mode.FAST: 1, "a": 2},
        {Level.HIGH: "enum key"},
        collections.OrderedDict([("b", 1), ("a", 2)]),
        collections.defaultdict(list, {"x": [1]}),
        [[[]], [{}], [[{"a": [[]]}]]],
        {"k" * 40: "v" * 200, **{f"key{i:03d}": i for i in range(40)}},
        [1, "two", 3.0, None, True, {"x": (1, 2)}],
        {"text": "Mixed CASE and ÜMLAUTS", "list": ["İ", "ς", "Σ"]},
    ],
    ids=lambda v: repr(v)[:30],
)
def test_containers_match_python(value):
    assert normalize(value) == reference(value)


def random_value(rng: random.Random, depth: int = 0):
    kinds = ["int", "float", "str", "none", "bool", "big"]
    if depth < 4:
        kinds += ["list", "dict", "tuple"] * 2
    kind = rng.choice(kinds)
    if kind == "int":
        return rng.randint(-1000, 1000)
    if kind == "big":
        return rng.choice([1, -1]) * rng.randint(2**62, 2**100)
    if kind == "float":
        return rng.choice([rng.uniform(-1e6, 1e6), rng.random() * 1e-9, 1e16, -0.0, float("inf"), 1e22, 0.3])
    if kind == "str":
        alphabet = "aZ09 _-.\"\\\n\tßİςΣÄöé😀\x01"
        return "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))
    if kind == "none":
        return None
    if kind == "bool":
        return rng.random() < 0.5
    if kind == "list":
        return [random_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if kind == "tuple":
        return tuple(random_value(rng, depth + 1) for _ in range(rng.randint(0, 3)))
    keys = [random_value(rng, 9) if rng.random() < 0.1 else "".join(rng.choice("abcXYZß") for _ in range(3)) for _ in range(rng.randint(0, 5))]
    keys = [k if isinstance(k, (str, int, float, bool)) or k is None else str(k) for k in keys]
    if any(not isinstance(k, str) for k in keys):  # one key type per mapping, so Python can sort them
        keys = [str(k) for k in keys]
    return {k: random_value(rng, depth + 1) for k in keys}


def test_random_nested_values_match_python():
    rng = random.Random(20240611)
    for _ in range(2000):
        value = random_value(rng)
        assert normalize(value) == reference(value), value


def test_keys_python_cannot_order_are_ordered_by_their_text():
    # json.dumps raises TypeError here; the store still gives a text: keys ordered by their JSON text.
    with pytest.raises(TypeError):
        reference({1: "a", "b": 2})
    assert normalize({"b": 2, 1: "a", None: 0}) == '{"1": "a", "b": 2, "null": 0}'
    # Keys json refuses are written through str().
    assert normalize({(1, 2): "t"}) == '{"(1, 2)": "t"}'


def test_lone_surrogates_are_kept():
    text = normalize("A\ud800B")
    assert text == "a\ud800b"
    assert normalize(["\udfff"]) == reference(["\udfff"])


def test_circular_and_too_deep_values_raise_like_json():
    loop: list = []
    loop.append(loop)
    with pytest.raises(ValueError, match="Circular reference detected"):
        normalize(loop)
    mapping: dict = {}
    mapping["self"] = mapping
    with pytest.raises(ValueError, match="Circular reference detected"):
        normalize(mapping)
    deep: list = []
    for _ in range(200_000):
        deep = [deep]
    with pytest.raises(RecursionError):
        normalize(deep)
    shared = [1, 2]
    assert normalize([shared, shared]) == reference([shared, shared])  # shared, not circular


def test_casefold_is_full_unicode_folding():
    assert normalize("STRASSE") == normalize("straße") == "strasse"
    assert normalize("ΣΑΣ") == normalize("σας") == "σασ"
    assert normalize({"K": "İ"}) == '{"k": "i̇"}'
    assert math.isnan(float(normalize(float("nan")).replace("nan", "nan")))
