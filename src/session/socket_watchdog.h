#pragma once
// Bounds the client calls that the driver itself does not bound.
//
// FreeTDS applies no timeout to the pre-login exchange nor to its transaction
// requests (the commit, the rollback, switching autocommit): a server that
// accepts the connection and then never answers holds such a call forever.
// The watchdog knows the TCP sockets of the session's connection; when a
// watched call has not returned by its deadline, it shuts those sockets down,
// so the driver's blocked read ends with a communication failure.
//
// Only where the sockets can be seen (Linux, through /proc/self/fd); on
// Windows the session gives the Microsoft drivers a connection timeout, by
// which they bound their calls themselves.
//
// Several sessions of one process (tests run many side by side) keep apart
// by the server's port: a login told its port takes, and cuts, only the
// sockets connected to that port.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

namespace velmora {

class socket_watchdog {
public:
    socket_watchdog() = default;
    ~socket_watchdog();
    socket_watchdog(const socket_watchdog&) = delete;
    socket_watchdog& operator=(const socket_watchdog&) = delete;

    // Around a login: the sockets opened between begin_login and end_login
    // (connected to peer_port, when it is not 0) are the connection's. While a
    // login is watched, every such TCP socket opened since begin_login is cut
    // at the deadline.
    void begin_login(int peer_port = 0);
    void end_login(bool connected);
    // The connection is gone: nothing to watch any more.
    void forget_connection();
    // Ends the connection now, without waiting for any deadline: its sockets
    // are shut down, so the server sees the client go (and rolls back what is
    // open) and every later call of the driver fails at once.
    void cut_now();

    // Watches one call for its lifetime.
    class watch {
    public:
        watch(socket_watchdog& dog, std::chrono::milliseconds deadline);
        ~watch();
        watch(const watch&) = delete;
        watch& operator=(const watch&) = delete;
        // True when the deadline passed and the call was cut short.
        bool fired() const;

    private:
        socket_watchdog& dog_;
    };

private:
    void arm(std::chrono::milliseconds deadline);
    void disarm();
    void run();
    void cut_locked();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::thread thread_;
    bool stopping_ = false;
    bool idle_ = true;            // the thread waits for no deadline
    bool logging_in_ = false;
    int peer_port_ = 0;           // the server's port; 0 when not known
    std::set<int> before_login_;  // sockets that existed when the login began
    std::set<int> connection_;    // the connection's own sockets
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool fired_ = false;
};

}  // namespace velmora
