// The fault matrix's silent server, run inside this process: db_upgrade_cli's
// start and command against a demo server that stops answering at one
// request of the two-pass upgrade. Whichever request it is, the run waits
// one bound and then every call fails at once; it ends with the lost
// connection's message (or success, when all its work was committed
// already), loses nothing and touches no other database.
//
// The session's bounds are shortened, so that a test can wait for many
// silent servers side by side. On Linux every request of the upgrade goes
// silent in turn; the 32-bit Windows program (under Wine, maybe emulated)
// takes each kind of request in both passes.
#include "fault_matrix_support.h"

#include <cstdio>
#include <memory>
#include <thread>

#include "common/app_names.h"
#include "session/connect_db.h"
#include "support/bound_checks.h"
#include "support/recording_ui.h"

using namespace upgrade_test;

namespace {

#ifdef _WIN32
constexpr int login_timeout = 8;
constexpr int query_timeout = 3;
#else
constexpr int login_timeout = 3;
constexpr int query_timeout = 2;
#endif

// A create refused in both passes: each pass rolls back its record.
const std::string refused_create = "^CREATE PROCEDURE p_MS_stock_sum\\b=50000:p_MS_stock_sum is broken";

struct silent_case {
    std::string what;
    std::vector<std::string> standin_args;
};

// The start and the command as db_upgrade_cli runs them, with the shortened
// bounds. Reported as the CLI would: its exit status, and the messages.
case_result run_in_process(standin_test::standin_process& server, const std::string& run_dir,
                           test_support::request_log& log) {
    velmora::database_session sqlca;
    velmora::apply_login_settings(sqlca);
    sqlca.server_name = server.server_name();
    sqlca.database_name = "velmora";
    sqlca.login_timeout_seconds = login_timeout;
    sqlca.query_timeout_seconds = query_timeout;
    log.watch(sqlca);
    test_support::recording_ui ui;
    case_result r;
    const auto t0 = std::chrono::steady_clock::now();
    velmora::special_database_probe special;
    if (velmora::connect_and_probe(sqlca, ui, special)) {
        const velmora::upgrade_report report = velmora::run_upgrade_command(sqlca, ui, {run_dir, true, special});
        sqlca.disconnect();
        r.cli.exit_code = report.failed() ? 1 : 0;
    } else {
        r.cli.exit_code = 2;
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    for (const auto& [title, text] : ui.boxes()) r.cli.out += title + ": " + text + "\n";
    if (!ui.boxes().empty()) r.last_message = ui.boxes().back().second;
    return r;
}

// The requests of a run that meets no silence, as the server journalled them.
std::vector<journal_entry> requests_of(const std::vector<std::string>& standin_args, const std::string& run_dir) {
    standin_test::standin_process server(demo_server(standin_args));
    test_support::request_log log;
    run_in_process(server, run_dir, log);
    return journal(server);
}

// Request n (from 1) of journal, silent: the server stops answering there.
silent_case silent_at(const std::string& what, std::size_t n, std::vector<std::string> args = {}) {
    args.push_back("--silent-at");
    args.push_back(std::to_string(n));
    const std::string request = "request " + std::to_string(n);
    return {what.empty() ? request : what + " (" + request + ")", args};
}

std::vector<silent_case> cases_of(const std::vector<journal_entry>& clean, const std::vector<journal_entry>& refusing) {
    std::vector<silent_case> out;
    out.push_back(silent_at("the login", 0));
#ifdef _WIN32
    // Each kind of request, in both passes.
    auto first = [](const std::vector<journal_entry>& j, const std::string& db, auto is, std::size_t from = 0) {
        for (std::size_t i = from; i < j.size(); ++i)
            if (j[i].db == db && is(j[i].sql)) return i + 1;
        return std::size_t{0};
    };
    // The last such request of the pass before request `before` (from 1).
    auto last = [](const std::vector<journal_entry>& j, const std::string& db, auto is, std::size_t before) {
        for (std::size_t i = std::min(before, j.size() + 1); i-- > 1;)
            if (j[i - 1].db == db && is(j[i - 1].sql)) return i;
        return std::size_t{0};
    };
    auto starts = [](const char* head) { return [head](const std::string& sql) { return sql.rfind(head, 0) == 0; }; };
    auto holds = [](const char* part) {
        return [part](const std::string& sql) { return sql.find(part) != std::string::npos; };
    };
    out.push_back(silent_at("the login's own settings", 1));
    for (const std::string db : {"velmora", "BrenHolt"}) {
        const std::size_t create = first(clean, db, starts("CREATE "));
        const std::size_t release = first(clean, db, holds("sp_releaseapplock"));
        const std::size_t last_create = last(clean, db, starts("CREATE "), release);
        for (const auto& [what, n] : std::vector<std::pair<std::string, std::size_t>>{
                 {"the check of the database", first(clean, db, starts("select db_name()"))},
                 {"the upgrade lock", first(clean, db, holds("sp_getapplock"))},
                 {"a built-in statement", first(clean, db, starts("alter table"))},
                 {"an object's drop", create - 1},
                 {"an object's create", create},
                 {"its commit", first(clean, db, starts("<commit tran>"), create)},
                 {"the last object's drop", last_create - 1},
                 {"the check after the pass", first(clean, db, starts("select OBJECTPROPERTY"))},
                 {"the commit before the lock's release", last(clean, db, starts("<commit tran>"), release)},
                 {"the lock's release", release},
             })
            if (n > 1) out.push_back(silent_at(what + " in " + db, n));
        // The refused create's own rollback.
        const std::size_t rollback =
            first(refusing, db, starts("<rollback tran>"), first(refusing, db, starts("CREATE PROCEDURE p_MS_stock_sum")));
        if (rollback > 0) out.push_back(silent_at("a rollback in " + db, rollback, {"--fail", refused_create}));
    }
    out.push_back(silent_at("the last request", clean.size()));
#else
    for (std::size_t n = 1; n <= clean.size(); ++n) out.push_back(silent_at("", n));
    // Every rollback of a run whose create is refused in both passes.
    for (std::size_t i = 0; i < refusing.size(); ++i)
        if (refusing[i].sql == "<rollback tran>")
            out.push_back(silent_at("a rollback in " + refusing[i].db, i + 1, {"--fail", refused_create}));
#endif
    return out;
}

TEST(fault_matrix, a_server_gone_silent_at_any_request_is_given_up_within_one_bound) {
    configuration conf;  // the run directory; each case its own server
    conf.package(DEMO_SCRIPTS_DIR);
    const std::vector<journal_entry> clean = requests_of({}, conf.run_dir());
    ASSERT_GT(clean.size(), 40u);
    const std::vector<journal_entry> refusing = requests_of({"--fail", refused_create}, conf.run_dir());
    // The refused create is rolled back in each pass.
    std::vector<std::string> rolled_back;
    for (std::size_t i = 1; i < refusing.size(); ++i)
        if (refusing[i].sql == "<rollback tran>" && refusing[i - 1].sql.rfind("CREATE PROCEDURE p_MS_stock_sum", 0) == 0)
            rolled_back.push_back(refusing[i].db);
    ASSERT_EQ(rolled_back, (std::vector<std::string>{"velmora", "BrenHolt"}));
    const std::vector<silent_case> cases = cases_of(clean, refusing);

    // A batch of servers is started before its runs, so that no server
    // inherits another run's connection; the runs wait side by side.
    constexpr std::size_t batch = 16;
    for (std::size_t first = 0; first < cases.size(); first += batch) {
        const std::size_t count = std::min(batch, cases.size() - first);
        // (Started from this thread: a server ends with the thread that started it.)
        std::vector<std::unique_ptr<standin_test::standin_process>> servers;
        for (std::size_t i = 0; i < count; ++i)
            servers.push_back(
                std::make_unique<standin_test::standin_process>(demo_server(cases[first + i].standin_args)));
        std::vector<case_result> results(count);
        std::vector<test_support::request_log> logs(count);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < count; ++i)
            threads.emplace_back([&, i] { results[i] = run_in_process(*servers[i], conf.run_dir(), logs[i]); });
        for (auto& t : threads) t.join();
        for (std::size_t i = 0; i < count; ++i) {
            const silent_case& c = cases[first + i];
            SCOPED_TRACE("silent at " + c.what + " of " + std::to_string(clean.size()));
            case_result& r = results[i];
            r.state = stop(*servers[i]);
            const bool login = c.standin_args.back() == "0";
            // One wait of one bound, then every call fails at once.
            test_support::expect_one_bounded_wait(logs[i].events(), login ? login_timeout : query_timeout);
            if (login) {
                // Only a server that never finished the login is a failed login.
                EXPECT_EQ(r.cli.exit_code, 2) << describe(r);
                EXPECT_EQ(r.last_message.rfind("不能连接到数据库！", 0), 0u) << describe(r);
            } else {
                EXPECT_NE(r.cli.exit_code, 2) << describe(r);
                const char* fitting = r.cli.exit_code == 0 ? "更新成功！" : "与数据库服务器的连接已中断，升级操作被中断。";
                EXPECT_EQ(r.last_message.rfind(fitting, 0), 0u) << describe(r);
            }
            expect_nothing_lost(r);
            expect_honest_outcome(r);
            std::printf("silent at %s: %s; exit %d\n", c.what.c_str(),
                        test_support::summary(logs[i].events()).c_str(), r.cli.exit_code);
        }
        if (HasFailure()) break;  // one batch's failures tell enough
    }
}

}  // namespace
