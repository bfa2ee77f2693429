if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[tr_MS_menu_del]') and OBJECTPROPERTY(id, N'IsTrigger') = 1)
drop trigger [dbo].[tr_MS_menu_del]
GO

CREATE TRIGGER tr_MS_menu_del ON t_sys_menu
FOR DELETE
AS
BEGIN
  -- 删除菜单时一并删除操作员权限
  delete t_sys_oper_grant
    from t_sys_oper_grant, deleted
   where t_sys_oper_grant.func_id = deleted.menu_id
END
