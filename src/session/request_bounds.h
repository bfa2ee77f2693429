#pragma once
// Bounds every request of one database connection by the program itself.
//
// Drivers keep their own timeouts, or do not: FreeTDS bounds neither the
// pre-login exchange nor its transaction requests (commit, rollback, the
// commit mode), and Microsoft's SQL Server Native Client ignores
// SQL_ATTR_CONNECTION_TIMEOUT and times out nothing but the login and query
// processing. So every call that can reach the server runs on the
// connection's own thread while the caller keeps the clock:
//
//   1. a statement still running past its cancel time is cancelled
//      (SQLCancel from another thread, as ODBC allows for a call that runs
//      synchronously);
//   2. a call still running at its bound gives the connection up: the
//      connection's own TCP sockets are shut down, so that the driver's
//      blocked read ends and the server sees the client go and rolls back;
//   3. a call that even then has not returned within a short grace is left
//      on its thread: the connection counts as lost and the caller goes on.
//      That thread alone lets go of the connection's handles, once the
//      driver returns (or the process ends).
//
// Finding the connection's sockets is each platform's own half
// (request_bounds_posix.cpp, request_bounds_windows.cpp). Several
// connections of one process (tests run many side by side) keep apart by
// the server's port and by the sockets that existed before their login.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

namespace velmora {

// The statement a call is running, where a watcher can cancel it.
class statement_slot {
public:
    // Around the statement's life: hold right after it was allocated,
    // release before it is freed.
    void hold(void* statement);
    void release();
    // SQLCancel on the statement held now, if any.
    void cancel();

private:
    std::mutex mutex_;
    void* statement_ = nullptr;
};

class request_bounds {
public:
    using duration = std::chrono::milliseconds;

    // When to step in on one call, counted from its start.
    struct plan {
        duration cancel_at{0};  // SQLCancel its statement; 0: never (no statement)
        duration give_up_at;    // shut the connection's sockets
        duration grace;         // then wait so long for the call to return
    };
    enum class ending {
        returned,     // within its bound
        given_up,     // past its bound: the connection was cut, and the call returned
        left_behind,  // past its bound and its grace: still running on its thread
    };

    // keep: what the calls use (the connection's handles), let go of on
    // destruction, or by the connection's thread once a call was left behind.
    explicit request_bounds(std::shared_ptr<void> keep);
    ~request_bounds();
    request_bounds(const request_bounds&) = delete;
    request_bounds& operator=(const request_bounds&) = delete;

    // Runs call on the connection's thread and waits for it as planned. The
    // call gets the slot for its statement. Once a call was left behind,
    // nothing more runs and every later run answers left_behind at once.
    ending run(const plan& p, std::function<void(statement_slot&)> call);
    bool left_behind() const { return left_behind_; }

    // Around the login: the sockets opened between the two (connected to
    // peer_port, when it is not 0) are the connection's. While a login
    // runs, every such socket opened since begin_login is cut at its bound.
    void begin_login(int peer_port);
    void end_login(bool connected);
    // Ends the connection now: its sockets are shut down (not closed, so the
    // driver's descriptors stay valid and its next call fails). False when
    // no socket of it could be found.
    bool cut_now();

    // The platform's half: the process's sockets, which of them is a
    // connected TCP socket (to peer_port when it is not 0), and shutting
    // one down both ways.
    using socket_id = std::intptr_t;
    static std::set<socket_id> open_sockets();
    static bool connected_tcp(socket_id s, int peer_port);
    static void shut(socket_id s);

private:
    struct shared;
    static void serve(std::shared_ptr<shared> s);
    std::set<socket_id> new_tcp_sockets() const;
    bool cut();

    std::shared_ptr<shared> shared_;
    std::thread thread_;
    bool left_behind_ = false;

    // Sockets: touched by the caller's thread only.
    bool logging_in_ = false;
    int peer_port_ = 0;
    std::set<socket_id> before_login_;
    std::set<socket_id> connection_;
};

}  // namespace velmora
