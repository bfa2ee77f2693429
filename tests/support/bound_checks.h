#pragma once
// What a silent server may cost, checked on the requests of one session as
// it reports them: one wait of one bound, then every call fails at once.
// Whole runs are not timed: on a busy machine the work around the wait
// takes what it takes, while the wait itself and the calls after it keep
// their bounds whatever the load.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "session/database_session.h"

namespace test_support {

using request_event = velmora::database_session::request_event;

// What a loaded machine may add to a wait before the session notices its end.
constexpr double bound_margin_seconds = 5.0;
// A call that does not wait for the server takes no time worth the name;
// this leaves room for any load.
constexpr double at_once_seconds = 1.0;

inline double seconds_of(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The requests of one session, in order (threads of their own may read it
// once the session is done).
class request_log {
public:
    void watch(velmora::database_session& session) {
        session.on_request = [this](const request_event& e) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(e);
        };
    }
    std::vector<request_event> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<request_event> events_;
};

inline std::string describe(const std::vector<request_event>& events) {
    std::string out;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const auto& e = events[i];
        out += "  request " + std::to_string(i + 1) + ": " + std::to_string(seconds_of(e.took)) + " s" +
               (e.refused ? ", refused" : ", bound " + std::to_string(seconds_of(e.bound)) + " s") +
               (e.broke ? ", broke the session" : "") + "\n";
    }
    return out;
}

// "waited 6.1 s (its bound 8.0 s); every later call at once (12, the
// longest 0.001 s)": what the log of a test run shows of a silent server.
inline std::string summary(const std::vector<request_event>& events) {
    std::size_t i = 0;
    while (i < events.size() && !events[i].broke) ++i;
    if (i == events.size()) return "no request broke the session";
    char text[160];
    double longest = 0;
    for (std::size_t j = i + 1; j < events.size(); ++j) longest = std::max(longest, seconds_of(events[j].took));
    std::snprintf(text, sizeof text, "waited %.1f s (its bound %.1f s); every later call at once (%zu, the longest %.3f s)",
                  seconds_of(events[i].took), seconds_of(events[i].bound), events.size() - i - 1, longest);
    return text;
}

// Exactly one request broke the session; it waited at least `earliest`
// seconds (nothing gives up sooner) and no longer than its bound allows;
// every request after it ended at once.
inline void expect_one_bounded_wait(const std::vector<request_event>& events, double earliest) {
    std::size_t breaking = events.size();
    int breaks = 0;
    for (std::size_t i = 0; i < events.size(); ++i)
        if (events[i].broke) {
            ++breaks;
            if (breaking == events.size()) breaking = i;
        }
    ASSERT_EQ(breaks, 1) << describe(events);
    const request_event& wait = events[breaking];
    EXPECT_GE(seconds_of(wait.took), earliest) << "given up before its bound\n" << describe(events);
    EXPECT_LE(seconds_of(wait.took), seconds_of(wait.bound) + bound_margin_seconds)
        << "waited past its bound\n" << describe(events);
    for (std::size_t i = breaking + 1; i < events.size(); ++i)
        EXPECT_LT(seconds_of(events[i].took), at_once_seconds)
            << "request " << i + 1 << " waited after the session broke\n" << describe(events);
}

}  // namespace test_support
