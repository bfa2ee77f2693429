#include "session/database_session.h"

// The ODBC headers need the system's types first.
#include "common/os_headers.h"
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "common/gbk.h"
#include "session/odbc_connection_string.h"
#include "session/socket_watchdog.h"

static_assert(sizeof(SQLWCHAR) == sizeof(char16_t), "the session needs a UTF-16 ODBC (SQLWCHAR of two bytes)");

namespace velmora {

namespace {

constexpr const char* not_connected_text = "The session is not connected to a database server.";

SQLWCHAR* wide(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

bool ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

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

// Whether the driver has found the connection gone. FreeTDS reports a server
// that closed the connection before answering a batch as a mere warning
// (01000, "Unexpected EOF from the server"), so a call's own diagnostics do
// not always say so. Asks the driver only, not the server.
bool connection_dead(SQLHDBC dbc) {
    SQLUINTEGER dead = SQL_CD_FALSE;
    return ok(SQLGetConnectAttrW(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) && dead == SQL_CD_TRUE;
}

}  // namespace

// The outcome of one call that talked to the server.
struct database_session::call_result {
    long status = 0;  // 0, 100 (no row) or -1
    std::string error_text;
    long native_error = 0;
    bool broken = false;

    static call_result from(const std::vector<diagnostic>& diags, const char* fallback) {
        call_result r;
        r.status = -1;
        append_lines(r.error_text, diags, false);
        if (r.error_text.empty()) r.error_text = fallback;
        r.native_error = first_native_error(diags);
        r.broken = any_break(diags);
        return r;
    }
};

namespace {

#ifdef _WIN32
// The first installed of the Microsoft drivers, newest first.
std::u16string installed_sql_server_driver(SQLHENV env) {
    static const char16_t* preferred[] = {u"ODBC Driver 18 for SQL Server", u"ODBC Driver 17 for SQL Server",
                                          u"SQL Server Native Client 11.0", u"SQL Server"};
    std::vector<std::u16string> installed;
    SQLWCHAR name[256];
    SQLWCHAR attrs[1024];
    SQLSMALLINT name_len = 0, attrs_len = 0;
    SQLUSMALLINT direction = SQL_FETCH_FIRST;
    while (ok(SQLDriversW(env, direction, name, 256, &name_len, attrs, 1024, &attrs_len))) {
        installed.emplace_back(reinterpret_cast<const char16_t*>(name));
        direction = SQL_FETCH_NEXT;
    }
    for (const char16_t* want : preferred)
        for (const auto& have : installed)
            if (have == want) return have;
    return u"SQL Server";
}
#endif

}  // namespace

struct database_session::odbc {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;
    socket_watchdog watchdog;

    ~odbc() {
        if (dbc != SQL_NULL_HDBC) {
            if (connected) SQLDisconnect(dbc);
            SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        }
        if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
    }
};

database_session::database_session() = default;

database_session::~database_session() { disconnect(); }

bool database_session::connected() const { return odbc_ && odbc_->connected; }

std::string database_session::intended_database() const {
    const bool configured = database_name.find_first_not_of(" \t\r\n") != std::string::npos;
    return configured ? database_name : login_database_;
}

std::string database_session::current_database() const {
    if (!connected()) return {};
    std::u16string buf(512, u'\0');
    SQLINTEGER len = 0;
    SQLRETURN rc = SQLGetConnectAttrW(odbc_->dbc, SQL_ATTR_CURRENT_CATALOG, buf.data(),
                                      SQLINTEGER(buf.size() * sizeof(char16_t)), &len);
    if (!ok(rc)) return {};
    buf.resize(std::min<std::size_t>(std::size_t(len < 0 ? 0 : len) / sizeof(char16_t), buf.size()));
    if (auto nul = buf.find(u'\0'); nul != std::u16string::npos) buf.resize(nul);
    return utf16_to_utf8(buf);
}

void database_session::fail(std::string text, long native) {
    status_code = -1;
    error_text = std::move(text);
    native_error = native;
}

void database_session::take(call_result r) {
    if (r.broken && !broken_) {
        broken_ = true;
        broken_text_ = r.error_text;
    }
    status_code = r.status;
    error_text = std::move(r.error_text);
    native_error = r.native_error;
}

void database_session::succeed() {
    status_code = 0;
    error_text.clear();
    native_error = 0;
}

// True (with the failure set) when no call may reach the server: not
// connected, or broken by an earlier failure.
bool database_session::refuse_when_unusable() {
    if (!connected()) {
        fail(not_connected_text);
        return true;
    }
    if (broken_) {
        fail(broken_text_);
        return true;
    }
    return false;
}

int database_session::request_bound_seconds() const { return 2 * std::max(query_timeout_seconds, 1); }

namespace {

// A statement's own bound is the driver's (its query timeout, then as long
// again for the cancel); the watchdog stands a little behind it, for a driver
// that does not keep it.
constexpr int statement_backstop_seconds = 5;

// The port the driver connects to, when the server name says it; 0 when the
// driver finds it itself (a named instance, through the SQL Server Browser).
int server_port(const server_address& where) {
    if (!where.instance.empty() && where.port.empty()) return 0;
    const std::string& port = where.port.empty() ? std::string("1433") : where.port;
    int n = 0;
    for (char c : port) {
        if (c < '0' || c > '9' || n > 65535) return 0;
        n = n * 10 + (c - '0');
    }
    return n <= 65535 ? n : 0;
}

}  // namespace

// Every call that can reach the server after the login runs here, under the
// watchdog: the driver bounds its statements, but not its other requests (the
// isolation level, the commit mode, commit and rollback), which would wait
// for a silent server forever. A call the watchdog had to cut short has
// broken the connection, whatever the driver made of it.
database_session::call_result database_session::watched(request_kind kind, const std::function<call_result()>& call) {
    const int bound = request_bound_seconds();
    const int deadline = kind == request_kind::statement ? bound + statement_backstop_seconds : bound;
    socket_watchdog::watch watch(odbc_->watchdog, std::chrono::seconds(deadline));
    call_result r = call();
    if (!r.broken && connection_dead(odbc_->dbc)) {
        r.broken = true;
        if (r.status == 0) {
            r.status = -1;
            r.error_text = "The connection to the server was lost.";
        }
    }
    if (watch.fired()) {
        std::string text = "The server \"" + server_name + "\" did not answer within " + std::to_string(deadline) +
                           " seconds; the connection was given up.";
        if (!r.error_text.empty()) text += "\n" + r.error_text;
        r.status = -1;
        r.error_text = std::move(text);
        r.native_error = 0;
        r.broken = true;
    }
    return r;
}

void database_session::connect() {
    if (connected()) {
        fail("The session is already connected; disconnect it first.");
        return;
    }
    odbc_.reset();
    login_database_.clear();
    broken_ = false;
    broken_text_.clear();
    auto refuse = [this](std::string text) {
        odbc_.reset();  // a failed login leaves a clean, unconnected session
        fail(std::move(text));
    };

    auto h = std::make_unique<odbc>();
    if (!ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h->env)))
        return refuse("The ODBC driver manager could not be initialised.");
    SQLSetEnvAttr(h->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    if (!ok(SQLAllocHandle(SQL_HANDLE_DBC, h->env, &h->dbc))) {
        std::string text;
        append_lines(text, read_diagnostics(SQL_HANDLE_ENV, h->env), false);
        return refuse(text.empty() ? "The ODBC connection handle could not be allocated." : text);
    }
    SQLSetConnectAttrW(h->dbc, SQL_ATTR_LOGIN_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(login_timeout_seconds)), 0);
    SQLSetConnectAttrW(h->dbc, SQL_ATTR_AUTOCOMMIT,
                       reinterpret_cast<SQLPOINTER>(autocommit_ ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);

    server_address where = parse_server_name(server_name);
    if (where.host.empty()) return refuse("No database server name is set.");
#ifdef _WIN32
    // The Microsoft drivers take server names in every form operators write.
    std::string conn = "DRIVER={" + utf16_to_utf8(installed_sql_server_driver(h->env)) + "};Server=" +
                       odbc_quote_value(server_name) + ";UID=" + odbc_quote_value(login_id) +
                       ";PWD=" + odbc_quote_value(login_password) + ";TrustServerCertificate=yes";
    if (!database_name.empty()) conn += ";Database=" + odbc_quote_value(database_name);
#else
    std::string conn = freetds_connection_string(where, database_name, login_id, login_password);
#endif
    if (!connect_options.empty()) conn += ";" + connect_options;

    std::u16string wconn = utf8_to_utf16(conn);
    SQLWCHAR out[1024];
    SQLSMALLINT out_len = 0;
    SQLRETURN rc;
    bool timed_out = false;
    h->watchdog.begin_login(server_port(where));
    {
        socket_watchdog::watch watch(h->watchdog, std::chrono::seconds(login_timeout_seconds));
        rc = SQLDriverConnectW(h->dbc, nullptr, wide(wconn), SQLSMALLINT(wconn.size()), out, 1024, &out_len,
                               SQL_DRIVER_NOPROMPT);
        timed_out = watch.fired();
    }
    h->watchdog.end_login(ok(rc));
    if (!ok(rc)) {
        std::string text;
        if (timed_out)
            text = "Login timeout expired: the server \"" + server_name + "\" did not answer within " +
                   std::to_string(login_timeout_seconds) + " seconds.";
        else
            append_lines(text, read_diagnostics(SQL_HANDLE_DBC, h->dbc), false);
        if (text.empty()) text = "The login to server \"" + server_name + "\" failed.";
        return refuse(text);
    }
    h->connected = true;
    odbc_ = std::move(h);
    login_database_ = current_database();
    prepare_after_login();
}

// The session's settings on the server: its isolation level and the bound on
// waiting for another connection's locks (the shop's own program, say),
// after which a statement fails with 1222 instead of waiting. Each is a
// request, bounded as any other.
void database_session::prepare_after_login() {
#ifdef _WIN32
    // No watchdog sees the sockets here; the Microsoft drivers bound every
    // request that is no statement by their connection timeout instead.
    SQLSetConnectAttrW(odbc_->dbc, SQL_ATTR_CONNECTION_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(request_bound_seconds())), 0);
#endif
    SQLULEN level = 0;
    if (isolation == "RU") level = SQL_TXN_READ_UNCOMMITTED;
    else if (isolation == "RC") level = SQL_TXN_READ_COMMITTED;
    else if (isolation == "RR") level = SQL_TXN_REPEATABLE_READ;
    else if (isolation == "TS" || isolation == "SE") level = SQL_TXN_SERIALIZABLE;
    if (level != 0) {
        SQLHDBC dbc = odbc_->dbc;
        take(watched(request_kind::other, [dbc, level] {
            if (ok(SQLSetConnectAttrW(dbc, SQL_ATTR_TXN_ISOLATION, reinterpret_cast<SQLPOINTER>(level), 0)))
                return call_result{};
            return call_result::from(read_diagnostics(SQL_HANDLE_DBC, dbc), "The isolation level could not be set.");
        }));
    }
    if (status_code == 0) execute_immediate("SET LOCK_TIMEOUT " + std::to_string(lock_timeout_milliseconds));
    if (status_code == 0) return;
    // The server took the login and then stopped answering or went away: the
    // session stays connected and broken, and the work reports it.
    if (broken_) return;
    // The server answered and refused: no session to work with. Nothing is
    // open that a logout could commit.
    std::string text = "The session could not be prepared after the login: " + error_text;
    std::string ignored;
    close_connection(ignored);
    fail(text);
}

// Logs out, under the watch, and frees the handles; text gets the driver's
// complaint, if any.
void database_session::close_connection(std::string& text) {
    SQLHDBC dbc = odbc_->dbc;
    const bool was_broken = broken_;
    call_result r = watched(request_kind::other, [dbc] {
        if (ok(SQLDisconnect(dbc))) return call_result{};
        return call_result::from(read_diagnostics(SQL_HANDLE_DBC, dbc), "The logout failed.");
    });
    if (r.status == 0) {
        odbc_->connected = false;
    } else if (!was_broken) {
        if (!text.empty()) text += '\n';
        text += r.error_text;
    }
    odbc_.reset();  // frees the handles; a refused disconnect is dropped all the same
    login_database_.clear();
    broken_ = false;
    broken_text_.clear();
}

void database_session::disconnect() {
    if (!connected()) {
        odbc_.reset();
        fail(not_connected_text);
        return;
    }
    // Logging out commits what is open, as the session always has; a broken
    // connection has nothing left to commit and must not be waited for.
    std::string text;
    if (!autocommit_ && !broken_) {
        SQLHDBC dbc = odbc_->dbc;
        call_result r = watched(request_kind::other, [dbc] {
            if (ok(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT))) return call_result{};
            return call_result::from(read_diagnostics(SQL_HANDLE_DBC, dbc), "The commit failed.");
        });
        text = r.error_text;
        if (r.broken) broken_ = true;  // the logout need not wait for it either
    }
    close_connection(text);
    if (text.empty()) succeed();
    else fail(text);
}

