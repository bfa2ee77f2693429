#include "app/qt/db_upgrade_pos.h"

#include <QApplication>

#include "app/qt/app_icon.h"

namespace velmora::app {

db_upgrade_pos::db_upgrade_pos(bool developer_mode, ui_services* ui) : developer_mode_(developer_mode) {
    QCoreApplication::setApplicationName(QString::fromLatin1(appname));
    QApplication::setWindowIcon(database_icon());
    if (ui) {
        ui_ = ui;
    } else {
        qt_ui_ = std::make_unique<qt_ui_services>();
        ui_ = qt_ui_.get();
    }
    sqlca_ = std::make_unique<database_session>();
}

db_upgrade_pos::~db_upgrade_pos() {
    // The window goes before the session it refers to.
    window_.reset();
    sqlca_.reset();
}

void db_upgrade_pos::open() {
    window_ = std::make_unique<w_db_upgrade>(*sqlca_, *ui_, developer_mode_);
    if (qt_ui_) qt_ui_->set_owner(window_.get());
    window_->open();
}

void db_upgrade_pos::close() {
    if (sqlca_) sqlca_->disconnect();
}

int db_upgrade_pos::run() {
    open();
    const int rc = QApplication::exec();
    close();
    return rc;
}

}  // namespace velmora::app
