// conn_impl's plumbing (handles, statement cache, replies, lock waits), its
// transactions, and the running of a batch statement by statement.

#include "sqlserver-standin/connection_impl.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <thread>

#include "sqlserver-standin/sqlite_io.h"
#include "sqlserver-standin/translator.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

conn_impl::~conn_impl() {
    eng_.sessions.remove(spid_);
    eng_.applocks.release_all(spid_, applock_table::held_by::either);
    for (auto& [id, h] : handles_) {
        if (in_tran_.count(id)) sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
        for (auto& [sql, st] : cache_[id]) sqlite3_finalize(st);
        sqlite3_close(h);
    }
}

// A transaction manager request: its reply, with an error it raises.
batch_reply conn_impl::manager_request(const std::function<void()>& work) {
    batch_reply r;
    reply_ = &r;
    try {
        work();
    } catch (const tsql_error& e) {
        report(e, 1);
    }
    reply_ = nullptr;
    publish_session(false);
    return r;
}

batch_reply conn_impl::begin_transaction(const std::string& name) {
    return manager_request([this, name] { begin_tran(name); });
}

// Commits the whole transaction, however deep the nesting.
batch_reply conn_impl::commit_transaction(bool begin_new) {
    return manager_request([this, begin_new] {
        if (trancount_ == 0) throw err(errors::commit_without_begin);
        trancount_ = 1;
        commit_tran();
        if (begin_new) begin_tran();
    });
}

batch_reply conn_impl::rollback_transaction(const std::string& name, bool begin_new) {
    return manager_request([this, name, begin_new] {
        if (trancount_ == 0) throw err(errors::rollback_without_begin);
        rollback_named(name);
        if (begin_new && trancount_ == 0) begin_tran();
    });
}

batch_reply conn_impl::save_transaction(const std::string& name) {
    return manager_request([this, name] { save_tran(name); });
}

// What sp_reset_connection leaves: the state of a fresh login.
void conn_impl::reset(bool keep_transaction) {
    batch_reply ignored;
    reply_ = &ignored;
    if (!keep_transaction && trancount_ > 0) {
        try {
            rollback_tran();
        } catch (const tsql_error&) {
        }
    }
    eng_.applocks.release_all(spid_, applock_table::held_by::session);
    reply_ = nullptr;
    if (eng_.find_db(login_db_)) db_ = login_db_;
    nocount_ = implicit_ = xact_abort_ = parseonly_ = false;
    lock_timeout_ms_ = -1;
    identity_insert_.clear();
    rowcount_ = 0;
    last_error_ = 0;
    have_identity_ = false;
    vars_.clear();
    publish_session(false);
}

sqlite3_stmt* conn_impl::cached(sqlite3* h, const std::string& sql) {
    try {
        return prepare(h, sql);
    } catch (...) {  // called from inside SQLite: nothing may escape
        return nullptr;
    }
}

int conn_impl::keep_waiting(int count) {
    const auto now = std::chrono::steady_clock::now();
    if (count == 0) wait_started_ = now;
    if (lock_timeout_ms_ == 0) return 0;
    auto left = std::chrono::milliseconds(20);
    if (lock_timeout_ms_ > 0) {
        auto remaining = wait_started_ + std::chrono::milliseconds(lock_timeout_ms_) - now;
        if (remaining <= std::chrono::steady_clock::duration::zero()) return 0;
        left = std::min(left, std::chrono::ceil<std::chrono::milliseconds>(remaining));
    }
    if (interrupt_ && interrupt_()) {
        interrupted_ = true;
        return 0;
    }
    std::this_thread::sleep_for(left);
    return 1;
}

void conn_impl::fail(sqlite3* h, int rc) {
    if (interrupted_) throw request_interrupted{};
    throw sqlite_failure(h, rc);
}

void conn_impl::report(const tsql_error& e, int line) {
    server_message m;
    m.number = e.number;
    m.state = e.state;
    m.severity = e.severity;
    m.text = e.text;
    m.line = line + (current_proc_.empty() ? 0 : proc_line_offset_);
    m.procedure = current_proc_;
    reply_->items.push_back(m);
    if (e.terminated) {
        server_message t = message_of(errors::statement_terminated);
        t.line = line;
        reply_->items.push_back(t);
    }
    if (e.severity > 10 && reply_->first_error == 0) reply_->first_error = e.number;
    if (e.severity > 10) last_error_ = e.number;
    statement_done d;
    d.error = e.severity > 10;
    reply_->items.push_back(d);
}

