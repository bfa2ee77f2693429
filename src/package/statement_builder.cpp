#include "package/statement_builder.h"

#include "common/gbk_search.h"

#include <algorithm>
#include <utility>

namespace velmora {

namespace {

constexpr std::string_view create_key = "create ";
constexpr std::size_t head_length = 200;
constexpr std::string_view body_key = "begin";
constexpr std::string_view procedure_key = "as";
constexpr std::string_view trigger_key = "for";
constexpr std::string_view batch_separator = "\r\ngo";
// Bytes of the create statement lowered first in the search for its body
// key; a header is rarely longer.
constexpr std::size_t header_guess = 256;

// Only the blank is trimmed; tabs and line ends at either end stay.
std::string_view trim_blanks(std::string_view s) {
    const std::size_t first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string_view describe(split_failure f) {
    switch (f) {
        case split_failure::none: return "none";
        case split_failure::create_key: return "create key";
        case split_failure::body_key: return "body key";
        case split_failure::procedure_key: return "procedure key";
        case split_failure::batch_separator: return "batch separator";
    }
    return "unknown";
}

script_cut cut_script(std::string_view script) {
    script_cut cut;
    // Offsets are into the script as given, trimmed or not.
    const std::string_view source = trim_blanks(script);
    const std::size_t offset = static_cast<std::size_t>(source.data() - script.data());
    cut.source_at = offset;
    cut.source_end = offset + source.size();

    // The create key must lie whole within the head of the trimmed script.
    std::string head = gbk_search::ascii_lower(source.substr(0, head_length));
    const std::size_t create_at = gbk_search::find(head, create_key);
    if (create_at == gbk_search::npos) {
        cut.failure = split_failure::create_key;
        return cut;
    }
    cut.cuts.create_at = offset + create_at;

    // The create statement runs from the key to the very end of the script.
    // Only its header, up to the first "begin", is ever searched, so only a
    // prefix is lowered, grown until it shows the key: a match inside a
    // prefix lies on the same character boundary as in the whole text.
    const std::string_view create = source.substr(create_at);
    std::string lower_header;
    std::size_t begin_at = gbk_search::npos;
    for (std::size_t length = std::min(create.size(), header_guess);; length = std::min(create.size(), length * 4)) {
        lower_header = gbk_search::ascii_lower(create.substr(0, length));
        begin_at = gbk_search::find(lower_header, body_key);
        if (begin_at != gbk_search::npos || length == create.size()) break;
    }
    if (begin_at == gbk_search::npos) {
        cut.failure = split_failure::body_key;
        return cut;
    }
    cut.cuts.body_at = cut.cuts.create_at + begin_at;
    lower_header.resize(begin_at);

    // The header is everything before "begin"; the clause goes in front of
    // its last "for" if it has one, else in front of its last "as".
    const std::size_t as_at = gbk_search::rfind(lower_header, procedure_key);
    if (as_at == gbk_search::npos) {
        cut.failure = split_failure::procedure_key;
        return cut;
    }
    const std::size_t for_at = gbk_search::rfind(lower_header, trigger_key);
    cut.cuts.clause_at = cut.cuts.create_at + (for_at != gbk_search::npos ? for_at : as_at);
    cut.cuts.keyword_length = for_at != gbk_search::npos ? trigger_key.size() : procedure_key.size();

    // The drop section ends before the first CR LF "go" ahead of the create key.
    head.resize(create_at);
    const std::size_t separator_at = gbk_search::find(head, batch_separator);
    if (separator_at == gbk_search::npos || separator_at == 0) {
        cut.failure = split_failure::batch_separator;
        return cut;
    }
    cut.drop_end = cut.cuts.batch_at = offset + separator_at;
    return cut;
}

std::string create_statement(std::string_view script, const script_cut& cut) {
    const script_cuts& c = cut.cuts;
    std::string statement;
    statement.reserve(cut.source_end - c.create_at + encryption_clause.size());
    statement.append(script.substr(c.create_at, c.clause_at - c.create_at))
        .append(encryption_clause)
        .append(script.substr(c.clause_at, cut.source_end - c.clause_at));
    return statement;
}

std::string drop_statement(std::string_view script, const script_cut& cut) {
    return std::string(script.substr(cut.source_at, cut.drop_end - cut.source_at));
}

split_failure get_sql_go_checked(std::string& as_create, std::string& as_drop, script_cuts* cuts) {
    const script_cut cut = cut_script(as_create);
    // A refusal leaves in as_create what the steps so far made of it.
    switch (cut.failure) {
        case split_failure::create_key: return cut.failure;
        case split_failure::body_key:
        case split_failure::procedure_key:
            as_create = as_create.substr(cut.cuts.create_at, cut.source_end - cut.cuts.create_at);
            return cut.failure;
        case split_failure::batch_separator:
        case split_failure::none: break;
    }
    std::string statement = create_statement(as_create, cut);
    if (cut.failure == split_failure::none) {
        as_drop = drop_statement(as_create, cut);
        if (cuts) *cuts = cut.cuts;
    }
    as_create = std::move(statement);
    return cut.failure;
}

bool wf_get_sql_go(std::string& as_create, std::string& as_drop) {
    return get_sql_go_checked(as_create, as_drop) == split_failure::none;
}

}  // namespace velmora
