"""Storage backends that receive a copy of every accepted event.

``JSONLTraceSink`` appends each event as one JSON line to a file; ``RemoteTraceSink``
(``orvane_devtools.observation.backends.Uplink``) uploads batches to a DevTools listener.
"""

from .Linefile import JSONLTraceSink

__all__ = ["JSONLTraceSink"]
