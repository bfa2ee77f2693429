#include "sqlserver-standin/sqlite_io.h"

#include <cstdio>

#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

sql_value column_value(sqlite3_stmt* st, int i) {
    switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER: return static_cast<std::int64_t>(sqlite3_column_int64(st, i));
    case SQLITE_FLOAT: return sqlite3_column_double(st, i);
    case SQLITE_NULL: return std::monostate{};
    default: {
        const unsigned char* t = sqlite3_column_text(st, i);
        return std::string(reinterpret_cast<const char*>(t), static_cast<std::size_t>(sqlite3_column_bytes(st, i)));
    }
    }
}

void bind_value(sqlite3_stmt* st, int i, const sql_value& v) {
    if (std::holds_alternative<std::int64_t>(v)) sqlite3_bind_int64(st, i, std::get<std::int64_t>(v));
    else if (std::holds_alternative<double>(v)) sqlite3_bind_double(st, i, std::get<double>(v));
    else if (std::holds_alternative<std::string>(v)) {
        const auto& s = std::get<std::string>(v);
        sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    } else sqlite3_bind_null(st, i);
}

std::string value_text(const sql_value& v) {
    if (std::holds_alternative<std::int64_t>(v)) return std::to_string(std::get<std::int64_t>(v));
    if (std::holds_alternative<double>(v)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", std::get<double>(v));
        return buf;
    }
    if (std::holds_alternative<std::string>(v)) return std::get<std::string>(v);
    return "<NULL>";
}

tsql_error sqlite_failure(sqlite3* h, int rc) {
    const char* msg = sqlite3_errmsg(h);
    int number, state, severity;
    std::string text;
    if (decode_error(msg, number, state, severity, text)) {
        tsql_error e{number, state, severity, text};
        if (number == 245 || number == 241 || number == 8114) {
            e.abort_batch = true;
            e.rollback_tran = true;
        }
        if (number == 8152 || number == 8115 || number == 8134 || number == 536 || number == 537)
            e.terminated = true;
        return e;
    }
    int primary = rc & 0xff;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED)
        return err(errors::lock_timeout);
    return err(errors::internal_error, msg ? msg : "?");
}

sqlite3* open_handle(const std::string& path) {
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(path.c_str(), &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        if (h) sqlite3_close(h);
        return nullptr;
    }
    register_runtime(h);
    sqlite3_busy_timeout(h, 10000);
    sqlite3_exec(h, "PRAGMA synchronous=OFF; PRAGMA temp_store=MEMORY; PRAGMA cache_size=-4000;", nullptr,
                 nullptr, nullptr);
    return h;
}

}  // namespace standin::detail
