// Decoding a 64 MiB package of 20,000 records, beside a memchr scan of the
// same buffer (the machine's limit for one pass) and beside the reading that
// copies the unread rest after every record (quadratic, so measured on
// smaller packages). Also the statement builder over the package's scripts.

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "package/package_format.h"
#include "package/statement_builder.h"

namespace pkg = velmora::package;

namespace {

// A procedure script of about `size` bytes with GBK comments, as a package
// author would write it.
std::string make_script(int n, std::size_t size) {
    const std::string name = "p_bench_" + std::to_string(n);
    std::string s = "if exists (select * from sysobjects where name = '" + name + "')\r\n  drop procedure " + name +
                    "\r\nGO\r\n\r\nCREATE PROCEDURE " + name +
                    "\r\n  @as_code varchar(20),\r\n  @ai_count int\r\nAS\r\nBEGIN\r\n";
    for (int line = 0; s.size() + 80 < size; ++line)
        s += "  -- \xB2\xE9\xD1\xAF\xBF\xE2\xB4\xE6\r\n  select item_code, qty from t_item where item_code = @as_code and n = " +
             std::to_string(line) + "\r\n";
    s += "END\r\n";
    return s;
}

struct corpus {
    std::string package;
    std::vector<std::string> scripts;
};

corpus make_corpus(std::size_t records, std::size_t total_bytes) {
    corpus c;
    const std::size_t per = total_bytes / records;
    c.package.reserve(total_bytes + records * 64);
    for (std::size_t i = 0; i < records; ++i) {
        c.scripts.push_back(make_script(static_cast<int>(i), per - 40));
        pkg::append_record(c.package, "p_bench_" + std::to_string(i) + "_MS.sql", c.scripts.back());
    }
    c.package += pkg::end_marker;
    return c;
}

const corpus& big() {
    static const corpus c = make_corpus(20000, 64u << 20);
    return c;
}

// decode_package checks the whole package as it splits it (all records or
// none), so validating and decoding is this one pass.
void BM_ValidateAndDecode(benchmark::State& state) {
    const std::string& p = big().package;
    std::vector<pkg::record_view> records;
    records.reserve(20000);
    for (auto _ : state) {
        if (!pkg::decode_package(p, records) || records.size() != 20000) state.SkipWithError("package did not decode");
        benchmark::DoNotOptimize(records.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(p.size()));
    state.counters["package_bytes"] = static_cast<double>(p.size());
}
BENCHMARK(BM_ValidateAndDecode)->Unit(benchmark::kMillisecond);

// The check alone, as a tool would run it before anything else.
void BM_ValidateOnly(benchmark::State& state) {
    const std::string& p = big().package;
    for (auto _ : state) {
        if (!pkg::validate_package(p).ok) state.SkipWithError("package did not validate");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(p.size()));
}
BENCHMARK(BM_ValidateOnly)->Unit(benchmark::kMillisecond);

// One memchr pass over the whole buffer for a byte it does not hold.
void BM_MemchrScan(benchmark::State& state) {
    const std::string& p = big().package;
    for (auto _ : state) {
        const void* hit = std::memchr(p.data(), '\0', p.size());
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(p.size()));
}
BENCHMARK(BM_MemchrScan)->Unit(benchmark::kMillisecond);

// The decoding steps read literally: after each record the rest is copied.
std::size_t rest_copying_decode(const std::string& package) {
    std::string rest = package;
    std::size_t count = 0;
    while (rest != "@@@@") {
        const std::size_t end = rest.find("####");
        if (end == std::string::npos) return 0;
        std::string rec = rest.substr(0, end);
        rest = rest.substr(end + 4);
        const std::size_t head = rec.find("^^^^");
        if (head == std::string::npos || head < 6) return 0;
        std::string name = rec.substr(6, head - 6);
        std::string body = rec.substr(head + 4);
        benchmark::DoNotOptimize(name.data());
        benchmark::DoNotOptimize(body.data());
        ++count;
    }
    return count;
}

// Argument: package size in MiB, at the big package's record density
// (about 3,355 bytes a record).
void BM_RestCopyingDecode(benchmark::State& state) {
    const std::size_t mib = static_cast<std::size_t>(state.range(0));
    const std::size_t records = 20000 * mib / 64;
    const corpus c = make_corpus(records, mib << 20);
    for (auto _ : state) {
        if (rest_copying_decode(c.package) != records) state.SkipWithError("package did not decode");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.package.size()));
}
BENCHMARK(BM_RestCopyingDecode)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

// The linear decoder at the same small sizes, for a like-for-like ratio.
void BM_DecodeSmall(benchmark::State& state) {
    const std::size_t mib = static_cast<std::size_t>(state.range(0));
    const std::size_t records = 20000 * mib / 64;
    const corpus c = make_corpus(records, mib << 20);
    std::vector<pkg::record_view> out;
    for (auto _ : state) {
        if (!pkg::decode_package(c.package, out) || out.size() != records) state.SkipWithError("package did not decode");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(c.package.size()));
}
BENCHMARK(BM_DecodeSmall)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond);

// The statement builder over every script of the big package, restored.
void BM_StatementBuilder(benchmark::State& state) {
    const std::vector<std::string>& scripts = big().scripts;
    std::size_t bytes = 0;
    for (const auto& s : scripts) bytes += s.size();
    std::string create, drop;
    for (auto _ : state) {
        for (const auto& s : scripts) {
            create = s;
            if (!velmora::wf_get_sql_go(create, drop)) state.SkipWithError("script refused");
            benchmark::DoNotOptimize(create.data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(scripts.size()));
}
BENCHMARK(BM_StatementBuilder)->Unit(benchmark::kMillisecond);

// Restoring a script (the shared reversal) over the same scripts.
void BM_Reversal(benchmark::State& state) {
    const std::string& p = big().package;
    std::vector<pkg::record_view> records;
    pkg::decode_package(p, records);
    std::size_t bytes = 0;
    for (const auto& r : records) bytes += r.stored_body.size();
    for (auto _ : state) {
        for (const auto& r : records) {
            std::string s = pkg::reversed(r.stored_body);
            benchmark::DoNotOptimize(s.data());
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Reversal)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
