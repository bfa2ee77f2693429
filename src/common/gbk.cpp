#include "common/gbk.h"

#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#ifndef _WIN32
#include <iconv.h>

#include <cerrno>
#endif

#include "common/os_headers.h"
#include "common/reversed_bytes.h"

// Windows' code page 936 is the table both platforms follow. On Windows the
// system converts; on Linux iconv's CP936 does, except for the 2149 double-byte
// codes that Windows maps to the private use area (U+E000..U+E864) and glibc
// refuses: those are converted here, exactly as Windows does.

namespace velmora {
namespace {

constexpr char32_t replacement_char = 0xFFFD;

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 character at s[i]; sets len to the bytes it took. Overlong
// forms, encoded surrogates and values past U+10FFFF are not characters: they
// give nullopt with len 1.
std::optional<char32_t> decode_utf8(std::string_view s, std::size_t i, std::size_t& len) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    char32_t cp = 0;
    len = 1;
    if (c < 0x80) return c;
    std::size_t n = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4;
        cp = c & 0x07;
    } else {
        return std::nullopt;
    }
    if (i + n > s.size()) return std::nullopt;
    for (std::size_t k = 1; k < n; ++k) {
        const unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return std::nullopt;
        cp = (cp << 6) | (t & 0x3F);
    }
    static constexpr char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < shortest[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    len = n;
    return cp;
}

bool is_lead_byte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }

// Index of the first byte at or after i that is not ASCII (n when none),
// many bytes at a time: the bulk of every script is ASCII.
inline std::size_t skip_ascii(const unsigned char* p, std::size_t i, std::size_t n) {
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        const int high = _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
        if (high != 0) return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(high)));
    }
#endif
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ull) break;
    }
    while (i < n && p[i] < 0x80) ++i;
    return i;
}

bool is_ascii(std::string_view s) {
    return skip_ascii(reinterpret_cast<const unsigned char*>(s.data()), 0, s.size()) == s.size();
}

#ifdef _WIN32

constexpr UINT gbk_code_page = 936;

// Strict: false on any sequence code page 936 does not define.
bool gbk_to_wide(std::string_view in, std::u16string& out) {
    out.clear();
    if (in.empty()) return true;
    if (in.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int n = MultiByteToWideChar(gbk_code_page, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                                      nullptr, 0);
    if (n <= 0) return false;
    out.resize(static_cast<std::size_t>(n));
    return MultiByteToWideChar(gbk_code_page, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()),
                               reinterpret_cast<LPWSTR>(out.data()), n) == n;
}

// Each undefined byte becomes U+FFFD and the next byte starts afresh, as the
// Linux conversion does.
std::u16string gbk_to_wide_lossy(std::string_view in) {
    std::u16string out;
    if (gbk_to_wide(in, out)) return out;
    out.clear();
    std::u16string one;
    std::size_t i = 0;
    while (i < in.size()) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        const std::size_t len = is_lead_byte(c) && i + 1 < in.size() ? 2 : 1;
        if (gbk_to_wide(in.substr(i, len), one)) {
            out += one;
            i += len;
        } else {
            out.push_back(static_cast<char16_t>(replacement_char));
            ++i;
        }
    }
    return out;
}

