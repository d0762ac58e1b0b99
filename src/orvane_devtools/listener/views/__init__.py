"""The listener's endpoints, one module per resource, each a module-level function of a request.

Every endpoint reads the listener's shared state from the request (``state.of``); queries run on
the reader thread and answer with ``responses.JSONAnswer``.

* ``page``: the web page, its icon and ``/healthz`` (public);
* ``ingest``: ``POST /ingest``;
* ``runs``: ``/runs``, ``/runs/{id}``, its children, tree and events;
* ``events``: ``/events`` and ``/events/{id}``;
* ``live``: ``/stream`` and ``/stats``;
* ``otlp``: the OTLP/HTTP receiver, ``POST /v1/traces``, ``/v1/logs``, ``/v1/metrics``;
* ``sessions``: ``/sessions``, ``/sessions/{id}`` and ``/usage``;
* ``tracefiles``: ``POST /import`` (JSON Lines) and ``/runs/{id}/export``;
* ``errors``: the answers to a bad parameter, an unknown route and a wrong method.
"""
