// The persistent log service's encoding of one event: see logprepare.hpp.
#include "logprepare.hpp"

#include <cstring>
#include <string>

#include "names.hpp"
#include "orvane/models.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/searchtext.hpp"
#include "util.hpp"

namespace tally {

using namespace names;

namespace {

// The writer's P_* positions (logs/_writer.py).
enum Prepared : Py_ssize_t {
    P_ID, P_TS, P_TYPE, P_SOURCE, P_LEVEL, P_APP, P_GROUP, P_RUN, P_BODY, P_PARTS, P_RUN_JSON,
    P_CTX_TEXT, P_MESSAGE, P_META, P_CONTEXT, P_COUNT
};

// normalize(value): the run store's normalised search text of a value.
nb::object norm(nb::handle value) { return orvane::py::text_from_utf8(orvane::search::normalized(value)); }

// A cache entry as the store makes them: (bytes, str, str).
bool is_entry(PyObject *e) {
    return PyTuple_CheckExact(e) && PyTuple_GET_SIZE(e) == 3 && PyBytes_CheckExact(PyTuple_GET_ITEM(e, 0));
}

// full.endswith(tail), both bytes
bool ends_with(PyObject *full, PyObject *tail) {
    Py_ssize_t n = PyBytes_GET_SIZE(full), k = PyBytes_GET_SIZE(tail);
    return k <= n && std::memcmp(PyBytes_AS_STRING(full) + (n - k), PyBytes_AS_STRING(tail), static_cast<size_t>(k)) == 0;
}

// isinstance(v, str) and v or None
nb::object str_or_none(PyObject *v) { return v != nullptr && PyUnicode_Check(v) ? nb::borrow(v) : nb::none(); }

// d.get(key) for an exact dict (borrowed; null when absent)
PyObject *dict_get(PyObject *d, Name &key) {
    PyObject *v = PyDict_GetItemWithError(d, key.get());
    if (v == nullptr && PyErr_Occurred())
        throw nb::python_error();
    return v;
}

}  // namespace

nb::object private_copy(nb::handle d) {
    nb::object out = PyDict_CheckExact(d.ptr()) ? checked(PyDict_Copy(d.ptr()))
                                                 : checked(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), d.ptr()));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    // Only values are replaced while walking: the keys stay as they are.
    while (PyDict_Next(out.ptr(), &pos, &key, &value)) {
        if (immutable_scalar(value))
            continue;
        nb::object own;
        try {
            own = orvane::models::deep_copy(value);
        } catch (nb::python_error &) {
            continue;  // shared, as before (the error is dropped with the exception object)
        }
        nb::object k = nb::borrow(key);
        if (PyDict_SetItem(out.ptr(), k.ptr(), own.ptr()) < 0)
            throw nb::python_error();
    }
    return out;
}

nb::object log_prepare(nb::handle event, nb::handle event_json, nb::handle contexts, nb::handle context_of) {
    nb::object event_cls = orvane::outside::get(o_runtime_event);
    if (reinterpret_cast<PyObject *>(Py_TYPE(event.ptr())) != event_cls.ptr() || !PyDict_CheckExact(contexts.ptr()))
        return nb::none();
    nb::object event_id = orvane::py::attr(event, a_event_id);
    nb::object ts = orvane::py::attr(event, a_timestamp);
    if (!PyLong_Check(ts.ptr()))
        return nb::none();
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(ts.ptr(), &overflow);
    if (PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0)
        return nb::none();

    // The event's JSON in UTF-8: an event with a lone surrogate anywhere, or a value whose string
    // form raises, stops here.
    nb::object full = orvane::py::call_kw(
        event_json, {event}, {{&k_fallback, nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type))}});
    if (!PyBytes_CheckExact(full.ptr()))
        return nb::none();
    nb::object etype = orvane::py::attr(event, a_event_type);
    nb::object source = orvane::py::attr(event, a_source);
    nb::object level = orvane::py::attr(event, a_level);
    nb::object message = orvane::py::attr(event, a_message);
    nb::object parts = checked(PyTuple_New(8));
    {
        nb::object payload = orvane::py::attr(event, a_payload);
        nb::object error = orvane::py::attr(event, a_error);
        nb::object meta = orvane::py::attr(event, a_meta);
        nb::handle values[8] = {event_id, etype, source, level, message, payload, error, meta};
        for (Py_ssize_t k = 0; k < 8; ++k)
            PyTuple_SET_ITEM(parts.ptr(), k, norm(values[k]).release().ptr());
    }

    nb::object run = orvane::py::attr(event, a_run);
    nb::object run_id = nb::none(), run_json = nb::none(), ctx_text = nb::none(), context = nb::none(), body;
    if (run.is_none()) {
        body = checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(full.ptr()), PyBytes_GET_SIZE(full.ptr()), nullptr));
    } else {
        run_id = orvane::py::attr(run, a_run_id);
        PyObject *found = PyDict_GetItemWithError(contexts.ptr(), run_id.ptr());  // borrowed
        if (found == nullptr && PyErr_Occurred())
            throw nb::python_error();
        nb::object cached = found != nullptr ? nb::borrow(found) : nb::object();
        if (cached.is_valid() && !is_entry(cached.ptr()))
            return nb::none();
        if (!cached.is_valid() || !ends_with(full.ptr(), PyTuple_GET_ITEM(cached.ptr(), 0))) {
            cached = checked(PyObject_CallOneArg(context_of.ptr(), run.ptr()));
            if (!is_entry(cached.ptr()))
                return nb::none();
        }
        PyObject *tail = PyTuple_GET_ITEM(cached.ptr(), 0);
        if (!ends_with(full.ptr(), tail))
            tail = nullptr;  // the context serialised differently inside the event: the whole JSON
        run_json = nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 1));
        ctx_text = nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 2));
        Py_ssize_t n = PyBytes_GET_SIZE(full.ptr());
        if (tail != nullptr && PyBytes_GET_SIZE(tail) > 0) {
            std::string own(PyBytes_AS_STRING(full.ptr()), static_cast<size_t>(n - PyBytes_GET_SIZE(tail)));
            own.push_back('}');
            body = checked(PyUnicode_DecodeUTF8(own.data(), static_cast<Py_ssize_t>(own.size()), nullptr));
        } else {
            body = checked(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(full.ptr()), n, nullptr));
        }
        context = private_copy(orvane::py::attr(run, a_dict));
    }

    nb::object meta = orvane::py::attr(event, a_meta);
    if (!PyDict_CheckExact(meta.ptr()))
        return nb::none();
    nb::object app = str_or_none(dict_get(meta.ptr(), d_app_id));
    nb::object group = str_or_none(dict_get(meta.ptr(), d_group_id));
    nb::object values[P_COUNT] = {
        event_id, ts, etype, source, str_or_none(level.ptr()), app, group, run_id, body, parts, run_json,
        ctx_text, message, private_copy(meta), context,
    };
    nb::object out = checked(PyTuple_New(P_COUNT));
    for (Py_ssize_t k = 0; k < P_COUNT; ++k)
        PyTuple_SET_ITEM(out.ptr(), k, values[k].release().ptr());
    return out;
}

}  // namespace tally
