#include "upgrade/object_verification.h"

#include <vector>

#include "common/gbk.h"
#include "upgrade/pass_rules.h"

namespace velmora {

std::string encryption_query(const std::vector<std::string>& object_names) {
    std::string sql;
    for (const std::string& name : object_names) {
        if (!sql.empty()) sql += '\n';
        sql += "select OBJECTPROPERTY ( OBJECT_ID ( " + pass_rules::unicode_literal(name) + " ) , 'IsEncrypted' )";
    }
    return sql;
}

object_verification verify_created_objects(database_session& sqlca, run_outcome& run) {
    object_verification result;
    std::vector<record_result*> asked;
    std::vector<std::string> names;
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
        names.push_back(gbk_to_utf8_lossy(r.object_name));
    }
    if (asked.empty()) return result;

    std::vector<database_session::result_row> rows;
    sqlca.select_rows(encryption_query(names), rows);
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
