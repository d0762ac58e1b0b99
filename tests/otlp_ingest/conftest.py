"""Fixtures of the OTLP receiver's tests: listeners as real processes, each killed at the end of
its test."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest
from otlp_ingest_helpers import Listener

# The stream reader of the listener's own tests (listener_helpers.SSEReader).
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "listener"))


@pytest.fixture
def start_listener(tmp_path):
    """``start_listener(*args, db=..., api_key=...)`` starts a listener process."""
    started: list[Listener] = []

    def start(*args: str, db: Path | None = None, api_key: str | None = None) -> Listener:
        listener = Listener(db or tmp_path / f"listener-{len(started)}.sqlite3", *args, api_key=api_key)
        started.append(listener)
        return listener.start()

    yield start
    for listener in started:
        listener.kill()


@pytest.fixture
def listener(start_listener):
    return start_listener()
