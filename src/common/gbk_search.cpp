#include "common/gbk_search.h"

#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>

namespace velmora::gbk_search {

namespace {

// A..Z lowered in eight bytes at once; bytes of 0x80 and above (every byte
// of a double-byte character) are never touched.
std::uint64_t lower_eight(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101ull, high = 0x8080808080808080ull;
    const std::uint64_t low7 = w & ~high;
    const std::uint64_t from_a = low7 + (0x80 - 'A') * ones;  // high bit set where >= 'A'
    const std::uint64_t past_z = low7 + (0x7F - 'Z') * ones;  // high bit set where > 'Z'
    const std::uint64_t upper = ~w & (from_a ^ past_z) & high;
    return w | (upper >> 2);  // 0x80 >> 2 is the 0x20 between the cases
}

}  // namespace

std::string ascii_lower(std::string_view text) {
    const std::size_t n = text.size();
    std::string out(n, '\0');
    const char* from = text.data();
    char* to = out.data();
    std::size_t i = 0;
#ifdef __SSE2__
    // Sixteen at once: A..Z moved to the bottom of the signed range are the
    // bytes below -128 + 26.
    const __m128i shift = _mm_set1_epi8(static_cast<char>('A' + 128));
    const __m128i below = _mm_set1_epi8(static_cast<char>(-128 + 26));
    const __m128i case_bit = _mm_set1_epi8(0x20);
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
        const __m128i upper = _mm_cmplt_epi8(_mm_sub_epi8(v, shift), below);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), _mm_or_si128(v, _mm_and_si128(upper, case_bit)));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, from + i, 8);
        w = lower_eight(w);
        std::memcpy(to + i, &w, 8);
    }
    for (; i < n; ++i) {
        const char c = from[i];
        to[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

namespace {

// The first byte at or after i and before end that is not ASCII (end when
// none): ASCII bytes are characters of their own, and most of a script is
// ASCII, so the walk over character starts takes them many at a time.
std::size_t past_ascii(std::string_view text, std::size_t i, std::size_t end) {
    const char* p = text.data();
#ifdef __SSE2__
    for (; i + 16 <= end; i += 16) {
        const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        if (high != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(high)));
    }
#endif
    while (i < end && static_cast<unsigned char>(p[i]) < 0x80) ++i;
    return i;
}

// Finds matches with the ordinary byte search and walks the character
// boundaries only up to each candidate, so the whole search stays one pass.
// Calls on_match(i) for every match at a boundary i, in order, until it
// returns false.
template <typename OnMatch>
void for_each_match(std::string_view text, std::string_view needle, OnMatch&& on_match) {
    if (needle.empty() || needle.size() > text.size()) return;
    std::size_t boundary = 0;  // always a character start
    std::size_t from = 0;
    for (;;) {
        const std::size_t hit = text.find(needle, from);
        if (hit == std::string_view::npos) return;
        while (boundary < hit) {
            boundary = past_ascii(text, boundary, hit);
            if (boundary < hit) boundary += char_length(text, boundary);
        }
        if (boundary == hit) {
            if (!on_match(hit)) return;
            from = hit + 1;
        } else {
            // The hit began on a trail byte; the next candidate is at or after
            // the character start just past it.
            from = boundary;
        }
    }
}

}  // namespace

std::size_t find(std::string_view text, std::string_view needle) {
    std::size_t found = npos;
    for_each_match(text, needle, [&](std::size_t i) {
        found = i;
        return false;
    });
    return found;
}

std::size_t rfind(std::string_view text, std::string_view needle) {
    std::size_t found = npos;
    for_each_match(text, needle, [&](std::size_t i) {
        found = i;
        return true;
    });
    return found;
}

}  // namespace velmora::gbk_search
