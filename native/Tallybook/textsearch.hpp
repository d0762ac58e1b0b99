// Plain text helpers of the run search: substring search over UTF-8 (white space as Python sees
// it is orvane/searchtext.hpp's).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <cstdint>
#include <vector>

namespace tally {

// A fixed-size hashed set of byte trigrams: `may_contain(needle)` is false only when some trigram
// of the needle was never added, i.e. the needle cannot occur in the text that was added.
class TrigramFilter {
public:
    // Adds the trigrams of `text` that start at positions [from, to).
    void add_range(std::string_view text, size_t from, size_t to);
    bool may_contain(std::string_view needle) const;
    void clear() { std::vector<uint64_t>().swap(bits_); }

private:
    static constexpr unsigned kBits = 12;  // 4096 bits, 512 bytes once used
    std::vector<uint64_t> bits_;
    static unsigned slot(unsigned char a, unsigned char b, unsigned char c) {
        uint32_t t = (uint32_t{a} << 16) | (uint32_t{b} << 8) | c;
        return (t * 2654435761u) >> (32 - kBits);
    }
};

// True when `needle` occurs in `haystack` (byte-wise; for valid UTF-8 this is the same as a
// substring test on the code points).
bool contains(std::string_view haystack, std::string_view needle);

}  // namespace tally
