#pragma once
// What the server knows beyond any one database, kept in memory for as long
// as the stand-in runs: the backups it took (msdb.dbo.backupset and
// msdb.dbo.backupmediafamily) and its sessions (master.dbo.sysprocesses).
// conn_impl::server_table (system_tables.cpp) shows them as tables.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace standin::detail {

// One backup set and the media set (a file) it was written to.
struct backup_record {
    int backup_set_id = 0;
    int media_set_id = 0;
    int position = 1;  // the set's FILE number inside its file
    std::string database_name;
    std::string database_creation_date;
    std::string name;       // WITH NAME, or NULL when empty
    std::string user_name;  // the login that took it
    std::string start;      // server local time, 'YYYY-MM-DD hh:mm:ss.mmm'
    std::string finish;
    std::int64_t size = 0;  // bytes of the set
    bool copy_only = false;
    bool checksums = false;
    std::string device;  // the full path written
};

class backup_history {
public:
    // Records a backup set; a set appended to a file this history knows
    // joins that file's media set, otherwise the file starts a new one.
    // Fills in the ids.
    void add(backup_record& r, bool new_media) {
        std::lock_guard<std::mutex> g(mu_);
        r.backup_set_id = next_set_id_++;
        std::optional<int> media;
        if (!new_media)
            for (auto it = rows_.rbegin(); it != rows_.rend() && !media; ++it)
                if (it->device == r.device) media = it->media_set_id;
        r.media_set_id = media ? *media : next_media_id_++;
        rows_.push_back(r);
    }
    std::vector<backup_record> all() {
        std::lock_guard<std::mutex> g(mu_);
        return rows_;
    }

private:
    std::mutex mu_;
    std::vector<backup_record> rows_;
    int next_set_id_ = 1;
    int next_media_id_ = 1;
};

// One session as another one sees it: what it said at login, and where it
// stood when its last request began or ended.
struct session_row {
    int spid = 0;
    std::string host;
    std::string program;
    std::string login;
    std::string login_time;
    std::string last_batch;
    std::string database;
    int open_tran = 0;
    bool running = false;
};

class session_table {
public:
    void put(const session_row& r) {
        std::lock_guard<std::mutex> g(mu_);
        rows_[r.spid] = r;
    }
    // Where a session stands now; a request that begins sets last_batch.
    void update(int spid, const std::string& database, int open_tran, bool running, const std::string& now) {
        std::lock_guard<std::mutex> g(mu_);
        auto it = rows_.find(spid);
        if (it == rows_.end()) return;
        it->second.database = database;
        it->second.open_tran = open_tran;
        it->second.running = running;
        if (running) it->second.last_batch = now;
    }
    void remove(int spid) {
        std::lock_guard<std::mutex> g(mu_);
        rows_.erase(spid);
    }
    std::vector<session_row> all() {
        std::lock_guard<std::mutex> g(mu_);
        std::vector<session_row> out;
        for (const auto& [spid, r] : rows_) out.push_back(r);
        return out;
    }

private:
    std::mutex mu_;
    std::map<int, session_row> rows_;
};

}  // namespace standin::detail
