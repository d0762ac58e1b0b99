"""Run records handed out by the store (get_run, list_runs, get_run_children) are deep copies
equal to model_copy(deep=True) of the live record, whatever the record holds."""

from __future__ import annotations

import copy

import pytest

from orvane_devtools.observation.Tallybook import RunRecord, RuntimeTallybook


class SubRecord(RunRecord):
    """A record class of the host's own (defined here, not in a test: pydantic keeps the namespace
    a model class was defined in, and the shared deep-copy code keeps every class it met)."""


def fill(store, ev):
    store.append_event(ev("agent_task.started", run_id="p", ts=10, run_fields={"meta": {"app_id": "a"}}))
    store.append_event(ev("agent_task.started", run_id="c", ts=20, run_fields={"parent_run_id": "p"}))
    store.append_event(ev("agent_task.completed", run_id="c", ts=30, meta={"group_id": "g"}))


def handed_out(store):
    return [store.get_run("p"), store.get_run("c"), *store.list_runs(), *store.get_run_children("p")]


def assert_same_copy(got, live):
    want = live.model_copy(deep=True)
    assert type(got) is type(want)
    assert got.__dict__ == want.__dict__
    assert list(got.__dict__) == list(want.__dict__)
    assert got.__pydantic_fields_set__ == want.__pydantic_fields_set__
    assert got.__pydantic_extra__ == want.__pydantic_extra__
    assert got.__pydantic_private__ == want.__pydantic_private__


class TestRecordCopies:
    def test_copies_equal_a_deep_copy_and_share_nothing_mutable(self, store, ev):
        fill(store, ev)
        for rec in handed_out(store):
            live = store._runs[rec.run_id]
            assert_same_copy(rec, live)
            assert rec is not live
            assert rec.meta is not live.meta
            assert rec.__pydantic_fields_set__ is not live.__pydantic_fields_set__

    def test_changing_a_copy_leaves_the_store_alone(self, store, ev):
        fill(store, ev)
        a, b = store.get_run("c"), store.get_run("c")
        a.meta["x"] = 1
        a.agent_name = "changed"
        # pydantic's assignment adds to the copy's own fields set
        unset = [n for n in RunRecord.model_fields if n not in a.__pydantic_fields_set__]
        if unset:
            setattr(a, unset[0], getattr(a, unset[0]))
            assert unset[0] in a.__pydantic_fields_set__
        a.__pydantic_fields_set__.add("marker")
        assert "marker" not in b.__pydantic_fields_set__
        assert "marker" not in store._runs["c"].__pydantic_fields_set__
        for name in unset[:1]:
            assert name not in b.__pydantic_fields_set__
        assert "x" not in b.meta and "x" not in store._runs["c"].meta
        assert store.get_run("c").agent_name is None

    @pytest.mark.parametrize(
        "meta",
        [
            {"nested": {"deep": [1, 2]}},  # containers inside meta
            {"obj": object()},  # a value the fast copy does not know
            {"t": (1, [2])},
        ],
    )
    def test_records_holding_other_values(self, store, ev, meta):
        fill(store, ev)
        live = store._runs["c"]
        live.meta.update(meta)
        got = store.get_run("c")
        want = copy.deepcopy(live)
        assert got.meta.keys() == want.meta.keys()
        for key, value in meta.items():
            if isinstance(value, (dict, list, tuple)):
                assert got.meta[key] == value
                if not isinstance(value, tuple):
                    assert got.meta[key] is not value

    def test_a_dict_shared_by_two_fields_stays_shared_in_the_copy(self, store, ev):
        fill(store, ev)
        live = store._runs["c"]
        shared = {"k": "v"}
        live.__dict__["meta"] = shared
        live.__dict__["latest_message"] = shared
        got = store.get_run("c")
        assert got.meta == shared and got.meta is not shared
        assert got.latest_message is got.meta

    def test_records_of_other_kinds_in_the_store(self, store, ev):
        fill(store, ev)
        sub = SubRecord(**store._runs["p"].__dict__)
        store._runs["p"] = sub
        got = store.get_run("p")
        assert type(got) is SubRecord
        assert got == sub and got is not sub

        extra = store._runs["c"]
        object.__setattr__(extra, "__pydantic_private__", {"_note": [1]})
        got = store.get_run("c")
        assert got.__pydantic_private__ == {"_note": [1]}
        assert got.__pydantic_private__["_note"] is not extra.__pydantic_private__["_note"]


def test_empty_store_lists_nothing():
    assert RuntimeTallybook().list_runs() == []


def test_cycles_made_through_returned_copies_are_collected():
    """Returned events and records are new objects; a cycle a caller makes through them (or
    through their sets of set fields, which the store leaves out of the collector's care as holding
    names only) is still collected."""
    import gc
    import weakref

    from tally_helpers import make_event

    class Marker:
        pass

    store = RuntimeTallybook()
    store.append_event(make_event(run_id="r", payload={"items": [1, 2]}, meta={"app_id": "a"}))
    for fetch in (lambda: store.get_run_events("r")[0], lambda: store.get_recent_events()[0],
                  lambda: store.get_run("r"), lambda: store.list_runs()[0]):
        got = fetch()
        marker = Marker()
        marker.back = got
        alive = weakref.ref(marker)
        if hasattr(got, "payload"):
            got.payload["loop"] = marker  # event -> payload -> marker -> event
        else:
            got.meta["loop"] = marker  # record -> meta -> marker -> record
        got.__pydantic_fields_set__.add("meta")
        del got, marker
        gc.collect()
        assert alive() is None


def test_short_texts_met_again_are_kept_once(store, ev):
    # Held events keep a short text met more than once as one object of the store's, which every
    # copy then shares (a str is immutable): texts that differ in one character only, at any
    # place, are told apart and each kept. Built per event with join, so that no two events hand
    # in the same str object.
    words = ["item", "x", "run-queue-", "0123456789abcdef", "partial answer "]
    texts = lambda: ["".join([w, str(k)]) for w in words for k in range(12)]  # noqa: E731
    for i in range(4):
        store.append_event(ev(ts=i, payload={"texts": texts()}))
    # (the first meeting writes a text out; from the second on, the event refers to the kept one)
    _, second, _, last = store.get_run_events("run-1")
    kept = [a is b for a, b in zip(second.payload["texts"], last.payload["texts"])]
    assert second.payload == last.payload == {"texts": texts()}
    assert all(kept), [t for t, same in zip(texts(), kept) if not same]
