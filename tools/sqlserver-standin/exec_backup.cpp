// BACKUP DATABASE, RESTORE VERIFYONLY and RESTORE DATABASE, with SQL
// Server's messages: a failure is its own error followed by 3013, success
// is 4035 and 3014 (3262 for a verify). The files are backup.h's.

#include <chrono>
#include <cstdio>
#include <mutex>

#include "sqlserver-standin/backup.h"
#include "sqlserver-standin/connection_impl.h"
#include "sqlserver-standin/server_version.h"
#include "sqlserver-standin/tsql_runtime.h"

namespace standin::detail {

using namespace tsql;
namespace bf = backup_file;

namespace {

// SQL Server counts 8 KB pages.
std::string pages_of(std::size_t bytes) { return std::to_string((bytes + 8191) / 8192); }

std::string seconds_text(std::chrono::steady_clock::duration d, double& seconds) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    seconds = ms > 0 ? static_cast<double>(ms) / 1000.0 : 0.001;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%03lld", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    return buf;
}

std::string rate_text(std::size_t bytes, double seconds) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(bytes) / 1048576.0 / seconds);
    return buf;
}

}  // namespace

// The cause, then "<operation> is terminating abnormally.", then the
// statement's DONE; the batch goes on.
void conn_impl::operation_failed(const std::string& operation, const tsql_error& cause) {
    server_message m;
    m.number = cause.number;
    m.state = cause.state;
    m.severity = cause.severity;
    m.text = cause.text;
    m.line = line_;
    reply_->items.push_back(m);
    if (reply_->first_error == 0) reply_->first_error = cause.number;
    report(err(errors::backup_terminating, operation), line_);
}

// What the data file took and how fast: 4035, then 3014.
void conn_impl::operation_succeeded(const std::string& operation, const std::string& database, int file,
                                    std::size_t bytes, std::chrono::steady_clock::time_point started) {
    double seconds = 0;
    const std::string elapsed = seconds_text(std::chrono::steady_clock::now() - started, seconds);
    server_message processed = message_of(errors::backup_file_processed, pages_of(bytes), database, database,
                                          std::to_string(file));
    processed.line = line_;
    reply_->items.push_back(processed);
    server_message summary =
        message_of(errors::backup_processed, operation, pages_of(bytes), elapsed, rate_text(bytes, seconds));
    summary.line = line_;
    reply_->items.push_back(summary);
}

std::string conn_impl::device_path(const statement& st) {
    sql_value v = evaluate(*st.backup_info->device, character_type(true, 4000));
    const std::string written = std::holds_alternative<std::string>(v) ? std::get<std::string>(v) : std::string();
    return bf::device_path(written, eng_.backup_dir);
}

int conn_impl::backup_file_number(const statement& st) {
    if (!st.backup_info->file) return 1;
    sql_value v = evaluate(*st.backup_info->file, simple_type("INT"));
    return std::holds_alternative<std::int64_t>(v) ? static_cast<int>(std::get<std::int64_t>(v)) : 0;
}

void conn_impl::exec_backup(const statement& st) {
    const backup_clause& b = *st.backup_info;
    const std::string op = "BACKUP DATABASE";
    if (trancount_ > 0) return operation_failed(op, err(errors::backup_in_transaction));
    auto d = eng_.find_db(st.name.at(0));
    if (!d) return operation_failed(op, err(errors::unknown_database, st.name.at(0)));
    const std::string path = device_path(st);

    std::lock_guard<std::mutex> g(eng_.backup_mu);
    const auto started = std::chrono::steady_clock::now();
    bf::set_header h;
    h.database = d->name;
    h.database_creation_date = d->crdate;
    h.start = now_datetime();
    h.copy_only = b.copy_only;
    h.checksums = b.checksum && !b.no_checksum;
    h.name = b.name;
    h.server_version = eng_.version->product_version;
    std::string image, error;
    if (!bf::snapshot(d->path, image, error)) throw err(errors::internal_error, error);
    h.finish = now_datetime();
    int os_error = 0;
    std::uint64_t set_bytes = 0;
    switch (bf::write_set(path, b.init, h, image, os_error, set_bytes)) {
    case bf::problem::none: break;
    case bf::problem::malformed: return operation_failed(op, err(errors::media_family_malformed, path));
    default:
        return operation_failed(op, err(errors::cannot_open_backup_device, path, bf::os_error_text(os_error, false)));
    }

    backup_record r;
    r.position = h.position;
    r.database_name = d->name;
    r.database_creation_date = d->crdate;
    r.name = b.name;
    r.user_name = user_;
    r.start = h.start;
    r.finish = h.finish;
    r.size = static_cast<std::int64_t>(set_bytes);
    r.copy_only = h.copy_only;
    r.checksums = h.checksums;
    r.device = path;
    eng_.backups.add(r, h.position == 1);
    operation_succeeded(op, d->name, h.position, image.size(), started);
    done(false, 0);
}

