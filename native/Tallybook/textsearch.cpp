#include "textsearch.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tally {

namespace {

// White space as str.isspace sees it (Py_UNICODE_ISSPACE).
bool is_space_cp(uint32_t c) {
    if (c < 0x80)
        return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20);
    switch (c) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

// Decodes the character starting at p (at most `n` bytes); returns its length, 0 when malformed.
size_t decode(const unsigned char *p, size_t n, uint32_t &cp) {
    unsigned char b = p[0];
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || len > n)
        return 0;
    cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    return len;
}

size_t leading_space(std::string_view t) {
    const auto *p = reinterpret_cast<const unsigned char *>(t.data());
    size_t i = 0;
    while (i < t.size()) {
        uint32_t cp;
        size_t len = decode(p + i, t.size() - i, cp);
        if (len == 0 || !is_space_cp(cp))
            break;
        i += len;
    }
    return i;
}

// Length of the trailing white space of t.
size_t trailing_space(std::string_view t) {
    const auto *p = reinterpret_cast<const unsigned char *>(t.data());
    size_t end = t.size();
    while (end > 0) {
        size_t start = end - 1;
        while (start > 0 && end - start < 4 && (p[start] & 0xC0) == 0x80)
            --start;
        uint32_t cp;
        size_t len = decode(p + start, end - start, cp);
        if (len != end - start || !is_space_cp(cp))
            break;
        end = start;
    }
    return t.size() - end;
}

size_t find_scalar(const char *h, size_t n, const char *nd, size_t m, size_t from) {
    std::string_view hv(h, n);
    size_t r = hv.find(std::string_view(nd, m), from);
    return r;
}

#if defined(__x86_64__)
// First/last byte filter over 32-byte blocks, then a check of the candidates.
__attribute__((target("avx2"))) bool contains_avx2(const char *h, size_t n, const char *nd, size_t m) {
    const __m256i first = _mm256_set1_epi8(nd[0]);
    const __m256i last = _mm256_set1_epi8(nd[m - 1]);
    size_t i = 0;
    for (; i + m - 1 + 32 <= n; i += 32) {
        __m256i bf = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(h + i));
        __m256i bl = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(h + i + m - 1));
        uint32_t mask = static_cast<uint32_t>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(first, bf), _mm256_cmpeq_epi8(last, bl))));
        while (mask != 0) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (m <= 2 || std::memcmp(h + i + bit + 1, nd + 1, m - 2) == 0)
                return true;
            mask &= mask - 1;
        }
    }
    return find_scalar(h, n, nd, m, i) != std::string_view::npos;
}
#endif

#if defined(__SSE2__)
bool contains_sse2(const char *h, size_t n, const char *nd, size_t m) {
    const __m128i first = _mm_set1_epi8(nd[0]);
    const __m128i last = _mm_set1_epi8(nd[m - 1]);
    size_t i = 0;
    for (; i + m - 1 + 16 <= n; i += 16) {
        __m128i bf = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h + i));
        __m128i bl = _mm_loadu_si128(reinterpret_cast<const __m128i *>(h + i + m - 1));
        unsigned mask = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(first, bf), _mm_cmpeq_epi8(last, bl))));
        while (mask != 0) {
            unsigned bit = static_cast<unsigned>(__builtin_ctz(mask));
            if (m <= 2 || std::memcmp(h + i + bit + 1, nd + 1, m - 2) == 0)
                return true;
            mask &= mask - 1;
        }
    }
    return find_scalar(h, n, nd, m, i) != std::string_view::npos;
}
#endif

}  // namespace

bool contains(std::string_view haystack, std::string_view needle) {
    size_t n = haystack.size(), m = needle.size();
    if (m == 0)
        return true;
    if (m > n)
        return false;
    if (m == 1)
        return std::memchr(haystack.data(), needle[0], n) != nullptr;
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        return contains_avx2(haystack.data(), n, needle.data(), m);
#endif
#if defined(__SSE2__)
    return contains_sse2(haystack.data(), n, needle.data(), m);
#else
    return haystack.find(needle) != std::string_view::npos;
#endif
}

void TrigramFilter::add_range(std::string_view text, size_t from, size_t to) {
    if (text.size() < 3)
        return;
    if (to > text.size() - 2)
        to = text.size() - 2;
    if (from >= to)
        return;
    if (bits_.empty())
        bits_.assign((size_t{1} << kBits) / 64, 0);
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    uint64_t *bits = bits_.data();
    for (size_t i = from; i < to; ++i) {
        unsigned h = slot(p[i], p[i + 1], p[i + 2]);
        bits[h >> 6] |= uint64_t{1} << (h & 63);
    }
}

bool TrigramFilter::may_contain(std::string_view needle) const {
    if (needle.size() < 3)
        return true;
    if (bits_.empty())
        return false;
    const auto *p = reinterpret_cast<const unsigned char *>(needle.data());
    for (size_t i = 0; i + 3 <= needle.size(); ++i) {
        unsigned h = slot(p[i], p[i + 1], p[i + 2]);
        if ((bits_[h >> 6] & (uint64_t{1} << (h & 63))) == 0)
            return false;
    }
    return true;
}

void rstrip_unicode(std::string &text, size_t floor) {
    std::string_view tail(text.data() + floor, text.size() - floor);
    text.resize(text.size() - trailing_space(tail));
}

void lstrip_unicode(std::string &text, size_t from) {
    std::string_view rest(text.data() + from, text.size() - from);
    size_t k = leading_space(rest);
    if (k != 0)
        text.erase(from, k);
}

std::string_view strip_unicode(std::string_view text) {
    size_t lead = leading_space(text);
    text.remove_prefix(lead);
    text.remove_suffix(trailing_space(text));
    return text;
}

}  // namespace tally
