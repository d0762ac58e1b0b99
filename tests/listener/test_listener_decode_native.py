"""The native reading of upload bodies against the Python roads it stands in for.

The native road (``Ingest._read_upload_body``) builds events without validation; whatever it
gives must be exactly what validation and masking give (same values of the same types, same
key order, same fields set), and what it cannot build exactly must reach the Python roads and be
answered as they answer it (the same events, the same rejected indexes with the same errors,
the same 400s).
"""

from __future__ import annotations

import json
import math
import random
import struct
from typing import Any

import pytest
from listener_helpers import body, event
from pydantic import BaseModel, field_validator

import orvane.utils
from orvane.utils import DataFormatter
from orvane_devtools.listener import decode
from orvane_devtools.listener.decode import BodyError, DecodedBatch, decode_body
from orvane_devtools.listener.Ingest import _read_upload_body


def python_roads(raw: bytes) -> DecodedBatch:
    """What the listener decoded before the native road: the quick road, else the careful one."""
    if not raw.strip():
        raise BodyError("the body is empty; expected a JSON object with an 'events' list")
    batch = decode._quick(raw)
    return batch if batch is not None else decode._careful(raw)


def outcome(decode, raw: bytes) -> tuple:
    try:
        batch = decode(raw)
    except BodyError as exc:
        return ("400", str(exc))
    return ("ok", batch)


def same(a: Any, b: Any, where: str = "$") -> None:
    """Equal as values of the same types: dict key order, float bits and model state included."""
    assert type(a) is type(b), f"{where}: {type(a).__name__} != {type(b).__name__}"
    if isinstance(a, BaseModel):
        assert a.__pydantic_fields_set__ == b.__pydantic_fields_set__, f"{where}: fields set"
        assert a.__pydantic_extra__ == b.__pydantic_extra__, f"{where}: extra"
        assert a.__pydantic_private__ == b.__pydantic_private__, f"{where}: private"
        # The very key objects validation uses (the field names): attribute look-ups find
        # those by identity, and fall back to comparing text (several times slower) otherwise.
        assert all(x is y for x, y in zip(a.__dict__, b.__dict__)), f"{where}: key objects"
        same(a.__dict__, b.__dict__, where)
    elif isinstance(a, dict):
        assert list(a) == list(b), f"{where}: keys {list(a)} != {list(b)}"
        for key in a:
            same(a[key], b[key], f"{where}.{key}")
    elif isinstance(a, list):
        assert len(a) == len(b), f"{where}: length"
        for i, (x, y) in enumerate(zip(a, b)):
            same(x, y, f"{where}[{i}]")
    elif isinstance(a, float):
        assert struct.pack("<d", a) == struct.pack("<d", b) or (math.isnan(a) and math.isnan(b)), where
    else:
        assert a == b, f"{where}: {a!r} != {b!r}"


def assert_alike(raw: bytes) -> DecodedBatch | None:
    """decode_body(raw) answers exactly as the Python roads answer; returns the batch."""
    # Each decoding gets its own copy of the text: the roads build their own objects from it.
    mine, theirs = outcome(decode_body, bytes(raw)), outcome(python_roads, bytes(raw))
    assert mine[0] == theirs[0], (mine, theirs)
    if mine[0] == "400":
        assert mine[1] == theirs[1]
        return None
    got, want = mine[1], theirs[1]
    assert got.total == want.total
    assert got.indexes == want.indexes
    assert got.rejected == want.rejected
    for mine_ev, their_ev in zip(got.events, want.events):
        if "timestamp" not in their_ev.__pydantic_fields_set__:
            # Left out: validation's default is the time of decoding, taken once per road.
            assert abs(mine_ev.timestamp - their_ev.timestamp) < 60_000
            their_ev.__dict__["timestamp"] = mine_ev.timestamp
    same(got.events, want.events)
    return got


def native_road(raw: bytes) -> tuple[int, int] | None:
    """(events built natively, events left to the Python roads), or None for the whole body."""
    read = _read_upload_body(raw, decode._native_layout())
    if read is None:
        return None
    _doc, events, left = read
    return len(events) - left, left


