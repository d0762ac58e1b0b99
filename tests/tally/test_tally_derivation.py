"""Run record derivation: records, links, rings, search text, copies."""

from __future__ import annotations

import copy
import enum
import json
from collections import deque

import pytest
from tally_helpers import make_event

from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation import Tallybook
from orvane_devtools.observation.Tallybook import RunRecord, RuntimeTallybook, _infer_run_status


class Flavor(enum.Enum):
    SWEET = "sweet"


class Tag(str):
    pass


def python_norm(value):
    if value is None:
        return ""
    if isinstance(value, str):
        return value.casefold()
    return json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()


RECORD_FIELDS = ["run_id", "root_run_id", "parent_run_id", "run_kind", "agent_id", "agent_name", "session_id",
                 "response_id", "execution_id", "status", "latest_event_type", "latest_source", "latest_message", "meta"]
EVENT_FIELDS = ["event_id", "event_type", "source", "level", "message", "payload", "error", "meta"]


def reference_search_text(store: RuntimeTallybook, events) -> str:
    """The run's search text built the plain way: one joined, stripped string per event."""
    text = ""
    for event in events:
        store.append_event(event)
        record = store.get_run(event.run.run_id)
        parts = [python_norm(getattr(record, f)) for f in RECORD_FIELDS]
        parts += [python_norm(getattr(event, f)) for f in EVENT_FIELDS]
        text = (text + " " + " ".join(p for p in parts if p)).strip()
    return text


