"""Type stubs of the Ingest extension module: the listener's native ingest code."""

from typing import Any

from orvane.utils import DataFormatter
from orvane_devtools._orvane_compat import RuntimeEvent, RuntimeRunContext

def _read_upload_body(
    body: bytes, layout: tuple[type[RuntimeEvent], tuple[tuple[str, int, Any], ...],
                               type[RuntimeRunContext], tuple[tuple[str, int, Any], ...]]
) -> tuple[dict[str, Any], list[RuntimeEvent | None], int] | None:
    """The listener's native reading of an upload body: (the parsed body, per item the event
    built without validation or None where validation and masking must decide, how many are
    None); None when the whole body needs the Python roads (not strict JSON, NaN, a lone
    surrogate, a sanitizer other than the original ``DataFormatter.sanitize``, ...). ``layout`` is
    what ``orvane_devtools.listener.decode._native_layout`` gives."""

def _decode_otlp_traces(body: bytes, max_items: int | None = None,
                        max_parts: int | None = None) -> list[dict[str, Any]]:
    """The spans of an OTLP ExportTraceServiceRequest (protobuf bytes), one plain dict each, in
    the shape ``listener.otlp.json_body.decode_json_traces`` gives; ValueError naming where a
    body is not such a request. At most ``max_items`` spans, span events and span links (each
    counted on its own) and ``max_parts`` attributes and other parts (None: no bound): over one,
    reading stops with ``listener.otlp.body.TooManyItems``."""

def _decode_otlp_logs(body: bytes, max_items: int | None = None,
                      max_parts: int | None = None) -> list[dict[str, Any]]:
    """The log records of an OTLP ExportLogsServiceRequest (protobuf bytes), one plain dict each,
    in the shape ``listener.otlp.json_body.decode_json_logs`` gives; ValueError naming where a
    body is not such a request. At most ``max_items`` log records and ``max_parts`` parts (None:
    no bound): over one, reading stops with ``listener.otlp.body.TooManyItems``."""
