// Helpers of the TraceDesk sources: the shared attribute and call helpers, and keyword-only
// argument parsing with CPython's wording.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

#include "orvane/outside.hpp"
#include "orvane/pyutil.hpp"

namespace orvane::desk {

namespace nb = nanobind;
using orvane::outside::Name;

using orvane::py::attr;
using orvane::py::call0;
using orvane::py::call1;
using orvane::py::call2;
using orvane::py::set_attr;
using orvane::py::truthy;

// Calls `callable` with the given values as keyword arguments (names in order).
nb::object call_kw(nb::handle callable, std::initializer_list<Name *> names,
                   std::initializer_list<PyObject *> values);

// Parses a keyword-only call: no positional arguments, only the listed names. `out` gets one
// borrowed pointer per name (nullptr when absent). A missing required name, an unknown name or a
// positional argument raises TypeError worded as CPython words it for `qualname`.
void parse_keyword_only(const char *qualname, const nb::args &args, const nb::kwargs &kwargs,
                        std::initializer_list<const char *> names, size_t required,
                        std::vector<PyObject *> &out);

}  // namespace orvane::desk
