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
// it, so the result is always what the Python path would send.
#include <array>
#include <charconv>
#include <cmath>
#include <memory>
#include <string>

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

template <size_t N>
bool fields_match(nb::handle cls, const FieldSpec (&layout)[N], PyObject **names, Py_hash_t *hashes) {
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

struct GiveUp {};  // thrown inside the encoder: take the Python path

class BodyEncoder {
public:
    BodyEncoder(nb::handle is_secret, const std::string &mask, int64_t max_depth, PyObject *cache)
        : is_secret_(is_secret), mask_(mask), max_depth_(std::min<int64_t>(max_depth, 64)), cache_(cache) {}
    ~BodyEncoder() {
        for (PyObject *key : held_)
            Py_DECREF(key);
    }
    BodyEncoder(const BodyEncoder &) = delete;
    BodyEncoder &operator=(const BodyEncoder &) = delete;

    std::string out;

    void text(PyObject *s) {
        if (!PyUnicode_CheckExact(s))
            throw GiveUp{};
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(s, &size);
        if (data == nullptr) {  // lone surrogates: the Python path fails the same way or differs
            PyErr_Clear();
            throw GiveUp{};
        }
        raw_text(data, static_cast<size_t>(size));
    }

    void raw_text(const char *data, size_t size) {
        static const char hex[] = "0123456789abcdef";
        // Bytes json.dumps escapes (ensure_ascii=False): control characters, '"' and '\\'.
        static const auto needs_escape = [] {
            std::array<bool, 256> t{};
            for (int c = 0; c < 0x20; ++c)
                t[c] = true;
            t['"'] = t['\\'] = true;
            return t;
        }();
        out.push_back('"');
        size_t start = 0;
        for (size_t i = 0; i < size; ++i) {
            unsigned char c = static_cast<unsigned char>(data[i]);
            if (!needs_escape[c])
                continue;
            out.append(data + start, i - start);
            start = i + 1;
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                out += "\\u00";
                out.push_back(hex[c >> 4]);
                out.push_back(hex[c & 15]);
            }
        }
        out.append(data + start, size - start);
        out.push_back('"');
    }

    void integer(PyObject *v) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (x == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            throw GiveUp{};
        }
        if (overflow == 0) {
            char buf[32];
            auto res = std::to_chars(buf, buf + sizeof buf, x);
            out.append(buf, static_cast<size_t>(res.ptr - buf));
            return;
        }
        PyObject *r = PyLong_Type.tp_repr(v);
        if (r == nullptr) {
            PyErr_Clear();
            throw GiveUp{};
        }
        Py_ssize_t size = 0;
        const char *data = PyUnicode_AsUTF8AndSize(r, &size);
        if (data != nullptr)
            out.append(data, static_cast<size_t>(size));
        Py_DECREF(r);
        if (data == nullptr) {
            PyErr_Clear();
            throw GiveUp{};
        }
    }

    void real(PyObject *v) {
        double d = PyFloat_AS_DOUBLE(v);
        if (!std::isfinite(d))  // allow_nan=False raises on the Python path; let it
            throw GiveUp{};
        char *s = PyOS_double_to_string(d, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (s == nullptr) {
            PyErr_Clear();
            throw GiveUp{};
        }
        out += s;
        PyMem_Free(s);
    }

    bool secret(PyObject *key) {
        // Most keys are the very same str objects event after event: their verdicts are found by
        // address first, in a small direct-mapped table. Each listed key is referenced until the
        // encoder ends, so its address cannot be reused by another string meanwhile.
        Slot &slot = slots_[(reinterpret_cast<uintptr_t>(key) >> 4) & (kSlots - 1)];
        if (slot.key == key)
            return slot.verdict;
        bool verdict = secret_by_value(key);
        if (slot.key == nullptr || held_.size() < 4096) {
            held_.push_back(Py_NewRef(key));
            slot.key = key;
            slot.verdict = verdict;
        }
        return verdict;
    }

    bool secret_by_value(PyObject *key) {
        PyObject *hit = nullptr;
        if (PyDict_GetItemRef(cache_, key, &hit) < 0)
            throw nb::python_error();
        if (hit == nullptr) {
            PyObject *r = PyObject_CallOneArg(is_secret_.ptr(), key);
            if (r == nullptr)
                throw nb::python_error();
            int t = PyObject_IsTrue(r);
            Py_DECREF(r);
            if (t < 0)
                throw nb::python_error();
            hit = Py_NewRef(t ? Py_True : Py_False);
            if (PyDict_SetItem(cache_, key, hit) < 0) {
                Py_DECREF(hit);
                throw nb::python_error();
            }
        }
        bool out_ = hit == Py_True;
        Py_DECREF(hit);
        return out_;
    }

    // One value of a dict entry: the mask when its key is secret.
    void entry(PyObject *key, PyObject *value, int64_t depth) {
        text(key);
        out.push_back(':');
        if (secret(key))
            raw_text(mask_.data(), mask_.size());
        else
            any(value, depth);
    }

    // A plain JSON value at `depth` (the event itself is depth 0).
    void any(PyObject *v, int64_t depth) {
        PyTypeObject *t = Py_TYPE(v);
        if (v == Py_None) {
            out += "null";
        } else if (v == Py_True) {
            out += "true";
        } else if (v == Py_False) {
            out += "false";
        } else if (t == &PyUnicode_Type) {
            text(v);
        } else if (t == &PyLong_Type) {
            integer(v);
        } else if (t == &PyFloat_Type) {
            real(v);
        } else if (t == &PyDict_Type) {
            dict(v, depth);
        } else if (t == &PyList_Type || t == &PyTuple_Type) {
            if (depth >= max_depth_)
                throw GiveUp{};
            out.push_back('[');
            // Re-read the size each round: nothing here runs Python code that could change the
            // list, but is_secret_key (called for new keys) might in theory.
            for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(v); ++i) {
                if (i)
                    out.push_back(',');
                PyObject *item = Py_NewRef(PySequence_Fast_GET_ITEM(v, i));
                try {
                    any(item, depth + 1);
                } catch (...) {
                    Py_DECREF(item);
                    throw;
                }
                Py_DECREF(item);
            }
            out.push_back(']');
        } else {
            throw GiveUp{};
        }
    }

    void dict(PyObject *v, int64_t depth, std::initializer_list<std::pair<const char *, PyObject *>> extra = {}) {
        if (depth >= max_depth_)
            throw GiveUp{};
        out.push_back('{');
        bool first = true;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        Py_ssize_t size = PyDict_GET_SIZE(v);
        while (PyDict_Next(v, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key))
                throw GiveUp{};
            if (!first)
                out.push_back(',');
            first = false;
            Py_INCREF(key);
            Py_INCREF(value);
            try {
                entry(key, value, depth + 1);
            } catch (...) {
                Py_DECREF(key);
                Py_DECREF(value);
                throw;
            }
            Py_DECREF(key);
            Py_DECREF(value);
            if (PyDict_GET_SIZE(v) != size)  // changed under us
                throw GiveUp{};
        }
        for (auto &[name, value] : extra) {
            if (value == nullptr)
                continue;
            int has = PyDict_ContainsString(v, name);
            if (has < 0)
                throw nb::python_error();
            if (has)
                continue;
            if (!first)
                out.push_back(',');
            first = false;
            nb::object key = nb::steal(PyUnicode_FromString(name));
            if (!key.is_valid())
                throw nb::python_error();
            entry(key.ptr(), value, depth + 1);
        }
        out.push_back('}');
    }

    // A model's fields from `value_at(i)` (a new reference or nullptr when missing).
    template <size_t N, typename Get>
    void fields(const FieldSpec (&layout)[N], PyObject *const *names, int64_t depth,
                std::initializer_list<std::pair<const char *, PyObject *>> meta_extra, Get &&value_at) {
        if (depth >= max_depth_)
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
            if (secret(names[i])) {
                raw_text(mask_.data(), mask_.size());
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
                integer(value);
                break;
            case Kind::Any:
                any(value, depth + 1);
                break;
            case Kind::Dict:
                if (t != &PyDict_Type)
                    throw GiveUp{};
                dict(value, depth + 1, meta_extra);
                break;
            case Kind::RunOrNone: {
                const EventClasses &c = event_classes();
                if (value == Py_None)
                    out += "null";
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
        out.push_back('}');
    }

    template <size_t N>
    void model(PyObject *m, const FieldSpec (&layout)[N], PyObject *const *names, int64_t depth,
               std::initializer_list<std::pair<const char *, PyObject *>> meta_extra) {
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
                 std::initializer_list<std::pair<const char *, PyObject *>> meta_extra) {
        if (!is_capture(cap))
            throw GiveUp{};
        bool was = run_capture_;
        run_capture_ = true;
        fields(layout, names, depth, meta_extra,
               [&](size_t i) -> PyObject * { return Py_NewRef(as_capture(cap)->values[i]); });
        run_capture_ = was;
    }

private:
    nb::handle is_secret_;
    std::string mask_;
    int64_t max_depth_;
    PyObject *cache_;
    struct Slot {
        PyObject *key = nullptr;
        bool verdict = false;
    };
    static constexpr size_t kSlots = 256;
    Slot slots_[kSlots];
    std::vector<PyObject *> held_;  // references that keep the listed keys alive
    bool run_capture_ = false;  // the run field holds a run capture
};

}  // namespace

