// The --dump document: every database with its tables (columns, and rows in
// key order) and its procedures and triggers, as JSON.

#include <sqlite3.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "sqlserver-standin/engine.h"
#include "sqlserver-standin/engine_state.h"
#include "sqlserver-standin/sqlite_io.h"

namespace standin {

namespace {

using json = nlohmann::ordered_json;  // keys in the order written

// Numbers as the dump has always written them: at most 15 significant
// digits, and integral ones without a fraction.
json dump_number(double d) {
    if (!std::isfinite(d)) return nullptr;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", d);
    double shown = std::strtod(buf, nullptr);
    if (std::fabs(shown) < 1e15 && shown == std::trunc(shown)) return static_cast<std::int64_t>(shown);
    return shown;
}

json dump_value(const sql_value& v) {
    if (auto* i = std::get_if<std::int64_t>(&v)) return *i;
    if (auto* d = std::get_if<double>(&v)) return dump_number(*d);
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    return nullptr;
}

std::string text_column(sqlite3_stmt* st, int i) {
    const unsigned char* t = sqlite3_column_text(st, i);
    return t ? reinterpret_cast<const char*>(t) : "";
}

// A table's columns in order, and its key columns (positions) in key order.
std::pair<std::vector<std::string>, std::vector<std::size_t>> columns_of(sqlite3* h, long long id) {
    std::vector<std::string> cols;
    std::vector<std::pair<long long, std::size_t>> pk;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, "SELECT name, pk_order FROM __standin_columns WHERE table_id = ?1 ORDER BY colid", -1, &st, nullptr);
    sqlite3_bind_int64(st, 1, id);
    while (sqlite3_step(st) == SQLITE_ROW) {
        long long pko = sqlite3_column_int64(st, 1);
        if (pko > 0) pk.push_back({pko, cols.size()});
        cols.push_back(text_column(st, 0));
    }
    sqlite3_finalize(st);
    std::sort(pk.begin(), pk.end());
    std::vector<std::size_t> key;
    for (const auto& p : pk) key.push_back(p.second);
    return {cols, key};
}

// {"columns":[...],"rows":[[...],...]}, rows in key order (else as inserted).
json dump_table(sqlite3* h, long long id, const std::string& name) {
    auto [cols, key] = columns_of(h, id);
    std::string q = "SELECT ";
    for (std::size_t i = 0; i < cols.size(); ++i) q += (i ? "," : "") + detail::quote_id(cols[i]);
    q += " FROM " + detail::quote_id(name) + " ORDER BY ";
    for (std::size_t i = 0; i < key.size(); ++i) q += (i ? "," : "") + detail::quote_id(cols[key[i]]);
    if (key.empty()) q += "rowid";
    json rows = json::array();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, q.c_str(), -1, &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        json row = json::array();
        for (int i = 0; i < sqlite3_column_count(st); ++i) row.push_back(dump_value(detail::column_value(st, i)));
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(st);
    return {{"columns", cols}, {"rows", std::move(rows)}};
}

json dump_tables(sqlite3* h) {
    std::vector<std::pair<long long, std::string>> tables;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h, "SELECT id, name FROM sysobjects WHERE type = 'U' ORDER BY id", -1, &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW) tables.push_back({sqlite3_column_int64(st, 0), text_column(st, 1)});
    sqlite3_finalize(st);
    json out = json::object();
    for (const auto& [id, name] : tables) out[name] = dump_table(h, id, name);
    return out;
}

// Procedures and triggers: name, type, the trigger's table (a database DDL
// trigger has none, and "on":"database" instead), encryption and text.
json dump_objects(sqlite3* h) {
    json out = json::array();
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(h,
                       "SELECT o.name, o.type, t.name, m.encrypted, m.definition, 0, o.id FROM sysobjects o"
                       " JOIN __standin_modules m ON m.id = o.id LEFT JOIN sysobjects t ON t.id = m.table_id"
                       " UNION ALL SELECT d.name, 'TR', NULL, m.encrypted, m.definition, 1, d.id"
                       " FROM __standin_ddl_triggers d JOIN __standin_modules m ON m.id = d.id"
                       " ORDER BY 7",
                       -1, &st, nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
        std::string type = text_column(st, 1);
        while (!type.empty() && type.back() == ' ') type.pop_back();
        json table = sqlite3_column_type(st, 2) == SQLITE_NULL ? json(nullptr) : json(text_column(st, 2));
        json object = {{"name", text_column(st, 0)}, {"type", type}, {"table", std::move(table)}};
        if (sqlite3_column_int(st, 5) != 0) object["on"] = "database";
        object["encrypted"] = sqlite3_column_int(st, 3) != 0;
        object["definition"] = text_column(st, 4);
        out.push_back(std::move(object));
    }
    sqlite3_finalize(st);
    return out;
}

}  // namespace

std::string engine::dump_json() {
    json databases = json::object();
    for (const auto& d : impl_->all_dbs()) {
        sqlite3* h = detail::open_handle(d.path);
        if (!h) continue;
        databases[d.name] = {{"tables", dump_tables(h)}, {"objects", dump_objects(h)}};
        sqlite3_close(h);
    }
    json doc = {{"databases", std::move(databases)}};
    // Text that is not UTF-8 is written with U+FFFD rather than refused.
    return doc.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace standin
