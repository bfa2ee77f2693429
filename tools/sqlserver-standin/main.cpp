// sqlserver-standin: a small TDS server that stands in for SQL Server.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "sqlserver-standin/engine.h"
#include "sqlserver-standin/journal.h"
#include "sqlserver-standin/options.h"
#include "sqlserver-standin/server.h"

namespace {

// Writes the dump next to its destination and renames it, so a reader never
// sees half a document.
bool write_dump(const std::string& path, const std::string& text, std::string& error) {
    std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = "cannot write " + tmp + ": " + std::strerror(errno);
            return false;
        }
        out << text;
        out.flush();
        if (!out) {
            error = "cannot write " + tmp;
            return false;
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    standin::parse_result parsed = standin::parse_command_line(args);
    if (parsed.help) {
        std::fputs(standin::usage_text().c_str(), stdout);
        return 0;
    }
    if (!parsed.error.empty()) {
        std::fprintf(stderr, "sqlserver-standin: %s\n(see --help)\n", parsed.error.c_str());
        return 2;
    }
    const standin::server_options& opts = parsed.options;

    // Termination signals are taken by sigwait below, never by a random
    // thread; every thread started from here on inherits the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    standin::engine eng(opts.logins, *opts.version);
    if (!opts.backup_dir.empty()) {
        std::string error;
        if (!eng.set_backup_directory(opts.backup_dir, error)) {
            std::fprintf(stderr, "sqlserver-standin: %s\n", error.c_str());
            return 2;
        }
    }
    for (const auto& fixture : opts.fixtures) {
        std::string error;
        if (!eng.run_fixture(fixture, error)) {
            std::fprintf(stderr, "sqlserver-standin: fixture %s failed: %s\n", fixture.c_str(), error.c_str());
            return 1;
        }
    }

    standin::journal jrnl;
    if (!opts.journal_path.empty()) {
        std::string error;
        if (!jrnl.open(opts.journal_path, error)) {
            std::fprintf(stderr, "sqlserver-standin: %s\n", error.c_str());
            return 1;
        }
    }

    standin::server srv(eng, opts, jrnl);
    std::string error;
    if (!srv.listen(error)) {
        std::fprintf(stderr, "sqlserver-standin: %s\n", error.c_str());
        return 1;
    }
    srv.start();
    std::printf("listening on %s:%d\n", opts.bind.c_str(), srv.port());
    std::fflush(stdout);

    int sig = 0;
    while (sigwait(&stop_signals, &sig) != 0) {
    }

    int status = 0;
    if (!opts.dump_path.empty()) {
        // Taken while clients may still be connected: the engine answers for
        // its own consistency.
        if (!write_dump(opts.dump_path, eng.dump_json(), error)) {
            std::fprintf(stderr, "sqlserver-standin: %s\n", error.c_str());
            status = 1;
        }
    }
    // The databases live in a private temporary folder; leave nothing behind.
    eng.remove_storage();
    std::fflush(stdout);
    std::fflush(stderr);
    // Connection threads may be inside the engine; leave without running
    // destructors under them.
    _exit(status);
}
