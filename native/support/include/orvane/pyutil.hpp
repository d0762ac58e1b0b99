// The Python-call helpers of every binding: attributes and calls by interned name, keyword calls,
// mapping, set and deque steps, instance attributes read from the instance's own __dict__, "is
// this attribute still our own method", values a copy may share, UTF-8 text with lone
// surrogates, texts for messages, taking the GIL back on a thread that may be ended at exit, and
// the catch-all that lets such a thread's forced unwind pass.
//
// Each helper does what the Python expression in its comment does, so a native shortcut taken
// because of it is one a Python implementation could not tell apart. Names follow the legend in
// support.hpp. GIL held for all of them except restore_thread (called without it). Each throws
// nb::python_error with the Python error set when a call fails.
#pragma once

#include <cxxabi.h>
#include <nanobind/nanobind.h>

#include <cstring>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <span>

#include "orvane/outside.hpp"

namespace orvane::py {

namespace nb = nanobind;
using orvane::outside::Name;

// obj.<name>
inline nb::object attr(nb::handle obj, Name &name) {
    PyObject *r = PyObject_GetAttr(obj.ptr(), name.get());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// obj.<name> = value
inline void set_attr(nb::handle obj, Name &name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.get(), value.ptr()) < 0)
        throw nb::python_error();
}

