// Configuration of RuntimeTraceDesk: the settings it reads and when, construction, reload of the
// backend list and the log service, reset, and the master switch.
#include "config.hpp"
#include "desk.hpp"

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <unordered_map>
#include <vector>

#include "keywords.hpp"
#include "names.hpp"
#include "orvane/args.hpp"
#include "shared_helpers.hpp"

namespace orvane::desk {

using namespace names;

namespace {

// Kept for the life of the process.
PyObject *deque_type = nullptr;
PyObject *utils_dict = nullptr;          // orvane.utils.__dict__
PyObject *settings_get_fn = nullptr;     // orvane.utils.Settings.get as the package defines it
PyObject *settings_lookup_fn = nullptr;  // orvane.utils._lookup, likewise


constexpr int64_t kMaxInt64 = std::numeric_limits<int64_t>::max();

// _lookup(mapping, key) of orvane.utils for exact dicts: a new reference, nullptr when the key is
// absent, or `kAbort` (borrowed) when a nested value is a mapping other than an exact dict (the
// caller then asks Python; nothing has run that Python would not run again).
char abort_tag;
PyObject *const kAbort = reinterpret_cast<PyObject *>(&abort_tag);

// The ways to split a settings key at a dot, the rightmost dot first: (prefix, rest) pairs of
// interned strings. Keys are the module's own settings keys and their tails, so the table stays
// small; it is kept for the life of the process and guarded by the GIL.
struct Split {
    PyObject *prefix, *rest;
};

const std::vector<Split> &splits_of(PyObject *key) {
    static auto *table = new std::unordered_map<PyObject *, std::vector<Split>>();
    auto found = table->find(key);
    if (found != table->end())
        return found->second;
    std::vector<Split> splits;
    Py_ssize_t cut = PyUnicode_GET_LENGTH(key);
    for (;;) {
        cut = PyUnicode_FindChar(key, '.', 0, cut, -1);
        if (cut == -2)
            throw nb::python_error();
        if (cut <= 0)
            break;
        PyObject *prefix = PyUnicode_Substring(key, 0, cut);
        PyObject *rest = PyUnicode_Substring(key, cut + 1, PyUnicode_GET_LENGTH(key));
        if (prefix == nullptr || rest == nullptr) {
            Py_XDECREF(prefix);
            Py_XDECREF(rest);
            throw nb::python_error();
        }
        PyUnicode_InternInPlace(&prefix);
        PyUnicode_InternInPlace(&rest);
        splits.push_back(Split{prefix, rest});
    }
    Py_INCREF(key);  // a key of the table stays alive with it
    return table->emplace(key, std::move(splits)).first->second;
}

PyObject *lookup_dict(PyObject *mapping, PyObject *key) {
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(mapping, key, &value) < 0)
        throw nb::python_error();
    if (value != nullptr)
        return value;
    for (const Split &split : splits_of(key)) {
        PyObject *sub = nullptr;
        if (PyDict_GetItemRef(mapping, split.prefix, &sub) < 0)
            throw nb::python_error();
        if (sub == nullptr)
            continue;
        nb::object held = nb::steal(sub);
        if (!PyDict_CheckExact(sub)) {
            if (is_mapping(sub))
                return kAbort;
            continue;
        }
        PyObject *found = lookup_dict(sub, split.rest);
        if (found != nullptr)
            return found;
    }
    return nullptr;
}

nb::object make_deque(Py_ssize_t maxlen) {
    nb::object n = checked(PyLong_FromSsize_t(maxlen));
    return call_kw(deque_type, {{&k_maxlen, n}});
}

// The integer value of `obj` when it fits in int64, else nullopt (no error left set).
std::optional<int64_t> fits_int64(PyObject *obj) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0)
        return std::nullopt;
    return static_cast<int64_t>(v);
}

int64_t coerced_setting(nb::handle settings, Name &key, int64_t default_value) {
    nb::object def = checked(PyLong_FromLongLong(default_value));
    nb::object raw = setting(settings, key, def);
    nb::object value = coerce_int_setting(raw, def);
    return *fits_int64(value.ptr());  // coerce_int_setting only returns values that fit
}

// max(0, seconds) * 1000, falling back to the default when the product leaves int64.
nb::object seconds_to_ms(int64_t seconds, int64_t default_seconds) {
    if (seconds < 0)
        seconds = 0;
    if (seconds > kMaxInt64 / 1000)
        seconds = default_seconds;
    return checked(PyLong_FromLongLong(static_cast<long long>(seconds) * 1000));
}

