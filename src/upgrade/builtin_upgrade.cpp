#include "upgrade/builtin_upgrade.h"

#include <string>

namespace velmora {

namespace {

const step_definition builtin_step_list[] = {
    {"增加字段 t_wm_sheet_detail.sort_id", "alter table t_wm_sheet_detail add sort_id int DEFAULT(0) null", {2705}},
    {"增加菜单项 5120 物流跟踪",
     "insert into t_sys_menu values ( '5120' , '物流跟踪' , 'w_pd_flow' , 'SHEE' , 'S' , '' , '111111' , '0' , "
     "'0' , '0' , '0' , '' , '0' , '' , '' , '' )",
     {2627, 2601}},
    {"更新数据库版本号 V9 20170621",
     "update t_sys_system set sys_var_value ='V9 20170621' where sys_var_id ='DataBase_Version'", {}},
    {"增加操作员权限",
     "insert t_sys_oper_grant select distinct oper_id , t_sys_menu.menu_id , '1' , '0' , '0' , '0' , '0' , "
     "'0' , '0' , '0' , '0' , '0' , '' from t_sys_oper_grant , t_sys_menu where t_sys_menu.menu_id not in ( "
     "select func_id from t_sys_oper_grant ) and right ( t_sys_menu.menu_id , 2 ) <> '00' and ltrim ( rtrim ( "
     "t_sys_menu.menu_name ) ) <> '-' and left ( t_sys_menu.menu_id , 1 ) not in ( 'E' , 'F' )",
     {}},
};

const step_definition date_row{
    "插入升级日期记录 UPGRADE_DATE",
    "insert t_sys_system values ( 'UPGRADE_DATE' , 'UPGRADE_DATE' , '00000000' , '是' , '' , null , null , null )",
    {2627, 2601}};

}  // namespace

std::span<const step_definition> builtin_steps() { return builtin_step_list; }

const step_definition& date_row_step() { return date_row; }

builtin_result wf_dbupgrade_2007(database_session& sqlca, ui_services& ui, const std::string& database,
                                 progress_sink* progress) {
    builtin_result result;
    std::string ls_upgrade_date;
    sqlca.select_into(upgrade_date_query, {&ls_upgrade_date});
    if (sqlca.connection_broken()) return result;  // the caller reports the lost connection
    if (ls_upgrade_date != "00000000") {
        ui.message_box("提示", "数据库升级程序不全，升级操作被中断。");
        result.refused = true;
        return result;
    }

    // The column is added with execute_immediate, the rest with execute: on
    // this session both send the text as one batch.
    for (const step_definition& step : builtin_steps()) {
        result.steps.push_back(apply_step(sqlca, ui, step, database, progress));
        if (sqlca.connection_broken()) break;
    }
    return result;
}

}  // namespace velmora
