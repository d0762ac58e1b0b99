// Binding of the TraceDesk module: the outside names it calls and the class RuntimeTraceDesk, one
// registration function per area. Each method forwards to the function of its area that does
// the work (config, intake, feeds, resolver, run_queries, event_queries).
#include <nanobind/nanobind.h>

#include "config.hpp"
#include "desk.hpp"
#include "fastpaths.hpp"
#include "feeds.hpp"
#include "intake.hpp"
#include "orvane/support.hpp"
#include "shared_helpers.hpp"
#include "queries.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace orvane::desk {

namespace {

// The class namespace the areas fill; becomes RuntimeTraceDesk at the end of module init.
using Namespace = nb::dict;

nb::handle property_type() { return reinterpret_cast<PyObject *>(&PyProperty_Type); }
nb::handle staticmethod_type() { return reinterpret_cast<PyObject *>(&PyStaticMethod_Type); }

template <class F, class... Extra>
void method(Namespace &ns, const char *name, F &&f, const Extra &...extra) {
    ns[name] = nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), extra...);
}

// ---------------------------------------------------------------- outside names

// Exposes `attr` of `module_name` when it can be imported now; a module that is not available
// yet leaves the name to the module's __getattr__, which imports it on first use.
void try_expose(nb::module_ &m, const char *as, const char *module_name, const char *attr) {
    try {
        outside::expose(m, as, module_name, attr);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError))
            throw;
    }
}

// Module-level __getattr__: imports the lazily exposed names on first use and keeps them.
nb::object lazy_getattr(nb::module_ m, nb::str name) {
    struct Lazy {
        const char *as, *module, *attr;
    };
    static const Lazy lazy[] = {
        {"RunRecord", "orvane_devtools.observation.Tallybook", "RunRecord"},
        {"RunStatus", "orvane_devtools.observation.Tallybook", "RunStatus"},
        {"JSONLTraceSink", "orvane_devtools.observation.backends", "JSONLTraceSink"},
        {"OtlpTraceSink", "orvane_devtools.observation.backends", "OtlpTraceSink"},
    };
    for (const Lazy &l : lazy) {
        if (PyUnicode_CompareWithASCIIString(name.ptr(), l.as) == 0) {
            outside::expose(m, l.as, l.module, l.attr);
            return m.attr(l.as);
        }
    }
    PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", kModule, name.ptr());
    throw nb::python_error();
}

void init_outside_names(nb::module_ &m) {
    outside::expose(m, "time", "time");
    outside::expose(m, "asyncio", "asyncio");
    outside::expose(m, "warnings", "warnings");
    outside::expose(m, "re", "re");
    outside::expose(m, "create_observation_store", "orvane_devtools.observation.StoreBackend",
                    "create_observation_store");
    outside::expose(m, "RuntimeObservationSubscriptions",
                    "orvane_devtools.observation.subscriptions",
                    "RuntimeObservationSubscriptions");
    outside::expose(m, "RuntimeFlowRegistry", "orvane_devtools.observation.flow_registry",
                    "RuntimeFlowRegistry");
    outside::expose(m, "RuntimeLogService", "orvane_devtools.logs", "RuntimeLogService");
    outside::expose(m, "ObservationRunQuery", "orvane_devtools.observation.Query",
                    "ObservationRunQuery");
    outside::expose(m, "ObservationEventQuery", "orvane_devtools.observation.Query",
                    "ObservationEventQuery");
    outside::expose(m, "RunTreeNode", "orvane_devtools.observation.Query", "RunTreeNode");
    outside::expose(m, "matches_wavelane_event_type", "orvane_devtools._event_aliases",
                    "matches_wavelane_event_type");
    try_expose(m, "JSONLTraceSink", "orvane_devtools.observation.backends", "JSONLTraceSink");
    try_expose(m, "RunRecord", "orvane_devtools.observation.Tallybook", "RunRecord");
    try_expose(m, "RunStatus", "orvane_devtools.observation.Tallybook", "RunStatus");
}

// ---------------------------------------------------------------- configuration