void conn_impl::info(const error_def& d, const std::string& text) {
    server_message m = message_of(d, text);
    m.line = line_;
    reply_->items.push_back(m);
}

void conn_impl::done(bool count, std::int64_t n) {
    statement_done d;
    d.has_count = count && !nocount_;
    d.count = n;
    reply_->items.push_back(d);
    if (count) rowcount_ = n;
    last_error_ = 0;
}

int conn_impl::current_dbid() {
    auto d = eng_.find_db(db_);
    if (!d) throw err(errors::unknown_database, db_);
    return d->dbid;
}

sqlite3* conn_impl::raw_handle(int dbid) {
    auto it = handles_.find(dbid);
    if (it != handles_.end()) return it->second;
    auto d = eng_.find_dbid(dbid);
    if (!d) throw err(errors::database_gone);
    sqlite3* h = open_handle(d->path);
    if (!h) throw err(errors::internal_error, "cannot open the database file.");
    sqlite3_busy_handler(h, &conn_impl::busy_wait, this);
    register_connection_functions(h);
    handles_[dbid] = h;
    return h;
}

sqlite3* conn_impl::handle() {
    int id = current_dbid();
    sqlite3* h = raw_handle(id);
    if (trancount_ > 0 && !in_tran_.count(id)) {
        exec_raw(h, "BEGIN IMMEDIATE");
        in_tran_.insert(id);
    }
    fn_handle_ = h;
    return h;
}

sqlite3_stmt* conn_impl::prepare(sqlite3* h, const std::string& sql) {
    int id = 0;
    for (auto& [k, v] : handles_)
        if (v == h) id = k;
    auto& c = cache_[id];
    auto it = c.find(sql);
    if (it != c.end()) {
        sqlite3_reset(it->second);
        sqlite3_clear_bindings(it->second);
        return it->second;
    }
    sqlite3_stmt* st = nullptr;
    int rc = sqlite3_prepare_v3(h, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &st, nullptr);
    if (rc != SQLITE_OK) throw sqlite_failure(h, rc);
    c[sql] = st;
    return st;
}

void conn_impl::exec_raw(sqlite3* h, const std::string& sql) {
    char* msg = nullptr;
    int rc = sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &msg);
    if (msg) sqlite3_free(msg);
    if (rc != SQLITE_OK) fail(h, rc);
}

std::int64_t conn_impl::run(sqlite3* h, const std::string& sql, const std::vector<sql_value>& binds,
                           std::vector<std::vector<sql_value>>* rows) {
    sqlite3_stmt* st = prepare(h, sql);
    for (std::size_t i = 0; i < binds.size(); ++i) bind_value(st, static_cast<int>(i + 1), binds[i]);
    int rc;
    int ncol = sqlite3_column_count(st);
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        if (rows) {
            std::vector<sql_value> r;
            r.reserve(static_cast<std::size_t>(ncol));
            for (int i = 0; i < ncol; ++i) r.push_back(column_value(st, i));
            rows->push_back(std::move(r));
        }
    }
    if (rc != SQLITE_DONE) {
        int ext = sqlite3_extended_errcode(h);
        tsql_error e = sqlite_failure(h, rc);
        sqlite3_reset(st);
        if (ext == SQLITE_CONSTRAINT_PRIMARYKEY || ext == SQLITE_CONSTRAINT_UNIQUE) throw constraint_violation{};
        if (interrupted_) throw request_interrupted{};
        throw e;
    }
    std::int64_t changes = sqlite3_changes64(h);
    sqlite3_reset(st);
    return changes;
}

std::optional<sql_value> conn_impl::scalar(sqlite3* h, const std::string& sql, const std::vector<sql_value>& binds) {
    std::vector<std::vector<sql_value>> rows;
    run(h, sql, binds, &rows);
    if (rows.empty() || rows[0].empty()) return std::nullopt;
    return rows[0][0];
}

void conn_impl::begin_tran(const std::string& name) {
    if (trancount_ == 0) {
        descriptor_ = eng_.next_descriptor++;
        trancount_ = 1;
        tran_name_ = name;
        transaction_changed t{transaction_changed::what::begun, descriptor_};
        reply_->items.push_back(t);
    } else {
        ++trancount_;
    }
}

// A savepoint in every database the transaction has written to so far;
// databases it reaches later are rolled back whole by a rollback to it.
void conn_impl::save_tran(const std::string& name) {
    if (trancount_ == 0) throw err(errors::save_outside_transaction);
    savepoint sp{name, "tsql_save_" + std::to_string(++savepoint_serial_), in_tran_};
    for (int id : sp.handles) exec_raw(handles_.at(id), "SAVEPOINT " + sp.sqlite_name);
    savepoints_.push_back(std::move(sp));
}

