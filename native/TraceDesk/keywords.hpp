// Keyword arguments of the facade: parsing keyword-only calls with CPython's wording. (Calls by
// keyword and the checks of typed values are the support library's: orvane::py::call_kw,
// orvane::args.)
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <vector>

namespace orvane::desk {

namespace nb = nanobind;

// Parses a keyword-only call: no positional arguments, only the listed names. `out` gets one
// borrowed pointer per name (nullptr when absent), valid while `kwargs` lives. A missing required
// name (the first `required` ones are required), an unknown name or a positional argument raises
// TypeError worded as CPython words it for `qualname`.
void parse_keyword_only(const char *qualname, const nb::args &args, const nb::kwargs &kwargs,
                        std::initializer_list<const char *> names, size_t required,
                        std::vector<PyObject *> &out);

}  // namespace orvane::desk
