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
};

}  // namespace velmora
