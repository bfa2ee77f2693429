#pragma once
// The operator's one command: upgrade the configured database and, when the
// login found it, the special customer database on the same server.

#include <optional>
#include <string>
#include <vector>

#include "common/ui_services.h"
#include "package/package_runner.h"
#include "session/connect_db.h"
#include "session/database_session.h"
#include "upgrade/builtin_upgrade.h"
#include "upgrade/object_verification.h"
#include "upgrade/server_facts.h"
#include "upgrade/upgrade_step.h"

namespace velmora {

// A full backup of each database before its pass changes anything.
struct backup_options {
    std::string folder;  // on the server; empty for the server's default backup folder
    // The backup and its verification each: a shop's database takes minutes
    // at most, but a slow disk must not cost the upgrade its backup.
    int timeout_seconds = 3600;
};

// The backup of database that --backup takes now, on the server as far as it
// is known (a server that did not tell its version counts as SQL Server 2005,
// the first with COPY_ONLY).
backup_plan plan_backup_now(const backup_options& backup, const std::string& database,
                            const std::optional<server_version>& server);

struct upgrade_options {
    std::string run_dir;             // where db.dat is read, ending in a separator
    bool run_package = true;         // the "Proc&Trigger" check box
    special_database_probe special;  // what the login found out about the special database
    progress_sink* progress = nullptr;  // hears where the run stands, when given
    std::optional<backup_options> backup = {};  // --backup: none from the window
};

// What one pass did to its database.
struct pass_report {
    std::string database;  // the database meant, as the server spells it when known
    enum class ending {
        completed,        // every step ran (each step's own outcome is in steps)
        not_confirmed,    // the current database could not be asked for
        wrong_database,   // the session was in another database than the one meant
        system_database,  // the database meant is master, model, msdb or tempdb
        locked,           // another workstation is upgrading it
        connection_lost,  // the server went away or stopped answering mid-pass
        backup_failed,    // the backup asked for failed or did not verify: nothing was changed
    } how = ending::completed;
    std::vector<step_result> steps;  // the date row, then the built-in changes
    bool builtin_refused = false;    // another dated upgrade on record ("提示")
    std::optional<run_outcome> package;
    // Whether the objects the package created are there and encrypted; set
    // when it created any.
    std::optional<object_verification> verification;
    double seconds = 0;
    // The other sessions in the database when the pass began; unknown when
    // the server could not say.
    std::optional<std::vector<other_session>> other_sessions;

    // The backup taken before the pass changed anything (--backup).
    struct backup_taken {
        std::string file;  // where the server wrote it; the name asked for when it failed
        std::uint64_t bytes = 0;
        double seconds = 0;
        bool verified = false;
        bool copy_only = true;  // false on SQL Server 2000: a full backup in the shop's chain
        std::string restore;    // the statement that puts the database back
        long error_number = 0;  // when it failed or did not verify
        std::string error;
    };
    std::optional<backup_taken> backup;

    // What a rehearsal (--plan) read beside what the pass would do.
    struct rehearsal {
        std::optional<std::string> upgrade_date;      // "UPGRADE_DATE" as recorded; none without a row
        std::optional<std::string> database_version;  // "DataBase_Version" as recorded
        std::string system_values_error;  // why the two could not be read, when they could not
        std::optional<bool> lock_free;  // the upgrade lock could be taken now; unknown when the test failed
        // Why the lock was not tested, when the server has no means to (no
        // APPLOCK_TEST before SQL Server 2005); the plan is not failed for it.
        std::string lock_untested;
        std::string problem;            // why the pass would stop, in the server's words when it gave any
        last_backup_read last_backup;   // the last full backup on record
        // With --backup: the file it would write, and the folder when the
        // server tells it (always with --backup-to).
        std::optional<std::string> backup_file;
        std::optional<std::string> backup_folder;
    };
    std::optional<rehearsal> rehearsed;
};

struct upgrade_report {
    bool plan = false;  // a rehearsal: what would be done, nothing done
    // Set when the package was checked before anything ran and found unusable:
    // nothing at all was sent to any database.
    std::optional<package_load::status> package_problem;
    std::vector<pass_report> passes;
    // The login's lookup of the special database failed: whether the server
    // holds it is not known, and no pass ran in it.
    bool special_lookup_failed = false;
    std::string special_lookup_error;
    // The switch to the special database failed; its pass did not run.
    bool special_switch_failed = false;
    std::string special_switch_error;
    std::string package_message;  // what the operator was told about the package, when it was unusable
    // The server's version, as a plan asks it, or a run before its backups.
    std::optional<server_version> server;

    // True unless every step did its work in every database meant.
    bool failed() const;
    // Carries the login's failed lookup of the special database, if it failed.
    void note_special_lookup(const special_database_probe& special);
};

// Runs the command on a logged-in session. The caller disables its button
// afterwards. The operator is shown what went wrong as it happens.
upgrade_report run_upgrade_command(database_session& sqlca, ui_services& ui, const upgrade_options& options);

}  // namespace velmora
