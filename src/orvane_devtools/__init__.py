"""Developer tools for orvane agents: the observation layer.

The compiled subsystems live in :mod:`orvane_devtools.observation`:

* ``TraceSink`` -- ``RuntimeTraceSink``, the abstract base of storage backends;
* ``Tallybook`` -- ``RuntimeTallybook``, the in-memory run store (``RunRecord``, ``RunStatus``);
* ``TraceDesk`` -- ``RuntimeTraceDesk``, the facade the host talks to;
* ``backends.Linefile`` -- ``JSONLTraceSink``, the JSON Lines file backend;
* ``backends.Uplink`` -- ``RemoteTraceSink``, the HTTP upload backend.

Two more serve the packages they sit in: :mod:`orvane_devtools.logs.Logbook`, the log service's
native half (event preparation, the writer's rows, models from stored JSON), and
:mod:`orvane_devtools.listener.Ingest`, the listener's native reader of upload bodies.
"""

__version__ = "0.1.0"
