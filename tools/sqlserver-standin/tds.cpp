#include "sqlserver-standin/tds.h"

#include "common/gbk.h"
#include "sqlserver-standin/server_version.h"

#include <algorithm>
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

std::optional<std::uint32_t> negotiate(std::uint32_t requested, std::uint32_t newest) {
    if (requested < 0x71000000) return std::nullopt;  // TDS 7.0, 4.2 and the like
    std::uint32_t v = tds_74;
    switch (requested >> 24) {
    case 0x71: v = tds_71; break;
    case 0x72: v = tds_72; break;
    case 0x73: v = requested >= tds_73b ? tds_73b : tds_73a; break;
    default: break;
    }
    return std::min(v, newest);
}

std::string prelogin_reply(const server_version& server) {
    // Option table (token, offset, length) then the data ([MS-TDS] 2.2.6.5).
    struct opt {
        std::uint8_t token;
        std::string data;
    };
    std::string version;  // UL_VERSION (major, minor, build big-endian), US_SUBBUILD
    version += static_cast<char>(server.major);
    version += static_cast<char>(server.minor);
    version += static_cast<char>((server.build >> 8) & 0xFF);
    version += static_cast<char>(server.build & 0xFF);
    version += static_cast<char>((server.revision >> 8) & 0xFF);
    version += static_cast<char>(server.revision & 0xFF);
    const opt opts[] = {
        {0x00, version},
        {0x01, std::string("\x02", 1)},  // ENCRYPTION: not supported
        {0x02, std::string("\x00", 1)},  // INSTOPT
        {0x03, std::string()},           // THREADID
        {0x04, std::string("\x00", 1)},  // MARS off
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

namespace {

// FeatureExt ([MS-TDS] 2.2.6.4): OptionFlags3's fExtension says that
// ibExtension points at a DWORD, the offset of the feature blocks.
void read_feature_ext(const std::string& p, login7& l) {
    constexpr std::size_t option_flags3 = 27, ib_extension = 56;
    if (!(static_cast<unsigned char>(p[option_flags3]) & 0x10)) return;
    std::size_t pointer = get_u16(p, ib_extension);
    if (get_u16(p, ib_extension + 2) < 4 || pointer + 4 > p.size()) return;
    std::size_t pos = get_u32(p, pointer);
    while (pos < p.size()) {
        auto id = static_cast<unsigned char>(p[pos]);
        if (id == feature_terminator || pos + 5 > p.size()) return;
        std::size_t len = get_u32(p, pos + 1);
        if (len > p.size() - pos - 5) return;
        if (id == feature_utf8_support) l.utf8_support = true;
        pos += 5 + len;
    }
}

}  // namespace

std::optional<login7> parse_login7(const std::string& p) {
    // The fixed part up to the database's offset and length, as every
    // version from TDS 7.1 on has it ([MS-TDS] 2.2.6.4).
    if (p.size() < 86) return std::nullopt;
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
    if (l.tds_version >= tds_74) read_feature_ext(p, l);
    return l;
}

std::optional<std::string> parse_sql_batch(const std::string& payload, bool has_all_headers) {
    std::size_t start = skip_all_headers(payload, has_all_headers);
    if (start == std::string::npos) return std::nullopt;
    return utf16le_to_utf8(payload.data() + start, payload.size() - start);
}

namespace {

// B_VARBYTE holding UTF-16: a byte count, then the bytes.
bool read_b_varbyte_text(const std::string& p, std::size_t& pos, std::string& out) {
    if (pos >= p.size()) return false;
    std::size_t bytes = static_cast<unsigned char>(p[pos++]);
    if (pos + bytes > p.size() || bytes % 2) return false;
    out = utf16le_to_utf8(p.data() + pos, bytes);
    pos += bytes;
    return true;
}

}  // namespace

// [MS-TDS] 2.2.6.9: begin is isolation level then name; commit and rollback
// are name, then a flag to begin again with its own isolation level and
// name; save is a name. Every name is a B_VARBYTE of UTF-16.
std::optional<tm_request> parse_tm_request(const std::string& p, bool has_all_headers) {
    std::size_t pos = skip_all_headers(p, has_all_headers);
    if (pos == std::string::npos || pos + 2 > p.size()) return std::nullopt;
    tm_request r;
    r.type = get_u16(p, pos);
    pos += 2;
    switch (r.type) {
    case tm_request::begin:
        if (pos >= p.size()) return std::nullopt;
        ++pos;  // isolation level: the engine keeps its own
        if (pos < p.size() && !read_b_varbyte_text(p, pos, r.name)) return std::nullopt;
        break;
    case tm_request::commit:
    case tm_request::rollback:
        if (!read_b_varbyte_text(p, pos, r.name)) return std::nullopt;
        if (pos < p.size()) r.begin_new = (static_cast<unsigned char>(p[pos++]) & 0x01) != 0;
        if (r.begin_new && pos < p.size()) {
            ++pos;  // isolation level
            if (pos < p.size() && !read_b_varbyte_text(p, pos, r.new_name)) return std::nullopt;
        }
        break;
    case tm_request::save:
        if (!read_b_varbyte_text(p, pos, r.name)) return std::nullopt;
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
    if (!proto_.from_72()) return;
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

void token_writer::envchange_reset() {
    if (!proto_.from_72()) return;
    u8(0xE3);
    u16(3);
    u8(18);
    u8(0);
    u8(0);
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
    if (proto_.from_72()) u32(static_cast<std::uint32_t>(m.line));
    else u16(static_cast<std::uint16_t>(m.line));
    patch_u16(len_at, static_cast<std::uint16_t>(buf_.size() - len_at - 2));
}

void token_writer::loginack(const server_version& server, std::uint32_t tds_version) {
    u8(0xAD);
    std::size_t len_at = buf_.size();
    u16(0);
    u8(1);  // interface: SQL
    // The TDS version goes out most significant byte first here.
    u8(static_cast<std::uint8_t>(tds_version >> 24));
    u8(static_cast<std::uint8_t>(tds_version >> 16));
    u8(static_cast<std::uint8_t>(tds_version >> 8));
    u8(static_cast<std::uint8_t>(tds_version));
    b_varchar("Microsoft SQL Server");
    u8(static_cast<std::uint8_t>(server.major));
    u8(static_cast<std::uint8_t>(server.minor));
    u8(static_cast<std::uint8_t>(server.build >> 8));
    u8(static_cast<std::uint8_t>(server.build & 0xFF));
    patch_u16(len_at, static_cast<std::uint16_t>(buf_.size() - len_at - 2));
}

// [MS-TDS] 2.2.7.11: the server supports UTF-8 (the ack's one byte, bit 0).
void token_writer::feature_ext_ack_utf8() {
    u8(0xAE);
    u8(feature_utf8_support);
    u32(1);
    u8(0x01);
    u8(feature_terminator);
}

void token_writer::return_status(std::int32_t value) {
    u8(0x79);
    u32(static_cast<std::uint32_t>(value));
}

// [MS-TDS] 2.2.7.19: an output parameter's value, named as the request named it.
void token_writer::return_value_int(std::uint16_t ordinal, const std::string& name, std::int32_t value) {
    u8(0xAC);
    u16(ordinal);
    b_varchar(name);
    u8(0x01);  // output parameter
    user_type();
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
    if (proto_.from_72()) u64(count);
    else u32(static_cast<std::uint32_t>(count));
}

void token_writer::user_type() {
    if (proto_.from_72()) u32(0);
    else u16(0);
}

}  // namespace standin::tds
