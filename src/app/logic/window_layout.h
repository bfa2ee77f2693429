#pragma once
// The window as it is laid out, whatever toolkit draws it: the thirteen
// controls in the order of the window's control list (also its stacking order,
// first on top), with their texts, places in layout units, fonts and colours,
// and the progress line shown while a command runs. Both views build from it.
//
// Layout units: 1/32 of the system font's average character width across,
// 1/64 of its character height down, from the client area's top left corner.

#include <array>
#include <cstdint>
#include <string_view>

namespace velmora::app {

struct colour {
    std::uint8_t r, g, b;
};

enum class control_kind { static_text, panel, check_box, list_box, push_button, group_box, progress_bar };

struct font_style {
    std::string_view face;  // "宋体" (SimSun) or "隶书" (LiSu)
    int points;
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool fixed_pitch = false;  // the banner: fixed pitch, modern family
};

struct control_layout {
    std::string_view name;  // the object name the program and its tests know the control by
    control_kind kind;
    std::string_view text;  // UTF-8; "&" marks a mnemonic, "&&" a literal ampersand
    int x, y, width, height;
    font_style font;
    // Text and background; nullopt-like "system" colours are marked by use_system_*.
    colour text_colour;
    colour back_colour;
    bool system_text_colour;
    bool system_back_colour;
    int tab_order;     // 0: not a tab stop
    bool developer;    // shown in the developer build only
    bool right_aligned = false;  // the text stands at the label's right edge
    bool word_wrap = false;      // a long text goes on in a second row of the label
};

inline constexpr colour window_grey{206, 207, 206};
inline constexpr colour banner_blue{166, 202, 240};
inline constexpr colour red{255, 0, 0};
inline constexpr colour blue{0, 0, 255};

inline constexpr int window_width_units = 2277;
inline constexpr int window_height_units = 1440;
inline constexpr std::string_view window_title = "Velmora数据库升级";

inline constexpr font_style songti_10{"宋体", 10};

// In control-list order.
inline constexpr std::array<control_layout, 13> window_controls{{
    {"st_4", control_kind::static_text, "更新日期：", 1367, 380, 302, 52, songti_10, red, window_grey, false, false, 0,
     false},
    {"st_8", control_kind::static_text, "Velmora", 32, 88, 2171, 164, {"隶书", 28, false, false, false, true}, blue,
     banner_blue, false, false, 0, false, true},
    {"st_7", control_kind::panel, "", 18, 4, 2194, 312, {"宋体", 11}, blue, banner_blue, false, false, 0, false},
    {"cbx_proc", control_kind::check_box, "Proc&&Trigger", 663, 768, 466, 76, {"宋体", 9, true}, {}, {}, true, true, 0,
     true},
    {"lb_1", control_kind::list_box, "", 1335, 596, 846, 476, songti_10, {}, {}, true, true, 20, true},
    {"cb_put", control_kind::push_button, "put", 366, 764, 288, 92, songti_10, {}, {}, true, true, 20, true},
    {"cb_get", control_kind::push_button, "get", 64, 764, 288, 92, songti_10, {}, {}, true, true, 20, true},
    {"st_3", control_kind::static_text, "2017-04-04", 1719, 380, 457, 52, {"宋体", 10, true, true, true}, red,
     window_grey, false, false, 0, false},
    {"st_2", control_kind::static_text, "运行本程序前，请先备份数据库！", 178, 644, 905, 52, songti_10, {}, window_grey,
     true, false, 0, false},
    {"st_1", control_kind::static_text, "此程序把用户数据库升级到最新版本，并保留其原有数据。", 187, 544, 1559, 52,
     songti_10, {}, window_grey, true, false, 0, false},
    {"cb_2", control_kind::push_button, "退出(&E)", 1358, 1172, 439, 96, songti_10, {}, {}, true, true, 10, false},
    {"cb_1", control_kind::push_button, "数据库升级(&U)", 114, 1172, 439, 96, songti_10, {}, {}, true, true, 10, false},
    {"gb_1", control_kind::group_box, "", 23, 320, 2194, 804, songti_10, {}, window_grey, true, false, 10, false},
}};

// While a command runs: the progress line, the object's name and a bar in the
// free part of the group box, below the developer buttons and left of the
// list, so they cover no control in either build. The progress line takes
// two rows: with a step's name it is wider than the band. Each row is a line
// of the system font high (64 units), the 10-point text with room to spare,
// and a gap parts the name from the bar. Hidden when idle.
inline constexpr std::array<control_layout, 3> progress_controls{{
    {"st_progress", control_kind::static_text, "", 64, 864, 1240, 128, songti_10, {}, window_grey, true, false, 0,
     false, false, true},
    {"st_progress_object", control_kind::static_text, "", 64, 996, 1240, 64, songti_10, {}, window_grey, true, false,
     0, false},
    {"pb_progress", control_kind::progress_bar, "", 64, 1072, 1240, 40, songti_10, {}, {}, true, true, 0, false},
}};

}  // namespace velmora::app
