// The parser's core (the batch, token helpers, names) and its statements
// other than definitions.

#include "sqlserver-standin/tsql_parser.h"

#include <algorithm>
#include <unordered_set>

#include "sqlserver-standin/tsql_parser_internal.h"

namespace standin::tsql {

std::vector<stmt_ptr> parse_batch(const std::string& sql, const std::vector<token>& toks,
                                  std::optional<bool>* parseonly, const version_features& has) {
    parser p(sql, toks, parseonly, has);
    return p.batch();
}

std::vector<stmt_ptr> parser::batch() {
    std::vector<stmt_ptr> out;
    for (const auto& tk : t_)
        if (tk.kind == tok::op && tk.text == "'")
            throw syntax_error(errors::unclosed_quote, {tk.upper}, tk.line);
    while (!at_end()) {
        if (peek().is_op(";")) { ++p_; continue; }
        bool first = out.empty();
        out.push_back(statement_(first, true));
    }
    return out;
}

int parser::small_int(const token& t) {
    if (t.kind != tok::integer || t.text.size() > 9 || (t.text.size() > 1 && (t.text[1] == 'x' || t.text[1] == 'X')))
        fail_at(p_ - 1);
    return std::stoi(t.text);
}

const token& parser::peek(std::size_t k) const {
    std::size_t i = std::min(p_ + k, t_.size() - 1);
    return t_[i];
}

const token& parser::next() {
    const token& t = peek();
    if (t.kind != tok::end) ++p_;
    return t;
}

void parser::fail_at(std::size_t i) const {
    const token* t = &t_[std::min(i, t_.size() - 1)];
    if (t->kind == tok::end) {
        // At the end SQL Server names the last token of the batch.
        if (t_.size() >= 2) t = &t_[t_.size() - 2];
        else throw syntax_error(errors::syntax_near, {""}, t->line);
    }
    if (t->kind == tok::ident && is_reserved(t->upper))
        throw syntax_error(errors::syntax_near_keyword, {t->text}, t->line);
    throw syntax_error(errors::syntax_near, {t->text}, t->line);
}

bool parser::accept(const char* kw) {
    if (peek().is(kw)) { ++p_; return true; }
    return false;
}

bool parser::accept_op(const char* o) {
    if (peek().is_op(o)) { ++p_; return true; }
    return false;
}

void parser::expect(const char* kw) {
    if (!accept(kw)) fail();
}

void parser::expect_op(const char* o) {
    if (!accept_op(o)) fail();
}

bool parser::is_name(const token& t) const {
    return t.kind == tok::quoted_ident || (t.kind == tok::ident && !is_reserved(t.upper));
}

std::string parser::name_part() {
    if (!is_name(peek())) fail();
    return next().text;
}

std::vector<std::string> parser::multipart() {
    std::vector<std::string> parts;
    parts.push_back(name_part());
    while (peek().is_op(".")) {
        ++p_;
        if (peek().is_op(".")) { parts.push_back(""); continue; }  // db..table
        parts.push_back(name_part());
    }
    if (parts.size() > 4) fail();
    return parts;
}

stmt_ptr parser::statement_(bool first, bool top) {
    nesting guard(*this);
    const token& t = peek();
    auto st = std::make_unique<statement>();
    st->line = t.line;
    st->first_tok = p_;
    if (t.kind == tok::ident || t.kind == tok::quoted_ident) {
        const std::string& u = t.kind == tok::ident ? t.upper : std::string();
        if (u == "SELECT") { st->kind = statement::select; st->query = select_(); }
        else if (u == "INSERT") insert_(*st);
        else if (u == "UPDATE") update_(*st);
        else if (u == "DELETE") delete_(*st);
        else if (u == "CREATE" || u == "ALTER") create_(*st, first && top);
        else if (u == "DROP") drop_(*st);
        else if (u == "USE") { next(); st->kind = statement::use; st->name = {name_part()}; }
        else if (u == "IF") if_(*st);
        else if (u == "BEGIN") begin_(*st);
        else if (u == "COMMIT" || u == "ROLLBACK") {
            next();
            st->kind = u == "COMMIT" ? statement::commit : statement::rollback;
            if (!accept("TRAN") && !accept("TRANSACTION")) accept("WORK");
            tran_name(*st);
        } else if (u == "SAVE") {
            next();
            if (!accept("TRAN") && !accept("TRANSACTION")) fail();
            st->kind = statement::save_tran;
            tran_name(*st);
        } else if (u == "SET") set_(*st);
        else if (u == "EXEC" || u == "EXECUTE") { next(); exec_(*st); }
        else if (u == "RETURN") {
            next();
            st->kind = statement::return_;
            const token& v = peek();
            if (v.kind == tok::integer || v.kind == tok::number || v.kind == tok::string ||
                v.kind == tok::variable || v.is_op("(") || v.is_op("-"))
                st->args.push_back(expr_());
        } else if (u == "DECLARE") {
            next();
            st->kind = statement::declare;
            do {
                if (peek().kind != tok::variable) fail();
                st->arg_names.push_back(next().text);
                accept("AS");
                if (peek().is("TABLE") || peek().is("CURSOR")) fail();
                st->types.push_back(type_());
                if (accept_op("=")) st->args.push_back(expr_());
                else st->args.push_back(nullptr);
            } while (accept_op(","));
        } else if (u == "PRINT") { next(); st->kind = statement::print; st->args.push_back(expr_()); }
        else if (u == "TRUNCATE") {
            next();
            expect("TABLE");
            st->kind = statement::truncate;
            st->name = multipart();
        } else if (u == "BACKUP" || u == "RESTORE") backup_(*st);
        else if (first && top && is_name(t)) exec_(*st);  // a bare procedure call
        else fail();
    } else {
        fail();
    }
    return st;
}

void parser::tran_name(statement& st) {
    if (peek().kind == tok::variable || is_name(peek())) st.option = next().text;
}

void parser::begin_(statement& st) {
    next();
    if (accept("DISTRIBUTED")) {
        if (!accept("TRAN") && !accept("TRANSACTION")) fail();
        st.kind = statement::begin_tran;
        tran_name(st);
        return;
    }
    if (accept("TRAN") || accept("TRANSACTION")) {
        st.kind = statement::begin_tran;
        tran_name(st);
        if (accept("WITH")) {
            expect("MARK");
            if (peek().kind == tok::string) next();
        }
        return;
    }
    if (peek().is("TRY") || peek().is("CATCH")) fail();
    st.kind = statement::block;
    while (!peek().is("END")) {
        if (at_end()) fail();
        if (peek().is_op(";")) { ++p_; continue; }
        st.body.push_back(statement_(false, false));
    }
    next();
}

void parser::if_(statement& st) {
    next();
    st.kind = statement::if_;
    st.condition = expr_();
    while (peek().is_op(";")) fail();
    st.then_branch = statement_(false, false);
    accept_op(";");
    if (accept("ELSE")) st.else_branch = statement_(false, false);
}

void parser::set_(statement& st) {
    next();
    st.kind = statement::set_option;
    const token& t = peek();
    if (t.kind == tok::variable) {
        st.kind = statement::set_variable;
        st.arg_names.push_back(next().text);
        expect_op("=");
        st.args.push_back(expr_());
        return;
    }
    if (!(t.kind == tok::ident)) fail();
    std::string opt = t.upper;
    next();
    st.option = opt;
    if (opt == "TRANSACTION") {
        expect("ISOLATION");
        expect("LEVEL");
        if (accept("READ")) {
            if (!accept("UNCOMMITTED") && !accept("COMMITTED")) fail();
        } else if (accept("REPEATABLE")) {
            expect("READ");
        } else if (!accept("SNAPSHOT") && !accept("SERIALIZABLE")) {
            fail();
        }
        return;
    }
    static const std::unordered_set<std::string> on_off = {
        "ANSI_NULLS", "ANSI_PADDING", "ANSI_WARNINGS", "ANSI_NULL_DFLT_ON",
        "ANSI_NULL_DFLT_OFF", "ANSI_DEFAULTS", "ARITHABORT", "ARITHIGNORE",
        "CONCAT_NULL_YIELDS_NULL", "CURSOR_CLOSE_ON_COMMIT", "IMPLICIT_TRANSACTIONS",
        "NOCOUNT", "NOEXEC", "NUMERIC_ROUNDABORT", "QUOTED_IDENTIFIER", "XACT_ABORT",
        "FMTONLY", "PARSEONLY", "FORCEPLAN", "NO_BROWSETABLE", "REMOTE_PROC_TRANSACTIONS",
        "SHOWPLAN_ALL", "SHOWPLAN_TEXT", "SHOWPLAN_XML"};
    static const std::unordered_set<std::string> valued = {
        "TEXTSIZE", "LOCK_TIMEOUT", "ROWCOUNT", "DATEFIRST", "DATEFORMAT", "LANGUAGE",
        "DEADLOCK_PRIORITY", "QUERY_GOVERNOR_COST_LIMIT", "CONTEXT_INFO"};
    if (on_off.count(opt)) {
        // SET A, B, C ON
        bool parseonly = opt == "PARSEONLY";
        while (accept_op(",")) {
            if (peek().kind != tok::ident || !on_off.count(peek().upper)) fail();
            parseonly = parseonly || peek().upper == "PARSEONLY";
            next();
        }
        if (accept("ON")) st.with_values = true;
        else if (!accept("OFF")) fail();
        if (parseonly && parseonly_) *parseonly_ = st.with_values;
        return;
    }
    if (opt == "STATISTICS") {
        if (peek().kind != tok::ident) fail();
        next();
        while (accept_op(",")) next();
        if (!accept("ON") && !accept("OFF")) fail();
        return;
    }
    if (opt == "IDENTITY_INSERT") {
        st.name = multipart();
        if (accept("ON")) st.with_values = true;
        else if (!accept("OFF")) fail();
        return;
    }
    if (valued.count(opt)) {
        const token& v = peek();
        std::string sign;
        if (v.is_op("-")) {
            sign = "-";
            next();
        }
        const token& w = peek();
        if (w.kind == tok::integer || w.kind == tok::string || w.kind == tok::ident ||
            w.kind == tok::quoted_ident || w.kind == tok::number || w.kind == tok::variable) {
            st.args.push_back(nullptr);
            st.arg_names.push_back(sign + w.text);
            next();
            return;
        }
        fail();
    }
    throw syntax_error(errors::unknown_set_option, {t.text}, t.line);
}

void parser::exec_(statement& st) {
    st.kind = statement::exec;
    if (peek().kind == tok::variable && peek(1).is_op("=")) {
        st.status_variable = next().text;
        next();
    }
    if (peek().is_op("(")) fail();  // EXEC ('dynamic sql') is not supported
    st.name = multipart();
    if (peek().is_op(";") || at_end()) return;
    // Arguments: [@p =] value, ...  They stop at anything that cannot start one.
    auto can_start = [&](const token& t) {
        return t.kind == tok::string || t.kind == tok::integer || t.kind == tok::number ||
               t.kind == tok::variable || t.is("NULL") || t.is("DEFAULT") || t.is_op("-") ||
               (t.kind == tok::ident && !is_reserved(t.upper)) || t.kind == tok::quoted_ident;
    };
    if (!can_start(peek())) return;
    // An identifier on the next line that is not followed by ',' may be a new
    // statement; SQL Server would read it as an argument all the same.
    while (true) {
        std::string pname;
        if (peek().kind == tok::variable && peek(1).is_op("=")) {
            pname = next().text;
            next();
        }
        expr_ptr e;
        const token& v = peek();
        if (v.kind == tok::ident && !is_reserved(v.upper)) {
            // A bare word argument is a string in EXEC.
            e = lit(expr::lit_str, v.text);
            next();
        } else if (v.is("DEFAULT")) {
            next();
            e = lit(expr::lit_null, "");
            e->op = "DEFAULT";  // the parameter's own default
        } else {
            e = unary_();
        }
        accept("OUTPUT") || accept("OUT");
        st.args.push_back(std::move(e));
        st.arg_names.push_back(pname);
        if (!accept_op(",")) break;
    }
}

void parser::drop_(statement& st) {
    next();
    if (accept("TABLE")) st.kind = statement::drop_table;
    else if (accept("PROC") || accept("PROCEDURE")) { st.kind = statement::drop_module; st.module_type = "P"; }
    else if (accept("TRIGGER")) { st.kind = statement::drop_module; st.module_type = "TR"; }
    else if (accept("DATABASE")) st.kind = statement::drop_database;
    else fail();
    // IF EXISTS came with SQL Server 2016; before, IF is where the name should be.
    if (has_.drop_if_exists && accept("IF")) {
        expect("EXISTS");
        st.with_values = true;  // DROP ... IF EXISTS
    }
    st.names.push_back(multipart());
    while (accept_op(",")) st.names.push_back(multipart());
    st.name = st.names.front();
    // DROP TRIGGER t ON DATABASE; ON ALL SERVER fails at ALL, as server
    // triggers are not kept. Before DDL triggers (SQL Server 2005) ON ends
    // the statement and fails as the next one.
    if (st.module_type == "TR" && has_.ddl_triggers && accept("ON")) {
        expect("DATABASE");
        st.on_database = true;
    }
}

void parser::create_(statement& st, bool first) {
    bool alter = peek().is("ALTER");
    const token& kw = next();
    // CREATE OR ALTER (SQL Server 2016 SP1 on): modules only. Before, OR is
    // where the object type should be.
    if (!alter && has_.create_or_alter && accept("OR")) {
        expect("ALTER");
        st.or_alter = true;
    }
    if (peek().is("PROC") || peek().is("PROCEDURE") || peek().is("TRIGGER")) {
        if (!first) {
            std::string what = peek().is("TRIGGER") ? "TRIGGER" : "PROCEDURE";
            throw syntax_error(errors::must_be_first_in_batch, {what}, kw.line);
        }
        module_(st, alter);
        return;
    }
    if (st.or_alter) fail();
    if (alter) {
        if (!accept("TABLE")) fail();
        alter_table_(st);
        return;
    }
    if (accept("TABLE")) { create_table_(st); return; }
    if (accept("DATABASE")) {
        st.kind = statement::create_database;
        st.name = {name_part()};
        return;
    }
    fail();
}

void parser::insert_(statement& st) {
    next();
    st.kind = statement::insert;
    accept("INTO");
    st.name = multipart();
    if (peek().is_op("(") ) {
        // A column list, unless this is INSERT t (SELECT ...).
        if (!peek(1).is("SELECT")) {
            next();
            do st.columns.push_back(name_part()); while (accept_op(","));
            expect_op(")");
        }
    }
    if (accept("VALUES")) {
        do {
            expect_op("(");
            std::vector<expr_ptr> row;
            do {
                if (peek().is("DEFAULT")) {
                    auto e = lit(expr::lit_null, "");
                    e->op = "DEFAULT";
                    next();
                    row.push_back(std::move(e));
                } else {
                    row.push_back(expr_());
                }
            } while (accept_op(","));
            expect_op(")");
            st.values.push_back(std::move(row));
        } while (accept_op(","));
    } else if (peek().is("SELECT") || (peek().is_op("(") && peek(1).is("SELECT"))) {
        st.query = select_();
    } else if (accept("DEFAULT")) {
        expect("VALUES");
        st.default_values = true;
    } else {
        fail();
    }
}

void parser::update_(statement& st) {
    next();
    st.kind = statement::update;
    if (accept("TOP")) fail();
    st.name = multipart();
    if (accept("WITH")) hints_();
    expect("SET");
    do {
        set_item s;
        s.tok = p_;
        std::vector<std::string> col = multipart();
        s.column = col.back();
        expect_op("=");
        s.value = expr_();
        st.sets.push_back(std::move(s));
    } while (accept_op(","));
    if (accept("FROM")) from_list_(st.from);
    if (accept("WHERE")) st.where = expr_();
}

void parser::delete_(statement& st) {
    next();
    st.kind = statement::delete_;
    if (accept("TOP")) fail();
    accept("FROM");
    st.name = multipart();
    if (peek().is("AS") || (is_name(peek()) && !peek().is("WHERE"))) {
        accept("AS");
        st.alias = name_part();
    }
    if (accept("FROM")) from_list_(st.from);
    if (accept("WHERE")) st.where = expr_();
}

void parser::hints_() {
    expect_op("(");
    int depth = 1;
    while (depth > 0) {
        if (at_end()) fail();
        if (peek().is_op("(")) ++depth;
        if (peek().is_op(")")) --depth;
        next();
    }
}

}  // namespace standin::tsql
