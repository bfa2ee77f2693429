#include "tsql_parser.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

namespace standin::tsql {

std::string to_upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}
std::string to_lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool is_reserved(const std::string& u) {
    static const std::unordered_set<std::string> words = {
        "ADD", "ALL", "ALTER", "AND", "ANY", "AS", "ASC", "AUTHORIZATION", "BACKUP", "BEGIN",
        "BETWEEN", "BREAK", "BROWSE", "BULK", "BY", "CASCADE", "CASE", "CHECK", "CHECKPOINT",
        "CLOSE", "CLUSTERED", "COALESCE", "COLLATE", "COLUMN", "COMMIT", "COMPUTE",
        "CONSTRAINT", "CONTAINS", "CONTAINSTABLE", "CONTINUE", "CONVERT", "CREATE", "CROSS",
        "CURRENT", "CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "CURRENT_USER",
        "CURSOR", "DATABASE", "DBCC", "DEALLOCATE", "DECLARE", "DEFAULT", "DELETE", "DENY",
        "DESC", "DISK", "DISTINCT", "DISTRIBUTED", "DOUBLE", "DROP", "DUMP", "ELSE", "END",
        "ERRLVL", "ESCAPE", "EXCEPT", "EXEC", "EXECUTE", "EXISTS", "EXIT", "EXTERNAL", "FETCH",
        "FILE", "FILLFACTOR", "FOR", "FOREIGN", "FREETEXT", "FREETEXTTABLE", "FROM", "FULL",
        "FUNCTION", "GOTO", "GRANT", "GROUP", "HAVING", "HOLDLOCK", "IDENTITY",
        "IDENTITY_INSERT", "IDENTITYCOL", "IF", "IN", "INDEX", "INNER", "INSERT", "INTERSECT",
        "INTO", "IS", "JOIN", "KEY", "KILL", "LEFT", "LIKE", "LINENO", "LOAD", "MERGE",
        "NATIONAL", "NOCHECK", "NONCLUSTERED", "NOT", "NULL", "NULLIF", "OF", "OFF", "OFFSETS",
        "ON", "OPEN", "OPENDATASOURCE", "OPENQUERY", "OPENROWSET", "OPENXML", "OPTION", "OR",
        "ORDER", "OUTER", "OVER", "PERCENT", "PIVOT", "PLAN", "PRECISION", "PRIMARY", "PRINT",
        "PROC", "PROCEDURE", "PUBLIC", "RAISERROR", "READ", "READTEXT", "RECONFIGURE",
        "REFERENCES", "REPLICATION", "RESTORE", "RESTRICT", "RETURN", "REVERT", "REVOKE",
        "RIGHT", "ROLLBACK", "ROWCOUNT", "ROWGUIDCOL", "RULE", "SAVE", "SCHEMA", "SELECT",
        "SESSION_USER", "SET", "SETUSER", "SHUTDOWN", "SOME", "STATISTICS", "SYSTEM_USER",
        "TABLE", "TABLESAMPLE", "TEXTSIZE", "THEN", "TO", "TOP", "TRAN", "TRANSACTION",
        "TRIGGER", "TRUNCATE", "TSEQUAL", "UNION", "UNIQUE", "UNPIVOT", "UPDATE", "UPDATETEXT",
        "USE", "USER", "VALUES", "VARYING", "VIEW", "WAITFOR", "WHEN", "WHERE", "WHILE",
        "WITH", "WRITETEXT"};
    return words.count(u) != 0;
}

// ---------------------------------------------------------------- tokenizer

namespace {
bool ident_start(unsigned char c) { return std::isalpha(c) || c == '_' || c == '#' || c >= 0x80; }
bool ident_char(unsigned char c) {
    return std::isalnum(c) || c == '_' || c == '#' || c == '$' || c == '@' || c >= 0x80;
}
}  // namespace

