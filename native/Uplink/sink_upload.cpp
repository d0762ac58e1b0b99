// Uploading for RemoteTraceSink: the flush run (a native coroutine run in a private event loop),
// availability bookkeeping and the warning, the background worker, the local listener probe,
// and the exit / fork hooks.
#include <cxxabi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <vector>

#include "orvane/sanitize.hpp"
#include "sink.hpp"

namespace orvane::uplink {

using orvane::coro::Task;
using orvane::outside::get;

namespace {

Name n_time{"time"};
Name n_asyncio{"asyncio"};
Name n_warnings{"warnings"};
Name n_threading{"threading"};
Name n_httpx{"httpx"};
Name n_lazy_import{"LazyImport"};
Name n_data_formatter{"DataFormatter"};
Name n_urlparse{"urlparse"};

Name n_endpoint{"endpoint"};
Name n_api_key{"api_key"};
Name n_app_id{"app_id"};
Name n_group_id{"group_id"};
Name n_environment{"environment"};
Name n_timeout{"timeout"};
Name n_meta{"meta"};
Name n_event_id{"event_id"};
Name n_batch_size{"_batch_size"};
Name n_interval{"_background_flush_interval"};
Name n_retry_delay{"_retry_delay_seconds"};
Name n_max_retry_delay{"_max_retry_delay_seconds"};
Name n_next_retry_at{"_next_retry_at"};
Name n_failure_count{"_failure_count"};
Name n_has_warned{"_has_warned_unavailable"};
Name n_target{"_local_listener_target"};
Name n_needs_probe{"_needs_local_probe"};
Name n_m_flush_pending{"_flush_pending_events"};
Name n_m_probe{"_probe_local_listener"};
Name n_m_mark_unavailable{"_mark_unavailable"};
Name n_m_mark_available{"_mark_available"};
Name n_m_build_warning{"_build_warning_message"};
Name n_m_serialize{"_serialize_event"};
Name n_m_peek{"_peek_pending_batch"};
Name n_m_drop_uploaded{"_drop_uploaded_batch"};
Name n_m_has_pending{"_has_pending_events"};
Name n_m_enqueue{"_enqueue_events"};
Name n_m_run_flush_sync{"_run_flush_sync"};
Name n_m_worker{"_background_flush_worker"};

using orvane::py::attr;
using orvane::py::set_attr;
using orvane::py::truthy;

double float_attr(nb::handle self, Name &name) {
    nb::object v = attr(self, name);
    double d = PyFloat_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}

int64_t int64_of(nb::handle value) {
    if (PyFloat_Check(value.ptr())) {
        double d = PyFloat_AS_DOUBLE(value.ptr());
        if (std::isnan(d))
            return 0;
        return d >= 9.2e18 ? INT64_MAX : d <= -9.2e18 ? INT64_MIN : static_cast<int64_t>(d);
    }
    PyObject *i = PyNumber_Index(value.ptr());
    if (i == nullptr)
        throw nb::python_error();
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : v;
}

// Calls a method of `self` looked up by name, so overrides in subclasses are honoured.
template <typename... Args> nb::object call(nb::handle self, Name &name, Args &&...args) {
    return attr(self, name)(std::forward<Args>(args)...);
}

// The exception being handled, as a Python exception object (C++ errors are translated).
nb::object caught_exception() {
    orvane::coro::set_python_error_from_current();
    return nb::steal(PyErr_GetRaisedException());
}

[[noreturn]] void reraise(nb::object exc) {
    PyErr_SetRaisedException(exc.release().ptr());
    throw nb::python_error();
}

nb::object import_httpx() {
    nb::object module = get(n_lazy_import).attr("import_package")("httpx");
    nb::object httpx = get(n_httpx);
    return httpx.is_none() ? module : httpx;
}

// The SSL context a client of `httpx` would build for itself (verify=True, trust_env=True),
// built once and shared: building it loads the CA bundle (tens of milliseconds with the GIL
// held), and every flush run creates a client. Rebuilt when the module or the SSL_CERT_FILE /
// SSL_CERT_DIR variables it reads change. Invalid when `httpx` offers no create_ssl_context
// (the client then builds its own).
nb::object shared_ssl_context(nb::handle httpx) {
    static PyObject *owner = nullptr;  // the httpx module the context was built with
    static std::string *key = new std::string();
    static PyObject *context = nullptr;
    PyObject *factory = nullptr;
    if (PyObject_GetOptionalAttrString(httpx.ptr(), "create_ssl_context", &factory) < 0)
        throw nb::python_error();
    if (factory == nullptr)
        return nb::object();
    nb::object factory_ref = nb::steal(factory);
    const char *file = std::getenv("SSL_CERT_FILE");
    const char *dir = std::getenv("SSL_CERT_DIR");
    std::string now = std::string(file ? file : "") + '\0' + (dir ? dir : "");
    if (context == nullptr || owner != httpx.ptr() || *key != now) {
        nb::object fresh = factory_ref();
        Py_XDECREF(owner);
        Py_XDECREF(context);
        owner = Py_NewRef(httpx.ptr());
        context = fresh.release().ptr();
        *key = now;
    }
    return nb::borrow(context);
}

// httpx.AsyncClient(timeout=..., verify=<the shared context>).
nb::object new_client(nb::handle httpx, nb::handle timeout) {
    nb::object ssl = shared_ssl_context(httpx);
    if (!ssl.is_valid())
        return httpx.attr("AsyncClient")(nb::arg("timeout") = timeout);
    return httpx.attr("AsyncClient")(nb::arg("timeout") = timeout, nb::arg("verify") = ssl);
}

nb::object bearer_headers(nb::handle self, bool with_content_type) {
    nb::dict headers;
    if (with_content_type)
        headers["Content-Type"] = "application/json";
    nb::object key = attr(self, n_api_key);
    if (!key.is_none() && truthy(key)) {
        PyObject *text = PyUnicode_FromFormat("Bearer %S", key.ptr());
        if (text == nullptr)
            throw nb::python_error();
        headers["Authorization"] = nb::steal(text);
    }
    return headers;
}

size_t pending_size_hint(SinkState &st) { return st.queue.size(); }

void require_error(nb::handle error) {
    if (!error.is_none() && !PyExceptionInstance_Check(error.ptr()))
        orvane::args::raise_incorrect_type("error", "BaseException", error);
}

// Text of an error with every secret of the sink replaced.
nb::object redacted_text(nb::handle self, nb::handle error) {
    std::string text = redact(to_text(error), secrets_of(self));
    return nb::str(text.c_str(), text.size());
}

// --- the flush run ---------------------------------------------------------------------------
//
// Awaitables are built into named locals before each co_await: GCC mis-handles the lifetime of
// temporaries (conditional expressions in particular) inside a co_await operand.

// client.__aexit__(type, value, traceback) for `failure`, or with three Nones.
nb::object exit_with(const nb::object &aexit, const nb::object &client, const nb::object &failure) {
    if (!failure.is_valid())
        return aexit(client, nb::none(), nb::none(), nb::none());
    nb::object tb = nb::steal(PyException_GetTraceback(failure.ptr()));
    if (!tb.is_valid())
        tb = nb::none();
    return aexit(client, nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(failure.ptr()))), failure, tb);
}

