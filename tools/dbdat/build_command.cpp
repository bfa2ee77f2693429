// dbdat build: the developer's "get" from the command line.

#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "gbk.h"
#include "package_builder.h"
#include "package_format.h"
#include "ui_services.h"

namespace {

const char* const build_help =
    "usage: dbdat build DIR OUT\n"
    "\n"
    "Packs every .sql script of DIR (regular files, any letter case of the\n"
    "extension; hidden and read-only files left out) in case-blind name order,\n"
    "exactly as the developer build's \"get\" button does. OUT is the directory\n"
    "that receives db.dat, or, when it is not an existing directory, the package\n"
    "file itself. The package is replaced only as a whole.\n"
    "Prints the packaged names, one a line. Every script is checked first; when\n"
    "one cannot be carried, or the package cannot be written, the reason goes to\n"
    "stderr, the old package stays as it was, and the exit status is 3.\n";

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
    if (!std::filesystem::is_directory(out, ec)) return out;
    std::string dir = out;
#ifdef _WIN32
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
#else
    if (dir.back() != '/') dir += '/';
#endif
    return dir + std::string(velmora::package::package_file_name);
}

}  // namespace

int run_build_command(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--help" || a == "-h") {
            std::cout << build_help;
            return 0;
        }
        args.emplace_back(a);
    }
    if (args.size() != 2 || args[0].empty() || args[1].empty()) {
        std::cerr << "dbdat: build needs DIR and OUT\n\n" << build_help;
        return 2;
    }

    stderr_ui ui;
    const velmora::build_result r =
        velmora::build_package_file(args[0], package_path_for(args[1]), ui);
    if (!r.written) return 3;
    for (const std::string& name : r.names) std::cout << velmora::gbk_to_utf8_lossy(name) << "\n";
    return 0;
}
