// The listener's reading of an upload body (the other end of the upload sink's encoder,
// Uplink/body_json.cpp). The contract is in ingest.hpp.
//
// The reference is the listener's Python road (orvane_devtools/listener/ingest.py): each event of
// the body validated as the event model, masked as DataFormatter.sanitize masks it, and the
// body's app_id / group_id / environment filled into its meta where the event's own meta lacks
// them. For events as a sink sends them -- strict JSON, an object whose members are fields of the
// model, each of its declared JSON type -- validation does nothing but take the values over, so
// the same events come out of one native pass:
//
//   1. the body is read by jsonread::parse into the objects JSON-mode validation gives for values
//      typed Any (the last of duplicate keys kept, as validation keeps it);
//   2. each event's members are checked against the layout the Python side derived from the
//      model classes (ingest.py, `_native_layout`), its nested run context likewise;
//   3. the values of free shape (Any and dict fields) are masked in place by the shared sanitizer
//      at the depth sanitize meets them in the event (sanitize_owned);
//   4. the models are built without validation (models::construct): a __dict__ in field order
//      under the layout's (interned) names -- not the parser's key objects, which attribute
//      look-ups would only find by comparing text -- the fields the event gave as their fields
//      set, the layout's defaults for the others.
//
// An event that does not fit exactly (an unknown, missing or secret member, a value of another
// JSON type, an empty event_id, a timestamp beyond 64 bits) is left for the Python road: its
// slot in the result is None and its parsed item is untouched (the checks run before anything
// is changed). A body that does not fit as a whole (not strict JSON, NaN, a float that
// overflows, a lone surrogate, nesting past the reader's limit, not an object with an "events"
// list, body fields that are not text or null, a host's own sanitizer, sanitizer rules this
// walk cannot follow) gives None: the Python road then reads it all and answers as it does.
#include <nanobind/nanobind.h>

#include <iterator>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <cstring>

#include "ingest.hpp"
#include "orvane/jsonread.hpp"
#include "orvane/models.hpp"
#include "orvane/outside.hpp"
#include "orvane/sanitize.hpp"

namespace orvane::ingest {

namespace {

namespace nb = nanobind;

// The JSON type a field takes without conversion (the codes of ingest.py's `_native_layout`).
enum class FieldKind : long {
    Any = 0,          // any value (free shape: masked)
    Str = 1,          // str
    StrOrNone = 2,    // str or null
    Int64 = 3,        // an integer literal within 64 bits (beyond: the Python road decides)
    Dict = 4,         // an object (free shape inside: masked)
    ModelOrNone = 5,  // the nested model (the run context) or null
    NonEmptyStr = 6,  // str, not empty (an event_id: retries are matched by it)
};

struct Field {
    PyObject *name = nullptr;     // the field's name (borrowed from the layout tuple)
    FieldKind kind = FieldKind::Any;
    PyObject *fallback = nullptr;  // its default: nullptr when required; `dict` for a new dict
};

struct ModelLayout {
    PyObject *cls = nullptr;  // the model class (borrowed from the layout tuple)
    std::vector<Field> fields;
    // {name: None} in field order, copied for each model's __dict__ (a copy clones the table):
    // the keys are the layout's names, which attribute look-ups find by identity.
    nb::object blank;
    nb::object names;  // frozenset of every name: the fields set of a complete item
};

// The sanitize depth of a value inside the object at `depth`.
constexpr long long kInside = 1;

[[noreturn]] void bad_layout() {
    throw nb::type_error("layout must be (event class, event fields, run class, run fields) as "
                         "ingest._native_layout gives it");
}

ModelLayout model_layout(PyObject *cls, PyObject *fields) {
    if (!PyType_Check(cls) ||
        !PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls), orvane::models::base_model_type()) ||
        !PyTuple_Check(fields))
        bad_layout();
    ModelLayout out;
    out.cls = cls;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields); ++i) {
        PyObject *entry = PyTuple_GET_ITEM(fields, i);
        if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 3 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(entry, 0)))
            bad_layout();
        long kind = PyLong_AsLong(PyTuple_GET_ITEM(entry, 1));
        if (kind == -1 && PyErr_Occurred())
            throw nb::python_error();
        if (kind < 0 || kind > static_cast<long>(FieldKind::NonEmptyStr))
            bad_layout();
        PyObject *fallback = PyTuple_GET_ITEM(entry, 2);
        out.fields.push_back(Field{PyTuple_GET_ITEM(entry, 0), static_cast<FieldKind>(kind),
                                   fallback == Py_Ellipsis ? nullptr : fallback});
    }
    out.blank = nb::steal(PyDict_New());
    if (!out.blank.is_valid())
        throw nb::python_error();
    for (const Field &f : out.fields)
        if (PyDict_SetItem(out.blank.ptr(), f.name, Py_None) < 0)
            throw nb::python_error();
    if (PyDict_GET_SIZE(out.blank.ptr()) != static_cast<Py_ssize_t>(out.fields.size()))
        bad_layout();  // a name given twice
    out.names = nb::steal(PyFrozenSet_New(out.blank.ptr()));
    if (!out.names.is_valid())
        throw nb::python_error();
    return out;
}

