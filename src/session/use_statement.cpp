#include "session/use_statement.h"

namespace velmora {

std::string use_statement(std::string_view database) {
    std::string s = "use [";
    for (char c : database) {
        s += c;
        if (c == ']') s += ']';
    }
    s += ']';
    return s;
}

}  // namespace velmora
