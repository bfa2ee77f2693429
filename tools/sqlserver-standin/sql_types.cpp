#include "sqlserver-standin/sql_types.h"

#include <algorithm>
#include <set>

#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;

bool ieq(const std::string& a, const std::string& b) {
    return collate_compare(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size())) == 0;
}

namespace {

// s between quotes, a quote inside doubled.
std::string quoted(const std::string& s, char quote) {
    std::string r(1, quote);
    for (char c : s) {
        if (c == quote) r += quote;
        r += c;
    }
    return r + quote;
}

}  // namespace

std::string quote_id(const std::string& s) { return quoted(s, '"'); }
std::string quote_str(const std::string& s) { return quoted(s, '\''); }

std::string join_name(const std::vector<std::string>& parts) {
    std::string r;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) r += '.';
        r += parts[i];
    }
    return r;
}

bool known_type(const std::string& n) {
    static const std::set<std::string> t = {
        "INT", "INTEGER", "BIGINT", "SMALLINT", "TINYINT", "BIT", "CHAR", "VARCHAR", "NCHAR",
        "NVARCHAR", "TEXT", "NTEXT", "DATETIME", "SMALLDATETIME", "DATE", "NUMERIC", "DECIMAL",
        "DEC", "MONEY", "SMALLMONEY", "FLOAT", "REAL", "SYSNAME", "UNIQUEIDENTIFIER"};
    return t.count(n) != 0;
}

type_spec normalized(type_spec t, bool in_cast) {
    if (t.name == "INTEGER") t.name = "INT";
    if (t.name == "DEC") t.name = "DECIMAL";
    if (t.name == "SYSNAME") { t.name = "NVARCHAR"; t.length = 128; }
    if (t.name == "UNIQUEIDENTIFIER") { t.name = "CHAR"; t.length = 36; }
    if (t.name == "CHAR" || t.name == "VARCHAR" || t.name == "NCHAR" || t.name == "NVARCHAR") {
        if (t.length == -1) t.length = in_cast ? 30 : 1;
    }
    if (t.name == "NUMERIC" || t.name == "DECIMAL") {
        if (t.precision < 0) t.precision = 18;
        if (t.scale < 0) t.scale = 0;
    }
    if (t.name == "MONEY") { t.precision = 19; t.scale = 4; }
    if (t.name == "SMALLMONEY") { t.precision = 10; t.scale = 4; }
    return t;
}

vtype vtype_of(const type_spec& t) {
    const std::string& n = t.name;
    if (n == "INT" || n == "BIGINT" || n == "SMALLINT" || n == "TINYINT" || n == "BIT") return vtype::integer;
    if (n == "NUMERIC" || n == "DECIMAL" || n == "MONEY" || n == "SMALLMONEY" || n == "FLOAT" || n == "REAL") {
        if ((n == "NUMERIC" || n == "DECIMAL") && t.scale == 0) return vtype::integer;
        return vtype::decimal;
    }
    if (n == "DATETIME" || n == "SMALLDATETIME" || n == "DATE") return vtype::datetime;
    return vtype::text;
}

std::string sqlite_decl(const type_spec& t) {
    switch (vtype_of(t)) {
    case vtype::integer: return "INT";
    case vtype::decimal: return "REAL";
    case vtype::datetime: return "TEXT";
    default: return "TEXT COLLATE TSQL";
    }
}

