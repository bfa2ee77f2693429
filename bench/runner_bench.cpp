// The runner's cost above the statements it sends: a package of 2,000 small
// procedures run through run_package, beside the same 4,000 statements sent
// through the same session with nothing else done, and sent with each object's
// drop and create in a transaction of its own; and the check after a pass
// that every object created exists and is encrypted. All against the
// stand-in on loopback, in one process, alternating so that drift hits them
// alike.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/gbk.h"
#include "common/ui_services.h"
#include "package/package_format.h"
#include "package/package_runner.h"
#include "package/statement_builder.h"
#include "session/database_session.h"
#include "support/standin_process.h"
#include "support/temp_folder.h"
#include "upgrade/object_verification.h"
#include "upgrade/progress_lines.h"
#include "upgrade/run_report.h"

namespace {

constexpr int procedure_count = 2000;

class silent_ui : public velmora::ui_services {
public:
    void message_box(const std::string&, const std::string& text) override { last = text; }
    void beep() override {}
    void busy_begin() override {}
    void busy_end() override {}
    std::string last;
};

std::string procedure_script(int i) {
    const std::string name = "p_bench_" + std::to_string(i) + "_MS";
    return "if exists (select * from sysobjects where name = '" + name + "') drop procedure " + name +
           "\r\nGO\r\nCREATE PROCEDURE " + name +
           "\r\n    @ai_flag int = 0\r\nAS\r\nBEGIN\r\n    -- \xBF\xE2\xB4\xE6\r\n    select @ai_flag\r\nEND\r\n";
}

struct bench_world {
    std::unique_ptr<standin_test::standin_process> server;
    velmora::database_session session;
    test_support::temp_folder run_folder{"velmora_bench"};
    std::string run_dir = run_folder.dir();
    std::vector<std::u16string> statements;  // drop, create, drop, create, ...
    bool ok = false;

    bench_world() {
        server = std::make_unique<standin_test::standin_process>(standin_test::standin_options{});
        session.driver = "MSS";
        session.server_name = server->server_name();
        session.login_id = "velmora";
        session.login_password = "quorbin";
        session.set_autocommit(true);
        session.connect();
        if (session.status_code != 0) {
            std::fprintf(stderr, "runner_bench: login failed: %s\n", session.error_text.c_str());
            return;
        }
        std::vector<velmora::package::record> records;
        for (int i = 0; i < procedure_count; ++i) {
            std::string script = procedure_script(i);
            std::string create = script, drop;
            if (!velmora::wf_get_sql_go(create, drop)) return;
            statements.push_back(*velmora::gbk_to_utf16(drop));
            statements.push_back(*velmora::gbk_to_utf16(create));
            char name[32];
            std::snprintf(name, sizeof name, "p_bench_%04d_MS.sql", i);
            records.push_back({name, std::move(script)});
        }
        std::ofstream(run_dir + "db.dat", std::ios::binary) << velmora::package::encode_package(records);
        ok = true;
    }
    ~bench_world() { session.disconnect(); }

