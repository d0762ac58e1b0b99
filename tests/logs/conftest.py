"""Fixtures of the log service tests: services over real SQLite files, closed at the end."""

from __future__ import annotations

from typing import Any

import pytest

from orvane.utils import Settings
from orvane_devtools.logs import RuntimeLogService


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "logs" / "events.db")


@pytest.fixture
def open_service(db_path):
    """Opens services on files (``db_path`` by default); closes them all at the end."""
    opened: list[RuntimeLogService] = []

    def open_(path: str | None = None, **settings: Any) -> RuntimeLogService:
        values = {"logs.path": path or db_path}
        values.update({k.replace("__", "."): v for k, v in settings.items()})
        service = RuntimeLogService(Settings(values))
        opened.append(service)
        return service

    yield open_
    for service in opened:
        service.close(10)
