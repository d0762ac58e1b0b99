"""The native deep copy must give what copy.deepcopy / model_copy(deep=True) give."""

import copy
import datetime
import decimal

import pytest
from pydantic import BaseModel, PrivateAttr

from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.observation.TraceSink import _deep_copy


def full_state(m):
    return (type(m), m.__dict__, m.__pydantic_fields_set__, m.__pydantic_extra__, m.__pydantic_private__)


def make_event():
    return RuntimeEvent(
        event_type="agent_task.started",
        source="s",
        message="ünïcode",
        payload={"a": [1, 2.5, {"b": None}], "t": (1, [2]), "when": datetime.date(2026, 1, 2)},
        meta={"app_id": "x"},
        run={"run_id": "r1", "meta": {"k": [1]}},
    )


class TestDeepCopy:
    def test_event_equals_model_copy_deep(self):
        ev = make_event()
        mine, theirs = _deep_copy(ev), ev.model_copy(deep=True)
        assert mine == theirs
        assert full_state(mine) == full_state(theirs)
        assert full_state(mine.run) == full_state(theirs.run)

    def test_copy_is_independent(self):
        ev = make_event()
        c = _deep_copy(ev)
        assert c is not ev and c.run is not ev.run
        assert c.payload is not ev.payload and c.payload["a"] is not ev.payload["a"]
        c.payload["a"][2]["b"] = "changed"
        c.run.meta["k"].append(2)
        c.meta["new"] = 1
        assert ev.payload["a"][2]["b"] is None
        assert ev.run.meta["k"] == [1]
        assert "new" not in ev.meta

    def test_fields_set_is_a_separate_set(self):
        ev = make_event()
        c = _deep_copy(ev)
        c.__pydantic_fields_set__.add("level")
        assert "level" not in ev.__pydantic_fields_set__

    def test_scalars_shared_and_tuples_like_deepcopy(self):
        s = "text"
        assert _deep_copy(s) is s
        t = (1, "a", None)
        assert _deep_copy(t) is t
        t2 = (1, [2])
        c = _deep_copy(t2)
        assert c == t2 and c is not t2 and c[1] is not t2[1]

    def test_shared_subobjects_stay_shared_and_cycles_end(self):
        shared = [1]
        data = {"x": shared, "y": shared}
        c = _deep_copy(data)
        assert c["x"] is c["y"] and c["x"] is not shared
        cyc = []
        cyc.append(cyc)
        c = _deep_copy(cyc)
        assert c[0] is c and c is not cyc

    def test_containers_held_once_and_cycles_through_tuples(self):
        # Containers referenced only by their parent skip the memo; sharing and cycles through
        # them, through tuples and through a mix must still come out as copy.deepcopy makes them.
        data = {"items": [{"tags": ["a", [1, 2]], "n": {"deep": [[3]]}} for _ in range(20)]}
        c = _deep_copy(data)
        assert c == data == copy.deepcopy(data)
        assert all(x is not y for x, y in zip(c["items"], data["items"]))
        assert c["items"][0]["tags"][1] is not data["items"][0]["tags"][1]

        inner = []
        t = (inner,)
        inner.append(t)  # tuple -> list (held only by the tuple) -> the tuple again
        del inner
        c = _deep_copy(t)
        assert c is not t and c[0][0] is c and c[0] is not t[0]

        box = {}
        box["self"] = [box]  # dict -> list held once -> the dict
        c = _deep_copy(box)
        assert c["self"][0] is c and c is not box

        shared = [{"k": [1]}]
        tree = {"a": (shared, 1), "b": [shared], "c": {"d": shared}}
        c = _deep_copy(tree)
        assert c["a"][0] is c["b"][0] is c["c"]["d"] and c["a"][0] is not shared
        assert c == copy.deepcopy(tree)

    def test_other_objects_go_through_copy_deepcopy_with_same_memo(self):
        class Custom:
            def __init__(self, inner):
                self.inner = inner

        inner = {"k": 1}
        data = {"a": inner, "b": Custom(inner), "d": decimal.Decimal("1.5")}
        c = _deep_copy(data)
        assert c["b"].inner is c["a"]  # identity kept across the native and the fallback path
        assert c["d"] == decimal.Decimal("1.5")

    def test_models_overriding_deepcopy_are_respected(self):
        class Special(BaseModel):
            x: int = 1

            def __deepcopy__(self, memo=None):
                return "special"

        assert _deep_copy({"m": Special()}) == {"m": "special"}

    def test_private_attributes_and_extra(self):
        class WithPrivate(BaseModel, extra="allow"):
            x: list = []
            _secret: list = PrivateAttr(default_factory=list)

        m = WithPrivate(x=[1], y={"z": 2})
        m._secret.append(1)
        mine, theirs = _deep_copy(m), m.model_copy(deep=True)
        assert full_state(mine) == full_state(theirs)
        assert mine._secret is not m._secret
        assert mine.__pydantic_extra__ is not m.__pydantic_extra__

    def test_subclass_containers_use_deepcopy(self):
        class MyDict(dict):
            pass

        d = MyDict(a=[1])
        c = _deep_copy(d)
        assert type(c) is MyDict and c == d and c["a"] is not d["a"]

    def test_deep_nesting_raises_recursion_error_not_crash(self):
        data = []
        for _ in range(100_000):
            data = [data]
        with pytest.raises(RecursionError):
            _deep_copy(data)

    def test_dicts_with_container_values_and_non_atomic_keys(self):
        shared = [1]
        data = {"a": shared, (1, "k"): {"b": shared}, frozenset({2}): None, "z": 3}
        c = _deep_copy(data)
        assert c == copy.deepcopy(data)
        assert list(c) == list(data)  # order kept
        assert c["a"] is c[(1, "k")]["b"] and c["a"] is not shared

    def test_matches_copy_deepcopy_on_varied_data(self):
        data = {"a": [1, 2.0, True, None, "s", b"b", (1, 2)], "n": {"m": {"o": []}}, 3: "int key"}
        assert _deep_copy(data) == copy.deepcopy(data)


