// Uploading for RemoteTraceSink: its hooks of the shared flush run (the batch, the encoding of
// each event, the request, the listener's answers), availability bookkeeping and the warning,
// the local listener probe, and the asynchronous operations.
#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "orvane/sanitize.hpp"
#include "sink.hpp"

namespace orvane::uplink {

using orvane::coro::Task;
using orvane::exporting::Answer;
using orvane::exporting::Batch;
using orvane::exporting::Encoded;
using orvane::exporting::ItemEncoder;
using orvane::exporting::Verdict;
using orvane::outside::get;

namespace {

Name o_asyncio{"asyncio"};
Name o_json{"json"};
Name o_data_formatter{"DataFormatter"};
Name o_urlparse{"urlparse"};

Name a_endpoint{"endpoint"};
Name a_api_key{"api_key"};
Name a_app_id{"app_id"};
Name a_group_id{"group_id"};
Name a_environment{"environment"};
Name a_meta{"meta"};
Name a_target{"_local_listener_target"};
Name a_needs_probe{"_needs_local_probe"};
Name a_status_code{"status_code"};
Name a_response{"response"};
Name a_http_error{"HTTPError"};
Name a_aenter{"__aenter__"};
Name a_aexit{"__aexit__"};
Name a_scheme{"scheme"};
Name a_hostname{"hostname"};
Name a_netloc{"netloc"};
Name a_path{"path"};
// RemoteTraceSink's own methods, called through the instance so that replacements are honoured
Name m_flush_pending{"_flush_pending_events"};
Name m_probe{"_probe_local_listener"};
Name m_mark_unavailable{"_mark_unavailable"};
Name m_mark_available{"_mark_available"};
Name m_build_warning{"_build_warning_message"};
Name m_serialize{"_serialize_event"};
Name m_peek{"_peek_pending_batch"};
Name m_drop_uploaded{"_drop_uploaded_batch"};
Name m_has_pending{"_has_pending_events"};
Name m_enqueue{"_enqueue_events"};
Name m_run_flush_sync{"_run_flush_sync"};
// Methods of other objects
Name m_dumps{"dumps"};
Name m_model_dump{"model_dump"};
Name m_sanitize{"sanitize"};
Name m_post{"post"};
Name m_get{"get"};
Name m_raise_for_status{"raise_for_status"};
Name m_to_thread{"to_thread"};
Name k_ensure_ascii{"ensure_ascii"};
Name k_separators{"separators"};
Name k_allow_nan{"allow_nan"};
Name k_mode{"mode"};
Name k_content{"content"};
Name k_headers{"headers"};
Name k_drain{"drain"};
Name k_force{"force"};
// Keys of the meta mapping an event is sent with
Name d_meta{"meta"};
Name d_app_id{"app_id"};
Name d_group_id{"group_id"};
Name d_environment{"environment"};

using orvane::py::attr;
using orvane::py::call0;
using orvane::py::call1;
using orvane::py::call_method_kw;
using orvane::py::set_attr;
using orvane::py::truthy;

nb::handle bool_handle(bool b) { return b ? Py_True : Py_False; }

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

// The exception being handled, as a Python exception object (C++ errors are translated).
nb::object caught_exception() {
    orvane::coro::set_python_error_from_current();
    return nb::steal(PyErr_GetRaisedException());
}

[[noreturn]] void reraise(nb::object exc) {
    PyErr_SetRaisedException(exc.release().ptr());
    throw nb::python_error();
}

// Content-Type (for uploads) and Authorization: "Basic ..." from credentials written into the
// endpoint URL (as an HTTP client would send them; httpx itself gets the URL without them, so
// that they never show in its log), else "Bearer <api_key>" when there is a key.
nb::object auth_headers(nb::handle self, bool with_content_type) {
    nb::dict headers;
    if (with_content_type)
        headers["Content-Type"] = "application/json";
    nb::object endpoint = attr(self, a_endpoint);
    std::string basic;
    if (PyUnicode_Check(endpoint.ptr())) {
        std::string url = text_of(endpoint);
        orvane::exporting::UrlParts parts = orvane::exporting::split_url(url);
        if (parts.has_userinfo)
            basic = orvane::exporting::basic_authorization(parts.userinfo);
    }
    if (!basic.empty()) {
        headers["Authorization"] = nb::str(basic.c_str(), basic.size());
        return headers;
    }
    nb::object key = attr(self, a_api_key);
    if (!key.is_none() && truthy(key)) {
        PyObject *text = PyUnicode_FromFormat("Bearer %S", key.ptr());
        if (text == nullptr)
            throw nb::python_error();
        headers["Authorization"] = nb::steal(text);
    }
    return headers;
}

// The Retry-After an error carries (httpx's HTTPStatusError keeps the response).
std::optional<double> retry_after_of_error(nb::handle error) {
    if (error.is_none())
        return std::nullopt;
    PyObject *response = nullptr;
    if (PyObject_GetOptionalAttr(error.ptr(), a_response.get(), &response) < 0) {
        PyErr_Clear();  // a property that raises (no response): nothing to read
        return std::nullopt;
    }
    if (response == nullptr)
        return std::nullopt;
    nb::object r = nb::steal(response);
    if (r.is_none())
        return std::nullopt;
    return orvane::exporting::retry_after_of(r);
}

void require_error(nb::handle error) {
    if (!error.is_none() && !PyExceptionInstance_Check(error.ptr()))
        orvane::args::raise_incorrect_type("error", "BaseException", error);
}

}  // namespace

namespace {

// The shared sanitizer's rules while the module's DataFormatter still has the original sanitize.
std::optional<orvane::sanitize::Rules> native_rules() {
    if (!orvane::sanitize::is_original())
        return std::nullopt;
    return orvane::sanitize::Rules::current();
}

// model.model_dump(mode="json")
nb::object dump_json_mode(nb::handle model) {
    static PyObject *json_text = PyUnicode_InternFromString("json");  // kept for the process
    return call_method_kw(model, m_model_dump, {}, {{&k_mode, json_text}});
}

nb::object serialize_with(nb::handle self, nb::handle event, const orvane::sanitize::Rules *rules) {
    nb::object meta_src = attr(event, a_meta);
    nb::object meta;
    if (PyDict_CheckExact(meta_src.ptr()))
        meta = nb::steal(PyDict_Copy(meta_src.ptr()));
    else
        meta = nb::steal(PyObject_CallOneArg(reinterpret_cast<PyObject *>(&PyDict_Type), meta_src.ptr()));
    if (!meta.is_valid())
        throw nb::python_error();
    auto add_missing = [&](Name &key, nb::handle value) {
        int has = PyDict_Contains(meta.ptr(), key.get());
        if (has < 0)
            throw nb::python_error();
        if (!has && PyDict_SetItem(meta.ptr(), key.get(), value.ptr()) < 0)
            throw nb::python_error();
    };
    nb::object app_id = attr(self, a_app_id);
    if (truthy(app_id))
        add_missing(d_app_id, app_id);
    nb::object group_id = attr(self, a_group_id);
    if (!group_id.is_none())
        add_missing(d_group_id, group_id);
    nb::object environment = attr(self, a_environment);
    if (truthy(environment))
        add_missing(d_environment, environment);
    nb::object normalized = copy_with_update(event, {{&d_meta, meta}});
    nb::object dumped = dump_json_mode(normalized);
    if (rules != nullptr) {
        try {
            return orvane::sanitize::sanitize_owned(dumped, *rules);  // the dump is ours alone
        } catch (orvane::json::Unsupported &) {
            dumped = dump_json_mode(normalized);  // (the first is partly sanitised)
        }
    }
    return call1(get(o_data_formatter), m_sanitize, dumped);
}

}  // namespace

namespace {

// json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False) as UTF-8,
// appended to `out`: the bytes httpx sends for a json= body, with lone surrogates (which UTF-8
// cannot carry) written as \uXXXX escapes, the same JSON value. The shared writer writes it; what
// the writer refuses (a NaN, a value of a type JSON has no form for) goes to json.dumps itself
// (ASCII output), which raises the error the Python path raises.
void append_json(nb::handle value, std::string &out) {
    size_t mark = out.size();
    try {
        orvane::json::Writer(out, orvane::json::kBodyEscapedStyle).value(value.ptr());
        return;
    } catch (orvane::json::Unsupported &) {
        out.resize(mark);
    } catch (...) {
        out.resize(mark);
        throw;
    }
    static PyObject *separators = nb::make_tuple(",", ":").release().ptr();  // kept for the process
    nb::object text = orvane::py::call_kw(attr(get(o_json), m_dumps), {value},
                                          {{&k_ensure_ascii, nb::handle(Py_True)},
                                           {&k_separators, nb::handle(separators)},
                                           {&k_allow_nan, nb::handle(Py_False)}});
    nb::object holder;
    out.append(orvane::py::utf8_of(text, holder));
}

// Encodes the events of one batch: natively while this sink serializes events its own way and
// DataFormatter is the original one, else (or for an event the native writer cannot hold)
// through _serialize_event and json.dumps, with the same bytes as a result.
class UplinkEncoder final : public ItemEncoder {
public:
    UplinkEncoder(nb::handle self, const Batch &batch) : self_(nb::borrow(self)), batch_(batch) {
        own_serialize_ = is_own_method(self, m_serialize, g_fn_serialize);
        if (own_serialize_) {
            rules_ = native_rules();
            if (rules_)
                writer_.emplace(self);
        }
    }

