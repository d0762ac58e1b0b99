#include "store.hpp"

#include "orvane/models.hpp"
#include "orvane/outside.hpp"
#include "orvane/searchtext.hpp"
#include "textsearch.hpp"

#include <algorithm>
#include <numeric>

namespace tally {

namespace {

// A dict's modification tag: it changes whenever the dict changes (CPython 3.13 keeps it for
// dict watchers). Returns false where the interpreter offers none.
bool dict_version(PyObject *d, uint64_t &version) {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    version = reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
#pragma GCC diagnostic pop
    return PyDict_CheckExact(d);
#else
    (void)d;
    (void)version;
    return false;
#endif
}

// An interned attribute name, made on first use (inline: these are read on every event).
class Name {
public:
    explicit constexpr Name(const char *text) : text_(text) {}
    PyObject *get() {
        if (obj_ == nullptr) [[unlikely]] {
            obj_ = PyUnicode_InternFromString(text_);
            if (obj_ == nullptr)
                throw nb::python_error();
        }
        return obj_;
    }

private:
    const char *text_;
    PyObject *obj_ = nullptr;  // leaked on purpose: interned names live as long as the interpreter
};

[[noreturn]] void raise() { throw nb::python_error(); }

nb::object check(PyObject *o) {
    if (o == nullptr)
        raise();
    return nb::steal(o);
}

// Interned attribute names.
Name n_run_id{"run_id"}, n_root_run_id{"root_run_id"}, n_parent_run_id{"parent_run_id"}, n_run_kind{"run_kind"},
    n_agent_id{"agent_id"}, n_agent_name{"agent_name"}, n_session_id{"session_id"}, n_response_id{"response_id"},
    n_execution_id{"execution_id"}, n_status{"status"}, n_latest_event_type{"latest_event_type"},
    n_latest_source{"latest_source"}, n_latest_message{"latest_message"}, n_started_at{"started_at"},
    n_updated_at{"updated_at"}, n_completed_at{"completed_at"}, n_failed_at{"failed_at"},
    n_event_count{"event_count"}, n_meta{"meta"}, n_event_id{"event_id"}, n_event_type{"event_type"},
    n_timestamp{"timestamp"}, n_source{"source"}, n_level{"level"}, n_message{"message"}, n_payload{"payload"},
    n_error{"error"}, n_run{"run"}, n_app_id{"app_id"}, n_group_id{"group_id"}, n_environment{"environment"},
    n_flow_name{"flow_name"}, n_dict{"__dict__"}, n_fields_set{"__pydantic_fields_set__"}, n_get{"get"},
    n_update{"update"}, n_maxlen{"maxlen"}, n_endswith{"endswith"};

Name *const kIdentity[] = {&n_agent_id, &n_agent_name, &n_session_id, &n_response_id, &n_execution_id};
Name *const kRecordSearch[] = {&n_run_id,        &n_root_run_id,   &n_parent_run_id,   &n_run_kind,
                               &n_agent_id,      &n_agent_name,    &n_session_id,      &n_response_id,
                               &n_execution_id,  &n_status,        &n_latest_event_type, &n_latest_source,
                               &n_latest_message, &n_meta};
Name *const kEventSearch[] = {&n_event_id, &n_event_type, &n_source, &n_level,
                              &n_message,  &n_payload,    &n_error,  &n_meta};

// Attribute reads of one model: its instance __dict__ is read once into a small table (field
// names of pydantic models are interned, so a lookup is a pointer comparison); names not found
// there go through the dict, then getattr.
class Fields {
public:
    // `table`: read the whole __dict__ up front (for many reads); else each read is a lookup.
    explicit Fields(PyObject *obj, bool table = true) : obj_(obj) {
        PyObject *d = PyObject_GenericGetAttr(obj, n_dict.get());
        if (d == nullptr) {
            PyErr_Clear();
            return;
        }
        if (!PyDict_CheckExact(d)) {
            Py_DECREF(d);
            return;
        }
        dict_ = nb::steal(d);
        if (table && PyDict_GET_SIZE(d) <= kMax) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(d, &pos, &k, &v)) {
                keys_[n_] = Py_NewRef(k);
                vals_[n_] = Py_NewRef(v);
                ++n_;
            }
        }
    }
    ~Fields() {
        for (int i = 0; i < n_; ++i) {
            Py_DECREF(keys_[i]);
            Py_DECREF(vals_[i]);
        }
    }
    Fields(const Fields &) = delete;
    Fields &operator=(const Fields &) = delete;
    nb::object get(Name &n) const {
        PyObject *key = n.get();
        if (int i = find(key); i >= 0)
            return nb::borrow(vals_[i]);
        if (dict_.is_valid()) {
            PyObject *v = PyDict_GetItemWithError(dict_.ptr(), key);
            if (v != nullptr)
                return nb::borrow(v);
            if (PyErr_Occurred())
                raise();
        }
        return check(PyObject_GetAttr(obj_, key));
    }
    // The value in the instance __dict__, borrowed, without touching it (nullptr when the
    // attribute is not there); only for identity comparisons made before any other Python code.
    PyObject *peek(Name &n) const {
        PyObject *key = n.get();
        if (int i = find(key); i >= 0)
            return vals_[i];
        if (!dict_.is_valid())
            return nullptr;
        PyObject *v = PyDict_GetItemWithError(dict_.ptr(), key);
        if (v == nullptr && PyErr_Occurred())
            raise();
        return v;
    }

protected:
public:
    PyObject *dict() const { return dict_.is_valid() ? dict_.ptr() : nullptr; }

protected:
    // Position of `key` in the table, or -1. Reads mostly follow field order, so the scan starts
    // after the previous hit.
    int find(PyObject *key) const {
        for (int k = 0; k < n_; ++k) {
            int i = next_ + k < n_ ? next_ + k : next_ + k - n_;
            if (keys_[i] == key) {
                next_ = i + 1 < n_ ? i + 1 : 0;
                return i;
            }
        }
        return -1;
    }

    static constexpr int kMax = 24;
    mutable int next_ = 0;
    PyObject *obj_;
    nb::object dict_;
    // Strong references: the dict's entries when it was read (kept in step by RecordAccess::set).
    PyObject *keys_[kMax];
    PyObject *vals_[kMax];
    int n_ = 0;

    // Points the table entry of `key` (if any) at `v`.
    void refresh(PyObject *key, PyObject *v) {
        if (int i = find(key); i >= 0)
            Py_SETREF(vals_[i], Py_NewRef(v));
    }
};

