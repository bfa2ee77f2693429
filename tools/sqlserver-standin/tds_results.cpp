// Result sets on the wire: COLMETADATA ([MS-TDS] 2.2.7.4) and ROW (2.2.7.20)
// with each column's TYPE_INFO (2.2.5.6) as its declaration says, in the
// layout of the connection's TDS version: (max) types as PLP from TDS 7.2 on
// and as text/ntext before, date as DATEN from TDS 7.3 on and as text before.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/gbk.h"
#include "sqlserver-standin/tds.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::tds {

namespace {

// TYPE_INFO types ([MS-TDS] 2.2.5.4).
constexpr std::uint8_t type_text = 0x23;
constexpr std::uint8_t type_intn = 0x26;
constexpr std::uint8_t type_daten = 0x28;
constexpr std::uint8_t type_ntext = 0x63;
constexpr std::uint8_t type_bitn = 0x68;
constexpr std::uint8_t type_decimaln = 0x6A;
constexpr std::uint8_t type_numericn = 0x6C;
constexpr std::uint8_t type_fltn = 0x6D;
constexpr std::uint8_t type_moneyn = 0x6E;
constexpr std::uint8_t type_datetimn = 0x6F;
constexpr std::uint8_t type_bigvarchar = 0xA7;
constexpr std::uint8_t type_bigchar = 0xAF;
constexpr std::uint8_t type_nvarchar = 0xE7;
constexpr std::uint8_t type_nchar = 0xEF;

constexpr std::uint16_t plp_marker = 0xFFFF;
constexpr std::uint32_t lob_max_length = 0x7FFFFFFF;
constexpr std::size_t short_limit = 8000;  // bytes a non-(max) character column holds

std::string format_double(double d) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    return buf;
}

std::string as_text(const sql_value& v) {
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    if (auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (auto* d = std::get_if<double>(&v)) return format_double(*d);
    return {};
}

std::int64_t as_int(const sql_value& v) {
    if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
    if (auto* d = std::get_if<double>(&v)) return static_cast<std::int64_t>(std::llround(*d));
    if (auto* s = std::get_if<std::string>(&v)) return std::strtoll(s->c_str(), nullptr, 10);
    return 0;
}

double as_double(const sql_value& v) {
    if (auto* d = std::get_if<double>(&v)) return *d;
    if (auto* i = std::get_if<std::int64_t>(&v)) return static_cast<double>(*i);
    if (auto* s = std::get_if<std::string>(&v)) return std::strtod(s->c_str(), nullptr);
    return 0;
}

bool is_null(const sql_value& v) { return std::holds_alternative<std::monostate>(v); }

// Bytes a decimal of this precision takes, sign included ([MS-TDS] 2.2.5.5.1).
std::uint8_t decimal_length(int precision) {
    return precision <= 9 ? 5 : precision <= 19 ? 9 : precision <= 28 ? 13 : 17;
}

// 'YYYY-MM-DD hh:mm:ss.mmm' (the engine's form) into its parts.
struct datetime_parts {
    int year = 1900, month = 1, day = 1, hour = 0, minute = 0, second = 0, millisecond = 0;
};
datetime_parts parts_of(const sql_value& v) {
    datetime_parts p;
    std::string norm;
    if (tsql::normalize_datetime(as_text(v), norm))
        std::sscanf(norm.c_str(), "%d-%d-%d %d:%d:%d.%d", &p.year, &p.month, &p.day, &p.hour, &p.minute, &p.second,
                    &p.millisecond);
    return p;
}

// Days from 0001-01-01 (proleptic Gregorian), as DATEN counts them.
std::int64_t days_from_0001(int y, int m, int d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 306;  // 0001-01-01 is day 0
}
constexpr std::int64_t days_0001_to_1900 = 693595;

}  // namespace

std::string utf8_to_code_page(const std::string& utf8) {
    if (auto whole = velmora::utf8_to_gbk(utf8)) return *whole;
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t len = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        auto one = velmora::utf8_to_gbk(utf8.substr(i, len));
        out += one ? *one : std::string("?");
        i += len;
    }
    return out;
}

// One column's wire form.
struct token_writer::wire_column {
    column_type kind = column_type::text;
    std::uint8_t type = type_nvarchar;
    std::uint32_t max_length = 0;  // as TYPE_INFO carries it
    std::uint8_t size = 0;         // fixed-length values: bytes
    int precision = 0, scale = 0;
    bool unicode = true;
    bool plp = false;  // (max) from TDS 7.2 on
    bool lob = false;  // text / ntext, with a text pointer
    bool date_as_text = false;
};