class TestRecords:
    def test_first_event_creates_record(self, store, ev):
        store.append_event(ev("agent_task.started", ts=5, source="src", message="Hi",
                              run_fields={"agent_id": "a1", "agent_name": "N", "meta": {"flow_name": "f"}}))
        rec = store.get_run("run-1")
        assert isinstance(rec, RunRecord)
        assert (rec.run_id, rec.root_run_id, rec.parent_run_id) == ("run-1", "run-1", None)  # own root
        assert (rec.status, rec.started_at, rec.updated_at, rec.event_count) == ("running", 5, 5, 1)
        assert (rec.latest_event_type, rec.latest_source, rec.latest_message) == ("agent_task.started", "src", "Hi")
        assert rec.meta == {"flow_name": "f"}
        assert rec.status == "running" and rec.model_dump(mode="json")["status"] == "running"

    def test_record_type_declaration(self):
        assert list(RunRecord.model_fields) == ["run_id", "root_run_id", "parent_run_id", "run_kind", "agent_id",
                                                "agent_name", "session_id", "response_id", "execution_id", "status",
                                                "latest_event_type", "latest_source", "latest_message", "started_at",
                                                "updated_at", "completed_at", "failed_at", "event_count", "meta"]
        assert RunRecord.__module__ == "orvane_devtools.observation.Tallybook"
        assert Tallybook.RunStatus.__args__ == ("unknown", "running", "waiting", "completed", "failed")
        a = RunRecord(run_id="r", root_run_id="r", run_kind="k", status="failed")
        b = RunRecord(run_id="r", root_run_id="r", run_kind="k")
        assert a.status == "failed" and b.status == "unknown" and a.meta is not b.meta
        with pytest.raises(ValueError):
            RunRecord(run_id="r", root_run_id="r", run_kind="k", status="done")

    def test_identity_refresh_keeps_known_values(self, store, ev):
        store.append_event(ev(run_fields={"agent_id": "a1", "session_id": "s1"}))
        store.append_event(ev(run_fields={"agent_id": None, "session_id": "s2", "run_kind": "other",
                                          "parent_run_id": "p9", "root_run_id": "x"}))
        rec = store.get_run("run-1")
        assert (rec.agent_id, rec.session_id) == ("a1", "s2")
        assert (rec.run_kind, rec.parent_run_id, rec.root_run_id) == ("agent_task", None, "run-1")  # never moved
        assert store._children_by_parent == {}

    def test_meta_merge_event_meta_wins(self, store, ev):
        store.append_event(ev(meta={"app_id": "from-event", "other": 1},
                              run_fields={"meta": {"app_id": "from-run", "flow_name": "f"}}))
        store.append_event(ev(meta={"group_id": "g"}, run_fields={"meta": {"extra": [1]}}))
        assert store.get_run("run-1").meta == {"app_id": "from-event", "flow_name": "f", "group_id": "g",
                                               "extra": [1]}

    def test_run_kind_string_form_and_failures_propagate(self, store, ev):
        store.append_event(ev(run_fields={"run_kind": Flavor.SWEET}))
        assert store.get_run("run-1").run_kind == "Flavor.SWEET"

        class Bad:
            def __str__(self):
                raise RuntimeError("no string form")

        bad = ev(run_id="run-2", run_fields={"run_kind": Bad()})
        with pytest.raises(RuntimeError, match="no string form"):
            store.append_event(bad)
        assert store.get_run("run-2") is None
        assert store.get_event(bad.event_id) is None  # a failed append leaves nothing behind
        assert [e.event_id for e in store.get_recent_events()] != [] and bad.event_id not in store._events_by_run

    @pytest.mark.parametrize(
        "event_type, expected",
        [("a.failed", "failed"), ("a_failed", "failed"), ("x.completed.failed", "failed"),
         ("task_completed_then.failed", "failed"), ("a.completed", "completed"), ("a_completed", "completed"),
         ("a.started", "running"), ("a_resumed", "running"), ("a.retrying", "running"),
         ("a.waiting", "waiting"), ("a.raised", "waiting"), ("a_raised", "waiting"),
         ("stream.delta", None), ("completed", None), ("a.Completed", None)],
    )
    def test_infer_run_status(self, event_type, expected):
        assert _infer_run_status(make_event(event_type)) == expected

    def test_infer_run_status_matches_suffix_rules(self):
        # Oracle: the endswith rules, in their order, over names built from separators, the
        # suffix words and their fragments (several separators, a word at the end of another one,
        # a separator alone, non-ASCII text before the suffix).
        rules = [("failed", (".failed", "_failed")), ("completed", (".completed", "_completed")),
                 ("running", (".started", "_started", ".resumed", "_resumed", ".retrying", "_retrying")),
                 ("waiting", (".waiting", "_waiting", ".raised", "_raised"))]

        def expected(name):
            for status, suffixes in rules:
                if name.endswith(suffixes):
                    return status
            return None

        parts = ["", ".", "_", "a", "ä", "failed", "completed", "started", "raised", "praised", "tried",
                 ".failed", "_completed", ".retrying", "_waiting", "..", "._"]
        names = {p + q + r for p in parts for q in parts for r in parts}
        mismatches = [n for n in sorted(names) if _infer_run_status(make_event(n)) != expected(n)]
        assert len(names) > 4000 and mismatches == []

    def test_status_follows_latest_event(self, store, ev):
        store.append_event(ev("a.started", ts=1))
        store.append_event(ev("a.completed", ts=2))
        store.append_event(ev("stream.delta", ts=3))
        rec = store.get_run("run-1")
        assert (rec.status, rec.completed_at) == ("completed", 2)
        store.append_event(ev("a.resumed", ts=4))
        store.append_event(ev("a.failed", ts=5))
        rec = store.get_run("run-1")
        assert (rec.status, rec.completed_at, rec.failed_at, rec.updated_at, rec.started_at) == ("failed", 2, 5, 5, 1)

    def test_started_at_is_first_seen_not_earliest(self, store, ev):
        store.append_event(ev(ts=50))
        store.append_event(ev(ts=10))
        rec = store.get_run("run-1")
        assert (rec.started_at, rec.updated_at) == (50, 10)

    def test_children_links_made_at_creation(self, store, ev):
        store.append_event(ev(run_id="c1", run_fields={"parent_run_id": "p", "root_run_id": "p"}))
        store.append_event(ev(run_id="c2", run_fields={"parent_run_id": "p"}))
        store.append_event(ev(run_id="c1", run_fields={"parent_run_id": "other"}))
        assert store._children_by_parent == {"p": {"c1", "c2"}}
        assert store.get_run("c2").root_run_id == "c2"

    def test_fields_set_tracks_assignments(self, store, ev):
        store.append_event(ev("a.completed", ts=3))
        rec = store.get_run("run-1")
        assert {"latest_event_type", "updated_at", "event_count", "started_at", "status", "completed_at",
                "run_id", "meta"} <= rec.model_fields_set
        assert "failed_at" not in rec.model_fields_set


