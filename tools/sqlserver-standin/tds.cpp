#include "sqlserver-standin/tds.h"

#include "common/gbk.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace standin::tds {

namespace {

std::uint16_t get_u16(const std::string& s, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) |
                                      (static_cast<unsigned char>(s[at + 1]) << 8));
}
std::uint32_t get_u32(const std::string& s, std::size_t at) {
    return static_cast<std::uint32_t>(get_u16(s, at)) | (static_cast<std::uint32_t>(get_u16(s, at + 2)) << 16);
}


// Skips ALL_HEADERS; returns the offset of what follows, or npos if malformed.
std::size_t skip_all_headers(const std::string& payload, bool has_all_headers) {
    if (!has_all_headers) return 0;
    if (payload.size() < 4) return std::string::npos;
    std::uint32_t total = get_u32(payload, 0);
    if (total < 4 || total > payload.size()) return std::string::npos;
    return total;
}

// Reads a B_VARCHAR at pos (advancing it); false when it runs past the end.
bool read_b_varchar(const std::string& p, std::size_t& pos, std::string& out) {
    if (pos >= p.size()) return false;
    std::size_t chars = static_cast<unsigned char>(p[pos++]);
    if (pos + chars * 2 > p.size()) return false;
    out = utf16le_to_utf8(p.data() + pos, chars * 2);
    pos += chars * 2;
    return true;
}

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

// Declared NVARCHAR length (bytes) above which a column goes out as nvarchar(max).
constexpr std::size_t nvarchar_limit = 8000;
constexpr std::uint16_t plp_marker = 0xFFFF;

}  // namespace

std::string utf8_to_utf16le(const std::string& s) {
    std::u16string units = velmora::utf8_to_utf16(s);
    std::string out;
    out.reserve(units.size() * 2);
    for (char16_t u : units) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>((u >> 8) & 0xFF);
    }
    return out;
}

std::string utf16le_to_utf8(const char* data, std::size_t bytes) {
    std::u16string units(bytes / 2, u'\0');
    for (std::size_t k = 0; k < units.size(); ++k)
        units[k] = static_cast<char16_t>(static_cast<unsigned char>(data[2 * k]) |
                                         (static_cast<unsigned char>(data[2 * k + 1]) << 8));
    return velmora::utf16_to_utf8(units);
}

std::string packetize(std::uint8_t type, const std::string& payload, std::size_t packet_size,
                      std::uint16_t spid, std::uint8_t& packet_id) {
    if (packet_size < 512) packet_size = 512;
    if (packet_size > 32767) packet_size = 32767;
    const std::size_t room = packet_size - header_size;
    std::string out;
    out.reserve(payload.size() + (payload.size() / room + 1) * header_size);
    std::size_t pos = 0;
    do {
        std::size_t chunk = std::min(room, payload.size() - pos);
        bool last = pos + chunk == payload.size();
        std::size_t len = chunk + header_size;
        out += static_cast<char>(type);
        out += static_cast<char>(last ? status_eom : 0);
        out += static_cast<char>((len >> 8) & 0xFF);
        out += static_cast<char>(len & 0xFF);
        out += static_cast<char>((spid >> 8) & 0xFF);
        out += static_cast<char>(spid & 0xFF);
        out += static_cast<char>(++packet_id);
        out += '\0';
        out.append(payload, pos, chunk);
        pos += chunk;
    } while (pos < payload.size());
    return out;
}

std::string prelogin_reply() {
    // Option table (token, offset, length) then the data.
    struct opt {
        std::uint8_t token;
        std::string data;
    };
    const opt opts[] = {
        {0x00, std::string("\x10\x00\x07\xD0\x00\x00", 6)},  // VERSION 16.0.2000
        {0x01, std::string("\x02", 1)},                     // ENCRYPTION: not supported
        {0x02, std::string("\x00", 1)},                     // INSTOPT
        {0x03, std::string()},                              // THREADID
        {0x04, std::string("\x00", 1)},                     // MARS off
    };
    const std::size_t count = sizeof opts / sizeof opts[0];
    std::size_t offset = count * 5 + 1;
    std::string head, data;
    for (const auto& o : opts) {
        head += static_cast<char>(o.token);
        head += static_cast<char>((offset >> 8) & 0xFF);
        head += static_cast<char>(offset & 0xFF);
        head += static_cast<char>((o.data.size() >> 8) & 0xFF);
        head += static_cast<char>(o.data.size() & 0xFF);
        data += o.data;
        offset += o.data.size();
    }
    head += '\xFF';
    return head + data;
}

std::string obfuscate_password(const std::string& utf16le) {
    std::string out = utf16le;
    for (auto& ch : out) {
        auto b = static_cast<unsigned char>(ch);
        b = static_cast<unsigned char>(((b << 4) | (b >> 4)) & 0xFF);
        ch = static_cast<char>(b ^ 0xA5);
    }
    return out;
}