// A stored record: reads as above; writes go straight to the model's __dict__ and its set of set
// fields when it is one of our RunRecords (what pydantic's __setattr__ does for a plain field),
// else through setattr.
class RecordAccess : public Fields {
public:
    // `known`: the run's memory of which names its record's set of set fields already holds.
    // No table: the record's values are only looked up (and touched) when needed.
    RecordAccess(PyObject *rec, FieldsSetCache *known) : Fields(rec, false) {
        if (Py_TYPE(rec) == reinterpret_cast<PyTypeObject *>(globals().run_record) && dict_.is_valid()) {
            PyObject *fs = model_fields_set(rec);
            if (fs != nullptr && PySet_Check(fs)) {
                fields_set_ = nb::borrow(fs);
                if (known != nullptr) {
                    if (known->set.ptr() != fs || known->size != PySet_GET_SIZE(fs)) {
                        known->set = fields_set_;  // another set, or changed: start afresh
                        known->count = 0;
                    }
                    known_ = known;
                }
            }
        }
    }
    ~RecordAccess() {
        if (known_ != nullptr)
            known_->size = PySet_GET_SIZE(fields_set_.ptr());
    }
    void set(Name &n, nb::handle v) {
        if (fields_set_.is_valid()) {
            bool same = peek(n) == v.ptr();  // compared, not touched
            if (!same && PyDict_SetItem(dict_.ptr(), n.get(), v.ptr()) < 0)
                raise();
            add_to_fields_set(n.get());
            // The dict holds the value now; a value that was not in the table yet is found there.
            refresh(n.get(), v.ptr());
        } else if (PyObject_SetAttr(obj_, n.get(), v.ptr()) < 0) {
            raise();
        }
    }

private:
    nb::object fields_set_;
    FieldsSetCache *known_ = nullptr;

    void add_to_fields_set(PyObject *name) {
        if (known_ != nullptr)
            for (int i = 0; i < known_->count; ++i)
                if (known_->names[i] == name)
                    return;  // added before, and the set has not changed since
        if (PySet_Add(fields_set_.ptr(), name) < 0)
            raise();
        if (known_ != nullptr && known_->count < FieldsSetCache::kMax)
            known_->names[known_->count++] = name;
    }
};

bool truthy(nb::handle v) {
    int r = PyObject_IsTrue(v.ptr());
    if (r < 0)
        raise();
    return r != 0;
}

bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        raise();
    return r != 0;
}

// mapping.get(key) for a dict or any object with .get
nb::object mapping_get(nb::handle m, PyObject *key) {
    if (PyDict_Check(m.ptr())) {
        PyObject *v = PyDict_GetItemWithError(m.ptr(), key);
        if (v == nullptr && PyErr_Occurred())
            raise();
        return v ? nb::borrow(v) : nb::none();
    }
    return check(PyObject_CallMethodOneArg(m.ptr(), n_get.get(), key));
}

nb::object deep_copy(nb::handle v) {
    PyTypeObject *t = Py_TYPE(v.ptr());
    if (v.is_none() || t == &PyUnicode_Type || t == &PyLong_Type)
        return nb::borrow(v);
    return orvane::models::deep_copy(v);
}

// Values a deep copy shares as they are.
inline bool immutable_scalar(PyObject *v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) ||
           PyFloat_CheckExact(v);
}

// An exact dict of immutable scalars (keys and values): its deep copy is a shallow copy.
bool flat_scalar_dict(PyObject *d) {
    if (!PyDict_CheckExact(d))
        return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(d, &pos, &k, &v))
        if (!immutable_scalar(k) || !immutable_scalar(v))
            return false;
    return true;
}

// The storage offsets of pydantic's three instance slots in RunRecord instances (member
// descriptors holding objects), found once; all -1 when they are not plain member slots.
struct ModelSlots {
    Py_ssize_t fields_set = -1, extra = -1, priv = -1;
    bool ok() const { return fields_set >= 0 && extra >= 0 && priv >= 0; }
};

const ModelSlots &record_slots(PyTypeObject *cls) {
    static ModelSlots slots;
    static bool looked = false;
    if (looked)
        return slots;
    looked = true;
    auto offset_of = [cls](const char *name) -> Py_ssize_t {
        PyObject *key = PyUnicode_InternFromString(name);
        if (key == nullptr) {
            PyErr_Clear();
            return -1;
        }
        PyObject *d = _PyType_Lookup(cls, key);
        Py_DECREF(key);
        if (d == nullptr || Py_TYPE(d) != &PyMemberDescr_Type)
            return -1;
        PyMemberDef *m = reinterpret_cast<PyMemberDescrObject *>(d)->d_member;
        if (m->type != Py_T_OBJECT_EX || (m->flags & Py_READONLY) != 0)
            return -1;
        return m->offset;
    };
    ModelSlots found{offset_of("__pydantic_fields_set__"), offset_of("__pydantic_extra__"),
                     offset_of("__pydantic_private__")};
    if (found.ok())
        slots = found;
    return slots;
}

inline PyObject *&slot_at(PyObject *o, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + offset);
}

// A deep copy of a run record. A plain RunRecord whose fields hold immutable scalars and flat
// dicts of them (the usual case) is rebuilt directly: its __dict__ copied with each flat dict
// copied once, its own copy of the set of set fields, no extra or private state. Anything else
// takes the general deep copy.
nb::object copy_record(nb::handle rec) {
    PyObject *r = rec.ptr();
    auto *cls = reinterpret_cast<PyTypeObject *>(globals().run_record);
    static int plain = -1;  // the RunRecord class keeps pydantic's own deep copy
    if (Py_TYPE(r) != cls)
        return deep_copy(rec);
    if (plain < 0)
        plain = orvane::models::is_plain_model(rec) && record_slots(cls).ok() ? 1 : 0;
    if (plain != 1)
        return deep_copy(rec);
    const ModelSlots &slots = record_slots(cls);
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
        while (PyDict_Next(src, &pos, &k, &v)) {
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
    nb::object fields = check(PyDict_Copy(src));
    if (ndicts != 0) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(src, &pos, &k, &v)) {
            if (immutable_scalar(v))
                continue;
            nb::object c = check(PyDict_Copy(v));
            if (PyDict_SetItem(fields.ptr(), k, c.ptr()) < 0)
                raise();
        }
    }
    nb::object fs_copy = check(PySet_New(fs));
    static PyObject *empty = PyTuple_New(0);  // immortal
    nb::object m = check(cls->tp_new(cls, empty, nullptr));
    if (PyObject_GenericSetDict(m.ptr(), fields.ptr(), nullptr) < 0)
        raise();
    // Fresh instance: the slots are empty.
    Py_XSETREF(slot_at(m.ptr(), slots.fields_set), fs_copy.release().ptr());
    Py_XSETREF(slot_at(m.ptr(), slots.extra), Py_NewRef(Py_None));
    Py_XSETREF(slot_at(m.ptr(), slots.priv), Py_NewRef(Py_None));
    return m;
}

// Stable order of `keys` (Python objects) through Python's own sort; returns positions.
std::vector<size_t> python_order(const std::vector<nb::object> &keys, bool reverse) {
    nb::list kl;
    for (auto &k : keys)
        kl.append(k);
    nb::object sorted = nb::module_::import_("builtins").attr("sorted");
    nb::object order = sorted(nb::module_::import_("builtins").attr("range")(keys.size()),
                              nb::arg("key") = kl.attr("__getitem__"), nb::arg("reverse") = reverse);
    std::vector<size_t> out;
    for (nb::handle i : order)
        out.push_back(nb::cast<size_t>(i));
    return out;
}