class TestRings:
    def test_max_events_two(self, ev):
        store = RuntimeTallybook(max_events=2)
        events = [ev(ts=i) for i in range(3)]
        for e in events:
            store.append_event(e)
        assert [e.event_id for e in store.get_run_events("run-1")] == [e.event_id for e in events[1:]]
        assert [e.event_id for e in store.get_recent_events()] == [e.event_id for e in events[1:]]
        assert store.get_run("run-1").event_count == 3
        assert isinstance(store._recent_events, deque) and store._recent_events.maxlen == 2
        assert store._events_by_run["run-1"].maxlen == 2 and len(store._events_by_run["run-1"]) == 2

    def test_event_without_run(self, store, ev):
        e = ev(run=False)
        store.append_event(e)
        assert store.get_recent_events() == [e]
        assert store._runs == {} and store._events_by_run == {} and store._search_cache_by_run == {}

    def test_max_events_argument(self):
        assert RuntimeTallybook()._max_events == 5000
        assert RuntimeTallybook(7.9)._max_events == 7
        with pytest.raises(TypeError, match=r"Argument 'max_events' has incorrect type \(expected int, got str\)"):
            RuntimeTallybook("5")
        with pytest.raises(ValueError):
            RuntimeTallybook(-1)
        store = RuntimeTallybook(0)
        store.append_event(make_event())
        assert store.get_recent_events() == [] and store.get_run("run-1").event_count == 1

    def test_max_events_change_applies_to_new_rings(self, ev):
        store = RuntimeTallybook(max_events=1)
        store.append_event(ev(run_id="a"))
        store._max_events = 3
        for _ in range(3):
            store.append_event(ev(run_id="a"))
            store.append_event(ev(run_id="b"))
        assert store._events_by_run["a"].maxlen == 1 and len(store.get_run_events("b")) == 3
        assert len(store.get_recent_events()) == 1

    def test_reset(self, store, ev):
        store.append_event(ev(run_id="c", run_fields={"parent_run_id": "p"}))
        runs, children = store._runs, store._children_by_parent
        store.reset()
        assert store._runs == {} and store._children_by_parent == {} and store._events_by_run == {}
        assert len(store._recent_events) == 0 and store._search_cache_by_run == {}
        assert store._runs is runs and store._children_by_parent is children and store._max_events == 5000
        store.append_event(ev(run_id="c"))
        assert store.get_run("c").event_count == 1 and store._children_by_parent == {}


