// The connection's sockets on Windows. A socket is a handle of the process
// that Winsock knows: the handles are looked at one by one, from the lowest,
// until every open one was seen. Winsock is found at run time (the driver
// has loaded it already), so the programs import nothing of it: where it
// cannot be had, no socket is found and a call past its bound is left behind.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>

#include "session/request_bounds.h"

namespace velmora {

namespace {

template <typename F>
F look_up(HMODULE module, const char* name) {
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

struct winsock {
    using startup_fn = int(WSAAPI*)(WORD, LPWSADATA);
    using getsockopt_fn = int(WSAAPI*)(SOCKET, int, int, char*, int*);
    using getpeername_fn = int(WSAAPI*)(SOCKET, sockaddr*, int*);
    using shutdown_fn = int(WSAAPI*)(SOCKET, int);
    // Vista on: ends every read and write still pending on a handle,
    // whichever thread started it. XP has only the shutdown.
    using cancel_io_ex_fn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

    getsockopt_fn get_option = nullptr;
    getpeername_fn get_peer = nullptr;
    shutdown_fn shut_down = nullptr;
    cancel_io_ex_fn cancel_io = nullptr;
    bool ready = false;

    winsock() {
        const HMODULE ws2 = LoadLibraryW(L"ws2_32.dll");
        const auto startup = look_up<startup_fn>(ws2, "WSAStartup");
        get_option = look_up<getsockopt_fn>(ws2, "getsockopt");
        get_peer = look_up<getpeername_fn>(ws2, "getpeername");
        shut_down = look_up<shutdown_fn>(ws2, "shutdown");
        cancel_io = look_up<cancel_io_ex_fn>(GetModuleHandleW(L"kernel32.dll"), "CancelIoEx");
        WSADATA data;
        // Kept for the process's life: the counts of WSAStartup are per process.
        ready = startup && get_option && get_peer && shut_down && startup(MAKEWORD(2, 2), &data) == 0;
    }
};

const winsock& ws() {
    static const winsock w;
    return w;
}

// A handle value no small program reaches; the scan stops before it even
// where the process's count of handles cannot be had.
constexpr std::uintptr_t handle_limit = std::uintptr_t{1} << 16;

}  // namespace

std::set<request_bounds::socket_id> request_bounds::open_sockets() {
    std::set<socket_id> out;
    const winsock& w = ws();
    if (!w.ready) return out;
    DWORD count = 0;
    const bool counted = GetProcessHandleCount(GetCurrentProcess(), &count) != 0;
    DWORD seen = 0;
    for (std::uintptr_t h = 4; h < handle_limit && (!counted || seen < count); h += 4) {
        DWORD flags = 0;
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) continue;
        ++seen;
        int type = 0;
        int len = sizeof type;
        if (w.get_option(static_cast<SOCKET>(h), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == 0)
            out.insert(static_cast<socket_id>(h));
    }
    return out;
}

bool request_bounds::connected_tcp(socket_id s, int peer_port) {
    const winsock& w = ws();
    if (!w.ready) return false;
    const SOCKET sock = static_cast<SOCKET>(s);
    int type = 0;
    int len = sizeof type;
    if (w.get_option(sock, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) != 0 || type != SOCK_STREAM)
        return false;
    sockaddr_storage peer{};
    int peer_len = sizeof peer;
    if (w.get_peer(sock, reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) return false;
    std::uint16_t network_port = 0;
    if (peer.ss_family == AF_INET)
        network_port = reinterpret_cast<const sockaddr_in*>(&peer)->sin_port;
    else if (peer.ss_family == AF_INET6)
        network_port = reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_port;
    else
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&network_port);
    const int port = bytes[0] << 8 | bytes[1];
    return peer_port == 0 || port == peer_port;
}

// The server sees the client go (a FIN) and ends its session, rolling back
// what was open; where Windows can, the driver's pending read ends as well.
void request_bounds::shut(socket_id s) {
    const winsock& w = ws();
    if (!w.ready) return;
    w.shut_down(static_cast<SOCKET>(s), SD_BOTH);
    if (w.cancel_io) w.cancel_io(reinterpret_cast<HANDLE>(s), nullptr);
}

}  // namespace velmora
