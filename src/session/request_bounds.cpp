#include "session/request_bounds.h"

// The ODBC headers need the system's types first.
#include "common/os_headers.h"
#include <sql.h>

namespace velmora {

void statement_slot::hold(void* statement) {
    std::lock_guard<std::mutex> lock(mutex_);
    statement_ = statement;
}

void statement_slot::release() {
    std::lock_guard<std::mutex> lock(mutex_);
    statement_ = nullptr;
}

void statement_slot::cancel() {
    // Held while the driver cancels: the statement cannot be freed under it.
    std::lock_guard<std::mutex> lock(mutex_);
    if (statement_) SQLCancel(static_cast<SQLHSTMT>(statement_));
}

// What the connection's thread and its callers share. It outlives the
// request_bounds object where a call was left behind.
struct request_bounds::shared {
    std::mutex mutex;
    std::condition_variable cv;
    std::function<void()> job;  // waiting for the thread
    bool done = true;           // the last job returned
    bool stopping = false;
    bool abandoned = false;     // the running job was left behind
    statement_slot slot;
    std::shared_ptr<void> keep;
};

request_bounds::request_bounds(std::shared_ptr<void> keep) : shared_(std::make_shared<shared>()) {
    shared_->keep = std::move(keep);
}

request_bounds::~request_bounds() {
    // A thread left behind is detached already: it lets go of the handles itself.
    if (!thread_.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->cv.notify_all();
    thread_.join();
}

request_bounds::ending request_bounds::run(const plan& p, std::function<void(statement_slot&)> call) {
    if (left_behind_) return ending::left_behind;
    using clock = std::chrono::steady_clock;
    const auto start = clock::now();
    if (!thread_.joinable()) thread_ = std::thread(serve, shared_);
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->done = false;
    shared_->job = [s = shared_.get(), call = std::move(call)] { call(s->slot); };
    shared_->cv.notify_all();
    auto finished = [this] { return shared_->done; };

    if (p.cancel_at.count() > 0 && !shared_->cv.wait_until(lock, start + p.cancel_at, finished)) {
        // From a helper: a driver's SQLCancel may wait itself, and the clock must not.
        std::thread([s = shared_] { s->slot.cancel(); }).detach();
    }
    if (shared_->cv.wait_until(lock, start + p.give_up_at, finished)) return ending::returned;

    lock.unlock();
    cut();
    lock.lock();
    const auto end = clock::now() + p.grace;
    while (!finished() && clock::now() < end) {
        shared_->cv.wait_until(lock, std::min(end, clock::now() + std::chrono::milliseconds(200)), finished);
        if (finished()) break;
        // A login's socket that was still connecting is cut once it has.
        lock.unlock();
        cut();
        lock.lock();
    }
    if (finished()) return ending::given_up;
    shared_->abandoned = true;
    lock.unlock();
    thread_.detach();
    left_behind_ = true;
    return ending::left_behind;
}

// The connection's thread: runs one job at a time until stopped, or until
// the job it ran was left behind.
void request_bounds::serve(std::shared_ptr<shared> s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    for (;;) {
        s->cv.wait(lock, [&] { return s->stopping || s->job; });
        if (!s->job) return;
        std::function<void()> job = std::move(s->job);
        s->job = nullptr;
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        s->done = true;
        s->cv.notify_all();
        if (s->abandoned) {
            // Nobody waits for this thread any more; the connection's handles
            // go with it, freed outside the lock.
            std::shared_ptr<void> keep = std::move(s->keep);
            lock.unlock();
            keep.reset();
            return;
        }
    }
}

std::set<request_bounds::socket_id> request_bounds::new_tcp_sockets() const {
    std::set<socket_id> out;
    for (socket_id s : open_sockets())
        if (!before_login_.count(s) && connected_tcp(s, peer_port_)) out.insert(s);
    return out;
}

void request_bounds::begin_login(int peer_port) {
    before_login_ = open_sockets();
    connection_.clear();
    peer_port_ = peer_port;
    logging_in_ = true;
}

void request_bounds::end_login(bool connected) {
    connection_ = connected ? new_tcp_sockets() : std::set<socket_id>{};
    logging_in_ = false;
}

bool request_bounds::cut() {
    const std::set<socket_id> targets = logging_in_ ? new_tcp_sockets() : connection_;
    for (socket_id s : targets) shut(s);
    // Shut once: the driver closes them later, and their numbers may then
    // name another connection's sockets.
    if (!logging_in_) connection_.clear();
    return !targets.empty();
}

bool request_bounds::cut_now() { return cut(); }

}  // namespace velmora
