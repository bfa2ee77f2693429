#pragma once
// Remote procedure calls as ODBC drivers send them for prepared statements
// (sp_prepexec, sp_executesql, sp_prepare, sp_execute, sp_unprepare).
// The statement text runs as a batch, with parameter values written into it
// as literals: the engine only takes text.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sqlserver-standin/engine.h"

namespace standin::rpc {

// Procedure numbers clients may send instead of names.
inline constexpr int proc_executesql = 10;
inline constexpr int proc_prepare = 11;
inline constexpr int proc_execute = 12;
inline constexpr int proc_prepexec = 13;
inline constexpr int proc_unprepare = 15;

struct parameter {
    std::string name;      // "@P1" or empty for positional
    bool output = false;
    sql_value value;         // NULL, integer, number, text or (binary) bytes
    bool is_text = false;    // written as N'...'
    bool is_binary = false;  // the bytes, written as 0x...
};

struct request {
    std::string proc_name;  // lower case when sent by number ("sp_prepexec")
    int proc_id = 0;        // 0 when sent by name
    std::vector<parameter> params;
};

// Decodes one RPC request. On failure, error says what was not understood.
std::optional<request> parse(const std::string& payload, bool has_all_headers, std::string& error);

// The statement text with @names replaced by literal values. declaration is
// the "@P1 int,@P2 nvarchar(4000)" text that names positional values.
std::string bind(const std::string& statement, const std::string& declaration,
                 const std::vector<parameter>& values);

// SQL literal for a value: NULL, 12, 1.5, N'it''s', 0x0A0B.
std::string literal(const parameter& p);

// Canonical name of a request: its procedure name in lower case without
// owner ("sp_executesql"), from the name or number it was sent with.
std::string procedure(const request& r);

}  // namespace standin::rpc
