// The intake half of RuntimeTraceDesk: configuration from settings, reload/reset, the
// de-duplication window, event intake and fan-out, subscriptions, the channel buffer and flows.
//
// Every method reads the facade's state from the instance attributes on each call (the host may
// replace them), and every outside collaborator is looked up in the module's dictionary at call
// time.
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "desk.hpp"
#include "orvane/support.hpp"
#include "pyutil.hpp"

namespace orvane::desk {

namespace {

using orvane::coro::Task;

// ---------------------------------------------------------------- names

// Instance attributes.
Name a_settings{"settings"};
Name a_stale{"_run_stale_after_ms"};
Name a_orphan{"_run_orphan_after_ms"};
Name a_store{"_run_store"};
Name a_channel{"_channel_buffer"};
Name a_seen{"_seen_event_ids"};
Name a_seen_buffer{"_seen_event_id_buffer"};
Name a_subscriptions{"_subscriptions"};
Name a_backends{"_backends"};
Name a_log_service{"_log_service"};
Name a_flow_registry{"_flow_registry"};
Name a_failure_counts{"_backend_failure_counts"};
Name a_failing{"_failing_backends"};

// Methods and attributes of collaborators.
Name m_get{"get"};
Name m_reset{"reset"};
Name m_append{"append"};
Name m_popleft{"popleft"};
Name m_clear{"clear"};
Name m_add{"add"};
Name m_discard{"discard"};
Name m_capture_event{"capture_event"};
Name m_append_event{"append_event"};
Name m_publish{"publish"};
Name m_subscribe{"subscribe"};
Name m_unsubscribe{"unsubscribe"};
Name m_register{"register"};
Name m_resolve{"resolve"};
Name m_is_enabled{"_is_enabled"};
Name m_remember{"_remember_event_id"};
Name m_warn{"warn"};
Name m_gather{"gather"};
Name m_current_task{"current_task"};
Name m_cancelling{"cancelling"};
Name n_cancelled_error{"CancelledError"};
Name n_maxlen{"maxlen"};
Name n_event_id{"event_id"};
Name n_backend_name{"backend_name"};
Name n_name{"name"};
Name n_return_exceptions{"return_exceptions"};

// Keyword names of outside calls.
Name k_settings{"settings"};
Name k_max_events{"max_events"};
Name k_filter{"filter"};
Name k_event_types{"event_types"};
Name k_run_id{"run_id"};
Name k_include_descendants{"include_descendants"};
Name k_source{"source"};
Name k_level{"level"};
Name k_app_id{"app_id"};
Name k_app_id_pattern{"app_id_pattern"};
Name k_group_id{"group_id"};
Name k_maxsize{"maxsize"};
Name k_flow_name{"flow_name"};
Name k_definition{"definition"};
Name k_mermaid{"mermaid"};

// Settings keys.
Name s_buffer_limit{"observation.buffer_limit"};
Name s_channel_limit{"observation.channel_buffer_limit"};
Name s_stale{"observation.run_stale_after_seconds"};
Name s_orphan{"observation.run_orphan_after_seconds"};
Name s_jsonl_enabled{"observation.jsonl.enabled"};
Name s_jsonl_path{"observation.jsonl.path"};
Name s_logs_enabled{"logs.enabled"};
Name s_otlp_enabled{"observation.otlp.enabled"};
Name s_enabled{"observation.enabled"};

// Outside names (module attributes).
Name o_create_store{"create_observation_store"};
Name o_subscriptions{"RuntimeObservationSubscriptions"};
Name o_flow_registry{"RuntimeFlowRegistry"};
Name o_log_service{"RuntimeLogService"};
Name o_jsonl{"JSONLTraceSink"};
Name o_asyncio{"asyncio"};
Name o_warnings{"warnings"};

// Kept for the life of the process (never released: see the note on static objects).
PyObject *deque_type = nullptr;
PyObject *mapping_abc = nullptr;
PyObject *utils_dict = nullptr;         // orvane.utils.__dict__
PyObject *settings_get_fn = nullptr;    // orvane.utils.Settings.get at import
PyObject *settings_lookup_fn = nullptr; // orvane.utils._lookup at import
PyObject *is_enabled_fn = nullptr;      // our _is_enabled, as put in the class namespace
PyObject *remember_fn = nullptr;        // our _remember_event_id, likewise

Name n_settings_class{"Settings"};
Name n_lookup{"_lookup"};
Name n_data{"_data"};

constexpr int64_t kMaxInt64 = std::numeric_limits<int64_t>::max();

// ---------------------------------------------------------------- settings

// _lookup(mapping, key) of orvane.utils for exact dicts: a new reference, nullptr when the key is
// absent, or `abort` (borrowed) when a nested value is a mapping other than an exact dict (the
// caller then asks Python; nothing has run that Python would not run again).
char abort_tag;
PyObject *const kAbort = reinterpret_cast<PyObject *>(&abort_tag);

PyObject *lookup_dict(PyObject *mapping, PyObject *key) {
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(mapping, key, &value) < 0)
        throw nb::python_error();
    if (value != nullptr)
        return value;
    Py_ssize_t cut = PyUnicode_GET_LENGTH(key);
    for (;;) {
        cut = PyUnicode_FindChar(key, '.', 0, cut, -1);
        if (cut == -2)
            throw nb::python_error();
        if (cut <= 0)
            return nullptr;
        nb::object prefix = nb::steal(PyUnicode_Substring(key, 0, cut));
        if (!prefix.is_valid())
            throw nb::python_error();
        PyObject *sub = nullptr;
        if (PyDict_GetItemRef(mapping, prefix.ptr(), &sub) < 0)
            throw nb::python_error();
        if (sub == nullptr)
            continue;
        nb::object held = nb::steal(sub);
        if (!PyDict_CheckExact(sub)) {
            int is_map = PyObject_IsInstance(sub, mapping_abc);
            if (is_map < 0)
                throw nb::python_error();
            if (is_map)
                return kAbort;
            continue;
        }
        nb::object rest =
            nb::steal(PyUnicode_Substring(key, cut + 1, PyUnicode_GET_LENGTH(key)));
        if (!rest.is_valid())
            throw nb::python_error();
        PyObject *found = lookup_dict(sub, rest.ptr());
        if (found != nullptr)
            return found;
    }
}

// settings.get(key, default). For orvane.utils.Settings with its own get (the usual case) the
// lookup is done here, with the same result, instead of through two Python frames.
nb::object setting(nb::handle settings, Name &key, nb::handle default_value) {
    PyObject *cls = PyDict_GetItemWithError(utils_dict, n_settings_class.get());  // borrowed
    if (cls == nullptr && PyErr_Occurred())
        throw nb::python_error();
    if (cls != nullptr && Py_TYPE(settings.ptr()) == reinterpret_cast<PyTypeObject *>(cls) &&
        _PyType_Lookup(Py_TYPE(settings.ptr()), m_get.get()) == settings_get_fn &&
        PyDict_GetItemWithError(utils_dict, n_lookup.get()) == settings_lookup_fn) {
        nb::object data = attr(settings, n_data);
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

nb::object make_deque(Py_ssize_t maxlen) {
    nb::object n = nb::steal(PyLong_FromSsize_t(maxlen));
    return call_kw(deque_type, {&n_maxlen}, {n.ptr()});
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

}  // namespace

// _coerce_int_setting(value, default). A value that is not finite or does not fit in a signed
// 64-bit integer falls back to `default`, like unparsable text does.
nb::object coerce_int_setting(nb::handle value, nb::handle default_value) {
    nb::object fallback = orvane::args::to_pyint(default_value, "default");
    PyObject *v = value.ptr();
    if (PyBool_Check(v))
        return nb::steal(PyLong_FromLong(v == Py_True ? 1 : 0));
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
        return nb::steal(PyLong_FromLongLong(static_cast<long long>(t)));
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

namespace {

int64_t coerced_setting(nb::handle settings, Name &key, int64_t default_value) {
    nb::object def = nb::steal(PyLong_FromLongLong(default_value));
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
    return nb::steal(PyLong_FromLongLong(static_cast<long long>(seconds) * 1000));
}

// ---------------------------------------------------------------- lifecycle

void reload(nb::handle self);

void init(nb::handle self, nb::handle settings) {
    set_attr(self, a_settings, settings);
    int64_t max_events = coerced_setting(settings, s_buffer_limit, 1200);
    int64_t channel_limit = coerced_setting(settings, s_channel_limit, 160);
    int64_t stale = coerced_setting(settings, s_stale, 900);
    int64_t orphan = coerced_setting(settings, s_orphan, 30);
    set_attr(self, a_stale, seconds_to_ms(stale, 900));
    set_attr(self, a_orphan, seconds_to_ms(orphan, 30));

    nb::object max_events_obj = nb::steal(PyLong_FromLongLong(max_events));
    nb::object store = call_kw(outside::get(o_create_store), {&k_settings, &k_max_events},
                               {settings.ptr(), max_events_obj.ptr()});
    set_attr(self, a_store, store);
    // A negative limit makes deque raise ValueError: construction fails, as documented.
    set_attr(self, a_channel, make_deque(static_cast<Py_ssize_t>(channel_limit)));
    set_attr(self, a_seen, nb::steal(PySet_New(nullptr)));
    set_attr(self, a_seen_buffer,
             make_deque(static_cast<Py_ssize_t>(max_events < 1 ? 1 : max_events)));
    set_attr(self, a_subscriptions, outside::get(o_subscriptions)());
    set_attr(self, a_backends, nb::list());
    set_attr(self, a_log_service, nb::none());
    set_attr(self, a_flow_registry, outside::get(o_flow_registry)());
    set_attr(self, a_failure_counts, nb::dict());
    set_attr(self, a_failing, nb::steal(PySet_New(nullptr)));
    reload(self);
}

void clear_container(nb::handle obj) {
    if (PyList_Check(obj.ptr())) {
        if (PyList_SetSlice(obj.ptr(), 0, PY_SSIZE_T_MAX, nullptr) < 0)
            throw nb::python_error();
        return;
    }
    call0(obj, m_clear);
}

// The OTLP exporter in a backend list (by its kind name), or None.
nb::object otlp_backend(nb::handle backends) {
    nb::object items = nb::steal(PySequence_List(backends.ptr()));
    if (!items.is_valid())
        throw nb::python_error();
    for (nb::handle b : nb::list(items)) {
        PyObject *name = nullptr;
        if (PyObject_GetOptionalAttrString(b.ptr(), "name", &name) < 0)
            throw nb::python_error();
        nb::object n = nb::steal(name);
        if (name != nullptr && PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, "otlp") == 0)
            return nb::borrow(b);
    }
    return nb::none();
}

void reload(nb::handle self) {
    nb::object backends = attr(self, a_backends);
    // The OTLP exporter being dropped hands its runs to the one the settings now ask for (or
    // is reused as it is), so that no run is exported twice.
    nb::object previous_otlp = otlp_backend(backends);
    clear_container(backends);
    set_attr(self, a_log_service, nb::none());
    // Failure tracking belongs to the backends that were just dropped.
    set_attr(self, a_failure_counts, nb::dict());
    set_attr(self, a_failing, nb::steal(PySet_New(nullptr)));

    nb::object settings = attr(self, a_settings);
    if (truthy(setting(settings, s_jsonl_enabled, Py_False))) {
        nb::object path = setting(settings, s_jsonl_path, Py_None);
        if (PyUnicode_Check(path.ptr()) && PyUnicode_GetLength(path.ptr()) > 0) {
            nb::object sink = outside::get(o_jsonl)(path);
            call1(backends, m_append, sink);
        }
    }
    if (truthy(setting(settings, s_otlp_enabled, Py_False)) || !previous_otlp.is_none()) {
        // Looked up through the module (imported on first use) and judged by the facade's own
        // stale and orphan thresholds.
        nb::object cls = nb::module_::import_(orvane::desk::kModule).attr("OtlpTraceSink");
        nb::object stale = attr(self, a_stale) / nb::float_(1000.0);
        nb::object orphan = attr(self, a_orphan) / nb::float_(1000.0);
        nb::object sink = cls.attr("_for_settings")(settings, previous_otlp, stale, orphan);
        if (!sink.is_none())
            call1(backends, m_append, sink);
    }
    if (truthy(setting(settings, s_logs_enabled, Py_False)))
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
    return truthy(setting(settings, s_enabled, Py_True));
}

// ---------------------------------------------------------------- de-duplication window

bool remember_event_id(nb::handle self, nb::handle event_id) {
    orvane::args::require_str(event_id, "event_id");
    nb::object seen = attr(self, a_seen);
    int present = PySequence_Contains(seen.ptr(), event_id.ptr());
    if (present < 0)
        throw nb::python_error();
    if (present)
        return false;
    nb::object buffer = attr(self, a_seen_buffer);
    nb::object maxlen = attr(buffer, n_maxlen);
    if (!maxlen.is_none()) {
        Py_ssize_t cap = PyLong_AsSsize_t(maxlen.ptr());
        if (cap == -1 && PyErr_Occurred())
            throw nb::python_error();
        Py_ssize_t size = PyObject_Size(buffer.ptr());
        if (size < 0)
            throw nb::python_error();
        if (size > 0 && size >= cap) {
            nb::object evicted = call0(buffer, m_popleft);
            if (PyAnySet_Check(seen.ptr())) {
                if (PySet_Discard(seen.ptr(), evicted.ptr()) < 0)
                    throw nb::python_error();
            } else {
                call1(seen, m_discard, evicted);
            }
        }
    }
    call1(buffer, m_append, event_id);
    if (PyAnySet_Check(seen.ptr())) {
        if (PySet_Add(seen.ptr(), event_id.ptr()) < 0)
            throw nb::python_error();
    } else {
        call1(seen, m_add, event_id);
    }
    return true;
}

// ---------------------------------------------------------------- backend failures

// The key a backend is tracked under: the backend itself, or its id() when it is unhashable.
nb::object backend_key(nb::handle backend) {
    if (PyObject_Hash(backend.ptr()) == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nb::steal(PyLong_FromVoidPtr(backend.ptr()));
    }
    return nb::borrow(backend);
}

void warn_backend_failure(nb::handle backend, nb::handle error) {
    PyObject *name = nullptr;
    if (PyObject_GetOptionalAttr(backend.ptr(), n_name.get(), &name) < 0)
        PyErr_Clear();
    nb::object name_obj = name != nullptr ? nb::steal(name) : nb::none();
    nb::object cls = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(backend.ptr())));
    nb::object module = nb::steal(PyObject_GetAttrString(cls.ptr(), "__module__"));
    if (!module.is_valid()) {
        PyErr_Clear();
        module = nb::str("?");
    }
    nb::object qualname = nb::steal(PyType_GetQualName(Py_TYPE(backend.ptr())));
    if (!qualname.is_valid()) {
        PyErr_Clear();
        qualname = nb::str(Py_TYPE(backend.ptr())->tp_name);
    }
    nb::object text = nb::steal(PyObject_Str(error.ptr()));
    if (!text.is_valid()) {
        PyErr_Clear();
        text = nb::str("<unprintable error>");
    }
    nb::object message = nb::steal(PyUnicode_FromFormat(
        "observation backend %R (%S.%S) failed: %s: %S; the event was still accepted, and further "
        "failures of this backend are only counted (RuntimeTraceDesk._backend_failure_counts) "
        "until it succeeds again",
        name_obj.ptr(), module.ptr(), qualname.ptr(), Py_TYPE(error.ptr())->tp_name, text.ptr()));
    if (!message.is_valid())
        throw nb::python_error();
    nb::object warnings = outside::get(o_warnings);
    PyObject *r = PyObject_CallMethodObjArgs(warnings.ptr(), m_warn.get(), message.ptr(),
                                             PyExc_RuntimeWarning, nullptr);
    if (r == nullptr) {
        // Warnings turned into errors must not reach the caller either: report them the way
        // the interpreter reports errors it cannot raise.
        PyErr_WriteUnraisable(backend.ptr());
    } else {
        Py_DECREF(r);
    }
}

// Records the outcome of one backend call: `error` is null on success.
void record_backend_outcome(nb::handle self, nb::handle backend, nb::handle error) {
    nb::object failing = attr(self, a_failing);
    if (!error.is_valid()) {
        Py_ssize_t n = PyObject_Size(failing.ptr());
        if (n < 0)
            throw nb::python_error();
        if (n == 0)
            return;
        nb::object key = backend_key(backend);
        if (PyAnySet_Check(failing.ptr())) {
            if (PySet_Discard(failing.ptr(), key.ptr()) < 0)
                throw nb::python_error();
        } else {
            call1(failing, m_discard, key);
        }
        return;
    }
    nb::object key = backend_key(backend);
    nb::object counts = attr(self, a_failure_counts);
    nb::object zero = nb::steal(PyLong_FromLong(0));
    nb::object count = call2(counts, m_get, key, zero);
    nb::object next = nb::steal(PyNumber_Add(count.ptr(), nb::int_(1).ptr()));
    if (!next.is_valid() || PyObject_SetItem(counts.ptr(), key.ptr(), next.ptr()) < 0)
        throw nb::python_error();
    int in_streak = PySequence_Contains(failing.ptr(), key.ptr());
    if (in_streak < 0)
        throw nb::python_error();
    if (in_streak)
        return;
    call1(failing, m_add, key);
    warn_backend_failure(backend, error);
}

bool is_awaitable(PyObject *obj) {
    if (PyCoro_CheckExact(obj))
        return true;
    PyTypeObject *t = Py_TYPE(obj);
    return t->tp_as_async != nullptr && t->tp_as_async->am_await != nullptr;
}

// True for a CancelledError raised by a backend on its own, while the caller's task is not being
// cancelled (asyncio.gather reports such a child as a result, too).
bool backend_cancelled_itself(nb::python_error &e) {
    nb::object asyncio = outside::get(o_asyncio);
    nb::object cancelled = attr(asyncio, n_cancelled_error);
    if (!e.matches(cancelled))
        return false;
    nb::object task = call0(asyncio, m_current_task);
    if (task.is_none())
        return true;
    PyObject *r = PyObject_CallMethodNoArgs(task.ptr(), m_cancelling.get());
    if (r == nullptr) {
        PyErr_Clear();  // a task type without cancelling(): keep the cancellation
        return false;
    }
    long n = PyLong_AsLong(r);
    Py_DECREF(r);
    if (n == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return n == 0;
}

// The current exception as an object, leaving no error set.
nb::object fetch_error() {
    return nb::steal(PyErr_GetRaisedException());
}

// ---------------------------------------------------------------- intake

// True when `self.<name>` is the method this module defined (not replaced on the class or the
// instance), so that it can be called directly.
bool own_method(nb::handle self, Name &name, PyObject *ours) {
    if (_PyType_Lookup(Py_TYPE(self.ptr()), name.get()) != ours)
        return false;
    PyObject **dictptr = _PyObject_GetDictPtr(self.ptr());
    if (dictptr == nullptr || *dictptr == nullptr)
        return true;
    int found = PyDict_Contains(*dictptr, name.get());
    if (found < 0)
        throw nb::python_error();
    return found == 0;
}

Task append_event_task(nb::object self, nb::object event) {
    // Steps up to the publication run without a suspension point.
    bool enabled = own_method(self, m_is_enabled, is_enabled_fn) ? is_enabled(self)
                                                                 : truthy(call0(self, m_is_enabled));
    if (!enabled)
        co_return false;
    nb::object event_id = attr(event, n_event_id);
    bool fresh = own_method(self, m_remember, remember_fn) ? remember_event_id(self, event_id)
                                                           : truthy(call1(self, m_remember, event_id));
    if (!fresh)
        co_return false;
    nb::object copy = orvane::models::deep_copy(event);
    call1(attr(self, a_flow_registry), m_capture_event, copy);
    call1(attr(self, a_channel), m_append, copy);
    call1(attr(self, a_store), m_append_event, copy);
    call1(attr(self, a_subscriptions), m_publish, copy);

    nb::object backends_obj = attr(self, a_backends);
    bool any_backend = !PyList_Check(backends_obj.ptr()) || PyList_GET_SIZE(backends_obj.ptr()) > 0;
    if (any_backend) {
        // A snapshot of the list: the fan-out concerns the backends present now.
        nb::object backends = nb::steal(PySequence_List(backends_obj.ptr()));
        if (!backends.is_valid())
            throw nb::python_error();
        Py_ssize_t count = PyList_GET_SIZE(backends.ptr());
        std::vector<nb::object> errors(static_cast<size_t>(count));
        std::vector<nb::object> awaitables;
        std::vector<Py_ssize_t> owners;
        awaitables.reserve(static_cast<size_t>(count));
        owners.reserve(static_cast<size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            nb::handle backend = PyList_GET_ITEM(backends.ptr(), i);
            try {
                nb::object own = orvane::models::deep_copy(copy);
                nb::object aw = call1(backend, m_append_event, own);
                if (!is_awaitable(aw.ptr())) {
                    PyErr_Format(PyExc_TypeError,
                                 "%.200s.append_event() returned a non-awaitable %.200s",
                                 Py_TYPE(backend.ptr())->tp_name, Py_TYPE(aw.ptr())->tp_name);
                    errors[static_cast<size_t>(i)] = fetch_error();
                    continue;
                }
                awaitables.push_back(std::move(aw));
                owners.push_back(i);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                errors[static_cast<size_t>(i)] = nb::borrow(e.value());
            }
        }
        if (awaitables.size() == 1) {
            // Awaited directly (no task for one backend); its failure is kept like gather keeps
            // it, and only a cancellation of the caller itself goes through.
            try {
                co_await orvane::coro::await(awaitables[0]);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception) && !backend_cancelled_itself(e))
                    throw;
                errors[static_cast<size_t>(owners[0])] = nb::borrow(e.value());
            }
        } else if (awaitables.size() > 1) {
            nb::object gather = attr(outside::get(o_asyncio), m_gather);
            std::vector<PyObject *> argv;
            argv.reserve(awaitables.size() + 1);
            for (auto &aw : awaitables)
                argv.push_back(aw.ptr());
            argv.push_back(Py_True);
            nb::object kwnames = nb::make_tuple(nb::handle(n_return_exceptions.get()));
            PyObject *fut = PyObject_Vectorcall(gather.ptr(), argv.data(), awaitables.size(),
                                                kwnames.ptr());
            if (fut == nullptr)
                throw nb::python_error();
            nb::object gathered = nb::steal(fut);
            nb::object results = co_await orvane::coro::await(gathered);
            nb::object seq = nb::steal(PySequence_List(results.ptr()));
            if (!seq.is_valid())
                throw nb::python_error();
            Py_ssize_t n = PyList_GET_SIZE(seq.ptr());
            for (Py_ssize_t j = 0; j < n && j < static_cast<Py_ssize_t>(owners.size()); ++j) {
                PyObject *item = PyList_GET_ITEM(seq.ptr(), j);
                if (PyExceptionInstance_Check(item))
                    errors[static_cast<size_t>(owners[static_cast<size_t>(j)])] =
                        nb::borrow(item);
            }
        }
        for (Py_ssize_t i = 0; i < count; ++i)
            record_backend_outcome(self, PyList_GET_ITEM(backends.ptr(), i),
                                   errors[static_cast<size_t>(i)]);
    }

    nb::object log_service = attr(self, a_log_service);
    if (!log_service.is_none()) {
        nb::object own = orvane::models::deep_copy(copy);
        nb::object pending = call1(log_service, m_append_event, own);
        co_await orvane::coro::await(pending);
    }
    co_return true;
}

Task append_events_task(nb::object self, nb::object events) {
    long long accepted = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(events.ptr()); ++i) {
        nb::object event = nb::borrow(PyList_GET_ITEM(events.ptr(), i));
        nb::object pending = call1(self, m_append_event, event);
        nb::object result = co_await orvane::coro::await(pending);
        if (truthy(result))
            ++accepted;
    }
    co_return nb::steal(PyLong_FromLongLong(accepted));
}

