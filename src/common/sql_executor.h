#pragma once
// What the script package runner needs of a database session. The ODBC session
// implements it; keeping it abstract lets the package library stay free of ODBC.

#include <string>
#include <string_view>

namespace velmora {

class sql_executor {
public:
    virtual ~sql_executor() = default;
    // The session's client interface name as set by the login ("MSS").
    virtual std::string executor_driver() const = 0;
    // Sends one batch; afterwards executor_status() is 0 on success and
    // executor_error_text() holds the client's or server's message (UTF-8).
    virtual void execute_immediate_utf16(std::u16string_view sql) = 0;
    virtual long executor_status() const = 0;
    virtual std::string executor_error_text() const = 0;
    // The server's number for the failure (2714, 1222, ...); 0 when the
    // client failed on its own, or when nothing failed.
    virtual long executor_native_error() const { return 0; }

    // Transaction control, so that an object's drop and create take effect
    // together or not at all. With autocommit off every statement joins the
    // open transaction until end_transaction commits or rolls it back; both
    // set the status and error text like a statement. After a rollback that
    // failed, nothing may commit what is still open: the session ends its
    // connection without a commit, and reports itself broken.
    virtual bool executor_autocommit() const = 0;
    virtual void executor_set_autocommit(bool on) = 0;
    virtual void executor_end_transaction(bool commit) = 0;

    // True once the connection is gone or the server stopped answering; every
    // later statement fails at once.
    virtual bool executor_connection_broken() const = 0;
};

}  // namespace velmora
