#include "window_support.h"

#include <QTest>

namespace window_test {

bool wait_until(const std::function<bool()>& pred, int timeout_ms) {
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < timeout_ms) QTest::qWait(10);
    return pred();
}

}  // namespace window_test
