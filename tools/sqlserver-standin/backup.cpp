#include "sqlserver-standin/backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>

#include "sqlserver-standin/tsql_runtime.h"

namespace standin::backup_file {

namespace {

constexpr char set_magic[] = "VSBSET01";
constexpr char end_magic[] = "VSBEND01";
constexpr std::size_t magic_size = 8;
constexpr std::uint32_t max_header = 64 * 1024;
constexpr std::size_t chunk = 1 << 20;

struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) ::close(fd);
    }
};

bool read_at(int fd, std::uint64_t offset, std::size_t n, std::string& out) {
    out.resize(n);
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = ::pread(fd, out.data() + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += static_cast<std::size_t>(r);
    }
    return true;
}

bool write_all(int fd, const char* data, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::uint64_t get_le(const std::string& s, std::size_t at, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

void put_le(std::string& s, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::string header_json(const set_header& h) {
    nlohmann::ordered_json j;
    j["database"] = h.database;
    j["database_creation_date"] = h.database_creation_date;
    j["start"] = h.start;
    j["finish"] = h.finish;
    j["position"] = h.position;
    j["copy_only"] = h.copy_only;
    j["checksums"] = h.checksums;
    j["name"] = h.name;
    j["server_version"] = h.server_version;
    return j.dump();
}

bool parse_header(const std::string& text, set_header& h) {
    auto j = nlohmann::json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) return false;
    try {
        h.database = j.at("database").get<std::string>();
        h.database_creation_date = j.at("database_creation_date").get<std::string>();
        h.start = j.at("start").get<std::string>();
        h.finish = j.at("finish").get<std::string>();
        h.position = j.at("position").get<int>();
        h.copy_only = j.at("copy_only").get<bool>();
        h.checksums = j.at("checksums").get<bool>();
        h.name = j.at("name").get<std::string>();
        h.server_version = j.at("server_version").get<std::string>();
    } catch (const nlohmann::json::exception&) {
        return false;
    }
    return !h.database.empty();
}

// A database of its own in memory, holding a copy of the image.
sqlite3* open_image(const std::string& image, bool read_only) {
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(":memory:", &h, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        sqlite3_close(h);
        return nullptr;
    }
    tsql::register_runtime(h);  // the catalog's indexes use the TSQL collation
    auto* buf = static_cast<unsigned char*>(sqlite3_malloc64(image.size()));
    if (!buf) {
        sqlite3_close(h);
        return nullptr;
    }
    std::memcpy(buf, image.data(), image.size());
    unsigned flags = SQLITE_DESERIALIZE_FREEONCLOSE | (read_only ? SQLITE_DESERIALIZE_READONLY : 0u);
    if (sqlite3_deserialize(h, "main", buf, static_cast<sqlite3_int64>(image.size()),
                            static_cast<sqlite3_int64>(image.size()), flags) != SQLITE_OK) {
        sqlite3_close(h);
        return nullptr;
    }
    return h;
}

}  // namespace

std::uint32_t crc32(const unsigned char* data, std::size_t n, std::uint32_t crc) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

media scan(const std::string& path) {
    media m;
    fd_guard f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    struct stat st {};
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0) {
        m.trouble = problem::cannot_open;
        m.os_error = errno;
        return m;
    }
    if (S_ISDIR(st.st_mode)) {
        m.trouble = problem::cannot_open;
        m.os_error = EISDIR;
        return m;
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size == 0) {
        m.trouble = problem::empty;
        return m;
    }
    std::uint64_t at = 0;
    std::string buf;
    while (at < size) {
        found_set s;
        if (size - at < magic_size + 4 || !read_at(f.fd, at, magic_size + 4, buf) ||
            buf.compare(0, magic_size, set_magic) != 0) {
            m.trouble = problem::malformed;
            return m;
        }
        const std::uint64_t header_size = get_le(buf, magic_size, 4);
        const std::uint64_t header_at = at + magic_size + 4;
        if (header_size > max_header || size - header_at < header_size + 8 ||
            !read_at(f.fd, header_at, static_cast<std::size_t>(header_size), s.header_bytes) ||
            !parse_header(s.header_bytes, s.header) || s.header.position != static_cast<int>(m.sets.size()) + 1 ||
            !read_at(f.fd, header_at + header_size, 8, buf)) {
            m.trouble = problem::malformed;
            return m;
        }
        s.image_size = get_le(buf, 0, 8);
        s.image_offset = header_at + header_size + 8;
        const std::uint64_t room = size - s.image_offset;
        if (s.image_size > room || room - s.image_size < 4 + magic_size ||
            !read_at(f.fd, s.image_offset + s.image_size, 4 + magic_size, buf) ||
            buf.compare(4, magic_size, end_magic) != 0) {
            m.trouble = problem::malformed;
            return m;
        }
        s.crc = static_cast<std::uint32_t>(get_le(buf, 0, 4));
        s.end = s.image_offset + s.image_size + 4 + magic_size;
        at = s.end;
        m.sets.push_back(std::move(s));
    }
    return m;
}

