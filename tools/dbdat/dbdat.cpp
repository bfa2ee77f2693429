// dbdat: looks into script packages (db.dat) the way the upgrade reads them.
// Output goes to stdout, messages in English to stderr.
// Exit codes: 0 success, 1 damaged package or file error, 2 wrong usage,
// 3 a script the upgrade would refuse.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/gbk.h"
#include "common/gbk_search.h"
#include "common/native_path.h"
#include "common/os_headers.h"
#include "dbdat/extract_folder.h"
#include "package/create_grammar.h"
#include "package/package_file.h"
#include "package/package_format.h"
#include "package/record_plan.h"
#include "package/statement_builder.h"

int run_build_command(int argc, char** argv);  // build_command.cpp

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
    "  extract FILE DIR [--force]         write each record's script to DIR/NAME\n"
    "  split SCRIPT --drop OUT --create OUT\n"
    "                                     derive the drop and create statements of one script\n"
    "  check FILE [--driver MSS|ODBC] [--show]\n"
    "                                     dry run: what an upgrade would do with each record\n"
    "  build DIR OUT [--allow-empty]      pack the .sql scripts of DIR into the package OUT\n"
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
    "usage: dbdat extract FILE DIR [--force]\n"
    "\n"
    "Writes each record's script, in its own byte order, to DIR/NAME, byte for\n"
    "byte; names are converted from GBK to UTF-8. DIR is created when missing.\n"
    "Nothing is written when the package is damaged, when a name would leave\n"
    "DIR (contains / or \\, is . or .., is empty), is not valid GBK or occurs\n"
    "twice, or when DIR already holds one of the names. On Windows also when a\n"
    "name is one Windows cannot hold (a character of < > : \" | ? *, a final dot\n"
    "or space, a device name such as CON or NUL) or two names differ only in\n"
    "letter case.\n"
    "Each script is written to a temporary file in DIR and renamed into place:\n"
    "a failed write (a full disk) leaves no cut script and no old one lost, and\n"
    "nothing is written through a symbolic link.\n"
    "\n"
    "  --force   replace existing files (a link is replaced, not followed)\n";

const char* const split_help =
    "usage: dbdat split SCRIPT --drop OUT --create OUT\n"
    "\n"
    "Runs the statement builder on the bytes of SCRIPT and writes the drop and\n"
    "the create statement, as raw bytes, to the given files. Exit 3 and name the\n"
    "failed test (create key, body key, procedure key, batch separator) when the\n"
    "script is refused; nothing is written then. When every SQL Server would\n"
    "refuse the create statement (the inserted \" with ENCRYPTION \" after a WITH\n"
    "list, an AFTER trigger's events or in a body without BEGIN, a \"go\" line in\n"
    "it, ...), or the clause would land inside a comment, a string, a quoted name\n"
    "or a word, both statements are written all the same and a warning names the\n"
    "line and the fix.\n";

const char* const check_help =
    "usage: dbdat check FILE [--driver MSS|ODBC] [--show]\n"
    "\n"
    "Validates the package, then prints for each record, in order, whether an\n"
    "upgrade through DRIVER (default MSS) would execute it, skip it (interface\n"
    "tag) or refuse it (statement builder, or not valid GBK), and a summary line.\n"
    "An executed record whose create statement every SQL Server would refuse is\n"
    "said to fail on the server; one whose \" with ENCRYPTION \" would land inside\n"
    "a comment, a string, a quoted name or a word, to be created without\n"
    "encryption. Each names the line and the fix.\n"
    "--show also prints the drop and create statements of every executed record.\n"
    "Exit 0 when every record that passes the tag filter would execute and be\n"
    "created with encryption, 3 otherwise, 1 when the package is damaged.\n";

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

