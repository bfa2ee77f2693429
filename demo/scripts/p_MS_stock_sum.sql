if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[p_MS_stock_sum]') and OBJECTPROPERTY(id, N'IsProcedure') = 1)
drop procedure [dbo].[p_MS_stock_sum]
GO

CREATE PROCEDURE p_MS_stock_sum
  @item_no varchar(20) = '%'
AS
BEGIN
  -- 按商品汇总单据明细数量
  set nocount on
  select item_no, sum(qty) as qty
    from t_wm_sheet_detail
   where item_no like @item_no
   group by item_no
   order by item_no
END
