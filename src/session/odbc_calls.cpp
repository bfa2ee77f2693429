#include "session/odbc_calls.h"

#include <algorithm>

#include "common/gbk.h"

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the session needs a UTF-16 ODBC (SQLWCHAR of two bytes)");

namespace velmora {

std::vector<diagnostic> read_diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
    std::vector<diagnostic> out;
    if (handle == SQL_NULL_HANDLE) return out;
    for (SQLSMALLINT i = 1; i < 1000; ++i) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::u16string text(512, u'\0');
        SQLSMALLINT len = 0;
        SQLRETURN rc = SQLGetDiagRecW(type, handle, i, state, &native, reinterpret_cast<SQLWCHAR*>(text.data()),
                                      SQLSMALLINT(text.size()), &len);
        if (rc == SQL_SUCCESS_WITH_INFO && len >= SQLSMALLINT(text.size())) {
            text.assign(std::size_t(len) + 1, u'\0');
            rc = SQLGetDiagRecW(type, handle, i, state, &native, reinterpret_cast<SQLWCHAR*>(text.data()),
                                SQLSMALLINT(text.size()), &len);
        }
        if (!ok(rc)) break;
        text.resize(std::min<std::size_t>(std::size_t(len < 0 ? 0 : len), text.size()));
        if (auto nul = text.find(u'\0'); nul != std::u16string::npos) text.resize(nul);
        std::u16string st(reinterpret_cast<const char16_t*>(state), 5);
        if (auto nul = st.find(u'\0'); nul != std::u16string::npos) st.resize(nul);
        out.push_back({utf16_to_utf8(st), static_cast<long>(native), utf16_to_utf8(text)});
    }
    return out;
}

void append_lines(std::string& to, const std::vector<diagnostic>& diags, bool errors_only) {
    for (const auto& d : diags) {
        if (errors_only && !d.is_error()) continue;
        if (!to.empty()) to += '\n';
        to += d.text;
    }
}

namespace {

bool any_error(const std::vector<diagnostic>& diags) {
    for (const auto& d : diags)
        if (d.is_error()) return true;
    return false;
}

long first_native_error(const std::vector<diagnostic>& diags) {
    for (const auto& d : diags)
        if (d.is_error() && d.native != 0) return d.native;
    return 0;
}

bool any_break(const std::vector<diagnostic>& diags) {
    for (const auto& d : diags)
        if (d.breaks_connection()) return true;
    return false;
}

}  // namespace

