// The log database's prepared event (logs/_sqlite.py, SQLiteLogStore.prepare), made here for the
// events whose run context the store has met before: see log_prepare in store.hpp.
#include <string>
#include <string_view>

#include "names.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/searchtext.hpp"
#include "store.hpp"
#include "util.hpp"

namespace tally {

using namespace names;

namespace {

Name k_fallback{"fallback"};

// The eight searched fields of an event, in the order of its search text.
Name *const kSearched[] = {&a_event_id, &a_event_type, &a_source, &a_level,
                           &a_message,  &a_payload,    &a_error,  &a_meta};

// str.casefold()-style normalised text of `value` (RuntimeTallybook._normalize_search_text).
nb::object normalized_text(nb::handle value) {
    return orvane::py::text_from_utf8(orvane::search::normalized(value));
}

// The value of d[key] when it is a str (a subclass too, as isinstance), else None.
nb::object text_or_none(nb::handle d, Name &key) {
    nb::object v = orvane::py::dict_find(d, key.get());
    if (v.is_valid() && PyUnicode_Check(v.ptr()))
        return v;
    return nb::none();
}

// The prepared tuple, or an invalid object where the Python route must decide.
nb::object prepare(nb::handle event, nb::handle to_json, nb::handle contexts) {
    nb::object event_id = orvane::py::attr(event, a_event_id);
    nb::object ts = orvane::py::attr(event, a_timestamp);
    if (!PyLong_CheckExact(ts.ptr()))
        return {};
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(ts.ptr(), &overflow);
    if (overflow != 0 || PyErr_Occurred())
        return {};
    nb::object meta = orvane::py::attr(event, a_meta);
    if (!PyDict_CheckExact(meta.ptr()))
        return {};
    nb::object run = orvane::py::attr(event, a_run);
    nb::object run_id = nb::none(), run_json = nb::none(), ctx_text = nb::none(), context = nb::none();
    nb::object cached;
    if (!run.is_none()) {
        run_id = orvane::py::attr(run, a_run_id);
        if (!PyUnicode_CheckExact(run_id.ptr()))
            return {};
        cached = orvane::py::dict_find(contexts, run_id);
        if (!cached.is_valid() || !PyTuple_CheckExact(cached.ptr()) || PyTuple_GET_SIZE(cached.ptr()) != 3 ||
            !PyBytes_CheckExact(PyTuple_GET_ITEM(cached.ptr(), 0)) || PyBytes_GET_SIZE(PyTuple_GET_ITEM(cached.ptr(), 0)) == 0)
            return {};  // a context not met yet: the Python route remembers it
    }
    // The JSON in UTF-8 (what raises here -- a lone surrogate, a value whose str() raises -- is
    // raised again by the Python route, as the error that names the file).
    const orvane::py::Kw kws[] = {{&k_fallback, reinterpret_cast<PyObject *>(&PyUnicode_Type)}};
    nb::object full = orvane::py::call_kw(to_json, {event}, {kws[0]});
    if (!PyBytes_CheckExact(full.ptr()))
        return {};
    std::string_view json(PyBytes_AS_STRING(full.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(full.ptr())));
    nb::object parts = checked(PyTuple_New(std::size(kSearched)));
    for (size_t k = 0; k < std::size(kSearched); ++k) {
        nb::object value = k == 7 ? meta : orvane::py::attr(event, *kSearched[k]);
        PyTuple_SET_ITEM(parts.ptr(), static_cast<Py_ssize_t>(k), normalized_text(value).release().ptr());
    }
    nb::object body;
    if (run.is_none()) {
        body = checked(PyUnicode_DecodeUTF8(json.data(), static_cast<Py_ssize_t>(json.size()), nullptr));
    } else {
        PyObject *tail_obj = PyTuple_GET_ITEM(cached.ptr(), 0);
        std::string_view tail(PyBytes_AS_STRING(tail_obj), static_cast<size_t>(PyBytes_GET_SIZE(tail_obj)));
        if (json.size() < tail.size() || json.substr(json.size() - tail.size()) != tail)
            return {};  // the run's context changed: the Python route remembers the new one
        std::string text(json.substr(0, json.size() - tail.size()));
        text += '}';
        body = checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
        run_json = nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 1));
        ctx_text = nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 2));
        // The run context's fields as they are now, its meta copied one level deep.
        nb::object fields = orvane::py::attr(run, a_dict);
        if (!PyDict_Check(fields.ptr()))
            return {};
        context = checked(PyDict_Copy(fields.ptr()));
        nb::object run_meta = orvane::py::dict_find(context, a_meta.get());
        if (run_meta.is_valid() && PyDict_CheckExact(run_meta.ptr())) {
            nb::object copy = checked(PyDict_Copy(run_meta.ptr()));
            if (PyDict_SetItem(context.ptr(), a_meta.get(), copy.ptr()) < 0)
                throw nb::python_error();
        }
    }
    nb::object level = orvane::py::attr(event, a_level);
    if (!PyUnicode_Check(level.ptr()))
        level = nb::none();
    return nb::make_tuple(event_id, ts, orvane::py::attr(event, a_event_type), orvane::py::attr(event, a_source),
                          level, text_or_none(meta, d_app_id), text_or_none(meta, d_group_id), run_id, body, parts,
                          run_json, ctx_text, orvane::py::attr(event, a_message), checked(PyDict_Copy(meta.ptr())),
                          context);
}

}  // namespace

nb::object log_prepare(nb::handle event, nb::handle to_json, nb::handle contexts) {
    if (!PyDict_CheckExact(contexts.ptr()))
        throw nb::type_error("_log_prepare: contexts must be a dict");
    try {
        nb::object got = prepare(event, to_json, contexts);
        return got.is_valid() ? got : nb::none();
    } catch (nb::python_error &e) {
        // The Python route does it again and raises the error that names the file (or, for an
        // error that is not an Exception, raises it).
        if (!e.matches(PyExc_Exception))
            throw;
        return nb::none();
    }
}

}  // namespace tally
