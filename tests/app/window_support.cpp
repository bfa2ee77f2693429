#include "window_support.h"

#include <QTest>

namespace window_test {

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < timeout_ms) QTest::qWait(10);
    return pred();
}

bool open_active(velmora::app::w_db_upgrade& window, int timeout_ms) {
    window.open();
    if (!wait_until([&] { return window.postopen_done(); }, timeout_ms)) return false;
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

}  // namespace window_test
