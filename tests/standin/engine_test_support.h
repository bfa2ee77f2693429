#pragma once
// Helpers for driving the stand-in's engine directly, without the wire.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sqlserver-standin/engine.h"

namespace engine_test {

inline std::string demo_fixture() {
#ifdef STANDIN_SOURCE_DIR
    return std::string(STANDIN_SOURCE_DIR) + "/fixtures/demo.sql";
#else
    return "tools/sqlserver-standin/fixtures/demo.sql";
#endif
}

inline std::vector<standin::login_entry> default_logins() { return {{"velmora", "quorbin"}}; }

// Every error and info message of a reply, in order.
inline std::vector<standin::server_message> messages(const standin::batch_reply& r) {
    std::vector<standin::server_message> out;
    for (const auto& i : r.items)
        if (auto* m = std::get_if<standin::server_message>(&i)) out.push_back(*m);
    return out;
}

inline std::vector<int> errors(const standin::batch_reply& r) {
    std::vector<int> out;
    for (const auto& m : messages(r))
        if (m.is_error()) out.push_back(m.number);
    return out;
}

inline std::vector<standin::result_set> results(const standin::batch_reply& r) {
    std::vector<standin::result_set> out;
    for (const auto& i : r.items)
        if (auto* rs = std::get_if<standin::result_set>(&i)) out.push_back(*rs);
    return out;
}

inline std::string text(const standin::sql_value& v) {
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    if (auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (auto* d = std::get_if<double>(&v)) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%g", *d);
        return buf;
    }
    return "NULL";
}

// The rows of the batch's only (or last) result set as text, cells joined by '|'.
inline std::vector<std::string> rows(const standin::batch_reply& r) {
    auto rs = results(r);
    std::vector<std::string> out;
    if (rs.empty()) return out;
    for (const auto& row : rs.back().rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) line += (i ? "|" : "") + text(row[i]);
        out.push_back(line);
    }
    return out;
}

// One logged-in connection.
struct session {
    std::unique_ptr<standin::connection> conn;
    session(standin::engine& e, const std::string& db = "") {
        auto l = e.login("velmora", "quorbin", db);
        if (!l.conn) throw std::runtime_error("login failed: " + (l.error ? l.error->text : std::string()));
        conn = std::move(l.conn);
    }
    standin::batch_reply run(const std::string& sql) { return conn->execute_batch(sql); }
    // Runs a batch that must succeed and returns its last result's rows.
    std::vector<std::string> query(const std::string& sql) {
        auto r = run(sql);
        EXPECT_EQ(r.first_error, 0) << sql << "\n" << (messages(r).empty() ? "" : messages(r)[0].text);
        return rows(r);
    }
    std::string scalar(const std::string& sql) {
        auto r = query(sql);
        return r.empty() ? "<no row>" : r[0];
    }
};

// An engine with the demo fixture loaded.
struct demo_engine {
    standin::engine eng{default_logins()};
    demo_engine() {
        std::string error;
        if (!eng.run_fixture(demo_fixture(), error)) ADD_FAILURE() << error;
    }
};

// Two connections to velmora on one demo engine, for locks and isolation.
class two_sessions : public ::testing::Test {
protected:
    demo_engine demo;
    session a{demo.eng, "velmora"};
    session b{demo.eng, "velmora"};
};

}  // namespace engine_test
