// Keyword arguments of the facade: parsing keyword-only calls with CPython's wording, calling
// outside code by keyword, and the checks of typed keyword values.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <utility>
#include <vector>

#include "orvane/outside.hpp"

namespace orvane::desk {

namespace nb = nanobind;
using orvane::outside::Name;

// Parses a keyword-only call: no positional arguments, only the listed names. `out` gets one
// borrowed pointer per name (nullptr when absent), valid while `kwargs` lives. A missing required
// name (the first `required` ones are required), an unknown name or a positional argument raises
// TypeError worded as CPython words it for `qualname`.
void parse_keyword_only(const char *qualname, const nb::args &args, const nb::kwargs &kwargs,
                        std::initializer_list<const char *> names, size_t required,
                        std::vector<PyObject *> &out);

// Calls `callable` with the given (name, value) pairs as keyword arguments, in that order.
nb::object call_kw(nb::handle callable, std::initializer_list<std::pair<Name *, nb::handle>> kws);

// The same with the pairs given at run time.
nb::object call_kw(nb::handle callable, const std::vector<std::pair<Name *, nb::handle>> &kws);

// An integer argument that may be None: an int (bool included, as isinstance(v, int) says) or
// None; anything else, a float included, is the house type error naming `arg`. An int beyond the
// 64-bit range is clamped to it, which keeps the meaning of a limit (a count that large cannot be
// reached); a bound compared against values that may lie beyond it needs the Python int itself.
std::optional<int64_t> int_or_none(nb::handle value, const char *arg);

// The same check without the conversion (the value is passed on as it is).
void require_int_or_none(nb::handle value, const char *arg);

}  // namespace orvane::desk
