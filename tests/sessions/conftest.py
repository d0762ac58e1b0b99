"""Fixtures of the session and usage tests: the listener's application in this process on a real
SQLite file (reached through httpx's ASGI transport), fed our events and OTLP spans."""

from __future__ import annotations

import logging
import sys
from pathlib import Path

import pytest

_TESTS = Path(__file__).resolve().parent.parent
for folder in ("listener", "otlp_ingest"):
    if str(_TESTS / folder) not in sys.path:
        sys.path.insert(0, str(_TESTS / folder))

from listener_helpers import InProcessListener  # noqa: E402


@pytest.fixture
def start_in_process(tmp_path):
    """``start_in_process(*args)`` starts the listener's application in this process on a file
    of its own; each one is stopped at the end of the test."""
    started: list[InProcessListener] = []

    def start(*args: str) -> InProcessListener:
        listener = InProcessListener(tmp_path / f"listener-{len(started)}.sqlite3", *args)
        started.append(listener)
        return listener

    yield start
    for listener in started:
        listener.kill()


@pytest.fixture(autouse=True)
def no_reader_faults(caplog):
    """A fault logged by the readers or the folding at ingest fails the test."""
    caplog.set_level(logging.ERROR, logger="orvane_devtools")
    yield
    faults = [r for r in caplog.records if r.name.startswith("orvane_devtools") and r.levelno >= logging.ERROR]
    assert not faults, "fault: " + "\n".join(r.getMessage() + "\n" + (r.exc_text or "") for r in faults)
