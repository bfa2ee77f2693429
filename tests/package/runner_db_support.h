#pragma once
// Shared by the runner's database tests: a stand-in with the runner fixture,
// a session logged in to it, a run directory, and readers for what the server
// received (journal) and keeps (dump).

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/app_names.h"
#include "common/gbk.h"
#include "common/ui_services.h"
#include "package/package_format.h"
#include "package/package_runner.h"
#include "session/database_session.h"
#include "support/recording_ui.h"
#include "support/standin_process.h"
#include "support/temp_folder.h"

namespace runner_db {

struct received {
    std::string sql;  // UTF-8, as the server got it
    int error = 0;
    bool operator==(const received&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const received& r) {
    return os << "{error " << r.error << ": " << r.sql << "}";
}

struct stored_object {
    std::string name;
    std::string type;
    bool encrypted = false;
    std::string definition;
};

// Scripts as SQL Server's tools write them: a guarded drop, a GO line, then
// the create to the end of the file; CRLF lines, Chinese comments. UTF-8 in,
// GBK out.
inline std::string crlf_gbk(const std::vector<std::string>& lines) {
    std::string utf8;
    for (const auto& l : lines) utf8 += l + "\r\n";
    auto gbk = velmora::utf8_to_gbk(utf8);
    EXPECT_TRUE(gbk.has_value());
    return gbk.value_or("");
}

inline std::string procedure_script(const std::string& name, const std::string& body_line) {
    return crlf_gbk({
        "if exists (select * from sysobjects where id = object_id(N'[dbo].[" + name +
            "]') and OBJECTPROPERTY(id, N'IsProcedure') = 1)",
        "drop procedure [dbo].[" + name + "]",
        "GO",
        "CREATE PROCEDURE " + name,
        "    @as_item_id varchar(20),",
        "    @ai_flag int = 0",
        "AS",
        "BEGIN",
        "    -- 中文注释：按商品统计库存",
        "    " + body_line,
        "END",
    });
}

inline std::string trigger_script(const std::string& name) {
    return crlf_gbk({
        "if exists (select * from sysobjects where id = object_id(N'[dbo].[" + name +
            "]') and OBJECTPROPERTY(id, N'IsTrigger') = 1)",
        "drop trigger [dbo].[" + name + "]",
        "GO",
        "CREATE TRIGGER " + name + " ON t_item",
        "FOR INSERT, UPDATE",
        "AS",
        "BEGIN",
        "    -- 触发器：库存数量不能为负",
        "    if exists (select 1 from inserted where qty < 0)",
        "        rollback transaction",
        "END",
    });
}

// What the server must receive for a script: the text before the "\r\nGO"
// line, and the text from the create key with " with ENCRYPTION " placed
// before the header's last "FOR" (triggers) or "AS" (procedures). Worked out
// from the file, independently of the statement builder.
inline std::pair<std::string, std::string> expected_statements(const std::string& gbk_script) {
    const std::string utf8 = velmora::gbk_to_utf8(gbk_script).value();
    const std::size_t go = utf8.find("\r\nGO\r\n");
    const std::size_t create = utf8.find("CREATE ");
    std::string drop = utf8.substr(0, go);
    std::string rest = utf8.substr(create);
    const std::size_t begin = rest.find("BEGIN");
    std::size_t at = rest.rfind("\r\nFOR ", begin);
    if (at == std::string::npos) at = rest.rfind("\r\nAS\r\n", begin);
    rest.insert(at + 2, " with ENCRYPTION ");
    return {drop, rest};
}

class RunnerDbTest : public ::testing::Test {
protected:
    void start(std::vector<std::string> extra_args = {}) {
        standin_test::standin_options opts;
        opts.fixtures = {RUNNER_FIXTURE};
        opts.extra_args = std::move(extra_args);
        server_ = std::make_unique<standin_test::standin_process>(opts);
        session_.driver = "MSS";
        session_.server_name = server_->server_name();
        session_.database_name = "velmora";
        session_.login_id = "velmora";
        session_.login_password = "quorbin";
        session_.set_autocommit(true);  // as the upgrade command runs it
        session_.connect();
        ASSERT_EQ(session_.status_code, 0) << session_.error_text;
        // Everything the journal holds up to this batch belongs to the login.
        session_.execute_immediate(sync_marker);
    }
    void TearDown() override { session_.disconnect(); }

    void write_package(const std::string& bytes) {
        std::ofstream(run_dir_ + "db.dat", std::ios::binary) << bytes;
    }
    velmora::run_outcome run() {
        velmora::run_outcome o = velmora::run_package(run_dir_, session_, ui_);
        EXPECT_EQ(ui_.busy_depth, 0);
        return o;
    }

    // Batches received since the session logged in; with_transactions adds
    // the transaction requests ("<begin tran>", "<commit tran>", ...). The
    // server writes a batch's journal line after its reply, so one more batch
    // on the same connection makes sure the line of the last real one is there.
    std::vector<received> journal(bool with_transactions = false) {
        if (session_.connected()) session_.execute_immediate(sync_marker);
        std::vector<received> out;
        bool after_login = false;
        for (const std::string& line : server_->journal_lines()) {
            const nlohmann::json j = nlohmann::json::parse(line);
            const std::string sql = j.at("sql").get<std::string>();
            if (sql == sync_marker) {
                after_login = true;
                continue;
            }
            if (!with_transactions && sql.rfind("<", 0) == 0) continue;
            if (after_login) out.push_back({sql, static_cast<int>(j.at("error").get<std::int64_t>())});
        }
        return out;
    }

    // SQL batches the server received up to and including the first sync.
    std::size_t batches_before_run() {
        journal();
        std::size_t n = 0;
        for (const std::string& line : server_->journal_lines()) {
            const std::string sql = nlohmann::json::parse(line).at("sql").get<std::string>();
            n += sql.rfind("<", 0) != 0;  // transaction requests are no batches
            if (sql == sync_marker) break;
        }
        return n + 1;  // and the sync journal() just sent
    }

    // Stops the server; the procedures and triggers of database velmora.
    std::vector<stored_object> stop_and_read_objects() {
        session_.disconnect();
        const nlohmann::json dump = nlohmann::json::parse(server_->stop_and_dump());
        std::vector<stored_object> out;
        const nlohmann::json& objects = dump.at("databases").at("velmora").at("objects");
        for (std::size_t i = 0; i < objects.size(); ++i) {
            const auto& o = objects[i];
            out.push_back({o.at("name").get<std::string>(), o.at("type").get<std::string>(), o.at("encrypted").get<bool>(),
                           o.at("definition").get<std::string>()});
        }
        return out;
    }
    static const stored_object* find(const std::vector<stored_object>& objs, const std::string& name) {
        for (const auto& o : objs)
            if (o.name == name) return &o;
        return nullptr;
    }

    std::unique_ptr<standin_test::standin_process> server_;
    velmora::database_session session_;
    test_support::recording_ui ui_;
    test_support::temp_folder run_folder_{"velmora_rundir"};
    std::string run_dir_ = run_folder_.dir();
    static constexpr const char* sync_marker = "select 1 -- journal sync";
};

}  // namespace runner_db
