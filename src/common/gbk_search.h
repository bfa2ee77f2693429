#pragma once
// Searching GBK (code page 936) byte strings for ASCII keywords without ever
// matching across a double-byte character. A character is a lead byte
// (0x81..0xFE) followed by a trail byte (0x40..0x7E, 0x80..0xFE), or any other
// single byte; a lead byte without a valid trail byte stands alone.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::gbk_search {

inline constexpr std::size_t npos = std::string_view::npos;

inline bool is_lead_byte(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
inline bool is_trail_byte(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFE); }

// Length in bytes (1 or 2) of the character that starts at byte i of text.
inline std::size_t char_length(std::string_view text, std::size_t i) {
    if (is_lead_byte(static_cast<unsigned char>(text[i])) && i + 1 < text.size() &&
        is_trail_byte(static_cast<unsigned char>(text[i + 1])))
        return 2;
    return 1;
}

// Copy with the single-byte letters A..Z lowered; every other byte, the bytes
// of double-byte characters included, is kept. Positions stay the same.
std::string ascii_lower(std::string_view text);

// Byte index of the first occurrence of needle in text that starts on a
// character boundary, or npos. text itself must start on a boundary.
std::size_t find(std::string_view text, std::string_view needle);

// Byte index of the last occurrence of needle that starts on a character
// boundary, or npos.
std::size_t rfind(std::string_view text, std::string_view needle);

}  // namespace velmora::gbk_search
