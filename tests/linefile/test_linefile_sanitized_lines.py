"""Lines written by the sink equal the Python route byte for byte:
json.dumps(DataFormatter.sanitize(event.model_dump(mode="json")), ensure_ascii=False) + "\\n",
also for values pydantic's JSON mode converts and for every rule of the sanitiser."""

from __future__ import annotations

import asyncio
import dataclasses
import datetime
import decimal
import enum
import json
import uuid

import pytest
from pydantic import BaseModel

from orvane import utils
from orvane.utils import DataFormatter
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.backends import JSONLTraceSink, Linefile


class Color(str, enum.Enum):
    RED = "red"


class Level(enum.IntEnum):
    HIGH = 3


class Inner(BaseModel):
    token: str = "inner-secret"
    when: datetime.date = datetime.date(2024, 2, 29)
    tags: set[str] = {"x"}


@dataclasses.dataclass
class Point:
    x: int
    password: str


def python_line(ev) -> bytes:
    data = DataFormatter.sanitize(ev.model_dump(mode="json"))
    text = json.dumps(data, ensure_ascii=False) + "\n"
    # The sink writes a lone surrogate (no UTF-8 form) as its JSON escape.
    return "".join(f"\\u{ord(c):04x}" if 0xD800 <= ord(c) <= 0xDFFF else c for c in text).encode("utf-8")


def nested(depth, leaf):
    value = leaf
    for i in range(depth):
        value = {"k": value} if i % 2 else [value]
    return value


PAYLOADS = [
    pytest.param({"at": datetime.datetime(2024, 1, 2, 3, 4, 5, 678901, tzinfo=datetime.timezone.utc),
                  "naive": datetime.datetime(2024, 1, 2), "d": datetime.date(2020, 1, 1),
                  "t": datetime.time(1, 2, 3), "dt": datetime.timedelta(seconds=90.5)}, id="datetimes"),
    pytest.param({"c": Color.RED, "l": Level.HIGH, "u": uuid.UUID(int=7),
                  "dec": decimal.Decimal("1.50")}, id="enums-uuid-decimal"),
    pytest.param({"b": b"bytes \xc3\xbc", "tup": (1, "two", (3,)), "set": {1}, "fs": frozenset({"a"})},
                 id="bytes-tuples-sets"),
    pytest.param({"model": Inner(), "models": [Inner(token="t2")], "dc": Point(1, "pw")},
                 id="nested-models-dataclass"),
    pytest.param({1: "int key", 2.5: "float key", None: "none key", True: "bool key"},
                 id="non-str-keys"),
    pytest.param({"Authorization": "Bearer x", "deep": [{"API_KEY": {"a": 1}}, {"Set-Cookie": []}],
                  "ß": {"PASSWORD": None}, "tokens": "not masked"}, id="secret-keys-any-depth"),
    pytest.param({"\u017fecret": "long s folds to s", "to\u212aen": "Kelvin sign folds to k",
                  "Pässword": "kept", "x" * 80: "long key", "Secret": "masked"},
                 id="secret-keys-folding"),
    pytest.param(nested(199, {"secret": 1}), id="just-under-max-depth"),
    pytest.param(nested(230, "leaf"), id="beyond-max-depth"),
    pytest.param(nested(205, {}), id="empty-containers-at-depth"),
    pytest.param({"text": "ü€😀 \u2028 \x00\x1f \"q\" \\ \n\t", "nan": float("nan"),
                  "inf": float("inf"), "big": 2**80, "neg": -(2**70), "f": 1e-7}, id="text-numbers"),
    pytest.param(["a", 1, [], {}, None], id="list-payload"),
    pytest.param("plain", id="scalar-payload"),
]


def make_event(payload, i=0):
    return RuntimeEvent(
        event_id=f"e{i}", event_type="stream.delta", timestamp=1_700_000_000_000 + i,
        message="grüße", payload=payload, error={"password": "p", "code": 1},
        meta={"app_id": "app", "api_key": "secret-value", "Cookie": "c"},
        run=RuntimeRunContext(run_id="r1", run_kind=Color.RED, meta={"id_token": "x"}),
    )


@pytest.mark.parametrize("payload", PAYLOADS)
def test_lines_equal_python_route(tmp_path, payload):
    ev = make_event(payload)
    path = tmp_path / "e.jsonl"
    asyncio.run(JSONLTraceSink(str(path)).append_events([ev, make_event(payload, 1)]))
    assert path.read_bytes() == python_line(ev) + python_line(make_event(payload, 1))
    assert b"secret-value" not in path.read_bytes()
    assert Linefile._encode_event(ev) == python_line(ev)


