"""Settings, DataFormatter.sanitize and LazyImport."""

import copy
import dataclasses
import json
import math
from collections import OrderedDict
from types import MappingProxyType

import pytest
from pydantic import BaseModel

from orvane.utils import DataFormatter, LazyImport, Settings

sanitize = DataFormatter.sanitize


class TestSettings:
    def test_flat_and_nested_lookups(self):
        flat = Settings({"observation.enabled": False, "observation.path": "/tmp/x"})
        nested = Settings({"observation": {"enabled": False, "upload": {"url": "http://h"}}})
        assert flat.get("observation.enabled") is False
        assert flat.get("observation.path") == "/tmp/x"
        assert nested.get("observation.enabled") is False
        assert nested.get("observation.upload.url") == "http://h"
        assert nested.get("observation") == {"enabled": False, "upload": {"url": "http://h"}}

    def test_mixed_layouts_resolve(self):
        s = Settings({"observation": {"upload.url": "u"}, "a.b": {"c": 3}})
        assert s.get("observation.upload.url") == "u"
        assert s.get("a.b.c") == 3

    def test_flat_key_wins_over_nested(self):
        s = Settings({"observation": {"enabled": True}, "observation.enabled": False})
        assert s.get("observation.enabled") is False

    def test_defaults(self):
        s = Settings({"observation": {"enabled": True, "level": None}, "x": 1})
        assert s.get("missing", "d") == "d"
        assert s.get("missing") is None
        assert s.get("observation.missing", 5) == 5
        assert s.get("x.y", 7) == 7  # "x" is not a mapping
        assert s.get("observation.enabled.deeper", 8) == 8
        # A stored None is a value, not a miss.
        assert s.get("observation.level", "d") is None
        assert Settings().get("a.b", 1) == 1
        assert Settings(None).as_dict() == {}

    def test_set_overrides_and_input_not_aliased(self):
        given = {"observation": {"enabled": True}}
        s = Settings(given)
        s.set("observation.enabled", False)
        assert s.get("observation.enabled") is False
        given["observation"]["enabled"] = "changed"
        assert given == {"observation": {"enabled": "changed"}}
        s2 = Settings(given)
        given["observation"]["enabled"] = "later"
        assert s2.get("observation.enabled") == "changed"
        assert "observation.enabled" in s2 and "nope" not in s2


class TestSanitizeMasking:
    def test_secret_keys_masked_whole_key_case_insensitive(self):
        data = {
            "Authorization": "Bearer abc",
            "PASSWORD": "pw",
            "X-Api-Key": "k",
            "Set-Cookie": "c=1",
            "client_secret": {"nested": "dict is masked whole"},
            "token": None,
            "prompt_tokens": 10,
            "total_tokens": 20,
            "max_tokens": 30,
            "tokens": 3,
            "password_hint": "kept",
            "my_password": "masked: its last word is a secret noun",
        }
        out = sanitize(data)
        for key in ("Authorization", "PASSWORD", "X-Api-Key", "Set-Cookie", "client_secret", "token", "my_password"):
            assert out[key] == "***", key
        assert out["prompt_tokens"] == 10
        assert out["total_tokens"] == 20
        assert out["max_tokens"] == 30
        assert out["tokens"] == 3
        assert out["password_hint"] == "kept"

    def test_all_secret_names_masked(self):
        names = [
            "authorization", "proxy-authorization", "api_key", "apikey", "x-api-key",
            "password", "passwd", "secret", "client_secret", "token", "access_token",
            "refresh_token", "id_token", "cookie", "set-cookie",
        ]
        out = sanitize({name.upper(): "v" for name in names})
        assert out == {name.upper(): "***" for name in names}

    def test_masking_at_depth_and_inside_lists(self):
        data = {
            "request": {
                "headers": [{"authorization": "a"}, ("x", {"Cookie": "c"})],
                "body": {"messages": [{"role": "user", "content": "hi", "api_key": "k"}]},
            },
            "usage": {"prompt_tokens": 1, "completion_tokens": 2},
        }
        deep = {"secret": "s"}
        for _ in range(50):
            deep = {"level": [deep]}
        data["deep"] = deep
        out = sanitize(data)
        assert out["request"]["headers"] == [{"authorization": "***"}, ["x", {"Cookie": "***"}]]
        assert out["request"]["body"]["messages"][0] == {"role": "user", "content": "hi", "api_key": "***"}
        assert out["usage"] == {"prompt_tokens": 1, "completion_tokens": 2}
        node = out["deep"]
        for _ in range(50):
            node = node["level"][0]
        assert node == {"secret": "***"}
        assert "hi" in json.dumps(out) and '"k"' not in json.dumps(out)

    def test_secrets_inside_models_dataclasses_and_other_mappings(self):
        class Creds(BaseModel):
            user: str
            password: str

        @dataclasses.dataclass
        class Conn:
            host: str
            token: str

        out = sanitize(
            {
                "model": Creds(user="u", password="hunter2"),
                "dc": Conn(host="h", token="t0k"),
                "proxy": MappingProxyType({"api_key": "k", "x": 1}),
            }
        )
        assert out == {
            "model": {"user": "u", "password": "***"},
            "dc": {"host": "h", "token": "***"},
            "proxy": {"api_key": "***", "x": 1},
        }
        text = json.dumps(out)
        assert "hunter2" not in text and "t0k" not in text

    def test_str_key_subclass_and_non_str_keys_are_checked(self):
        class Key:
            def __str__(self):
                return "Token"

        out = sanitize({Key(): "value"})
        assert out == {"Token": "***"}


