// Uploading for RemoteTraceSink: its hooks of the shared flush run (the batch, the encoding of
// each event, the request, the listener's answers), availability bookkeeping and the warning,
// the local listener probe, and the asynchronous operations.
#include <cxxabi.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

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

Name n_asyncio{"asyncio"};
Name n_warnings{"warnings"};
Name n_json{"json"};
Name n_data_formatter{"DataFormatter"};
Name n_urlparse{"urlparse"};

Name n_endpoint{"endpoint"};
Name n_api_key{"api_key"};
Name n_app_id{"app_id"};
Name n_group_id{"group_id"};
Name n_environment{"environment"};
Name n_meta{"meta"};
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

using orvane::py::attr;
using orvane::py::set_attr;
using orvane::py::truthy;

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

// Content-Type (for uploads) and Authorization: "Basic ..." from credentials written into the
// endpoint URL (as an HTTP client would send them; httpx itself gets the URL without them, so
// that they never show in its log), else "Bearer <api_key>" when there is a key.
nb::object auth_headers(nb::handle self, bool with_content_type) {
    nb::dict headers;
    if (with_content_type)
        headers["Content-Type"] = "application/json";
    nb::object endpoint = attr(self, n_endpoint);
    std::string basic;
    if (PyUnicode_Check(endpoint.ptr())) {
        std::string url = to_text(endpoint);
        orvane::exporting::UrlParts parts = orvane::exporting::split_url(url);
        if (parts.has_userinfo)
            basic = orvane::exporting::basic_authorization(parts.userinfo);
    }
    if (!basic.empty()) {
        headers["Authorization"] = nb::str(basic.c_str(), basic.size());
        return headers;
    }
    nb::object key = attr(self, n_api_key);
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
    if (PyObject_GetOptionalAttrString(error.ptr(), "response", &response) < 0) {
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

// DataFormatter.sanitize for the plain JSON tree that model_dump(mode="json") returns (dicts with
// str keys, lists, str/int/float/bool/None), done natively with the same result: values under
// secret keys (decided by DataFormatter.is_secret_key, cached per
// key) become DataFormatter.MASK, nesting beyond MAX_DEPTH becomes DEPTH_MARKER and a container
// met again on its own path RECURSION_MARKER. Anything else in the tree makes it give up, and
// the caller then uses DataFormatter.sanitize itself. Only used while the module's DataFormatter
// still has the sanitize this module was built against.
class JsonSanitizer {
public:
    explicit JsonSanitizer(nb::handle formatter) : formatter_(nb::borrow(formatter)) {
        mask_ = formatter_.attr("MASK");
        recursion_ = formatter_.attr("RECURSION_MARKER");
        depth_marker_ = formatter_.attr("DEPTH_MARKER");
        max_depth_ = int64_of(formatter_.attr("MAX_DEPTH"));
        is_secret_ = formatter_.attr("is_secret_key");
        // The verdicts per key are kept across batches while is_secret_key stays the same
        // object (bounded: dropped when they grow past a few thousand keys).
        static PyObject *cache_owner = nullptr;
        static PyObject *cache = nullptr;
        if (cache == nullptr || cache_owner != is_secret_.ptr() || PyDict_GET_SIZE(cache) > 4096) {
            Py_XDECREF(cache_owner);
            Py_XDECREF(cache);
            cache_owner = nb::object(is_secret_).release().ptr();
            cache = PyDict_New();
            if (cache == nullptr)
                throw nb::python_error();
        }
        cache_ = nb::borrow<nb::dict>(cache);
    }

    // A new reference, or nullptr (no error set) when the tree holds something else.
    nb::object sanitize(nb::handle data) {
        if (is_scalar(data.ptr()))
            return nb::borrow(data);
        path_.clear();
        PyObject *r = walk(data.ptr(), 0);
        return r ? nb::steal(r) : nb::object();
    }

private:
    static bool is_scalar(PyObject *v) {
        PyTypeObject *t = Py_TYPE(v);
        return v == Py_None || t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type ||
               t == &PyBool_Type;
    }

    bool secret(PyObject *key) {
        PyObject *hit = nullptr;
        if (PyDict_GetItemRef(cache_.ptr(), key, &hit) < 0)
            throw nb::python_error();
        if (hit == nullptr) {
            nb::object r = is_secret_(nb::handle(key));
            hit = Py_NewRef(truthy(r) ? Py_True : Py_False);
            if (PyDict_SetItem(cache_.ptr(), key, hit) < 0) {
                Py_DECREF(hit);
                throw nb::python_error();
            }
        }
        bool out = hit == Py_True;
        Py_DECREF(hit);
        return out;
    }

    // Works on the tree in place: it is the private result of model_dump, referenced by nobody
    // else, so rebuilding it would only cost time. Returns a new reference to what replaces `v`
    // in its parent (`v` itself, or a marker), or nullptr (no error) for an unexpected type; the
    // tree is then left partly masked, which DataFormatter.sanitize (the fallback) maps to the
    // same result.
    PyObject *walk(PyObject *v, int64_t depth) {
        if (is_scalar(v))
            return Py_NewRef(v);
        PyTypeObject *t = Py_TYPE(v);
        if (t != &PyDict_Type && t != &PyList_Type)
            return nullptr;
        if (std::find(path_.begin(), path_.end(), v) != path_.end())
            return Py_NewRef(recursion_.ptr());
        if (depth >= max_depth_)
            return Py_NewRef(depth_marker_.ptr());
        path_.push_back(v);
        bool ok = true;
        if (t == &PyDict_Type) {
            Py_ssize_t pos = 0;
            PyObject *key, *item;
            // Only values of existing keys are replaced, which PyDict_Next allows.
            while (PyDict_Next(v, &pos, &key, &item)) {
                if (!PyUnicode_CheckExact(key)) {
                    ok = false;
                    break;
                }
                if (secret(key)) {
                    if (PyDict_SetItem(v, key, mask_.ptr()) < 0)
                        throw nb::python_error();
                    continue;
                }
                if (is_scalar(item))
                    continue;
                PyObject *w = walk(item, depth + 1);
                if (w == nullptr) {
                    ok = false;
                    break;
                }
                int rc = w == item ? 0 : PyDict_SetItem(v, key, w);
                Py_DECREF(w);
                if (rc < 0)
                    throw nb::python_error();
            }
        } else {
            Py_ssize_t n = PyList_GET_SIZE(v);
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *item = PyList_GET_ITEM(v, i);
                if (is_scalar(item))
                    continue;
                PyObject *w = walk(item, depth + 1);
                if (w == nullptr) {
                    ok = false;
                    break;
                }
                if (w == item)
                    Py_DECREF(w);
                else
                    PyList_SET_ITEM(v, i, w), Py_DECREF(item);
            }
        }
        path_.pop_back();
        return ok ? Py_NewRef(v) : nullptr;
    }

    nb::object formatter_, mask_, recursion_, depth_marker_, is_secret_;
    nb::dict cache_;
    int64_t max_depth_ = 0;
    std::vector<PyObject *> path_;
};

// A native sanitizer when the module's DataFormatter still has the original sanitize.
std::optional<JsonSanitizer> native_sanitizer() {
    nb::object formatter = get(n_data_formatter);
    PyObject *fn = PyObject_GetAttrString(formatter.ptr(), "sanitize");
    if (fn == nullptr)
        throw nb::python_error();
    bool original = fn == g_original_sanitize;
    Py_DECREF(fn);
    if (!original)
        return std::nullopt;
    return std::optional<JsonSanitizer>(std::in_place, formatter);
}

nb::object serialize_with(nb::handle self, nb::handle event, JsonSanitizer *sanitizer) {
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
    if (sanitizer != nullptr) {
        nb::object out = sanitizer->sanitize(dumped);
        if (out.is_valid())
            return out;
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

namespace {

// DataFormatter (the module's) when its sanitize and is_secret_key are still the ones this
// module was built against: the native writer decides secrets the same way only then.
nb::object original_formatter() {
    nb::object formatter = get(n_data_formatter);
    for (auto [name, original] : {std::pair{"sanitize", g_original_sanitize}, std::pair{"is_secret_key", g_original_is_secret}}) {
        PyObject *fn = PyObject_GetAttrString(formatter.ptr(), name);
        if (fn == nullptr)
            throw nb::python_error();
        bool same = fn == original;
        Py_DECREF(fn);
        if (!same)
            return nb::object();
    }
    return formatter;
}

// json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False) as UTF-8,
// appended to `out`: the bytes httpx sends for a json= body. Text holding lone surrogates (which
// UTF-8 cannot carry) is written with ensure_ascii=True instead: the same JSON value, with
// \uXXXX escapes.
void append_json(nb::handle value, std::string &out) {
    static PyObject *separators = nullptr;
    if (separators == nullptr)
        separators = nb::make_tuple(",", ":").release().ptr();
    nb::object dumps = get(n_json).attr("dumps");
    nb::object text = dumps(value, nb::arg("ensure_ascii") = false, nb::arg("separators") = nb::handle(separators),
                            nb::arg("allow_nan") = false);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
        text = dumps(value, nb::arg("ensure_ascii") = true, nb::arg("separators") = nb::handle(separators),
                     nb::arg("allow_nan") = false);
        data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (data == nullptr)
            throw nb::python_error();
    }
    out.append(data, static_cast<size_t>(size));
}

// Encodes the events of one batch: natively while this sink serializes events its own way and
// DataFormatter is the original one, else (or for an event the native writer cannot hold)
// through _serialize_event and json.dumps, with the same bytes as a result.
class UplinkEncoder final : public ItemEncoder {
public:
    UplinkEncoder(nb::handle self, const Batch &batch) : self_(nb::borrow(self)), batch_(batch) {
        own_serialize_ = is_own_method(self, n_m_serialize, g_fn_serialize);
        if (own_serialize_) {
            nb::object formatter = original_formatter();
            if (formatter.is_valid())
                writer_.emplace(self, formatter);
            sanitizer_ = native_sanitizer();
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
            nb::object serialized = own_serialize_ ? serialize_with(self_, event, sanitizer_ ? &*sanitizer_ : nullptr)
                                                   : call(self_, n_m_serialize, event);
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
    std::optional<EventWriter> writer_;
    std::optional<JsonSanitizer> sanitizer_;
};

// `{"app_id":...,"group_id":...,"environment":...,"events":[` for this sink.
std::string body_head(nb::handle self) {
    std::string out = "{\"app_id\":";
    append_json(attr(self, n_app_id), out);
    out += ",\"group_id\":";
    append_json(attr(self, n_group_id), out);
    out += ",\"environment\":";
    append_json(attr(self, n_environment), out);
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
    if (is_own_method(self, n_m_has_pending, g_fn_has_pending))
        return orvane::exporting::has_pending(st);
    return truthy(call(self, n_m_has_pending));
}

Batch UplinkExporter::take_batch(nb::handle self, ExportState &st) const {
    Batch b;
    // With the sink's own batch view the entries are taken as stored, so that captured events
    // are encoded without building their snapshots.
    if (is_own_method(self, n_m_peek, g_fn_peek)) {
        b.items = orvane::exporting::peek_raw(st, b.compact);
        b.raw = true;
        return b;
    }
    PyObject *list = PySequence_List(call(self, n_m_peek).ptr());
    if (list == nullptr)
        throw nb::python_error();
    b.items = nb::steal<nb::list>(list);
    b.compact.assign(static_cast<size_t>(PyList_GET_SIZE(list)), 0);
    b.raw = false;
    return b;
}

nb::object UplinkExporter::before_send(nb::handle self, ExportState &) const {
    if (!truthy(attr(self, n_needs_probe)))
        return nb::object();
    return call(self, n_m_probe);
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
    std::string url = orvane::exporting::url_without_userinfo(to_text(attr(self, n_endpoint)));
    return client.attr("post")(nb::str(url.c_str(), url.size()), nb::arg("content") = body,
                               nb::arg("headers") = auth_headers(self, true));
}

// 2xx delivered; 413, 400 and 422 split to find the events refused; anything else (401/403, 429,
// 5xx, ...) keeps the batch and backs off, honouring Retry-After (read from the error's response
// by _mark_unavailable).
Answer UplinkExporter::classify(nb::handle, ExportState &, nb::handle response) const {
    int status = static_cast<int>(int64_of(response.attr("status_code")));
    Verdict verdict = orvane::exporting::upload_verdict(status);
    if (verdict == Verdict::Delivered)
        return Answer{Verdict::Delivered, std::nullopt, nb::object()};
    // The failure as httpx words it ("Server error '503 ...' for url '...'").
    nb::object error;
    try {
        response.attr("raise_for_status")();
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
    if (is_own_method(self, n_m_drop_uploaded, g_fn_drop_uploaded))
        drop_uploaded(st, ids);
    else
        call(self, n_m_drop_uploaded, ids);
    orvane::exporting::record_delivery(st, items.size());
}

void UplinkExporter::mark_available(nb::handle self, ExportState &) const { call(self, n_m_mark_available); }

void UplinkExporter::mark_unavailable(nb::handle self, ExportState &, nb::handle error,
                                      std::optional<double>) const {
    // Retry-After travels with the error (its response), so an override of _mark_unavailable
    // sees all there is.
    if (error.is_none())
        call(self, n_m_mark_unavailable);
    else
        call(self, n_m_mark_unavailable, error);
}

PyObject *UplinkExporter::outage_category() const { return g_warning_category; }

std::string UplinkExporter::outage_message(nb::handle self, nb::handle error) const {
    return to_text(call(self, n_m_build_warning, error));
}

PyObject *UplinkExporter::set_aside_category() const { return g_set_aside_category; }

void UplinkExporter::run_pass(nb::handle self, ExportState &, bool drain) const {
    call(self, n_m_run_flush_sync, nb::arg("drain") = drain);
}

void UplinkExporter::pass_failed(nb::handle self, ExportState &, nb::handle error) const {
    call(self, n_m_mark_unavailable, error);
}

nb::object UplinkExporter::run_coroutine(nb::handle self, bool drain, bool force) const {
    return attr(self, n_m_flush_pending)(nb::arg("drain") = drain, nb::arg("force") = force);
}

void UplinkExporter::after_fork(nb::handle self, ExportState &) const {
    set_attr(self, n_needs_probe, nb::bool_(!attr(self, n_target).is_none()));
}

nb::object encode_batch_natively(nb::handle self, nb::handle batch) {
    if (!PyList_CheckExact(batch.ptr()) || !is_own_method(self, n_m_serialize, g_fn_serialize))
        return nb::object();
    nb::object formatter = original_formatter();
    if (!formatter.is_valid())
        return nb::object();
    EventWriter writer(self, formatter);
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
    nb::object target = attr(self, n_target);
    if (target.is_none())
        co_return true;
    nb::object httpx = orvane::exporting::import_httpx();
    nb::object headers = auth_headers(self, false);
    if (PyDict_GET_SIZE(headers.ptr()) == 0)
        headers = nb::none();
    double timeout = std::clamp(state_of(self)->timeout, 0.5, 2.0);
    std::string url_text = orvane::exporting::url_without_userinfo(
        to_text(nb::borrow(target[0]) + nb::borrow(target[1]) + nb::str("/runs")));
    nb::str url(url_text.c_str(), url_text.size());
    nb::object http_error = httpx.attr("HTTPError");
    nb::object failure, client, aexit, status;
    bool entered = false;
    try {
        client = orvane::exporting::http_client(httpx, timeout);
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
    set_attr(self, n_needs_probe, nb::bool_(false));
}

void mark_unavailable(nb::handle self, nb::handle error) {
    require_error(error);
    StateRef ref = state_of(self);
    ExportState &st = *ref.st;
    orvane::exporting::record_failure(self, st, error, retry_after_of_error(error));
    if (!attr(self, n_target).is_none())
        set_attr(self, n_needs_probe, nb::bool_(true));
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
    const char *hint = attr(self, n_target).is_none()
                           ? "Check that the configured DevTools endpoint and API key are reachable."
                           : "Start the local listener with `orvane-devtools start`.";
    return "ObservationBridge could not connect to the DevTools listener at " + g_hooks.public_endpoint(self) +
           detail + ". " + hint +
           " Pending events will stay buffered in memory and upload will retry silently with backoff.";
}

nb::object serialize_event(nb::handle self, nb::handle event) {
    std::optional<JsonSanitizer> sanitizer = native_sanitizer();
    return serialize_with(self, event, sanitizer ? &*sanitizer : nullptr);
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
    std::string prefix = orvane::exporting::route_prefix_for(to_text(path));
    return nb::make_tuple(base, nb::str(prefix.c_str(), prefix.size()));
}

}  // namespace orvane::uplink