// obj.<method>()
inline nb::object call0(nb::handle obj, Name &method) {
    PyObject *r = PyObject_CallMethodNoArgs(obj.ptr(), method.get());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// obj.<method>(arg)
inline nb::object call1(nb::handle obj, Name &method, nb::handle arg) {
    PyObject *r = PyObject_CallMethodOneArg(obj.ptr(), method.get(), arg.ptr());
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// obj.<method>(a, b)
inline nb::object call2(nb::handle obj, Name &method, nb::handle a, nb::handle b) {
    PyObject *args[3] = {obj.ptr(), a.ptr(), b.ptr()};
    PyObject *r = PyObject_VectorcallMethod(method.get(), args,
                                            3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// bool(obj)
inline bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// Takes over the new reference `r` a C-API call returned; throws when the call failed (null).
inline nb::object checked(PyObject *r) {
    if (r == nullptr)
        throw nb::python_error();
    return nb::steal(r);
}

// a == b
inline bool equals(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// isinstance(obj, cls)
inline bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// `obj.<name>` or an invalid handle when the attribute does not exist (getattr with a default).
inline nb::object optional_attr(nb::handle obj, Name &name) {
    PyObject *v = nullptr;
    if (PyObject_GetOptionalAttr(obj.ptr(), name.get(), &v) < 0)
        throw nb::python_error();
    return nb::steal(v);
}

// Whether `obj.<name>` exists and is True itself (a flag an object states about itself).
inline bool says_true(nb::handle obj, Name &name) { return optional_attr(obj, name).ptr() == Py_True; }

// getattr(obj, name) -- or an invalid handle where getattr(obj, name, None) would give None
// because there is no such attribute -- read straight from the instance __dict__ when that is
// where generic attribute lookup finds it: the class uses object.__getattribute__ (a __getattr__
// of its own, as pydantic models have, only answers names the generic lookup does not find) and
// holds no data descriptor of that name. Anything else goes through getattr.
nb::object instance_attr(nb::handle obj, Name &name);

// getattr(obj, name) through instance_attr: AttributeError (or what __getattr__ raises) when
// there is no such attribute.
inline nb::object field(nb::handle obj, Name &name) {
    nb::object v = instance_attr(obj, name);
    return v.is_valid() ? v : attr(obj, name);
}

// d[key] = value for a dict
inline void dict_set(nb::handle d, nb::handle key, nb::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// key in s, for a set
inline bool set_contains(nb::handle s, nb::handle key) {
    int r = PySet_Contains(s.ptr(), key.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// s.add(key), for a set
inline void set_add(nb::handle s, nb::handle key) {
    if (PySet_Add(s.ptr(), key.ptr()) < 0)
        throw nb::python_error();
}

// s.discard(key), for a set
inline void set_discard(nb::handle s, nb::handle key) {
    if (PySet_Discard(s.ptr(), key.ptr()) < 0)
        throw nb::python_error();
}

// set()
inline nb::object new_set() { return checked(PySet_New(nullptr)); }

// queue.append(x) and queue.popleft(): through deque's own methods, called directly, when
// `queue` is exactly a collections.deque (whose methods cannot be replaced); by name otherwise.
void deque_append(nb::handle queue, nb::handle x);
nb::object deque_popleft(nb::handle queue);

// The first item of a list or other iterable; None when it is empty.
nb::object first_of(nb::handle seq);

// The list itself, or a new list of an iterable's items.
nb::list to_list(nb::handle seq);

// The current exception as an object, leaving no error set.
inline nb::object fetch_error() { return nb::steal(PyErr_GetRaisedException()); }

// Values a deep copy shares as they are: None and exact str, int, bool and float.
inline bool immutable_scalar(PyObject *v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v) ||
           PyFloat_CheckExact(v);
}

// The same value for every purpose of a cache that compares values: the same object, or two
// exact str with the same text, or two exact int with the same value (comparing them runs no
// Python code).
inline bool same_value(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    if (a == nullptr || b == nullptr)
        return false;
    if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(a);
        int kind = PyUnicode_KIND(a);
        return n == PyUnicode_GET_LENGTH(b) && kind == static_cast<int>(PyUnicode_KIND(b)) &&
               std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * static_cast<size_t>(kind)) == 0;
    }
    if (PyLong_CheckExact(a) && PyLong_CheckExact(b))
        return PyObject_RichCompareBool(a, b, Py_EQ) == 1;  // exact ints: no Python code
    return false;
}

// d.get(key) for a dict (or subclass) read from the dict's own storage, calling nothing but the
// key's __hash__ and __eq__; an invalid handle (not None) when the key is absent.
inline nb::object dict_find(nb::handle d, nb::handle key) {
    PyObject *v = nullptr;
    if (PyDict_GetItemRef(d.ptr(), key.ptr(), &v) < 0)
        throw nb::python_error();
    return nb::steal(v);
}

// One keyword argument: {&k_mode, value} for mode=value.
using Kw = std::pair<Name *, nb::handle>;

// fn(*args, **kws), keywords in the order given. The span forms take argument lists made at run
// time (a table of filters, the awaitables of a gather).
nb::object call_kw(nb::handle fn, std::span<const nb::handle> args, std::span<const Kw> kws);
inline nb::object call_kw(nb::handle fn, std::initializer_list<nb::handle> args, std::initializer_list<Kw> kws) {
    return call_kw(fn, std::span<const nb::handle>(args.begin(), args.size()),
                   std::span<const Kw>(kws.begin(), kws.size()));
}
inline nb::object call_kw(nb::handle fn, std::initializer_list<Kw> kws) { return call_kw(fn, {}, kws); }

// obj.<method>(*args, **kws), keywords in the order given.
nb::object call_method_kw(nb::handle obj, Name &method, std::initializer_list<nb::handle> args,
                          std::initializer_list<Kw> kws);

// isinstance(obj, collections.abc.Mapping); a dict (or subclass) without asking the ABC.
bool is_mapping(nb::handle obj);

// mapping.get(key), None when the key is missing. A dict whose get is still dict.get (an exact
// dict; a subclass that neither defines get nor holds one in its instance __dict__) is read from
// its storage, which is what dict.get does; any other mapping (a dict subclass with its own get
// included) through its get method.
nb::object get_or_none(nb::handle mapping, nb::handle key);
inline nb::object get_or_none(nb::handle mapping, Name &key) {
    return get_or_none(mapping, nb::handle(key.get()));
}

// True when `self.<name>` is `ours` (the function this extension put in the class), so that a
// native shortcut may stand for calling it. As Python resolves the attribute, it is not when:
//   - the class (or a subclass on the way) defines another <name> (_PyType_Lookup finds another);
//   - the instance's own __dict__ holds <name> (functions are non-data descriptors, so an
//     instance attribute wins: `sink._write_lines = f` replaces the method for that instance);
//   - the class customises attribute access (__getattribute__ or __getattr__): then only calling
//     through the attribute is sure to do what Python does.
bool is_own_method(nb::handle self, Name &name, PyObject *ours);

// The two halves of is_own_method, for callers that ask about several names per call or keep the
// class's answer. The class half changes only with the class or a base (each change gives the
// class a new version tag), so it may be kept per class and tp_version_tag.
//   class_keeps_method: the class resolves <name> to `ours` and does not customise attribute
//     access;
//   dict_keeps_method: the instance __dict__ `dict` (nullptr for an instance without one) does
//     not hold <name>.
bool class_keeps_method(PyTypeObject *type, Name &name, PyObject *ours);
bool dict_keeps_method(PyObject *dict, Name &name);

// str(value).encode("utf-8", "backslashreplace"): the text of a value for messages, URLs and
// other texts shown to people, always valid UTF-8 (a lone surrogate reads \udXXX).
std::string text_of(nb::handle value);

// A str from UTF-8 bytes that may hold encoded lone surrogates ("surrogatepass"), as the text
// pieces of this package are kept (see utf8_of).
nb::str text_from_utf8(std::string_view utf8);

// The UTF-8 form of the str `s` with lone surrogates encoded as they are ("surrogatepass").
// `holder` keeps the encoded copy alive while the view is used when `s` has lone surrogates;
// otherwise the view is the UTF-8 form Python keeps on the str.
std::string_view utf8_of(nb::handle s, nb::object &holder);

// Takes the GIL back after PyEval_SaveThread(), on a thread the interpreter may end at exit.
//
// Once the interpreter is finalizing, a thread that asks for the GIL is ended by the interpreter
// with a forced unwind (pthread_exit), which a noexcept C++ frame on its stack turns into
// std::terminate. So a thread that finds the interpreter finalizing is parked here for good
// instead: the process is about to end and nobody waits for the thread. The check cannot close
// the window between itself and the interpreter's own (finalization may begin in between), so
// this function and every frame below it on such a thread must still let a forced unwind pass:
// no noexcept, no destructor that needs the rest of the process (a lock other threads wait for),
// and no catch-all but ORVANE_CATCH_ALL_BUT_FORCED_UNWIND (below).
void restore_thread(PyThreadState *state);

// A catch-all that lets a forced unwind pass. The interpreter ends a thread at exit (a daemon
// thread that asks for the GIL once finalization has begun: see restore_thread) with
// pthread_exit, which unwinds the thread's stack with an exception of its own type,
// abi::__forced_unwind, running destructors on the way. A catch (...) that swallows it aborts
// the process ("FATAL: exception not rethrown"), and one that maps it to a Python error touches
// the interpreter from a thread that does not hold the GIL. So every catch-all on a path that may
// call into Python (and so lose the GIL and be ended) is written
//
//     try {
//         ...
//     } ORVANE_CATCH_ALL_BUT_FORCED_UNWIND {
//         failure = caught_exception();  // every other exception, mapped as the site needs
//     }
//
// A forced unwind is rethrown as it is; every other exception enters the block that follows, an
// ordinary catch (...) block (`throw;` rethrows it, std::current_exception() takes it). Handlers
// of particular types may come before it. A macro, not a function that runs a callable: some of
// the guarded bodies are coroutine bodies, whose co_await cannot move into a callable.
#define ORVANE_CATCH_ALL_BUT_FORCED_UNWIND \
    catch (abi::__forced_unwind &) {       \
        throw;                             \
    }                                      \
    catch (...)

// Whether every value in `v` passes `leaf`, walking exact dicts with exact str keys, exact lists
// and exact tuples at most `max_depth` levels deep (anything else that fails `leaf` fails).
// Runs no Python code.
template <class Leaf>
bool all_leaves(PyObject *v, int max_depth, const Leaf &leaf, int depth = 0) {
    if (leaf(v))
        return true;
    if (depth >= max_depth)
        return false;
    if (PyDict_CheckExact(v)) {
        Py_ssize_t pos = 0;
        PyObject *k, *x;
        while (PyDict_Next(v, &pos, &k, &x))
            if (!PyUnicode_CheckExact(k) || !all_leaves(x, max_depth, leaf, depth + 1))
                return false;
        return true;
    }
    if (PyList_CheckExact(v) || PyTuple_CheckExact(v)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!all_leaves(PySequence_Fast_GET_ITEM(v, i), max_depth, leaf, depth + 1))
                return false;
        return true;
    }
    return false;
}

}  // namespace orvane::py
