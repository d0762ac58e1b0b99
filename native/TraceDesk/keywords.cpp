#include "keywords.hpp"

#include <string>


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

}  // namespace orvane::desk
