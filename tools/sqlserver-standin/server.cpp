#include "sqlserver-standin/server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sqlserver-standin/client_session.h"

namespace standin {

server::server(engine& eng, const server_options& opts, journal& jrnl)
    : engine_(eng), opts_(opts), journal_(jrnl) {}

server::~server() { stop(); }

bool server::listen(std::string& err) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* res = nullptr;
    std::string port = std::to_string(opts_.port);
    if (int rc = ::getaddrinfo(opts_.bind.c_str(), port.c_str(), &hints, &res); rc != 0) {
        err = "cannot resolve --bind address '" + opts_.bind + "': " + gai_strerror(rc);
        return false;
    }
    int fd = -1;
    std::string last_error = "no address";
    for (addrinfo* a = res; a; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            last_error = std::strerror(errno);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0) break;
        last_error = std::strerror(errno);
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(res);
    if (fd < 0) {
        err = "cannot listen on " + opts_.bind + ":" + port + ": " + last_error;
        return false;
    }
    sockaddr_storage addr{};
    socklen_t alen = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &alen);
    port_ = addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                                       : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    listen_fd_ = fd;
    return true;
}

void server::start() { acceptor_ = std::thread([this] { accept_loop(); }); }

void server::stop() {
    if (stopping_.exchange(true)) return;
    if (listen_fd_ >= 0) ::shutdown(listen_fd_, SHUT_RDWR);
    if (acceptor_.joinable()) acceptor_.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    {
        std::lock_guard<std::mutex> lock(clients_mutex_);
        for (int fd : client_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    while (active_.load() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void server::accept_loop() {
    while (!stopping_.load()) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) {
                if (errno == EMFILE || errno == ENFILE) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                continue;
            }
            break;  // listener shut down
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        int conn_id = next_conn_.fetch_add(1);
        {
            std::lock_guard<std::mutex> lock(clients_mutex_);
            client_fds_.insert(fd);
        }
        ++active_;
        try {
            std::thread([this, fd, conn_id] {
                try {
                    serve(fd, conn_id);
                } catch (const std::exception& e) {
                    std::fprintf(stderr, "sqlserver-standin: connection %d: %s\n", conn_id, e.what());
                } catch (...) {
                    std::fprintf(stderr, "sqlserver-standin: connection %d: unknown failure\n", conn_id);
                }
                {
                    std::lock_guard<std::mutex> lock(clients_mutex_);
                    client_fds_.erase(fd);
                }
                ::close(fd);
                --active_;
            }).detach();
        } catch (const std::system_error& e) {
            std::fprintf(stderr, "sqlserver-standin: cannot start a thread: %s\n", e.what());
            {
                std::lock_guard<std::mutex> lock(clients_mutex_);
                client_fds_.erase(fd);
            }
            ::close(fd);
            --active_;
        }
    }
}

void server::serve(int fd, int conn_id) {
    client_session session(engine_, opts_, journal_, fd, conn_id);
    session.run();
}

}  // namespace standin
