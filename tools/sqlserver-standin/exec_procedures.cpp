// conn_impl's EXEC: stored procedures run from their text, sp_helptext, and the application lock procedures.

#include "sqlserver-standin/connection_impl.h"

#include <algorithm>

#include "sqlserver-standin/sqlite_io.h"
#include "sqlserver-standin/translator.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

void conn_impl::exec_exec(const statement& st) {
    const std::string& proc = st.name.back();
    if (is_applock_procedure(proc)) {
        exec_applock(st, ieq(proc, "sp_releaseapplock"));
        return;
    }
    if (ieq(proc, "sp_executesql")) {
        exec_executesql(st);
        return;
    }
    variable* status = status_variable(st);
    if (ieq(proc, "sp_helptext")) {
        if (st.args.empty() || !st.args[0] || st.args[0]->kind != expr::lit_str)
            throw err(errors::parameter_not_supplied, "sp_helptext", "@objname");
        sqlite3* h = handle();
        const std::string& objname = st.args[0]->value;
        auto parts = split_object_name(objname);
        std::optional<long long> id;
        if (!parts.empty()) id = object_id(h, parts.back());
        if (!id) throw err(errors::object_missing_in_database, objname, db_);
        std::vector<std::vector<sql_value>> rows;
        run(h, "SELECT definition, encrypted FROM __standin_modules WHERE id = ?1", {static_cast<std::int64_t>(*id)}, &rows);
        if (rows.empty()) throw err(errors::no_text_for_object, objname);
        if (std::get<std::int64_t>(rows[0][1]) != 0) throw err(errors::text_encrypted, objname);
        const std::string& def = std::get<std::string>(rows[0][0]);
        result_set rs;
        rs.columns.push_back(column{"Text", column_type::text});
        std::size_t b = 0;
        while (b < def.size()) {
            std::size_t e = def.find('\n', b);
            e = e == std::string::npos ? def.size() : e + 1;
            rs.rows.push_back({def.substr(b, e - b)});
            b = e;
        }
        std::int64_t n = static_cast<std::int64_t>(rs.rows.size());
        reply_->items.push_back(std::move(rs));
        done(true, n);
        set_status(status, 0);
        return;
    }
    sqlite3* h = handle();
    std::string type;
    std::optional<long long> id;
    bool other_db = st.name.size() >= 3 && !st.name[st.name.size() - 3].empty() && !ieq(st.name[st.name.size() - 3], db_);
    if (!other_db) id = object_id(h, proc, &type);
    if (!id || type.rfind("P", 0) != 0) throw err(errors::unknown_procedure, proc);
    set_status(status, run_procedure(st, *id));
}

// EXEC [db.][owner.]sp_executesql N'statements': the statements as a batch
// of their own, with variables of their own, in the database the name gives
// (a system procedure runs in the database it is called through), which is
// current again afterwards. Parameters beyond the statement are not known.
void conn_impl::exec_executesql(const statement& st) {
    variable* status = status_variable(st);
    if (st.args.empty() || !st.args[0]) throw err(errors::parameter_not_supplied, "sp_executesql", "@stmt");
    if (st.args.size() > 1) throw err(errors::internal_error, "sp_executesql parameters are not supported.");
    std::string where = db_;
    if (st.name.size() >= 3 && !st.name[st.name.size() - 3].empty()) {
        auto d = eng_.find_db(st.name[st.name.size() - 3]);
        if (!d) throw err(errors::unknown_database, st.name[st.name.size() - 3]);
        where = d->name;
    }
    type_spec text_type;
    text_type.name = "NVARCHAR";
    text_type.length = -2;
    const sql_value text = evaluate(*st.args[0], text_type);
    struct restore {
        conn_impl& c;
        std::string db;
        std::map<std::string, variable> vars;
        int line;
        ~restore() {
            c.db_ = db;
            c.vars_ = std::move(vars);
            c.line_ = line;
        }
    } outer{*this, db_, std::move(vars_), line_};
    vars_.clear();
    db_ = where;
    if (!std::holds_alternative<std::monostate>(text)) run_statements(value_text(text));
    if (reply_->interrupted) throw request_interrupted{};
    set_status(status, 0);
}