// Orders `keys` stably (ascending, or descending keeping ties in order when `reverse`): natively
// when every key is an int that fits 64 bits, else through Python's sort.
std::vector<size_t> stable_order(const std::vector<nb::object> &keys, bool reverse) {
    std::vector<int64_t> native(keys.size());
    bool all_native = true;
    for (size_t i = 0; i < keys.size() && all_native; ++i) {
        PyObject *k = keys[i].ptr();
        if (!PyLong_CheckExact(k)) {
            all_native = false;
            break;
        }
        int overflow = 0;
        native[i] = PyLong_AsLongLongAndOverflow(k, &overflow);
        if (overflow != 0)
            all_native = false;
    }
    if (!all_native)
        return python_order(keys, reverse);
    std::vector<size_t> order(keys.size());
    std::iota(order.begin(), order.end(), size_t{0});
    if (reverse)
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return native[a] > native[b]; });
    else
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return native[a] < native[b]; });
    return order;
}

// `a or b or ... or last`
nb::object first_truthy(const Fields &f, std::initializer_list<Name *> names, nb::handle last) {
    for (Name *n : names) {
        nb::object v = f.get(*n);
        if (truthy(v))
            return v;
    }
    return nb::borrow(last);
}

// Python slice bounds of seq[start:] / seq[:stop] for a length n.
size_t clamp_index(int64_t i, size_t n) {
    auto sn = static_cast<int64_t>(n);
    if (i < 0)
        i += sn;
    if (i < 0)
        i = 0;
    if (i > sn)
        i = sn;
    return static_cast<size_t>(i);
}

std::string utf8(nb::handle s) {
    Py_ssize_t n;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p != nullptr)
        return std::string(p, static_cast<size_t>(n));
    PyErr_Clear();
    nb::object b = check(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
    return std::string(PyBytes_AS_STRING(b.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(b.ptr())));
}

bool ends_with(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// RunRecord(**kw). When every value already has the exact type its field asks for, validation
// would keep each value as it is, so the record is built directly (same __dict__, same set of
// set fields); otherwise the model validates (and may convert or refuse) as usual.
nb::object make_record(nb::dict kw) {
    Globals &g = globals();
    auto str_or_none = [&](Name &n, bool none_ok) {
        PyObject *v = PyDict_GetItem(kw.ptr(), n.get());
        return v != nullptr && (PyUnicode_CheckExact(v) || (none_ok && v == Py_None));
    };
    bool plain = str_or_none(n_run_id, false) && str_or_none(n_root_run_id, false) &&
                 str_or_none(n_parent_run_id, true) && str_or_none(n_run_kind, false);
    for (Name *n : kIdentity)
        plain = plain && str_or_none(*n, true);
    PyObject *meta = PyDict_GetItem(kw.ptr(), n_meta.get());
    plain = plain && meta != nullptr && PyDict_CheckExact(meta);
    if (plain) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (plain && PyDict_Next(meta, &pos, &k, &v))
            plain = PyUnicode_CheckExact(k);
    }
    if (!plain)
        return check(PyObject_Call(g.run_record, nb::tuple().ptr(), kw.ptr()));
    nb::object fields_set = check(PySet_New(kw.ptr()));
    nb::dict d;
    auto put = [&](Name &n, PyObject *v) {
        if (PyDict_SetItem(d.ptr(), n.get(), v) < 0)
            raise();
    };
    for (Name *n : {&n_run_id, &n_root_run_id, &n_parent_run_id, &n_run_kind, &n_agent_id, &n_agent_name,
                    &n_session_id, &n_response_id, &n_execution_id})
        put(*n, PyDict_GetItem(kw.ptr(), n->get()));
    put(n_status, g.status[0]);
    for (Name *n : {&n_latest_event_type, &n_latest_source, &n_latest_message, &n_started_at, &n_updated_at,
                    &n_completed_at, &n_failed_at})
        put(*n, Py_None);
    nb::object zero = nb::int_(0);
    put(n_event_count, zero.ptr());
    put(n_meta, meta);
    return orvane::models::construct(g.run_record, d, fields_set);
}

// Adds `run_id` to the set of children of `parent` (made empty when missing); nothing for a None
// parent.
void link_child(nb::dict &children, nb::handle parent, nb::handle run_id) {
    if (parent.is_none())
        return;
    PyObject *kids = PyDict_GetItemWithError(children.ptr(), parent.ptr());
    if (kids == nullptr) {
        if (PyErr_Occurred())
            raise();
        nb::object fresh = check(PySet_New(nullptr));
        if (PyDict_SetItem(children.ptr(), parent.ptr(), fresh.ptr()) < 0)
            raise();
        kids = fresh.ptr();
    }
    if (PySet_Check(kids) ? PySet_Add(kids, run_id.ptr()) < 0
                          : !check(PyObject_CallMethod(kids, "add", "O", run_id.ptr())).is_valid())
        raise();
}

// Removes `run_id` from the children of `parent` (a set left empty goes too); absent links are
// no error.
void unlink_child(nb::dict &children, nb::handle parent, nb::handle run_id) {
    if (parent.is_none())
        return;
    PyObject *kids = PyDict_GetItemWithError(children.ptr(), parent.ptr());
    if (kids == nullptr) {
        if (PyErr_Occurred())
            raise();
        return;
    }
    nb::object hold = nb::borrow(kids);
    if (PySet_Check(kids)) {
        if (PySet_Discard(kids, run_id.ptr()) < 0)
            raise();
    } else {
        check(PyObject_CallMethod(kids, "discard", "O", run_id.ptr()));
    }
    Py_ssize_t left = PyObject_Length(kids);
    if (left < 0 || (left == 0 && PyDict_DelItem(children.ptr(), parent.ptr()) < 0))
        raise();
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
    static const char *names[5] = {"unknown", "running", "waiting", "completed", "failed"};
    for (int i = 0; i < 5; ++i)
        if (g.status[i] == nullptr)
            g.status[i] = PyUnicode_InternFromString(names[i]);
}

PyObject *infer_run_status(PyObject *event) {
    return status_of_event_type(check(PyObject_GetAttr(event, n_event_type.get())));
}

PyObject *status_of_event_type(nb::handle et) {
    Globals &g = globals();
    static const char *groups[4][6] = {
        {".failed", "_failed"},
        {".completed", "_completed"},
        {".started", "_started", ".resumed", "_resumed", ".retrying", "_retrying"},
        {".waiting", "_waiting", ".raised", "_raised"},
    };
    static const int result[4] = {4, 3, 1, 2};
    if (PyUnicode_Check(et.ptr())) {
        Py_ssize_t len;
        const char *data = PyUnicode_AsUTF8AndSize(et.ptr(), &len);
        std::string copy;
        std::string_view s;
        if (data != nullptr) {
            s = std::string_view(data, static_cast<size_t>(len));
        } else {
            PyErr_Clear();
            copy = utf8(et);
            s = copy;
        }
        for (int gi = 0; gi < 4; ++gi)
            for (const char *suffix : groups[gi])
                if (suffix != nullptr && ends_with(s, suffix))
                    return g.status[result[gi]];
        return nullptr;
    }
    // Not a str: ask the value itself, as `event_type.endswith(...)` would.
    for (int gi = 0; gi < 4; ++gi) {
        nb::list suffixes;
        for (const char *suffix : groups[gi])
            if (suffix != nullptr)
                suffixes.append(nb::str(suffix));
        nb::object r = check(PyObject_CallMethodOneArg(et.ptr(), n_endswith.get(), nb::tuple(suffixes).ptr()));
        if (truthy(r))
            return g.status[result[gi]];
    }
    return nullptr;
}