    bool run_runner() {
        silent_ui ui;
        const velmora::run_outcome o = velmora::run_package(run_dir, session, ui);
        return o.how == velmora::run_outcome::ending::completed && o.executed == procedure_count;
    }
    // The same run as db_upgrade_cli --progress --report gives it: a progress
    // line per object written out, and the report built and serialised.
    bool run_runner_reported() {
        struct lines_out : velmora::progress_sink {
            velmora::progress_lines lines;
            std::FILE* out = std::fopen("/dev/null", "w");
            ~lines_out() { std::fclose(out); }
            void progress(const velmora::progress_event& e) override {
                const std::string line = lines.line(e);
                std::fwrite(line.data(), 1, line.size(), out);
            }
        } progress;
        silent_ui ui;
        velmora::run_record record;
        record.started = std::chrono::system_clock::now();
        record.logged_in = true;
        velmora::upgrade_report report;
        report.passes.emplace_back();
        report.passes.back().database = "velmora";
        report.passes.back().package = velmora::run_package(run_dir, session, ui, &progress);
        const bool ok = report.passes.back().package->executed == procedure_count;
        record.upgrade = std::move(report);
        record.finished = std::chrono::system_clock::now();
        const std::string text = velmora::run_report_json(record);
        benchmark::DoNotOptimize(text.data());
        return ok && text.size() > 100000;
    }
    // The run as a pass of the upgrade makes it: the package, then the one
    // batch that asks after every object it created. run_seconds is the
    // whole, verify_seconds the check alone; verify_requests, counted once
    // from the server's journal (outside the times), the requests it sent.
    double run_seconds = 0, verify_seconds = 0;
    std::size_t verify_requests = 0;
    bool run_runner_verified() {
        using clock = std::chrono::steady_clock;
        const bool count = verify_requests == 0;
        const auto t0 = clock::now();
        silent_ui ui;
        velmora::run_outcome o = velmora::run_package(run_dir, session, ui);
        const auto ran = clock::now();
        const std::size_t before = count ? server->journal_lines().size() : 0;
        const auto t1 = clock::now();
        const velmora::object_verification v = velmora::verify_created_objects(session, o);
        const auto t2 = clock::now();
        if (count) verify_requests = server->journal_lines().size() - before;
        verify_seconds = std::chrono::duration<double>(t2 - t1).count();
        run_seconds = std::chrono::duration<double>(ran - t0).count() + verify_seconds;
        return o.executed == procedure_count && v.how == velmora::object_verification::outcome::passed;
    }
    bool run_direct() {
        for (std::size_t i = 0; i < statements.size(); ++i) {
            session.execute_immediate_utf16(statements[i]);
            if (i % 2 == 1 && session.status_code != 0) return false;
        }
        return true;
    }
    // The same statements with each drop and create in a transaction of its
    // own, as the runner sends them: the cost of that control alone.
    bool run_direct_in_transactions() {
        session.set_autocommit(false);
        bool ok = true;
        for (std::size_t i = 0; ok && i < statements.size(); ++i) {
            session.execute_immediate_utf16(statements[i]);
            if (i % 2 == 1) {
                ok = session.status_code == 0;
                session.commit();
            }
        }
        session.set_autocommit(true);
        return ok;
    }
};

bench_world& world() {
    static bench_world w;
    return w;
}

void BM_RunnerPackage(benchmark::State& state) {
    if (!world().ok) return state.SkipWithError("stand-in or session not available");
    for (auto _ : state)
        if (!world().run_runner()) return state.SkipWithError("the run did not complete");
    state.counters["statements/s"] =
        benchmark::Counter(2.0 * procedure_count, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DirectStatements(benchmark::State& state) {
    if (!world().ok) return state.SkipWithError("stand-in or session not available");
    for (auto _ : state)
        if (!world().run_direct()) return state.SkipWithError("a create failed");
    state.counters["statements/s"] =
        benchmark::Counter(2.0 * procedure_count, benchmark::Counter::kIsIterationInvariantRate);
}

// Rounds of the runner, the bare statements and the statements in per-object
// transactions. The machine is shared, so each round gives its own ratios and
// the medians are reported: a burst of other work spoils one round, not the
// figure. The order within a round rotates, so none always inherits another's
// after-effects on the server.
void BM_RunnerOverDirect(benchmark::State& state) {
    if (!world().ok) return state.SkipWithError("stand-in or session not available");
    using clock = std::chrono::steady_clock;
    enum { runner, bare, in_transactions, kinds };
    std::vector<double> seconds[kinds], runner_ratio, transaction_ratio;
    int first = 0;
    for (auto _ : state) {
        double t[kinds] = {};
        for (int k = 0; k < kinds; ++k) {
            const int which = (first + k) % kinds;
            const auto t0 = clock::now();
            const bool ok = which == runner ? world().run_runner()
                            : which == bare ? world().run_direct()
                                            : world().run_direct_in_transactions();
            if (!ok) return state.SkipWithError("a run did not complete");
            t[which] = std::chrono::duration<double>(clock::now() - t0).count();
        }
        first = (first + 1) % kinds;
        for (int k = 0; k < kinds; ++k) seconds[k].push_back(t[k]);
        runner_ratio.push_back(t[runner] / t[bare]);
        transaction_ratio.push_back(t[in_transactions] / t[bare]);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    state.counters["runner_ms"] = median(seconds[runner]) * 1e3;
    state.counters["direct_ms"] = median(seconds[bare]) * 1e3;
    state.counters["direct_tx_ms"] = median(seconds[in_transactions]) * 1e3;
    // The runner against the bare statements: transaction control and its own work.
    state.counters["overhead_pct"] = (median(runner_ratio) - 1.0) * 100.0;
    // Transaction control alone: one commit per object.
    state.counters["transactions_pct"] = (median(transaction_ratio) - 1.0) * 100.0;
}

// The runner with and without the console's progress lines and the report,
// in alternating pairs: the cost of telling the administrator where the run
// stands and what it did.
void BM_ProgressAndReportOverRunner(benchmark::State& state) {
    if (!world().ok) return state.SkipWithError("stand-in or session not available");
    using clock = std::chrono::steady_clock;
    std::vector<double> ratio;
    bool plain_first = true;
    for (auto _ : state) {
        double t[2] = {0, 0};  // plain, reported
        for (int k = 0; k < 2; ++k) {
            const bool plain = (k == 0) == plain_first;
            const auto t0 = clock::now();
            if (plain ? !world().run_runner() : !world().run_runner_reported())
                return state.SkipWithError("a run did not complete");
            t[plain ? 0 : 1] = std::chrono::duration<double>(clock::now() - t0).count();
        }
        plain_first = !plain_first;
        ratio.push_back(t[1] / t[0]);
    }
    std::sort(ratio.begin(), ratio.end());
    const std::size_t n = ratio.size();
    const double median = n % 2 ? ratio[n / 2] : (ratio[n / 2 - 1] + ratio[n / 2]) / 2;
    state.counters["reporting_pct"] = (median - 1.0) * 100.0;
}

// The runner with and without the check after the pass, in alternating
// pairs: its cost against the run it follows (the baseline, measured in the
// same pairs), what it takes alone, and how many requests it sends (one
// batch per pass).
void BM_VerificationOverRunner(benchmark::State& state) {
    if (!world().ok) return state.SkipWithError("stand-in or session not available");
    using clock = std::chrono::steady_clock;
    std::vector<double> ratio, alone;
    bool plain_first = true;
    for (auto _ : state) {
        double t[2] = {0, 0};  // plain, verified
        for (int k = 0; k < 2; ++k) {
            const bool plain = (k == 0) == plain_first;
            const auto t0 = clock::now();
            if (plain ? !world().run_runner() : !world().run_runner_verified())
                return state.SkipWithError("a run did not complete, or an object did not verify");
            t[plain ? 0 : 1] = plain ? std::chrono::duration<double>(clock::now() - t0).count() : world().run_seconds;
        }
        plain_first = !plain_first;
        ratio.push_back(t[1] / t[0]);
        alone.push_back(world().verify_seconds);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    state.counters["verified_over_runner"] = median(ratio);
    state.counters["verification_pct"] = (median(ratio) - 1.0) * 100.0;
    state.counters["verification_ms"] = median(alone) * 1e3;
    state.counters["verification_requests"] = static_cast<double>(world().verify_requests);
}

// The runner's own work alone (reading, checking, splitting, converting),
// with a session that answers at once: the part of the overhead that is ours.
class instant_session : public velmora::sql_executor {
public:
    std::string executor_driver() const override { return "MSS"; }
    void execute_immediate_utf16(std::u16string_view sql) override { bytes += sql.size(); }
    long executor_status() const override { return 0; }
    std::string executor_error_text() const override { return {}; }
    bool executor_autocommit() const override { return autocommit; }
    void executor_set_autocommit(bool on) override { autocommit = on; }
    void executor_end_transaction(bool) override {}
    bool executor_connection_broken() const override { return false; }
    std::size_t bytes = 0;
    bool autocommit = true;
};

void BM_RunnerWithoutServer(benchmark::State& state) {
    if (!world().ok) return state.SkipWithError("stand-in or session not available");
    instant_session session;
    silent_ui ui;
    for (auto _ : state) {
        const velmora::run_outcome o = velmora::run_package(world().run_dir, session, ui);
        if (o.executed != procedure_count) return state.SkipWithError("the run did not complete");
    }
    benchmark::DoNotOptimize(session.bytes);
}

BENCHMARK(BM_RunnerWithoutServer)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_RunnerPackage)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_DirectStatements)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_RunnerOverDirect)->Unit(benchmark::kMillisecond)->Iterations(24)->UseRealTime();
BENCHMARK(BM_ProgressAndReportOverRunner)->Unit(benchmark::kMillisecond)->Iterations(24)->UseRealTime();
BENCHMARK(BM_VerificationOverRunner)->Unit(benchmark::kMillisecond)->Iterations(24)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
