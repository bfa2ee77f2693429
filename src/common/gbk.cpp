#include "gbk.h"

#include <iconv.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

namespace velmora {
namespace {

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

    // Converts all of in; on an invalid or incomplete sequence either fails
    // (replacement empty) or emits replacement and skips one input byte.
    bool run(std::string_view in, std::string& out, std::string_view replacement = {}) {
        out.clear();
        if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
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
        buf.resize(used);
        out = std::move(buf);
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

std::size_t ascii_prefix(std::string_view s) {
    return skip_ascii(reinterpret_cast<const unsigned char*>(s.data()), 0, s.size());
}

bool is_ascii(std::string_view s) { return ascii_prefix(s) == s.size(); }

// Which characters code page 936 has, learnt once from the converter itself,
// so that the quick check below and the conversion never disagree. A script
// is then checked at memory speed instead of being converted to be checked.
class gbk_characters {
public:
    gbk_characters() {
        iconv_t cd = iconv_open("UTF-8", "CP936");
        if (cd == reinterpret_cast<iconv_t>(-1)) return;
        for (int c = 0x80; c < 0x100; ++c) single_[c] = converts(cd, std::string(1, static_cast<char>(c)));
        // The pairs of one lead byte in one call; each refused pair is
        // noted and stepped over.
        for (int lead = 0x80; lead < 0x100; ++lead) {
            if (single_[lead]) continue;
            std::string pairs;
            for (int trail = 0; trail < 0x100; ++trail) {
                pairs += static_cast<char>(lead);
                pairs += static_cast<char>(trail);
            }
            std::size_t at = 0;
            while (at < pairs.size()) {
                const std::size_t stopped = convert_until_refused(cd, std::string_view(pairs).substr(at));
                if (stopped % 2 != 0) {  // not a two-byte code page after all: keep converting
                    iconv_close(cd);
                    return;
                }
                for (std::size_t k = at; k < at + stopped; k += 2) set_pair(lead, static_cast<unsigned char>(pairs[k + 1]));
                at += stopped + 2;  // past the refused pair (or the end)
            }
        }
        iconv_close(cd);
        ready_ = true;
    }

    // false when the converter could not be asked; callers then convert.
    bool ready() const { return ready_; }

    bool valid(std::string_view s) const {
        const auto* p = reinterpret_cast<const unsigned char*>(s.data());
        const std::size_t n = s.size();
        std::size_t i = 0;
        while (i < n) {
            i = skip_ascii(p, i, n);
            // Then the run of other characters, pair by pair.
            // (A byte that is a character by itself leads no pair.)
            while (i < n && p[i] >= 0x80) {
                const unsigned char c = p[i];
                if (i + 1 < n && pair(c, p[i + 1])) {
                    i += 2;
                } else if (single_[c]) {
                    ++i;
                } else {
                    return false;
                }
            }
        }
        return true;
    }

private:
    static bool converts(iconv_t cd, std::string_view in) { return convert_until_refused(cd, in) == in.size(); }

    // Bytes of in that convert before the first refused (or cut) sequence.
    static std::size_t convert_until_refused(iconv_t cd, std::string_view in) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char* src = const_cast<char*>(in.data());
        std::size_t src_left = in.size();
        char buf[4096];
        while (src_left > 0) {
            char* dst = buf;
            std::size_t dst_left = sizeof buf;
            if (iconv(cd, &src, &src_left, &dst, &dst_left) != static_cast<std::size_t>(-1)) break;
            if (errno != E2BIG) break;
        }
        return in.size() - src_left;
    }

    void set_pair(int lead, unsigned char trail) { pairs_[(lead - 0x80) * 32 + trail / 8] |= 1u << (trail % 8); }
    bool pair(unsigned char lead, unsigned char trail) const {
        return (pairs_[(lead - 0x80) * 32 + trail / 8] >> (trail % 8)) & 1u;
    }

    bool ready_ = false;
    std::array<bool, 256> single_{};
    std::array<std::uint8_t, 128 * 32> pairs_{};  // a bit per (lead 0x80..0xFF, trail)
};

}  // namespace

bool is_valid_gbk(std::string_view s) {
    // Pure ASCII is the common case for scripts and needs no table.
    const std::size_t i = ascii_prefix(s);
    if (i == s.size()) return true;
    static const gbk_characters table;
    if (table.ready()) return table.valid(s.substr(i));
    std::string out;
    return gbk_to_utf8_converter().run(s, out);
}

std::optional<std::string> gbk_to_utf8(std::string_view gbk) {
    if (is_ascii(gbk)) return std::string(gbk);  // the same bytes in both
    std::string out;
    if (!gbk_to_utf8_converter().run(gbk, out)) return std::nullopt;
    return out;
}

std::optional<std::u16string> gbk_to_utf16(std::string_view gbk) {
    auto utf8 = gbk_to_utf8(gbk);
    if (!utf8) return std::nullopt;
    return utf8_to_utf16(*utf8);
}

std::optional<std::string> utf8_to_gbk(std::string_view utf8) {
    std::string out;
    if (!utf8_to_gbk_converter().run(utf8, out)) return std::nullopt;
    return out;
}

std::string gbk_to_utf8_lossy(std::string_view gbk) {
    if (is_ascii(gbk)) return std::string(gbk);
    std::string out;
    gbk_to_utf8_converter().run(gbk, out, "\xEF\xBF\xBD");
    return out;
}

std::u16string utf8_to_utf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        char32_t cp = 0xFFFD;
        size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            len = 0;
        }
        bool ok = len > 0 && i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k) {
            unsigned char t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (t & 0x3F);
        }
        // Overlong forms, encoded surrogates and values past U+10FFFF are not
        // characters; each such lead byte becomes one replacement character.
        static constexpr char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (ok && len > 1 && (cp < shortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            ok = false;
        if (!ok) {
            cp = 0xFFFD;
            len = 1;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
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
    for (size_t i = 0; i < s.size(); ++i) {
        char32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
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
    return out;
}

}  // namespace velmora