Store::Busy::Busy(const Store &s, bool mutating) : s_(s) {
    if (mutating && s.busy_ > 0) {
        PyErr_SetString(PyExc_RuntimeError,
                        "RuntimeTallybook cannot be changed from code that runs inside one of its own calls");
        throw nb::python_error();
    }
    ++s.busy_;
}

Store::Store(int64_t max_events) : max_events_(max_events), recent_(static_cast<size_t>(max_events)) {}

void Store::set_max_events(int64_t v) {
    Busy busy(*this, true);
    if (v < 0)
        throw nb::value_error("max_events must be non-negative");
    max_events_ = v;  // rings made from now on; existing rings keep their capacity
}

void Store::reset() {
    Busy busy(*this, true);
    PyDict_Clear(runs_.ptr());
    // Per-run rings and search texts live together; release them (held events may run Python
    // destructors of kept objects, so detach first).
    std::vector<std::unique_ptr<RunState>> old;
    old.swap(states_);
    ++generation_;
    PyDict_Clear(index_.ptr());
    old.clear();
    Ring<HeldRef> old_recent(recent_.capacity());
    std::swap(old_recent, recent_);
    old_recent.clear();
    PyDict_Clear(children_.ptr());
}

int Store::traverse(visitproc visit, void *arg) const {
    Py_VISIT(runs_.ptr());
    Py_VISIT(children_.ptr());
    Py_VISIT(index_.ptr());
    // Each held event once, though it may sit in two rings.
    uint32_t epoch = ++gc_epoch_;
    auto visit_held = [&](const HeldRef &ref) -> int {
        Held *h = ref.get();
        if (h->mark == epoch)
            return 0;
        h->mark = epoch;
        Py_VISIT(h->ts_obj);
        Py_VISIT(h->id_obj);
        for (PyObject *o : h->objs)
            Py_VISIT(o);
        return 0;
    };
    for (size_t i = 0; i < recent_.size(); ++i)
        if (int r = visit_held(recent_[i]))
            return r;
    for (const auto &st : states_) {
        Py_VISIT(st->run_id.ptr());
        Py_VISIT(st->fields_set_known.set.ptr());
        for (size_t i = 0; i < st->ring.size(); ++i)
            if (int r = visit_held(st->ring[i]))
                return r;
    }
    return codec_.traverse(visit, arg);
}

void Store::clear() {
    std::vector<std::unique_ptr<RunState>> old;
    old.swap(states_);
    ++generation_;
    Ring<HeldRef> old_recent(recent_.capacity());
    std::swap(old_recent, recent_);
    PyDict_Clear(runs_.ptr());
    PyDict_Clear(children_.ptr());
    PyDict_Clear(index_.ptr());
    old.clear();
    old_recent.clear();
}

RunState *Store::state_for(nb::handle run_id) const {
    PyObject *i = PyDict_GetItemWithError(index_.ptr(), run_id.ptr());
    if (i == nullptr) {
        if (PyErr_Occurred())
            raise();
        return nullptr;
    }
    return states_[PyLong_AsSize_t(i)].get();
}