std::optional<std::string> wide_to_gbk(std::u16string_view in) {
    if (in.empty()) return std::string();
    if (in.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
    const auto* src = reinterpret_cast<LPCWSTR>(in.data());
    const int src_len = static_cast<int>(in.size());
    BOOL used_default = FALSE;
    const int n =
        WideCharToMultiByte(gbk_code_page, WC_NO_BEST_FIT_CHARS, src, src_len, nullptr, 0, nullptr, &used_default);
    if (n <= 0 || used_default) return std::nullopt;
    std::string out(static_cast<std::size_t>(n), '\0');
    if (WideCharToMultiByte(gbk_code_page, WC_NO_BEST_FIT_CHARS, src, src_len, out.data(), n, nullptr,
                            &used_default) != n ||
        used_default)
        return std::nullopt;
    // A few characters map to bytes that do not map back (U+F8F5 to a lone
    // 0xFF): only an exact round trip counts as a conversion.
    std::u16string back;
    if (!gbk_to_wide(out, back) || back != in) return std::nullopt;
    return out;
}

std::optional<std::u16string> utf8_to_utf16_strict(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t len = 0;
        auto cp = decode_utf8(s, i, len);
        if (!cp) return std::nullopt;
        if (*cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((*cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((*cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(*cp));
        }
        i += len;
    }
    return out;
}

#else

// The double-byte codes Windows maps to the private use area and glibc's CP936
// refuses. Three user-defined blocks follow a rule; the 255 codes of
// U+E766..U+E864 are listed as runs of consecutive codes, in code point order.
struct pua_run {
    std::uint16_t first_code;
    std::uint16_t count;
};
constexpr pua_run scattered_pua[] = {
    {0xA2AB, 6},  {0xA2E3, 2},  {0xA2EF, 2},  {0xA2FD, 2},  {0xA4F4, 11}, {0xA5F7, 8},  {0xA6B9, 8},
    {0xA6D9, 7},  {0xA6EC, 2},  {0xA6F3, 1},  {0xA6F6, 9},  {0xA7C2, 15}, {0xA7F2, 13}, {0xA896, 11},
    {0xA8BC, 1},  {0xA8BF, 1},  {0xA8C1, 4},  {0xA8EA, 21}, {0xA958, 1},  {0xA95B, 1},  {0xA95D, 3},
    {0xA989, 13}, {0xA997, 13}, {0xA9F0, 15}, {0xD7FA, 5},  {0xFE50, 47}, {0xFE80, 33},
};
constexpr char32_t scattered_pua_first = 0xE766;
constexpr char32_t pua_last = 0xE864;

// The code point Windows gives the double-byte code lead,trail where glibc
// has none; 0 for every other code.
char32_t pua_of(unsigned char lead, unsigned char trail) {
    if (lead >= 0xAA && lead <= 0xAF && trail >= 0xA1 && trail <= 0xFE)
        return 0xE000 + (lead - 0xAA) * 94 + (trail - 0xA1);
    if (lead >= 0xF8 && lead <= 0xFE && trail >= 0xA1 && trail <= 0xFE)
        return 0xE234 + (lead - 0xF8) * 94 + (trail - 0xA1);
    if (lead >= 0xA1 && lead <= 0xA7 && trail >= 0x40 && trail <= 0xA0 && trail != 0x7F)
        return 0xE4C6 + (lead - 0xA1) * 96 + (trail - 0x40) - (trail > 0x7F ? 1 : 0);
    const unsigned code = lead << 8 | trail;
    char32_t cp = scattered_pua_first;
    for (const pua_run& r : scattered_pua) {
        if (code >= r.first_code && code < r.first_code + r.count) return cp + (code - r.first_code);
        cp += r.count;
    }
    return 0;
}

// The reverse of pua_of: the double-byte code of a private use code point, 0
// where Windows has none.
unsigned code_of_pua(char32_t cp) {
    if (cp < 0xE000 || cp > pua_last) return 0;
    if (cp < 0xE234) return (0xAA + (cp - 0xE000) / 94) << 8 | (0xA1 + (cp - 0xE000) % 94);
    if (cp < 0xE4C6) return (0xF8 + (cp - 0xE234) / 94) << 8 | (0xA1 + (cp - 0xE234) % 94);
    if (cp < scattered_pua_first) {
        const unsigned t = 0x40 + (cp - 0xE4C6) % 96;
        return (0xA1 + (cp - 0xE4C6) / 96) << 8 | (t >= 0x7F ? t + 1 : t);
    }
    char32_t first = scattered_pua_first;
    for (const pua_run& r : scattered_pua) {
        if (cp < first + r.count) return r.first_code + (cp - first);
        first += r.count;
    }
    return 0;
}

// One converter per direction and thread: iconv_open is costly next to the
// conversion of a short statement.
class converter {
public:
    converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
    }
    converter(const converter&) = delete;
    converter& operator=(const converter&) = delete;

    // Appends the conversion of all of in to out; on an invalid or incomplete
    // sequence either fails (replacement empty) or appends replacement and
    // skips one input byte.
    bool run(std::string_view in, std::string& out, std::string_view replacement = {}) {
        if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
        if (in.empty()) return true;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        size_t src_left = in.size();
        std::string buf(in.size() * 4 + 16, '\0');
        size_t used = 0;
        while (src_left > 0) {
            char* dst = buf.data() + used;
            size_t dst_left = buf.size() - used;
            size_t r = iconv(cd_, &src, &src_left, &dst, &dst_left);
            used = buf.size() - dst_left;
            if (r != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) {
                buf.resize(buf.size() * 2);
                continue;
            }
            // EILSEQ or EINVAL: a byte sequence that has no meaning in the source.
            if (replacement.empty()) return false;
            if (buf.size() - used < replacement.size()) buf.resize(buf.size() * 2 + replacement.size());
            buf.replace(used, replacement.size(), replacement);
            used += replacement.size();
            ++src;
            --src_left;
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        }
        // Flush any shift state.
        char* dst = buf.data() + used;
        size_t dst_left = buf.size() - used;
        iconv(cd_, nullptr, nullptr, &dst, &dst_left);
        used = buf.size() - dst_left;
        out.append(buf.data(), used);
        return true;
    }

private:
    iconv_t cd_;
};

converter& gbk_to_utf8_converter() {
    thread_local converter c("UTF-8", "CP936");
    return c;
}

converter& utf8_to_gbk_converter() {
    thread_local converter c("CP936", "UTF-8");
    return c;
}

// GBK to UTF-8: iconv between the codes it lacks, which are converted here.
// Lead and trail bytes are paired as iconv pairs them, so the pieces meet at
// character boundaries.
bool gbk_to_utf8_windows_table(std::string_view in, std::string& out, std::string_view replacement) {
    out.clear();
    std::size_t piece = 0;
    std::size_t i = 0;
    while (i < in.size()) {
        const unsigned char c = static_cast<unsigned char>(in[i]);
        if (!is_lead_byte(c) || i + 1 == in.size()) {
            ++i;
            continue;
        }
        const char32_t cp = pua_of(c, static_cast<unsigned char>(in[i + 1]));
        if (cp != 0) {
            if (!gbk_to_utf8_converter().run(in.substr(piece, i - piece), out, replacement)) return false;
            append_utf8(out, cp);
            piece = i + 2;
        }
        i += 2;
    }
    return gbk_to_utf8_converter().run(in.substr(piece), out, replacement);
}

// UTF-8 to GBK likewise: the private use characters Windows maps are
// converted here, the rest by iconv (which refuses malformed UTF-8).
bool utf8_to_gbk_windows_table(std::string_view in, std::string& out) {
    out.clear();
    std::size_t piece = 0;
    std::size_t i = 0;
    while (i < in.size()) {
        // U+E000..U+E864 are EE 80 80 .. EE A1 A4; 0xEE never trails.
        if (static_cast<unsigned char>(in[i]) != 0xEE) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        const auto cp = decode_utf8(in, i, len);
        const unsigned code = cp ? code_of_pua(*cp) : 0;
        if (code != 0) {
            if (!utf8_to_gbk_converter().run(in.substr(piece, i - piece), out)) return false;
            out.push_back(static_cast<char>(code >> 8));
            out.push_back(static_cast<char>(code & 0xFF));
            piece = i + len;
        }
        i += len;
    }
    return utf8_to_gbk_converter().run(in.substr(piece), out);
}

#endif

}  // namespace

// Windows' code page 936 defines every pair of a lead byte (0x81..0xFE) and a
// trail byte (0x40..0x7E, 0x80..0xFE), and the single bytes below 0x81: the
// check needs no table, only the structure. A test holds it to the conversion
// for every one- and two-byte string.
bool is_valid_gbk(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    for (;;) {
        i = skip_ascii(p, i, n);
        if (i == n) return true;
        // A run of double-byte characters is taken pair by pair, without
        // looking for ASCII between them.
        do {
            if (p[i] == 0x80) {  // the euro sign stands alone
                ++i;
                continue;
            }
            if (p[i] == 0xFF || i + 1 == n) return false;
            const unsigned char trail = p[i + 1];
            if (trail < 0x40 || trail == 0x7F || trail == 0xFF) return false;
            i += 2;
        } while (i < n && p[i] >= 0x80);
    }
}

namespace {

#ifdef __SSE2__
// Whether sixteen bytes are whole characters that code page 936 has, where
// carry is 1 when the first of them is the trail byte of a lead byte before
// them; carry is then set for the sixteen that follow (1: the last byte is a
// lead byte whose trail comes next). False when the block needs a closer
// look: a NUL, a 0x80 (a character of its own), a 0xFF, or a lead byte
// before a byte below 0x80. Every run of bytes of 0x81 to 0xFE pairs up from
// its start, so a run of odd length ends in a lead byte. The runs of odd
// length are found as in bit-parallel scanners of escape sequences: a carry
// added at each run's start of one parity ends past the runs whose end has
// the other.
[[gnu::always_inline]] inline bool whole_characters16(__m128i v, unsigned& carry) {
    // Bytes 1 to 0x7F, as signed bytes above zero: the bulk of every script.
    const unsigned plain = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(v, _mm_setzero_si128())));
    if (carry == 0 && plain == 0xFFFFu) return true;
    unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v));
    if ((plain | high) != 0xFFFFu) return false;  // a NUL
    unsigned odd_bytes = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0x80))),
                                       _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(0xFF))))));
    if (carry != 0) {
        // The first byte completes a character: a trail byte of 0x40 to 0xFE but 0x7F.
        const unsigned trail = static_cast<unsigned>(_mm_cvtsi128_si32(v)) & 0xFFu;
        if (trail < 0x40 || trail == 0x7F || trail == 0xFF) return false;
        high &= ~1u;
        odd_bytes &= ~1u;
    }
    if (odd_bytes != 0) return false;
    constexpr unsigned even_bits = 0x5555u, odd_bits = 0xAAAAu, past_the_block = 0x10000u;
    const unsigned starts = high & ~(high << 1);
    const unsigned after_even_starts = ((starts & even_bits) + high) & ~high;
    const unsigned after_odd_starts = ((starts & odd_bits) + high) & ~high;
    if ((after_even_starts & odd_bits) != 0 || (after_odd_starts & even_bits) != 0) return false;
    carry = (after_odd_starts & past_the_block) != 0 ? 1 : 0;
    return true;
}

