#pragma once
// What the engine shares between its connections: the databases and their
// files, the logins, the application locks and the counters.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sqlserver-standin/applock.h"
#include "sqlserver-standin/engine.h"
#include "sqlserver-standin/sql_types.h"
#include "sqlserver-standin/system_tables.h"

namespace standin::detail {

struct db_entry {
    std::string name;
    int dbid = 0;
    std::string path;
    std::string crdate;
};

struct engine_state {
    std::mutex mu;
    std::string dir;
    std::vector<db_entry> dbs;
    std::vector<login_entry> logins;
    const server_version* version = &default_version();  // what the T-SQL has
    std::atomic<int> next_spid{51};
    std::atomic<std::uint64_t> next_descriptor{1};
    int next_dbid = 5;
    applock_table applocks;
    // BACKUP's folder for a file named without one (--backup-dir); set
    // before the first connection, read-only afterwards.
    std::string backup_dir;
    // One BACKUP or RESTORE at a time writes files and replaces databases.
    std::mutex backup_mu;
    backup_history backups;
    session_table sessions;

    std::optional<db_entry> find_db(const std::string& name) {
        std::lock_guard<std::mutex> g(mu);
        for (const auto& d : dbs)
            if (ieq(d.name, name)) return d;
        return std::nullopt;
    }
    std::optional<db_entry> find_dbid(int id) {
        std::lock_guard<std::mutex> g(mu);
        for (const auto& d : dbs)
            if (d.dbid == id) return d;
        return std::nullopt;
    }
    std::vector<db_entry> all_dbs() {
        std::lock_guard<std::mutex> g(mu);
        return dbs;
    }

    // Creates the file and registers it; false when the name is taken.
    bool create_db(const std::string& name, std::string& error);
};

}  // namespace standin::detail

namespace standin {

// The engine's state is what its connections share.
struct engine::impl : detail::engine_state {};

}  // namespace standin
