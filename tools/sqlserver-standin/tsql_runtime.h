#pragma once
// SQL Server's value semantics as SQLite functions and a collation: the
// translated statements call these so that conversions, comparisons and the
// string functions behave as T-SQL's do.

#include <sqlite3.h>

#include <string>

namespace standin::tsql {

// Conversion targets understood by tsql_cvt(value, code, length, precision, scale, strict).
enum cvt_code : int {
    cvt_int = 1,      // int (length = bytes: 1, 2, 4, 8)
    cvt_decimal = 2,  // numeric(p, s), money
    cvt_float = 3,
    cvt_char = 4,     // char(n): padded with blanks, n counted in bytes
    cvt_varchar = 5,  // varchar(n), n in bytes of the Chinese code page
    cvt_nchar = 6,    // nchar(n), n in characters
    cvt_nvarchar = 7,
    cvt_datetime = 8,
    cvt_bit = 9,
    cvt_text = 10,    // text / ntext / (n)varchar(max): no limit
};

// tsql_replicate(text, count, limit): where REPLICATE stops.
enum replicate_limit : int {
    replicate_unlimited = 0,   // (max) text
    replicate_characters = 1,  // nvarchar: 4000 characters
    replicate_bytes = 2,       // varchar: 8000 bytes of the Chinese code page
};

// Errors raised inside SQLite functions carry SQL Server's number, state and
// class in the message: "\x01number\x01state\x01class\x01text".
std::string encode_error(int number, int state, int severity, const std::string& text);
bool decode_error(const char* msg, int& number, int& state, int& severity, std::string& text);

// Registers the TSQL collation and the context-free functions on a handle.
void register_runtime(sqlite3* db);

// Collation compare: case-insensitive for ASCII letters, trailing blanks ignored.
int collate_compare(const char* a, int na, const char* b, int nb);

// Bytes a text takes in the Chinese code page: ASCII 1, everything else 2.
int gbk_length(const std::string& utf8);
// Characters (code points) in a UTF-8 text.
int char_length(const std::string& utf8);

// 'YYYY-MM-DD hh:mm:ss.mmm' for the many forms SQL Server accepts; false if none fits.
bool normalize_datetime(const std::string& in, std::string& out);
std::string now_datetime();

}  // namespace standin::tsql
