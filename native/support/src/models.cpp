#include "orvane/models.hpp"

#include "orvane/dictscan.hpp"

#include <unordered_map>
#include <utility>
#include <vector>

namespace orvane::models {

namespace {

PyObject *a_dict = nullptr;
PyObject *a_fields_set = nullptr;
PyObject *a_extra = nullptr;
PyObject *a_private = nullptr;
PyObject *m_deepcopy = nullptr;
PyObject *base_model = nullptr;           // pydantic.BaseModel
PyObject *base_model_deepcopy = nullptr;  // BaseModel.__dict__['__deepcopy__']
PyObject *undefined = nullptr;            // pydantic_core.PydanticUndefined
PyObject *copy_deepcopy = nullptr;        // copy.deepcopy
PyObject *empty_tuple = nullptr;

void init_names() {
    if (a_dict != nullptr)
        return;
    a_dict = PyUnicode_InternFromString("__dict__");
    a_fields_set = PyUnicode_InternFromString("__pydantic_fields_set__");
    a_extra = PyUnicode_InternFromString("__pydantic_extra__");
    a_private = PyUnicode_InternFromString("__pydantic_private__");
    m_deepcopy = PyUnicode_InternFromString("__deepcopy__");
    empty_tuple = PyTuple_New(0);
    nb::object pyd = nb::module_::import_("pydantic");
    base_model = nb::object(pyd.attr("BaseModel")).release().ptr();
    base_model_deepcopy =
        PyDict_GetItemWithError(reinterpret_cast<PyTypeObject *>(base_model)->tp_dict, m_deepcopy);
    Py_XINCREF(base_model_deepcopy);
    undefined = nb::object(nb::module_::import_("pydantic_core").attr("PydanticUndefined")).release().ptr();
    copy_deepcopy = nb::object(nb::module_::import_("copy").attr("deepcopy")).release().ptr();
}

Py_ssize_t slot_offset(PyTypeObject *t, PyObject *name) {
    PyObject *descr = _PyType_Lookup(t, name);  // borrowed
    if (descr == nullptr || Py_TYPE(descr) != &PyMemberDescr_Type)
        return -1;
    PyMemberDef *member = reinterpret_cast<PyMemberDescrObject *>(descr)->d_member;
    if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY))
        return -1;
    return member->offset;
}

// Per type, kept for the life of the process; the cache holds a reference to each type, so an
// address is never reused for another type.
std::unordered_map<PyTypeObject *, Layout> &layout_cache() {
    static auto *cache = new std::unordered_map<PyTypeObject *, Layout>();
    return *cache;
}

}  // namespace

const Layout &layout_of(PyTypeObject *t) {
    auto &cache = layout_cache();
    auto it = cache.find(t);
    if (it != cache.end())
        return it->second;
    init_names();
    int sub = PyObject_IsSubclass(reinterpret_cast<PyObject *>(t), base_model);
    if (sub < 0)
        throw nb::python_error();
    Layout layout;
    if (sub) {
        PyObject *dc = _PyType_Lookup(t, m_deepcopy);  // borrowed
        layout.plain = dc == base_model_deepcopy;
        layout.fields_set = slot_offset(t, a_fields_set);
        layout.extra = slot_offset(t, a_extra);
        layout.priv = slot_offset(t, a_private);
    }
    Py_INCREF(t);
    return cache.emplace(t, layout).first->second;
}

PyTypeObject *base_model_type() {
    init_names();
    return reinterpret_cast<PyTypeObject *>(base_model);
}

namespace {

bool plain_model_type(PyTypeObject *t) { return layout_of(t).plain; }

// Reads a model's slot: a new reference, nullptr with AttributeError when unset.
PyObject *get_slot(PyObject *o, Py_ssize_t offset, PyObject *name) {
    if (offset < 0)
        return PyObject_GenericGetAttr(o, name);
    PyObject *v = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + offset);
    if (v == nullptr) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    return Py_NewRef(v);
}

// Writes a model's slot (steals nothing: `v` is borrowed).
int set_slot(PyObject *o, Py_ssize_t offset, PyObject *name, PyObject *v) {
    if (offset < 0)
        return PyObject_GenericSetAttr(o, name, v);
    Py_XSETREF(*reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + offset), Py_NewRef(v));
    return 0;
}

class Copier {
public:
    ~Copier() {
        for (auto &e : small_)
            Py_DECREF(e.second);
        for (auto &e : big_)
            Py_DECREF(e.second);
        for (PyObject *o : keep_)
            Py_DECREF(o);
        Py_XDECREF(pymemo_);
    }

