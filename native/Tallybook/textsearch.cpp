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

}  // namespace tally
