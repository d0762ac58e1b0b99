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
// Positions in a captured item and in its run.
constexpr Py_ssize_t kEventId = 0, kEventType = 1, kTimestamp = 2, kSource = 3, kLevel = 4, kMessage = 5,
                     kPayload = 6, kError = 7, kMeta = 8, kRun = 9, kItemFields = 10;
constexpr Py_ssize_t kRunId = 0, kRunRoot = 1, kRunParent = 2, kRunKind = 3, kRunAgentId = 4,
                     kRunAgentName = 5, kRunSession = 6, kRunResponse = 7, kRunExecution = 8, kRunMeta = 9,
                     kRunFields = 10;
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

void read_run(PyObject *run, EventFacts &f) {
    RunFacts &r = f.run;
    PyObject *run_id = PyTuple_GET_ITEM(run, kRunId);
    if (!PyUnicode_Check(run_id))
        throw nb::type_error("run_id is not a str");
    r.run_id = utf8_of(run_id);
    r.root_run_id = optional_text(PyTuple_GET_ITEM(run, kRunRoot));
    r.parent_run_id = optional_text(PyTuple_GET_ITEM(run, kRunParent));
    Text kind = optional_text(PyTuple_GET_ITEM(run, kRunKind));
    r.run_kind = kind ? *kind : std::string();
    r.agent_id = optional_text(PyTuple_GET_ITEM(run, kRunAgentId));
    r.agent_name = optional_text(PyTuple_GET_ITEM(run, kRunAgentName));
    r.session_id = optional_text(PyTuple_GET_ITEM(run, kRunSession));
    r.response_id = optional_text(PyTuple_GET_ITEM(run, kRunResponse));
    r.execution_id = optional_text(PyTuple_GET_ITEM(run, kRunExecution));
    nb::handle meta = PyTuple_GET_ITEM(run, kRunMeta);
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

// --- capture -------------------------------------------------------------------------------

// A field of a pydantic model: straight from the instance dict when attribute access is the
// generic one (a model keeps its fields there), else through getattr.
nb::object field(nb::handle obj, PyObject *dict, Name &name) {
    if (dict != nullptr) {
        PyObject *v = nullptr;
        if (PyDict_GetItemRef(dict, name.get(), &v) < 0)
            throw nb::python_error();
        if (v != nullptr)
            return nb::steal(v);
    }
    return attr(obj, name);
}

// The instance dict of `obj` when its attribute access is the generic one, else null.
nb::object plain_dict(nb::handle obj) {
    if (Py_TYPE(obj.ptr())->tp_getattro != PyObject_GenericGetAttr)
        return nb::object();
    PyObject **slot = _PyObject_GetDictPtr(obj.ptr());
    if (slot == nullptr || *slot == nullptr)
        return nb::object();
    return nb::borrow(*slot);
}

// A first-level copy of a mapping (dict or other Mapping); anything else as it is.
nb::object first_level_copy(nb::handle value) {
    if (PyDict_Check(value.ptr())) {
        PyObject *c = PyDict_Copy(value.ptr());
        if (c == nullptr)
            throw nb::python_error();
        return nb::steal(c);
    }
    if (value.is_none() || PyUnicode_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
        PyFloat_Check(value.ptr()) || PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()))
        return nb::borrow(value);
    if (PyMapping_Check(value.ptr()) && PyObject_HasAttrString(value.ptr(), "items")) {
        PyObject *c = PyDict_New();
        if (c == nullptr)
            throw nb::python_error();
        nb::object copy = nb::steal(c);
        if (PyDict_Merge(c, value.ptr(), 1) < 0)
            throw nb::python_error();
        return copy;
    }
    return nb::borrow(value);
}

