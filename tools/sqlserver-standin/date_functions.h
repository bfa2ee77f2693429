#pragma once
// DATEADD, DATEDIFF and GETUTCDATE as SQLite functions, on datetime values
// in the engine's 'YYYY-MM-DD hh:mm:ss.mmm' form.

#include <sqlite3.h>

#include <optional>
#include <string>

namespace standin::tsql {

// The datepart a name or abbreviation stands for, in its long upper-case
// form (MINUTE for mi and n); nothing for a name DATEADD does not know.
std::optional<std::string> datepart_name(const std::string& written);

// tsql_dateadd(part, number, datetime), tsql_datediff(part, start, end),
// tsql_getutcdate().
void register_date_functions(sqlite3* db);

// The current UTC time as GETUTCDATE gives it.
std::string utc_datetime();

}  // namespace standin::tsql
