#include "gbk_text.h"

#include <algorithm>

namespace velmora::gbk_text {

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

namespace {

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
        while (boundary < hit) boundary += char_length(text, boundary);
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

}  // namespace velmora::gbk_text