// How many of the sixteen bytes at p, which start a character, are whole
// characters: 16, 15 when the last one is a lead byte, 0 for a closer look.
std::size_t whole_characters16(const unsigned char* p) {
    unsigned carry = 0;
    if (!whole_characters16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), carry)) return 0;
    return carry != 0 ? 15 : 16;
}
#endif

}  // namespace

namespace {

// After the whole blocks: the bytes from i on, character by character, the
// first of them the trail byte of a lead byte before when carry is 1.
bool whole_characters_from(const unsigned char* p, std::size_t i, std::size_t n, unsigned carry) {
    if (carry != 0) {
        if (i == n || p[i] < 0x40 || p[i] == 0x7F || p[i] == 0xFF) return false;
        ++i;
    }
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c == 0) return false;
            ++i;
        } else if (c == 0x80) {
            ++i;
        } else if (c == 0xFF || i + 1 == n || p[i + 1] < 0x40 || p[i + 1] == 0x7F || p[i + 1] == 0xFF) {
            return false;
        } else {
            i += 2;
        }
    }
    return true;
}

#ifdef __SSE2__
// Sixteen bytes at a time from i: turned back into to, and checked while sure.
bool reverse_blocks16(const char* from, char* to, std::size_t n, std::size_t& i, unsigned& carry, bool sure) {
    for (; i + 16 <= n; i += 16) {
        const __m128i v = reversed16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(from + n - i - 16)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), v);
        if (sure) sure = whole_characters16(v, carry);
    }
    return sure;
}
#endif