def dumps(doc: Any, rng: random.Random | None = None) -> bytes:
    if rng is None:
        return json.dumps(doc, separators=(",", ":"), ensure_ascii=False).encode()
    seps = rng.choice([(",", ":"), (", ", ": "), (" ,\n", " :\t")])
    text = json.dumps(doc, separators=seps, ensure_ascii=rng.random() < 0.5)
    try:
        return text.encode()
    except UnicodeEncodeError:  # a lone surrogate travels escaped
        return json.dumps(doc, separators=seps).encode()


# -- random bodies ----------------------------------------------------------------------------

KEYS = ["a", "k", "tokens", "token", "Token", "db_password", "dbPassword", "APIKey", "private_key",
        "keyboard", "author", "set-cookie", "x_secret_", "pa\u00dfword", "to\u212aen", "\u00e9t\u00e9",
        "credential.", "Authorization", "app_id", "group_id", "run_id", "message", ""]
TEXTS = ["", "text", "caf\u00e9 \u2603", 'quote " and \\ slash', "tab\there\nnew", "\u2028\u2029",
         "emoji \U0001f600", "\x00\x1f", "5e123", "NaN", "-0", "a" * 300]
NUMBERS = [0, -0.0, 1, -7, 2**31, 2**53 + 1, 10**25, -(10**30), 2**63 - 1, 2**63, -(2**63), 2.5,
           -1e-300, 1e300, 5e-324, 1.7976931348623157e308, 0.1, 123456.789e3, True, False, None]


