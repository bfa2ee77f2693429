#pragma once
// The TDS listener: one thread accepts, and each client connection gets a
// thread of its own that serves it (client_session.h).

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "sqlserver-standin/engine.h"
#include "sqlserver-standin/journal.h"
#include "sqlserver-standin/options.h"

namespace standin {

class server {
public:
    // The engine, options and journal must outlive the server.
    server(engine& eng, const server_options& opts, journal& jrnl);
    ~server();
    server(const server&) = delete;
    server& operator=(const server&) = delete;

    bool listen(std::string& error);  // binds and listens on opts.bind:opts.port
    int port() const { return port_; }
    void start();  // accepts in a background thread
    void stop();   // stops accepting, disconnects every client and waits for them

    int active_connections() const { return active_.load(); }

private:
    void accept_loop();
    void serve(int fd, int conn_id);

    engine& engine_;
    const server_options& opts_;
    journal& journal_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> next_conn_{1};
    std::atomic<int> active_{0};
    std::mutex clients_mutex_;
    std::set<int> client_fds_;
};

}  // namespace standin
