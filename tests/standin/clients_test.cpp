// Real clients against the stand-in: FreeTDS tsql, unixODBC isql and iusql,
// and our own ODBC client through the wide-character functions.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "client_tools.h"
#include "odbc_client.h"
#include "sqlserver-standin/server_version.h"
#include "support/standin_process.h"

namespace {

using namespace standin_test;
using nlohmann::json;

standin_options shop() { return {{shop_fixture()}, {}}; }

TEST(StandinTsql, QueriesAndErrorsThroughFreeTds) {
    standin_process s(shop());
    auto r = run_tsql(s,
                      "select item_name from t_item where item_id = 1\ngo\n"
                      "select * from nowhere\ngo\n"
                      "select db_name()\ngo\nexit\n",
                      "velmora", "quorbin", "shop");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("苹果"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("shop"), std::string::npos) << r.out;
    const std::string all = r.out + r.err;
    EXPECT_NE(all.find("Msg 208"), std::string::npos) << all;
    EXPECT_NE(all.find("Invalid object name 'nowhere'."), std::string::npos) << all;
}

TEST(StandinTsql, LoginFailuresCarrySqlServerTexts) {
    standin_process s(shop());
    auto bad_password = run_tsql(s, "select 1\ngo\nexit\n", "velmora", "wrong");
    EXPECT_NE(bad_password.exit_code, 0);
    EXPECT_NE(bad_password.err.find("Msg 18456"), std::string::npos) << bad_password.err;
    EXPECT_NE(bad_password.err.find("Login failed for user 'velmora'."), std::string::npos) << bad_password.err;

    auto bad_user = run_tsql(s, "select 1\ngo\nexit\n", "mallory", "quorbin");
    EXPECT_NE(bad_user.err.find("Login failed for user 'mallory'."), std::string::npos) << bad_user.err;

    auto bad_db = run_tsql(s, "select 1\ngo\nexit\n", "velmora", "quorbin", "nosuch");
    const std::string all = bad_db.out + bad_db.err;
    EXPECT_NE(all.find("4060"), std::string::npos) << all;
    EXPECT_NE(all.find("Cannot open database \"nosuch\" requested by the login. The login failed."),
              std::string::npos)
        << all;
}

TEST(StandinTsql, ExtraLoginsReplaceTheDefault) {
    standin_process s({{}, {"--login", "sa:Secret1", "--login", "ops:pw"}});
    EXPECT_EQ(run_tsql(s, "exit\n", "sa", "Secret1").exit_code, 0);
    EXPECT_EQ(run_tsql(s, "exit\n", "ops", "pw").exit_code, 0);
    EXPECT_NE(run_tsql(s, "exit\n", "velmora", "quorbin").exit_code, 0);
}

TEST(StandinIsql, PreparedStatementsThroughTheOdbcDriver) {
    standin_process s(shop());
    // isql prepares and executes each line: the driver sends sp_prepexec.
    auto r = run_isql(s,
                      "select item_name from t_item where item_id = 2\n"
                      "select * from nowhere\n",
                      "shop");
    EXPECT_NE(r.out.find("pear"), std::string::npos) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find("Invalid object name 'nowhere'."), std::string::npos) << r.out << r.err;
    auto journal = s.journal_lines();
    ASSERT_EQ(journal.size(), 2u);
    EXPECT_EQ(json::parse(journal[0]).at("sql").get<std::string>(), "select item_name from t_item where item_id = 2");
    EXPECT_EQ(json::parse(journal[1]).at("error").get<std::int64_t>(), 208);

    auto bad = run_isql(s, "select 1\n", "shop", "wrong");
    EXPECT_NE(bad.exit_code, 0);
    EXPECT_NE((bad.out + bad.err).find("Login failed for user 'velmora'."), std::string::npos) << bad.err;
}

// iusql shows only the low byte of each character, so Chinese text is
// checked through tsql and our own client instead.
TEST(StandinIsql, WideClientThroughADsn) {
    standin_process s(shop());
    auto r = run_iusql(s, "select item_name from t_item where item_id = 2\n", "shop");
    EXPECT_NE(r.out.find("pear"), std::string::npos) << r.out << r.err;
}