// ---------------------------------------------------------------- channel buffer

nb::list read_channel_buffer(nb::handle self) {
    nb::object buffer = attr(self, a_channel);
    nb::list out;
    nb::object it = nb::steal(PyObject_GetIter(buffer.ptr()));
    if (!it.is_valid())
        throw nb::python_error();
    while (PyObject *item = PyIter_Next(it.ptr())) {
        nb::object held = nb::steal(item);
        out.append(orvane::models::deep_copy(held));
    }
    if (PyErr_Occurred())
        throw nb::python_error();
    return out;
}

nb::list drain_channel_buffer(nb::handle self) {
    nb::list buffered = read_channel_buffer(self);
    call0(attr(self, a_channel), m_clear);
    return buffered;
}

// ---------------------------------------------------------------- subscriptions and flows

void require_optional_str(PyObject *value, const char *name) {
    orvane::args::require_str(value, name, /*none_ok=*/true);
}

bool is_mapping(PyObject *obj) {
    if (PyDict_Check(obj))
        return true;
    int r = PyObject_IsInstance(obj, mapping_abc);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

nb::object subscribe(nb::handle self, nb::args args, nb::kwargs kwargs) {
    std::vector<PyObject *> v;
    parse_keyword_only("RuntimeTraceDesk.subscribe", args, kwargs,
                       {"filter", "event_types", "run_id", "include_descendants", "source",
                        "level", "app_id", "app_id_pattern", "group_id", "maxsize"},
                       0, v);
    bool descendants_given = v[3] != nullptr;
    bool maxsize_given = v[9] != nullptr;
    for (auto &p : v)
        if (p == nullptr)
            p = Py_None;
    require_optional_str(v[2], "run_id");
    require_optional_str(v[4], "source");
    require_optional_str(v[5], "level");
    require_optional_str(v[6], "app_id");
    require_optional_str(v[7], "app_id_pattern");
    require_optional_str(v[8], "group_id");
    PyObject *descendants = Py_True;
    if (descendants_given)
        descendants = truthy(v[3]) ? Py_True : Py_False;
    nb::object maxsize = maxsize_given
                             ? orvane::args::to_pyint(v[9], "maxsize")
                             : nb::steal(PyLong_FromLong(100));
    nb::object registry = attr(self, a_subscriptions);
    nb::object method = attr(registry, m_subscribe);
    return call_kw(method,
                   {&k_filter, &k_event_types, &k_run_id, &k_include_descendants, &k_source,
                    &k_level, &k_app_id, &k_app_id_pattern, &k_group_id, &k_maxsize},
                   {v[0], v[1], v[2], descendants, v[4], v[5], v[6], v[7], v[8], maxsize.ptr()});
}

void unsubscribe(nb::handle self, nb::handle subscription_or_id) {
    call1(attr(self, a_subscriptions), m_unsubscribe, subscription_or_id);
}

nb::object checked_flow_result(nb::object result, const char *what) {
    if (result.is_none() || is_mapping(result.ptr()))
        return result;
    PyErr_Format(PyExc_TypeError,
                 "RuntimeFlowRegistry.%s() returned an incorrect type (expected Mapping or None, "
                 "got %.200s)",
                 what, Py_TYPE(result.ptr())->tp_name);
    throw nb::python_error();
}

nb::object register_flow_definition(nb::handle self, nb::args args, nb::kwargs kwargs) {
    std::vector<PyObject *> v;
    parse_keyword_only("RuntimeTraceDesk.register_flow_definition", args, kwargs,
                       {"app_id", "group_id", "flow_name", "definition", "mermaid"}, 4, v);
    if (v[4] == nullptr)
        v[4] = Py_None;
    require_optional_str(v[0], "app_id");
    require_optional_str(v[1], "group_id");
    orvane::args::require_str(v[2], "flow_name");
    if (!is_mapping(v[3]))
        orvane::args::raise_incorrect_type("definition", "Mapping", v[3]);
    if (v[4] != Py_None && !is_mapping(v[4]))
        orvane::args::raise_incorrect_type("mermaid", "Mapping", v[4]);
    nb::object method = attr(attr(self, a_flow_registry), m_register);
    nb::object result =
        call_kw(method, {&k_app_id, &k_group_id, &k_flow_name, &k_definition, &k_mermaid},
                {v[0], v[1], v[2], v[3], v[4]});
    return checked_flow_result(std::move(result), "register");
}

nb::object resolve_flow_definition(nb::handle self, nb::args args, nb::kwargs kwargs) {
    std::vector<PyObject *> v;
    parse_keyword_only("RuntimeTraceDesk.resolve_flow_definition", args, kwargs,
                       {"app_id", "group_id", "flow_name"}, 3, v);
    require_optional_str(v[0], "app_id");
    require_optional_str(v[1], "group_id");
    orvane::args::require_str(v[2], "flow_name");
    nb::object method = attr(attr(self, a_flow_registry), m_resolve);
    nb::object result =
        call_kw(method, {&k_app_id, &k_group_id, &k_flow_name}, {v[0], v[1], v[2]});
    return checked_flow_result(std::move(result), "resolve");
}

nb::dict backend_failures(nb::handle self) {
    nb::object counts = attr(self, a_failure_counts);
    PyObject *d = PyDict_New();
    if (d == nullptr || PyDict_Update(d, counts.ptr()) < 0) {
        Py_XDECREF(d);
        throw nb::python_error();
    }
    return nb::steal<nb::dict>(d);
}

}  // namespace

