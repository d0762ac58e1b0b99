#include "builder.hpp"

#include <algorithm>
#include <cstring>

#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::otlp {

using orvane::outside::Name;
using orvane::py::attr;

namespace {

// Attributes of the event and its run context.
Name a_event_id{"event_id"}, a_event_type{"event_type"}, a_timestamp{"timestamp"},
    a_source{"source"}, a_level{"level"}, a_message{"message"}, a_payload{"payload"},
    a_error{"error"}, a_meta{"meta"}, a_run{"run"}, a_value{"value"};
Name a_run_id{"run_id"}, a_root_run_id{"root_run_id"}, a_parent_run_id{"parent_run_id"},
    a_run_kind{"run_kind"}, a_agent_id{"agent_id"}, a_agent_name{"agent_name"},
    a_session_id{"session_id"}, a_response_id{"response_id"}, a_execution_id{"execution_id"};
// Outside names of the module.
Name o_data_formatter{"DataFormatter"}, o_json{"json"};
Name m_sanitize{"sanitize"}, m_dumps{"dumps"};

// A lone surrogate written by the "surrogatepass" handler is ED A0..BF xx; U+FFFD is EF BF BD,
// the same length, so the text is mended in place.
void mend_surrogates(std::string &s) {
    for (size_t i = 0; i + 2 < s.size(); ++i) {
        if (static_cast<unsigned char>(s[i]) == 0xED && (static_cast<unsigned char>(s[i + 1]) & 0xE0) == 0xA0) {
            s[i] = static_cast<char>(0xEF);
            s[i + 1] = static_cast<char>(0xBF);
            s[i + 2] = static_cast<char>(0xBD);
            i += 2;
        }
    }
}

// The text of any value: str as is, anything else through str().
std::string text_of(nb::handle value) {
    if (PyUnicode_Check(value.ptr()))
        return utf8_of(value);
    nb::object s = nb::steal(PyObject_Str(value.ptr()));
    if (!s.is_valid())
        throw nb::python_error();
    return utf8_of(s);
}

Text optional_text(nb::handle value) {
    if (value.is_none())
        return std::nullopt;
    return text_of(value);
}

// A dict entry by key (borrowed), or nullptr.
PyObject *entry(nb::handle dict, const char *key) {
    if (!PyDict_Check(dict.ptr()))
        return nullptr;
    PyObject *v = PyDict_GetItemString(dict.ptr(), key);  // borrowed; no error on a miss
    return v;
}

Text entry_text(nb::handle dict, const char *key) {
    PyObject *v = entry(dict, key);
    if (v == nullptr || v == Py_None)
        return std::nullopt;
    return text_of(v);
}

Text first_entry_text(nb::handle dict, std::initializer_list<const char *> keys) {
    for (const char *key : keys) {
        PyObject *v = entry(dict, key);
        if (v == nullptr || v == Py_None)
            continue;
        if (PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) == 0)
            continue;
        if (PyUnicode_Check(v) || PyLong_Check(v))
            return text_of(v);
    }
    return std::nullopt;
}

// A level: str as is, an enumeration member by its value, anything else through str().
Text level_text(nb::handle level) {
    if (level.is_none())
        return std::nullopt;
    if (PyUnicode_CheckExact(level.ptr()))
        return utf8_of(level);
    PyObject *value = nullptr;
    if (PyObject_GetOptionalAttr(level.ptr(), a_value.get(), &value) < 0)
        throw nb::python_error();
    if (value != nullptr) {
        nb::object v = nb::steal(value);
        return text_of(v);
    }
    return text_of(level);
}