std::optional<login7> parse_login7(const std::string& p) {
    if (p.size() < 94) return std::nullopt;
    login7 l;
    l.tds_version = get_u32(p, 4);
    l.packet_size = get_u32(p, 8);
    auto field = [&](std::size_t at, std::string& out, bool password) {
        std::size_t off = get_u16(p, at);
        std::size_t chars = get_u16(p, at + 2);
        if (chars == 0) return true;
        if (off + chars * 2 > p.size()) return false;
        std::string raw = p.substr(off, chars * 2);
        if (password)
            for (auto& ch : raw) {
                auto b = static_cast<unsigned char>(static_cast<unsigned char>(ch) ^ 0xA5);
                ch = static_cast<char>(((b << 4) | (b >> 4)) & 0xFF);
            }
        out = utf16le_to_utf8(raw.data(), raw.size());
        return true;
    };
    if (!field(36, l.host, false) || !field(40, l.user, false) || !field(44, l.password, true) ||
        !field(48, l.app, false) || !field(52, l.server, false) || !field(64, l.language, false) ||
        !field(68, l.database, false))
        return std::nullopt;
    return l;
}

std::optional<std::string> parse_sql_batch(const std::string& payload, bool has_all_headers) {
    std::size_t start = skip_all_headers(payload, has_all_headers);
    if (start == std::string::npos) return std::nullopt;
    return utf16le_to_utf8(payload.data() + start, payload.size() - start);
}

std::optional<tm_request> parse_tm_request(const std::string& p, bool has_all_headers) {
    std::size_t pos = skip_all_headers(p, has_all_headers);
    if (pos == std::string::npos || pos + 2 > p.size()) return std::nullopt;
    tm_request r;
    r.type = get_u16(p, pos);
    pos += 2;
    std::string name;
    switch (r.type) {
    case tm_request::begin:
        break;  // isolation level and name: the engine keeps its own
    case tm_request::commit:
    case tm_request::rollback:
        if (!read_b_varchar(p, pos, name)) return std::nullopt;
        if (pos < p.size()) r.begin_new = (static_cast<unsigned char>(p[pos]) & 0x01) != 0;
        break;
    default:
        break;
    }
    return r;
}

void token_writer::u16(std::uint16_t v) {
    u8(v & 0xFF);
    u8(v >> 8);
}
void token_writer::u32(std::uint32_t v) {
    u16(v & 0xFFFF);
    u16(v >> 16);
}
void token_writer::u64(std::uint64_t v) {
    u32(v & 0xFFFFFFFFu);
    u32(v >> 32);
}
void token_writer::patch_u16(std::size_t at, std::uint16_t v) {
    buf_[at] = static_cast<char>(v & 0xFF);
    buf_[at + 1] = static_cast<char>(v >> 8);
}

void token_writer::b_varchar(const std::string& utf8) {
    std::string w = utf8_to_utf16le(utf8);
    std::size_t chars = std::min<std::size_t>(w.size() / 2, 255);
    u8(static_cast<std::uint8_t>(chars));
    buf_.append(w, 0, chars * 2);
}

void token_writer::us_varchar(const std::string& utf8) {
    std::string w = utf8_to_utf16le(utf8);
    std::size_t chars = std::min<std::size_t>(w.size() / 2, 30000);
    u16(static_cast<std::uint16_t>(chars));
    buf_.append(w, 0, chars * 2);
}

void token_writer::envchange_text(std::uint8_t type, const std::string& new_value, const std::string& old_value) {
    u8(0xE3);
    std::size_t len_at = buf_.size();
    u16(0);
    u8(type);
    b_varchar(new_value);
    b_varchar(old_value);
    patch_u16(len_at, static_cast<std::uint16_t>(buf_.size() - len_at - 2));
}

void token_writer::envchange_collation() {
    u8(0xE3);
    u16(1 + 1 + 5 + 1);
    u8(7);
    u8(5);
    buf_.append(reinterpret_cast<const char*>(collation), 5);
    u8(0);
}

void token_writer::envchange_transaction(std::uint8_t type, std::uint64_t descriptor) {
    u8(0xE3);
    u16(1 + 1 + 8 + 1);
    u8(type);
    if (type == 8) {  // begun: new value is the descriptor
        u8(8);
        u64(descriptor);
        u8(0);
    } else {  // committed or rolled back: old value is the descriptor
        u8(0);
        u8(8);
        u64(descriptor);
    }
}

void token_writer::message(const server_message& m, const std::string& server_name) {
    u8(m.is_error() ? 0xAA : 0xAB);
    std::size_t len_at = buf_.size();
    u16(0);
    u32(static_cast<std::uint32_t>(m.number));
    u8(static_cast<std::uint8_t>(m.state));
    u8(static_cast<std::uint8_t>(m.severity));
    us_varchar(m.text);
    b_varchar(server_name);
    b_varchar(m.procedure);
    u32(static_cast<std::uint32_t>(m.line));
    patch_u16(len_at, static_cast<std::uint16_t>(buf_.size() - len_at - 2));
}

