#include "builder.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "orvane/json.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"
#include "orvane/sanitize.hpp"

namespace orvane::otlp {

using orvane::outside::Name;
using orvane::py::attr;
using orvane::py::Kw;
using orvane::py::text_of;

namespace {

// Attributes of the event and its run context.
Name a_event_id{"event_id"}, a_event_type{"event_type"}, a_timestamp{"timestamp"},
    a_source{"source"}, a_level{"level"}, a_message{"message"}, a_payload{"payload"},
    a_error{"error"}, a_meta{"meta"}, a_run{"run"}, a_value{"value"};
Name a_run_id{"run_id"}, a_root_run_id{"root_run_id"}, a_parent_run_id{"parent_run_id"},
    a_run_kind{"run_kind"}, a_agent_id{"agent_id"}, a_agent_name{"agent_name"},
    a_session_id{"session_id"}, a_response_id{"response_id"}, a_execution_id{"execution_id"};
Name a_getattribute{"__getattribute__"}, m_items{"items"};
// Positions in a captured item and in its run.
constexpr Py_ssize_t kEventId = 0, kEventType = 1, kTimestamp = 2, kSource = 3, kLevel = 4, kMessage = 5,
                     kPayload = 6, kError = 7, kMeta = 8, kRun = 9, kItemFields = 10;
constexpr Py_ssize_t kRunId = 0, kRunRoot = 1, kRunParent = 2, kRunKind = 3, kRunAgentId = 4,
                     kRunAgentName = 5, kRunSession = 6, kRunResponse = 7, kRunExecution = 8, kRunMeta = 9,
                     kRunFields = 10;
// The meta entries a capture keeps (values as they are), instead of copying the mappings.
constexpr Py_ssize_t kMetaApp = 0, kMetaGroup = 1, kMetaEnvironment = 2, kMetaPreferred = 3, kMetaFields = 4;
constexpr Py_ssize_t kRunMetaFlow = 0, kRunMetaTool = 1, kRunMetaToolName = 2, kRunMetaProviderKey = 3,
                     kRunMetaProvider = 4, kRunMetaModelKey = 5, kRunMetaModel = 6, kRunMetaApp = 7,
                     kRunMetaGroup = 8, kRunMetaEnvironment = 9, kRunMetaFields = 10;
Name d_app_id{"app_id"}, d_group_id{"group_id"}, d_environment{"environment"}, d_flow_name{"flow_name"},
    d_tool{"tool"}, d_tool_name{"tool_name"}, d_provider_key{"gen_ai.provider.name"}, d_provider{"provider"},
    d_model_key{"gen_ai.request.model"}, d_model{"model"}, d_coalesced{"coalesced"},
    d_coalesced_count{"coalesced_count"}, d_high_frequency{"high_frequency"}, d_events{"events"};
// Keys read from a payload or an error mapping.
Name d_type{"type"}, d_error_type{"error_type"}, d_name{"name"}, d_code{"code"}, d_message{"message"},
    d_detail{"detail"}, d_error{"error"}, d_reason{"reason"}, d_tool_call_id{"tool_call_id"}, d_call_id{"call_id"};
// Outside names of the module.
Name o_data_formatter{"DataFormatter"}, o_json{"json"};
Name m_sanitize{"sanitize"}, m_dumps{"dumps"};
Name k_ensure_ascii{"ensure_ascii"}, k_separators{"separators"};

Text optional_text(nb::handle value) {
    if (value.is_none())
        return std::nullopt;
    return text_of(value);
}

// The first entry of the dict `dict` under `keys` that is a non-empty str or an int, as text.
Text first_entry_text(nb::handle dict, std::initializer_list<Name *> keys) {
    for (Name *key : keys) {
        nb::object v = orvane::py::dict_find(dict, nb::handle(key->get()));
        if (!v.is_valid() || v.is_none())
            continue;
        if (PyUnicode_Check(v.ptr()) && PyUnicode_GET_LENGTH(v.ptr()) == 0)
            continue;
        if (PyUnicode_Check(v.ptr()) || PyLong_Check(v.ptr()))
            return text_of(v);
    }
    return std::nullopt;
}

// A level: str as is, an enumeration member by its value, anything else through str().
Text level_text(nb::handle level) {
    if (level.is_none())
        return std::nullopt;
    if (PyUnicode_CheckExact(level.ptr()))
        return text_of(level);
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

// json.dumps(clean, ensure_ascii=False, separators=(",", ":")) with lone surrogates escaped, by
// the module's `json`: for what the JSON writer refuses (it then raises what json raises).
void append_dumped(nb::handle clean, std::string &out) {
    static PyObject *compact = nullptr;  // (",", ":"), kept for the process
    if (compact == nullptr) {
        compact = Py_BuildValue("(ss)", ",", ":");
        if (compact == nullptr)
            throw nb::python_error();
    }
    nb::object dumps = attr(orvane::outside::get(o_json), m_dumps);
    nb::object text = orvane::py::call_kw(dumps, {clean}, {Kw{&k_ensure_ascii, Py_False}, Kw{&k_separators, compact}});
    if (!PyUnicode_Check(text.ptr())) {
        PyErr_SetString(PyExc_TypeError, "json.dumps() did not return a str");
        throw nb::python_error();
    }
    orvane::json::append_utf8(out, text.ptr(), orvane::json::Surrogates::Escape);
}

// Runs `write` with a writer of the payloads' style on `out` (json::write_or_refuse).
template <typename Write> bool written(std::string &out, Write &&write) {
    return orvane::json::write_or_refuse(out, orvane::json::kPayloadStyle, std::forward<Write>(write));
}

// The JSON text of DataFormatter.sanitize(value), compact (json.dumps with ensure_ascii=False
// and separators=(",", ":"), lone surrogates as \udXXX escapes); "<unserializable>" when
// sanitising or writing raises (the event is kept). While the module's DataFormatter has the
// original sanitize, one native walk masks and writes; otherwise (a host replaced it) its sanitize
// is called and the result written.
std::string masked_json(nb::handle value, bool &failed) {
    std::string out;
    try {
        if (orvane::sanitize::is_original())
            if (auto rules = orvane::sanitize::Rules::current())
                if (written(out, [&](orvane::json::Writer &w) { orvane::sanitize::write_sanitized(w, value, *rules); }))
                    return out;
        nb::object clean = orvane::py::call1(orvane::outside::get(o_data_formatter), m_sanitize, value);
        if (!written(out, [&](orvane::json::Writer &w) { w.value(clean.ptr()); }))
            append_dumped(clean, out);
        return out;
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
        f.error_type = first_entry_text(error, {&d_type, &d_error_type, &d_name, &d_code});
        f.error_message = first_entry_text(error, {&d_message, &d_detail, &d_error, &d_reason});
        return;
    }
    if (PyUnicode_Check(error.ptr()) && PyUnicode_GET_LENGTH(error.ptr()) > 0)
        f.error_message = text_of(error);
}

// The tool an action event names: payload "tool" (a name, or a mapping with "name") or
// "tool_name"; its call id: "tool_call_id" or "call_id".
void read_tool(nb::handle payload, EventFacts &f) {
    if (!PyDict_Check(payload.ptr()))
        return;
    nb::object tool = orvane::py::dict_find(payload, nb::handle(d_tool.get()));
    if (tool.is_valid() && PyDict_Check(tool.ptr()))
        f.tool_name = first_entry_text(tool, {&d_name});
    else
        f.tool_name = first_entry_text(payload, {&d_tool, &d_tool_name});
    f.tool_call_id = first_entry_text(payload, {&d_tool_call_id, &d_call_id});
}

// The first of the picked values at `at` that is a non-empty str (or an int), as text.
Text picked_text(PyObject *picked, std::initializer_list<Py_ssize_t> at) {
    for (Py_ssize_t i : at) {
        PyObject *v = PyTuple_GET_ITEM(picked, i);
        if (v == Py_None)
            continue;
        if (PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) == 0)
            continue;
        if (PyUnicode_Check(v) || (PyLong_Check(v) && !PyBool_Check(v)))
            return text_of(v);
    }
    return std::nullopt;
}

// A tuple of the values of `keys` in the mapping `meta` (None for a missing key, or when meta is
// no dict).
nb::object pick(nb::handle meta, std::initializer_list<Name *> keys) {
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(keys.size()));
    if (t == nullptr)
        throw nb::python_error();
    nb::object out = nb::steal(t);
    Py_ssize_t i = 0;
    bool dict = PyDict_Check(meta.ptr());
    for (Name *key : keys) {
        PyObject *v = nullptr;
        if (dict && PyDict_GetItemRef(meta.ptr(), key->get(), &v) < 0)
            throw nb::python_error();
        PyTuple_SET_ITEM(t, i++, v != nullptr ? v : Py_NewRef(Py_None));
    }
    return out;
}

void read_run(PyObject *run, EventFacts &f) {
    RunFacts &r = f.run;
    PyObject *run_id = PyTuple_GET_ITEM(run, kRunId);
    if (!PyUnicode_Check(run_id))
        throw nb::type_error("run_id is not a str");
    r.run_id = text_of(run_id);
    r.root_run_id = optional_text(PyTuple_GET_ITEM(run, kRunRoot));
    r.parent_run_id = optional_text(PyTuple_GET_ITEM(run, kRunParent));
    Text kind = optional_text(PyTuple_GET_ITEM(run, kRunKind));
    r.run_kind = kind ? *kind : std::string();
    r.agent_id = optional_text(PyTuple_GET_ITEM(run, kRunAgentId));
    r.agent_name = optional_text(PyTuple_GET_ITEM(run, kRunAgentName));
    r.session_id = optional_text(PyTuple_GET_ITEM(run, kRunSession));
    r.response_id = optional_text(PyTuple_GET_ITEM(run, kRunResponse));
    r.execution_id = optional_text(PyTuple_GET_ITEM(run, kRunExecution));
    PyObject *meta = PyTuple_GET_ITEM(run, kRunMeta);
    if (!PyTuple_Check(meta) || PyTuple_GET_SIZE(meta) != kRunMetaFields)
        throw nb::type_error("run meta is not a capture");
    r.flow_name = picked_text(meta, {kRunMetaFlow});
    r.tool_name = picked_text(meta, {kRunMetaTool, kRunMetaToolName});
    r.provider = picked_text(meta, {kRunMetaProviderKey, kRunMetaProvider});
    r.model = picked_text(meta, {kRunMetaModelKey, kRunMetaModel});
    if (!f.app_id)
        f.app_id = picked_text(meta, {kRunMetaApp});
    if (!f.group_id)
        f.group_id = picked_text(meta, {kRunMetaGroup});
    if (!f.environment)
        f.environment = picked_text(meta, {kRunMetaEnvironment});
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

// Whether attribute access on instances of `type` finds the fields of a capture in the instance
// dict: __getattribute__ is object's (a __getattr__, as pydantic models have, is only asked
// when that fails) and no field name is a data descriptor of the type. Judged once per type and
// version of the type (a class changed later is judged again).
bool fields_in_dict(PyTypeObject *type, std::initializer_list<Name *> names) {
    struct Verdict {
        PyTypeObject *type;
        unsigned int version;
        bool ok;
    };
    static std::vector<Verdict> *cache = new std::vector<Verdict>();
    static PyObject *generic = nullptr;  // object.__getattribute__, kept for the process
    if (generic == nullptr)
        generic = orvane::py::attr(reinterpret_cast<PyObject *>(&PyBaseObject_Type), a_getattribute).release().ptr();
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) && !PyUnstable_Type_AssignVersionTag(type))
        return false;  // no version to judge it by: take the general route
    for (const Verdict &v : *cache)
        if (v.type == type && v.version == type->tp_version_tag)
            return v.ok;
    bool ok = type->tp_getattro == PyObject_GenericGetAttr;
    if (!ok) {
        PyObject *ga = _PyType_Lookup(type, a_getattribute.get());
        ok = ga == generic || (ga != nullptr && PyObject_RichCompareBool(ga, generic, Py_EQ) == 1);
    }
    for (Name *n : names) {
        if (!ok)
            break;
        PyObject *d = _PyType_Lookup(type, n->get());
        if (d != nullptr && Py_TYPE(d)->tp_descr_set != nullptr)
            ok = false;
    }
    if (cache->size() > 64)
        cache->clear();
    cache->push_back(Verdict{type, type->tp_version_tag, ok});
    return ok;
}

