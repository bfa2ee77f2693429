#include "gbk.h"

#include <iconv.h>

#include <cerrno>
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

}  // namespace

bool is_valid_gbk(std::string_view s) {
    // Pure ASCII is the common case for scripts and needs no converter.
    bool ascii = true;
    for (unsigned char c : s)
        if (c >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii) return true;
    std::string out;
    return gbk_to_utf8_converter().run(s, out);
}

std::optional<std::string> gbk_to_utf8(std::string_view gbk) {
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
