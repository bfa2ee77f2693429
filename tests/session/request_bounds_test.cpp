// The ladder of request_bounds without a server: a call that comes back
// after its connection was cut, and one that never comes back, which is left
// on its thread with the handles it uses, freed once it returns.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "session/request_bounds.h"
#include "support/bound_checks.h"

using velmora::request_bounds;
using velmora::statement_slot;
using namespace std::chrono_literals;

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) { return test_support::seconds_of(clock_type::now() - t0); }

TEST(request_bounds, a_call_within_its_bound_returns_and_the_next_one_runs) {
    request_bounds bounds(nullptr);
    int runs = 0;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(bounds.run({0ms, 5s, 1s}, [&](statement_slot&) { ++runs; }), request_bounds::ending::returned);
    EXPECT_EQ(runs, 3);
}

TEST(request_bounds, a_call_that_comes_back_only_after_its_bound_was_given_up) {
    request_bounds bounds(nullptr);
    const auto t0 = clock_type::now();
    EXPECT_EQ(bounds.run({0ms, 200ms, 5s}, [](statement_slot&) { std::this_thread::sleep_for(700ms); }),
              request_bounds::ending::given_up);
    EXPECT_GE(seconds_since(t0), 0.7);
    EXPECT_FALSE(bounds.left_behind());
}

TEST(request_bounds, a_call_that_never_comes_back_is_left_behind_with_what_it_uses) {
    auto handles = std::make_shared<int>(42);
    std::weak_ptr<int> watched = handles;
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    {
        request_bounds bounds(std::move(handles));
        const auto t0 = clock_type::now();
        EXPECT_EQ(bounds.run({0ms, 300ms, 300ms}, [answered](statement_slot&) { answered.wait(); }),
                  request_bounds::ending::left_behind);
        const double took = seconds_since(t0);
        EXPECT_GE(took, 0.6);
        EXPECT_LT(took, 0.6 + test_support::bound_margin_seconds);
        EXPECT_TRUE(bounds.left_behind());
        // Nothing more reaches the connection, and nothing waits.
        bool ran = false;
        const auto t1 = clock_type::now();
        EXPECT_EQ(bounds.run({0ms, 5s, 5s}, [&](statement_slot&) { ran = true; }),
                  request_bounds::ending::left_behind);
        EXPECT_LT(seconds_since(t1), test_support::at_once_seconds);
        EXPECT_FALSE(ran);
    }
    // The call still runs: its handles live on with it, however long.
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(watched.expired());
    answer.set_value();
    const auto t2 = clock_type::now();
    while (!watched.expired() && seconds_since(t2) < 10) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(watched.expired()) << "the call's thread let go of the handles once it returned";
}

}  // namespace
