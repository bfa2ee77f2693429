#pragma once
// Conversions at the edges between GBK (code page 936) byte strings, UTF-8 and
// UTF-16. Inside the program scripts and names stay GBK bytes.

#include <optional>
#include <string>
#include <string_view>

namespace velmora {

// True when every byte sequence of s converts under code page 936.
bool is_valid_gbk(std::string_view s);

// Text that can be sent as it is: no NUL byte (which the client stack takes
// for the text's end), and valid GBK. One pass over the bytes.
enum class gbk_text { sendable, holds_nul, invalid };
gbk_text check_gbk_text(std::string_view s);

// stored's bytes end first into out (reusing its storage), and what
// check_gbk_text says of them, checked as they are written.
gbk_text reverse_gbk_text(std::string_view stored, std::string& out);

// Where s's first non-ASCII character starts, when s is valid UTF-8 and holds
// one: text that reads as UTF-8 (and seldom also as GBK, whose characters
// rarely form valid UTF-8 sequences). nullopt for ASCII text and for text
// that is not valid UTF-8.
std::optional<std::size_t> utf8_non_ascii_at(std::string_view s);

// Strict conversions: nullopt when the input is not valid in its encoding.
std::optional<std::u16string> gbk_to_utf16(std::string_view gbk);
std::optional<std::string> gbk_to_utf8(std::string_view gbk);
std::optional<std::string> utf8_to_gbk(std::string_view utf8);

// For display only: invalid sequences become U+FFFD instead of failing.
std::string gbk_to_utf8_lossy(std::string_view gbk);

std::u16string utf8_to_utf16(std::string_view utf8);
std::string utf16_to_utf8(std::u16string_view utf16);

}  // namespace velmora
