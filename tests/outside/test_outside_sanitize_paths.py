"""One masking on every path.

The same values go through ``DataFormatter.sanitize`` itself, through the native sanitizer that
stands for it (``Linefile._sanitize``), into the JSON Lines file, and into the upload body that a
real HTTP server on 127.0.0.1 receives (both the body the upload backend writes natively and the
one it builds through ``_serialize_event``); every path must give the same masked result.
"""

from __future__ import annotations

import asyncio
import collections
import dataclasses
import enum
import json
import math
import random
import string
import threading
import types
from collections.abc import Mapping
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from pydantic import BaseModel

from orvane import utils
from orvane.utils import DataFormatter
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.backends import JSONLTraceSink, Linefile, Uplink
from orvane_devtools.observation.backends.Uplink import RemoteTraceSink

MASKED_KEYS = ["db_password", "private_key", "dbPassword", "client_secret", "access_token",
               "aws_secret_access_key", "x-api-key", "set-cookie", "Authorization", "API_KEY",
               "apiKey", "XApiKey", "oauth2Token", "user.credentials", "refresh-Token__",
               "proxy-authorization", "apikey", "SECRET"]
VISIBLE_KEYS = ["max_tokens", "prompt_tokens", "completion_tokens", "total_tokens", "token_count",
                "tokenizer", "keyboard", "author", "password_hint", "tokens", "monkey", "publicKey",
                "secretary", "cookies_enabled", "key", "api", "author_id"]


# ---------------------------------------------------------------- the three paths

@pytest.fixture
def ingest():
    """A real HTTP endpoint on 127.0.0.1 that keeps the body of every POST (and answers the
    local listener probe, a GET)."""
    bodies: list[bytes] = []

    class Handler(BaseHTTPRequestHandler):
        def do_POST(self):
            bodies.append(self.rfile.read(int(self.headers["Content-Length"])))
            self.do_GET()

        def do_GET(self):
            self.send_response(200)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_port}/ingest", bodies
    server.shutdown()
    server.server_close()


class SubEvent(RuntimeEvent):
    """An event class the upload backend cannot write natively: its batch takes the route
    through ``_serialize_event`` and httpx's JSON."""


def reference(event: RuntimeEvent):
    return DataFormatter.sanitize(event.model_dump(mode="json"))


def through_file(tmp_path, events) -> list:
    path = tmp_path / "events.jsonl"
    path.unlink(missing_ok=True)
    asyncio.run(JSONLTraceSink(str(path)).append_events(events))
    data = path.read_bytes()
    expected = b"".join((json.dumps(reference(e), ensure_ascii=False) + "\n").encode() for e in events)
    assert data == expected  # byte for byte what json.dumps writes for the Python route
    return [json.loads(line) for line in data.splitlines()]


# Meta keys the upload backend would otherwise add from the sink's own values: with them present
# (and no group), the uploaded events are the sanitised dumps themselves.
SINK_META = {"app_id": "app", "environment": "test"}


def through_upload(url: str, bodies: list, events) -> list:
    sink = RemoteTraceSink(endpoint=url, api_key="k", group_id=None)
    bodies.clear()
    asyncio.run(sink.append_events(events))
    assert not sink._has_pending_events() and sink.get_stats()["upload_failure_count"] == 0
    uploaded = [e for body in bodies for e in json.loads(body)["events"]]
    assert [sink._serialize_event(e) for e in events] == [reference(e) for e in events]
    return uploaded


def all_paths(tmp_path, ingest, events):
    """The masked events of every path, which must all be equal."""
    url, bodies = ingest
    python = json.loads(json.dumps([reference(e) for e in events]))
    native = json.loads(json.dumps([Linefile._sanitize(e.model_dump(mode="json")) for e in events]))
    lines = through_file(tmp_path, events)
    native_body = through_upload(url, bodies, events)
    python_body = through_upload(url, bodies, [*events, SubEvent(event_type="marker", meta=SINK_META)])[:-1]
    return python, native, lines, native_body, python_body