TEST(StandinOdbc, ResultsArriveWithTheirTypes) {
    standin_process s(shop());
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    auto r = c.exec("select item_id, item_name, price, added from t_item where item_id = 1");
    ASSERT_TRUE(r.ok) << r.all_text();
    ASSERT_EQ(r.results.size(), 1u);
    EXPECT_EQ(r.results[0].columns, (std::vector<std::string>{"item_id", "item_name", "price", "added"}));
    ASSERT_EQ(r.results[0].rows.size(), 1u);
    const auto& row = r.results[0].rows[0];
    EXPECT_EQ(row[0], "1");
    EXPECT_EQ(row[1], "苹果");
    EXPECT_EQ(row[2], "1.50");  // numeric(p, 2) keeps its scale, as SQL Server's does
    EXPECT_EQ(row[3], "2020-01-02 03:04:05.000");

    auto nulls = c.exec("select added from t_item where item_id = 2");
    ASSERT_EQ(nulls.results.size(), 1u);
    ASSERT_EQ(nulls.results[0].rows.size(), 1u);
    EXPECT_FALSE(nulls.results[0].rows[0][0].has_value());

    auto updated = c.exec("update t_item set price = 3 where item_id = 2");
    ASSERT_TRUE(updated.ok) << updated.all_text();
    EXPECT_EQ(updated.row_counts, (std::vector<long long>{1}));

    // varchar arrives in the collation's code page (936) and the driver
    // turns it back into the same text, as with a real server; money and
    // bit as their own types.
    ASSERT_TRUE(c.exec("create table t_gbk (v varchar(10), c char(3), m money, b bit) "
                       "insert into t_gbk values ('物流跟踪', 'ab', 2.5, 1)").ok);
    auto gbk = c.exec("select v, c, m, b from t_gbk");
    ASSERT_EQ(gbk.results.size(), 1u);
    EXPECT_EQ(gbk.results[0].rows[0], (std::vector<std::optional<std::string>>{"物流跟踪", "ab ", "2.5000", "1"}));
}

TEST(StandinOdbc, ErrorsKeepTheirNumbersAndTexts) {
    standin_process s(shop());
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    auto missing_table = c.exec("select * from nowhere");
    EXPECT_FALSE(missing_table.ok);
    EXPECT_TRUE(missing_table.has_error(208)) << missing_table.all_text();

    auto missing_column = c.exec("select no_column from t_item");
    EXPECT_TRUE(missing_column.has_error(207)) << missing_column.all_text();

    auto duplicate = c.exec("insert into t_item values (1, N'x', 1, null)");
    ASSERT_TRUE(duplicate.has_error(2627)) << duplicate.all_text();
    EXPECT_NE(duplicate.all_text().find("Violation of PRIMARY KEY constraint 'PK_t_item'. Cannot insert duplicate "
                                        "key in object 'dbo.t_item'. The duplicate key value is (1)."),
              std::string::npos)
        << duplicate.all_text();

    auto nonsense = c.exec("select 1 +");
    EXPECT_TRUE(nonsense.has_error(102)) << nonsense.all_text();

    // A statement error in the middle of a batch: the statements around it
    // still run and their results still arrive.
    auto mixed = c.exec("select 1\ninsert into t_item values (1, N'x', 1, null)\nselect 2");
    EXPECT_FALSE(mixed.ok);
    EXPECT_TRUE(mixed.has_error(2627));
    ASSERT_EQ(mixed.results.size(), 2u) << mixed.all_text();
    EXPECT_EQ(mixed.results[1].rows[0][0], "2");
}

// Bound parameters travel as a procedure call with typed values; the server
// writes them into the statement as literals.
TEST(StandinOdbc, BoundParameters) {
    standin_process s(shop());
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    auto ins = c.exec_params("insert into t_item (item_id, item_name) values (?, ?)", {6, std::string("it's 物流")});
    ASSERT_TRUE(ins.ok) << ins.all_text();
    auto back = c.exec_params("select item_name from t_item where item_id = ?", {6});
    ASSERT_TRUE(back.ok) << back.all_text();
    EXPECT_EQ(back.scalar(), "it's 物流");
    auto none = c.exec_params("select count(*) from t_item where item_name = ?", {std::monostate{}});
    EXPECT_EQ(none.scalar(), "0") << none.all_text();
    auto missing = c.exec_params("select * from nowhere where item_id = ?", {1});
    EXPECT_TRUE(missing.has_error(208)) << missing.all_text();
}