token_writer::wire_column token_writer::wire_of(const result_set& rs, std::size_t c) const {
    const column& col = rs.columns[c];
    auto values = [&](auto&& each) {
        for (const auto& row : rs.rows)
            if (c < row.size() && !is_null(row[c])) each(row[c]);
    };
    wire_column w;
    w.kind = col.type;
    switch (col.type) {
    case column_type::integer:
        w.type = type_intn;
        w.size = static_cast<std::uint8_t>(col.size);
        if (w.size == 0) {  // computed: 4 bytes unless a value needs 8
            w.size = 4;
            values([&](const sql_value& v) {
                std::int64_t i = as_int(v);
                if (i < std::numeric_limits<std::int32_t>::min() || i > std::numeric_limits<std::int32_t>::max())
                    w.size = 8;
            });
        }
        w.max_length = w.size;
        return w;
    case column_type::bit:
        w.type = type_bitn;
        w.size = w.max_length = 1;
        return w;
    case column_type::decimal:
        w.type = col.numeric ? type_numericn : type_decimaln;
        w.precision = col.precision;
        w.scale = col.scale;
        w.size = decimal_length(col.precision);
        w.max_length = w.size;
        return w;
    case column_type::money:
        w.type = type_moneyn;
        w.size = w.max_length = col.size == 4 ? 4 : 8;
        return w;
    case column_type::floating:
        w.type = type_fltn;
        w.size = w.max_length = col.size == 4 ? 4 : 8;
        return w;
    case column_type::datetime:
        w.type = type_datetimn;
        w.size = w.max_length = col.size == 4 ? 4 : 8;
        return w;
    case column_type::date:
        if (proto_.from_73()) {
            w.type = type_daten;
            w.size = 3;
            return w;
        }
        w.date_as_text = true;  // what SQL Server sends a client before TDS 7.3
        w.kind = column_type::text;
        w.type = type_nvarchar;
        w.max_length = 20;
        return w;
    case column_type::text:
        break;
    }
    // Character data. Declared lengths hold every value the engine stored;
    // a computed column is nvarchar(4000) unless a value needs (max).
    w.unicode = col.unicode;
    bool max = col.length < 0;
    std::size_t bytes = col.length > 0 ? static_cast<std::size_t>(col.length) * (col.unicode ? 2 : 1) : short_limit;
    if (!col.lob && !max) {
        std::size_t longest = 0;
        values([&](const sql_value& v) {
            const std::string t = as_text(v);
            // UTF-16 takes at most twice the UTF-8 bytes, the code page at most as many.
            if (t.size() * (col.unicode ? 2 : 1) <= bytes) return;
            longest = std::max(longest, col.unicode ? utf8_to_utf16le(t).size() : utf8_to_code_page(t).size());
        });
        if (longest > bytes) {
            if (col.length > 0 && longest <= short_limit) bytes = short_limit;
            else max = true;
        }
    }
    if (col.lob || (max && !proto_.from_72())) {
        w.lob = true;
        w.type = col.unicode ? type_ntext : type_text;
        w.max_length = lob_max_length;
    } else if (max) {
        w.plp = true;
        w.type = col.unicode ? type_nvarchar : type_bigvarchar;
        w.max_length = plp_marker;
    } else {
        w.type = col.fixed && bytes == static_cast<std::size_t>(col.length) * (col.unicode ? 2 : 1)
                     ? (col.unicode ? type_nchar : type_bigchar)
                     : (col.unicode ? type_nvarchar : type_bigvarchar);
        w.max_length = static_cast<std::uint32_t>(bytes);
    }
    return w;
}

void token_writer::type_info(const wire_column& w) {
    u8(w.type);
    switch (w.type) {
    case type_daten:
        return;
    case type_decimaln:
    case type_numericn:
        u8(static_cast<std::uint8_t>(w.max_length));
        u8(static_cast<std::uint8_t>(w.precision));
        u8(static_cast<std::uint8_t>(w.scale));
        return;
    case type_text:
    case type_ntext:
        u32(w.max_length);
        buf_.append(reinterpret_cast<const char*>(collation), 5);
        // TableName: a count of parts from TDS 7.2 on, one US_VARCHAR before.
        if (proto_.from_72()) u8(0);
        else u16(0);
        return;
    case type_bigvarchar:
    case type_bigchar:
    case type_nvarchar:
    case type_nchar:
        u16(static_cast<std::uint16_t>(w.max_length));
        buf_.append(reinterpret_cast<const char*>(collation), 5);
        return;
    default:
        u8(static_cast<std::uint8_t>(w.max_length));
        return;
    }
}

