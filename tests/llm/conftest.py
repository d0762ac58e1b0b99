"""Fixtures of the LLM-call reader tests."""

from __future__ import annotations

import logging

import pytest


@pytest.fixture(autouse=True)
def no_reader_faults(caplog):
    """The readers log a fault of their own and return None rather than raise at ingest; any
    such log record fails the test that caused it."""
    caplog.set_level(logging.ERROR, logger="orvane_devtools.llm")
    yield
    faults = [
        r for r in caplog.records if r.name.startswith("orvane_devtools.llm") and r.levelno >= logging.ERROR
    ]
    assert not faults, "reader fault: " + "\n".join(
        r.getMessage() + "\n" + (r.exc_text or "") for r in faults
    )
