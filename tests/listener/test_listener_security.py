"""API key, Host check and CORS on a real listener."""

from __future__ import annotations

import asyncio
import warnings

import httpx
import pytest
from listener_helpers import SSEReader, body, event, fresh_id, runtime_event

from orvane_devtools.listener.guard import host_is_loopback
from orvane_devtools.observation.backends.Uplink import (
    ObservationBridgeUnavailableWarning,
    RemoteTraceSink,
)

KEY = "k3y-Long_enough.2024"


@pytest.fixture(scope="module")
def keyed(tmp_path_factory):
    from listener_helpers import ListenerProcess

    proc = ListenerProcess(tmp_path_factory.mktemp("sec") / "db", api_key=KEY).start()
    yield proc
    proc.kill()


class TestApiKey:
    @pytest.mark.parametrize("path", ["/observation/runs", "/observation/runs/x", "/observation/events",
                                      "/observation/stats", "/observation/stream", "/observation/nothing"])
    @pytest.mark.parametrize("auth", [None, "Bearer wrong", f"Basic {KEY}", "Bearer", f"bearer {KEY}x"])
    def test_missing_or_wrong_key_is_401_without_detail(self, keyed, path, auth):
        headers = {"Authorization": auth.encode("utf-8")} if auth else {}
        r = httpx.get(f"{keyed.origin}{path}", headers=headers, timeout=5)
        assert r.status_code == 401
        assert r.json() == {"error": "unauthorized"}
        assert r.headers["www-authenticate"] == "Bearer"

    def test_ingest_needs_the_key_too(self, keyed):
        run = fresh_id()
        r = httpx.post(keyed.ingest_url, json=body([event(1, run)]), timeout=5)
        assert r.status_code == 401
        with keyed.client() as c:
            assert c.get(f"/observation/runs/{run}").status_code == 404

    def test_right_key_opens_every_route(self, keyed):
        run = fresh_id()
        with keyed.client() as c:
            assert c.post("/observation/ingest", json=body([event(1, run)])).json()["accepted"] == 1
            assert c.get(f"/observation/runs/{run}").status_code == 200
            assert c.get("/observation/stats").status_code == 200
        # The scheme name is case-insensitive.
        r = httpx.get(f"{keyed.api}/runs/{run}", headers={"Authorization": f"bearer {KEY}".encode()},
                      timeout=5)
        assert r.status_code == 200
        reader = SSEReader(f"{keyed.api}/stream", headers={"Authorization": f"Bearer {KEY}"})
        try:
            assert reader.next(kind="hello")
        finally:
            reader.close()

    def test_public_routes_need_no_key(self, keyed):
        assert httpx.get(f"{keyed.origin}/healthz", timeout=5).json() == {"ok": True}
        page = httpx.get(f"{keyed.origin}/", timeout=5)
        assert page.status_code == 200 and '<meta name="orvane-auth" content="key">' in page.text

    def test_sink_with_the_key_uploads_and_without_it_backs_off(self, keyed):
        run = fresh_id()
        good = RemoteTraceSink(endpoint=keyed.ingest_url, api_key=KEY)
        asyncio.run(good.append_events([runtime_event(i, run) for i in range(3)]))
        assert good.get_stats()["uploaded_event_count"] == 3
        bad = RemoteTraceSink(endpoint=keyed.ingest_url, api_key="nope")
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            asyncio.run(bad.append_events([runtime_event(9, run)]))
        stats = bad.get_stats()
        assert stats["uploaded_event_count"] == 0 and stats["upload_failure_count"] == 1
        assert "401" in stats["last_failure"]
        assert any(issubclass(w.category, ObservationBridgeUnavailableWarning) for w in caught)
        with keyed.client() as c:
            assert c.get(f"/observation/runs/{run}").json()["event_count"] == 3


    @pytest.mark.parametrize("key", ["caf\u00e9", "two words", "tab\there"])
    def test_key_no_client_could_send_is_refused_at_start(self, key):
        from orvane_devtools.listener.config import ListenerConfig, ListenerConfigError

        with pytest.raises(ListenerConfigError, match="printable ASCII"):
            ListenerConfig(api_key=key).validate()


class TestHostAndCors:
    def test_foreign_host_header_is_refused_on_loopback(self, listener):
        r = httpx.get(f"{listener.api}/runs", headers={"Host": "attacker.example"}, timeout=5)
        assert r.status_code == 400
        for host in (f"127.0.0.1:{listener.port}", f"localhost:{listener.port}", "[::1]:1", "127.1.2.3"):
            r = httpx.get(f"{listener.api}/runs", headers={"Host": host}, timeout=5)
            assert r.status_code == 200, host

    def test_no_cors_headers_by_default(self, listener):
        r = httpx.get(f"{listener.api}/runs", headers={"Origin": "http://elsewhere.example"}, timeout=5)
        assert r.status_code == 200
        assert not [h for h in r.headers if h.lower().startswith("access-control-")]
        pre = httpx.options(f"{listener.api}/runs", headers={
            "Origin": "http://elsewhere.example", "Access-Control-Request-Method": "GET"}, timeout=5)
        assert "access-control-allow-origin" not in pre.headers

    def test_cors_origin_option(self, start_listener):
        proc = start_listener("--cors-origin", "http://tools.example")
        r = httpx.get(f"{proc.api}/runs", headers={"Origin": "http://tools.example"}, timeout=5)
        assert r.headers["access-control-allow-origin"] == "http://tools.example"
        r = httpx.get(f"{proc.api}/runs", headers={"Origin": "http://other.example"}, timeout=5)
        assert "access-control-allow-origin" not in r.headers

    @pytest.mark.parametrize("host, ok", [
        (b"127.0.0.1:8765", True), (b"localhost", True), (b"[::1]:8765", True),
        (b"LOCALHOST:1", True), (b"127.0.0.1.nip.io", False), (b"example.com:8765", False),
        (b"[::2]:80", False), (None, True),
    ])
    def test_host_rule(self, host, ok):
        assert host_is_loopback(host) is ok
