#pragma once
// The desktop services of the logic, done with Qt: a modal information box with
// one OK button, the system beep, and the busy pointer.

#include <QPointer>
#include <QWidget>

#include "common/ui_services.h"

namespace velmora::app {

class qt_ui_services : public ui_services {
public:
    // Boxes are modal to `owner` (or application-modal when there is none).
    explicit qt_ui_services(QWidget* owner = nullptr) : owner_(owner) {}
    void set_owner(QWidget* owner) { owner_ = owner; }

    void message_box(const std::string& title, const std::string& text) override;
    void beep() override;
    void busy_begin() override;
    void busy_end() override;

private:
    QPointer<QWidget> owner_;
};

}  // namespace velmora::app