problem read_image(const std::string& path, const found_set& set, std::string& image, int& os_error) {
    fd_guard f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (f.fd < 0) {
        os_error = errno;
        return problem::cannot_open;
    }
    image.clear();
    image.reserve(static_cast<std::size_t>(set.image_size));
    std::uint32_t crc = crc32(reinterpret_cast<const unsigned char*>(set.header_bytes.data()), set.header_bytes.size());
    std::string part;
    for (std::uint64_t done = 0; done < set.image_size;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, set.image_size - done));
        if (!read_at(f.fd, set.image_offset + done, n, part)) return problem::malformed;  // shrank meanwhile
        crc = crc32(reinterpret_cast<const unsigned char*>(part.data()), n, crc);
        image += part;
        done += n;
    }
    return crc == set.crc ? problem::none : problem::damaged;
}

problem write_set(const std::string& path, bool start_anew, set_header& header, const std::string& image,
                  int& os_error, std::uint64_t& set_bytes) {
    std::uint64_t keep = 0;  // bytes of the file's earlier sets
    header.position = 1;
    if (!start_anew) {
        media m = scan(path);
        if (m.trouble == problem::cannot_open && m.os_error != ENOENT) {
            os_error = m.os_error;
            return problem::cannot_open;
        }
        if (m.trouble == problem::malformed) return problem::malformed;
        if (m.trouble == problem::none) {
            keep = m.sets.back().end;
            header.position = static_cast<int>(m.sets.size()) + 1;
        }
    }
    const std::string head = header_json(header);
    std::string set(set_magic, magic_size);
    put_le(set, head.size(), 4);
    set += head;
    put_le(set, image.size(), 8);
    std::uint32_t crc = crc32(reinterpret_cast<const unsigned char*>(head.data()), head.size());
    crc = crc32(reinterpret_cast<const unsigned char*>(image.data()), image.size(), crc);
    std::string tail;
    put_le(tail, crc, 4);
    tail.append(end_magic, magic_size);

    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    auto fail = [&](int e) {
        os_error = e;
        ::unlink(tmp.c_str());
        return problem::cannot_open;
    };
    fd_guard out{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    if (out.fd < 0) {
        os_error = errno;
        return problem::cannot_open;
    }
    if (keep > 0) {
        fd_guard in{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
        if (in.fd < 0) return fail(errno);
        std::string part;
        for (std::uint64_t done = 0; done < keep;) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk, keep - done));
            if (!read_at(in.fd, done, n, part)) return fail(EIO);
            if (!write_all(out.fd, part.data(), n)) return fail(errno);
            done += n;
        }
    }
    if (!write_all(out.fd, set.data(), set.size()) || !write_all(out.fd, image.data(), image.size()) ||
        !write_all(out.fd, tail.data(), tail.size()))
        return fail(errno);
    if (::close(out.fd) != 0) {
        out.fd = -1;
        return fail(errno);
    }
    out.fd = -1;
    if (::rename(tmp.c_str(), path.c_str()) != 0) return fail(errno);
    set_bytes = set.size() + image.size() + tail.size();
    return problem::none;
}

