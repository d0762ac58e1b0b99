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

PyObject *g_state_type = nullptr;   // _SinkState
PyObject *g_fn_enqueue = nullptr;   // RemoteTraceSink._enqueue_events as defined here
PyObject *g_fn_ensure = nullptr;    // RemoteTraceSink._ensure_background_flush as defined here

Name n_state{"_uplink_state"};
Name n_live{"_live_sinks"};
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

    nb::object holder = nb::handle(g_state_type)();
    SinkState *st = nb::inst_ptr<SinkState>(holder);
    nb::object threading = orvane::outside::get("threading");
    st->new_locks();
    st->worker_event = threading.attr("Event")();

    auto set = [&](const char *name, nb::handle value) {
        if (PyObject_SetAttrString(self.ptr(), name, value.ptr()) < 0)
            throw nb::python_error();
    };
    set("_uplink_state", holder);
    set("endpoint", endpoint);
    set("api_key", api_key);
    set("app_id", PyUnicode_GET_LENGTH(app_id.ptr()) ? app_id : nb::str("default"));
    set("group_id", group_id);
    set("environment", environment);
    set("timeout", nb::float_(timeout_s));
    set("_buffer_limit", nb::int_(limit));
    set("_batch_size", nb::int_(batch));
    set("_background_flush_interval", nb::float_(interval_s > 0 ? interval_s : 0.0));
    set("_retry_delay_seconds", nb::float_(1.0));
    set("_max_retry_delay_seconds", nb::float_(30.0));
    set("_next_retry_at", nb::float_(0.0));
    set("_failure_count", nb::int_(0));
    set("_has_warned_unavailable", nb::bool_(false));
    nb::object target = nb::borrow(self).attr(n_m_resolve.get())();
    set("_local_listener_target", target);
    set("_needs_local_probe", nb::bool_(!target.is_none()));
    orvane::outside::get(n_live).attr("add")(self);
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
            enqueue_one(self, *st.st, arg);
        else
            enqueue_events(self, *st.st, arg);
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
        ensure_background_flush(self, *st.st);
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

nb::object counter_property(int64_t SinkState::*member, const char *doc) {
    return property(
        nb::cpp_function([member](nb::handle self) -> int64_t { return state_of(self).st->*member; }),
        nb::cpp_function([member](nb::handle self, nb::handle value) {
            int64_t v = orvane::args::to_int64(value, "value");
            state_of(self).st->*member = v;
        }, nb::arg("self"), nb::arg("value").none()),
        doc);
}

nb::object object_property(nb::object SinkState::*member, const char *doc) {
    return property(
        nb::cpp_function([member](nb::handle self) -> nb::object { return state_of(self).st->*member; }),
        nb::cpp_function([member](nb::handle self, nb::handle value) {
            state_of(self).st->*member = nb::borrow(value);
        }, nb::arg("self"), nb::arg("value").none()),
        doc);
}

// The view's queue, re-read at every call (a fork or a setter may replace nothing but the
// entries, the state object itself stays).
SinkState &view_state(PendingView &v, StateRef &keep) {
    keep = state_of(v.sink);
    return *keep.st;
}

nb::list view_list(PendingView &v) {
    StateRef keep{};
    SinkState &st = view_state(v, keep);
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
        captured.push_back(e.captured ? 1 : 0);
        return true;
    });
    for (size_t i = 0; i < items.size(); ++i) {
        if (i < captured.size() && captured[i])
            items[i] = capture_snapshot(items[i]);
        out.append(items[i]);
    }
    return out;
}

