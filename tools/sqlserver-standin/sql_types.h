#pragma once
// T-SQL's types as the engine keeps them: what a declared type means for
// SQLite storage, conversion and the catalog; and the quoting helpers the
// translated SQLite text is built with.

#include <string>
#include <vector>

#include "sqlserver-standin/tsql_parser.h"

namespace standin::detail {

using tsql::type_spec;

// The static type of a value or translated expression.
enum class vtype { unknown, integer, decimal, text, datetime };

// A type name (upper case) the engine knows.
bool known_type(const std::string& n);
// Fills in the defaults SQL Server applies to a declared type.
type_spec normalized(type_spec t, bool in_cast);
vtype vtype_of(const type_spec& t);
// The SQLite column declaration for a type.
std::string sqlite_decl(const type_spec& t);
// SQLite text converting x to type t (strict: as INSERT and UPDATE convert).
std::string cvt_call(const std::string& x, const type_spec& t, bool strict);
// Character types: char, varchar, text and their n-types; unicode for the n-types.
bool is_character(const type_spec& t);
bool is_unicode(const type_spec& t);
// varchar(n) or nvarchar(n); a length past what the type holds makes it (max).
type_spec character_type(bool unicode, int length);
// A plain type without length, precision or scale (INT, DATETIME, ...).
type_spec simple_type(const char* name);
// numeric(p, s).
type_spec numeric_type(int precision, int scale);
// syscolumns.xtype and syscolumns.length.
int xtype_of(const type_spec& t);
int storage_length(const type_spec& t);

// Names compare as the server's collation does.
bool ieq(const std::string& a, const std::string& b);
std::string quote_id(const std::string& s);   // "name"
std::string quote_str(const std::string& s);  // 'text'
std::string join_name(const std::vector<std::string>& parts);  // a.b.c

}  // namespace standin::detail
