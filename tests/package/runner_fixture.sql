create database velmora
GO
use velmora
GO
create table t_item (
    item_id varchar(20) not null primary key,
    item_name nvarchar(40) null,
    qty int null
)
GO
create procedure p_two_MS
as
begin
    select 'old two'
end
GO
create procedure p_three_MS
as
begin
    select 'old three'
end
GO
