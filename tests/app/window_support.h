#pragma once
// Helpers of the window tests beside the test kit: waiting on the event loop,
// and message boxes noted with whether the window was on screen.

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <string>

#include "app/qt/w_db_upgrade.h"
#include "common/ui_services.h"
#include "support/recording_ui.h"

namespace window_test {

// Runs the event loop until pred holds or timeout_ms passes; returns pred().
bool wait_until(const std::function<bool()>& pred, int timeout_ms = 20000);

// Opens the window, waits for the login it makes once on screen, and gives
// it the keyboard, as the operator's desktop does; true when both happened.
bool open_active(velmora::app::w_db_upgrade& window, int timeout_ms = 20000);

// Records like recording_ui and also notes whether the window was on screen
// when each box appeared.
class watching_ui : public test_support::recording_ui {
public:
    QWidget* watched = nullptr;
    std::vector<bool> window_visible_at_box;
    void message_box(const std::string& title, const std::string& text) override {
        window_visible_at_box.push_back(watched && watched->isVisible());
        recording_ui::message_box(title, text);
    }
};

}  // namespace window_test
