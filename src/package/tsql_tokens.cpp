#include "package/tsql_tokens.h"

#include "common/gbk_search.h"

namespace velmora::tsql {

namespace {

using gbk_search::char_length;

constexpr char line_comment = '\n';
constexpr char block_comment = '*';

bool at(std::string_view s, std::size_t i, char c) { return i < s.size() && s[i] == c; }

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

bool word_start(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '#' || c >= 0x80;
}

}  // namespace

std::size_t region_lexer::enter(region r, std::size_t next, char close) {
    state_ = r;
    close_ = close;
    return next;
}

std::size_t region_lexer::step_slow(std::size_t i) {
    switch (state_) {
        case region::code:
            if (s_[i] == '-' && at(s_, i + 1, '-')) return enter(region::comment, i + 2, line_comment);
            if (s_[i] == '/' && at(s_, i + 1, '*')) {
                depth_ = 1;
                return enter(region::comment, i + 2, block_comment);
            }
            if (s_[i] == '\'') return enter(region::string, i + 1, '\'');
            if (s_[i] == '[') return enter(region::quoted_name, i + 1, ']');
            if (s_[i] == '"') return enter(region::quoted_name, i + 1, '"');
            break;
        case region::comment:
            if (close_ == line_comment) {
                if (s_[i] == '\n') state_ = region::code;
            } else if (s_[i] == '/' && at(s_, i + 1, '*')) {
                ++depth_;
                return i + 2;
            } else if (s_[i] == '*' && at(s_, i + 1, '/')) {
                if (--depth_ == 0) state_ = region::code;
                return i + 2;
            }
            break;
        case region::string:
        case region::quoted_name:
            // The closing character doubled stands for itself.
            if (s_[i] == close_) {
                if (at(s_, i + 1, close_)) return i + 2;
                state_ = region::code;
            }
            break;
    }
    return i + char_length(s_, i);
}

bool token::is(std::string_view keyword) const {
    if (what != kind::word || text.size() != keyword.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != keyword[i]) return false;
    }
    return true;
}

void tokenizer::skip_space() {
    while (at_ < s_.size()) {
        const char c = s_[at_];
        if (blank(c)) {
            if (c == '\n') ++line_;
            ++at_;
        } else if ((c == '-' && at(s_, at_ + 1, '-')) || (c == '/' && at(s_, at_ + 1, '*'))) {
            region_lexer lexer(s_);
            std::size_t i = lexer.step(at_);
            while (i < s_.size() && lexer.state() != region::code) {
                if (s_[i] == '\n') ++line_;
                i = lexer.step(i);
            }
            at_ = i;
        } else {
            break;
        }
    }
}

token tokenizer::next() {
    skip_space();
    token t;
    t.begin = at_;
    t.line = line_;
    if (at_ >= s_.size()) {
        t.end = at_;
        return t;
    }
    const unsigned char c = static_cast<unsigned char>(s_[at_]);
    std::size_t i = at_;
    auto closed = [&](token::kind k, std::size_t from) {
        // A string or quoted name: through its closing character, line ends counted.
        region_lexer lexer(s_);
        std::size_t j = lexer.step(from);
        while (j < s_.size() && lexer.state() != region::code) {
            if (s_[j] == '\n') ++line_;
            j = lexer.step(j);
        }
        t.what = k;
        return j;
    };
    if (c == '\'' || c == '[' || c == '"') {
        i = closed(c == '\'' ? token::kind::string : token::kind::quoted_name, i);
    } else if ((c == 'N' || c == 'n') && at(s_, i + 1, '\'')) {
        i = closed(token::kind::string, i + 1);
    } else if (c == '@') {
        t.what = token::kind::variable;
        ++i;
        while (i < s_.size() && word_char(s_, i)) i += char_length(s_, i);
    } else if (c >= '0' && c <= '9') {
        t.what = token::kind::number;
        while (i < s_.size() && (word_char(s_, i) || s_[i] == '.')) i += char_length(s_, i);
    } else if (word_start(c)) {
        t.what = token::kind::word;
        while (i < s_.size() && word_char(s_, i)) i += char_length(s_, i);
    } else {
        t.what = token::kind::symbol;
        i += char_length(s_, i);
    }
    t.end = at_ = i;
    t.text = s_.substr(t.begin, t.end - t.begin);
    return t;
}

}  // namespace velmora::tsql
