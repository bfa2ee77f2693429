#pragma once
// A moment as UTC text in strftime's format: the report's times and the
// backup file's stamp.
#include <ctime>
#include <string>

namespace velmora {

inline std::string utc_text(std::time_t t, const char* format) {
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &t);
#else
    gmtime_r(&t, &utc);
#endif
    char text[64];
    return std::strftime(text, sizeof text, format, &utc) ? text : "";
}

}  // namespace velmora
