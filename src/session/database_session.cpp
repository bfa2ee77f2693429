#include "session/database_session.h"

#include <algorithm>
#include <chrono>
#include <optional>

#include "common/gbk.h"
#include "session/odbc_calls.h"
#include "session/odbc_connection_string.h"

namespace velmora {

namespace {

constexpr const char* not_connected_text = "The session is not connected to a database server.";

SQLWCHAR* wide(std::u16string& s) { return reinterpret_cast<SQLWCHAR*>(s.data()); }

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

// The connection's handles. Freed by whoever lets go of them last: the
// session, or the thread of a call that was left behind, once it returns.
struct database_session::odbc {
    SQLHENV env = SQL_NULL_HENV;
    SQLHDBC dbc = SQL_NULL_HDBC;
    bool connected = false;  // the driver's connection is open

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

// Logged in until disconnect(), even once the connection is lost.
bool database_session::connected() const { return bounds_ != nullptr; }

std::string database_session::intended_database() const {
    const bool configured = database_name.find_first_not_of(" \t\r\n") != std::string::npos;
    return configured ? database_name : login_database_;
}

std::string database_session::current_database() const {
    // A broken session's driver may be busy with a call left behind: not asked.
    if (!connected() || broken_ || !odbc_) return {};
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
    const auto started = std::chrono::steady_clock::now();
    if (!connected()) fail(not_connected_text);
    else if (broken_) fail(broken_text_);
    else return false;
    report(started, {}, true, false);
    return true;
}

int database_session::request_bound_seconds() const { return 2 * std::max(query_timeout_seconds, 1); }

void database_session::report(std::chrono::steady_clock::time_point started, std::chrono::steady_clock::duration bound,
                              bool refused, bool broke) {
    if (on_request) on_request({std::chrono::steady_clock::now() - started, bound, refused, broke});
}

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A statement's own bound is the driver's (its query timeout, then as long
// again for the cancel); the session cancels it itself a little after the
// driver should have, and gives the connection up a little after the
// driver's cancel should have come back, for a driver that keeps neither.
constexpr seconds statement_cancel_after{1};
constexpr seconds statement_backstop{5};
// How long a call may take to return once its connection was cut, before it
// is left on its thread.
constexpr seconds call_grace{2};

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

std::string given_up_text(const std::string& server, milliseconds after) {
    return "The server \"" + server + "\" did not answer within " +
           std::to_string(std::chrono::duration_cast<seconds>(after).count()) +
           " seconds; the connection was given up.";
}

}  // namespace

// Every call that can reach the server after the login runs here, on the
// connection's thread, within its bounds (request_bounds). A call given up
// has broken the connection, whatever the driver made of it; one left
// behind still runs, so nothing of the connection is touched again. The call
// owns what it works on: a call left behind outlives its caller.
database_session::call_result database_session::watched(request_kind kind, call c, int timeout_seconds) {
    const auto started = std::chrono::steady_clock::now();
    const milliseconds bound = seconds(request_bound_seconds());
    request_bounds::plan plan{milliseconds(0), bound, call_grace};
    if (kind == request_kind::statement) {
        // A longer statement keeps the usual time for its cancel.
        const seconds timeout(std::max(timeout_seconds > 0 ? timeout_seconds : query_timeout_seconds, 1));
        plan = {timeout + statement_cancel_after, bound - seconds(std::max(query_timeout_seconds, 1)) + timeout +
                statement_backstop, call_grace};
    }
    auto result = std::make_shared<call_result>();
    const SQLHDBC dbc = odbc_->dbc;
    const request_bounds::ending ending = bounds_->run(plan, [result, dbc, c = std::move(c)](statement_slot& slot) {
        call_result r = c(slot);
        if (!r.broken && connection_dead(dbc)) {
            r.broken = true;
            if (r.status == 0) {
                r.status = -1;
                r.error_text = "The connection to the server was lost.";
            }
        }
        *result = std::move(r);
    });
    call_result r;
    if (ending == request_bounds::ending::returned) {
        r = std::move(*result);
    } else {
        // Whatever the driver made of the cut says nothing of the server: the
        // session's own words, the same wherever the call ended.
        r.status = -1;
        r.error_text = given_up_text(server_name, plan.give_up_at);
        r.broken = true;
    }
    // Only the call's own thread holds the handles now.
    if (ending == request_bounds::ending::left_behind) odbc_.reset();
    report(started, plan.give_up_at + plan.grace, false, r.broken && !broken_);
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
        fail(std::move(text));  // a failed login leaves a clean, unconnected session
    };

    auto h = std::make_shared<odbc>();
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