void token_writer::character_cell(const wire_column& w, const sql_value& v) {
    if (w.lob) {
        if (is_null(v)) {
            u8(0);  // no text pointer: NULL
            return;
        }
        u8(16);
        buf_.append(16, '\xAA');  // text pointer
        buf_.append(8, '\0');     // timestamp
    } else if (w.plp && is_null(v)) {
        u64(~std::uint64_t{0});
        return;
    } else if (is_null(v)) {
        u16(0xFFFF);
        return;
    }
    std::string text = as_text(v);
    if (w.date_as_text) text = text.substr(0, 10);
    const std::string data = w.unicode ? utf8_to_utf16le(text) : utf8_to_code_page(text);
    if (w.lob) {
        u32(static_cast<std::uint32_t>(data.size()));
        buf_ += data;
    } else if (w.plp) {
        u64(data.size());
        if (!data.empty()) {
            u32(static_cast<std::uint32_t>(data.size()));
            buf_ += data;
        }
        u32(0);  // terminator
    } else {
        u16(static_cast<std::uint16_t>(data.size()));
        buf_ += data;
    }
}

void token_writer::cell(const wire_column& w, const sql_value& v) {
    if (w.kind == column_type::text) {
        character_cell(w, v);
        return;
    }
    if (is_null(v)) {
        u8(0);
        return;
    }
    switch (w.kind) {
    case column_type::integer:
    case column_type::bit: {
        std::int64_t i = as_int(v);
        if (w.kind == column_type::bit) i = i != 0;
        u8(w.size);
        for (int k = 0; k < w.size; ++k) u8(static_cast<std::uint8_t>(static_cast<std::uint64_t>(i) >> (8 * k)));
        return;
    }
    case column_type::decimal: {
        // Sign, then the value times 10^scale as a little-endian magnitude.
        long double x = std::holds_alternative<std::int64_t>(v) ? static_cast<long double>(std::get<std::int64_t>(v))
                                                                : static_cast<long double>(as_double(v));
        x = std::roundl(x * std::pow(10.0L, w.scale));
        bool negative = x < 0;
        unsigned __int128 magnitude = static_cast<unsigned __int128>(negative ? -x : x);
        if (std::holds_alternative<std::int64_t>(v) && w.scale == 0) {
            std::int64_t i = std::get<std::int64_t>(v);
            magnitude = i < 0 ? static_cast<unsigned __int128>(-(i + 1)) + 1 : static_cast<unsigned __int128>(i);
        }
        u8(w.size);
        u8(negative ? 0 : 1);
        for (int k = 0; k + 1 < w.size; ++k) u8(static_cast<std::uint8_t>(magnitude >> (8 * k)));
        return;
    }
    case column_type::money: {
        auto units = static_cast<std::int64_t>(std::llround(as_double(v) * 10000.0));
        u8(w.size);
        if (w.size == 4) {
            u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(units)));
        } else {  // the high half first, then the low
            u32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(units) >> 32));
            u32(static_cast<std::uint32_t>(static_cast<std::uint64_t>(units) & 0xFFFFFFFFu));
        }
        return;
    }
    case column_type::floating: {
        u8(w.size);
        if (w.size == 4) {
            float f = static_cast<float>(as_double(v));
            std::uint32_t bits;
            std::memcpy(&bits, &f, sizeof bits);
            u32(bits);
        } else {
            double d = as_double(v);
            std::uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            u64(bits);
        }
        return;
    }
    case column_type::datetime: {
        const datetime_parts p = parts_of(v);
        const std::int64_t days = days_from_0001(p.year, p.month, p.day) - days_0001_to_1900;
        u8(w.size);
        if (w.size == 4) {  // smalldatetime: days and minutes
            u16(static_cast<std::uint16_t>(days));
            u16(static_cast<std::uint16_t>(p.hour * 60 + p.minute));
        } else {  // datetime: days and 1/300 seconds
            const std::int64_t ticks = (p.hour * 3600 + p.minute * 60 + p.second) * 300LL +
                                       (p.millisecond * 300 + 500) / 1000;
            u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(days)));
            u32(static_cast<std::uint32_t>(ticks));
        }
        return;
    }
    case column_type::date: {
        const datetime_parts p = parts_of(v);
        const std::int64_t days = days_from_0001(p.year, p.month, p.day);
        u8(3);
        for (int k = 0; k < 3; ++k) u8(static_cast<std::uint8_t>(days >> (8 * k)));
        return;
    }
    case column_type::text:
        return;
    }
}

void token_writer::result(const result_set& rs) {
    const std::size_t ncols = rs.columns.size();
    if (ncols == 0) return;
    std::vector<wire_column> wire;
    wire.reserve(ncols);
    for (std::size_t c = 0; c < ncols; ++c) wire.push_back(wire_of(rs, c));
    u8(0x81);
    u16(static_cast<std::uint16_t>(ncols));
    for (std::size_t c = 0; c < ncols; ++c) {
        user_type();
        u16(0x0001);  // nullable
        type_info(wire[c]);
        b_varchar(rs.columns[c].name);
    }
    const sql_value null_value;
    for (const auto& row : rs.rows) {
        u8(0xD1);
        for (std::size_t c = 0; c < ncols; ++c) cell(wire[c], c < row.size() ? row[c] : null_value);
    }
}

}  // namespace standin::tds
