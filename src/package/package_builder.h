#pragma once
// The developer's "get": packs every .sql script of a directory into db.dat.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/ui_services.h"

namespace velmora {

struct build_result {
    enum class outcome {
        written,          // the package was replaced
        folder_unusable,  // the script folder is missing, no folder, or cannot be listed
        folder_empty,     // no .sql script, and an empty package was not asked for
        refused,          // a script or its name cannot be carried
        write_failed,     // the package could not be written
    };
    outcome how = outcome::refused;
    bool written = false;            // how == written
    std::vector<std::string> names;  // listed script names (GBK bytes), in list = package order
    // When a script was refused: its path (UTF-8), and whether for reading
    // as UTF-8 text (see build_options::declared_gbk).
    std::string refused_script;
    bool refused_as_utf8 = false;
};

struct build_options {
    // A folder without scripts gives the package of the end marker alone.
    bool allow_empty = true;
    // Scripts, by their file names in the folder, that are GBK although they
    // read as UTF-8 (valid UTF-8 with a non-ASCII character), which every
    // other script doing so is refused for. Each must name a listed script.
    std::set<std::string> declared_gbk;
};

// Paths are UTF-8 on every platform; run_dir ends in its separator.
// Lists script_dir's .sql files, checks every script, writes run_dir + "db.dat"
// atomically. Refusals and failures: one message box titled gs_appname, and
// the old package stays as it was. Success: no message.
build_result build_package(const std::string& script_dir, const std::string& run_dir,
                           ui_services& ui);

// The same build with the package written to package_path instead of
// run_dir + "db.dat".
build_result build_package_file(const std::string& script_dir, const std::string& package_path,
                                ui_services& ui, const build_options& options = {});

// The scripts of a folder as the builder packages them: regular .sql files
// (any letter case) and links to them, without hidden and read-only ones
// (read-only: the owner may read but not write; on Windows the attributes,
// and system files are left out too), in package order. Entries that are
// listed only to be refused: links that lead nowhere or loop, files the
// owner may not read, FIFOs and devices, names without a GBK form.
struct script_listing {
    enum class status {
        ok,
        missing,        // no such folder
        not_directory,  // the path names something else
        unreadable,     // it cannot be listed (error)
        failed_midway,  // the listing broke off (error)
    };
    struct entry {
        std::string name;       // as packaged (GBK); empty when the name has no GBK form
        std::string disk_name;  // as the folder holds it, in UTF-8 (from UTF-16 on Windows)
    };
    status how = status::ok;
    int error = 0;  // the system's error number for unreadable and failed_midway
    std::vector<entry> entries;
};
script_listing list_script_folder(const std::string& script_dir);

// The package names of list_script_folder's entries, in package order;
// nothing when the folder cannot be listed.
std::vector<std::string> list_scripts(const std::string& script_dir);

// The order of names in a package, over their GBK bytes: ASCII letters
// folded to lower case, ties broken by the raw bytes.
bool package_name_less(std::string_view a, std::string_view b);

// Why a script cannot be carried by the package or could never run, as a
// message fragment (UTF-8); empty when it can. Scripts must be GBK (code page
// 936): one that reads as UTF-8 is refused, naming the line of its first
// non-ASCII character, unless declared_gbk says it is GBK all the same.
std::string script_refusal_reason(std::string_view name, std::string_view script, bool declared_gbk = false);

// The 1-based line of a script's first non-ASCII character when the script
// reads as UTF-8 (what an editor saving UTF-8 without a byte-order mark gives).
std::optional<std::size_t> utf8_text_line(std::string_view script);

}  // namespace velmora
