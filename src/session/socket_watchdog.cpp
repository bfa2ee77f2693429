#include "session/socket_watchdog.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace velmora {

namespace {

#ifndef _WIN32
// Every descriptor of the process that is a socket.
std::set<int> open_sockets() {
    std::set<int> out;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return out;
    const int own = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == own) continue;
        struct stat st {};
        if (::fstat(static_cast<int>(fd), &st) == 0 && S_ISSOCK(st.st_mode)) out.insert(static_cast<int>(fd));
    }
    ::closedir(dir);
    return out;
}

// A connected TCP socket (IPv4 or IPv6): the kind a database driver opens,
// to peer_port when that is not 0. Local sockets of the windowing system and
// the like are left alone.
bool is_connected_tcp(int fd, int peer_port) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) return false;
    int port = 0;
    if (peer.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in*>(&peer)->sin_port);
    else if (peer.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port);
    else
        return false;
    return peer_port == 0 || port == peer_port;
}

std::set<int> new_tcp_sockets(const std::set<int>& before, int peer_port) {
    std::set<int> out;
    for (int fd : open_sockets())
        if (!before.count(fd) && is_connected_tcp(fd, peer_port)) out.insert(fd);
    return out;
}
#endif

}  // namespace

socket_watchdog::~socket_watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void socket_watchdog::begin_login(int peer_port) {
#ifndef _WIN32
    std::set<int> before = open_sockets();
    std::lock_guard<std::mutex> lock(mutex_);
    before_login_ = std::move(before);
    connection_.clear();
    logging_in_ = true;
    peer_port_ = peer_port;
#else
    (void)peer_port;
#endif
}

void socket_watchdog::end_login(bool connected) {
#ifndef _WIN32
    std::set<int> mine = connected ? new_tcp_sockets(before_login_, peer_port_) : std::set<int>{};
    std::lock_guard<std::mutex> lock(mutex_);
    logging_in_ = false;
    connection_ = std::move(mine);
#else
    (void)connected;
#endif
}

void socket_watchdog::forget_connection() {
    std::lock_guard<std::mutex> lock(mutex_);
    connection_.clear();
    logging_in_ = false;
}

void socket_watchdog::cut_now() {
    std::lock_guard<std::mutex> lock(mutex_);
    cut_locked();
}

void socket_watchdog::arm(std::chrono::milliseconds deadline) {
#ifndef _WIN32
    std::lock_guard<std::mutex> lock(mutex_);
    fired_ = false;
    deadline_ = std::chrono::steady_clock::now() + deadline;
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
    // A thread already waiting for an earlier deadline wakes then and finds
    // this one; only an idle thread needs waking, which keeps a watched call
    // to a lock and an assignment.
    if (idle_) cv_.notify_all();
#else
    (void)deadline;
#endif
}

void socket_watchdog::disarm() {
    std::lock_guard<std::mutex> lock(mutex_);
    deadline_.reset();
}

// Shuts down, without closing, so the descriptors stay valid for the driver,
// which then sees the connection end and fails the call.
void socket_watchdog::cut_locked() {
#ifndef _WIN32
    const std::set<int> targets = logging_in_ ? new_tcp_sockets(before_login_, peer_port_) : connection_;
    for (int fd : targets) {
        ::shutdown(fd, SHUT_RDWR);
        fired_ = true;
    }
#endif
}

void socket_watchdog::run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!deadline_) {
            idle_ = true;
            cv_.wait(lock);
            idle_ = false;
            continue;
        }
        if (std::chrono::steady_clock::now() < *deadline_) {
            const auto until = *deadline_;
            cv_.wait_until(lock, until);
            continue;
        }
        // Past the deadline and still inside the call. A login's socket that
        // is still connecting is the driver's own timeout's to end: look
        // again shortly, so it is cut once it has connected.
        cut_locked();
        cv_.wait_for(lock, std::chrono::milliseconds(200));
    }
}

socket_watchdog::watch::watch(socket_watchdog& dog, std::chrono::milliseconds deadline) : dog_(dog) {
    dog_.arm(deadline);
}

socket_watchdog::watch::~watch() { dog_.disarm(); }

bool socket_watchdog::watch::fired() const {
    std::lock_guard<std::mutex> lock(dog_.mutex_);
    return dog_.fired_;
}

}  // namespace velmora
