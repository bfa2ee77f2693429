#pragma once
// The desktop services of the logic on Windows: MessageBoxW with the
// information icon and one OK button, modal to the window; MessageBeep; the
// wait cursor. Used on the window's thread only.

#include "common/os_headers.h"

#include "common/ui_services.h"

namespace velmora::app {

class win32_ui_services : public ui_services {
public:
    // Boxes are modal to `owner` (task-modal when there is none yet).
    void set_owner(HWND owner) { owner_ = owner; }

    void message_box(const std::string& title, const std::string& text) override;
    void beep() override;
    void busy_begin() override;
    void busy_end() override;

    // The cursor the window shows over its client area now: the wait cursor
    // while busy, nullptr for the window's own choice (also while a box waits
    // for the operator, who should not read it as busy).
    HCURSOR cursor() const;

private:
    HWND owner_ = nullptr;
    int busy_depth_ = 0;
    int boxes_up_ = 0;
};

}  // namespace velmora::app
