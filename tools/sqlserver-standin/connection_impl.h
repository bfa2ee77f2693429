#pragma once
// One client connection of the engine: its SQLite handles (one per database
// it touched), its transaction, session options and batch variables, and the
// statements it executes. The methods live by subject:
//   connection.cpp       plumbing, transactions, batches and the statement switch
//   exec_dml.cpp         SELECT, INSERT, UPDATE, DELETE
//   exec_ddl.cpp         tables, procedures and triggers, databases
//   exec_procedures.cpp  EXEC: stored procedures, sp_helptext, application locks
//   catalog.cpp          reading the catalog
//   system_tables.cpp    msdb's backup history and master's sysprocesses
//   exec_backup.cpp      BACKUP DATABASE, RESTORE DATABASE, RESTORE VERIFYONLY

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "sqlserver-standin/catalog.h"
#include "sqlserver-standin/engine.h"
#include "sqlserver-standin/engine_state.h"
#include "sqlserver-standin/error_catalogue.h"
#include "sqlserver-standin/tsql_parser.h"

namespace standin::detail {

using tsql::expr;
using tsql::statement;

// A key violation, turned into 2627 by the statement that knows the key.
struct constraint_violation {};
// RETURN: ends the procedure, or the batch.
struct return_signal {};
// The client cancelled or went away while the request waited for a lock.
struct request_interrupted {};

struct translator;

class conn_impl : public connection {
public:
    conn_impl(engine_state& eng, std::string db, std::string user, const client_info& client = {})
        : eng_(eng), db_(std::move(db)), login_db_(db_), user_(std::move(user)), spid_(eng.next_spid++) {
        register_session(client);
    }
    ~conn_impl() override;

    batch_reply execute_batch(const std::string& sql) override;
    batch_reply begin_transaction(const std::string& name) override;
    batch_reply commit_transaction(bool begin_new) override;
    batch_reply rollback_transaction(const std::string& name, bool begin_new) override;
    batch_reply save_transaction(const std::string& name) override;
    void reset(bool keep_transaction) override;
    void set_interrupt_check(std::function<bool()> check) override { interrupt_ = std::move(check); }
    std::string current_database() const override { return db_; }
    int trancount() const override { return trancount_; }
    std::uint64_t transaction_descriptor() const override { return trancount_ > 0 ? descriptor_ : 0; }

    // A prepared statement from this connection's cache, reset and unbound.
    sqlite3_stmt* cached(sqlite3* h, const std::string& sql);

    // Used by the SQLite functions bound to this connection.
    std::string db_name() const { return db_; }
    int session_id() const { return spid_; }
    const std::string& user_name() const { return user_; }
    engine_state& eng() { return eng_; }
    // The SQL Server played: what its T-SQL has.
    const server_version& version() const { return *eng_.version; }

private:
    engine_state& eng_;
    std::string db_;
    const std::string login_db_;  // where a reset returns to
    std::string user_;
    int spid_;
    std::map<int, sqlite3*> handles_;
    std::map<int, std::unordered_map<std::string, sqlite3_stmt*>> cache_;
    std::set<int> in_tran_;
    int trancount_ = 0;
    std::uint64_t descriptor_ = 0;
    std::string tran_name_;  // the outermost BEGIN TRAN's name
    // SAVE TRAN: each savepoint by name, with the databases (handles) that
    // were in the transaction when it was taken. Names compare exactly, as
    // SQL Server's transaction names do.
    struct savepoint {
        std::string name;
        std::string sqlite_name;
        std::set<int> handles;
    };
    std::vector<savepoint> savepoints_;
    int savepoint_serial_ = 0;
    bool nocount_ = false;
    bool implicit_ = false;
    bool xact_abort_ = false;
    bool parseonly_ = false;  // SET PARSEONLY: batches are parsed and not run
    std::int64_t rowcount_ = 0;
    int last_error_ = 0;
    std::int64_t last_identity_ = 0;
    bool have_identity_ = false;
    std::set<long long> identity_insert_;
    batch_reply* reply_ = nullptr;
    sqlite3* fn_handle_ = nullptr;
    int line_ = 1;
    int alias_counter_ = 0;
    struct variable {
        type_spec type;
        sql_value value;
    };
    std::map<std::string, variable> vars_;  // batch-scoped, keyed by lower-case name

