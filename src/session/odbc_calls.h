#pragma once
// The session's calls to the ODBC driver, free of any bound: one batch with
// its results, and the driver's diagnostics. The session runs them within
// its bounds (request_bounds).

// The ODBC headers need the system's types first.
#include "common/os_headers.h"
#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>
#include <vector>

#include "session/request_bounds.h"

namespace velmora {

inline bool ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

struct diagnostic {
    std::string state;
    long native = 0;
    std::string text;
    // Class 01 is a warning and 00 success; anything else is an error even
    // when the call itself returned SQL_SUCCESS_WITH_INFO.
    bool is_error() const { return !(state.rfind("01", 0) == 0 || state.rfind("00", 0) == 0); }
    // A lost connection, or a server that did not answer in time: either way
    // the connection cannot be trusted again. (08004, the server refusing a
    // database, is the answer to a "use" of a missing one: the connection
    // lives on.)
    bool breaks_connection() const {
        for (const char* s : {"08S01", "08001", "08003", "08007", "HYT00", "HYT01"})
            if (state == s) return true;
        return false;
    }
};

// Must run right after the call that produced them: unixODBC clears the
// records on the next call on the handle.
std::vector<diagnostic> read_diagnostics(SQLSMALLINT type, SQLHANDLE handle);
// The texts of diags (of its errors alone, with errors_only), one a line.
void append_lines(std::string& to, const std::vector<diagnostic>& diags, bool errors_only);

// Whether the driver has found the connection gone. FreeTDS reports a server
// that closed the connection before answering a batch as a mere warning
// (01000, "Unexpected EOF from the server"), so a call's own diagnostics do
// not always say so. Asks the driver only, not the server.
bool connection_dead(SQLHDBC dbc);

using wide_row = std::vector<std::optional<std::u16string>>;

// The outcome of one call that talked to the server.
struct odbc_call_result {
    long status = 0;  // 0, 100 (no row) or -1
    std::string error_text;
    long native_error = 0;
    bool broken = false;         // the connection cannot be trusted again
    std::vector<wide_row> rows;  // what a batch gave

    // A failure: the diagnostics' texts (or the fallback), the first error
    // number, and whether any of them breaks the connection.
    static odbc_call_result from(const std::vector<diagnostic>& diags, const char* fallback);
};

// Which rows of a batch to keep: none, the first of its first result set
// (a NULL as ""), or every row of every result set.
enum class keep_rows { none, first, all };

// Sends one batch and reads every result it produces, so that an error raised
// by any statement of the batch is seen. The statement is held in the slot
// while it lives, for the session's cancel.
odbc_call_result run_batch(SQLHDBC dbc, const std::u16string& sql, keep_rows keep, int query_timeout_seconds,
                           statement_slot& slot);

}  // namespace velmora
