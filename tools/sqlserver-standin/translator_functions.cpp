// The built-in functions the translator knows, as a table: each name with the
// number of arguments it takes and how a call becomes SQLite text. Most map
// onto one SQLite function (SQLite's own or a tsql_* one from
// tsql_runtime.cpp); the others build their text themselves.

#include <algorithm>
#include <cstddef>
#include <string>
#include <unordered_map>

#include "sqlserver-standin/connection_impl.h"
#include "sqlserver-standin/date_functions.h"
#include "sqlserver-standin/error_catalogue.h"
#include "sqlserver-standin/translator.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

namespace {

// A call being translated. Arguments are translated when asked for, so a
// function that ignores some never fails on them.
struct function_call {
    translator& tr;
    const expr& e;
    const scope& sc;

    std::size_t count() const { return e.args.size(); }
    typed arg(std::size_t i) const { return tr.expression(*e.args.at(i), sc); }
    std::string num(std::size_t i) const { return tr.num(arg(i)); }
    std::string distinct() const { return e.distinct ? "DISTINCT " : ""; }
};

using builder = typed (*)(const function_call&);

constexpr std::size_t any_number = static_cast<std::size_t>(-1);

// The declared type of a result: none, fixed, or taken from the first argument.
enum class declared { none, int_, datetime, sysname, first_arg };

struct function_descriptor {
    std::size_t min_args = 0;
    std::size_t max_args = any_number;
    bool checks_count = true;  // some functions ignore what they are given
    bool aggregate = false;
    // A call that maps onto one SQLite function: its name, how each argument
    // is passed ('t' as it is, 'n' as a number) and the result's type.
    const char* sqlite_name = nullptr;
    const char* forms = "";
    vtype result = vtype::unknown;
    declared decl = declared::none;
    // Otherwise the call builds its text itself.
    builder build = nullptr;
};

function_descriptor maps_to(std::size_t lo, std::size_t hi, const char* sqlite_name, const char* forms, vtype result,
                            declared decl = declared::none) {
    function_descriptor d;
    d.min_args = lo;
    d.max_args = hi;
    d.sqlite_name = sqlite_name;
    d.forms = forms;
    d.result = result;
    d.decl = decl;
    return d;
}

function_descriptor built(std::size_t lo, std::size_t hi, builder b) {
    function_descriptor d;
    d.min_args = lo;
    d.max_args = hi;
    d.build = b;
    return d;
}

function_descriptor aggregate(builder b) {
    function_descriptor d = built(1, 1, b);
    d.aggregate = true;
    return d;
}

// Takes whatever it is given and looks at none of it.
function_descriptor unchecked(builder b) {
    function_descriptor d = built(0, any_number, b);
    d.checks_count = false;
    return d;
}

typed mapped_call(const function_descriptor& d, const function_call& call) {
    std::string sql = std::string(d.sqlite_name) + "(";
    std::optional<type_spec> first;
    for (std::size_t i = 0; i < call.count(); ++i) {
        if (i) sql += ",";
        typed a = call.arg(i);
        if (i == 0) first = a.decl;
        sql += d.forms[i] == 'n' ? call.tr.num(a) : a.sql;
    }
    typed r{sql + ")", d.result};
    switch (d.decl) {
    case declared::none: break;
    case declared::int_: r.decl = simple_type("INT"); break;
    case declared::datetime: r.decl = simple_type("DATETIME"); break;
    case declared::sysname: r.decl = character_type(true, 128); break;
    case declared::first_arg:
        if (first && is_character(*first)) r.decl = first;
        break;
    }
    return r;
}

// The text functions that build a new string (REPLACE, REPLICATE) give
// varchar(8000) or nvarchar(4000), (max) for a (max) argument.
std::optional<type_spec> built_text_type(const std::optional<type_spec>& arg) {
    if (!arg || !is_character(*arg)) return std::nullopt;
    const bool unicode = is_unicode(*arg);
    const bool max = arg->length == -2 || arg->name == "TEXT" || arg->name == "NTEXT";
    return character_type(unicode, max ? -2 : unicode ? 4000 : 8000);
}

// ------------------------------------------------------------ the builders

typed count_call(const function_call& call) {
    if (call.e.args[0]->kind == expr::star) return {"count(*)", vtype::integer, simple_type("INT")};
    return {"count(" + call.distinct() + call.arg(0).sql + ")", vtype::integer, simple_type("INT")};
}

// SUM and AVG's declared result, as SQL Server widens it: int for the
// smaller integers, decimal(38, s) (AVG: at least 6 decimals), money, float.
std::optional<type_spec> sum_avg_type(const std::optional<type_spec>& arg, bool avg) {
    if (!arg) return std::nullopt;
    const std::string& n = arg->name;
    if (n == "INT" || n == "SMALLINT" || n == "TINYINT") return simple_type("INT");
    if (n == "BIGINT") return simple_type("BIGINT");
    if (n == "MONEY" || n == "SMALLMONEY") return simple_type("MONEY");
    if (n == "FLOAT" || n == "REAL") return simple_type("FLOAT");
    if (n == "NUMERIC" || n == "DECIMAL") {
        type_spec t = simple_type("DECIMAL");
        t.precision = 38;
        t.scale = avg ? std::max(arg->scale, 6) : arg->scale;
        return t;
    }
    return std::nullopt;
}

// MAX, MIN, SUM and AVG keep their argument's type; AVG of integers stays an
// integer, as SQL Server's does.
typed min_max_sum_avg_call(const function_call& call) {
    const std::string& f = call.e.op;
    typed a = call.arg(0);
    const bool widened = f == "SUM" || f == "AVG";
    std::optional<type_spec> decl = widened ? sum_avg_type(a.decl, f == "AVG") : a.decl;
    if (f == "AVG" && a.type == vtype::integer)
        return {"CAST(avg(" + call.distinct() + a.sql + ") AS INTEGER)", a.type, decl};
    return {to_lower(f) + "(" + call.distinct() + (widened ? call.tr.num(a) : a.sql) + ")", a.type, decl};
}

// ISNULL takes its first argument's type.
typed isnull_call(const function_call& call) {
    typed a = call.arg(0), b = call.arg(1);
    return {"ifnull(" + a.sql + "," + b.sql + ")", a.type == vtype::unknown ? b.type : a.type, a.decl ? a.decl : b.decl};
}

typed coalesce_call(const function_call& call) {
    typed r;
    std::string s = "coalesce(";
    for (std::size_t i = 0; i < call.count(); ++i) {
        typed a = call.arg(i);
        if (i) s += ",";
        s += a.sql;
        if (r.type == vtype::unknown) r.type = a.type;
        if (!r.decl) r.decl = a.decl;
    }
    r.sql = s + ")";
    return r;
}

typed nullif_call(const function_call& call) {
    typed a = call.arg(0), b = call.arg(1);
    return {"(CASE WHEN " + call.tr.compare(a, "=", b) + " THEN NULL ELSE " + a.sql + " END)", a.type, a.decl};
}

// LTRIM and RTRIM take blanks only.
typed trim_call(const function_call& call) {
    typed a = call.arg(0);
    std::optional<type_spec> decl;
    if (a.decl && is_character(*a.decl)) decl = a.decl;
    return {to_lower(call.e.op) + "(" + a.sql + ",' ')", vtype::text, decl};
}

typed abs_call(const function_call& call) {
    typed a = call.arg(0);
    return {"abs(" + call.tr.num(a) + ")", a.type, a.decl};
}

// ROUND(x, digits[, function]); the third argument is not looked at.
typed round_call(const function_call& call) {
    typed a = call.arg(0);
    std::string sql = "round(" + call.tr.num(a) + "," + call.num(1) + ")";
    if (a.type == vtype::integer) return {"CAST(" + sql + " AS INTEGER)", vtype::integer, a.decl};
    return {sql, vtype::decimal, a.decl};
}

// REPLACE and REPLICATE: their argument's kind of text, as long as that
// kind holds; REPLICATE stops there (4000 characters for nvarchar, 8000
// bytes of the code page for varchar, no limit for (max)).
typed replace_call(const function_call& call) {
    typed a = call.arg(0);
    return {"tsql_replace(" + a.sql + "," + call.arg(1).sql + "," + call.arg(2).sql + ")", vtype::text,
            built_text_type(a.decl)};
}

typed replicate_call(const function_call& call) {
    typed a = call.arg(0);
    std::optional<type_spec> decl = built_text_type(a.decl);
    const int limit = !decl ? tsql::replicate_bytes : decl->length == -2 ? tsql::replicate_unlimited
                      : is_unicode(*decl)                               ? tsql::replicate_characters
                                                                        : tsql::replicate_bytes;
    return {"tsql_replicate(" + a.sql + "," + call.num(1) + "," + std::to_string(limit) + ")", vtype::text, decl};
}

const type_spec sysname = character_type(true, 128);

typed object_name_call(const function_call& call) {
    return {"(SELECT name FROM sysobjects WHERE id = " + call.num(0) + ")", vtype::text, sysname};
}

typed db_name_call(const function_call& call) {
    if (call.count() == 0) return {quote_str(call.tr.c.db_name()), vtype::text, sysname};
    return {"tsql_db_name(" + call.num(0) + ")", vtype::text, sysname};
}

typed db_id_call(const function_call& call) {
    return {"tsql_db_id(" + (call.count() == 0 ? quote_str(call.tr.c.db_name()) : call.arg(0).sql) + ")",
            vtype::integer, simple_type("INT")};
}

// Every login is the database owner.
typed user_name_call(const function_call&) { return {quote_str("dbo"), vtype::text, sysname}; }

typed login_name_call(const function_call& call) { return {quote_str(call.tr.c.user_name()), vtype::text, sysname}; }

typed empty_text_call(const function_call&) { return {"''", vtype::text, sysname}; }

// The properties the version knows; any other is NULL, as SERVERPROPERTY
// answers a property that version does not have.
typed serverproperty_call(const function_call& call) {
    const server_version& v = call.tr.c.version();
    std::string cases = " WHEN 'productversion' THEN " + quote_str(v.product_version) +
                        " WHEN 'productlevel' THEN " + quote_str(v.product_level) +
                        " WHEN 'edition' THEN " + quote_str(v.edition) +
                        " WHEN 'collation' THEN 'Chinese_PRC_CI_AS' WHEN 'servername' THEN 'STANDIN'";
    if (v.has.product_major_version)
        cases += " WHEN 'productmajorversion' THEN " + quote_str(std::to_string(v.major));
    if (v.has.default_backup_path) cases += " WHEN 'instancedefaultbackuppath' THEN " + quote_str(call.tr.c.eng().backup_dir);
    return {"(CASE lower(" + call.arg(0).sql + ")" + cases + " ELSE NULL END)", vtype::text};
}

// YEAR, MONTH and DAY: a part of the ISO form dates are kept in.
typed date_part_call(const function_call& call) {
    const std::string& f = call.e.op;
    int off = f == "YEAR" ? 1 : f == "MONTH" ? 6 : 9;
    int len = f == "YEAR" ? 4 : 2;
    return {"CAST(substr(tsql_dt(" + call.arg(0).sql + ")," + std::to_string(off) + "," + std::to_string(len) +
                ") AS INTEGER)",
            vtype::integer, simple_type("INT")};
}

// DATEADD and DATEDIFF: the datepart is a bare word, checked as the call is
// compiled.
std::string datepart_arg(const function_call& call) {
    const expr& p = *call.e.args[0];
    const std::string written = p.kind == expr::column && p.parts.size() == 1 ? p.parts[0] : p.value;
    auto name = datepart_name(written);
    if (!name) throw compile_err(errors::unknown_datepart, written, to_lower(call.e.op));
    return *name;
}

typed dateadd_call(const function_call& call) {
    return {"tsql_dateadd('" + datepart_arg(call) + "'," + call.num(1) + "," + call.arg(2).sql + ")", vtype::datetime,
            simple_type("DATETIME")};
}

typed datediff_call(const function_call& call) {
    return {"tsql_datediff('" + datepart_arg(call) + "'," + call.arg(1).sql + "," + call.arg(2).sql + ")",
            vtype::integer, simple_type("INT")};
}

// STR(x[, length[, decimals]]): the number as text; length and decimals are
// not looked at.
typed str_call(const function_call& call) { return {"CAST(" + call.num(0) + " AS TEXT)", vtype::text}; }

// ----------------------------------------------------------------- the table

const std::unordered_map<std::string, function_descriptor>& functions() {
    static const std::unordered_map<std::string, function_descriptor> table = {
        // Aggregates.
        {"COUNT", aggregate(count_call)}, {"COUNT_BIG", aggregate(count_call)},
        {"MAX", aggregate(min_max_sum_avg_call)}, {"MIN", aggregate(min_max_sum_avg_call)},
        {"SUM", aggregate(min_max_sum_avg_call)}, {"AVG", aggregate(min_max_sum_avg_call)},
        // NULL.
        {"ISNULL", built(2, 2, isnull_call)}, {"NULLIF", built(2, 2, nullif_call)},
        {"COALESCE", built(2, any_number, coalesce_call)},
        // Text.
        {"LOWER", maps_to(1, 1, "lower", "t", vtype::text, declared::first_arg)},
        {"UPPER", maps_to(1, 1, "upper", "t", vtype::text, declared::first_arg)},
        {"LTRIM", built(1, 1, trim_call)}, {"RTRIM", built(1, 1, trim_call)},
        {"LEFT", maps_to(2, 2, "tsql_left", "tn", vtype::text, declared::first_arg)},
        {"RIGHT", maps_to(2, 2, "tsql_right", "tn", vtype::text, declared::first_arg)},
        {"LEN", maps_to(1, 1, "tsql_len", "t", vtype::integer, declared::int_)},
        {"DATALENGTH", maps_to(1, 1, "tsql_datalength", "t", vtype::integer, declared::int_)},
        {"SUBSTRING", maps_to(3, 3, "tsql_substring", "tnn", vtype::text, declared::first_arg)},
        {"CHARINDEX", maps_to(2, 3, "tsql_charindex", "ttn", vtype::integer, declared::int_)},
        {"REPLACE", built(3, 3, replace_call)},
        {"REPLICATE", built(2, 2, replicate_call)},
        {"SPACE", maps_to(1, 1, "tsql_space", "n", vtype::text)}, {"STR", built(1, 3, str_call)},
        // Numbers and dates.
        {"ABS", built(1, 1, abs_call)}, {"ROUND", built(2, 3, round_call)},
        {"ISNUMERIC", maps_to(1, 1, "tsql_isnumeric", "t", vtype::integer)},
        {"GETDATE", maps_to(0, 0, "tsql_getdate", "", vtype::datetime, declared::datetime)},
        {"SYSDATETIME", maps_to(0, 0, "tsql_getdate", "", vtype::datetime)},
        {"CURRENT_TIMESTAMP", maps_to(0, 0, "tsql_getdate", "", vtype::datetime, declared::datetime)},
        {"GETUTCDATE", maps_to(0, 0, "tsql_getutcdate", "", vtype::datetime, declared::datetime)},
        {"DATEADD", built(3, 3, dateadd_call)}, {"DATEDIFF", built(3, 3, datediff_call)},
        {"YEAR", built(1, 1, date_part_call)}, {"MONTH", built(1, 1, date_part_call)}, {"DAY", built(1, 1, date_part_call)},
        // The catalog.
        {"OBJECT_ID", maps_to(1, 2, "tsql_object_id", "tt", vtype::integer, declared::int_)},
        {"OBJECTPROPERTY", maps_to(2, 2, "tsql_objectproperty", "nt", vtype::integer, declared::int_)},
        {"OBJECT_NAME", built(1, 1, object_name_call)},
        {"DB_NAME", built(0, 1, db_name_call)}, {"DB_ID", built(0, 1, db_id_call)},
        {"APPLOCK_TEST", maps_to(4, 4, "tsql_applock_test", "tttt", vtype::integer, declared::int_)},
        // The session and the server.
        {"USER_NAME", unchecked(user_name_call)}, {"CURRENT_USER", unchecked(user_name_call)},
        {"SCHEMA_NAME", unchecked(user_name_call)},
        {"SUSER_SNAME", unchecked(login_name_call)}, {"SUSER_NAME", unchecked(login_name_call)},
        {"SYSTEM_USER", unchecked(login_name_call)},
        {"HOST_NAME", unchecked(empty_text_call)}, {"APP_NAME", unchecked(empty_text_call)},
        {"SERVERPROPERTY", built(1, 1, serverproperty_call)},
    };
    return table;
}

}  // namespace

bool translator::is_aggregate(const std::string& function_name) {
    auto it = functions().find(function_name);
    return it != functions().end() && it->second.aggregate;
}

typed translator::function(const expr& e, const scope& sc) {
    auto it = functions().find(e.op);
    if (it == functions().end())
        throw compile_err(errors::unknown_function, to_lower(e.op));
    const function_descriptor& d = it->second;
    if (d.checks_count && (e.args.size() < d.min_args || e.args.size() > d.max_args))
        throw compile_err(errors::function_argument_count, to_lower(e.op), std::to_string(d.min_args));
    function_call call{*this, e, sc};
    return d.build ? d.build(call) : mapped_call(d, call);
}

}  // namespace standin::detail
