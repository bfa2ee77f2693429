// The parser's queries and expressions: SELECT with its FROM list, and
// expressions by precedence, from OR down to literals, names and calls.

#include "sqlserver-standin/tsql_parser_internal.h"

namespace standin::tsql {

std::shared_ptr<select_stmt> parser::select_() {
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

select_item parser::select_item_() {
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

void parser::from_list_(std::vector<table_ref>& out) {
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

table_ref parser::table_source_() {
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

expr_ptr parser::make(expr::kind_t k, std::size_t tk) {
    auto e = std::make_unique<expr>();
    e->kind = k;
    e->tok = tk;
    return e;
}

expr_ptr parser::lit(expr::kind_t k, std::string v) {
    auto e = make(k, p_);
    e->value = std::move(v);
    return e;
}

expr_ptr parser::expr_() {
    nesting guard(*this);
    return or_();
}

// operand (op operand)*, grouped from the left; ops are keywords or symbols.
expr_ptr parser::left_assoc_(expr_ptr (parser::*operand)(), std::initializer_list<const char*> ops) {
    auto l = (this->*operand)();
    for (;;) {
        const token& t = peek();
        bool matched = false;
        for (const char* o : ops) matched = matched || t.is(o) || t.is_op(o);
        if (!matched) return l;
        auto e = make(expr::binary, p_);
        next();
        e->op = t.kind == tok::ident ? t.upper : t.text;
        e->args.push_back(std::move(l));
        e->args.push_back((this->*operand)());
        l = std::move(e);
    }
}

expr_ptr parser::or_() { return left_assoc_(&parser::and_, {"OR"}); }
expr_ptr parser::and_() { return left_assoc_(&parser::not_, {"AND"}); }

expr_ptr parser::not_() {
    if (peek().is("NOT")) {
        auto e = make(expr::unary, p_);
        next();
        e->op = "NOT";
        e->args.push_back(not_());
        return e;
    }
    return predicate_();
}

expr_ptr parser::predicate_() {
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
        auto e = operation_(expr::like, at, neg, std::move(l));
        if (accept("ESCAPE")) e->args.push_back(additive_());
        return e;
    }
    if (accept("BETWEEN")) {
        auto e = operation_(expr::between, at, neg, std::move(l));
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

// l [NOT] LIKE r / BETWEEN r: the node with its operands so far.
expr_ptr parser::operation_(expr::kind_t k, std::size_t at, bool negated, expr_ptr l) {
    auto e = make(k, at);
    e->negated = negated;
    e->args.push_back(std::move(l));
    e->args.push_back(additive_());
    return e;
}

expr_ptr parser::additive_() { return left_assoc_(&parser::mult_, {"+", "-", "&", "|", "^"}); }
expr_ptr parser::mult_() { return left_assoc_(&parser::unary_, {"*", "/", "%"}); }

expr_ptr parser::unary_() {
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

expr_ptr parser::primary_() {
    const token& t = peek();
    std::size_t at = p_;
    switch (t.kind) {
    case tok::integer:
    case tok::number:
    case tok::string: return literal_();
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
        if (!t.is_op("(")) fail();
        next();
        if (peek().is("SELECT")) {
            auto e = make(expr::subquery, at);
            e->sub = select_();
            expect_op(")");
            return e;
        } else {
            auto e = expr_();
            expect_op(")");
            return e;
        }
    case tok::ident:
    case tok::quoted_ident:
        break;
    case tok::end:
        fail();
    }
    if (t.kind == tok::ident) {
        if (auto e = keyword_expr_()) return e;
        if (peek(1).is_op("(") &&
            (!is_reserved(t.upper) || t.upper == "LEFT" || t.upper == "RIGHT" || t.upper == "COALESCE" ||
             t.upper == "NULLIF"))
            return func_();
        if (is_reserved(t.upper)) fail();
    }
    auto e = make(expr::column, at);
    e->parts = multipart();
    return e;
}

// 12, 0x1F (as its value), 1.5, 'text', N'text'.
expr_ptr parser::literal_() {
    const token& t = peek();
    std::size_t at = p_;
    next();
    expr_ptr e;
    if (t.kind == tok::integer && t.text.size() > 1 && (t.text[1] == 'x' || t.text[1] == 'X')) {
        if (t.text.size() > 17) fail_at(at);
        long long v = t.text.size() > 2 ? static_cast<long long>(std::stoull(t.text.substr(2), nullptr, 16)) : 0;
        e = lit(expr::lit_int, std::to_string(v));
    } else {
        e = lit(t.kind == tok::integer ? expr::lit_int : t.kind == tok::number ? expr::lit_num : expr::lit_str, t.text);
        e->unicode = t.unicode;
    }
    e->tok = at;
    return e;
}

// The expressions that open with a keyword: NULL, CASE, CAST, CONVERT,
// CURRENT_TIMESTAMP. Null when the current token opens none of them.
expr_ptr parser::keyword_expr_() {
    const token& t = peek();
    std::size_t at = p_;
    if (t.upper == "NULL") {
        next();
        return lit(expr::lit_null, "");
    }
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
    return nullptr;
}

expr_ptr parser::func_() {
    auto e = make(expr::func, p_);
    const token& name = next();
    // A built-in function the version does not have yet is unknown to its
    // parser: the whole batch fails, named as it was written.
    if (name.upper == "APPLOCK_TEST" && !has_.applock_test)
        throw syntax_error(errors::unknown_function, {name.text}, name.line);
    e->op = name.upper;
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

expr_ptr parser::case_() {
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

}  // namespace standin::tsql
