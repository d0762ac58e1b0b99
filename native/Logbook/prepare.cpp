// The persistent log service's encoding of one event for its writer, done natively: see
// SQLiteLogStore.prepare (logs/_sqlite.py), whose Python body this does step for step for the
// events it takes and which keeps every other case (and the wording of every refusal). The
// contract is in logbook.hpp.
#include "logbook.hpp"

#include <charconv>
#include <cstring>
#include <string>

#include "names.hpp"
#include "orvane/models.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/searchtext.hpp"

namespace orvane::logbook {

using namespace names;
using orvane::outside::Name;
using orvane::py::checked;
using orvane::py::immutable_scalar;
using orvane::py::same_value;

namespace {

// normalize(value): the run store's normalised search text of a value.
nb::object norm(nb::handle value) { return orvane::py::text_from_utf8(orvane::search::normalized(value)); }

// A cache entry as the store makes them: (bytes, str, str), or the same with a fourth item made
// here (see known_context).
bool is_entry(PyObject *e) {
    return PyTuple_CheckExact(e) && (PyTuple_GET_SIZE(e) == 3 || PyTuple_GET_SIZE(e) == 4) &&
           PyBytes_CheckExact(PyTuple_GET_ITEM(e, 0));
}

// Whether the model has no extra fields (pydantic keeps them in __pydantic_extra__; they are
// written after the declared ones).
bool no_extra(nb::handle model) {
    PyObject *extra = nullptr;
    if (PyObject_GetOptionalAttr(model.ptr(), a_extra.get(), &extra) < 0)
        throw nb::python_error();
    nb::object held = nb::steal(extra);
    return extra == nullptr || extra == Py_None || (PyDict_CheckExact(extra) && PyDict_GET_SIZE(extra) == 0);
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

// ---- normalised texts a run's events repeat

// Plain JSON data: exact dicts with exact str keys, exact lists and tuples, and the immutable
// scalars, at most kMaxDepth levels deep.
constexpr int kMaxDepth = 32;

bool plain_data(PyObject *v) {
    return orvane::py::all_leaves(v, kMaxDepth, immutable_scalar);
}

// Whether `a` is plain JSON data and `b` the same data: the same types all the way down (so 1,
// 1.0 and True differ), equal str and int values, floats with the same bits, dicts with the same
// keys in the same order. Such values have the same normalised text. Runs no Python code.
bool same_data(PyObject *a, PyObject *b, int depth = 0) {
    if (Py_TYPE(a) != Py_TYPE(b))
        return false;
    if (a == Py_None || PyBool_Check(a))
        return a == b;
    if (PyUnicode_CheckExact(a) || PyLong_CheckExact(a))
        return same_value(a, b);
    if (PyFloat_CheckExact(a)) {
        double x = PyFloat_AS_DOUBLE(a), y = PyFloat_AS_DOUBLE(b);
        return std::memcmp(&x, &y, sizeof x) == 0;
    }
    if (depth >= kMaxDepth)
        return false;
    if (PyDict_CheckExact(a)) {
        if (PyDict_GET_SIZE(a) != PyDict_GET_SIZE(b))
            return false;
        Py_ssize_t pa = 0, pb = 0;
        PyObject *ka, *va, *kb, *vb;
        while (PyDict_Next(a, &pa, &ka, &va)) {
            if (!PyDict_Next(b, &pb, &kb, &vb))
                return false;
            if (!PyUnicode_CheckExact(ka) || !PyUnicode_CheckExact(kb) || !same_value(ka, kb) ||
                !same_data(va, vb, depth + 1))
                return false;
        }
        return true;
    }
    if (PyList_CheckExact(a) || PyTuple_CheckExact(a)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(a);
        if (n != PySequence_Fast_GET_SIZE(b))
            return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!same_data(PySequence_Fast_GET_ITEM(a, i), PySequence_Fast_GET_ITEM(b, i), depth + 1))
                return false;
        return true;
    }
    return false;
}

// What the store remembers of a run's recent payloads and metas (a list of four: per piece the
// last normalised text, and a private copy of the value once two events in a row had that text),
// at most kMemoRuns runs.
constexpr Py_ssize_t kMemoRuns = 4096;
constexpr Py_ssize_t kMemoSize = 4;

// normalize(value), taken from the run's memo when `value` is the same data as the copy kept
// there; `slot` 0 for the payload, 1 for the meta. Only str and plain data are stored in the
// memo, so replacing an entry runs no Python code.
nb::object memo_norm(nb::handle value, PyObject *memo, Py_ssize_t slot) {
    if (memo == nullptr)
        return norm(value);
    nb::object text = nb::borrow(PyList_GET_ITEM(memo, 2 * slot));
    nb::object kept = nb::borrow(PyList_GET_ITEM(memo, 2 * slot + 1));
    if (!kept.is_none() && same_data(value.ptr(), kept.ptr()))
        return text;
    nb::object made = norm(value);
    nb::object copy = nb::none();
    // The run repeats this text: keep the data to compare the next events' values with.
    if (!text.is_none() && same_value(made.ptr(), text.ptr()) && plain_data(value.ptr())) {
        try {
            copy = orvane::models::deep_copy(value);
        } catch (nb::python_error &) {
            copy = nb::none();
        }
    }
    if (PyList_SetItem(memo, 2 * slot, made.inc_ref().ptr()) < 0 ||
        PyList_SetItem(memo, 2 * slot + 1, copy.inc_ref().ptr()) < 0)
        throw nb::python_error();
    return made;
}

// The memo list of `run_id` in `texts` (made when missing); unset without a run or a usable dict.
// A reference of its own: normalising a value may run Python code (another thread's append too),
// which may empty `texts`.
nb::object memo_of(nb::handle texts, nb::handle run_id) {
    if (run_id.is_none() || !PyDict_CheckExact(texts.ptr()) || !PyUnicode_CheckExact(run_id.ptr()))
        return nb::object();
    PyObject *found = PyDict_GetItemWithError(texts.ptr(), run_id.ptr());  // borrowed
    if (found == nullptr && PyErr_Occurred())
        throw nb::python_error();
    if (found != nullptr)
        return PyList_CheckExact(found) && PyList_GET_SIZE(found) == kMemoSize ? nb::borrow(found) : nb::object();
    if (PyDict_GET_SIZE(texts.ptr()) >= kMemoRuns)
        PyDict_Clear(texts.ptr());
    nb::object fresh = checked(PyList_New(kMemoSize));
    for (Py_ssize_t k = 0; k < kMemoSize; ++k)
        PyList_SET_ITEM(fresh.ptr(), k, Py_NewRef(Py_None));
    if (PyDict_SetItem(texts.ptr(), run_id.ptr(), fresh.ptr()) < 0)
        throw nb::python_error();
    return fresh;
}

// ---- run contexts a run's events repeat

// The fourth item of a cache entry: (the run context's class, a private copy of its fields), made
// once an event's JSON was seen to end with the entry's context JSON and the fields are plain
// data. A later event of that class with no extra fields whose run context has the same data
// (same_data) and no extra fields writes the same context JSON at its end, so its JSON without
// the context is its JSON with the `run` field excluded, and the entry's JSON and text are its
// context's.
nb::object context_stamp(nb::handle run, nb::handle fields) {
    if (!PyDict_CheckExact(fields.ptr()) || !plain_data(fields.ptr()) || !no_extra(run))
        return nb::object();
    nb::object copy;
    try {
        copy = orvane::models::deep_copy(fields);
    } catch (nb::python_error &) {
        return nb::object();
    }
    return nb::make_tuple(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(run.ptr()))), copy);
}