void Store::append_event(PyObject *event) {
    Busy busy(*this, true);
    Globals &g = globals();
    // 1. The store keeps its own copy: the compact encoding of the event.
    HeldRef held(new Held());
    Fields ev(event);
    nb::object run = ev.get(n_run);
    std::optional<Fields> run_fields;
    SharedPartMemo *share = nullptr;  // the run's last context, to share its encoding
    if (!run.is_none()) {
        run_fields.emplace(run.ptr());
        if (PyObject *rid = run_fields->peek(n_run_id)) {
            PyObject *i = PyDict_GetItemWithError(index_.ptr(), rid);
            if (i != nullptr)
                share = &states_[PyLong_AsSize_t(i)]->run_part;
            else
                PyErr_Clear();  // an unhashable id fails below, where the record is looked up
        }
    }
    codec_.encode(event, *held.get(), run.is_none() ? nullptr : run.ptr(), share);
    nb::object ts = ev.get(n_timestamp);
    if (PyLong_CheckExact(ts.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(ts.ptr(), &overflow);
        if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
            held->ts = v;
            held->ts_native = true;
        }
        PyErr_Clear();
    }
    if (!held->ts_native)
        held->ts_obj = deep_copy(ts).release().ptr();
    nb::object eid = ev.get(n_event_id);
    if (PyUnicode_CheckExact(eid.ptr())) {
        held->id = utf8(eid);
        held->id_native = true;
    } else {
        held->id_obj = deep_copy(eid).release().ptr();
    }

    // 2. The recent ring.
    recent_.push_back(held);

    // 3. An event without a run lives only there.
    if (run.is_none())
        return;
    Fields &rn = *run_fields;
    nb::object run_id = rn.get(n_run_id);
    PyObject *found = PyDict_GetItemWithError(runs_.ptr(), run_id.ptr());
    if (found == nullptr && PyErr_Occurred())
        raise();
    nb::object record = nb::borrow(found);

    // 5. A new record.
    if (!record.is_valid()) {
        nb::dict kw;
        kw[n_run_id.get()] = run_id;
        nb::object root = rn.get(n_root_run_id);
        kw[n_root_run_id.get()] = root.is_none() ? run_id : deep_copy(root);
        nb::object parent = deep_copy(rn.get(n_parent_run_id));
        kw[n_parent_run_id.get()] = parent;
        kw[n_run_kind.get()] = check(PyObject_Str(rn.get(n_run_kind).ptr()));
        for (Name *n : kIdentity)
            kw[n->get()] = deep_copy(rn.get(*n));
        nb::object meta = deep_copy(rn.get(n_meta));
        kw[n_meta.get()] = PyDict_CheckExact(meta.ptr()) ? meta : check(PyObject_CallOneArg(
                                                                     reinterpret_cast<PyObject *>(&PyDict_Type), meta.ptr()));
        record = make_record(kw);
        if (PyDict_SetItem(runs_.ptr(), run_id.ptr(), record.ptr()) < 0)
            raise();
        link_child(children_, parent, run_id);
    }
    RunState *known_state = state_for(run_id);
    RecordAccess rec(record.ptr(), known_state ? &known_state->fields_set_known : nullptr);

    // 6. Identity refresh.
    for (Name *n : kIdentity) {
        nb::object v = rn.get(*n);
        if (!v.is_none())
            rec.set(*n, deep_copy(v));
    }
    // 7, 8. Meta: the run's, then the event's own app/group/environment.
    nb::object run_meta = rn.get(n_meta);
    if (truthy(run_meta)) {
        nb::object rmeta = rec.get(n_meta);
        if (PyDict_CheckExact(rmeta.ptr()) && PyDict_CheckExact(run_meta.ptr())) {
            // dict.update with a copy of each value, without the intermediate copy of the dict.
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            std::vector<std::pair<nb::object, nb::object>> items;
            while (PyDict_Next(run_meta.ptr(), &pos, &k, &v))
                items.emplace_back(nb::borrow(k), nb::borrow(v));
            for (auto &kv : items)
                if (PyDict_SetItem(rmeta.ptr(), kv.first.ptr(), deep_copy(kv.second).ptr()) < 0)
                    raise();
        } else {
            nb::object copy = deep_copy(run_meta);
            check(PyObject_CallMethodOneArg(rmeta.ptr(), n_update.get(), copy.ptr()));
        }
    }
    nb::object ev_meta = ev.get(n_meta);
    for (Name *n : {&n_app_id, &n_group_id, &n_environment}) {
        int has = PySequence_Contains(ev_meta.ptr(), n->get());
        if (has < 0)
            raise();
        if (has) {
            nb::object v = check(PyObject_GetItem(ev_meta.ptr(), n->get()));
            nb::object rmeta = rec.get(n_meta);
            if (PyObject_SetItem(rmeta.ptr(), n->get(), deep_copy(v).ptr()) < 0)
                raise();
        }
    }
    // 9-12.
    rec.set(n_latest_event_type, deep_copy(ev.get(n_event_type)));
    rec.set(n_latest_source, deep_copy(ev.get(n_source)));
    rec.set(n_latest_message, deep_copy(ev.get(n_message)));
    nb::object ts_copy = deep_copy(ts);
    rec.set(n_updated_at, ts_copy);
    nb::object count = rec.get(n_event_count);
    nb::object one = nb::int_(1);
    rec.set(n_event_count, check(PyNumber_Add(count.ptr(), one.ptr())));
    if (rec.get(n_started_at).is_none())
        rec.set(n_started_at, ts_copy);
    PyObject *status = status_of_event_type(ev.get(n_event_type));
    if (status != nullptr) {
        rec.set(n_status, nb::handle(status));
        if (status == g.status[3])
            rec.set(n_completed_at, ts_copy);
        else if (status == g.status[4])
            rec.set(n_failed_at, ts_copy);
    }

    // 13. The run's ring.
    RunState *st = known_state;
    if (st == nullptr) {
        nb::object pos = nb::int_(states_.size());
        states_.push_back(std::make_unique<RunState>(run_id, static_cast<size_t>(max_events_)));
        if (PyDict_SetItem(index_.ptr(), run_id.ptr(), pos.ptr()) < 0) {
            states_.pop_back();
            raise();
        }
        st = states_.back().get();
    }
    st->ring.push_back(held);

    // 14. The search text: this event's values joined by single spaces, appended after one space;
    // the whole stays stripped, which only ever touches the appended end.
    std::string &buf = st->search;
    size_t start = buf.size();
    RunState::Piece pieces[22];
    size_t npieces = 0;
    size_t memo_at[22], piece_at[22], piece_len[22];
    uint32_t remembered = 0;  // slots whose text was normalised afresh
    nb::object values[22];  // held where normalised afresh (and so remembered)
    PyObject *ptrs[22];     // identity of each value (borrowed; compared only)
    try {
        bool first = true;
        unsigned slot = 0;
        if (start != 0)
            buf.push_back(' ');
        auto add = [&](nb::handle v) {
            size_t mark = buf.size();
            if (!first)
                buf.push_back(' ');
            size_t before = buf.size();
            TextMemo &memo = st->memo[slot];
            bool repeated = memo.matches_identical(v.ptr());
            // An event field holding the very str object of a record field (message and
            // latest_message, ...) has that field's text.
            int dup = -1;
            if (slot >= 14 && PyUnicode_CheckExact(v.ptr()))
                for (unsigned j = 0; j < 14; ++j)
                    if (ptrs[j] == v.ptr()) {
                        dup = static_cast<int>(j);
                        break;
                    }
            if (dup >= 0 || repeated) {
                size_t from = dup >= 0 ? piece_at[dup] : memo.offset();
                size_t len = dup >= 0 ? piece_len[dup] : memo.length();
                buf.reserve(buf.size() + len);  // no reallocation while copying from itself
                buf.append(buf.data() + from, len);
                if (!repeated) {
                    remembered |= uint32_t{1} << slot;
                    memo.forget();
                }
            } else {
                remembered |= uint32_t{1} << slot;
                memo.forget();
                orvane::search::append_normalized(v, buf);
            }
            piece_at[slot] = before;
            piece_len[slot] = buf.size() - before;
            memo_at[slot] = before;
            if (buf.size() == before) {
                buf.resize(mark);  // empty texts are dropped
            } else {
                first = false;
                pieces[npieces++] = {slot, before, buf.size(), repeated, dup >= 0};
            }
            ++slot;
        };
        for (Name *n : kRecordSearch) {
            // A record value that is still the object remembered is only compared, not touched.
            PyObject *seen = rec.peek(*n);
            if (seen != nullptr && st->memo[slot].matches_identical(seen)) {
                ptrs[slot] = seen;
            } else {
                values[slot] = rec.get(*n);
                ptrs[slot] = values[slot].ptr();
            }
            add(nb::handle(ptrs[slot]));
        }
        for (Name *n : kEventSearch) {
            values[slot] = ev.get(*n);
            ptrs[slot] = values[slot].ptr();
            add(values[slot]);
        }
    } catch (...) {
        buf.resize(start);
        throw;
    }
    size_t lead = 0;
    if (start == 0) {
        size_t n0 = buf.size();
        lstrip_unicode(buf, 0);
        lead = n0 - buf.size();
    }
    rstrip_unicode(buf, start);
    // Remember the fresh texts where they now stand (not when stripping moved or cut them).
    for (unsigned slot = 0; slot < 22; ++slot) {
        if ((remembered >> slot) & 1) {
            size_t at = memo_at[slot];
            size_t len = 0;
            for (size_t i = 0; i < npieces; ++i)
                if (pieces[i].slot == slot)
                    len = pieces[i].end - pieces[i].begin;
            if (lead == 0 && at + len <= buf.size())
                st->memo[slot].remember(values[slot].ptr(), at, len);
        }
    }
    st->index_appended(start, pieces, npieces, lead);

    // Where this event's own field texts now stand, for event searches. Not recorded when the
    // event keeps values as Python objects (their text may depend on the object's identity),
    // when stripping moved the text, or when it cut into one of them.
    if (held->objs.empty() && lead == 0) {
        Held &h = *held.get();
        bool ok = true;
        for (size_t i = 0; i < npieces; ++i) {  // pieces are in slot order; slots 14.. are the event's
            const RunState::Piece &p = pieces[i];
            if (p.slot < 14)
                continue;
            if (p.end > buf.size() || p.begin < start || p.end - start > UINT32_MAX) {
                ok = false;
                break;
            }
            h.text_off[p.slot - 14] = static_cast<uint32_t>(p.begin - start);
            h.text_len[p.slot - 14] = static_cast<uint32_t>(p.end - p.begin);
        }
        if (ok) {
            h.text_base = start;
            h.text_gen = generation_;
            h.text_run = st;
        }
    }

    // What the run search may take as unchanged: the record's dict and its flat meta, as they are
    // now, when every searched field has its text remembered.
    st->seen_dict = nb::object();
    st->seen_meta = nb::object();
    bool all_known = true;  // scalars (immutable), and meta a flat dict (checked by its version)
    for (unsigned slot = 0; slot < 13 && all_known; ++slot)
        all_known = st->memo[slot].holds_scalar();
    PyObject *rdict = rec.dict();
    PyObject *rmeta = ptrs[13];
    if (all_known && rdict != nullptr && PyDict_CheckExact(rmeta) && st->memo[13].flat_dict() &&
        dict_version(rdict, st->seen_dict_version) && dict_version(rmeta, st->seen_meta_version)) {
        st->seen_dict = nb::borrow(rdict);
        st->seen_meta = nb::borrow(rmeta);
    }
}

