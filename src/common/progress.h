#pragma once
// Where a running upgrade stands, for whoever shows it: the window's progress
// line, the console's progress lines. The logic reports as it goes and never
// waits for the one who shows it.

#include <cstddef>
#include <string>

namespace velmora {

struct progress_event {
    enum class kind { pass_started, step_started, object_started } what = kind::pass_started;
    int pass = 0;          // pass_started: 1 the configured database, 2 the special one
    std::string database;  // pass_started: the database the pass upgrades
    std::string step;      // step_started: the built-in step, in the operator's words (UTF-8)
    std::size_t index = 0;  // object_started: 1-based place among the package's records,
    std::size_t count = 0;  //   of this many records
    std::string name;       // object_started: the script's name (UTF-8)
};

class progress_sink {
public:
    virtual ~progress_sink() = default;
    virtual void progress(const progress_event& event) = 0;
};

}  // namespace velmora
