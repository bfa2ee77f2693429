#pragma once
// The desktop services for tests: every message box, beep and busy pointer
// call recorded in order, so a test can check what an operator saw.

#include <string>
#include <utility>
#include <vector>

#include "common/ui_services.h"

namespace test_support {

class recording_ui : public velmora::ui_services {
public:
    struct event {
        enum class kind { message_box, beep, busy_begin, busy_end } what;
        std::string title;
        std::string text;
        bool operator==(const event&) const = default;
    };

    void message_box(const std::string& title, const std::string& text) override;
    void beep() override;
    void busy_begin() override;
    void busy_end() override;

    std::vector<event> events;
    int busy_depth = 0;

    // Only the message boxes, as (title, text) pairs, in order.
    std::vector<std::pair<std::string, std::string>> boxes() const;
    int beeps() const;
};

}  // namespace test_support
