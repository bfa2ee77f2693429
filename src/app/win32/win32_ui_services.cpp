#include "app/win32/win32_ui_services.h"

#include <string>

#include "app/win32/win32_text.h"

namespace velmora::app {

void win32_ui_services::message_box(const std::string& title, const std::string& text) {
    ++boxes_up_;
    // The arrow while the box waits: the operator's turn, not the program's.
    if (busy_depth_ > 0) SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    MessageBoxW(owner_, wide(text).c_str(), wide(title).c_str(),
                MB_ICONINFORMATION | MB_OK | (owner_ ? MB_APPLMODAL : MB_TASKMODAL));
    --boxes_up_;
    if (busy_depth_ > 0) SetCursor(LoadCursorW(nullptr, IDC_WAIT));
}

void win32_ui_services::beep() { MessageBeep(MB_OK); }

void win32_ui_services::busy_begin() {
    if (busy_depth_++ == 0) SetCursor(LoadCursorW(nullptr, IDC_WAIT));
}

void win32_ui_services::busy_end() {
    // Until the mouse moves the pointer keeps what was set last.
    if (busy_depth_ > 0 && --busy_depth_ == 0) SetCursor(LoadCursorW(nullptr, IDC_ARROW));
}

HCURSOR win32_ui_services::cursor() const {
    return busy_depth_ > 0 && boxes_up_ == 0 ? LoadCursorW(nullptr, IDC_WAIT) : nullptr;
}

}  // namespace velmora::app