void init_config(nb::module_ &m, Namespace &ns) {
    m.def("_coerce_int_setting", &coerce_int_setting, "value"_a.none(), "default"_a.none(),
          "Turn a raw setting value into an int: bool -> 0/1, int as is, float truncated, "
          "integer text parsed; anything else (and a value that is not finite or does not fit "
          "in 64 bits) gives ``default``.");
    nb::none none;
    method(ns, "__init__",
           [](nb::handle self, nb::handle settings, nb::handle run_store, nb::handle log_service,
              nb::handle backends) { init(self, settings, run_store, log_service, backends); },
           "settings"_a.none(), nb::kw_only(), "run_store"_a.none() = none,
           "log_service"_a.none() = none, "backends"_a.none() = none,
           "Build the facade from a settings object (anything with ``get(key, default)``).\n\n"
           "Keyword-only seams for a host that owns some of the parts itself (all default to "
           "None): ``run_store`` is used instead of the store factory's store; ``log_service`` "
           "instead of the one ``logs.enabled`` would build; ``backends`` (a list or tuple) are "
           "fed after the backends the settings ask for. ``reload`` keeps all three.");
    method(ns, "reload", [](nb::handle self) { reload(self); },
           "Rebuild the backend list and the log service from the settings; the backends and "
           "the log service given at construction are kept.");
    method(ns, "reset", [](nb::handle self) { reset(self); },
           "Empty the store, the channel buffer, the de-duplication window, the subscriptions "
           "and the flow registry.");
    method(ns, "_is_enabled", [](nb::handle self) { return is_enabled(self); },
           "The master switch ``observation.enabled``, read now.");
    ns["log_service"] = property_type()(
        nb::cpp_function([](nb::handle self) { return attr(self, names::a_log_service); },
                         nb::is_method(), nb::name("log_service")),
        nb::none(), nb::none(), "The log service, or None when ``logs.enabled`` is off.");
    ns["runtime_backend"] = property_type()(
        nb::cpp_function(
            [](nb::handle self) {
                return attr(attr(self, names::a_store), names::a_backend_name);
            },
            nb::is_method(), nb::name("runtime_backend")),
        nb::none(), nb::none(), "The run store's name for itself (its ``backend_name``).");
}

// ---------------------------------------------------------------- intake

void init_intake(nb::module_ &, Namespace &ns) {
    method(ns, "_remember_event_id",
           [](nb::handle self, nb::handle event_id) { return remember_event_id(self, event_id); },
           "event_id"_a.none(), "Remember an event id; False when it is already inside the window.");
    method(ns, "append_event",
           [](nb::handle self, nb::handle event) { return append_event(self, event); },
           "event"_a.none(),
           "Accept one event (coroutine): True when accepted, False when disabled or a "
           "duplicate. An event that fails before its publication leaves no trace.");
    method(ns, "append_stored_event",
           [](nb::handle self, nb::handle event) { return append_stored_event(self, event); },
           "event"_a.none(),
           "append_event (coroutine) for an event the log service already holds, handed over by "
           "a caller that stored it there itself: the event becomes the desk's own (no copy is "
           "made; the caller must not change it afterwards) and the log service is not called.");
    method(ns, "append_events",
           [](nb::handle self, nb::handle events) { return append_events(self, events); },
           "events"_a.none(),
           "Accept a list of events one after the other (coroutine); returns how many were "
           "accepted.");
    method(ns, "backend_failures", [](nb::handle self) { return backend_failures(self); },
           "A copy of ``_backend_failure_counts``: failed fan-out calls per backend since the "
           "last reload.");
    set_intake_originals(ns["_is_enabled"], ns["_remember_event_id"]);
}

// ---------------------------------------------------------------- subscriptions and channel

void init_subscriptions(nb::module_ &, Namespace &ns) {
    method(ns, "subscribe", &subscribe, "Register a live subscription (keyword-only arguments).");
    method(ns, "unsubscribe", [](nb::handle self, nb::handle sub) { unsubscribe(self, sub); },
           "subscription_or_id"_a.none(), "Remove a subscription given as object or id.");
    method(ns, "read_channel_buffer", [](nb::handle self) { return read_channel_buffer(self); },
           "Copies of the buffered events, oldest first.");
    method(ns, "drain_channel_buffer", [](nb::handle self) { return drain_channel_buffer(self); },
           "Copies of the buffered events, oldest first; the buffer is emptied.");
}

// ---------------------------------------------------------------- flows

void init_flows(nb::module_ &, Namespace &ns) {
    method(ns, "register_flow_definition", &register_flow_definition,
           "Register a flow definition (keyword-only arguments).");
    method(ns, "resolve_flow_definition", &resolve_flow_definition,
           "The registered flow definition, or None (keyword-only arguments).");
}

// ---------------------------------------------------------------- resolution

void init_resolution(nb::module_ &, Namespace &ns) {
    nb::none none;
    ns["_terminal_timestamp"] = staticmethod_type()(nb::cpp_function(
        [](nb::handle record) { return terminal_timestamp(record); },
        nb::name("_terminal_timestamp"), "record"_a.none(),
        "The moment ``record`` is taken to have ended: its ``devtools_stale_anchor_at`` meta "
        "entry when that is an int, else the first truthy of failed_at, completed_at, "
        "updated_at, else started_at."));
    method(ns, "_get_raw_run_record", &get_raw_run_record, "run_id"_a.none(),
           "The stored, unresolved record of ``run_id`` (from the log service when one is "
           "configured).");
    method(ns, "_find_terminal_ancestor",
           [](nb::handle self, nb::handle record, nb::handle now_ms, nb::handle cache,
              nb::handle resolving) {
               return find_terminal_ancestor(self, record, now_ms, cache, resolving);
           },
           "record"_a.none(), nb::kw_only(), "now_ms"_a.none(), "cache"_a.none(),
           "resolving"_a.none(),
           "The nearest ancestor of ``record`` whose resolved status is terminal, or None.");
    method(ns, "_resolve_run_record", &resolve_run_record, "record"_a.none(), nb::kw_only(),
           "now_ms"_a.none(), "cache"_a.none(), "resolving"_a.none(),
           "A resolved copy of ``record`` (stale and orphaned runs reported as failed), or None.");
    method(ns, "_resolve_run_records", &resolve_run_records, "records"_a.none(), nb::kw_only(),
           "status"_a.none() = none, "limit"_a.none() = none,
           "Resolves ``records`` in one batch, keeps those whose resolved status is ``status``, "
           "at most ``limit`` (0 or below: none).");
}