void conn_impl::exec_restore(const statement& st) {
    const backup_clause& b = *st.backup_info;
    const bool verify = b.what == backup_clause::restore_verifyonly;
    const std::string op = verify ? "VERIFY DATABASE" : "RESTORE DATABASE";
    if (trancount_ > 0) return operation_failed(op, err(errors::backup_in_transaction));
    const std::string path = device_path(st);
    const int file = backup_file_number(st);

    std::lock_guard<std::mutex> g(eng_.backup_mu);
    const auto started = std::chrono::steady_clock::now();
    bf::media m = bf::scan(path);
    switch (m.trouble) {
    case bf::problem::none: break;
    case bf::problem::cannot_open:
        return operation_failed(
            op, err(errors::cannot_open_backup_device.in_state(2), path, bf::os_error_text(m.os_error, true)));
    case bf::problem::empty: return operation_failed(op, err(errors::backup_volume_empty, path));
    default: return operation_failed(op, err(errors::media_family_malformed, path));
    }
    if (file < 1 || file > static_cast<int>(m.sets.size()))
        return operation_failed(op, err(errors::backup_set_not_found, std::to_string(file), path));
    const bf::found_set& set = m.sets[static_cast<std::size_t>(file - 1)];
    if (b.checksum && !set.header.checksums) return operation_failed(op, err(errors::backup_without_checksums));
    std::string image;
    int os_error = 0;
    switch (bf::read_image(path, set, image, os_error)) {
    case bf::problem::none: break;
    case bf::problem::cannot_open:
        return operation_failed(
            op, err(errors::cannot_open_backup_device.in_state(2), path, bf::os_error_text(os_error, true)));
    case bf::problem::damaged: return operation_failed(op, err(errors::backup_set_damaged));
    default: return operation_failed(op, err(errors::media_family_malformed, path));
    }
    if (!bf::image_is_sound(image)) return operation_failed(op, err(errors::backup_set_damaged));
    if (verify) {
        server_message valid = message_of(errors::backup_set_valid, std::to_string(file));
        valid.line = line_;
        reply_->items.push_back(valid);
        done(false, 0);
        return;
    }

    const std::string target = st.name.at(0);
    auto d = eng_.find_db(target);
    if (d) {
        if (!ieq(d->name, set.header.database) && !b.replace)
            return operation_failed(op, err(errors::backup_of_other_database, d->name));
        if (ieq(db_, d->name)) return operation_failed(op, err(errors::in_use_by_this_session, "RESTORE", d->name));
        for (const session_row& s : eng_.sessions.all())
            if (s.spid != spid_ && ieq(s.database, d->name)) return operation_failed(op, err(errors::exclusive_access_failed));
    } else {
        // A database the server does not have is created from the backup.
        std::string e;
        if (!eng_.create_db(target, e)) throw err(errors::create_file_failed, e);
        d = eng_.find_db(target);
    }
    std::string error;
    const int rc = bf::restore_image(image, d->path, error);
    if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
        return operation_failed(op, err(errors::exclusive_access_failed));
    if (rc != SQLITE_OK) throw err(errors::internal_error, error);
    operation_succeeded(op, d->name, file, image.size(), started);
    done(false, 0);
}

}  // namespace standin::detail
