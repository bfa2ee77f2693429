#pragma once
// The one database session of the program (sqlca), over ODBC's wide functions.
// Every operation sets status_code (0 success, 100 no row, -1 failure) and, on
// failure, error_text; none throws.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sql_executor.h"

namespace velmora {

class transaction : public sql_executor {
public:
    transaction();
    ~transaction() override;  // disconnects
    transaction(const transaction&) = delete;
    transaction& operator=(const transaction&) = delete;

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

    // Takes effect at once on a live connection; switching on commits what is open.
    void set_autocommit(bool on);
    bool autocommit() const { return autocommit_; }

    void connect();
    void disconnect();
    bool connected() const;

    // The database the server made current at login, as the server names it;
    // empty when not connected.
    const std::string& login_database() const { return login_database_; }
    // The database current now, as the driver tracks it; empty when not
    // connected. Leaves status_code and error_text alone.
    std::string current_database() const;

    void execute_immediate(std::string_view sql_utf8);
    void execute_immediate(std::u16string_view sql);
    // One row into the targets, in column order; targets keep their values when
    // there is no row (status 100) or the query fails (-1). NULL gives "".
    void select_into(std::string_view sql_utf8, const std::vector<std::string*>& targets);
    void execute(std::string_view sql_utf8);
    void commit();

    // sql_executor
    std::string executor_driver() const override { return driver; }
    void execute_immediate_utf16(std::u16string_view sql) override { execute_immediate(sql); }
    long executor_status() const override { return status_code; }
    std::string executor_error_text() const override { return error_text; }

private:
    bool autocommit_ = false;
    std::string login_database_;
    struct odbc;
    std::unique_ptr<odbc> odbc_;
};

}  // namespace velmora
