// Python classes whose methods are C++ functions.
//
// nanobind types cannot take a custom metaclass, so classes that must behave as abc classes
// (or that Python code subclasses freely) are made by calling the metaclass from C++ with a
// namespace of C++ functions; instance state then lives in the instance __dict__.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::abc {

namespace nb = nanobind;

// abc.ABCMeta(name, bases, namespace), with __module__ and __qualname__ filled in.
nb::object make_class(const char *module, const char *name, nb::tuple bases, nb::dict ns);

// Wraps a method so that abc counts it as abstract (__isabstractmethod__ is True) while it still
// binds to instances and can be called, e.g. through super().
nb::object abstract_method(nb::object func);

// Registers the helper type in module `m` (once, at module init).
void init(nb::module_ &m);

}  // namespace orvane::abc