void database_session::set_autocommit(bool on) {
    if (!connected() || on == autocommit_) {
        autocommit_ = on;
        return;
    }
    if (broken_) {
        // Nothing reaches the server any more; remember the mode for the record.
        autocommit_ = on;
        return;
    }
    SQLHDBC dbc = odbc_->dbc;
    bool switched = false;
    call_result r = watched(request_kind::other, [dbc, on, &switched] {
        std::vector<diagnostic> diags;
        // ODBC says switching on commits; FreeTDS rolls back, so commit first.
        if (on && !ok(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT))) diags = read_diagnostics(SQL_HANDLE_DBC, dbc);
        const SQLRETURN rc = SQLSetConnectAttrW(
            dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
        if (!ok(rc)) {
            auto d = read_diagnostics(SQL_HANDLE_DBC, dbc);
            diags.insert(diags.end(), d.begin(), d.end());
        } else {
            switched = true;
        }
        return diags.empty() ? call_result{} : call_result::from(diags, "The commit mode could not be changed.");
    });
    if (switched) autocommit_ = on;
    if (r.broken) autocommit_ = on;  // as on a broken session: nothing reaches the server any more
    if (r.status != 0) take(std::move(r));
}

void database_session::end_transaction(bool commit_it) {
    if (refuse_when_unusable()) return;
    if (autocommit_) {
        succeed();
        return;
    }
    SQLHDBC dbc = odbc_->dbc;
    call_result r = watched(request_kind::other, [dbc, commit_it] {
        if (ok(SQLEndTran(SQL_HANDLE_DBC, dbc, commit_it ? SQL_COMMIT : SQL_ROLLBACK))) return call_result{};
        return call_result::from(read_diagnostics(SQL_HANDLE_DBC, dbc),
                                 commit_it ? "The commit failed." : "The rollback failed.");
    });
    if (r.status != 0 && !commit_it && !r.broken) {
        // The transaction is still open, with whatever it holds (an object's
        // drop, say): the next commit would make it stand. End the connection
        // instead; the server rolls back what it had open.
        odbc_->watchdog.cut_now();
        r.error_text = "The rollback failed; the connection was ended without a commit, so the server rolls "
                       "the transaction back.\n" + r.error_text;
        r.broken = true;
    }
    take(std::move(r));
}

