#include "orvane/abc.hpp"

namespace orvane::abc {

namespace {

struct AbstractMethod {
    PyObject_HEAD
    PyObject *func;
};

PyTypeObject *abstract_type = nullptr;

PyObject *am_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    PyObject *func = reinterpret_cast<AbstractMethod *>(self)->func;
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(func, obj);
}

PyObject *am_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    return PyObject_Call(reinterpret_cast<AbstractMethod *>(self)->func, args, kwargs);
}

int am_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<AbstractMethod *>(self)->func);
    return 0;
}

int am_clear(PyObject *self) {
    Py_CLEAR(reinterpret_cast<AbstractMethod *>(self)->func);
    return 0;
}

void am_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    am_clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(tp);
}

PyObject *am_is_abstract(PyObject *, void *) { Py_RETURN_TRUE; }

PyObject *am_get_func(PyObject *self, void *) {
    return Py_NewRef(reinterpret_cast<AbstractMethod *>(self)->func);
}

PyObject *am_get_attr_of_func(PyObject *self, void *name) {
    return PyObject_GetAttrString(reinterpret_cast<AbstractMethod *>(self)->func,
                                  static_cast<const char *>(name));
}

PyGetSetDef am_getset[] = {
    {"__isabstractmethod__", am_is_abstract, nullptr, nullptr, nullptr},
    {"__func__", am_get_func, nullptr, nullptr, nullptr},
    {"__wrapped__", am_get_func, nullptr, nullptr, nullptr},
    {"__name__", am_get_attr_of_func, nullptr, nullptr, const_cast<char *>("__name__")},
    {"__qualname__", am_get_attr_of_func, nullptr, nullptr, const_cast<char *>("__qualname__")},
    {"__doc__", am_get_attr_of_func, nullptr, nullptr, const_cast<char *>("__doc__")},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot am_slots[] = {
    {Py_tp_descr_get, reinterpret_cast<void *>(am_descr_get)},
    {Py_tp_call, reinterpret_cast<void *>(am_call)},
    {Py_tp_traverse, reinterpret_cast<void *>(am_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(am_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(am_dealloc)},
    {Py_tp_getset, am_getset},
    {0, nullptr},
};

PyType_Spec am_spec = {
    "orvane_devtools.abstract_method",
    sizeof(AbstractMethod),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    am_slots,
};

}  // namespace

void init(nb::module_ &m) {
    if (abstract_type == nullptr) {
        PyObject *t = PyType_FromModuleAndSpec(m.ptr(), &am_spec, nullptr);
        if (t == nullptr)
            throw nb::python_error();
        abstract_type = reinterpret_cast<PyTypeObject *>(t);
    }
}

nb::object abstract_method(nb::object func) {
    auto *self = PyObject_GC_New(AbstractMethod, abstract_type);
    if (self == nullptr)
        throw nb::python_error();
    self->func = func.release().ptr();
    PyObject_GC_Track(reinterpret_cast<PyObject *>(self));
    return nb::steal(reinterpret_cast<PyObject *>(self));
}

nb::object make_class(const char *module, const char *name, nb::tuple bases, nb::dict ns) {
    ns["__module__"] = module;
    if (!ns.contains("__qualname__"))
        ns["__qualname__"] = name;
    nb::object meta = nb::module_::import_("abc").attr("ABCMeta");
    return meta(nb::str(name), bases, ns);
}

}  // namespace orvane::abc
