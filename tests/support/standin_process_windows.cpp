// The stand-in of a Windows test program under Wine: asked of standin_broker
// (a Linux program, started by scripts/test-windows), one broker connection
// per stand-in.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/standin_process.h"


namespace standin_test {

namespace {

using nlohmann::json;

[[noreturn]] void give_up(const std::string& text) {
    ADD_FAILURE() << text;
    throw std::runtime_error(text);
}

SOCKET connect_to_broker() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    const char* where = std::getenv("VELMORA_STANDIN_BROKER");
    if (!started || !where || !*where)
        give_up("VELMORA_STANDIN_BROKER is not set: the Windows tests that need a stand-in run under "
                "scripts/test-windows, which starts standin_broker");
    const std::string address(where);
    const std::size_t colon = address.rfind(':');
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(std::atoi(address.c_str() + colon + 1)));
    a.sin_addr.s_addr = inet_addr(address.substr(0, colon).c_str());
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET || connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (s != INVALID_SOCKET) closesocket(s);
        give_up("cannot reach standin_broker at " + address);
    }
    return s;
}

}  // namespace

standin_process::standin_process(standin_options opts) {
    broker_ = static_cast<std::intptr_t>(connect_to_broker());
    const json answer =
        json::parse(ask(json{{"start", {{"fixtures", opts.fixtures}, {"args", opts.extra_args}}}}.dump()));
    if (!answer.contains("port")) {
        const std::string why = answer.value("error", answer.dump());
        closesocket(static_cast<SOCKET>(broker_));
        broker_ = -1;
        give_up("sqlserver-standin did not start: " + why);
    }
    port_ = answer["port"].get<int>();
}

// The broker stops a stand-in whose connection ends.
standin_process::~standin_process() {
    if (broker_ != -1) closesocket(static_cast<SOCKET>(broker_));
}

std::string standin_process::ask(const std::string& request_json) const {
    const std::string line = request_json + "\n";
    const SOCKET s = static_cast<SOCKET>(broker_);
    for (std::size_t sent = 0; sent < line.size();) {
        const int n = send(s, line.data() + sent, static_cast<int>(line.size() - sent), 0);
        if (n <= 0) give_up("the connection to standin_broker broke");
        sent += static_cast<std::size_t>(n);
    }
    char chunk[65536];
    for (;;) {
        const std::size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string answer = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return answer;
        }
        const int n = recv(s, chunk, sizeof chunk, 0);
        if (n <= 0) give_up("standin_broker closed the connection");
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
}

std::string standin_process::odbc_connection_string(const std::string& database, const std::string& user,
                                                    const std::string& password) const {
    std::string s = "DRIVER={ODBC Driver 17 for SQL Server};Server=127.0.0.1," + std::to_string(port_) +
                    ";UID=" + user + ";PWD=" + password + ";";
    if (!database.empty()) s += "DATABASE=" + database + ";";
    return s;
}

std::string standin_process::stop_and_dump() {
    const json answer = json::parse(ask(R"({"stop":true})"));
    stopped_ = true;
    journal_at_stop_ = answer.value("journal", "");
    if (!answer.value("ok", false))
        ADD_FAILURE() << "sqlserver-standin did not stop cleanly\nstderr:\n" << answer.value("stderr", "");
    return answer.value("dump", "");
}

std::vector<std::string> standin_process::journal_lines() const {
    std::vector<std::string> out;
    std::istringstream in(stopped_ ? journal_at_stop_ : json::parse(ask(R"({"journal":true})")).value("journal", ""));
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

}  // namespace standin_test
