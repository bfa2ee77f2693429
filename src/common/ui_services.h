#pragma once
// The three desktop services that the logic needs: a modal message box, a beep
// and the busy pointer. Each window view supplies its toolkit's; tests and the
// command-line upgrade supply their own, so no logic needs a display.

#include <string>

namespace velmora {

class ui_services {
public:
    virtual ~ui_services() = default;
    // Modal box with the information icon and one OK button; returns when it is
    // dismissed. Title and text are UTF-8.
    virtual void message_box(const std::string& title, const std::string& text) = 0;
    virtual void beep() = 0;
    // Nestable: the pointer is busy while at least one busy_begin is unmatched.
    virtual void busy_begin() = 0;
    virtual void busy_end() = 0;
};

// Shows the busy pointer for the lifetime of the guard.
class busy_pointer {
public:
    explicit busy_pointer(ui_services& ui) : ui_(ui) { ui_.busy_begin(); }
    ~busy_pointer() { ui_.busy_end(); }
    busy_pointer(const busy_pointer&) = delete;
    busy_pointer& operator=(const busy_pointer&) = delete;

private:
    ui_services& ui_;
};

}  // namespace velmora
