// The upload body, encoded straight from the queued snapshots.
//
// The reference is the Python path: for every event `DataFormatter.sanitize(normalized.model_dump(
// mode="json"))`, then httpx's JSON encoding of {"app_id", "group_id", "environment", "events"}
// (json.dumps with ensure_ascii=False, separators (",", ":"), allow_nan=False, as UTF-8). For the
// shapes events normally have (the exact RuntimeEvent / RuntimeRunContext classes whose values are
// plain JSON data: dicts with str keys, lists, tuples, str, int, finite float, bool, None) those
// three steps collapse into one walk that writes the bytes directly, with the same masking of
// values under secret keys. Anything else (another class, a datetime, a NaN, a str subclass, deep
// nesting, ...) makes the encoder give up, and the caller takes the Python path for the batch, so
// the result is always what the Python path would send. The masking, the markers and the JSON text
// are the shared sanitizer's and writer's (orvane/sanitize.hpp, orvane/json.hpp, in strict mode).
#include <string>

#include "orvane/json.hpp"
#include "orvane/sanitize.hpp"
#include "sink.hpp"

namespace orvane::uplink {

namespace {

enum class Kind { Str, StrOrNone, Int, Any, Dict, RunOrNone };

struct FieldSpec {
    const char *name;
    Kind kind;
};

constexpr FieldSpec kEventFields[] = {
    {"event_id", Kind::Str},  {"event_type", Kind::Str},       {"timestamp", Kind::Int},
    {"source", Kind::StrOrNone}, {"level", Kind::Any},         {"message", Kind::StrOrNone},
    {"payload", Kind::Any},   {"error", Kind::Any},            {"meta", Kind::Dict},
    {"run", Kind::RunOrNone},
};

constexpr FieldSpec kRunFields[] = {
    {"run_id", Kind::Str},           {"root_run_id", Kind::StrOrNone}, {"parent_run_id", Kind::StrOrNone},
    {"run_kind", Kind::Any},         {"agent_id", Kind::StrOrNone},    {"agent_name", Kind::StrOrNone},
    {"session_id", Kind::StrOrNone}, {"response_id", Kind::StrOrNone}, {"execution_id", Kind::StrOrNone},
    {"meta", Kind::Dict},
};

template <size_t N> bool fields_match(nb::handle cls, const FieldSpec (&layout)[N], PyObject **names) {
    nb::object fields = cls.attr("__pydantic_fields__");
    if (!PyDict_Check(fields.ptr()) || PyDict_GET_SIZE(fields.ptr()) != static_cast<Py_ssize_t>(N))
        return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(fields.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, layout[i].name) != 0)
            return false;
        ++i;
    }
    for (size_t j = 0; j < N; ++j)
        names[j] = PyUnicode_InternFromString(layout[j].name);  // leaked on purpose
    return true;
}

}  // namespace

static_assert(std::size(kEventFields) == kCaptureFields && std::size(kRunFields) == kCaptureFields);

const EventClasses &event_classes() {
    static EventClasses *c = [] {
        auto *out = new EventClasses();
        nb::object compat = nb::module_::import_("orvane_devtools._orvane_compat");
        nb::object event = compat.attr("RuntimeEvent"), run = compat.attr("RuntimeRunContext");
        if (fields_match(event, kEventFields, out->event_names) && fields_match(run, kRunFields, out->run_names)) {
            out->event = reinterpret_cast<PyTypeObject *>(event.release().ptr());
            out->run = reinterpret_cast<PyTypeObject *>(run.release().ptr());
        }
        return out;
    }();
    return *c;
}

namespace {

using GiveUp = orvane::json::Unsupported;  // thrown inside the encoder: take the Python path
using Defaults = std::initializer_list<orvane::sanitize::Default>;

// Containers this deep or deeper are left to the Python path.
constexpr long long kStrictDepth = 64;

class BodyEncoder {
public:
    explicit BodyEncoder(const orvane::sanitize::Rules &rules)
        : rules_(rules), w_(out, orvane::json::kBodyStyle), walk_(w_, rules, true, kStrictDepth) {}
    BodyEncoder(const BodyEncoder &) = delete;
    BodyEncoder &operator=(const BodyEncoder &) = delete;