    // Values that copy.deepcopy returns as they are (the common types first: texts and numbers
    // are most of what an event holds).
    static bool atomic(PyObject *o) {
        PyTypeObject *t = Py_TYPE(o);
        return t == &PyUnicode_Type || t == &PyLong_Type || o == Py_None || t == &PyFloat_Type ||
               t == &PyBool_Type || t == &PyBytes_Type;
    }

    // `unique`: the caller saw `o` with a reference count of one, so its container is its only
    // referrer and the walk reaches it exactly once: it cannot be in the memo, and it needs no
    // entry there (most containers of an event's payload; the memo is what costs on them).
    PyObject *copy(PyObject *o, bool unique = false) {
        if (atomic(o))
            return Py_NewRef(o);
        return copy_container(o, unique);
    }

private:
    // Levels of containers walked without asking the interpreter's recursion guard: a few frames
    // of this walk per level, far below any stack's size. Deeper levels each ask it, so a
    // structure nested past the interpreter's limit raises RecursionError as before.
    static constexpr unsigned kUnguardedDepth = 32;

    PyObject *copy_container(PyObject *o, bool unique) {
        PyTypeObject *t = Py_TYPE(o);
        unique = unique && pymemo_ == nullptr;
        if (!unique)
            if (PyObject *hit = lookup(o))
                return Py_NewRef(hit);
        bool guarded = depth_ >= kUnguardedDepth;
        if (guarded && Py_EnterRecursiveCall(" while deep-copying an object"))
            return nullptr;
        ++depth_;
        PyObject *r;
        if (t == &PyDict_Type)
            r = copy_dict(o, unique);
        else if (t == &PyList_Type)
            r = copy_list(o, unique);
        else if (t == &PyTuple_Type)
            r = copy_tuple(o, unique);
        else if (plain_model_type(t))
            r = copy_model(o);
        else
            r = fallback(o);
        --depth_;
        if (guarded)
            Py_LeaveRecursiveCall();
        return r;
    }

    unsigned depth_ = 0;  // containers being copied on the current path
    std::vector<std::pair<PyObject *, PyObject *>> small_;
    std::unordered_map<PyObject *, PyObject *> big_;
    std::vector<PyObject *> keep_;  // originals referenced by the memo stay alive meanwhile
    PyObject *pymemo_ = nullptr;    // copy.deepcopy's memo, made on first fallback
    uint64_t python_runs_ = 0;      // fallbacks so far (each may have run Python code)

    PyObject *lookup(PyObject *o) {
        if (big_.empty()) {
            for (auto &e : small_)
                if (e.first == o)
                    return e.second;
        } else {
            auto it = big_.find(o);
            if (it != big_.end())
                return it->second;
        }
        if (pymemo_ != nullptr) {
            PyObject *key = PyLong_FromVoidPtr(o);
            if (key == nullptr)
                return nullptr;
            PyObject *hit = PyDict_GetItemWithError(pymemo_, key);
            Py_DECREF(key);
            return hit;
        }
        return nullptr;
    }

    int remember(PyObject *o, PyObject *copy) {
        Py_INCREF(copy);
        if (big_.empty() && small_.size() < 16) {
            small_.emplace_back(o, copy);
        } else {
            if (big_.empty())
                big_.insert(small_.begin(), small_.end()), small_.clear();
            big_.emplace(o, copy);
        }
        if (pymemo_ != nullptr)
            return add_pymemo(o, copy);
        return 0;
    }

    int add_pymemo(PyObject *o, PyObject *copy) {
        PyObject *key = PyLong_FromVoidPtr(o);
        if (key == nullptr)
            return -1;
        int rc = PyDict_SetItem(pymemo_, key, copy);
        Py_DECREF(key);
        if (rc == 0) {
            Py_INCREF(o);
            keep_.push_back(o);
        }
        return rc;
    }

    // Whether `value` may be written straight into a slot of `d`, a dict this copier made: a
    // dict the garbage collector does not track may hold only values that can never be tracked
    // (as PyDict_SetItem decides), and a watched dict must hear of the change.
    static bool in_place_writable(PyObject *d, PyObject *value) {
#if defined(ORVANE_DICT_IN_PLACE)
        _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
        uint64_t tag = reinterpret_cast<PyDictObject *>(d)->ma_version_tag;
        _Pragma("GCC diagnostic pop")
        constexpr uint64_t kWatchers = (uint64_t{1} << 8) - 1;  // the low bits: watcher ids
        if ((tag & kWatchers) != 0)
            return false;
#endif
        return PyObject_GC_IsTracked(d) || !PyObject_IS_GC(value) ||
               (PyTuple_CheckExact(value) && !PyObject_GC_IsTracked(value));
    }