void RunState::index_appended(size_t start, const Piece *pieces, size_t count, size_t lead) {
    std::string_view text(search);
    size_t size = text.size();
    if (lead != 0) {  // offsets moved: index the whole text
        grams.add_range(text, 0, size);
        for (auto &m : memo)
            m.indexed = false;
        pred_slot.fill(-2);
        return;
    }
    size_t cursor = start >= 2 ? start - 2 : 0;  // trigram starts below this are indexed
    // A piece whose text, and whose predecessor's text, are the same as in the last event (and were
    // indexed then) adds nothing: its inner trigrams, the one across its left edge and the one
    // ending in the separator after it were all indexed back then (the last of these, at the
    // latest when that separator was appended). The trigram across its right edge belongs to the
    // next piece's left edge.
    bool prev_stable = false;
    int prev_slot = -1;
    for (size_t i = 0; i < count; ++i) {
        const Piece &p = pieces[i];
        TextMemo &m = memo[p.slot];
        if (p.begin >= size) {  // stripped away
            m.indexed = false;
            pred_slot[p.slot] = -2;
            prev_stable = false;
            prev_slot = -2;
            continue;
        }
        bool clamped = p.end > size;
        size_t end = clamped ? size : p.end;
        size_t left = p.begin >= 2 ? p.begin - 2 : 0;
        if (left > cursor)
            left = cursor;
        bool stable = !clamped && p.repeated && m.indexed;
        if (stable) {
            if (i == 0 || !prev_stable || pred_slot[p.slot] != prev_slot)
                grams.add_range(text, left, p.begin);  // across the left edge
        } else if (p.copy) {
            // The same text as an earlier piece of this event, indexed just before; so is the
            // trigram ending in the separator after it.
            grams.add_range(text, left, p.begin);
            m.indexed = !clamped && m.valid();
        } else {
            grams.add_range(text, left, end);
            m.indexed = !clamped && m.valid();
        }
        pred_slot[p.slot] = static_cast<int8_t>(i == 0 ? -1 : prev_slot);
        prev_stable = stable;
        prev_slot = static_cast<int>(p.slot);
        cursor = end;
    }
    grams.add_range(text, cursor, size);
}

void Store::adopt_run(nb::handle record, nb::handle search_text) {
    Busy busy(*this, true);
    // Everything that can fail (Python code: attribute reads, the copy, the text) runs before the
    // store changes, so a failure leaves no trace.
    nb::object copy = copy_record(record);
    Fields f(copy.ptr(), false);
    nb::object run_id = f.get(n_run_id);
    nb::object parent = f.get(n_parent_run_id);
    if (PyObject_Hash(run_id.ptr()) == -1)
        raise();
    std::optional<std::string> text;
    if (!search_text.is_none()) {
        std::string raw = utf8(search_text);
        text.emplace(strip_unicode(raw));
    }
    PyObject *found = PyDict_GetItemWithError(runs_.ptr(), run_id.ptr());
    if (found == nullptr && PyErr_Occurred())
        raise();
    nb::object old = nb::borrow(found);
    nb::object old_parent = old.is_valid() ? Fields(old.ptr(), false).get(n_parent_run_id) : nb::object();
    if (!parent.is_none() && PyObject_Hash(parent.ptr()) == -1)
        raise();
    // The link a first event would have made; a replaced record whose parent differs moves.
    bool link = !old.is_valid() || !equals(old_parent, parent);

    if (PyDict_SetItem(runs_.ptr(), run_id.ptr(), copy.ptr()) < 0)
        raise();
    if (link) {
        if (old.is_valid())
            unlink_child(children_, old_parent, run_id);
        link_child(children_, parent, run_id);
    }
    RunState *st = state_for(run_id);
    if (st == nullptr) {
        nb::object pos = nb::int_(states_.size());
        states_.push_back(std::make_unique<RunState>(run_id, static_cast<size_t>(max_events_)));
        if (PyDict_SetItem(index_.ptr(), run_id.ptr(), pos.ptr()) < 0) {
            states_.pop_back();
            raise();
        }
        st = states_.back().get();
    }
    if (text) {
        // The given text replaces the run's: what was remembered about the old text goes.
        st->search = std::move(*text);
        st->grams = TrigramFilter();
        st->grams.add_range(st->search, 0, st->search.size());
        for (TextMemo &m : st->memo)
            m.forget();
        st->pred_slot.fill(-2);
        for (size_t i = 0; i < st->ring.size(); ++i)
            st->ring[i]->text_run = nullptr;
    }
    st->seen_dict = nb::object();
    st->seen_meta = nb::object();
}

// ---- queries ----

nb::object Store::get_run(nb::handle run_id) {
    Busy busy(*this, false);
    PyObject *rec = PyDict_GetItemWithError(runs_.ptr(), run_id.ptr());
    if (rec == nullptr) {
        if (PyErr_Occurred())
            raise();
        return nb::none();
    }
    return copy_record(nb::handle(rec));
}

// The search test on a record read through `f`: the needle in one of its fields' texts, or in the
// run's accumulated text. A field whose value is still made of the objects it had when the run's
// last event was appended has its text inside the accumulated text already, so only the other
// fields are normalised here.
static bool needle_matches(const Store &store, const Fields &f, const std::string &needle) {
    if (needle.empty())
        return true;
    RunState *st = store.state_for(f.get(n_run_id));
    if (st != nullptr && st->seen_dict.is_valid() && f.dict() == st->seen_dict.ptr()) {
        uint64_t dv, mv;
        if (dict_version(st->seen_dict.ptr(), dv) && dv == st->seen_dict_version &&
            dict_version(st->seen_meta.ptr(), mv) && mv == st->seen_meta_version)
            // The record is as the last event left it: its fields' texts are in the run's text.
            return st->grams.may_contain(needle) && contains(st->search, needle);
    }
    std::string text;
    for (unsigned slot = 0; slot < 14; ++slot) {
        if (st != nullptr) {
            PyObject *seen = f.peek(*kRecordSearch[slot]);
            if (seen != nullptr && st->memo[slot].matches_identical(seen))
                continue;  // covered by the accumulated text
        }
        nb::object v = f.get(*kRecordSearch[slot]);
        text.clear();
        orvane::search::append_normalized(v, text);
        if (contains(text, needle))
            return true;
    }
    return st != nullptr && st->grams.may_contain(needle) && contains(st->search, needle);
}