// ---------------------------------------------------------------- run queries

void init_run_queries(nb::module_ &, Namespace &ns) {
    nb::none none;
    run_filters::bind<nb::handle>(
        [](nb::handle self, const run_filters::Values &f) { return list_runs(self, f); },
        [&ns](auto &&fn, auto &&...filters) {
            method(ns, "list_runs", fn, filters...,
                   "Resolved run records from the run store; ``status`` and ``limit`` apply after "
                   "resolution.");
        });
    method(ns, "query_runs", &query_runs, "query"_a.none() = none, "kwargs"_a,
           "Answers an ObservationRunQuery (built from the keywords when ``query`` is None).");
    method(ns, "get_run", &get_run, "run_id"_a.none(), "The resolved record of one run, or None.");
    method(ns, "get_run_children", &get_run_children, "run_id"_a.none(),
           "The resolved child records of one run.");
    method(ns, "get_run_tree", &get_run_tree, "run_id"_a.none(),
           "The run and its whole subtree as RunTreeNode values (resolved in one batch), or None.");
}

// ---------------------------------------------------------------- event queries

void init_event_queries(nb::module_ &, Namespace &ns) {
    nb::none none;
    method(ns, "get_run_events", &get_run_events, "run_id"_a.none(), nb::kw_only(),
           "limit"_a.none() = none, "include_descendants"_a.none() = false,
           "The run store's events of one run (with its descendants' when asked).");
    method(ns, "get_recent_events", &get_recent_events, nb::kw_only(), "limit"_a.none() = none,
           "The run store's most recent events, oldest first.");
    method(ns, "get_event", &get_event, "event_id"_a.none(),
           "One event by id: the log service, then the run store, then the held recent events.");
    method(ns, "query_events", &query_events, "query"_a.none() = none, "kwargs"_a,
           "Answers an ObservationEventQuery (built from the keywords when ``query`` is None).");
    ns["_normalize_search_text"] = staticmethod_type()(nb::cpp_function(
        &normalize_search_text, nb::name("_normalize_search_text"), "value"_a.none(),
        "Search text of a value: None -> '', str -> casefold, else sorted-key JSON, "
        "casefolded."));
    method(ns, "_event_matches_search",
           [](nb::handle, nb::handle event, nb::handle search) {
               return event_matches_search(event, search);
           },
           "event"_a.none(), "search"_a.none(),
           "Whether the trimmed, case-folded ``search`` occurs in the event's text.");
    // The same test for a host that filters events of its own as query_events(search=...) does
    // (the listener's live streams).
    method(ns, "event_matches_search",
           [](nb::handle, nb::handle event, nb::handle search) {
               return event_matches_search(event, search);
           },
           "event"_a.none(), "search"_a.none(),
           "Whether ``event`` matches ``search`` as ``query_events(search=...)`` decides: the "
           "trimmed, case-folded needle occurs in the event's text.");
}

}  // namespace

}  // namespace orvane::desk

NB_MODULE(TraceDesk, m) {
    using namespace orvane::desk;
    orvane::init_support(m);
    m.doc() = "The observation facade: RuntimeTraceDesk and _coerce_int_setting.";
    init_outside_names(m);
    init_originals();

    Namespace ns;
    ns["__doc__"] = "The observation facade: event intake, subscriptions, flows and queries.";
    init_config(m, ns);
    init_intake(m, ns);
    init_subscriptions(m, ns);
    init_flows(m, ns);
    init_resolution(m, ns);
    init_run_queries(m, ns);
    init_event_queries(m, ns);
    ns["__module__"] = kModule;
    ns["__qualname__"] = "RuntimeTraceDesk";
    m.attr("RuntimeTraceDesk") = nb::handle(reinterpret_cast<PyObject *>(&PyType_Type))(
        "RuntimeTraceDesk", nb::make_tuple(), ns);

    // Last: nanobind looks names up while defining functions.
    m.def("__getattr__", [m](nb::str name) { return lazy_getattr(m, name); }, "name"_a);
}
