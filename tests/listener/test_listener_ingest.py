"""POST {prefix}/ingest: a real RemoteTraceSink into a real listener, and hand-made bodies."""

from __future__ import annotations

import asyncio
import json
import random
import uuid
import warnings

import httpx
import pytest
from listener_helpers import body, event, fresh_id, runtime_event

from orvane_devtools.listener.decode import BodyError, _careful, _quick, decode_body
from orvane_devtools.observation.backends.Uplink import (
    ObservationBridgeUnavailableWarning,
    RemoteTraceSink,
)


def stored_event(proc, event_id: str) -> dict:
    r = httpx.get(f"{proc.api}/events/{event_id}", headers=proc.headers(), timeout=10)
    assert r.status_code == 200, r.text
    return r.json()


class TestSinkUpload:
    def test_sink_events_become_runs_and_events(self, listener):
        run = fresh_id()
        child = fresh_id("child")
        sink = RemoteTraceSink(endpoint=listener.ingest_url, api_key=None, app_id="app-a",
                               group_id="team-a", background_flush_interval=0.01)
        events = [runtime_event(i, run) for i in range(30)]
        events.append(runtime_event(30, run, event_type="agent_task.completed"))
        events += [runtime_event(i, child, parent=run) for i in range(5)]
        with warnings.catch_warnings():
            warnings.simplefilter("error", ObservationBridgeUnavailableWarning)
            asyncio.run(sink.append_events(events))
            asyncio.run(sink.flush())
        stats = sink.get_stats()
        assert stats["uploaded_event_count"] == 36 and stats["upload_failure_count"] == 0
        with listener.client() as c:
            record = c.get(f"/observation/runs/{run}").json()
            assert record["status"] == "completed" and record["event_count"] == 31
            assert record["meta"]["app_id"] == "app-a"
            assert [r["run_id"] for r in c.get(f"/observation/runs/{run}/children").json()["runs"]] == [child]
            page = c.get(f"/observation/runs/{run}/events", params={"limit": 5000}).json()
            assert [e["event_id"] for e in page["events"]] == [e.event_id for e in events[:31]]
            stats = c.get("/observation/stats").json()
        assert stats["ingested_total"] == 36 and stats["rejected_total"] == 0

    def test_background_worker_with_default_settings(self, listener):
        run = fresh_id()
        sink = RemoteTraceSink(endpoint=listener.ingest_url, api_key=None)
        for i in range(450):  # more than two default batches
            sink.append_event_nowait(runtime_event(i, run))
        asyncio.run(sink.flush())
        with listener.client() as c:
            record = c.get(f"/observation/runs/{run}").json()
        assert record["event_count"] == 450
        assert sink.get_stats()["upload_batch_count"] >= 3


class TestIdempotence:
    def test_batch_sent_twice_is_stored_once(self, listener):
        run = fresh_id()
        doc = body([event(i, run) for i in range(50)])
        with listener.client() as c:
            first = c.post("/observation/ingest", json=doc)
            second = c.post("/observation/ingest", json=doc)
            assert first.json() == {"accepted": 50, "duplicates": 0, "rejected": []}
            assert second.json() == {"accepted": 0, "duplicates": 50, "rejected": []}
            record = c.get(f"/observation/runs/{run}").json()
            events = c.get("/observation/events", params={"run_id": run, "limit": 5000}).json()["events"]
        assert record["event_count"] == 50
        assert len(events) == 50

    def test_same_event_twice_in_one_batch(self, listener):
        run = fresh_id()
        doc = body([event(1, run), event(1, run), event(2, run)])
        with listener.client() as c:
            assert c.post("/observation/ingest", json=doc).json()["duplicates"] == 1
            assert c.get(f"/observation/runs/{run}").json()["event_count"] == 2


