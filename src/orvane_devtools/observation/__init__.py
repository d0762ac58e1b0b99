"""The observation layer: event intake, run records, queries and storage backends.

Submodules are imported on demand, e.g.
``from orvane_devtools.observation.TraceDesk import RuntimeTraceDesk``.
"""
