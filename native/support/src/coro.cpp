// The bridge between asyncio and C++20 coroutines. See coro.hpp for the contract.
#include "orvane/coro.hpp"

#include "orvane/exit_gate.hpp"
#include "orvane/pyutil.hpp"

#include <new>

namespace orvane::coro {

namespace {

enum class State : unsigned char { Created, Suspended, Running, Done };

struct CoroObject {
    PyObject_HEAD
    std::coroutine_handle<Promise> handle;  // null once finished or closed
    const char *qualname;
    State state;
    PyObject *weakreflist;
};

PyTypeObject *coro_type = nullptr;

// Destroys the C++ frame (destructors of its locals run) and marks the coroutine done.
void finish(CoroObject *self) noexcept {
    self->state = State::Done;
    if (auto h = std::exchange(self->handle, {}))
        h.destroy();
}

// Returns a new reference to the iterator that drives `obj` in an await expression.
PyObject *await_iter(PyObject *obj) {
    PyTypeObject *t = Py_TYPE(obj);
    if (t == coro_type || PyCoro_CheckExact(obj))
        return Py_NewRef(obj);
    if (t->tp_as_async != nullptr && t->tp_as_async->am_await != nullptr) {
        PyObject *it = t->tp_as_async->am_await(obj);
        if (it == nullptr)
            return nullptr;
        if (PyCoro_CheckExact(it) || !PyIter_Check(it)) {
            PyErr_Format(PyExc_TypeError, "__await__() returned %s of type '%.100s'",
                         PyCoro_CheckExact(it) ? "a coroutine" : "non-iterator",
                         Py_TYPE(it)->tp_name);
            Py_DECREF(it);
            return nullptr;
        }
        return it;
    }
    PyErr_Format(PyExc_TypeError, "'%.100s' object can't be awaited", t->tp_name);
    return nullptr;
}

// Throws `exc` into the iterator `it` the way `yield from` does: through its throw() method
// when it has one; otherwise the exception is handed back unchanged (returns ERROR with it set).
PySendResult throw_into(PyObject *it, PyObject *exc, PyObject **out) {
    static PyObject *m_throw = PyUnicode_InternFromString("throw");
    PyObject *meth = nullptr;
    if (PyObject_GetOptionalAttr(it, m_throw, &meth) < 0)
        return PYGEN_ERROR;
    if (meth == nullptr) {
        PyErr_SetRaisedException(Py_NewRef(exc));
        return PYGEN_ERROR;
    }
    PyObject *res = PyObject_CallOneArg(meth, exc);
    Py_DECREF(meth);
    if (res != nullptr) {
        *out = res;
        return PYGEN_NEXT;
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyObject *stop = PyErr_GetRaisedException();
        PyObject *value = PyObject_GetAttrString(stop, "value");
        Py_DECREF(stop);
        if (value == nullptr)
            return PYGEN_ERROR;
        *out = value;
        return PYGEN_RETURN;
    }
    return PYGEN_ERROR;
}

// One resumption: forwards `value` (or the exception `exc`, borrowed) to whatever the coroutine
// waits on and runs C++ until the next suspension that yields to our caller, or the end.
PySendResult step(CoroObject *self, PyObject *value, PyObject *exc, PyObject **out) {
    orvane::exit_gate::Section section;  // the body calls Python with C++ frames below
    *out = nullptr;
    switch (self->state) {
    case State::Running:
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return PYGEN_ERROR;
    case State::Done:
        if (exc != nullptr)
            PyErr_SetRaisedException(Py_NewRef(exc));
        else
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    case State::Created:
        if (exc != nullptr) {
            // Like a Python coroutine: an exception thrown in before the first step ends it.
            finish(self);
            PyErr_SetRaisedException(Py_NewRef(exc));
            return PYGEN_ERROR;
        }
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        break;
    case State::Suspended:
        break;
    }

    Py_INCREF(self);  // the body may drop the last outside reference to us
    self->state = State::Running;
    Promise &p = self->handle.promise();
    PySendResult outcome;
    for (;;) {
        if (p.inner != nullptr) {
            PyObject *res = nullptr;
            PySendResult r = exc != nullptr ? throw_into(p.inner, exc, &res)
                                            : PyIter_Send(p.inner, value, &res);
            if (r == PYGEN_NEXT) {
                *out = res;
                self->state = State::Suspended;
                outcome = PYGEN_NEXT;
                break;
            }
            Py_CLEAR(p.inner);
            if (r == PYGEN_RETURN)
                p.sent = res;
            else
                p.thrown = PyErr_GetRaisedException();
        } else if (exc != nullptr) {
            p.thrown = Py_NewRef(exc);
        }
        self->handle.resume();
        Py_CLEAR(p.sent);    // not consumed when the body ended through a destructor path
        Py_CLEAR(p.thrown);
        if (self->handle.done()) {
            if (p.error) {
                std::exception_ptr err = std::exchange(p.error, nullptr);
                finish(self);
                try {
                    std::rethrow_exception(err);
                } catch (...) {
                    set_python_error_from_current();
                }
                outcome = PYGEN_ERROR;
            } else {
                PyObject *result = p.result != nullptr ? std::exchange(p.result, nullptr)
                                                       : Py_NewRef(Py_None);
                finish(self);
                *out = result;
                outcome = PYGEN_RETURN;
            }
            break;
        }
        // The body suspended on a new awaitable: start it with None.
        value = Py_None;
        exc = nullptr;
    }
    Py_DECREF(self);
    return outcome;
}

PySendResult coro_am_send(PyObject *self, PyObject *arg, PyObject **result) {
    return step(reinterpret_cast<CoroObject *>(self), arg, nullptr, result);
}

// Turns a step outcome into the iterator/generator protocol's return convention.
PyObject *finish_call(PySendResult r, PyObject *res, bool raise_stop) {
    if (r == PYGEN_NEXT)
        return res;
    if (r == PYGEN_ERROR)
        return nullptr;
    if (res == Py_None) {
        Py_DECREF(res);
        if (raise_stop)
            PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    // StopIteration must carry the value as an instance, or a tuple result gets unpacked.
    PyObject *stop = PyObject_CallOneArg(PyExc_StopIteration, res);
    Py_DECREF(res);
    if (stop != nullptr)
        PyErr_SetRaisedException(stop);
    return nullptr;
}

PyObject *coro_iternext(PyObject *self) {
    PyObject *res = nullptr;
    PySendResult r = step(reinterpret_cast<CoroObject *>(self), Py_None, nullptr, &res);
    return finish_call(r, res, false);
}

PyObject *coro_send(PyObject *self, PyObject *arg) {
    PyObject *res = nullptr;
    PySendResult r = step(reinterpret_cast<CoroObject *>(self), arg, nullptr, &res);
    return finish_call(r, res, true);
}

// throw(exc) or the legacy throw(type, value=None, traceback=None).
PyObject *coro_throw(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject *typ = args[0];
    PyObject *val = nargs > 1 ? args[1] : Py_None;
    PyObject *tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject *exc = nullptr;
    if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError,
                            "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(typ);
    } else if (PyExceptionClass_Check(typ)) {
        if (PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject *>(typ)))
            exc = Py_NewRef(val);
        else if (val == Py_None)
            exc = PyObject_CallNoArgs(typ);
        else if (PyTuple_Check(val))
            exc = PyObject_Call(typ, val, nullptr);
        else
            exc = PyObject_CallOneArg(typ, val);
        if (exc == nullptr)
            return nullptr;
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         typ, Py_TYPE(exc)->tp_name);
            Py_DECREF(exc);
            return nullptr;
        }
    } else {
        PyErr_Format(PyExc_TypeError,
                     "exceptions must be classes or instances deriving from BaseException, "
                     "not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None)
        PyException_SetTraceback(exc, tb);
    PyObject *res = nullptr;
    PySendResult r = step(reinterpret_cast<CoroObject *>(self), Py_None, exc, &res);
    Py_DECREF(exc);
    return finish_call(r, res, true);
}

PyObject *coro_close(PyObject *op, PyObject *) {
    orvane::exit_gate::Section section;  // closing runs the destructors of the frame's locals
    auto *self = reinterpret_cast<CoroObject *>(op);
    if (self->state == State::Running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return nullptr;
    }
    if (self->state == State::Suspended) {
        Promise &p = self->handle.promise();
        if (PyObject *inner = std::exchange(p.inner, nullptr)) {
            static PyObject *m_close = PyUnicode_InternFromString("close");
            PyObject *meth = nullptr;
            int found = PyObject_GetOptionalAttr(inner, m_close, &meth);
            PyObject *res = found > 0 ? PyObject_CallNoArgs(meth) : nullptr;
            Py_XDECREF(meth);
            Py_DECREF(inner);
            if (found < 0 || (found > 0 && res == nullptr)) {
                finish(self);
                return nullptr;
            }
            Py_XDECREF(res);
        }
    }
    finish(self);
    Py_RETURN_NONE;
}

PyObject *coro_await(PyObject *self) { return Py_NewRef(self); }

int coro_traverse(PyObject *op, visitproc visit, void *arg) {
    auto *self = reinterpret_cast<CoroObject *>(op);
    Py_VISIT(Py_TYPE(op));
    if (self->handle) {
        Promise &p = self->handle.promise();
        Py_VISIT(p.inner);
        Py_VISIT(p.sent);
        Py_VISIT(p.thrown);
        Py_VISIT(p.result);
    }
    return 0;
}

int coro_clear(PyObject *op) {
    auto *self = reinterpret_cast<CoroObject *>(op);
    if (self->handle && self->state != State::Running) {
        Promise &p = self->handle.promise();
        Py_CLEAR(p.inner);
        Py_CLEAR(p.sent);
        Py_CLEAR(p.thrown);
        Py_CLEAR(p.result);
    }
    return 0;
}

void coro_dealloc(PyObject *op) {
    orvane::exit_gate::Section section;  // as coro_close
    auto *self = reinterpret_cast<CoroObject *>(op);
    PyTypeObject *tp = Py_TYPE(op);
    PyObject_GC_UnTrack(op);
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    if (self->state == State::Created && self->handle) {
        // Same diagnostic as for a Python coroutine that was created and dropped.
        PyObject *saved = PyErr_GetRaisedException();
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%s' was never awaited",
                             self->qualname) < 0)
            PyErr_WriteUnraisable(op);
        PyErr_SetRaisedException(saved);
    }
    if (self->state == State::Suspended && self->handle) {
        Promise &p = self->handle.promise();
        Py_CLEAR(p.inner);
    }
    finish(self);
    PyObject_GC_Del(op);
    Py_DECREF(tp);
}

