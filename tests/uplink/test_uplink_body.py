"""The upload body written natively from the queued snapshots must be byte for byte what the
Python path sends: json (as httpx encodes it) of the sink's fields and
DataFormatter.sanitize(normalized_event.model_dump(mode="json")) per event. Batches the native
encoder cannot hold take the Python path and still send the same bytes."""

from __future__ import annotations

import collections
import datetime
import enum
import json
import warnings

import pytest

from orvane.utils import DataFormatter
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.observation.backends import Uplink
from orvane_devtools.observation.backends.Uplink import ObservationBridgeEventSetAsideWarning, RemoteTraceSink


def reference_body(sink: RemoteTraceSink, batch: list[RuntimeEvent]) -> bytes:
    events = []
    for event in batch:
        meta = dict(event.meta)
        if sink.app_id and "app_id" not in meta:
            meta["app_id"] = sink.app_id
        if sink.group_id is not None and "group_id" not in meta:
            meta["group_id"] = sink.group_id
        if sink.environment and "environment" not in meta:
            meta["environment"] = sink.environment
        dumped = event.model_copy(update={"meta": meta}).model_dump(mode="json")
        events.append(DataFormatter.sanitize(dumped))
    body = {"app_id": sink.app_id, "group_id": sink.group_id, "environment": sink.environment, "events": events}
    return json.dumps(body, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8")


def queued(sink: RemoteTraceSink, events: list[RuntimeEvent]) -> list[RuntimeEvent]:
    sink._enqueue_events(events)
    return sink._peek_pending_batch()


def nested(depth: int) -> list:
    value: list = [1]
    for _ in range(depth):
        value = [value]
    return value


def run(i: int = 0, **meta) -> RuntimeRunContext:
    return RuntimeRunContext(run_id=f"run-{i}", root_run_id="root", parent_run_id=None, run_kind="agent_task",
                             agent_name="Planner ✓", meta={"flow_name": "answer", **meta})


VARIED = [
    # non-ASCII, control characters, quotes and backslashes
    RuntimeEvent(event_type="stream.delta", message="héllo 中文 🚀 \"q\" \\ \n\r\t\b\f \x01\x1f\x7f end",
                 payload={"text": "naïve\u2028x", "ключ": "значение", "": "empty key"}),
    # numbers: floats in every repr form, big and negative ints, bools
    RuntimeEvent(event_type="metrics", timestamp=-5,
                 payload={"f": [0.1, 1e300, -0.0, 1e-7, 3.0, 1.5e16, 2.5e-320, 123456789.125],
                          "big": 2**70, "neg": -(2**64), "small": -1, "flags": [True, False, None]}),
    # nested data, tuples, empty containers
    RuntimeEvent(event_type="agent_task.progress", level={"n": 1},
                 payload={"a": {"b": {"c": [1, [2, [3, {"d": ()}]], {}]}}, "t": (1, "x", (2.5,)), "n": nested(30)},
                 error={"type": "ValueError", "trace": ["l1", "l2"]}, run=run(1)),
    # secrets at several depths and in meta / run meta; a non-mapping payload
    RuntimeEvent(event_type="agent_task.completed", payload=["password", {"Password": "p", "x": {"API_KEY": [1]}}],
                 meta={"token": "t", "Authorization": "Bearer z", "keep": 1}, run=run(2, secret="s", other=2)),
    # meta keys already present win; a payload that is a plain string
    RuntimeEvent(event_type="x", payload="just text",
                 meta={"environment": "prod", "app_id": None, "group_id": "mine"}),
    RuntimeEvent(event_type="", source=None, message=None, payload=None, meta={}),
]


class TestNativeBodyMatchesPythonPath:
    @pytest.mark.parametrize("app_id, group_id, environment", [
        ("default", None, "local"),
        ("app ü", "team-\"a\"", "staging\n"),
        ("", "g", ""),
    ])
    def test_varied_events(self, app_id, group_id, environment):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key="k", app_id=app_id,
                               group_id=group_id, environment=environment)
        batch = queued(sink, VARIED)
        native = sink._encode_batch_natively(batch)
        assert native is not None
        assert native == reference_body(sink, batch)

    def test_each_event_alone(self):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key=None, group_id="g")
        for event in VARIED:
            sink._pending_events.clear()
            batch = queued(sink, [event])
            assert sink._encode_batch_natively(batch) == reference_body(sink, batch)

    def test_later_changes_of_the_callers_values_do_not_reach_the_body(self):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key="k")
        event = RuntimeEvent(event_type="e", payload={"k": "v"}, meta={"m": 1}, run=run(3))
        batch = queued(sink, [event])
        expected = sink._encode_batch_natively(batch)
        event.payload["k"] = "changed"
        event.meta["m"] = 2
        event.run.meta["flow_name"] = "changed"
        assert sink._encode_batch_natively(sink._peek_pending_batch()) == expected
        assert b"changed" not in expected

    def test_empty_batch(self):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key="k")
        assert sink._encode_batch_natively([]) == reference_body(sink, [])