    // An event the Python path cannot encode either (a cyclic payload, a value whose str()
    // raises, nesting beyond the serializer's depth, bytes that are not UTF-8, a serializer that
    // raises) comes back as its error, and the flush run sets it aside.
    nb::object encode(size_t i, std::string &out) override {
        nb::handle item = batch_.item(i);
        bool compact = batch_.compact[i] != 0;
        if (writer_ && writer_->write(item, compact, out))
            return nb::object();
        try {
            nb::object event = item_snapshot(item, compact);
            nb::object serialized = own_serialize_ ? serialize_with(self_, event, rules_ ? &*rules_ : nullptr)
                                                   : call1(self_, m_serialize, event);
            append_json(serialized, out);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_Exception))
                throw;
            return nb::borrow(e.value());
        }
        return nb::object();
    }

private:
    nb::object self_;
    const Batch &batch_;
    bool own_serialize_ = false;
    std::optional<orvane::sanitize::Rules> rules_;  // while DataFormatter.sanitize is the original
    std::optional<EventWriter> writer_;
};

// `{"app_id":...,"group_id":...,"environment":...,"events":[` for this sink.
std::string body_head(nb::handle self) {
    std::string out = "{\"app_id\":";
    append_json(attr(self, a_app_id), out);
    out += ",\"group_id\":";
    append_json(attr(self, a_group_id), out);
    out += ",\"environment\":";
    append_json(attr(self, a_environment), out);
    out += ",\"events\":[";
    return out;
}

