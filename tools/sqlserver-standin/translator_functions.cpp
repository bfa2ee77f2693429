// The built-in functions the translator knows, as a table: each name with the
// number of arguments it takes and how a call becomes SQLite text. Most map
// onto one SQLite function (SQLite's own or a tsql_* one from
// tsql_runtime.cpp); the others build their text themselves.

#include <cstddef>
#include <string>
#include <unordered_map>

#include "sqlserver-standin/connection_impl.h"
#include "sqlserver-standin/error_catalogue.h"
#include "sqlserver-standin/translator.h"

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
    // Otherwise the call builds its text itself.
    builder build = nullptr;
};

function_descriptor maps_to(std::size_t lo, std::size_t hi, const char* sqlite_name, const char* forms, vtype result) {
    function_descriptor d;
    d.min_args = lo;
    d.max_args = hi;
    d.sqlite_name = sqlite_name;
    d.forms = forms;
    d.result = result;
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
    for (std::size_t i = 0; i < call.count(); ++i) {
        if (i) sql += ",";
        sql += d.forms[i] == 'n' ? call.num(i) : call.arg(i).sql;
    }
    return {sql + ")", d.result};
}

// ------------------------------------------------------------ the builders

typed count_call(const function_call& call) {
    if (call.e.args[0]->kind == expr::star) return {"count(*)", vtype::integer};
    return {"count(" + call.distinct() + call.arg(0).sql + ")", vtype::integer};
}

// MAX, MIN, SUM and AVG keep their argument's type; AVG of integers stays an
// integer, as SQL Server's does.
typed min_max_sum_avg_call(const function_call& call) {
    const std::string& f = call.e.op;
    typed a = call.arg(0);
    if (f == "AVG" && a.type == vtype::integer) return {"CAST(avg(" + call.distinct() + a.sql + ") AS INTEGER)", a.type};
    return {to_lower(f) + "(" + call.distinct() + (f == "SUM" || f == "AVG" ? call.tr.num(a) : a.sql) + ")", a.type};
}

typed isnull_call(const function_call& call) {
    typed a = call.arg(0), b = call.arg(1);
    return {"ifnull(" + a.sql + "," + b.sql + ")", a.type == vtype::unknown ? b.type : a.type};
}

typed coalesce_call(const function_call& call) {
    typed r;
    std::string s = "coalesce(";
    for (std::size_t i = 0; i < call.count(); ++i) {
        typed a = call.arg(i);
        if (i) s += ",";
        s += a.sql;
        if (r.type == vtype::unknown) r.type = a.type;
    }
    r.sql = s + ")";
    return r;
}

typed nullif_call(const function_call& call) {
    typed a = call.arg(0), b = call.arg(1);
    return {"(CASE WHEN " + call.tr.compare(a, "=", b) + " THEN NULL ELSE " + a.sql + " END)", a.type};
}

// LTRIM and RTRIM take blanks only.
typed trim_call(const function_call& call) {
    return {to_lower(call.e.op) + "(" + call.arg(0).sql + ",' ')", vtype::text};
}

typed abs_call(const function_call& call) {
    typed a = call.arg(0);
    return {"abs(" + call.tr.num(a) + ")", a.type};
}

// ROUND(x, digits[, function]); the third argument is not looked at.
typed round_call(const function_call& call) {
    typed a = call.arg(0);
    std::string sql = "round(" + call.tr.num(a) + "," + call.num(1) + ")";
    if (a.type == vtype::integer) return {"CAST(" + sql + " AS INTEGER)", vtype::integer};
    return {sql, vtype::decimal};
}

typed object_name_call(const function_call& call) {
    return {"(SELECT name FROM sysobjects WHERE id = " + call.num(0) + ")", vtype::text};
}

typed db_name_call(const function_call& call) {
    if (call.count() == 0) return {quote_str(call.tr.c.db_name()), vtype::text};
    return {"tsql_db_name(" + call.num(0) + ")", vtype::text};
}

