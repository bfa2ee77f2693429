// The two programs: db_upgrade_pos, delivered to shops, and db_upgrade_pos_dev,
// the developer build with the package controls. The build fixes which one.

#include <QApplication>

#include "app/qt/db_upgrade_pos.h"

#ifndef VELMORA_DEVELOPER_BUILD
#define VELMORA_DEVELOPER_BUILD 0
#endif

int main(int argc, char** argv) {
    QApplication qt(argc, argv);  // the command line is not read
    velmora::app::db_upgrade_pos application(VELMORA_DEVELOPER_BUILD != 0);
    return application.run();
}