namespace {

// The shared sanitizer's rules while the module's DataFormatter still has the original sanitize.
std::optional<orvane::sanitize::Rules> native_rules() {
    if (!orvane::sanitize::is_original())
        return std::nullopt;
    return orvane::sanitize::Rules::current();
}

nb::object serialize_with(nb::handle self, nb::handle event, const orvane::sanitize::Rules *rules) {
    nb::object meta_src = attr(event, n_meta);
    nb::object meta;
    if (PyDict_CheckExact(meta_src.ptr()))
        meta = nb::steal(PyDict_Copy(meta_src.ptr()));
    else
        meta = nb::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), meta_src.ptr()));
    if (!meta.is_valid())
        throw nb::python_error();
    auto add_missing = [&](const char *key, nb::handle value) {
        int has = PyDict_ContainsString(meta.ptr(), key);
        if (has < 0)
            throw nb::python_error();
        if (!has && PyDict_SetItemString(meta.ptr(), key, value.ptr()) < 0)
            throw nb::python_error();
    };
    nb::object app_id = attr(self, n_app_id);
    if (truthy(app_id))
        add_missing("app_id", app_id);
    nb::object group_id = attr(self, n_group_id);
    if (!group_id.is_none())
        add_missing("group_id", group_id);
    nb::object environment = attr(self, n_environment);
    if (truthy(environment))
        add_missing("environment", environment);
    nb::object normalized = copy_with_update(event, {{&n_meta, meta}});
    nb::object dumped = normalized.attr("model_dump")(nb::arg("mode") = "json");
    if (rules != nullptr) {
        try {
            return orvane::sanitize::sanitize_owned(dumped, *rules);  // the dump is ours alone
        } catch (orvane::json::Unsupported &) {
            dumped = normalized.attr("model_dump")(nb::arg("mode") = "json");  // (partly sanitised)
        }
    }
    return get(n_data_formatter).attr("sanitize")(dumped);
}

}  // namespace

