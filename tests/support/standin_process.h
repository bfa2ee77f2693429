#pragma once
// Starts a sqlserver-standin for one test on a free port, with a journal and a
// dump file in a fresh temporary directory, and stops it afterwards.
//
// A Windows test program under Wine cannot start the stand-in (a Linux
// program): there the same class asks standin_broker for one, at the
// address in VELMORA_STANDIN_BROKER (scripts/test-windows starts it), and
// the broker's connection stands for the process.

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace standin_test {

struct standin_options {
    // Fixture paths, run in order. "demo" stands for the stand-in's own
    // fixtures/demo.sql.
    std::vector<std::string> fixtures;
    // Further arguments, e.g. {"--fail", "p_two=50000:boom"}, {"--drop-after", "3"}.
    std::vector<std::string> extra_args;
};

class standin_process {
public:
    // Waits up to 10 s for "listening on"; on failure records a test failure
    // (with the server's stderr) and throws std::runtime_error.
    explicit standin_process(standin_options opts = {});
    ~standin_process();  // kills the server if still running, removes the temp dir
    standin_process(const standin_process&) = delete;
    standin_process& operator=(const standin_process&) = delete;

    int port() const { return port_; }
#ifndef _WIN32
    pid_t pid() const { return pid_; }
#endif
    std::string server_name() const;  // "127.0.0.1,PORT"
    std::string odbc_connection_string(const std::string& database = "",
                                       const std::string& user = "velmora",
                                       const std::string& password = "quorbin") const;

    // SIGTERM, wait for the exit (a test failure if it does not exit 0 within
    // 10 s), return the dump file's text.
    std::string stop_and_dump();
    std::vector<std::string> journal_lines() const;  // one JSON text per line
    std::vector<std::string> journal_sql() const;    // each line's "sql", in order
#ifndef _WIN32
    bool running();                  // false once the process has exited
    int exit_status() const { return exit_status_; }  // waitpid status once exited
    std::string stderr_text() const;  // what the server wrote on stderr
    std::string temp_dir() const { return dir_; }
    std::string journal_path() const { return dir_ + "/journal.jsonl"; }
    std::string dump_path() const { return dir_ + "/dump.json"; }

private:
    void kill_now();
    bool wait_exit(int timeout_ms);

    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    bool exited_ = false;
    int exit_status_ = -1;
#else
private:
    std::string ask(const std::string& request_json) const;  // one answer line

    std::intptr_t broker_ = -1;  // the broker's connection (a SOCKET)
    mutable std::string buffer_;
    int port_ = 0;
    bool stopped_ = false;
    std::string journal_at_stop_;
#endif
};

// Path of the stand-in's demo fixture.
std::string demo_fixture_path();

// Runs a program (argv[0] looked up in PATH) with stdin_text on its stdin and
// extra environment entries "NAME=VALUE"; kills it after timeout_ms. (Linux.)
struct command_result {
    int exit_code = -1;  // -1 when killed or not started
    bool timed_out = false;
    std::string out;
    std::string err;
};
command_result run_command(const std::vector<std::string>& argv, const std::string& stdin_text = "",
                           const std::vector<std::string>& env = {}, int timeout_ms = 30000);

std::string read_file_text(const std::string& path);

}  // namespace standin_test
