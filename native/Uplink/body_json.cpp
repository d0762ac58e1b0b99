// The upload body's events, encoded straight from the queued snapshots or captures.
//
// The reference is the Python path: for every event `DataFormatter.sanitize(normalized.model_dump(
// mode="json"))`, then httpx's JSON encoding of {"app_id", "group_id", "environment", "events"}
// (json.dumps with ensure_ascii=False, separators (",", ":"), allow_nan=False, as UTF-8). For the
// shapes events normally have (the exact RuntimeEvent / RuntimeRunContext classes whose values are
// plain JSON data: dicts with str keys, lists, tuples, str, int, finite float, bool, None) those
// three steps collapse into one walk that writes the bytes directly, with the same masking of
// values under secret keys. Anything else (another class, a datetime, a NaN, a str subclass, deep
// nesting, ...) makes the writer give up on that event, and the caller takes the Python path for
// it, so the result is always what the Python path would send. The masking, the markers and the
// JSON text are the shared sanitizer's and writer's (orvane/sanitize.hpp, orvane/json.hpp, in
// strict mode).
#include <memory>
#include <optional>
#include <string>

#include "orvane/json.hpp"
#include "orvane/sanitize.hpp"
#include "sink.hpp"

namespace orvane::uplink {

namespace {

Name a_pydantic_fields{"__pydantic_fields__"};

enum class Kind { Str, StrOrNone, Int, Any, Dict, RunOrNone };

struct FieldDef {
    const char *name;
    Kind kind;
};

constexpr FieldDef kEventFields[] = {
    {"event_id", Kind::Str},  {"event_type", Kind::Str},       {"timestamp", Kind::Int},
    {"source", Kind::StrOrNone}, {"level", Kind::Any},         {"message", Kind::StrOrNone},
    {"payload", Kind::Any},   {"error", Kind::Any},            {"meta", Kind::Dict},
    {"run", Kind::RunOrNone},
};

constexpr FieldDef kRunFields[] = {
    {"run_id", Kind::Str},           {"root_run_id", Kind::StrOrNone}, {"parent_run_id", Kind::StrOrNone},
    {"run_kind", Kind::Any},         {"agent_id", Kind::StrOrNone},    {"agent_name", Kind::StrOrNone},
    {"session_id", Kind::StrOrNone}, {"response_id", Kind::StrOrNone}, {"execution_id", Kind::StrOrNone},
    {"meta", Kind::Dict},
};

template <size_t N>
bool fields_match(nb::handle cls, const FieldDef (&layout)[N], PyObject **names, Py_hash_t *hashes) {
    nb::object fields = orvane::py::attr(cls, a_pydantic_fields);
    if (!PyDict_Check(fields.ptr()) || PyDict_GET_SIZE(fields.ptr()) != static_cast<Py_ssize_t>(N))
        return false;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(fields.ptr(), &pos, &key, &value)) {
        if (!PyUnicode_Check(key) || PyUnicode_CompareWithASCIIString(key, layout[i].name) != 0)
            return false;
        ++i;
    }
    for (size_t j = 0; j < N; ++j) {
        names[j] = PyUnicode_InternFromString(layout[j].name);  // leaked on purpose
        if (names[j] == nullptr || (hashes[j] = PyObject_Hash(names[j])) == -1)
            throw nb::python_error();
    }
    return true;
}

}  // namespace

static_assert(std::size(kEventFields) == kCaptureFields && std::size(kRunFields) == kCaptureFields);

const EventClasses &event_classes() {
    static EventClasses *c = [] {
        auto *out = new EventClasses();
        nb::object compat = nb::module_::import_("orvane_devtools._orvane_compat");
        nb::object event = compat.attr("RuntimeEvent"), run = compat.attr("RuntimeRunContext");
        if (fields_match(event, kEventFields, out->event_names, out->event_hashes) &&
            fields_match(run, kRunFields, out->run_names, out->run_hashes)) {
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
        w_.string(s);  // lone surrogates refused: the Python path decides (model_dump raises for some)
    }

    void any(PyObject *v, int64_t depth) { walk_.value(v, depth); }

    // A model's fields from `value_at(i)` (a new reference or nullptr when missing).
    template <size_t N, typename Get>
    void fields(const FieldDef (&layout)[N], PyObject *const *names, int64_t depth, Defaults meta_extra,
                Get &&value_at) {
        if (depth >= rules_.max_depth() || depth >= kStrictDepth)
            throw GiveUp{};
        w_.begin_object();
        for (size_t i = 0; i < N; ++i) {
            PyObject *value = value_at(i);
            if (value == nullptr)
                throw GiveUp{};
            nb::object hold = nb::steal(value);
            if (i)
                w_.item_separator();
            text(names[i]);
            w_.key_separator();
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
                    w_.null();
                else if (t == c.run)
                    model(value, kRunFields, c.run_names, depth + 1, {});
                else if (run_capture_ && is_capture(value))
                    capture(value, kRunFields, c.run_names, depth + 1, {});
                else
                    throw GiveUp{};
                break;
            }
            }
        }
        w_.end_object();
    }

    template <size_t N>
    void model(PyObject *m, const FieldDef (&layout)[N], PyObject *const *names, int64_t depth,
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
    void capture(PyObject *cap, const FieldDef (&layout)[N], PyObject *const *names, int64_t depth,
                 Defaults meta_extra) {
        if (!is_capture(cap))
            throw GiveUp{};
        bool was = run_capture_;
        run_capture_ = true;
        fields(layout, names, depth, meta_extra,
               [&](size_t i) -> PyObject * { return Py_NewRef(as_capture(cap)->values[i]); });
        run_capture_ = was;
    }

private:
    const orvane::sanitize::Rules &rules_;
    orvane::json::Writer w_;
    orvane::sanitize::Walk walk_;
    bool run_capture_ = false;  // the run field holds a run capture
};

