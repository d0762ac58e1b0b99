// Search text normalisation shared by the run store and the facade's event search.
//
// The normalised text of a value is:
//   None            -> ""
//   str             -> str.casefold()
//   anything else   -> json.dumps(value, ensure_ascii=False, sort_keys=True, default=str).casefold()
// as UTF-8.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <string_view>

namespace orvane::search {

namespace nb = nanobind;

// Appends the normalised text of `value` to `out`.
void append_normalized(nb::handle value, std::string &out);

inline std::string normalized(nb::handle value) {
    std::string out;
    append_normalized(value, out);
    return out;
}

// Full Unicode case folding of UTF-8 text (str.casefold), e.g. for a search needle.
std::string casefold(std::string_view utf8);

}  // namespace orvane::search