class Colour(enum.Enum):
    RED = "red"


class Level(enum.IntEnum):
    HIGH = 3


class Text(str):
    pass


class SubEvent(RuntimeEvent):
    pass



class TestPythonPathFallback:
    @pytest.mark.parametrize("event", [
        RuntimeEvent(event_type="d", payload={"when": datetime.datetime(2024, 1, 2, 3, 4, 5)}),
        RuntimeEvent(event_type="e", payload={"c": Colour.RED, "l": Level.HIGH}),
        RuntimeEvent(event_type="s", payload={"t": Text("sub")}),
        RuntimeEvent(event_type="k", payload={1: "int key"}),
        RuntimeEvent(event_type="b", payload={"bytes": b"raw", "set": {1}}),
        SubEvent(event_type="subclass", payload={"a": 1}),
        RuntimeEvent(event_type="deep", payload=nested(80)),
    ], ids=["datetime", "enums", "str-subclass", "int-key", "bytes-set", "subclass", "deep"])
    def test_unusual_values_take_the_python_path(self, event, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key="k")
        batch = queued(sink, [RuntimeEvent(event_type="plain"), event])
        assert sink._encode_batch_natively(batch) is None
        expected = reference_body(sink, batch)
        sink._run_flush_sync(force=True)
        assert [r["raw"] for r in listener.posts()] == [expected]

    def test_non_finite_float_fails_as_on_the_python_path(self):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key="k")
        batch = queued(sink, [RuntimeEvent(event_type="n", payload={"x": float("nan")})])
        assert sink._encode_batch_natively(batch) is None

    def test_substituted_sanitize_or_secret_rule_is_honoured(self, monkeypatch, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key="k")
        batch = queued(sink, [RuntimeEvent(event_type="e", payload={"password": "p", "note": "n"})])
        # The original sanitize does not consult is_secret_key: replacing it changes neither route.
        monkeypatch.setattr(DataFormatter, "is_secret_key", staticmethod(lambda key: key == "note"))
        assert sink._encode_batch_natively(batch) == reference_body(sink, batch)
        monkeypatch.undo()
        calls = []
        original = DataFormatter.sanitize

        def sanitize(data):
            calls.append(data["event_type"])
            return original(data)

        monkeypatch.setattr(Uplink.DataFormatter, "sanitize", staticmethod(sanitize))
        assert sink._encode_batch_natively(batch) is None
        sink._run_flush_sync(force=True)
        assert calls == ["e"]
        assert listener.events()[0]["payload"] == {"password": "***", "note": "n"}

    def test_overridden_serialize_event_is_used(self, listener):
        class Custom(RemoteTraceSink):
            def _serialize_event(self, event):
                return {"id": event.event_id}

        sink = Custom(endpoint=listener.url(), api_key="k")
        batch = queued(sink, [RuntimeEvent(event_id="abc", event_type="e")])
        assert sink._encode_batch_natively(batch) is None
        sink._run_flush_sync(force=True)
        assert listener.events() == [{"id": "abc"}]


    def test_serialize_event_served_by_custom_attribute_access_is_used(self, listener):
        # The class resolves _serialize_event to the built-in one, but its own attribute access
        # hands out another: only calling through the attribute does what Python does.
        class Served(RemoteTraceSink):
            def __getattribute__(self, name):
                if name == "_serialize_event":
                    return lambda event: {"id": event.event_id, "via": "__getattribute__"}
                return super().__getattribute__(name)

        sink = Served(endpoint=listener.url(), api_key="k")
        batch = queued(sink, [RuntimeEvent(event_id="abc", event_type="e")])
        assert sink._encode_batch_natively(batch) is None
        sink._run_flush_sync(force=True)
        assert listener.events() == [{"id": "abc", "via": "__getattribute__"}]