    PyObject *copy_dict(PyObject *o, bool unique) {
        // Start from a shallow copy (one clone of the key table), then replace the values that
        // are not atomic by their copies; keys are atomic in practice and copied when not.
        PyObject *d = PyDict_Copy(o);
        if (d == nullptr || (!unique && remember(o, d) < 0)) {
            Py_XDECREF(d);
            return nullptr;
        }
        Py_ssize_t pos = 0, size = PyDict_GET_SIZE(o);
        uint64_t runs = python_runs_;
        PyObject *k, *v;
        bool keys_atomic = true;
        const bool str_keys = orvane::dictscan::str_keys_only(o);  // no key needs a look
        while (orvane::dictscan::dict_next(o, &pos, &k, &v)) {
            if (!str_keys && !atomic(k)) {
                keys_atomic = false;
                break;
            }
            if (atomic(v))
                continue;
            // The shallow copy holds the value too: where its entry for the key is seen to hold
            // it, a count of two means the two dicts are its only referrers.
            PyObject **slot = orvane::dictscan::value_slot(d, pos - 1, k);
            bool v_unique = Py_REFCNT(v) == (slot != nullptr && *slot == v ? 2 : 1);
            Py_INCREF(k);
            Py_INCREF(v);
            PyObject *vc = copy(v, v_unique);
            int rc = vc != nullptr ? 0 : -1;
            if (vc != nullptr && vc != v) {
                // The copy may have run Python code: the entry is looked at again.
                slot = orvane::dictscan::value_slot(d, pos - 1, k);
                if (slot != nullptr && *slot == v && in_place_writable(d, vc)) {
                    *slot = vc;  // takes the reference
                    vc = nullptr;
                    Py_DECREF(v);  // the shallow copy's
                } else {
                    rc = PyDict_SetItem(d, k, vc);
                }
            }
            Py_DECREF(v);
            Py_DECREF(k);
            Py_XDECREF(vc);
            if (rc == 0 && python_runs_ != runs && PyDict_GET_SIZE(o) != size)
                rc = same_keys(o, d, size);
            if (rc < 0) {
                Py_DECREF(d);
                return nullptr;
            }
        }
        if (keys_atomic && python_runs_ != runs && same_keys(o, d, size) < 0) {
            Py_DECREF(d);
            return nullptr;
        }
        if (keys_atomic)
            return d;
        // Some key needs a copy of its own: rebuild item by item, as copy.deepcopy does.
        PyDict_Clear(d);
        pos = 0;
        size = PyDict_GET_SIZE(o);
        runs = python_runs_;
        while (orvane::dictscan::dict_next(o, &pos, &k, &v)) {
            Py_INCREF(k);
            Py_INCREF(v);
            PyObject *kc = copy(k);
            PyObject *vc = kc != nullptr ? copy(v) : nullptr;
            Py_DECREF(k);
            Py_DECREF(v);
            int rc = vc != nullptr ? PyDict_SetItem(d, kc, vc) : -1;
            Py_XDECREF(kc);
            Py_XDECREF(vc);
            if (rc == 0 && python_runs_ != runs && PyDict_GET_SIZE(o) != size)
                rc = same_keys(o, d, size);  // (raises: the size changed)
            if (rc < 0) {
                Py_DECREF(d);
                return nullptr;
            }
        }
        return d;
    }

    PyObject *copy_list(PyObject *o, bool unique) {
        if (unique)
            return copy_unique_list(o);
        PyObject *l = PyList_New(0);
        if (l == nullptr || (!unique && remember(o, l) < 0)) {
            Py_XDECREF(l);
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(o); ++i) {  // the list may change meanwhile
            PyObject *item = PyList_GET_ITEM(o, i);
            bool item_unique = Py_REFCNT(item) == 1;
            Py_INCREF(item);
            PyObject *c = copy(item, item_unique);
            Py_DECREF(item);
            if (c == nullptr || PyList_Append(l, c) < 0) {
                Py_XDECREF(c);
                Py_DECREF(l);
                return nullptr;
            }
            Py_DECREF(c);
        }
        return l;
    }

