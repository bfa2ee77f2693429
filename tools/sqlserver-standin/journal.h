#pragma once
// The --journal file: one JSON object per line for every request a client
// sends, appended and flushed as each completes.

#include <mutex>
#include <string>

namespace standin {

// {"conn":N,"db":"...","sql":"...","error":E}, and "parseonly":true after
// them for a batch that was parsed and not run (SET PARSEONLY).
std::string journal_line(int conn, const std::string& db, const std::string& sql, int error,
                         bool parse_only = false);

class journal {
public:
    journal() = default;
    ~journal();
    journal(const journal&) = delete;
    journal& operator=(const journal&) = delete;

    bool open(const std::string& path, std::string& error);  // appends to an existing file
    bool is_open() const { return fd_ >= 0; }
    void record(int conn, const std::string& db, const std::string& sql, int error, bool parse_only = false);

private:
    std::mutex mutex_;
    int fd_ = -1;
};

}  // namespace standin
