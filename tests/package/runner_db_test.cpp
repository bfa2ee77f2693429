// The runner against the stand-in, through the real session and client stack.

#include "runner_db_support.h"

#include "common/app_names.h"
#include "package/statement_builder.h"
#include "support/create_shapes.h"

using namespace runner_db;
using velmora::gs_appname;
using velmora::run_outcome;
using boxes_t = std::vector<std::pair<std::string, std::string>>;

namespace {

const std::string success_text = "更新成功！";

TEST_F(RunnerDbTest, ProceduresAndTriggerAreRecreatedEncrypted) {
    start();
    const std::vector<velmora::package::record> scripts = {
        {"p_one_MS.sql", procedure_script("p_one_MS", "select qty from t_item where item_id = @as_item_id")},
        {"p_two_MS.sql", procedure_script("p_two_MS", "select N'物流跟踪', @ai_flag")},
        {"p_three_MS.sql", procedure_script("p_three_MS", "select count(*) from t_item")},
        {"tr_item_MS.sql", trigger_script("tr_item_MS")},
    };
    write_package(velmora::package::encode_package(scripts));

    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    EXPECT_EQ(o.executed, 4);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, success_text}}));
    EXPECT_EQ(ui_.beeps(), 0);

    // Each drop right before its create, in package order, nothing else.
    std::vector<received> expected;
    for (const auto& s : scripts) {
        auto [drop, create] = expected_statements(s.script);
        expected.push_back({drop, 0});
        expected.push_back({create, 0});
    }
    EXPECT_EQ(journal(), expected);
    // Each object's drop and create are committed together, before the next object's drop.
    std::vector<std::string> requests;
    for (const auto& r : journal(true))
        if (r.sql.rfind("<", 0) != 0 || r.sql == "<commit tran>") requests.push_back(r.sql);
    ASSERT_GE(requests.size(), 3 * scripts.size());
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        EXPECT_EQ(requests[3 * i], expected[2 * i].sql);
        EXPECT_EQ(requests[3 * i + 1], expected[2 * i + 1].sql);
        EXPECT_EQ(requests[3 * i + 2], "<commit tran>");
    }

    const auto objects = stop_and_read_objects();
    for (std::size_t i = 0; i < scripts.size(); ++i) {
        const std::string name = scripts[i].name.substr(0, scripts[i].name.size() - 4);
        SCOPED_TRACE(name);
        const stored_object* obj = find(objects, name);
        ASSERT_NE(obj, nullptr);
        EXPECT_TRUE(obj->encrypted);
        EXPECT_EQ(obj->type, i == 3 ? "TR" : "P");
        EXPECT_EQ(obj->definition, expected[2 * i + 1].sql);
    }
    // Chinese text inside the body arrives as those characters.
    EXPECT_NE(find(objects, "p_two_MS")->definition.find("select N'物流跟踪', @ai_flag"),
              std::string::npos);
    EXPECT_NE(find(objects, "tr_item_MS")->definition.find("-- 触发器：库存数量不能为负"),
              std::string::npos);
}

TEST_F(RunnerDbTest, EndMarkerAloneSendsNothingAndSucceeds) {
    start();
    write_package("@@@@");
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, success_text}}));
    EXPECT_TRUE(journal(true).empty());
}

TEST_F(RunnerDbTest, MissingOrDamagedPackageSendsNothing) {
    start();
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::package_missing);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, "数据库升级程序不全，升级操作被中断。"}}));

    // Whole records first, then a line end after the end marker.
    write_package(velmora::package::encode_package(
                      {{"p_one_MS.sql", procedure_script("p_one_MS", "select 1")}}) +
                  "\r\n");
    ui_.events.clear();
    o = run();
    EXPECT_EQ(o.how, run_outcome::ending::package_damaged);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, "数据库升级程序包已损坏，升级操作被中断。"}}));
    EXPECT_TRUE(journal().empty());
}

TEST_F(RunnerDbTest, RefusedScriptBetweenTwoGoodOnes) {
    start();
    // No "GO" line before the create key: the statement builder refuses it.
    const std::string refused = crlf_gbk({"CREATE PROCEDURE p_mid_MS", "AS", "BEGIN", "select 1", "END"});
    write_package(velmora::package::encode_package({
        {"p_a_MS.sql", procedure_script("p_a_MS", "select 1")},
        {"p_mid_MS.sql", refused},
        {"p_z_MS.sql", procedure_script("p_z_MS", "select 3")},
    }));
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    EXPECT_EQ(o.executed, 2);
    EXPECT_EQ(o.refused, 1);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, "p_mid_MS.sql 语法错误！"}, {gs_appname, success_text}}));
    EXPECT_EQ(journal().size(), 4u);
    const auto objects = stop_and_read_objects();
    EXPECT_NE(find(objects, "p_a_MS"), nullptr);
    EXPECT_NE(find(objects, "p_z_MS"), nullptr);
    EXPECT_EQ(find(objects, "p_mid_MS"), nullptr);
}