// Only a regular file is read, whole and at once; a directory, FIFO or device
// is named and refused without waiting on it.
bool read_file(const std::string& path, pkg::file_bytes& out) {
    pkg::file_read r = pkg::read_regular_file(path);
    if (!r.ok()) {
        std::cerr << "dbdat: " << path << ": " << pkg::failure_text(r) << "\n";
        return false;
    }
    out = std::move(r.bytes);
    return true;
}

bool write_file(const std::string& path, std::string_view bytes) {
    std::ofstream out(velmora::path_from_utf8(path), std::ios::binary | std::ios::trunc);
    if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (out) out.close();
    if (!out) {
        std::cerr << "dbdat: cannot write " << path << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}

void report_damage(const std::string& path, const pkg::validation& why) {
    std::cerr << "dbdat: " << path << ": damaged package at byte " << why.offset << ": " << why.problem << "\n";
}

// Reads and decodes a package; on damage says where and why.
bool load_package(const std::string& path, pkg::file_bytes& bytes, std::vector<pkg::record_view>& records) {
    if (!read_file(path, bytes)) return false;
    pkg::validation why;
    if (!pkg::decode_package(bytes.view(), records, &why)) {
        report_damage(path, why);
        return false;
    }
    return true;
}

// Standard output, bytes as they are (the Windows program's stdout is binary).
void print(std::string_view text) {
    std::cout.flush();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// Hands each record of a sound package to on_record, with the text to print
// for it, reading the package piece by piece: memory stays at one piece and
// one record, and the pieces stay in the cache, however large the package.
// With hold_output the package is read once and what on_record writes waits
// in memory until the package has proved sound; without it (output as large
// as the package), a first reading checks the package before the second one
// prints anything, record by record.
bool scan_package(const std::string& path, bool hold_output,
                  const std::function<void(const pkg::record_view&, std::string& out)>& on_record) {
    auto read = [&](pkg::package_reader& reader) {
        pkg::file_read r =
            pkg::read_regular_file_in_pieces(path, {}, [&](std::string_view piece) { return reader.feed(piece); });
        if (!r.ok()) {
            std::cerr << "dbdat: " << path << ": " << pkg::failure_text(r) << "\n";
            return false;
        }
        const pkg::validation why = reader.finish();
        if (!why.ok) report_damage(path, why);
        return why.ok;
    };

    std::string out;
    if (hold_output) {
        pkg::package_reader reader([&](const pkg::record_view& r) { on_record(r, out); });
        const bool sound = read(reader);
        if (sound) print(out);
        return sound;
    }
    pkg::package_reader checker([](const pkg::record_view&) {});
    if (!read(checker)) return false;
    pkg::package_reader reader([&](const pkg::record_view& r) {
        on_record(r, out);
        print(out);
        out.clear();
    });
    if (!read(reader)) {
        std::cerr << "dbdat: " << path << ": changed while being read\n";
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
    const bool read = scan_package(argv[1], true, [](const pkg::record_view& r, std::string& out) {
        out.append(std::to_string(r.offset)).append(1, '\t').append(shown(r.name)).append(1, '\t');
        out.append(std::to_string(r.stored_body.size())).append(1, '\t').append(tags_of(r.name)).append(1, '\n');
    });
    return read ? exit_ok : exit_failure;
}

// Why a record name cannot become a file inside the target directory; empty
// when it can. A backslash byte that is the second byte of a double-byte
// character is part of that character, not a separator.
std::string unsafe_name_reason(std::string_view name) {
    if (name.empty()) return "empty name";
    if (name == "." || name == "..") return "name is . or ..";
    if (name.find('/') != std::string_view::npos) return "name contains /";
    if (name.find('\0') != std::string_view::npos) return "name contains a NUL byte";
    if (velmora::gbk_search::find(name, "\\") != velmora::gbk_search::npos) return "name contains \\";
    return {};
}

// A record's name as a file name: GBK converted to UTF-8 (on Windows the
// file functions get it as UTF-16). Empty when it has no such form.
std::string file_name_of(std::string_view gbk_name) { return velmora::gbk_to_utf8(gbk_name).value_or(""); }

#ifdef _WIN32
constexpr char separator = '\\';

// Why Windows cannot hold a (UTF-8) name as a file of its own in DIR: its
// reserved characters (':' would write into another file's stream), a final
// dot or space (which the system drops, so two names could meet), and the
// device names, which name a device in every folder. Empty when it can.
std::string windows_name_reason(const std::string& name) {
    for (const unsigned char c : name) {
        if (c < 0x20) return "name contains a control character";
        if (std::strchr("<>:\"|?*", c)) return std::string("name contains ") + static_cast<char>(c);
    }
    if (name.back() == '.' || name.back() == ' ') return "name ends with a dot or a space";
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const bool numbered = base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
                          base[3] >= '1' && base[3] <= '9';
    if (numbered || base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        return "name is the device name " + base;
    return {};
}

// Windows' file names do not tell letter case apart: names that differ only
// in it are one file.
std::string same_file_key(const std::string& name) {
    const std::wstring wide = velmora::wide_path(name);
    std::wstring upper(wide.size(), L'\0');
    // LOCALE_INVARIANT rather than LCMapStringEx's locale names: XP has no Ex.
    const int n = LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(), static_cast<int>(wide.size()),
                               upper.data(), static_cast<int>(upper.size()));
    if (n <= 0) return name;
    upper.resize(static_cast<std::size_t>(n));
    return velmora::utf8_of_wide(upper);
}
#else
constexpr char separator = '/';

std::string same_file_key(const std::string& name) { return name; }
#endif

int cmd_extract(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        std::cout << extract_help;
        return exit_ok;
    }
    std::vector<std::string> args;
    bool force = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--force")
            force = true;
        else if (a.starts_with("--"))
            return usage_error(extract_help, "unexpected argument '" + std::string(a) + "'");
        else
            args.emplace_back(a);
    }
    if (args.size() != 2) return usage_error(extract_help, "extract takes FILE and DIR");
    pkg::file_bytes bytes;
    std::vector<pkg::record_view> records;
    if (!load_package(args[0], bytes, records)) return exit_failure;

    // Check every name before writing anything, so a refusal leaves no
    // half-extracted directory behind.
    std::vector<std::string> files;
    std::set<std::string> seen;
    for (const pkg::record_view& r : records) {
        std::string why = unsafe_name_reason(r.name);
        files.push_back(file_name_of(r.name));
        if (why.empty() && files.back().empty()) why = "name is not valid GBK";
#ifdef _WIN32
        if (why.empty()) why = windows_name_reason(files.back());
#endif
        if (why.empty() && !seen.insert(same_file_key(files.back())).second) why = "name occurs twice";
        if (!why.empty()) {
            std::cerr << "dbdat: record at byte " << r.offset << " \"" << shown(r.name) << "\": " << why
                      << "; nothing extracted\n";
            return exit_failure;
        }
    }

    extract_folder folder;
    std::string why;
    if (!folder.open(args[1], why)) {
        std::cerr << "dbdat: " << why << "\n";
        return exit_failure;
    }
    // What is there already is kept, unless --force; a directory never goes.
    for (const std::string& name : files) {
        const extract_folder::entry there = folder.state_of(name);
        if (there == extract_folder::entry::none) continue;
        const bool replaceable = there == extract_folder::entry::regular || there == extract_folder::entry::symlink;
        if (force && replaceable) continue;
        std::cerr << "dbdat: " << args[1] << separator << name
                  << (replaceable ? " exists; nothing extracted (--force replaces existing files)\n"
                                  : " exists and is no file; nothing extracted\n");
        return exit_failure;
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
        if (!folder.write(files[i], pkg::reversed(records[i].stored_body), force, why)) {
            std::cerr << "dbdat: " << why << "; " << i << " of " << records.size() << " script(s) extracted\n";
            return exit_failure;
        }
    }
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

    pkg::file_bytes script;
    if (!read_file(script_path, script)) return exit_failure;
    std::string create = script.str();
    if (!velmora::is_valid_gbk(create))
        std::cerr << "dbdat: warning: " << script_path << " is not valid GBK; an upgrade would refuse it\n";
    std::string drop;
    velmora::script_cuts cuts;
    const velmora::split_failure f = velmora::get_sql_go_checked(create, drop, &cuts);
    if (f != velmora::split_failure::none) {
        std::cerr << "dbdat: " << script_path << ": refused by the statement builder: " << velmora::describe(f)
                  << "\n";
        return exit_refused;
    }
    // The statements are written as the upgrade would send them, whatever they do.
    const velmora::create_reading reading = velmora::read_create_statement(script.view(), cuts);
    if (reading.fails_on_server())
        std::cerr << "dbdat: warning: " << script_path << ": " << velmora::describe(reading.faults)
                  << "; every SQL Server would refuse the create statement, and dbdat build refuses the script\n";
    if (!reading.clause.encrypts())
        std::cerr << "dbdat: warning: " << script_path << ": " << velmora::describe(reading.clause)
                  << "; the object would be created without encryption, and dbdat build refuses the script\n";
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

    std::size_t records = 0, executed = 0, skipped = 0, refused = 0, unencrypted = 0, failing = 0;
    std::string scratch;
    const bool read = scan_package(path, !show, [&](const pkg::record_view& r, std::string& out) {
        ++records;
        out.append(std::to_string(r.offset)).append(1, '\t').append(shown(r.name)).append(1, '\t');
        // The runner asks the same function, so this dry run cannot disagree with it.
        const velmora::record_plan plan = velmora::plan_record(driver, r.name, r.stored_body, show, &scratch);
        switch (plan.what) {
            case velmora::record_plan::action::skip:
                ++skipped;
                out += "skip (interface tag)\n";
                break;
            case velmora::record_plan::action::refuse:
                ++refused;
                out.append("refuse (").append(plan.reason).append(")\n");
                break;
            case velmora::record_plan::action::execute:
                ++executed;
                out += "execute";
                if (!plan.fails_on_server.empty()) {
                    ++failing;
                    out.append(", would fail on the server (").append(plan.fails_on_server).append(")");
                }
                if (!plan.without_encryption.empty()) {
                    ++unencrypted;
                    out.append(", would be created without encryption (").append(plan.without_encryption).append(")");
                }
                out += '\n';
                if (show)
                    out.append("-- drop:\n").append(shown(plan.drop)).append("\n-- create:\n").append(shown(plan.create))
                        .append("\n-- end\n");
                break;
        }
    });
    if (!read) return exit_failure;
    std::cout << records << " record(s): " << executed << " execute, " << skipped << " skip, " << refused
              << " refuse";
    if (failing > 0) std::cout << ", " << failing << " of the executed would fail on the server";
    if (unencrypted > 0) std::cout << ", " << unencrypted << " of the executed without encryption";
    std::cout << "\n";
    return refused == 0 && unencrypted == 0 && failing == 0 ? exit_ok : exit_refused;
}

}  // namespace

namespace {

int run(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << usage_text;
        return exit_usage;
    }
    const std::string_view command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::cout << usage_text;
        return exit_ok;
    }
    struct entry {
        std::string_view name;
        int (*run)(int, char**);
    };
    static constexpr entry commands[] = {{"list", cmd_list},   {"extract", cmd_extract}, {"split", cmd_split},
                                         {"check", cmd_check}, {"build", run_build_command}};
    for (const entry& c : commands)
        if (command == c.name) return c.run(argc - 1, argv + 1);
    std::cerr << "dbdat: unknown command '" << command << "'\n\n" << usage_text;
    return exit_usage;
}

}  // namespace

#ifdef _WIN32
// Any file name can be given; listings and extracted text go out byte for
// byte, line ends included.
int wmain(int argc, wchar_t** wargv) { return velmora::run_with_utf8_arguments(argc, wargv, run); }
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
