#pragma once
// UTF-8 texts of the program as the wide strings Windows' W functions take.

#include <string>
#include <string_view>

#include "common/gbk.h"

namespace velmora::app {

inline std::wstring wide(std::string_view utf8) {
    const std::u16string s = utf8_to_utf16(utf8);
    return std::wstring(s.begin(), s.end());
}

}  // namespace velmora::app