def sharing_of(value):
    """The value's containers in walk order, each as the index of its first meeting: two values
    whose lists are equal share (and loop through) their containers alike."""
    seen: dict[int, int] = {}
    out = []

    def walk(v):
        if not isinstance(v, (dict, list, tuple)):
            return
        if id(v) in seen:
            out.append(seen[id(v)])
            return
        seen[id(v)] = len(seen)
        out.append(-1)
        for item in (v.values() if isinstance(v, dict) else v):
            walk(item)

    walk(value)
    return out


class TestDictValuesKeepTheirSharing:
    """Containers held by dict values: those the event holds once are copied without the identity
    memo, those it holds more than once (shared, or in a loop) keep their sharing, as with
    copy.deepcopy."""

    def cases(self):
        shared = [1, {"deep": [2]}]
        loop: dict = {"k": 1}
        loop["self"] = loop
        inner_loop: list = []
        inner_loop.append({"back": inner_loop})
        many = {f"k{i}": [i, {"n": [i]}] for i in range(40)}  # a bigger table
        holey = {"a": [1], "b": [2], "c": [3], "d": {"e": [4]}}
        del holey["b"], holey["a"]  # deleted entries before the live ones
        mixed_keys = {1: [1], "s": {"t": [2]}, None: [3], (1, 2): {"u": shared}}
        return [
            {"a": shared, "b": {"c": shared}, "d": [shared]},
            {"payload": loop},
            {"x": inner_loop, "y": {"z": inner_loop[0]}},
            many,
            holey,
            mixed_keys,
            {"only": {"once": [{"nested": [1, [2, [3]]]}]}},
        ]

    def test_equal_to_deepcopy_with_the_same_sharing(self):
        for data in self.cases():
            mine, theirs = _deep_copy(data), copy.deepcopy(data)
            assert sharing_of(mine) == sharing_of(theirs) == sharing_of(data)
            assert repr(mine) == repr(theirs)
            assert list(mine) == list(data)

    def test_no_container_of_the_copy_is_the_original(self):
        for data in self.cases():
            originals = set()

            def collect(v, into):
                if isinstance(v, (dict, list)) and id(v) not in into:
                    into.add(id(v))
                    for item in (v.values() if isinstance(v, dict) else v):
                        collect(item, into)

            collect(data, originals)
            copied: set[int] = set()
            collect(_deep_copy(data), copied)
            assert not originals & copied

    def test_in_an_event_payload(self):
        once = {"items": [{"tags": ["a"], "nested": {"depth": [1, [2, [3]]]}} for _ in range(3)]}
        ev = RuntimeEvent(event_type="t", payload=once, meta={"m": [1]})
        c = _deep_copy(ev)
        assert c == ev.model_copy(deep=True)
        c.payload["items"][0]["nested"]["depth"][1][1].append(4)
        c.payload["items"][1]["tags"].append("b")
        assert once["items"][0]["nested"]["depth"] == [1, [2, [3]]] and once["items"][1]["tags"] == ["a"]

    def test_a_value_whose_copy_replaces_a_later_value(self):
        class Rewriter:
            def __init__(self, target):
                self.target = target

            def __deepcopy__(self, memo):
                self.target["later"] = {"new": [1]}  # drops the dict that was there
                return self

        data = {"first": None, "later": {"old": [0]}, "last": [5]}
        data["first"] = Rewriter(data)
        c = _deep_copy(data)
        assert c["later"] == {"new": [1]} and c["later"] is not data["later"]
        assert c["last"] == [5] and c["last"] is not data["last"]
        assert c["first"] is data["first"]