typed db_id_call(const function_call& call) {
    return {"tsql_db_id(" + (call.count() == 0 ? quote_str(call.tr.c.db_name()) : call.arg(0).sql) + ")",
            vtype::integer};
}

// Every login is the database owner.
typed user_name_call(const function_call&) { return {quote_str("dbo"), vtype::text}; }

typed login_name_call(const function_call& call) { return {quote_str(call.tr.c.user_name()), vtype::text}; }

typed empty_text_call(const function_call&) { return {"''", vtype::text}; }

typed serverproperty_call(const function_call& call) {
    return {"(CASE lower(" + call.arg(0).sql +
                ") WHEN 'productversion' THEN '10.50.4000.0' WHEN 'edition' THEN 'Developer Edition' WHEN "
                "'collation' THEN 'Chinese_PRC_CI_AS' WHEN 'servername' THEN 'STANDIN' ELSE NULL END)",
            vtype::text};
}

// YEAR, MONTH and DAY: a part of the ISO form dates are kept in.
typed date_part_call(const function_call& call) {
    const std::string& f = call.e.op;
    int off = f == "YEAR" ? 1 : f == "MONTH" ? 6 : 9;
    int len = f == "YEAR" ? 4 : 2;
    return {"CAST(substr(tsql_dt(" + call.arg(0).sql + ")," + std::to_string(off) + "," + std::to_string(len) +
                ") AS INTEGER)",
            vtype::integer};
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
        {"LOWER", maps_to(1, 1, "lower", "t", vtype::text)}, {"UPPER", maps_to(1, 1, "upper", "t", vtype::text)},
        {"LTRIM", built(1, 1, trim_call)}, {"RTRIM", built(1, 1, trim_call)},
        {"LEFT", maps_to(2, 2, "tsql_left", "tn", vtype::text)}, {"RIGHT", maps_to(2, 2, "tsql_right", "tn", vtype::text)},
        {"LEN", maps_to(1, 1, "tsql_len", "t", vtype::integer)},
        {"DATALENGTH", maps_to(1, 1, "tsql_datalength", "t", vtype::integer)},
        {"SUBSTRING", maps_to(3, 3, "tsql_substring", "tnn", vtype::text)},
        {"CHARINDEX", maps_to(2, 3, "tsql_charindex", "ttn", vtype::integer)},
        {"REPLACE", maps_to(3, 3, "tsql_replace", "ttt", vtype::text)},
        {"REPLICATE", maps_to(2, 2, "tsql_replicate", "tn", vtype::text)},
        {"SPACE", maps_to(1, 1, "tsql_space", "n", vtype::text)}, {"STR", built(1, 3, str_call)},
        // Numbers and dates.
        {"ABS", built(1, 1, abs_call)}, {"ROUND", built(2, 3, round_call)},
        {"ISNUMERIC", maps_to(1, 1, "tsql_isnumeric", "t", vtype::integer)},
        {"GETDATE", maps_to(0, 0, "tsql_getdate", "", vtype::datetime)},
        {"SYSDATETIME", maps_to(0, 0, "tsql_getdate", "", vtype::datetime)},
        {"CURRENT_TIMESTAMP", maps_to(0, 0, "tsql_getdate", "", vtype::datetime)},
        {"YEAR", built(1, 1, date_part_call)}, {"MONTH", built(1, 1, date_part_call)}, {"DAY", built(1, 1, date_part_call)},
        // The catalog.
        {"OBJECT_ID", maps_to(1, 2, "tsql_object_id", "tt", vtype::integer)},
        {"OBJECTPROPERTY", maps_to(2, 2, "tsql_objectproperty", "nt", vtype::integer)},
        {"OBJECT_NAME", built(1, 1, object_name_call)},
        {"DB_NAME", built(0, 1, db_name_call)}, {"DB_ID", built(0, 1, db_id_call)},
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