class TestPartialRejection:
    def test_invalid_events_rejected_by_index_valid_ones_stored(self, listener):
        run = fresh_id()
        events = [event(0, run), event(1, run, timestamp="yesterday"), "not an event",
                  event(3, run), {k: v for k, v in event(4, run).items() if k != "event_id"},
                  event(5, run, event_type=None)]
        with listener.client() as c:
            r = c.post("/observation/ingest", json=body(events))
            assert r.status_code == 200
            answer = r.json()
            assert answer["accepted"] == 2
            assert [x["index"] for x in answer["rejected"]] == [1, 2, 4, 5]
            reasons = {x["index"]: x["error"] for x in answer["rejected"]}
            assert "timestamp" in reasons[1] and "event_id" in reasons[4] and "event_type" in reasons[5]
            assert "yesterday" not in reasons[1]  # errors do not echo the sender's data
            assert c.get(f"/observation/runs/{run}").json()["event_count"] == 2
            # The sender does not retry a poison batch for ever: sending it again changes nothing.
            again = c.post("/observation/ingest", json=body(events)).json()
            assert again["accepted"] == 0 and again["duplicates"] == 2
            assert c.get("/observation/stats").json()["rejected_total"] == 8

    def test_events_the_store_cannot_keep_are_rejected_every_time(self, listener):
        run = fresh_id()
        evs = [event(0, run), event(1, run, timestamp=2**70), event(2, run, message="bad \ud800 text"),
               event(3, run, payload={"big": 10**40})]
        raw = json.dumps(body(evs)).encode()
        with listener.client() as c:
            for _ in range(2):
                answer = c.post("/observation/ingest", content=raw,
                                headers={"Content-Type": "application/json"}).json()
                assert [x["index"] for x in answer["rejected"]] == [1, 2]
                assert "64-bit" in answer["rejected"][0]["error"]
                assert "surrogate" in answer["rejected"][1]["error"]
            assert c.get(f"/observation/events/{run}-e3").json()["payload"] == {"big": 10**40}

    @pytest.mark.parametrize("raw, needle", [
        (b"{not json", "not valid JSON"),
        (b"[1, 2]", "JSON object"),
        (b'{"app_id": "a"}', "no 'events'"),
        (b'{"events": {"a": 1}}', "'events' must be a list"),
        (b'{"app_id": 7, "events": []}', "'app_id'"),
        (b"", "empty"),
        (b"\xff\xfe", "not valid JSON"),
        (b"[" * 100_000 + b"]" * 100_000, "nested too deeply"),
    ])
    def test_body_of_the_wrong_shape_is_400(self, listener, raw, needle):
        r = httpx.post(listener.ingest_url, content=raw, headers={"Content-Type": "application/json"},
                       timeout=10)
        assert r.status_code == 400
        assert needle in r.json()["error"]


class TestBodyLimit:
    def test_over_max_body_is_413(self, start_listener):
        proc = start_listener("--max-body", "64KiB")
        small = body([event(i, "run-small") for i in range(10)])
        big = body([event(i, "run-big", message="x" * 1000) for i in range(100)])
        with proc.client() as c:
            assert c.post("/observation/ingest", json=small).status_code == 200
            r = c.post("/observation/ingest", json=big)
            assert r.status_code == 413 and "65536" in r.json()["error"]

            # Without a Content-Length (chunked), the limit holds while reading.
            def chunks():
                data = json.dumps(big).encode()
                for i in range(0, len(data), 4096):
                    yield data[i:i + 4096]

            r = c.post("/observation/ingest", content=chunks())
            assert r.status_code == 413
            assert c.get("/observation/runs/run-big").status_code == 404


