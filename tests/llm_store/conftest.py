"""Fixtures of the tests of LLM calls stored at ingest: the listener's application in this process
on a real SQLite file, OTLP requests built with opentelemetry-proto (the receiver tests' helpers)."""

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
    """``start_in_process(db=...)`` starts the listener's application in this process; each one
    is stopped at the end of the test."""
    started: list[InProcessListener] = []

    def start(*args: str, db: Path | None = None) -> InProcessListener:
        listener = InProcessListener(db or tmp_path / f"listener-{len(started)}.sqlite3", *args)
        started.append(listener)
        return listener

    yield start
    for listener in started:
        listener.kill()


@pytest.fixture(autouse=True)
def no_reader_faults(caplog):
    """A fault of the LLM readers or of the folding at ingest is logged, not raised: any such
    record fails the test."""
    caplog.set_level(logging.ERROR, logger="orvane_devtools")
    yield
    faults = [r for r in caplog.records if r.name.startswith("orvane_devtools") and r.levelno >= logging.ERROR]
    assert not faults, "fault: " + "\n".join(r.getMessage() + "\n" + (r.exc_text or "") for r in faults)
