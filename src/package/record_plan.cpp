#include "package/record_plan.h"

#include "common/gbk.h"
#include "package/create_grammar.h"
#include "package/interface_tag.h"
#include "package/package_format.h"
#include "package/statement_builder.h"

namespace velmora {

namespace {

record_plan refusal(std::string reason) {
    record_plan p;
    p.what = record_plan::action::refuse;
    p.reason = std::move(reason);
    return p;
}

}  // namespace

record_plan plan_record(std::string_view driver, std::string_view name, std::string_view stored_body) {
    if (!passes_interface_filter(driver, name)) return {};

    // The client stack ends text at a NUL and cannot carry invalid GBK: the
    // server would receive a different procedure than the one packaged.
    std::string create = package::reversed(stored_body);
    if (create.find('\0') != std::string::npos) return refusal("holds a NUL byte");
    if (!is_valid_gbk(create)) return refusal("not valid GBK");

    const std::string script = create;
    std::string drop;
    script_cuts cuts;
    const split_failure f = get_sql_go_checked(create, drop, &cuts);
    if (f != split_failure::none) return refusal("statement builder: " + std::string(describe(f)));

    record_plan p;
    p.what = record_plan::action::execute;
    p.object_name = created_object_name(std::string_view(script).substr(cuts.create_at));
    const create_reading reading = read_create_statement(script, cuts);
    if (!reading.clause.encrypts()) p.without_encryption = describe(reading.clause);
    if (reading.fails_on_server()) p.fails_on_server = describe(reading.faults);
    p.database_trigger = reading.database_trigger;
    p.drop = std::move(drop);
    p.create = std::move(create);
    return p;
}

}  // namespace velmora
