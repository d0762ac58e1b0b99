#include "record.hpp"

#include <vector>

#include "names.hpp"
#include "util.hpp"
#include "orvane/dictscan.hpp"

namespace tally {

namespace {

PyObject *empty_tuple() {
    static PyObject *empty = PyTuple_New(0);  // immortal
    return empty;
}

// The suffixes that decide a run's status, tested in this order; the first hit decides.
struct SuffixRule {
    RunStatus status;
    std::string_view suffixes[6];
};
constexpr SuffixRule kSuffixRules[] = {
    {RunStatus::Failed, {".failed", "_failed"}},
    {RunStatus::Completed, {".completed", "_completed"}},
    {RunStatus::Running, {".started", "_started", ".resumed", "_resumed", ".retrying", "_retrying"}},
    {RunStatus::Waiting, {".waiting", "_waiting", ".raised", "_raised"}},
};


// Where RunRecord instances keep pydantic's three instance slots (`cls` is RunRecord, the one class
// asked about: looked up once).
const orvane::models::Layout &record_slots(PyTypeObject *cls) {
    static const orvane::models::Layout &layout = orvane::models::layout_of(cls);
    return layout;
}

using orvane::models::slot_at;

// Whether RunRecord instances can be made and read directly (a plain pydantic model whose three
// instance slots are plain member slots); decided once.
bool plain_record_class() {
    static int plain = -1;
    if (plain < 0) {
        auto *cls = reinterpret_cast<PyTypeObject *>(globals().run_record);
        nb::object probe = checked(cls->tp_new(cls, empty_tuple(), nullptr));
        plain = orvane::models::is_plain_model(probe) && record_slots(cls).slots_known() ? 1 : 0;
    }
    return plain == 1;
}

// A dict with the record's field names as keys (values None), copied to start each record's
// __dict__: the copy takes the key table as it is, so filling it in never resizes.
PyObject *field_dict_template() {
    static PyObject *t = nullptr;
    if (t == nullptr) {
        t = checked(PyDict_New()).release().ptr();
        for (size_t f = 0; f < kFieldCount; ++f)
            if (PyDict_SetItem(t, globals().field[f], Py_None) < 0)
                throw nb::python_error();
    }
    return t;
}

// The set of field names a mask stands for, as a new set left out of the cycle collector's care
// (see fields_set_copy). A set copy sizes its table for twice its names (64 entries, 1 KB from
// the system allocator for a usual record), while names added one by one fill a table of 32
// entries (512 bytes, Python's small-object allocator), as in a plain deep copy's set. So each
// mask's set is made once name by name and its copies take that table as it lies
// (fields_set_like): lists and trees of thousands of records take half the memory for these sets,
// and freeing them costs no consolidation in the system allocator.
nb::object fields_set_for(uint32_t mask) {
    static std::vector<std::pair<uint32_t, PyObject *>> made;  // kept for the process
    for (auto &[m, s] : made)
        if (m == mask)
            return fields_set_like(s);
    nb::object s = checked(PySet_New(nullptr));
    for (size_t f = 0; f < kFieldCount; ++f)
        if (((mask >> f) & 1u) && PySet_Add(s.ptr(), globals().field[f]) < 0)
            throw nb::python_error();
    if (made.size() < 256)
        made.emplace_back(mask, Py_NewRef(s.ptr()));
    return fields_set_like(s.ptr());
}

// A new, unvalidated instance of `cls` with `fields` as its __dict__ and `fields_set`.
nb::object new_record(PyTypeObject *cls, nb::object fields, nb::object fields_set) {
    if (!plain_record_class())
        return orvane::models::construct(nb::handle(reinterpret_cast<PyObject *>(cls)), nb::borrow<nb::dict>(fields),
                                         fields_set);
    const orvane::models::Layout &slots = record_slots(cls);
    nb::object m = checked(cls->tp_new(cls, empty_tuple(), nullptr));
    if (PyObject_GenericSetDict(m.ptr(), fields.ptr(), nullptr) < 0)
        throw nb::python_error();
    // Fresh instance: the slots are empty.
    Py_XSETREF(slot_at(m.ptr(), slots.fields_set), fields_set.release().ptr());
    Py_XSETREF(slot_at(m.ptr(), slots.extra), Py_NewRef(Py_None));
    Py_XSETREF(slot_at(m.ptr(), slots.priv), Py_NewRef(Py_None));
    return m;
}

}  // namespace

Globals &globals() {
    static Globals g;
    return g;
}

void init_globals(PyObject *run_record_cls) {
    Globals &g = globals();
    Py_XDECREF(g.run_record);
    g.run_record = Py_NewRef(run_record_cls);
    for (size_t i = 0; i < kStatusCount; ++i)
        if (g.status[i] == nullptr)
            g.status[i] = checked(PyUnicode_InternFromString(kStatusNames[i])).release().ptr();
    for (size_t f = 0; f < kFieldCount; ++f)
        if (g.field[f] == nullptr)
            g.field[f] = checked(PyUnicode_InternFromString(kFields[f].name)).release().ptr();
}

std::optional<RunStatus> status_of_event_type(nb::handle et) {
    if (PyUnicode_Check(et.ptr())) {
        nb::object holder;
        std::string_view s = orvane::py::utf8_of(et, holder);
        // Every suffix is a separator ('.' or '_') and a word without one, so a text ends with a
        // suffix exactly when its part from its last separator on is that suffix (and then with
        // no other: the rules' order cannot decide between two).
        size_t sep = s.find_last_of("._");
        if (sep == std::string_view::npos)
            return std::nullopt;
        std::string_view tail = s.substr(sep);
        for (const SuffixRule &rule : kSuffixRules)
            for (std::string_view suffix : rule.suffixes)
                if (tail.size() == suffix.size() && tail == suffix)
                    return rule.status;
        return std::nullopt;
    }
    // Not a str: ask the value itself, as `event_type.endswith(...)` would.
    for (const SuffixRule &rule : kSuffixRules) {
        nb::list suffixes;
        for (std::string_view suffix : rule.suffixes)
            if (!suffix.empty())
                suffixes.append(orvane::py::text_from_utf8(suffix));
        nb::object r = orvane::py::call1(et, names::m_endswith, nb::tuple(suffixes));
        if (truthy(r))
            return rule.status;
    }
    return std::nullopt;
}

std::optional<RunStatus> status_of_value(PyObject *value) {
    if (value == nullptr || !PyUnicode_Check(value))
        return std::nullopt;
    for (size_t i = 0; i < kStatusCount; ++i)
        if (value == globals().status[i] || PyUnicode_CompareWithASCIIString(value, kStatusNames[i]) == 0)
            return static_cast<RunStatus>(i);
    return std::nullopt;
}

nb::object NativeRecord::to_model(bool copy_containers) const {
    nb::object fields = checked(PyDict_Copy(field_dict_template()));
    TemplateFill fill(fields.ptr());
    for (size_t f = 0; f < kFieldCount; ++f) {
        PyObject *v = this->v[f];
        nb::object value = copy_containers && !immutable_scalar(v)
                               ? (PyDict_CheckExact(v) && flat_scalar_dict(v) ? checked(PyDict_Copy(v)) : deep_copy(v))
                               : nb::borrow(v);
        if (!fill.set(globals().field[f], value.release().ptr()))
            throw nb::python_error();
    }
    return new_record(reinterpret_cast<PyTypeObject *>(globals().run_record), std::move(fields),
                      fields_set_for(set_mask));
}

void native_from_model(nb::handle model, NativeRecord &out) {
    NativeRecord fresh;
    PyObject *fs = nullptr;
    nb::object fs_holder;
    if (Py_TYPE(model.ptr()) == reinterpret_cast<PyTypeObject *>(globals().run_record) && plain_record_class())
        fs = slot_at(model.ptr(), record_slots(Py_TYPE(model.ptr())).fields_set);
    if (fs == nullptr) {
        PyObject *got = PyObject_GetAttr(model.ptr(), names::a_fields_set.get());
        if (got == nullptr)
            PyErr_Clear();
        else
            fs = (fs_holder = nb::steal(got)).ptr();
    }
    for (size_t f = 0; f < kFieldCount; ++f) {
        nb::object v = checked(PyObject_GetAttr(model.ptr(), globals().field[f]));
        fresh.v[f] = deep_copy(v).release().ptr();
        if (fs != nullptr && PyAnySet_Check(fs)) {
            int has = PySet_Contains(fs, globals().field[f]);
            if (has < 0)
                throw nb::python_error();
            if (has)
                fresh.set_mask |= 1u << f;
        }
    }
    out.release();
    out.v = fresh.v;
    out.set_mask = fresh.set_mask;
    fresh.v.fill(nullptr);
}

// A plain RunRecord whose fields hold immutable scalars and flat dicts of them (the usual case)
// is rebuilt directly: its __dict__ copied with each flat dict copied once, its own copy of the
// set of set fields, no extra or private state. Anything else takes the general deep copy.
nb::object copy_model_record(nb::handle rec) {
    PyObject *r = rec.ptr();
    auto *cls = reinterpret_cast<PyTypeObject *>(globals().run_record);
    if (Py_TYPE(r) != cls || !plain_record_class())
        return deep_copy(rec);
    const orvane::models::Layout &slots = record_slots(cls);
    PyObject *fs = slot_at(r, slots.fields_set);
    PyObject *extra = slot_at(r, slots.extra);
    PyObject *priv = slot_at(r, slots.priv);
    if (fs == nullptr || !PySet_CheckExact(fs) || extra != Py_None || priv != Py_None)
        return deep_copy(rec);
    PyObject **dictptr = _PyObject_GetDictPtr(r);
    if (dictptr == nullptr || *dictptr == nullptr || !PyDict_CheckExact(*dictptr))
        return deep_copy(rec);
    PyObject *src = *dictptr;
    PyObject *dicts[4];
    int ndicts = 0;
    {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (orvane::dictscan::dict_next(src, &pos, &k, &v)) {
            if (immutable_scalar(v))
                continue;
            if (ndicts == 4 || !flat_scalar_dict(v))
                return deep_copy(rec);
            for (int i = 0; i < ndicts; ++i)
                if (dicts[i] == v)  // shared: the general copy keeps it shared
                    return deep_copy(rec);
            dicts[ndicts++] = v;
        }
    }
    nb::object fields = checked(PyDict_Copy(src));
    if (ndicts != 0) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (orvane::dictscan::dict_next(src, &pos, &k, &v)) {
            if (immutable_scalar(v))
                continue;
            nb::object c = checked(PyDict_Copy(v));
            if (PyDict_SetItem(fields.ptr(), k, c.ptr()) < 0)
                throw nb::python_error();
        }
    }
    // Only str entries (read from the set's table: a deleted entry's marker is not a str, which
    // keeps the copy in the collector's care too).
    bool names_only = true;
    auto *set = reinterpret_cast<PySetObject *>(fs);
    for (Py_ssize_t i = 0; i <= set->mask && names_only; ++i)
        names_only = set->table[i].key == nullptr || PyUnicode_CheckExact(set->table[i].key);
    return new_record(cls, std::move(fields), names_only ? fields_set_copy(fs) : checked(PySet_New(fs)));
}

}  // namespace tally