// The same text: the key objects of jsonread are not the layout's (interned) names.
bool same_text(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == PyUnicode_KIND(b) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * kind) == 0;
}

bool fits_int64(PyObject *v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && PyErr_Occurred())
        throw nb::python_error();
    return overflow == 0;
}

using MetaDefaults = std::vector<std::pair<PyObject *, PyObject *>>;  // (key, text), borrowed

class Reader {
public:
    Reader(const orvane::sanitize::Rules &rules, const ModelLayout &event, const ModelLayout &run,
           const MetaDefaults &defaults, Py_ssize_t meta_index)
        : rules_(rules), event_(event), run_(run), defaults_(defaults), meta_index_(meta_index) {}

    // The event built from `item` (an exact dict), or an empty object where the Python road
    // decides; `item` is changed only when an event comes out.
    nb::object event(PyObject *item) {
        if (!fits(item, event_, 0))
            return nb::object();
        return build(item, event_, 0);
    }

private:
    // The index of the field named `key`, or -1. `hint`: the field expected here.
    static Py_ssize_t field_of(const ModelLayout &layout, PyObject *key, size_t hint) {
        const std::vector<Field> &fields = layout.fields;
        if (hint < fields.size() && same_text(key, fields[hint].name))
            return static_cast<Py_ssize_t>(hint);
        for (size_t j = 0; j < fields.size(); ++j)
            if (same_text(key, fields[j].name))
                return static_cast<Py_ssize_t>(j);
        return -1;
    }

    // Whether the object `item` (at sanitize depth `depth`) builds into a model of `layout`
    // exactly as validation builds it, with sanitize leaving its members where they are.
    // Changes nothing.
    bool fits(PyObject *item, const ModelLayout &layout, long long depth) {
        if (depth + kInside >= rules_.max_depth())
            return false;  // sanitize would cut its members short: the Python road validates that
        const std::vector<Field> &fields = layout.fields;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        size_t given = 0, hint = 0;
        while (PyDict_Next(item, &pos, &key, &value)) {
            // jsonread gives exact str keys.
            Py_ssize_t j = field_of(layout, key, hint);
            if (j < 0 || rules_.is_secret(key))
                return false;  // an unknown member, or one sanitize masks whole
            hint = static_cast<size_t>(j) + 1;
            ++given;
            PyTypeObject *t = Py_TYPE(value);
            switch (fields[static_cast<size_t>(j)].kind) {
            case FieldKind::Any: break;
            case FieldKind::Str:
                if (t != &PyUnicode_Type)
                    return false;
                break;
            case FieldKind::NonEmptyStr:
                if (t != &PyUnicode_Type || PyUnicode_GET_LENGTH(value) == 0)
                    return false;
                break;
            case FieldKind::StrOrNone:
                if (value != Py_None && t != &PyUnicode_Type)
                    return false;
                break;
            case FieldKind::Int64:
                if (t != &PyLong_Type || !fits_int64(value))
                    return false;
                break;
            case FieldKind::Dict:
                if (t != &PyDict_Type)
                    return false;
                break;
            case FieldKind::ModelOrNone:
                if (&layout == &run_)
                    return false;  // one level of nesting only
                if (value != Py_None && (t != &PyDict_Type || !fits(value, run_, depth + kInside)))
                    return false;
                break;
            }
        }
        if (given < fields.size())
            for (const Field &f : fields) {
                if (f.fallback != nullptr)
                    continue;
                int has = PyDict_Contains(item, f.name);
                if (has < 0)
                    throw nb::python_error();
                if (has == 0)
                    return false;  // a required field left out
            }
        return true;
    }

