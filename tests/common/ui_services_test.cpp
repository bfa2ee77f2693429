#include "common/ui_services.h"
#include "support/recording_ui.h"

#include <gtest/gtest.h>

using namespace velmora;
using test_support::recording_ui;

TEST(RecordingUi, BusyGuardNestsAndRecordsInOrder) {
    recording_ui ui;
    {
        busy_pointer outer(ui);
        {
            busy_pointer inner(ui);
            ui.message_box("t", "x");
            EXPECT_EQ(ui.busy_depth, 2);
        }
        ui.beep();
    }
    EXPECT_EQ(ui.busy_depth, 0);
    EXPECT_EQ(ui.boxes(), (std::vector<std::pair<std::string, std::string>>{{"t", "x"}}));
    EXPECT_EQ(ui.beeps(), 1);
    ASSERT_EQ(ui.events.size(), 6u);
    EXPECT_EQ(ui.events[5].what, recording_ui::event::kind::busy_end);
}