def assert_same_everywhere(tmp_path, ingest, events):
    python, *others = all_paths(tmp_path, ingest, events)
    for name, got in zip(["native", "file", "native body", "python body"], others):
        assert got == python, name
    return python


# ---------------------------------------------------------------- tricky payloads

class Creds(BaseModel):
    user: str = "u"
    password: str = "hunter2"
    inner: dict = {"api_key": "k", "visible": 1}


@dataclasses.dataclass
class Conn:
    host: str = "h"
    token: str = "t0k"


def nested(depth: int, leaf):
    value = leaf
    for i in range(depth):
        value = {"level": value} if i % 2 else [value]
    return value


PAYLOADS = {
    "secrets-in-lists": {"headers": [{"authorization": "a"}, ("x", {"Cookie": "c"})],
                         "rows": [[{"db_password": "p", "n": 1}]]},
    "secrets-in-models": {"creds": Creds(), "many": [Creds(user="v")], "conn": Conn()},
    "mapping-subclasses": {"od": collections.OrderedDict([("z", 1), ("client_secret", "s")]),
                           "dd": collections.defaultdict(list, {"private_key": [1], "k": [2]}),
                           "counter": collections.Counter({"access_token": 3, "tokens": 4})},
    "non-string-keys": {1: "int", 2.5: "float", None: "none", True: "bool", (1, "x-api-key"): "tuple",
                        "set-cookie": {7: {"dbPassword": "x"}}},
    "depth": {"deep": nested(DataFormatter.MAX_DEPTH + 20, {"secret": "s"}),
              "edge": nested(DataFormatter.MAX_DEPTH - 3, {"secret": "s"})},
    "key-lists": {**{k: f"value of {k}" for k in MASKED_KEYS}, **{k: 1 for k in VISIBLE_KEYS}},
}


def event_with(payload, i=0):
    return RuntimeEvent(event_id=f"e{i}", event_type="stream.delta", message='ascii "quoted"',
                        payload=payload, error={"password": "p", "code": 1},
                        meta={"api_key": "secret-value", "Set-Cookie": "c", "max_tokens": 9, **SINK_META},
                        run=RuntimeRunContext(run_id="r", meta={"id_token": "x", "author": "a"}))


@pytest.mark.parametrize("payload", PAYLOADS.values(), ids=PAYLOADS.keys())
def test_tricky_payloads_mask_alike_on_every_path(tmp_path, ingest, payload):
    masked = assert_same_everywhere(tmp_path, ingest, [event_with(payload), event_with(payload, 1)])
    text = json.dumps(masked)
    for secret in ("hunter2", "secret-value", "t0k"):
        assert secret not in text


def test_secret_key_lists_on_every_path(tmp_path, ingest):
    payload = {"top": {k: "shh" for k in MASKED_KEYS} | {k: "shown" for k in VISIBLE_KEYS},
               "listed": [{k: "shh"} for k in MASKED_KEYS]}
    event = RuntimeEvent(event_type="x", payload=payload, meta={**{k: "shh" for k in MASKED_KEYS}, **SINK_META})
    (masked,) = assert_same_everywhere(tmp_path, ingest, [event])
    for key in MASKED_KEYS:
        assert masked["payload"]["top"][key] == "***" and masked["meta"][key] == "***", key
    assert all(item == {k: "***"} for item, k in zip(masked["payload"]["listed"], MASKED_KEYS))
    for key in VISIBLE_KEYS:
        assert masked["payload"]["top"][key] == "shown", key
    assert "shh" not in json.dumps(masked)