#if defined(__x86_64__) && defined(__GNUC__)
// The same thirty-two bytes at a time, where the processor has AVX2.
#define VELMORA_AVX2 1
[[gnu::target("avx2")]] inline bool whole_characters32(__m256i v, unsigned& carry) {
    const std::uint64_t all = 0xFFFFFFFFu;
    const std::uint64_t plain =
        static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(v, _mm256_setzero_si256())));
    if (carry == 0 && plain == all) return true;
    std::uint64_t high = static_cast<std::uint32_t>(_mm256_movemask_epi8(v));
    if ((plain | high) != all) return false;  // a NUL
    std::uint64_t odd_bytes = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0x80))),
                                             _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(0xFF))))));
    if (carry != 0) {
        const unsigned trail = static_cast<unsigned>(_mm_cvtsi128_si32(_mm256_castsi256_si128(v))) & 0xFFu;
        if (trail < 0x40 || trail == 0x7F || trail == 0xFF) return false;
        high &= ~std::uint64_t{1};
        odd_bytes &= ~std::uint64_t{1};
    }
    if (odd_bytes != 0) return false;
    constexpr std::uint64_t even_bits = 0x55555555u, odd_bits = 0xAAAAAAAAu, past_the_block = std::uint64_t{1} << 32;
    const std::uint64_t starts = high & ~(high << 1);
    const std::uint64_t after_even_starts = ((starts & even_bits) + high) & ~high;
    const std::uint64_t after_odd_starts = ((starts & odd_bits) + high) & ~high;
    if ((after_even_starts & odd_bits) != 0 || (after_odd_starts & even_bits) != 0) return false;
    carry = (after_odd_starts & past_the_block) != 0 ? 1 : 0;
    return true;
}

[[gnu::target("avx2")]] bool reverse_blocks32(const char* from, char* to, std::size_t n, std::size_t& i,
                                              unsigned& carry, bool sure) {
    const __m256i backwards = _mm256_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12,
                                               11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    for (; i + 32 <= n; i += 32) {
        __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + n - i - 32));
        v = _mm256_permute4x64_epi64(_mm256_shuffle_epi8(v, backwards), 0x4E);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i), v);
        if (sure) sure = whole_characters32(v, carry);
    }
    return sure;
}
#endif

}  // namespace

