// Binding of the Uplink module: RemoteTraceSink (an abc subclass of RuntimeTraceSink whose
// methods are C++ functions), its warning categories and helper types. One registration
// function per area; the machinery lives beside it (sink_intake.cpp, sink_queue.cpp,
// sink_upload.cpp, pending_view.cpp, body_json.cpp, and the shared export queue in
// native/support).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "orvane/support.hpp"
#include "sink.hpp"

namespace nb = nanobind;
using namespace orvane::uplink;

namespace {

constexpr const char *kModule = "orvane_devtools.observation.backends.Uplink";

// A method for a class namespace: a C++ function that binds `self`.
template <typename F, typename... Extra> nb::object def(const char *name, F &&f, const Extra &...extra) {
    return nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), extra...);
}

// The same, remembered in `original` (kept for the process) so that the native paths can tell
// whether a subclass or an instance replaced it.
template <typename F, typename... Extra>
void def_own(nb::dict &ns, PyObject *&original, const char *name, F &&f, const Extra &...extra) {
    nb::object fn = def(name, std::forward<F>(f), extra...);
    original = nb::object(fn).release().ptr();
    ns[name] = fn;
}

nb::object staticmethod(nb::object fn) { return nb::module_::import_("builtins").attr("staticmethod")(fn); }

// Outside names, read at call time through the module (tests replace them).
void init_outside_names(nb::module_ &m) {
    using orvane::outside::expose;
    expose(m, "time", "time");
    expose(m, "asyncio", "asyncio");
    expose(m, "warnings", "warnings");
    expose(m, "threading", "threading");
    expose(m, "json", "json");
    expose(m, "logging", "logging");
    expose(m, "urlparse", "urllib.parse", "urlparse");
    expose(m, "LazyImport", "orvane.utils", "LazyImport");
    expose(m, "DataFormatter", "orvane.utils", "DataFormatter");
    expose(m, "RuntimeTraceSink", "orvane_devtools.observation.TraceSink", "RuntimeTraceSink");
    try {
        expose(m, "httpx", "httpx");
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ImportError))
            throw;
        m.attr("httpx") = nb::none();  // LazyImport reports the missing package at first use
    }
}

PyObject *new_warning(nb::module_ &m, const char *name, const char *doc) {
    std::string qualified = std::string(kModule) + "." + name;
    PyObject *category = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, PyExc_RuntimeWarning, nullptr);
    if (category == nullptr)
        throw nb::python_error();
    m.attr(name) = nb::handle(category);
    return category;
}

void init_warnings(nb::module_ &m) {
    g_warning_category = new_warning(
        m, "ObservationBridgeUnavailableWarning",
        "Issued once per outage when the DevTools listener cannot be reached.\n\n"
        "A RuntimeWarning subclass: events stay queued and upload retries with back-off.");
    g_set_aside_category = new_warning(
        m, "ObservationBridgeEventSetAsideWarning",
        "Issued once per sink and reason when an event leaves the queue without being uploaded:\n"
        "it cannot be encoded, or the listener refuses it on its own (413, 400, 422).\n\n"
        "A RuntimeWarning subclass, apart from ObservationBridgeUnavailableWarning: it reports\n"
        "lost events, not an outage, and filtering one must not hide the other.");
}

// --- RemoteTraceSink, area by area ----------------------------------------------------------