nb::object capture_run(nb::handle run) {
    if (run.is_none())
        return nb::none();
    nb::object dict = plain_dict(run);
    PyObject *d = dict.is_valid() ? dict.ptr() : nullptr;
    PyObject *t = PyTuple_New(kRunFields);
    if (t == nullptr)
        throw nb::python_error();
    nb::object out = nb::steal(t);
    Name *names[kRunFields] = {&a_run_id, &a_root_run_id, &a_parent_run_id, &a_run_kind, &a_agent_id,
                               &a_agent_name, &a_session_id, &a_response_id, &a_execution_id, &a_meta};
    for (Py_ssize_t i = 0; i < kRunFields; ++i) {
        nb::object v = field(run, d, *names[i]);
        if (i == kRunMeta)
            v = first_level_copy(v);
        PyTuple_SET_ITEM(t, i, v.release().ptr());
    }
    return out;
}

bool is_true(PyObject *dict, const char *key) {
    PyObject *v = dict != nullptr && PyDict_Check(dict) ? PyDict_GetItemString(dict, key) : nullptr;
    return v == Py_True;
}

void flags_of(PyObject *type, PyObject *meta, bool &preferred, bool &terminal) {
    preferred = terminal = false;
    if (PyUnicode_Check(type)) {
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(type, &n);
        if (p == nullptr) {
            PyErr_Clear();
        } else {
            std::string_view t(p, static_cast<size_t>(n));
            auto status = run_status_of(t);
            terminal = status && (*status == RunStatus::completed || *status == RunStatus::failed);
            preferred = !terminal && (t.find("stream.delta") != t.npos || t.find("streaming") != t.npos ||
                                      t.find("heartbeat") != t.npos);
        }
    }
    if (!terminal && (is_true(meta, "coalesced") || is_true(meta, "high_frequency")))
        preferred = true;
}

bool is_item(nb::handle item) {
    return PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == kItemFields;
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
        s.seq = next_seq_++;
        ready_.push_back(std::move(s));
    }
    finished.clear();
}

Capture capture_event(nb::handle event) {
    nb::object dict = plain_dict(event);
    PyObject *d = dict.is_valid() ? dict.ptr() : nullptr;
    PyObject *t = PyTuple_New(kItemFields);
    if (t == nullptr)
        throw nb::python_error();
    Capture c;
    c.item = nb::steal(t);
    Name *names[kItemFields - 1] = {&a_event_id, &a_event_type, &a_timestamp, &a_source, &a_level,
                                    &a_message, &a_payload, &a_error, &a_meta};
    for (Py_ssize_t i = 0; i < kItemFields - 1; ++i) {
        nb::object v = field(event, d, *names[i]);
        if (i == kPayload || i == kError || i == kMeta)
            v = first_level_copy(v);
        PyTuple_SET_ITEM(t, i, v.release().ptr());
    }
    nb::object run = capture_run(field(event, d, a_run));
    PyTuple_SET_ITEM(t, kRun, run.release().ptr());
    PyObject *meta = PyTuple_GET_ITEM(t, kMeta);
    flags_of(PyTuple_GET_ITEM(t, kEventType), meta, c.preferred, c.terminal);
    if (is_true(meta, "coalesced")) {
        c.coalesced = true;
        PyObject *payload = PyTuple_GET_ITEM(t, kPayload);
        if (PyDict_Check(payload)) {
            PyObject *count = PyDict_GetItemString(meta, "coalesced_count");
            PyObject *events = PyDict_GetItemString(payload, "events");
            if (count != nullptr && PyLong_Check(count) && !PyBool_Check(count)) {
                c.coalesced_items = PyLong_AsLongLong(count);
                if (c.coalesced_items == -1 && PyErr_Occurred()) {
                    PyErr_Clear();
                    c.coalesced_items = 0;
                }
            } else if (events != nullptr && PyList_Check(events)) {
                c.coalesced_items = PyList_GET_SIZE(events);
            }
        }
    }
    return c;
}

