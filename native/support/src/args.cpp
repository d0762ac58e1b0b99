#include "orvane/args.hpp"

#include <cmath>

namespace orvane::args {

void raise_incorrect_type(const char *arg, const char *expected, nb::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 arg, expected, Py_TYPE(got.ptr())->tp_name);
    throw nb::python_error();
}

void require(nb::handle value, PyTypeObject *type, const char *arg, bool none_ok) {
    if ((none_ok && value.is_none()) || PyObject_TypeCheck(value.ptr(), type))
        return;
    raise_incorrect_type(arg, type->tp_name, value);
}

std::optional<std::string_view> str_view(nb::handle value, const char *arg, bool none_ok) {
    if (none_ok && value.is_none())
        return std::nullopt;
    if (!PyUnicode_Check(value.ptr()))
        raise_incorrect_type(arg, "str", value);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (data == nullptr)
        throw nb::python_error();
    return std::string_view(data, static_cast<size_t>(size));
}

std::optional<int64_t> int_or_none(nb::handle value, const char *arg) {
    require_int(value, arg, /*none_ok=*/true);
    if (value.is_none())
        return std::nullopt;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred())
        throw nb::python_error();
    if (overflow != 0)
        return overflow > 0 ? INT64_MAX : INT64_MIN;
    return static_cast<int64_t>(v);
}

nb::object to_pyint(nb::handle value, const char *arg) {
    PyObject *v = value.ptr();
    if (PyLong_Check(v))
        return nb::steal(PyNumber_Long(v));  // bool and int subclasses become plain int
    PyObject *num = nullptr;
    if (PyFloat_Check(v)) {
        num = PyLong_FromDouble(PyFloat_AS_DOUBLE(v));  // truncates; NaN/inf raise
    } else if (Py_TYPE(v)->tp_as_number != nullptr && Py_TYPE(v)->tp_as_number->nb_index) {
        num = PyNumber_Index(v);
    } else if (Py_TYPE(v)->tp_as_number != nullptr && Py_TYPE(v)->tp_as_number->nb_float) {
        double d = PyFloat_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred())
            throw nb::python_error();
        num = PyLong_FromDouble(d);
    } else {
        raise_incorrect_type(arg, "int", value);
    }
    if (num == nullptr)
        throw nb::python_error();
    return nb::steal(num);
}

int64_t to_int64(nb::handle value, const char *arg) {
    PyObject *v = value.ptr();
    if (PyLong_CheckExact(v)) {
        long long r = PyLong_AsLongLong(v);
        if (r == -1 && PyErr_Occurred())
            throw nb::python_error();
        return r;
    }
    nb::object num = to_pyint(value, arg);
    long long r = PyLong_AsLongLong(num.ptr());
    if (r == -1 && PyErr_Occurred())
        throw nb::python_error();
    return r;
}

std::optional<int64_t> to_int64_or_none(nb::handle value, const char *arg) {
    if (value.is_none())
        return std::nullopt;
    return to_int64(value, arg);
}

}  // namespace orvane::args