void database_session::commit() { end_transaction(true); }

void database_session::rollback() { end_transaction(false); }

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

// Sends one batch and reads every result it produces, so that an error raised
// by any statement of the batch is seen. With row_out, the first row of the
// first result set is read as text; with all_rows, every row of every result
// set.
using call_result = database_session::call_result;
using wide_row = std::vector<std::optional<std::u16string>>;

static call_result run_batch(SQLHDBC dbc, std::u16string sql, std::vector<std::u16string>* row_out,
                             int query_timeout_seconds, std::vector<wide_row>* all_rows = nullptr) {
    SQLHSTMT st = SQL_NULL_HSTMT;
    if (!ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st)))
        return call_result::from(read_diagnostics(SQL_HANDLE_DBC, dbc), "The statement handle could not be allocated.");
    // A server that stops answering is given up after this; the driver then
    // cancels and, when the cancel is not answered either, drops the connection.
    SQLSetStmtAttrW(st, SQL_ATTR_QUERY_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(query_timeout_seconds)), 0);

    std::vector<diagnostic> errors;
    bool failed = false;
    bool first_result_set_seen = false;
    bool got_row = false;
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

    SQLRETURN rc = SQLExecDirectW(st, wide(sql), SQLINTEGER(sql.size()));
    note(rc);
    // A bound on the results of one batch keeps a confused driver from
    // holding the program forever.
    for (int guard = 0; guard < 1000000; ++guard) {
        if (ok(rc)) {
            SQLSMALLINT cols = 0;
            SQLRETURN crc = SQLNumResultCols(st, &cols);
            note(crc);
            if (ok(crc) && cols > 0 && all_rows) {
                for (;;) {
                    const SQLRETURN frc = SQLFetch(st);
                    if (frc == SQL_NO_DATA) break;
                    note(frc);
                    if (!ok(frc)) break;
                    wide_row& r = all_rows->emplace_back(std::size_t(cols));
                    for (SQLSMALLINT c = 1; c <= cols; ++c) {
                        std::u16string value;
                        bool null = false;
                        if (!read_column(st, SQLUSMALLINT(c), value, errors, &null)) failed = true;
                        if (!null) r[std::size_t(c - 1)] = std::move(value);
                    }
                }
            }
            if (ok(crc) && cols > 0 && row_out && !first_result_set_seen) {
                first_result_set_seen = true;
                SQLRETURN frc = SQLFetch(st);
                note(frc);
                if (ok(frc)) {
                    got_row = true;
                    row_out->assign(std::size_t(cols), {});
                    for (SQLSMALLINT c = 1; c <= cols; ++c)
                        if (!read_column(st, SQLUSMALLINT(c), (*row_out)[std::size_t(c - 1)], errors)) failed = true;
                }
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
    SQLFreeHandle(SQL_HANDLE_STMT, st);

    if (failed) return call_result::from(errors, "The statement failed.");
    call_result r;
    if (row_out && !got_row) r.status = 100;
    return r;
}

void database_session::execute_immediate(std::u16string_view sql) {
    if (refuse_when_unusable()) return;
    SQLHDBC dbc = odbc_->dbc;
    take(watched(request_kind::statement,
                 [&] { return run_batch(dbc, std::u16string(sql), nullptr, query_timeout_seconds); }));
}

void database_session::execute_immediate(std::string_view sql_utf8) { execute_immediate(utf8_to_utf16(sql_utf8)); }

void database_session::execute(std::string_view sql_utf8) { execute_immediate(utf8_to_utf16(sql_utf8)); }

void database_session::select_rows(std::string_view sql_utf8, std::vector<result_row>& rows) {
    rows.clear();
    if (refuse_when_unusable()) return;
    std::vector<wide_row> wide;
    SQLHDBC dbc = odbc_->dbc;
    take(watched(request_kind::statement,
                 [&] { return run_batch(dbc, utf8_to_utf16(sql_utf8), nullptr, query_timeout_seconds, &wide); }));
    for (const wide_row& w : wide) {
        result_row& r = rows.emplace_back();
        for (const auto& cell : w) r.push_back(cell ? std::optional<std::string>(utf16_to_utf8(*cell)) : std::nullopt);
    }
}

void database_session::select_into(std::string_view sql_utf8, const std::vector<std::string*>& targets) {
    if (refuse_when_unusable()) return;
    std::vector<std::u16string> row;
    SQLHDBC dbc = odbc_->dbc;
    call_result r = watched(request_kind::statement,
                            [&] { return run_batch(dbc, utf8_to_utf16(sql_utf8), &row, query_timeout_seconds); });
    if (r.status == 0 && row.size() < targets.size()) {
        r.status = -1;
        r.error_text = "The query returned " + std::to_string(row.size()) + " columns for " +
                       std::to_string(targets.size()) + " targets.";
    }
    const bool got_row = r.status == 0;
    take(std::move(r));
    if (!got_row) return;  // targets keep their values
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (targets[i]) *targets[i] = utf16_to_utf8(row[i]);
}

}  // namespace velmora
