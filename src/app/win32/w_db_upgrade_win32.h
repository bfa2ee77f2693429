#pragma once
// The main window on Windows, drawn with plain Win32 controls: one window
// class, the thirteen controls of the layout as STATIC, BUTTON and LISTBOX
// children, and the progress line. What the handlers decide lives in
// upgrade_window; this class draws it and passes the operator's actions on.

#include "common/os_headers.h"

#include <array>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/logic/upgrade_window.h"
#include "app/logic/window_layout.h"
#include "app/logic/window_view.h"
#include "app/win32/win32_ui_services.h"
#include "session/database_session.h"

namespace velmora::app {

// Layout units to pixels. The system font is the stock SYSTEM_FONT as the
// screen draws it: across, 1/32 of its average character width
// (tmAveCharWidth); down, 1/64 of its character height (tmHeight). At 96 dpi
// Windows' System font is 7 x 16, so the window is 498 x 360 pixels.
struct layout_scale {
    int char_width = 7;
    int char_height = 16;
    int x(int units) const { return MulDiv(units, char_width, 32); }
    int y(int units) const { return MulDiv(units, char_height, 64); }
};
layout_scale system_font_scale();

// The developer's script folder on Windows.
inline constexpr const char* developer_script_folder = "e:\\G\\velmora\\sql\\pr_tr\\";

class w_db_upgrade_win32 : private window_view {
public:
    // developer_mode is fixed per program at build time; the window only obeys it.
    w_db_upgrade_win32(HINSTANCE instance, database_session& sqlca, win32_ui_services& ui, window_options options);
    ~w_db_upgrade_win32() override;
    w_db_upgrade_win32(const w_db_upgrade_win32&) = delete;
    w_db_upgrade_win32& operator=(const w_db_upgrade_win32&) = delete;

    // Creates the window and its controls, runs the open handler, shows the
    // window centred on the screen and posts ue_postopen. False when Windows
    // refused to create the window.
    bool open(int show_command);
    // The message loop, until the window has been destroyed.
    int run();

    HWND hwnd() const { return hwnd_; }

private:
    // window_view
    void set_developer_controls_visible(bool visible) override;
    void set_upgrade_enabled(bool enabled) override;
    bool package_box_checked() const override;
    void show_package_names(const std::vector<std::string>& gbk_names) override;
    void close_window() override;
    void command_started() override;
    void command_finished() override;
    void run_in_background(std::function<void()> work, std::function<void()> done) override;
    void call_on_window_thread(const std::function<void()>& f) override;

    static LRESULT CALLBACK window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
    LRESULT handle(UINT message, WPARAM wparam, LPARAM lparam);
    void create_controls();
    HWND make_control(const control_layout& layout, int id, bool visible);
    HWND control(std::string_view name) const;
    const control_layout* layout_of(HWND child) const;
    HFONT font_for(const font_style& wanted);
    HBRUSH brush_for(COLORREF colour);
    LRESULT colour_static(HDC dc, HWND child);
    void draw_underlined(const DRAWITEMSTRUCT& item);
    void on_command(int id);
    void restore_focus();
    void show_progress();
    bool fits(HWND label, const std::string& text) const;
    bool input_refused(const MSG& m) const;

    HINSTANCE instance_;
    win32_ui_services& ui_;
    upgrade_window logic_;
    HWND hwnd_ = nullptr;
    DWORD window_thread_ = 0;
    layout_scale scale_;
    std::array<HWND, window_controls.size()> controls_{};
    std::array<HWND, progress_controls.size()> progress_{};
    HWND focus_ = nullptr;  // the control to give the focus back to on activation
    std::vector<std::pair<font_style, HFONT>> fonts_;
    std::vector<std::pair<COLORREF, HBRUSH>> brushes_;
    std::thread worker_;
    std::function<void()> done_;
    struct {
        std::wstring first, second;
        int maximum = -1, position = -1;
    } shown_;
};

}  // namespace velmora::app
