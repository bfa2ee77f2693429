#include "support/recording_ui.h"

namespace test_support {

void recording_ui::message_box(const std::string& title, const std::string& text) {
    events.push_back({event::kind::message_box, title, text});
}

void recording_ui::beep() { events.push_back({event::kind::beep, {}, {}}); }

void recording_ui::busy_begin() {
    ++busy_depth;
    events.push_back({event::kind::busy_begin, {}, {}});
}

void recording_ui::busy_end() {
    --busy_depth;
    events.push_back({event::kind::busy_end, {}, {}});
}

std::vector<std::pair<std::string, std::string>> recording_ui::boxes() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& e : events)
        if (e.what == event::kind::message_box) out.emplace_back(e.title, e.text);
    return out;
}

int recording_ui::beeps() const {
    int n = 0;
    for (const auto& e : events) n += e.what == event::kind::beep;
    return n;
}

}  // namespace test_support
