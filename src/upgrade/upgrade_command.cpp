#include "upgrade_command.h"

#include "builtin_upgrade.h"
#include "use_statement.h"

namespace velmora {

bool upgrade_report::failed() const {
    if (refused) return true;
    for (const auto& run : package_runs)
        if (run.how != run_outcome::ending::completed || run.refused > 0) return true;
    return false;
}

upgrade_report run_upgrade_command(transaction& sqlca, ui_services& ui, const std::string& run_dir,
                                   bool cbx_proc_checked, bool ib_brenholt, const std::string& is_brenholt) {
    upgrade_report report;
    bool lb_too = false;
    std::string ls_upgrade_date;
    for (;;) {
        ++report.passes;
        {
            busy_pointer oldpointer(ui);
            // A failed query leaves the previous pass's value in place.
            sqlca.select_into(upgrade_date_query, {&ls_upgrade_date});
            if (ls_upgrade_date == "00000000") {
                sqlca.execute(
                    "insert t_sys_system values ( 'UPGRADE_DATE' , 'UPGRADE_DATE' , '00000000' , '是' , '' , "
                    "null , null , null )");
                sqlca.commit();
            }
            if (!wf_dbupgrade_2007(sqlca, ui)) report.refused = true;

            sqlca.set_autocommit(true);
            if (cbx_proc_checked) report.package_runs.push_back(run_package(run_dir, sqlca, ui));
            sqlca.set_autocommit(false);
            sqlca.commit();
        }
        if (lb_too || !ib_brenholt) break;
        std::string ls_tmp = use_statement(is_brenholt);
        sqlca.execute_immediate(ls_tmp);
        lb_too = true;
    }
    return report;
}

}  // namespace velmora