    // A list no one else refers to (so it needs no memo entry). Copying an item may run Python
    // code that changes the list: the copy then follows it as the item-by-item copy would (items
    // added meanwhile are copied too, items removed are left out).
    //
    // The copy is made at the list's size, its slots empty (NULL). Items returned as they are go
    // in directly, without a call per item; before the first item whose copy may run Python code
    // (which may come across the copy through the collector), the slots still empty get None,
    // so that such code never meets an empty slot.
    PyObject *copy_unique_list(PyObject *o) {
        Py_ssize_t n = PyList_GET_SIZE(o);
        PyObject *l = PyList_New(n);  // items NULL
        if (l == nullptr)
            return nullptr;
        PyObject **out = reinterpret_cast<PyListObject *>(l)->ob_item;
        bool all_held = false;  // every slot holds a value (a copy or None)
        Py_ssize_t i = 0;
        for (; i < PyList_GET_SIZE(o); ++i) {
            PyObject *item = PyList_GET_ITEM(o, i);
            PyObject *c;
            if (atomic(item)) {
                c = Py_NewRef(item);
            } else {
                if (!all_held) {
                    for (Py_ssize_t j = i; j < n; ++j)
                        out[j] = Py_NewRef(Py_None);
                    all_held = true;
                }
                bool item_unique = Py_REFCNT(item) == 1;
                Py_INCREF(item);
                c = copy_container(item, item_unique);
                Py_DECREF(item);
                if (c == nullptr) {
                    Py_DECREF(l);  // (empty slots are skipped)
                    return nullptr;
                }
            }
            if (i < n) {
                PyObject *old = out[i];  // NULL or None
                out[i] = c;
                Py_XDECREF(old);
            } else {
                int rc = PyList_Append(l, c);  // it grew: every slot holds a value here
                Py_DECREF(c);
                if (rc < 0) {
                    Py_DECREF(l);
                    return nullptr;
                }
                n = PyList_GET_SIZE(l);
                out = reinterpret_cast<PyListObject *>(l)->ob_item;
            }
        }
        if (i < n) {  // it got shorter: the slots from i on hold None or nothing
            for (Py_ssize_t j = i; j < n; ++j)
                Py_CLEAR(out[j]);
            Py_SET_SIZE(l, i);
        }
        return l;
    }

