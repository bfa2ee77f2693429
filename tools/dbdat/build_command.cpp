// dbdat build: the developer's "get" from the command line.

#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "common/gbk.h"
#include "common/native_path.h"
#include "common/ui_services.h"
#include "package/package_builder.h"
#include "package/package_format.h"

namespace {

const char* const build_help =
    "usage: dbdat build DIR OUT [--allow-empty] [--gbk NAME]...\n"
    "\n"
    "Packs every .sql script of DIR (regular files and links to them, any letter\n"
    "case of the extension; hidden and read-only files left out) in the order\n"
    "of their GBK names with ASCII letters folded, exactly as the developer\n"
    "build's \"get\" button does. File names are converted from UTF-8 to GBK.\n"
    "OUT is the directory that receives db.dat, or, when it is not an existing\n"
    "directory, the package file itself. The package is replaced only as a\n"
    "whole, and only when everything succeeded; otherwise the reason goes to\n"
    "stderr and the old package stays as it was.\n"
    "Prints the packaged names, one a line.\n"
    "\n"
    "Every script is checked first and the build refused (exit 3) when one\n"
    "cannot be read (mode, link to nothing, link loop, no regular file), is\n"
    "empty, starts with a UTF-8 byte-order mark, is not valid GBK, breaks the\n"
    "package format (\"####\", leading \"#\", NUL, record too long, a reversed\n"
    "record header) or is refused by the statement builder, or when its name\n"
    "has no GBK form. Refused too: a script whose \" with ENCRYPTION \", inserted\n"
    "before the header's last \"as\" or \"for\", would land inside a comment, a\n"
    "string, a quoted name or a word (the \"as\" of \"was\"), so that the object\n"
    "would be created without encryption; the message names the line.\n"
    "\n"
    "Scripts must be saved as GBK (code page 936). A script that is valid UTF-8\n"
    "and holds a non-ASCII character was almost surely saved as UTF-8: it is\n"
    "refused, naming the file and the line of its first such character. Real\n"
    "GBK text is seldom also valid UTF-8; for a script that is, --gbk packs it\n"
    "as it stands (the developer build's \"get\" has no such way: edit the\n"
    "script there).\n"
    "\n"
    "  --allow-empty   a DIR without .sql scripts gives the package \"@@@@\"\n"
    "                  (without it such a DIR is refused, exit 3)\n"
    "  --gbk NAME      the script NAME of DIR (its file name) is GBK although it\n"
    "                  reads as UTF-8; repeatable; a NAME that is no script of\n"
    "                  DIR is refused (exit 3)\n"
    "\n"
    "Exit status: 0 written; 1 DIR missing, no directory or unreadable, or the\n"
    "package could not be written; 2 wrong usage; 3 refused.\n";

// Message boxes become lines on stderr; there is no pointer to show.
class stderr_ui : public velmora::ui_services {
public:
    void message_box(const std::string&, const std::string& text) override {
        std::cerr << "dbdat build: " << text << "\n";
    }
    void beep() override {}
    void busy_begin() override {}
    void busy_end() override {}
};

std::string package_path_for(const std::string& out) {
    std::error_code ec;
    if (!std::filesystem::is_directory(velmora::path_from_utf8(out), ec)) return out;
    return velmora::with_separator(out) + std::string(velmora::package::package_file_name);
}

}  // namespace

int run_build_command(int argc, char** argv) {
    std::vector<std::string> args;
    velmora::build_options options;
    options.allow_empty = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << build_help;
            return 0;
        }
        if (a == "--allow-empty") {
            options.allow_empty = true;
            continue;
        }
        if (a == "--gbk" || a.starts_with("--gbk=")) {
            std::string name;
            if (a == "--gbk" && i + 1 < argc) name = argv[++i];
            else if (a != "--gbk") name = std::string(a.substr(6));
            if (name.empty()) {
                std::cerr << "dbdat: --gbk needs the NAME of a script\n\n" << build_help;
                return 2;
            }
            options.declared_gbk.insert(name);
            continue;
        }
        if (a.starts_with("--")) {
            std::cerr << "dbdat: unknown option '" << a << "'\n\n" << build_help;
            return 2;
        }
        args.emplace_back(a);
    }
    if (args.size() != 2 || args[0].empty() || args[1].empty()) {
        std::cerr << "dbdat: build needs DIR and OUT\n\n" << build_help;
        return 2;
    }

    stderr_ui ui;
    const velmora::build_result r =
        velmora::build_package_file(args[0], package_path_for(args[1]), ui, options);
    using outcome = velmora::build_result::outcome;
    switch (r.how) {
        case outcome::written:
            for (const std::string& name : r.names) std::cout << velmora::gbk_to_utf8_lossy(name) << "\n";
            return 0;
        case outcome::folder_empty:
            std::cerr << "dbdat build: --allow-empty writes a package without scripts\n";
            return 3;
        case outcome::refused:
            if (r.refused_as_utf8)
                std::cerr << "dbdat build: if " << r.refused_script
                          << " is GBK after all, --gbk with its file name packs it as it stands\n";
            return 3;
        case outcome::folder_unusable:
        case outcome::write_failed: break;
    }
    return 1;
}