// The instance dict of `obj` when the fields can be read from it (see fields_in_dict), else null.
nb::object plain_dict(nb::handle obj, std::initializer_list<Name *> names) {
    if (!fields_in_dict(Py_TYPE(obj.ptr()), names))
        return nb::object();
    PyObject **slot = _PyObject_GetDictPtr(obj.ptr());
    if (slot == nullptr || *slot == nullptr)
        return nb::object();
    return nb::borrow(*slot);
}

// Whether the object has an `items` attribute; one whose look-up raises counts as without.
bool has_items(nb::handle value) {
    int has = PyObject_HasAttrWithError(value.ptr(), m_items.get());
    if (has < 0) {
        if (!PyErr_ExceptionMatches(PyExc_Exception))
            throw nb::python_error();
        PyErr_Clear();
    }
    return has > 0;
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
    if (PyMapping_Check(value.ptr()) && has_items(value)) {
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
    nb::object dict = plain_dict(run, {&a_run_id, &a_root_run_id, &a_parent_run_id, &a_run_kind, &a_agent_id,
                                       &a_agent_name, &a_session_id, &a_response_id, &a_execution_id, &a_meta});
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
            v = pick(v, {&d_flow_name, &d_tool, &d_tool_name, &d_provider_key, &d_provider, &d_model_key,
                         &d_model, &d_app_id, &d_group_id, &d_environment});
        PyTuple_SET_ITEM(t, i, v.release().ptr());
    }
    return out;
}

