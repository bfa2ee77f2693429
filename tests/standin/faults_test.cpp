// Fault injection: --fail, --drop-after and --delay-ms, seen by real clients.
#include <gtest/gtest.h>

#include <chrono>

#include "client_tools.h"
#include "json.h"
#include "odbc_client.h"
#include "standin_process.h"

namespace {

using namespace standin_test;

TEST(StandinFaults, FailRuleReplacesTheMatchingBatch) {
    standin_process s({{shop_fixture()},
                       {"--fail", "p_two=50000:boom", "--fail", "delete\\s+from\\s+t_item=547:The DELETE statement conflicted."}});
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();

    auto hit = c.exec("create procedure p_two as select 2");
    EXPECT_FALSE(hit.ok);
    ASSERT_EQ(hit.diags.size(), 1u) << hit.all_text();
    EXPECT_EQ(hit.diags[0].native, 50000);
    EXPECT_NE(hit.diags[0].text.find("boom"), std::string::npos);

    auto second = c.exec("delete   from t_item where item_id = 2");
    EXPECT_TRUE(second.has_error(547)) << second.all_text();
    // Refused, not run.
    EXPECT_EQ(c.exec("select count(*) from t_item where item_id = 2").scalar(), "1");
    EXPECT_TRUE(c.exec("select 1").ok);

    auto lines = s.journal_lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(parse_json(lines[0])["sql"].as_string(), "create procedure p_two as select 2");
    EXPECT_EQ(parse_json(lines[0])["error"].as_int(), 50000);
    EXPECT_EQ(parse_json(lines[1])["error"].as_int(), 547);
    EXPECT_EQ(parse_json(lines[3])["error"].as_int(), 0);

    // The procedure never came to exist.
    auto dump = parse_json(s.stop_and_dump());
    EXPECT_EQ(dump["databases"]["shop"]["objects"].size(), 0u) << dump["databases"]["shop"].dump();
}

TEST(StandinFaults, FailRuleAppliesToPreparedStatementsToo) {
    standin_process s({{shop_fixture()}, {"--fail", "item_id = 2=50001:no pears"}});
    auto r = run_isql(s, "select item_name from t_item where item_id = 2\nselect item_name from t_item where item_id = 1\n",
                      "shop");
    EXPECT_NE((r.out + r.err).find("no pears"), std::string::npos) << r.out << r.err;
    auto lines = s.journal_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(parse_json(lines[0])["error"].as_int(), 50001);
    EXPECT_EQ(parse_json(lines[1])["error"].as_int(), 0);
}

TEST(StandinFaults, DropAfterClosesEachConnectionAtItsNthBatch) {
    standin_process s({{shop_fixture()}, {"--drop-after", "3"}});
    for (int round = 0; round < 2; ++round) {
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        // Transaction requests are not batches: they do not bring the drop nearer.
        ASSERT_TRUE(c.set_autocommit(false));
        ASSERT_TRUE(c.set_autocommit(true));
        EXPECT_TRUE(c.exec("select 1").ok);
        EXPECT_TRUE(c.exec("select 2").ok);
        auto third = c.exec("select 3");
        EXPECT_FALSE(third.ok);
        EXPECT_TRUE(third.results.empty());
        bool link_failure = false;
        for (const auto& d : third.diags)  // FreeTDS: "Unexpected EOF from the server"
            link_failure = link_failure || d.state == "08S01" || d.native == 20017;
        EXPECT_TRUE(link_failure) << third.all_text();
        EXPECT_FALSE(c.exec("select 4").ok);  // the connection is gone for good
    }
    // Dropped batches never ran, so they are not in the journal.
    int batches = 0;
    for (const auto& line : s.journal_lines()) {
        std::string sql = parse_json(line)["sql"].as_string();
        if (sql[0] != '<') ++batches;
        EXPECT_NE(sql, "select 3");
    }
    EXPECT_EQ(batches, 4);
}

TEST(StandinFaults, DelayHoldsEveryReply) {
    standin_process s({{}, {"--delay-ms", "300"}});
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string())) << c.last_text();
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.exec("select 1").ok);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(300));
}

// A query timeout makes the driver send ATTENTION while the reply is held
// back; the server acknowledges it and the connection stays usable.
TEST(StandinFaults, QueryTimeoutCancelsAndTheConnectionLivesOn) {
    // The delay is far above the timeout so that a loaded machine cannot let the
    // reply win the race.
    standin_process s({{}, {"--delay-ms", "4000"}});
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string())) << c.last_text();
    c.set_query_timeout(1);
    auto timed_out = c.exec("select 1");
    EXPECT_FALSE(timed_out.ok);
    bool timeout_state = false;
    for (const auto& d : timed_out.diags) timeout_state = timeout_state || d.state == "HYT00";
    EXPECT_TRUE(timeout_state) << timed_out.all_text();
    c.set_query_timeout(0);
    EXPECT_EQ(c.exec("select 2").scalar(), "2");
    // The cancelled batch never ran.
    auto lines = s.journal_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(parse_json(lines[0])["sql"].as_string(), "select 2");
}

}  // namespace
