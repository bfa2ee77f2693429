#include "package/interface_tag.h"

namespace velmora {

bool passes_interface_filter(std::string_view driver, std::string_view name) {
    constexpr std::string_view odbc = "ODBC";
    bool is_odbc = driver.size() == odbc.size();
    for (std::size_t i = 0; is_odbc && i < driver.size(); ++i) {
        char c = driver[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        is_odbc = c == odbc[i];
    }
    return name.find(is_odbc ? std::string_view("ANY5") : std::string_view("MS")) != std::string_view::npos;
}

}  // namespace velmora
