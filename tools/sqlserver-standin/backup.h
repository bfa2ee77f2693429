#pragma once
// The stand-in's backup files. A file (a media set of one family) holds one
// or more backup sets, each written as
//
//   "VSBSET01"                 8 bytes
//   header length H            4 bytes, little-endian, at most 64 KiB
//   header                     H bytes of JSON: database, its creation date,
//                              start, finish, position, copy_only,
//                              checksums, name, server version
//   image length P             8 bytes, little-endian
//   image                      P bytes: the database's SQLite file
//   CRC-32 of header and image 4 bytes, little-endian
//   "VSBEND01"                 8 bytes
//
// and a set appended to a file follows the last one. Every length is checked
// against the file's size before anything is read, so a damaged or foreign
// file fails at once.

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

namespace standin::backup_file {

struct set_header {
    std::string database;
    std::string database_creation_date;
    std::string start;   // server local time, 'YYYY-MM-DD hh:mm:ss.mmm'
    std::string finish;
    int position = 1;    // the set's FILE number
    bool copy_only = false;
    bool checksums = false;  // taken WITH CHECKSUM
    std::string name;
    std::string server_version;
};

// Why a file or a set cannot be used.
enum class problem {
    none,
    cannot_open,  // the operating system's error is in os_error
    empty,        // a file of no bytes
    malformed,    // not a backup file, or cut short
    damaged,      // a set whose checksum does not match
};

struct found_set {
    set_header header;
    std::string header_bytes;
    std::uint64_t image_offset = 0;
    std::uint64_t image_size = 0;
    std::uint32_t crc = 0;
    std::uint64_t end = 0;  // where the next set begins
};

struct media {
    problem trouble = problem::none;
    int os_error = 0;  // errno
    std::vector<found_set> sets;
};

// The sets of a file, headers only; a missing file is cannot_open.
media scan(const std::string& path);

// A set's image, read and checked against its checksum.
problem read_image(const std::string& path, const found_set& set, std::string& image, int& os_error);

// Writes a set after the file's sets, or as the only one when start_anew
// or when there is no file yet; header.position is set here. The file is
// written beside the target and renamed over it, so a failure leaves the
// old file as it was. Returns the bytes the set takes.
problem write_set(const std::string& path, bool start_anew, set_header& header, const std::string& image,
                  int& os_error, std::uint64_t& set_bytes);

// An operating system error as SQL Server's 3201 words it, Windows' number
// and text: "3(The system cannot find the path specified.)".
std::string os_error_text(int os_error, bool file_expected);

// Where a device named in BACKUP or RESTORE is: an absolute path as given
// (a Windows one too, which then does not exist here), anything else
// inside the default backup folder.
std::string device_path(const std::string& written, const std::string& default_dir);

// The database file's state now, as one consistent image, read while other
// connections may be writing (a read transaction never waits in WAL mode).
bool snapshot(const std::string& db_path, std::string& image, std::string& error);

// Opens an image as a read-only database of its own and checks it.
bool image_is_sound(const std::string& image);

// Replaces the content of the database file with the image, all or nothing.
// SQLITE_BUSY when another connection holds the database's write lock.
int restore_image(const std::string& image, const std::string& db_path, std::string& error);

std::uint32_t crc32(const unsigned char* data, std::size_t n, std::uint32_t crc = 0);

}  // namespace standin::backup_file
