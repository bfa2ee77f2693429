#pragma once
// After a pass: does every object the package run created stand on the
// server, encrypted? The statement builder finds its keywords by their
// letters, so a clause that landed inside a comment gives an object the
// server accepted without encryption, and nothing else would tell.

#include <string>
#include <string_view>
#include <vector>

#include "package/package_runner.h"
#include "session/database_session.h"

namespace velmora {

struct object_verification {
    enum class outcome {
        passed,    // every object created is there and encrypted
        failed,    // one is missing or not encrypted
        not_made,  // the server's answer could not be had
    } how = outcome::passed;
    long error_number = 0;  // for not_made
    std::string error;      // for not_made
};

// Asks the server, in one batch on the session's current database, about
// every record of run that was executed, and records each answer in the
// record (record_result::verified). Nothing is asked, and passed returned,
// when no object was created. The objects stay as they are.
object_verification verify_created_objects(database_session& sqlca, run_outcome& run);

// An object as a create statement names it (UTF-8, brackets and owner as
// written), and whether it is a database DDL trigger, which OBJECT_ID and
// OBJECTPROPERTY do not see: it is found in sys.triggers (parent class 0,
// the database) by its name alone, and its definition in sys.sql_modules is
// NULL when it is encrypted.
struct created_object {
    std::string name;
    bool database_trigger = false;
};

// The batch that asks: one select per object, each giving 1 (encrypted), 0
// (not encrypted) or NULL (no such object).
std::string encryption_query(const std::vector<created_object>& objects);

// The batch that asks whether each object exists: one select per object,
// giving its object id or NULL.
std::string existence_query(const std::vector<created_object>& objects);

// A one-part name without its quotes: [a]]b] is a]b, "x""y" is x"y.
std::string unquoted_name(std::string_view name);

}  // namespace velmora
