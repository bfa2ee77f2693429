#pragma once
// What the window's handlers decide, apart from any toolkit: the open handler,
// the deferred login (ue_postopen), the four buttons and the state they share.
// The upgrade command and the package runner run in the background so that
// the window keeps answering; their message boxes still come, one at a time
// and modal, on the window's thread.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/logic/window_view.h"
#include "common/progress.h"
#include "common/ui_services.h"
#include "session/connect_db.h"
#include "session/database_session.h"

namespace velmora::app {

// Where a running command stands, as the progress line shows it.
struct progress_state {
    int pass = 0;          // 0 for the package run on its own ("put")
    std::string database;
    std::string step;      // the built-in step under way, or empty
    std::size_t index = 0, count = 0;  // the package object under way, 1-based, or 0
    std::string name;      // its script's name (UTF-8)

    // The two lines of the progress display (UTF-8).
    std::string first_line() const;
    std::string second_line() const;
    // The first line as it fits the view's place for it (fits says whether a
    // text does): whole when it can be, else with the database's name
    // shortened in its middle ("velm…base"), by as little as it must be.
    // The rest of the line is always shown.
    std::string first_line_fitting(const std::function<bool(const std::string&)>& fits) const;
};

struct window_options {
    bool developer_mode = false;
    std::string script_folder;  // the developer's script folder that "get" packages
};

class upgrade_window {
public:
    upgrade_window(database_session& sqlca, ui_services& ui, window_view& view, window_options options);
    ~upgrade_window();
    upgrade_window(const upgrade_window&) = delete;
    upgrade_window& operator=(const upgrade_window&) = delete;

    // The open handler: developer controls shown or hidden, run directory recorded.
    void open();
    // The deferred step once the window is on screen: the login, and on failure
    // its message and the upgrade button greyed.
    void ue_postopen();

    void cb_1_clicked();    // the upgrade command, once per start
    void cb_2_clicked();    // close
    void cb_put_clicked();  // the package on its own
    void cb_get_clicked();  // build db.dat from the script folder

    // A command runs: the window takes no input and may not close.
    bool busy() const { return busy_.load(); }
    // Thread-safe: what the progress line should show now; nullopt when idle.
    std::optional<progress_state> progress_now() const;

    const std::string& runpath() const { return is_runpath; }
    bool brenholt_found() const { return special_.found; }
    const std::string& brenholt_name() const { return special_.name; }
    bool postopen_done() const { return postopen_done_; }
    bool upgrade_enabled() const { return upgrade_enabled_; }
    const window_options& options() const { return options_; }

private:
    class background_ui;
    class progress_tracker;
    void start_command(std::function<void(ui_services&, progress_sink&)> command, std::function<void()> after);

    database_session& sqlca_;
    ui_services& ui_;
    window_view& view_;
    window_options options_;

    std::string is_runpath;
    special_database_probe special_;  // ib_brenholt, is_brenholt and whether the lookup failed

    bool postopen_done_ = false;
    bool upgrade_enabled_ = true;
    std::atomic<bool> busy_{false};
    std::unique_ptr<background_ui> background_ui_;
    std::unique_ptr<progress_tracker> progress_;
};

}  // namespace velmora::app