bool Store::record_matches_needle(nb::handle record, const std::string &needle) {
    Busy busy(*this, false);
    Fields f(record.ptr(), false);
    return needle_matches(*this, f, needle);
}

bool Store::record_matches_time_window(nb::handle record, std::optional<int64_t> since,
                                       std::optional<int64_t> until) {
    Busy busy(*this, false);
    if (!since && !until)
        return true;
    Fields f(record.ptr());
    RunState *st = state_for(f.get(n_run_id));
    if (st != nullptr && !st->ring.empty()) {
        nb::object since_o = since ? nb::object(nb::int_(*since)) : nb::object();
        nb::object until_o = until ? nb::object(nb::int_(*until)) : nb::object();
        for (size_t i = 0; i < st->ring.size(); ++i) {
            const Held &h = *st->ring[i].get();
            if (h.ts_native) {
                if ((!since || h.ts >= *since) && (!until || h.ts <= *until))
                    return true;
                continue;
            }
            bool ok = true;
            if (since) {
                int r = PyObject_RichCompareBool(h.ts_obj, since_o.ptr(), Py_GE);
                if (r < 0)
                    raise();
                ok = r != 0;
            }
            if (ok && until) {
                int r = PyObject_RichCompareBool(h.ts_obj, until_o.ptr(), Py_LE);
                if (r < 0)
                    raise();
                ok = r != 0;
            }
            if (ok)
                return true;
        }
        return false;
    }
    nb::object value = first_truthy(f, {&n_updated_at, &n_started_at, &n_completed_at}, f.get(n_failed_at));
    if (value.is_none())
        return false;
    if (since) {
        nb::object s = nb::int_(*since);
        int r = PyObject_RichCompareBool(value.ptr(), s.ptr(), Py_LT);
        if (r < 0)
            raise();
        if (r)
            return false;
    }
    if (until) {
        nb::object u = nb::int_(*until);
        int r = PyObject_RichCompareBool(value.ptr(), u.ptr(), Py_GT);
        if (r < 0)
            raise();
        if (r)
            return false;
    }
    return true;
}

namespace {

PyObject *regex_cache = nullptr;   // pattern -> compiled pattern, or None when malformed
PyObject *regex_module = nullptr;  // the `re` the cache was filled with
orvane::outside::Name n_re{"re"};
Name n_compile{"compile"}, n_search{"search"};

}  // namespace

bool matches_regex(nb::handle value, nb::handle pattern) {
    if (!PyUnicode_Check(value.ptr()))
        return false;
    nb::object re = orvane::outside::get(n_re);
    if (regex_cache == nullptr)
        regex_cache = check(PyDict_New()).release().ptr();
    if (regex_module != re.ptr() || PyDict_GET_SIZE(regex_cache) >= 512) {
        PyDict_Clear(regex_cache);
        Py_XDECREF(regex_module);
        regex_module = Py_NewRef(re.ptr());
    }
    PyObject *hit = PyDict_GetItemWithError(regex_cache, pattern.ptr());
    nb::object compiled;
    if (hit != nullptr) {
        compiled = nb::borrow(hit);
    } else {
        if (PyErr_Occurred())
            raise();
        PyObject *c = PyObject_CallMethodOneArg(re.ptr(), n_compile.get(), pattern.ptr());
        if (c == nullptr) {
            nb::python_error err;
            nb::object error_type = re.attr(n_error.get());
            if (!err.matches(error_type))
                throw err;
            compiled = nb::none();
        } else {
            compiled = nb::steal(c);
        }
        if (PyDict_SetItem(regex_cache, pattern.ptr(), compiled.ptr()) < 0)
            raise();
    }
    if (compiled.is_none())
        return false;
    nb::object m = check(PyObject_CallMethodOneArg(compiled.ptr(), n_search.get(), value.ptr()));
    return !m.is_none();
}

std::string normalize_needle(nb::handle search) {
    std::string raw = utf8(search);
    return orvane::search::casefold(strip_unicode(raw));
}

nb::list Store::list_runs(nb::handle run_id, nb::handle root_run_id, nb::handle parent_run_id, nb::handle run_kind,
                          nb::handle status, nb::handle agent_id, nb::handle session_id, nb::handle app_id,
                          nb::handle app_id_pattern, nb::handle group_id, nb::handle flow_name, nb::handle search,
                          std::optional<int64_t> since, std::optional<int64_t> until, std::optional<int64_t> limit) {
    Busy busy(*this, false);
    std::vector<nb::object> records;
    records.reserve(static_cast<size_t>(PyDict_GET_SIZE(runs_.ptr())));
    {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(runs_.ptr(), &pos, &k, &v))
            records.push_back(nb::borrow(v));
    }
    struct FieldFilter {
        Name *name;
        nb::handle want;
    };
    const FieldFilter field_filters[] = {{&n_run_id, run_id},     {&n_root_run_id, root_run_id},
                                         {&n_parent_run_id, parent_run_id}, {&n_run_kind, run_kind},
                                         {&n_status, status},     {&n_agent_id, agent_id},
                                         {&n_session_id, session_id}};
    const FieldFilter meta_filters[] = {{&n_app_id, app_id}};
    const FieldFilter meta_filters2[] = {{&n_group_id, group_id}, {&n_flow_name, flow_name}};
    bool use_pattern = !app_id_pattern.is_none() && PyObject_Length(app_id_pattern.ptr()) != 0;
    bool use_search = !search.is_none() && PyObject_Length(search.ptr()) != 0;
    std::string needle = use_search ? normalize_needle(search) : std::string();
    bool use_window = since.has_value() || until.has_value();

    auto keep = [&](nb::handle rec) -> bool {
        Fields f(rec.ptr(), false);
        for (const FieldFilter &ff : field_filters)
            if (!ff.want.is_none() && !equals(f.get(*ff.name), ff.want))
                return false;
        nb::object meta;
        auto meta_get = [&](Name &n) {
            if (!meta.is_valid())
                meta = f.get(n_meta);
            return mapping_get(meta, n.get());
        };
        for (const FieldFilter &ff : meta_filters)
            if (!ff.want.is_none() && !equals(meta_get(*ff.name), ff.want))
                return false;
        if (use_pattern && !matches_regex(meta_get(n_app_id), app_id_pattern))
            return false;
        for (const FieldFilter &ff : meta_filters2)
            if (!ff.want.is_none() && !equals(meta_get(*ff.name), ff.want))
                return false;
        if (use_search && !needle_matches(*this, f, needle))
            return false;
        if (use_window && !record_matches_time_window(rec, since, until))
            return false;
        return true;
    };
    std::vector<nb::object> kept;
    for (auto &r : records)
        if (keep(r))
            kept.push_back(r);

    std::vector<nb::object> keys;
    keys.reserve(kept.size());
    nb::object zero = nb::int_(0);
    for (auto &r : kept) {
        Fields f(r.ptr());
        nb::object u = f.get(n_updated_at);
        keys.push_back(truthy(u) ? u : zero);
    }
    std::vector<size_t> order = stable_order(keys, true);
    size_t end = limit ? clamp_index(*limit, order.size()) : order.size();
    nb::list out;
    for (size_t i = 0; i < end; ++i)
        out.append(copy_record(kept[order[i]]));
    return out;
}

