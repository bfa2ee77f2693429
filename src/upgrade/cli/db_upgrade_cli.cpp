// db_upgrade_cli: the window's start-up and upgrade command without a window,
// for administrators who upgrade many shops from a script.

#include <chrono>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/app_names.h"
#include "common/gbk.h"
#include "common/native_path.h"
#include "common/os_headers.h"
#include "session/connect_db.h"
#include "session/database_session.h"
#include "upgrade/progress_lines.h"
#include "upgrade/run_report.h"
#include "upgrade/upgrade_command.h"
#include "upgrade/upgrade_plan.h"

namespace {

constexpr const char* help_text =
    "Usage: db_upgrade_cli [--plan] [--server NAME] [--database NAME] [--progress]\n"
    "                      [--backup] [--backup-to DIR] [--report FILE] [--help]\n"
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
    "output, \"title: text\"; further lines of a text follow, indented. After each\n"
    "database's package, the server is asked whether every object created exists\n"
    "and is encrypted; one that is not is reported and left as it is.\n"
    "\n"
    "  --plan           log in as the upgrade does and say what it would do, in\n"
    "                   plain lines on standard output, changing nothing: each\n"
    "                   database the server confirms, its UPGRADE_DATE and\n"
    "                   DataBase_Version, whether the built-in changes would run,\n"
    "                   whether the upgrade lock is free, and what would become of\n"
    "                   each package record and whether its object exists now\n"
    "  --server NAME    the server for this run instead of SERVERNAME\n"
    "  --database NAME  the database for this run instead of DATABASE (the\n"
    "                   settings are never written)\n"
    "  --progress       one line per step and per object on standard error (the\n"
    "                   default when standard error is a terminal)\n"
    "  --backup         before each database's first change, a full backup of it\n"
    "                   (COPY_ONLY and CHECKSUM from SQL Server 2005 on) into the\n"
    "                   server's default backup folder, named\n"
    "                   DATABASE_before_VERSION_YYYYMMDDThhmmssZ.bak, then checked\n"
    "                   with RESTORE VERIFYONLY; a backup that fails or does not\n"
    "                   verify ends that database's pass before anything changes\n"
    "  --backup-to DIR  the same into DIR, a folder on the server\n"
    "  --report FILE    write a JSON report of the run (or the plan) to FILE, also\n"
    "                   when it fails\n"
    "\n"
    "Exit status: 0 when every step did its work in every database meant (with\n"
    "--plan: when the upgrade would run cleanly), 2 when the login failed,\n"
    "1 otherwise.\n";

// Message boxes become lines; there is nobody to beep at or to show a pointer to.
class console_ui : public velmora::ui_services {
public:
    void message_box(const std::string& title, const std::string& text) override {
        shown.emplace_back(title, text);
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

    std::vector<std::pair<std::string, std::string>> shown;
};

// One line per pass, built-in step and package object, on standard error.
class console_progress : public velmora::progress_sink {
public:
    void progress(const velmora::progress_event& e) override {
        const std::string line = lines_.line(e);
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

private:
    velmora::progress_lines lines_;
};

struct arguments {
    bool help = false;
    bool progress = false;
    bool plan = false;
    std::optional<velmora::backup_options> backup;
    std::optional<std::string> report;
    std::optional<std::string> server;    // instead of the registry's SERVERNAME
    std::optional<std::string> database;  // instead of the registry's DATABASE
    std::string error;  // not empty: refuse to run
};

// "--name VALUE" or "--name=VALUE" at argv[i]; the value, or nullopt when
// argv[i] is another option.
std::optional<std::string> option_value(std::string_view name, int& i, int argc, char** argv) {
    const std::string_view arg = argv[i];
    if (arg == name && i + 1 < argc) return std::string(argv[++i]);
    if (arg.size() > name.size() + 1 && arg.starts_with(name) && arg[name.size()] == '=')
        return std::string(arg.substr(name.size() + 1));
    return std::nullopt;
}

arguments parse(int argc, char** argv) {
    arguments a;
#ifdef _WIN32
    a.progress = _isatty(_fileno(stderr)) != 0;
#else
    a.progress = ::isatty(fileno(stderr)) != 0;
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            a.help = true;
        } else if (arg == "--progress") {
            a.progress = true;
        } else if (arg == "--plan") {
            a.plan = true;
        } else if (arg == "--backup") {
            if (!a.backup) a.backup.emplace();
        } else if (auto folder = option_value("--backup-to", i, argc, argv)) {
            if (folder->empty()) {
                a.error = "--backup-to needs a folder";
                return a;
            }
            a.backup.emplace().folder = std::move(*folder);
        } else if (auto report = option_value("--report", i, argc, argv)) {
            a.report = std::move(report);
        } else if (auto server = option_value("--server", i, argc, argv)) {
            a.server = std::move(server);
        } else if (auto database = option_value("--database", i, argc, argv)) {
            a.database = std::move(database);
        } else {
            // Refuse rather than run something the operator did not mean.
            a.error = "unexpected argument \"" + std::string(arg) + "\"";
            return a;
        }
    }
    return a;
}

}  // namespace