// EXEC @v = p: the variable taking p's status, declared before p runs.
conn_impl::variable* conn_impl::status_variable(const statement& st) {
    if (st.status_variable.empty()) return nullptr;
    auto it = vars_.find(to_lower(st.status_variable));
    if (it == vars_.end()) throw compile_err(errors::undeclared_variable, st.status_variable);
    return &it->second;
}

void conn_impl::set_status(variable* v, int status) {
    if (!v) return;
    if (vtype_of(v->type) == vtype::integer) {
        v->value = static_cast<std::int64_t>(status);
        return;
    }
    expr e{};
    e.kind = expr::lit_int;
    e.value = std::to_string(status);
    v->value = evaluate(e, v->type);
}

// An argument of sp_getapplock / sp_releaseapplock as text. Literals and
// variables are read without touching the database, so that taking an
// application lock never waits for another connection's transaction.
std::optional<std::string> conn_impl::applock_argument_text(const expr& e) {
    switch (e.kind) {
    case expr::lit_str:
    case expr::lit_int:
    case expr::lit_num: return e.value;
    case expr::lit_null: return std::nullopt;
    case expr::variable: {
        auto it = vars_.find(to_lower(e.op));
        if (it == vars_.end()) throw compile_err(errors::undeclared_variable, e.op);
        if (std::holds_alternative<std::monostate>(it->second.value)) return std::nullopt;
        return value_text(it->second.value);
    }
    case expr::unary:
        if (e.op == "-" && e.args[0]->kind == expr::lit_int) return "-" + e.args[0]->value;
        break;
    default: break;
    }
    type_spec text_type;
    text_type.name = "NVARCHAR";
    text_type.length = -2;
    sql_value v = evaluate(e, text_type);
    if (std::holds_alternative<std::monostate>(v)) return std::nullopt;
    return value_text(v);
}

void conn_impl::exec_applock(const statement& st, bool release) {
    variable* status = status_variable(st);
    std::vector<applock_argument> args;
    for (std::size_t i = 0; i < st.args.size(); ++i) {
        applock_argument a;
        a.name = st.arg_names[i];
        const expr& e = *st.args[i];
        if (e.kind == expr::lit_null && e.op == "DEFAULT") a.is_default = true;
        else a.value = applock_argument_text(e);
        args.push_back(std::move(a));
    }
    applock_context ctx{eng_.applocks, spid_, current_dbid(), trancount_ > 0, lock_timeout_ms_,
                        [this] { return interrupt_ && interrupt_(); }};
    applock_outcome out = run_applock_procedure(release, args, ctx);
    if (out.refused) throw make_error(*out.refused);
    if (out.interrupted) throw request_interrupted{};
    // As SQL Server's own procedures answer: messages raised inside, each
    // error ending its statement there, then the return status.
    last_error_ = 0;
    for (const auto& m : out.messages) {
        reply_->items.push_back(m);
        if (!m.is_error()) continue;
        if (reply_->first_error == 0) reply_->first_error = m.number;
        last_error_ = m.number;
        statement_done d;
        d.error = true;
        d.in_procedure = true;
        reply_->items.push_back(d);
    }
    reply_->items.push_back(procedure_end{out.status});
    set_status(status, out.status);
}