void clear_container(nb::handle obj) {
    if (PyList_Check(obj.ptr())) {
        if (PyList_SetSlice(obj.ptr(), 0, PY_SSIZE_T_MAX, nullptr) < 0)
            throw nb::python_error();
        return;
    }
    call0(obj, m_clear);
}

}  // namespace

void init_settings_originals() {
    if (deque_type != nullptr)
        return;
    deque_type = nb::object(nb::module_::import_("collections").attr("deque")).release().ptr();
    nb::object utils = nb::module_::import_("orvane.utils");
    utils_dict = Py_NewRef(PyModule_GetDict(utils.ptr()));
    settings_get_fn = nb::object(utils.attr("Settings").attr("__dict__")["get"]).release().ptr();
    settings_lookup_fn = nb::object(utils.attr("_lookup")).release().ptr();
}

nb::object setting(nb::handle settings, Name &key, nb::handle default_value) {
    PyObject *cls = PyDict_GetItemWithError(utils_dict, d_settings_class.get());  // borrowed
    if (cls == nullptr && PyErr_Occurred())
        throw nb::python_error();
    if (cls != nullptr && Py_TYPE(settings.ptr()) == reinterpret_cast<PyTypeObject *>(cls) &&
        is_own_method(settings, m_get, settings_get_fn) &&
        PyDict_GetItemWithError(utils_dict, d_lookup.get()) == settings_lookup_fn) {
        nb::object data = field(settings, a_data);
        if (PyDict_CheckExact(data.ptr())) {
            PyObject *found = lookup_dict(data.ptr(), key.get());
            if (found == nullptr)
                return nb::borrow(default_value);
            if (found != kAbort)
                return nb::steal(found);
        }
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return call2(settings, m_get, nb::handle(key.get()), default_value);
}

nb::object coerce_int_setting(nb::handle value, nb::handle default_value) {
    nb::object fallback = orvane::args::to_pyint(default_value, "default");
    PyObject *v = value.ptr();
    if (PyBool_Check(v))
        return checked(PyLong_FromLong(v == Py_True ? 1 : 0));
    if (PyLong_Check(v)) {
        if (!fits_int64(v))
            return fallback;
        return nb::borrow(value);
    }
    if (PyFloat_Check(v)) {
        double d = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(d))
            return fallback;
        double t = std::trunc(d);
        // 2**63 is the first double past the int64 range.
        if (t >= 9223372036854775808.0 || t < -9223372036854775808.0)
            return fallback;
        return checked(PyLong_FromLongLong(static_cast<long long>(t)));
    }
    if (PyUnicode_Check(v)) {
        PyObject *parsed = PyLong_FromUnicodeObject(v, 10);
        if (parsed == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_ValueError)) {
                PyErr_Clear();
                return fallback;
            }
            throw nb::python_error();
        }
        nb::object result = nb::steal(parsed);
        if (!fits_int64(parsed))
            return fallback;
        return result;
    }
    return fallback;
}

void init(nb::handle self, nb::handle settings, nb::handle run_store, nb::handle log_service,
          nb::handle backends) {
    nb::object given_backends;
    if (backends.is_none())
        given_backends = nb::steal(PyTuple_New(0));
    else if (PyList_Check(backends.ptr()) || PyTuple_Check(backends.ptr()))
        given_backends = nb::steal(PySequence_Tuple(backends.ptr()));
    else
        orvane::args::raise_incorrect_type("backends", "list", backends);
    if (!given_backends.is_valid())
        throw nb::python_error();
    set_attr(self, a_settings, settings);
    int64_t max_events = coerced_setting(settings, d_buffer_limit, 1200);
    int64_t channel_limit = coerced_setting(settings, d_channel_limit, 160);
    int64_t stale = coerced_setting(settings, d_stale, 900);
    int64_t orphan = coerced_setting(settings, d_orphan, 30);
    set_attr(self, a_stale_ms, seconds_to_ms(stale, 900));
    set_attr(self, a_orphan_ms, seconds_to_ms(orphan, 30));

    if (run_store.is_none()) {
        nb::object max_events_obj = checked(PyLong_FromLongLong(max_events));
        nb::object store = call_kw(outside::get(o_create_store),
                                   {{&k_settings, settings}, {&k_max_events, max_events_obj}});
        set_attr(self, a_store, store);
    } else {
        set_attr(self, a_store, run_store);
    }
    // A negative limit makes deque raise ValueError: construction fails, as documented.
    set_attr(self, a_channel, make_deque(static_cast<Py_ssize_t>(channel_limit)));
    set_attr(self, a_seen, new_set());
    set_attr(self, a_seen_buffer,
             make_deque(static_cast<Py_ssize_t>(max_events < 1 ? 1 : max_events)));
    set_attr(self, a_subscriptions, outside::get(o_subscriptions)());
    set_attr(self, a_backends, nb::list());
    set_attr(self, a_log_service, nb::none());
    set_attr(self, a_flow_registry, outside::get(o_flow_registry)());
    set_attr(self, a_failure_counts, nb::dict());
    set_attr(self, a_failing, new_set());
    set_attr(self, a_given_log_service, log_service);
    set_attr(self, a_given_backends, given_backends);
    reload(self);
}