// True when `name` of `self` is the method defined here (`original`), not replaced by a subclass
// or on the instance.
bool is_own_method(nb::handle self, Name &name, PyObject *original) {
    if (original == nullptr || _PyType_Lookup(Py_TYPE(self.ptr()), name.get()) != original)
        return false;
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr)
        throw nb::python_error();
    int found = PyDict_Contains(dict, name.get());
    Py_DECREF(dict);
    if (found < 0)
        throw nb::python_error();
    return found == 0;
}

bool is_own_serialize(nb::handle self) {
    if (_PyType_Lookup(Py_TYPE(self.ptr()), n_m_serialize.get()) != g_fn_serialize)
        return false;
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr)
        throw nb::python_error();
    int found = PyDict_Contains(dict, n_m_serialize.get());
    Py_DECREF(dict);
    if (found < 0)
        throw nb::python_error();
    return found == 0;
}

nb::object build_body(nb::handle self, nb::handle batch) {
    nb::list events;
    nb::object method = attr(self, n_m_serialize);
    if (is_own_serialize(self)) {
        std::optional<orvane::sanitize::Rules> rules = native_rules();
        for (nb::handle event : batch)
            events.append(serialize_with(self, event, rules ? &*rules : nullptr));
    } else {
        for (nb::handle event : batch)
            events.append(method(event));
    }
    nb::dict body;
    body["app_id"] = attr(self, n_app_id);
    body["group_id"] = attr(self, n_group_id);
    body["environment"] = attr(self, n_environment);
    body["events"] = events;
    return body;
}

}  // namespace

nb::object native_body(nb::handle self, nb::handle batch, const std::vector<char> *captured) {
    if (!is_own_serialize(self) || !orvane::sanitize::is_original())
        return nb::object();
    return encode_body_native(self, batch, captured);
}

