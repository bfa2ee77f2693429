if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[tr_MS_detail_ins]') and OBJECTPROPERTY(id, N'IsTrigger') = 1)
drop trigger [dbo].[tr_MS_detail_ins]
GO

CREATE TRIGGER tr_MS_detail_ins ON t_wm_sheet_detail
FOR INSERT
AS
BEGIN
  -- 新增明细的排序号默认为零
  update t_wm_sheet_detail
     set sort_id = 0
   where sort_id is null
END
