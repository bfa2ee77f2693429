// Starts stand-ins for test programs that cannot start one themselves: the
// Windows test programs under Wine, where the stand-in (a Linux program)
// cannot be run. Each TCP connection to the broker is one stand-in's life:
// the client asks for one with its fixtures and arguments and reads its
// port, may read its journal, and stops it for its dump; a connection that
// ends takes its stand-in with it, so a test that crashes leaves none.
//
//   standin_broker        prints "listening on 127.0.0.1:PORT", serves until killed
//
// Requests and answers are one line of JSON each:
//   {"start":{"fixtures":[...],"args":[...]}}  ->  {"port":N} or {"error":"..."}
//   {"journal":true}                           ->  {"journal":"..."}
//   {"stop":true}                              ->  {"dump":"...","journal":"...","ok":true|false,"stderr":"..."}
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "support/standin_process.h"

namespace {

using nlohmann::json;

bool send_line(int fd, const json& answer) {
    const std::string text = answer.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

std::string journal_text(const standin_test::standin_process& server) {
    std::string text;
    for (const auto& line : server.journal_lines()) text += line + "\n";
    return text;
}

// One client: at most one stand-in, ended with the connection.
void serve(int fd) {
    std::unique_ptr<standin_test::standin_process> server;
    std::string buffer;
    char chunk[4096];
    for (;;) {
        const std::size_t end = buffer.find('\n');
        if (end == std::string::npos) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) break;
            buffer.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        const std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        json answer;
        try {
            const json request = json::parse(line);
            if (request.contains("start")) {
                standin_test::standin_options o;
                o.fixtures = request["start"].value("fixtures", std::vector<std::string>{});
                o.extra_args = request["start"].value("args", std::vector<std::string>{});
                server.reset();
                server = std::make_unique<standin_test::standin_process>(o);
                answer = {{"port", server->port()}};
            } else if (!server) {
                answer = {{"error", "no stand-in was started on this connection"}};
            } else if (request.contains("journal")) {
                answer = {{"journal", journal_text(*server)}};
            } else if (request.contains("stop")) {
                std::string dump = server->stop_and_dump();
                const int status = server->exit_status();
                answer = {{"dump", dump},
                          {"journal", journal_text(*server)},
                          {"ok", WIFEXITED(status) && WEXITSTATUS(status) == 0},
                          {"stderr", server->stderr_text()}};
            } else {
                answer = {{"error", "unknown request: " + line}};
            }
        } catch (const std::exception& e) {
            answer = {{"error", e.what()}};
        }
        if (!send_line(fd, answer)) break;
    }
    server.reset();  // kills a stand-in that is still running
    ::close(fd);
}

}  // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 64) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("standin_broker");
        return 1;
    }
    std::printf("listening on 127.0.0.1:%d\n", ntohs(a.sin_port));
    std::fflush(stdout);
    for (;;) {
        const int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        std::thread(serve, fd).detach();
    }
}
