// Batches per second through the whole client stack (ODBC W functions,
// unixODBC, FreeTDS, loopback TCP) against one stand-in, journal on.
#include <benchmark/benchmark.h>

#include <memory>
#include <stdexcept>

#include "client_tools.h"
#include "odbc_client.h"
#include "support/standin_process.h"

namespace {

using namespace standin_test;

struct session {
    std::unique_ptr<standin_process> server;
    odbc_client client;

    session() : server(std::make_unique<standin_process>(standin_options{{shop_fixture()}, {}})) {
        if (!client.connect(server->odbc_connection_string("shop")))
            throw std::runtime_error("cannot connect: " + client.last_text());
    }
};

void run(benchmark::State& state, const std::vector<std::string>& batches) {
    session s;
    for (auto _ : state) {
        for (const auto& b : batches) {
            auto r = s.client.exec(b);
            if (!r.ok) {
                state.SkipWithError(("batch failed: " + r.all_text()).c_str());
                return;
            }
            benchmark::DoNotOptimize(r);
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * batches.size()));
    state.counters["batches/s"] = benchmark::Counter(static_cast<double>(state.iterations() * batches.size()),
                                                     benchmark::Counter::kIsRate);
}

void BM_SelectConstant(benchmark::State& state) { run(state, {"select 1"}); }
BENCHMARK(BM_SelectConstant)->UseRealTime();

void BM_SelectRow(benchmark::State& state) {
    run(state, {"select item_id, item_name, price from t_item where item_id = 1"});
}
BENCHMARK(BM_SelectRow)->UseRealTime();

// What an upgrade sends for each procedure: drop if there, then create.
void BM_DropCreateProcedure(benchmark::State& state) {
    run(state, {"if exists (select * from sysobjects where id = object_id(N'[dbo].[p_bench]') and "
                "OBJECTPROPERTY(id, N'IsProcedure') = 1) drop procedure [dbo].[p_bench]",
                "create procedure p_bench @id int = 1 as\nselect item_name from t_item where item_id = @id"});
}
BENCHMARK(BM_DropCreateProcedure)->UseRealTime();

void BM_InsertRow(benchmark::State& state) {
    session s;
    int id = 1000;
    for (auto _ : state) {
        auto r = s.client.exec("insert into t_item (item_id, item_name) values (" + std::to_string(++id) +
                               ", N'物流跟踪')");
        if (!r.ok) {
            state.SkipWithError(("insert failed: " + r.all_text()).c_str());
            return;
        }
    }
    state.counters["batches/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_InsertRow)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
