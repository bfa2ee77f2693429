#include "builtin_upgrade.h"

#include <string>

namespace velmora {

bool wf_dbupgrade_2007(transaction& sqlca, ui_services& ui) {
    std::string ls_upgrade_date;
    sqlca.select_into(upgrade_date_query, {&ls_upgrade_date});
    if (ls_upgrade_date != "00000000") {
        ui.message_box("提示", "数据库升级程序不全，升级操作被中断。");
        return false;
    }

    // Each change in its own transaction; a failure (the column already
    // there on a later run, say) is silent and the next change still runs.
    std::string ls_tmp = "alter table t_wm_sheet_detail add sort_id int DEFAULT(0) null";
    sqlca.execute_immediate(ls_tmp);
    sqlca.commit();

    sqlca.execute(
        "insert into t_sys_menu values ( '5120' , '物流跟踪' , 'w_pd_flow' , 'SHEE' , 'S' , '' , '111111' , '0' , "
        "'0' , '0' , '0' , '' , '0' , '' , '' , '' )");
    sqlca.commit();

    sqlca.execute("update t_sys_system set sys_var_value ='V9 20170621' where sys_var_id ='DataBase_Version'");
    sqlca.commit();

    sqlca.execute(
        "insert t_sys_oper_grant select distinct oper_id , t_sys_menu.menu_id , '1' , '0' , '0' , '0' , '0' , "
        "'0' , '0' , '0' , '0' , '0' , '' from t_sys_oper_grant , t_sys_menu where t_sys_menu.menu_id not in ( "
        "select func_id from t_sys_oper_grant ) and right ( t_sys_menu.menu_id , 2 ) <> '00' and ltrim ( rtrim ( "
        "t_sys_menu.menu_name ) ) <> '-' and left ( t_sys_menu.menu_id , 1 ) not in ( 'E' , 'F' )");
    sqlca.commit();
    return true;
}

}  // namespace velmora