class TestCopies:
    def test_caller_changes_do_not_reach_the_store(self, store, ev):
        e = ev(payload={"items": [1, 2]}, meta={"app_id": "x"}, run_fields={"meta": {"flow_name": "f"}})
        store.append_event(e)
        e.payload["items"].append(3)
        e.meta["app_id"] = "changed"
        e.run.meta["flow_name"] = "changed"
        got = store.get_event(e.event_id)
        assert got.payload == {"items": [1, 2]} and got.meta == {"app_id": "x"}
        assert store.get_run("run-1").meta == {"flow_name": "f", "app_id": "x"}
        got.payload["items"].clear()
        got.run.meta.clear()
        store.get_run("run-1").meta.clear()
        store.list_runs()[0].meta["x"] = 1
        store._recent_events[0].payload.clear()
        store._events_by_run["run-1"][0].payload.clear()
        assert store.get_run_events("run-1")[0].payload == {"items": [1, 2]}
        assert store.get_run("run-1").meta == {"flow_name": "f", "app_id": "x"}
        assert store.get_event(e.event_id).run.meta == {"flow_name": "f"}

    def test_runs_are_live(self, store, ev):
        store.append_event(ev())
        store._runs["run-1"].agent_name = "Renamed"
        assert store.get_run("run-1").agent_name == "Renamed"
        assert store.list_runs(search="RENAMED")

    def test_decoded_events_equal_deep_copies(self, store):
        class Obj:
            def __init__(self):
                self.data = [1]

            def __eq__(self, other):
                return isinstance(other, Obj) and other.data == self.data

        shared = [1, 2]
        loop: list = []
        loop.append(loop)
        payloads = [
            {"a": [1, 2.5, None, True, False, {"b": (1, "x")}], "n": 2**70, "neg": -(2**63), "f": -0.0,
             "u": "Ünï 😀", "s": "\ud800", "set": {1, 2}, "bytes": b"x", "obj": Obj(), "sub": Tag("t"),
             "enum": Flavor.SWEET, "shared": [shared, shared], 5: "int key", None: "none key"},
            [1, [2, [3, [4, [5]]]]],
            ("tuple", 1),
            "just text",
            None,
            12.5,
        ]
        for i, payload in enumerate(payloads):
            e = RuntimeEvent(event_id=f"e{i}", event_type="t", timestamp=i, payload=payload, level=Flavor.SWEET,
                             error={"code": 1}, meta={"k": [1]},
                             run=RuntimeRunContext(run_id="r", run_kind=3, meta={"m": {"x": 1}}))
            store.append_event(e)
            want = e.model_copy(deep=True)
            for got in (store.get_event(f"e{i}"), store.get_run_events("r")[-1], store.get_recent_events()[-1]):
                assert got == want
                assert type(got) is RuntimeEvent and type(got.run) is RuntimeRunContext
                assert got.model_fields_set == want.model_fields_set
                assert got.run.model_fields_set == want.run.model_fields_set
                assert list(got.__dict__) == list(want.__dict__)
                if not isinstance(payload, dict):
                    assert repr(got) == repr(want)
                else:
                    assert list(got.payload) == list(want.payload)
                if isinstance(payload, dict):
                    assert type(got.payload["a"][5]["b"]) is tuple and type(got.payload["sub"]) is Tag
                    assert got.payload["obj"] is not payload["obj"] and got.payload["enum"] is Flavor.SWEET
        e = RuntimeEvent(event_id="loop", event_type="t", timestamp=1, payload={"loop": loop, "ok": 1})
        store.append_event(e)
        got = store.get_event("loop")
        assert got.payload["loop"][0] is got.payload["loop"] and got.payload["ok"] == 1

    def test_a_value_whose_copy_changes_its_dict_keeps_the_dict_as_changed(self, store):
        """The copy of an unusual value runs its __deepcopy__, which may change the very dict that
        holds it. The store keeps the dict's values after the change, never one it dropped (a
        dict met before, so written by its known key sequence)."""

        class Rewriter:
            def __init__(self, target):
                self.target = target
                self.done = False

            def __deepcopy__(self, memo):
                if not self.done:
                    self.done = True
                    self.target["later"] = [3, 4]  # drops the list that was there
                    self.target["last"] = "new text"
                return self

            def __eq__(self, other):
                return isinstance(other, Rewriter)

        for i in range(2):  # the second meeting of the key sequence writes it by its shape
            store.append_event(make_event(event_id=f"plain-{i}", run_id="r",
                                          payload={"first": None, "later": [0], "last": "x"}))
        payload = {"first": None, "later": [f"dropped-{n}" for n in range(3)], "last": "old " * 30}
        payload["first"] = Rewriter(payload)
        store.append_event(make_event(event_id="changing", run_id="r", payload=payload))
        got = store.get_event("changing").payload
        assert got == {"first": Rewriter(None), "later": [3, 4], "last": "new text"}
        assert got["later"] is not payload["later"]
        assert store.get_event("plain-1").payload == {"first": None, "later": [0], "last": "x"}

    def test_decoded_dicts_are_in_the_cycle_collectors_care(self, store):
        """A decoded dict of a known key sequence starts from a template of Nones: it must still be
        tracked by the cycle collector when it holds a container, now or once one is put in it,
        so that a loop made through it by the reader is collected."""
        import gc
        import weakref

        class Marker:
            pass

        for i in range(3):  # later events write the payload by its key sequence
            store.append_event(make_event(event_id=f"e{i}", run_id="r",
                                          payload={"items": [i], "empty": {}, "n": i}))
        for read in (lambda: store.get_event("e2"), lambda: store.get_run_events("r")[-1],
                     lambda: store.get_recent_events()[-1]):
            got = read()
            payload = got.payload
            assert payload == {"items": [2], "empty": {}, "n": 2}
            assert gc.is_tracked(payload) and gc.is_tracked(got.__dict__)
            loops = []
            for put_in in (lambda m: payload["items"].append(m), lambda m: payload["empty"].update(m=m)):
                marker = Marker()
                marker.back = payload
                put_in(marker)
                loops.append(weakref.ref(marker))
                del marker
            del got, payload
            gc.collect()
            assert [ref() for ref in loops] == [None, None]

    def test_unusual_models_and_values(self, store):
        e = RuntimeEvent.model_construct(event_id=7, event_type="x.completed", timestamp=2**70, run=None)
        store.append_event(e)
        got = store.get_recent_events()[0]
        assert (got.event_id, got.timestamp) == (7, 2**70)
        assert store.get_event("7") is None
        store.append_event(make_event(run_id="r", ts=5))
        store.append_event(RuntimeEvent.model_construct(event_id="f", event_type="t", timestamp=2.5,
                                                        run=RuntimeRunContext(run_id="r", run_kind="k")))
        # A timestamp that cannot be ordered with the others is refused, so that no query over the
        # held events can fail on it later; nothing of the event is kept.
        odd = RuntimeEvent.model_construct(event_id="o", event_type="t", timestamp="late",
                                           run=RuntimeRunContext(run_id="r", run_kind="k"))
        with pytest.raises(TypeError, match="event timestamp must be an int, not str"):
            store.append_event(odd)
        assert [e.timestamp for e in store.get_run_events("r")] == [2.5, 5]
        assert store.get_run("r").event_count == 2 and store.get_event("o") is None
        assert [r.run_id for r in store.list_runs(since=3, until=2**80)] == ["r"]

    def test_append_event_argument_type(self, store):
        with pytest.raises(TypeError, match=r"Argument 'event' has incorrect type \(expected RuntimeEvent, got dict\)"):
            store.append_event({"event_type": "x"})


