if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[p_MS_oper_rights]') and OBJECTPROPERTY(id, N'IsProcedure') = 1)
drop procedure [dbo].[p_MS_oper_rights]
GO

CREATE PROCEDURE p_MS_oper_rights
  @oper_id varchar(10)
AS
BEGIN
  -- 查询操作员的菜单权限
  select o.oper_name, m.menu_id, m.menu_name
    from t_sys_oper_grant g, t_sys_menu m, t_sys_operator o
   where g.oper_id = @oper_id
     and g.func_id = m.menu_id
     and o.oper_id = g.oper_id
   order by m.menu_id
END