class TestChangedRules:
    """The native walk follows the host's rules as they are when the append runs."""

    def run(self, tmp_path, ev):
        path = tmp_path / "e.jsonl"
        asyncio.run(JSONLTraceSink(str(path)).append_event(ev))
        return path.read_bytes()

    def test_replaced_sanitize_is_used(self, tmp_path, monkeypatch):
        class Formatter(DataFormatter):
            @staticmethod
            def sanitize(data):
                return {"only": data["event_id"]}

        monkeypatch.setattr(Linefile, "DataFormatter", Formatter)
        assert self.run(tmp_path, make_event({"x": 1})) == b'{"only": "e0"}\n'

    def test_changed_markers_and_secret_keys(self, tmp_path, monkeypatch):
        monkeypatch.setattr(DataFormatter, "MASK", "<hidden>")
        monkeypatch.setattr(DataFormatter, "DEPTH_MARKER", "<deep>")
        monkeypatch.setattr(DataFormatter, "MAX_DEPTH", 4)
        monkeypatch.setattr(utils, "_SECRET_KEYS", frozenset({"app_id", "code", 7}))
        monkeypatch.setattr(utils, "_SECRET_NOUNS", frozenset({"message"}))
        monkeypatch.setattr(utils, "_SECRET_KEY_QUALIFIERS", frozenset())
        ev = make_event(nested(10, "leaf"))
        line = self.run(tmp_path, ev)
        assert line == python_line(ev)
        assert b"<hidden>" in line and b"<deep>" in line and b"secret-value" in line
        assert b'"message": "<hidden>"' in line and b'"code": "<hidden>"' in line

    def test_a_mutable_key_set_is_read_on_every_append(self, tmp_path, monkeypatch):
        keys = {"code"}
        monkeypatch.setattr(utils, "_SECRET_KEYS", keys)
        ev = make_event({"x": 1})
        first = self.run(tmp_path, ev)
        keys.add("message")
        (tmp_path / "e.jsonl").unlink()
        second = self.run(tmp_path, ev)
        assert b'"message": "gr' in first and b'"code": "***"' in first
        assert second == python_line(ev) and b'"message": "***"' in second

    def test_subclass_without_own_sanitize_uses_the_module_rules(self, tmp_path, monkeypatch):
        class Formatter(DataFormatter):
            MASK = "ignored: the walk reads the module's DataFormatter"

        monkeypatch.setattr(Linefile, "DataFormatter", Formatter)
        ev = make_event({"token": "t"})
        assert self.run(tmp_path, ev) == python_line(ev)


def test_raised_max_depth_writes_no_marker(tmp_path, monkeypatch):
    monkeypatch.setattr(DataFormatter, "MAX_DEPTH", 10**9)
    ev = make_event(nested(240, {"secret": "s"}))
    path = tmp_path / "e.jsonl"
    asyncio.run(JSONLTraceSink(str(path)).append_event(ev))
    assert path.read_bytes() == python_line(ev)
    assert b'"secret": "***"' in path.read_bytes() and b"<max depth>" not in path.read_bytes()


class TestLinesWrittenFromTheModel:
    """Events of the common shape are written from their fields, without the JSON-mode dump;
    every other event through the dump. Both must give the bytes of the Python route."""

    @staticmethod
    def random_value(rnd, depth=0):
        texts = ["", "plain", 'quote "q"', "back\\slash", "ü€😀", "\x00\x1f\n", "lone \ud800", "x" * 300]
        keys = ["a", "token", "db_password", "max_tokens", "Set-Cookie", "apiKey", "é", 'k"q']
        roll = rnd.random()
        if depth < 6 and roll < 0.25:
            return {rnd.choice(keys) + str(i): TestLinesWrittenFromTheModel.random_value(rnd, depth + 1)
                    for i in range(rnd.randint(0, 4))}
        if depth < 6 and roll < 0.4:
            items = [TestLinesWrittenFromTheModel.random_value(rnd, depth + 1) for _ in range(rnd.randint(0, 4))]
            return tuple(items) if rnd.random() < 0.3 else items
        return rnd.choice([None, True, False, 0, -7, 2**70, 1.5, 1e-7, 3.0, rnd.choice(texts),
                           rnd.random() * 10 ** rnd.randint(-20, 20)])

    def test_random_plain_events(self):
        import random

        rnd = random.Random(21)
        for i in range(400):
            run = None if rnd.random() < 0.3 else RuntimeRunContext(
                run_id=f"r{i}", run_kind=self.random_value(rnd, 5), agent_name=rnd.choice([None, "Planner ✓"]),
                meta={"flow_name": "f", "client_secret": "s", "n": self.random_value(rnd, 3)})
            ev = RuntimeEvent(event_type=rnd.choice(["stream.delta", 'a"b']), source=rnd.choice([None, "src"]),
                              level=self.random_value(rnd, 4), message=rnd.choice([None, "m ü", 'say "x"']),
                              payload=self.random_value(rnd), error=self.random_value(rnd, 3),
                              meta={"app_id": "a", "api_key": "k", "x": self.random_value(rnd, 2)}, run=run)
            assert Linefile._encode_event(ev) == python_line(ev), i

    @pytest.mark.parametrize("payload", [
        {"nan": float("nan")}, {"inf": [float("-inf")]}, {"text": Color.RED}, {"sub": Level.HIGH},
        {1: "int key"}, {"set": {1}}, {"model": Inner()}, {"dc": Point(1, "pw")}, {"deep": nested(70, "x")},
        {"when": datetime.date(2020, 1, 1)},
    ], ids=["nan", "inf", "str-enum", "int-enum", "int-key", "set", "model", "dataclass", "deep", "date"])
    def test_values_the_dump_changes_take_the_dump_route(self, payload):
        ev = make_event(payload)
        assert Linefile._encode_event(ev) == python_line(ev)

    def test_values_assigned_without_validation(self):
        ev = make_event({"x": 1})
        ev.event_id = 5  # model_dump writes what is there (with a warning)
        ev.meta = {7: "non-str key"}
        with pytest.warns(UserWarning):
            expected = python_line(ev)
        with pytest.warns(UserWarning):
            assert Linefile._encode_event(ev) == expected

    def test_small_max_depth_and_replaced_model_dump(self, monkeypatch):
        ev = make_event({"a": {"b": 1}})
        for depth in (0, 1, 2, 3):
            monkeypatch.setattr(DataFormatter, "MAX_DEPTH", depth)
            assert Linefile._encode_event(ev) == python_line(ev), depth
        monkeypatch.undo()
        original = RuntimeEvent.model_dump

        def model_dump(self, **kw):
            return {**original(self, **kw), "added": "by the host"}

        monkeypatch.setattr(RuntimeEvent, "model_dump", model_dump)
        assert b'"added": "by the host"' in Linefile._encode_event(ev)
        assert Linefile._encode_event(ev) == python_line(ev)