TEST_F(RunnerDbTest, FailedCreateKeepsTheOldObjectAndEndsTheRun) {
    // p_two_MS and p_three_MS exist from the fixture, unencrypted.
    start({"--fail", "CREATE PROCEDURE p_two_MS=50000:p_two is broken"});
    const auto one = procedure_script("p_one_MS", "select 1");
    const auto two = procedure_script("p_two_MS", "select 2");
    const auto three = procedure_script("p_three_MS", "select 3");
    write_package(velmora::package::encode_package(
        {{"p_one_MS.sql", one}, {"p_two_MS.sql", two}, {"p_three_MS.sql", three}}));

    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::create_failed);
    EXPECT_EQ(o.executed, 1);
    ASSERT_EQ(ui_.boxes().size(), 2u);
    const std::string err = ui_.boxes()[0].second;
    EXPECT_NE(err.find("p_two is broken"), std::string::npos) << err;
    EXPECT_EQ(ui_.boxes(), (boxes_t{{"p_two_MS.sql", err}, {gs_appname, "更新失败！(错误信息：" + err + ")"}}));
    EXPECT_EQ(ui_.beeps(), 1);
    ASSERT_FALSE(o.records.empty());
    EXPECT_EQ(o.records.back().what, velmora::record_result::action::failed);
    EXPECT_EQ(o.records.back().detail, err);
    EXPECT_TRUE(session_.autocommit());  // the session's mode is given back

    const auto j = journal(true);
    std::vector<std::string> after_drop_two;
    bool seen = false;
    for (const auto& r : j) {
        if (r.sql == expected_statements(two).first) seen = true;
        if (seen) after_drop_two.push_back(r.sql);
        EXPECT_EQ(r.sql.find("p_three"), std::string::npos);
    }
    ASSERT_GE(after_drop_two.size(), 3u);
    EXPECT_EQ(after_drop_two[1], expected_statements(two).second);
    EXPECT_EQ(after_drop_two[2], "<rollback tran>");

    // The failing create's drop was rolled back with it: the old p_two_MS stays.
    const auto objects = stop_and_read_objects();
    ASSERT_NE(find(objects, "p_one_MS"), nullptr);
    EXPECT_TRUE(find(objects, "p_one_MS")->encrypted);
    ASSERT_NE(find(objects, "p_two_MS"), nullptr);
    EXPECT_FALSE(find(objects, "p_two_MS")->encrypted);
    EXPECT_NE(find(objects, "p_two_MS")->definition.find("old two"), std::string::npos);
    ASSERT_NE(find(objects, "p_three_MS"), nullptr);
    EXPECT_NE(find(objects, "p_three_MS")->definition.find("old three"), std::string::npos);
}

TEST_F(RunnerDbTest, AFailedRollbackEndsTheConnectionWithoutACommit) {
    // The drop of p_two_MS stands in the open transaction when its rollback
    // fails: any commit after that (switching autocommit back on, the logout)
    // would lose the object.
    start({"--fail", "CREATE PROCEDURE p_two_MS=50000:p_two is broken", "--fail", "^<rollback tran>$=3998:rollback refused"});
    const auto two = procedure_script("p_two_MS", "select 2");
    write_package(velmora::package::encode_package(
        {{"p_one_MS.sql", procedure_script("p_one_MS", "select 1")}, {"p_two_MS.sql", two},
         {"p_three_MS.sql", procedure_script("p_three_MS", "select 3")}}));

    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::create_failed);
    ASSERT_EQ(o.records.size(), 2u);
    EXPECT_TRUE(o.records.back().object_unknown);
    EXPECT_NE(o.records.back().detail.find("rollback refused"), std::string::npos) << o.records.back().detail;
    EXPECT_TRUE(session_.connection_broken());

    std::vector<std::string> after_create_two;
    for (const auto& r : journal(true))
        if (!after_create_two.empty() || r.sql == expected_statements(two).second) after_create_two.push_back(r.sql);
    EXPECT_EQ(after_create_two, (std::vector<std::string>{expected_statements(two).second, "<rollback tran>"}));

    const auto objects = stop_and_read_objects();
    ASSERT_NE(find(objects, "p_two_MS"), nullptr) << "the drop was committed";
    EXPECT_NE(find(objects, "p_two_MS")->definition.find("old two"), std::string::npos);
}