void add_construction(nb::dict &ns) {
    ns["__doc__"] =
        "Backend that uploads events in batches over HTTP to a DevTools listener.\n\n"
        "Events are snapshotted into a bounded in-memory queue (overflow drops high-frequency\n"
        "events first) and uploaded by a background daemon thread, or by ``append_events`` /\n"
        "``flush``. Unreachable listeners cause exponential back-off (1 s doubling to 30 s, or as\n"
        "Retry-After asks) and one ObservationBridgeUnavailableWarning per outage; upload failures\n"
        "never raise. Events that cannot be encoded or that the listener refuses one by one are\n"
        "set aside and counted.";
    ns["name"] = "remote";
    ns["__init__"] = def(
        "__init__",
        [](nb::handle self, nb::object endpoint, nb::object api_key, nb::object app_id, nb::object group_id,
           nb::object environment, nb::object timeout, nb::object buffer_limit, nb::object batch_size,
           nb::object interval) {
            init_sink(self, endpoint, api_key, app_id, group_id, environment, timeout, buffer_limit, batch_size,
                      interval);
        },
        nb::kw_only(), nb::arg("endpoint").none(), nb::arg("api_key").none(), nb::arg("app_id").none() = "default",
        nb::arg("group_id").none() = nb::none(), nb::arg("environment").none() = "local",
        nb::arg("timeout").none() = 5.0, nb::arg("buffer_limit").none() = 1200, nb::arg("batch_size").none() = 200,
        nb::arg("background_flush_interval").none() = 0.25);
}

void add_queue_methods(nb::dict &ns) {
    ns["_snapshot_run_context"] = staticmethod(nb::cpp_function(
        [](nb::handle run) { return snapshot_run_context(run); }, nb::name("_snapshot_run_context"),
        nb::arg("run").none(), "Copy of a run context with its own meta mapping (None for None)."));
    ns["_snapshot_event"] = staticmethod(nb::cpp_function(
        [](nb::handle event) { return snapshot_event(event); }, nb::name("_snapshot_event"), nb::arg("event").none(),
        "Shallow copy of an event with its own payload, run and meta mappings."));
    ns["_is_terminal_or_result_event"] = staticmethod(nb::cpp_function(
        [](nb::handle event) { return is_terminal_or_result_event(event); },
        nb::name("_is_terminal_or_result_event"), nb::arg("event").none()));
    ns["_is_preferred_drop_event"] = staticmethod(
        nb::cpp_function([](nb::handle event) { return is_preferred_drop_event(event); },
                         nb::name("_is_preferred_drop_event"), nb::arg("event").none()));
    ns["_drop_one_pending_event_locked"] = def(
        "_drop_one_pending_event_locked",
        [](nb::handle self) { orvane::exporting::drop_one_locked(*state_of(self).st); },
        "Drop one queued event by the drop rule; the caller holds ``_pending_lock``.");
    def_own(
        ns, g_fn_enqueue, "_enqueue_events",
        [](nb::handle self, nb::handle events) { orvane::exporting::enqueue_many(self, *state_of(self).st, events); },
        nb::arg("events").none());
    def_own(ns, g_fn_has_pending, "_has_pending_events",
            [](nb::handle self) { return orvane::exporting::has_pending(*state_of(self).st); });
    def_own(ns, g_fn_peek, "_peek_pending_batch", [](nb::handle self) { return peek_batch(*state_of(self).st); });
    def_own(
        ns, g_fn_drop_uploaded, "_drop_uploaded_batch",
        [](nb::handle self, nb::handle ids) { drop_uploaded(*state_of(self).st, ids); },
        nb::arg("batch_event_ids").none());
    ns["get_stats"] = def("get_stats", [](nb::handle self) { return get_stats(self); },
                          "Upload statistics (a new dict; the API key is never reported).");
    ns["_pending_events"] = pending_events_property();
}