std::vector<token> tokenize(const std::string& s) {
    std::vector<token> out;
    std::size_t i = 0, n = s.size();
    int line = 1;
    auto newlines = [&](std::size_t a, std::size_t b) {
        for (std::size_t k = a; k < b; ++k)
            if (s[k] == '\n') ++line;
    };
    // Reads from just after an opening delimiter to its closer, where a doubled
    // closer stands for one; returns the position after the closer (or n when
    // it never comes) and whether it came.
    auto read_delimited = [&](std::size_t j, char closer, std::string& v) {
        while (j < n) {
            if (s[j] == closer) {
                if (j + 1 < n && s[j + 1] == closer) { v += closer; j += 2; continue; }
                return std::pair{j + 1, true};
            }
            v += s[j++];
        }
        return std::pair{n, false};
    };
    while (i < n) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\n') { ++line; ++i; continue; }
        if (std::isspace(c)) { ++i; continue; }
        if (c == '-' && i + 1 < n && s[i + 1] == '-') {
            while (i < n && s[i] != '\n') ++i;
            continue;
        }
        if (c == '/' && i + 1 < n && s[i + 1] == '*') {
            // Block comments nest in T-SQL. An unterminated one runs to the end.
            int depth = 1;
            std::size_t j = i + 2;
            while (j < n && depth > 0) {
                if (s[j] == '/' && j + 1 < n && s[j + 1] == '*') { ++depth; j += 2; }
                else if (s[j] == '*' && j + 1 < n && s[j + 1] == '/') { --depth; j += 2; }
                else ++j;
            }
            if (depth > 0) {
                token t;
                t.kind = tok::op;
                t.text = "/*";
                t.begin = i; t.end = n; t.line = line;
                newlines(i, n);
                out.push_back(t);
                i = n;
                continue;
            }
            newlines(i, j);
            i = j;
            continue;
        }
        token t;
        t.begin = i;
        t.line = line;
        if ((c == 'N' || c == 'n') && i + 1 < n && s[i + 1] == '\'') {
            t.unicode = true;
            ++i;
            c = '\'';
        }
        if (c == '\'') {
            std::string v;
            auto [j, closed] = read_delimited(i + 1, '\'', v);
            if (!closed) {
                // SQL Server reports an unclosed quotation mark (105); the
                // parser turns this marker into that error.
                t.kind = tok::op;
                t.text = "'";
                t.upper = v;
                t.end = n;
                newlines(i, n);
                out.push_back(t);
                i = n;
                continue;
            }
            t.kind = tok::string;
            t.text = v;
            t.end = j;
            newlines(i, j);
            out.push_back(t);
            i = j;
            continue;
        }
        if (c == '[' || c == '"') {
            std::string v;
            t.kind = tok::quoted_ident;
            t.end = read_delimited(i + 1, c == '[' ? ']' : '"', v).first;
            t.text = v;
            t.upper = to_upper(v);
            newlines(i, t.end);
            out.push_back(t);
            i = t.end;
            continue;
        }
        if (std::isdigit(c) || (c == '.' && i + 1 < n && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
            std::size_t j = i;
            bool dec = false;
            if (c == '0' && j + 1 < n && (s[j + 1] == 'x' || s[j + 1] == 'X')) {
                j += 2;
                while (j < n && std::isxdigit(static_cast<unsigned char>(s[j]))) ++j;
                t.kind = tok::integer;
                t.text = s.substr(i, j - i);
                t.end = j;
                out.push_back(t);
                i = j;
                continue;
            }
            while (j < n && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
            if (j < n && s[j] == '.') {
                dec = true;
                ++j;
                while (j < n && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
            }
            if (j < n && (s[j] == 'e' || s[j] == 'E')) {
                std::size_t k = j + 1;
                if (k < n && (s[k] == '+' || s[k] == '-')) ++k;
                if (k < n && std::isdigit(static_cast<unsigned char>(s[k]))) {
                    dec = true;
                    j = k;
                    while (j < n && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
                }
            }
            t.kind = dec ? tok::number : tok::integer;
            t.text = s.substr(i, j - i);
            t.end = j;
            out.push_back(t);
            i = j;
            continue;
        }
        if (c == '@') {
            std::size_t j = i + 1;
            bool sys = j < n && s[j] == '@';
            if (sys) ++j;
            while (j < n && ident_char(static_cast<unsigned char>(s[j]))) ++j;
            t.kind = sys ? tok::sysvar : tok::variable;
            t.text = s.substr(i, j - i);
            t.upper = to_upper(t.text);
            t.end = j;
            out.push_back(t);
            i = j;
            continue;
        }
        if (ident_start(c)) {
            std::size_t j = i + 1;
            while (j < n && ident_char(static_cast<unsigned char>(s[j]))) ++j;
            t.kind = tok::ident;
            t.text = s.substr(i, j - i);
            t.upper = to_upper(t.text);
            t.end = j;
            out.push_back(t);
            i = j;
            continue;
        }
        static const char* two[] = {"<>", "!=", "<=", ">=", "!<", "!>", "+=", "-=", "*=", "/="};
        t.kind = tok::op;
        t.text = std::string(1, static_cast<char>(c));
        for (const char* o : two)
            if (i + 1 < n && s[i] == o[0] && s[i + 1] == o[1]) t.text = o;
        t.end = i + t.text.size();
        i = t.end;
        out.push_back(t);
    }
    token e;
    e.kind = tok::end;
    e.begin = e.end = n;
    e.line = line;
    out.push_back(e);
    return out;
}

std::vector<std::string> split_object_name(const std::string& text) {
    std::vector<std::string> parts;
    std::string cur;
    std::size_t i = 0;
    bool any = false;
    while (i < text.size()) {
        char c = text[i];
        if (c == '[') {
            ++i;
            while (i < text.size()) {
                if (text[i] == ']') {
                    if (i + 1 < text.size() && text[i + 1] == ']') { cur += ']'; i += 2; continue; }
                    ++i;
                    break;
                }
                cur += text[i++];
            }
            any = true;
        } else if (c == '"') {
            ++i;
            while (i < text.size() && text[i] != '"') cur += text[i++];
            ++i;
            any = true;
        } else if (c == '.') {
            parts.push_back(cur);
            cur.clear();
            ++i;
            any = true;
        } else {
            cur += c;
            ++i;
            any = true;
        }
    }
    if (any) parts.push_back(cur);
    for (auto& p : parts) {
        // Blanks around an unbracketed part do not belong to the name.
        while (!p.empty() && p.back() == ' ') p.pop_back();
        std::size_t k = 0;
        while (k < p.size() && p[k] == ' ') ++k;
        p.erase(0, k);
    }
    return parts;
}

// ------------------------------------------------------------------ parser

namespace {

class parser {
public:
    parser(const std::string& src, const std::vector<token>& toks) : src_(src), t_(toks) {}

    std::vector<stmt_ptr> batch() {
        std::vector<stmt_ptr> out;
        for (const auto& tk : t_)
            if (tk.kind == tok::op && tk.text == "'")
                throw syntax_error(105, "Unclosed quotation mark after the character string '" +
                                            tk.upper + "'.", tk.line);
        while (!at_end()) {
            if (peek().is_op(";")) { ++p_; continue; }
            bool first = out.empty();
            out.push_back(statement_(first, true));
        }
        return out;
    }

private:
    const std::string& src_;
    const std::vector<token>& t_;
    std::size_t p_ = 0;
    int depth_ = 0;

    // Bounds the recursion of nested expressions and blocks, so that a
    // hostile batch cannot exhaust the stack.
    struct nesting {
        parser& p;
        explicit nesting(parser& pp) : p(pp) {
            if (++p.depth_ > 128)
                throw syntax_error(191, "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into smaller queries.",
                                   p.peek().line);
        }
        ~nesting() { --p.depth_; }
    };

    int small_int(const token& t) {
        if (t.kind != tok::integer || t.text.size() > 9 || (t.text.size() > 1 && (t.text[1] == 'x' || t.text[1] == 'X')))
            fail_at(p_ - 1);
        return std::stoi(t.text);
    }

    const token& peek(std::size_t k = 0) const {
        std::size_t i = std::min(p_ + k, t_.size() - 1);
        return t_[i];
    }
    bool at_end() const { return peek().kind == tok::end; }
    const token& next() {
        const token& t = peek();
        if (t.kind != tok::end) ++p_;
        return t;
    }

    [[noreturn]] void fail_at(std::size_t i) const {
        const token* t = &t_[std::min(i, t_.size() - 1)];
        if (t->kind == tok::end) {
            // At the end SQL Server names the last token of the batch.
            if (t_.size() >= 2) t = &t_[t_.size() - 2];
            else throw syntax_error(102, "Incorrect syntax near ''.", t->line);
        }
        if (t->kind == tok::ident && is_reserved(t->upper))
            throw syntax_error(156, "Incorrect syntax near the keyword '" + t->text + "'.", t->line);
        throw syntax_error(102, "Incorrect syntax near '" + t->text + "'.", t->line);
    }
    [[noreturn]] void fail() const { fail_at(p_); }

    bool accept(const char* kw) {
        if (peek().is(kw)) { ++p_; return true; }
        return false;
    }
    bool accept_op(const char* o) {
        if (peek().is_op(o)) { ++p_; return true; }
        return false;
    }
    void expect(const char* kw) {
        if (!accept(kw)) fail();
    }
    void expect_op(const char* o) {
        if (!accept_op(o)) fail();
    }

    // A name part: plain non-reserved identifier or a bracketed/quoted one.
    bool is_name(const token& t) const {
        return t.kind == tok::quoted_ident || (t.kind == tok::ident && !is_reserved(t.upper));
    }
    std::string name_part() {
        if (!is_name(peek())) fail();
        return next().text;
    }
    std::vector<std::string> multipart() {
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

    // ------------------------------------------------------------ statements

    stmt_ptr statement_(bool first, bool top) {
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
            } else if (first && top && is_name(t)) exec_(*st);  // a bare procedure call
            else fail();
        } else {
            fail();
        }
        return st;
    }

    void tran_name(statement& st) {
        if (peek().kind == tok::variable || is_name(peek())) st.option = next().text;
    }

    void begin_(statement& st) {
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

    void if_(statement& st) {
        next();
        st.kind = statement::if_;
        st.condition = expr_();
        while (peek().is_op(";")) fail();
        st.then_branch = statement_(false, false);
        accept_op(";");
        if (accept("ELSE")) st.else_branch = statement_(false, false);
    }

    void set_(statement& st) {
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
            while (accept_op(",")) {
                if (peek().kind != tok::ident || !on_off.count(peek().upper)) fail();
                next();
            }
            if (accept("ON")) st.with_values = true;
            else if (!accept("OFF")) fail();
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
        throw syntax_error(195, "'" + t.text + "' is not a recognized SET option.", t.line);
    }

    void exec_(statement& st) {
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

    void drop_(statement& st) {
        next();
        if (accept("TABLE")) st.kind = statement::drop_table;
        else if (accept("PROC") || accept("PROCEDURE")) { st.kind = statement::drop_module; st.module_type = "P"; }
        else if (accept("TRIGGER")) { st.kind = statement::drop_module; st.module_type = "TR"; }
        else if (accept("DATABASE")) st.kind = statement::drop_database;
        else fail();
        if (accept("IF")) {
            expect("EXISTS");
            st.with_values = true;  // DROP ... IF EXISTS
        }
        st.names.push_back(multipart());
        while (accept_op(",")) st.names.push_back(multipart());
        st.name = st.names.front();
    }

    void create_(statement& st, bool first) {
        bool alter = peek().is("ALTER");
        const token& kw = next();
        if (accept("OR")) {
            expect("ALTER");
            alter = true;
        }
        if (peek().is("PROC") || peek().is("PROCEDURE") || peek().is("TRIGGER")) {
            if (!first) {
                std::string what = peek().is("TRIGGER") ? "TRIGGER" : "PROCEDURE";
                throw syntax_error(111, "'CREATE/ALTER " + what +
                                            "' must be the first statement in a query batch.",
                                   kw.line);
            }
            module_(st, alter);
            return;
        }
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

    type_spec type_() {
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

    void column_def_(column_def& c) {
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

    // [CONSTRAINT n] PRIMARY KEY (...) | UNIQUE (...) | FOREIGN KEY ... | CHECK (...)
    bool table_constraint_(statement& st) {
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

    void create_table_(statement& st) {
        st.kind = statement::create_table;
        st.name = multipart();
        expect_op("(");
        do {
            if (table_constraint_(st)) continue;
            column_def c;
            column_def_(c);
            st.coldefs.push_back(std::move(c));
        } while (accept_op(","));
        expect_op(")");
        if (accept("ON")) {
            if (peek().is("PRIMARY")) next();
            else name_part();
        }
    }

    void alter_table_(statement& st) {
        st.name = multipart();
        if (accept("ADD")) {
            st.kind = statement::alter_add;
            do {
                if (table_constraint_(st)) continue;
                column_def c;
                column_def_(c);
                st.coldefs.push_back(std::move(c));
            } while (accept_op(","));
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

    // CREATE PROC / TRIGGER header, parsed as SQL Server reads it; the body is
    // kept as text.
    void module_(statement& st, bool alter) {
        st.kind = statement::create_module;
        st.with_values = alter;
        if (accept("TRIGGER")) {
            st.module_type = "TR";
            st.name = multipart();
            expect("ON");
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
        } else {
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
                    st.types.push_back(type_());
                    accept("VARYING");
                    expr_ptr dflt;
                    if (accept_op("=")) {
                        bool neg = accept_op("-");
                        const token& d = peek();
                        if (d.kind == tok::string || (d.kind == tok::ident && !is_reserved(d.upper)))
                            dflt = lit(expr::lit_str, d.text);
                        else if (d.kind == tok::integer || d.kind == tok::number)
                            dflt = lit(d.kind == tok::integer ? expr::lit_int : expr::lit_num, (neg ? "-" : "") + d.text);
                        else if (d.is("NULL"))
                            dflt = lit(expr::lit_null, "");
                        else
                            fail();
                        next();
                    }
                    st.args.push_back(std::move(dflt));
                    accept("OUT") || accept("OUTPUT");
                    accept("READONLY");
                } while (accept_op(","));
            }
            if (paren) expect_op(")");
            if (accept("WITH")) module_options_(st, false);
            if (accept("FOR")) expect("REPLICATION");
            expect("AS");
        }
        if (at_end()) fail();
        st.body_begin = peek().begin;
        // The body is parsed only when a procedure is run, but two things SQL
        // Server would reject while compiling it are caught here: a
        // client-side GO separator sent with it, and an encryption clause
        // that landed inside the body.
        for (std::size_t i = p_; i < t_.size() && t_[i].kind != tok::end; ++i) {
            const token& t = t_[i];
            if (t.kind == tok::ident && t.upper == "GO" && separator_line(i))
                throw syntax_error(102, "Incorrect syntax near 'GO'.", t.line);
            if (t.is("WITH") && t_[i + 1].is("ENCRYPTION"))
                throw syntax_error(156, "Incorrect syntax near the keyword '" + t.text + "'.", t.line);
        }
        p_ = t_.size() - 1;
    }

    // A GO that opens its line and has nothing after it but a comment or a
    // repeat count: the client-side separator, which the server rejects.
    bool separator_line(std::size_t i) const {
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

    bool alone_on_line(const token& t) const {
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

    void module_options_(statement& st, bool trigger) {
        do {
            if (accept("ENCRYPTION")) st.encrypted = true;
            else if (!trigger && accept("RECOMPILE")) {
            } else if (accept("EXECUTE") || accept("EXEC")) {
                expect("AS");
                if (peek().kind == tok::string || peek().kind == tok::ident) next();
                else fail();
            } else if (accept("NATIVE_COMPILATION") || accept("SCHEMABINDING")) {
            } else fail();
        } while (accept_op(","));
    }

    void insert_(statement& st) {
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

    void update_(statement& st) {
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

    void delete_(statement& st) {
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

    void hints_() {
        expect_op("(");
        int depth = 1;
        while (depth > 0) {
            if (at_end()) fail();
            if (peek().is_op("(")) ++depth;
            if (peek().is_op(")")) --depth;
            next();
        }
    }

    // ----------------------------------------------------------------- select

    std::shared_ptr<select_stmt> select_() {
        nesting guard(*this);
        if (accept_op("(")) {
            auto s = select_();
            expect_op(")");
            return s;
        }
        auto s = std::make_shared<select_stmt>();
        s->tok = p_;
        expect("SELECT");
        if (accept("DISTINCT")) s->distinct = true;
        else accept("ALL");
        if (accept("TOP")) {
            if (accept_op("(")) {
                s->top = expr_();
                expect_op(")");
            } else {
                if (peek().kind != tok::integer) fail();
                s->top = lit(expr::lit_int, next().text);
            }
            if (accept("PERCENT")) fail();
        }
        do s->items.push_back(select_item_()); while (accept_op(","));
        if (peek().is("INTO")) fail();
        if (accept("FROM")) from_list_(s->from);
        if (accept("WHERE")) s->where = expr_();
        if (accept("GROUP")) {
            expect("BY");
            do s->group_by.push_back(expr_()); while (accept_op(","));
        }
        if (accept("HAVING")) s->having = expr_();
        if (accept("UNION")) {
            s->union_all = accept("ALL");
            auto rest = select_();
            // ORDER BY of the last part sorts the whole union.
            s->order_by = std::move(rest->order_by);
            rest->order_by.clear();
            s->union_next = rest;
            return s;
        }
        if (accept("ORDER")) {
            expect("BY");
            do {
                order_item o;
                o.e = expr_();
                if (accept("DESC")) o.desc = true;
                else accept("ASC");
                s->order_by.push_back(std::move(o));
            } while (accept_op(","));
        }
        if (peek().is("FOR") || peek().is("OPTION")) fail();
        return s;
    }

    select_item select_item_() {
        select_item it;
        if (accept_op("*")) {
            it.star = true;
            return it;
        }
        // t.* / dbo.t.*
        {
            std::size_t save = p_;
            std::vector<std::string> q;
            while (is_name(peek()) && peek(1).is_op(".")) {
                q.push_back(next().text);
                next();
                if (accept_op("*")) {
                    it.star = true;
                    it.star_qualifier = q;
                    return it;
                }
            }
            p_ = save;
        }
        if (peek().kind == tok::variable && peek(1).is_op("=")) {
            it.assign = next().text;
            next();
            it.e = expr_();
            return it;
        }
        // alias = expr
        if ((is_name(peek()) || peek().kind == tok::string) && peek(1).is_op("=") ) {
            // Only an alias when what follows '=' is an expression, never a comparison;
            // "a = b" in a select list is always an assignment of an alias.
            it.alias = next().text;
            next();
            it.e = expr_();
            return it;
        }
        it.e = expr_();
        if (accept("AS")) {
            if (is_name(peek()) || peek().kind == tok::string) it.alias = next().text;
            else fail();
        } else if (is_name(peek()) || peek().kind == tok::string) {
            it.alias = next().text;
        }
        return it;
    }

    void from_list_(std::vector<table_ref>& out) {
        out.push_back(table_source_());
        while (true) {
            if (accept_op(",")) {
                out.push_back(table_source_());
                continue;
            }
            std::string join;
            if (accept("JOIN") || (accept("INNER") && (expect("JOIN"), true))) join = "INNER";
            else if (accept("LEFT")) { accept("OUTER"); expect("JOIN"); join = "LEFT"; }
            else if (accept("RIGHT")) { accept("OUTER"); expect("JOIN"); join = "RIGHT"; }
            else if (accept("FULL")) { accept("OUTER"); expect("JOIN"); join = "FULL"; }
            else if (accept("CROSS")) { expect("JOIN"); join = "CROSS"; }
            else break;
            table_ref r = table_source_();
            r.join = join;
            if (join != "CROSS") {
                expect("ON");
                r.on = expr_();
            }
            out.push_back(std::move(r));
        }
    }

    table_ref table_source_() {
        table_ref r;
        r.tok = p_;
        if (peek().is_op("(")) fail();  // derived tables are not supported
        r.name = multipart();
        if (accept("AS")) r.alias = name_part();
        else if (is_name(peek())) r.alias = next().text;
        if (accept("WITH")) hints_();
        else if (peek().is_op("(") && peek(1).kind == tok::ident &&
                 (peek(1).upper == "NOLOCK" || peek(1).upper == "READUNCOMMITTED"))
            hints_();
        return r;
    }

    // ------------------------------------------------------------- expressions

    expr_ptr make(expr::kind_t k, std::size_t tk) {
        auto e = std::make_unique<expr>();
        e->kind = k;
        e->tok = tk;
        return e;
    }
    expr_ptr lit(expr::kind_t k, std::string v) {
        auto e = make(k, p_);
        e->value = std::move(v);
        return e;
    }

    expr_ptr expr_() {
        nesting guard(*this);
        return or_();
    }

    expr_ptr or_() {
        auto l = and_();
        while (peek().is("OR")) {
            auto e = make(expr::binary, p_);
            next();
            e->op = "OR";
            e->args.push_back(std::move(l));
            e->args.push_back(and_());
            l = std::move(e);
        }
        return l;
    }
    expr_ptr and_() {
        auto l = not_();
        while (peek().is("AND")) {
            auto e = make(expr::binary, p_);
            next();
            e->op = "AND";
            e->args.push_back(std::move(l));
            e->args.push_back(not_());
            l = std::move(e);
        }
        return l;
    }
    expr_ptr not_() {
        if (peek().is("NOT")) {
            auto e = make(expr::unary, p_);
            next();
            e->op = "NOT";
            e->args.push_back(not_());
            return e;
        }
        return predicate_();
    }
    expr_ptr predicate_() {
        if (peek().is("EXISTS")) {
            auto e = make(expr::exists, p_);
            next();
            expect_op("(");
            e->sub = select_();
            expect_op(")");
            return e;
        }
        auto l = additive_();
        const token& t = peek();
        static const char* cmp[] = {"=", "<>", "!=", "<", ">", "<=", ">=", "!<", "!>"};
        for (const char* c : cmp)
            if (t.is_op(c)) {
                auto e = make(expr::binary, p_);
                next();
                e->op = c;
                if (e->op == "!=") e->op = "<>";
                if (e->op == "!<") e->op = ">=";
                if (e->op == "!>") e->op = "<=";
                e->args.push_back(std::move(l));
                if (peek().is("ALL") || peek().is("ANY") || peek().is("SOME")) fail();
                e->args.push_back(additive_());
                return e;
            }
        bool neg = false;
        std::size_t at = p_;
        if (peek().is("NOT") && (peek(1).is("IN") || peek(1).is("LIKE") || peek(1).is("BETWEEN"))) {
            neg = true;
            next();
        }
        if (accept("IN")) {
            expect_op("(");
            expr_ptr e;
            if (peek().is("SELECT")) {
                e = make(expr::in_select, at);
                e->sub = select_();
            } else {
                e = make(expr::in_list, at);
                e->args.push_back(nullptr);
                do e->args.push_back(expr_()); while (accept_op(","));
            }
            expect_op(")");
            e->negated = neg;
            if (e->kind == expr::in_list) e->args[0] = std::move(l);
            else e->args.push_back(std::move(l));
            return e;
        }
        if (accept("LIKE")) {
            auto e = make(expr::like, at);
            e->negated = neg;
            e->args.push_back(std::move(l));
            e->args.push_back(additive_());
            if (accept("ESCAPE")) e->args.push_back(additive_());
            return e;
        }
        if (accept("BETWEEN")) {
            auto e = make(expr::between, at);
            e->negated = neg;
            e->args.push_back(std::move(l));
            e->args.push_back(additive_());
            expect("AND");
            e->args.push_back(additive_());
            return e;
        }
        if (neg) fail();
        if (peek().is("IS")) {
            auto e = make(expr::is_null, p_);
            next();
            if (accept("NOT")) e->negated = true;
            expect("NULL");
            e->args.push_back(std::move(l));
            return e;
        }
        return l;
    }
    expr_ptr additive_() {
        auto l = mult_();
        while (peek().is_op("+") || peek().is_op("-") || peek().is_op("&") || peek().is_op("|") ||
               peek().is_op("^")) {
            auto e = make(expr::binary, p_);
            e->op = next().text;
            e->args.push_back(std::move(l));
            e->args.push_back(mult_());
            l = std::move(e);
        }
        return l;
    }
    expr_ptr mult_() {
        auto l = unary_();
        while (peek().is_op("*") || peek().is_op("/") || peek().is_op("%")) {
            auto e = make(expr::binary, p_);
            e->op = next().text;
            e->args.push_back(std::move(l));
            e->args.push_back(unary_());
            l = std::move(e);
        }
        return l;
    }
    expr_ptr unary_() {
        nesting guard(*this);
        if (peek().is_op("-") || peek().is_op("+") || peek().is_op("~")) {
            std::size_t at = p_;
            std::string op = next().text;
            // Fold a sign into a numeric literal so that -1 stays a constant.
            if (op == "-" && (peek().kind == tok::integer || peek().kind == tok::number)) {
                auto e = lit(peek().kind == tok::integer ? expr::lit_int : expr::lit_num,
                             "-" + peek().text);
                e->tok = at;
                next();
                return e;
            }
            auto e = make(expr::unary, at);
            e->op = op;
            e->args.push_back(unary_());
            return e;
        }
        return primary_();
    }

    expr_ptr primary_() {
        const token& t = peek();
        std::size_t at = p_;
        switch (t.kind) {
        case tok::integer: {
            next();
            if (t.text.size() > 1 && (t.text[1] == 'x' || t.text[1] == 'X')) {
                if (t.text.size() > 17) fail_at(at);
                long long v = t.text.size() > 2 ? static_cast<long long>(std::stoull(t.text.substr(2), nullptr, 16)) : 0;
                auto e = lit(expr::lit_int, std::to_string(v));
                e->tok = at;
                return e;
            }
            auto e = lit(expr::lit_int, t.text);
            e->tok = at;
            return e;
        }
        case tok::number: {
            next();
            auto e = lit(expr::lit_num, t.text);
            e->tok = at;
            return e;
        }
        case tok::string: {
            next();
            auto e = lit(expr::lit_str, t.text);
            e->unicode = t.unicode;
            e->tok = at;
            return e;
        }
        case tok::sysvar: {
            next();
            auto e = make(expr::sysvar, at);
            e->op = t.upper;
            return e;
        }
        case tok::variable: {
            next();
            auto e = make(expr::variable, at);
            e->op = t.text;
            return e;
        }
        case tok::op:
            if (t.is_op("(")) {
                next();
                if (peek().is("SELECT")) {
                    auto e = make(expr::subquery, at);
                    e->sub = select_();
                    expect_op(")");
                    return e;
                }
                auto e = expr_();
                expect_op(")");
                return e;
            }
            fail();
        case tok::ident:
        case tok::quoted_ident:
            break;
        case tok::end:
            fail();
        }
        if (t.kind == tok::ident) {
            if (t.upper == "NULL") { next(); return lit(expr::lit_null, ""); }
            if (t.upper == "CASE") return case_();
            if (t.upper == "CAST" && peek(1).is_op("(")) {
                next();
                next();
                auto e = make(expr::cast, at);
                e->args.push_back(expr_());
                expect("AS");
                e->type = type_();
                expect_op(")");
                return e;
            }
            if (t.upper == "CONVERT" && peek(1).is_op("(")) {
                next();
                next();
                auto e = make(expr::cast, at);
                e->type = type_();
                expect_op(",");
                e->args.push_back(expr_());
                if (accept_op(",")) e->args.push_back(expr_());
                expect_op(")");
                return e;
            }
            if (t.upper == "CURRENT_TIMESTAMP") {
                next();
                auto e = make(expr::func, at);
                e->op = "GETDATE";
                return e;
            }
            if (peek(1).is_op("(") &&
                (!is_reserved(t.upper) || t.upper == "LEFT" || t.upper == "RIGHT" ||
                 t.upper == "COALESCE" || t.upper == "NULLIF"))
                return func_();
            if (is_reserved(t.upper)) fail();
        }
        auto e = make(expr::column, at);
        e->parts = multipart();
        return e;
    }

    expr_ptr func_() {
        auto e = make(expr::func, p_);
        e->op = next().upper;
        expect_op("(");
        if (accept_op(")")) return e;
        if (peek().is_op("*")) {
            next();
            e->args.push_back(make(expr::star, p_ - 1));
            expect_op(")");
            return e;
        }
        if (accept("DISTINCT")) e->distinct = true;
        else accept("ALL");
        do e->args.push_back(expr_()); while (accept_op(","));
        expect_op(")");
        if (peek().is("OVER")) fail();
        return e;
    }

    expr_ptr case_() {
        auto e = make(expr::case_when, p_);
        next();
        // args: [operand or null], (when, then)*, [else]
        if (!peek().is("WHEN")) e->args.push_back(expr_());
        else e->args.push_back(nullptr);
        if (!peek().is("WHEN")) fail();
        while (accept("WHEN")) {
            e->args.push_back(expr_());
            expect("THEN");
            e->args.push_back(expr_());
        }
        if (accept("ELSE")) {
            e->value = "ELSE";
            e->args.push_back(expr_());
        }
        expect("END");
        return e;
    }
};

}  // namespace

std::vector<stmt_ptr> parse_batch(const std::string& sql, const std::vector<token>& toks) {
    parser p(sql, toks);
    return p.batch();
}

}  // namespace standin::tsql
