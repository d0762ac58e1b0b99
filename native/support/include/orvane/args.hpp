// Argument checks shared by every binding. The wording of the type error is part of the public
// behaviour: "Argument '<name>' has incorrect type (expected <type>, got <type>)".
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvane::args {

namespace nb = nanobind;

// Raises TypeError with the house wording.
[[noreturn]] void raise_incorrect_type(const char *arg, const char *expected, nb::handle got);

// `value` must be an instance of `type` (or None when `none_ok`).
void require(nb::handle value, PyTypeObject *type, const char *arg, bool none_ok = false);

inline void require_str(nb::handle value, const char *arg, bool none_ok = false) {
    if (PyUnicode_Check(value.ptr()) || (none_ok && value.is_none()))
        return;
    raise_incorrect_type(arg, "str", value);
}

inline void require_list(nb::handle value, const char *arg, bool none_ok = false) {
    if (PyList_Check(value.ptr()) || (none_ok && value.is_none()))
        return;
    raise_incorrect_type(arg, "list", value);
}

// An int argument (bool included, as isinstance(value, int) says), or None when `none_ok`; a
// float is refused, not truncated.
inline void require_int(nb::handle value, const char *arg, bool none_ok = false) {
    if (PyLong_Check(value.ptr()) || (none_ok && value.is_none()))
        return;
    raise_incorrect_type(arg, "int", value);
}

// An int-or-None argument (require_int) as int64, nullopt for None. An int beyond the 64-bit range
// is clamped to it, which keeps the meaning of a limit or of a bound compared against 64-bit
// values (a count that large cannot be reached, a time that far cannot be held).
std::optional<int64_t> int_or_none(nb::handle value, const char *arg);

// Returns the text of a str argument (or nullopt for None when allowed).
std::optional<std::string_view> str_view(nb::handle value, const char *arg, bool none_ok = false);

// An integer argument: int (bool included) as is, other real numbers truncated toward zero
// (float, or anything with __index__/__float__); anything else is a type error naming `arg`.
// NaN raises ValueError and out-of-range values OverflowError, as int() would.
int64_t to_int64(nb::handle value, const char *arg);
std::optional<int64_t> to_int64_or_none(nb::handle value, const char *arg);

// Same conversion, keeping Python's unbounded integer (returns an int object).
nb::object to_pyint(nb::handle value, const char *arg);

}  // namespace orvane::args