TEST_F(RunnerDbTest, InterfaceTagFollowsTheDriver) {
    start();
    const std::string pkg = velmora::package::encode_package({
        {"p_ITEMS.sql", procedure_script("p_ITEMS", "select 1")},      // "MS" inside a word
        {"p_items_ms.sql", procedure_script("p_items_ms", "select 2")},  // lower case only
        {"p_odbc_ANY5.sql", procedure_script("p_odbc_ANY5", "select 3")},
        {"p_both_MS_ANY5.sql", procedure_script("p_both_MS_ANY5", "select 4")},
    });
    write_package(pkg);
    run_outcome o = run();
    EXPECT_EQ(o.executed, 2);
    EXPECT_EQ(o.skipped, 2);
    EXPECT_EQ(ui_.boxes(), (boxes_t{{gs_appname, success_text}}));
    auto created = [&](std::size_t from) {
        std::vector<std::string> names;
        const auto j = journal();
        for (std::size_t i = from; i < j.size(); ++i)
            if (j[i].sql.rfind("CREATE PROCEDURE ", 0) == 0)
                names.push_back(j[i].sql.substr(17, j[i].sql.find("\r\n") - 17));
        return names;
    };
    EXPECT_EQ(created(0), (std::vector<std::string>{"p_ITEMS", "p_both_MS_ANY5"}));

    const std::size_t before = journal().size();
    session_.driver = "odbc";
    ui_.events.clear();
    o = run();
    EXPECT_EQ(o.executed, 2);
    EXPECT_EQ(o.skipped, 2);
    EXPECT_EQ(created(before), (std::vector<std::string>{"p_odbc_ANY5", "p_both_MS_ANY5"}));
}

TEST_F(RunnerDbTest, LargePackageReadInPiecesArrivesWhole) {
    start();
    std::vector<velmora::package::record> scripts;
    for (int i = 0; i < 3; ++i) {
        const std::string name = "p_big" + std::to_string(i) + "_MS";
        std::string body = "select '";
        body += std::string(30000, static_cast<char>('a' + i));
        body += "'";
        scripts.push_back({name + ".sql", procedure_script(name, body)});
    }
    const std::string pkg = velmora::package::encode_package(scripts);
    ASSERT_GT(pkg.size(), 65531u);
    write_package(pkg);
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::completed);
    const auto objects = stop_and_read_objects();
    for (const auto& s : scripts) {
        const stored_object* obj = find(objects, s.name.substr(0, s.name.size() - 4));
        ASSERT_NE(obj, nullptr);
        EXPECT_EQ(obj->definition, expected_statements(s.script).second);
    }
}

TEST_F(RunnerDbTest, DroppedConnectionIsAFailureNeverASuccess) {
    // The server cuts the connection when its 6th batch arrives; fewer come
    // before the run, so the cut falls inside a run of ten.
    start({"--drop-after", "6"});
    const std::size_t before = batches_before_run();
    ASSERT_LT(before, 6u);
    std::vector<velmora::package::record> scripts;
    for (int i = 0; i < 5; ++i) {
        const std::string name = "p_d" + std::to_string(i) + "_MS";
        scripts.push_back({name + ".sql", procedure_script(name, "select 1")});
    }
    write_package(velmora::package::encode_package(scripts));
    run_outcome o = run();
    EXPECT_EQ(o.how, run_outcome::ending::create_failed);
    // Only the scripts whose two batches went through before the cut count.
    EXPECT_EQ(o.executed, static_cast<int>((5 - before) / 2));
    const auto boxes = ui_.boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].second.rfind("更新失败！(错误信息：", 0), 0u) << boxes[1].second;
    EXPECT_EQ(ui_.beeps(), 1);
}

}  // namespace

// The server's own parser, asked without anything run (SET PARSEONLY), takes
// exactly the create statements the builder's grammar check lets through.
TEST_F(RunnerDbTest, TheServerTakesExactlyTheCreateStatementsTheGrammarCheckPasses) {
    start();
    session_.execute_immediate("SET PARSEONLY ON");
    ASSERT_EQ(session_.status_code, 0) << session_.error_text;
    for (const create_shapes::shape& s : create_shapes::shapes()) {
        SCOPED_TRACE(s.label);
        std::string create = s.script, drop;
        ASSERT_TRUE(velmora::wf_get_sql_go(create, drop));
        session_.execute_immediate(velmora::gbk_to_utf16(create).value());
        EXPECT_EQ(session_.status_code == 0, !s.fails) << session_.error_text;
    }
    session_.execute_immediate("SET PARSEONLY OFF");
    EXPECT_EQ(session_.status_code, 0) << session_.error_text;
    const auto objects = stop_and_read_objects();
    for (const auto& o : objects) EXPECT_NE(o.name, "p_x") << "a parsed statement created its object";
}
