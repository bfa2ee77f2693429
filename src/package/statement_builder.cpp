#include "statement_builder.h"

#include "gbk_text.h"

namespace velmora {

namespace {

constexpr std::string_view create_key = "create ";
constexpr std::size_t head_length = 200;
constexpr std::string_view body_key = "begin";
constexpr std::string_view procedure_key = "as";
constexpr std::string_view trigger_key = "for";
constexpr std::string_view batch_separator = "\r\ngo";

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

split_failure get_sql_go_checked(std::string& as_create, std::string& as_drop) {
    const std::string source(trim_blanks(as_create));

    // The create key must lie whole within the head of the trimmed script.
    std::string head = gbk_text::ascii_lower(std::string_view(source).substr(0, head_length));
    const std::size_t create_at = gbk_text::find(head, create_key);
    if (create_at == gbk_text::npos) return split_failure::create_key;

    // The create statement runs from the key to the very end of the script.
    as_create = source.substr(create_at);
    const std::string lower_create = gbk_text::ascii_lower(as_create);
    const std::size_t begin_at = gbk_text::find(lower_create, body_key);
    if (begin_at == gbk_text::npos) return split_failure::body_key;

    // The header is everything before "begin"; the clause goes in front of
    // its last "for" if it has one, else in front of its last "as".
    const std::string_view lower_header = std::string_view(lower_create).substr(0, begin_at);
    const std::size_t as_at = gbk_text::rfind(lower_header, procedure_key);
    if (as_at == gbk_text::npos) return split_failure::procedure_key;
    const std::size_t for_at = gbk_text::rfind(lower_header, trigger_key);
    const std::size_t insert_at = for_at != gbk_text::npos ? for_at : as_at;
    as_create.insert(insert_at, encryption_clause);

    // The drop section ends before the first CR LF "go" ahead of the create key.
    head.resize(create_at);
    const std::size_t separator_at = gbk_text::find(head, batch_separator);
    if (separator_at == gbk_text::npos || separator_at == 0) return split_failure::batch_separator;

    as_drop = source.substr(0, separator_at);
    return split_failure::none;
}

bool wf_get_sql_go(std::string& as_create, std::string& as_drop) {
    return get_sql_go_checked(as_create, as_drop) == split_failure::none;
}

}  // namespace velmora
