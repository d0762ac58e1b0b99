"""Fixtures of the listener tests: listeners started as subprocesses on free ports."""

from __future__ import annotations

from pathlib import Path

import pytest
from listener_helpers import ListenerProcess


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