TEST(StandinOdbc, ChineseTextRoundTrip) {
    standin_process s(shop());
    {
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        auto ins = c.exec("insert into t_item (item_id, item_name) values (3, N'物流跟踪')");
        ASSERT_TRUE(ins.ok) << ins.all_text();
        auto back = c.exec("select item_name from t_item where item_name = N'物流跟踪'");
        EXPECT_EQ(back.scalar(), "物流跟踪") << back.all_text();
    }
    bool in_journal = false;
    for (const auto& line : s.journal_lines())
        in_journal = in_journal || json::parse(line).at("sql").get<std::string>().find("物流跟踪") != std::string::npos;
    EXPECT_TRUE(in_journal);
    auto dump = json::parse(s.stop_and_dump());
    bool in_dump = false;
    const auto& rows = dump.at("databases").at("shop").at("tables").at("t_item").at("rows");
    for (std::size_t i = 0; i < rows.size(); ++i)
        in_dump = in_dump || (rows[i][1].is_string() && rows[i][1].get<std::string>() == "物流跟踪");
    EXPECT_TRUE(in_dump) << rows.dump();
}

TEST(StandinOdbc, TwoClientsAtOnceKeepTheirOwnContext) {
    standin_process s(shop());
    odbc_client a, b;
    ASSERT_TRUE(a.connect(s.odbc_connection_string("shop"))) << a.last_text();
    ASSERT_TRUE(b.connect(s.odbc_connection_string())) << b.last_text();
    EXPECT_EQ(a.exec("select db_name()").scalar(), "shop");
    EXPECT_EQ(b.exec("select db_name()").scalar(), "master");
    ASSERT_TRUE(a.exec("insert into t_item (item_id, item_name) values (5, N'five')").ok);
    ASSERT_TRUE(b.exec("use shop").ok);
    EXPECT_EQ(b.exec("select item_name from t_item where item_id = 5").scalar(), "five");

    // Both busy at the same moment.
    std::atomic<int> failures{0};
    auto hammer = [&](odbc_client& c, int id) {
        for (int i = 0; i < 40; ++i)
            if (c.exec("select item_id from t_item where item_id = " + std::to_string(id)).scalar() !=
                std::to_string(id))
                ++failures;
    };
    std::thread ta([&] { hammer(a, 1); });
    std::thread tb([&] { hammer(b, 2); });
    ta.join();
    tb.join();
    EXPECT_EQ(failures.load(), 0);

    // The journal tells the connections apart and names each batch's database.
    std::set<std::int64_t> conns;
    for (const auto& line : s.journal_lines()) conns.insert(json::parse(line).at("conn").get<std::int64_t>());
    EXPECT_EQ(conns.size(), 2u);
}

TEST(StandinOdbc, JournalRecordsEveryRequestInOrder) {
    standin_process s(shop());
    {
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string())) << c.last_text();
        c.exec("use shop");
        c.exec("select 'a\"b\\\\c'\r\n\tfrom t_item where item_id = 1");
        c.exec("select * from nowhere");
        ASSERT_TRUE(c.set_autocommit(false));
        c.exec("update t_item set price = 4 where item_id = 1");
        ASSERT_TRUE(c.end_transaction(true));
        ASSERT_TRUE(c.set_autocommit(true));
    }
    auto lines = s.journal_lines();
    std::vector<std::string> sql, db;
    std::vector<std::int64_t> errors;
    for (const auto& line : lines) {
        auto j = nlohmann::ordered_json::parse(line);
        std::vector<std::string> keys;
        for (const auto& item : j.items()) keys.push_back(item.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"conn", "db", "sql", "error"})) << line;
        sql.push_back(j.at("sql").get<std::string>());
        db.push_back(j.at("db").get<std::string>());
        errors.push_back(j.at("error").get<std::int64_t>());
    }
    // Switching autocommit off begins a transaction, commit begins the next,
    // and switching it back on rolls that one back.
    EXPECT_EQ(sql, (std::vector<std::string>{"use shop", "select 'a\"b\\\\c'\r\n\tfrom t_item where item_id = 1",
                                             "select * from nowhere", "<begin tran>",
                                             "update t_item set price = 4 where item_id = 1", "<commit tran>",
                                             "<rollback tran>"}));
    EXPECT_EQ(db, (std::vector<std::string>{"master", "shop", "shop", "shop", "shop", "shop", "shop"}));
    EXPECT_EQ(errors, (std::vector<std::int64_t>{0, 0, 208, 0, 0, 0, 0}));
}

