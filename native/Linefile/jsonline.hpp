// JSON text of plain Python data, byte for byte what
//     json.dumps(value, ensure_ascii=False).encode("utf-8")
// gives (default separators ", " and ": ", keys in mapping order, NaN/Infinity written as
// Python writes them), appended to a std::string.
//
// One deliberate difference: a lone surrogate code point (which json.dumps keeps as is, and
// which then has no UTF-8 encoding) is written as its JSON escape \udXXX, so the line stays valid
// UTF-8 and a JSON reader gets the same code point back.
//
// Exact dicts, lists and tuples, str, int, float (subclasses included), bool and None are
// encoded here; any other value makes the whole document go through the module's `json.dumps`
// (same result, or the same error) and is then converted to UTF-8 the same way.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace orvane::linefile {

namespace nb = nanobind;

// Appends the JSON text of `value` to `out`. Raises (nb::python_error) what json.dumps raises.
void append_json(nb::handle value, std::string &out);

// What DataFormatter.sanitize works with, taken from the host (borrowed references, valid for the
// duration of one call).
struct SanitizeRules {
    PyObject *secret_keys;       // keys masked, compared as key.casefold()
    PyObject *mask;              // value written for a secret key
    PyObject *recursion_marker;  // a container met again on its own path
    PyObject *depth_marker;      // a container nested MAX_DEPTH deep or deeper
    long long max_depth;
};

// Appends the JSON text of DataFormatter.sanitize(value) (the original rules: exact dicts with
// exact str keys, lists and tuples walked, values under secret keys masked, depth and recursion
// markers; str/int/float and their subclasses, bool and None kept), byte for byte what
// append_json(DataFormatter.sanitize(value)) gives. Returns false, with `out` unchanged, when
// `value` holds anything else (a pydantic model, another mapping, a non-str key, ...): the
// caller then takes the Python route.
bool append_sanitized_json(nb::handle value, const SanitizeRules &rules, std::string &out);

// Appends the UTF-8 form of `text`, each lone surrogate written as the escape \udXXX.
void append_utf8_escaping_surrogates(PyObject *text, std::string &out);

}  // namespace orvane::linefile
