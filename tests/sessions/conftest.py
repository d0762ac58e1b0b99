"""Fixtures of the session and usage tests: the listener's application in this process on a real
SQLite file (reached through httpx's ASGI transport), fed our events and OTLP spans."""

from __future__ import annotations

import sys
from pathlib import Path

_TESTS = Path(__file__).resolve().parent.parent
for folder in ("listener", "otlp_ingest"):
    if str(_TESTS / folder) not in sys.path:
        sys.path.insert(0, str(_TESTS / folder))

from listener_helpers import no_reader_faults, start_in_process  # noqa: E402, F401
