// The two Windows programs: db_upgrade_pos, delivered to shops, and
// db_upgrade_pos_dev, the developer build with the package controls. The build
// fixes which one. The command line is not read.

#include "app/win32/w_db_upgrade_win32.h"
#include "app/win32/win32_ui_services.h"
#include "session/database_session.h"

#ifndef VELMORA_DEVELOPER_BUILD
#define VELMORA_DEVELOPER_BUILD 0
#endif

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command) {
    using namespace velmora::app;
    velmora::database_session sqlca;
    int rc = 1;
    {
        win32_ui_services ui;
        w_db_upgrade_win32 window(instance, sqlca, ui,
                                  window_options{VELMORA_DEVELOPER_BUILD != 0, developer_script_folder});
        if (window.open(show_command)) rc = window.run();
    }
    // With the window closed: disconnect, whatever state the session is in.
    sqlca.disconnect();
    return rc;
}
