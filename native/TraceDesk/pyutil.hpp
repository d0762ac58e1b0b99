// Python helpers of the TraceDesk sources, on top of the shared ones of the support library
// (orvane/pyutil.hpp, brought in here). Every function needs the GIL (as everything in this
// module) and throws nb::python_error with the Python error set when a call fails.
#pragma once

#include <nanobind/nanobind.h>

#include "orvane/args.hpp"
#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::desk {

namespace nb = nanobind;
using orvane::outside::Name;

using orvane::py::attr;
using orvane::py::call0;
using orvane::py::call1;
using orvane::py::call2;
using orvane::py::call_kw;
using orvane::py::call_method_kw;
using orvane::py::checked;
using orvane::py::dict_find;
using orvane::py::equals;
using orvane::py::get_or_none;
using orvane::py::is_instance;
using orvane::py::is_mapping;
using orvane::py::is_own_method;
using orvane::py::Kw;
using orvane::py::set_attr;
using orvane::py::truthy;

// `obj.<name>` or an invalid handle when the attribute does not exist (getattr with a default).
inline nb::object optional_attr(nb::handle obj, Name &name) {
    PyObject *v = nullptr;
    if (PyObject_GetOptionalAttr(obj.ptr(), name.get(), &v) < 0)
        throw nb::python_error();
    return nb::steal(v);
}

// Whether `obj.<name>` exists and is True itself (a flag an object states about itself).
inline bool says_true(nb::handle obj, Name &name) { return optional_attr(obj, name).ptr() == Py_True; }

inline void dict_set(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

inline bool set_contains(nb::handle s, nb::handle key) {
    int r = PySet_Contains(s.ptr(), key.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

inline void set_add(nb::handle s, nb::handle key) {
    if (PySet_Add(s.ptr(), key.ptr()) < 0)
        throw nb::python_error();
}

inline void set_discard(nb::handle s, nb::handle key) {
    if (PySet_Discard(s.ptr(), key.ptr()) < 0)
        throw nb::python_error();
}

inline nb::object new_set() { return checked(PySet_New(nullptr)); }

// getattr(obj, name) -- or an invalid handle where getattr(obj, name, None) would give None
// because there is no such attribute -- read straight from the instance __dict__ when that is
// where generic attribute lookup finds it: the class uses object.__getattribute__ (a __getattr__
// of its own, as pydantic models have, only answers names the generic lookup does not find) and
// holds no data descriptor of that name. Anything else goes through getattr.
nb::object instance_attr(nb::handle obj, Name &name);

// getattr(obj, name) through instance_attr: AttributeError (or what __getattr__ raises) when
// there is no such attribute.
inline nb::object field(nb::handle obj, Name &name) {
    nb::object v = instance_attr(obj, name);
    return v.is_valid() ? v : attr(obj, name);
}

// queue.append(x) and queue.popleft(): through deque's own methods, called directly, when
// `queue` is exactly a collections.deque (whose methods cannot be replaced); by name otherwise.
void deque_append(nb::handle queue, nb::handle x);
nb::object deque_popleft(nb::handle queue);

// The first item of a list or other iterable; None when it is empty.
nb::object first_of(nb::handle seq);

// The list itself, or a new list of an iterable's items.
nb::list to_list(nb::handle seq);

// The current exception as an object, leaving no error set.
inline nb::object fetch_error() { return nb::steal(PyErr_GetRaisedException()); }

}  // namespace orvane::desk