// ---------------------------------------------------------------- helpers of pyutil.hpp

nb::object call_kw(nb::handle callable, std::initializer_list<Name *> names,
                   std::initializer_list<PyObject *> values) {
    nb::object kwnames = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!kwnames.is_valid())
        throw nb::python_error();
    Py_ssize_t i = 0;
    for (Name *n : names)
        PyTuple_SET_ITEM(kwnames.ptr(), i++, Py_NewRef(n->get()));
    std::vector<PyObject *> argv(values);
    PyObject *r = PyObject_Vectorcall(callable.ptr(), argv.data(), 0, kwnames.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

void parse_keyword_only(const char *qualname, const nb::args &args, const nb::kwargs &kwargs,
                        std::initializer_list<const char *> names, size_t required,
                        std::vector<PyObject *> &out) {
    if (PyTuple_GET_SIZE(args.ptr()) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given",
                     qualname, PyTuple_GET_SIZE(args.ptr()) + 1);
        throw nb::python_error();
    }
    out.assign(names.size(), nullptr);
    Py_ssize_t found = 0;
    size_t i = 0;
    for (const char *name : names) {
        PyObject *value = nullptr;
        if (PyDict_GetItemStringRef(kwargs.ptr(), name, &value) < 0)
            throw nb::python_error();
        if (value != nullptr) {
            out[i] = value;
            Py_DECREF(value);  // still owned by kwargs, which outlives the call
            ++found;
        }
        ++i;
    }
    if (found != PyDict_GET_SIZE(kwargs.ptr())) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
            bool known = false;
            for (const char *name : names)
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0)
                    known = true;
            if (!known) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             qualname, key);
                throw nb::python_error();
            }
        }
    }
    std::vector<const char *> missing;
    i = 0;
    for (const char *name : names) {
        if (i < required && out[i] == nullptr)
            missing.push_back(name);
        ++i;
    }
    if (!missing.empty()) {
        std::string list;
        for (size_t k = 0; k < missing.size(); ++k) {
            if (k > 0)
                list += (k + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ")
                                                  : ", ";
            list += "'";
            list += missing[k];
            list += "'";
        }
        if (missing.size() == 1)
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required keyword-only argument: %s",
                         qualname, list.c_str());
        else
            PyErr_Format(PyExc_TypeError, "%s() missing %zu required keyword-only arguments: %s",
                         qualname, missing.size(), list.c_str());
        throw nb::python_error();
    }
}

