// Names from outside this extension (other modules of the package, the standard library) are
// exposed as attributes of the extension module at import and read back from the module's
// dictionary each time they are used, so a host or a test can replace them with monkeypatch
// exactly as it could in a Python module.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <utility>

namespace orvane::outside {

namespace nb = nanobind;

// An interned name, created on first use and kept for the life of the process. Every interned
// name of the modules is one of these; its prefix says how it is used (support.hpp).
class Name {
public:
    explicit constexpr Name(const char *text) : text_(text) {}
    PyObject *get() {
        if (obj_ == nullptr) [[unlikely]]
            intern();
        return obj_;
    }
    const char *text() const { return text_; }

private:
    void intern();
    const char *text_;
    PyObject *obj_ = nullptr;
};

namespace detail {
template <size_t N, size_t... I>
constexpr std::array<Name, N> names_of(const char *const (&texts)[N], std::index_sequence<I...>) {
    return {Name{texts[I]}...};
}
}  // namespace detail

// One Name per text of a table, in table order (for names a table declares).
template <size_t N>
constexpr std::array<Name, N> names_of(const char *const (&texts)[N]) {
    return detail::names_of(texts, std::make_index_sequence<N>());
}

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
