"""How an event is encoded for the file's writer (``SQLiteLogStore.prepare``).

The native encoding (``Logbook._log_prepare``) is checked against the Python body it stands in
for, item for item and type for type, on seeded random streams and on events either must refuse.
Then what the writer keeps of an event is its own: later changes to the event's nested values do
not reach it, which lets the facade hand a file-backed service the copy the facade holds (and only
such a service: one whose appends may keep the event gets a deep copy of its own).
"""

from __future__ import annotations

import asyncio
import random

import pytest

from logs_helpers import T0, Stream
from orvane.utils import Settings
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext
from orvane_devtools.logs import RuntimeLogService, _sqlite
from orvane_devtools.logs._transaction import P_CONTEXT, P_META
from orvane_devtools.observation import TraceDesk
from orvane_devtools.logs.Logbook import _private_copy


@pytest.fixture
def store(tmp_path):
    service = RuntimeLogService(Settings({"logs.path": str(tmp_path / "events.db")}))
    yield service._store
    service.close()


def python_body(monkeypatch):
    """Makes prepare() take its Python body (normalisation replaced by an equal function)."""
    own = _sqlite.normalize
    monkeypatch.setattr(_sqlite, "normalize", lambda value: own(value))


def outcome(store, event):
    try:
        return ("ok", store.prepare(event))
    except ValueError as exc:
        return ("refused", str(exc))


