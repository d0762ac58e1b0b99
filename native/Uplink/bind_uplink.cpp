// Binding of the Uplink module: RemoteTraceSink (an abc subclass of RuntimeTraceSink whose
// methods are C++ functions) and ObservationBridgeUnavailableWarning.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cmath>

#include "orvane/support.hpp"
#include "sink.hpp"

namespace nb = nanobind;
using namespace orvane::uplink;
using orvane::outside::Name;

namespace {

constexpr const char *kModule = "orvane_devtools.observation.backends.Uplink";

Name n_m_enqueue{"_enqueue_events"};
Name n_m_ensure{"_ensure_background_flush"};
Name n_m_resolve{"_resolve_local_listener_target"};

// The view behind `_pending_events`: a deque-like window on the native queue. Like a deque it
// takes no lock itself; hold `_pending_lock` when other threads may append meanwhile.
struct PendingView {
    nb::object sink;
};

double float_arg(nb::handle value, const char *name) {
    if (PyFloat_Check(value.ptr()))
        return PyFloat_AS_DOUBLE(value.ptr());
    if (PyLong_Check(value.ptr()) ||
        (Py_TYPE(value.ptr())->tp_as_number && Py_TYPE(value.ptr())->tp_as_number->nb_float)) {
        double d = PyFloat_AsDouble(value.ptr());
        if (d == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        return d;
    }
    orvane::args::raise_incorrect_type(name, "float", value);
}

void init_sink(nb::handle self, nb::object endpoint, nb::object api_key, nb::object app_id,
               nb::object group_id, nb::object environment, nb::object timeout,
               nb::object buffer_limit, nb::object batch_size, nb::object interval) {
    orvane::args::require_str(endpoint, "endpoint");
    orvane::args::require_str(api_key, "api_key", true);
    orvane::args::require_str(app_id, "app_id");
    orvane::args::require_str(group_id, "group_id", true);
    orvane::args::require_str(environment, "environment");
    double timeout_s = float_arg(timeout, "timeout");
    int64_t limit = std::max<int64_t>(1, orvane::args::to_int64(buffer_limit, "buffer_limit"));
    int64_t batch = std::max<int64_t>(1, std::min(orvane::args::to_int64(batch_size, "batch_size"), limit));
    double interval_s = float_arg(interval, "background_flush_interval");

    nb::object holder = orvane::exporting::new_state(g_hooks);
    ExportState &st = orvane::exporting::state(holder);
    st.timeout = timeout_s;
    st.buffer_limit = limit;
    st.batch_size = batch;
    st.interval = interval_s > 0 ? interval_s : 0.0;

    auto set = [&](const char *name, nb::handle value) {
        if (PyObject_SetAttrString(self.ptr(), name, value.ptr()) < 0)
            throw nb::python_error();
    };
    set("_export_state", holder);
    set("endpoint", endpoint);
    set("api_key", api_key);
    set("app_id", PyUnicode_GET_LENGTH(app_id.ptr()) ? app_id : nb::str("default"));
    set("group_id", group_id);
    set("environment", environment);
    nb::object target = nb::borrow(self).attr(n_m_resolve.get())();
    set("_local_listener_target", target);
    set("_needs_local_probe", nb::bool_(!target.is_none()));
    orvane::exporting::register_exporter(self);
}

// append_event(s)_nowait: the native enqueue and wake-up unless a subclass or the instance
// replaced `_enqueue_events` / `_ensure_background_flush` (then those are called).
void append_nowait(nb::handle self, nb::handle arg, bool single) {
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr)
        throw nb::python_error();
    nb::object dict_ref = nb::steal(dict);
    auto own = [&](Name &name, PyObject *original) {
        if (_PyType_Lookup(Py_TYPE(self.ptr()), name.get()) != original)
            return false;
        int found = PyDict_Contains(dict, name.get());
        if (found < 0)
            throw nb::python_error();
        return found == 0;
    };
    bool own_enqueue = own(n_m_enqueue, g_fn_enqueue);
    bool own_ensure = own(n_m_ensure, g_fn_ensure);
    StateRef st = state_of(self);
    if (own_enqueue) {
        if (single)
            orvane::exporting::enqueue_one(self, *st.st, arg);
        else
            orvane::exporting::enqueue_many(self, *st.st, arg);
    } else {
        nb::object events = nb::borrow(arg);
        if (single) {
            nb::list one;
            one.append(arg);
            events = one;
        }
        nb::borrow(self).attr(n_m_enqueue.get())(events);
    }
    if (own_ensure)
        orvane::exporting::ensure_worker(self, *st.st);
    else
        nb::borrow(self).attr(n_m_ensure.get())();
}

template <typename F, typename... Extra>
nb::object def(const char *name, F &&f, const Extra &...extra) {
    return nb::cpp_function(std::forward<F>(f), nb::is_method(), nb::name(name), extra...);
}

nb::object property(nb::object fget, nb::object fset, const char *doc) {
    return nb::module_::import_("builtins").attr("property")(fget, fset, nb::none(), doc);
}

// The view's queue, re-read at every call (a fork or a setter may replace nothing but the
// entries, the state object itself stays).
ExportState &view_state(PendingView &v, StateRef &keep) {
    keep = state_of(v.sink);
    return *keep.st;
}

nb::list view_list(PendingView &v) {
    StateRef keep{};
    ExportState &st = view_state(v, keep);
    nb::list out;
    // Snapshots are built for captured entries first (that allocates, and may let other code
    // run); the list is then filled in one pass that runs no Python code.
    std::vector<nb::object> items;
    items.reserve(st.queue.size());
    st.queue.for_each([&](const QueueEntry &e) {
        items.push_back(nb::borrow(static_cast<PyObject *>(e.item)));
        return true;
    });
    std::vector<char> captured;
    st.queue.for_each([&](const QueueEntry &e) {
        captured.push_back(e.compact ? 1 : 0);
        return true;
    });
    for (size_t i = 0; i < items.size(); ++i) {
        if (i < captured.size() && captured[i])
            items[i] = capture_snapshot(items[i]);
        out.append(items[i]);
    }
    return out;
}

void view_replace(ExportState &st, nb::handle iterable) {
    nb::list items = nb::steal<nb::list>(PySequence_List(iterable.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    st.clear_queue();
    for (nb::handle item : items)
        orvane::exporting::push_item(st, item, false);
}

}  // namespace

NB_MODULE(Uplink, m) {
    orvane::init_support(m);
    init_globals();
    // Sinks whose worker started live until the process ends (their daemon thread holds them),
    // so instances left at interpreter shutdown are expected, not a reference-count fault.
    nb::set_leak_warnings(false);
    m.doc() = "The remote upload backend: RemoteTraceSink and ObservationBridgeUnavailableWarning.";

    using orvane::outside::expose;
    expose(m, "time", "time");
    expose(m, "asyncio", "asyncio");
    expose(m, "warnings", "warnings");
    expose(m, "threading", "threading");
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
    expose(m, "json", "json");
    expose(m, "logging", "logging");
    orvane::exporting::init(m, "_live_sinks");

    g_warning_category = PyErr_NewExceptionWithDoc(
        "orvane_devtools.observation.backends.Uplink.ObservationBridgeUnavailableWarning",
        "Issued once per outage when the DevTools listener cannot be reached.\n\n"
        "A RuntimeWarning subclass: events stay queued and upload retries with back-off.",
        PyExc_RuntimeWarning, nullptr);
    if (g_warning_category == nullptr)
        throw nb::python_error();
    m.attr("ObservationBridgeUnavailableWarning") = nb::handle(g_warning_category);

    g_set_aside_category = PyErr_NewExceptionWithDoc(
        "orvane_devtools.observation.backends.Uplink.ObservationBridgeEventSetAsideWarning",
        "Issued once per sink and reason when an event leaves the queue without being uploaded:\n"
        "it cannot be encoded, or the listener refuses it on its own (413, 400, 422).\n\n"
        "A RuntimeWarning subclass, apart from ObservationBridgeUnavailableWarning: it reports\n"
        "lost events, not an outage, and filtering one must not hide the other.",
        PyExc_RuntimeWarning, nullptr);
    if (g_set_aside_category == nullptr)
        throw nb::python_error();
    m.attr("ObservationBridgeEventSetAsideWarning") = nb::handle(g_set_aside_category);

    nb::class_<PendingView>(m, "_PendingEvents",
                            "Deque-like view of the pending snapshots, oldest first.")
        .def("__len__", [](PendingView &v) {
            StateRef keep{};
            return view_state(v, keep).queue.size();
        })
        .def("__bool__", [](PendingView &v) {
            StateRef keep{};
            return !view_state(v, keep).queue.empty();
        })
        .def("__iter__", [](PendingView &v) { return nb::iter(view_list(v)); })
        .def("__getitem__", [](PendingView &v, Py_ssize_t i) { return nb::object(view_list(v)[i]); })
        .def("__repr__", [](PendingView &v) {
            return nb::str("deque({!r})").format(view_list(v));
        })
        .def("__eq__", [](PendingView &v, nb::handle other) {
            nb::object mine = view_list(v);
            PyObject *theirs = PySequence_List(other.ptr());
            if (theirs == nullptr) {
                PyErr_Clear();
                return false;
            }
            return mine.equal(nb::steal(theirs));
        })
        .def("append", [](PendingView &v, nb::handle item) {
            StateRef keep{};
            orvane::exporting::push_item(view_state(v, keep), item, false);
        })
        .def("appendleft", [](PendingView &v, nb::handle item) {
            StateRef keep{};
            orvane::exporting::push_item(view_state(v, keep), item, true);
        })
        .def("extend", [](PendingView &v, nb::handle items) {
            StateRef keep{};
            ExportState &st = view_state(v, keep);
            nb::list list = nb::steal<nb::list>(PySequence_List(items.ptr()));
            if (!list.is_valid())
                throw nb::python_error();
            for (nb::handle item : list)
                orvane::exporting::push_item(st, item, false);
        })
        .def("popleft", [](PendingView &v) {
            StateRef keep{};
            auto e = view_state(v, keep).queue.pop_front();
            if (!e)
                throw nb::index_error("pop from an empty deque");
            nb::object item = nb::steal(static_cast<PyObject *>(e->item));
            return item_snapshot(item, e->compact);
        })
        .def("pop", [](PendingView &v) {
            StateRef keep{};
            auto e = view_state(v, keep).queue.pop_back();
            if (!e)
                throw nb::index_error("pop from an empty deque");
            nb::object item = nb::steal(static_cast<PyObject *>(e->item));
            return item_snapshot(item, e->compact);
        })
        .def("clear", [](PendingView &v) {
            StateRef keep{};
            view_state(v, keep).clear_queue();
        })
        .def("remove", [](PendingView &v, nb::handle value) {
            StateRef keep{};
            ExportState &st = view_state(v, keep);
            nb::list items = view_list(v);
            Py_ssize_t n = PyList_GET_SIZE(items.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                int eq = PyObject_RichCompareBool(PyList_GET_ITEM(items.ptr(), i), value.ptr(), Py_EQ);
                if (eq < 0)
                    throw nb::python_error();
                if (eq) {
                    if (PySequence_DelItem(items.ptr(), i) < 0)
                        throw nb::python_error();
                    view_replace(st, items);
                    return;
                }
            }
            throw nb::value_error("deque.remove(x): x not in deque");
        });

    nb::dict ns;
    ns["__doc__"] =
        "Backend that uploads events in batches over HTTP to a DevTools listener.\n\n"
        "Events are snapshotted into a bounded in-memory queue (overflow drops high-frequency\n"
        "events first) and uploaded by a background daemon thread, or by ``append_events`` /\n"
        "``flush``. Unreachable listeners cause exponential back-off (1 s doubling to 30 s) and\n"
        "one ObservationBridgeUnavailableWarning per outage; upload failures never raise.";
    ns["name"] = "remote";

    ns["__init__"] = def(
        "__init__",
        [](nb::handle self, nb::object endpoint, nb::object api_key, nb::object app_id,
           nb::object group_id, nb::object environment, nb::object timeout, nb::object buffer_limit,
           nb::object batch_size, nb::object interval) {
            init_sink(self, endpoint, api_key, app_id, group_id, environment, timeout, buffer_limit,
                      batch_size, interval);
        },
        nb::kw_only(), nb::arg("endpoint").none(), nb::arg("api_key").none(),
        nb::arg("app_id").none() = "default", nb::arg("group_id").none() = nb::none(),
        nb::arg("environment").none() = "local", nb::arg("timeout").none() = 5.0,
        nb::arg("buffer_limit").none() = 1200, nb::arg("batch_size").none() = 200,
        nb::arg("background_flush_interval").none() = 0.25);

    nb::object staticmethod = nb::module_::import_("builtins").attr("staticmethod");
    ns["_snapshot_run_context"] = staticmethod(nb::cpp_function(
        [](nb::handle run) { return snapshot_run_context(run); }, nb::name("_snapshot_run_context"),
        nb::arg("run").none(), "Copy of a run context with its own meta mapping (None for None)."));
    ns["_snapshot_event"] = staticmethod(nb::cpp_function(
        [](nb::handle event) { return snapshot_event(event); }, nb::name("_snapshot_event"),
        nb::arg("event").none(), "Shallow copy of an event with its own payload, run and meta mappings."));
    ns["_is_terminal_or_result_event"] = staticmethod(nb::cpp_function(
        [](nb::handle event) { return is_terminal_or_result_event(event); },
        nb::name("_is_terminal_or_result_event"), nb::arg("event").none()));
    ns["_is_preferred_drop_event"] = staticmethod(nb::cpp_function(
        [](nb::handle event) { return is_preferred_drop_event(event); },
        nb::name("_is_preferred_drop_event"), nb::arg("event").none()));

    ns["_drop_one_pending_event_locked"] = def(
        "_drop_one_pending_event_locked",
        [](nb::handle self) { orvane::exporting::drop_one_locked(*state_of(self).st); },
        "Drop one queued event by the drop rule; the caller holds ``_pending_lock``.");
    nb::object enqueue = def(
        "_enqueue_events",
        [](nb::handle self, nb::handle events) { orvane::exporting::enqueue_many(self, *state_of(self).st, events); },
        nb::arg("events").none());
    g_fn_enqueue = enqueue.ptr();
    Py_INCREF(g_fn_enqueue);
    ns["_enqueue_events"] = enqueue;
    g_fn_has_pending = def("_has_pending_events",
                           [](nb::handle self) { return orvane::exporting::has_pending(*state_of(self).st); })
                           .release().ptr();
    ns["_has_pending_events"] = nb::handle(g_fn_has_pending);
    nb::object peek = def(
        "_peek_pending_batch", [](nb::handle self) { return peek_batch(*state_of(self).st); });
    g_fn_peek = peek.ptr();
    Py_INCREF(g_fn_peek);
    ns["_peek_pending_batch"] = peek;
    g_fn_drop_uploaded = def(
        "_drop_uploaded_batch",
        [](nb::handle self, nb::handle ids) { drop_uploaded(*state_of(self).st, ids); },
        nb::arg("batch_event_ids").none()).release().ptr();
    ns["_drop_uploaded_batch"] = nb::handle(g_fn_drop_uploaded);
    ns["get_stats"] = def("get_stats", [](nb::handle self) { return get_stats(self); },
                          "Upload statistics (a new dict; the API key is never reported).");

    ns["append_events"] = def(
        "append_events", [](nb::handle self, nb::handle events) { return append_events_async(self, events); },
        nb::arg("events").none(), "Queue the events and upload the queue in a worker thread.");
    ns["flush"] = def("flush", [](nb::handle self) { return flush_async(self); },
                      "Upload everything pending now, ignoring back-off.");
    ns["_flush_pending_events"] = def(
        "_flush_pending_events",
        [](nb::handle self, bool drain, bool force) { return flush_pending_events(self, drain, force); },
        nb::kw_only(), nb::arg("drain") = true, nb::arg("force") = false);
    g_fn_mark_available = def("_mark_available", [](nb::handle self) { mark_available(self); }).release().ptr();
    ns["_mark_available"] = nb::handle(g_fn_mark_available);
    g_fn_mark_unavailable = def(
        "_mark_unavailable", [](nb::handle self, nb::handle error) { mark_unavailable(self, error); },
        nb::arg("error").none() = nb::none()).release().ptr();
    ns["_mark_unavailable"] = nb::handle(g_fn_mark_unavailable);
    ns["_build_warning_message"] = def(
        "_build_warning_message",
        [](nb::handle self, nb::handle error) { return build_warning_message(self, error); },
        nb::arg("error").none() = nb::none());
    nb::object serialize = def(
        "_serialize_event", [](nb::handle self, nb::handle event) { return serialize_event(self, event); },
        nb::arg("event").none());
    g_fn_serialize = serialize.ptr();
    Py_INCREF(g_fn_serialize);
    ns["_serialize_event"] = serialize;

    ns["_encode_batch_natively"] = def(
        "_encode_batch_natively",
        [](nb::handle self, nb::handle batch) -> nb::object {
            nb::object body = encode_batch_natively(self, batch);
            return body.is_valid() ? body : nb::none();
        },
        nb::arg("batch").none(),
        "The upload body for `batch` (a list of queued snapshots) as the native encoder writes it, "
        "or None when the batch takes the Python path.");

    ns["append_event_nowait"] = def(
        "append_event_nowait",
        [](nb::handle self, nb::handle event) { append_nowait(self, event, true); },
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
    nb::object ensure = def("_ensure_background_flush",
                            [](nb::handle self) { return orvane::exporting::ensure_worker(self, *state_of(self).st); });
    g_fn_ensure = ensure.ptr();
    Py_INCREF(g_fn_ensure);
    ns["_ensure_background_flush"] = ensure;
    ns["_run_flush_sync"] = def(
        "_run_flush_sync",
        [](nb::handle self, bool drain, bool force) {
            orvane::exporting::run_flush_sync(self, drain, force);
        },
        nb::kw_only(), nb::arg("drain") = true, nb::arg("force") = false);
    ns["_resolve_local_listener_target"] = def(
        "_resolve_local_listener_target", [](nb::handle self) { return resolve_local_listener_target(self); });
    ns["_probe_local_listener"] = def("_probe_local_listener",
                                      [](nb::handle self) { return probe_local_listener(self); });
    ns["_background_flush_worker"] = def(
        "_background_flush_worker", [](nb::handle self) { orvane::exporting::worker_main(self); });
    ns["_exit_flush"] = def(
        "_exit_flush", [](nb::handle self) { orvane::exporting::exit_flush(self); },
        "One forced flush bounded by ``timeout``; what stays queued is counted as unsent.");

    ns["_pending_events"] = property(
        nb::cpp_function([](nb::handle self) {
            state_of(self);
            return nb::cast(PendingView{nb::borrow(self)});
        }),
        nb::cpp_function([](nb::handle self, nb::handle value) { view_replace(*state_of(self).st, value); }, nb::arg("self"), nb::arg("value").none()),
        "Pending event snapshots, oldest first (guarded by ``_pending_lock``).");
    orvane::exporting::add_state_properties(ns);

    nb::object base = m.attr("RuntimeTraceSink");
    m.attr("RemoteTraceSink") = orvane::abc::make_class(
        kModule, "RemoteTraceSink", nb::steal<nb::tuple>(PyTuple_Pack(1, base.ptr())), ns);

}