nb::object bytes_of(const std::string &s) {
    PyObject *b = PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
    if (b == nullptr)
        throw nb::python_error();
    return nb::steal(b);
}

}  // namespace

// --- hooks of the flush run ----------------------------------------------------------------------

bool UplinkExporter::has_pending(nb::handle self, ExportState &st) const {
    if (is_own_method(self, m_has_pending, g_fn_has_pending))
        return orvane::exporting::has_pending(st);
    return truthy(call0(self, m_has_pending));
}

Batch UplinkExporter::take_batch(nb::handle self, ExportState &st) const {
    Batch b;
    // With the sink's own batch view the entries are taken as stored, so that captured events
    // are encoded without building their snapshots.
    if (is_own_method(self, m_peek, g_fn_peek)) {
        b.items = orvane::exporting::peek_raw(st, b.compact);
        b.raw = true;
        return b;
    }
    PyObject *list = PySequence_List(call0(self, m_peek).ptr());
    if (list == nullptr)
        throw nb::python_error();
    b.items = nb::steal<nb::list>(list);
    b.compact.assign(static_cast<size_t>(PyList_GET_SIZE(list)), 0);
    b.raw = false;
    return b;
}

nb::object UplinkExporter::before_send(nb::handle self, ExportState &) const {
    if (!truthy(attr(self, a_needs_probe)))
        return nb::object();
    return call0(self, m_probe);
}

std::unique_ptr<ItemEncoder> UplinkExporter::encoder(nb::handle self, ExportState &, const Batch &batch) const {
    return std::make_unique<UplinkEncoder>(self, batch);
}

nb::object UplinkExporter::frame(nb::handle self, ExportState &, const Batch &, const Encoded &enc, size_t begin,
                                 size_t end) const {
    std::string body = body_head(self);
    size_t size = body.size() + 2;
    for (size_t k = begin; k < end; ++k)
        size += enc.piece(k).size() + 1;
    body.reserve(size);
    for (size_t k = begin; k < end; ++k) {
        if (k > begin)
            body.push_back(',');
        body.append(enc.piece(k));
    }
    body += "]}";
    return bytes_of(body);
}

nb::object UplinkExporter::send(nb::handle self, ExportState &, nb::handle client, nb::handle body) const {
    std::string url = orvane::exporting::url_without_userinfo(text_of(attr(self, a_endpoint)));
    return call_method_kw(client, m_post, {nb::str(url.c_str(), url.size())},
                          {{&k_content, body}, {&k_headers, auth_headers(self, true)}});
}