def same(a, b) -> bool:
    """Equal, with the same types all the way down (1 and True and 1.0 are told apart)."""
    if type(a) is not type(b):
        return False
    if isinstance(a, (tuple, list)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_native_encoding_matches_the_python_body(tmp_path, monkeypatch, seed):
    events = Stream(seed, 400, pool=6).events
    rng = random.Random(seed)
    # Contexts the cache holds under a run id but that end the event's JSON differently.
    for k in range(0, len(events), 37):
        ev = events[k]
        if ev.run is not None:
            events.insert(k + 1, ev.model_copy(update={"run": ev.run.model_copy(update={"agent_name": "Other"})}))
    rng.shuffle(events)
    native = RuntimeLogService(Settings({"logs.path": str(tmp_path / "a.db")}))
    plain = RuntimeLogService(Settings({"logs.path": str(tmp_path / "b.db")}))
    try:
        got = [outcome(native._store, ev) for ev in events]
        python_body(monkeypatch)
        want = [outcome(plain._store, ev) for ev in events]
    finally:
        native.close()
        plain.close()
    assert len(got) == len(want)
    for ev, g, w in zip(events, got, want):
        assert same(g, w), ev


def test_repeated_values_keep_their_own_texts(tmp_path, monkeypatch):
    """A run's payloads and metas that look alike (equal, or the very same object changed in place
    between appends) still get each their own normalised text."""
    shared = {"n": 1, "tags": ["x"]}
    payloads = [
        {"a": 1}, {"a": 1}, {"a": 1}, {"a": True}, {"a": 1.0}, {"a": 1}, {"a": 1}, {"b": 1, "a": 1},
        {"a": 1, "b": 1}, {"a": 1, "b": 1}, {"a": -0.0}, {"a": 0.0}, {"a": 0.0}, {"a": (1, "Straße")},
        {"a": [1, "Straße"]}, {"a": [1, "STRASSE"]}, "Text", "Text", "TEXT", shared, shared, shared,
    ]
    metas = [{"app_id": "A"}, {"app_id": "A"}, {"app_id": "A"}, {"app_id": "a"}, {"app_id": "A", "k": [1]}]
    events = []
    for i, payload in enumerate(payloads):
        events.append(RuntimeEvent.model_construct(
            event_id=f"e{i}", event_type="stream.delta", timestamp=T0 + i, source=None, level="info",
            message=None, payload=payload, error=None, meta=metas[i % len(metas)],
            run=RuntimeRunContext(run_id="run-1"),
        ))

    def encode(service):
        out = []
        for k, ev in enumerate(events):
            if k == len(events) - 2:
                shared["tags"].append("y")  # the same object, changed since the last append
            if k == len(events) - 1:
                shared["n"] = True
            out.append(service._store.prepare(ev)[9])
        return out

    native = RuntimeLogService(Settings({"logs.path": str(tmp_path / "a.db")}))
    plain = RuntimeLogService(Settings({"logs.path": str(tmp_path / "b.db")}))
    try:
        got = encode(native)
        shared.update(n=1, tags=["x"])
        python_body(monkeypatch)
        want = encode(plain)
    finally:
        native.close()
        plain.close()
    assert got == want
    assert got[3][5] == '{"a": true}' and got[4][5] == '{"a": 1.0}' and got[-1][5] == '{"n": true, "tags": ["x", "y"]}'


class Label:
    """A value whose JSON (through the serialiser's fallback) is the same as a str's."""

    def __str__(self) -> str:
        return "answer"

    def __eq__(self, other: object) -> bool:
        return type(other) is Label

    __hash__ = object.__hash__


def test_repeated_run_contexts_keep_their_own_json(tmp_path, monkeypatch):
    """Run contexts that look alike (equal data of other types, a value that serialises like a
    str, the very same context changed in place) keep their own JSON, text and fields."""
    shared = RuntimeRunContext(run_id="run-1", meta={"flow_name": "answer"})
    metas = [
        {"flow_name": "answer"}, {"flow_name": "answer"}, {"flow_name": "answer"}, {"flow_name": Label()},
        {"flow_name": "answer"}, {"flow_name": "answer"}, {"k": 1}, {"k": 1}, {"k": True}, {"k": 1.0},
        {"k": 1, "j": 2}, {"j": 2, "k": 1}, {"j": 2, "k": 1},
    ]
    runs = [RuntimeRunContext(run_id="run-1", meta=m) for m in metas]
    runs += [RuntimeRunContext(run_id="run-1", run_kind=k) for k in ("3", "3", 3, "3")]
    runs += [shared, shared, shared, shared]
    events = [RuntimeEvent(event_id=f"e{i}", event_type="stream.delta", timestamp=T0 + i, run=run)
              for i, run in enumerate(runs)]

    def encode(service):
        out = []
        for k, ev in enumerate(events):
            if k == len(events) - 2:
                shared.meta["flow_name"] = "plan"
            if k == len(events) - 1:
                shared.agent_name = "Planner"
            out.append(service._store.prepare(ev))
        return out

    native = RuntimeLogService(Settings({"logs.path": str(tmp_path / "a.db")}))
    plain = RuntimeLogService(Settings({"logs.path": str(tmp_path / "b.db")}))
    try:
        got = encode(native)
        shared.meta["flow_name"] = "answer"
        shared.agent_name = None
        python_body(monkeypatch)
        want = encode(plain)
    finally:
        native.close()
        plain.close()
    assert same(got, want)
    assert '"flow_name":"plan"' in got[-2][10] and '"agent_name":"Planner"' in got[-1][10]
    assert '"k":true' in got[8][10] and '"run"' not in got[8][8]


def test_refusals_are_worded_alike(store, monkeypatch):
    bad = [
        RuntimeEvent.model_construct(event_id="e-ts", event_type="x", timestamp=2**63, meta={}, run=None),
        RuntimeEvent.model_construct(event_id="e-ts2", event_type="x", timestamp="soon", meta={}, run=None),
        RuntimeEvent(event_id="e-sur", event_type="x", timestamp=T0, message="lone \ud800 surrogate"),
        RuntimeEvent(event_id="e-run", event_type="x", timestamp=T0,
                     run=RuntimeRunContext(run_id="r", meta={"bad": "\udfff"})),
    ]
    got = [outcome(store, ev) for ev in bad]
    python_body(monkeypatch)
    want = [outcome(store, ev) for ev in bad]
    assert got == want
    assert all(kind == "refused" for kind, _ in got)
    assert "64-bit integer" in got[0][1] and "'e-sur'" in got[2][1]


def nested_event(i: int) -> RuntimeEvent:
    return RuntimeEvent(
        event_id=f"evt-{i}",
        event_type="stream.delta",
        timestamp=T0 + i,
        meta={"app_id": "demo", "tags": ["a", {"k": "v"}]},
        run=RuntimeRunContext(run_id="run-1", meta={"flow_name": "answer", "steps": [1, 2]}),
    )


@pytest.mark.parametrize("body", ["native", "python"])
def test_what_the_writer_keeps_is_its_own(store, monkeypatch, body):
    if body == "python":
        python_body(monkeypatch)
    ev = nested_event(1)
    prepared = store.prepare(ev)
    ev.meta["tags"][1]["k"] = "changed"
    ev.meta["tags"].append("more")
    ev.run.meta["steps"].append(3)
    ev.meta["app_id"] = "other"
    assert prepared[P_META] == {"app_id": "demo", "tags": ["a", {"k": "v"}]}
    assert prepared[P_CONTEXT]["meta"] == {"flow_name": "answer", "steps": [1, 2]}


def test_private_copy_shares_only_immutable_scalars():
    class NoCopy:
        def __deepcopy__(self, memo):
            raise RuntimeError("cannot be copied")

    odd = NoCopy()
    inner = {"x": [1]}
    src = {"s": "text", "i": 2**70, "f": 1.5, "b": True, "n": None, "d": inner, "odd": odd}
    out = _private_copy(src)
    assert out == src and out is not src
    assert out["d"] is not inner and out["d"]["x"] is not inner["x"]
    assert out["i"] is src["i"] and out["s"] is src["s"]
    assert out["odd"] is odd  # shared where it cannot be copied, as a shallow copy would


class KeepingService(RuntimeLogService):
    """A service whose append_event keeps every event it is given."""

    kept: list

    async def append_event(self, event):
        self.kept.append(event)
        await super().append_event(event)


def handed_to_service(tmp_path, monkeypatch, settings, service_cls=RuntimeLogService):
    """The event objects the facade's log service received and the facade's own copies."""
    seen = []
    own_prepare = _sqlite._log_prepare

    def recording(event, *args):
        seen.append(event)
        return own_prepare(event, *args)

    monkeypatch.setattr(_sqlite, "_log_prepare", recording)
    monkeypatch.setattr(TraceDesk, "RuntimeLogService", service_cls)
    desk = TraceDesk.RuntimeTraceDesk(Settings({"logs.enabled": True, **settings}))
    service = desk.log_service
    service.kept = []

    async def go():
        for i in range(3):
            await desk.append_event(nested_event(i))

    asyncio.run(go())
    facade = list(desk._channel_buffer)
    service.close()
    return service, seen, facade


def test_the_facade_hands_a_file_service_its_own_copy(tmp_path, monkeypatch):
    service, seen, facade = handed_to_service(tmp_path, monkeypatch, {"logs.path": str(tmp_path / "e.db")})
    assert len(seen) == 3 and all(a is b for a, b in zip(seen, facade))


def test_a_service_that_may_keep_the_event_gets_a_copy(tmp_path, monkeypatch):
    service, seen, facade = handed_to_service(
        tmp_path, monkeypatch, {"logs.path": str(tmp_path / "e.db")}, KeepingService
    )
    assert len(service.kept) == 3
    for kept, held in zip(service.kept, facade):
        assert kept == held and kept is not held and kept.meta["tags"] is not held.meta["tags"]


def test_when_a_service_reads_its_events_at_once(tmp_path):
    memory = RuntimeLogService(Settings({}))
    assert memory._reads_event_at_once is False
    service = RuntimeLogService(Settings({"logs.path": str(tmp_path / "e.db")}))
    try:
        assert service._reads_event_at_once is True
        service._store.prepare = lambda event: (_ for _ in ()).throw(AssertionError)
        assert service._reads_event_at_once is False
        del service._store.prepare
        service.append_event = lambda event: None
        assert service._reads_event_at_once is False
        del service.append_event
        assert service._reads_event_at_once is True
    finally:
        service.close()
    keeping = KeepingService(Settings({"logs.path": str(tmp_path / "k.db")}))
    try:
        assert keeping._reads_event_at_once is False
    finally:
        keeping.close()
