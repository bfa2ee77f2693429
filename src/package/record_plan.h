#pragma once
// What happens to one package record under a given session driver: it is
// executed (with its drop and create statements), skipped for its interface
// tag, or refused because it could never reach the server as written. The
// runner and the dry run of the package tool both ask this one function, so
// they cannot disagree.

#include <string>
#include <string_view>

namespace velmora {

struct record_plan {
    enum class action { execute, skip, refuse } what = action::skip;
    // For a refusal: why, in English ("statement builder: body key", "holds a NUL byte", ...).
    std::string reason;
    // For execute, when asked for: the two statements as GBK bytes, exactly
    // as the statement builder gives them.
    std::string drop;
    std::string create;
    // For execute, with the statements: the object the create statement
    // creates, as written there (GBK).
    std::string object_name;
    // For execute, when the clause would not encrypt the object: where it
    // lands instead (English). The record still runs as the builder made it.
    std::string without_encryption;
    // For execute, when every SQL Server would refuse the create statement:
    // why, naming the line and the fix (English). The record still runs as
    // the builder made it.
    std::string fails_on_server;
    // For execute: the create statement makes a database DDL trigger.
    bool database_trigger = false;
};

// name and stored_body as they lie in the package (the body reversed).
// statements: whether to make the drop and create statements and read the
// object's name; a dry run that only tells what would happen needs none.
// scratch: for a run without the statements, a buffer the caller keeps from
// record to record, so a package is checked without an allocation per record.
record_plan plan_record(std::string_view driver, std::string_view name, std::string_view stored_body,
                        bool statements = true, std::string* scratch = nullptr);

}  // namespace velmora
