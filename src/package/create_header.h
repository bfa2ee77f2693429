#pragma once
// The create statement's header read as the server reads it, T-SQL tokens and
// all: whether the clause the statement builder inserts stands where it
// encrypts the object, and the name of the object the statement creates.
// The builder finds its keywords by their letters alone, so "as" inside a
// comment, a string, a quoted name or a longer word ("was") takes the clause
// too; the server then creates the object without encryption.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "package/statement_builder.h"

namespace velmora {

struct clause_placement {
    // code: the clause stands before the keyword itself, and encrypts.
    enum class where { code, comment, string, quoted_name, word } at = where::code;
    std::size_t line = 0;  // 1-based line of the script where the clause goes
    std::string word;      // for word: the word the keyword belongs to (GBK)
    bool encrypts() const { return at == where::code; }
};

// Where the clause lands in script, which the statement builder cut as cuts
// says: its header is lexed from the create key on (-- and nested /* */
// comments, '' strings, [] and "" names).
clause_placement place_clause(std::string_view script, const script_cuts& cuts);

// The same for a script the statement builder accepts; nullopt when it
// refuses it.
std::optional<clause_placement> place_clause(std::string_view script);

// In English: `line 3: " with ENCRYPTION " would land inside a comment`.
std::string describe(const clause_placement& placement);
// In Chinese, for the builder's message.
std::string describe_zh(const clause_placement& placement);

// The name of the object a create statement creates, as it is written there,
// brackets and owner included ("[dbo].[p_x]", "dbo.p_x", "p_x"): the words
// after "create" and the object's kind. GBK; empty when there is none.
std::string created_object_name(std::string_view create_statement);

}  // namespace velmora