std::string cvt_call(const std::string& x, const type_spec& t, bool strict) {
    int code = cvt_text, len = -1, prec = 18, scale = 0;
    const std::string& n = t.name;
    if (n == "INT") { code = cvt_int; len = 4; }
    else if (n == "BIGINT") { code = cvt_int; len = 8; }
    else if (n == "SMALLINT") { code = cvt_int; len = 2; }
    else if (n == "TINYINT") { code = cvt_int; len = 1; }
    else if (n == "BIT") code = cvt_bit;
    else if (n == "NUMERIC" || n == "DECIMAL" || n == "MONEY" || n == "SMALLMONEY") {
        code = cvt_decimal;
        prec = t.precision;
        scale = t.scale;
    } else if (n == "FLOAT" || n == "REAL") code = cvt_float;
    else if (n == "DATETIME" || n == "SMALLDATETIME" || n == "DATE") code = cvt_datetime;
    else if (n == "CHAR") { code = cvt_char; len = t.length; }
    else if (n == "VARCHAR") { code = t.length == -2 ? cvt_text : cvt_varchar; len = t.length; }
    else if (n == "NCHAR") { code = cvt_nchar; len = t.length; }
    else if (n == "NVARCHAR") { code = t.length == -2 ? cvt_text : cvt_nvarchar; len = t.length; }
    return "tsql_cvt(" + x + "," + std::to_string(code) + "," + std::to_string(len) + "," +
           std::to_string(prec) + "," + std::to_string(scale) + "," + (strict ? "1" : "0") + ")";
}

bool is_character(const type_spec& t) {
    const std::string& n = t.name;
    return n == "CHAR" || n == "VARCHAR" || n == "TEXT" || n == "NCHAR" || n == "NVARCHAR" || n == "NTEXT";
}

bool is_unicode(const type_spec& t) { return t.name == "NCHAR" || t.name == "NVARCHAR" || t.name == "NTEXT"; }

type_spec character_type(bool unicode, int length) {
    type_spec t;
    t.name = unicode ? "NVARCHAR" : "VARCHAR";
    t.length = length == -2 || length > (unicode ? 4000 : 8000) ? -2 : std::max(length, 1);
    return t;
}

type_spec simple_type(const char* name) {
    type_spec t;
    t.name = name;
    return t;
}

type_spec numeric_type(int precision, int scale) {
    type_spec t;
    t.name = "NUMERIC";
    t.precision = std::min(std::max(precision, 1), 38);
    t.scale = std::min(scale, t.precision);
    return t;
}

int xtype_of(const type_spec& t) {
    const std::string& n = t.name;
    if (n == "INT") return 56;
    if (n == "BIGINT") return 127;
    if (n == "SMALLINT") return 52;
    if (n == "TINYINT") return 48;
    if (n == "BIT") return 104;
    if (n == "CHAR") return 175;
    if (n == "VARCHAR") return 167;
    if (n == "NCHAR") return 239;
    if (n == "NVARCHAR") return 231;
    if (n == "TEXT") return 35;
    if (n == "NTEXT") return 99;
    if (n == "DATETIME") return 61;
    if (n == "SMALLDATETIME") return 58;
    if (n == "DATE") return 40;
    if (n == "NUMERIC") return 108;
    if (n == "DECIMAL") return 106;
    if (n == "MONEY") return 60;
    if (n == "SMALLMONEY") return 122;
    if (n == "FLOAT") return 62;
    if (n == "REAL") return 59;
    return 0;
}

int storage_length(const type_spec& t) {
    const std::string& n = t.name;
    if (n == "INT" || n == "REAL" || n == "SMALLMONEY" || n == "SMALLDATETIME") return 4;
    if (n == "BIGINT" || n == "FLOAT" || n == "DATETIME" || n == "MONEY") return 8;
    if (n == "SMALLINT") return 2;
    if (n == "TINYINT" || n == "BIT") return 1;
    if (n == "DATE") return 3;
    if (n == "CHAR" || n == "VARCHAR") return t.length == -2 ? -1 : t.length;
    if (n == "NCHAR" || n == "NVARCHAR") return t.length == -2 ? -1 : 2 * t.length;
    if (n == "NUMERIC" || n == "DECIMAL") return t.precision <= 9 ? 5 : t.precision <= 19 ? 9 : t.precision <= 28 ? 13 : 17;
    return 16;
}

}  // namespace standin::detail
