"""Storage backends that receive a copy of every accepted event.

``JSONLTraceSink`` appends each event as one JSON line to a file; ``RemoteTraceSink``
(``orvane_devtools.observation.backends.Uplink``) uploads batches to a DevTools listener;
``OtlpTraceSink`` (``orvane_devtools.observation.backends.Otlp``) exports runs as OpenTelemetry
spans over OTLP/HTTP. ``OtlpTraceSink`` is imported on first use, so that hosts that do not
export to OpenTelemetry do not load its HTTP client.
"""

from typing import TYPE_CHECKING, Any

from .Linefile import JSONLTraceSink

if TYPE_CHECKING:
    from .Otlp import OtlpTraceSink

__all__ = ["JSONLTraceSink", "OtlpTraceSink"]


def __getattr__(name: str) -> Any:
    if name == "OtlpTraceSink":
        from .Otlp import OtlpTraceSink

        globals()["OtlpTraceSink"] = OtlpTraceSink
        return OtlpTraceSink
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
