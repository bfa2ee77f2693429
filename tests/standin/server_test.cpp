// The stand-in as a process and as a TCP server: start-up, shutdown, and
// clients that misbehave on the wire.
#include <gtest/gtest.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <thread>

#include "client_tools.h"
#include "raw_tds.h"
#include "support/standin_process.h"

namespace {

using namespace standin_test;
using nlohmann::json;

TEST(StandinProcess, HelpAndBadArgumentsExplainThemselves) {
    auto help = run_command({STANDIN_PATH, "--help"});
    EXPECT_EQ(help.exit_code, 0);
    for (const char* option : {"--port", "--bind", "--fixture", "--login", "--journal", "--dump", "--fail",
                               "--drop-after", "--drop-at", "--silent-at", "--delay-ms"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;

    auto bad = run_command({STANDIN_PATH, "--port", "0", "--frobnicate"});
    EXPECT_EQ(bad.exit_code, 2);
    EXPECT_NE(bad.err.find("--frobnicate"), std::string::npos) << bad.err;
    EXPECT_EQ(bad.out, "");
}

TEST(StandinProcess, FailingFixtureStopsStartUpWithTheReason) {
    auto missing = run_command({STANDIN_PATH, "--port", "0", "--fixture", "/nonexistent/f.sql"}, "", {}, 10000);
    EXPECT_NE(missing.exit_code, 0);
    EXPECT_EQ(missing.out.find("listening on"), std::string::npos);
    EXPECT_NE(missing.err.find("/nonexistent/f.sql"), std::string::npos) << missing.err;
}

TEST(StandinProcess, PortInUseIsReported) {
    standin_process first;
    auto second = run_command({STANDIN_PATH, "--port", std::to_string(first.port())}, "", {}, 10000);
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_NE(second.err.find(std::to_string(first.port())), std::string::npos) << second.err;
}

TEST(StandinProcess, DumpsOnSigtermAndExitsZero) {
    standin_process s;
    std::string dump = s.stop_and_dump();
    EXPECT_TRUE(WIFEXITED(s.exit_status()) && WEXITSTATUS(s.exit_status()) == 0);
    auto doc = json::parse(dump);
    EXPECT_TRUE(doc.at("databases").is_object()) << dump;
}

TEST(StandinProcess, DumpsOnSigintToo) {
    standin_process s;
    kill(s.pid(), SIGINT);
    for (int i = 0; i < 1000 && s.running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(s.running());
    EXPECT_TRUE(WIFEXITED(s.exit_status()) && WEXITSTATUS(s.exit_status()) == 0);
    EXPECT_NO_THROW(json::parse(read_file_text(s.dump_path())));
}

// Reads tokens of a reply far enough to find the first ERROR/INFO number and
// the status of the last DONE.
struct reply_summary {
    std::vector<int> messages;
    int last_done_status = -1;
};
reply_summary summarize(const std::string& p) {
    reply_summary s;
    auto u16 = [&](std::size_t at) { return static_cast<unsigned char>(p[at]) | (static_cast<unsigned char>(p[at + 1]) << 8); };
    for (std::size_t i = 0; i < p.size();) {
        unsigned char t = static_cast<unsigned char>(p[i]);
        if (t == 0xAA || t == 0xAB) {
            s.messages.push_back(u16(i + 3) | (u16(i + 5) << 16));
            i += 3 + u16(i + 1);
        } else if (t == 0xE3 || t == 0xAD) {
            i += 3 + u16(i + 1);
        } else if (t == 0xFD || t == 0xFE || t == 0xFF) {
            s.last_done_status = u16(i + 1);
            i += 13;
        } else {
            break;  // result tokens: not needed here
        }
    }
    return s;
}

TEST(StandinWire, LoginAnswersAsSqlServerDoes) {
    standin_process s;
    raw_tds c(s.port());
    ASSERT_TRUE(c.connected());
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_prelogin, std::string("\xFF", 1)));
    ASSERT_TRUE(c.read_reply(reply));
    ASSERT_TRUE(c.send_message(standin::tds::pkt_login7, login7_body("velmora", "quorbin", "")));
    ASSERT_TRUE(c.read_reply(reply));
    auto sum = summarize(reply);
    EXPECT_EQ(sum.messages, (std::vector<int>{5701, 5703}));
    EXPECT_EQ(sum.last_done_status, 0);
    std::size_t ack = reply.find('\xAD');
    ASSERT_NE(ack, std::string::npos);
    EXPECT_EQ(reply.substr(ack + 3, 5), std::string("\x01\x74\x00\x00\x04", 5));  // SQL interface, TDS 7.4
    // The collation: Chinese_PRC_CI_AS.
    EXPECT_NE(reply.find(std::string("\xE3\x08\x00\x07\x05\x04\x08\xD0\x00\x00\x00", 11)), std::string::npos);
}

TEST(StandinWire, WrongPasswordGetsErrorThenClose) {
    standin_process s;
    raw_tds c(s.port());
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_login7, login7_body("velmora", "nope", "")));
    ASSERT_TRUE(c.read_reply(reply));
    auto sum = summarize(reply);
    EXPECT_EQ(sum.messages, (std::vector<int>{18456}));
    EXPECT_EQ(sum.last_done_status, 0x0002);
    EXPECT_EQ(reply.find('\xAD'), std::string::npos);  // no LOGINACK
    EXPECT_TRUE(c.closed_by_server());
}

