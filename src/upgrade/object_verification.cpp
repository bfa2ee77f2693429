#include "upgrade/object_verification.h"

#include <vector>

#include "common/gbk.h"
#include "upgrade/pass_rules.h"

namespace velmora {

std::string unquoted_name(std::string_view name) {
    if (name.size() < 2 || (name.front() != '[' && name.front() != '"')) return std::string(name);
    const char close = name.front() == '[' ? ']' : '"';
    std::string out;
    for (std::size_t i = 1; i + 1 < name.size(); ++i) {
        out += name[i];
        if (name[i] == close && name[i + 1] == close) ++i;
    }
    return out;
}

namespace {

// A database DDL trigger by its name; OBJECT_ID cannot see one.
std::string database_trigger_named(const created_object& o) {
    return "t.parent_class = 0 and t.name = " + pass_rules::unicode_literal(unquoted_name(o.name));
}

}  // namespace

std::string encryption_query(const std::vector<created_object>& objects) {
    std::string sql;
    for (const created_object& o : objects) {
        if (!sql.empty()) sql += '\n';
        if (o.database_trigger)
            sql += "select ( select case when m.definition is null then 1 else 0 end from sys.triggers t join "
                   "sys.sql_modules m on m.object_id = t.object_id where " +
                   database_trigger_named(o) + " )";
        else
            sql += "select OBJECTPROPERTY ( OBJECT_ID ( " + pass_rules::unicode_literal(o.name) + " ) , 'IsEncrypted' )";
    }
    return sql;
}

std::string existence_query(const std::vector<created_object>& objects) {
    std::string sql;
    for (const created_object& o : objects) {
        if (!sql.empty()) sql += '\n';
        if (o.database_trigger)
            sql += "select ( select t.object_id from sys.triggers t where " + database_trigger_named(o) + " )";
        else
            sql += "select OBJECT_ID ( " + pass_rules::unicode_literal(o.name) + " )";
    }
    return sql;
}

object_verification verify_created_objects(database_session& sqlca, run_outcome& run) {
    object_verification result;
    std::vector<record_result*> asked;
    std::vector<created_object> objects;
    for (record_result& r : run.records) {
        if (r.what != record_result::action::executed) continue;
        if (r.object_name.empty()) {
            // Its create statement names nothing this program can read: not
            // confirmed encrypted.
            r.verified = record_result::check::unnamed;
            result.how = object_verification::outcome::failed;
            continue;
        }
        asked.push_back(&r);
        objects.push_back({gbk_to_utf8_lossy(r.object_name), r.database_trigger});
    }
    if (asked.empty()) return result;

    std::vector<database_session::result_row> rows;
    sqlca.select_rows(encryption_query(objects), rows);
    if (sqlca.status_code != 0 || rows.size() != asked.size()) {
        result.how = object_verification::outcome::not_made;
        result.error_number = sqlca.native_error;
        result.error = sqlca.status_code != 0 ? sqlca.error_text
                                              : "The server answered " + std::to_string(rows.size()) + " rows for " +
                                                    std::to_string(asked.size()) + " objects.";
        return result;
    }
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const auto& cell = rows[i].empty() ? std::nullopt : rows[i][0];
        record_result::check& verified = asked[i]->verified;
        verified = !cell ? record_result::check::missing
                   : *cell == "1" ? record_result::check::encrypted
                                  : record_result::check::not_encrypted;
        if (verified != record_result::check::encrypted) result.how = object_verification::outcome::failed;
    }
    return result;
}

}  // namespace velmora
