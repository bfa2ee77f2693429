#include "sqlserver-standin/tsql_runtime.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "sqlserver-standin/date_functions.h"
#include "sqlserver-standin/error_catalogue.h"

namespace standin::tsql {

std::string encode_error(int number, int state, int severity, const std::string& text) {
    return "\x01" + std::to_string(number) + "\x01" + std::to_string(state) + "\x01" +
           std::to_string(severity) + "\x01" + text;
}

bool decode_error(const char* msg, int& number, int& state, int& severity, std::string& text) {
    if (!msg || msg[0] != '\x01') return false;
    const char* p = msg + 1;
    char* end = nullptr;
    number = static_cast<int>(std::strtol(p, &end, 10));
    if (*end != '\x01') return false;
    state = static_cast<int>(std::strtol(end + 1, &end, 10));
    if (*end != '\x01') return false;
    severity = static_cast<int>(std::strtol(end + 1, &end, 10));
    if (*end != '\x01') return false;
    text = end + 1;
    return true;
}

int collate_compare(const char* a, int na, const char* b, int nb) {
    while (na > 0 && a[na - 1] == ' ') --na;
    while (nb > 0 && b[nb - 1] == ' ') --nb;
    int n = na < nb ? na : nb;
    for (int i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x < 0x80) x = static_cast<unsigned char>(std::tolower(x));
        if (y < 0x80) y = static_cast<unsigned char>(std::tolower(y));
        if (x != y) return x < y ? -1 : 1;
    }
    return na == nb ? 0 : (na < nb ? -1 : 1);
}

int gbk_length(const std::string& s) {
    int n = 0;
    for (std::size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        n += c < 0x80 ? 1 : 2;
        i += len;
    }
    return n;
}

int char_length(const std::string& s) {
    int n = 0;
    for (unsigned char c : s)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

namespace {

int char_count(const std::string& s) { return char_length(s); }

// Byte offset of the k-th character (0-based); s.size() when past the end.
std::size_t char_offset(const std::string& s, long long k) {
    std::size_t i = 0;
    while (i < s.size() && k > 0) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        --k;
    }
    return i;
}

std::string trim_blanks(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

std::string text_of(sqlite3_value* v) {
    const unsigned char* t = sqlite3_value_text(v);
    return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_value_bytes(v)) : std::string();
}

// Fails the SQLite function with a message of the catalogue.
template <typename... Args>
void raise(sqlite3_context* ctx, const error_def& d, const Args&... args) {
    std::string m = encode_error(d.number, d.state, d.severity, error_text(d, {std::string_view(args)...}));
    sqlite3_result_error(ctx, m.c_str(), static_cast<int>(m.size()));
}

bool parse_int(const std::string& raw, long long& out) {
    std::string s = trim_blanks(raw);
    if (s.empty()) { out = 0; return true; }  // '' converts to 0 in SQL Server
    std::size_t i = 0;
    bool neg = false;
    if (s[i] == '+' || s[i] == '-') { neg = s[i] == '-'; ++i; }
    if (i >= s.size()) return false;
    long long v = 0;
    for (; i < s.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
        if (v > (9223372036854775807LL - 9) / 10) return false;
        v = v * 10 + (s[i] - '0');
    }
    out = neg ? -v : v;
    return true;
}

bool parse_decimal(const std::string& raw, double& out) {
    std::string s = trim_blanks(raw);
    if (s.empty()) return false;
    std::size_t i = 0;
    if (s[i] == '+' || s[i] == '-') ++i;
    bool digits = false;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; digits = true; }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; digits = true; }
    }
    if (!digits) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (i >= s.size()) return false;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    }
    if (i != s.size()) return false;
    out = std::strtod(s.c_str(), nullptr);
    return true;
}

std::string format_double(double d) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
}


bool days_ok(int y, int m, int d) {
    static const int md[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1753 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    int lim = md[m - 1];
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) lim = 29;
    return d <= lim;
}

// ------------------------------------------------------------ conversions

// What tsql_cvt converts to: a cvt_code with its length, precision and
// scale; strict conversions (INSERT, UPDATE) fail where CAST would cut.
struct cvt_target {
    int code = cvt_text;
    int len = -1;
    int prec = 18;
    int scale = 0;
    bool strict = true;
};

