"""Events read back from the file are built from their stored JSON without validation where the
JSON fits the event's fields: every such event must equal, field for field and type for type, what
validating the same JSON gives, and anything that does not fit must go through validation."""

from __future__ import annotations

import json
import math
import random

import pytest

from logs_helpers import T0, append_all
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs._reader import _member_kinds
from orvane_devtools.logs.Logbook import _model_from_json

MEMBERS = _member_kinds(RuntimeEvent, RuntimeRunContext)
validate = RuntimeEvent.__pydantic_validator__.validate_json


def typed(value):
    """A value with the type of every part spelled out (1 == 1.0 == True otherwise)."""
    if isinstance(value, dict):
        return ("dict", [(typed(k), typed(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [typed(v) for v in value])
    if isinstance(value, float) and math.isnan(value):
        return ("float", "nan")
    return (type(value).__name__, value)


def same(built, valid) -> None:
    assert type(built) is type(valid)
    assert built == valid
    assert list(built.__dict__) == list(valid.__dict__)
    assert typed(built.__dict__ | {"run": None}) == typed(valid.__dict__ | {"run": None})
    assert built.model_fields_set == valid.model_fields_set
    assert built.__pydantic_extra__ is None and built.__pydantic_private__ is None
    assert built.model_dump_json() == valid.model_dump_json()


ODD_VALUES = [
    0, -0, 1, -1, 2**63 - 1, -(2**63), 2**64 + 5, -(10**40), 10**18, 10**17 + 3, -(10**18),
    0.0, -0.0, 1.0, 0.1, 1e-300, 5e-324, 1.7976931348623157e308, 2.5e20, -3.25, 1e16, 123456789.125,
    True, False, None, "", "plain", "üñíçødé", "emoji 😀 and 𝄞", "quote \" back \\ slash /",
    "control \n\r\t\b\f \x00 \x1f", "\u2028\u2029", "mixed ascii then é then 漢字",
    [], {}, [[[]]], {"a": {"b": {"c": [1, 2.5, "x", None, {"d": []}]}}},
    {"": 1, "é": 2, "with \"quote\"": 3, "line\nbreak": 4, "k" * 40: 5},
    list(range(50)), {str(i): i * 0.5 for i in range(30)},
]


class TestBuildingFromStoredJson:
    def test_the_event_fields_are_recognised(self):
        assert MEMBERS is not None and MEMBERS[-1] == ("run", 5)

    @pytest.mark.parametrize("value", ODD_VALUES, ids=range(len(ODD_VALUES)))
    def test_odd_values_in_every_free_field(self, value):
        event = RuntimeEvent(event_id="e1", event_type="t", timestamp=T0, source=None, level=value,
                             message=None, payload=value, error=value, meta={"v": value, "app_id": "a"})
        text = event.model_dump_json()
        built = _model_from_json(RuntimeEvent, text, MEMBERS)
        assert built is not None
        same(built, validate(text))

    def test_texts_that_do_not_fit_are_left_to_validation(self):
        good = RuntimeEvent(event_id="e", event_type="t", timestamp=T0).model_dump_json()
        assert _model_from_json(RuntimeEvent, good, MEMBERS) is not None
        d = json.loads(good)
        unfit = [
            good[:-1],  # cut short
            good + " x",  # trailing text
            good.replace('"timestamp":', '"timestamp": 1.5, "x":'),  # not JSON of the shape
            json.dumps({**d, "timestamp": 1.0}),  # an int field given a float
            json.dumps({**d, "timestamp": True}),
            json.dumps({**d, "event_id": None}),  # a str field given null
            json.dumps({**d, "meta": []}),
            json.dumps({**d, "run": {"run_id": "r"}}),  # a context stored inside
            json.dumps({k: v for k, v in d.items() if k != "event_type"}),  # a member missing
            json.dumps({**d, "extra": 1}),
            json.dumps(dict(reversed(list(d.items())))),  # another order
            json.dumps({**d, "payload": "\ud800"}),  # a lone surrogate escape
            json.dumps({**d, "payload": "\udc00x"}),
            good.replace('"payload":null', '"payload":1e999'),  # a float that overflows
            good.replace('"payload":null', '"payload":[' * 300 + "]" * 300),  # deep nesting
            good.replace('"payload":null', '"payload":01'),
            good.replace('"payload":null', '"payload":"a\\x"'),
            good.replace('"payload":null', '"payload":tru'),
            "", "[]", "null",
        ]
        for text in unfit:
            assert _model_from_json(RuntimeEvent, text, MEMBERS) is None, text

    def test_an_escaped_member_name_or_a_surrogate_pair(self):
        d = json.loads(RuntimeEvent(event_id="e", event_type="t", timestamp=T0).model_dump_json())
        escaped = json.dumps(d, ensure_ascii=True).replace('"event_id"', '"\\u0065vent_id"')
        assert _model_from_json(RuntimeEvent, escaped, MEMBERS) is None
        pair = json.dumps({**d, "payload": "x\U0001f600y", "message": "é"}, ensure_ascii=True)
        same(_model_from_json(RuntimeEvent, pair, MEMBERS), validate(pair))

    def test_a_model_with_other_fields_is_not_built_directly(self):
        from pydantic import BaseModel, Field, field_validator

        class Aliased(BaseModel):
            event_id: str = Field(alias="id")
            run: RuntimeRunContext | None = None

        class Checked(BaseModel):
            event_id: str
            run: RuntimeRunContext | None = None

            @field_validator("event_id")
            @classmethod
            def upper(cls, v):
                return v.upper()

        class Dated(BaseModel):
            when: float
            run: RuntimeRunContext | None = None

        for cls in (Aliased, Checked, Dated):
            assert _member_kinds(cls, RuntimeRunContext) is None
        with pytest.raises(TypeError):
            _model_from_json(int, "{}", MEMBERS)


class TestReadBackFromTheFile:
    def test_random_values_read_back_equal_and_independent(self, open_service):
        rng = random.Random(1234)

        def value(depth=0):
            pick = rng.randrange(9 if depth < 3 else 6)
            if pick == 0:
                return rng.choice([0, -7, 2**70, -(2**63), 10**19])
            if pick == 1:
                return rng.choice([0.1, -2.5e-8, 1e300, 3.0, -0.0])
            if pick == 2:
                return "".join(rng.choice("aZ é漢😀\"\\\n\t\x01") for _ in range(rng.randrange(12)))
            if pick == 3:
                return rng.choice([True, False, None])
            if pick in (4, 5):
                return rng.randrange(1000)
            if pick == 6:
                return [value(depth + 1) for _ in range(rng.randrange(4))]
            return {f"k{rng.randrange(5)}é": value(depth + 1) for _ in range(rng.randrange(4))}

        events = []
        for i in range(300):
            run = None
            if i % 3:
                run = RuntimeRunContext(run_id=f"r{i % 7}", parent_run_id=None if i % 7 == 0 else "r0",
                                        run_kind=rng.choice(["agent_task", None, 3]), meta={"m": value()})
            events.append(RuntimeEvent(
                event_id=f"e{i}", event_type=rng.choice(["a.start", "a.end", "x"]), timestamp=T0 + i,
                source=rng.choice([None, "src", "ü"]), level=value(), message=rng.choice([None, "m é"]),
                payload=value(), error=value(), meta={"app_id": "a", "v": value()}, run=run,
            ))
        service = open_service()
        append_all(service, events)
        got = service.query_events()
        expected = [validate(e.model_dump_json()) for e in events]
        assert len(got) == len(expected)
        for built, valid in zip(got, expected):
            if valid.run is not None:
                assert typed(built.run.__dict__) == typed(valid.run.__dict__)
            same(built, valid)
        again = service.query_events(run_id="r1")
        again[0].payload = "changed"
        if isinstance(again[0].meta, dict):
            again[0].meta["v"] = "changed"
        fresh = service.query_events(run_id="r1")
        assert fresh[0] == next(e for e in expected if e.event_id == fresh[0].event_id)


def test_a_left_out_member_takes_the_value_given_for_it():
    ctx = RuntimeRunContext(run_id="r", meta={"k": [1]})
    full = RuntimeEvent(event_id="e", event_type="t", timestamp=T0, run=ctx)
    stripped = json.dumps({k: v for k, v in json.loads(full.model_dump_json()).items() if k != "run"})
    built = _model_from_json(RuntimeEvent, stripped, MEMBERS, ctx)
    assert built == full and built.run is ctx and "run" in built.model_fields_set
    bare = _model_from_json(RuntimeEvent, stripped, MEMBERS, None)
    assert bare.run is None and "run" not in bare.model_fields_set
    # Given as null in the text, the member stays null whatever stands in for it.
    with_null = RuntimeEvent(event_id="e", event_type="t", timestamp=T0).model_dump_json()
    kept = _model_from_json(RuntimeEvent, with_null, MEMBERS, ctx)
    assert kept.run is None and "run" in kept.model_fields_set
