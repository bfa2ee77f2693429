#pragma once
// What the upgrade command and its rehearsal (--plan) judge a pass by, so
// that the two cannot disagree.

#include <string>
#include <string_view>

namespace velmora::pass_rules {

inline char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Names and keys compare as the server's default collation does: ASCII
// letters without case, trailing blanks ignored.
inline bool same_text(std::string_view a, std::string_view b) {
    while (!a.empty() && a.back() == ' ') a.remove_suffix(1);
    while (!b.empty() && b.back() == ' ') b.remove_suffix(1);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

inline bool same_database(std::string_view a, std::string_view b) { return same_text(a, b); }

inline bool is_system_database(std::string_view name) {
    for (std::string_view system : {"master", "model", "msdb", "tempdb"})
        if (same_database(name, system)) return true;
    return false;
}

// A T-SQL Unicode literal of text: N'...' with its quotes doubled.
inline std::string unicode_literal(std::string_view text) {
    std::string out = "N'";
    for (char c : text) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

// A name as one T-SQL identifier: [name] with "]" doubled.
inline std::string bracketed(std::string_view name) {
    std::string out = "[";
    for (char c : name) {
        out += c;
        if (c == ']') out += ']';
    }
    return out + "]";
}

// The application lock each pass holds in its database.
inline constexpr std::string_view upgrade_lock = "velmora_db_upgrade";

}  // namespace velmora::pass_rules