TEST(StandinWire, AttentionIsAcknowledged) {
    standin_process s;
    raw_tds c(s.port());
    ASSERT_TRUE(c.login());
    ASSERT_TRUE(c.send_message(standin::tds::pkt_attention, ""));
    std::string reply;
    ASSERT_TRUE(c.read_reply(reply));
    EXPECT_EQ(summarize(reply).last_done_status, 0x0020);
}

// The application lock procedures answer as procedures do: statements
// inside end in DONEINPROC, then RETURNSTATUS and DONEPROC, then the rest of
// the batch.
TEST(StandinWire, ApplockProceduresEndWithReturnStatusAndDoneproc) {
    standin_process s;
    raw_tds c(s.port());
    ASSERT_TRUE(c.login());
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch,
                               sql_batch_body("exec sp_releaseapplock @Resource = N'r', @LockOwner = 'Session' select 1")));
    ASSERT_TRUE(c.read_reply(reply));
    auto error = reply.find('\xAA');
    auto inproc = reply.find(std::string("\xFF\x03\x00", 3));  // DONEINPROC, MORE | ERROR
    auto status = reply.find(std::string("\x79\x19\xFC\xFF\xFF\xFE\x01\x00", 8));  // -999, DONEPROC MORE
    auto result = reply.find('\x81');
    ASSERT_NE(error, std::string::npos);
    EXPECT_LT(error, inproc);
    EXPECT_LT(inproc, status);
    EXPECT_LT(status, result);
    EXPECT_NE(result, std::string::npos);

    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch,
                               sql_batch_body("exec sp_getapplock @Resource = N'r', @LockMode = 'Shared', @LockOwner = 'Session'")));
    ASSERT_TRUE(c.read_reply(reply));
    // Granted: status 0 and a final DONEPROC.
    EXPECT_EQ(reply, std::string("\x79\x00\x00\x00\x00\xFE\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00", 18));
}

TEST(StandinWire, RequestsBeforeLoginOrBrokenHeadersEndTheConnection) {
    standin_process s;
    {
        raw_tds c(s.port());
        ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch, sql_batch_body("select 1")));
        EXPECT_TRUE(c.closed_by_server());
    }
    {
        raw_tds c(s.port());
        ASSERT_TRUE(c.login());
        ASSERT_TRUE(c.send_raw(std::string("\x01\x01\x00\x04\x00\x00\x01\x00", 8)));  // length below a header
        EXPECT_TRUE(c.closed_by_server());
    }
    {
        raw_tds c(s.port());
        ASSERT_TRUE(c.login());
        ASSERT_TRUE(c.send_message(0x55, "??"));  // no such request type
        EXPECT_TRUE(c.closed_by_server());
    }
    raw_tds after(s.port());
    EXPECT_TRUE(after.login());
}

TEST(StandinWire, ClientVanishingMidPacketLeavesTheServerServing) {
    standin_process s;
    for (int round = 0; round < 3; ++round) {
        raw_tds c(s.port());
        ASSERT_TRUE(c.login());
        std::uint8_t id = 0;
        std::string packet = standin::tds::packetize(standin::tds::pkt_sql_batch,
                                                     sql_batch_body("select * from t_sys_system"), 4096, 0, id);
        ASSERT_TRUE(c.send_raw(packet.substr(0, packet.size() / 2)));
        c.close();
    }
    {
        raw_tds c(s.port());  // half a LOGIN7
        std::uint8_t id = 0;
        std::string packet = standin::tds::packetize(standin::tds::pkt_login7, login7_body("velmora", "quorbin", ""),
                                                     4096, 0, id);
        ASSERT_TRUE(c.send_raw(packet.substr(0, 30)));
    }
    {
        raw_tds c(s.port());  // the first packet of a two-packet batch only
        ASSERT_TRUE(c.login());
        std::uint8_t id = 0;
        std::string packets = standin::tds::packetize(standin::tds::pkt_sql_batch,
                                                      sql_batch_body(std::string(600, ' ') + "select 1"), 512, 0, id);
        ASSERT_TRUE(c.send_raw(packets.substr(0, 512)));
    }
    auto r = run_tsql(s, "select 1\ngo\nexit\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(s.running());
}

TEST(StandinWire, RepliesRespectTheNegotiatedPacketSize) {
    const std::string long_message(700, 'm');
    standin_process s({{}, {"--fail", "boom=50001:" + long_message}});
    raw_tds c(s.port());
    std::string reply;
    ASSERT_TRUE(c.send_message(standin::tds::pkt_login7, login7_body("velmora", "quorbin", "", 512), 512));
    ASSERT_TRUE(c.read_reply(reply));
    ASSERT_TRUE(c.send_message(standin::tds::pkt_sql_batch, sql_batch_body("boom"), 512));
    std::string payload;
    std::vector<std::size_t> lengths;
    ASSERT_TRUE(c.read_reply(payload, 5000, &lengths));
    ASSERT_GE(lengths.size(), 3u);  // 1,400 bytes of text alone
    for (std::size_t len : lengths) EXPECT_LE(len, 512u);
    auto sum = summarize(payload);
    EXPECT_EQ(sum.messages, (std::vector<int>{50001}));
    EXPECT_NE(payload.find(standin::tds::utf8_to_utf16le(long_message)), std::string::npos);
}

TEST(StandinWire, ManyClientsAtOnce) {
    standin_process s;
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int i = 0; i < 16; ++i)
        threads.emplace_back([&] {
            raw_tds c(s.port());
            if (c.login()) ++ok;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 16);
    EXPECT_TRUE(s.running());
}

}  // namespace