    std::string out;

    void text(PyObject *s) {
        if (!PyUnicode_CheckExact(s))
            throw GiveUp{};
        w_.string(s);  // lone surrogates: the Python path fails the same way or differs
    }

    void any(PyObject *v, int64_t depth) { walk_.value(v, depth); }

    // A model's fields from `value_at(i)` (a new reference or nullptr when missing).
    template <size_t N, typename Get>
    void fields(const FieldSpec (&layout)[N], PyObject *const *names, int64_t depth, Defaults meta_extra,
                Get &&value_at) {
        if (depth >= rules_.max_depth() || depth >= kStrictDepth)
            throw GiveUp{};
        out.push_back('{');
        for (size_t i = 0; i < N; ++i) {
            PyObject *value = value_at(i);
            if (value == nullptr)
                throw GiveUp{};
            nb::object hold = nb::steal(value);
            if (i)
                out.push_back(',');
            text(names[i]);
            out.push_back(':');
            if (walk_.is_secret(names[i])) {
                walk_.mask();
                continue;
            }
            PyTypeObject *t = Py_TYPE(value);
            switch (layout[i].kind) {
            case Kind::Str:
                if (t != &PyUnicode_Type)
                    throw GiveUp{};
                text(value);
                break;
            case Kind::StrOrNone:
                if (value != Py_None && t != &PyUnicode_Type)
                    throw GiveUp{};
                any(value, depth + 1);
                break;
            case Kind::Int:
                if (t != &PyLong_Type)
                    throw GiveUp{};
                any(value, depth + 1);
                break;
            case Kind::Any:
                any(value, depth + 1);
                break;
            case Kind::Dict:
                if (t != &PyDict_Type)
                    throw GiveUp{};
                walk_.mapping(value, depth + 1, meta_extra);
                break;
            case Kind::RunOrNone: {
                const EventClasses &c = event_classes();
                if (value == Py_None)
                    out += "null";
                else if (t == c.run)
                    model(value, kRunFields, c.run_names, depth + 1, {});
                else if (run_capture_ && t == &PyList_Type)
                    capture(value, kRunFields, c.run_names, depth + 1, {});
                else
                    throw GiveUp{};
                break;
            }
            }
        }
        out.push_back('}');
    }

    template <size_t N>
    void model(PyObject *m, const FieldSpec (&layout)[N], PyObject *const *names, int64_t depth,
               Defaults meta_extra) {
        PyObject *d = PyObject_GenericGetDict(m, nullptr);
        if (d == nullptr)
            throw nb::python_error();
        nb::object dict_ref = nb::steal(d);
        if (!PyDict_CheckExact(d))
            throw GiveUp{};
        // The instance dict normally lists the fields in their declared order under the interned
        // names: then each value is read in passing, else looked up.
        Py_ssize_t pos = 0;
        bool in_order = PyDict_GET_SIZE(d) == static_cast<Py_ssize_t>(N);
        bool was = run_capture_;
        run_capture_ = false;  // a snapshot's run is a model
        fields(layout, names, depth, meta_extra, [&](size_t i) -> PyObject * {
            if (in_order) {
                PyObject *k = nullptr, *v = nullptr;
                if (PyDict_Next(d, &pos, &k, &v) && k == names[i])
                    return Py_NewRef(v);
                in_order = false;
            }
            PyObject *value = nullptr;
            if (PyDict_GetItemRef(d, names[i], &value) < 0)
                throw nb::python_error();
            return value;
        });
        run_capture_ = was;
    }

