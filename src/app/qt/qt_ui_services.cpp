#include "app/qt/qt_ui_services.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>

namespace velmora::app {

void qt_ui_services::message_box(const std::string& title, const std::string& text) {
    // A busy pointer left over from the caller would hide that the box waits
    // for the operator, so it gives way while the box is up.
    const bool busy = QGuiApplication::overrideCursor() != nullptr;
    if (busy) QGuiApplication::setOverrideCursor(Qt::ArrowCursor);

    QMessageBox box(QMessageBox::Information, QString::fromUtf8(title), QString::fromUtf8(text),
                    QMessageBox::Ok, owner_.data());
    box.exec();

    if (busy) QGuiApplication::restoreOverrideCursor();
}

void qt_ui_services::beep() { QApplication::beep(); }

// Qt keeps a stack of override cursors, so nesting needs no counter of ours.
void qt_ui_services::busy_begin() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }

void qt_ui_services::busy_end() { QGuiApplication::restoreOverrideCursor(); }

}  // namespace velmora::app
