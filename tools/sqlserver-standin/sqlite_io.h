#pragma once
// Values between SQLite and the engine, and SQLite's failures as SQL Server
// errors.

#include <sqlite3.h>

#include <string>

#include "sqlserver-standin/engine.h"
#include "sqlserver-standin/error_catalogue.h"

namespace standin::detail {

sql_value column_value(sqlite3_stmt* st, int i);
void bind_value(sqlite3_stmt* st, int i, const sql_value& v);
// A value as messages show it; NULL as <NULL>.
std::string value_text(const sql_value& v);

// The error a failed SQLite call stands for: one a tsql_* function raised,
// 1222 for a lock, else an internal error.
tsql_error sqlite_failure(sqlite3* h, int rc);

// A handle on a database file with the engine's functions and settings.
sqlite3* open_handle(const std::string& path);

}  // namespace standin::detail
