"""The Host rule of a loopback listener: a name that only starts (or ends) like a loopback name
is someone else's name, whatever it resolves to.

A web page on ``localhost.attacker.example`` whose name the attacker points at 127.0.0.1
(DNS rebinding) makes the browser send that name as the Host; the listener must refuse it on
every route, public ones included, and store nothing it carries.
"""

from __future__ import annotations

import httpx
import pytest
from listener_helpers import ListenerProcess, body, event, fresh_id

from orvane_devtools.listener.guard import host_is_loopback

pytestmark = pytest.mark.timeout(60)

REFUSAL = "this listener only answers requests addressed to a loopback host"

# Names a rebinding page can be served from: loopback names with something before or after.
FOREIGN_HOSTS = [
    "localhost.attacker.example",
    "localhost.attacker.example:8765",
    "localhost.evil:80",
    "localhostx",
    "my-localhost",
    "127.0.0.1.evil.example",
    "127.0.0.1.evil.example:80",
    "127.0.0.1.nip.io",
    "127.0.0.1x",
    "0.0.0.0:8765",
    "[::2]:80",
    "[::]",
    "[fe80::1]:8765",
    "[2001:db8::1]",
    "attacker.example",
]

LOOPBACK_HOSTS = [
    "localhost",
    "LocalHost:8765",
    "127.0.0.1",
    "127.0.0.1:8765",
    "127.255.255.254:1",
    "[::1]",
    "[::1]:8765",
    "[0:0:0:0:0:0:0:1]:80",
]


class TestTheRule:
    @pytest.mark.parametrize("host", FOREIGN_HOSTS)
    def test_foreign_name_is_refused(self, host):
        assert host_is_loopback(host.encode("latin-1")) is False

    @pytest.mark.parametrize("host", LOOPBACK_HOSTS)
    def test_loopback_name_is_answered(self, host):
        assert host_is_loopback(host.encode("latin-1")) is True


@pytest.fixture(scope="module")
def proc(tmp_path_factory):
    proc = ListenerProcess(tmp_path_factory.mktemp("guard") / "db").start()
    yield proc
    proc.kill()


class TestRunningListener:
    @pytest.mark.parametrize("host", FOREIGN_HOSTS)
    def test_every_route_refuses_a_foreign_host(self, proc, host):
        with httpx.Client(base_url=proc.origin, timeout=10, headers={"Host": host}) as c:
            for path in ("/", "/healthz", "/assets/app.js", "/observation/runs", "/observation/stats"):
                r = c.get(path)
                assert r.status_code == 400, (host, path, r.status_code)
                assert r.json() == {"error": REFUSAL}, (host, path)
            # An upload under that name is refused before anything is read or stored.
            run = fresh_id("rebound")
            r = c.post("/observation/ingest", json=body([event(0, run)]))
            assert r.status_code == 400 and r.json() == {"error": REFUSAL}
        with proc.client() as c:
            assert c.get(f"/observation/runs/{run}").status_code == 404
            assert c.get("/observation/stats").json()["ingest_requests"] == 0

    @pytest.mark.parametrize("host", LOOPBACK_HOSTS)
    def test_loopback_host_is_answered(self, proc, host):
        with httpx.Client(base_url=proc.origin, timeout=10, headers={"Host": host}) as c:
            r = c.get("/observation/runs")
            assert r.status_code == 200, (host, r.text)
            assert "runs" in r.json()
            assert c.get("/healthz").json() == {"ok": True}