void view_replace(SinkState &st, nb::handle iterable) {
    nb::list items = nb::steal<nb::list>(PySequence_List(iterable.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    st.clear_queue();
    for (nb::handle item : items)
        queue_push_raw(st, item, false);
}

void flush_at_exit() {
    nb::object live = orvane::outside::get(n_live);
    nb::list sinks = nb::steal<nb::list>(PySequence_List(live.ptr()));
    if (!sinks.is_valid())
        throw nb::python_error();
    g_shutting_down = true;
    for (nb::handle sink : sinks) {
        try {
            StateRef st = state_of(sink);
            nb::object(st->worker_event).attr("set")();  // the worker wakes and leaves
            exit_flush(sink);
            nb::object thread = st->worker_thread;
            if (!thread.is_none() && !thread.is(nb::module_::import_("threading").attr("current_thread")()))
                thread.attr("join")(0.5);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(sink);
        }
    }
}

void after_fork_in_child() {
    nb::object live = orvane::outside::get(n_live);
    nb::list sinks = nb::steal<nb::list>(PySequence_List(live.ptr()));
    if (!sinks.is_valid())
        throw nb::python_error();
    for (nb::handle sink : sinks) {
        try {
            reinit_after_fork(sink);
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(sink);
        }
    }
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
    m.attr("_live_sinks") = nb::module_::import_("weakref").attr("WeakSet")();

    g_warning_category = PyErr_NewExceptionWithDoc(
        "orvane_devtools.observation.backends.Uplink.ObservationBridgeUnavailableWarning",
        "Issued once per outage when the DevTools listener cannot be reached.\n\n"
        "A RuntimeWarning subclass: events stay queued and upload retries with back-off.",
        PyExc_RuntimeWarning, nullptr);
    if (g_warning_category == nullptr)
        throw nb::python_error();
    m.attr("ObservationBridgeUnavailableWarning") = nb::handle(g_warning_category);

    nb::class_<SinkState>(m, "_SinkState").def(nb::init<>());
    g_state_type = m.attr("_SinkState").ptr();
    Py_INCREF(g_state_type);

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
            queue_push_raw(view_state(v, keep), item, false);
        })
        .def("appendleft", [](PendingView &v, nb::handle item) {
            StateRef keep{};
            queue_push_raw(view_state(v, keep), item, true);
        })
        .def("extend", [](PendingView &v, nb::handle items) {
            StateRef keep{};
            SinkState &st = view_state(v, keep);
            nb::list list = nb::steal<nb::list>(PySequence_List(items.ptr()));
            if (!list.is_valid())
                throw nb::python_error();
            for (nb::handle item : list)
                queue_push_raw(st, item, false);
        })
        .def("popleft", [](PendingView &v) {
            StateRef keep{};
            auto e = view_state(v, keep).queue.pop_front();
            if (!e)
                throw nb::index_error("pop from an empty deque");
            nb::object item = nb::steal(static_cast<PyObject *>(e->item));
            return e->captured ? capture_snapshot(item) : item;
        })
        .def("pop", [](PendingView &v) {
            StateRef keep{};
            auto e = view_state(v, keep).queue.pop_back();
            if (!e)
                throw nb::index_error("pop from an empty deque");
            nb::object item = nb::steal(static_cast<PyObject *>(e->item));
            return e->captured ? capture_snapshot(item) : item;
        })
        .def("clear", [](PendingView &v) {
            StateRef keep{};
            view_state(v, keep).clear_queue();
        })
        .def("remove", [](PendingView &v, nb::handle value) {
            StateRef keep{};
            SinkState &st = view_state(v, keep);
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
        [](nb::handle self) { drop_one_locked(*state_of(self).st); },
        "Drop one queued event by the drop rule; the caller holds ``_pending_lock``.");
    nb::object enqueue = def(
        "_enqueue_events",
        [](nb::handle self, nb::handle events) { enqueue_events(self, *state_of(self).st, events); },
        nb::arg("events").none());
    g_fn_enqueue = enqueue.ptr();
    Py_INCREF(g_fn_enqueue);
    ns["_enqueue_events"] = enqueue;
    ns["_has_pending_events"] = def("_has_pending_events",
                                    [](nb::handle self) { return has_pending(*state_of(self).st); });
    nb::object peek = def(
        "_peek_pending_batch", [](nb::handle self) { return peek_batch(self, *state_of(self).st); });
    g_fn_peek = peek.ptr();
    Py_INCREF(g_fn_peek);
    ns["_peek_pending_batch"] = peek;
    ns["_drop_uploaded_batch"] = def(
        "_drop_uploaded_batch",
        [](nb::handle self, nb::handle ids) { drop_uploaded(*state_of(self).st, ids); },
        nb::arg("batch_event_ids").none());
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
    ns["_mark_available"] = def("_mark_available", [](nb::handle self) { mark_available(self); });
    ns["_mark_unavailable"] = def(
        "_mark_unavailable", [](nb::handle self, nb::handle error) { mark_unavailable(self, error); },
        nb::arg("error").none() = nb::none());
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
            nb::object body = native_body(self, batch);
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
                            [](nb::handle self) { return ensure_background_flush(self); });
    g_fn_ensure = ensure.ptr();
    Py_INCREF(g_fn_ensure);
    ns["_ensure_background_flush"] = ensure;
    ns["_run_flush_sync"] = def(
        "_run_flush_sync",
        [](nb::handle self, bool drain, bool force) {
            run_flush_sync(self, drain, force);
        },
        nb::kw_only(), nb::arg("drain") = true, nb::arg("force") = false);
    ns["_resolve_local_listener_target"] = def(
        "_resolve_local_listener_target", [](nb::handle self) { return resolve_local_listener_target(self); });
    ns["_probe_local_listener"] = def("_probe_local_listener",
                                      [](nb::handle self) { return probe_local_listener(self); });
    ns["_background_flush_worker"] = def(
        "_background_flush_worker", [](nb::handle self) { background_flush_worker(self); });
    ns["_exit_flush"] = def(
        "_exit_flush", [](nb::handle self) { exit_flush(self); },
        "One forced flush bounded by ``timeout``; what stays queued is counted as unsent.");

    ns["_pending_events"] = property(
        nb::cpp_function([](nb::handle self) {
            state_of(self);
            return nb::cast(PendingView{nb::borrow(self)});
        }),
        nb::cpp_function([](nb::handle self, nb::handle value) { view_replace(*state_of(self).st, value); }, nb::arg("self"), nb::arg("value").none()),
        "Pending event snapshots, oldest first (guarded by ``_pending_lock``).");
    ns["_pending_lock"] = property(
        nb::cpp_function([](nb::handle self) { return state_of(self)->pending_lock; }),
        nb::cpp_function([](nb::handle self, nb::object v) { state_of(self)->set_pending_lock(v); }, nb::arg("self"), nb::arg("value").none()),
        "threading.Lock guarding the pending queue.");
    ns["_stats_lock"] = property(
        nb::cpp_function([](nb::handle self) { return state_of(self)->stats_lock; }),
        nb::cpp_function([](nb::handle self, nb::object v) { state_of(self)->set_stats_lock(v); }, nb::arg("self"), nb::arg("value").none()),
        "threading.Lock guarding the counters.");
    ns["_flush_lock"] = object_property(&SinkState::flush_lock, "threading.Lock serialising flush runs.");
    ns["_worker_event"] = object_property(&SinkState::worker_event, "threading.Event that wakes the worker.");
    ns["_worker_thread"] = property(
        nb::cpp_function([](nb::handle self) { return state_of(self)->worker_thread; }),
        nb::cpp_function([](nb::handle self, nb::object v) {
            StateRef st = state_of(self);
            st->worker_thread = v;
            st->worker_alive = false;
        }, nb::arg("self"), nb::arg("value").none()),
        "The background worker thread, once started.");
    ns["_last_upload_at"] = object_property(&SinkState::last_upload_at, "Wall-clock seconds of the last upload.");
    ns["_last_failure_at"] = object_property(&SinkState::last_failure_at, "Wall-clock seconds of the last failure.");
    ns["_last_failure"] = object_property(&SinkState::last_failure, "Text of the last failure, or None.");
    ns["_enqueued_event_count"] = counter_property(&SinkState::enqueued, "Events accepted into the queue.");
    ns["_dropped_event_count"] = counter_property(&SinkState::dropped, "Events dropped on overflow.");
    ns["_dropped_high_frequency_event_count"] =
        counter_property(&SinkState::dropped_high_frequency, "Dropped preferred-drop events.");
    ns["_dropped_terminal_event_count"] =
        counter_property(&SinkState::dropped_terminal, "Dropped terminal or result events.");
    ns["_coalesced_event_count"] = counter_property(&SinkState::coalesced_events, "Accepted coalesced events.");
    ns["_coalesced_item_count"] = counter_property(&SinkState::coalesced_items, "Items the coalesced events stand for.");
    ns["_upload_batch_count"] = counter_property(&SinkState::upload_batches, "Successful upload requests.");
    ns["_uploaded_event_count"] = counter_property(&SinkState::uploaded_events, "Events in successful requests.");
    ns["_upload_failure_count"] = counter_property(&SinkState::upload_failures, "Failed flush attempts.");
    ns["_exit_unsent_event_count"] =
        counter_property(&SinkState::exit_unsent, "Events still queued after the exit flush.");

    nb::object base = m.attr("RuntimeTraceSink");
    m.attr("RemoteTraceSink") = orvane::abc::make_class(
        kModule, "RemoteTraceSink", nb::steal<nb::tuple>(PyTuple_Pack(1, base.ptr())), ns);

    m.def("_flush_at_exit", &flush_at_exit, "Exit hook: one bounded flush of every live sink.");
    m.def("_after_fork_in_child", &after_fork_in_child,
          "Fork hook: fresh locks, worker event and no worker thread in the child.");
    nb::module_::import_("atexit").attr("register")(m.attr("_flush_at_exit"));
    nb::module_::import_("os").attr("register_at_fork")(nb::arg("after_in_child") =
                                                            m.attr("_after_fork_in_child"));
}
