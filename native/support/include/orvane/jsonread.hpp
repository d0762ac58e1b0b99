// Python values from JSON text this package wrote itself.
//
// parse() reads one JSON value (RFC 8259) into the objects the JSON-mode validation of a field
// typed Any gives for it: dict (keys in text order, the last of duplicate keys kept), list, str,
// int (any size), float, True/False/None. It gives an empty object -- nothing set in Python's error
// indicator -- for anything it does not read exactly as that validation would: text that is not
// JSON, trailing text, a lone surrogate escape, a float that overflows, nesting deeper than 200,
// an integer Python refuses to convert. The caller then takes the validating route, which gives
// the exact result or the exact error.
//
// GIL held.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>

namespace orvane::jsonread {

namespace nb = nanobind;

nb::object parse(std::string_view text);

// The object at the start of `text`, with its members checked against `fields`: a tuple of
// (name, kind) pairs in the order the object must give them. Kinds: 0 any value, 1 str,
// 2 str or null, 3 int (no fraction or exponent), 4 object, 5 null (the member may be left out:
// then it is `absent`, counted as given, when that is a value other than None, else None and not
// counted). Gives (dict of every field, keyed by the names of `fields`, set of the names given) or
// an empty object where the text does not fit.
nb::object fields_of(std::string_view text, nb::handle fields, nb::handle absent = nb::handle());

}  // namespace orvane::jsonread
