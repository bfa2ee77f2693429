// Drives the Windows window from another process, as an operator would, and
// checks it through the Win32 API: the title and frame, every control's class,
// text, place and visibility, the tab order, Alt+U, the message boxes in order,
// and Alt+E. Run by scripts/test-windows-window while db_upgrade_pos runs.
//
//   window_driver upgrade        the delivered program on the demo databases
//   window_driver login-failure  the developer program with no server to reach
//
// Prints what it checked; exit status 0 when everything held, 1 otherwise.

#include "common/os_headers.h"

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/logic/window_layout.h"
#include "app/win32/window_ids.h"

using namespace velmora::app;
using namespace std::chrono_literals;

namespace {

int failures = 0;

std::wstring wide(std::string_view utf8) {
    if (utf8.empty()) return {};
    std::wstring w(utf8.size(), L'\0');
    w.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(),
                                 static_cast<int>(w.size())));
    return w;
}

std::string narrow(std::wstring_view w) {
    if (w.empty()) return {};
    std::string s(w.size() * 3, '\0');
    s.resize(WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(),
                                 static_cast<int>(s.size()), nullptr, nullptr));
    return s;
}

void fail(const std::string& what) {
    ++failures;
    std::printf("FAIL: %s\n", what.c_str());
    std::fflush(stdout);
}