const char* int_type_name(int len) {
    return len == 8 ? "bigint" : len == 2 ? "smallint" : len == 1 ? "tinyint" : "int";
}

// Text to bit: a number, or TRUE / FALSE.
bool text_to_bit(const std::string& s, long long& iv) {
    if (parse_int(s, iv)) return true;
    std::string t = trim_blanks(s);
    if (collate_compare(t.data(), static_cast<int>(t.size()), "TRUE", 4) == 0) iv = 1;
    else if (collate_compare(t.data(), static_cast<int>(t.size()), "FALSE", 5) == 0) iv = 0;
    else return false;
    return true;
}

void cvt_to_integer(sqlite3_context* ctx, sqlite3_value* v, int type, const cvt_target& to) {
    long long iv = 0;
    if (type == SQLITE_INTEGER) iv = sqlite3_value_int64(v);
    else if (type == SQLITE_FLOAT) iv = static_cast<long long>(sqlite3_value_double(v));
    else {
        std::string s = text_of(v);
        bool ok = to.code == cvt_bit ? text_to_bit(s, iv) : parse_int(s, iv);
        if (!ok) {
            const char* tn = to.code == cvt_bit ? "bit" : int_type_name(to.len);
            raise(ctx, errors::varchar_conversion_failed, s, tn);
            return;
        }
    }
    if (to.code == cvt_bit) { sqlite3_result_int(ctx, iv != 0); return; }
    long long lo = -2147483648LL, hi = 2147483647LL;
    if (to.len == 8) { lo = INT64_MIN; hi = INT64_MAX; }
    if (to.len == 2) { lo = -32768; hi = 32767; }
    if (to.len == 1) { lo = 0; hi = 255; }
    if (iv < lo || iv > hi) {
        raise(ctx, errors::arithmetic_overflow, "expression", int_type_name(to.len));
        return;
    }
    sqlite3_result_int64(ctx, iv);
}

void cvt_to_number(sqlite3_context* ctx, sqlite3_value* v, int type, const cvt_target& to) {
    double d = 0;
    if (type == SQLITE_INTEGER) d = static_cast<double>(sqlite3_value_int64(v));
    else if (type == SQLITE_FLOAT) d = sqlite3_value_double(v);
    else if (!parse_decimal(text_of(v), d)) {
        raise(ctx, errors::conversion_error, "varchar", to.code == cvt_float ? "float" : "numeric");
        return;
    }
    if (to.code == cvt_decimal) {
        double f = std::pow(10.0, to.scale);
        d = std::round(d * f) / f;
        if (to.prec > 0 && std::fabs(d) >= std::pow(10.0, to.prec - to.scale)) {
            raise(ctx, errors::arithmetic_overflow, "numeric", "numeric");
            return;
        }
        if (to.scale == 0 && std::fabs(d) < 9.0e15) {
            sqlite3_result_int64(ctx, static_cast<long long>(d));
            return;
        }
    }
    sqlite3_result_double(ctx, d);
}

void cvt_to_datetime(sqlite3_context* ctx, sqlite3_value* v, int type) {
    if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
        // Numbers count days from 1900-01-01.
        double days = sqlite3_value_double(v);
        std::tm tmv{};
        tmv.tm_year = 0;
        tmv.tm_mon = 0;
        tmv.tm_mday = 1 + static_cast<int>(std::floor(days));
        tmv.tm_isdst = 0;
        std::time_t base = timegm(&tmv);
        std::tm out{};
        gmtime_r(&base, &out);
        char buf[64];
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d 00:00:00.000", out.tm_year + 1900, out.tm_mon + 1,
                      out.tm_mday);
        sqlite3_result_text(ctx, buf, -1, SQLITE_TRANSIENT);
        return;
    }
    std::string outs;
    if (!normalize_datetime(text_of(v), outs)) {
        raise(ctx, errors::datetime_conversion_failed);
        return;
    }
    sqlite3_result_text(ctx, outs.c_str(), static_cast<int>(outs.size()), SQLITE_TRANSIENT);
}