def rand_value(rng: random.Random, depth: int) -> Any:
    pick = rng.random()
    if depth < 5 and pick < 0.2:
        return {rng.choice(KEYS): rand_value(rng, depth + 1) for _ in range(rng.randint(0, 4))}
    if depth < 5 and pick < 0.32:
        return [rand_value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if pick < 0.6:
        return rng.choice(NUMBERS) if rng.random() < 0.8 else rng.uniform(-1e6, 1e6)
    return rng.choice(TEXTS)


ODD_TYPED = {
    "event_id": ["", 5, None, ["x"], "ok-id"],
    "event_type": [None, 3, {"t": 1}, ""],
    "timestamp": ["12", 12.0, 1e3, True, 2**63, -(2**63) - 1, 2**63 - 1, -(2**63), None, "soon"],
    "source": [5, ["s"], {"s": 1}, True],
    "message": [1.5, ["m"], False],
    "meta": [None, [], "m", 5, {"api_key": "k"}],
    "run": ["r", 5, [], {}, {"run_id": None}, {"run_id": 5}, {"agent_id": "a"},
            {"run_id": "r", "extra": 1}, {"run_id": "r", "meta": None}, {"run_id": "r", "meta": []}],
}


def rand_event(rng: random.Random, i: int) -> Any:
    ev = event(i, f"run-{i % 5}", payload=rand_value(rng, 0), error=rand_value(rng, 2),
               level=rand_value(rng, 3) if rng.random() < 0.3 else "info",
               meta={rng.choice(KEYS): rand_value(rng, 2) for _ in range(rng.randint(0, 3))})
    ev["run"].update(run_kind=rand_value(rng, 3) if rng.random() < 0.3 else "agent_task",
                     meta={rng.choice(KEYS): rand_value(rng, 2) for _ in range(rng.randint(0, 2))},
                     session_id=rng.choice([None, "s-1"]))
    roll = rng.random()
    if roll < 0.15:  # fields left out (optional and required ones)
        for name in rng.sample(sorted(ev), rng.randint(1, 3)):
            del ev[name]
    elif roll < 0.3:  # a field of another type (coerced, refused or taken by Any)
        name = rng.choice(sorted(ODD_TYPED))
        ev[name] = rng.choice(ODD_TYPED[name])
    elif roll < 0.38:  # members in another order, or an extra one
        items = list(ev.items())
        rng.shuffle(items)
        ev = dict(items)
        if rng.random() < 0.5:
            ev[rng.choice(["extra", "Event_id", "token"])] = rand_value(rng, 1)
    elif roll < 0.42:  # the run's members left out or reordered
        run = ev["run"]
        for name in rng.sample(sorted(run), rng.randint(0, 4)):
            if name != "run_id":
                del run[name]
        ev["run"] = dict(sorted(run.items(), key=lambda kv: rng.random()))
    elif roll < 0.44:
        ev = rng.choice([["not", "an", "event"], "event", None, 5])
    return ev


def rand_body(rng: random.Random, n: int) -> dict[str, Any]:
    doc = body([rand_event(rng, i) for i in range(n)])
    roll = rng.random()
    if roll < 0.2:
        doc["app_id"] = rng.choice([None, "", "sink-app"])
        doc["group_id"] = rng.choice([None, "", "g"])
        doc["environment"] = rng.choice([None, "", "prod"])
    elif roll < 0.25:
        doc[rng.choice(["app_id", "group_id", "environment"])] = rng.choice([5, ["x"], True])
    elif roll < 0.3:
        doc["other"] = rand_value(rng, 0)
    elif roll < 0.33:
        del doc[rng.choice(["app_id", "group_id", "environment"])]
    elif roll < 0.43:  # a value no strict JSON reader takes, or no store keeps
        ev = rng.choice(doc["events"])
        if isinstance(ev, dict):
            ev[rng.choice(["payload", "error", "level"])] = rng.choice(
                [float("nan"), float("-inf"), "lone \ud800", ["ok", "\udfff"]])
    return doc


class TestDifferential:
    def test_random_bodies_decode_as_the_python_roads_decode(self):
        rng = random.Random(20261208)
        roads = {"native": 0, "mixed": 0, "python": 0}
        for _ in range(250):
            raw = dumps(rand_body(rng, rng.randint(1, 12)), rng)
            assert_alike(raw)
            road = native_road(raw)
            roads["python" if road is None else "mixed" if road[1] else "native"] += 1
        # Every road was taken often enough for the comparison to mean something.
        assert min(roads.values()) >= 25, roads

    def test_ordinary_bodies_are_built_natively(self):
        rng = random.Random(7)
        events = []
        for i in range(200):
            ev = event(i, f"run-{i % 3}", payload={"text": rng.choice(TEXTS), "n": rng.choice(NUMBERS),
                                                   "api_key": "***", "nested": [{"token": 1}]})
            events.append(ev)
        raw = dumps(body(events, app_id="sink-app", group_id=None, environment="prod"))
        assert native_road(raw) == (200, 0)
        batch = assert_alike(raw)
        first = batch.events[0]
        assert first.payload["api_key"] == "***" and first.payload["nested"] == [{"token": "***"}]
        assert first.meta == {"app_id": "app-a", "group_id": "team-a", "environment": "local"}

    def test_events_without_meta_or_run_take_the_defaults(self):
        bare = {"event_id": "e-1", "event_type": "t", "timestamp": 5}
        raw = dumps(body([bare, dict(bare, event_id="e-2", meta={"app_id": "own"})],
                         app_id="sink-app", group_id="", environment=""))
        assert native_road(raw) == (2, 0)
        batch = assert_alike(raw)
        assert batch.events[0].meta == {"app_id": "sink-app", "group_id": ""}
        assert batch.events[0].__pydantic_fields_set__ == {"event_id", "event_type", "timestamp"}
        assert batch.events[1].meta == {"app_id": "own", "group_id": ""}
        # Each event has a meta of its own.
        assert batch.events[0].meta is not batch.events[1].meta


# -- hostile bodies ---------------------------------------------------------------------------

def text_body(events_text: str, head: str = '"app_id":"a","group_id":null,"environment":"e",') -> bytes:
    return ("{" + head + '"events":[' + events_text + "]}").encode()


EV = '{"event_id":"%s","event_type":"t","timestamp":%s,"payload":%s,"run":{"run_id":"r"}}'
HOSTILE = {
    "duplicate event_id": text_body('{"event_id":"a","event_id":"b","event_type":"t","timestamp":1}'),
    "duplicate event_id, last invalid": text_body('{"event_id":"a","event_id":5,"event_type":"t","timestamp":1}'),
    "duplicate payload keys": text_body(EV % ("a", 1, '{"k":1,"j":2,"k":{"token":3}}')),
    "duplicate run": text_body('{"event_id":"a","event_type":"t","timestamp":1,"run":5,"run":{"run_id":"r"}}'),
    "duplicate events": b'{"events":[5],"events":[' + (EV % ("a", 1, "1")).encode() + b"]}",
    "timestamp 1.0": text_body(EV % ("a", "1.0", "1")),
    "timestamp 1e3": text_body(EV % ("a", "1e3", "1")),
    "timestamp -0": text_body(EV % ("a", "-0", "1")),
    "timestamp int64 max": text_body(EV % ("a", 2**63 - 1, "1")),
    "timestamp int64 max + 1": text_body(EV % ("a", 2**63, "1")),
    "timestamp int64 min - 1": text_body(EV % ("a", -(2**63) - 1, "1")),
    "NaN": text_body(EV % ("a", 1, "NaN")),
    "Infinity in a list": text_body(EV % ("a", 1, "[1,-Infinity]")),
    "float overflow": text_body(EV % ("a", 1, "1e999")),
    "negative zero and subnormal": text_body(EV % ("a", 1, "[-0.0,5e-324,-0]")),
    "5,000-digit integer": text_body(EV % ("a", 1, "9" * 5000)),
    "lone high surrogate": text_body(EV % ("a", 1, '"\\ud800"')),
    "lone low surrogate in a key": text_body(EV % ("a", 1, '{"\\udc00":1}')),
    "surrogate pair": text_body(EV % ("a", 1, '"\\ud83d\\ude00 \\u00e9"')),
    "surrogate pair in event_id": text_body(EV % ("\\ud83d\\ude00", 1, "1")),
    "encoded surrogate bytes": text_body(EV % ("a", 1, '"\xed\xa0\x80"')).replace(b"\xc3\xad\xc2\xa0\xc2\x80", b"\xed\xa0\x80"),
    "invalid UTF-8": text_body(EV % ("a", 1, '"x"')).replace(b'"x"', b'"\xff"'),
    "UTF-8 byte order mark": b"\xef\xbb\xbf" + text_body(EV % ("a", 1, "1")),
    "UTF-16": text_body(EV % ("a", 1, "1")).decode().encode("utf-16"),
    "raw control character": text_body(EV % ("a", 1, '"a\tb"')),
    "trailing text": text_body(EV % ("a", 1, "1")) + b" x",
    "trailing whitespace": b"\n " + text_body(EV % ("a", 1, "1")) + b" \r\n",
    "truncated": text_body(EV % ("a", 1, "1"))[:-3],
    "leading zero": text_body(EV % ("a", "01", "1")),
    "single quotes": text_body(EV % ("a", 1, "'x'")),
    "comment": text_body(EV % ("a", 1, "1 /* c */")),
    "not an object": b'[{"events":[]}]',
    "events not a list": b'{"events":{"0":{}}}',
    "no events": b'{"app_id":"a"}',
    "app_id a number": text_body(EV % ("a", 1, "1"), head='"app_id":5,'),
    "group_id empty, environment empty": text_body(EV % ("a", 1, "1"), head='"group_id":"","environment":"",'),
    "unknown top-level key with odd value": text_body(EV % ("a", 1, "1"), head='"x":[NaN],'),
    "event not an object": text_body('[1,2],"e",null,' + EV % ("a", 1, "1")),
    "empty event_id": text_body(EV % ("", 1, "1")),
    "missing event_id": text_body('{"event_type":"t","timestamp":1}'),
    "missing timestamp": text_body('{"event_id":"a","event_type":"t"}'),
    "extra member": text_body('{"event_id":"a","event_type":"t","timestamp":1,"extra":{"token":1}}'),
    "run without run_id": text_body('{"event_id":"a","event_type":"t","timestamp":1,"run":{"agent_id":"x"}}'),
    "run with extra member": text_body('{"event_id":"a","event_type":"t","timestamp":1,"run":{"run_id":"r","x":1}}'),
    "meta null": text_body('{"event_id":"a","event_type":"t","timestamp":1,"meta":null}'),
    "secret under every free field": text_body(
        '{"event_id":"a","event_type":"t","timestamp":1,"level":{"token":1},"payload":[{"dbPassword":[1]}],'
        '"error":{"X-Api-Key":{}},"meta":{"cookie":"c"},"run":{"run_id":"r","run_kind":{"secret":2},'
        '"meta":{"aws_secret_access_key":"k"}}}'),
    "empty body object": b"{}",
    "whitespace only": b" \n\t ",
}


class TestHostile:
    @pytest.mark.parametrize("name", sorted(HOSTILE))
    def test_hostile_body_is_answered_as_the_python_roads_answer_it(self, name):
        assert_alike(HOSTILE[name])

    def test_what_the_native_road_leaves_alone(self):
        left_whole = ["NaN", "float overflow", "lone high surrogate", "lone low surrogate in a key",
                      "encoded surrogate bytes", "invalid UTF-8", "UTF-8 byte order mark", "UTF-16",
                      "trailing text", "truncated", "5,000-digit integer", "not an object",
                      "events not a list", "no events", "app_id a number"]
        for name in left_whole:
            assert native_road(HOSTILE[name]) is None, name
        left_events = ["timestamp 1.0", "timestamp int64 max + 1", "timestamp int64 min - 1",
                       "empty event_id", "missing event_id", "missing timestamp", "extra member",
                       "run without run_id", "run with extra member", "meta null",
                       "duplicate event_id, last invalid"]
        for name in left_events:
            assert native_road(HOSTILE[name]) == (0, 1), name
        built = ["duplicate event_id", "duplicate payload keys", "duplicate run", "surrogate pair",
                 "timestamp int64 max", "negative zero and subnormal", "trailing whitespace",
                 "secret under every free field", "timestamp -0"]
        for name in built:
            assert native_road(HOSTILE[name]) == (1, 0), name
        assert native_road(HOSTILE["event not an object"]) == (1, 3)

    @pytest.mark.parametrize("depth", [1, 2, 150, 190, 193, 194, 195, 196, 197, 199, 200, 201, 260])
    def test_deep_nesting(self, depth):
        value: object = "leaf"
        for i in range(depth):
            value = [value] if i % 2 else {"k": value}
        assert_alike(dumps(body([event(1, "run-d", payload=value, error=[value])])))


class TestHostSettings:
    """What a host may change: the sanitizer, its rules, the event classes."""

    @pytest.mark.parametrize("max_depth", [0, 1, 2, 3, 4, 6])
    def test_a_lower_depth_limit(self, monkeypatch, max_depth):
        monkeypatch.setattr(DataFormatter, "MAX_DEPTH", max_depth)
        ev = event(1, "run-x", payload={"a": {"b": [{"c": 1}]}}, level=[[1]], meta={"m": {"n": {}}})
        ev["run"]["meta"] = {"deep": {"er": [1]}}
        ev["run"]["run_kind"] = {"k": [1]}
        assert_alike(dumps(body([ev, event(2, "run-x")])))

    def test_field_names_made_secret(self, monkeypatch):
        keys = orvane.utils._SECRET_KEYS | {"message", "run_kind", "meta"}
        monkeypatch.setattr(orvane.utils, "_SECRET_KEYS", frozenset(keys))
        raw = dumps(body([event(1, "run-y"), event(2, "run-y")]))
        assert native_road(raw) == (0, 2)
        assert_alike(raw)

    def test_rules_that_are_not_frozensets(self, monkeypatch):
        monkeypatch.setattr(orvane.utils, "_SECRET_NOUNS", set(orvane.utils._SECRET_NOUNS) | {"name"})
        raw = dumps(body([event(1, "run-z", payload={"agent_name": "x", "token": "t"})]))
        batch = assert_alike(raw)
        assert batch.events[0].payload == {"agent_name": "***", "token": "***"}

    def test_a_hosts_own_sanitizer_leaves_the_native_road(self, monkeypatch):
        original = DataFormatter.sanitize
        monkeypatch.setattr(DataFormatter, "sanitize", staticmethod(lambda data: original(data)))
        raw = dumps(body([event(1, "run-s")]))
        assert native_road(raw) is None
        assert_alike(raw)

    def test_event_classes_with_validators_leave_the_native_road(self, monkeypatch):
        class Stricter(decode.RuntimeEvent):
            @field_validator("message")
            @classmethod
            def shout(cls, value):
                return value.upper() if isinstance(value, str) else value

        monkeypatch.setattr(decode, "RuntimeEvent", Stricter)
        assert decode._native_layout() is None
        monkeypatch.undo()
        assert decode._native_layout() is not None

    def test_layout_is_checked(self):
        raw = dumps(body([event(1, "run-l")]))
        with pytest.raises(TypeError):
            _read_upload_body(raw, ("not", "a", "layout"))
        layout = decode._native_layout()
        with pytest.raises(TypeError):
            _read_upload_body(raw, (layout[0], (("event_id", 99, ...),), layout[2], layout[3]))
        assert _read_upload_body(raw.decode(), layout) is None  # text, not bytes: the Python roads