class TestMasking:
    def test_secrets_are_masked_before_they_are_stored(self, listener):
        run = fresh_id()
        ev = event(1, run, payload={"password": "hunter2", "nested": [{"Token": "abc"}],
                                    "tokens": 12, "dbPassword": "hunter2"},
                   meta={"api_key": "k-123", "app_id": "app-a"})
        with listener.client() as c:
            assert c.post("/observation/ingest", json=body([ev])).json()["accepted"] == 1
            text = c.get(f"/observation/events/{ev['event_id']}").text
            hits = c.get("/observation/events", params={"search": "hunter2"}).json()["events"]
        stored = json.loads(text)
        assert stored["payload"] == {"password": "***", "nested": [{"Token": "***"}], "tokens": 12,
                                     "dbPassword": "***"}
        assert stored["meta"]["api_key"] == "***"
        assert "hunter2" not in text and "k-123" not in text
        assert hits == []

    def test_quick_and_careful_decoding_agree(self):
        events = [event(i, "run-q", payload={"tokens": i, "list": [1.5, {"a": None}], "big": 10**30})
                  for i in range(20)]
        raw = json.dumps(body(events, app_id="app-b")).encode()
        quick = _quick(raw)
        assert quick is not None
        careful = _careful(raw)
        assert [e.model_dump() for e in quick.events] == [e.model_dump() for e in careful.events]
        assert quick.rejected == careful.rejected == []

    def test_keys_ending_in_a_secret_word_are_masked_on_both_roads(self):
        # Every place an event carries values of free shape, with keys the sanitizer masks by
        # their last word (not only by their whole name).
        secret_keys = ["db_password", "dbPassword", "aws_secret_access_key", "private_key",
                       "oauth2Token", "session-cookie", "user_credentials", "X-Api-Key"]
        visible_keys = ["tokens", "max_tokens", "token_count", "keyboard", "author"]
        free = {k: "hunter2" for k in secret_keys} | {k: 7 for k in visible_keys}
        ev = event(1, "run-s", payload={"outer": [{"inner": dict(free)}], **free},
                   error={"detail": dict(free)}, level={"name": "warning", "db_password": "x"},
                   meta={"app_id": "app-a", **free})
        ev["run"]["meta"] = {"nested": dict(free)}
        ev["run"]["run_kind"] = {"kind": "agent_task", "private_key": "x"}
        raw = json.dumps(body([ev, event(2, "run-s")])).encode()
        quick = _quick(raw)
        assert quick is not None, "the quick road gave up on an ordinary body"
        careful = _careful(raw)
        assert [e.model_dump() for e in quick.events] == [e.model_dump() for e in careful.events]
        stored = quick.events[0].model_dump_json()
        assert "hunter2" not in stored and '"x"' not in stored
        assert quick.events[0].payload["outer"][0]["inner"]["max_tokens"] == 7
        assert quick.events[0].run.meta["nested"]["dbPassword"] == "***"

    def test_ordinary_bodies_stay_on_the_quick_road(self):
        # Random hexadecimal ids and numbers with exponents look like huge numbers to a byte
        # scan ("5e123..."); they are ordinary and must not send every batch down the slow road.
        events = [event(i, "run-h", payload={"f": 1.5e-300, "g": 2e300, "n": -0.0, "big": 10**40,
                                             "text": "5e999 NaN Infinity \\ done"})
                  for i in range(50)]
        for ev in events:
            ev["event_id"] = uuid.uuid4().hex
        raw = json.dumps(body(events)).encode()
        quick = _quick(raw)
        assert quick is not None and len(quick.events) == 50
        assert [e.model_dump() for e in quick.events] == [e.model_dump() for e in _careful(raw).events]

    def test_random_bodies_decode_alike_on_both_roads(self):
        rng = random.Random(1307)
        keys = ["a", "tokens", "token", "Token", "db_password", "dbPassword", "APIKey", "apikey",
                "private_key", "keyboard", "author", "secretary", "set-cookie", "x_secret_",
                "pa\u00dfword", "to\u212aen", "\u00e9t\u00e9", "credential.", "Authorization"]

        def value(depth: int):
            pick = rng.random()
            if depth < 4 and pick < 0.25:
                return {rng.choice(keys): value(depth + 1) for _ in range(rng.randint(0, 4))}
            if depth < 4 and pick < 0.4:
                return [value(depth + 1) for _ in range(rng.randint(0, 4))]
            return rng.choice([None, True, 0, -7, 10**25, 2.5, -1e-300, 1e300, float("nan"),
                               float("-inf"), "text",
                               "caf\u00e9 \u2603", 'quote " and \\ slash', "5e123"])

        events = []
        for i in range(300):
            ev = event(i, f"run-{i % 7}", payload=value(0), error=value(2), level=value(3),
                       meta={rng.choice(keys): value(2) for _ in range(3)})
            ev["run"]["meta"] = {rng.choice(keys): value(2) for _ in range(2)}
            events.append(ev)
        raw = json.dumps(body(events), ensure_ascii=rng.random() < 0.5).encode()
        quick = _quick(raw)
        assert quick is not None
        careful = _careful(raw, quick_items=False)
        assert [e.model_dump() for e in quick.events] == [e.model_dump() for e in careful.events]
        assert quick.rejected == careful.rejected == []

        # Invalid events among them: the careful road keeps the valid ones (validated as they
        # are where it can) and rejects the others with the sanitizer's copy's reasons.
        spoilers = [("timestamp", "soon"), ("timestamp", 2**70), ("event_type", None),
                    ("message", float("nan")), ("source", 5), ("run", {"agent_id": "a"}),
                    ("event_id", ""), ("level", float("inf"))]
        for ev in events[::9]:
            key, bad = rng.choice(spoilers)
            ev[key] = bad
        events[5] = ["not", "an", "event"]
        raw = json.dumps(body(events)).encode()
        assert _quick(raw) is None
        mixed, reference = decode_body(raw), _careful(raw, quick_items=False)
        assert mixed.rejected == reference.rejected and len(mixed.rejected) > 10
        assert mixed.indexes == reference.indexes
        assert [e.model_dump() for e in mixed.events] == [e.model_dump() for e in reference.events]

    def test_a_hosts_own_sanitizer_is_used(self, monkeypatch):
        from orvane.utils import DataFormatter

        original = DataFormatter.sanitize

        def stricter(data):
            clean = original(data)
            if isinstance(clean, dict) and isinstance(clean.get("payload"), dict):
                clean["payload"] = {k: "[hidden]" if k == "customer" else v
                                    for k, v in clean["payload"].items()}
            return clean

        monkeypatch.setattr(DataFormatter, "sanitize", staticmethod(stricter))
        raw = json.dumps(body([event(1, "run-c", payload={"customer": "Ada", "token": "t"})])).encode()
        assert decode_body(raw).events[0].payload == {"customer": "[hidden]", "token": "***"}

    @pytest.mark.parametrize("depth", [150, 195, 196, 197, 198, 199, 200, 201, 260])
    def test_deep_nesting_is_cut_alike_on_both_roads(self, depth):
        value: object = "leaf"
        for i in range(depth):
            value = [value] if i % 2 else {"k": value}
        raw = json.dumps(body([event(1, "run-d", payload=value)])).encode()
        assert [e.model_dump() for e in decode_body(raw).events] == \
            [e.model_dump() for e in _careful(raw).events]

    def test_lone_surrogates_leave_the_quick_road(self):
        lone = json.dumps(body([event(1, "run-l", message="bad \ud800 text")])).encode()
        pair = json.dumps(body([event(1, "run-l", message="emoji \U0001f600")])).encode()
        assert _quick(lone) is None
        assert decode_body(lone).rejected[0]["index"] == 0
        assert decode_body(pair).events[0].message == "emoji \U0001f600"

    def test_non_finite_numbers_become_names_on_the_quick_road(self):
        nan, inf = float("nan"), float("inf")
        ev = event(1, "run-n", payload={"a": [1.0, nan, [-inf]], "b": inf}, level=nan,
                   error={"e": {"f": -inf}}, meta={"m": nan})
        ev["run"]["run_kind"] = inf
        ev["run"]["meta"] = {"r": [nan]}
        raw = json.dumps(body([ev, event(2, "run-n", payload=nan)])).encode()
        quick = _quick(raw)
        assert quick is not None
        first, second = quick.events
        assert first.payload == {"a": [1.0, "NaN", ["-Infinity"]], "b": "Infinity"}
        assert (first.level, first.error, first.meta["m"]) == ("NaN", {"e": {"f": "-Infinity"}}, "NaN")
        assert (first.run.run_kind, first.run.meta) == ("Infinity", {"r": ["NaN"]})
        assert second.payload == "NaN"
        assert [e.model_dump() for e in quick.events] == [e.model_dump() for e in _careful(raw).events]

    def test_secret_with_unicode_escape_is_masked(self):
        raw = json.dumps(body([event(1, "run-u", payload={"pa\u00dfword": 1, "to\u212aen": "x",
                                                               "token": "y"})])).encode()
        (ev,) = decode_body(raw).events
        assert ev.payload == {"pa\u00dfword": "***", "to\u212aen": "***", "token": "***"}

    def test_non_finite_numbers_become_text(self, listener):
        run = fresh_id()
        raw = json.dumps(body([event(1, run, payload={"a": float("nan"), "b": float("inf")})]))
        raw = raw.replace('"b": Infinity', '"b": Infinity, "c": -1e999')
        with listener.client() as c:
            r = c.post("/observation/ingest", content=raw.encode(),
                       headers={"Content-Type": "application/json"})
            assert r.json()["accepted"] == 1
            got = c.get(f"/observation/events/{run}-e1")
            assert got.json()["payload"] == {"a": "NaN", "b": "Infinity", "c": "-Infinity"}
        with pytest.raises(BodyError):
            decode_body(b"   ")

    def test_body_fields_fill_meta_without_overriding(self):
        mine = event(1, "run-m", meta={"app_id": "own-app"})
        bare = event(2, "run-m", meta={})
        batch = decode_body(json.dumps(body([mine, bare], app_id="sink-app", group_id=None,
                                            environment="prod")).encode())
        assert batch.events[0].meta == {"app_id": "own-app", "environment": "prod"}
        assert batch.events[1].meta == {"app_id": "sink-app", "environment": "prod"}
