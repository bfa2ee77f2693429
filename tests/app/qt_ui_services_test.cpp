// The Qt side of the message box / beep / busy pointer services.

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include "app/qt/qt_ui_services.h"

using velmora::app::qt_ui_services;

TEST(qt_ui_services, busy_pointer_nests_and_is_gone_after_the_last_end) {
    qt_ui_services ui;
    ASSERT_EQ(QApplication::overrideCursor(), nullptr);
    {
        velmora::busy_pointer outer(ui);
        {
            velmora::busy_pointer inner(ui);
            ASSERT_NE(QApplication::overrideCursor(), nullptr);
            EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        }
        ASSERT_NE(QApplication::overrideCursor(), nullptr) << "the outer guard still holds it";
        EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST(qt_ui_services, message_box_is_modal_information_with_one_ok_and_waits_for_it) {
    QWidget owner;
    owner.show();
    qt_ui_services ui(&owner);
    velmora::busy_pointer busy(ui);

    struct seen_box {
        bool found = false;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QMessageBox::StandardButtons buttons;
        bool modal = false;
        bool arrow_pointer = false;
    } seen;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        poll.stop();
        seen = {true, box->windowTitle(), box->text(), box->icon(), box->standardButtons(), box->isModal(),
                QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::ArrowCursor};
        box->button(QMessageBox::Ok)->click();
    });
    poll.start(10);

    ui.message_box("Torvane商业管理软件", "更新成功！");  // returns once OK is pressed

    ASSERT_TRUE(seen.found);
    EXPECT_EQ(seen.title, QString("Torvane商业管理软件"));
    EXPECT_EQ(seen.text, QString("更新成功！"));
    EXPECT_EQ(seen.icon, QMessageBox::Information);
    EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(seen.modal);
    EXPECT_TRUE(seen.arrow_pointer) << "the box is not answered under an hourglass";
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor) << "busy again after the box";
}
