"""Fixtures of the listener tests: listeners started as subprocesses on free ports, and the
listener's application in this process for tests that need no process of their own."""

from __future__ import annotations

from pathlib import Path

import pytest
from listener_helpers import InProcessListener, ListenerProcess


@pytest.fixture
def start_listener(tmp_path):
    """Starts listeners (``start_listener(*args, db=..., port=..., api_key=...)``); every one
    still running at the end of the test is killed."""
    started: list[ListenerProcess] = []

    def start(*args: str, db: Path | None = None, port: int = 0, api_key: str | None = None,
              env: dict[str, str] | None = None) -> ListenerProcess:
        proc = ListenerProcess(db or tmp_path / "listener.sqlite3", *args, port=port,
                               api_key=api_key, env=env)
        started.append(proc)
        return proc.start()

    yield start
    for proc in started:
        proc.kill()


@pytest.fixture
def listener(start_listener):
    return start_listener()


@pytest.fixture
def start_in_process(tmp_path):
    """Starts the listener's application in this process (``start_in_process(*args, db=...,
    api_key=...)``, the options of ``start``); each one is stopped at the end of the test."""
    started: list[InProcessListener] = []

    def start(*args: str, db: Path | None = None, api_key: str | None = None) -> InProcessListener:
        listener = InProcessListener(db or tmp_path / f"listener-{len(started)}.sqlite3", *args,
                                     api_key=api_key)
        started.append(listener)
        return listener

    yield start
    for listener in started:
        listener.kill()
