"""Outside names are read from each extension module at call time, and argument type errors
use one wording across the package."""

import asyncio
import json
import re as stdlib_re

import pytest

from orvane.utils import DataFormatter, Settings
from orvane_devtools._orvane_compat import RuntimeEvent
from orvane_devtools.listener import Ingest, decode
from orvane_devtools.logs import Logbook, RuntimeLogService, _sqlite
from orvane_devtools.observation import Tallybook, TraceDesk
from orvane_devtools.observation.backends import Linefile, Uplink


def event(**kw):
    kw.setdefault("event_type", "agent_task.started")
    kw.setdefault("run", {"run_id": "r1", "run_kind": "agent_task"})
    return RuntimeEvent(**kw)


class TestOutsideNamesAreReadAtCallTime:
    def test_linefile_uses_the_substituted_formatter(self, tmp_path, monkeypatch):
        class Formatter:
            @staticmethod
            def sanitize(data):
                return {"replaced": data["event_type"]}

        monkeypatch.setattr(Linefile, "DataFormatter", Formatter)
        path = tmp_path / "events.jsonl"
        asyncio.run(Linefile.JSONLTraceSink(str(path)).append_event(event()))
        assert path.read_bytes() == b'{"replaced": "agent_task.started"}\n'

    def test_desk_uses_the_substituted_store_factory_and_clock(self, monkeypatch):
        made = []
        real = TraceDesk.create_observation_store

        def factory(**kw):
            made.append(kw)
            return real(**kw)

        monkeypatch.setattr(TraceDesk, "create_observation_store", factory)
        desk = TraceDesk.RuntimeTraceDesk(Settings({}))
        assert made and made[0]["max_events"] == 1200
        asyncio.run(desk.append_event(event(timestamp=1_000)))

        class Clock:
            @staticmethod
            def time():
                return 1_000 + 10_000.0  # seconds: far past the stale threshold of 900 s

        monkeypatch.setattr(TraceDesk, "time", Clock)
        run = desk.get_run("r1")
        assert run.status == "failed"
        assert run.meta["devtools_stale_reason"] == "stale_timeout"
        assert run.meta["devtools_stale_detected_at"] == 11_000_000

    def test_store_uses_the_substituted_regex_module(self, monkeypatch):
        store = Tallybook.RuntimeTallybook(10)
        store.append_event(event(meta={"app_id": "alpha"}))
        calls = []

        class Re:
            error = stdlib_re.error

            @staticmethod
            def compile(pattern, *args):
                calls.append(pattern)
                return stdlib_re.compile(pattern, *args)

            def __getattr__(self, name):
                return getattr(stdlib_re, name)

        monkeypatch.setattr(Tallybook, "re", Re)
        assert [r.run_id for r in store.list_runs(app_id_pattern="^al")] == ["r1"]
        assert calls == ["^al"]

    def test_uplink_reads_httpx_through_the_module(self, monkeypatch):
        class Broken:
            def __getattr__(self, name):
                raise RuntimeError("substituted httpx was used")

        monkeypatch.setattr(Uplink, "httpx", Broken())
        sink = Uplink.RemoteTraceSink(endpoint="http://127.0.0.1:9/ingest", api_key=None)
        with pytest.raises(RuntimeError, match="substituted httpx"):
            asyncio.run(sink.append_event(event()))

    def test_log_prepare_takes_the_substituted_event_class(self, tmp_path, monkeypatch):
        service = RuntimeLogService(Settings({"logs.path": str(tmp_path / "events.db")}))
        try:
            store = service._store

            def prepare(ev):
                return Logbook._log_prepare(ev, _sqlite._event_json, {}, store._context, {})

            plain = event()
            assert prepare(plain)[0] == plain.event_id

            class Stricter(RuntimeEvent):
                pass

            monkeypatch.setattr(Logbook, "RuntimeEvent", Stricter)
            assert prepare(plain) is None  # not the class this module now reads: the Python body's
            assert prepare(Stricter(**plain.model_dump()))[0] == plain.event_id
        finally:
            service.close()

    def test_ingest_masks_only_with_its_own_formatter_untouched(self, monkeypatch):
        raw = json.dumps({"app_id": "a", "events": [{"event_id": "e1", "event_type": "x", "timestamp": 1}]}).encode()
        layout = decode._native_layout()
        assert Ingest._read_upload_body(raw, layout)[2] == 0  # read natively, event by event

        class Formatter(DataFormatter):
            @staticmethod
            def sanitize(data):
                return data

        monkeypatch.setattr(Ingest, "DataFormatter", Formatter)
        assert Ingest._read_upload_body(raw, layout) is None  # a host's own sanitizer: the Python roads


WORDING = "Argument '{}' has incorrect type (expected {}, got {})"


class TestTypeErrorWording:
    @pytest.mark.parametrize(
        "call, name, expected, got",
        [
            (lambda: Tallybook.RuntimeTallybook(max_events="many"), "max_events", "int", "str"),
            (lambda: Tallybook.RuntimeTallybook(5).get_run(7), "run_id", "str", "int"),
            (lambda: TraceDesk.RuntimeTraceDesk(Settings({}))._remember_event_id(None), "event_id", "str", "NoneType"),
            (lambda: TraceDesk.RuntimeTraceDesk(Settings({})).append_events(None), "events", "list", "NoneType"),
            (lambda: TraceDesk.RuntimeTraceDesk(Settings({})).subscribe(run_id=5), "run_id", "str", "int"),
            (lambda: Linefile.JSONLTraceSink(42), "path", "str", "int"),
            (lambda: Uplink.RemoteTraceSink(endpoint=1, api_key=None), "endpoint", "str", "int"),
            (lambda: Logbook._log_rows(7, [], 0, set(), {}, {}, [], 0, 0, set(), set(), 24, 64), "store",
             "orvane_devtools.observation.Tallybook.RuntimeTallybook", "int"),
        ],
    )
    def test_exact_text(self, call, name, expected, got):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == WORDING.format(name, expected, got)