// Runs a stored procedure's body with its parameters as variables; returns
// its return status.
int conn_impl::run_procedure(const statement& call, long long id) {
    const std::string& proc = call.name.back();
    if (exec_depth_ >= 32)
        throw err(errors::nesting_limit);
    sqlite3* h = handle();
    std::vector<std::vector<sql_value>> rows;
    run(h, "SELECT definition, body_start FROM __standin_modules WHERE id = ?1", {static_cast<std::int64_t>(id)}, &rows);
    if (rows.empty()) throw err(errors::unknown_procedure, proc);
    const std::string def = std::get<std::string>(rows[0][0]);
    std::size_t body_start = static_cast<std::size_t>(std::get<std::int64_t>(rows[0][1]));
    std::vector<stmt_ptr> header, body;
    std::string body_text = def.substr(std::min(body_start, def.size()));
    try {
        header = parse_batch(def, tokenize(def), nullptr, version().has);
        body = parse_batch(body_text, tokenize(body_text), nullptr, version().has);
    } catch (const syntax_error& e) {
        // A stored body is parsed only when it runs; what fails there is
        // reported at class 15 whatever the error.
        tsql_error failure{e.number, 1, 15, e.what()};
        failure.abort_batch = true;
        throw failure;
    }
    std::map<std::string, variable> params = procedure_arguments(call, *header.at(0));
    // The caller's state comes back however the procedure ends.
    struct scope_restore {
        conn_impl& c;
        std::map<std::string, variable> vars;
        bool nocount;
        int line;
        std::string proc;
        int offset;
        ~scope_restore() {
            --c.exec_depth_;
            c.vars_ = std::move(vars);
            c.nocount_ = nocount;  // SET NOCOUNT inside a procedure ends with it
            c.line_ = line;
            c.current_proc_ = std::move(proc);
            c.proc_line_offset_ = offset;
        }
    } restore{*this, std::move(vars_), nocount_, call.line, current_proc_, proc_line_offset_};
    current_proc_ = proc;
    // Lines count from the start of the CREATE batch, as SQL Server counts them.
    proc_line_offset_ = static_cast<int>(std::count(def.begin(), def.begin() + static_cast<long>(std::min(body_start, def.size())), '\n'));
    vars_ = std::move(params);
    ++exec_depth_;
    return run_procedure_body(body);
}

// The parameters of a procedure (its header) bound to a call's arguments,
// evaluated in the caller's scope; left-out ones take their defaults.
std::map<std::string, conn_impl::variable> conn_impl::procedure_arguments(const statement& call, const statement& h0) {
    const std::string& proc = call.name.back();
    std::map<std::string, variable> params;
    std::vector<bool> given(h0.arg_names.size(), false);
    std::size_t positional = 0;
    for (std::size_t i = 0; i < call.args.size(); ++i) {
        std::size_t k = h0.arg_names.size();
        if (call.arg_names[i].empty()) k = positional++;
        else
            for (std::size_t j = 0; j < h0.arg_names.size(); ++j)
                if (ieq(h0.arg_names[j], call.arg_names[i])) k = j;
        if (k >= h0.arg_names.size()) {
            if (call.arg_names[i].empty()) throw err(errors::too_many_arguments, proc);
            throw err(errors::not_a_parameter, call.arg_names[i], proc);
        }
        if (call.args[i]->kind == expr::lit_null && call.args[i]->op == "DEFAULT") continue;  // the parameter's default
        variable v;
        v.type = normalized(h0.types[k], false);
        v.value = evaluate(*call.args[i], v.type);
        params[to_lower(h0.arg_names[k])] = v;
        given[k] = true;
    }
    for (std::size_t k = 0; k < h0.arg_names.size(); ++k) {
        if (given[k]) continue;
        if (!h0.args[k])
            throw err(errors::parameter_not_supplied, proc, h0.arg_names[k]);
        variable v;
        v.type = normalized(h0.types[k], false);
        v.value = evaluate(*h0.args[k], v.type);
        params[to_lower(h0.arg_names[k])] = v;
    }
    return params;
}

int conn_impl::run_procedure_body(const std::vector<stmt_ptr>& body) {
    return_status_.reset();
    for (const auto& s : body) {
        try {
            exec_stmt(*s);
        } catch (const return_signal&) {
            break;
        } catch (const tsql_error& e) {
            report(e, s->line);
            if (e.rollback_tran && trancount_ > 0) rollback_tran();
            if (e.abort_batch) break;
        }
    }
    // A procedure called from this one has taken its own status already.
    int status = return_status_.value_or(0);
    return_status_.reset();
    return status;
}

}  // namespace standin::detail