void add_upload_methods(nb::dict &ns) {
    ns["append_events"] = def(
        "append_events", [](nb::handle self, nb::handle events) { return append_events_async(self, events); },
        nb::arg("events").none(), "Queue the events and upload the queue in a worker thread.");
    ns["flush"] = def("flush", [](nb::handle self) { return flush_async(self); },
                      "Upload everything pending now, ignoring back-off.");
    ns["_flush_pending_events"] = def(
        "_flush_pending_events",
        [](nb::handle self, bool drain, bool force) { return flush_pending_events(self, drain, force); },
        nb::kw_only(), nb::arg("drain") = true, nb::arg("force") = false);
    def_own(ns, g_fn_mark_available, "_mark_available", [](nb::handle self) { mark_available(self); });
    def_own(
        ns, g_fn_mark_unavailable, "_mark_unavailable",
        [](nb::handle self, nb::handle error) { mark_unavailable(self, error); },
        nb::arg("error").none() = nb::none());
    ns["_build_warning_message"] = def(
        "_build_warning_message", [](nb::handle self, nb::handle error) { return build_warning_message(self, error); },
        nb::arg("error").none() = nb::none());
    def_own(
        ns, g_fn_serialize, "_serialize_event",
        [](nb::handle self, nb::handle event) { return serialize_event(self, event); }, nb::arg("event").none());
    ns["_encode_batch_natively"] = def(
        "_encode_batch_natively",
        [](nb::handle self, nb::handle batch) -> nb::object {
            nb::object body = encode_batch_natively(self, batch);
            return body.is_valid() ? body : nb::none();
        },
        nb::arg("batch").none(),
        "The upload body for `batch` (a list of queued snapshots) as the native encoder writes it, "
        "or None when the batch takes the Python path.");
}

void add_worker_methods(nb::dict &ns) {
    ns["append_event_nowait"] = def(
        "append_event_nowait", [](nb::handle self, nb::handle event) { append_nowait(self, event, true); },
        nb::arg("event").none(), "Queue one event and wake the background worker; never waits for I/O.");
    ns["append_events_nowait"] = def(
        "append_events_nowait",
        [](nb::handle self, nb::handle events) {
            Py_ssize_t n = PyObject_Length(events.ptr());
            if (n < 0) {
                PyErr_Clear();
                orvane::args::raise_incorrect_type("events", "list", events);
            }
            if (n == 0)
                return;
            append_nowait(self, events, false);
        },
        nb::arg("events").none(), "Queue the events and wake the background worker; never waits for I/O.");
    def_own(ns, g_fn_ensure, "_ensure_background_flush",
            [](nb::handle self) { return orvane::exporting::ensure_worker(self, *state_of(self).st); });
    ns["_run_flush_sync"] = def(
        "_run_flush_sync",
        [](nb::handle self, bool drain, bool force) { orvane::exporting::run_flush_sync(self, drain, force); },
        nb::kw_only(), nb::arg("drain") = true, nb::arg("force") = false);
    ns["_resolve_local_listener_target"] = def(
        "_resolve_local_listener_target", [](nb::handle self) { return resolve_local_listener_target(self); });
    ns["_probe_local_listener"] = def("_probe_local_listener",
                                      [](nb::handle self) { return probe_local_listener(self); });
    ns["_background_flush_worker"] = def("_background_flush_worker",
                                         [](nb::handle self) { orvane::exporting::worker_main(self); });
    ns["_exit_flush"] = def(
        "_exit_flush", [](nb::handle self) { orvane::exporting::exit_flush(self); },
        "One forced flush bounded by ``timeout``; what stays queued is counted as unsent.");
}

void init_remote_trace_sink(nb::module_ &m) {
    nb::dict ns;
    add_construction(ns);
    add_queue_methods(ns);
    add_upload_methods(ns);
    add_worker_methods(ns);
    orvane::exporting::add_state_properties(ns);
    nb::object base = m.attr("RuntimeTraceSink");
    m.attr("RemoteTraceSink") =
        orvane::abc::make_class(kModule, "RemoteTraceSink", nb::steal<nb::tuple>(PyTuple_Pack(1, base.ptr())), ns);
}

}  // namespace

NB_MODULE(Uplink, m) {
    orvane::init_support(m);
    // Sinks whose worker started live until the process ends (their daemon thread holds them),
    // so instances left at interpreter shutdown are expected, not a reference-count fault.
    nb::set_leak_warnings(false);
    m.doc() = "The remote upload backend: RemoteTraceSink and ObservationBridgeUnavailableWarning.";

    init_outside_names(m);
    init_globals();
    init_capture_type(m);
    orvane::exporting::init(m, "_live_sinks");  // export state, wake events, exit and fork hooks
    init_warnings(m);
    init_pending_view(m);
    init_remote_trace_sink(m);
}
