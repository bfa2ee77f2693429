#pragma once
// The application object: owns the database session for the whole run, opens
// the one window, and disconnects the session when the window has closed.

#include <memory>

#include "app/qt/qt_ui_services.h"
#include "app/qt/w_db_upgrade.h"
#include "session/database_session.h"

namespace velmora::app {

class db_upgrade_pos {
public:
    // A QApplication must exist. `ui` defaults to the Qt services.
    explicit db_upgrade_pos(bool developer_mode, ui_services* ui = nullptr);
    ~db_upgrade_pos();
    db_upgrade_pos(const db_upgrade_pos&) = delete;
    db_upgrade_pos& operator=(const db_upgrade_pos&) = delete;

    // Opens the window, runs the event loop until it has closed, then shuts
    // down. Returns the event loop's exit code.
    int run();

    void open();
    // The close step: disconnect, whatever state the session is in; the
    // outcome is not looked at.
    void close();

    database_session& sqlca() { return *sqlca_; }
    w_db_upgrade* window() { return window_.get(); }

    static constexpr const char* appname = "db_upgrade_pos";

private:
    bool developer_mode_;
    std::unique_ptr<qt_ui_services> qt_ui_;
    ui_services* ui_;
    std::unique_ptr<database_session> sqlca_;
    std::unique_ptr<w_db_upgrade> window_;
};

}  // namespace velmora::app
