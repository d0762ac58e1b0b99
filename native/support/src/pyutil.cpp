#include "orvane/pyutil.hpp"

#include <unistd.h>

#include <vector>

namespace orvane::py {

namespace {

Name m_get{"get"};
Name m_append{"append"};
Name m_popleft{"popleft"};
Name a_getattribute{"__getattribute__"};

nb::object vectorcall(PyObject *callable, std::vector<PyObject *> &argv, size_t nargs,
                      std::span<const Kw> kws, bool method) {
    nb::object kwnames;
    if (!kws.empty()) {
        kwnames = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(kws.size())));
        if (!kwnames.is_valid())
            throw nb::python_error();
        Py_ssize_t i = 0;
        for (const Kw &kw : kws) {
            PyTuple_SET_ITEM(kwnames.ptr(), i++, Py_NewRef(kw.first->get()));
            argv.push_back(kw.second.ptr());
        }
    }
    // argv[0] is free for the callee's use (PY_VECTORCALL_ARGUMENTS_OFFSET), or the object whose
    // method is called.
    PyObject *r = method
        ? PyObject_VectorcallMethod(callable, argv.data(), nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    kwnames.ptr())
        : PyObject_Vectorcall(callable, argv.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                              kwnames.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

}  // namespace

nb::object call_kw(nb::handle fn, std::span<const nb::handle> args, std::span<const Kw> kws) {
    std::vector<PyObject *> argv;
    argv.reserve(1 + args.size() + kws.size());
    argv.push_back(nullptr);
    for (nb::handle a : args)
        argv.push_back(a.ptr());
    return vectorcall(fn.ptr(), argv, args.size(), kws, false);
}

nb::object call_method_kw(nb::handle obj, Name &method, std::initializer_list<nb::handle> args,
                          std::initializer_list<Kw> kws) {
    std::vector<PyObject *> argv;
    argv.reserve(1 + args.size() + kws.size());
    argv.push_back(obj.ptr());
    for (nb::handle a : args)
        argv.push_back(a.ptr());
    return vectorcall(method.get(), argv, 1 + args.size(), std::span<const Kw>(kws.begin(), kws.size()), true);
}

bool is_mapping(nb::handle obj) {
    if (PyDict_Check(obj.ptr()))
        return true;
    static PyObject *mapping_abc =  // kept for the process
        nb::object(nb::module_::import_("collections.abc").attr("Mapping")).release().ptr();
    return is_instance(obj, mapping_abc);
}

nb::object get_or_none(nb::handle mapping, nb::handle key) {
    static PyObject *dict_get = _PyType_Lookup(&PyDict_Type, m_get.get());  // borrowed from dict
    PyObject *r = nullptr;
    if (PyDict_CheckExact(mapping.ptr()) ||
        (PyDict_Check(mapping.ptr()) && is_own_method(mapping, m_get, dict_get))) {
        if (PyDict_GetItemRef(mapping.ptr(), key.ptr(), &r) < 0)
            throw nb::python_error();
        return r ? nb::steal(r) : nb::none();
    }
    r = PyObject_CallMethodOneArg(mapping.ptr(), m_get.get(), key.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

bool class_keeps_method(PyTypeObject *type, Name &name, PyObject *ours) {
    return ours != nullptr && type->tp_getattro == PyObject_GenericGetAttr && _PyType_Lookup(type, name.get()) == ours;
}

bool dict_keeps_method(PyObject *dict, Name &name) {
    if (dict == nullptr)
        return true;
    int found = PyDict_Contains(dict, name.get());
    if (found < 0)
        throw nb::python_error();
    return found == 0;
}

bool is_own_method(nb::handle self, Name &name, PyObject *ours) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (!class_keeps_method(type, name, ours))
        return false;
    if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0 && type->tp_dictoffset == 0)
        return true;  // instances without a __dict__
    PyObject *dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (dict == nullptr)
        throw nb::python_error();
    nb::object keep = nb::steal(dict);
    return dict_keeps_method(dict, name);
}

nb::str text_from_utf8(std::string_view utf8) {
    PyObject *s = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "surrogatepass");
    if (s == nullptr)
        throw nb::python_error();
    return nb::steal<nb::str>(s);
}

std::string_view utf8_of(nb::handle s, nb::object &holder) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (p == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
        holder = nb::steal(PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass"));
        if (!holder.is_valid())
            throw nb::python_error();
        p = PyBytes_AS_STRING(holder.ptr());
        n = PyBytes_GET_SIZE(holder.ptr());
    }
    return std::string_view(p, static_cast<size_t>(n));
}

std::string text_of(nb::handle value) {
    if (PyUnicode_CheckExact(value.ptr())) {
        // The UTF-8 form the str keeps (made once per str); text with lone surrogates has none.
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(value.ptr(), &n);
        if (p != nullptr)
            return std::string(p, static_cast<size_t>(n));
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    PyObject *s = PyObject_Str(value.ptr());
    if (s == nullptr)
        throw nb::python_error();
    nb::object str = nb::steal(s);
    PyObject *b = PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace");
    if (b == nullptr)
        throw nb::python_error();
    nb::object bytes = nb::steal(b);
    return std::string(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
}

void restore_thread(PyThreadState *state) {
    if (Py_IsFinalizing()) {
        for (;;)
            ::pause();
    }
    PyEval_RestoreThread(state);
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
        Py_NewRef(_PyType_Lookup(&PyBaseObject_Type, a_getattribute.get()));
    for (Entry &e : cache)
        if (e.type == t && e.version == t->tp_version_tag && e.version != 0)
            return e.generic;
    bool generic = t->tp_getattro == PyObject_GenericGetAttr ||
                   _PyType_Lookup(t, a_getattribute.get()) == object_getattribute;
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
        append = Py_NewRef(_PyType_Lookup(type, m_append.get()));
        popleft = Py_NewRef(_PyType_Lookup(type, m_popleft.get()));
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
        call1(queue, m_append, x);
        return;
    }
    PyObject *argv[] = {queue.ptr(), x.ptr()};
    checked(PyObject_Vectorcall(d.append, argv, 2, nullptr));
}

nb::object deque_popleft(nb::handle queue) {
    const DequeMethods &d = deque_methods();
    if (Py_TYPE(queue.ptr()) != d.type)
        return call0(queue, m_popleft);
    PyObject *argv[] = {queue.ptr()};
    return checked(PyObject_Vectorcall(d.popleft, argv, 1, nullptr));
}

}  // namespace orvane::py
