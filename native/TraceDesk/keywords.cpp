#include "keywords.hpp"

#include <string>

#include "orvane/args.hpp"

namespace orvane::desk {

void parse_keyword_only(const char *qualname, const nb::args &args, const nb::kwargs &kwargs,
                        std::initializer_list<const char *> names, size_t required,
                        std::vector<PyObject *> &out) {
    if (PyTuple_GET_SIZE(args.ptr()) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 1 positional argument but %zd were given",
                     qualname, PyTuple_GET_SIZE(args.ptr()) + 1);
        throw nb::python_error();
    }
    out.assign(names.size(), nullptr);
    Py_ssize_t found = 0;
    size_t i = 0;
    for (const char *name : names) {
        PyObject *value = nullptr;
        if (PyDict_GetItemStringRef(kwargs.ptr(), name, &value) < 0)
            throw nb::python_error();
        if (value != nullptr) {
            out[i] = value;
            Py_DECREF(value);  // still owned by kwargs, which outlives the call
            ++found;
        }
        ++i;
    }
    if (found != PyDict_GET_SIZE(kwargs.ptr())) {
        PyObject *key = nullptr, *value = nullptr;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
            bool known = false;
            for (const char *name : names)
                if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, name) == 0)
                    known = true;
            if (!known) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'",
                             qualname, key);
                throw nb::python_error();
            }
        }
    }
    std::vector<const char *> missing;
    i = 0;
    for (const char *name : names) {
        if (i < required && out[i] == nullptr)
            missing.push_back(name);
        ++i;
    }
    if (missing.empty())
        return;
    std::string list;
    for (size_t k = 0; k < missing.size(); ++k) {
        if (k > 0)
            list += (k + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
        list += "'";
        list += missing[k];
        list += "'";
    }
    if (missing.size() == 1)
        PyErr_Format(PyExc_TypeError, "%s() missing 1 required keyword-only argument: %s",
                     qualname, list.c_str());
    else
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required keyword-only arguments: %s",
                     qualname, missing.size(), list.c_str());
    throw nb::python_error();
}

namespace {

template <class Pairs>
nb::object call_with(nb::handle callable, const Pairs &kws, size_t n) {
    PyObject *names = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (names == nullptr)
        throw nb::python_error();
    nb::object names_obj = nb::steal(names);
    // One slot in front for PY_VECTORCALL_ARGUMENTS_OFFSET.
    std::vector<PyObject *> argv;
    argv.reserve(n + 1);
    argv.push_back(nullptr);
    Py_ssize_t i = 0;
    for (const auto &kv : kws) {
        PyTuple_SET_ITEM(names, i++, Py_NewRef(kv.first->get()));
        argv.push_back(kv.second.ptr());
    }
    PyObject *r = PyObject_Vectorcall(callable.ptr(), argv.data() + 1,
                                      0 | PY_VECTORCALL_ARGUMENTS_OFFSET, names);
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

}  // namespace

nb::object call_kw(nb::handle callable, std::initializer_list<std::pair<Name *, nb::handle>> kws) {
    return call_with(callable, kws, kws.size());
}

nb::object call_kw(nb::handle callable, const std::vector<std::pair<Name *, nb::handle>> &kws) {
    return call_with(callable, kws, kws.size());
}

void require_int_or_none(nb::handle value, const char *arg) {
    if (value.is_none() || PyLong_Check(value.ptr()))
        return;
    args::raise_incorrect_type(arg, "int", value);
}

std::optional<int64_t> int_or_none(nb::handle value, const char *arg) {
    require_int_or_none(value, arg);
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

}  // namespace orvane::desk
