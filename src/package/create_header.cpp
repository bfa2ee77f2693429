#include "package/create_header.h"

#include <algorithm>

#include "common/gbk_search.h"

namespace velmora {

namespace {

using gbk_search::char_length;

// A character of a T-SQL word: letters, digits, _ @ # $ and every
// double-byte character, as identifiers may hold Chinese.
bool word_char(std::string_view s, std::size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '@' ||
           c == '#' || c == '$' || c >= 0x80;
}

bool at(std::string_view s, std::size_t i, char c) { return i < s.size() && s[i] == c; }

// T-SQL's lexical states between tokens, enough to tell code from what is not.
class header_lexer {
public:
    using where = clause_placement::where;

    explicit header_lexer(std::string_view s) : s_(s) {}

    // Lexes from `from` up to `to` (a character boundary) and says what `to` lies in.
    where run(std::size_t from, std::size_t to) {
        std::size_t i = from;
        while (i < to) i = step(i);
        return state_;
    }

    // Past the character or two-character token at i, in the state it leaves.
    std::size_t step(std::size_t i) {
        switch (state_) {
            case where::code:
                if (s_[i] == '-' && at(s_, i + 1, '-')) return enter(where::comment, i + 2, line_comment);
                if (s_[i] == '/' && at(s_, i + 1, '*')) {
                    depth_ = 1;
                    return enter(where::comment, i + 2, block_comment);
                }
                if (s_[i] == '\'') return enter(where::string, i + 1, '\'');
                if (s_[i] == '[') return enter(where::quoted_name, i + 1, ']');
                if (s_[i] == '"') return enter(where::quoted_name, i + 1, '"');
                break;
            case where::comment:
                if (close_ == line_comment) {
                    if (s_[i] == '\n') state_ = where::code;
                } else if (s_[i] == '/' && at(s_, i + 1, '*')) {
                    ++depth_;
                    return i + 2;
                } else if (s_[i] == '*' && at(s_, i + 1, '/')) {
                    if (--depth_ == 0) state_ = where::code;
                    return i + 2;
                }
                break;
            case where::string:
            case where::quoted_name:
                // The closing character doubled stands for itself.
                if (s_[i] == close_) {
                    if (at(s_, i + 1, close_)) return i + 2;
                    state_ = where::code;
                }
                break;
            case where::word: break;
        }
        return i + char_length(s_, i);
    }

    where state() const { return state_; }

private:
    static constexpr char line_comment = '\n';
    static constexpr char block_comment = '*';

    std::size_t enter(where w, std::size_t next, char close) {
        state_ = w;
        close_ = close;
        return next;
    }

    std::string_view s_;
    where state_ = where::code;
    char close_ = 0;
    int depth_ = 0;
};

// Past blanks, line ends and comments from i.
std::size_t skip_space(std::string_view s, std::size_t i) {
    while (i < s.size()) {
        if (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n') {
            ++i;
        } else if ((s[i] == '-' && at(s, i + 1, '-')) || (s[i] == '/' && at(s, i + 1, '*'))) {
            header_lexer lexer(s);
            i = lexer.step(i);
            while (i < s.size() && lexer.state() != clause_placement::where::code) i = lexer.step(i);
        } else {
            break;
        }
    }
    return i;
}

// Past the word at i.
std::size_t skip_word(std::string_view s, std::size_t i) {
    while (i < s.size() && word_char(s, i)) i += char_length(s, i);
    return i;
}

// Past one part of a name at i: [quoted]], "quoted""", or a plain word.
std::size_t skip_name_part(std::string_view s, std::size_t i) {
    if (i >= s.size() || (s[i] != '[' && s[i] != '"')) return skip_word(s, i);
    header_lexer lexer(s);
    i = lexer.step(i);
    while (i < s.size() && lexer.state() != clause_placement::where::code) i = lexer.step(i);
    return i;
}

}  // namespace

clause_placement place_clause(std::string_view script, const script_cuts& cuts) {
    clause_placement p;
    p.line = 1 + static_cast<std::size_t>(std::count(script.begin(), script.begin() + static_cast<long>(cuts.clause_at), '\n'));
    header_lexer lexer(script);
    // Where the word that ends at the clause begins, when one does.
    std::size_t word_start = cuts.clause_at;
    for (std::size_t i = cuts.create_at; i < cuts.clause_at;) {
        const bool in_code = lexer.state() == clause_placement::where::code;
        const std::size_t next = lexer.step(i);
        if (!in_code || !word_char(script, i)) word_start = cuts.clause_at;
        else if (word_start == cuts.clause_at) word_start = i;
        i = next;
    }
    p.at = lexer.state();
    if (p.at != clause_placement::where::code) return p;
    const std::size_t keyword_end = cuts.clause_at + cuts.keyword_length;
    const bool longer = keyword_end < script.size() && word_char(script, keyword_end);
    if (word_start != cuts.clause_at || longer) {
        p.at = clause_placement::where::word;
        p.word = std::string(script.substr(word_start, skip_word(script, keyword_end) - word_start));
    }
    return p;
}

std::optional<clause_placement> place_clause(std::string_view script) {
    std::string create(script), drop;
    script_cuts cuts;
    if (get_sql_go_checked(create, drop, &cuts) != split_failure::none) return std::nullopt;
    return place_clause(script, cuts);
}

std::string describe(const clause_placement& p) {
    std::string where;
    switch (p.at) {
        case clause_placement::where::code: return {};
        case clause_placement::where::comment: where = "inside a comment"; break;
        case clause_placement::where::string: where = "inside a string"; break;
        case clause_placement::where::quoted_name: where = "inside a quoted name"; break;
        case clause_placement::where::word: where = "inside the word \"" + p.word + "\""; break;
    }
    return "line " + std::to_string(p.line) + ": \"" + std::string(encryption_clause) + "\" would land " + where;
}

std::string describe_zh(const clause_placement& p) {
    std::string where;
    switch (p.at) {
        case clause_placement::where::code: return {};
        case clause_placement::where::comment: where = "注释中"; break;
        case clause_placement::where::string: where = "字符串中"; break;
        case clause_placement::where::quoted_name: where = "带引号的名称中"; break;
        case clause_placement::where::word: where = "单词“" + p.word + "”中"; break;
    }
    return "第 " + std::to_string(p.line) + " 行：插入的“" + std::string(encryption_clause) + "”会落在" + where +
           "，对象将不加密创建";
}

std::string created_object_name(std::string_view create) {
    // "create", the object's kind, then the name in its parts.
    std::size_t i = skip_word(create, 0);
    i = skip_word(create, skip_space(create, i));
    const std::size_t start = skip_space(create, i);
    std::size_t end = start;
    for (;;) {
        end = skip_name_part(create, end);
        if (!at(create, end, '.')) break;
        ++end;  // "db..name" leaves a part out
    }
    return std::string(create.substr(start, end - start));
}

}  // namespace velmora
