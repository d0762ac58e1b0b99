"""Serving the page: the meta tags filled in, its files served with their types."""

from __future__ import annotations

import contextlib
import threading
import time

import httpx
import uvicorn

from orvane_devtools.listener.app import create_app
from orvane_devtools.listener.views.page import render_page
from orvane_devtools.listener.server import bind_socket
from orvane_devtools.listener.config import ListenerConfig

TEMPLATE = """<!doctype html><html><head>
<meta name="orvane-prefix" content="{prefix}">
<meta name="orvane-auth" content="{auth}">
<script type="module" src="assets/app.js"></script></head><body>{prefix} stays in text</body></html>
"""


@contextlib.contextmanager
def served(config):
    """The application on a free loopback port, run by uvicorn in a thread."""
    sock = bind_socket("127.0.0.1", 0)
    server = uvicorn.Server(uvicorn.Config(create_app(config), log_level="warning"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    deadline = time.monotonic() + 10
    while not server.started and time.monotonic() < deadline:
        time.sleep(0.01)
    try:
        with httpx.Client(base_url=f"http://127.0.0.1:{sock.getsockname()[1]}", timeout=5) as client:
            yield client
    finally:
        server.should_exit = True
        thread.join(10)
        sock.close()


def make_page(tmp_path):
    page = tmp_path / "page"
    (page / "assets").mkdir(parents=True)
    (page / "index.html").write_text(TEMPLATE, encoding="utf-8")
    (page / "assets" / "app.js").write_text("export const x = 1;\n", encoding="utf-8")
    (page / "assets" / "favicon.svg").write_text("<svg xmlns='http://www.w3.org/2000/svg'/>", encoding="utf-8")
    return page


def test_meta_tags_are_filled_in(tmp_path):
    page = make_page(tmp_path)
    text = render_page(page, '/pre"fix', auth=True)
    assert '<meta name="orvane-prefix" content="/pre&quot;fix">' in text
    assert '<meta name="orvane-auth" content="key">' in text
    assert "{prefix} stays in text" in text  # only the tags are touched


def test_page_and_assets_served_without_key(tmp_path):
    page = make_page(tmp_path)
    config = ListenerConfig(db_path=tmp_path / "db", page_dir=page, prefix="/obs", api_key="k-1")
    with served(config) as client:
        r = client.get("/")
        assert r.status_code == 200 and 'content="/obs"' in r.text and 'content="key"' in r.text
        js = client.get("/assets/app.js")
        assert js.status_code == 200 and js.headers["content-type"].startswith("text/javascript")
        svg = client.get("/favicon.ico")
        assert svg.status_code == 200 and svg.headers["content-type"].startswith("image/svg+xml")
        assert client.get("/assets/%2e%2e/index.html").status_code == 404
        assert client.get("/assets/missing.js").status_code == 404
        assert client.get("/obs/runs").status_code == 401


def test_placeholder_page_until_the_page_exists(tmp_path):
    config = ListenerConfig(db_path=tmp_path / "db", page_dir=tmp_path / "nothing")
    with served(config) as client:
        r = client.get("/")
        assert r.status_code == 200
        assert '<meta name="orvane-prefix" content="/observation">' in r.text
        assert '<meta name="orvane-auth" content="none">' in r.text
