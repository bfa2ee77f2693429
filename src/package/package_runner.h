#pragma once
// The "put" run: re-creates every procedure and trigger of db.dat on the session.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/progress.h"
#include "common/sql_executor.h"
#include "common/ui_services.h"

namespace velmora {

// What became of one record of the package.
struct record_result {
    enum class action { executed, skipped, refused, failed } what = action::skipped;
    std::string name;    // GBK bytes, as packaged
    std::string detail;  // refusal reason (English) or the failure's error text (UTF-8)
    long error_number = 0;  // for a failed record: the server's number for the failure, 0 when none
    // For an executed or failed record: the object its create statement
    // names (GBK, as written there), and, when the clause would not encrypt
    // it, where the clause lands instead (English).
    std::string object_name;
    std::string without_encryption;
    // When every SQL Server would refuse the create statement: why (English).
    std::string fails_on_server;
    // The object is a database DDL trigger, which OBJECT_ID does not see.
    bool database_trigger = false;
    // For an executed record, once the pass has asked the server about it.
    enum class check { not_asked, encrypted, not_encrypted, missing, unnamed } verified = check::not_asked;
    // In a rehearsal: whether the object exists on the server now, when asked.
    std::optional<bool> exists;
    // In a rehearsal: whether the target server, asked to parse the create
    // statement (SET PARSEONLY), took it. A
    // refusal makes the record failed, with the server's number and text.
    enum class parse { not_asked, accepted, refused } parsed = parse::not_asked;
    double seconds = 0;  // time spent replacing the object
    // For a failed record: the commit or the rollback that ended its
    // transaction failed, so which object the server holds, the old or the
    // new, is not known. Otherwise a failed record left the old object.
    bool object_unknown = false;
};

struct run_outcome {
    enum class ending { package_missing, package_unreadable, package_damaged, create_failed, completed } how =
        ending::completed;
    int executed = 0, skipped = 0, refused = 0;
    // Every record handled, in package order; the run's last record is the
    // failed one when it ended at a failing create.
    std::vector<record_result> records;
};

// db.dat read and checked whole, before anything is sent anywhere.
struct package_load {
    enum class status { ok, missing, not_a_file, unreadable, too_large, damaged } what = status::ok;
    std::string bytes;    // the whole package when ok
    std::string message;  // what the operator is told when not ok (UTF-8)
};
package_load load_package(const std::string& run_dir);

// Reads run_dir + "db.dat", validates it whole, and replaces each object
// meant for the session's driver, with the operator's messages.
// progress, when given, hears of each record as it is taken up.
run_outcome run_package(const std::string& run_dir, sql_executor& session, ui_services& ui,
                        progress_sink* progress = nullptr);

// The same run over a package already read into memory. Each object's drop
// and create run in one transaction of their own, committed when the create
// succeeds and rolled back otherwise, so the server keeps the old object or
// the new one, never neither. The session's commit mode is as before afterwards.
// A session whose rollback fails must commit nothing afterwards (the ODBC
// session ends its connection): the run reports that object's state unknown.
run_outcome run_package_bytes(std::string_view package, sql_executor& session, ui_services& ui,
                              progress_sink* progress = nullptr);

// Bytes the runner asks for per read call.
inline constexpr std::size_t read_piece_size = 32765;

// Read call count for a file of the given length (pieces of 32,765 bytes).
std::size_t read_call_count(std::uint64_t file_length);

}  // namespace velmora