class TestSearchText:
    def test_matches_plain_construction(self, store, ev):
        events = [
            ev("a.started", source="  Src  ", message="  Leading and trailing  ", payload={"B": 1, "a": "Ü"},
               run_fields={"agent_name": "Agent", "meta": {"flow_name": "F"}}),
            ev(message="\n\t ", payload=None, level="  "),
            ev(message="Straße", error={"e": [1, 2]}, meta={"app_id": "A"}),
            ev("a.completed", message="end\u3000", level=None),
        ]
        expected = reference_search_text(RuntimeTallybook(), [e.model_copy(deep=True) for e in events])
        for e in events:
            store.append_event(e)
        assert store._search_cache_by_run["run-1"] == expected

    def test_repeated_values_and_spanning_needles(self, store, ev):
        # Many events repeating most values: the text must still be the plain concatenation and
        # every piece of it, also across event boundaries, must be found.
        events = []
        for i in range(40):
            events.append(ev("a.step" if i % 3 else "a.started", source="src" if i % 5 else "other",
                             message=f"m{i % 4}", payload={"k": [i % 2, "x"]}, meta={"app_id": "app"},
                             run_fields={"agent_id": "ag" if i % 7 else None}))
        expected = reference_search_text(RuntimeTallybook(), [e.model_copy(deep=True) for e in events])
        for e in events:
            store.append_event(e)
        text = store._search_cache_by_run["run-1"]
        assert text == expected
        for start in range(0, len(text) - 12, 7):
            for width in (3, 5, 12):
                needle = text[start:start + width].strip()
                if needle:
                    assert store.list_runs(search=needle), needle
        assert not store.list_runs(search="m0 m0")


def test_search_text_random_sequences_stay_exact():
    """Interleaved runs whose events reuse, mutate and vary values: every run's text equals the
    plain construction, and any piece of it is found by the run search."""
    import random

    rng = random.Random(7)
    shared_payload = {"k": "v", "n": [1, 2]}
    pool_messages = ["alpha", "  padded  ", "", "Straße", "line\nbreak", "tail \u3000", None, "alpha"]
    pool_payloads = [shared_payload, {"k": "v", "n": [1, 2]}, None, [1, "x"], {"deep": {"a": [None, 1.5]}}, "text"]
    run_ids = ["r-a", "  spaced", "r-b", "r-c"]
    store = RuntimeTallybook()
    by_run: dict[str, list] = {r: [] for r in run_ids}
    for i in range(400):
        run_id = rng.choice(run_ids)
        if rng.random() < 0.1:
            shared_payload["k"] = rng.choice(["v", "w", "V"])  # the same dict, changed contents
        if rng.random() < 0.05:
            shared_payload["n"].append(i)
        e = make_event(rng.choice(["a.step", "a.started", "a.completed", "stream.delta"]), run_id=run_id, ts=i,
                       message=rng.choice(pool_messages), payload=rng.choice(pool_payloads),
                       source=rng.choice(["src", "src", None, " "]), level=rng.choice(["info", "INFO", " "]),
                       meta=rng.choice([{}, {"app_id": "A"}, {"app_id": "A", "x": [1]}]),
                       run_fields={"agent_id": rng.choice(["ag", None]), "agent_name": rng.choice(["N", "n", None]),
                                   "meta": rng.choice([{}, {"flow_name": "F"}])})
        store.append_event(e)
        by_run[run_id].append(e.model_copy(deep=True))
    texts = store._search_cache_by_run
    for run_id, events in by_run.items():
        assert texts[run_id] == reference_search_text(RuntimeTallybook(), events), run_id
        text = texts[run_id]
        for start in range(0, max(1, len(text) - 8), 5):
            needle = text[start:start + rng.randint(3, 8)].strip()
            if needle:
                found = [r.run_id for r in store.list_runs(search=needle)]
                assert run_id in found, (run_id, needle)


