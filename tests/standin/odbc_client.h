#pragma once
// A small ODBC client for the stand-in's tests: unixODBC + FreeTDS through the
// wide-character functions, everything drained, diagnostics kept in order.

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <optional>
#include <variant>
#include <string>
#include <string_view>
#include <vector>

#include "common/gbk.h"

namespace standin_test {

struct odbc_diag {
    std::string state;
    long native = 0;
    std::string text;
};

// Whether a diagnostic of this SQLSTATE is among them (HYT00: the query or
// login timed out).
inline bool has_state(const std::vector<odbc_diag>& diags, std::string_view state) {
    for (const auto& d : diags)
        if (d.state == state) return true;
    return false;
}

// Whether they tell of a lost link. FreeTDS says "Unexpected EOF from the
// server" (20017), with or without SQLSTATE 08S01.
inline bool link_lost(const std::vector<odbc_diag>& diags) {
    for (const auto& d : diags)
        if (d.state == "08S01" || d.native == 20017) return true;
    return false;
}

struct odbc_result_set {
    std::vector<std::string> columns;
    std::vector<std::vector<std::optional<std::string>>> rows;
};

struct odbc_outcome {
    bool ok = true;  // no call returned SQL_ERROR
    std::vector<odbc_result_set> results;
    std::vector<long long> row_counts;  // SQLRowCount of every result without columns
    std::vector<odbc_diag> diags;

    bool has_error(long native) const {
        for (const auto& d : diags)
            if (d.native == native) return true;
        return false;
    }
    std::string all_text() const {
        std::string s;
        for (const auto& d : diags) s += d.state + " " + std::to_string(d.native) + " " + d.text + "\n";
        return s;
    }
    // The first cell of the first result, or "" when there is none.
    std::string scalar() const {
        if (results.empty() || results[0].rows.empty() || results[0].rows[0].empty()) return "";
        return results[0].rows[0][0].value_or("NULL");
    }
};

// unixODBC's SQLWCHAR is a 16-bit unit: the shared UTF-16 conversion fits it.
inline std::basic_string<SQLWCHAR> to_wide(const std::string& s) {
    const std::u16string u = velmora::utf8_to_utf16(s);
    return {u.begin(), u.end()};
}

inline std::string from_wide(const SQLWCHAR* w, std::size_t n) {
    return velmora::utf16_to_utf8(std::u16string(w, w + n));
}

class odbc_client {
public:
    odbc_client() {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_);
        SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_);
    }
    ~odbc_client() {
        disconnect();
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
        SQLFreeHandle(SQL_HANDLE_ENV, env_);
    }
    odbc_client(const odbc_client&) = delete;
    odbc_client& operator=(const odbc_client&) = delete;

    // On failure the driver's messages are in last_diags().
    bool connect(const std::string& connection_string) {
        SQLSetConnectAttrW(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                           reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(login_timeout_)), 0);
        auto w = to_wide(connection_string);
        SQLRETURN rc = SQLDriverConnectW(dbc_, nullptr, w.data(), static_cast<SQLSMALLINT>(w.size()), nullptr, 0,
                                         nullptr, SQL_DRIVER_NOPROMPT);
        diags_ = collect(SQL_HANDLE_DBC, dbc_);
        connected_ = SQL_SUCCEEDED(rc);
        return connected_;
    }

    void disconnect() {
        if (connected_) SQLDisconnect(dbc_);
        connected_ = false;
    }

    odbc_outcome exec(const std::string& sql) {
        odbc_outcome out;
        SQLHSTMT st = SQL_NULL_HSTMT;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &st))) {
            out.ok = false;
            out.diags = collect(SQL_HANDLE_DBC, dbc_);
            return out;
        }
        if (query_timeout_ > 0)
            SQLSetStmtAttrW(st, SQL_ATTR_QUERY_TIMEOUT,
                            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(query_timeout_)), 0);
        run_and_drain(st, sql, out);
        return out;
    }

    // A statement with ? markers and bound values (integers, text, NULL):
    // the driver sends it as a parameterised procedure call.
    using param = std::variant<std::monostate, int, std::string>;
    odbc_outcome exec_params(const std::string& sql, const std::vector<param>& params) {
        odbc_outcome out;
        SQLHSTMT st = SQL_NULL_HSTMT;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &st);
        std::vector<SQLINTEGER> ints(params.size());
        std::vector<std::basic_string<SQLWCHAR>> texts(params.size());
        std::vector<SQLLEN> lens(params.size());
        for (std::size_t i = 0; i < params.size(); ++i) {
            auto n = static_cast<SQLUSMALLINT>(i + 1);
            if (const int* v = std::get_if<int>(&params[i])) {
                ints[i] = *v;
                lens[i] = 0;
                SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &ints[i], 0, &lens[i]);
            } else if (const std::string* t = std::get_if<std::string>(&params[i])) {
                texts[i] = to_wide(*t);
                lens[i] = static_cast<SQLLEN>(texts[i].size() * sizeof(SQLWCHAR));
                SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, 200, 0, texts[i].data(),
                                 lens[i], &lens[i]);
            } else {
                lens[i] = SQL_NULL_DATA;
                SQLBindParameter(st, n, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &ints[i], 0, &lens[i]);
            }
        }
        run_and_drain(st, sql, out);
        return out;
    }

    bool set_autocommit(bool on) {
        SQLRETURN rc = SQLSetConnectAttrW(
            dbc_, SQL_ATTR_AUTOCOMMIT,
            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF)), 0);
        diags_ = collect(SQL_HANDLE_DBC, dbc_);
        return SQL_SUCCEEDED(rc);
    }

    bool set_isolation_read_uncommitted() {
        SQLRETURN rc = SQLSetConnectAttrW(dbc_, SQL_ATTR_TXN_ISOLATION,
                                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_TXN_READ_UNCOMMITTED)),
                                          0);
        diags_ = collect(SQL_HANDLE_DBC, dbc_);
        return SQL_SUCCEEDED(rc);
    }

    bool end_transaction(bool commit) {
        SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, dbc_, commit ? SQL_COMMIT : SQL_ROLLBACK);
        diags_ = collect(SQL_HANDLE_DBC, dbc_);
        return SQL_SUCCEEDED(rc);
    }

    // Seconds before the driver cancels a statement (0: never).
    void set_query_timeout(int seconds) { query_timeout_ = seconds; }
    // Seconds the driver waits for the login (default 15).
    void set_login_timeout(int seconds) { login_timeout_ = seconds; }

    const std::vector<odbc_diag>& last_diags() const { return diags_; }
    std::string last_text() const {
        std::string s;
        for (const auto& d : diags_) s += d.state + " " + std::to_string(d.native) + " " + d.text + "\n";
        return s;
    }