// OtlpTraceSink as the module's attribute now: through the module's __getattr__, so the exporter
// module is imported only by a desk whose settings ask for it, and a test may replace it.
nb::object otlp_sink_class() {
    PyObject *mod = PyImport_ImportModule(kModule);
    if (mod == nullptr)
        throw nb::python_error();
    nb::object held = nb::steal(mod);
    PyObject *cls = PyObject_GetAttr(mod, o_otlp.get());
    if (cls == nullptr)
        throw nb::python_error();
    return nb::steal(cls);
}

// The OTLP exporter that the settings built into a backend list (by its kind name), or None.
// A backend given at construction is never it: it stays as it was given.
nb::object otlp_backend(nb::handle backends, nb::handle given) {
    nb::object items = nb::steal(PySequence_List(backends.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    for (nb::handle b : nb::list(items)) {
        int is_given = PySequence_Contains(given.ptr(), b.ptr());
        if (is_given < 0)
            throw nb::python_error();
        if (is_given)
            continue;
        PyObject *name = nullptr;
        if (PyObject_GetOptionalAttrString(b.ptr(), "name", &name) < 0)
            throw nb::python_error();
        nb::object held = nb::steal(name);
        if (name != nullptr && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "otlp") == 0)
            return nb::borrow(b);
    }
    return nb::none();
}

void reload(nb::handle self) {
    nb::object backends = attr(self, a_backends);
    nb::object given_backends = attr(self, a_given_backends);
    nb::object given_log_service = attr(self, a_given_log_service);
    // The OTLP exporter being dropped hands its runs to the one the settings now ask for (or is
    // reused as it is), so that no run is exported twice.
    nb::object previous_otlp = otlp_backend(backends, given_backends);
    clear_container(backends);
    set_attr(self, a_log_service, nb::none());
    // Failure tracking belongs to the backends that were just dropped.
    set_attr(self, a_failure_counts, nb::dict());
    set_attr(self, a_failing, new_set());

    nb::object settings = attr(self, a_settings);
    if (truthy(setting(settings, d_jsonl_enabled, Py_False))) {
        nb::object path = setting(settings, d_jsonl_path, Py_None);
        if (PyUnicode_Check(path.ptr()) && PyUnicode_GetLength(path.ptr()) > 0) {
            nb::object sink = outside::get(o_jsonl)(path);
            call1(backends, m_append, sink);
        }
    }
    if (truthy(setting(settings, d_otlp_enabled, Py_False)) || !previous_otlp.is_none()) {
        // Judged by the facade's own stale and orphan thresholds, in seconds.
        nb::object stale = attr(self, a_stale_ms) / nb::float_(1000.0);
        nb::object orphan = attr(self, a_orphan_ms) / nb::float_(1000.0);
        nb::object sink = attr(otlp_sink_class(), m_for_settings)(settings, previous_otlp, stale, orphan);
        if (!sink.is_none())
            call1(backends, m_append, sink);
    }
    // What was given at construction outlives every reload: its backends after the ones the
    // settings ask for, its log service instead of one built from the settings.
    nb::object extend = attr(backends, m_extend);
    extend(given_backends);
    if (!given_log_service.is_none())
        set_attr(self, a_log_service, given_log_service);
    else if (truthy(setting(settings, d_logs_enabled, Py_False)))
        set_attr(self, a_log_service, outside::get(o_log_service)(settings));
}

void reset(nb::handle self) {
    call0(attr(self, a_store), m_reset);
    call0(attr(self, a_channel), m_clear);
    call0(attr(self, a_seen), m_clear);
    call0(attr(self, a_seen_buffer), m_clear);
    call0(attr(self, a_subscriptions), m_reset);
    call0(attr(self, a_flow_registry), m_reset);
}

bool is_enabled(nb::handle self) {
    nb::object settings = attr(self, a_settings);
    return truthy(setting(settings, d_enabled, Py_True));
}

}  // namespace orvane::desk
