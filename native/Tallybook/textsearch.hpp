// Plain text helpers of the run search: substring search over UTF-8 and Python's notion of white
// space (str.strip / str.isspace) on UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tally {

// True when `needle` occurs in `haystack` (byte-wise; for valid UTF-8 this is the same as a
// substring test on the code points).
bool contains(std::string_view haystack, std::string_view needle);

// Removes trailing / leading characters for which Python's str.isspace is true.
void rstrip_unicode(std::string &text, size_t floor = 0);
void lstrip_unicode(std::string &text, size_t from = 0);

// Python's str.strip on UTF-8 text.
std::string_view strip_unicode(std::string_view text);

}  // namespace tally
