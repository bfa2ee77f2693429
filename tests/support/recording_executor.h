#pragma once
// A database session for tests of the logic above it: keeps every batch and
// transaction request it is given, in order, and answers each batch with the
// status the test sets (by default success).

#include <functional>
#include <string>
#include <vector>

#include "common/gbk.h"
#include "common/sql_executor.h"

namespace test_support {

class recording_executor : public velmora::sql_executor {
public:
    // What reached the "server": batches as UTF-8 text; "<autocommit on>",
    // "<autocommit off>", "<commit>" and "<rollback>" for the rest.
    std::vector<std::string> requests;
    std::string driver = "MSS";
    bool autocommit = true;
    // Decides each batch's answer, and each commit's and rollback's (asked as
    // "<commit>" and "<rollback>"): return an error text to fail it, empty for success.
    std::function<std::string(const std::string& batch)> answer = [](const std::string&) { return std::string(); };
    // From the batch that matches this on, the connection is gone: it and every later call fail.
    std::function<bool(const std::string& batch)> breaks_at = [](const std::string&) { return false; };

    std::string executor_driver() const override { return driver; }
    void execute_immediate_utf16(std::u16string_view sql) override {
        const std::string text = velmora::utf16_to_utf8(sql);
        if (!broken_ && breaks_at(text)) broken_ = true;
        if (broken_) return fail("Communication link failure");
        requests.push_back(text);
        const std::string error = answer(text);
        error.empty() ? succeed() : fail(error);
    }
    long executor_status() const override { return status_; }
    std::string executor_error_text() const override { return error_; }
    bool executor_autocommit() const override { return autocommit; }
    void executor_set_autocommit(bool on) override {
        autocommit = on;
        if (!broken_) requests.push_back(on ? "<autocommit on>" : "<autocommit off>");
    }
    void executor_end_transaction(bool commit) override {
        if (broken_) return fail("Communication link failure");
        requests.push_back(commit ? "<commit>" : "<rollback>");
        const std::string error = answer(requests.back());
        error.empty() ? succeed() : fail(error);
    }
    bool executor_connection_broken() const override { return broken_; }

private:
    void succeed() {
        status_ = 0;
        error_.clear();
    }
    void fail(std::string text) {
        status_ = -1;
        error_ = std::move(text);
    }
    long status_ = 0;
    std::string error_;
    bool broken_ = false;
};

}  // namespace test_support
