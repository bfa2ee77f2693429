if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[p_MS_oper_rights]') and OBJECTPROPERTY(id, N'IsProcedure') = 1)
drop procedure [dbo].[p_MS_oper_rights]
GO

CREATE PROCEDURE p_MS_oper_rights
  @oper_id varchar(10)
AS
BEGIN
  -- 查询操作员的菜单权限
  select t_sys_menu.menu_id, t_sys_menu.menu_name
    from t_sys_oper_grant, t_sys_menu
   where t_sys_oper_grant.oper_id = @oper_id
     and t_sys_oper_grant.func_id = t_sys_menu.menu_id
   order by t_sys_menu.menu_id
END
