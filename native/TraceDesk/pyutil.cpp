#include "pyutil.hpp"

#include "names.hpp"

namespace orvane::desk {

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

namespace {

// Whether attribute lookup on instances of `t` is the generic one (object.__getattribute__, with
// or without a __getattr__ hook). A few types are remembered, each kept alive while it is
// remembered; an entry holds only while the type's version tag is unchanged (any change to the
// class or a base changes it). The table is process-wide state guarded by the GIL.
bool generic_lookup(PyTypeObject *t) {
    struct Entry {
        PyTypeObject *type = nullptr;
        unsigned int version = 0;
        bool generic = false;
    };
    static Entry cache[8];
    static unsigned next = 0;
    static PyObject *object_getattribute =
        Py_NewRef(_PyType_Lookup(&PyBaseObject_Type, names::a_getattribute.get()));
    for (Entry &e : cache)
        if (e.type == t && e.version == t->tp_version_tag && e.version != 0)
            return e.generic;
    bool generic = t->tp_getattro == PyObject_GenericGetAttr ||
                   _PyType_Lookup(t, names::a_getattribute.get()) == object_getattribute;
    generic = generic && t->tp_getattro != nullptr;
    Entry &slot = cache[next++ % 8];
    Py_XDECREF(reinterpret_cast<PyObject *>(slot.type));
    slot.type = reinterpret_cast<PyTypeObject *>(Py_NewRef(reinterpret_cast<PyObject *>(t)));
    slot.version = t->tp_version_tag;
    slot.generic = generic;
    return generic;
}

}  // namespace

nb::object instance_attr(nb::handle obj, Name &name) {
    PyTypeObject *t = Py_TYPE(obj.ptr());
    if ((t->tp_flags & Py_TPFLAGS_MANAGED_DICT) || t->tp_dictoffset > 0) {
        if (generic_lookup(t)) {
            PyObject *cls_attr = _PyType_Lookup(t, name.get());
            if (cls_attr == nullptr || Py_TYPE(cls_attr)->tp_descr_set == nullptr) {
                PyObject **dictptr = _PyObject_GetDictPtr(obj.ptr());
                if (dictptr != nullptr && *dictptr != nullptr) {
                    PyObject *v = nullptr;
                    if (PyDict_GetItemRef(*dictptr, name.get(), &v) < 0)
                        throw nb::python_error();
                    if (v != nullptr)
                        return nb::steal(v);
                }
            }
        }
    }
    return optional_attr(obj, name);
}

namespace {

// collections.deque and its append and popleft method descriptors, kept for the process.
struct DequeMethods {
    PyTypeObject *type = nullptr;
    PyObject *append = nullptr, *popleft = nullptr;

    DequeMethods() {
        nb::object deque = nb::module_::import_("collections").attr("deque");
        type = reinterpret_cast<PyTypeObject *>(deque.release().ptr());
        append = Py_NewRef(_PyType_Lookup(type, names::m_append.get()));
        popleft = Py_NewRef(_PyType_Lookup(type, names::m_popleft.get()));
    }
};

const DequeMethods &deque_methods() {
    static const DequeMethods *methods = new DequeMethods();
    return *methods;
}

}  // namespace

void deque_append(nb::handle queue, nb::handle x) {
    const DequeMethods &d = deque_methods();
    if (Py_TYPE(queue.ptr()) != d.type) {
        call1(queue, names::m_append, x);
        return;
    }
    PyObject *argv[] = {queue.ptr(), x.ptr()};
    checked(PyObject_Vectorcall(d.append, argv, 2, nullptr));
}

nb::object deque_popleft(nb::handle queue) {
    const DequeMethods &d = deque_methods();
    if (Py_TYPE(queue.ptr()) != d.type)
        return call0(queue, names::m_popleft);
    PyObject *argv[] = {queue.ptr()};
    return checked(PyObject_Vectorcall(d.popleft, argv, 1, nullptr));
}

}  // namespace orvane::desk
