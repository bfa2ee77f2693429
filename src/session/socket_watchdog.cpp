#include "socket_watchdog.h"

#ifndef _WIN32
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
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

// A connected TCP socket (IPv4 or IPv6): the kind a database driver opens.
// Local sockets of the windowing system and the like are left alone.
bool is_connected_tcp(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) return false;
    sockaddr_storage peer{};
    socklen_t peer_len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) return false;
    return peer.ss_family == AF_INET || peer.ss_family == AF_INET6;
}
#endif

}  // namespace

socket_watchdog::socket_watchdog(std::chrono::milliseconds deadline) {
#ifndef _WIN32
    sockets_before_ = open_sockets();
    thread_ = std::thread([this, deadline] { watch(deadline); });
#else
    (void)deadline;
#endif
}

socket_watchdog::~socket_watchdog() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
    }
    done_cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool socket_watchdog::fired() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fired_;
}

void socket_watchdog::watch(std::chrono::milliseconds deadline) {
#ifndef _WIN32
    std::unique_lock<std::mutex> lock(mutex_);
    if (done_cv_.wait_for(lock, deadline, [this] { return done_; })) return;
    // Still inside the call: cut the sockets it opened. Shutting down, not
    // closing, keeps the descriptors valid for the driver, which then sees
    // the connection end and fails the call. A socket still connecting is
    // the driver's own timeout's to end; it is cut once it has connected.
    do {
        for (int fd : open_sockets()) {
            if (sockets_before_.count(fd) || !is_connected_tcp(fd)) continue;
            ::shutdown(fd, SHUT_RDWR);
            fired_ = true;
        }
    } while (!done_cv_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; }));
#else
    (void)deadline;
#endif
}

}  // namespace velmora