static int run(int argc, char** argv) {
    const arguments args = parse(argc, argv);
    if (args.help) {
        std::cout << help_text;
        return 0;
    }
    if (!args.error.empty()) {
        std::cerr << "db_upgrade_cli: " << args.error << "\n\n" << help_text;
        return 1;
    }

    velmora::run_record record;
    record.program = "db_upgrade_cli";
    record.started = std::chrono::system_clock::now();
    console_ui ui;
    // The report is written however the run ends, and the exit status follows it.
    auto finish = [&](int status) {
        record.exit_status = status;
        record.finished = std::chrono::system_clock::now();
        record.messages = ui.shown;
        if (args.report) {
            std::string reason;
            if (!velmora::write_run_report(*args.report, record, reason)) {
                std::cerr << "db_upgrade_cli: cannot write the report " << *args.report << ": " << reason << '\n';
                if (status == 0) status = 1;
            }
        }
        return status;
    };

    std::string why;
    const std::string run_dir = velmora::current_run_directory(&why);
    if (run_dir.empty()) {
        record.start_problem = "cannot read the current directory: " + why;
        std::cerr << "db_upgrade_cli: " << record.start_problem << '\n';
        return finish(1);
    }

    velmora::database_session sqlca;
    velmora::special_database_probe special;
    record.login_tried = true;
    record.plan = args.plan;
    // The command line's target stands for this run only; the settings stay as they are.
    velmora::apply_login_settings(sqlca);
    if (args.server) sqlca.server_name = *args.server;
    if (args.database) sqlca.database_name = *args.database;
    record.server = sqlca.server_name;
    record.configured_database = sqlca.database_name;
    record.logged_in = velmora::connect_and_probe(
        sqlca, ui, special, args.plan ? velmora::probe_by::three_part_name : velmora::probe_by::use_master);
    if (!record.logged_in) {
        record.login_error = sqlca.error_text;
        ui.message_box(velmora::gs_appname, "不能连接到数据库");
        return finish(2);
    }

    console_progress progress;
    velmora::upgrade_options options{run_dir, true, special};
    options.backup = args.backup;
    if (args.plan) {
        record.upgrade = velmora::plan_upgrade(sqlca, options);
        std::cout << velmora::plan_lines(*record.upgrade) << std::flush;
        sqlca.disconnect();
        return finish(velmora::plan_fails(*record.upgrade) ? 1 : 0);
    }
    if (args.progress) options.progress = &progress;
    record.upgrade = velmora::run_upgrade_command(sqlca, ui, options);
    sqlca.disconnect();
    return finish(record.upgrade->failed() ? 1 : 0);
}

#ifdef _WIN32
// A report path may hold any character; message lines end in "\n" alone.
int wmain(int argc, wchar_t** wargv) { return velmora::run_with_utf8_arguments(argc, wargv, run); }
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
