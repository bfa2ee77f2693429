#pragma once
// What the window's logic asks of whatever draws the window: the Qt view on
// Linux, the Win32 view on Windows, or a test's fake.

#include <functional>
#include <string>
#include <vector>

namespace velmora::app {

class window_view {
public:
    virtual ~window_view() = default;

    virtual void set_developer_controls_visible(bool visible) = 0;  // cb_get, cb_put, lb_1, cbx_proc
    virtual void set_upgrade_enabled(bool enabled) = 0;             // cb_1
    virtual bool package_box_checked() const = 0;                   // cbx_proc
    // Replaces the list's items with these names, GBK bytes as packaged, in
    // this order; the view converts them for display.
    virtual void show_package_names(const std::vector<std::string>& names) = 0;
    virtual void close_window() = 0;

    // A command is about to run in the background, or has ended: while it
    // runs the window keeps painting and answering the system, takes no input,
    // refuses to close, and shows the progress line.
    virtual void command_started() = 0;
    virtual void command_finished() = 0;

    // Runs work on a thread of its own and then done on the window's thread.
    virtual void run_in_background(std::function<void()> work, std::function<void()> done) = 0;
    // Runs f on the window's thread and waits until it has returned: the
    // message boxes and the pointer belong to that thread.
    virtual void call_on_window_thread(const std::function<void()>& f) = 0;
};

}  // namespace velmora::app