namespace {

// Leaves an httpx client's context as `async with` would, with `failure` (an exception, or
// empty) in flight. Returns the exception still to handle afterwards, or None.
Task leave_client(nb::object aexit, nb::object client, nb::object failure) {
    try {
        nb::object exit_call = exit_with(aexit, client, failure);
        nb::object suppress = co_await orvane::coro::await(exit_call);
        if (failure.is_valid() && truthy(suppress))
            failure = nb::object();
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        failure = caught_exception();
    }
    if (!failure.is_valid())
        co_return nb::none();
    co_return failure;
}

Task flush_task(nb::object self, bool drain, bool force) {
    nb::object httpx = import_httpx();
    nb::object headers = bearer_headers(self, true);
    nb::object http_error = httpx.attr("HTTPError");
    nb::object failure, client, aexit;
    bool entered = false;
    try {
        client = new_client(httpx, attr(self, n_timeout));
        nb::handle ctype(reinterpret_cast<PyObject *>(Py_TYPE(client.ptr())));
        nb::object aenter = ctype.attr("__aenter__");
        aexit = ctype.attr("__aexit__");
        nb::object enter_call = aenter(client);
        co_await orvane::coro::await(enter_call);
        entered = true;
        StateRef st = state_of(self);
        for (;;) {
            if (!truthy(call(self, n_m_has_pending)))
                break;
            double now = orvane::outside::time_monotonic();
            if (now < float_attr(self, n_next_retry_at) && !force)
                break;
            if (!force && truthy(attr(self, n_needs_probe))) {
                nb::object probe = call(self, n_m_probe);
                nb::object up = co_await orvane::coro::await(probe);
                if (!truthy(up)) {
                    call(self, n_m_mark_unavailable);
                    break;
                }
            }
            // With the sink's own batch view the entries are taken as stored, so that captured
            // events are encoded without building their snapshots; a batch the native encoder
            // cannot write is taken again through _peek_pending_batch for the Python path.
            std::vector<char> captured;
            bool raw = is_own_method(self, n_m_peek, g_fn_peek);
            nb::object batch = raw ? nb::object(peek_raw(self, *st.st, captured)) : call(self, n_m_peek);
            nb::object encoded = native_body(self, batch, raw ? &captured : nullptr);
            if (!encoded.is_valid() && raw) {
                batch = call(self, n_m_peek);
                raw = false;
            }
            Py_ssize_t count = PyObject_Length(batch.ptr());
            if (count < 0)
                throw nb::python_error();
            if (count == 0)
                break;
            nb::object ids = nb::steal(PySet_New(nullptr));
            Py_ssize_t index = 0;
            for (nb::handle event : batch) {
                nb::object id;
                if (raw && captured[static_cast<size_t>(index)]) {
                    PyObject *snap = PyList_GET_ITEM(event.ptr(), kCaptureSnapshot);
                    id = snap == Py_None ? nb::borrow(PyList_GET_ITEM(event.ptr(), 0)) : attr(snap, n_event_id);
                } else {
                    id = attr(event, n_event_id);
                }
                ++index;
                if (PySet_Add(ids.ptr(), id.ptr()) < 0)
                    throw nb::python_error();
            }
            nb::object post;
            if (encoded.is_valid()) {
                post = client.attr("post")(attr(self, n_endpoint), nb::arg("content") = encoded,
                                           nb::arg("headers") = headers);
            } else {
                nb::object body = build_body(self, batch);
                post = client.attr("post")(attr(self, n_endpoint), nb::arg("json") = body,
                                           nb::arg("headers") = headers);
            }
            nb::object response = co_await orvane::coro::await(post);
            response.attr("raise_for_status")();
            call(self, n_m_drop_uploaded, ids);
            {
                double wall = orvane::outside::time_time();
                LockGuard stats = stats_guard(*st.st);
                st->upload_batches += 1;
                st->uploaded_events += count;
                st->last_upload_at = nb::float_(wall);
            }
            call(self, n_m_mark_available);
            if (!drain)
                break;
        }
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        failure = caught_exception();
    }
    if (entered) {
        nb::object leaving = orvane::coro::wrap(leave_client(aexit, client, failure),
                                                "RemoteTraceSink._leave_client");
        nb::object left = co_await orvane::coro::await(leaving);
        failure = left.is_none() ? nb::object() : left;
    }
    if (failure.is_valid()) {
        int is_http = PyObject_IsInstance(failure.ptr(), http_error.ptr());
        if (is_http < 0)
            throw nb::python_error();
        if (!is_http)
            reraise(std::move(failure));
        call(self, n_m_mark_unavailable, failure);
    }
    co_return nb::none();
}

Task probe_task(nb::object self) {
    nb::object target = attr(self, n_target);
    if (target.is_none())
        co_return true;
    nb::object httpx = import_httpx();
    nb::object headers = bearer_headers(self, false);
    if (PyDict_GET_SIZE(headers.ptr()) == 0)
        headers = nb::none();
    double timeout = std::clamp(float_attr(self, n_timeout), 0.5, 2.0);
    nb::object url = nb::borrow(target[0]) + nb::borrow(target[1]) + nb::str("/runs");
    nb::object http_error = httpx.attr("HTTPError");
    nb::object failure, client, aexit, status;
    bool entered = false;
    try {
        client = new_client(httpx, nb::float_(timeout));
        nb::handle ctype(reinterpret_cast<PyObject *>(Py_TYPE(client.ptr())));
        nb::object aenter = ctype.attr("__aenter__");
        aexit = ctype.attr("__aexit__");
        nb::object enter_call = aenter(client);
        co_await orvane::coro::await(enter_call);
        entered = true;
        nb::object get_call = client.attr("get")(url, nb::arg("headers") = headers);
        nb::object response = co_await orvane::coro::await(get_call);
        status = response.attr("status_code");
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        failure = caught_exception();
    }
    if (entered) {
        nb::object leaving = orvane::coro::wrap(leave_client(aexit, client, failure),
                                                "RemoteTraceSink._leave_client");
        nb::object left = co_await orvane::coro::await(leaving);
        failure = left.is_none() ? nb::object() : left;
    }
    if (failure.is_valid()) {
        int is_http = PyObject_IsInstance(failure.ptr(), http_error.ptr());
        if (is_http < 0)
            throw nb::python_error();
        if (is_http)
            co_return false;
        reraise(std::move(failure));
    }
    if (!status.is_valid())
        co_return false;  // the client suppressed an error: nothing was answered
    int below = PyObject_RichCompareBool(status.ptr(), nb::int_(500).ptr(), Py_LT);
    if (below < 0)
        throw nb::python_error();
    co_return below != 0;
}

Task append_events_task(nb::object self, nb::object events) {
    Py_ssize_t n = PyObject_Length(events.ptr());
    if (n < 0)
        throw nb::python_error();
    if (n == 0)
        co_return nb::none();
    call(self, n_m_enqueue, events);
    nb::object asyncio = get(n_asyncio);
    nb::object run = asyncio.attr("to_thread")(attr(self, n_m_run_flush_sync));
    co_await orvane::coro::await(run);
    co_return nb::none();
}

Task flush_async_task(nb::object self) {
    if (!truthy(call(self, n_m_has_pending)))
        co_return nb::none();
    nb::object asyncio = get(n_asyncio);
    nb::object run = asyncio.attr("to_thread")(attr(self, n_m_run_flush_sync), nb::arg("force") = true);
    co_await orvane::coro::await(run);
    co_return nb::none();
}

}  // namespace

