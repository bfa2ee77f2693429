#pragma once
// Helpers for the window tests: a velmora.conf of the test's own, a working
// directory for one test, a port nobody listens on, and waiting on the event loop.

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <functional>
#include <string>

#include "ui_services.h"

namespace window_test {

// Writes velmora.conf into a fresh folder and puts that folder alone in
// XDG_CONFIG_DIRS for the guard's lifetime.
class registry_guard {
public:
    explicit registry_guard(const std::string& conf_text);
    ~registry_guard();
    registry_guard(const registry_guard&) = delete;
    registry_guard& operator=(const registry_guard&) = delete;

private:
    std::string dir_;
    std::string old_value_;
    bool had_value_ = false;
};

// Changes the working directory for the guard's lifetime.
class cwd_guard {
public:
    explicit cwd_guard(const std::string& dir);
    ~cwd_guard();
    cwd_guard(const cwd_guard&) = delete;
    cwd_guard& operator=(const cwd_guard&) = delete;

private:
    std::string old_;
};

// A fresh empty directory under the system's temp folder; removed with the object.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A loopback port that was free a moment ago and has no listener now.
int closed_port();

// Runs the event loop until pred holds or timeout_ms passes; returns pred().
bool wait_until(const std::function<bool()>& pred, int timeout_ms = 20000);

// Records like recording_ui and also notes whether the window was on screen
// when each box appeared.
class watching_ui : public velmora::recording_ui {
public:
    QWidget* watched = nullptr;
    std::vector<bool> window_visible_at_box;
    void message_box(const std::string& title, const std::string& text) override {
        window_visible_at_box.push_back(watched && watched->isVisible());
        recording_ui::message_box(title, text);
    }
};

}  // namespace window_test