    PyObject *copy_tuple(PyObject *o, bool unique) {
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        PyObject *t = nullptr;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *item = PyTuple_GET_ITEM(o, i);
            // Not `unique` here: a tuple is remembered only after its items, so a cycle through
            // it ends at the first item that is remembered before its own contents.
            PyObject *c = copy(item);
            if (c == nullptr) {
                Py_XDECREF(t);
                return nullptr;
            }
            if (t == nullptr && c != item) {
                t = PyTuple_New(n);
                if (t == nullptr) {
                    Py_DECREF(c);
                    return nullptr;
                }
                for (Py_ssize_t j = 0; j < i; ++j)
                    PyTuple_SET_ITEM(t, j, Py_NewRef(PyTuple_GET_ITEM(o, j)));
            }
            if (t != nullptr)
                PyTuple_SET_ITEM(t, i, c);
            else
                Py_DECREF(c);
        }
        // A tuple whose items all copy to themselves is shared, as copy.deepcopy does.
        if (t == nullptr)
            return Py_NewRef(o);
        if (unique && pymemo_ == nullptr)
            return t;
        if (PyObject *hit = lookup(o)) {  // a cycle through the tuple was copied meanwhile
            Py_DECREF(t);
            return Py_NewRef(hit);
        }
        if (remember(o, t) < 0) {
            Py_DECREF(t);
            return nullptr;
        }
        return t;
    }

    PyObject *copy_model(PyObject *o) {
        PyTypeObject *t = Py_TYPE(o);
        const Layout &layout = layout_of(t);
        PyObject *m = t->tp_new(t, empty_tuple, nullptr);
        if (m == nullptr)
            return nullptr;
        if (remember(o, m) < 0 || copy_dict(o, m) < 0 ||
            copy_slot(o, m, layout.extra, a_extra) < 0 || copy_fields_set(o, m, layout) < 0 ||
            copy_private(o, m, layout) < 0) {
            Py_DECREF(m);
            return nullptr;
        }
        return m;
    }

    int copy_dict(PyObject *o, PyObject *m) {
        PyObject *d = PyObject_GenericGetDict(o, nullptr);
        if (d == nullptr)
            return -1;
        PyObject *c = copy(d);
        Py_DECREF(d);
        if (c == nullptr)
            return -1;
        int rc = PyObject_GenericSetDict(m, c, nullptr);
        Py_DECREF(c);
        return rc;
    }

    int copy_slot(PyObject *o, PyObject *m, Py_ssize_t offset, PyObject *name) {
        PyObject *v = get_slot(o, offset, name);
        if (v == nullptr)
            return -1;
        PyObject *c = copy(v);
        Py_DECREF(v);
        if (c == nullptr)
            return -1;
        int rc = set_slot(m, offset, name, c);
        Py_DECREF(c);
        return rc;
    }

    int copy_fields_set(PyObject *o, PyObject *m, const Layout &layout) {
        PyObject *v = get_slot(o, layout.fields_set, a_fields_set);
        if (v == nullptr)
            return -1;
        PyObject *c = PySet_New(v);  // shallow, as copy.copy of a set
        Py_DECREF(v);
        if (c == nullptr)
            return -1;
        int rc = set_slot(m, layout.fields_set, a_fields_set, c);
        Py_DECREF(c);
        return rc;
    }

    int copy_private(PyObject *o, PyObject *m, const Layout &layout) {
        PyObject *v = get_slot(o, layout.priv, a_private);
        if (v == nullptr) {
            // An instance made with __new__ only may lack the slot value entirely.
            if (!PyErr_ExceptionMatches(PyExc_AttributeError))
                return -1;
            PyErr_Clear();
            return set_slot(m, layout.priv, a_private, Py_None);
        }
        PyObject *c = nullptr;
        if (v == Py_None || !PyDict_Check(v)) {
            c = v == Py_None ? Py_NewRef(Py_None) : copy(v);
        } else {
            PyObject *filtered = PyDict_New();
            Py_ssize_t pos = 0;
            PyObject *k, *val;
            int rc = filtered != nullptr ? 0 : -1;
            while (rc == 0 && PyDict_Next(v, &pos, &k, &val))
                if (val != undefined)
                    rc = PyDict_SetItem(filtered, k, val);
            c = rc == 0 ? copy(filtered) : nullptr;
            Py_XDECREF(filtered);
        }
        Py_DECREF(v);
        if (c == nullptr)
            return -1;
        int rc = set_slot(m, layout.priv, a_private, c);
        Py_DECREF(c);
        return rc;
    }

    PyObject *fallback(PyObject *o) {
        if (pymemo_ == nullptr) {
            pymemo_ = PyDict_New();
            if (pymemo_ == nullptr)
                return nullptr;
            for (auto &e : small_)
                if (add_pymemo(e.first, e.second) < 0)
                    return nullptr;
            for (auto &e : big_)
                if (add_pymemo(e.first, e.second) < 0)
                    return nullptr;
        }
        ++python_runs_;
        return PyObject_CallFunctionObjArgs(copy_deepcopy, o, pymemo_, nullptr);
    }

    // After Python code ran while dict `o` was copied into `d`: the dict must not have changed
    // its keys meanwhile, or the copy would keep a dropped key with the original value (shared
    // with the original) or lack an added one. Raises as iterating the dict would (copy.deepcopy
    // iterates it). -1 with the error set.
    static int same_keys(PyObject *o, PyObject *d, Py_ssize_t size) {
        if (PyDict_GET_SIZE(o) != size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            return -1;
        }
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            int has = PyDict_Contains(o, k);
            if (has <= 0) {
                if (has == 0)
                    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
                return -1;
            }
        }
        return 0;
    }
};

}  // namespace

nb::object deep_copy(nb::handle obj) {
    init_names();
    Copier c;
    PyObject *r = c.copy(obj.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

bool is_plain_model(nb::handle obj) {
    init_names();
    return plain_model_type(Py_TYPE(obj.ptr()));
}

nb::object construct(nb::handle cls, nb::dict fields, nb::handle fields_set) {
    init_names();
    auto *t = reinterpret_cast<PyTypeObject *>(cls.ptr());
    nb::object m = nb::steal(t->tp_new(t, empty_tuple, nullptr));
    if (!m.is_valid())
        throw nb::python_error();
    nb::object fs = fields_set.is_valid() && !fields_set.is_none()
                        ? nb::borrow(fields_set)
                        : nb::steal(PySet_New(fields.ptr()));
    if (!fs.is_valid() || PyObject_GenericSetAttr(m.ptr(), a_dict, fields.ptr()) < 0 ||
        PyObject_GenericSetAttr(m.ptr(), a_fields_set, fs.ptr()) < 0 ||
        PyObject_GenericSetAttr(m.ptr(), a_extra, Py_None) < 0 ||
        PyObject_GenericSetAttr(m.ptr(), a_private, Py_None) < 0)
        throw nb::python_error();
    return m;
}

}  // namespace orvane::models
