#pragma once
// TDS 7.1 to 7.4 encoding and decoding: packets, PRELOGIN, LOGIN7, request
// bodies and reply tokens, each in the layout of the version the connection
// negotiated. No sockets here, so every piece can be checked byte by byte.

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

// Packet status bits ([MS-TDS] 2.2.3.1.2).
inline constexpr std::uint8_t status_eom = 0x01;
inline constexpr std::uint8_t status_ignore = 0x02;          // the client gave up sending this request
inline constexpr std::uint8_t status_reset = 0x08;           // reset the connection first
inline constexpr std::uint8_t status_reset_skip_tran = 0x10;  // the same, keeping the transaction
inline constexpr std::size_t header_size = 8;

// TDS versions as LOGIN7 asks for them and LOGINACK answers ([MS-TDS] 2.2.6.4, 2.2.7.14).
inline constexpr std::uint32_t tds_71 = 0x71000001;
inline constexpr std::uint32_t tds_72 = 0x72090002;
inline constexpr std::uint32_t tds_73a = 0x730A0003;
inline constexpr std::uint32_t tds_73b = 0x730B0003;
inline constexpr std::uint32_t tds_74 = 0x74000004;

// The version a connection speaks and what it decides in the token layouts.
struct protocol {
    std::uint32_t version = tds_74;
    // TDS 7.2: 8-byte DONE row counts, 4-byte UserType and LineNumber,
    // (max) types as PLP, request headers, transaction ENVCHANGEs.
    bool from_72() const { return version >= tds_72; }
    // TDS 7.3: date, time, datetime2 and datetimeoffset.
    bool from_73() const { return version >= tds_73a; }
    // TDS 7.4: FeatureExt and FEATUREEXTACK.
    bool from_74() const { return version >= tds_74; }
};

// The version answered to a client that asks for `requested`: the same, or
// the newest the server speaks (`newest`, as its version has it); nothing for
// a client older than TDS 7.1.
std::optional<std::uint32_t> negotiate(std::uint32_t requested, std::uint32_t newest = tds_74);

// DONE tokens: end of a batch statement, of a procedure, of a statement in one.
inline constexpr std::uint8_t done_token = 0xFD;
inline constexpr std::uint8_t doneproc_token = 0xFE;
inline constexpr std::uint8_t doneinproc_token = 0xFF;

// DONE status bits.
inline constexpr std::uint16_t done_more = 0x0001;
inline constexpr std::uint16_t done_error = 0x0002;
inline constexpr std::uint16_t done_count = 0x0010;
inline constexpr std::uint16_t done_attn = 0x0020;

// Chinese_PRC_CI_AS: LCID 2052, case-, kana- and width-insensitive; its
// varchar data is in code page 936 (GBK).
inline constexpr std::uint8_t collation[5] = {0x04, 0x08, 0xD0, 0x00, 0x00};

// FeatureExt identifiers ([MS-TDS] 2.2.6.4).
inline constexpr std::uint8_t feature_utf8_support = 0x0A;
inline constexpr std::uint8_t feature_terminator = 0xFF;

// Text conversions. Invalid input becomes U+FFFD rather than failing.
std::string utf8_to_utf16le(const std::string& utf8);
std::string utf16le_to_utf8(const char* data, std::size_t bytes);

// Splits a message into packets no longer than packet_size (header included),
// the last one marked end-of-message. packet_id counts on across calls.
std::string packetize(std::uint8_t type, const std::string& payload, std::size_t packet_size,
                      std::uint16_t spid, std::uint8_t& packet_id);

// The PRELOGIN answer: the server's version, no encryption, no MARS.
std::string prelogin_reply(const server_version& server);

struct login7 {
    std::uint32_t tds_version = 0;
    bool utf8_support = false;  // FeatureExt asked about UTF-8 (TDS 7.4)
    std::uint32_t packet_size = 0;
    std::string host;
    std::string user;
    std::string password;
    std::string app;
    std::string server;
    std::string language;
    std::string database;
};
// Returns nothing when the message is too short or an offset points outside
// it. A FeatureExt block that does not parse is left unread.
std::optional<login7> parse_login7(const std::string& payload);
// The password obfuscation clients apply (swap nibbles, XOR 0xA5), for tests.
std::string obfuscate_password(const std::string& utf16le);

// SQL batch: skips ALL_HEADERS (TDS 7.2 and later) and decodes the UTF-16 text.
std::optional<std::string> parse_sql_batch(const std::string& payload, bool has_all_headers);

// A Transaction Manager request ([MS-TDS] 2.2.6.9).
struct tm_request {
    enum kind_t { begin = 5, commit = 7, rollback = 8, save = 9 };
    int type = 0;            // raw request type
    std::string name;        // the transaction's or savepoint's (B_VARBYTE of UTF-16), may be empty
    bool begin_new = false;  // commit/rollback: start a new transaction afterwards
    std::string new_name;    // ... with this name
};
std::optional<tm_request> parse_tm_request(const std::string& payload, bool has_all_headers);

// Builds a reply token stream in the layouts of the connection's TDS version.
class token_writer {
public:
    explicit token_writer(protocol p = {}) : proto_(p) {}

    void envchange_text(std::uint8_t type, const std::string& new_value, const std::string& old_value);
    void envchange_collation();
    void envchange_transaction(std::uint8_t type, std::uint64_t descriptor);  // 8, 9 or 10; none before 7.2
    void envchange_reset();  // 18, the reset's acknowledgement; none before 7.2
    void message(const server_message& m, const std::string& server_name);  // ERROR or INFO
    void loginack(const server_version& server, std::uint32_t tds_version);
    void feature_ext_ack_utf8();
    void done(std::uint16_t status, std::uint64_t count = 0, std::uint16_t curcmd = 0,
              std::uint8_t token = done_token);
    void return_status(std::int32_t value);
    void return_value_int(std::uint16_t ordinal, const std::string& name, std::int32_t value);
    void result(const result_set& rs);  // COLMETADATA and ROWs (tds_results.cpp)

    const std::string& bytes() const { return buf_; }
    std::string take() { return std::move(buf_); }
    bool empty() const { return buf_.empty(); }

private:
    void u8(std::uint8_t v) { buf_ += static_cast<char>(v); }
    void u16(std::uint16_t v);
    void u32(std::uint32_t v);
    void u64(std::uint64_t v);
    void user_type();                          // 2 bytes before TDS 7.2, 4 after
    void b_varchar(const std::string& utf8);   // 1-byte char count + UTF-16
    void us_varchar(const std::string& utf8);  // 2-byte char count + UTF-16
    void patch_u16(std::size_t at, std::uint16_t v);

    // How one result column goes on the wire, decided from its declaration,
    // its values and the protocol (tds_results.cpp).
    struct wire_column;
    wire_column wire_of(const result_set& rs, std::size_t c) const;
    void type_info(const wire_column& w);
    void cell(const wire_column& w, const sql_value& v);
    void character_cell(const wire_column& w, const sql_value& v);

    protocol proto_;
    std::string buf_;
};

// Text in the Chinese code page as a varchar column holds it: characters
// the code page lacks become '?', as SQL Server converts them.
std::string utf8_to_code_page(const std::string& utf8);

}  // namespace standin::tds
