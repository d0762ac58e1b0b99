#include "pyutil.hpp"

namespace orvane::desk {

nb::object mapping_get(nb::handle mapping, nb::handle key) {
    if (PyDict_Check(mapping.ptr()))
        return dict_get(mapping, key);
    PyObject *v = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (v == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_KeyError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return nb::object();
        }
        throw nb::python_error();
    }
    return nb::steal(v);
}

bool is_mapping(nb::handle obj) {
    if (PyDict_Check(obj.ptr()))
        return true;
    // collections.abc.Mapping, kept for the life of the process.
    static PyObject *mapping_abc =
        nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
    int r = PyObject_IsInstance(obj.ptr(), mapping_abc);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

nb::object first_of(nb::handle seq) {
    if (PyList_Check(seq.ptr()))
        return PyList_GET_SIZE(seq.ptr()) > 0 ? nb::borrow(PyList_GET_ITEM(seq.ptr(), 0))
                                              : nb::none();
    nb::object it = checked(PyObject_GetIter(seq.ptr()));
    PyObject *v = PyIter_Next(it.ptr());
    if (v == nullptr) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return nb::none();
    }
    return nb::steal(v);
}

nb::list to_list(nb::handle seq) {
    if (PyList_Check(seq.ptr()))
        return nb::borrow<nb::list>(seq);
    return nb::borrow<nb::list>(checked(PySequence_List(seq.ptr())));
}

bool still_own(nb::handle obj, Name &name, PyObject *original) {
    if (original == nullptr || _PyType_Lookup(Py_TYPE(obj.ptr()), name.get()) != original)
        return false;
    PyObject **dictptr = _PyObject_GetDictPtr(obj.ptr());
    if (dictptr == nullptr || *dictptr == nullptr)
        return true;
    int found = PyDict_Contains(*dictptr, name.get());
    if (found < 0)
        throw nb::python_error();
    return found == 0;
}

}  // namespace orvane::desk