nb::object flush_pending_events(nb::handle self, bool drain, bool force) {
    return orvane::coro::wrap(flush_task(nb::borrow(self), drain, force),
                              "RemoteTraceSink._flush_pending_events");
}

nb::object probe_local_listener(nb::handle self) {
    return orvane::coro::wrap(probe_task(nb::borrow(self)), "RemoteTraceSink._probe_local_listener");
}

nb::object append_events_async(nb::handle self, nb::handle events) {
    if (!(PyList_Check(events.ptr()) || PyTuple_Check(events.ptr()))) {
        if (PyUnicode_Check(events.ptr()) || PyBytes_Check(events.ptr()) ||
            PyDict_Check(events.ptr()) || !PySequence_Check(events.ptr()))
            orvane::args::raise_incorrect_type("events", "list", events);
    }
    return orvane::coro::wrap(append_events_task(nb::borrow(self), nb::borrow(events)),
                              "RemoteTraceSink.append_events");
}

nb::object flush_async(nb::handle self) {
    return orvane::coro::wrap(flush_async_task(nb::borrow(self)), "RemoteTraceSink.flush");
}

// --- availability ----------------------------------------------------------------------------

void mark_available(nb::handle self) {
    set_attr(self, n_failure_count, nb::int_(0));
    set_attr(self, n_next_retry_at, nb::float_(0.0));
    set_attr(self, n_has_warned, nb::bool_(false));
    set_attr(self, n_needs_probe, nb::bool_(false));
}