// 2xx delivered; 413, 400 and 422 split to find the events refused; anything else (401/403, 429,
// 5xx, ...) keeps the batch and backs off, honouring Retry-After (read from the error's response
// by _mark_unavailable).
Answer UplinkExporter::classify(nb::handle, ExportState &, nb::handle response) const {
    int status = static_cast<int>(int64_of(attr(response, a_status_code)));
    Verdict verdict = orvane::exporting::upload_verdict(status);
    if (verdict == Verdict::Delivered)
        return Answer{Verdict::Delivered, std::nullopt, nb::object()};
    // The failure as httpx words it ("Server error '503 ...' for url '...'").
    nb::object error;
    try {
        call0(response, m_raise_for_status);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        error = nb::borrow(e.value());
    }
    if (!error.is_valid()) {
        PyObject *exc = PyObject_CallFunction(PyExc_RuntimeError, "s",
                                              ("the listener answered HTTP " + std::to_string(status)).c_str());
        if (exc == nullptr)
            throw nb::python_error();
        error = nb::steal(exc);
    }
    return Answer{verdict, orvane::exporting::retry_after_of(response), error};
}

void UplinkExporter::delivered(nb::handle self, ExportState &st, const Batch &batch,
                               const std::vector<size_t> &items) const {
    nb::object ids = nb::steal(PySet_New(nullptr));
    if (!ids.is_valid())
        throw nb::python_error();
    for (size_t i : items) {
        nb::object id = item_id(batch.item(i), batch.compact[i] != 0);
        if (PySet_Add(ids.ptr(), id.ptr()) < 0)
            throw nb::python_error();
    }
    if (is_own_method(self, m_drop_uploaded, g_fn_drop_uploaded))
        drop_uploaded(st, ids);
    else
        call1(self, m_drop_uploaded, ids);
    orvane::exporting::record_delivery(st, items.size());
}

void UplinkExporter::mark_available(nb::handle self, ExportState &) const { call0(self, m_mark_available); }

void UplinkExporter::mark_unavailable(nb::handle self, ExportState &, nb::handle error,
                                      std::optional<double>) const {
    // Retry-After travels with the error (its response), so an override of _mark_unavailable
    // sees all there is.
    if (error.is_none())
        call0(self, m_mark_unavailable);
    else
        call1(self, m_mark_unavailable, error);
}

PyObject *UplinkExporter::outage_category() const { return g_warning_category; }

std::string UplinkExporter::outage_message(nb::handle self, nb::handle error) const {
    return text_of(call1(self, m_build_warning, error));
}

PyObject *UplinkExporter::set_aside_category() const { return g_set_aside_category; }

void UplinkExporter::run_pass(nb::handle self, ExportState &, bool drain) const {
    call_method_kw(self, m_run_flush_sync, {}, {{&k_drain, bool_handle(drain)}});
}

void UplinkExporter::pass_failed(nb::handle self, ExportState &, nb::handle error) const {
    call1(self, m_mark_unavailable, error);
}

nb::object UplinkExporter::run_coroutine(nb::handle self, bool drain, bool force) const {
    return call_method_kw(self, m_flush_pending, {}, {{&k_drain, bool_handle(drain)}, {&k_force, bool_handle(force)}});
}

void UplinkExporter::after_fork(nb::handle self, ExportState &) const {
    set_attr(self, a_needs_probe, nb::bool_(!attr(self, a_target).is_none()));
}

nb::object encode_batch_natively(nb::handle self, nb::handle batch) {
    if (!PyList_CheckExact(batch.ptr()) || !is_own_method(self, m_serialize, g_fn_serialize) ||
        !orvane::sanitize::is_original())
        return nb::object();
    EventWriter writer(self);
    if (!writer.usable())
        return nb::object();
    std::string body = body_head(self);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(batch.ptr()); ++i) {
        if (i)
            body.push_back(',');
        nb::object event = nb::borrow(PyList_GET_ITEM(batch.ptr(), i));
        if (!writer.write(event, false, body))
            return nb::object();
    }
    body += "]}";
    return bytes_of(body);
}

// --- the probe and the asynchronous operations ---------------------------------------------------

