// "get" then "put": a directory of scripts built into db.dat, run against the
// stand-in, and what the server received compared with the files.

#include <algorithm>

#include "package/package_builder.h"
#include "runner_db_support.h"

using namespace runner_db;
using velmora::run_outcome;

namespace {

TEST_F(RunnerDbTest, BuiltPackageRecreatesEveryScriptOfTheDirectory) {
    start();
    const std::string scripts_dir = run_dir_ + "pr_tr/";
    std::filesystem::create_directory(scripts_dir);
    const std::vector<std::pair<std::string, std::string>> files = {
        {"tr_item_MS.sql", trigger_script("tr_item_MS")},
        {"P_Sheet_MS.sql", procedure_script("P_Sheet_MS", "select item_name from t_item")},
        {"p_item_qty_MS.sql",
         procedure_script("p_item_qty_MS", "select isnull(qty, 0) from t_item where item_id = @as_item_id")},
        {"p_notes_MS.sql", procedure_script("p_notes_MS", "select N'进货单、销售单、库存'")},
    };
    for (const auto& [name, bytes] : files)
        std::ofstream(scripts_dir + name, std::ios::binary) << bytes;

    const velmora::build_result built = velmora::build_package(scripts_dir, run_dir_, ui_);
    ASSERT_TRUE(built.written);
    EXPECT_TRUE(ui_.boxes().empty());
    const std::vector<std::string> order = {"p_item_qty_MS.sql", "p_notes_MS.sql", "P_Sheet_MS.sql",
                                            "tr_item_MS.sql"};
    EXPECT_EQ(built.names, order);

    // Twice: the second run drops what the first created.
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        const std::size_t from = journal().size();
        ui_.events.clear();
        run_outcome o = run();
        EXPECT_EQ(o.how, run_outcome::ending::completed);
        EXPECT_EQ(o.executed, 4);
        EXPECT_EQ(ui_.boxes(), (std::vector<std::pair<std::string, std::string>>{
                                   {velmora::gs_appname, "更新成功！"}}));
        const auto j = journal();
        ASSERT_EQ(j.size(), from + 8);
        for (std::size_t i = 0; i < order.size(); ++i) {
            const auto file = std::find_if(files.begin(), files.end(),
                                           [&](const auto& f) { return f.first == order[i]; });
            auto [drop, create] = expected_statements(file->second);
            EXPECT_EQ(j[from + 2 * i], (received{drop, 0}));
            EXPECT_EQ(j[from + 2 * i + 1], (received{create, 0}));
        }
    }

    const auto objects = stop_and_read_objects();
    for (const auto& [name, bytes] : files) {
        const stored_object* obj = find(objects, name.substr(0, name.size() - 4));
        ASSERT_NE(obj, nullptr) << name;
        EXPECT_TRUE(obj->encrypted);
        EXPECT_EQ(obj->definition, expected_statements(bytes).second);
    }
}

}  // namespace
