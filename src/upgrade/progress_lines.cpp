#include "upgrade/progress_lines.h"

namespace velmora {

std::string progress_lines::line(const progress_event& e) {
    using kind = progress_event::kind;
    std::string out;
    switch (e.what) {
        case kind::pass_started:
            database_ = e.database;
            out = database_ + ": pass " + std::to_string(e.pass) +
                  (e.pass == 1 ? " (configured database)" : " (special customer database)");
            break;
        case kind::step_started: out = database_ + ": " + e.step; break;
        case kind::object_started:
            out = database_ + ": object " + std::to_string(e.index) + " of " + std::to_string(e.count) + ": " + e.name;
            break;
    }
    out += '\n';
    return out;
}

}  // namespace velmora
