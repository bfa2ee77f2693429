#include "journal.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace standin {

std::string json_quote(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 2);
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string journal_line(int conn, const std::string& db, const std::string& sql, int error) {
    return "{\"conn\":" + std::to_string(conn) + ",\"db\":" + json_quote(db) + ",\"sql\":" + json_quote(sql) +
           ",\"error\":" + std::to_string(error) + "}";
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

void journal::record(int conn, const std::string& db, const std::string& sql, int error) {
    if (fd_ < 0) return;
    std::string line = journal_line(conn, db, sql, error) + "\n";
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
