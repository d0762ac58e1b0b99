"""Browser tests of the listener's web page: a real listener subprocess, real uploads, and
Debian's Chromium driven by Playwright.

A missing browser or a missing Playwright fails these tests with a message naming what is
missing; they are never skipped.
"""

from __future__ import annotations

import os
import sys
from pathlib import Path
from typing import Any, Iterator

import pytest

from page_helpers import Listener, chromium_path

EXPECT_TIMEOUT_MS = 15_000
BROWSER_LINES: list[str] = []


def pytest_terminal_summary(terminalreporter: Any) -> None:
    for line in BROWSER_LINES:
        terminalreporter.write_line(line)


@pytest.fixture(scope="module")
def listener(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Listener]:
    """One listener shared by the tests of a module (each test uses its own run ids)."""
    lst = Listener(tmp_path_factory.mktemp("listener") / "runs.sqlite3").start()
    yield lst
    lst.stop()


@pytest.fixture
def make_listener(tmp_path: Path) -> Iterator[Any]:
    """Listeners of one test (restart, API key), stopped at its end."""
    made: list[Listener] = []

    def make(**kw: Any) -> Listener:
        db = kw.pop("db", None) or tmp_path / f"runs-{len(made)}.sqlite3"
        lst = Listener(db, **kw)
        made.append(lst)
        return lst

    yield make
    for lst in made:
        lst.kill()


@pytest.fixture(scope="module")
def browser(request: pytest.FixtureRequest) -> Iterator[Any]:
    # Module scope, not session: while Playwright's sync API is open, the main thread counts as
    # running an event loop, and asyncio.run() in later test folders would fail.
    exe = chromium_path()
    try:
        from playwright.sync_api import sync_playwright
    except ImportError:
        pytest.fail("the browser tests need Playwright for Python: pip install 'orvane-devtools[test]' "
                    "(tools/dev test installs it)", pytrace=False)
    args = ["--no-sandbox"] if os.geteuid() == 0 else []
    # Under the sanitizer build the test process preloads the sanitizer runtime; the browser is not
    # built for it and hangs at start with it, so it gets the environment without the preload.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    with sync_playwright() as p:
        b = p.chromium.launch(executable_path=exe, headless=True, args=args, env=env)
        line = f"browser tests ran in Chromium {b.version} ({exe}) through Playwright"
        if line not in BROWSER_LINES:
            BROWSER_LINES.append(line)
        yield b
        b.close()


class PageProblems:
    """Uncaught errors of the page; a test fails on any it did not expect."""

    def __init__(self) -> None:
        self.errors: list[str] = []


@pytest.fixture
def open_page(browser: Any) -> Iterator[Any]:
    """``open_page(url, width=1280, height=800, color_scheme="light")`` -> a page in a fresh context
    (own sessionStorage), with the page's own errors checked at the end of the test."""
    from playwright.sync_api import expect

    expect.set_options(timeout=EXPECT_TIMEOUT_MS)
    contexts: list[Any] = []
    problems = PageProblems()

    def open_(url: str, *, width: int = 1280, height: int = 800, color_scheme: str = "light") -> Any:
        ctx = browser.new_context(viewport={"width": width, "height": height}, color_scheme=color_scheme)
        ctx.set_default_timeout(EXPECT_TIMEOUT_MS)
        contexts.append(ctx)
        page = ctx.new_page()
        page.on("pageerror", lambda exc: problems.errors.append(f"{url}: {exc}"))
        page.goto(url, wait_until="domcontentloaded")
        return page

    open_.problems = problems
    yield open_
    for ctx in contexts:
        ctx.close()
    assert not problems.errors, "the page raised errors:\n" + "\n".join(problems.errors)