// A plan's check of a create statement through FreeTDS: SET PARSEONLY ON in
// a batch of its own, the statement, SET PARSEONLY OFF. The broken statement
// gets the server's syntax error, the valid one creates nothing, and the
// journal marks the parsed-only batches.
TEST(StandinOdbc, ParseOnlyChecksCreateStatementsWithoutRunningThem) {
    standin_process s(shop());
    struct step {
        const char* sql;
        long error;  // the native error, 0 for none
        const char* text;
    };
    const step steps[] = {
        {"set parseonly on", 0, ""},
        {"create trigger tr_po on t_item for insert, update not  with ENCRYPTION for replication as select 1", 156,
         "Incorrect syntax near the keyword 'with'."},
        {"create proc p_po with recompile  with ENCRYPTION as select 1", 156, "Incorrect syntax near the keyword 'with'."},
        {"create procedure p_po\r\n with ENCRYPTION AS\r\nBEGIN\r\n  select 1\r\nEND", 0, ""},
        {"create trigger tr_po on t_item with ENCRYPTION for insert as select 1", 0, ""},
        {"set parseonly off", 0, ""},
    };
    odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
    for (const auto& st : steps) {
        auto r = c.exec(st.sql);
        EXPECT_EQ(r.ok, st.error == 0) << st.sql << "\n" << r.all_text();
        if (st.error) {
            ASSERT_TRUE(r.has_error(st.error)) << r.all_text();
            EXPECT_NE(r.all_text().find(st.text), std::string::npos) << r.all_text();
        }
    }
    EXPECT_EQ(c.exec("select count(*) from sysobjects where name in ('p_po', 'tr_po')").scalar(), "0");
    auto lines = s.journal_lines();
    ASSERT_EQ(lines.size(), std::size(steps) + 1);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        auto j = json::parse(lines[i]);
        const bool parsed_only = i + 2 < lines.size();  // all but SET PARSEONLY OFF and the count
        EXPECT_EQ(j.contains("parseonly"), parsed_only) << lines[i];
        if (parsed_only) {
            EXPECT_TRUE(j.at("parseonly").get<bool>()) << lines[i];
        }
        EXPECT_EQ(j.at("error").get<long>(), i < std::size(steps) ? steps[i].error : 0) << lines[i];
    }
}


