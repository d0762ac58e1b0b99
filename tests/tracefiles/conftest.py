"""Fixtures of the trace-file tests: the helpers module on the path, listeners as processes."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from tracefiles_helpers import Process  # noqa: E402


@pytest.fixture
def processes():
    """Starts ``orvane-devtools`` processes (``processes("start", *args)``); each one still
    running at the end of the test is killed."""
    started: list[Process] = []

    def start(command: str, *args: str, **kw) -> Process:
        proc = Process(command, *args, **kw)
        started.append(proc)
        return proc.start()

    yield start
    for proc in started:
        proc.kill()