nb::list Store::get_run_children(nb::handle run_id) {
    Busy busy(*this, false);
    nb::list out;
    PyObject *kids = PyDict_GetItemWithError(children_.ptr(), run_id.ptr());
    if (kids == nullptr) {
        if (PyErr_Occurred())
            raise();
        return out;
    }
    std::vector<nb::object> recs, keys;
    nb::object zero = nb::int_(0);
    nb::object it = check(PyObject_GetIter(kids));
    while (PyObject *k = PyIter_Next(it.ptr())) {
        nb::object kid = nb::steal(k);
        PyObject *rec = PyDict_GetItemWithError(runs_.ptr(), kid.ptr());
        if (rec == nullptr) {
            if (PyErr_Occurred())
                raise();
            continue;
        }
        Fields f(rec);
        recs.push_back(nb::borrow(rec));
        keys.push_back(first_truthy(f, {&n_started_at, &n_updated_at}, zero));
    }
    if (PyErr_Occurred())
        raise();
    for (size_t i : stable_order(keys, false))
        out.append(copy_record(recs[i]));
    return out;
}

nb::list Store::collect_descendant_run_ids(nb::handle run_id) {
    Busy busy(*this, false);
    nb::list collected;
    nb::object seen = check(PySet_New(nullptr));
    std::vector<nb::object> pending{nb::borrow(run_id)};
    size_t head = 0;
    while (head < pending.size()) {
        nb::object current = std::move(pending[head++]);
        int dup = PySet_Contains(seen.ptr(), current.ptr());
        if (dup < 0)
            raise();
        if (dup)
            continue;  // a loop in the parent links: each id is walked once
        if (PySet_Add(seen.ptr(), current.ptr()) < 0)
            raise();
        collected.append(current);
        PyObject *kids = PyDict_GetItemWithError(children_.ptr(), current.ptr());
        if (kids == nullptr) {
            if (PyErr_Occurred())
                raise();
            continue;
        }
        // Children in ascending order of their string form.
        std::vector<std::pair<nb::object, nb::object>> items;  // (text, id)
        nb::object it = check(PyObject_GetIter(kids));
        while (PyObject *k = PyIter_Next(it.ptr())) {
            nb::object kid = nb::steal(k);
            nb::object text = PyUnicode_CheckExact(kid.ptr()) ? kid : check(PyObject_Str(kid.ptr()));
            items.emplace_back(text, kid);
        }
        if (PyErr_Occurred())
            raise();
        std::stable_sort(items.begin(), items.end(), [](const auto &a, const auto &b) {
            return PyUnicode_Compare(a.first.ptr(), b.first.ptr()) < 0;
        });
        for (auto &e : items)
            pending.push_back(e.second);
        if (head > 4096 && head * 2 > pending.size()) {
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(head));
            head = 0;
        }
    }
    return collected;
}

nb::list Store::get_run_events(nb::handle run_id, std::optional<int64_t> limit, bool include_descendants) {
    Busy busy(*this, false);
    std::vector<nb::object> ids;
    if (include_descendants) {
        for (nb::handle i : collect_descendant_run_ids(run_id))
            ids.push_back(nb::borrow(i));
    } else {
        ids.push_back(nb::borrow(run_id));
    }
    std::vector<HeldRef> events;
    bool all_native = true;
    for (auto &id : ids) {
        RunState *st = state_for(id);
        if (st == nullptr)
            continue;
        for (size_t i = 0; i < st->ring.size(); ++i) {
            events.push_back(st->ring[i]);
            all_native = all_native && st->ring[i]->ts_native;
        }
    }
    std::vector<size_t> order;
    if (all_native) {
        order.resize(events.size());
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return events[a]->ts < events[b]->ts; });
    } else {
        std::vector<nb::object> keys;
        for (auto &e : events)
            keys.push_back(e->ts_native ? nb::object(nb::int_(e->ts)) : nb::borrow(e->ts_obj));
        order = python_order(keys, false);
    }
    size_t start = limit ? clamp_index(-*limit, order.size()) : 0;
    nb::list out;
    for (size_t i = start; i < order.size(); ++i)
        out.append(codec_.decode(*events[order[i]].get()));
    return out;
}

nb::list Store::get_recent_events(std::optional<int64_t> limit) {
    Busy busy(*this, false);
    size_t n = recent_.size();
    size_t start = limit ? clamp_index(-*limit, n) : 0;
    nb::list out;
    for (size_t i = start; i < n; ++i)
        out.append(codec_.decode(*recent_[i].get()));
    return out;
}

std::vector<HeldRef> Store::recent_refs() const {
    std::vector<HeldRef> out;
    out.reserve(recent_.size());
    for (size_t i = 0; i < recent_.size(); ++i)
        out.push_back(recent_[i]);
    return out;
}

nb::object Store::decode_held(const Held &h) const {
    Busy busy(*this, false);
    return codec_.decode(h);
}

int Store::event_fields_contain(const Held &h, std::string_view needle) const {
    if (h.text_run == nullptr || h.text_gen != generation_)
        return -1;
    const std::string &text = h.text_run->search;
    for (unsigned k = 0; k < 8; ++k) {
        size_t len = h.text_len[k];
        if (len == 0)
            continue;
        size_t at = h.text_base + h.text_off[k];
        if (at + len > text.size())
            return -1;
        if (contains(std::string_view(text).substr(at, len), needle))
            return 1;
    }
    return 0;
}

nb::object Store::get_event(nb::handle event_id) {
    Busy busy(*this, false);
    std::string want = utf8(event_id);
    for (size_t i = recent_.size(); i-- > 0;) {
        const Held &h = *recent_[i].get();
        bool hit = h.id_native ? h.id == want : equals(nb::handle(h.id_obj), event_id);
        if (hit)
            return codec_.decode(h);
    }
    return nb::none();
}

nb::object Store::deque_of(const Ring<HeldRef> &ring) const {
    nb::list items;
    for (size_t i = 0; i < ring.size(); ++i)
        items.append(codec_.decode(*ring[i].get()));
    static orvane::outside::Name n_deque{"deque"};
    nb::object deque = orvane::outside::get(n_deque);
    return deque(items, nb::arg("maxlen") = ring.capacity());
}

nb::dict Store::events_by_run_view() const {
    Busy busy(*this, false);
    nb::dict out;
    for (auto &st : states_)
        out[st->run_id] = deque_of(st->ring);
    return out;
}

nb::object Store::recent_events_view() const {
    Busy busy(*this, false); return deque_of(recent_); }

nb::dict Store::search_cache_view() const {
    Busy busy(*this, false);
    nb::dict out;
    for (auto &st : states_)
        out[st->run_id] = check(PyUnicode_DecodeUTF8(st->search.data(), static_cast<Py_ssize_t>(st->search.size()),
                                                     "surrogatepass"));
    return out;
}


}  // namespace tally
