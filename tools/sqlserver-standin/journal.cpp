#include "sqlserver-standin/journal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace standin {

std::string journal_line(int conn, const std::string& db, const std::string& sql, int error, bool parse_only) {
    // The keys in the order the journal has always had them.
    nlohmann::ordered_json line = {{"conn", conn}, {"db", db}, {"sql", sql}, {"error", error}};
    if (parse_only) line["parseonly"] = true;
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

journal::~journal() {
    if (fd_ >= 0) ::close(fd_);
}

bool journal::open(const std::string& path, std::string& error) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        error = "cannot open journal " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void journal::record(int conn, const std::string& db, const std::string& sql, int error, bool parse_only) {
    if (fd_ < 0) return;
    std::string line = journal_line(conn, db, sql, error, parse_only) + "\n";
    // One write per line under the lock: lines from different connections
    // never interleave, and nothing waits in a buffer.
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "sqlserver-standin: journal write failed: %s\n", std::strerror(errno));
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace standin
