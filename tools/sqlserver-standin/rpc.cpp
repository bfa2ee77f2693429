#include "sqlserver-standin/rpc.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/gbk.h"
#include "sqlserver-standin/tds.h"

namespace standin::rpc {

namespace {

class reader {
public:
    reader(const std::string& p, std::size_t pos) : p_(p), pos_(pos) {}
    bool has(std::size_t n) const { return pos_ + n <= p_.size(); }
    std::size_t pos() const { return pos_; }
    bool at_end() const { return pos_ >= p_.size(); }
    std::uint8_t peek() const { return static_cast<std::uint8_t>(p_[pos_]); }

    bool u8(std::uint8_t& v) {
        if (!has(1)) return false;
        v = static_cast<std::uint8_t>(p_[pos_++]);
        return true;
    }
    bool u16(std::uint16_t& v) {
        if (!has(2)) return false;
        v = static_cast<std::uint16_t>(byte(0) | (byte(1) << 8));
        pos_ += 2;
        return true;
    }
    bool u32(std::uint32_t& v) {
        if (!has(4)) return false;
        v = static_cast<std::uint32_t>(byte(0) | (byte(1) << 8) | (byte(2) << 16)) | (static_cast<std::uint32_t>(byte(3)) << 24);
        pos_ += 4;
        return true;
    }
    bool u64(std::uint64_t& v) {
        std::uint32_t lo, hi;
        if (!u32(lo) || !u32(hi)) return false;
        v = lo | (static_cast<std::uint64_t>(hi) << 32);
        return true;
    }
    bool raw(std::size_t n, std::string& out) {
        if (!has(n)) return false;
        out = p_.substr(pos_, n);
        pos_ += n;
        return true;
    }
    bool skip(std::size_t n) {
        if (!has(n)) return false;
        pos_ += n;
        return true;
    }

private:
    unsigned byte(std::size_t k) const { return static_cast<unsigned char>(p_[pos_ + k]); }
    const std::string& p_;
    std::size_t pos_;
};

std::string lower(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string format_double(double d) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    return buf;
}

// Reads a PLP value (nvarchar(max) and friends) into out; null when absent.
bool read_plp(reader& r, std::string& out, bool& is_null) {
    std::uint64_t total;
    if (!r.u64(total)) return false;
    is_null = total == ~std::uint64_t{0};
    out.clear();
    if (is_null) return true;
    for (;;) {
        std::uint32_t chunk;
        if (!r.u32(chunk)) return false;
        if (chunk == 0) return true;
        std::string part;
        if (!r.raw(chunk, part)) return false;
        out += part;
    }
}

// Decimal/numeric value: sign byte then a little-endian magnitude.
sql_value decode_decimal(const std::string& data, int scale) {
    if (data.empty()) return {};
    bool positive = data[0] == 1;
    long double mag = 0;
    for (std::size_t i = data.size(); i-- > 1;) mag = mag * 256 + static_cast<unsigned char>(data[i]);
    if (scale == 0 && mag < 9.2e18L) {
        auto v = static_cast<std::int64_t>(mag);
        return positive ? v : -v;
    }
    double v = static_cast<double>(mag / std::pow(10.0L, scale));
    return positive ? v : -v;
}

std::string two_digits(int v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d", v);
    return buf;
}

// Days since 1900-01-01 to a calendar date.
std::string date_text(std::int64_t days) {
    // Civil-from-days, shifted to the 1970 epoch (25567 days after 1900-01-01).
    std::int64_t z = days - 25567 + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t doe = z - era * 146097;
    std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t y = yoe + era * 400;
    std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    std::int64_t mp = (5 * doy + 2) / 153;
    std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
    std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
    return std::to_string(y) + "-" + two_digits(static_cast<int>(m)) + "-" + two_digits(static_cast<int>(d));
}

// Fixed-length values: integers (signed, but for tinyint), floats, datetimes.
bool read_fixed_int(reader& r, int size, parameter& p) {
    std::uint64_t v = 0;
    for (int i = 0; i < size; ++i) {
        std::uint8_t b;
        if (!r.u8(b)) return false;
        v |= static_cast<std::uint64_t>(b) << (8 * i);
    }
    std::int64_t s = size == 8 ? static_cast<std::int64_t>(v)
                               : (v & (1ull << (size * 8 - 1))) && size > 1
                                     ? static_cast<std::int64_t>(v) - (std::int64_t{1} << (size * 8))
                                     : static_cast<std::int64_t>(v);
    p.value = s;
    return true;
}

bool read_float(reader& r, int size, parameter& p) {
    if (size == 8) {
        std::uint64_t bits;
        if (!r.u64(bits)) return false;
        double d;
        std::memcpy(&d, &bits, 8);
        p.value = d;
    } else {
        std::uint32_t bits;
        if (!r.u32(bits)) return false;
        float f;
        std::memcpy(&f, &bits, 4);
        p.value = static_cast<double>(f);
    }
    return true;
}

bool read_datetime(reader& r, int size, parameter& p) {
    if (size == 8) {
        std::uint32_t days, ticks;
        if (!r.u32(days) || !r.u32(ticks)) return false;
        std::int64_t ms = static_cast<std::int64_t>(std::llround(ticks * 10.0 / 3.0));
        char buf[32];
        std::snprintf(buf, sizeof buf, " %02d:%02d:%02d.%03d", static_cast<int>(ms / 3600000),
                      static_cast<int>(ms / 60000 % 60), static_cast<int>(ms / 1000 % 60),
                      static_cast<int>(ms % 1000));
        p.value = date_text(static_cast<std::int32_t>(days)) + buf;
    } else {
        std::uint16_t days, minutes;
        if (!r.u16(days) || !r.u16(minutes)) return false;
        p.value = date_text(days) + " " + two_digits(minutes / 60) + ":" + two_digits(minutes % 60) + ":00.000";
    }
    p.is_text = true;
    return true;
}

// INTN, BITN, FLTN, DATETIMN: a length, then a fixed-length value or none.
bool read_nullable_fixed(reader& r, std::uint8_t type, parameter& p, std::string& error) {
    std::uint8_t max_len, len;
    if (!r.u8(max_len) || !r.u8(len)) return false;
    if (len == 0) return true;  // NULL
    const bool valid = type == 0x26   ? (len == 1 || len == 2 || len == 4 || len == 8)
                       : type == 0x68 ? len == 1
                                      : (len == 4 || len == 8);
    if (!valid) {
        error = "bad value length " + std::to_string(len);
        return false;
    }
    if (type == 0x6D) return read_float(r, len, p);
    if (type == 0x6F) return read_datetime(r, len, p);
    return read_fixed_int(r, len, p);
}

// DECIMALN, NUMERICN.
bool read_decimal(reader& r, parameter& p, std::string& error) {
    std::uint8_t max_len, precision, scale, len;
    if (!r.u8(max_len) || !r.u8(precision) || !r.u8(scale) || !r.u8(len)) return false;
    if (len == 0) return true;
    if (len > 17 || scale > 38) {
        error = "bad decimal value";
        return false;
    }
    std::string data;
    if (!r.raw(len, data)) return false;
    p.value = decode_decimal(data, scale);
    return true;
}

// varchar bytes in the code page their collation names ([MS-TDS] 2.2.5.1.2):
// UTF-8 when fUTF8 is set, GBK for LCID 2052 (Chinese_PRC), else Latin-1.
std::string from_code_page(const std::string& data, const std::string& collation) {
    std::uint32_t info = 0;
    for (int k = 0; k < 4; ++k) info |= static_cast<std::uint32_t>(static_cast<unsigned char>(collation[k])) << (8 * k);
    const std::uint32_t lcid = info & 0xFFFFF;
    if (info & (1u << 26)) return data;
    if (lcid == 0x0804) {
        if (auto u = velmora::gbk_to_utf8(data)) return *u;
        return data;
    }
    std::string out;
    for (unsigned char c : data) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A value whose TYPE_INFO gave a 2-byte maximum length: PLP for the (max)
// types, else a 2-byte length (0xFFFF for NULL) and the bytes.
bool read_ushort_value(reader& r, std::uint16_t max_len, std::string& data, bool& is_null) {
    if (max_len == 0xFFFF) return read_plp(r, data, is_null);
    std::uint16_t len;
    if (!r.u16(len)) return false;
    is_null = len == 0xFFFF;
    return is_null || r.raw(len, data);
}

// NVARCHAR, NCHAR, VARCHAR, CHAR, with (max) sent as PLP.
bool read_char(reader& r, std::uint8_t type, parameter& p) {
    std::uint16_t max_len;
    std::string collation;
    if (!r.u16(max_len) || !r.raw(5, collation)) return false;
    const bool wide = type == 0xE7 || type == 0xEF;
    std::string data;
    bool is_null = false;
    if (!read_ushort_value(r, max_len, data, is_null)) return false;
    p.is_text = true;
    if (!is_null) p.value = wide ? tds::utf16le_to_utf8(data.data(), data.size()) : from_code_page(data, collation);
    return true;
}

// NTEXT, TEXT.
bool read_text(reader& r, std::uint8_t type, parameter& p) {
    std::uint32_t max_len, len;
    std::string collation;
    if (!r.u32(max_len) || !r.raw(5, collation) || !r.u32(len)) return false;
    p.is_text = true;
    if (len == 0xFFFFFFFF) return true;
    std::string data;
    if (!r.raw(len, data)) return false;
    p.value = type == 0x63 ? tds::utf16le_to_utf8(data.data(), data.size()) : from_code_page(data, collation);
    return true;
}

// MONEYN, MONEY, SMALLMONEY: ten-thousandths, money's high half first.
bool read_money(reader& r, int size, parameter& p) {
    if (size == 4) {
        std::uint32_t v;
        if (!r.u32(v)) return false;
        p.value = static_cast<std::int32_t>(v) / 10000.0;
        return true;
    }
    std::uint32_t hi, lo;
    if (!r.u32(hi) || !r.u32(lo)) return false;
    const auto units = static_cast<std::int64_t>((static_cast<std::uint64_t>(hi) << 32) | lo);
    p.value = static_cast<double>(units) / 10000.0;
    return true;
}

bool read_moneyn(reader& r, parameter& p, std::string& error) {
    std::uint8_t max_len, len;
    if (!r.u8(max_len) || !r.u8(len)) return false;
    if (len == 0) return true;
    if (len != 4 && len != 8) {
        error = "bad money length " + std::to_string(len);
        return false;
    }
    return read_money(r, len, p);
}

// The date of DATEN and friends: days since 0001-01-01 in 3 bytes.
std::string date_from_0001(std::uint32_t days) {
    return date_text(static_cast<std::int64_t>(days) - 693595);  // 693595 days from 0001-01-01 to 1900-01-01
}

// The time of TIMEN and friends: 10^-scale seconds since midnight.
std::string time_text(std::uint64_t units, int scale) {
    std::uint64_t per_second = 1;
    for (int k = 0; k < scale; ++k) per_second *= 10;
    const std::uint64_t seconds = units / per_second, fraction = units % per_second;
    char buf[48];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    std::string out = buf;
    if (scale > 0) {
        std::snprintf(buf, sizeof buf, ".%0*llu", scale, static_cast<unsigned long long>(fraction));
        out += buf;
    }
    return out;
}

bool read_le(reader& r, int bytes, std::uint64_t& v) {
    v = 0;
    for (int k = 0; k < bytes; ++k) {
        std::uint8_t b;
        if (!r.u8(b)) return false;
        v |= static_cast<std::uint64_t>(b) << (8 * k);
    }
    return true;
}

int time_bytes(int scale) { return scale <= 2 ? 3 : scale <= 4 ? 4 : 5; }

// DATEN, TIMEN, DATETIME2N, DATETIMEOFFSETN ([MS-TDS] 2.2.5.4.2, TDS 7.3):
// written as the engine's date and time text. A datetimeoffset keeps its
// own local time, as converting it to datetime does.
bool read_new_date(reader& r, std::uint8_t type, parameter& p, std::string& error) {
    std::uint8_t scale = 0, len;
    if (type != 0x28 && !r.u8(scale)) return false;
    if (scale > 7) {
        error = "bad time scale " + std::to_string(scale);
        return false;
    }
    if (!r.u8(len)) return false;
    p.is_text = true;
    if (len == 0) return true;
    const int tb = type == 0x28 ? 0 : time_bytes(scale);
    const int expected = type == 0x28 ? 3 : type == 0x29 ? tb : type == 0x2A ? tb + 3 : tb + 5;
    if (len != expected) {
        error = "bad value length " + std::to_string(len);
        return false;
    }
    std::uint64_t units = 0, days = 0, offset = 0;
    if (tb && !read_le(r, tb, units)) return false;
    if (type != 0x29 && !read_le(r, 3, days)) return false;
    if (type == 0x2B && !read_le(r, 2, offset)) return false;
    if (type == 0x2B) {
        // Stored in UTC; the offset in minutes gives the local time.
        std::uint64_t per_second = 1;
        for (int k = 0; k < scale; ++k) per_second *= 10;
        const std::int64_t day_units = 86400 * static_cast<std::int64_t>(per_second);
        std::int64_t local = static_cast<std::int64_t>(units) +
                             static_cast<std::int16_t>(offset) * 60 * static_cast<std::int64_t>(per_second);
        std::int64_t d = static_cast<std::int64_t>(days);
        while (local < 0) { local += day_units; --d; }
        while (local >= day_units) { local -= day_units; ++d; }
        units = static_cast<std::uint64_t>(local);
        days = static_cast<std::uint64_t>(d);
    }
    if (type == 0x28) p.value = date_from_0001(static_cast<std::uint32_t>(days));
    else if (type == 0x29) p.value = time_text(units, scale);
    else p.value = date_from_0001(static_cast<std::uint32_t>(days)) + " " + time_text(units, scale);
    return true;
}

// GUIDTYPE: 16 bytes, the first three groups little-endian.
bool read_guid(reader& r, parameter& p, std::string& error) {
    std::uint8_t max_len, len;
    if (!r.u8(max_len) || !r.u8(len)) return false;
    p.is_text = true;
    if (len == 0) return true;
    if (len != 16) {
        error = "bad uniqueidentifier length " + std::to_string(len);
        return false;
    }
    std::string b;
    if (!r.raw(16, b)) return false;
    static const int order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    std::string out;
    char hex[3];
    for (int k = 0; k < 16; ++k) {
        if (k == 4 || k == 6 || k == 8 || k == 10) out += '-';
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(b[static_cast<std::size_t>(order[k])]));
        out += hex;
    }
    p.value = out;
    return true;
}

// BIGVARBINARY, BIGBINARY (with (max) as PLP) and IMAGE: the bytes, written
// back as a 0x literal.
bool read_binary(reader& r, std::uint8_t type, parameter& p) {
    std::string data;
    bool is_null = false;
    if (type == 0x22) {
        std::uint32_t max_len, len;
        if (!r.u32(max_len) || !r.u32(len)) return false;
        is_null = len == 0xFFFFFFFF;
        if (!is_null && !r.raw(len, data)) return false;
    } else {
        std::uint16_t max_len;
        if (!r.u16(max_len) || !read_ushort_value(r, max_len, data, is_null)) return false;
    }
    p.is_binary = true;
    if (!is_null) p.value = data;
    return true;
}

bool read_value(reader& r, parameter& p, std::string& error) {
    std::uint8_t type;
    if (!r.u8(type)) return false;
    switch (type) {
    case 0x30: return read_fixed_int(r, 1, p);  // tinyint (unsigned, one byte)
    case 0x34: return read_fixed_int(r, 2, p);
    case 0x38: return read_fixed_int(r, 4, p);
    case 0x7F: return read_fixed_int(r, 8, p);
    case 0x32: return read_fixed_int(r, 1, p);  // bit
    case 0x3B: return read_float(r, 4, p);
    case 0x3E: return read_float(r, 8, p);
    case 0x3D: return read_datetime(r, 8, p);
    case 0x3A: return read_datetime(r, 4, p);
    case 0x3C: return read_money(r, 8, p);  // money
    case 0x7A: return read_money(r, 4, p);  // smallmoney
    case 0x6E: return read_moneyn(r, p, error);
    case 0x24: return read_guid(r, p, error);
    case 0x28:  // DATEN
    case 0x29:  // TIMEN
    case 0x2A:  // DATETIME2N
    case 0x2B:  // DATETIMEOFFSETN
        return read_new_date(r, type, p, error);
    case 0xA5:  // BIGVARBINARY
    case 0xAD:  // BIGBINARY
    case 0x22:  // IMAGE
        return read_binary(r, type, p);
    case 0x26:  // INTN
    case 0x68:  // BITN
    case 0x6D:  // FLTN
    case 0x6F:  // DATETIMN
        return read_nullable_fixed(r, type, p, error);
    case 0x6A:  // DECIMALN
    case 0x6C:  // NUMERICN
        return read_decimal(r, p, error);
    case 0xE7:  // NVARCHAR
    case 0xEF:  // NCHAR
    case 0xA7:  // VARCHAR
    case 0xAF:  // CHAR
        return read_char(r, type, p);
    case 0x63:  // NTEXT
    case 0x23:  // TEXT
        return read_text(r, type, p);
    default: {
        char buf[64];
        std::snprintf(buf, sizeof buf, "parameter type 0x%02X is not supported", type);
        error = buf;
        return false;
    }
    }
}

bool is_name_char(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '@' || c == '#' || c == '$' ||
           (static_cast<unsigned char>(c) >= 0x80);
}

// "@P1 int,@P2 nvarchar(4000) output" -> {"@P1", "@P2"}
std::vector<std::string> declared_names(const std::string& declaration) {
    std::vector<std::string> names;
    int depth = 0;
    bool at_item_start = true;
    for (std::size_t i = 0; i < declaration.size(); ++i) {
        char c = declaration[i];
        if (c == '(') ++depth;
        else if (c == ')') --depth;
        else if (c == ',' && depth == 0) at_item_start = true;
        else if (c == '@' && at_item_start) {
            std::size_t j = i + 1;
            while (j < declaration.size() && is_name_char(declaration[j])) ++j;
            names.push_back(lower(declaration.substr(i, j - i)));
            at_item_start = false;
            i = j - 1;
        }
    }
    return names;
}

}  // namespace

std::string procedure(const request& r) {
    if (r.proc_id != 0) return r.proc_name;
    std::string n = lower(r.proc_name);
    // Drop brackets and an owner ("[dbo].[sp_executesql]", "sys.sp_executesql").
    std::string out;
    for (char c : n)
        if (c != '[' && c != ']') out += c;
    auto dot = out.rfind('.');
    return dot == std::string::npos ? out : out.substr(dot + 1);
}

std::optional<request> parse(const std::string& payload, bool has_all_headers, std::string& error) {
    std::size_t start = 0;
    if (has_all_headers) {
        if (payload.size() < 4) {
            error = "truncated request";
            return std::nullopt;
        }
        reader h(payload, 0);
        std::uint32_t total;
        h.u32(total);
        if (total < 4 || total > payload.size()) {
            error = "bad request headers";
            return std::nullopt;
        }
        start = total;
    }
    reader r(payload, start);
    request req;
    std::uint16_t name_len;
    if (!r.u16(name_len)) {
        error = "truncated request";
        return std::nullopt;
    }
    if (name_len == 0xFFFF) {
        std::uint16_t id;
        if (!r.u16(id)) {
            error = "truncated request";
            return std::nullopt;
        }
        req.proc_id = id;
        static const char* const names[] = {"",
                                            "sp_cursor",
                                            "sp_cursoropen",
                                            "sp_cursorprepare",
                                            "sp_cursorexecute",
                                            "sp_cursorprepexec",
                                            "sp_cursorunprepare",
                                            "sp_cursorfetch",
                                            "sp_cursoroption",
                                            "sp_cursorclose",
                                            "sp_executesql",
                                            "sp_prepare",
                                            "sp_execute",
                                            "sp_prepexec",
                                            "sp_prepexecrpc",
                                            "sp_unprepare"};
        req.proc_name = id < sizeof names / sizeof names[0] && id > 0 ? names[id] : "#" + std::to_string(id);
    } else {
        std::string raw;
        if (!r.raw(std::size_t(name_len) * 2, raw)) {
            error = "truncated procedure name";
            return std::nullopt;
        }
        req.proc_name = tds::utf16le_to_utf8(raw.data(), raw.size());
    }
    std::uint16_t option_flags;
    if (!r.u16(option_flags)) {
        error = "truncated request";
        return std::nullopt;
    }
    while (!r.at_end()) {
        if (r.peek() == 0xFF || r.peek() == 0x80) break;  // a second request follows: not supported, ignore
        parameter p;
        std::uint8_t name_chars, status;
        std::string raw_name;
        if (!r.u8(name_chars) || !r.raw(std::size_t(name_chars) * 2, raw_name) || !r.u8(status)) {
            error = "truncated parameter";
            return std::nullopt;
        }
        p.name = tds::utf16le_to_utf8(raw_name.data(), raw_name.size());
        p.output = (status & 0x01) != 0;
        std::string value_error;
        if (!read_value(r, p, value_error)) {
            error = value_error.empty() ? "truncated parameter value" : value_error;
            return std::nullopt;
        }
        req.params.push_back(std::move(p));
    }
    return req;
}

std::string literal(const parameter& p) {
    if (std::holds_alternative<std::monostate>(p.value)) return "NULL";
    if (p.is_binary) {
        static const char* const digits = "0123456789ABCDEF";
        std::string out = "0x";
        for (unsigned char c : std::get<std::string>(p.value)) {
            out += digits[c >> 4];
            out += digits[c & 0x0F];
        }
        return out;
    }
    if (auto* i = std::get_if<std::int64_t>(&p.value)) return std::to_string(*i);
    if (auto* d = std::get_if<double>(&p.value)) return format_double(*d);
    const std::string& s = std::get<std::string>(p.value);
    std::string out = "N'";
    for (char c : s) {
        out += c;
        if (c == '\'') out += '\'';
    }
    return out + "'";
}

std::string bind(const std::string& statement, const std::string& declaration,
                 const std::vector<parameter>& values) {
    if (values.empty()) return statement;
    std::vector<std::string> names = declared_names(declaration);
    std::vector<std::pair<std::string, std::string>> map;  // lower-case name -> literal
    for (std::size_t i = 0; i < values.size(); ++i) {
        std::string name = values[i].name.empty() ? (i < names.size() ? names[i] : "") : lower(values[i].name);
        if (!name.empty()) map.emplace_back(name, literal(values[i]));
    }
    std::string out;
    out.reserve(statement.size() + 32);
    for (std::size_t i = 0; i < statement.size();) {
        char c = statement[i];
        if (c == '\'' || c == '"' || c == '[') {  // copy literals and quoted names whole
            char close = c == '[' ? ']' : c;
            std::size_t j = i + 1;
            while (j < statement.size()) {
                if (statement[j] == close) {
                    if (j + 1 < statement.size() && statement[j + 1] == close) {
                        j += 2;
                        continue;
                    }
                    break;
                }
                ++j;
            }
            j = std::min(j + 1, statement.size());
            out.append(statement, i, j - i);
            i = j;
        } else if (c == '-' && i + 1 < statement.size() && statement[i + 1] == '-') {
            std::size_t j = statement.find('\n', i);
            j = j == std::string::npos ? statement.size() : j;
            out.append(statement, i, j - i);
            i = j;
        } else if (c == '/' && i + 1 < statement.size() && statement[i + 1] == '*') {
            std::size_t j = statement.find("*/", i + 2);
            j = j == std::string::npos ? statement.size() : j + 2;
            out.append(statement, i, j - i);
            i = j;
        } else if (c == '@' && (i == 0 || !is_name_char(statement[i - 1]))) {
            std::size_t j = i + 1;
            while (j < statement.size() && is_name_char(statement[j])) ++j;
            std::string name = lower(statement.substr(i, j - i));
            const std::string* value = nullptr;
            for (const auto& m : map)
                if (m.first == name) value = &m.second;
            out += value ? *value : statement.substr(i, j - i);
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

}  // namespace standin::rpc
