"""The DevTools listener: receives uploads from ``RemoteTraceSink``, keeps them, serves them.

``orvane-devtools start`` runs it (see ``cli``); ``create_app`` gives the ASGI application for
hosting it another way.
"""

from __future__ import annotations

from .config import (
    API_KEY_ENV,
    ListenerConfig,
    ListenerConfigError,
    default_data_dir,
    default_db_path,
)

__all__ = [
    "API_KEY_ENV",
    "ListenerConfig",
    "ListenerConfigError",
    "create_app",
    "default_data_dir",
    "default_db_path",
    "run_listener",
]


def create_app(config: ListenerConfig, core=None):  # noqa: ANN001, ANN201
    """The listener's Starlette application (imports Starlette only when asked for)."""
    from .app import create_app as _create_app

    return _create_app(config, core)


def run_listener(config: ListenerConfig, **kwargs):  # noqa: ANN003, ANN201
    """Runs the listener in this process until Ctrl-C or SIGTERM; returns the exit code."""
    from .server import run_listener as _run

    return _run(config, **kwargs)