def serializing_sink(listener, serialize) -> RemoteTraceSink:
    """A sink whose _serialize_event is `serialize`: every event takes the Python route."""

    class Custom(RemoteTraceSink):
        def _serialize_event(self, event):
            return serialize(event)

    sink = Custom(endpoint=listener.url(), api_key=None, group_id="g")
    sink._needs_local_probe = False
    return sink


def body_json(value) -> bytes:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode("utf-8")


class TestPythonRouteJson:
    """What the Python route of an event returns is written as json.dumps(ensure_ascii=False,
    separators=(",", ":"), allow_nan=False) writes it (lone surrogates escaped, since UTF-8
    cannot carry them); what json.dumps refuses sets that event aside with json's own error."""

    def test_values_are_written_as_json_writes_them(self, listener):
        values = {
            "ints": [0, -1, 2**80, -(2**70), Level.HIGH, True, False, None],
            "floats": [0.1, -0.0, 1e300, 5e-324, 1e16, 123456789.125, 2.5e-7],
            "text": 'héllo "q" \\ \n\t\x00\x1f \u2028 🚀',
            "nested": {"t": (1, ("a", [])), "sub": Text("str subclass"), "empty": {}},
            "ordered": collections.OrderedDict(b=1, a=2),
            3: "int key", 2.5: "float key", None: "none key", False: "bool key",
        }
        sink = serializing_sink(listener, lambda event: {"id": event.event_id, "values": values})
        sink._enqueue_events([RuntimeEvent(event_id="a", event_type="e")])
        sink._run_flush_sync(force=True)
        expected = body_json({"app_id": "default", "group_id": "g", "environment": "local",
                              "events": [{"id": "a", "values": values}]})
        assert [r["raw"] for r in listener.posts()] == [expected]

    @pytest.mark.parametrize("value", [
        float("nan"), float("-inf"), {1, 2}, Colour.RED, {(1, 2): "tuple key"}, {"k": b"bytes"},
    ], ids=["nan", "-inf", "set", "enum", "tuple-key", "bytes"])
    def test_what_json_refuses_sets_the_event_aside_with_its_error(self, listener, value):
        with pytest.raises((TypeError, ValueError)) as refused:
            json.dumps(value, allow_nan=False)
        sink = serializing_sink(listener, lambda e: {"id": e.event_id, "v": value if e.event_id == "bad" else 1})
        sink._enqueue_events([RuntimeEvent(event_id="bad", event_type="e"),
                              RuntimeEvent(event_id="good", event_type="e")])
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            sink._run_flush_sync(force=True)
        assert listener.events() == [{"id": "good", "v": 1}]
        assert sink.get_stats()["unencodable_event_count"] == 1
        (warning,) = [w for w in seen if issubclass(w.category, ObservationBridgeEventSetAsideWarning)]
        assert f"{type(refused.value).__name__}: {refused.value}" in str(warning.message)

    def test_only_lone_surrogates_are_escaped(self, listener):
        served = {"k\udc80": "v\ud800", "plain": "ü ✓"}
        sink = serializing_sink(listener, lambda event: served)
        sink._enqueue_events([RuntimeEvent(event_type="e")])
        sink._run_flush_sync(force=True)
        (post,) = listener.posts()
        post["raw"].decode("utf-8")  # the body is valid UTF-8
        assert b"\\udc80" in post["raw"] and b"\\ud800" in post["raw"]
        assert "ü ✓".encode() in post["raw"]  # other text stays as it is
        assert listener.events() == [served]


class TestUploadedBytes:
    def test_request_carries_the_native_body_and_headers(self, listener):
        # Nothing looks at the queue before the upload, so the body is written from the entries
        # as they were captured at enqueue time.
        sink = RemoteTraceSink(endpoint=listener.url(), api_key="secret-key", group_id="g")
        sink._enqueue_events(VARIED)
        expected = reference_body(sink, VARIED)
        sink._run_flush_sync(force=True)
        (post,) = listener.posts()
        assert post["raw"] == expected
        assert post["headers"]["content-type"] == "application/json"
        assert post["headers"]["authorization"] == "Bearer secret-key"
        assert post["headers"]["content-length"] == str(len(expected))
        assert sink.get_stats()["uploaded_event_count"] == len(VARIED)

    def test_changes_after_enqueue_do_not_reach_the_upload(self, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key="k")
        event = RuntimeEvent(event_type="e", payload={"k": "v", "deep": {"x": 1}}, meta={"m": 1}, run=run(4))
        sink._enqueue_events([event])
        expected = reference_body(sink, [event.model_copy(deep=True)])
        event.payload["k"] = "changed"
        event.meta["m"] = 2
        event.run.meta["flow_name"] = "changed"
        event.message = "changed"
        sink._run_flush_sync(force=True)
        assert [r["raw"] for r in listener.posts()] == [expected]

    def test_mixed_batch_of_captured_and_unusual_events(self, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key="k")
        events = [RuntimeEvent(event_type="a"), SubEvent(event_type="b"), RuntimeEvent(event_type="c")]
        sink._enqueue_events(events)
        expected = reference_body(sink, events)
        sink._run_flush_sync(force=True)
        assert [r["raw"] for r in listener.posts()] == [expected]
        assert not sink._has_pending_events()