    // The value of field `j` of `layout` as validation gives it, masked where sanitize masks
    // (`depth`: the depth of the object that holds it); the event's meta with the body's fields.
    nb::object value_of(const ModelLayout &layout, size_t j, PyObject *value, long long depth) {
        const Field &f = layout.fields[j];
        nb::object clean;
        switch (f.kind) {
        case FieldKind::Any:
        case FieldKind::Dict:
            clean = value != nullptr ? orvane::sanitize::sanitize_owned(value, rules_, depth + kInside)
                                     : fallback(f);
            break;
        case FieldKind::ModelOrNone:
            clean = value == nullptr ? fallback(f)
                    : value == Py_None ? nb::none()
                                       : build(value, run_, depth + kInside);
            break;
        default: clean = value != nullptr ? nb::borrow(value) : fallback(f);
        }
        if (&layout == &event_ && static_cast<Py_ssize_t>(j) == meta_index_)
            for (const auto &[k, v] : defaults_) {
                // The sink's rule: the event's own meta wins.
                if (PyDict_SetDefault(clean.ptr(), k, v) == nullptr)
                    throw nb::python_error();
            }
        return clean;
    }

    static nb::object fallback(const Field &f) {
        if (f.fallback == reinterpret_cast<PyObject *>(&PyDict_Type))
            return nb::dict();  // default_factory=dict
        return nb::borrow(f.fallback);  // an immutable default (the layout admits no other)
    }

    // A model of `layout` from `item` (checked by fits()): a new __dict__ in field order under
    // the layout's own names, and the names the item gave as the fields set.
    nb::object build(PyObject *item, const ModelLayout &layout, long long depth) {
        const std::vector<Field> &fields = layout.fields;
        // fits() let through known names only, each once: all of them when the sizes agree.
        bool complete = PyDict_GET_SIZE(item) == static_cast<Py_ssize_t>(fields.size());
        nb::object out = nb::steal(PyDict_Copy(layout.blank.ptr()));
        nb::object given = nb::steal(PySet_New(complete ? layout.names.ptr() : nullptr));
        if (!out.is_valid() || !given.is_valid())
            throw nb::python_error();
        for (size_t j = 0; j < fields.size(); ++j) {
            PyObject *name = fields[j].name;
            PyObject *v = PyDict_GetItemWithError(item, name);
            if (v == nullptr && PyErr_Occurred())
                throw nb::python_error();
            nb::object hold = nb::borrow(v);
            if (v != nullptr && !complete && PySet_Add(given.ptr(), name) < 0)
                throw nb::python_error();
            nb::object clean = value_of(layout, j, v, depth);
            if (PyDict_SetItem(out.ptr(), name, clean.ptr()) < 0)
                throw nb::python_error();
        }
        return orvane::models::construct(layout.cls, nb::borrow<nb::dict>(out), given);
    }