void item_flags(nb::handle item, bool &preferred, bool &terminal) {
    if (is_item(item)) {
        flags_of(PyTuple_GET_ITEM(item.ptr(), kEventType), PyTuple_GET_ITEM(item.ptr(), kMeta), preferred,
                 terminal);
        return;
    }
    preferred = terminal = false;
}

nb::object item_event_id(nb::handle item) {
    if (is_item(item))
        return nb::borrow(PyTuple_GET_ITEM(item.ptr(), kEventId));
    PyObject *id = nullptr;
    if (PyObject_GetOptionalAttr(item.ptr(), a_event_id.get(), &id) < 0)
        throw nb::python_error();
    return id ? nb::steal(id) : nb::none();
}

bool SpanBuilder::add(nb::handle given) {
    EventFacts f;
    try {
        nb::object item = is_item(given) ? nb::borrow(given) : capture_event(given).item;
        PyObject *t = item.ptr();
        f.event_type = text_of(PyTuple_GET_ITEM(t, kEventType));
        f.event_id = text_of(PyTuple_GET_ITEM(t, kEventId));
        f.timestamp_ms = timestamp_of(PyTuple_GET_ITEM(t, kTimestamp));
        nb::handle meta = PyTuple_GET_ITEM(t, kMeta);
        f.app_id = entry_text(meta, "app_id");
        f.group_id = entry_text(meta, "group_id");
        f.environment = entry_text(meta, "environment");
        PyObject *run = PyTuple_GET_ITEM(t, kRun);
        if (run != Py_None) {
            if (!PyTuple_Check(run) || PyTuple_GET_SIZE(run) != kRunFields)
                throw nb::type_error("run is not a captured run context");
            f.has_run = true;
            read_run(run, f);
        }
        if (f.has_run && runs_.wants_details(f.event_type)) {
            f.source = optional_text(PyTuple_GET_ITEM(t, kSource));
            f.level = level_text(PyTuple_GET_ITEM(t, kLevel));
            f.message = optional_text(PyTuple_GET_ITEM(t, kMessage));
            nb::handle payload = PyTuple_GET_ITEM(t, kPayload);
            nb::handle error = PyTuple_GET_ITEM(t, kError);
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

std::vector<const Span *> SpanBuilder::front(size_t n) const {
    std::vector<const Span *> out;
    n = std::min(n, ready_.size());
    out.reserve(n);
    for (size_t i = 0; i < n; ++i)
        out.push_back(&ready_[i]);
    return out;
}

const Span *SpanBuilder::find(uint64_t seq) const {
    // Numbers grow along the outbox: a binary search finds it.
    auto it = std::lower_bound(ready_.begin(), ready_.end(), seq,
                               [](const Span &s, uint64_t v) { return s.seq < v; });
    return it != ready_.end() && it->seq == seq ? &*it : nullptr;
}

size_t SpanBuilder::remove(const std::vector<uint64_t> &seqs) {
    if (seqs.empty() || ready_.empty())
        return 0;
    std::vector<uint64_t> sorted(seqs);
    std::sort(sorted.begin(), sorted.end());
    size_t removed = 0;
    // The usual case: a run of spans at the front.
    while (!ready_.empty() && removed < sorted.size() && std::binary_search(sorted.begin(), sorted.end(), ready_.front().seq)) {
        ready_.pop_front();
        ++removed;
    }
    if (removed == sorted.size())
        return removed;
    std::deque<Span> kept;
    for (Span &s : ready_) {
        if (std::binary_search(sorted.begin(), sorted.end(), s.seq))
            ++removed;
        else
            kept.push_back(std::move(s));
    }
    ready_.swap(kept);
    return removed;
}

void SpanBuilder::adopt(SpanBuilder &other) {
    runs_.adopt(other.runs_);
    std::vector<Span> spans(std::make_move_iterator(other.ready_.begin()), std::make_move_iterator(other.ready_.end()));
    other.ready_.clear();
    accept(spans);
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