class TestChangedRulesOnEveryPath:
    def test_changed_mask_and_secret_words(self, tmp_path, ingest, monkeypatch):
        monkeypatch.setattr(DataFormatter, "MASK", "<hidden>")
        monkeypatch.setattr(utils, "_SECRET_NOUNS", frozenset({"hint"}))
        monkeypatch.setattr(utils, "_SECRET_KEY_QUALIFIERS", frozenset({"ssh"}))
        event = event_with({"password_hint": "h", "ssh_key": "k", "db_password": "visible now"})
        (masked,) = assert_same_everywhere(tmp_path, ingest, [event])
        assert masked["payload"] == {"password_hint": "<hidden>", "ssh_key": "<hidden>",
                                     "db_password": "visible now"}

    def test_a_formatter_subclass_keeps_the_module_rules(self, tmp_path, ingest, monkeypatch):
        # The original sanitize reads its rules from orvane.utils, whatever class it was reached
        # through, so a subclass that only changes MASK changes nothing; both backends agree.
        class Formatter(DataFormatter):
            MASK = "<not used>"

        monkeypatch.setattr(Linefile, "DataFormatter", Formatter)
        monkeypatch.setattr(Uplink, "DataFormatter", Formatter)
        (masked,) = assert_same_everywhere(tmp_path, ingest, [event_with({"token": "t"})])
        assert masked["payload"] == {"token": "***"}

    def test_replaced_is_secret_key_changes_no_path(self, tmp_path, ingest, monkeypatch):
        monkeypatch.setattr(DataFormatter, "is_secret_key", staticmethod(lambda key: True))
        (masked,) = assert_same_everywhere(tmp_path, ingest, [event_with({"note": "n"})])
        assert masked["payload"] == {"note": "n"}


def test_cyclic_payload_fails_alike_and_writes_nothing(tmp_path):
    payload: dict = {"a": 1}
    payload["self"] = payload
    event = RuntimeEvent(event_type="x", payload=payload)
    with pytest.raises(ValueError) as python_error:
        reference(event)
    path = tmp_path / "e.jsonl"
    with pytest.raises(type(python_error.value), match="Circular reference"):
        asyncio.run(JSONLTraceSink(str(path)).append_event(event))
    assert not path.exists()


# ---------------------------------------------------------------- native against Python

class RO(Mapping):
    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class Text(str):
    pass


class Colour(str, enum.Enum):
    RED = "red"


class Level(enum.IntEnum):
    HIGH = 3


class Unprintable:
    def __str__(self):
        raise RuntimeError("no text")


class Undumpable(BaseModel):
    x: int = 1

    def model_dump(self, **kw):
        raise ValueError("no dump")


class Items(list):
    def __iter__(self):
        return iter(reversed(list(super().__iter__())))


def cycles():
    d: dict = {"name": "d"}
    d["self"] = d
    lst: list = [1]
    lst.append(lst)
    conn = Conn()
    conn.host = {"back": conn}  # through a dataclass
    ro_data: dict = {"password": "p"}
    ro = RO(ro_data)
    ro_data["again"] = ro  # through a mapping subclass
    shared = {"v": 1}
    return {"dict": d, "list": lst, "dataclass": conn, "mapping": ro, "shared": [shared, shared]}


TRICKY = {
    "models-dataclasses": {"m": Creds(), "l": [Creds(password="x")], "c": Conn(), "bad": Undumpable()},
    "mappings": {"od": collections.OrderedDict(token="t", a=1), "proxy": types.MappingProxyType({"api_key": 1}),
                 "ro": RO({"db_password": "x", "ok": 2}), "items": Items([1, {"secret": 2}])},
    "keys": {1: "a", "1": "b", 2.5: "f", float("nan"): "nan", float("inf"): "i", None: "n", False: "f",
             (1, 2): "t", Text("Token"): "sub", Unprintable(): "key that cannot print", Level.HIGH: "enum"},
    "scalars": {"text": Text("t"), "colour": Colour.RED, "level": Level.HIGH, "nan": float("nan"),
                "bytes": b"x", "set": {1}, "obj": Unprintable(), "tuple": (1, (2, [3]))},
    "cycles": cycles(),
    "depth": nested(DataFormatter.MAX_DEPTH + 50, {"token": "t"}),
    "top-level-list": [{"password": 1}, ("x", {"Cookie": 2})],
}


