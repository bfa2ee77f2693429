#pragma once
// The recursive-descent parser behind parse_batch. Its methods live by
// subject: tsql_parser.cpp (the batch, the token helpers and the statements),
// tsql_parser_ddl.cpp (types, tables, procedures and triggers) and
// tsql_parser_expr.cpp (queries and expressions).

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sqlserver-standin/tsql_parser.h"

namespace standin::tsql {

class parser {
public:
    parser(const std::string& src, const std::vector<token>& toks, std::optional<bool>* parseonly,
           const version_features& has)
        : src_(src), t_(toks), parseonly_(parseonly), has_(has) {}

    std::vector<stmt_ptr> batch();

private:
    const std::string& src_;
    const std::vector<token>& t_;
    std::optional<bool>* parseonly_;  // where SET PARSEONLY leaves its setting, if anywhere
    const version_features& has_;     // the statement forms of the version played
    std::size_t p_ = 0;
    int depth_ = 0;

    // Bounds the recursion of nested expressions and blocks, so that a
    // hostile batch cannot exhaust the stack.
    struct nesting {
        parser& p;
        explicit nesting(parser& pp) : p(pp) {
            if (++p.depth_ > 128)
                throw syntax_error(errors::nested_too_deeply, {}, p.peek().line);
        }
        ~nesting() { --p.depth_; }
    };

    int small_int(const token& t);

    const token& peek(std::size_t k = 0) const;
    bool at_end() const { return peek().kind == tok::end; }
    const token& next();

    [[noreturn]] void fail_at(std::size_t i) const;
    [[noreturn]] void fail() const { fail_at(p_); }

    bool accept(const char* kw);
    bool accept_op(const char* o);
    void expect(const char* kw);
    void expect_op(const char* o);

    // A name part: plain non-reserved identifier or a bracketed/quoted one.
    bool is_name(const token& t) const;
    std::string name_part();
    std::vector<std::string> multipart();

    // ------------------------------------------- statements (tsql_parser.cpp)

    stmt_ptr statement_(bool first, bool top);
    void tran_name(statement& st);
    void begin_(statement& st);
    void if_(statement& st);
    void set_(statement& st);
    void exec_(statement& st);
    void drop_(statement& st);
    void create_(statement& st, bool first);
    void insert_(statement& st);
    void update_(statement& st);
    void delete_(statement& st);
    void hints_();
    // BACKUP DATABASE, RESTORE DATABASE and RESTORE VERIFYONLY (tsql_parser_backup.cpp).
    void backup_(statement& st);
    void backup_options_(backup_clause& b);

    // ---------------------------------------- definitions (tsql_parser_ddl.cpp)

    type_spec type_();
    void column_def_(column_def& c);
    // [CONSTRAINT n] PRIMARY KEY (...) | UNIQUE (...) | FOREIGN KEY ... | CHECK (...)
    bool table_constraint_(statement& st);
    void columns_and_constraints_(statement& st);
    void create_table_(statement& st);
    void alter_table_(statement& st);
    // CREATE PROC / TRIGGER header, parsed as SQL Server reads it; the body is
    // kept as text.
    void module_(statement& st, bool alter);
    void trigger_header_(statement& st);
    void ddl_trigger_header_(statement& st);
    void procedure_header_(statement& st);
    expr_ptr parameter_default_();
    // A GO that opens its line and has nothing after it but a comment or a
    // repeat count: the client-side separator, which the server rejects.
    bool separator_line(std::size_t i) const;
    bool alone_on_line(const token& t) const;
    void module_options_(statement& st, bool trigger);

    // ------------------------- queries and expressions (tsql_parser_expr.cpp)

    std::shared_ptr<select_stmt> select_();
    select_item select_item_();
    void from_list_(std::vector<table_ref>& out);
    table_ref table_source_();
    expr_ptr make(expr::kind_t k, std::size_t tk);
    expr_ptr lit(expr::kind_t k, std::string v);
    expr_ptr expr_();
    expr_ptr left_assoc_(expr_ptr (parser::*operand)(), std::initializer_list<const char*> ops);
    expr_ptr or_();
    expr_ptr and_();
    expr_ptr not_();
    expr_ptr predicate_();
    expr_ptr operation_(expr::kind_t k, std::size_t at, bool negated, expr_ptr l);
    expr_ptr additive_();
    expr_ptr mult_();
    expr_ptr unary_();
    expr_ptr primary_();
    expr_ptr literal_();
    expr_ptr keyword_expr_();
    expr_ptr func_();
    expr_ptr case_();
};

}  // namespace standin::tsql