void mark_unavailable(nb::handle self, nb::handle error) {
    require_error(error);
    StateRef st = state_of(self);
    nb::object text = error.is_none() ? nb::none() : redacted_text(self, error);
    double wall = orvane::outside::time_time();
    {
        LockGuard stats = stats_guard(*st.st);
        st->upload_failures += 1;
        st->last_failure_at = nb::float_(wall);
        st->last_failure = text;
    }
    nb::object failures = attr(self, n_failure_count) + nb::int_(1);
    set_attr(self, n_failure_count, failures);
    double delay = backoff_delay(float_attr(self, n_retry_delay), float_attr(self, n_max_retry_delay),
                                 int64_of(failures));
    set_attr(self, n_next_retry_at, nb::float_(orvane::outside::time_monotonic() + delay));
    if (!attr(self, n_target).is_none())
        set_attr(self, n_needs_probe, nb::bool_(true));
    if (!truthy(attr(self, n_has_warned))) {
        nb::object message = call(self, n_m_build_warning, error);
        get(n_warnings).attr("warn")(message, nb::handle(g_warning_category),
                                     nb::arg("stacklevel") = 4);
        set_attr(self, n_has_warned, nb::bool_(true));
    }
}

std::string build_warning_message(nb::handle self, nb::handle error) {
    require_error(error);
    std::string detail;
    if (!error.is_none()) {
        std::string text = redact(to_text(error), secrets_of(self));
        if (!text.empty())
            detail = " (" + text + ")";
    }
    const char *hint = attr(self, n_target).is_none()
                           ? "Check that the configured DevTools endpoint and API key are reachable."
                           : "Start the local listener with `orvane-devtools start`.";
    return "ObservationBridge could not connect to the DevTools listener at " + public_endpoint(self) +
           detail + ". " + hint +
           " Pending events will stay buffered in memory and upload will retry silently with backoff.";
}


nb::object serialize_event(nb::handle self, nb::handle event) {
    std::optional<orvane::sanitize::Rules> rules = native_rules();
    return serialize_with(self, event, rules ? &*rules : nullptr);
}

// --- background worker -----------------------------------------------------------------------

namespace {

Name n_flag{"_flag"};
Name n_is_set{"is_set"};

// threading.Event.is_set() without the Python call (its flag attribute) for a plain Event.
bool event_is_set(nb::handle event) {
    static PyObject *event_type = nullptr;
    if (event_type == nullptr)
        event_type = nb::object(nb::module_::import_("threading").attr("Event")).release().ptr();
    if (Py_TYPE(event.ptr()) == reinterpret_cast<PyTypeObject *>(event_type)) {
        PyObject *flag = nullptr;
        if (PyObject_GetOptionalAttr(event.ptr(), n_flag.get(), &flag) < 0)
            throw nb::python_error();
        if (flag != nullptr) {
            bool set = flag == Py_True;
            Py_DECREF(flag);
            return set;
        }
    }
    return truthy(attr(event, n_is_set)());
}

}  // namespace

bool ensure_background_flush(nb::handle self) {
    StateRef ref = state_of(self);
    return ensure_background_flush(self, *ref.st);
}

