// db_upgrade_cli: the window's start-up and upgrade command without a window,
// for administrators who upgrade many shops from a script.

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "app_names.h"
#include "connect_db.h"
#include "gbk.h"
#include "sqlca.h"
#include "upgrade_command.h"

namespace {

constexpr const char* help_text =
    "Usage: db_upgrade_cli [--help]\n"
    "\n"
    "Upgrades the Velmora database exactly as the upgrade window's button does,\n"
    "without a window.\n"
    "\n"
    "The server and database come from the application's settings (the registry\n"
    "key HKEY_LOCAL_MACHINE\\SOFTWARE\\velmora on Windows, velmora.conf in\n"
    "$XDG_CONFIG_DIRS elsewhere, values SERVERNAME and DATABASE); the login is the\n"
    "application's own. The configured database is upgraded, then the special\n"
    "customer database when the server holds one. The script package db.dat is\n"
    "read from the current directory.\n"
    "\n"
    "Every message the window would show is printed as one line on standard\n"
    "output, \"title: text\"; further lines of a text follow, indented.\n"
    "\n"
    "Exit status: 0 when the upgrade ran to its end without a failure message,\n"
    "2 when the login failed, 1 otherwise.\n";

// Message boxes become lines; there is nobody to beep at or to show a pointer to.
class console_ui : public velmora::ui_services {
public:
    void message_box(const std::string& title, const std::string& text) override {
        std::string out = title + ": ";
        for (char c : text) {
            if (c == '\r') continue;
            out += c;
            if (c == '\n') out += "    ";
        }
        std::cout << out << '\n' << std::flush;
    }
    void beep() override {}
    void busy_begin() override {}
    void busy_end() override {}
};

#ifdef _WIN32
// The run directory, as UTF-8 like every other text inside; empty when it
// cannot be read.
std::string current_directory() {
    std::u16string buf(MAX_PATH, u'\0');
    for (;;) {
        const DWORD n = GetCurrentDirectoryW(static_cast<DWORD>(buf.size()), reinterpret_cast<LPWSTR>(buf.data()));
        if (n == 0) return std::string();
        if (n < buf.size()) return velmora::utf16_to_utf8(std::u16string_view(buf.data(), n));
        buf.resize(n);
    }
}

std::string last_error_text() {
    return "system error " + std::to_string(GetLastError());
}

constexpr char path_separator = '\\';
#else
std::string current_directory() {
    std::string buf(4096, '\0');
    for (;;) {
        if (::getcwd(buf.data(), buf.size())) return std::string(buf.c_str());
        if (errno != ERANGE) return std::string();
        buf.resize(buf.size() * 2);
    }
}

std::string last_error_text() { return std::strerror(errno); }

constexpr char path_separator = '/';
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // One line per message, "\n" as written: no CR added on the way out.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::cout << help_text;
            return 0;
        }
    }
    if (argc > 1) {
        // Nothing else is read: refuse rather than run something the operator did not mean.
        std::cerr << "db_upgrade_cli: unexpected argument \"" << argv[1] << "\"\n\n" << help_text;
        return 1;
    }

    std::string cwd = current_directory();
    if (cwd.empty()) {
        std::cerr << "db_upgrade_cli: cannot read the current directory: " << last_error_text() << '\n';
        return 1;
    }
    const std::string run_dir = cwd + path_separator;

    console_ui ui;
    velmora::transaction sqlca;
    bool ib_brenholt = false;
    std::string is_brenholt;
    if (!velmora::wf_connect_db(sqlca, ui, ib_brenholt, is_brenholt)) {
        ui.message_box(velmora::gs_appname, "不能连接到数据库");
        return 2;
    }

    velmora::upgrade_report report =
        velmora::run_upgrade_command(sqlca, ui, run_dir, true, ib_brenholt, is_brenholt);
    sqlca.disconnect();
    return report.failed() ? 1 : 0;
}