    // The login runs on the connection's thread like every request; its
    // diagnostics are read there, right after it.
    struct login_result {
        bool ok = false;
        std::string text;
    };
    auto result = std::make_shared<login_result>();
    const auto started = std::chrono::steady_clock::now();
    auto bounds = std::make_unique<request_bounds>(h);
    bounds->begin_login(server_port(where));
    const request_bounds::plan plan{milliseconds(0), seconds(login_timeout_seconds), call_grace};
    const request_bounds::ending ending =
        bounds->run(plan, [h, result, wconn = utf8_to_utf16(conn)](statement_slot&) mutable {
            SQLWCHAR out[1024];
            SQLSMALLINT out_len = 0;
            const SQLRETURN rc = SQLDriverConnectW(h->dbc, nullptr, wide(wconn), SQLSMALLINT(wconn.size()), out, 1024,
                                                   &out_len, SQL_DRIVER_NOPROMPT);
            result->ok = ok(rc);
            h->connected = result->ok;
            if (!result->ok) append_lines(result->text, read_diagnostics(SQL_HANDLE_DBC, h->dbc), false);
        });
    const bool logged_in = ending == request_bounds::ending::returned && result->ok;
    bounds->end_login(logged_in);
    report(started, plan.give_up_at + plan.grace, false, !logged_in);
    if (!logged_in) {
        std::string text;
        if (ending != request_bounds::ending::returned)
            text = "Login timeout expired: the server \"" + server_name + "\" did not answer within " +
                   std::to_string(login_timeout_seconds) + " seconds.";
        else
            text = result->text;
        if (text.empty()) text = "The login to server \"" + server_name + "\" failed.";
        // A login left behind keeps the handles on its thread; otherwise
        // they go here (logged out first, should the driver have finished).
        bounds.reset();
        return refuse(text);
    }
    odbc_ = std::move(h);
    bounds_ = std::move(bounds);
    login_database_ = current_database();
    prepare_after_login();
}

// The session's settings on the server: its isolation level and the bound on
// waiting for another connection's locks (the shop's own program, say),
// after which a statement fails with 1222 instead of waiting. Each is a
// request, bounded as any other.
void database_session::prepare_after_login() {
    SQLULEN level = 0;
    if (isolation == "RU") level = SQL_TXN_READ_UNCOMMITTED;
    else if (isolation == "RC") level = SQL_TXN_READ_COMMITTED;
    else if (isolation == "RR") level = SQL_TXN_REPEATABLE_READ;
    else if (isolation == "TS" || isolation == "SE") level = SQL_TXN_SERIALIZABLE;
    if (level != 0) {
        const SQLHDBC dbc = odbc_->dbc;
        take(watched(request_kind::other, [dbc, level](statement_slot&) {
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

// Ends the driver's connection without a commit, within the bounds.
database_session::call_result database_session::log_out() {
    if (!odbc_ || !odbc_->connected) return {};
    const std::shared_ptr<odbc> h = odbc_;
    return watched(request_kind::other, [h](statement_slot&) {
        if (!ok(SQLDisconnect(h->dbc)))
            return call_result::from(read_diagnostics(SQL_HANDLE_DBC, h->dbc), "The logout failed.");
        h->connected = false;
        return call_result{};
    });
}

// Logs out and frees the handles; text gets the driver's complaint, if any.
void database_session::close_connection(std::string& text) {
    // A call left behind still holds the connection: nothing to log out with.
    if (bounds_ && !bounds_->left_behind()) {
        const bool was_broken = broken_;
        const call_result r = log_out();
        if (r.status != 0 && !was_broken) {
            if (!text.empty()) text += '\n';
            text += r.error_text;
        }
    }
    bounds_.reset();  // the connection's thread ends (or runs on with the call left behind)
    odbc_.reset();    // frees the handles; a refused disconnect is dropped all the same
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
        const SQLHDBC dbc = odbc_->dbc;
        call_result r = watched(request_kind::other, [dbc](statement_slot&) {
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
    const SQLHDBC dbc = odbc_->dbc;
    auto switched = std::make_shared<bool>(false);
    call_result r = watched(request_kind::other, [dbc, on, switched](statement_slot&) {
        std::vector<diagnostic> diags;
        // ODBC says switching on commits; FreeTDS rolls back, so commit first.
        if (on && !ok(SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_COMMIT))) diags = read_diagnostics(SQL_HANDLE_DBC, dbc);
        const SQLRETURN rc = SQLSetConnectAttrW(
            dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF), 0);
        if (!ok(rc)) {
            auto d = read_diagnostics(SQL_HANDLE_DBC, dbc);
            diags.insert(diags.end(), d.begin(), d.end());
        } else {
            *switched = true;
        }
        return diags.empty() ? call_result{} : call_result::from(diags, "The commit mode could not be changed.");
    });
    if (*switched) autocommit_ = on;
    if (r.broken) autocommit_ = on;  // as on a broken session: nothing reaches the server any more
    if (r.status != 0) take(std::move(r));
}

void database_session::end_transaction(bool commit_it) {
    if (refuse_when_unusable()) return;
    if (autocommit_) {
        succeed();
        return;
    }
    const SQLHDBC dbc = odbc_->dbc;
    call_result r = watched(request_kind::other, [dbc, commit_it](statement_slot&) {
        if (ok(SQLEndTran(SQL_HANDLE_DBC, dbc, commit_it ? SQL_COMMIT : SQL_ROLLBACK))) return call_result{};
        return call_result::from(read_diagnostics(SQL_HANDLE_DBC, dbc),
                                 commit_it ? "The commit failed." : "The rollback failed.");
    });
    if (r.status != 0 && !commit_it && !r.broken) {
        // The transaction is still open, with whatever it holds (an object's
        // drop, say): the next commit would make it stand, and while the
        // connection lives it blocks every other workstation. End the
        // connection now, without a commit: its sockets are shut, and the
        // driver lets go of it; the server rolls back what it had open.
        r.broken = true;
        r.error_text = "The rollback failed; the connection was ended without a commit, so the server rolls "
                       "the transaction back.\n" + r.error_text;
        take(std::move(r));
        bounds_->cut_now();
        log_out();
        return;
    }
    take(std::move(r));
}

void database_session::commit() { end_transaction(true); }

void database_session::rollback() { end_transaction(false); }

void database_session::execute_immediate(std::u16string_view sql) {
    if (refuse_when_unusable()) return;
    const SQLHDBC dbc = odbc_->dbc;
    take(watched(request_kind::statement,
                 [dbc, batch = std::u16string(sql), q = query_timeout_seconds](statement_slot& slot) {
                     return run_batch(dbc, batch, keep_rows::none, q, slot);
                 }));
}

void database_session::execute_immediate(std::string_view sql_utf8) { execute_immediate(utf8_to_utf16(sql_utf8)); }

void database_session::execute_lengthy(std::string_view sql_utf8, int timeout_seconds) {
    if (refuse_when_unusable()) return;
    timeout_seconds = std::max(timeout_seconds, query_timeout_seconds);
    const SQLHDBC dbc = odbc_->dbc;
    take(watched(
        request_kind::statement,
        [dbc, batch = utf8_to_utf16(sql_utf8), q = timeout_seconds](statement_slot& slot) {
            return run_batch(dbc, batch, keep_rows::none, q, slot);
        },
        timeout_seconds));
}

void database_session::execute(std::string_view sql_utf8) { execute_immediate(utf8_to_utf16(sql_utf8)); }

void database_session::select_rows(std::string_view sql_utf8, std::vector<result_row>& rows) {
    rows.clear();
    if (refuse_when_unusable()) return;
    const SQLHDBC dbc = odbc_->dbc;
    call_result r = watched(request_kind::statement,
                            [dbc, batch = utf8_to_utf16(sql_utf8), q = query_timeout_seconds](statement_slot& slot) {
                                return run_batch(dbc, batch, keep_rows::all, q, slot);
                            });
    for (const wide_row& w : r.rows) {
        result_row& out = rows.emplace_back();
        for (const auto& cell : w) out.push_back(cell ? std::optional<std::string>(utf16_to_utf8(*cell)) : std::nullopt);
    }
    take(std::move(r));
}

void database_session::select_into(std::string_view sql_utf8, const std::vector<std::string*>& targets) {
    if (refuse_when_unusable()) return;
    const SQLHDBC dbc = odbc_->dbc;
    call_result r = watched(request_kind::statement,
                            [dbc, batch = utf8_to_utf16(sql_utf8), q = query_timeout_seconds](statement_slot& slot) {
                                return run_batch(dbc, batch, keep_rows::first, q, slot);
                            });
    const wide_row row = r.rows.empty() ? wide_row{} : std::move(r.rows.front());
    if (r.status == 0 && row.size() < targets.size()) {
        r.status = -1;
        r.error_text = "The query returned " + std::to_string(row.size()) + " columns for " +
                       std::to_string(targets.size()) + " targets.";
    }
    const bool got_row = r.status == 0;
    take(std::move(r));
    if (!got_row) return;  // targets keep their values
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (targets[i]) *targets[i] = utf16_to_utf8(row[i].value_or(std::u16string()));
}

}  // namespace velmora