class TestListsChangedWhileCopied:
    """A list's copy follows the list when copying one of its items changes it, as the item by
    item copy does: items added meanwhile are copied too, items removed are left out."""

    class Changer:
        def __init__(self, change):
            self.change = change

        def __deepcopy__(self, memo):
            self.change()
            return self

    def test_items_added_and_removed_while_copied(self):
        grows: list = [1]
        grows.append(self.Changer(lambda: grows.extend([[2], {"k": [3]}])))
        shrinks: list = [[0]]
        shrinks += [self.Changer(lambda: shrinks.__delitem__(slice(2, None))), [1], [2], [3]]
        for data in ({"grows": grows}, {"shrinks": shrinks}):  # each list held once: no memo
            c = _deep_copy(data)
            (name, original), = data.items()
            assert c[name][0] == original[0] and len(c[name]) == len(original)
            assert all(x == y for x, y in zip(c[name], original))
            assert all(x is not y for x, y in zip(c[name], original) if isinstance(x, (list, dict)))

    def test_code_run_while_a_list_is_copied_meets_no_empty_slot(self):
        # The copy of a list is made at the list's size and filled as its items are copied: Python
        # code that runs meanwhile (an item's __deepcopy__) can reach it through the collector, and
        # must find a value in every slot (reading an empty one would crash the interpreter).
        import gc

        seen = []

        class Looker:
            def __deepcopy__(self, memo):
                for obj in gc.get_objects():
                    if type(obj) is list and len(obj) == 7 and obj[0] == "first":
                        seen.append(list(obj))  # reads every slot
                return self

        looker = Looker()
        data = {"items": ["first", 2.5, None, looker, [1], "last", 7]}
        c = _deep_copy(data)
        assert c == copy.deepcopy(data) and c["items"][4] is not data["items"][4]
        assert any(s[3] is None and s[4] is None for s in seen)  # the copy, met half made

    def test_lists_of_plain_items_and_containers(self):
        shared = {"s": [1]}
        data = {"plain": ["a", 1, 2.0, None, True, b"x", 10**30], "empty": [],
                "mixed": [[], "t", [shared, shared], 3]}
        c = _deep_copy(data)
        assert c == copy.deepcopy(data) and c["plain"] is not data["plain"]
        assert c["mixed"][2][0] is c["mixed"][2][1] and c["mixed"][2][0] is not shared

    def test_a_list_grown_after_its_plain_items_were_copied(self):
        grows: list = ["a", 1]
        grows.append(self.Changer(lambda: grows.extend(["b", [2], 3])))
        grows.append("c")
        c = _deep_copy({"grows": grows})
        assert c["grows"][:2] == ["a", 1] and c["grows"][3:] == ["c", "b", [2], 3]
        assert c["grows"][5] is not grows[5]

    def test_a_failing_item_leaves_nothing_half_made(self):
        class Refuses:
            def __deepcopy__(self, memo):
                raise ValueError("no copy")

        with pytest.raises(ValueError, match="no copy"):
            _deep_copy({"items": [[1], Refuses(), [2]]})


class TestDictsChangedWhileCopied:
    """A dict whose keys change while it is copied (an item's __deepcopy__ drops or adds one) is
    refused, as iterating it refuses a change of size, instead of a copy that keeps a dropped key
    with the original, uncopied value."""

    class Changer:
        def __init__(self, change):
            self.change = change
            self.target = None

        def __deepcopy__(self, memo):
            self.change(self.target)
            return self

    def data(self, change):
        changer = self.Changer(change)
        data = {"first": changer, "later": [1, 2], "last": {"k": [3]}}
        changer.target = data
        return data

    @pytest.mark.parametrize("change", [lambda d: d.pop("later"), lambda d: d.update(added=[1])],
                             ids=["dropped", "added"])
    def test_a_change_of_size_is_refused_like_copy_deepcopy(self, change):
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            copy.deepcopy(self.data(change))
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            _deep_copy(self.data(change))

    def test_a_key_swapped_for_another_is_refused(self):
        with pytest.raises(RuntimeError, match="dictionary keys changed during iteration"):
            _deep_copy(self.data(lambda d: (d.pop("later"), d.update(added=[1]))))

    def test_a_replaced_value_is_copied_as_it_is_now(self):
        data = self.data(lambda d: d.update(later=[9]))
        c = _deep_copy(data)
        assert c["later"] == [9] and c["later"] is not data["later"]
        assert c["last"] == {"k": [3]} and c["last"] is not data["last"]
