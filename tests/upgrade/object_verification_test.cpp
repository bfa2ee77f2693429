// The check after a pass, asked of the stand-in through the session: what it
// makes of each answer, and of a record whose object it cannot name. Each
// case is a check of its own, so that no answer hides another.
#include <gtest/gtest.h>

#include "common/gbk.h"
#include "session/connect_db.h"
#include "upgrade/object_verification.h"
#include "upgrade_test_support.h"

using namespace upgrade_test;

namespace {

TEST(object_verification, every_object_not_there_encrypted_fails_the_check) {
    standin_test::standin_process server(with_fixtures({"demo"}));
    velmora::database_session sqlca;
    velmora::apply_login_settings(sqlca);
    sqlca.server_name = server.server_name();
    sqlca.database_name = "velmora";
    sqlca.set_autocommit(true);
    sqlca.connect();
    ASSERT_EQ(sqlca.status_code, 0) << sqlca.error_text;
    for (const char* create : {"create procedure p_zz_locked with ENCRYPTION as begin select 1 end",
                               "create procedure p_zz_open as begin select 1 end",
                               "create procedure p_zz_进销存 with ENCRYPTION as begin select 1 end"}) {
        sqlca.execute_immediate(create);
        ASSERT_EQ(sqlca.status_code, 0) << create << ": " << sqlca.error_text;
    }

    using check = velmora::record_result::check;
    using outcome = velmora::object_verification::outcome;
    struct verification_case {
        const char* label;
        std::vector<std::string> objects;  // GBK, as create statements name them; empty when none can be read
        outcome expected;
        std::vector<check> verified;
    };
    const verification_case cases[] = {
        {"an encrypted object", {"p_zz_locked"}, outcome::passed, {check::encrypted}},
        {"an object without encryption", {"p_zz_open"}, outcome::failed, {check::not_encrypted}},
        {"a missing object", {"p_zz_nowhere"}, outcome::failed, {check::missing}},
        {"a name that cannot be read, beside an encrypted object",
         {"", "p_zz_locked"},
         outcome::failed,
         {check::unnamed, check::encrypted}},
        {"a Chinese name", {*velmora::utf8_to_gbk("p_zz_进销存")}, outcome::passed, {check::encrypted}},
    };
    for (const verification_case& c : cases) {
        SCOPED_TRACE(c.label);
        velmora::run_outcome run;
        for (const std::string& object : c.objects) {
            velmora::record_result& r = run.records.emplace_back();
            r.what = velmora::record_result::action::executed;
            r.name = "p_MS_x.sql";
            r.object_name = object;
            ++run.executed;
        }
        const velmora::object_verification v = velmora::verify_created_objects(sqlca, run);
        EXPECT_EQ(v.how, c.expected) << v.error;
        std::vector<check> verified;
        for (const velmora::record_result& r : run.records) verified.push_back(r.verified);
        EXPECT_EQ(verified, c.verified);
    }
}

}  // namespace
