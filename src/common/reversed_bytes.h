#pragma once
// Bytes end first, many at a step: a package stores every script reversed,
// and reading or writing one reverses every byte of it.

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <cstdint>
#include <cstring>
#include <string_view>

namespace velmora {

#ifdef __SSE2__
// Sixteen bytes in reverse order: swapped within each 16-bit word, then the
// words reversed.
inline __m128i reversed16(__m128i v) {
    v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
    v = _mm_shufflelo_epi16(v, 0x1B);
    v = _mm_shufflehi_epi16(v, 0x1B);
    return _mm_shuffle_epi32(v, 0x4E);
}
#endif

// Writes bytes end first into to[0, bytes.size()).
inline void reverse_into(char* to, std::string_view bytes) {
    const char* from = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + n - i - 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), reversed16(v));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, from + n - i - 8, 8);
        word = __builtin_bswap64(word);
        std::memcpy(to + i, &word, 8);
    }
    for (; i < n; ++i) to[i] = from[n - 1 - i];
}

}  // namespace velmora
