#pragma once
// One statement of the upgrade whose outcome matters: it did its work, it
// found its work already done on an earlier run, or it failed.

#include <initializer_list>
#include <string>

#include "common/progress.h"
#include "common/ui_services.h"
#include "session/database_session.h"

namespace velmora {

struct step_result {
    std::string step;  // what the step does, in the operator's words (UTF-8)
    // planned: a rehearsal's step, which would be sent.
    enum class status { done, already_applied, failed, planned } outcome = status::done;
    long native_error = 0;   // the server's error number when it did not do its work
    std::string error_text;  // the server's text when it did not do its work
    std::string statement;   // what was sent
    double seconds = 0;      // the statement and its commit
};

struct step_definition {
    const char* name;       // shown to the operator
    const char* statement;  // sent as it stands
    // Server errors that mean the step's work was done on an earlier run
    // (2705: the column exists; 2627/2601: the row exists). They stay silent.
    std::initializer_list<long> already_applied;
};

// Runs the statement and commits, as every built-in change is committed on
// its own. A failure that is not "already applied" is shown in a box titled
// gs_appname naming the database and the step, with the server's text; a
// broken connection is left for the caller to report once.
step_result apply_step(database_session& sqlca, ui_services& ui, const step_definition& step, const std::string& database,
                       progress_sink* progress = nullptr);

}  // namespace velmora
