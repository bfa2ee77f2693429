#pragma once
// Turns one packaged script into the statement that drops its old object and
// the statement that creates it again with " with ENCRYPTION " in its header.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora {

// The test that refused a script, in the order the tests are made.
enum class split_failure {
    none,             // both statements derived
    create_key,       // no "create " within the first 200 bytes of the trimmed script
    body_key,         // no "begin" in the create statement
    procedure_key,    // no "as" in the create statement's header
    batch_separator,  // no CR LF "go" before the create key, or it starts the script
};

// English name of the failed test, for tools and messages.
std::string_view describe(split_failure f);

// Where the builder cut a script: byte offsets into the script as given.
struct script_cuts {
    std::size_t create_at = 0;       // the create key: where the create statement starts
    std::size_t clause_at = 0;       // where the clause goes: the last "for" of the header, else its last "as"
    std::size_t keyword_length = 0;  // of that "for" (3) or "as" (2)
    std::size_t body_at = 0;         // the "begin" that ends the header
    std::size_t batch_at = 0;        // the CR LF "go" that ends the drop section
};

// Where the statement builder cuts a script, found without making its
// statements. Offsets are into the script as given.
struct script_cut {
    split_failure failure = split_failure::none;
    script_cuts cuts;           // as far as the failed test let them be found
    std::size_t source_at = 0;  // the script without its leading and trailing blanks
    std::size_t source_end = 0;
    std::size_t drop_end = 0;  // where the drop statement ends (when none failed)
};
script_cut cut_script(std::string_view script);

// The statements of a script that cut_script cut: the create statement
// (once the create key, body key and procedure key were found) and the drop
// statement (once every test passed).
std::string create_statement(std::string_view script, const script_cut& cut);
std::string drop_statement(std::string_view script, const script_cut& cut);

// as_create: on entry the script text; on success the create statement.
// as_drop: written only on success. On failure as_create may already hold a
// partly rewritten text, as the caller must not use it. cuts, when given, is
// set on success.
split_failure get_sql_go_checked(std::string& as_create, std::string& as_drop, script_cuts* cuts = nullptr);

// true when get_sql_go_checked derives both statements.
bool wf_get_sql_go(std::string& as_create, std::string& as_drop);

// The clause inserted into the create statement's header.
inline constexpr std::string_view encryption_clause = " with ENCRYPTION ";

}  // namespace velmora