std::string os_error_text(int os_error, bool file_expected) {
    switch (os_error) {
    case ENOENT:
        return file_expected ? "2(The system cannot find the file specified.)"
                             : "3(The system cannot find the path specified.)";
    case ENOTDIR: return "3(The system cannot find the path specified.)";
    case EACCES: case EPERM: case EISDIR: case EROFS: return "5(Access is denied.)";
    case ENOSPC: return "112(There is not enough space on the disk.)";
    default: return "1117(The request could not be performed because of an I/O device error.)";
    }
}

std::string device_path(const std::string& written, const std::string& default_dir) {
    const bool windows_absolute =
        (written.size() >= 3 && std::isalpha(static_cast<unsigned char>(written[0])) && written[1] == ':' &&
         (written[2] == '\\' || written[2] == '/')) ||
        written.rfind("\\\\", 0) == 0;
    if (!written.empty() && (written[0] == '/' || windows_absolute)) return written;
    return default_dir + "/" + written;
}

bool snapshot(const std::string& db_path, std::string& image, std::string& error) {
    sqlite3* src = nullptr;
    sqlite3* mem = nullptr;
    auto done = [&](bool ok) {
        if (!ok && error.empty()) error = sqlite3_errmsg(src ? src : mem);
        sqlite3_close(mem);
        sqlite3_close(src);
        return ok;
    };
    if (sqlite3_open_v2(db_path.c_str(), &src, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK ||
        sqlite3_open_v2(":memory:", &mem, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr) !=
            SQLITE_OK)
        return done(false);
    // A read transaction in WAL mode does not wait for writers; the bound is
    // for the rare moment a checkpoint or recovery holds the file.
    sqlite3_busy_timeout(src, 5000);
    sqlite3_backup* b = sqlite3_backup_init(mem, "main", src, "main");
    if (!b) return done(false);
    int rc = sqlite3_backup_step(b, -1);
    int rc2 = sqlite3_backup_finish(b);
    if (rc != SQLITE_DONE || rc2 != SQLITE_OK) return done(false);
    sqlite3_int64 size = 0;
    unsigned char* data = sqlite3_serialize(mem, "main", &size, 0);
    if (!data) return done(false);
    image.assign(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
    sqlite3_free(data);
    // In the rollback-journal format, so that the image opens on its own; a
    // restore into a WAL database keeps that database's mode.
    if (image.size() > 19) image[18] = image[19] = 1;
    return done(true);
}

bool image_is_sound(const std::string& image) {
    sqlite3* h = open_image(image, true);
    if (!h) return false;
    bool ok = false;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(h, "PRAGMA quick_check", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(st, 0);
        ok = t && std::strcmp(reinterpret_cast<const char*>(t), "ok") == 0;
    }
    sqlite3_finalize(st);
    // The engine's catalog is in every database it makes.
    if (ok) ok = sqlite3_exec(h, "SELECT count(*) FROM sysobjects", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(h);
    return ok;
}

int restore_image(const std::string& image, const std::string& db_path, std::string& error) {
    sqlite3* src = open_image(image, true);
    if (!src) {
        error = "the backup set's image does not open";
        return SQLITE_CORRUPT;
    }
    sqlite3* dest = nullptr;
    int rc = sqlite3_open_v2(db_path.c_str(), &dest, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) {
        // Another connection's open transaction means the database is in
        // use: fail at once rather than wait for it.
        sqlite3_busy_timeout(dest, 0);
        sqlite3_backup* b = sqlite3_backup_init(dest, "main", src, "main");
        if (!b) {
            rc = sqlite3_errcode(dest);
        } else {
            rc = sqlite3_backup_step(b, -1);
            int rc2 = sqlite3_backup_finish(b);
            rc = rc == SQLITE_DONE ? rc2 : rc;
        }
    }
    if (rc != SQLITE_OK) error = sqlite3_errmsg(dest ? dest : src);
    sqlite3_close(dest);
    sqlite3_close(src);
    return rc;
}

}  // namespace standin::backup_file
