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

record_plan plan_record(std::string_view driver, std::string_view name, std::string_view stored_body,
                        bool statements, std::string* scratch) {
    if (!passes_interface_filter(driver, name)) return {};

    // Without the statements, the script is only read, so the caller's
    // buffer serves. (No thread_local here: on 32-bit Windows its destructor
    // would import GetModuleHandleExW into every program.)
    std::string owned;
    std::string& script = statements || !scratch ? owned : *scratch;
    // The client stack ends text at a NUL and cannot carry invalid GBK: the
    // server would receive a different procedure than the one packaged.
    switch (reverse_gbk_text(stored_body, script)) {
        case gbk_text::holds_nul: return refusal("holds a NUL byte");
        case gbk_text::invalid: return refusal("not valid GBK");
        case gbk_text::sendable: break;
    }

    const script_cut cut = cut_script(script);
    if (cut.failure != split_failure::none) return refusal("statement builder: " + std::string(describe(cut.failure)));

    record_plan p;
    p.what = record_plan::action::execute;
    const create_reading reading = read_create_statement(script, cut.cuts);
    if (!reading.clause.encrypts()) p.without_encryption = describe(reading.clause);
    if (reading.fails_on_server()) p.fails_on_server = describe(reading.faults);
    p.database_trigger = reading.database_trigger;
    if (statements) {
        p.object_name = created_object_name(std::string_view(script).substr(cut.cuts.create_at));
        p.drop = drop_statement(script, cut);
        p.create = create_statement(script, cut);
    }
    return p;
}

}  // namespace velmora
