// Attribute reads of one model instance by interned name: its instance __dict__ is looked up
// directly (field names of pydantic models are interned, so a hit costs one hash probe), names not
// found there go through getattr.
#pragma once

#include <nanobind/nanobind.h>

#include "util.hpp"

namespace tally {

class Fields {
public:
    explicit Fields(nb::handle obj) : obj_(obj.ptr()) {
        static PyObject *n_dict = PyUnicode_InternFromString("__dict__");
        PyObject *d = PyObject_GenericGetAttr(obj_, n_dict);
        if (d == nullptr) {
            PyErr_Clear();
            return;
        }
        if (PyDict_CheckExact(d))
            dict_ = nb::steal(d);
        else
            Py_DECREF(d);
    }
    // The attribute `name` (an interned str).
    nb::object get(PyObject *name) const {
        if (dict_.is_valid()) {
            PyObject *v = PyDict_GetItemWithError(dict_.ptr(), name);
            if (v != nullptr)
                return nb::borrow(v);
            if (PyErr_Occurred())
                raise();
        }
        return check(PyObject_GetAttr(obj_, name));
    }
    PyObject *dict() const { return dict_.is_valid() ? dict_.ptr() : nullptr; }

private:
    PyObject *obj_;
    nb::object dict_;
};

// An interned name made on first use (kept for the life of the process).
class Name {
public:
    explicit constexpr Name(const char *text) : text_(text) {}
    PyObject *get() {
        if (obj_ == nullptr) [[unlikely]]
            obj_ = check(PyUnicode_InternFromString(text_)).release().ptr();
        return obj_;
    }

private:
    const char *text_;
    PyObject *obj_ = nullptr;
};

}  // namespace tally
