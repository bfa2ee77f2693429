// The stand-in's T-SQL engine. Each database is one SQLite file in a private
// temporary directory; each connection opens its own SQLite handle per
// database it touches, so an open transaction stays invisible to other
// connections (WAL mode) and is rolled back when the connection goes away.
// T-SQL is parsed by our own parser (tsql_parser.h) and translated
// (translator.h) into SQLite statements whose names are resolved against our
// catalog (catalog.h), which lives in the same file and is therefore rolled
// back together with the data. A connection (connection_impl.h) runs the
// statements; this file holds what the connections share.

#include "engine.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "connection_impl.h"
#include "engine_state.h"
#include "sqlite_io.h"
#include "tsql_runtime.h"

namespace standin {

using namespace tsql;
using namespace detail;

namespace {

std::string json_escape(const std::string& s) {
    std::string r;
    for (unsigned char c : s) {
        switch (c) {
        case '"': r += "\\\""; break;
        case '\\': r += "\\\\"; break;
        case '\n': r += "\\n"; break;
        case '\r': r += "\\r"; break;
        case '\t': r += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                r += buf;
            } else {
                r += static_cast<char>(c);
            }
        }
    }
    return r;
}

std::string json_value(const sql_value& v) {
    if (std::holds_alternative<std::int64_t>(v)) return std::to_string(std::get<std::int64_t>(v));
    if (std::holds_alternative<double>(v)) {
        double d = std::get<double>(v);
        if (!std::isfinite(d)) return "null";
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", d);
        return buf;
    }
    if (std::holds_alternative<std::string>(v)) return "\"" + json_escape(std::get<std::string>(v)) + "\"";
    return "null";
}

}  // namespace

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

struct engine::impl : engine_state {};

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

engine::engine(std::vector<login_entry> logins) : impl_(std::make_unique<impl>()) {
    impl_->logins = std::move(logins);
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
}

void engine::remove_storage() noexcept {
    std::error_code ec;
    if (!impl_->dir.empty()) std::filesystem::remove_all(impl_->dir, ec);
}

engine::~engine() {
    std::error_code ec;
    if (!impl_->dir.empty()) std::filesystem::remove_all(impl_->dir, ec);
}

login_result engine::login(const std::string& user, const std::string& password, const std::string& database) {
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
    r.conn = std::make_unique<conn_impl>(*impl_, d->name, user);
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

std::string engine::dump_json() {
    std::string out = "{\"databases\":{";
    bool first_db = true;
    for (const auto& d : impl_->all_dbs()) {
        sqlite3* h = open_handle(d.path);
        if (!h) continue;
        if (!first_db) out += ",";
        first_db = false;
        out += "\"" + json_escape(d.name) + "\":{\"tables\":{";
        std::vector<std::pair<long long, std::string>> tables;
        {
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(h, "SELECT id, name FROM sysobjects WHERE type = 'U' ORDER BY id", -1, &st, nullptr);
            while (st && sqlite3_step(st) == SQLITE_ROW)
                tables.push_back({sqlite3_column_int64(st, 0), reinterpret_cast<const char*>(sqlite3_column_text(st, 1))});
            sqlite3_finalize(st);
        }
        bool first_t = true;
        for (const auto& [id, name] : tables) {
            std::vector<std::string> cols;
            std::vector<std::pair<long long, int>> pk;
            sqlite3_stmt* st = nullptr;
            sqlite3_prepare_v2(h, "SELECT name, pk_order FROM __standin_columns WHERE table_id = ?1 ORDER BY colid", -1, &st, nullptr);
            sqlite3_bind_int64(st, 1, id);
            while (sqlite3_step(st) == SQLITE_ROW) {
                long long pko = sqlite3_column_int64(st, 1);
                if (pko > 0) pk.push_back({pko, static_cast<int>(cols.size())});
                cols.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
            }
            sqlite3_finalize(st);
            std::sort(pk.begin(), pk.end());
            if (!first_t) out += ",";
            first_t = false;
            out += "\"" + json_escape(name) + "\":{\"columns\":[";
            for (std::size_t i = 0; i < cols.size(); ++i) out += (i ? ",\"" : "\"") + json_escape(cols[i]) + "\"";
            out += "],\"rows\":[";
            std::string q = "SELECT ";
            for (std::size_t i = 0; i < cols.size(); ++i) q += (i ? "," : "") + quote_id(cols[i]);
            q += " FROM " + quote_id(name);
            if (!pk.empty()) {
                q += " ORDER BY ";
                for (std::size_t i = 0; i < pk.size(); ++i) q += (i ? "," : "") + quote_id(cols[static_cast<std::size_t>(pk[i].second)]);
            } else {
                q += " ORDER BY rowid";
            }
            st = nullptr;
            sqlite3_prepare_v2(h, q.c_str(), -1, &st, nullptr);
            bool first_r = true;
            while (st && sqlite3_step(st) == SQLITE_ROW) {
                out += first_r ? "[" : ",[";
                first_r = false;
                for (int i = 0; i < sqlite3_column_count(st); ++i) out += (i ? "," : "") + json_value(column_value(st, i));
                out += "]";
            }
            sqlite3_finalize(st);
            out += "]}";
        }
        out += "},\"objects\":[";
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(h,
                           "SELECT o.name, o.type, t.name, m.encrypted, m.definition FROM sysobjects o"
                           " JOIN __standin_modules m ON m.id = o.id LEFT JOIN sysobjects t ON t.id = m.table_id"
                           " ORDER BY o.id",
                           -1, &st, nullptr);
        bool first_o = true;
        while (st && sqlite3_step(st) == SQLITE_ROW) {
            std::string type = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
            while (!type.empty() && type.back() == ' ') type.pop_back();
            if (!first_o) out += ",";
            first_o = false;
            out += "{\"name\":\"" + json_escape(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) + "\"";
            out += ",\"type\":\"" + type + "\"";
            if (sqlite3_column_type(st, 2) == SQLITE_NULL) out += ",\"table\":null";
            else out += ",\"table\":\"" + json_escape(reinterpret_cast<const char*>(sqlite3_column_text(st, 2))) + "\"";
            out += std::string(",\"encrypted\":") + (sqlite3_column_int(st, 3) ? "true" : "false");
            const unsigned char* def = sqlite3_column_text(st, 4);
            out += ",\"definition\":\"" + json_escape(def ? reinterpret_cast<const char*>(def) : "") + "\"}";
        }
        sqlite3_finalize(st);
        out += "]}";
        sqlite3_close(h);
    }
    out += "}}";
    return out;
}

}  // namespace standin