class TestSanitizeConversion:
    def test_scalars_unchanged(self):
        for value in ("s", 1, 1.5, True, False, None):
            assert sanitize(value) is value
        nan = sanitize({"n": float("nan"), "i": float("inf"), "m": float("-inf")})
        assert math.isnan(nan["n"]) and nan["i"] == math.inf and nan["m"] == -math.inf

    def test_non_json_values_stringified(self):
        class Thing:
            def __str__(self):
                return "thing!"

        class Broken:
            def __str__(self):
                raise RuntimeError("no")

        out = sanitize({"b": b"ab", "set": {1}, "obj": Thing(), "c": 1 + 2j, "broken": Broken()})
        assert out["b"] == "b'ab'"
        assert out["set"] == "{1}"
        assert out["obj"] == "thing!"
        assert out["c"] == "(1+2j)"
        assert isinstance(out["broken"], str)
        json.dumps(out)

    def test_tuples_become_lists(self):
        assert sanitize((1, (2, [3, (4,)]))) == [1, [2, [3, [4]]]]

    def test_keys_coerced_like_json(self):
        data = {7: "a", 2.5: "b", True: "c", None: "d", float("nan"): "e", float("inf"): "f", (1, 2): "g"}
        out = sanitize(data)
        assert list(out) == ["7", "2.5", "true", "null", "NaN", "Infinity", "(1, 2)"]
        # Same key text json.dumps itself would write for the JSON-native key types.
        native = {k: v for k, v in data.items() if not isinstance(k, tuple)}
        assert list(json.loads(json.dumps(native))) == list(out)[:-1]

    def test_order_preserved_and_input_not_mutated(self):
        data = OrderedDict([("z", 1), ("password", "p"), ("a", [{"token": "t"}]), ("m", 2)])
        before = copy.deepcopy(data)
        out = sanitize(data)
        assert list(out) == ["z", "password", "a", "m"]
        assert type(out) is dict
        assert data == before
        assert out["a"] is not data["a"] and out["a"][0] is not data["a"][0]

    def test_json_dumps_of_output_always_succeeds(self):
        class Odd:
            pass

        data = {
            Odd(): {frozenset({1}): [Odd(), {b"k": bytearray(b"x")}]},
            "n": float("nan"),
            3: (None, True, {"password": Odd()}),
        }
        out = sanitize(data)
        text = json.dumps(out)
        assert "***" in text

    def test_self_reference_becomes_marker(self):
        a = {"name": "a"}
        a["self"] = a
        lst = [1]
        lst.append(lst)
        a["list"] = lst
        out = sanitize(a)
        assert out["self"] == "<recursion>"
        assert out["list"] == [1, "<recursion>"]
        json.dumps(out)

    def test_shared_but_acyclic_reference_is_copied_twice(self):
        shared = {"v": 1}
        out = sanitize({"a": shared, "b": [shared, shared]})
        assert out == {"a": {"v": 1}, "b": [{"v": 1}, {"v": 1}]}

    def test_excessive_nesting_is_cut_not_crashed(self):
        data = current = []
        for _ in range(5000):
            nxt = []
            current.append(nxt)
            current = nxt
        out = sanitize(data)
        depth = 0
        node = out
        while isinstance(node, list):
            node = node[0]
            depth += 1
        assert node == "<max depth>"
        assert depth == DataFormatter.MAX_DEPTH
        json.dumps(out)


class TestLazyImport:
    def test_imports_available_package(self):
        mod = LazyImport.import_package("json")
        assert mod is json
        assert LazyImport.import_package("os.path").join("a", "b")

    def test_missing_package_names_it_and_suggests_pip(self):
        with pytest.raises(ImportError) as info:
            LazyImport.import_package("orvane_no_such_pkg_xyz.sub")
        message = str(info.value)
        assert "orvane_no_such_pkg_xyz.sub" in message
        assert "pip install orvane_no_such_pkg_xyz" in message
        assert isinstance(info.value.__cause__, ImportError)
