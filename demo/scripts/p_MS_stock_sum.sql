if exists (select * from dbo.sysobjects where id = object_id(N'[dbo].[p_MS_stock_sum]') and OBJECTPROPERTY(id, N'IsProcedure') = 1)
drop procedure [dbo].[p_MS_stock_sum]
GO

CREATE PROCEDURE p_MS_stock_sum
  @item_no varchar(20) = '%'
AS
BEGIN
  -- 按商品汇总单据明细数量
  set nocount on
  select d.item_no, i.item_name, sum(d.qty) as qty
    from t_wm_sheet_detail d, t_bd_item_info i
   where d.item_no = i.item_no
     and d.item_no like @item_no
   group by d.item_no, i.item_name
   order by d.item_no
END