void token_writer::loginack(const std::string& program, std::uint32_t version) {
    u8(0xAD);
    std::size_t len_at = buf_.size();
    u16(0);
    u8(1);  // interface: SQL
    // The TDS version goes out most significant byte first here.
    u8(static_cast<std::uint8_t>(version >> 24));
    u8(static_cast<std::uint8_t>(version >> 16));
    u8(static_cast<std::uint8_t>(version >> 8));
    u8(static_cast<std::uint8_t>(version));
    b_varchar(program);
    u8(16);  // program version 16.0.2000
    u8(0);
    u8(0x07);
    u8(0xD0);
    patch_u16(len_at, static_cast<std::uint16_t>(buf_.size() - len_at - 2));
}

void token_writer::return_status(std::int32_t value) {
    u8(0x79);
    u32(static_cast<std::uint32_t>(value));
}

void token_writer::return_value_int(std::uint16_t ordinal, const std::string& name, std::int32_t value) {
    u8(0xAC);
    u16(ordinal);
    b_varchar(name);
    u8(0x01);  // output parameter
    u32(0);    // user type
    u16(0x0001);
    u8(0x26);
    u8(4);
    u8(4);
    u32(static_cast<std::uint32_t>(value));
}

void token_writer::done(std::uint16_t status, std::uint64_t count, std::uint16_t curcmd, std::uint8_t token) {
    u8(token);
    u16(status);
    u16(curcmd);
    u64(count);
}

// How a column goes on the wire: integers need 8 bytes only when a value
// does not fit in 4; text needs nvarchar(max) when a value is longer than
// 4000 characters.
token_writer::wire_formats token_writer::formats_of(const result_set& rs) {
    const std::size_t ncols = rs.columns.size();
    wire_formats f{std::vector<bool>(ncols, false), std::vector<bool>(ncols, false)};
    for (std::size_t c = 0; c < ncols; ++c) {
        column_type t = rs.columns[c].type;
        for (const auto& row : rs.rows) {
            if (c >= row.size() || std::holds_alternative<std::monostate>(row[c])) continue;
            if (t == column_type::integer) {
                std::int64_t v = as_int(row[c]);
                if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
                    f.wide[c] = true;
            } else if (t == column_type::text || t == column_type::datetime) {
                if (as_text(row[c]).size() * 2 > nvarchar_limit &&
                    utf8_to_utf16le(as_text(row[c])).size() > nvarchar_limit)
                    f.plp[c] = true;
            }
        }
    }
    return f;
}

void token_writer::column_metadata(const result_set& rs, const wire_formats& f) {
    u8(0x81);
    u16(static_cast<std::uint16_t>(rs.columns.size()));
    for (std::size_t c = 0; c < rs.columns.size(); ++c) {
        u32(0);       // user type
        u16(0x0001);  // nullable
        switch (rs.columns[c].type) {
        case column_type::integer:
            u8(0x26);
            u8(f.wide[c] ? 8 : 4);
            break;
        case column_type::decimal:
            u8(0x6D);
            u8(8);
            break;
        case column_type::text:
        case column_type::datetime:
            u8(0xE7);
            u16(f.plp[c] ? plp_marker : static_cast<std::uint16_t>(nvarchar_limit));
            buf_.append(reinterpret_cast<const char*>(collation), 5);
            break;
        }
        b_varchar(rs.columns[c].name);
    }
}

void token_writer::text_cell(const sql_value& v, bool plp) {
    bool is_null = std::holds_alternative<std::monostate>(v);
    if (plp) {
        if (is_null) {
            u64(~std::uint64_t{0});
            return;
        }
        std::string w = utf8_to_utf16le(as_text(v));
        u64(w.size());
        if (!w.empty()) {
            u32(static_cast<std::uint32_t>(w.size()));
            buf_ += w;
        }
        u32(0);  // terminator
    } else if (is_null) {
        u16(0xFFFF);
    } else {
        std::string w = utf8_to_utf16le(as_text(v));
        u16(static_cast<std::uint16_t>(w.size()));
        buf_ += w;
    }
}

void token_writer::cell(column_type type, const sql_value& v, bool wide, bool plp) {
    bool is_null = std::holds_alternative<std::monostate>(v);
    switch (type) {
    case column_type::integer:
        if (is_null) {
            u8(0);
        } else if (wide) {
            u8(8);
            u64(static_cast<std::uint64_t>(as_int(v)));
        } else {
            u8(4);
            u32(static_cast<std::uint32_t>(static_cast<std::int32_t>(as_int(v))));
        }
        break;
    case column_type::decimal:
        if (is_null) {
            u8(0);
        } else {
            double d = as_double(v);
            std::uint64_t bits;
            std::memcpy(&bits, &d, sizeof bits);
            u8(8);
            u64(bits);
        }
        break;
    case column_type::text:
    case column_type::datetime:
        text_cell(v, plp);
        break;
    }
}

void token_writer::result(const result_set& rs) {
    const std::size_t ncols = rs.columns.size();
    if (ncols == 0) return;
    const wire_formats f = formats_of(rs);
    column_metadata(rs, f);
    const sql_value null_value;
    for (const auto& row : rs.rows) {
        u8(0xD1);
        for (std::size_t c = 0; c < ncols; ++c)
            cell(rs.columns[c].type, c < row.size() ? row[c] : null_value, f.wide[c], f.plp[c]);
    }
}

}  // namespace standin::tds
