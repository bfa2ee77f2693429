#pragma once
// T-SQL read as the server reads it: enough to tell code from comments,
// strings and quoted names, and to take a statement's header apart token by
// token. Text is GBK: a double-byte character is stepped over whole, so its
// trail byte (which may be "[", "]", "'" or a letter) never ends a token.

#include <cstddef>
#include <cstring>
#include <string_view>

#include "common/gbk_search.h"

namespace velmora::tsql {

enum class region { code, comment, string, quoted_name };

// A character of a T-SQL word: letters, digits, _ @ # $ and every
// double-byte character, as identifiers may hold Chinese.
inline bool word_char(std::string_view s, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '@' ||
           c == '#' || c == '$' || c >= 0x80;
}

// Line feeds in s[from, to): a few per header, found by memchr.
inline std::size_t line_feeds(std::string_view s, std::size_t from, std::size_t to) {
    std::size_t n = 0;
    const char* const end = s.data() + to;
    for (const char* p = s.data() + from;; ++p, ++n) {
        p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (p == nullptr) return n;
    }
}

// Where the word that runs into byte `at` (a character boundary) from the
// left begins: `at` itself when the character before it is no word
// character. Words never span lines, so the line is walked from its start;
// what closes a comment, a string or a name is no word character, so a word
// in code never reaches back into one.
inline std::size_t word_start_before(std::string_view s, std::size_t at) {
    const std::size_t line_feed = at == 0 ? std::string_view::npos : s.rfind('\n', at - 1);
    std::size_t start = line_feed == std::string_view::npos ? 0 : line_feed + 1;
    for (std::size_t k = start; k < at;) {
        const std::size_t next = k + gbk_search::char_length(s, k);
        if (!word_char(s, k)) start = next;
        k = next;
    }
    return start;
}

// The lexical state between tokens, stepped one character (or two-character
// token) at a time: -- comments to the line feed, nested /* */ comments,
// '' strings and [] "" names with their closing character doubled.
class region_lexer {
public:
    explicit region_lexer(std::string_view s) : s_(s) {}

    // Past the character or two-character token at i, in the state it leaves.
    std::size_t step(std::size_t i) {
        const char c = s_[i];
        // Most of a text is code without anything that opens a comment, a
        // string or a name.
        if (state_ == region::code && c != '-' && c != '/' && c != '\'' && c != '[' && c != '"')
            return i + gbk_search::char_length(s_, i);
        return step_slow(i);
    }
    // Steps from `from` up to `to` (a character boundary); the state there.
    region run(std::size_t from, std::size_t to) {
        std::size_t i = from;
        while (i < to) i = step(i);
        return state_;
    }
    region state() const { return state_; }

private:
    std::size_t step_slow(std::size_t i);
    std::size_t enter(region r, std::size_t next, char close);

    std::string_view s_;
    region state_ = region::code;
    char close_ = 0;  // '\n' for a line comment, '*' for a block comment, else the closing quote
    int depth_ = 0;
};

struct token {
    enum class kind { word, variable, quoted_name, string, number, symbol, end } what = kind::end;
    std::size_t begin = 0;  // byte offsets into the text
    std::size_t end = 0;
    std::size_t line = 0;  // 1-based line of the text
    std::string_view text;

    // A word equal to keyword (upper case ASCII) in any letter case.
    bool is(std::string_view keyword) const;
    bool is_symbol(char c) const { return what == kind::symbol && text.size() == 1 && text[0] == c; }
};

// The tokens of a text from a character boundary on, blanks, line ends and
// comments skipped. N'...' is one string token.
class tokenizer {
public:
    tokenizer(std::string_view s, std::size_t from, std::size_t line) : s_(s), at_(from), line_(line) {}
    token next();

private:
    void skip_space();

    std::string_view s_;
    std::size_t at_;
    std::size_t line_;
};

}  // namespace velmora::tsql