def test_code_run_from_inside_a_call_may_query_but_not_change_the_store(store):
    """str() of a payload value runs when the run's search text is written (at the first search
    that needs it); from there the store may be queried, not changed."""
    seen = []
    refused = []

    class Sneaky:
        def __init__(self, action):
            self.action = action

        def __str__(self):
            try:
                self.action()
            except RuntimeError as e:
                refused.append(str(e))
            return "sneaky"

        def __deepcopy__(self, memo):
            return self

    store.append_event(make_event(run_id="a", message="first"))
    store.append_event(make_event(run_id="b", payload=Sneaky(lambda: seen.append(len(store.list_runs())))))
    assert seen == []  # nothing is written at the append
    assert [r.run_id for r in store.list_runs(search="sneaky")] == ["b"]
    assert seen == [2]
    for run_id, action in (("c", store.reset), ("d", lambda: store.append_event(make_event(run_id="x"))),
                           ("e", lambda: store._adopt_run(store.get_run("a")))):
        store.append_event(make_event(run_id=run_id, payload=Sneaky(action)))
        assert run_id in [r.run_id for r in store.list_runs(search="sneaky")]
    assert len(refused) == 3 and all("cannot be changed from code that runs inside" in r for r in refused)
    assert [r.run_id for r in store.list_runs()] == ["a", "b", "c", "d", "e"]
    store.append_event(make_event(run_id="x"))  # usable afterwards
    assert store.get_run("x") is not None


def test_store_in_a_reference_cycle_is_collected():
    import gc
    import weakref

    class Back:
        def __deepcopy__(self, memo):
            return self  # the store keeps this very object

    store = RuntimeTallybook()
    back = Back()
    back.store = store
    store.append_event(make_event(payload=back, meta={"app_id": "a"}, run_fields={"meta": {"owner": back}}))
    store.append_event(make_event(run=False, error=back))
    alive = weakref.ref(back)
    del store, back
    gc.collect()
    assert alive() is None


def test_events_of_a_run_keep_their_own_run_context(store):
    """Consecutive events of a run share what their contexts have in common, never more."""
    contexts = [
        RuntimeRunContext(run_id="r", run_kind="k", agent_id="a", meta={"m": 1}),
        RuntimeRunContext(run_id="r", run_kind="k", agent_id="a", meta={"m": 1}),  # equal, other objects
        RuntimeRunContext(run_id="r", run_kind="k", agent_id="b", meta={"m": 1}),
        RuntimeRunContext(run_id="r", run_kind="k", agent_id="b", meta={"m": 2}),
        RuntimeRunContext.model_construct(run_id="r", run_kind="k", agent_id="b", meta={"m": 2}),  # fewer set fields
        RuntimeRunContext(run_id="r", run_kind="k", agent_id="b", meta={"m": [1, {"x": None}]}),
        RuntimeRunContext(run_id="r", run_kind=Tag("k"), agent_id="b", meta={"m": 2.5}),
        RuntimeRunContext(run_id="r", run_kind="k", agent_id="b", meta={"m": 2.5}),
    ]
    events = [RuntimeEvent(event_id=f"c{i}", event_type="t", timestamp=i, run=ctx) for i, ctx in enumerate(contexts)]
    for e in events:
        store.append_event(e)
    contexts[5].meta["m"].append("later")  # changing a caller's object afterwards changes nothing
    for got, e in zip(store.get_run_events("r"), events):
        want = e.model_copy(deep=True)
        if e.event_id == "c5":
            want.run.meta["m"].pop()
        assert got == want and got.run.model_fields_set == want.run.model_fields_set
        assert type(got.run.run_kind) is type(want.run.run_kind)
