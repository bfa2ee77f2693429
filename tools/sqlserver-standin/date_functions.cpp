#include "sqlserver-standin/date_functions.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>

#include "sqlserver-standin/error_catalogue.h"
#include "sqlserver-standin/tsql_parser.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::tsql {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
std::int64_t days_from_civil(std::int64_t y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

int days_in_month(std::int64_t y, int m) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : days[m - 1];
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

// A datetime as its calendar parts and as milliseconds since 1970.
struct moment {
    std::int64_t year = 1970;
    int month = 1, day = 1;
    std::int64_t ms_of_day = 0;
    std::int64_t days() const { return days_from_civil(year, month, day); }
    std::int64_t total_ms() const { return days() * 86400000 + ms_of_day; }
};

bool parse_moment(sqlite3_value* v, moment& m) {
    const unsigned char* t = sqlite3_value_text(v);
    std::string norm;
    if (!t || !normalize_datetime(reinterpret_cast<const char*>(t), norm)) return false;
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    if (std::sscanf(norm.c_str(), "%d-%d-%d %d:%d:%d.%d", &y, &mo, &d, &h, &mi, &s, &ms) != 7) return false;
    m.year = y;
    m.month = mo;
    m.day = d;
    m.ms_of_day = ((h * 60LL + mi) * 60 + s) * 1000 + ms;
    return true;
}

moment from_total_ms(std::int64_t total) {
    moment m;
    const std::int64_t days = floor_div(total, 86400000);
    civil_from_days(days, m.year, m.month, m.day);
    m.ms_of_day = total - days * 86400000;
    return m;
}

std::string format_moment(const moment& m) {
    const std::int64_t ms = m.ms_of_day;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d %02lld:%02lld:%02lld.%03lld", static_cast<long long>(m.year), m.month,
                  m.day, static_cast<long long>(ms / 3600000), static_cast<long long>(ms / 60000 % 60),
                  static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
    return buf;
}

void raise(sqlite3_context* ctx, const error_def& d, std::initializer_list<std::string_view> args) {
    const std::string msg = encode_error(d.number, d.state, d.severity, error_text(d, args));
    sqlite3_result_error(ctx, msg.c_str(), -1);
}

std::string text_arg(sqlite3_value* v) {
    const unsigned char* t = sqlite3_value_text(v);
    return t ? reinterpret_cast<const char*>(t) : "";
}

void fn_dateadd(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    const std::string part = text_arg(argv[0]);
    const double raw = sqlite3_value_double(argv[1]);
    // A fraction is cut off, not rounded, as DATEADD does.
    if (!std::isfinite(raw) || std::fabs(raw) > 2147483647.0) {
        raise(ctx, errors::arithmetic_overflow, {"expression", "int"});
        return;
    }
    const std::int64_t n = static_cast<std::int64_t>(std::trunc(raw));
    moment m;
    if (!parse_moment(argv[2], m)) {
        raise(ctx, errors::datetime_conversion_failed, {});
        return;
    }
    if (part == "YEAR" || part == "QUARTER" || part == "MONTH") {
        const std::int64_t months = part == "YEAR" ? n * 12 : part == "QUARTER" ? n * 3 : n;
        const std::int64_t index = m.year * 12 + (m.month - 1) + months;
        m.year = floor_div(index, 12);
        m.month = static_cast<int>(index - m.year * 12) + 1;
        // The day stays, or becomes the month's last when the month is shorter.
        if (m.year >= 1 && m.year <= 9999) m.day = std::min(m.day, days_in_month(m.year, m.month));
    } else {
        std::int64_t step = 0;
        if (part == "DAY" || part == "DAYOFYEAR" || part == "WEEKDAY") step = 86400000;
        else if (part == "WEEK") step = 7 * 86400000LL;
        else if (part == "HOUR") step = 3600000;
        else if (part == "MINUTE") step = 60000;
        else if (part == "SECOND") step = 1000;
        else step = 1;  // MILLISECOND
        m = from_total_ms(m.total_ms() + n * step);
    }
    if (m.year < 1753 || m.year > 9999) {
        raise(ctx, errors::datetime_overflow, {"datetime"});
        return;
    }
    const std::string out = format_moment(m);
    sqlite3_result_text(ctx, out.c_str(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

// DATEDIFF counts the boundaries of the datepart crossed between the two.
void fn_datediff(sqlite3_context* ctx, int, sqlite3_value** argv) {
    if (sqlite3_value_type(argv[1]) == SQLITE_NULL || sqlite3_value_type(argv[2]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
    }
    const std::string part = text_arg(argv[0]);
    moment a, b;
    if (!parse_moment(argv[1], a) || !parse_moment(argv[2], b)) {
        raise(ctx, errors::datetime_conversion_failed, {});
        return;
    }
    std::int64_t r = 0;
    if (part == "YEAR") r = b.year - a.year;
    else if (part == "QUARTER") r = (b.year * 4 + (b.month - 1) / 3) - (a.year * 4 + (a.month - 1) / 3);
    else if (part == "MONTH") r = (b.year * 12 + b.month) - (a.year * 12 + a.month);
    else if (part == "DAY" || part == "DAYOFYEAR" || part == "WEEKDAY") r = b.days() - a.days();
    // Weeks begin on Sunday (SET DATEFIRST 7, the us_english default); 1970-01-04 was one.
    else if (part == "WEEK") r = floor_div(b.days() + 4, 7) - floor_div(a.days() + 4, 7);
    else {
        const std::int64_t unit = part == "HOUR" ? 3600000 : part == "MINUTE" ? 60000 : part == "SECOND" ? 1000 : 1;
        r = floor_div(b.total_ms(), unit) - floor_div(a.total_ms(), unit);
    }
    if (r > std::numeric_limits<std::int32_t>::max() || r < std::numeric_limits<std::int32_t>::min()) {
        raise(ctx, errors::datediff_overflow, {});
        return;
    }
    sqlite3_result_int64(ctx, r);
}

void fn_getutcdate(sqlite3_context* ctx, int, sqlite3_value**) {
    const std::string now = utc_datetime();
    sqlite3_result_text(ctx, now.c_str(), static_cast<int>(now.size()), SQLITE_TRANSIENT);
}

}  // namespace

std::optional<std::string> datepart_name(const std::string& written) {
    static const struct {
        const char* name;
        const char* forms[3];
    } parts[] = {
        {"YEAR", {"YEAR", "YY", "YYYY"}},     {"QUARTER", {"QUARTER", "QQ", "Q"}}, {"MONTH", {"MONTH", "MM", "M"}},
        {"DAYOFYEAR", {"DAYOFYEAR", "DY", "Y"}}, {"DAY", {"DAY", "DD", "D"}},     {"WEEK", {"WEEK", "WK", "WW"}},
        {"WEEKDAY", {"WEEKDAY", "DW", "W"}},  {"HOUR", {"HOUR", "HH", ""}},       {"MINUTE", {"MINUTE", "MI", "N"}},
        {"SECOND", {"SECOND", "SS", "S"}},    {"MILLISECOND", {"MILLISECOND", "MS", ""}},
    };
    const std::string u = to_upper(written);
    for (const auto& p : parts)
        for (const char* f : p.forms)
            if (*f && u == f) return std::string(p.name);
    return std::nullopt;
}

std::string utc_datetime() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tmv{};
    gmtime_r(&t, &tmv);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday,
                  tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<int>(ms));
    return buf;
}

void register_date_functions(sqlite3* db) {
    const int det = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
    sqlite3_create_function(db, "tsql_dateadd", 3, det, nullptr, fn_dateadd, nullptr, nullptr);
    sqlite3_create_function(db, "tsql_datediff", 3, det, nullptr, fn_datediff, nullptr, nullptr);
    sqlite3_create_function(db, "tsql_getutcdate", 0, SQLITE_UTF8, nullptr, fn_getutcdate, nullptr, nullptr);
}

}  // namespace standin::tsql