    const orvane::sanitize::Rules &rules_;
    const ModelLayout &event_;
    const ModelLayout &run_;
    const MetaDefaults &defaults_;
    const Py_ssize_t meta_index_;
};

// Names of the body's members.
orvane::outside::Name k_events{"events"};
orvane::outside::Name k_meta_fields[] = {orvane::outside::Name{"app_id"}, orvane::outside::Name{"group_id"},
                                         orvane::outside::Name{"environment"}};
constexpr size_t kGroupId = 1;

// The body's fields that fill each event's meta, in the order they are added: (key, text) for
// each of app_id, group_id, environment given as text (an empty app_id or environment is not
// applied; an empty group_id is). False when one is neither text nor null (the Python road
// answers that body with its error).
bool meta_defaults(PyObject *doc, MetaDefaults &out) {
    for (size_t i = 0; i < std::size(k_meta_fields); ++i) {
        PyObject *key = k_meta_fields[i].get();
        PyObject *v = PyDict_GetItemWithError(doc, key);
        if (v == nullptr && PyErr_Occurred())
            throw nb::python_error();
        if (v == nullptr || v == Py_None)
            continue;
        if (!PyUnicode_CheckExact(v))
            return false;
        if (PyUnicode_GET_LENGTH(v) > 0 || i == kGroupId)
            out.emplace_back(key, v);
    }
    return true;
}

}  // namespace

nb::object read_upload_body(nb::handle body, nb::handle layout) {
    if (!PyTuple_Check(layout.ptr()) || PyTuple_GET_SIZE(layout.ptr()) != 4)
        bad_layout();
    ModelLayout event = model_layout(PyTuple_GET_ITEM(layout.ptr(), 0), PyTuple_GET_ITEM(layout.ptr(), 1));
    ModelLayout run = model_layout(PyTuple_GET_ITEM(layout.ptr(), 2), PyTuple_GET_ITEM(layout.ptr(), 3));
    Py_ssize_t meta_index = -1;  // the event field the body's fields fill
    for (size_t j = 0; j < event.fields.size(); ++j)
        if (event.fields[j].kind == FieldKind::Dict &&
            PyUnicode_CompareWithASCIIString(event.fields[j].name, "meta") == 0)
            meta_index = static_cast<Py_ssize_t>(j);

    if (!PyBytes_CheckExact(body.ptr()) || !orvane::sanitize::is_original())
        return nb::none();
    std::optional<orvane::sanitize::Rules> rules = orvane::sanitize::Rules::current();
    if (!rules)
        return nb::none();
    std::string_view text(PyBytes_AS_STRING(body.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(body.ptr())));
    nb::object doc = orvane::jsonread::parse(text);
    if (!doc.is_valid() || !PyDict_CheckExact(doc.ptr()))
        return nb::none();
    PyObject *items = PyDict_GetItemWithError(doc.ptr(), k_events.get());
    if (items == nullptr && PyErr_Occurred())
        throw nb::python_error();
    if (items == nullptr || !PyList_CheckExact(items))
        return nb::none();
    MetaDefaults defaults;
    if (!meta_defaults(doc.ptr(), defaults) || (!defaults.empty() && meta_index < 0))
        return nb::none();

    Reader reader(*rules, event, run, defaults, meta_index);
    Py_ssize_t n = PyList_GET_SIZE(items);
    nb::object out = nb::steal(PyList_New(n));
    if (!out.is_valid())
        throw nb::python_error();
    Py_ssize_t left = 0;  // items for the Python road
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyList_GET_ITEM(items, i);  // the list is the parser's alone
        nb::object ev;
        if (PyDict_CheckExact(item))
            ev = reader.event(item);
        if (!ev.is_valid())
            ++left;
        PyList_SET_ITEM(out.ptr(), i, ev.is_valid() ? ev.release().ptr() : Py_NewRef(Py_None));
    }
    return nb::make_tuple(doc, out, left);
}

}  // namespace orvane::ingest
