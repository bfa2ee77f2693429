#pragma once
// The engine's catalog: tables and columns as the engine describes them. Each
// database file holds sysobjects, the column descriptions and the module
// texts beside the data (catalog_schema), so the catalog is rolled back with
// it; conn_impl's catalog methods (catalog.cpp) read it.

#include <cstddef>
#include <string>
#include <vector>

#include "sqlserver-standin/sql_types.h"

namespace standin::detail {

struct col_info {
    std::string name;
    type_spec type;
    bool nullable = true;
    std::string default_text;
    bool identity = false;
    long long seed = 1, step = 1;
    vtype vt() const { return vtype_of(type); }
};

struct table_info {
    long long id = 0;
    std::string name;
    std::string sql_name;  // how the translated SQL names it
    std::vector<col_info> cols;
    std::string pk_name;
    std::vector<std::size_t> pk;
    bool system = false;
    int find(const std::string& c) const {
        for (std::size_t i = 0; i < cols.size(); ++i)
            if (ieq(cols[i].name, c)) return static_cast<int>(i);
        return -1;
    }
};

// The catalog tables and views every database file starts with.
extern const char* const catalog_schema;

}  // namespace standin::detail
