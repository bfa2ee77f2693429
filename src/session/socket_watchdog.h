#pragma once
// Bounds a blocking client call that the driver itself does not bound.
//
// FreeTDS's login timeout does not cover the pre-login exchange: a server that
// accepts the TCP connection and never answers holds SQLDriverConnect forever.
// The watchdog notes the process's open sockets when it is armed; when the
// call has not returned by the deadline, it shuts down every TCP socket opened
// since, so the driver's blocked read ends with a communication failure.
// Elsewhere (the Microsoft drivers honour their login timeout) it does nothing.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace velmora {

class socket_watchdog {
public:
    explicit socket_watchdog(std::chrono::milliseconds deadline);
    ~socket_watchdog();  // disarms; never shuts down anything after this
    socket_watchdog(const socket_watchdog&) = delete;
    socket_watchdog& operator=(const socket_watchdog&) = delete;

    // True when the deadline passed and the watchdog cut the call short.
    bool fired() const;

private:
    void watch(std::chrono::milliseconds deadline);

    std::set<int> sockets_before_;
    mutable std::mutex mutex_;
    std::condition_variable done_cv_;
    bool done_ = false;
    bool fired_ = false;
    std::thread thread_;
};

}  // namespace velmora