class TestSnapshotsOfCapturedEntries:
    """Entries are captured compactly; the snapshots Python code sees are built on demand and are
    what the described snapshot would be."""

    def expected_snapshot(self, event: RuntimeEvent) -> RuntimeEvent:
        return RemoteTraceSink._snapshot_event(event)

    def test_snapshot_values_and_fields_set(self):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key="k")
        event = RuntimeEvent(event_type="e", payload={"k": [1]}, meta={"m": 1}, run=run(5))
        sink._enqueue_events([event])
        (snap,) = sink._peek_pending_batch()
        ref = self.expected_snapshot(event)
        assert type(snap) is RuntimeEvent and type(snap.run) is RuntimeRunContext
        assert snap.model_dump() == ref.model_dump()
        assert list(snap.__dict__) == list(ref.__dict__)
        assert snap.__pydantic_fields_set__ == ref.__pydantic_fields_set__
        assert snap.run.__pydantic_fields_set__ == ref.run.__pydantic_fields_set__
        assert snap.model_dump(exclude_unset=True) == ref.model_dump(exclude_unset=True)
        # first-level copies, nested values shared as in a shallow snapshot
        assert snap.payload is not event.payload and snap.payload["k"] is event.payload["k"]
        assert snap.meta is not event.meta and snap.run is not event.run
        assert snap.run.meta is not event.run.meta

    def test_same_snapshot_object_every_time_and_changes_reach_the_upload(self, listener):
        sink = RemoteTraceSink(endpoint=listener.url(), api_key="k")
        sink._enqueue_events([RuntimeEvent(event_id="id-1", event_type="e", payload={"k": "v"})])
        first = sink._peek_pending_batch()[0]
        assert sink._peek_pending_batch()[0] is first
        assert sink._pending_events[0] is first
        assert list(sink._pending_events) == [first]
        first.payload["k"] = "edited through the queue"
        sink._run_flush_sync(force=True)
        assert listener.events()[0]["payload"] == {"k": "edited through the queue"}
        assert not sink._has_pending_events()

    def test_pop_and_popleft_give_snapshots(self):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key="k")
        events = [RuntimeEvent(event_id=f"e{i}", event_type="t") for i in range(3)]
        sink._enqueue_events(events)
        assert sink._pending_events.popleft().event_id == "e0"
        last = sink._pending_events.pop()
        assert type(last) is RuntimeEvent and last.event_id == "e2"
        assert [e.event_id for e in sink._pending_events] == ["e1"]

    def test_drop_uploaded_batch_reads_captured_ids(self):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key="k")
        sink._enqueue_events([RuntimeEvent(event_id=f"e{i}", event_type="t") for i in range(3)])
        sink._drop_uploaded_batch({"e1"})
        assert len(sink._pending_events) == 3
        sink._drop_uploaded_batch({"e0", "e1"})
        assert [e.event_id for e in sink._pending_events] == ["e2"]

    def test_events_outside_the_common_shape_are_snapshotted(self):
        sink = RemoteTraceSink(endpoint="http://example.invalid/ingest", api_key="k")
        sub = SubEvent(event_type="s", payload={"a": 1})
        weird_meta = RuntimeEvent.model_construct(event_type="w", meta={"x": 1}, extra_field=1)
        sink._enqueue_events([sub, weird_meta])
        got = sink._peek_pending_batch()
        assert type(got[0]) is SubEvent and got[0].payload == {"a": 1} and got[0].payload is not sub.payload
        assert got[1].meta == {"x": 1} and got[1].meta is not weird_meta.meta
