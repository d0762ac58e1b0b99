// The intake of RemoteTraceSink: construction (argument checks, the native state) and the
// non-blocking appends, which run the shared export queue's intake unless a subclass or the
// instance replaced `_enqueue_events` / `_ensure_background_flush`.
#include <cmath>
#include <optional>

#include <nanobind/stl/string.h>

#include "sink.hpp"

namespace orvane::uplink {

namespace {

Name m_enqueue{"_enqueue_events"};
Name m_ensure{"_ensure_background_flush"};
Name m_resolve{"_resolve_local_listener_target"};
Name a_export_state{"_export_state"};
Name a_endpoint{"endpoint"};
Name a_api_key{"api_key"};
Name a_app_id{"app_id"};
Name a_group_id{"group_id"};
Name a_environment{"environment"};
Name a_target{"_local_listener_target"};
Name a_needs_probe{"_needs_local_probe"};
// The instance __dict__ holds the state under its attribute name.
Name d_export_state{"_export_state"};

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

}  // namespace

void init_sink(nb::handle self, nb::object endpoint, nb::object api_key, nb::object app_id,
               nb::object group_id, nb::object environment, nb::object timeout,
               nb::object buffer_limit, nb::object batch_size, nb::object interval) {
    orvane::args::require_str(endpoint, "endpoint");
    orvane::args::require_str(api_key, "api_key", true);
    orvane::args::require_str(app_id, "app_id");
    orvane::args::require_str(group_id, "group_id", true);
    orvane::args::require_str(environment, "environment");
    double timeout_s = float_arg(timeout, "timeout");
    if (!std::isfinite(timeout_s) || timeout_s <= 0) {
        PyErr_Format(PyExc_ValueError,
                     "RemoteTraceSink timeout must be a finite number of seconds greater than 0, got %R",
                     timeout.ptr());
        throw nb::python_error();
    }
    {
        std::string url = text_of(endpoint);
        std::optional<long> port = orvane::exporting::url_port(url);
        if (port && *port < 0) {
            std::string shown = orvane::exporting::public_url(url);
            std::string written(orvane::exporting::split_url(url).port);
            PyErr_Format(PyExc_ValueError,
                         "RemoteTraceSink endpoint %s has port '%s': the port must be a number between 1 and 65535",
                         shown.c_str(), orvane::exporting::public_url(written).c_str());
            throw nb::python_error();
        }
    }
    int64_t limit = std::max<int64_t>(1, orvane::args::to_int64(buffer_limit, "buffer_limit"));
    int64_t batch = std::max<int64_t>(1, std::min(orvane::args::to_int64(batch_size, "batch_size"), limit));
    double interval_s = float_arg(interval, "background_flush_interval");

    nb::object holder = orvane::exporting::new_state(g_hooks);
    ExportState &st = orvane::exporting::state(holder);
    st.timeout = timeout_s;
    st.buffer_limit = limit;
    st.batch_size = batch;
    st.interval = interval_s > 0 ? interval_s : 0.0;

    using orvane::py::set_attr;
    set_attr(self, a_export_state, holder);
    set_attr(self, a_endpoint, endpoint);
    set_attr(self, a_api_key, api_key);
    set_attr(self, a_app_id, PyUnicode_GET_LENGTH(app_id.ptr()) ? app_id : nb::str("default"));
    set_attr(self, a_group_id, group_id);
    set_attr(self, a_environment, environment);
    nb::object target = orvane::py::call0(self, m_resolve);
    set_attr(self, a_target, target);
    set_attr(self, a_needs_probe, nb::bool_(!target.is_none()));
    orvane::exporting::register_exporter(self);
}

// append_event(s)_nowait: the native enqueue and wake-up unless a subclass or the instance
// replaced `_enqueue_events` / `_ensure_background_flush` (then those are called).
void append_nowait(nb::handle self, nb::handle arg, bool single) {
    // Whether the class keeps both methods as defined here (orvane::py::class_keeps_method),
    // cached per class and version tag (a change to the class or a base gives it a new tag).
    PyTypeObject *type = Py_TYPE(self.ptr());
    static PyTypeObject *cached_type = nullptr;
    static unsigned int cached_tag = 0;
    static bool cached_own_enqueue = false, cached_own_ensure = false;
    bool type_enqueue, type_ensure;
    if (type == cached_type && type->tp_version_tag == cached_tag && cached_tag != 0) {
        type_enqueue = cached_own_enqueue;
        type_ensure = cached_own_ensure;
    } else {
        type_enqueue = orvane::py::class_keeps_method(type, m_enqueue, g_fn_enqueue);
        type_ensure = orvane::py::class_keeps_method(type, m_ensure, g_fn_ensure);
        if (PyUnstable_Type_AssignVersionTag(type)) {
            cached_type = type;
            cached_tag = type->tp_version_tag;
            cached_own_enqueue = type_enqueue;
            cached_own_ensure = type_ensure;
        }
    }
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr)
        throw nb::python_error();
    nb::object dict_ref = nb::steal(dict);
    // ... and that the instance does not replace them (orvane::py::is_own_method in two halves,
    // with the instance dict read once).
    bool own_enqueue = type_enqueue && orvane::py::dict_keeps_method(dict, m_enqueue);
    bool own_ensure = type_ensure && orvane::py::dict_keeps_method(dict, m_ensure);
    // The state straight from the instance dict (what state_of reads through getattr, unless
    // the class customises attribute access).
    StateRef st{};
    PyObject *holder = nullptr;
    if (type->tp_getattro == PyObject_GenericGetAttr && PyDict_GetItemRef(dict, d_export_state.get(), &holder) < 0)
        throw nb::python_error();
    if (holder != nullptr && orvane::exporting::state_if(nb::handle(holder)) != nullptr)
        st = StateRef{nb::steal(holder), orvane::exporting::state_if(nb::handle(holder))};
    else {
        Py_XDECREF(holder);
        st = state_of(self);
    }
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
        orvane::py::call1(self, m_enqueue, events);
    }
    if (own_ensure)
        orvane::exporting::ensure_worker(self, *st.st);
    else
        orvane::py::call0(self, m_ensure);
}

}  // namespace orvane::uplink