def same(a, b) -> bool:
    """Equal with the same types, key order and NaNs."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


@pytest.mark.parametrize("value", TRICKY.values(), ids=TRICKY.keys())
def test_native_sanitizer_gives_the_python_result(value):
    assert same(Linefile._sanitize(value), DataFormatter.sanitize(value))
    for scalar in ("s", 1, 2.5, True, None):
        assert Linefile._sanitize(scalar) is scalar


def test_native_sanitizer_past_its_depth_limit(monkeypatch):
    # Deeper than the native walk goes: the Python route answers (its result or its error).
    monkeypatch.setattr(DataFormatter, "MAX_DEPTH", 10**9)
    value = nested(1200, {"secret": "s"})
    try:
        expected = DataFormatter.sanitize(value)
    except RecursionError:
        with pytest.raises(RecursionError):
            Linefile._sanitize(value)
    else:
        assert same(Linefile._sanitize(value), expected)


def test_verdicts_match_on_generated_keys():
    rnd = random.Random(11)
    words = ["api", "key", "Key", "KEY", "token", "Tokens", "password", "PASSWORD", "secret", "access",
             "private", "cookie", "set", "db", "aws", "credential", "credentials", "count", "author",
             "authorization", "passwd", "ID", "x2", "ß", "ſecret", "İd", "Σσς", "中文", "ǅx"]
    alphabet = string.ascii_letters + string.digits + "_-.: " + "ßſKİıǅΣσς中"
    keys = set()
    for _ in range(6000):
        parts = [rnd.choice(words) if rnd.random() < 0.7 else
                 "".join(rnd.choice(alphabet) for _ in range(rnd.randint(0, 5)))
                 for _ in range(rnd.randint(1, 4))]
        keys.add("".join(p + rnd.choice(["", "_", "-", ".", "__"]) for p in parts))
    data = {k: 1 for k in sorted(keys)}
    native = Linefile._sanitize(data)
    python = DataFormatter.sanitize(data)
    assert native == python
    masked = sum(v == "***" for v in python.values())
    assert 0.05 * len(keys) < masked < 0.9 * len(keys)  # the table exercises both verdicts
    assert [k for k in data if DataFormatter.is_secret_key(k) != (python[k] == "***")] == []


class TestChangedCollections:
    """The collections are read at every use, whatever their type."""

    def test_mutable_set_is_read_each_time(self, monkeypatch):
        nouns = {"password"}
        monkeypatch.setattr(utils, "_SECRET_NOUNS", nouns)
        data = {"db_password": 1, "db_note": 2}
        assert Linefile._sanitize(data) == DataFormatter.sanitize(data) == {"db_password": "***", "db_note": 2}
        nouns.add("note")
        assert Linefile._sanitize(data) == DataFormatter.sanitize(data) == {"db_password": "***", "db_note": "***"}

    def test_members_of_other_types(self, monkeypatch):
        class Folded(str):
            def __eq__(self, other):
                return isinstance(other, str) and other.startswith("sesame")

            __hash__ = str.__hash__

        monkeypatch.setattr(utils, "_SECRET_KEYS", frozenset({7, None, Folded("sesame")}))
        data = {"sesame": 1, "7": 2, "None": 3, "token": 4}
        assert Linefile._sanitize(data) == DataFormatter.sanitize(data)

    def test_frozen_sets_changed_between_calls(self, monkeypatch):
        data = {"private_key": 1, "ssh_key": 2}
        assert Linefile._sanitize(data) == {"private_key": "***", "ssh_key": 2}
        monkeypatch.setattr(utils, "_SECRET_KEY_QUALIFIERS", frozenset({"ssh"}))
        assert Linefile._sanitize(data) == DataFormatter.sanitize(data) == {"private_key": 1, "ssh_key": "***"}
        monkeypatch.undo()
        assert Linefile._sanitize(data) == {"private_key": "***", "ssh_key": 2}