Name a_app_id{"app_id"};
Name a_group_id{"group_id"};
Name a_environment{"environment"};
Name d_app_id{"app_id"};
Name d_group_id{"group_id"};
Name d_environment{"environment"};

}  // namespace

struct EventWriter::Impl {
    explicit Impl(orvane::sanitize::Rules r) : rules(std::move(r)) {}
    orvane::sanitize::Rules rules;
    nb::object app_id, group_id, environment;
    PyObject *meta_app = nullptr, *meta_group = nullptr, *meta_env = nullptr;
    std::unique_ptr<BodyEncoder> enc;
};

EventWriter::EventWriter(nb::handle self) {
    const EventClasses &c = event_classes();
    if (c.event == nullptr)
        return;
    std::optional<orvane::sanitize::Rules> rules = orvane::sanitize::Rules::current();
    if (!rules)
        return;
    auto impl = std::make_unique<Impl>(std::move(*rules));
    impl->app_id = orvane::py::attr(self, a_app_id);
    impl->group_id = orvane::py::attr(self, a_group_id);
    impl->environment = orvane::py::attr(self, a_environment);
    auto str_or_none = [](nb::handle v) { return v.is_none() || PyUnicode_CheckExact(v.ptr()); };
    if (!str_or_none(impl->app_id) || !str_or_none(impl->group_id) || !str_or_none(impl->environment))
        return;
    impl->enc = std::make_unique<BodyEncoder>(impl->rules);
    // Meta gains the sink's values for missing keys, as _serialize_event adds them.
    nb::handle app = impl->app_id, group = impl->group_id, env = impl->environment;
    impl->meta_app = !app.is_none() && PyUnicode_GET_LENGTH(app.ptr()) > 0 ? app.ptr() : nullptr;
    impl->meta_group = group.is_none() ? nullptr : group.ptr();
    impl->meta_env = !env.is_none() && PyUnicode_GET_LENGTH(env.ptr()) > 0 ? env.ptr() : nullptr;
    impl_ = impl.release();
}

EventWriter::~EventWriter() { delete impl_; }

bool EventWriter::write(nb::handle item, bool compact, std::string &out) {
    if (impl_ == nullptr)
        return false;
    const EventClasses &c = event_classes();
    nb::object event = nb::borrow(item);
    if (compact) {
        if (!is_capture(event.ptr()))
            return false;
        PyObject *snap = as_capture(event.ptr())->snapshot;
        if (snap != nullptr) {  // a snapshot was built: it is what the entry holds now
            event = nb::borrow(snap);
            compact = false;
        }
    }
    if (!compact && Py_TYPE(event.ptr()) != c.event)
        return false;
    BodyEncoder &enc = *impl_->enc;
    Defaults meta_extra = {{d_app_id.get(), impl_->meta_app},
                           {d_group_id.get(), impl_->meta_group},
                           {d_environment.get(), impl_->meta_env}};
    size_t mark = out.size();
    enc.out.swap(out);
    try {
        if (compact)
            enc.capture(event.ptr(), kEventFields, c.event_names, 0, meta_extra);
        else
            enc.model(event.ptr(), kEventFields, c.event_names, 0, meta_extra);
    } catch (GiveUp &) {
        enc.out.resize(mark);
        enc.out.swap(out);
        return false;
    } catch (...) {
        enc.out.resize(mark);
        enc.out.swap(out);
        throw;
    }
    enc.out.swap(out);
    return true;
}

}  // namespace orvane::uplink
