"""The shared JSON writer against the json module, on generated tables: the JSON Lines style
(``Linefile._encode_line``) and the search style (``RuntimeTallybook._normalize_search_text``)."""

from __future__ import annotations

import json
import math
import random
import re
import struct

import pytest

from orvane_devtools.observation.backends import Linefile
from orvane_devtools.observation.Tallybook import RuntimeTallybook


def line(value) -> bytes:
    return (json.dumps(value, ensure_ascii=False) + "\n").encode()


def search_text(value) -> str:
    return json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()


class TestNumbers:
    BOUNDARIES = [0.0, -0.0, 1.0, -1.0, 0.1, 0.1 + 0.2, 1 / 3, 1e16, 1e15, 9999999999999998.0,
                  1.5e16, 12345678901234567.0, 1e-4, 1e-5, 0.0001, 0.00012, 1.0001e-5, 123456789.125,
                  5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308,
                  1e22, 1e21, 1e23, 100.0, 1e100, -1e-100, 2.0**53, 2.0**53 + 2, 4.35, 0.3, 2.675]

    def test_floats_as_repr_writes_them(self):
        rnd = random.Random(5)
        values = list(self.BOUNDARIES)
        for _ in range(30_000):
            values.append(struct.unpack("<d", struct.pack("<Q", rnd.getrandbits(64)))[0])
            values.append(round(rnd.uniform(-1e7, 1e7), rnd.randint(0, 9)))
            values.append(rnd.random() * 10.0 ** rnd.randint(-30, 30))
        finite = [v for v in values if math.isfinite(v)]
        assert Linefile._encode_line(finite) == line(finite)

    def test_short_decimals_as_repr_writes_them(self):
        # Decimals of 1 to 17 significant digits across the plain-notation range and past its ends
        # (1e-4, 1e15, 2**51, 1e16), and their neighbours one unit in the last place away: the
        # digits, the point's place and the notation must be repr's.
        rnd = random.Random(11)
        values = [1e-4, 9.999999999999999e-05, 0.00010000000000000002, 1e15, 999999999999999.9,
                  999999999999999.0, 2.0**51, 2.0**51 - 0.25, 2.0**51 + 0.5, 2.0**50 + 0.125, 1e15 - 0.125,
                  0.5, 2.5, 10.0, 100.5, 0.05, 0.15, 0.25, 1.005, 8.325, 4503599627370495.5]
        for _ in range(40_000):
            digits = rnd.randint(1, 17)
            mantissa = rnd.randrange(10 ** (digits - 1), 10**digits)
            v = mantissa * 10.0 ** rnd.randint(-22, 18 - digits) * rnd.choice((1, -1))
            values += [v, math.nextafter(v, math.inf), math.nextafter(v, -math.inf)]
            values.append(float(f"{rnd.uniform(-1e6, 1e6):.{rnd.randint(0, 12)}f}"))
        assert Linefile._encode_line(values) == line(values)

    def test_non_finite_and_integers(self):
        value = [float("nan"), float("inf"), -float("inf"), 0, -1, 2**63 - 1, -(2**63), 2**64, -(10**40),
                 10**300, True, False]
        assert Linefile._encode_line(value) == line(value)

    def test_integer_past_the_digit_limit_raises_as_json(self):
        with pytest.raises(ValueError) as expected:
            json.dumps(10**5000)
        with pytest.raises(ValueError, match=re.escape(str(expected.value)[:30])):
            Linefile._encode_line({"n": 10**5000})


class TestText:
    def test_every_kind_of_str(self):
        rnd = random.Random(9)
        pool = [chr(c) for c in [*range(0x00, 0x100), 0x2028, 0x3b1, 0x4e2d, 0xfffd, 0xffff,
                                 0x10000, 0x1f600, 0x10ffff]]
        for _ in range(3000):
            text = "".join(rnd.choice(pool) for _ in range(rnd.randint(0, 40)))
            value = {text: [text, {"k" + text: text}]}
            assert Linefile._encode_line(value) == line(value), repr(text)

    def test_one_escaped_byte_at_every_place(self):
        # ASCII text is checked for bytes to escape several bytes at a time: each byte JSON
        # escapes must be found at every offset of such a block and of the tail after it.
        for special in ['"', "\\", "\x00", "\x1f", "\n", "\x7f", "!", "#", "[", "]", " ", "A"]:
            for length in range(1, 27):
                for at in range(length):
                    text = "a" * at + special + "b" * (length - at - 1)
                    assert Linefile._encode_line(text) == line(text), (special, length, at)

    def test_long_ascii_and_wide_text(self):
        for text in ["a" * 100_000, 'q"' * 50_000, "ü" * 70_000, "€" * 70_000, "😀" * 70_000,
                     "x\n" * 40_000]:
            assert Linefile._encode_line([text]) == line([text])

    @pytest.mark.parametrize("text", ["\ud800", "a\udfffb", "\udc80\ud83d", "ü\udc80€😀"])
    def test_lone_surrogates_in_every_kind(self, text):
        encoded = Linefile._encode_line({text: text})
        encoded.decode("utf-8")  # valid UTF-8
        assert json.loads(encoded) == {text: text}

    def test_a_high_and_a_low_surrogate_in_a_row_read_back_as_one_character(self):
        # JSON has no other form for them: the two escapes are one code point to a reader.
        assert Linefile._encode_line("\ud83d\ude00") == b'"\\ud83d\\ude00"\n'
        assert json.loads(Linefile._encode_line("\ud83d\ude00")) == "😀"


class TestSearchStyle:
    @pytest.mark.parametrize("value", [
        {"B": 1, "a": [1.5, float("nan"), None, True], "Ä": {"z": "ÜBER", "y": 10**30}},
        {2: "two", 1: "one", 3.5: "x"},
        [{"K": "V"}, ("TUPLE", {"X"})],
        {f"k{i:02d}": i for i in range(40)},
        {"nested": {"Z": [{"b": 1, "A": 2}]}, "ẞ": "Straße"},
    ])
    def test_normalised_text_is_json_casefolded(self, value):
        assert RuntimeTallybook._normalize_search_text(value) == search_text(value)

    def test_keys_json_cannot_order_are_ordered_by_their_text(self):
        value = {None: "n", 2: "two", "a": "str", (1, 2): "TUPLE"}
        with pytest.raises(TypeError):
            search_text(value)
        assert RuntimeTallybook._normalize_search_text(value) == \
            '{"(1, 2)": "tuple", "2": "two", "a": "str", "null": "n"}'

    def test_text_alone_is_casefolded_without_quotes(self):
        assert RuntimeTallybook._normalize_search_text("MiXed ẞ Straße") == "mixed ss strasse"
        assert RuntimeTallybook._normalize_search_text(None) == ""

    def test_list_subclass_is_read_through_its_iterator(self):
        class Reversed(list):
            def __iter__(self):
                return iter(reversed(list(super().__iter__())))

        value = {"items": Reversed(["A", "B", "C"])}
        assert RuntimeTallybook._normalize_search_text(value) == search_text(value)
        assert Linefile._encode_line(value) == line(value)
