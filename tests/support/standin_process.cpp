#include "support/standin_process.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef STANDIN_PATH
#define STANDIN_PATH "sqlserver-standin"
#endif

extern char** environ;

namespace standin_test {

namespace {

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::vector<char*> c_argv(std::vector<std::string>& args) {
    std::vector<char*> out;
    for (auto& a : args) out.push_back(a.data());
    out.push_back(nullptr);
    return out;
}

std::string make_temp_dir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/standin-XXXXXX";
    if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed: " + std::string(std::strerror(errno)));
    return templ;
}

void ignore_sigpipe_once() {
    static bool done = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

}  // namespace

standin_process::standin_process(standin_options opts) {
    ignore_sigpipe_once();
    dir_ = make_temp_dir();

    std::vector<std::string> args{STANDIN_PATH, "--port", "0", "--journal", journal_path(), "--dump",
                                  dump_path()};
    for (const auto& f : opts.fixtures) {
        args.push_back("--fixture");
        args.push_back(f == "demo" ? demo_fixture_path() : f);
    }
    for (const auto& a : opts.extra_args) args.push_back(a);
    std::vector<char*> argv = c_argv(args);
    std::string err_path = dir_ + "/stderr.log";

    int out_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    pid_t parent = getpid();

    pid_ = fork();
    if (pid_ == 0) {
        // Own process group so that stopping it reaches anything it starts;
        // dies with the test program even if that is killed.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(null_fd, 0);
        dup2(out_pipe[1], 1);
        if (err_fd >= 0) dup2(err_fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    if (err_fd >= 0) close(err_fd);
    if (null_fd >= 0) close(null_fd);
    if (pid_ < 0) {
        close(out_pipe[0]);
        throw std::runtime_error("fork failed");
    }
    setpgid(pid_, pid_);

    std::string line;
    auto deadline = clock_type::now() + std::chrono::seconds(10);
    bool got_line = false;
    while (!got_line) {
        pollfd p{out_pipe[0], POLLIN, 0};
        int n = poll(&p, 1, ms_left(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // timeout
        char buf[256];
        ssize_t r = read(out_pipe[0], buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;  // the server closed stdout: it has died
        line.append(buf, static_cast<std::size_t>(r));
        got_line = line.find('\n') != std::string::npos;
    }
    close(out_pipe[0]);

    const std::string prefix = "listening on 127.0.0.1:";
    if (got_line && line.rfind(prefix, 0) == 0) {
        port_ = std::atoi(line.c_str() + prefix.size());
    }
    if (port_ <= 0) {
        kill_now();
        std::string msg = "sqlserver-standin did not start (first stdout line: \"" +
                          line.substr(0, line.find('\n')) + "\")\nstderr:\n" + stderr_text();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        ADD_FAILURE() << msg;
        throw std::runtime_error(msg);
    }
}

standin_process::~standin_process() {
    kill_now();
    if (!std::getenv("STANDIN_KEEP_TEMP")) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

std::string standin_process::odbc_connection_string(const std::string& database, const std::string& user,
                                                    const std::string& password) const {
    std::string s = "DRIVER=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(port_) + ";UID=" + user +
                    ";PWD=" + password + ";";
    if (!database.empty()) s += "DATABASE=" + database + ";";
    s += "TDS_Version=7.4;ClientCharset=UTF-8";
    return s;
}

bool standin_process::wait_exit(int timeout_ms) {
    if (exited_) return true;
    if (pid_ <= 0) return true;
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            exited_ = true;
            exit_status_ = status;
            return true;
        }
        if (clock_type::now() >= deadline) return false;
        usleep(5000);
    }
}

bool standin_process::running() { return !wait_exit(0); }

void standin_process::kill_now() {
    if (pid_ <= 0 || exited_) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    wait_exit(10000);
}

std::string standin_process::stop_and_dump() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGTERM);
        if (!wait_exit(10000)) {
            ADD_FAILURE() << "sqlserver-standin did not exit within 10 s of SIGTERM";
            kill_now();
        } else if (!WIFEXITED(exit_status_) || WEXITSTATUS(exit_status_) != 0) {
            ADD_FAILURE() << "sqlserver-standin ended with status " << exit_status_ << "\nstderr:\n"
                          << stderr_text();
        }
    }
    return read_file_text(dump_path());
}

std::vector<std::string> standin_process::journal_lines() const {
    std::vector<std::string> out;
    std::string text = read_file_text(journal_path());
    // A line still being written by another connection is left for later.
    text.erase(text.find_last_of('\n') == std::string::npos ? 0 : text.find_last_of('\n') + 1);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) out.push_back(line);
    return out;
}

std::string standin_process::stderr_text() const { return read_file_text(dir_ + "/stderr.log"); }

command_result run_command(const std::vector<std::string>& argv_in, const std::string& stdin_text,
                           const std::vector<std::string>& env, int timeout_ms) {
    ignore_sigpipe_once();
    command_result res;
    std::vector<std::string> args = argv_in;
    std::vector<char*> argv = c_argv(args);

    // The environment: ours, with the given entries replacing same-named ones.
    std::vector<std::string> env_strings;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const auto& x : env) replaced = replaced || x.substr(0, x.find('=')) == name;
        if (!replaced) env_strings.push_back(entry);
    }
    for (const auto& x : env) env_strings.push_back(x);
    std::vector<char*> envp = c_argv(env_strings);

    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) || pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(err_pipe[0]);
        throw std::runtime_error("fork failed");
    }

    int in_fd = in_pipe[1];
    fcntl(in_fd, F_SETFL, O_NONBLOCK);
    std::size_t written = 0;
    if (stdin_text.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    int out_fd = out_pipe[0], err_fd = err_pipe[0];
    auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
    while (out_fd >= 0 || err_fd >= 0) {
        pollfd fds[3];
        int n = 0;
        int idx_in = -1, idx_out = -1, idx_err = -1;
        if (in_fd >= 0) { idx_in = n; fds[n++] = {in_fd, POLLOUT, 0}; }
        if (out_fd >= 0) { idx_out = n; fds[n++] = {out_fd, POLLIN, 0}; }
        if (err_fd >= 0) { idx_err = n; fds[n++] = {err_fd, POLLIN, 0}; }
        int left = ms_left(deadline);
        if (left == 0) {
            res.timed_out = true;
            break;
        }
        int r = poll(fds, static_cast<nfds_t>(n), left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (idx_in >= 0 && fds[idx_in].revents) {
            ssize_t w = write(in_fd, stdin_text.data() + written, stdin_text.size() - written);
            if (w > 0) written += static_cast<std::size_t>(w);
            if (w < 0 && errno != EAGAIN && errno != EINTR) written = stdin_text.size();
            if (written >= stdin_text.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
        auto drain = [](int& fd, short revents, std::string& into) {
            if (!revents) return;
            char buf[4096];
            ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0) into.append(buf, static_cast<std::size_t>(got));
            else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                close(fd);
                fd = -1;
            }
        };
        if (idx_out >= 0) drain(out_fd, fds[idx_out].revents, res.out);
        if (idx_err >= 0) drain(err_fd, fds[idx_err].revents, res.err);
    }
    if (in_fd >= 0) close(in_fd);
    if (out_fd >= 0) close(out_fd);
    if (err_fd >= 0) close(err_fd);
    if (res.timed_out) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!res.timed_out && WIFEXITED(status)) res.exit_code = WEXITSTATUS(status);
    return res;
}

}  // namespace standin_test