void check(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

bool wait_for(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
}

std::wstring text_of(HWND h) {
    wchar_t buf[1024];
    // WM_GETTEXT crosses processes; a window that does not answer in time reads as empty.
    DWORD_PTR n = 0;
    if (!SendMessageTimeoutW(h, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 5000, &n))
        return {};
    return std::wstring(buf, n);
}

std::wstring class_of(HWND h) {
    wchar_t buf[256];
    const int n = GetClassNameW(h, buf, 256);
    return std::wstring(buf, n > 0 ? n : 0);
}

// Layout units to pixels with the system font as this process sees it (the
// same Windows, so the same font as the window's).
struct scale {
    int cx = 0, cy = 0;
    int x(int u) const { return MulDiv(u, cx, 32); }
    int y(int u) const { return MulDiv(u, cy, 64); }
};

scale system_scale() {
    scale s;
    HDC dc = GetDC(nullptr);
    HGDIOBJ old = SelectObject(dc, GetStockObject(SYSTEM_FONT));
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    s.cx = tm.tmAveCharWidth;
    s.cy = tm.tmHeight;
    return s;
}

std::string rect_text(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + " " + std::to_string(r.right - r.left) + "x" +
           std::to_string(r.bottom - r.top);
}

HWND find_window() {
    const std::wstring title = wide(window_title);
    HWND found = nullptr;
    wait_for([&] { return (found = FindWindowW(nullptr, title.c_str())) && IsWindowVisible(found); }, 30s);
    return found;
}

HWND child(HWND window, std::string_view name) {
    for (std::size_t i = 0; i < window_controls.size(); ++i)
        if (window_controls[i].name == name) return GetDlgItem(window, win32::control_id(i));
    return nullptr;
}

HWND focus_of(HWND window) {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

std::string name_of(HWND window, HWND h) {
    for (std::size_t i = 0; i < window_controls.size(); ++i)
        if (GetDlgItem(window, win32::control_id(i)) == h) return std::string(window_controls[i].name);
    return h ? "an unknown window" : "nothing";
}

void key(WORD vk, bool up) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = vk;
    in.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    SendInput(1, &in, sizeof in);
}

// Real key presses through the system's input queue, to the foreground window.
bool press(HWND window, WORD vk, bool alt) {
    SetForegroundWindow(window);
    if (!wait_for([&] { return GetForegroundWindow() == window; }, 5s)) {
        fail("the window does not come to the foreground, so no key reaches it");
        return false;
    }
    if (alt) key(VK_MENU, false);
    key(vk, false);
    key(vk, true);
    if (alt) key(VK_MENU, true);
    return true;
}

// The progress line goes on in a second row rather than being cut, and the
// longest line a run shows, drawn as the line draws it in the font the view
// makes, fits its rows; the object's name stands clear of the bar.
void check_progress_rows(HWND window) {
    HWND line = GetDlgItem(window, win32::progress_control_id(0));
    HWND name = GetDlgItem(window, win32::progress_control_id(1));
    HWND bar = GetDlgItem(window, win32::progress_control_id(2));
    check((GetWindowLongW(line, GWL_STYLE) & SS_TYPEMASK) == SS_LEFT, "st_progress breaks its text into rows");
    RECT name_rect, bar_rect, room;
    GetWindowRect(name, &name_rect);
    GetWindowRect(bar, &bar_rect);
    check(name_rect.bottom < bar_rect.top, "st_progress_object ends above pb_progress, not touching it");
    GetClientRect(line, &room);
    HDC dc = GetDC(line);
    LOGFONTW lf{};
    lf.lfHeight = -MulDiv(10, GetDeviceCaps(dc, LOGPIXELSY), 72);
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = GB2312_CHARSET;
    lf.lfPitchAndFamily = VARIABLE_PITCH | FF_DONTCARE;
    wide("宋体").copy(lf.lfFaceName, LF_FACESIZE - 1);
    HFONT font = CreateFontIndirectW(&lf);
    HGDIOBJ old = SelectObject(dc, font);
    const std::wstring longest = wide("第 2 遍：升级特殊客户数据库“BrenHolt”，内置升级：增加字段 t_wm_sheet_detail.sort_id");
    RECT needed{0, 0, room.right, 0};
    DrawTextW(dc, longest.c_str(), static_cast<int>(longest.size()), &needed,
              DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX | DT_CALCRECT);
    SelectObject(dc, old);
    DeleteObject(font);
    ReleaseDC(line, dc);
    check(needed.right <= room.right && needed.bottom <= room.bottom,
          "the longest progress line needs " + rect_text(needed) + ", st_progress has " + rect_text(room));
}

// The frame, the title, the size and place, and each control as laid out.
void check_layout(HWND window, bool developer) {
    const scale s = system_scale();
    std::printf("system font: average width %d, height %d\n", s.cx, s.cy);
    check(class_of(window) == win32::window_class_name, "the window's class is " + narrow(class_of(window)));
    check(text_of(window) == wide(window_title), "the title reads \"" + narrow(text_of(window)) + "\"");

    const LONG style = GetWindowLongW(window, GWL_STYLE);
    check((style & WS_CAPTION) == WS_CAPTION && (style & WS_SYSMENU) && (style & WS_THICKFRAME),
          "the frame has a caption, a system menu and a sizing border");
    check(!(style & WS_MINIMIZEBOX) && !(style & WS_MAXIMIZEBOX), "the frame has no minimise or maximise box");

    RECT frame;
    GetWindowRect(window, &frame);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    check(width == s.x(window_width_units) && height == s.y(window_height_units),
          "the window is " + std::to_string(width) + "x" + std::to_string(height) + ", laid out " +
              std::to_string(s.x(window_width_units)) + "x" + std::to_string(s.y(window_height_units)));
    if (s.cx == 7 && s.cy == 16) check(width == 498 && height == 360, "at 96 dpi the window is 498 x 360");
    RECT work;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int dx = (frame.left - work.left) - (work.right - frame.right);
    const int dy = (frame.top - work.top) - (work.bottom - frame.bottom);
    check(dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1, "the window is centred on the screen: " + rect_text(frame));

    auto check_control = [&](const control_layout& c, HWND h, bool visible) {
        const std::string name(c.name);
        if (!h) return fail(name + " is missing");
        const std::wstring cls = class_of(h);
        const LONG st = GetWindowLongW(h, GWL_STYLE);
        std::wstring want_class;
        switch (c.kind) {
            case control_kind::static_text:
            case control_kind::panel: want_class = L"Static"; break;
            case control_kind::list_box: want_class = L"ListBox"; break;
            case control_kind::progress_bar: want_class = L"msctls_progress32"; break;
            default: want_class = L"Button"; break;
        }
        check(lstrcmpiW(cls.c_str(), want_class.c_str()) == 0,
              name + " is of class " + narrow(cls));
        const LONG type = st & BS_TYPEMASK;
        if (c.kind == control_kind::push_button) check(type == BS_PUSHBUTTON, name + " is a plain push button, no default");
        if (c.kind == control_kind::check_box) check(type == BS_AUTOCHECKBOX, name + " is an automatic check box");
        if (c.kind == control_kind::group_box) check(type == BS_GROUPBOX, name + " is a group box");
        if (c.kind == control_kind::list_box) {
            check(!(st & LBS_SORT), name + " keeps the order it is given");
            check((st & WS_HSCROLL) && (st & WS_VSCROLL), name + " has both scroll bars");
        }
        const bool tab_stop = c.kind == control_kind::push_button || c.kind == control_kind::list_box;
        check(((st & WS_TABSTOP) != 0) == tab_stop, name + (tab_stop ? " is a tab stop" : " is no tab stop"));
        if (c.kind != control_kind::list_box && c.kind != control_kind::progress_bar)
            check(text_of(h) == wide(c.text), name + " reads \"" + narrow(text_of(h)) + "\"");

        RECT r;
        GetWindowRect(h, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        const RECT want{s.x(c.x), s.y(c.y), s.x(c.x) + s.x(c.width), s.y(c.y) + s.y(c.height)};
        check(EqualRect(&r, &want), name + " stands at " + rect_text(r) + ", laid out at " + rect_text(want));
        check((IsWindowVisible(h) != FALSE) == visible, name + (visible ? " is shown" : " is hidden"));
    };
    for (std::size_t i = 0; i < window_controls.size(); ++i) {
        const control_layout& c = window_controls[i];
        check_control(c, GetDlgItem(window, win32::control_id(i)), !c.developer || developer);
    }
    for (std::size_t i = 0; i < progress_controls.size(); ++i)
        check_control(progress_controls[i], GetDlgItem(window, win32::progress_control_id(i)), false);
    check(SendMessageW(child(window, "cbx_proc"), BM_GETCHECK, 0, 0) == BST_CHECKED, "cbx_proc is checked");

    // Stacking, first on top: the banner over its panel, the group box under everything.
    std::vector<HWND> z;
    for (HWND h = GetWindow(window, GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) z.push_back(h);
    auto place = [&](std::string_view name) {
        HWND h = child(window, name);
        for (std::size_t i = 0; i < z.size(); ++i)
            if (z[i] == h) return i;
        return z.size();
    };
    check(place("st_8") < place("st_7"), "the banner lies above its panel");
    check(!z.empty() && z.back() == child(window, "gb_1"), "the group box lies behind every other control");
    std::vector<std::string> stops;
    for (HWND h : z)
        if (GetWindowLongW(h, GWL_STYLE) & WS_TABSTOP) stops.push_back(name_of(window, h));
    check(stops == std::vector<std::string>{"cb_1", "cb_2", "cb_get", "cb_put", "lb_1"},
          "the tab stops in z-order are cb_1, cb_2, cb_get, cb_put, lb_1");
    check_progress_rows(window);
}

// Tab from the focused control walks these, in this order, and comes back.
void check_tab_order(HWND window, const std::vector<std::string>& cycle) {
    if (!press(window, VK_SHIFT, false)) return;  // the window in front, no key left down
    if (!wait_for([&] { return name_of(window, focus_of(window)) == cycle[0]; }, 5s))
        return fail("the focus is on " + name_of(window, focus_of(window)) + ", expected " + cycle[0]);
    for (std::size_t i = 1; i <= cycle.size(); ++i) {
        const std::string& next = cycle[i % cycle.size()];
        press(window, VK_TAB, false);
        if (!wait_for([&] { return name_of(window, focus_of(window)) == next; }, 5s))
            return fail("Tab moved the focus to " + name_of(window, focus_of(window)) + ", expected " + next);
    }
    std::printf("Tab visits %s", cycle[0].c_str());
    for (std::size_t i = 1; i < cycle.size(); ++i) std::printf(", %s", cycle[i].c_str());
    std::printf("\n");
}

struct box {
    std::string title, text;
};

struct box_search {
    HWND owner, found;
};

// A callback of Windows' calling convention (stdcall on 32-bit), so no lambda.
BOOL CALLBACK match_box(HWND h, LPARAM p) {
    auto* s = reinterpret_cast<box_search*>(p);
    if (GetWindow(h, GW_OWNER) == s->owner && IsWindowVisible(h) && class_of(h) == L"#32770") {
        s->found = h;
        return FALSE;
    }
    return TRUE;
}

HWND find_box(HWND owner) {
    box_search s{owner, nullptr};
    EnumWindows(&match_box, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// Reads each message box owned by the window, presses its OK button, and goes
// on until `finished` holds with no box up for a moment. An optional check
// runs while the first box is up (the command still running).
std::vector<box> answer_boxes(HWND window, std::chrono::seconds limit, const std::function<bool()>& finished,
                              const std::function<void()>& while_first_box = nullptr) {
    std::vector<box> boxes;
    const auto end = std::chrono::steady_clock::now() + limit;
    auto quiet_since = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        if (HWND b = find_box(window)) {
            box seen{narrow(text_of(b)), narrow(text_of(GetDlgItem(b, 0xFFFF)))};
            std::printf("message box: %s: %s\n", seen.title.c_str(), seen.text.c_str());
            check(GetDlgItem(b, IDOK) != nullptr && GetDlgItem(b, IDCANCEL) == nullptr, "the box has one OK button");
            check(!IsWindowEnabled(window), "the window takes no input while its box is up");
            if (boxes.empty() && while_first_box) while_first_box();
            boxes.push_back(seen);
            PostMessageW(GetDlgItem(b, IDOK), BM_CLICK, 0, 0);
            if (!wait_for([&] { return !IsWindow(b); }, 10s)) {
                fail("the box \"" + seen.text + "\" did not close on OK");
                break;
            }
            quiet_since = std::chrono::steady_clock::now();
            continue;
        }
        if (finished() && std::chrono::steady_clock::now() - quiet_since > 500ms) return boxes;
        std::this_thread::sleep_for(20ms);
    }
    fail("the window did not finish within " + std::to_string(limit.count()) + " s");
    return boxes;
}

void check_closes_on_alt_e(HWND window) {
    if (!press(window, 'E', true)) return;
    if (wait_for([&] { return !IsWindow(window); }, 10s)) std::printf("Alt+E closed the window\n");
    else fail("Alt+E did not close the window");
}

const std::string appname = "Torvane商业管理软件";

int upgrade() {
    HWND window = find_window();
    if (!window) return fail("no window titled " + std::string(window_title) + " within 30 s"), 1;
    check_layout(window, false);
    check_tab_order(window, {"cb_1", "cb_2"});  // the developer controls are hidden
    check(IsWindowEnabled(child(window, "cb_1")), "cb_1 is enabled after the login");

    HWND upgrade_button = child(window, "cb_1");
    if (!press(window, 'U', true)) return 1;
    bool progress_seen = false;
    const auto boxes = answer_boxes(
        window, 120s, [&] { return !IsWindowEnabled(upgrade_button); },
        [&] {
            // The command is still running: the window answers, shows its
            // progress line and refuses to close.
            DWORD_PTR r;
            check(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &r) != 0,
                  "the window answers while the command runs");
            progress_seen = IsWindowVisible(GetDlgItem(window, win32::progress_control_id(0))) != FALSE;
            // The line follows the run at its own pace, also under the box:
            // it may still show an earlier step of the pass for a moment.
            const std::string objects = "第 1 遍：升级数据库“velmora”，对象 ";
            std::string shown;
            wait_for(
                [&] {
                    shown = narrow(text_of(GetDlgItem(window, win32::progress_control_id(0))));
                    return shown.rfind(objects, 0) == 0;
                },
                3s);
            check(shown.rfind(objects, 0) == 0, "the progress line reads \"" + shown + "\", whole");
            PostMessageW(window, WM_CLOSE, 0, 0);
        });
    check(progress_seen, "the progress line is shown while the command runs");
    check(IsWindow(window), "the window refused to close while the command ran");
    const std::vector<std::pair<std::string, std::string>> want{{appname, "更新成功！"}, {appname, "更新成功！"}};
    std::vector<std::pair<std::string, std::string>> got;
    for (const box& b : boxes) got.emplace_back(b.title, b.text);
    check(got == want, "the boxes were " + std::to_string(got.size()) + ", expected \"更新成功！\" twice under " + appname);
    check(!IsWindowEnabled(upgrade_button), "cb_1 is disabled after the upgrade");
    check(!IsWindowVisible(GetDlgItem(window, win32::progress_control_id(0))), "the progress line is hidden again");
    check_closes_on_alt_e(window);
    return failures ? 1 : 0;
}

int login_failure() {
    HWND window = find_window();
    if (!window) return fail("no window titled " + std::string(window_title) + " within 30 s"), 1;
    HWND upgrade_button = child(window, "cb_1");
    const auto boxes = answer_boxes(window, 60s, [&] { return !IsWindowEnabled(upgrade_button); });
    if (boxes.size() != 2) {
        fail("the login's failure showed " + std::to_string(boxes.size()) + " boxes, expected 2");
    } else {
        const std::string head = "不能连接到数据库！(错误信息：";
        check(boxes[0].title == appname && boxes[0].text.rfind(head, 0) == 0 && boxes[0].text.back() == ')',
              "the first box gives the client's error under " + appname);
        check(boxes[1].title == appname && boxes[1].text == "不能连接到数据库",
              "the second box says \"不能连接到数据库\" under " + appname);
    }
    check(!IsWindowEnabled(upgrade_button), "cb_1 is disabled after the failed login");
    check_layout(window, true);
    // The disabled upgrade button is skipped; the developer controls follow the exit button.
    check_tab_order(window, {"cb_2", "cb_get", "cb_put", "lb_1"});
    press(window, 'U', true);
    std::this_thread::sleep_for(1s);
    check(!find_box(window) && IsWindowVisible(window), "Alt+U does nothing once cb_1 is disabled");
    check_closes_on_alt_e(window);
    return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    int rc = 2;
    if (mode == "upgrade") rc = upgrade();
    else if (mode == "login-failure") rc = login_failure();
    else std::fprintf(stderr, "usage: window_driver upgrade|login-failure\n");
    if (rc == 0) std::printf("window test (%s): every check held\n", mode.c_str());
    return rc;
}
