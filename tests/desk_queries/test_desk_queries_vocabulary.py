"""The fifteen run filters are one vocabulary: the facade's list_runs signature, its stub, the
query model's fields, and the keywords the facade passes to the run store and the log service
list the same names in the same order."""

from __future__ import annotations

import ast
import pathlib
import re

from orvane_devtools.observation import TraceDesk
from orvane_devtools.observation.Query import ObservationRunQuery

FIELDS = list(ObservationRunQuery.model_fields)


def signature_names(fn):
    text = fn.__nb_signature__[0][0]
    return re.findall(r"(\w+): ", text.split("*,", 1)[1])


def stub_names(method):
    stub = pathlib.Path(TraceDesk.__file__).with_name("TraceDesk.pyi")
    tree = ast.parse(stub.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "RuntimeTraceDesk")
    fn = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == method)
    return [a.arg for a in fn.args.kwonlyargs]


def test_one_vocabulary(make_desk, clock):
    assert len(FIELDS) == 15
    assert signature_names(TraceDesk.RuntimeTraceDesk.list_runs) == FIELDS
    assert stub_names("list_runs") == FIELDS

    calls = []

    class Store:
        def list_runs(self, **kw):
            calls.append(("store", list(kw)))
            return []

    class LogService:
        def query_runs(self, **kw):
            calls.append(("log", list(kw)))
            return []

    desk = make_desk()
    desk._run_store = Store()
    desk.list_runs()
    desk._log_service = LogService()
    desk.query_runs()
    assert calls == [("store", [f for f in FIELDS if f != "status"]), ("log", FIELDS)]


def test_the_listeners_filters_are_the_query_models_fields():
    # The listener's /runs, /events and /stream offer exactly the filters the desk's queries
    # take (the route bounds ``limit`` itself), each read by its type.
    from orvane_devtools.listener.params import EVENT_FILTERS, RUN_FILTERS
    from orvane_devtools.observation.Query import ObservationEventQuery

    assert list(RUN_FILTERS) == [f for f in FIELDS if f != "limit"]
    assert list(EVENT_FILTERS) == [f for f in ObservationEventQuery.model_fields if f != "limit"]
    assert RUN_FILTERS["status"] == "status" and RUN_FILTERS["app_id_pattern"] == "pattern"
    assert RUN_FILTERS["since"] == RUN_FILTERS["until"] == "integer"
    assert EVENT_FILTERS["include_descendants"] == "boolean"
    assert EVENT_FILTERS["event_types"] == "event_types"
