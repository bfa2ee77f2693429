#pragma once
// The one database session of the program (sqlca), over ODBC's wide functions.
// Every operation sets status_code (0 success, 100 no row, -1 failure) and, on
// failure, error_text; none throws.
//
// No call waits without bound, whichever part of the program makes it: the
// login ends within login_timeout_seconds whether or not the server answers;
// a statement waits at most lock_timeout_milliseconds for another
// connection's locks (then fails with the server's error 1222); and every
// request after the login (the isolation level and lock timeout the login
// sets, each statement, commit, rollback, switch of the commit mode and the
// logout) is given up when the server has not answered within twice
// query_timeout_seconds: for a statement, the query timeout and as long again
// for the cancel; for the rest, the same time in one. The bounds are the
// session's own, kept by request_bounds whatever the driver does with its
// timeouts. A request given up breaks the session: every later call fails
// at once.
//
// The bounds are the session's own fields, so a program (or a test) sets
// them before it connects; the shipped programs keep the defaults.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/sql_executor.h"
#include "session/request_bounds.h"

namespace velmora {

struct odbc_call_result;

class database_session : public sql_executor {
public:
    database_session();
    ~database_session() override;  // disconnects
    database_session(const database_session&) = delete;
    database_session& operator=(const database_session&) = delete;

    // Fields; texts are UTF-8.
    std::string driver;
    std::string server_name;
    std::string database_name;
    std::string login_id;
    std::string login_password;
    std::string connect_options;
    std::string isolation;
    long status_code = 0;
    std::string error_text;
    // The server's number for the first error of the last failed call (2705,
    // 2627, 1222, ...); 0 after success or when the client failed on its own.
    long native_error = 0;

    // The bounds on waiting (see above); they apply from the next connect.
    // A legitimate statement of the upgrade needs a fraction of them.
    int login_timeout_seconds = 15;
    int lock_timeout_milliseconds = 30000;
    int query_timeout_seconds = 45;
    // The longest any one request after the login may wait for the server.
    int request_bound_seconds() const;

    // Told of every request as it ends, the login included, for whoever
    // keeps an eye on the bounds (the tests do).
    struct request_event {
        std::chrono::steady_clock::duration took{};
        // When the session gives the request up at the latest (its bound and
        // the grace for a call to come back); 0 for a refused request.
        std::chrono::steady_clock::duration bound{};
        bool refused = false;  // the session was unusable: nothing reached the driver
        bool broke = false;    // this request broke the session (or failed the login)
    };
    std::function<void(const request_event&)> on_request;

    // Takes effect at once on a live connection; switching on commits what is open.
    void set_autocommit(bool on);
    bool autocommit() const { return autocommit_; }

    // Logs in, then sets the isolation level and the lock timeout. Status 0:
    // logged in and ready. A failed login, or a server that refuses those
    // settings, leaves the session unconnected. A server that goes silent or
    // drops the connection after it accepted the login leaves the session
    // connected and broken (status -1, connection_broken()): the login
    // finished, and what comes next reports the lost connection.
    void connect();
    // Commits what is open (unless the session is broken), then logs out.
    void disconnect();
    bool connected() const;

    // The database the server made current at login, as the server names it;
    // empty when not connected.
    const std::string& login_database() const { return login_database_; }
    // The database the work is meant for: the configured one, or the login's
    // default when none is configured (a blank name means none).
    std::string intended_database() const;
    // The database current now, as the driver tracks it; empty when not
    // connected. Leaves status_code and error_text alone.
    std::string current_database() const;

    void execute_immediate(std::string_view sql_utf8);
    void execute_immediate(std::u16string_view sql);
    // A statement known to run long (a backup, its verification): bounded as
    // any statement, but from timeout_seconds instead of the query timeout.
    void execute_lengthy(std::string_view sql_utf8, int timeout_seconds);
    // One row into the targets, in column order; targets keep their values when
    // there is no row (status 100) or the query fails (-1). NULL gives "".
    void select_into(std::string_view sql_utf8, const std::vector<std::string*>& targets);
    void execute(std::string_view sql_utf8);
    // Sends one batch and reads every row of every result set it gives, in
    // order, each column as text and a NULL as nullopt. A failure (status -1)
    // leaves in rows what came before it.
    using result_row = std::vector<std::optional<std::string>>;
    void select_rows(std::string_view sql_utf8, std::vector<result_row>& rows);
    void commit();
    // Ends the open transaction without its changes; under autocommit there is
    // none. A rollback that fails must never be followed by a commit (of the
    // logout, or of switching autocommit on): the session then ends the
    // connection without one, so the server rolls the transaction back, and
    // the session is broken.
    void rollback();

    // True once the connection was lost, the server stopped answering, or a
    // rollback failed. The session stays broken until it disconnects: every
    // call fails at once with the text of the failure that broke it.
    bool connection_broken() const { return broken_; }

    // sql_executor
    std::string executor_driver() const override { return driver; }
    void execute_immediate_utf16(std::u16string_view sql) override { execute_immediate(sql); }
    long executor_status() const override { return status_code; }
    std::string executor_error_text() const override { return error_text; }
    long executor_native_error() const override { return native_error; }
    bool executor_autocommit() const override { return autocommit(); }
    void executor_set_autocommit(bool on) override { set_autocommit(on); }
    void executor_end_transaction(bool commit_it) override { commit_it ? commit() : rollback(); }
    // Without a connection there is nothing to end a transaction on either.
    bool executor_connection_broken() const override { return connection_broken() || !connected(); }

    using call_result = odbc_call_result;

private:
    // Whether the driver bounds a request itself (a statement, by its query
    // timeout) or only the session does (everything else).
    enum class request_kind { statement, other };
    using call = std::function<call_result(statement_slot&)>;
    bool refuse_when_unusable();
    // timeout_seconds: a statement's query timeout (0: the session's).
    call_result watched(request_kind kind, call c, int timeout_seconds = 0);
    void report(std::chrono::steady_clock::time_point started, std::chrono::steady_clock::duration bound, bool refused,
                bool broke);
    void take(call_result r);
    void prepare_after_login();
    call_result log_out();
    void close_connection(std::string& text);
    void end_transaction(bool commit_it);
    void fail(std::string text, long native = 0);
    void succeed();

    bool autocommit_ = false;
    bool broken_ = false;
    std::string broken_text_;
    std::string login_database_;
    struct odbc;
    // The handles; once a call was left behind, only its thread holds them.
    std::shared_ptr<odbc> odbc_;
    std::unique_ptr<request_bounds> bounds_;
};

}  // namespace velmora