bool ensure_background_flush(nb::handle self, SinkState &state) {
    SinkState *st = &state;
    if (!st->worker_starting) {
        nb::object thread = st->worker_thread;
        bool alive = false;
        if (!thread.is_none())
            alive = st->worker_alive || truthy(thread.attr("is_alive")());
        // is_alive() may run Python code and let another thread start a worker meanwhile.
        if (!alive && !st->worker_starting && st->worker_thread.is(thread)) {
            st->worker_starting = true;
            try {
                nb::object threading = get(n_threading);
                nb::object worker = threading.attr("Thread")(
                    nb::arg("target") = attr(self, n_m_worker),
                    nb::arg("name") = "ObservationBridgeFlushWorker", nb::arg("daemon") = true);
                st->worker_thread = worker;
                st->worker_alive = false;
                worker.attr("start")();
            } catch (...) {
                st->worker_starting = false;
                throw;
            }
            st->worker_starting = false;
        }
    }
    // While the worker waits out a back-off deadline a wake-up cannot shorten the wait (the worker
    // would only go back to sleep), so the event is left alone: this keeps a producer that runs
    // during an outage from paying for a thread wake-up on every call.
    if (!st->worker_backing_off) {
        nb::object event = st->worker_event;
        if (!event_is_set(event))
            event.attr("set")();
    }
    return true;
}

void run_flush_sync(nb::handle self, bool drain, bool force) {
    StateRef st = state_of(self);
    nb::object lock = st->flush_lock;
    LockGuard guard(lock.attr("acquire"), lock.attr("release"));
    nb::object loop = get(n_asyncio).attr("new_event_loop")();
    try {
        nb::object coro = attr(self, n_m_flush_pending)(nb::arg("drain") = drain,
                                                           nb::arg("force") = force);
        loop.attr("run_until_complete")(coro);
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        try {
            loop.attr("close")();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(self);
        }
        throw;
    }
    loop.attr("close")();
}

bool g_shutting_down = false;

namespace {

void sleep_seconds(double seconds) { get(n_time).attr("sleep")(seconds); }

void wait_event(SinkState &st, double timeout) {
    nb::object event = st.worker_event;
    if (timeout < 0)
        event.attr("wait")();
    else
        event.attr("wait")(std::min(timeout, 3600.0));
}

void clear_event(SinkState &st) { nb::object(st.worker_event).attr("clear")(); }

// Keeps `worker_alive` true while the body of the stored worker thread runs.
struct AliveMark {
    nb::object self, me;
    AliveMark(nb::handle s, nb::object current) : self(nb::borrow(s)), me(std::move(current)) {
        StateRef st = state_of(self);
        if (st->worker_thread.is(me))
            st->worker_alive = true;
    }
    ~AliveMark() {
        PyObject *saved = PyErr_GetRaisedException();
        try {
            StateRef st = state_of(self);
            if (st->worker_thread.is(me))
                st->worker_alive = false;
        } catch (nb::python_error &e) {
            e.discard_as_unraisable(self);
        }
        PyErr_SetRaisedException(saved);
    }
};

}  // namespace