namespace {

Task probe_task(nb::object self) {
    nb::object target = attr(self, a_target);
    if (target.is_none())
        co_return true;
    nb::object httpx = orvane::exporting::import_httpx();
    nb::object headers = auth_headers(self, false);
    if (PyDict_GET_SIZE(headers.ptr()) == 0)
        headers = nb::none();
    double timeout = std::clamp(state_of(self)->timeout, 0.5, 2.0);
    std::string url_text = orvane::exporting::url_without_userinfo(
        text_of(nb::borrow(target[0]) + nb::borrow(target[1]) + nb::str("/runs")));
    nb::str url(url_text.c_str(), url_text.size());
    nb::object http_error = attr(httpx, a_http_error);
    nb::object failure, client, aexit, status;
    bool entered = false;
    try {
        client = orvane::exporting::http_client(httpx, timeout);
        nb::handle ctype(reinterpret_cast<PyObject *>(Py_TYPE(client.ptr())));
        nb::object aenter = attr(ctype, a_aenter);
        aexit = attr(ctype, a_aexit);
        nb::object enter_call = aenter(client);
        co_await orvane::coro::await(enter_call);
        entered = true;
        nb::object get_call = call_method_kw(client, m_get, {url}, {{&k_headers, headers}});
        nb::object response = co_await orvane::coro::await(get_call);
        status = attr(response, a_status_code);
    } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
        failure = caught_exception();
    }
    if (entered) {
        nb::object leaving = orvane::coro::wrap(orvane::exporting::leave_client(aexit, client, failure),
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
    call1(self, m_enqueue, events);
    nb::object asyncio = get(o_asyncio);
    nb::object run = call1(asyncio, m_to_thread, attr(self, m_run_flush_sync));
    co_await orvane::coro::await(run);
    co_return nb::none();
}

Task flush_async_task(nb::object self) {
    if (!truthy(call0(self, m_has_pending)))
        co_return nb::none();
    nb::object asyncio = get(o_asyncio);
    nb::object run = call_method_kw(asyncio, m_to_thread, {attr(self, m_run_flush_sync)}, {{&k_force, Py_True}});
    co_await orvane::coro::await(run);
    co_return nb::none();
}

}  // namespace

nb::object flush_pending_events(nb::handle self, bool drain, bool force) {
    return orvane::exporting::flush_coroutine(self, drain, force, "RemoteTraceSink._flush_pending_events");
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
    StateRef ref = state_of(self);
    g_hooks.Exporter::mark_available(self, *ref.st);
    set_attr(self, a_needs_probe, nb::bool_(false));
}

void mark_unavailable(nb::handle self, nb::handle error) {
    require_error(error);
    StateRef ref = state_of(self);
    ExportState &st = *ref.st;
    orvane::exporting::record_failure(self, st, error, retry_after_of_error(error));
    if (!attr(self, a_target).is_none())
        set_attr(self, a_needs_probe, nb::bool_(true));
    orvane::exporting::warn_outage_once(self, st, error);
}

std::string build_warning_message(nb::handle self, nb::handle error) {
    require_error(error);
    std::string detail;
    if (!error.is_none()) {
        std::string text = orvane::exporting::redacted_error_text(self, error);
        if (!text.empty())
            detail = " (" + text + ")";
    }
    const char *hint = attr(self, a_target).is_none()
                           ? "Check that the configured DevTools endpoint and API key are reachable."
                           : "Start the local listener with `orvane-devtools start`.";
    return "ObservationBridge could not connect to the DevTools listener at " + g_hooks.public_endpoint(self) +
           detail + ". " + hint +
           " Pending events will stay buffered in memory and upload will retry silently with backoff.";
}

nb::object serialize_event(nb::handle self, nb::handle event) {
    std::optional<orvane::sanitize::Rules> rules = native_rules();
    return serialize_with(self, event, rules ? &*rules : nullptr);
}

// --- local listener ----------------------------------------------------------------------------

nb::object resolve_local_listener_target(nb::handle self) {
    nb::object parsed = get(o_urlparse)(attr(self, a_endpoint));
    nb::object scheme = attr(parsed, a_scheme);
    std::string s = text_of(scheme);
    if (s != "http" && s != "https")
        return nb::none();
    nb::object host = attr(parsed, a_hostname);
    if (host.is_none())
        return nb::none();
    std::string h = text_of(host);
    if (h != "127.0.0.1" && h != "localhost")
        return nb::none();
    nb::object base = scheme + nb::str("://") + attr(parsed, a_netloc);
    nb::object path = attr(parsed, a_path);
    std::string prefix = orvane::exporting::route_prefix_for(text_of(path));
    return nb::make_tuple(base, nb::str(prefix.c_str(), prefix.size()));
}

}  // namespace orvane::uplink
