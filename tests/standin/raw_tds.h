#pragma once
// A bare TDS client over a socket for what real clients never do on purpose:
// vanish mid-packet, send garbage, send ATTENTION at a chosen moment.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sqlserver-standin/tds.h"

namespace standin_test {

inline void put16(std::string& s, std::uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
}
inline void put32(std::string& s, std::uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

// LOGIN7 body as a client of the given TDS version writes it; a TDS 7.4
// client may ask about UTF-8 in a FeatureExt block.
inline std::string login7_body(const std::string& user, const std::string& password, const std::string& database,
                               std::uint32_t packet_size = 4096, std::uint32_t version = 0x74000004,
                               bool ask_utf8 = false) {
    using standin::tds::utf8_to_utf16le;
    const std::string fields[] = {utf8_to_utf16le("testhost"), utf8_to_utf16le(user),
                                  standin::tds::obfuscate_password(utf8_to_utf16le(password)),
                                  utf8_to_utf16le("raw_tds"), utf8_to_utf16le("127.0.0.1"), std::string(),
                                  utf8_to_utf16le("raw"), std::string(), utf8_to_utf16le(database)};
    std::string fixed;
    put32(fixed, 0);  // length, patched below
    put32(fixed, version);
    put32(fixed, packet_size);
    put32(fixed, 7);
    put32(fixed, 1234);
    put32(fixed, 0);
    fixed += std::string("\xE0\x03\x00", 3);
    fixed += static_cast<char>(ask_utf8 ? 0x10 : 0x00);  // OptionFlags3: fExtension
    put32(fixed, 0);
    put32(fixed, 0x0409);
    const std::size_t table_size = 9 * 4 + 6 + 4 * 3 + 4;
    std::string table, data;
    std::size_t offset = fixed.size() + table_size;
    std::size_t extension_at = 0;
    for (std::size_t k = 0; k < sizeof fields / sizeof fields[0]; ++k) {
        const auto& f = fields[k];
        put16(table, static_cast<std::uint16_t>(offset + data.size()));
        if (k == 5 && ask_utf8) {  // ibExtension: a DWORD holding the FeatureExt offset
            put16(table, 4);
            extension_at = data.size();
            data += std::string(4, '\0');
            continue;
        }
        put16(table, static_cast<std::uint16_t>(f.size() / 2));
        data += f;
    }
    table += std::string(6, '\0');  // client id
    for (int i = 0; i < 3; ++i) {   // SSPI, attach file, change password
        put16(table, static_cast<std::uint16_t>(offset + data.size()));
        put16(table, 0);
    }
    put32(table, 0);
    if (ask_utf8) {
        const std::uint32_t at = static_cast<std::uint32_t>(offset + data.size());
        for (int i = 0; i < 4; ++i) data[extension_at + i] = static_cast<char>((at >> (8 * i)) & 0xFF);
        data += std::string("\x0A\x01\x00\x00\x00\x01\xFF", 7);  // UTF8_SUPPORT, then the terminator
    }
    std::string body = fixed + table + data;
    std::uint32_t len = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) body[i] = static_cast<char>((len >> (8 * i)) & 0xFF);
    return body;
}

// SQL batch body with the ALL_HEADERS a TDS 7.4 client sends.
inline std::string sql_batch_body(const std::string& sql) {
    std::string s;
    put32(s, 22);
    put32(s, 18);
    put16(s, 2);
    put32(s, 0);
    put32(s, 0);
    put32(s, 1);
    return s + standin::tds::utf8_to_utf16le(sql);
}

class raw_tds {
public:
    explicit raw_tds(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~raw_tds() { close(); }
    raw_tds(const raw_tds&) = delete;
    raw_tds& operator=(const raw_tds&) = delete;

    bool connected() const { return connected_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    bool send_raw(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // status: bits added to the first packet's status (RESETCONNECTION) and,
    // for IGNORE, to the last one's.
    bool send_message(std::uint8_t type, const std::string& body, std::size_t packet_size = 4096,
                      std::uint8_t status = 0) {
        std::uint8_t id = 0;
        std::string packets = standin::tds::packetize(type, body, packet_size, 0, id);
        packets[1] = static_cast<char>(packets[1] | (status & ~standin::tds::status_ignore));
        if (status & standin::tds::status_ignore) {
            std::size_t last = 0;
            for (std::size_t at = 0; at < packets.size();) {
                last = at;
                at += (static_cast<unsigned char>(packets[at + 2]) << 8) | static_cast<unsigned char>(packets[at + 3]);
            }
            packets[last + 1] = static_cast<char>(packets[last + 1] | standin::tds::status_ignore);
        }
        return send_raw(packets);
    }

    // One whole reply message (payload only), or nothing when the server
    // closes the connection or stays silent for timeout_ms.
    bool read_reply(std::string& payload, int timeout_ms = 5000, std::vector<std::size_t>* packet_lengths = nullptr) {
        payload.clear();
        for (;;) {
            std::string h;
            if (!read_n(8, h, timeout_ms)) return false;
            std::size_t len = (static_cast<unsigned char>(h[2]) << 8) | static_cast<unsigned char>(h[3]);
            if (len < 8) return false;
            if (packet_lengths) packet_lengths->push_back(len);
            std::string body;
            if (!read_n(len - 8, body, timeout_ms)) return false;
            payload += body;
            if (h[1] & 1) return true;
        }
    }

    // True when the server has closed the connection (EOF or reset).
    bool closed_by_server(int timeout_ms = 5000) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) <= 0) return false;
        char c;
        return ::recv(fd_, &c, 1, 0) <= 0;
    }

    bool login(const std::string& user = "velmora", const std::string& password = "quorbin",
               const std::string& database = "", std::uint32_t version = 0x74000004) {
        std::string reply;
        if (!send_message(standin::tds::pkt_prelogin, std::string("\xFF", 1)) || !read_reply(reply)) return false;
        if (!send_message(standin::tds::pkt_login7, login7_body(user, password, database, 4096, version)) ||
            !read_reply(reply))
            return false;
        return reply.find('\xAD') != std::string::npos;  // LOGINACK
    }

private:
    bool read_n(std::size_t n, std::string& out, int timeout_ms) {
        out.clear();
        while (out.size() < n) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) <= 0) return false;
            char buf[4096];
            ssize_t r = ::recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
            if (r <= 0) return false;
            out.append(buf, static_cast<std::size_t>(r));
        }
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
};

}  // namespace standin_test
