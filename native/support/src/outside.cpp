#include "orvane/outside.hpp"

namespace orvane::outside {

namespace {
// Borrowed: the module dictionary lives as long as the module, which outlives every caller.
PyObject *module_dict = nullptr;
PyObject *module_name = nullptr;
}  // namespace

void Name::intern() {
    obj_ = PyUnicode_InternFromString(text_);
    if (obj_ == nullptr)
        throw nb::python_error();
}

void bind_module(nb::module_ &m) {
    module_dict = PyModule_GetDict(m.ptr());
    module_name = PyModule_GetNameObject(m.ptr());  // kept for error messages
}

void expose(nb::module_ &m, const char *as, const char *mod, const char *attr) {
    nb::object value = nb::module_::import_(mod);
    if (attr != nullptr)
        value = value.attr(attr);
    m.attr(as) = value;
}

nb::object get(Name &name) {
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(module_dict, name.get(), &value) < 0)
        throw nb::python_error();
    if (value == nullptr) {
        PyErr_Format(PyExc_AttributeError, "module '%U' has no attribute '%s'", module_name,
                     name.text());
        throw nb::python_error();
    }
    return nb::steal(value);
}

nb::object get(const char *name) {
    Name n(name);
    nb::object r = get(n);
    Py_XDECREF(n.get());
    return r;
}

namespace {
Name o_time{"time"};
Name m_time{"time"};
Name m_monotonic{"monotonic"};

double call_clock(Name &fn) {
    nb::object mod = get(o_time);
    PyObject *r = PyObject_CallMethodNoArgs(mod.ptr(), fn.get());
    if (r == nullptr)
        throw nb::python_error();
    double d = PyFloat_AsDouble(r);
    Py_DECREF(r);
    if (d == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return d;
}
}  // namespace

double time_time() { return call_clock(m_time); }
double time_monotonic() { return call_clock(m_monotonic); }

}  // namespace orvane::outside
