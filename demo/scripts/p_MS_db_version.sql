if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[p_MS_db_version]') and OBJECTPROPERTY(id, N'IsProcedure') = 1)
drop procedure [dbo].[p_MS_db_version]
GO

CREATE PROCEDURE p_MS_db_version
AS
BEGIN
  -- 返回数据库版本号
  select sys_var_value
    from t_sys_system
   where sys_var_id = 'DataBase_Version'
END