    // A capture (see sink.hpp): its snapshot once one was built, else its values.
    template <size_t N>
    void capture(PyObject *cap, const FieldSpec (&layout)[N], PyObject *const *names, int64_t depth,
                 Defaults meta_extra) {
        if (!PyList_CheckExact(cap) || PyList_GET_SIZE(cap) < kCaptureFields)
            throw GiveUp{};
        bool was = run_capture_;
        run_capture_ = true;
        fields(layout, names, depth, meta_extra, [&](size_t i) -> PyObject * {
            if (PyList_GET_SIZE(cap) < kCaptureFields)
                return nullptr;
            return Py_NewRef(PyList_GET_ITEM(cap, static_cast<Py_ssize_t>(i)));
        });
        run_capture_ = was;
    }

private:
    const orvane::sanitize::Rules &rules_;
    orvane::json::Writer w_;
    orvane::sanitize::Walk walk_;
    bool run_capture_ = false;  // the run field holds a run capture
};

}  // namespace

nb::object encode_body_native(nb::handle self, nb::handle batch, const std::vector<char> *captured) {
    const EventClasses &c = event_classes();
    if (c.event == nullptr || !PyList_CheckExact(batch.ptr()))
        return nb::object();
    nb::object app_id = self.attr("app_id"), group_id = self.attr("group_id"),
               environment = self.attr("environment");
    auto str_or_none = [](nb::handle v) { return v.is_none() || PyUnicode_CheckExact(v.ptr()); };
    if (!str_or_none(app_id) || !str_or_none(group_id) || !str_or_none(environment))
        return nb::object();
    std::optional<orvane::sanitize::Rules> rules = orvane::sanitize::Rules::current();
    if (!rules)
        return nb::object();
    BodyEncoder enc(*rules);
    static Name d_app_id{"app_id"}, d_group_id{"group_id"}, d_environment{"environment"};
    // Meta gains the sink's values for missing keys, as _serialize_event adds them.
    PyObject *meta_app = !app_id.is_none() && PyUnicode_GET_LENGTH(app_id.ptr()) > 0 ? app_id.ptr() : nullptr;
    PyObject *meta_group = group_id.is_none() ? nullptr : group_id.ptr();
    PyObject *meta_env =
        !environment.is_none() && PyUnicode_GET_LENGTH(environment.ptr()) > 0 ? environment.ptr() : nullptr;
    try {
        Py_ssize_t n = PyList_GET_SIZE(batch.ptr());
        enc.out.reserve(static_cast<size_t>(n) * 900 + 128);
        enc.out += "{\"app_id\":";
        enc.any(app_id.ptr(), 0);
        enc.out += ",\"group_id\":";
        enc.any(group_id.ptr(), 0);
        enc.out += ",\"environment\":";
        enc.any(environment.ptr(), 0);
        enc.out += ",\"events\":[";
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(batch.ptr()); ++i) {
            nb::object event = nb::borrow(PyList_GET_ITEM(batch.ptr(), i));
            bool is_capture = captured != nullptr && static_cast<size_t>(i) < captured->size() && (*captured)[i];
            if (is_capture) {
                if (!PyList_CheckExact(event.ptr()) || PyList_GET_SIZE(event.ptr()) <= kCaptureSnapshot)
                    return nb::object();
                PyObject *snap = PyList_GET_ITEM(event.ptr(), kCaptureSnapshot);
                if (snap != Py_None) {  // a snapshot was built: it is what the entry holds now
                    event = nb::borrow(snap);
                    is_capture = false;
                }
            }
            if (!is_capture && Py_TYPE(event.ptr()) != c.event)
                return nb::object();
            if (i)
                enc.out.push_back(',');
            if (is_capture)
                enc.capture(event.ptr(), kEventFields, c.event_names, 0,
                            {{d_app_id.get(), meta_app}, {d_group_id.get(), meta_group}, {d_environment.get(), meta_env}});
            else
                enc.model(event.ptr(), kEventFields, c.event_names, 0,
                          {{d_app_id.get(), meta_app}, {d_group_id.get(), meta_group}, {d_environment.get(), meta_env}});
        }
        enc.out += "]}";
    } catch (GiveUp &) {
        return nb::object();
    }
    PyObject *bytes = PyBytes_FromStringAndSize(enc.out.data(), static_cast<Py_ssize_t>(enc.out.size()));
    if (bytes == nullptr)
        throw nb::python_error();
    return nb::steal(bytes);
}

}  // namespace orvane::uplink
