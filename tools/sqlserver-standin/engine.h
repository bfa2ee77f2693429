#pragma once
// The stand-in's T-SQL engine: databases, logins, batches and transactions,
// independent of the wire protocol. The TDS server (server.h) turns requests
// into calls here and the replies into tokens.
//
// Every call is safe from any thread; each connection is used by one thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sqlserver-standin/server_version.h"

namespace standin {

// A cell: NULL, an integer, a floating or decimal number, or UTF-8 text.
using sql_value = std::variant<std::monostate, std::int64_t, double, std::string>;

// A result column as COLMETADATA declares it: the declared type of a table
// column, a variable or a CAST, with its length, precision and scale. A
// computed value with no declared type (an expression) keeps the loose
// description: size, length or precision 0.
enum class column_type {
    integer,   // INTN: size 1, 2, 4 or 8 bytes; 0 computed (4, or 8 when a value needs it)
    bit,       // BITN
    decimal,   // DECIMALN or NUMERICN with precision and scale
    money,     // MONEYN: size 8 (money) or 4 (smallmoney)
    floating,  // FLTN: size 8 (float; also any computed number) or 4 (real)
    text,      // character data: length, unicode, fixed and lob say which
    datetime,  // DATETIMN: size 8 (datetime, also computed) or 4 (smalldatetime)
    date,      // DATEN from TDS 7.3 on, NVARCHAR(10) before
};

struct column {
    std::string name;
    column_type type = column_type::text;
    int size = 0;          // integer, money, floating, datetime: bytes; 0 computed
    int length = 0;        // text: characters (n-types) or bytes; -1 (max); 0 computed
    int precision = 0;     // decimal
    int scale = 0;         // decimal
    bool unicode = true;   // text: nchar, nvarchar, ntext; else char, varchar, text in the Chinese code page
    bool fixed = false;    // text: char(n), nchar(n)
    bool lob = false;      // text: text, ntext
    bool numeric = false;  // decimal: declared numeric (NUMERICN) rather than decimal (DECIMALN)
    bool operator==(const column&) const = default;
};

struct result_set {
    std::vector<column> columns;
    std::vector<std::vector<sql_value>> rows;
};

// An ERROR (severity > 10) or INFO token.
struct server_message {
    int number = 0;
    int state = 1;
    int severity = 16;
    std::string text;
    std::string procedure;
    int line = 1;
    bool is_error() const { return severity > 10; }
};

// The end of one statement: DONE (or DONEINPROC) with its row count.
struct statement_done {
    bool has_count = false;
    std::int64_t count = 0;
    bool error = false;
    bool in_procedure = false;  // a statement of a procedure the batch called: DONEINPROC
};

// The end of a procedure the batch called: RETURNSTATUS and DONEPROC.
struct procedure_end {
    int status = 0;
};

// ENVCHANGE 1.
struct database_changed {
    std::string old_name;
    std::string new_name;
};

// ENVCHANGE 8 (begun), 9 (committed) or 10 (rolled back).
struct transaction_changed {
    enum class what { begun, committed, rolled_back } change;
    std::uint64_t descriptor = 0;
};

using reply_item =
    std::variant<result_set, server_message, statement_done, database_changed, transaction_changed, procedure_end>;

struct batch_reply {
    std::vector<reply_item> items;  // in wire order
    int first_error = 0;            // number of the first error raised, 0 if none
    bool interrupted = false;       // ended while waiting for a lock: the client cancelled or left
    bool parse_only = false;        // SET PARSEONLY was ON when the batch's parse ended: nothing of it ran
};

struct login_entry {
    std::string name;
    std::string password;
};

class connection {
public:
    virtual ~connection() = default;  // rolls back an open transaction

    virtual batch_reply execute_batch(const std::string& sql_utf8) = 0;

    // Transaction manager requests. A name is the transaction's or a
    // savepoint's, as BEGIN TRAN, ROLLBACK TRAN and SAVE TRAN take them;
    // empty for none.
    virtual batch_reply begin_transaction(const std::string& name) = 0;
    virtual batch_reply commit_transaction(bool begin_new) = 0;
    virtual batch_reply rollback_transaction(const std::string& name, bool begin_new) = 0;
    virtual batch_reply save_transaction(const std::string& name) = 0;

    // The connection as a fresh login leaves it (a client's reset, as
    // sp_reset_connection does): its login database, default SET options
    // (PARSEONLY off among them),
    // its session's application locks released and, unless keep_transaction,
    // its open transaction rolled back.
    virtual void reset(bool keep_transaction) = 0;

    // Asked now and then while a request waits for a lock (another
    // connection's transaction, an application lock). Returning true ends the
    // request there: its statement is undone and the reply is marked
    // interrupted. Without one, waits end only by the lock or LOCK_TIMEOUT.
    virtual void set_interrupt_check(std::function<bool()> check) = 0;

    virtual std::string current_database() const = 0;
    virtual int trancount() const = 0;
    virtual std::uint64_t transaction_descriptor() const = 0;
};

// What a client says of itself at login (LOGIN7's HostName and AppName),
// shown in master.dbo.sysprocesses.
struct client_info {
    std::string host;
    std::string program;
};

struct login_result {
    std::unique_ptr<connection> conn;       // set on success
    std::optional<server_message> error;    // 18456 or 4060 on failure
    std::string database;                   // current database after login
};

class engine {
public:
    // version: the SQL Server whose T-SQL the engine answers as (--version).
    explicit engine(std::vector<login_entry> logins, const server_version& version = default_version());
    ~engine();
    engine(const engine&) = delete;
    engine& operator=(const engine&) = delete;

    // Runs a T-SQL file as the system administrator, batches separated by GO
    // lines. Returns false with a description of the first failure.
    bool run_fixture(const std::string& path, std::string& error);

    // database empty means the login's default database (master).
    login_result login(const std::string& user, const std::string& password,
                       const std::string& database, const client_info& client = {});

    // The folder BACKUP writes a file named without a folder into (by
    // default one inside the engine's own storage). False, with the reason,
    // when the path cannot be made absolute.
    bool set_backup_directory(const std::string& dir, std::string& error);
    std::string backup_directory() const;

    // The whole state as the --dump JSON document.
    std::string dump_json();

    // Deletes the engine's database files now (for a process about to _exit
    // without destroying the engine). Nothing may use the engine afterwards.
    void remove_storage() noexcept;

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

}  // namespace standin
