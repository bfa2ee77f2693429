#include "package/create_header.h"

#include <algorithm>

#include "common/gbk_search.h"
#include "package/tsql_tokens.h"

namespace velmora {

namespace {

using gbk_search::char_length;
using tsql::word_char;

clause_placement::where where_of(tsql::region r) {
    switch (r) {
        case tsql::region::code: break;
        case tsql::region::comment: return clause_placement::where::comment;
        case tsql::region::string: return clause_placement::where::string;
        case tsql::region::quoted_name: return clause_placement::where::quoted_name;
    }
    return clause_placement::where::code;
}

// Past the word at i.
std::size_t skip_word(std::string_view s, std::size_t i) {
    while (i < s.size() && word_char(s, i)) i += char_length(s, i);
    return i;
}

}  // namespace

clause_placement place_clause(std::string_view script, const script_cuts& cuts) {
    clause_placement p;
    p.line = 1 + tsql::line_feeds(script, 0, cuts.clause_at);
    p.at = where_of(tsql::region_lexer(script).run(cuts.create_at, cuts.clause_at));
    if (p.at != clause_placement::where::code) return p;
    const std::size_t word_start = std::max(cuts.create_at, tsql::word_start_before(script, cuts.clause_at));
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
    using kind = tsql::token::kind;
    // "create", "or alter" when there, the object's kind, then the name in its parts.
    tsql::tokenizer tokens(create, 0, 1);
    tokens.next();
    tsql::token t = tokens.next();
    if (t.is("OR")) {
        tokens.next();
        tokens.next();
    }
    std::string name;
    t = tokens.next();
    while (t.what == kind::word || t.what == kind::quoted_name) {
        name += t.text;
        t = tokens.next();
        if (!t.is_symbol('.')) break;
        // Blanks around the dots are the server's to skip; "db..name" leaves a part out.
        for (; t.is_symbol('.'); t = tokens.next()) name += '.';
    }
    return name;
}

}  // namespace velmora