gbk_text reverse_gbk_text(std::string_view stored, std::string& out) {
    const std::size_t n = stored.size();
    out.resize(n);
    // Each block is checked as it is written; what the blocks cannot say, the
    // text's own check does once it is whole.
    const char* from = stored.data();
    char* to = out.data();
    std::size_t i = 0;
    unsigned carry = 0;
    bool sure = true;
#ifdef VELMORA_AVX2
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) sure = reverse_blocks32(from, to, n, i, carry, sure);
#endif
#ifdef __SSE2__
    sure = reverse_blocks16(from, to, n, i, carry, sure);
#else
    sure = false;
#endif
    for (std::size_t k = i; k < n; ++k) to[k] = from[n - 1 - k];
    if (sure && whole_characters_from(reinterpret_cast<const unsigned char*>(to), i, n, carry))
        return gbk_text::sendable;
    return check_gbk_text(out);
}

gbk_text check_gbk_text(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    // A NUL is named before invalid GBK, wherever the two stand.
    auto invalid = [&] { return s.find('\0') != std::string_view::npos ? gbk_text::holds_nul : gbk_text::invalid; };
    std::size_t i = 0;
    for (;;) {
#ifdef __SSE2__
        while (i + 16 <= n) {
            const std::size_t whole = whole_characters16(p + i);
            if (whole == 0) break;
            i += whole;
        }
#endif
        // Character by character to the next block (or the end).
        const std::size_t stop = std::min(n, i + 16);
        while (i < stop) {
            const unsigned char c = p[i];
            if (c < 0x80) {
                if (c == 0) return gbk_text::holds_nul;
                ++i;
            } else if (c == 0x80) {  // the euro sign stands alone
                ++i;
            } else {
                if (c == 0xFF || i + 1 == n) return invalid();
                const unsigned char trail = p[i + 1];
                if (trail < 0x40 || trail == 0x7F || trail == 0xFF) return invalid();
                i += 2;
            }
        }
        if (i >= n) return gbk_text::sendable;
    }
}

#ifdef _WIN32

std::optional<std::u16string> gbk_to_utf16(std::string_view gbk) {
    std::u16string out;
    if (!gbk_to_wide(gbk, out)) return std::nullopt;
    return out;
}

std::optional<std::string> gbk_to_utf8(std::string_view gbk) {
    if (is_ascii(gbk)) return std::string(gbk);  // the same bytes in both
    auto wide = gbk_to_utf16(gbk);
    if (!wide) return std::nullopt;
    return utf16_to_utf8(*wide);
}

std::optional<std::string> utf8_to_gbk(std::string_view utf8) {
    auto wide = utf8_to_utf16_strict(utf8);
    if (!wide) return std::nullopt;
    return wide_to_gbk(*wide);
}

std::string gbk_to_utf8_lossy(std::string_view gbk) {
    if (is_ascii(gbk)) return std::string(gbk);
    return utf16_to_utf8(gbk_to_wide_lossy(gbk));
}

#else

std::optional<std::u16string> gbk_to_utf16(std::string_view gbk) {
    auto utf8 = gbk_to_utf8(gbk);
    if (!utf8) return std::nullopt;
    return utf8_to_utf16(*utf8);
}

std::optional<std::string> gbk_to_utf8(std::string_view gbk) {
    if (is_ascii(gbk)) return std::string(gbk);  // the same bytes in both
    std::string out;
    if (!gbk_to_utf8_windows_table(gbk, out, {})) return std::nullopt;
    return out;
}

std::optional<std::string> utf8_to_gbk(std::string_view utf8) {
    std::string out;
    if (!utf8_to_gbk_windows_table(utf8, out)) return std::nullopt;
    return out;
}

std::string gbk_to_utf8_lossy(std::string_view gbk) {
    if (is_ascii(gbk)) return std::string(gbk);
    std::string out;
    gbk_to_utf8_windows_table(gbk, out, "\xEF\xBF\xBD");
    return out;
}

#endif

std::optional<std::size_t> utf8_non_ascii_at(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t first = skip_ascii(p, 0, s.size());
    if (first == s.size()) return std::nullopt;
    for (std::size_t i = first; (i = skip_ascii(p, i, s.size())) < s.size();) {
        std::size_t len = 0;
        if (!decode_utf8(s, i, len)) return std::nullopt;
        i += len;
    }
    return first;
}

std::u16string utf8_to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t len = 0;
        // Each byte that does not start a character becomes one replacement character.
        const char32_t cp = decode_utf8(s, i, len).value_or(replacement_char);
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = replacement_char;
        }
        append_utf8(out, cp);
    }
    return out;
}

}  // namespace velmora
