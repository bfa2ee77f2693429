#pragma once
// After a pass: does every object the package run created stand on the
// server, encrypted? The statement builder finds its keywords by their
// letters, so a clause that landed inside a comment gives an object the
// server accepted without encryption, and nothing else would tell.

#include <string>

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

// The batch that asks: one select per object name (UTF-8 text, the names as
// the create statements write them), each giving 1 (encrypted), 0 (not
// encrypted) or NULL (no such object).
std::string encryption_query(const std::vector<std::string>& object_names);

}  // namespace velmora
