// The stand-in's T-SQL engine. Each database is one SQLite file in a private
// temporary directory; each connection opens its own SQLite handle per
// database it touches, so an open transaction stays invisible to other
// connections (WAL mode) and is rolled back when the connection goes away.
// T-SQL is parsed by our own parser (tsql_parser.h) and translated
// (translator.h) into SQLite statements whose names are resolved against our
// catalog (catalog.h), which lives in the same file and is therefore rolled
// back together with the data. A connection (connection_impl.h) runs the
// statements; this file holds what the connections share.

#include "sqlserver-standin/engine.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sqlserver-standin/connection_impl.h"
#include "sqlserver-standin/engine_state.h"
#include "sqlserver-standin/sqlite_io.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin {

using namespace tsql;
using namespace detail;

namespace detail {

bool engine_state::create_db(const std::string& name, std::string& error) {
    std::lock_guard<std::mutex> g(mu);
    for (const auto& d : dbs)
        if (ieq(d.name, name)) {
            error = "exists";
            return false;
        }
    db_entry e;
    e.name = name;
    e.dbid = name == "master" && dbs.empty() ? 1 : next_dbid++;
    e.path = dir + "/db" + std::to_string(e.dbid) + ".sqlite";
    e.crdate = now_datetime();
    sqlite3* h = open_handle(e.path);
    if (!h) {
        error = "cannot create " + e.path;
        return false;
    }
    char* msg = nullptr;
    int rc = sqlite3_exec(h, catalog_schema, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        error = msg ? msg : "schema";
        sqlite3_free(msg);
        sqlite3_close(h);
        return false;
    }
    sqlite3_close(h);
    dbs.push_back(e);
    return true;
}

}  // namespace detail

namespace {

// The server leaves with _exit while connection threads may still be inside
// the engine, so its storage is not removed then. Each directory carries the
// pid that made it; directories of processes that are gone are removed here.
void remove_stale_storage(const std::string& base) {
    std::error_code ec;
    const std::string prefix = "sqlserver-standin-";
    for (std::filesystem::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        std::size_t p = prefix.size(), q = p;
        while (q < name.size() && std::isdigit(static_cast<unsigned char>(name[q]))) ++q;
        if (q == p || q >= name.size() || name[q] != '-' || q - p > 9) continue;
        pid_t pid = static_cast<pid_t>(std::stol(name.substr(p, q - p)));
        if (pid <= 0 || (kill(pid, 0) == 0 || errno != ESRCH)) continue;
        std::error_code ec2;
        std::filesystem::remove_all(it->path(), ec2);
    }
}

}  // namespace

engine::engine(std::vector<login_entry> logins, const server_version& version) : impl_(std::make_unique<impl>()) {
    impl_->logins = std::move(logins);
    impl_->version = &version;
    // Memory-backed storage when there is room for it: the files only live
    // as long as the process, and commits then cost no disk writes.
    std::string base = "/tmp";
    if (const char* t = std::getenv("TMPDIR"); t && *t) base = t;
    struct statvfs vfs {};
    if (statvfs("/dev/shm", &vfs) == 0 &&
        static_cast<unsigned long long>(vfs.f_bavail) * vfs.f_frsize >= (1ULL << 30) && access("/dev/shm", W_OK) == 0)
        base = "/dev/shm";
    remove_stale_storage(base);
    std::string tmpl = base + "/sqlserver-standin-" + std::to_string(getpid()) + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    const char* d = mkdtemp(buf.data());
    char fallback[] = "/tmp/sqlserver-standin-XXXXXX";
    if (!d) d = mkdtemp(fallback);
    impl_->dir = d ? d : "";
    std::string error;
    impl_->create_db("master", error);
    if (!impl_->dir.empty()) {
        impl_->backup_dir = impl_->dir + "/backup";
        std::error_code ec;
        std::filesystem::create_directory(impl_->backup_dir, ec);
    }
}

bool engine::set_backup_directory(const std::string& dir, std::string& error) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(dir, ec);
    if (ec || dir.empty()) {
        error = "--backup-dir: cannot use '" + dir + "'";
        return false;
    }
    std::string s = p.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    impl_->backup_dir = s;
    return true;
}

std::string engine::backup_directory() const { return impl_->backup_dir; }

void engine::remove_storage() noexcept {
    std::error_code ec;
    if (!impl_->dir.empty()) std::filesystem::remove_all(impl_->dir, ec);
}

engine::~engine() {
    std::error_code ec;
    if (!impl_->dir.empty()) std::filesystem::remove_all(impl_->dir, ec);
}

login_result engine::login(const std::string& user, const std::string& password, const std::string& database,
                           const client_info& client) {
    login_result r;
    bool ok = false;
    for (const auto& l : impl_->logins)
        if (l.name == user && l.password == password) ok = true;
    if (!ok) {
        r.error = message_of(errors::login_failed, user);
        return r;
    }
    std::string db = database.empty() ? "master" : database;
    auto d = impl_->find_db(db);
    if (!d) {
        r.error = message_of(errors::login_database_unavailable, database);
        return r;
    }
    r.conn = std::make_unique<conn_impl>(*impl_, d->name, user, client);
    r.database = d->name;
    return r;
}

bool engine::run_fixture(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF) text.erase(0, 3);  // BOM
    conn_impl c(*impl_, "master", "sa");
    // Split on lines that hold only GO.
    std::vector<std::string> batches;
    std::string cur;
    std::istringstream lines(text);
    std::string line;
    int lineno = 0;
    std::vector<int> starts;
    int start = 1;
    while (std::getline(lines, line)) {
        ++lineno;
        std::string t = line;
        while (!t.empty() && (t.back() == '\r' || t.back() == ' ' || t.back() == '\t')) t.pop_back();
        std::size_t k = 0;
        while (k < t.size() && (t[k] == ' ' || t[k] == '\t')) ++k;
        if (to_upper(t.substr(k)) == "GO") {
            batches.push_back(cur);
            starts.push_back(start);
            cur.clear();
            start = lineno + 1;
            continue;
        }
        cur += line + "\n";
    }
    batches.push_back(cur);
    starts.push_back(start);
    for (std::size_t i = 0; i < batches.size(); ++i) {
        bool blank = batches[i].find_first_not_of(" \t\r\n") == std::string::npos;
        if (blank) continue;
        batch_reply r = c.execute_batch(batches[i]);
        for (const auto& item : r.items)
            if (auto* m = std::get_if<server_message>(&item); m && m->is_error()) {
                error = path + ": batch starting at line " + std::to_string(starts[i]) + ": error " +
                        std::to_string(m->number) + ": " + m->text;
                return false;
            }
    }
    if (c.trancount() > 0) {
        error = path + ": transaction left open";
        return false;
    }
    return true;
}

}  // namespace standin