struct EventWriter::Impl {
    nb::object is_secret, cache, app_id, group_id, environment;
    PyObject *meta_app = nullptr, *meta_group = nullptr, *meta_env = nullptr;
    std::unique_ptr<BodyEncoder> enc;
};

EventWriter::EventWriter(nb::handle self, nb::handle formatter) {
    const EventClasses &c = event_classes();
    if (c.event == nullptr)
        return;
    auto impl = std::make_unique<Impl>();
    impl->app_id = self.attr("app_id");
    impl->group_id = self.attr("group_id");
    impl->environment = self.attr("environment");
    auto str_or_none = [](nb::handle v) { return v.is_none() || PyUnicode_CheckExact(v.ptr()); };
    if (!str_or_none(impl->app_id) || !str_or_none(impl->group_id) || !str_or_none(impl->environment))
        return;
    nb::object mask = formatter.attr("MASK");
    if (!PyUnicode_CheckExact(mask.ptr()))
        return;
    Py_ssize_t mask_size = 0;
    const char *mask_data = PyUnicode_AsUTF8AndSize(mask.ptr(), &mask_size);
    if (mask_data == nullptr) {
        PyErr_Clear();
        return;
    }
    nb::object max_depth_obj = formatter.attr("MAX_DEPTH");
    if (!PyLong_CheckExact(max_depth_obj.ptr()))
        return;
    int64_t max_depth = PyLong_AsLongLong(max_depth_obj.ptr());
    if (max_depth == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return;
    }
    impl->is_secret = formatter.attr("is_secret_key");
    // Verdicts per key, kept while is_secret_key stays the same object (bounded).
    static PyObject *cache_owner = nullptr;
    static PyObject *secret_cache = nullptr;
    if (secret_cache == nullptr || cache_owner != impl->is_secret.ptr() || PyDict_GET_SIZE(secret_cache) > 4096) {
        PyObject *fresh = PyDict_New();
        if (fresh == nullptr)
            throw nb::python_error();
        Py_XDECREF(cache_owner);
        Py_XDECREF(secret_cache);
        cache_owner = Py_NewRef(impl->is_secret.ptr());
        secret_cache = fresh;
    }
    impl->cache = nb::borrow(secret_cache);  // survives a reset by a re-entrant call
    impl->enc = std::make_unique<BodyEncoder>(impl->is_secret, std::string(mask_data, static_cast<size_t>(mask_size)),
                                              max_depth, impl->cache.ptr());
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
    size_t mark = out.size();
    enc.out.swap(out);
    try {
        if (compact)
            enc.capture(event.ptr(), kEventFields, c.event_names, 0,
                        {{"app_id", impl_->meta_app}, {"group_id", impl_->meta_group}, {"environment", impl_->meta_env}});
        else
            enc.model(event.ptr(), kEventFields, c.event_names, 0,
                      {{"app_id", impl_->meta_app}, {"group_id", impl_->meta_group}, {"environment", impl_->meta_env}});
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