bool is_true(PyObject *dict, Name &key) {
    if (dict == nullptr || !PyDict_Check(dict))
        return false;
    PyObject *v = nullptr;
    if (PyDict_GetItemRef(dict, key.get(), &v) < 0)
        throw nb::python_error();
    bool out = v == Py_True;
    Py_XDECREF(v);
    return out;
}

void flags_of(PyObject *type, bool meta_preferred, bool &preferred, bool &terminal) {
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
    if (!terminal && meta_preferred)
        preferred = true;
}

bool is_stream_delta_type(PyObject *type) {
    if (!PyUnicode_Check(type))
        return false;
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(type, &n);
    if (p == nullptr) {
        PyErr_Clear();
        return false;
    }
    return is_stream_delta(std::string_view(p, static_cast<size_t>(n)));
}

// Captures are tuples this module builds and keeps to itself (the pending queue, then the span
// state), so no cycle can pass through them: they are taken out of the cycle collector's care.
// A burst of events otherwise fills its younger generations with captures, each collection walks
// them, and their survivors bring the next full collection (which walks every object of the
// host) nearer. What they hold (a first-level copy of a payload) stays in its care.
void untrack(PyObject *tuple) {
    if (PyObject_GC_IsTracked(tuple))
        PyObject_GC_UnTrack(tuple);
}

