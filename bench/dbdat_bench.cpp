// Whole-process cost of "dbdat list" and "dbdat check" on a 64 MiB package of
// 20,000 records, beside "grep -c '####'" on the same file: the time it takes
// to merely pass over the bytes once. Runs alternate (grep first in one pair,
// dbdat first in the next) so that drift hits both alike; the figure is the
// median of the per-pair ratios. Peak memory is the child's own (getrusage).
//
//   dbdat_bench [--pairs N] [--dbdat PATH]
//
// Exit 0 when both commands stay within 3x grep's time and within the file's
// size plus 16 MiB of memory, 1 otherwise.

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "package/package_format.h"
#include "support/temp_folder.h"

namespace fs = std::filesystem;
namespace pkg = velmora::package;

namespace {

constexpr std::size_t record_count = 20000;
constexpr std::size_t package_size = std::size_t{64} << 20;
constexpr double time_goal = 3.0;
constexpr std::uint64_t memory_slack = std::uint64_t{16} << 20;

// A procedure of about `size` bytes with GBK comments, as an author writes it
// (and as a server takes it: no "go" line after its END).
std::string make_script(std::size_t n, std::size_t size) {
    const std::string name = "p_bench_" + std::to_string(n);
    std::string s = "if exists (select * from sysobjects where name = '" + name + "')\r\n  drop procedure " + name +
                    "\r\nGO\r\n\r\nCREATE PROCEDURE " + name + "\r\n  @as_code varchar(20)\r\nAS\r\nBEGIN\r\n";
    for (int line = 0; s.size() + 120 < size; ++line)
        s += "  -- \xB2\xE9\xD1\xAF\xBF\xE2\xB4\xE6\r\n  select qty from t_item where item_code = @as_code and n = " +
             std::to_string(line) + "\r\n";
    s += "END\r\n";
    s.resize(std::max(s.size(), size), ' ');
    return s;
}

std::string make_package() {
    std::string p;
    p.reserve(package_size + 4096);
    for (std::size_t i = 0; i < record_count; ++i) {
        const std::string name = "p_bench_" + std::to_string(i) + "_MS.sql";
        const std::size_t left = package_size - pkg::end_marker.size() - p.size();
        const std::size_t share = left / (record_count - i);
        pkg::append_record(p, name, make_script(i, share - (6 + name.size() + 4 + 4)));
    }
    p += pkg::end_marker;
    return p;
}

struct run_result {
    double seconds = 0;
    long peak_kib = 0;
    int status = -1;
};

// Runs argv with stdout into the file out (emptied first), stderr on
// /dev/null, and waits for it. Not stdout on /dev/null: GNU grep notices
// that and stops at the first match, which is no reading of the file.
run_result run(const std::vector<std::string>& args, const std::string& out) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    run_result r;
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int to = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(to, 1);
        ::dup2(null, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    if (pid < 0 || ::wait4(pid, &status, 0, &ru) != pid) return r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.peak_kib = ru.ru_maxrss;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    int pairs = 15;
    std::string dbdat = DBDAT_PATH;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--pairs" && i + 1 < argc) {
            pairs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--dbdat" && i + 1 < argc) {
            dbdat = argv[++i];
        } else {
            std::fprintf(stderr, "usage: dbdat_bench [--pairs N] [--dbdat PATH]\n");
            return 2;
        }
    }

    const test_support::temp_folder folder{"dbdat_bench"};
    const std::string dir = folder.text();
    const std::string file = dir + "/db.dat";
    std::size_t size = 0;
    {
        // Freed before any child starts: a child's peak memory counts what
        // it shares with this process until it executes its program.
        const std::string bytes = make_package();
        size = bytes.size();
        std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
    }
    std::printf("package: %zu bytes, %zu records, %d pairs per command\n", size, record_count, pairs);

    const std::vector<std::string> grep = {"grep", "-c", "####", file};
    const std::string out = dir + "/out";
    bool within = true;
    for (const char* command : {"list", "check"}) {
        const std::vector<std::string> tool = {dbdat, command, file};
        run(grep, out);  // warm the page cache and the programs
        if (run(tool, out).status != 0) {
            std::fprintf(stderr, "dbdat %s failed on the generated package\n", command);
            within = false;
            continue;
        }
        std::vector<double> ratios, tool_s, grep_s;
        long tool_peak = 0, grep_peak = 0;
        for (int i = 0; i < pairs; ++i) {
            run_result g, t;
            if (i % 2 == 0) {
                g = run(grep, out);
                t = run(tool, out);
            } else {
                t = run(tool, out);
                g = run(grep, out);
            }
            ratios.push_back(t.seconds / g.seconds);
            tool_s.push_back(t.seconds);
            grep_s.push_back(g.seconds);
            tool_peak = std::max(tool_peak, t.peak_kib);
            grep_peak = std::max(grep_peak, g.peak_kib);
        }
        const double ratio = median(ratios);
        const std::uint64_t peak = static_cast<std::uint64_t>(tool_peak) * 1024;
        const bool ok = ratio <= time_goal && peak <= size + memory_slack;
        within = within && ok;
        std::printf("dbdat %-5s  median %7.1f ms  grep %6.1f ms  ratio %5.2f (goal <= %.0f)  "
                    "peak %6.1f MiB (goal <= %.1f MiB; grep %.1f MiB)  %s\n",
                    command, median(tool_s) * 1e3, median(grep_s) * 1e3, ratio, time_goal,
                    peak / 1048576.0, (size + memory_slack) / 1048576.0, grep_peak / 1024.0,
                    ok ? "ok" : "OVER");
    }
    return within ? 0 : 1;
}
