"""Trace files: JSON Lines files of events read back into a listener's database, and run trees
written out as such files.

* ``lines``: a file (plain or gzip, or standard input) read line by line in bounded memory;
* ``formats``: what each line is (an event, an OTLP JSON request, blank, or bad, and why);
* ``batches``: lines gathered into batches and decoded as the listener decodes an upload;
* ``otlp``: OTLP JSON lines read and stored as the listener's OTLP receiver reads and stores them;
* ``importer``: the import into a database file or a running listener, with its summary;
* ``export``: a run tree written as JSON Lines or OTLP JSON lines, page by page;
* ``cli``: ``orvane-devtools import`` and ``orvane-devtools open``.
"""

from __future__ import annotations

from .batches import BadLine, DecodedLines, LineBatch, decode_body_lines, decode_lines, gather
from .formats import recognise
from .lines import Line, SourceError, TraceSource
from .otlp import NOT_KEPT, read_line, store_lines

__all__ = [
    "NOT_KEPT",
    "BadLine",
    "DecodedLines",
    "Line",
    "LineBatch",
    "SourceError",
    "TraceSource",
    "decode_body_lines",
    "decode_lines",
    "gather",
    "read_line",
    "recognise",
    "store_lines",
]
