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

// Appends the UTF-8 form of `text`, each lone surrogate written as the escape \udXXX.
void append_utf8_escaping_surrogates(PyObject *text, std::string &out);

}  // namespace orvane::linefile