PyObject *coro_get_name(PyObject *op, void *) {
    return PyUnicode_FromString(reinterpret_cast<CoroObject *>(op)->qualname);
}

PyObject *coro_get_running(PyObject *op, void *) {
    return PyBool_FromLong(reinterpret_cast<CoroObject *>(op)->state == State::Running);
}

PyObject *coro_get_suspended(PyObject *op, void *) {
    return PyBool_FromLong(reinterpret_cast<CoroObject *>(op)->state == State::Suspended);
}

PyObject *coro_get_await(PyObject *op, void *) {
    auto *self = reinterpret_cast<CoroObject *>(op);
    if (self->handle && self->handle.promise().inner != nullptr)
        return Py_NewRef(self->handle.promise().inner);
    Py_RETURN_NONE;
}

PyObject *coro_repr(PyObject *op) {
    return PyUnicode_FromFormat("<native_coroutine object %s at %p>",
                                reinterpret_cast<CoroObject *>(op)->qualname, op);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> the next yielded value or StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL, "throw(exc) -> raise the exception inside the coroutine."},
    {"close", coro_close, METH_NOARGS, "close() -> finish the coroutine without running it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", coro_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", coro_get_name, nullptr, nullptr, nullptr},
    {"cr_running", coro_get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", coro_get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", coro_get_await, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef coro_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(CoroObject, weakreflist), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_am_await, reinterpret_cast<void *>(coro_await)},
    {Py_am_send, reinterpret_cast<void *>(coro_am_send)},
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {Py_tp_traverse, reinterpret_cast<void *>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(coro_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(coro_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(coro_repr)},
    {Py_tp_doc, const_cast<char *>("Coroutine implemented in C++.")},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "orvane_devtools.native_coroutine",
    sizeof(CoroObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

}  // namespace

void Promise::unhandled_exception() {
    try {
        throw;
    } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
        error = std::current_exception();
    }
}

bool Await::await_ready() {
    iter_ = await_iter(awaitable_.ptr());
    if (iter_ == nullptr)
        throw nb::python_error();
    return false;
}

void Await::await_suspend(std::coroutine_handle<Promise> h) noexcept {
    promise_ = &h.promise();
    promise_->inner = std::exchange(iter_, nullptr);
}

nb::object Await::await_resume() {
    Promise &p = *promise_;
    if (PyObject *exc = std::exchange(p.thrown, nullptr)) {
        PyErr_SetRaisedException(exc);
        throw nb::python_error();
    }
    PyObject *value = std::exchange(p.sent, nullptr);
    return value != nullptr ? nb::steal(value) : nb::none();
}

void set_python_error_from_current() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &e) {
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in a native coroutine");
    }
}

nb::object wrap(Task &&task, const char *qualname) {
    auto *self = PyObject_GC_New(CoroObject, coro_type);
    if (self == nullptr)
        throw nb::python_error();
    self->handle = task.release();
    self->qualname = qualname;
    self->state = State::Created;
    self->weakreflist = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(self));
    return nb::steal(reinterpret_cast<PyObject *>(self));
}

void init(nb::module_ &m) {
    if (coro_type == nullptr) {
        PyObject *t = PyType_FromModuleAndSpec(m.ptr(), &coro_spec, nullptr);
        if (t == nullptr)
            throw nb::python_error();
        coro_type = reinterpret_cast<PyTypeObject *>(t);
        nb::module_::import_("collections.abc").attr("Coroutine").attr("register")(nb::handle(t));
    }
    m.attr("_native_coroutine") = nb::handle(reinterpret_cast<PyObject *>(coro_type));
}

}  // namespace orvane::coro
