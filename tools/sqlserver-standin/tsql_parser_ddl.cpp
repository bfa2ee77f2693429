// The parser's definitions: types, CREATE and ALTER TABLE with their columns
// and constraints, and the headers of procedures and triggers.

#include "sqlserver-standin/tsql_parser_internal.h"

namespace standin::tsql {

type_spec parser::type_() {
    type_spec ty;
    std::vector<std::string> parts = multipart();
    ty.name = to_upper(parts.back());
    if (ty.name == "DOUBLE") { accept("PRECISION"); ty.name = "FLOAT"; }
    if (ty.name == "CHARACTER" || ty.name == "NATIONAL") {
        // NATIONAL CHARACTER [VARYING], CHARACTER VARYING
        bool national = ty.name == "NATIONAL";
        if (national) accept("CHARACTER") || accept("CHAR");
        ty.name = national ? "NCHAR" : "CHAR";
        if (accept("VARYING")) ty.name = national ? "NVARCHAR" : "VARCHAR";
    }
    if (accept_op("(")) {
        if (peek().is("MAX")) { next(); ty.length = -2; }
        else {
            ty.length = small_int(next());
            ty.precision = ty.length;
            if (accept_op(",")) {
                ty.scale = small_int(next());
            }
        }
        expect_op(")");
    }
    return ty;
}

void parser::column_def_(column_def& c) {
    c.name = name_part();
    if (peek().is("AS")) fail();  // computed columns are not supported
    c.type = type_();
    while (true) {
        if (accept("NULL")) c.nullable = true;
        else if (peek().is("NOT") && peek(1).is("NULL")) { p_ += 2; c.nullable = false; }
        else if (accept("COLLATE")) name_part();
        else if (accept("IDENTITY")) {
            c.identity = true;
            if (accept_op("(")) {
                bool neg = accept_op("-");
                c.identity_seed = small_int(next()) * (neg ? -1 : 1);
                expect_op(",");
                neg = accept_op("-");
                c.identity_step = small_int(next()) * (neg ? -1 : 1);
                expect_op(")");
            }
        } else if (accept("CONSTRAINT")) {
            std::string cname = name_part();
            if (peek().is("PRIMARY")) c.pk_name = cname;
            else if (!peek().is("DEFAULT") && !peek().is("UNIQUE") && !peek().is("CHECK") &&
                     !peek().is("REFERENCES") && !peek().is("FOREIGN"))
                fail();
        } else if (accept("DEFAULT")) {
            std::size_t b = peek().begin;
            c.default_value = expr_();
            c.default_text = src_.substr(b, t_[p_ - 1].end - b);
        } else if (accept("PRIMARY")) {
            expect("KEY");
            accept("CLUSTERED") || accept("NONCLUSTERED");
            c.primary_key = true;
        } else if (accept("UNIQUE")) {
            accept("CLUSTERED") || accept("NONCLUSTERED");
        } else if (accept("CHECK")) {
            expect_op("(");
            expr_();
            expect_op(")");
        } else if (accept("REFERENCES")) {
            multipart();
            if (accept_op("(")) { name_part(); expect_op(")"); }
        } else if (accept("ROWGUIDCOL")) {
        } else break;
    }
}

bool parser::table_constraint_(statement& st) {
    std::string cname;
    std::size_t save = p_;
    if (accept("CONSTRAINT")) cname = name_part();
    if (accept("PRIMARY")) {
        expect("KEY");
        accept("CLUSTERED") || accept("NONCLUSTERED");
        expect_op("(");
        do {
            st.pk_columns.push_back(name_part());
            accept("ASC") || accept("DESC");
        } while (accept_op(","));
        expect_op(")");
        st.pk_name = cname;
        return true;
    }
    if (accept("UNIQUE")) {
        accept("CLUSTERED") || accept("NONCLUSTERED");
        expect_op("(");
        do { name_part(); accept("ASC") || accept("DESC"); } while (accept_op(","));
        expect_op(")");
        return true;
    }
    if (accept("FOREIGN")) {
        expect("KEY");
        expect_op("(");
        do name_part(); while (accept_op(","));
        expect_op(")");
        expect("REFERENCES");
        multipart();
        if (accept_op("(")) { do name_part(); while (accept_op(",")); expect_op(")"); }
        return true;
    }
    if (accept("CHECK")) {
        expect_op("(");
        expr_();
        expect_op(")");
        return true;
    }
    if (!cname.empty()) fail();
    p_ = save;
    return false;
}

// column definitions and table constraints, separated by commas.
void parser::columns_and_constraints_(statement& st) {
    do {
        if (table_constraint_(st)) continue;
        column_def c;
        column_def_(c);
        st.coldefs.push_back(std::move(c));
    } while (accept_op(","));
}

void parser::create_table_(statement& st) {
    st.kind = statement::create_table;
    st.name = multipart();
    expect_op("(");
    columns_and_constraints_(st);
    expect_op(")");
    if (accept("ON")) {
        if (peek().is("PRIMARY")) next();
        else name_part();
    }
}

void parser::alter_table_(statement& st) {
    st.name = multipart();
    if (accept("ADD")) {
        st.kind = statement::alter_add;
        columns_and_constraints_(st);
        if (accept("WITH")) {
            expect("VALUES");
            st.with_values = true;
        }
        return;
    }
    if (accept("DROP")) {
        expect("COLUMN");
        st.kind = statement::alter_drop_column;
        st.columns.push_back(name_part());
        while (accept_op(",")) st.columns.push_back(name_part());
        return;
    }
    fail();
}

void parser::module_(statement& st, bool alter) {
    st.kind = statement::create_module;
    st.with_values = alter;
    if (accept("TRIGGER")) trigger_header_(st);
    else procedure_header_(st);
    if (at_end()) fail();
    st.body_begin = peek().begin;
    // The body is parsed only when a procedure is run, but two things SQL
    // Server would reject while compiling it are caught here: a
    // client-side GO separator sent with it, and an encryption clause
    // that landed inside the body.
    for (std::size_t i = p_; i < t_.size() && t_[i].kind != tok::end; ++i) {
        const token& t = t_[i];
        if (t.kind == tok::ident && t.upper == "GO" && separator_line(i))
            throw syntax_error(errors::syntax_near, {"GO"}, t.line);
        // (BACKUP ... WITH ENCRYPTION (ALGORITHM = ...) is a body's own.)
        if (t.is("WITH") && t_[i + 1].is("ENCRYPTION") && !t_[i + 2].is_op("("))
            throw syntax_error(errors::syntax_near_keyword, {t.text}, t.line);
    }
    p_ = t_.size() - 1;
}

// name ON table [WITH ...] {FOR | AFTER | INSTEAD OF} events [WITH APPEND]
// [NOT FOR REPLICATION] AS, or a DDL trigger's ON DATABASE (SQL Server 2005
// on; before, DATABASE is where the table's name should be). ON ALL SERVER
// fails at ALL: server triggers are not kept.
void parser::trigger_header_(statement& st) {
    st.module_type = "TR";
    st.name = multipart();
    expect("ON");
    if (has_.ddl_triggers && accept("DATABASE")) {
        ddl_trigger_header_(st);
        return;
    }
    st.trigger_table = multipart();
    if (accept("WITH")) module_options_(st, true);
    if (accept("FOR") || accept("AFTER")) {
    } else if (accept("INSTEAD")) {
        expect("OF");
    } else {
        fail();
    }
    bool any = false;
    do {
        if (accept("INSERT") || accept("UPDATE") || accept("DELETE")) any = true;
        else fail();
    } while (accept_op(","));
    if (!any) fail();
    if (accept("WITH")) expect("APPEND");
    if (accept("NOT")) {
        expect("FOR");
        expect("REPLICATION");
    }
    expect("AS");
}

// name ON DATABASE [WITH ...] {FOR | AFTER} event_type | event_group, ... AS:
// no INSTEAD OF, WITH APPEND nor NOT FOR REPLICATION. The events are not
// checked against SQL Server's list; the trigger never fires here.
void parser::ddl_trigger_header_(statement& st) {
    st.on_database = true;
    if (accept("WITH")) module_options_(st, true);
    if (!accept("FOR") && !accept("AFTER")) fail();
    do {
        if (peek().kind != tok::ident || is_reserved(peek().upper)) fail();
        next();
    } while (accept_op(","));
    expect("AS");
}

// PROC[EDURE] name[;n] [(] @p type [VARYING] [= default] [OUT[PUT]] [READONLY], ... [)]
// [WITH ...] [FOR REPLICATION] AS
void parser::procedure_header_(statement& st) {
    next();  // PROC / PROCEDURE
    st.module_type = "P";
    st.name = multipart();
    if (accept_op(";")) {
        if (peek().kind != tok::integer) fail();
        next();
    }
    bool paren = false;
    if (peek().is_op("(") && peek(1).kind == tok::variable) { next(); paren = true; }
    if (peek().kind == tok::variable) {
        do {
            if (peek().kind != tok::variable) fail();
            st.arg_names.push_back(next().text);
            accept("AS");
            if (peek().is("CURSOR")) {
                // A cursor parameter (CURSOR VARYING OUTPUT): reserved, so not a name to type_().
                next();
                st.types.push_back(type_spec{"CURSOR"});
            } else {
                st.types.push_back(type_());
            }
            accept("VARYING");
            st.args.push_back(accept_op("=") ? parameter_default_() : nullptr);
            accept("OUT") || accept("OUTPUT");
            accept("READONLY");
        } while (accept_op(","));
    }
    if (paren) expect_op(")");
    if (accept("WITH")) module_options_(st, false);
    if (accept("FOR")) expect("REPLICATION");
    expect("AS");
}

// A parameter's default, after '=': a constant, or a bare word as text.
expr_ptr parser::parameter_default_() {
    bool neg = accept_op("-");
    const token& d = peek();
    expr_ptr dflt;
    if (d.kind == tok::string || (d.kind == tok::ident && !is_reserved(d.upper)))
        dflt = lit(expr::lit_str, d.text);
    else if (d.kind == tok::integer || d.kind == tok::number)
        dflt = lit(d.kind == tok::integer ? expr::lit_int : expr::lit_num, (neg ? "-" : "") + d.text);
    else if (d.is("NULL"))
        dflt = lit(expr::lit_null, "");
    else
        fail();
    next();
    return dflt;
}

// A GO that opens its line and has nothing after it but a comment or a
// repeat count: the client-side separator, which the server rejects.
bool parser::separator_line(std::size_t i) const {
    const token& t = t_[i];
    for (std::size_t k = t.begin; k > 0; --k) {
        char c = src_[k - 1];
        if (c == '\n') break;
        if (c != ' ' && c != '\t' && c != '\r') return false;
    }
    const token& n = t_[i + 1];
    if (n.kind == tok::end || n.line > t.line) return true;
    if (n.kind == tok::integer && (t_[i + 2].kind == tok::end || t_[i + 2].line > t.line)) return true;
    return alone_on_line(t);
}

bool parser::alone_on_line(const token& t) const {
    for (std::size_t k = t.begin; k > 0; --k) {
        char c = src_[k - 1];
        if (c == '\n') break;
        if (c != ' ' && c != '\t' && c != '\r') return false;
    }
    for (std::size_t k = t.end; k < src_.size(); ++k) {
        char c = src_[k];
        if (c == '\n') break;
        if (c != ' ' && c != '\t' && c != '\r') return false;
    }
    return true;
}

void parser::module_options_(statement& st, bool trigger) {
    do {
        if (accept("ENCRYPTION")) st.encrypted = true;
        else if (!trigger && accept("RECOMPILE")) {
        } else if (accept("EXECUTE") || accept("EXEC")) {
            // EXECUTE AS { CALLER | SELF | OWNER | 'name' }
            expect("AS");
            if (peek().kind == tok::string || peek().is("CALLER") || peek().is("SELF") || peek().is("OWNER")) next();
            else fail();
        } else if (accept("NATIVE_COMPILATION") || accept("SCHEMABINDING")) {
        } else fail();
    } while (accept_op(","));
}

}  // namespace standin::tsql