bool known_context(PyObject *entry, nb::handle event, nb::handle run, nb::handle fields) {
    if (PyTuple_GET_SIZE(entry) != 4)
        return false;
    PyObject *stamp = PyTuple_GET_ITEM(entry, 3);
    return PyTuple_CheckExact(stamp) && PyTuple_GET_SIZE(stamp) == 2 &&
           PyTuple_GET_ITEM(stamp, 0) == reinterpret_cast<PyObject *>(Py_TYPE(run.ptr())) &&
           same_data(fields.ptr(), PyTuple_GET_ITEM(stamp, 1)) && no_extra(run) && no_extra(event);
}

// {"run"}, the exclusion of an event's JSON without its run context (kept for the process).
PyObject *run_only() {
    static PyObject *set = [] {
        PyObject *s = PySet_New(nullptr);
        if (s == nullptr || PySet_Add(s, a_run.get()) < 0)
            throw nb::python_error();
        return s;
    }();
    return set;
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

namespace {

// ---- the event's own columns cut off its stored JSON

// Appends `"text"` for an exact str, `null` for None; false for anything else (or text that has
// no UTF-8 form).
bool append_plain(std::string &out, PyObject *v) {
    if (v == Py_None) {
        out += "null";
        return true;
    }
    if (!PyUnicode_CheckExact(v))
        return false;
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(v, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.push_back('"');
    out.append(text, static_cast<size_t>(size));
    out.push_back('"');
    return true;
}

// How many leading bytes of the event's JSON `data` the reader writes again from the row's
// columns (logs/_schema.py, EVENT_BODY_SQL): the JSON begins
// {"event_id":"..","event_type":"..","timestamp":N,"source":..,"level":.., with each text as it
// stands between quotes (what the reader puts back) and something after it. 0 when it begins
// otherwise (a text the dump escaped, a level that is not a text): the body is stored whole.
Py_ssize_t column_prefix(const char *data, Py_ssize_t n, PyObject *event_id, PyObject *etype, long long ts,
                         PyObject *source, PyObject *level) {
    if (!PyUnicode_CheckExact(event_id) || !PyUnicode_CheckExact(etype))
        return 0;
    std::string want = "{\"event_id\":";
    if (!append_plain(want, event_id))
        return 0;
    want += ",\"event_type\":";
    if (!append_plain(want, etype))
        return 0;
    want += ",\"timestamp\":";
    char digits[24];
    auto done = std::to_chars(digits, digits + sizeof digits, ts);
    want.append(digits, done.ptr);
    want += ",\"source\":";
    if (!append_plain(want, source))
        return 0;
    want += ",\"level\":";
    if (!append_plain(want, level))
        return 0;
    auto k = static_cast<Py_ssize_t>(want.size());
    if (k >= n || data[k] != ',' || std::memcmp(data, want.data(), want.size()) != 0)
        return 0;
    return k;
}

}  // namespace

nb::object log_prepare(nb::handle event, nb::handle event_json, nb::handle contexts, nb::handle context_of,
                       nb::handle texts) {
    nb::object event_cls = orvane::outside::get(o_runtime_event);
    if (reinterpret_cast<PyObject *>(Py_TYPE(event.ptr())) != event_cls.ptr() || !PyDict_CheckExact(contexts.ptr()))
        return nb::none();
    nb::object event_id = orvane::py::attr(event, a_event_id);
    nb::object ts = orvane::py::attr(event, a_timestamp);
    if (!PyLong_Check(ts.ptr()))
        return nb::none();
    int overflow = 0;
    const long long ts_ms = PyLong_AsLongLongAndOverflow(ts.ptr(), &overflow);
    if (PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0)
        return nb::none();

    nb::object run = orvane::py::attr(event, a_run);
    nb::object run_id = nb::none(), fields, cached;
    if (!run.is_none()) {
        run_id = orvane::py::attr(run, a_run_id);
        fields = orvane::py::attr(run, a_dict);
        PyObject *found = PyDict_GetItemWithError(contexts.ptr(), run_id.ptr());  // borrowed
        if (found == nullptr && PyErr_Occurred())
            throw nb::python_error();
        if (found != nullptr) {
            if (!is_entry(found))
                return nb::none();
            cached = nb::borrow(found);
        }
    }
    const nb::handle as_text(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    // The event's JSON in UTF-8: an event with a lone surrogate anywhere, or a value whose string
    // form raises, stops here. Without its run context when that is one the run's events had.
    bool known = cached.is_valid() && known_context(cached.ptr(), event, run, fields);
    nb::object full = known ? orvane::py::call_kw(event_json, {event},
                                                  {{&k_fallback, as_text}, {&k_exclude, nb::handle(run_only())}})
                            : orvane::py::call_kw(event_json, {event}, {{&k_fallback, as_text}});
    if (!PyBytes_CheckExact(full.ptr()))
        return nb::none();
    nb::object etype = orvane::py::attr(event, a_event_type);
    nb::object source = orvane::py::attr(event, a_source);
    nb::object level = orvane::py::attr(event, a_level);
    nb::object message = orvane::py::attr(event, a_message);
    nb::object parts = checked(PyTuple_New(kParts));
    {
        nb::object payload = orvane::py::attr(event, a_payload);
        nb::object error = orvane::py::attr(event, a_error);
        nb::object meta = orvane::py::attr(event, a_meta);
        nb::handle values[kParts] = {event_id, etype, source, level, message, payload, error, meta};
        nb::object memo = run.is_none() ? nb::object() : memo_of(texts, run_id);
        for (Py_ssize_t k = 0; k < kParts; ++k) {
            nb::object text = k == kPayloadPart ? memo_norm(values[k], memo.ptr(), 0)
                              : k == kMetaPart  ? memo_norm(values[k], memo.ptr(), 1)
                                       : norm(values[k]);
            PyTuple_SET_ITEM(parts.ptr(), k, text.release().ptr());
        }
    }

    nb::object run_json = nb::none(), ctx_text = nb::none(), context = nb::none(), body;
    const char *data = PyBytes_AS_STRING(full.ptr());
    Py_ssize_t n = PyBytes_GET_SIZE(full.ptr());
    // What the row's columns give again is not stored twice.
    const Py_ssize_t cut = column_prefix(data, n, event_id.ptr(), etype.ptr(), ts_ms, source.ptr(), level.ptr());
    if (run.is_none()) {
        body = checked(PyUnicode_DecodeUTF8(data + cut, n - cut, nullptr));
    } else if (known) {
        body = checked(PyUnicode_DecodeUTF8(data + cut, n - cut, nullptr));
        run_json = nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 1));
        ctx_text = nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 2));
        context = private_copy(fields);
    } else {
        if (!cached.is_valid() || !ends_with(full.ptr(), PyTuple_GET_ITEM(cached.ptr(), 0))) {
            cached = checked(PyObject_CallOneArg(context_of.ptr(), run.ptr()));
            if (!is_entry(cached.ptr()))
                return nb::none();
        }
        PyObject *tail = PyTuple_GET_ITEM(cached.ptr(), 0);
        if (!ends_with(full.ptr(), tail)) {
            tail = nullptr;  // the context serialised differently inside the event: the whole JSON
        } else if (PyTuple_GET_SIZE(cached.ptr()) == 3 && no_extra(event)) {
            // The event's JSON ends with this context: later events with the same context data
            // need not write it (known_context).
            nb::object stamp = context_stamp(run, fields);
            if (stamp.is_valid()) {
                nb::object entry = nb::make_tuple(nb::handle(tail), nb::handle(PyTuple_GET_ITEM(cached.ptr(), 1)),
                                                  nb::handle(PyTuple_GET_ITEM(cached.ptr(), 2)), stamp);
                if (PyDict_SetItem(contexts.ptr(), run_id.ptr(), entry.ptr()) < 0)
                    throw nb::python_error();
            }
        }
        run_json = nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 1));
        ctx_text = nb::borrow(PyTuple_GET_ITEM(cached.ptr(), 2));
        if (tail != nullptr && PyBytes_GET_SIZE(tail) > 0) {
            const Py_ssize_t end = n - PyBytes_GET_SIZE(tail);
            const Py_ssize_t from = cut < end ? cut : 0;  // the columns and then the context alone: whole
            std::string own(data + from, static_cast<size_t>(end - from));
            own.push_back('}');
            body = checked(PyUnicode_DecodeUTF8(own.data(), static_cast<Py_ssize_t>(own.size()), nullptr));
        } else {
            body = checked(PyUnicode_DecodeUTF8(data + cut, n - cut, nullptr));
        }
        context = private_copy(fields);
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

}  // namespace orvane::logbook
