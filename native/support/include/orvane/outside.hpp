// Names from outside this extension (other modules of the package, the standard library) are
// exposed as attributes of the extension module at import and read back from the module's
// dictionary each time they are used, so a host or a test can replace them with monkeypatch
// exactly as it could in a Python module.
#pragma once

#include <nanobind/nanobind.h>

namespace orvane::outside {

namespace nb = nanobind;

// An interned attribute name, created on first use.
class Name {
public:
    explicit constexpr Name(const char *text) : text_(text) {}
    PyObject *get();
    const char *text() const { return text_; }

private:
    const char *text_;
    PyObject *obj_ = nullptr;
};

// Remembers `m` as the module whose dictionary `get` reads. Call first thing in NB_MODULE.
void bind_module(nb::module_ &m);

// Imports `module_name` and stores it (or its attribute `attr`) in the bound module as `as`.
void expose(nb::module_ &m, const char *as, const char *module_name, const char *attr = nullptr);

// The current value of the bound module's global `name` (AttributeError when it was deleted).
nb::object get(Name &name);
nb::object get(const char *name);

// Shorthands for the clocks, read through the module's `time` at every call.
double time_time();
double time_monotonic();

}  // namespace orvane::outside