    // SET LOCK_TIMEOUT: milliseconds a statement waits for a lock; -1, SQL
    // Server's default, waits for ever.
    int lock_timeout_ms_ = -1;
    std::function<bool()> interrupt_;
    bool interrupted_ = false;
    std::chrono::steady_clock::time_point wait_started_;

    std::string batch_text_;            // the batch running, as received
    std::optional<int> return_status_;  // RETURN n inside the running procedure
    int exec_depth_ = 0;                // procedures running inside each other
    std::string current_proc_;          // for the procedure field of messages raised inside one
    int proc_line_offset_ = 0;

    friend struct translator;

    // SQLite's busy handler: another connection holds the database's write
    // lock (an open transaction). Waits as LOCK_TIMEOUT says, checking now and
    // then whether the client still wants the answer.
    static int busy_wait(void* self, int count) { return static_cast<conn_impl*>(self)->keep_waiting(count); }
    int keep_waiting(int count);
    // A failed SQLite call: 1222 after a lock wait ran out, or the end of the
    // request when the wait was interrupted.
    [[noreturn]] void fail(sqlite3* h, int rc);

    // ---------------------------------------------------------- plumbing

    void report(const tsql_error& e, int line);
    void info(const error_def& d, const std::string& text);
    void done(bool count, std::int64_t n);
    int current_dbid();
    sqlite3* raw_handle(int dbid);

    // The handle of the current database, inside the open transaction if any.
    sqlite3* handle();
    sqlite3_stmt* prepare(sqlite3* h, const std::string& sql);
    void exec_raw(sqlite3* h, const std::string& sql);

    // Runs a statement; rows (if wanted) come back as values.
    std::int64_t run(sqlite3* h, const std::string& sql, const std::vector<sql_value>& binds,
                     std::vector<std::vector<sql_value>>* rows = nullptr);
    std::optional<sql_value> scalar(sqlite3* h, const std::string& sql, const std::vector<sql_value>& binds);
    void register_connection_functions(sqlite3* h);

    // ------------------------------------------------------ transactions

    batch_reply manager_request(const std::function<void()>& work);
    void begin_tran(const std::string& name = "");
    void save_tran(const std::string& name);
    // ROLLBACK [TRAN name]: the whole transaction, or back to a savepoint.
    void rollback_named(const std::string& name);
    void rollback_to(std::size_t savepoint_index);
    void end_handles(const char* sql);
    void commit_tran();
    void rollback_tran();
    void end_transaction(const char* sql, transaction_changed::what how);

    // A single statement's work is atomic: in a user transaction it runs
    // under a savepoint, otherwise in its own write transaction.
    struct atomic_stmt {
        conn_impl& c;
        sqlite3* h;
        bool own = false;
        bool open = true;
        atomic_stmt(conn_impl& cc, sqlite3* hh) : c(cc), h(hh) {
            if (sqlite3_get_autocommit(h)) {
                c.run(h, "BEGIN IMMEDIATE", {});
                own = true;
            } else {
                c.run(h, "SAVEPOINT stmt", {});
            }
        }
        void commit() {
            if (!open) return;
            open = false;
            c.run(h, own ? "COMMIT" : "RELEASE stmt", {});
        }
        ~atomic_stmt() {
            if (!open) return;
            if (own) sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
            else sqlite3_exec(h, "ROLLBACK TO stmt; RELEASE stmt", nullptr, nullptr, nullptr);
        }
    };
    void implicit_begin();

    // ------------------------------------------------------------ catalog