void conn_impl::rollback_named(const std::string& name) {
    if (name.empty() || name == tran_name_) {
        rollback_tran();
        return;
    }
    for (std::size_t i = savepoints_.size(); i-- > 0;)
        if (savepoints_[i].name == name) {
            rollback_to(i);
            return;
        }
    throw err(errors::no_such_savepoint, name);
}

// Back to a savepoint: @@TRANCOUNT and the locks stay, as in SQL Server; the
// savepoint itself stays too, later ones go.
void conn_impl::rollback_to(std::size_t index) {
    const savepoint& sp = savepoints_[index];
    for (auto it = in_tran_.begin(); it != in_tran_.end();) {
        sqlite3* h = handles_.at(*it);
        if (sp.handles.count(*it)) {
            exec_raw(h, "ROLLBACK TO " + sp.sqlite_name);
            ++it;
        } else {
            sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr);
            it = in_tran_.erase(it);
        }
    }
    savepoints_.resize(index + 1);
}

void conn_impl::end_handles(const char* sql) {
    tsql_error first{0, 0, 0, ""};
    for (int id : in_tran_) {
        auto it = handles_.find(id);
        if (it == handles_.end()) continue;
        char* msg = nullptr;
        int rc = sqlite3_exec(it->second, sql, nullptr, nullptr, &msg);
        if (msg) sqlite3_free(msg);
        if (rc != SQLITE_OK && first.number == 0) first = sqlite_failure(it->second, rc);
        if (rc != SQLITE_OK) sqlite3_exec(it->second, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    in_tran_.clear();
    if (first.number) throw first;
}

void conn_impl::commit_tran() {
    if (trancount_ > 1) {
        --trancount_;
        return;
    }
    end_transaction("COMMIT", transaction_changed::what::committed);
}

void conn_impl::rollback_tran() { end_transaction("ROLLBACK", transaction_changed::what::rolled_back); }

// Ends the transaction whatever its nesting: the locks it owns go, and every
// handle in it commits or rolls back.
void conn_impl::end_transaction(const char* sql, transaction_changed::what how) {
    trancount_ = 0;
    tran_name_.clear();
    savepoints_.clear();
    std::uint64_t d = descriptor_;
    eng_.applocks.release_all(spid_, applock_table::held_by::transaction);
    end_handles(sql);
    reply_->items.push_back(transaction_changed{how, d});
}

void conn_impl::implicit_begin() {
    if (implicit_ && trancount_ == 0) begin_tran();
}

void conn_impl::check_owner(const std::vector<std::string>& parts) {
    if (parts.size() >= 3 && !parts[parts.size() - 3].empty() && !ieq(parts[parts.size() - 3], db_))
        throw compile_err(errors::invalid_object, join_name(parts));
}

// ------------------------------------------------------------------ batches

namespace {

bool is_write(const statement& st) {
    switch (st.kind) {
    case statement::insert: case statement::update: case statement::delete_:
    case statement::create_table: case statement::alter_add: case statement::alter_drop_column:
    case statement::drop_table: case statement::create_module: case statement::drop_module:
    case statement::truncate:
        return true;
    case statement::select:
        return st.query && !st.query->from.empty();
    default:
        return false;
    }
}

}  // namespace

batch_reply conn_impl::execute_batch(const std::string& sql) {
    batch_reply r;
    reply_ = &r;
    batch_text_ = sql;
    // Bound the statement cache; nothing is running between batches.
    for (auto& [id, c] : cache_)
        if (c.size() > 300) {
            for (auto& [k, v] : c) sqlite3_finalize(v);
            c.clear();
        }
    vars_.clear();
    interrupted_ = false;
    publish_session(true);
    r.parse_only = run_statements(sql);
    reply_ = nullptr;
    publish_session(false);
    return r;
}

// The statements of one batch, as the batch's reply tells of them: an error
// ends its statement or, as SQL Server's do, the batch. SET PARSEONLY counts
// as it is parsed: when it is on once the parse is done, only the parse's
// errors come back and nothing runs.
bool conn_impl::run_statements(const std::string& sql) {
    std::vector<token> toks = tokenize(sql);
    std::vector<stmt_ptr> stmts;
    std::optional<bool> parseonly;
    try {
        stmts = parse_batch(sql, toks, &parseonly, version().has);
    } catch (const syntax_error& e) {
        if (parseonly) parseonly_ = *parseonly;
        report(tsql_error{e.number, 1, e.severity, e.what()}, e.line);
        return parseonly_;
    }
    if (parseonly) parseonly_ = *parseonly;
    if (parseonly_) return true;
    for (const auto& st : stmts) {
        line_ = st->line;
        alias_counter_ = 0;  // same statement text, same SQLite text: the prepared one is reused
        try {
            exec_stmt(*st);
        } catch (const return_signal&) {
            break;
        } catch (const request_interrupted&) {
            reply_->interrupted = true;
            break;
        } catch (const std::exception& e) {
            // Never expected; reported instead of taking the connection down.
            report(err(errors::internal_error, e.what()), line_);
            break;
        } catch (const tsql_error& e) {
            report(e, line_);
            if (e.rollback_tran && trancount_ > 0) {
                try {
                    rollback_tran();
                } catch (const tsql_error&) {
                }
            }
            if (e.abort_batch) break;
        }
    }
    return false;
}

void conn_impl::exec_stmt(const statement& st) {
    line_ = st.line;
    if (is_write(st)) implicit_begin();
    switch (st.kind) {
    case statement::select: exec_select(st); return;
    case statement::insert: exec_insert(st); return;
    case statement::update: exec_update(st); return;
    case statement::delete_: exec_delete(st); return;
    case statement::truncate: exec_truncate(st); return;
    case statement::create_table: exec_create_table(st); return;
    case statement::alter_add: exec_alter_add(st); return;
    case statement::alter_drop_column: exec_alter_drop(st); return;
    case statement::drop_table: exec_drop_table(st); return;
    case statement::create_module: exec_create_module(st); return;
    case statement::drop_module: exec_drop_module(st); return;
    case statement::use: exec_use(st); return;
    case statement::create_database: exec_create_database(st); return;
    case statement::drop_database:
        throw err(errors::database_in_use, st.name.back());
    case statement::if_:
        if (eval_condition(*st.condition)) exec_stmt(*st.then_branch);
        else if (st.else_branch) exec_stmt(*st.else_branch);
        return;
    case statement::block: exec_block(st); return;
    case statement::set_option: exec_set(st); return;
    case statement::begin_tran: begin_tran(variable_text(st.option)); done(false, 0); return;
    case statement::commit:
    case statement::rollback:
    case statement::save_tran: exec_end_tran(st); return;
    case statement::exec: exec_exec(st); return;
    case statement::print: exec_print(st); return;
    case statement::declare: exec_declare(st); return;
    case statement::set_variable: {
        auto it = vars_.find(to_lower(st.arg_names[0]));
        if (it == vars_.end()) throw compile_err(errors::undeclared_variable, st.arg_names[0]);
        it->second.value = evaluate(*st.args[0], it->second.type);
        return;
    }
    case statement::return_: exec_return(st); return;
    case statement::backup: exec_backup(st); return;
    case statement::restore: exec_restore(st); return;
    case statement::noop: return;
    }
}

void conn_impl::exec_truncate(const statement& st) {
    sqlite3* h = handle();
    check_owner(st.name);
    auto t = resolve_table(h, st.name, true);
    atomic_stmt a(*this, h);
    run(h, "DELETE FROM " + quote_id(t->name), {});
    a.commit();
    done(false, 0);
}

// BEGIN ... END: an error ends only its statement, unless it ends the batch.
void conn_impl::exec_block(const statement& st) {
    for (const auto& s : st.body) {
        try {
            exec_stmt(*s);
        } catch (const tsql_error& e) {
            if (e.abort_batch) throw;
            report(e, s->line);
            if (e.rollback_tran && trancount_ > 0) rollback_tran();
        }
    }
}

// COMMIT, ROLLBACK and SAVE TRANSACTION.
void conn_impl::exec_end_tran(const statement& st) {
    if (st.kind == statement::commit) {
        if (trancount_ == 0) throw err(errors::commit_without_begin);
        commit_tran();
    } else if (st.kind == statement::rollback) {
        if (trancount_ == 0) throw err(errors::rollback_without_begin);
        rollback_named(variable_text(st.option));
    } else {
        save_tran(variable_text(st.option));
    }
    done(false, 0);
}

// A transaction or savepoint name as written: a name, or a variable holding one.
std::string conn_impl::variable_text(const std::string& written) {
    if (written.empty() || written[0] != '@') return written;
    auto it = vars_.find(to_lower(written));
    if (it == vars_.end()) throw compile_err(errors::undeclared_variable, written);
    const sql_value& v = it->second.value;
    return std::holds_alternative<std::monostate>(v) ? std::string() : value_text(v);
}

void conn_impl::exec_print(const statement& st) {
    sqlite3* h = handle();
    translator tr(*this, h);
    scope sc;
    typed t = tr.expression(*st.args[0], sc);
    auto v = scalar(h, "SELECT " + t.sql, {});
    info(errors::print_text, v ? (std::holds_alternative<std::monostate>(*v) ? "" : value_text(*v)) : "");
}

void conn_impl::exec_declare(const statement& st) {
    for (std::size_t i = 0; i < st.arg_names.size(); ++i) {
        const std::string key = to_lower(st.arg_names[i]);
        if (vars_.count(key))
            throw compile_err(errors::variable_declared_twice, st.arg_names[i]);
        if (!known_type(st.types[i].name))
            throw compile_err(errors::unknown_type.in_state(3), std::to_string(i + 1), st.types[i].name);
        variable v;
        v.type = normalized(st.types[i], false);
        if (st.args[i]) v.value = evaluate(*st.args[i], v.type);
        vars_[key] = v;
    }
}

// Ends the procedure, or the batch at its top level.
void conn_impl::exec_return(const statement& st) {
    if (exec_depth_ > 0 && !st.args.empty()) {
        type_spec int_type;
        int_type.name = "INT";
        sql_value v = evaluate(*st.args[0], int_type);
        return_status_ = std::holds_alternative<std::int64_t>(v) ? static_cast<int>(std::get<std::int64_t>(v)) : 0;
    }
    throw return_signal{};
}

sql_value conn_impl::evaluate(const expr& e, const type_spec& type) {
    sqlite3* h = handle();
    translator tr(*this, h);
    scope sc;
    typed t = tr.expression(e, sc);
    auto v = scalar(h, "SELECT " + cvt_call(t.sql, type, false), {});
    return v ? *v : sql_value{};
}

bool conn_impl::eval_condition(const expr& e) {
    sqlite3* h = handle();
    translator tr(*this, h);
    scope sc;
    typed t = tr.expression(e, sc);
    auto v = scalar(h, "SELECT CASE WHEN " + t.sql + " THEN 1 ELSE 0 END", {});
    return v && std::holds_alternative<std::int64_t>(*v) && std::get<std::int64_t>(*v) == 1;
}

// SET LOCK_TIMEOUT's value: a number of milliseconds or a variable holding
// one. Anything below -1 waits for ever, as -1 does.
int conn_impl::lock_timeout_value(const std::string& written) {
    sql_value v;
    if (!written.empty() && written[0] == '@') {
        auto it = vars_.find(to_lower(written));
        if (it == vars_.end()) throw compile_err(errors::undeclared_variable, written);
        v = it->second.value;
        if (auto* s = std::get_if<std::string>(&v)) {
            char* end = nullptr;
            long long n = std::strtoll(s->c_str(), &end, 10);
            if (end == s->c_str() || *end != '\0') throw err(errors::conversion_error, "varchar", "int");
            v = static_cast<std::int64_t>(n);
        }
        if (std::holds_alternative<std::monostate>(v)) return lock_timeout_ms_;
    } else {
        std::size_t digits = written[0] == '-' ? 1 : 0;
        if (written.size() <= digits || written.find_first_not_of("0123456789", digits) != std::string::npos)
            throw compile_err(errors::syntax_near, written);
        v = static_cast<std::int64_t>(std::strtoll(written.c_str(), nullptr, 10));
    }
    std::int64_t n = std::holds_alternative<std::int64_t>(v) ? std::get<std::int64_t>(v)
                                                              : static_cast<std::int64_t>(std::get<double>(v));
    if (n > INT32_MAX) throw err(errors::arithmetic_overflow, "expression", "int");
    return n < -1 ? -1 : static_cast<int>(n);
}

void conn_impl::exec_set(const statement& st) {
    bool on = st.with_values;
    if (st.option == "NOCOUNT") nocount_ = on;
    else if (st.option == "IMPLICIT_TRANSACTIONS") implicit_ = on;
    else if (st.option == "XACT_ABORT") xact_abort_ = on;
    else if (st.option == "LOCK_TIMEOUT") lock_timeout_ms_ = lock_timeout_value(st.arg_names.at(0));
    else if (st.option == "IDENTITY_INSERT") {
        sqlite3* h = handle();
        check_owner(st.name);
        auto t = resolve_table(h, st.name, true);
        if (on) identity_insert_.insert(t->id);
        else identity_insert_.erase(t->id);
    }
}

}  // namespace standin::detail