void background_flush_worker(nb::handle self) {
    AliveMark mark(self, get(n_threading).attr("current_thread")());
    // At interpreter exit the worker leaves its loop at the next wake-up, so that it is not
    // ended inside C++ code while the interpreter shuts down.
    for (;;) {
        SinkState &st = *state_of(self).st;  // the holder lives in the instance dict
        wait_event(st, -1);
        if (g_shutting_down)
            return;
        clear_event(st);
        double interval = float_attr(self, n_interval);
        auto below_one_batch = [&] {
            return static_cast<int64_t>(pending_size_hint(st)) < int64_of(attr(self, n_batch_size));
        };
        if (interval > 0 && below_one_batch()) {
            sleep_seconds(interval);
            clear_event(st);
        }
        while (!g_shutting_down && has_pending(st)) {
            double now = orvane::outside::time_monotonic();
            double retry_at = float_attr(self, n_next_retry_at);
            if (now < retry_at) {
                st.worker_backing_off = true;
                try {
                    wait_event(st, retry_at - now);
                } catch (...) {
                    st.worker_backing_off = false;
                    throw;
                }
                st.worker_backing_off = false;
                clear_event(st);
                continue;
            }
            if (g_shutting_down)
                return;
            try {
                // A backlog of at least one full batch drains in one run (one client, batch
                // after batch); otherwise one batch per pass.
                bool drain = !below_one_batch();
                call(self, n_m_run_flush_sync, nb::arg("drain") = drain);
            } catch (nb::python_error &e) {
                if (!e.matches(PyExc_Exception))
                    throw;
                nb::object error = nb::borrow(e.value());
                try {
                    call(self, n_m_mark_unavailable, error);
                } catch (nb::python_error &e2) {
                    if (!e2.matches(PyExc_Exception))
                        throw;
                    e2.discard_as_unraisable(self);
                }
                break;
            }
            if (!has_pending(st))
                break;
            if (orvane::outside::time_monotonic() < float_attr(self, n_next_retry_at))
                continue;
            if (interval > 0 && below_one_batch()) {
                sleep_seconds(interval);
                clear_event(st);
            }
        }
    }
}

// --- local listener ----------------------------------------------------------------------------

nb::object resolve_local_listener_target(nb::handle self) {
    nb::object parsed = get(n_urlparse)(attr(self, n_endpoint));
    nb::object scheme = parsed.attr("scheme");
    std::string s = to_text(scheme);
    if (s != "http" && s != "https")
        return nb::none();
    nb::object host = parsed.attr("hostname");
    if (host.is_none())
        return nb::none();
    std::string h = to_text(host);
    if (h != "127.0.0.1" && h != "localhost")
        return nb::none();
    nb::object base = scheme + nb::str("://") + parsed.attr("netloc");
    nb::object path = parsed.attr("path");
    std::string prefix = route_prefix_for(to_text(path));
    return nb::make_tuple(base, nb::str(prefix.c_str(), prefix.size()));
}

// --- process exit and fork -----------------------------------------------------------------------

void exit_flush(nb::handle self) {
    StateRef st = state_of(self);
    if (st->queue.empty())
        return;
    double budget = float_attr(self, n_timeout);
    if (!(budget > 0))
        budget = 0.0;
    budget = std::min(budget, 3600.0);
    auto started = std::chrono::steady_clock::now();
    nb::object lock = st->flush_lock;
    bool acquired = truthy(lock.attr("acquire")(true, budget));
    if (acquired) {
        try {
            double used = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            double remaining = budget - used;
            if (remaining > 0) {
                nb::object asyncio = get(n_asyncio);
                nb::object loop = asyncio.attr("new_event_loop")();
                try {
                    nb::object coro = attr(self, n_m_flush_pending)(nb::arg("drain") = true,
                                                                       nb::arg("force") = true);
                    loop.attr("run_until_complete")(asyncio.attr("wait_for")(coro, remaining));
                } catch (nb::python_error &e) {
                    // A listener that does not answer in time is the case this bound is for.
                    if (!e.matches(PyExc_TimeoutError))
                        e.discard_as_unraisable(self);
                }
                loop.attr("close")();
            }
        } catch (...) {
            lock.attr("release")();
            throw;
        }
        lock.attr("release")();
    }
    size_t unsent = st->queue.size();
    if (unsent > 0) {
        LockGuard stats = stats_guard(*st.st);
        st->exit_unsent += static_cast<int64_t>(unsent);
    }
}

void reinit_after_fork(nb::handle self) {
    StateRef st = state_of(self);
    st->new_locks();
    st->worker_event = get(n_threading).attr("Event")();
    st->worker_thread = nb::none();
    st->worker_starting = false;
    st->worker_alive = false;
    st->worker_backing_off = false;
}

}  // namespace orvane::uplink
