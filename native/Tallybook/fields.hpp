// Attribute reads of one model instance by interned name: its instance __dict__ is read once into
// a small table (field names of pydantic models are interned, so a lookup is an address
// comparison, in field order); names not found there go through the dict, then getattr.
#pragma once

#include <nanobind/nanobind.h>

#include "names.hpp"
#include "orvane/dictscan.hpp"
#include "util.hpp"

namespace tally {

class Fields {
public:
    // `obj`: a model instance, or an exact dict standing for one (its fields by name).
    explicit Fields(nb::handle obj) : obj_(obj.ptr()) {
        PyObject *d = PyDict_CheckExact(obj_) ? Py_NewRef(obj_) : PyObject_GenericGetAttr(obj_, names::a_dict.get());
        if (d == nullptr) {
            PyErr_Clear();
            return;
        }
        if (!PyDict_CheckExact(d)) {
            Py_DECREF(d);
            return;
        }
        dict_ = nb::steal(d);
        if (PyDict_GET_SIZE(d) <= kMax) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (orvane::dictscan::dict_next(d, &pos, &k, &v)) {
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

    // The attribute `name` (an interned str).
    nb::object get(PyObject *name) const {
        for (int k = 0; k < n_; ++k) {
            int i = next_ + k < n_ ? next_ + k : next_ + k - n_;
            if (keys_[i] == name) {
                next_ = i + 1 < n_ ? i + 1 : 0;
                return nb::borrow(vals_[i]);
            }
        }
        if (dict_.is_valid()) {
            PyObject *v = PyDict_GetItemWithError(dict_.ptr(), name);
            if (v != nullptr)
                return nb::borrow(v);
            if (PyErr_Occurred())
                throw nb::python_error();
        }
        return checked(PyObject_GetAttr(obj_, name));
    }
    PyObject *dict() const { return dict_.is_valid() ? dict_.ptr() : nullptr; }

private:
    static constexpr int kMax = 24;
    PyObject *obj_;
    nb::object dict_;
    // Strong references: the dict's entries when it was read. Reads made after Python code that
    // may have changed the dict go through a new Fields.
    PyObject *keys_[kMax];
    PyObject *vals_[kMax];
    int n_ = 0;
    mutable int next_ = 0;
};

}  // namespace tally