bool is_item(nb::handle item) {
    return PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == kItemFields;
}

}  // namespace

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

Capture capture_event(nb::handle event, bool keep_deltas) {
    nb::object dict = plain_dict(event, {&a_event_id, &a_event_type, &a_timestamp, &a_source, &a_level, &a_message,
                                         &a_payload, &a_error, &a_meta, &a_run});
    PyObject *d = dict.is_valid() ? dict.ptr() : nullptr;
    PyObject *t = PyTuple_New(kItemFields);
    if (t == nullptr)
        throw nb::python_error();
    Capture c;
    c.item = nb::steal(t);
    Name *names[kItemFields - 1] = {&a_event_id, &a_event_type, &a_timestamp, &a_source, &a_level,
                                    &a_message, &a_payload, &a_error, &a_meta};
    nb::object meta;
    for (Py_ssize_t i = 0; i < kItemFields - 1; ++i) {
        nb::object v = field(event, d, *names[i]);
        if (i == kMeta) {
            meta = v;
            bool coalesced = is_true(meta.ptr(), d_coalesced);
            bool preferred = coalesced || is_true(meta.ptr(), d_high_frequency);
            v = pick(meta, {&d_app_id, &d_group_id, &d_environment, &d_high_frequency});
            // The slot of "high_frequency" holds the drop rule's verdict on the meta instead.
            PyObject *flag = PyTuple_GET_ITEM(v.ptr(), kMetaPreferred);
            PyTuple_SET_ITEM(v.ptr(), kMetaPreferred, Py_NewRef(preferred ? Py_True : Py_False));
            Py_DECREF(flag);
            c.coalesced = coalesced;
        } else if (i == kPayload || i == kError) {
            // A stream delta that is only counted needs neither.
            if (!keep_deltas && is_stream_delta_type(PyTuple_GET_ITEM(t, kEventType)))
                v = nb::none();
            else
                v = first_level_copy(v);
        }
        PyTuple_SET_ITEM(t, i, v.release().ptr());
    }
    nb::object run = capture_run(field(event, d, a_run));
    if (PyTuple_Check(run.ptr())) {
        PyObject *run_meta = PyTuple_GET_ITEM(run.ptr(), kRunMeta);
        if (PyTuple_CheckExact(run_meta))
            untrack(run_meta);
        untrack(run.ptr());
    }
    untrack(PyTuple_GET_ITEM(t, kMeta));
    untrack(t);
    PyTuple_SET_ITEM(t, kRun, run.release().ptr());
    flags_of(PyTuple_GET_ITEM(t, kEventType), PyTuple_GET_ITEM(PyTuple_GET_ITEM(t, kMeta), kMetaPreferred) == Py_True,
             c.preferred, c.terminal);
    if (c.coalesced) {
        PyObject *payload = PyTuple_GET_ITEM(t, kPayload);
        if (PyDict_Check(payload) && PyDict_Check(meta.ptr())) {
            PyObject *count = PyDict_GetItemWithError(meta.ptr(), d_coalesced_count.get());
            PyObject *events = PyDict_GetItemWithError(payload, d_events.get());
            if (PyErr_Occurred())
                throw nb::python_error();
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
        PyObject *meta = PyTuple_GET_ITEM(item.ptr(), kMeta);
        bool meta_preferred = PyTuple_Check(meta) && PyTuple_GET_SIZE(meta) == kMetaFields &&
                              PyTuple_GET_ITEM(meta, kMetaPreferred) == Py_True;
        flags_of(PyTuple_GET_ITEM(item.ptr(), kEventType), meta_preferred, preferred, terminal);
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
        nb::object item = is_item(given) ? nb::borrow(given)
                                         : capture_event(given, runs_.options().export_stream_deltas).item;
        PyObject *t = item.ptr();
        f.event_type = text_of(PyTuple_GET_ITEM(t, kEventType));
        f.event_id = text_of(PyTuple_GET_ITEM(t, kEventId));
        f.timestamp_ms = timestamp_of(PyTuple_GET_ITEM(t, kTimestamp));
        PyObject *meta = PyTuple_GET_ITEM(t, kMeta);
        if (!PyTuple_Check(meta) || PyTuple_GET_SIZE(meta) != kMetaFields)
            throw nb::type_error("meta is not a capture");
        f.app_id = picked_text(meta, {kMetaApp});
        f.group_id = picked_text(meta, {kMetaGroup});
        f.environment = picked_text(meta, {kMetaEnvironment});
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
