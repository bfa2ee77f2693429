// The connection's sockets where the process's descriptors can be listed:
// /proc/self/fd.
#include "session/request_bounds.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace velmora {

std::set<request_bounds::socket_id> request_bounds::open_sockets() {
    std::set<socket_id> out;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return out;
    const int own = ::dirfd(dir);
    while (const dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == own) continue;
        struct stat st {};
        if (::fstat(static_cast<int>(fd), &st) == 0 && S_ISSOCK(st.st_mode)) out.insert(fd);
    }
    ::closedir(dir);
    return out;
}

// A connected TCP socket (IPv4 or IPv6): the kind a database driver opens.
// Local sockets of the windowing system and the like are left alone.
bool request_bounds::connected_tcp(socket_id s, int peer_port) {
    const int fd = static_cast<int>(s);
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

// The driver's blocked read ends with the connection, and the server sees a
// client that went away.
void request_bounds::shut(socket_id s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }

}  // namespace velmora
