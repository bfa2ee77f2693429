// dbdat: looks into script packages (db.dat) the way the upgrade reads them.
// Output goes to stdout, messages in English to stderr.
// Exit codes: 0 success, 1 damaged package or file error, 2 wrong usage,
// 3 a script the upgrade would refuse.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "gbk.h"
#include "gbk_text.h"
#include "interface_tag.h"
#include "package_format.h"
#include "statement_builder.h"

#ifdef DBDAT_HAS_BUILD_COMMAND
int run_build_command(int argc, char** argv);
#endif

namespace {

namespace pkg = velmora::package;

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr int exit_usage = 2;
constexpr int exit_refused = 3;

const char* const usage_text =
    "usage: dbdat COMMAND [ARGS]\n"
    "\n"
    "Commands:\n"
    "  list FILE                          one line per record: offset, name, script bytes, tags\n"
    "  extract FILE DIR                   write each record's script to DIR/NAME\n"
    "  split SCRIPT --drop OUT --create OUT\n"
    "                                     derive the drop and create statements of one script\n"
    "  check FILE [--driver MSS|ODBC] [--show]\n"
    "                                     dry run: what an upgrade would do with each record\n"
#ifdef DBDAT_HAS_BUILD_COMMAND
    "  build DIR OUT                      pack the .sql scripts of DIR into the package OUT\n"
#endif
    "\n"
    "Run 'dbdat COMMAND --help' for details.\n";

const char* const list_help =
    "usage: dbdat list FILE\n"
    "\n"
    "Validates the package FILE and prints one tab-separated line per record:\n"
    "the record's byte offset, its name, the script size in bytes, and the\n"
    "interface tags the name carries (MS, ANY5, MS,ANY5 or -).\n"
    "Exit 1 with the reason when the package is damaged.\n";

const char* const extract_help =
    "usage: dbdat extract FILE DIR\n"
    "\n"
    "Writes each record's script, in its own byte order, to DIR/NAME, byte for\n"
    "byte. DIR is created when missing. Nothing is written when the package is\n"
    "damaged or when a name would leave DIR (contains / or \\, is . or .., is\n"
    "empty) or occurs twice.\n";

const char* const split_help =
    "usage: dbdat split SCRIPT --drop OUT --create OUT\n"
    "\n"
    "Runs the statement builder on the bytes of SCRIPT and writes the drop and\n"
    "the create statement, as raw bytes, to the given files. Exit 3 and name the\n"
    "failed test (create key, body key, procedure key, batch separator) when the\n"
    "script is refused; nothing is written then.\n";

const char* const check_help =
    "usage: dbdat check FILE [--driver MSS|ODBC] [--show]\n"
    "\n"
    "Validates the package, then prints for each record, in order, whether an\n"
    "upgrade through DRIVER (default MSS) would execute it, skip it (interface\n"
    "tag) or refuse it (statement builder, or not valid GBK), and a summary line.\n"
    "--show also prints the drop and create statements of every executed record.\n"
    "Exit 0 when every record that passes the tag filter would execute, 3\n"
    "otherwise, 1 when the package is damaged.\n";

bool wants_help(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h") return true;
    }
    return false;
}

int usage_error(const char* help, const std::string& why) {
    std::cerr << "dbdat: " << why << "\n\n" << help;
    return exit_usage;
}

bool read_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "dbdat: cannot open " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        std::cerr << "dbdat: cannot read " << path << "\n";
        return false;
    }
    return true;
}

bool write_file(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (out) out.close();
    if (!out) {
        std::cerr << "dbdat: cannot write " << path.string() << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}

// Reads and decodes a package; on damage says where and why.
bool load_package(const std::string& path, std::string& bytes, std::vector<pkg::record_view>& records) {
    if (!read_file(path, bytes)) return false;
    pkg::validation why;
    if (!pkg::decode_package(bytes, records, &why)) {
        std::cerr << "dbdat: " << path << ": damaged package at byte " << why.offset << ": " << why.problem
                  << "\n";
        return false;
    }
    return true;
}

// Names are GBK; shown as UTF-8.
std::string shown(std::string_view gbk) { return velmora::gbk_to_utf8_lossy(gbk); }

std::string tags_of(std::string_view name) {
    const bool ms = name.find("MS") != std::string_view::npos;
    const bool any5 = name.find("ANY5") != std::string_view::npos;
    if (ms && any5) return "MS,ANY5";
    if (ms) return "MS";
    if (any5) return "ANY5";
    return "-";
}

int cmd_list(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        std::cout << list_help;
        return exit_ok;
    }
    if (argc != 2) return usage_error(list_help, "list takes exactly one FILE");
    std::string bytes;
    std::vector<pkg::record_view> records;
    if (!load_package(argv[1], bytes, records)) return exit_failure;
    for (const pkg::record_view& r : records)
        std::cout << r.offset << '\t' << shown(r.name) << '\t' << r.stored_body.size() << '\t' << tags_of(r.name)
                  << '\n';
    return exit_ok;
}

// Why a record name cannot become a file inside the target directory; empty
// when it can. A backslash byte that is the second byte of a double-byte
// character is part of that character, not a separator.
std::string unsafe_name_reason(std::string_view name) {
    if (name.empty()) return "empty name";
    if (name == "." || name == "..") return "name is . or ..";
    if (name.find('/') != std::string_view::npos) return "name contains /";
    if (name.find('\0') != std::string_view::npos) return "name contains a NUL byte";
    if (velmora::gbk_text::find(name, "\\") != velmora::gbk_text::npos) return "name contains \\";
    return {};
}

