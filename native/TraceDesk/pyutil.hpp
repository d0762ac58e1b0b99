// Small helpers shared by the TraceDesk sources: attribute access by interned name, method calls
// and keyword-only argument parsing with CPython's wording.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

#include "orvane/outside.hpp"

namespace orvane::desk {

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

// Calls `callable` with the given values as keyword arguments (names in order).
nb::object call_kw(nb::handle callable, std::initializer_list<Name *> names,
                   std::initializer_list<PyObject *> values);

// Parses a keyword-only call: no positional arguments, only the listed names. `out` gets one
// borrowed pointer per name (nullptr when absent). A missing required name, an unknown name or a
// positional argument raises TypeError worded as CPython words it for `qualname`.
void parse_keyword_only(const char *qualname, const nb::args &args, const nb::kwargs &kwargs,
                        std::initializer_list<const char *> names, size_t required,
                        std::vector<PyObject *> &out);

}  // namespace orvane::desk
