// Attribute access and method calls by interned name, shared by the bindings.
#pragma once

#include <nanobind/nanobind.h>

#include "orvane/outside.hpp"

namespace orvane::py {

namespace nb = nanobind;
using orvane::outside::Name;

inline nb::object attr(nb::handle obj, Name &name) {
    PyObject *r = PyObject_GetAttr(obj.ptr(), name.get());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

inline void set_attr(nb::handle obj, Name &name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.get(), value.ptr()) < 0)
        throw nb::python_error();
}

inline nb::object call0(nb::handle obj, Name &method) {
    PyObject *r = PyObject_CallMethodNoArgs(obj.ptr(), method.get());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

inline nb::object call1(nb::handle obj, Name &method, nb::handle arg) {
    PyObject *r = PyObject_CallMethodOneArg(obj.ptr(), method.get(), arg.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

inline nb::object call2(nb::handle obj, Name &method, nb::handle a, nb::handle b) {
    PyObject *args[3] = {obj.ptr(), a.ptr(), b.ptr()};
    PyObject *r = PyObject_VectorcallMethod(method.get(), args,
                                            3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

inline bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

}  // namespace orvane::py