private:
    // Runs sql on st and takes every result, error or not, until the driver
    // says there is no more; frees st.
    void run_and_drain(SQLHSTMT st, const std::string& sql, odbc_outcome& out) {
        auto w = to_wide(sql);
        SQLRETURN rc = SQLExecDirectW(st, w.data(), static_cast<SQLINTEGER>(w.size()));
        for (int guard = 0; guard < 1000; ++guard) {
            auto d = collect(SQL_HANDLE_STMT, st);
            out.diags.insert(out.diags.end(), d.begin(), d.end());
            if (rc == SQL_ERROR) out.ok = false;
            if (rc == SQL_INVALID_HANDLE) break;
            if (SQL_SUCCEEDED(rc)) drain(st, out);
            rc = SQLMoreResults(st);
            if (rc == SQL_NO_DATA) break;
        }
        SQLFreeHandle(SQL_HANDLE_STMT, st);
    }

    static std::vector<odbc_diag> collect(SQLSMALLINT type, SQLHANDLE h) {
        std::vector<odbc_diag> out;
        for (SQLSMALLINT i = 1;; ++i) {
            SQLWCHAR state[6] = {};
            SQLINTEGER native = 0;
            SQLWCHAR text[2048] = {};
            SQLSMALLINT len = 0;
            SQLRETURN rc = SQLGetDiagRecW(type, h, i, state, &native, text, 2048, &len);
            if (!SQL_SUCCEEDED(rc)) break;
            odbc_diag d;
            d.state = from_wide(state, 5);
            d.native = native;
            d.text = from_wide(text, static_cast<std::size_t>(std::min<SQLSMALLINT>(len, 2047)));
            out.push_back(d);
        }
        return out;
    }

    static void drain(SQLHSTMT st, odbc_outcome& out) {
        SQLSMALLINT ncols = 0;
        SQLNumResultCols(st, &ncols);
        if (ncols == 0) {
            SQLLEN count = -1;
            SQLRowCount(st, &count);
            out.row_counts.push_back(count);
            return;
        }
        odbc_result_set rs;
        for (SQLSMALLINT c = 1; c <= ncols; ++c) {
            SQLWCHAR name[256] = {};
            SQLSMALLINT len = 0, type = 0, digits = 0, nullable = 0;
            SQLULEN size = 0;
            SQLDescribeColW(st, c, name, 256, &len, &type, &size, &digits, &nullable);
            rs.columns.push_back(from_wide(name, static_cast<std::size_t>(std::min<SQLSMALLINT>(len, 255))));
        }
        for (;;) {
            SQLRETURN rc = SQLFetch(st);
            if (!SQL_SUCCEEDED(rc)) {
                if (rc == SQL_ERROR) {
                    out.ok = false;
                    auto d = collect(SQL_HANDLE_STMT, st);
                    out.diags.insert(out.diags.end(), d.begin(), d.end());
                }
                break;
            }
            std::vector<std::optional<std::string>> row;
            for (SQLSMALLINT c = 1; c <= ncols; ++c) {
                std::basic_string<SQLWCHAR> value;
                SQLWCHAR buf[1024];
                SQLLEN ind = 0;
                bool is_null = false;
                for (;;) {
                    SQLRETURN g = SQLGetData(st, c, SQL_C_WCHAR, buf, sizeof buf, &ind);
                    if (g == SQL_NO_DATA) break;
                    if (!SQL_SUCCEEDED(g)) break;
                    if (ind == SQL_NULL_DATA) {
                        is_null = true;
                        break;
                    }
                    std::size_t chunk = (ind == SQL_NO_TOTAL || ind >= static_cast<SQLLEN>(sizeof buf))
                                            ? sizeof buf / sizeof buf[0] - 1
                                            : static_cast<std::size_t>(ind) / sizeof(SQLWCHAR);
                    value.append(buf, chunk);
                    if (g == SQL_SUCCESS) break;
                }
                if (is_null) row.push_back(std::nullopt);
                else row.push_back(from_wide(value.data(), value.size()));
            }
            rs.rows.push_back(std::move(row));
        }
        out.results.push_back(std::move(rs));
    }

    SQLHENV env_ = SQL_NULL_HENV;
    SQLHDBC dbc_ = SQL_NULL_HDBC;
    std::vector<odbc_diag> diags_;
    bool connected_ = false;
    int query_timeout_ = 0;
    int login_timeout_ = 15;
};

}  // namespace standin_test