// Each version answers what it lacks as that version does, and everything
// else as any version: every statement form and function the versions
// differ in, run on a stand-in of each version through the ODBC driver.
TEST(StandinVersions, EachVersionHasWhatItsReleaseBroughtAndRefusesTheRest) {
    using standin::version_features;
    struct probe {
        const char* sql;
        bool version_features::*needs;
        long error;        // what a version without it answers, 0: a NULL result
        const char* text;  // ... with this text
    };
    const probe probes[] = {
        {"select count(*) from sys.objects", &version_features::catalog_views, 208, "Invalid object name 'sys.objects'."},
        {"select count(*) from sys.procedures", &version_features::catalog_views, 208,
         "Invalid object name 'sys.procedures'."},
        {"select count(*) from sys.tables", &version_features::catalog_views, 208, "Invalid object name 'sys.tables'."},
        {"select count(*) from sys.triggers", &version_features::catalog_views, 208,
         "Invalid object name 'sys.triggers'."},
        {"select count(*) from sys.databases", &version_features::catalog_views, 208,
         "Invalid object name 'sys.databases'."},
        {"select count(*) from sys.sql_modules", &version_features::catalog_views, 208,
         "Invalid object name 'sys.sql_modules'."},
        {"select count(*) from sys.sysobjects", &version_features::catalog_views, 208,
         "Invalid object name 'sys.sysobjects'."},
        {"select APPLOCK_TEST ( 'public' , N'velmora.upgrade' , 'Exclusive' , 'Session' )",
         &version_features::applock_test, 195, "'APPLOCK_TEST' is not a recognized built-in function name."},
        {"create trigger tr_ddl on database for create_table as print 1", &version_features::ddl_triggers, 156,
         "Incorrect syntax near the keyword 'database'."},
        {"drop trigger tr_ddl on database", &version_features::ddl_triggers, 156,
         "Incorrect syntax near the keyword 'on'."},
        {"create or alter procedure p_v as select 1", &version_features::create_or_alter, 156,
         "Incorrect syntax near the keyword 'or'."},
        {"create or alter trigger tr_v on t_item for insert as print 1", &version_features::create_or_alter, 156,
         "Incorrect syntax near the keyword 'or'."},
        {"drop procedure if exists p_none", &version_features::drop_if_exists, 156,
         "Incorrect syntax near the keyword 'if'."},
        {"drop trigger if exists tr_none", &version_features::drop_if_exists, 156,
         "Incorrect syntax near the keyword 'if'."},
        {"drop table if exists t_none", &version_features::drop_if_exists, 156,
         "Incorrect syntax near the keyword 'if'."},
        {"select serverproperty('ProductMajorVersion')", &version_features::product_major_version, 0, ""},
        {"select serverproperty('InstanceDefaultBackupPath')", &version_features::default_backup_path, 0, ""},
        // What every version has.
        {"create trigger tr_append on t_item for insert with append as print 1", nullptr, 0, ""},
        {"declare @r int exec @r = sp_getapplock 'velmora.upgrade', 'Exclusive', 'Session', 0 select @r", nullptr, 0,
         ""},
        {"select count(*) from sysobjects where name = 'tr_append'", nullptr, 0, ""},
    };
    for (const auto& v : standin::all_versions()) {
        SCOPED_TRACE(v.name);
        standin_process s({{shop_fixture()}, {"--version", v.name}});
        odbc_client c;
        ASSERT_TRUE(c.connect(s.odbc_connection_string("shop"))) << c.last_text();
        for (const auto& p : probes) {
            SCOPED_TRACE(p.sql);
            const bool has = !p.needs || v.has.*p.needs;
            auto r = c.exec(p.sql);
            if (has || p.error == 0) {
                EXPECT_TRUE(r.ok) << r.all_text();
                if (!r.results.empty()) {
                    EXPECT_EQ(r.scalar() == "NULL", !has);
                }
            } else {
                EXPECT_TRUE(r.has_error(p.error)) << r.all_text();
                EXPECT_NE(r.all_text().find(p.text), std::string::npos) << r.all_text();
            }
        }
        // The server tells one build wherever it is asked.
        auto id = c.exec("select serverproperty('ProductVersion'), serverproperty('ProductLevel'), "
                         "serverproperty('Edition'), @@version");
        ASSERT_TRUE(id.ok && !id.results.empty() && !id.results[0].rows.empty()) << id.all_text();
        const auto& row = id.results[0].rows[0];
        EXPECT_EQ(row[0].value_or(""), v.product_version);
        EXPECT_EQ(row[1].value_or(""), v.product_level);
        EXPECT_EQ(row[2].value_or(""), v.edition);
        EXPECT_NE(row[3].value_or("").find(v.product_version), std::string::npos);
        // SET PARSEONLY on every version: parsed, nothing run, nothing refused at run time.
        EXPECT_TRUE(c.exec("set parseonly on").ok);
        auto parsed = c.exec("select * from nowhere");
        EXPECT_TRUE(parsed.ok && parsed.results.empty()) << parsed.all_text();
        EXPECT_TRUE(c.exec("set parseonly off").ok);
        EXPECT_TRUE(c.exec("select * from nowhere").has_error(208));
    }
}

}  // namespace

namespace {

// The demo set-up as a person would try it: the demo fixture, then tsql and
// isql with the default login.
TEST(StandinDemo, TsqlAndIsqlReadTheDemoDatabase) {
    standin_process s({{"demo"}, {}});
    auto t = run_tsql(s, "select sys_var_value from t_sys_system where sys_var_id = 'DataBase_Version'\ngo\nexit\n",
                      "velmora", "quorbin", "velmora");
    EXPECT_EQ(t.exit_code, 0) << t.err;
    EXPECT_NE(t.out.find("V8 20150301"), std::string::npos) << t.out << t.err;

    auto i = run_isql(s, "select name from sysdatabases where name = 'BrenHolt'\n");
    EXPECT_NE(i.out.find("BrenHolt"), std::string::npos) << i.out << i.err;

    standin_test::odbc_client c;
    ASSERT_TRUE(c.connect(s.odbc_connection_string("velmora"))) << c.last_text();
    EXPECT_EQ(c.exec("select sys_var_name from t_sys_system where sys_var_id = 'DataBase_Version'").scalar(),
              "数据库版本");
}

}  // namespace