bool connection_dead(SQLHDBC dbc) {
    SQLUINTEGER dead = SQL_CD_FALSE;
    return ok(SQLGetConnectAttrW(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) && dead == SQL_CD_TRUE;
}

odbc_call_result odbc_call_result::from(const std::vector<diagnostic>& diags, const char* fallback) {
    odbc_call_result r;
    r.status = -1;
    append_lines(r.error_text, diags, false);
    if (r.error_text.empty()) r.error_text = fallback;
    r.native_error = first_native_error(diags);
    r.broken = any_break(diags);
    return r;
}

namespace {

// Reads one column of the current row as text; NULL gives "" (and is_null).
bool read_column(SQLHSTMT st, SQLUSMALLINT col, std::u16string& value, std::vector<diagnostic>& diags,
                 bool* is_null = nullptr) {
    value.clear();
    if (is_null) *is_null = false;
    std::vector<char16_t> buf(4096);
    for (;;) {
        SQLLEN ind = 0;
        SQLRETURN rc = SQLGetData(st, col, SQL_C_WCHAR, buf.data(), SQLLEN(buf.size() * sizeof(char16_t)), &ind);
        if (rc == SQL_NO_DATA) return true;
        if (!ok(rc)) {
            auto d = read_diagnostics(SQL_HANDLE_STMT, st);
            diags.insert(diags.end(), d.begin(), d.end());
            return false;
        }
        if (ind == SQL_NULL_DATA) {
            if (is_null) *is_null = true;
            return true;
        }
        std::size_t room = buf.size() - 1;  // the driver ends each piece with a NUL
        std::size_t n = (ind == SQL_NO_TOTAL || std::size_t(ind) / sizeof(char16_t) > room)
                            ? room
                            : std::size_t(ind) / sizeof(char16_t);
        value.append(buf.data(), n);
        if (rc == SQL_SUCCESS) return true;
        // SQL_SUCCESS_WITH_INFO: 01004, more of the value follows.
        auto d = read_diagnostics(SQL_HANDLE_STMT, st);
        bool truncated = false;
        for (const auto& x : d) truncated |= x.state == "01004";
        if (!truncated) return true;
    }
}

}  // namespace

odbc_call_result run_batch(SQLHDBC dbc, const std::u16string& sql, keep_rows keep, int query_timeout_seconds,
                      statement_slot& slot) {
    SQLHSTMT st = SQL_NULL_HSTMT;
    if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st)))
        return odbc_call_result::from(read_diagnostics(SQL_HANDLE_DBC, dbc), "The statement handle could not be allocated.");
    slot.hold(st);
    // A server that stops answering is given up after this; the driver then
    // cancels and, when the cancel is not answered either, drops the connection.
    SQLSetStmtAttrW(st, SQL_ATTR_QUERY_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(query_timeout_seconds)), 0);

    std::vector<diagnostic> errors;
    std::vector<wide_row> rows;
    bool failed = false;
    bool first_result_set_seen = false;
    auto note = [&](SQLRETURN rc) {
        if (rc == SQL_ERROR) {
            auto d = read_diagnostics(SQL_HANDLE_STMT, st);
            errors.insert(errors.end(), d.begin(), d.end());
            failed = true;
        } else if (rc == SQL_SUCCESS_WITH_INFO) {
            auto d = read_diagnostics(SQL_HANDLE_STMT, st);
            if (any_error(d)) {
                for (auto& x : d)
                    if (x.is_error()) errors.push_back(x);
                failed = true;
            }
        } else if (rc == SQL_INVALID_HANDLE) {
            failed = true;
        }
    };
    // Reads the current row into rows; a NULL as nullopt, or as "" for the
    // first row alone.
    auto read_row = [&](SQLSMALLINT cols) {
        wide_row& r = rows.emplace_back(std::size_t(cols));
        for (SQLSMALLINT c = 1; c <= cols; ++c) {
            std::u16string value;
            bool null = false;
            if (!read_column(st, SQLUSMALLINT(c), value, errors, &null)) failed = true;
            if (!null || keep == keep_rows::first) r[std::size_t(c - 1)] = std::move(value);
        }
    };

    SQLRETURN rc = SQLExecDirectW(st, const_cast<SQLWCHAR*>(reinterpret_cast<const SQLWCHAR*>(sql.data())),
                                  SQLINTEGER(sql.size()));
    note(rc);
    // A bound on the results of one batch keeps a confused driver from
    // holding the program forever.
    for (int guard = 0; guard < 1000000; ++guard) {
        if (ok(rc)) {
            SQLSMALLINT cols = 0;
            SQLRETURN crc = SQLNumResultCols(st, &cols);
            note(crc);
            if (ok(crc) && cols > 0 && keep == keep_rows::all) {
                for (;;) {
                    const SQLRETURN frc = SQLFetch(st);
                    if (frc == SQL_NO_DATA) break;
                    note(frc);
                    if (!ok(frc)) break;
                    read_row(cols);
                }
            }
            if (ok(crc) && cols > 0 && keep == keep_rows::first && !first_result_set_seen) {
                first_result_set_seen = true;
                SQLRETURN frc = SQLFetch(st);
                note(frc);
                if (ok(frc)) read_row(cols);
            }
        }
        if (rc == SQL_INVALID_HANDLE || any_break(errors)) break;
        rc = SQLMoreResults(st);
        if (rc == SQL_NO_DATA || rc == SQL_INVALID_HANDLE) break;
        if (rc == SQL_ERROR) {
            auto d = read_diagnostics(SQL_HANDLE_STMT, st);
            failed = true;
            // A driver that refuses to go on (function sequence error or no
            // records at all) would repeat the same answer forever.
            bool stuck = d.empty();
            for (const auto& x : d) stuck |= x.state == "HY010";
            errors.insert(errors.end(), d.begin(), d.end());
            if (stuck) break;
        } else {
            note(rc);
        }
    }
    slot.release();
    SQLFreeHandle(SQL_HANDLE_STMT, st);

    odbc_call_result r = failed ? odbc_call_result::from(errors, "The statement failed.") : odbc_call_result{};
    if (!failed && keep == keep_rows::first && rows.empty()) r.status = 100;
    r.rows = std::move(rows);
    return r;
}

}  // namespace velmora