int cmd_extract(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        std::cout << extract_help;
        return exit_ok;
    }
    if (argc != 3) return usage_error(extract_help, "extract takes FILE and DIR");
    std::string bytes;
    std::vector<pkg::record_view> records;
    if (!load_package(argv[1], bytes, records)) return exit_failure;

    // Check every name before writing anything, so a refusal leaves no
    // half-extracted directory behind.
    std::set<std::string_view> seen;
    for (const pkg::record_view& r : records) {
        std::string why = unsafe_name_reason(r.name);
        if (why.empty() && !seen.insert(r.name).second) why = "name occurs twice";
        if (!why.empty()) {
            std::cerr << "dbdat: record at byte " << r.offset << " \"" << shown(r.name) << "\": " << why
                      << "; nothing extracted\n";
            return exit_failure;
        }
    }

    const std::filesystem::path dir = argv[2];
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        std::cerr << "dbdat: cannot create " << dir.string() << ": " << ec.message() << "\n";
        return exit_failure;
    }
    for (const pkg::record_view& r : records)
        if (!write_file(dir / std::string(r.name), pkg::reversed(r.stored_body))) return exit_failure;
    return exit_ok;
}

int cmd_split(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        std::cout << split_help;
        return exit_ok;
    }
    std::string script_path, drop_path, create_path;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if ((a == "--drop" || a == "--create") && i + 1 < argc) {
            (a == "--drop" ? drop_path : create_path) = argv[++i];
        } else if (!a.starts_with("--") && script_path.empty()) {
            script_path = argv[i];
        } else {
            return usage_error(split_help, "unexpected argument '" + std::string(a) + "'");
        }
    }
    if (script_path.empty() || drop_path.empty() || create_path.empty())
        return usage_error(split_help, "split needs SCRIPT, --drop OUT and --create OUT");

    std::string create;
    if (!read_file(script_path, create)) return exit_failure;
    if (!velmora::is_valid_gbk(create))
        std::cerr << "dbdat: warning: " << script_path << " is not valid GBK; an upgrade would refuse it\n";
    std::string drop;
    const velmora::split_failure f = velmora::get_sql_go_checked(create, drop);
    if (f != velmora::split_failure::none) {
        std::cerr << "dbdat: " << script_path << ": refused by the statement builder: " << velmora::describe(f)
                  << "\n";
        return exit_refused;
    }
    if (!write_file(drop_path, drop) || !write_file(create_path, create)) return exit_failure;
    return exit_ok;
}

int cmd_check(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        std::cout << check_help;
        return exit_ok;
    }
    std::string path, driver = "MSS";
    bool show = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--driver" && i + 1 < argc) {
            driver = argv[++i];
        } else if (a == "--show") {
            show = true;
        } else if (!a.starts_with("--") && path.empty()) {
            path = argv[i];
        } else {
            return usage_error(check_help, "unexpected argument '" + std::string(a) + "'");
        }
    }
    if (path.empty()) return usage_error(check_help, "check needs a FILE");

    std::string bytes;
    std::vector<pkg::record_view> records;
    if (!load_package(path, bytes, records)) return exit_failure;

    std::size_t executed = 0, skipped = 0, refused = 0;
    for (const pkg::record_view& r : records) {
        std::cout << r.offset << '\t' << shown(r.name) << '\t';
        if (!velmora::passes_interface_filter(driver, r.name)) {
            ++skipped;
            std::cout << "skip (interface tag)\n";
            continue;
        }
        std::string create = pkg::reversed(r.stored_body);
        if (!velmora::is_valid_gbk(create)) {
            ++refused;
            std::cout << "refuse (not valid GBK)\n";
            continue;
        }
        std::string drop;
        const velmora::split_failure f = velmora::get_sql_go_checked(create, drop);
        if (f != velmora::split_failure::none) {
            ++refused;
            std::cout << "refuse (statement builder: " << velmora::describe(f) << ")\n";
            continue;
        }
        ++executed;
        std::cout << "execute\n";
        if (show) std::cout << "-- drop:\n" << shown(drop) << "\n-- create:\n" << shown(create) << "\n-- end\n";
    }
    std::cout << records.size() << " record(s): " << executed << " execute, " << skipped << " skip, " << refused
              << " refuse\n";
    return refused == 0 ? exit_ok : exit_refused;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // Listings and extracted text go out byte for byte, line ends included.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    if (argc < 2) {
        std::cerr << usage_text;
        return exit_usage;
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << usage_text;
        return exit_ok;
    }
    if (command == "list") return cmd_list(argc - 1, argv + 1);
    if (command == "extract") return cmd_extract(argc - 1, argv + 1);
    if (command == "split") return cmd_split(argc - 1, argv + 1);
    if (command == "check") return cmd_check(argc - 1, argv + 1);
#ifdef DBDAT_HAS_BUILD_COMMAND
    if (command == "build") return run_build_command(argc - 1, argv + 1);
#endif
    std::cerr << "dbdat: unknown command '" << command << "'\n\n" << usage_text;
    return exit_usage;
}
