#pragma once
// The operator's one command: upgrade the configured database and, when the
// login found it, the special customer database on the same server.

#include <string>
#include <vector>

#include "package_runner.h"
#include "sqlca.h"
#include "ui_services.h"

namespace velmora {

struct upgrade_report {
    int passes = 0;
    bool refused = false;  // the built-in upgrade refused in at least one pass
    std::vector<run_outcome> package_runs;  // one per pass when the package ran

    // True when the operator was shown a refusal or a package failure.
    bool failed() const;
};

// Runs the command on a logged-in session. The caller disables its button
// afterwards; nothing here is reported beyond what the operator is shown.
upgrade_report run_upgrade_command(transaction& sqlca, ui_services& ui, const std::string& run_dir,
                                   bool cbx_proc_checked, bool ib_brenholt, const std::string& is_brenholt);

}  // namespace velmora