int64_t timestamp_of(nb::handle value) {
    nb::object number = nb::borrow(value);
    if (!PyLong_Check(value.ptr())) {
        number = nb::steal(PyNumber_Long(value.ptr()));
        if (!number.is_valid())
            throw nb::python_error();
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow > 0 ? INT64_MAX : overflow < 0 ? INT64_MIN : v;
}

// DataFormatter.sanitize(value) as compact JSON text; "<unserializable>" when either step
// raises (the event is kept).
std::string masked_json(nb::handle value, bool &failed) {
    try {
        nb::object formatter = orvane::outside::get(o_data_formatter);
        nb::object clean = orvane::py::call1(formatter, m_sanitize, value);
        if (PyUnicode_CheckExact(clean.ptr())) {
            // A str encodes to itself in quotes; skip the Python call.
            std::string out;
            append_json_string(out, utf8_of(clean));
            return out;
        }
        nb::object json = orvane::outside::get(o_json);
        nb::object text = attr(json, m_dumps)(clean, nb::arg("ensure_ascii") = false,
                                              nb::arg("separators") = nb::make_tuple(",", ":"));
        return utf8_of(text);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        failed = true;
        return "\"<unserializable>\"";
    }
}

// The type and text of a failure from the event's `error`: an exception by its class name and
// str(); a mapping by its "type" (or "error_type", "name", "code") and "message" (or "detail",
// "error", "reason"); a plain string as the text.
void read_error(nb::handle error, EventFacts &f) {
    if (error.is_none())
        return;
    if (PyExceptionInstance_Check(error.ptr())) {
        f.error_type = std::string(_PyType_Name(Py_TYPE(error.ptr())));
        f.error_message = text_of(error);
        return;
    }
    if (PyDict_Check(error.ptr())) {
        f.error_type = first_entry_text(error, {"type", "error_type", "name", "code"});
        f.error_message = first_entry_text(error, {"message", "detail", "error", "reason"});
        return;
    }
    if (PyUnicode_Check(error.ptr()) && PyUnicode_GET_LENGTH(error.ptr()) > 0)
        f.error_message = utf8_of(error);
}

// The tool an action event names: payload "tool" (a name, or a mapping with "name") or
// "tool_name"; its call id: "tool_call_id" or "call_id".
void read_tool(nb::handle payload, EventFacts &f) {
    if (!PyDict_Check(payload.ptr()))
        return;
    PyObject *tool = entry(payload, "tool");
    if (tool != nullptr && PyDict_Check(tool))
        f.tool_name = first_entry_text(nb::handle(tool), {"name"});
    else
        f.tool_name = first_entry_text(payload, {"tool", "tool_name"});
    f.tool_call_id = first_entry_text(payload, {"tool_call_id", "call_id"});
}

void read_run(nb::handle run, EventFacts &f) {
    RunFacts &r = f.run;
    nb::object run_id = attr(run, a_run_id);
    if (!PyUnicode_Check(run_id.ptr()))
        throw nb::type_error("run_id is not a str");
    r.run_id = utf8_of(run_id);
    r.root_run_id = optional_text(attr(run, a_root_run_id));
    r.parent_run_id = optional_text(attr(run, a_parent_run_id));
    Text kind = optional_text(attr(run, a_run_kind));
    r.run_kind = kind ? *kind : std::string();
    r.agent_id = optional_text(attr(run, a_agent_id));
    r.agent_name = optional_text(attr(run, a_agent_name));
    r.session_id = optional_text(attr(run, a_session_id));
    r.response_id = optional_text(attr(run, a_response_id));
    r.execution_id = optional_text(attr(run, a_execution_id));
    nb::object meta = attr(run, a_meta);
    r.flow_name = entry_text(meta, "flow_name");
    r.tool_name = first_entry_text(meta, {"tool", "tool_name"});
    r.provider = first_entry_text(meta, {"gen_ai.provider.name", "provider"});
    r.model = first_entry_text(meta, {"gen_ai.request.model", "model"});
    if (!f.app_id)
        f.app_id = entry_text(meta, "app_id");
    if (!f.group_id)
        f.group_id = entry_text(meta, "group_id");
    if (!f.environment)
        f.environment = entry_text(meta, "environment");
}

}  // namespace