    std::shared_ptr<table_info> load_table(sqlite3* h, const std::string& name);
    std::shared_ptr<table_info> resolve_table(sqlite3* h, const std::vector<std::string>& parts, bool for_write);
    std::optional<long long> object_id(sqlite3* h, const std::string& name, std::string* type = nullptr);
    void refresh_sysdatabases(sqlite3* h);

    // ------------------------------------------------------ system_tables.cpp

    // msdb.dbo.backupset, msdb.dbo.backupmediafamily, master.dbo.sysprocesses
    // by the names that reach them; null for any other name.
    std::shared_ptr<table_info> server_table(sqlite3* h, const std::vector<std::string>& parts);
    void register_session(const client_info& client);
    // What other sessions see of this one; running while a request runs.
    void publish_session(bool running);
    long long new_object_id(sqlite3* h);

    // ------------------------------------- batches and simple statements
    // (connection.cpp)

    // Returns true when the batch was only parsed (SET PARSEONLY).
    bool run_statements(const std::string& sql);
    void exec_stmt(const statement& st);
    void check_owner(const std::vector<std::string>& parts);
    bool eval_condition(const expr& e);
    sql_value evaluate(const expr& e, const type_spec& type);
    void exec_truncate(const statement& st);
    void exec_block(const statement& st);
    void exec_end_tran(const statement& st);
    std::string variable_text(const std::string& written);
    void exec_print(const statement& st);
    void exec_declare(const statement& st);
    void exec_return(const statement& st);
    void exec_set(const statement& st);
    int lock_timeout_value(const std::string& written);

    // ----------------------------------------------------- exec_dml.cpp

    void exec_select(const statement& st);
    void exec_insert(const statement& st);
    void insert_rows(sqlite3* h, const table_info& t, const std::vector<int>& target,
                     std::vector<std::vector<sql_value>>& rows);
    void exec_update(const statement& st);
    void exec_delete(const statement& st);

    // ----------------------------------------------------- exec_ddl.cpp

    void exec_create_table(const statement& st);
    table_info declared_table(sqlite3* h, const statement& st);
    void store_table(sqlite3* h, const table_info& t);
    void store_column(sqlite3* h, std::int64_t table_id, std::int64_t colid, const col_info& c, std::int64_t pk_order);
    std::shared_ptr<table_info> altered_table(sqlite3* h, const statement& st);
    void exec_alter_add(const statement& st);
    void add_column(sqlite3* h, table_info& t, const tsql::column_def& cd, bool with_values, bool empty, std::int64_t colid,
                    translator& tr);
    void add_primary_key(sqlite3* h, const table_info& t, const statement& st);
    void exec_alter_drop(const statement& st);
    void exec_drop_table(const statement& st);
    void exec_create_module(const statement& st);
    void exec_create_ddl_trigger(const statement& st);
    void exec_drop_module(const statement& st);
    void exec_drop_ddl_triggers(const statement& st);
    void exec_use(const statement& st);
    void exec_create_database(const statement& st);

    // ---------------------------------------------- exec_procedures.cpp

    void exec_exec(const statement& st);
    variable* status_variable(const statement& st);
    void set_status(variable* v, int status);
    int run_procedure(const statement& call, long long id);
    std::map<std::string, variable> procedure_arguments(const statement& call, const statement& header);
    int run_procedure_body(const std::vector<tsql::stmt_ptr>& body);
    void exec_applock(const statement& st, bool release);
    void exec_executesql(const statement& st);
    std::optional<std::string> applock_argument_text(const expr& e);

    // -------------------------------------------------- exec_backup.cpp

    void exec_backup(const statement& st);
    void exec_restore(const statement& st);
    std::string device_path(const statement& st);
    int backup_file_number(const statement& st);
    void operation_failed(const std::string& operation, const tsql_error& cause);
    void operation_succeeded(const std::string& operation, const std::string& database, int file, std::size_t bytes,
                             std::chrono::steady_clock::time_point started);
};

}  // namespace standin::detail
