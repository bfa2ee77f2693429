// What the runner sends, and in which order, checked on a recording session:
// each object's drop and create in a transaction of their own, the failing
// one rolled back, nothing after a lost connection.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/ui_services.h"
#include "package/package_format.h"
#include "package/package_runner.h"
#include "support/recording_executor.h"
#include "support/recording_ui.h"

namespace {

using velmora::run_outcome;
using strings = std::vector<std::string>;

std::string script(const std::string& name) {
    return "if exists (select * from sysobjects where name = '" + name + "') drop procedure " + name +
           "\r\nGO\r\nCREATE PROCEDURE " + name + "\r\nAS\r\nBEGIN\r\nselect 1\r\nEND\r\n";
}
std::string drop_of(const std::string& name) {
    return "if exists (select * from sysobjects where name = '" + name + "') drop procedure " + name;
}
std::string create_of(const std::string& name) {
    return "CREATE PROCEDURE " + name + "\r\n with ENCRYPTION AS\r\nBEGIN\r\nselect 1\r\nEND\r\n";
}

const std::string three = velmora::package::encode_package(
    {{"p_a_MS.sql", script("p_a")}, {"p_b_MS.sql", script("p_b")}, {"p_c_MS.sql", script("p_c")}});

TEST(runner_order, each_object_is_dropped_and_created_in_a_transaction_of_its_own) {
    test_support::recording_executor session;
    test_support::recording_ui ui;
    const run_outcome o = velmora::run_package_bytes(three, session, ui);
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    EXPECT_EQ(session.requests, (strings{"<autocommit off>", drop_of("p_a"), create_of("p_a"), "<commit>",
                                         drop_of("p_b"), create_of("p_b"), "<commit>", drop_of("p_c"),
                                         create_of("p_c"), "<commit>", "<autocommit on>"}));
    EXPECT_TRUE(session.autocommit);
}

TEST(runner_order, a_session_already_in_a_transaction_keeps_its_mode) {
    test_support::recording_executor session;
    session.autocommit = false;
    test_support::recording_ui ui;
    velmora::run_package_bytes(three, session, ui);
    EXPECT_EQ(session.requests.front(), drop_of("p_a"));
    EXPECT_EQ(session.requests.back(), "<commit>");
    EXPECT_FALSE(session.autocommit);
}

TEST(runner_order, a_failing_create_is_rolled_back_and_ends_the_run) {
    test_support::recording_executor session;
    session.answer = [](const std::string& batch) {
        return batch.rfind("CREATE PROCEDURE p_b", 0) == 0 ? std::string("p_b is broken") : std::string();
    };
    test_support::recording_ui ui;
    const run_outcome o = velmora::run_package_bytes(three, session, ui);
    EXPECT_EQ(o.how, run_outcome::ending::create_failed);
    EXPECT_EQ(session.requests, (strings{"<autocommit off>", drop_of("p_a"), create_of("p_a"), "<commit>",
                                         drop_of("p_b"), create_of("p_b"), "<rollback>", "<autocommit on>"}));
    EXPECT_EQ(ui.boxes().size(), 2u);
    EXPECT_EQ(ui.beeps(), 1);
}

TEST(runner_order, a_refused_commit_ends_the_run_with_the_object_unknown) {
    // It may or may not have taken effect: no success either way.
    test_support::recording_executor session;
    session.answer = [n = 0](const std::string& r) mutable {
        return std::string(r == "<commit>" && ++n == 2 ? "commit refused" : "");
    };
    test_support::recording_ui ui;
    const run_outcome o = velmora::run_package_bytes(three, session, ui);
    EXPECT_EQ(o.how, run_outcome::ending::create_failed);
    ASSERT_EQ(o.records.size(), 2u);
    EXPECT_EQ(o.records.back().what, velmora::record_result::action::failed);
    EXPECT_TRUE(o.records.back().object_unknown);
    ASSERT_EQ(ui.boxes().size(), 2u);
    EXPECT_EQ(ui.boxes()[1].second.rfind("更新失败！数据库中该对象是新是旧无法确认", 0), 0u) << ui.boxes()[1].second;
}

TEST(runner_order, a_failing_drop_still_sends_the_create) {
    test_support::recording_executor session;
    session.answer = [](const std::string& batch) {
        return batch.find("drop procedure p_a") != std::string::npos ? std::string("no such object") : std::string();
    };
    test_support::recording_ui ui;
    const run_outcome o = velmora::run_package_bytes(three, session, ui);
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    EXPECT_EQ(o.executed, 3);
}

TEST(runner_order, a_connection_lost_at_the_drop_sends_nothing_more) {
    test_support::recording_executor session;
    session.breaks_at = [](const std::string& batch) { return batch.find("drop procedure p_b") != std::string::npos; };
    test_support::recording_ui ui;
    const run_outcome o = velmora::run_package_bytes(three, session, ui);
    EXPECT_EQ(o.how, run_outcome::ending::create_failed);
    // No create after the lost drop, and no rollback to a server that is gone:
    // it rolls back by itself.
    EXPECT_EQ(session.requests, (strings{"<autocommit off>", drop_of("p_a"), create_of("p_a"), "<commit>"}));
    ASSERT_FALSE(o.records.empty());
    EXPECT_EQ(o.records.back().name, "p_b_MS.sql");
    EXPECT_EQ(o.records.back().detail, "Communication link failure");
}

TEST(runner_order, records_that_can_never_run_send_nothing) {
    test_support::recording_executor session;
    std::string with_nul = script("p_nul");
    with_nul.insert(with_nul.find("select 1"), 1, '\0');
    const std::string pkg = velmora::package::encode_package(
        {{"p_nul_MS.sql", with_nul}, {"p_other_ANY5.sql", script("p_other")}, {"p_bad_MS.sql", "CREATE nothing"}});
    test_support::recording_ui ui;
    const run_outcome o = velmora::run_package_bytes(pkg, session, ui);
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    EXPECT_EQ(o.refused, 2);
    EXPECT_EQ(o.skipped, 1);
    EXPECT_TRUE(session.requests.empty());
    ASSERT_EQ(o.records.size(), 3u);
    EXPECT_EQ(o.records[0].detail, "holds a NUL byte");
    EXPECT_EQ(ui.boxes().front().second, "p_nul_MS.sql 语法错误！");
}

}  // namespace