std::string utf8_of(nb::handle str) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(str.ptr(), &n);
    if (p != nullptr)
        return std::string(p, static_cast<size_t>(n));
    PyErr_Clear();
    nb::object bytes = nb::steal(PyUnicode_AsEncodedString(str.ptr(), "utf-8", "surrogatepass"));
    if (!bytes.is_valid())
        throw nb::python_error();
    std::string out(PyBytes_AS_STRING(bytes.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(bytes.ptr())));
    mend_surrogates(out);
    return out;
}

const Scope &exporter_scope() {
    static const Scope *scope = new Scope{"orvane_devtools.observation", "0.1.0"};
    return *scope;
}

SpanBuilder::SpanBuilder(TrackerOptions options, size_t max_ready)
    : runs_(std::move(options)), max_ready_(max_ready) {}

void SpanBuilder::accept(std::vector<Span> &finished) {
    for (Span &s : finished) {
        if (max_ready_ > 0 && ready_.size() >= max_ready_) {
            ready_.pop_front();  // a full outbox lets the oldest span go
            counts_.spans_dropped += 1;
        }
        ready_.push_back(std::move(s));
    }
    finished.clear();
}

bool SpanBuilder::add(nb::handle event) {
    EventFacts f;
    try {
        nb::object type = attr(event, a_event_type);
        f.event_type = text_of(type);
        f.event_id = text_of(attr(event, a_event_id));
        f.timestamp_ms = timestamp_of(attr(event, a_timestamp));
        nb::object meta = attr(event, a_meta);
        f.app_id = entry_text(meta, "app_id");
        f.group_id = entry_text(meta, "group_id");
        f.environment = entry_text(meta, "environment");
        nb::object run = attr(event, a_run);
        if (!run.is_none()) {
            f.has_run = true;
            read_run(run, f);
        }
        if (f.has_run && runs_.wants_details(f.event_type)) {
            f.source = optional_text(attr(event, a_source));
            f.level = level_text(attr(event, a_level));
            f.message = optional_text(attr(event, a_message));
            nb::object payload = attr(event, a_payload);
            nb::object error = attr(event, a_error);
            bool failed = false;
            if (!payload.is_none()) {
                f.payload_json = masked_json(payload, failed);
                read_tool(payload, f);
            }
            if (!error.is_none()) {
                f.error_json = masked_json(error, failed);
                read_error(error, f);
            }
            if (failed)
                counts_.payloads_unserializable += 1;
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception))
            throw;
        counts_.events_unreadable += 1;
        return false;
    }
    counts_.events_absorbed += 1;
    runs_.absorb(std::move(f), scratch_);
    accept(scratch_);
    return true;
}

void SpanBuilder::judge(int64_t now_ms) {
    runs_.judge(now_ms, scratch_);
    accept(scratch_);
}

void SpanBuilder::finish_all(int64_t now_ms) {
    runs_.finish_all(now_ms, scratch_);
    accept(scratch_);
}

std::vector<Span> SpanBuilder::take(size_t max) {
    std::vector<Span> out;
    size_t n = std::min(max, ready_.size());
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(std::move(ready_.front()));
        ready_.pop_front();
    }
    return out;
}

void SpanBuilder::put_back(std::vector<Span> &&spans) {
    for (auto it = spans.rbegin(); it != spans.rend(); ++it)
        ready_.push_front(std::move(*it));
    while (max_ready_ > 0 && ready_.size() > max_ready_) {
        ready_.pop_front();
        counts_.spans_dropped += 1;
    }
}

void SpanBuilder::clear() {
    runs_.clear();
    ready_.clear();
}

std::string encode_request(const std::vector<Span> &spans, Protocol protocol, int gzip_level,
                           const Scope &scope) {
    std::vector<const Span *> refs;
    refs.reserve(spans.size());
    for (const Span &s : spans)
        refs.push_back(&s);
    std::string body;
    if (protocol == Protocol::json)
        encode_json(refs, scope, body);
    else
        encode_protobuf(refs, scope, body);
    if (gzip_level < 0)
        return body;
    return gzip(body, gzip_level);
}

}  // namespace orvane::otlp
