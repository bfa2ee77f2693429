#pragma once
// The console's progress lines: one per pass, built-in step and package object.

#include <string>

#include "common/progress.h"

namespace velmora {

class progress_lines {
public:
    // The line for an event, ending in a line feed (UTF-8).
    std::string line(const progress_event& event);

private:
    std::string database_;  // the pass under way
};

}  // namespace velmora