// ---------------------------------------------------------------- registration

void add_intake(nb::module_ &m, nb::dict &ns) {
    if (deque_type == nullptr) {
        deque_type = nb::object(nb::module_::import_("collections").attr("deque")).release().ptr();
        mapping_abc = nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
        nb::object utils = nb::module_::import_("orvane.utils");
        utils_dict = Py_NewRef(PyModule_GetDict(utils.ptr()));
        settings_get_fn = nb::object(utils.attr("Settings").attr("__dict__")["get"]).release().ptr();
        settings_lookup_fn = nb::object(utils.attr("_lookup")).release().ptr();
    }

    m.def("_coerce_int_setting", &coerce_int_setting, nb::arg("value").none(),
          nb::arg("default").none(),
          "Turn a raw setting value into an int: bool -> 0/1, int as is, float truncated, "
          "integer text parsed; anything else (and a value that is not finite or does not fit "
          "in 64 bits) gives ``default``.");

    ns["__init__"] = nb::cpp_function(
        [](nb::handle self, nb::handle settings) { init(self, settings); }, nb::is_method(),
        nb::name("__init__"), nb::arg("settings").none(),
        "Build the facade from a settings object (anything with ``get(key, default)``).");
    ns["reload"] = nb::cpp_function([](nb::handle self) { reload(self); }, nb::is_method(),
                                    nb::name("reload"),
                                    "Rebuild the backend list and the log service from the "
                                    "settings.");
    ns["reset"] = nb::cpp_function([](nb::handle self) { reset(self); }, nb::is_method(),
                                   nb::name("reset"),
                                   "Empty the store, the channel buffer, the de-duplication "
                                   "window, the subscriptions and the flow registry.");
    ns["_is_enabled"] = nb::cpp_function([](nb::handle self) { return is_enabled(self); },
                                         nb::is_method(), nb::name("_is_enabled"),
                                         "The master switch ``observation.enabled``, read now.");
    ns["_remember_event_id"] = nb::cpp_function(
        [](nb::handle self, nb::handle event_id) { return remember_event_id(self, event_id); },
        nb::is_method(), nb::name("_remember_event_id"), nb::arg("event_id").none(),
        "Remember an event id; False when it is already inside the window.");
    ns["append_event"] = nb::cpp_function(
        [](nb::handle self, nb::handle event) {
            return orvane::coro::wrap(append_event_task(nb::borrow(self), nb::borrow(event)),
                                      "RuntimeTraceDesk.append_event");
        },
        nb::is_method(), nb::name("append_event"), nb::arg("event").none(),
        "Accept one event (coroutine): True when accepted, False when disabled or a duplicate.");
    is_enabled_fn = nb::object(ns["_is_enabled"]).release().ptr();
    remember_fn = nb::object(ns["_remember_event_id"]).release().ptr();
    ns["append_events"] = nb::cpp_function(
        [](nb::handle self, nb::handle events) {
            orvane::args::require_list(events, "events");
            return orvane::coro::wrap(append_events_task(nb::borrow(self), nb::borrow(events)),
                                      "RuntimeTraceDesk.append_events");
        },
        nb::is_method(), nb::name("append_events"), nb::arg("events").none(),
        "Accept a list of events one after the other (coroutine); returns how many were "
        "accepted.");
    ns["subscribe"] = nb::cpp_function(&subscribe, nb::is_method(), nb::name("subscribe"),
                                       "Register a live subscription (keyword-only arguments).");
    ns["unsubscribe"] = nb::cpp_function(
        [](nb::handle self, nb::handle sub) { unsubscribe(self, sub); }, nb::is_method(),
        nb::name("unsubscribe"), nb::arg("subscription_or_id").none(),
        "Remove a subscription given as object or id.");
    ns["read_channel_buffer"] = nb::cpp_function(
        [](nb::handle self) { return read_channel_buffer(self); }, nb::is_method(),
        nb::name("read_channel_buffer"), "Copies of the buffered events, oldest first.");
    ns["drain_channel_buffer"] = nb::cpp_function(
        [](nb::handle self) { return drain_channel_buffer(self); }, nb::is_method(),
        nb::name("drain_channel_buffer"),
        "Copies of the buffered events, oldest first; the buffer is emptied.");
    ns["register_flow_definition"] =
        nb::cpp_function(&register_flow_definition, nb::is_method(),
                         nb::name("register_flow_definition"),
                         "Register a flow definition (keyword-only arguments).");
    ns["resolve_flow_definition"] =
        nb::cpp_function(&resolve_flow_definition, nb::is_method(),
                         nb::name("resolve_flow_definition"),
                         "The registered flow definition, or None (keyword-only arguments).");
    ns["backend_failures"] = nb::cpp_function(
        [](nb::handle self) { return backend_failures(self); }, nb::is_method(),
        nb::name("backend_failures"),
        "A copy of ``_backend_failure_counts``: failed fan-out calls per backend since the last "
        "reload.");

    nb::handle property = reinterpret_cast<PyObject *>(&PyProperty_Type);
    ns["log_service"] = property(
        nb::cpp_function([](nb::handle self) { return attr(self, a_log_service); },
                         nb::is_method(), nb::name("log_service")),
        nb::none(), nb::none(), "The log service, or None when ``logs.enabled`` is off.");
    ns["runtime_backend"] = property(
        nb::cpp_function([](nb::handle self) { return attr(attr(self, a_store), n_backend_name); },
                         nb::is_method(), nb::name("runtime_backend")),
        nb::none(), nb::none(), "The run store's name for itself (its ``backend_name``).");
}

}  // namespace orvane::desk