// The first characters of t that fit len, cut on a character boundary;
// bytes: len counts bytes of the Chinese code page, else characters.
std::string cut_to(const std::string& t, int len, bool bytes) {
    std::string cut;
    int used = 0;
    for (std::size_t i = 0; i < t.size();) {
        unsigned char c = static_cast<unsigned char>(t[i]);
        std::size_t cl = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        int w = bytes ? (c < 0x80 ? 1 : 2) : 1;
        if (used + w > len) break;
        cut.append(t, i, cl);
        used += w;
        i += cl;
    }
    return cut;
}

void cvt_to_text(sqlite3_context* ctx, sqlite3_value* v, int type, const cvt_target& to) {
    std::string s;
    if (type == SQLITE_INTEGER) s = std::to_string(sqlite3_value_int64(v));
    else if (type == SQLITE_FLOAT) s = format_double(sqlite3_value_double(v));
    else s = text_of(v);
    const int len = to.len;
    if (to.code == cvt_text || len < 0) {
        sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return;
    }
    bool bytes = to.code == cvt_char || to.code == cvt_varchar;
    auto length = [bytes](const std::string& x) { return bytes ? gbk_length(x) : char_count(x); };
    int have = length(s);
    if (have > len) {
        // Trailing blanks beyond the length are dropped silently, as SQL Server does.
        std::string t = s;
        while (!t.empty() && t.back() == ' ' && length(t) > len) t.pop_back();
        if (length(t) > len) {
            if (to.strict) {
                raise(ctx, errors::string_truncated);
                return;
            }
            t = cut_to(t, len, bytes);
        }
        s = t;
        have = length(s);
    }
    if (to.code == cvt_char || to.code == cvt_nchar) s.append(static_cast<std::size_t>(len - have), ' ');
    sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

// ------------------------------------------------------------------ functions

// tsql_cvt(value, code, length, precision, scale, strict).
void fn_cvt(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    sqlite3_value* v = argv[0];
    cvt_target to;
    to.code = sqlite3_value_int(argv[1]);
    if (argc > 2) to.len = sqlite3_value_int(argv[2]);
    if (argc > 3) to.prec = sqlite3_value_int(argv[3]);
    if (argc > 4) to.scale = sqlite3_value_int(argv[4]);
    if (argc > 5) to.strict = sqlite3_value_int(argv[5]) != 0;  // truncation is an error
    int type = sqlite3_value_type(v);
    if (type == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    switch (to.code) {
    case cvt_int:
    case cvt_bit: cvt_to_integer(ctx, v, type, to); return;
    case cvt_decimal:
    case cvt_float: cvt_to_number(ctx, v, type, to); return;
    case cvt_datetime: cvt_to_datetime(ctx, v, type); return;
    default: cvt_to_text(ctx, v, type, to); return;
    }
}

// Implicit conversion of one side of a comparison or arithmetic to a number.
void fn_num(sqlite3_context* ctx, int, sqlite3_value** argv) {
    sqlite3_value* v = argv[0];
    int type = sqlite3_value_type(v);
    if (type == SQLITE_NULL || type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
        sqlite3_result_value(ctx, v);
        return;
    }
    std::string s = text_of(v);
    long long iv;
    if (parse_int(s, iv)) { sqlite3_result_int64(ctx, iv); return; }
    double d;
    if (parse_decimal(s, d)) { sqlite3_result_double(ctx, d); return; }
    raise(ctx, errors::varchar_conversion_failed, s, "int");
}

void fn_dt(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    std::string o;
    if (!normalize_datetime(text_of(argv[0]), o)) {
        raise(ctx, errors::datetime_conversion_failed);
        return;
    }
    sqlite3_result_text(ctx, o.c_str(), static_cast<int>(o.size()), SQLITE_TRANSIENT);
}

bool is_number_type(int t) { return t == SQLITE_INTEGER || t == SQLITE_FLOAT; }

// '+': concatenation when both sides are text, addition otherwise.
void fn_add(sqlite3_context* ctx, int, sqlite3_value** argv) {
    int ta = sqlite3_value_type(argv[0]), tb = sqlite3_value_type(argv[1]);
    if (ta == SQLITE_NULL || tb == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    if (ta == SQLITE_TEXT && tb == SQLITE_TEXT) {
        std::string s = text_of(argv[0]) + text_of(argv[1]);
        sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return;
    }
    double da = 0, db = 0;
    long long ia = 0, ib = 0;
    bool fa = false, fb = false;
    auto num = [&](sqlite3_value* v, int t, long long& i, double& d, bool& f) {
        if (t == SQLITE_INTEGER) { i = sqlite3_value_int64(v); d = static_cast<double>(i); return true; }
        if (t == SQLITE_FLOAT) { d = sqlite3_value_double(v); f = true; return true; }
        std::string s = text_of(v);
        if (parse_int(s, i)) { d = static_cast<double>(i); return true; }
        raise(ctx, errors::varchar_conversion_failed, s, "int");
        return false;
    };
    if (!num(argv[0], ta, ia, da, fa) || !num(argv[1], tb, ib, db, fb)) return;
    if (fa || fb) sqlite3_result_double(ctx, da + db);
    else sqlite3_result_int64(ctx, ia + ib);
}

void fn_divmod(sqlite3_context* ctx, int, sqlite3_value** argv, bool mod) {
    int ta = sqlite3_value_type(argv[0]), tb = sqlite3_value_type(argv[1]);
    if (ta == SQLITE_NULL || tb == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    if (!is_number_type(ta) || !is_number_type(tb)) {
        // Let SQLite's own arithmetic handle numeric text.
    }
    if (sqlite3_value_double(argv[1]) == 0.0) {
        raise(ctx, errors::divide_by_zero);
        return;
    }
    if (sqlite3_value_numeric_type(argv[0]) == SQLITE_INTEGER &&
        sqlite3_value_numeric_type(argv[1]) == SQLITE_INTEGER) {
        long long a = sqlite3_value_int64(argv[0]), b = sqlite3_value_int64(argv[1]);
        sqlite3_result_int64(ctx, mod ? a % b : a / b);
        return;
    }
    double a = sqlite3_value_double(argv[0]), b = sqlite3_value_double(argv[1]);
    sqlite3_result_double(ctx, mod ? std::fmod(a, b) : a / b);
}
void fn_div(sqlite3_context* c, int n, sqlite3_value** v) { fn_divmod(c, n, v, false); }
void fn_mod(sqlite3_context* c, int n, sqlite3_value** v) { fn_divmod(c, n, v, true); }

std::string value_string(sqlite3_value* v) {
    int t = sqlite3_value_type(v);
    if (t == SQLITE_FLOAT) return format_double(sqlite3_value_double(v));
    return text_of(v);
}

void result_string(sqlite3_context* ctx, const std::string& s) {
    sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

void fn_left_right(sqlite3_context* ctx, sqlite3_value** argv, bool left) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    long long n = sqlite3_value_int64(argv[1]);
    if (n < 0) {
        raise(ctx, errors::invalid_length, left ? "left" : "right");
        return;
    }
    std::string s = value_string(argv[0]);
    long long total = char_count(s);
    if (n >= total) { result_string(ctx, s); return; }
    if (left) result_string(ctx, s.substr(0, char_offset(s, n)));
    else result_string(ctx, s.substr(char_offset(s, total - n)));
}
void fn_left(sqlite3_context* c, int, sqlite3_value** v) { fn_left_right(c, v, true); }
void fn_right(sqlite3_context* c, int, sqlite3_value** v) { fn_left_right(c, v, false); }

void fn_len(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    std::string s = value_string(argv[0]);
    while (!s.empty() && s.back() == ' ') s.pop_back();
    sqlite3_result_int(ctx, char_count(s));
}

void fn_datalength(sqlite3_context* ctx, int, sqlite3_value** argv) {
    int t = sqlite3_value_type(argv[0]);
    if (t == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    if (t == SQLITE_INTEGER) { sqlite3_result_int(ctx, 4); return; }
    if (t == SQLITE_FLOAT) { sqlite3_result_int(ctx, 8); return; }
    sqlite3_result_int(ctx, gbk_length(text_of(argv[0])));
}

void fn_substring(sqlite3_context* ctx, int, sqlite3_value** argv) {
    for (int i = 0; i < 3; ++i)
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    std::string s = value_string(argv[0]);
    long long start = sqlite3_value_int64(argv[1]), len = sqlite3_value_int64(argv[2]);
    if (len < 0) {
        raise(ctx, errors::invalid_substring_length);
        return;
    }
    long long end = start + len;  // exclusive, 1-based
    if (start < 1) start = 1;
    if (end <= start) { result_string(ctx, ""); return; }
    std::size_t a = char_offset(s, start - 1), b = char_offset(s, end - 1);
    result_string(ctx, s.substr(a, b - a));
}

std::string fold(const std::string& s) {
    std::string r = s;
    for (auto& c : r)
        if (static_cast<unsigned char>(c) < 0x80) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

void fn_charindex(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    std::string needle = fold(value_string(argv[0])), hay = fold(value_string(argv[1]));
    long long start = argc > 2 ? sqlite3_value_int64(argv[2]) : 1;
    if (start < 1) start = 1;
    if (needle.empty()) { sqlite3_result_int(ctx, 0); return; }
    std::size_t from = char_offset(hay, start - 1);
    std::size_t pos = hay.find(needle, from);
    if (pos == std::string::npos) { sqlite3_result_int(ctx, 0); return; }
    sqlite3_result_int(ctx, char_count(hay.substr(0, pos)) + 1);
}

void fn_replace(sqlite3_context* ctx, int, sqlite3_value** argv) {
    for (int i = 0; i < 3; ++i)
        if (sqlite3_value_type(argv[i]) == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    std::string s = value_string(argv[0]), from = value_string(argv[1]), to = value_string(argv[2]);
    if (from.empty()) { result_string(ctx, s); return; }
    std::string fs = fold(s), ff = fold(from), out;
    std::size_t i = 0;
    while (true) {
        std::size_t p = fs.find(ff, i);
        if (p == std::string::npos) break;
        out.append(s, i, p - i);
        out += to;
        i = p + from.size();
    }
    out.append(s, i, std::string::npos);
    result_string(ctx, out);
}

void fn_replicate(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    long long n = sqlite3_value_int64(argv[1]);
    if (n < 0) { sqlite3_result_null(ctx); return; }
    const int limit = argc > 2 ? sqlite3_value_int(argv[2]) : replicate_bytes;
    const std::string s = value_string(argv[0]);
    std::string out;
    if (limit == replicate_unlimited) {
        for (long long i = 0; i < n; ++i) out += s;
        result_string(ctx, out);
        return;
    }
    // Whole copies while they fit, then the characters of one more that do.
    const int room = limit == replicate_characters ? 4000 : 8000;
    const int one = limit == replicate_characters ? char_length(s) : gbk_length(s);
    long long used = 0;
    for (long long i = 0; i < n && one > 0 && used + one <= room; ++i, used += one) out += s;
    if (used < n * static_cast<long long>(one) && used < room)
        out += cut_to(s, static_cast<int>(room - used), limit == replicate_bytes);
    result_string(ctx, out);
}

void fn_space(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL) { sqlite3_result_null(ctx); return; }
    long long n = sqlite3_value_int64(argv[0]);
    if (n < 0) { sqlite3_result_null(ctx); return; }
    result_string(ctx, std::string(static_cast<std::size_t>(std::min<long long>(n, 8000)), ' '));
}

// T-SQL LIKE: % _ [set] [^set], case-insensitive, optional escape character.
bool like_match(const std::string& s, std::size_t si, const std::string& p, std::size_t pi, int esc) {
    while (pi < p.size()) {
        char c = p[pi];
        if (esc >= 0 && c == static_cast<char>(esc) && pi + 1 < p.size()) {
            if (si >= s.size() || std::tolower(static_cast<unsigned char>(s[si])) !=
                                      std::tolower(static_cast<unsigned char>(p[pi + 1])))
                return false;
            ++si;
            pi += 2;
            continue;
        }
        if (c == '%') {
            while (pi < p.size() && p[pi] == '%') ++pi;
            if (pi == p.size()) return true;
            for (std::size_t k = si; k <= s.size(); ++k)
                if (like_match(s, k, p, pi, esc)) return true;
            return false;
        }
        if (si >= s.size()) return false;
        // One character of s (UTF-8 aware).
        unsigned char lead = static_cast<unsigned char>(s[si]);
        std::size_t cl = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        if (c == '_') {
            si += cl;
            ++pi;
            continue;
        }
        if (c == '[') {
            std::size_t close = p.find(']', pi + 1);
            if (close != std::string::npos) {
                std::string set = p.substr(pi + 1, close - pi - 1);
                bool neg = !set.empty() && set[0] == '^';
                if (neg) set.erase(0, 1);
                char ch = static_cast<char>(std::tolower(lead));
                bool hit = false;
                for (std::size_t k = 0; k < set.size(); ++k) {
                    if (k + 2 < set.size() && set[k + 1] == '-') {
                        char lo = static_cast<char>(std::tolower(static_cast<unsigned char>(set[k])));
                        char hi = static_cast<char>(std::tolower(static_cast<unsigned char>(set[k + 2])));
                        if (ch >= lo && ch <= hi) hit = true;
                        k += 2;
                    } else if (std::tolower(static_cast<unsigned char>(set[k])) == ch) {
                        hit = true;
                    }
                }
                if (hit == neg) return false;
                si += cl;
                pi = close + 1;
                continue;
            }
        }
        if (cl == 1) {
            if (std::tolower(lead) != std::tolower(static_cast<unsigned char>(c))) return false;
            ++si;
            ++pi;
        } else {
            if (s.compare(si, cl, p, pi, cl) != 0) return false;
            si += cl;
            pi += cl;
        }
    }
    return si == s.size();
}

void fn_like(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    std::string s = value_string(argv[0]), p = value_string(argv[1]);
    int esc = -1;
    if (argc > 2 && sqlite3_value_type(argv[2]) != SQLITE_NULL) {
        std::string e = value_string(argv[2]);
        if (!e.empty()) esc = static_cast<unsigned char>(e[0]);
    }
    // Trailing blanks of a char value do not stop a pattern from matching.
    bool m = like_match(s, 0, p, 0, esc);
    if (!m) {
        std::string t = s;
        while (!t.empty() && t.back() == ' ') t.pop_back();
        m = t.size() != s.size() && like_match(t, 0, p, 0, esc);
    }
    sqlite3_result_int(ctx, m ? 1 : 0);
}

void fn_getdate(sqlite3_context* ctx, int, sqlite3_value**) { result_string(ctx, now_datetime()); }

void fn_isnumeric(sqlite3_context* ctx, int, sqlite3_value** argv) {
    int t = sqlite3_value_type(argv[0]);
    if (t == SQLITE_INTEGER || t == SQLITE_FLOAT) { sqlite3_result_int(ctx, 1); return; }
    if (t == SQLITE_NULL) { sqlite3_result_int(ctx, 0); return; }
    double d;
    sqlite3_result_int(ctx, parse_decimal(text_of(argv[0]), d) ? 1 : 0);
}

int collation_cb(void*, int na, const void* a, int nb, const void* b) {
    return collate_compare(static_cast<const char*>(a), na, static_cast<const char*>(b), nb);
}

}  // namespace

bool normalize_datetime(const std::string& raw, std::string& out) {
    std::string s = trim_blanks(raw);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0, ms = 0;
    std::size_t i = 0;
    auto digits = [&](int maxn, int& v) {
        int n = 0;
        v = 0;
        while (i < s.size() && n < maxn && std::isdigit(static_cast<unsigned char>(s[i]))) {
            v = v * 10 + (s[i] - '0');
            ++i;
            ++n;
        }
        return n;
    };
    if (s.empty()) {
        out = "1900-01-01 00:00:00.000";
        return true;
    }
    std::size_t start = i;
    int n = digits(8, y);
    if (n == 8) {
        d = y % 100;
        mo = (y / 100) % 100;
        y /= 10000;
    } else if (n == 4 && i < s.size() && (s[i] == '-' || s[i] == '/' || s[i] == '.')) {
        char sep = s[i++];
        if (digits(2, mo) == 0 || i >= s.size() || s[i] != sep) return false;
        ++i;
        if (digits(2, d) == 0) return false;
    } else if ((n == 1 || n == 2) && i < s.size() && (s[i] == '/' || s[i] == '-' || s[i] == '.')) {
        // mdy, the default date format of a us_english login
        mo = y;
        char sep = s[i++];
        if (digits(2, d) == 0 || i >= s.size() || s[i] != sep) return false;
        ++i;
        int yn = digits(4, y);
        if (yn == 2) y += y < 50 ? 2000 : 1900;
        else if (yn != 4) return false;
    } else {
        (void)start;
        return false;
    }
    if (i < s.size()) {
        if (s[i] != ' ' && s[i] != 'T') return false;
        while (i < s.size() && (s[i] == ' ' || s[i] == 'T')) ++i;
        if (digits(2, h) == 0 || i >= s.size() || s[i] != ':') return false;
        ++i;
        if (digits(2, mi) == 0) return false;
        if (i < s.size() && s[i] == ':') {
            ++i;
            if (digits(2, sec) == 0) return false;
            if (i < s.size() && (s[i] == '.' || s[i] == ':')) {
                ++i;
                std::size_t b = i;
                int frac = 0;
                int fn = digits(7, frac);
                if (fn == 0) return false;
                std::string f = s.substr(b, static_cast<std::size_t>(fn));
                while (f.size() < 3) f += '0';
                ms = std::stoi(f.substr(0, 3));
            }
        }
        while (i < s.size() && s[i] == ' ') ++i;
        if (i + 1 < s.size() && (s[i] == 'A' || s[i] == 'a' || s[i] == 'P' || s[i] == 'p') &&
            (s[i + 1] == 'M' || s[i + 1] == 'm')) {
            bool pm = s[i] == 'P' || s[i] == 'p';
            if (h > 12) return false;
            if (pm && h < 12) h += 12;
            if (!pm && h == 12) h = 0;
            i += 2;
        }
        if (i != s.size()) return false;
    }
    if (!days_ok(y, mo, d) || h > 23 || mi > 59 || sec > 59) return false;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, mo, d, h, mi, sec, ms);
    out = buf;
    return true;
}

std::string now_datetime() {
    auto now = std::chrono::system_clock::now();
    std::time_t t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tmv{};
    localtime_r(&t, &tmv);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tmv.tm_year + 1900,
                  tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<int>(ms));
    return buf;
}

void register_runtime(sqlite3* db) {
    sqlite3_create_collation(db, "TSQL", SQLITE_UTF8, nullptr, collation_cb);
    const int det = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    struct fn {
        const char* name;
        int n;
        void (*f)(sqlite3_context*, int, sqlite3_value**);
        bool deterministic;
    };
    static const fn fns[] = {
        {"tsql_cvt", -1, fn_cvt, true},        {"tsql_num", 1, fn_num, true},
        {"tsql_dt", 1, fn_dt, true},           {"tsql_add", 2, fn_add, true},
        {"tsql_div", 2, fn_div, true},         {"tsql_mod", 2, fn_mod, true},
        {"tsql_left", 2, fn_left, true},       {"tsql_right", 2, fn_right, true},
        {"tsql_len", 1, fn_len, true},         {"tsql_datalength", 1, fn_datalength, true},
        {"tsql_substring", 3, fn_substring, true}, {"tsql_charindex", -1, fn_charindex, true},
        {"tsql_replace", 3, fn_replace, true}, {"tsql_replicate", -1, fn_replicate, true},
        {"tsql_space", 1, fn_space, true},     {"tsql_like", -1, fn_like, true},
        {"tsql_getdate", 0, fn_getdate, false}, {"tsql_isnumeric", 1, fn_isnumeric, true},
    };
    for (const auto& f : fns)
        sqlite3_create_function(db, f.name, f.n, f.deterministic ? det : SQLITE_UTF8, nullptr, f.f,
                                nullptr, nullptr);
    register_date_functions(db);
}

}  // namespace standin::tsql
