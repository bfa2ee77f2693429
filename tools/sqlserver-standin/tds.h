#pragma once
// TDS 7.4 encoding and decoding: packets, PRELOGIN, LOGIN7, request bodies and
// reply tokens. No sockets here, so every piece can be checked byte by byte.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sqlserver-standin/engine.h"

namespace standin::tds {

// Packet types.
inline constexpr std::uint8_t pkt_sql_batch = 0x01;
inline constexpr std::uint8_t pkt_rpc = 0x03;
inline constexpr std::uint8_t pkt_reply = 0x04;
inline constexpr std::uint8_t pkt_attention = 0x06;
inline constexpr std::uint8_t pkt_transaction_manager = 0x0E;
inline constexpr std::uint8_t pkt_login7 = 0x10;
inline constexpr std::uint8_t pkt_prelogin = 0x12;

inline constexpr std::uint8_t status_eom = 0x01;
inline constexpr std::size_t header_size = 8;

// The version we answer with in LOGINACK (TDS 7.4).
inline constexpr std::uint32_t tds_74 = 0x74000004;

// DONE tokens: end of a batch statement, of a procedure, of a statement in one.
inline constexpr std::uint8_t done_token = 0xFD;
inline constexpr std::uint8_t doneproc_token = 0xFE;
inline constexpr std::uint8_t doneinproc_token = 0xFF;

// DONE status bits.
inline constexpr std::uint16_t done_more = 0x0001;
inline constexpr std::uint16_t done_error = 0x0002;
inline constexpr std::uint16_t done_count = 0x0010;
inline constexpr std::uint16_t done_attn = 0x0020;

// Chinese_PRC_CI_AS: LCID 2052, case-, kana- and width-insensitive.
inline constexpr std::uint8_t collation[5] = {0x04, 0x08, 0xD0, 0x00, 0x00};

// Text conversions. Invalid input becomes U+FFFD rather than failing.
std::string utf8_to_utf16le(const std::string& utf8);
std::string utf16le_to_utf8(const char* data, std::size_t bytes);

// Splits a message into packets no longer than packet_size (header included),
// the last one marked end-of-message. packet_id counts on across calls.
std::string packetize(std::uint8_t type, const std::string& payload, std::size_t packet_size,
                      std::uint16_t spid, std::uint8_t& packet_id);

// The PRELOGIN answer: version, no encryption, no MARS.
std::string prelogin_reply();

struct login7 {
    std::uint32_t tds_version = 0;
    std::uint32_t packet_size = 0;
    std::string host;
    std::string user;
    std::string password;
    std::string app;
    std::string server;
    std::string language;
    std::string database;
};
// Returns nothing when the message is too short or an offset points outside it.
std::optional<login7> parse_login7(const std::string& payload);
// The password obfuscation clients apply (swap nibbles, XOR 0xA5), for tests.
std::string obfuscate_password(const std::string& utf16le);

// SQL batch: skips ALL_HEADERS (TDS 7.2 and later) and decodes the UTF-16 text.
std::optional<std::string> parse_sql_batch(const std::string& payload, bool has_all_headers);

struct tm_request {
    enum kind_t { begin = 5, commit = 7, rollback = 8 };
    int type = 0;            // raw request type
    bool begin_new = false;  // commit/rollback: start a new transaction afterwards
};
std::optional<tm_request> parse_tm_request(const std::string& payload, bool has_all_headers);

// Builds a reply token stream.
class token_writer {
public:
    void envchange_text(std::uint8_t type, const std::string& new_value, const std::string& old_value);
    void envchange_collation();
    void envchange_transaction(std::uint8_t type, std::uint64_t descriptor);  // 8, 9 or 10
    void message(const server_message& m, const std::string& server_name);  // ERROR or INFO
    void loginack(const std::string& program, std::uint32_t version);
    void done(std::uint16_t status, std::uint64_t count = 0, std::uint16_t curcmd = 0,
              std::uint8_t token = done_token);
    void return_status(std::int32_t value);
    void return_value_int(std::uint16_t ordinal, const std::string& name, std::int32_t value);
    void result(const result_set& rs);

    const std::string& bytes() const { return buf_; }
    std::string take() { return std::move(buf_); }
    bool empty() const { return buf_.empty(); }

private:
    void u8(std::uint8_t v) { buf_ += static_cast<char>(v); }
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void u64(std::uint64_t v);
    void b_varchar(const std::string& utf8);   // 1-byte char count + UTF-16
    void us_varchar(const std::string& utf8);  // 2-byte char count + UTF-16
    void patch_u16(std::size_t at, std::uint16_t v);

    // A result's columns on the wire: 8-byte integers, nvarchar(max) text.
    struct wire_formats {
        std::vector<bool> wide;
        std::vector<bool> plp;
    };
    static wire_formats formats_of(const result_set& rs);
    void column_metadata(const result_set& rs, const wire_formats& f);  // COLMETADATA
    void cell(column_type type, const sql_value& v, bool wide, bool plp);
    void text_cell(const sql_value& v, bool plp);

    std::string buf_;
};

}  // namespace standin::tds
