// Small helpers of the run store's sources on top of the shared ones of the support library
// (orvane/pyutil.hpp); all need the GIL.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "orvane/dictscan.hpp"
#include "orvane/models.hpp"
#include "orvane/pyutil.hpp"

namespace tally {

namespace nb = nanobind;

using orvane::py::checked;
using orvane::py::equals;
using orvane::py::immutable_scalar;
using orvane::py::same_value;
using orvane::py::truthy;

// `a == b` for a query filter: a stored value that cannot be compared with the argument does not
// match it (the comparison's error is dropped), so no stored value can make a query fail.
inline bool equals_or_false(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) {
        PyErr_Clear();
        return false;
    }
    return r != 0;
}

// copy.deepcopy(v), sharing what a deep copy shares.
inline nb::object deep_copy(nb::handle v) {
    PyTypeObject *t = Py_TYPE(v.ptr());
    if (v.is_none() || t == &PyUnicode_Type || t == &PyLong_Type)
        return nb::borrow(v);
    return orvane::models::deep_copy(v);
}

// An exact dict of immutable scalars (keys and values): its deep copy is a shallow copy.
inline bool flat_scalar_dict(PyObject *d) {
    if (!PyDict_CheckExact(d))
        return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (orvane::dictscan::dict_next(d, &pos, &k, &v))
        if (!immutable_scalar(k) || !immutable_scalar(v))
            return false;
    return true;
}

// A new set of a model's set field names (a copy of `names`, which holds only str). The copy is
// left out of the cycle collector's care, as CPython leaves out tuples and dicts of atomic values:
// a set of names cannot be part of a reference cycle (pydantic only ever adds names to it).
inline nb::object fields_set_copy(PyObject *names) {
    PyObject *s = PySet_New(names);
    if (s == nullptr)
        throw nb::python_error();
    PyObject_GC_UnTrack(s);
    return nb::steal(s);
}

// A new set of the names in `names` (a set of str only, never changed, without deleted
// entries), left out of the cycle collector's care as fields_set_copy leaves its copies: its table
// has the size of `names`'s and the entries where they lie there (a set copy would size its table
// for twice its names instead, and place each entry again).
inline nb::object fields_set_like(PyObject *names) {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    auto *from = reinterpret_cast<PySetObject *>(names);
    if (PySet_CheckExact(names) && from->fill == from->used) {
        PyObject *s = PySet_New(nullptr);
        if (s == nullptr)
            throw nb::python_error();
        nb::object out = nb::steal(s);
        auto *to = reinterpret_cast<PySetObject *>(s);
        size_t slots = static_cast<size_t>(from->mask) + 1;
        if (from->mask != to->mask) {
            // (a new set's table is its small table; a larger one is PyMem memory, as the set
            // itself would allocate and free it)
            setentry *table = PyMem_New(setentry, slots);
            if (table == nullptr)
                throw std::bad_alloc();
            to->table = table;
            to->mask = from->mask;
        }
        std::memcpy(to->table, from->table, slots * sizeof(setentry));
        for (size_t i = 0; i < slots; ++i)
            Py_XINCREF(to->table[i].key);
        to->fill = from->fill;
        to->used = from->used;
        PyObject_GC_UnTrack(s);
        return out;
    }
#endif
    return fields_set_copy(names);
}

// Fills a fresh copy of a template dict (its keys, each with None, in the order the values come)
// entry by entry: where the copy's entry j holds the key, the value goes straight into it (no
// look-up; the copy is ours alone, unwatched), else through PyDict_SetItem. A template holds
// only None, so its copy starts untracked by the garbage collector; it is tracked once it holds
// a value that may be tracked.
class TemplateFill {
public:
    explicit TemplateFill(PyObject *d) : d_(d) {}
    // Takes `v` (a new reference); false with a Python error set.
    bool set(PyObject *key, PyObject *v) {
        PyObject **slot = orvane::dictscan::value_slot(d_, j_++, key);
        if (slot == nullptr || *slot != Py_None) {
            int rc = PyDict_SetItem(d_, key, v);
            Py_DECREF(v);
            return rc == 0;
        }
        *slot = v;  // (None is immortal: nothing to release)
        // As PyDict_SetItem decides: a value that may be tracked, now or later.
        if (!tracked_ && PyObject_IS_GC(v) && (!PyTuple_CheckExact(v) || PyObject_GC_IsTracked(v))) {
            if (!PyObject_GC_IsTracked(d_))
                PyObject_GC_Track(d_);
            tracked_ = true;
        }
        return true;
    }

private:
    PyObject *d_;
    Py_ssize_t j_ = 0;
    bool tracked_ = false;
};

// The UTF-8 text of a str, lone surrogates encoded as they are (orvane::py::utf8_of), as a copy.
inline std::string utf8(nb::handle s) {
    nb::object holder;
    return std::string(orvane::py::utf8_of(s, holder));
}

}  // namespace tally
