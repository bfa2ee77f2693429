#include "app/win32/w_db_upgrade_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <optional>
#include <tuple>

#include "app/win32/win32_text.h"
#include "app/win32/window_ids.h"
#include "common/gbk.h"

namespace velmora::app {

namespace {

static_assert(GB2312_CHARSET == 134);

// Messages the window sends itself.
constexpr UINT ue_postopen_message = WM_APP + 1;   // the deferred login
constexpr UINT command_done_message = WM_APP + 2;  // the background work has ended
constexpr UINT call_message = WM_APP + 3;          // lparam: const std::function<void()>*
constexpr UINT_PTR progress_timer = 1;

COLORREF rgb(colour c) { return RGB(c.r, c.g, c.b); }

constexpr std::size_t index_of(std::string_view name) {
    for (std::size_t i = 0; i < window_controls.size(); ++i)
        if (window_controls[i].name == name) return i;
    return window_controls.size();
}

bool same_font(const font_style& a, const font_style& b) {
    return a.face == b.face && a.points == b.points && a.bold == b.bold && a.italic == b.italic &&
           a.underline == b.underline && a.fixed_pitch == b.fixed_pitch;
}

// Static texts take no focus, and neither does the group box; the check box is
// reached by mouse only. Every other control with a tab order is a tab stop.
bool is_tab_stop(const control_layout& c) {
    return c.tab_order > 0 && c.kind != control_kind::group_box && c.kind != control_kind::static_text &&
           c.kind != control_kind::panel;
}

struct win32_class {
    const wchar_t* name;
    DWORD style;
    DWORD ex_style;
};

win32_class class_of(const control_layout& c) {
    switch (c.kind) {
        // An underlined text draws itself (see draw_underlined).
        case control_kind::static_text:
            if (c.font.underline) return {L"STATIC", SS_OWNERDRAW, 0};
            return {L"STATIC",
                    static_cast<DWORD>(SS_NOPREFIX | (c.right_aligned ? SS_RIGHT
                                                      : c.word_wrap   ? SS_LEFT
                                                                      : SS_LEFTNOWORDWRAP)),
                    0};
        case control_kind::panel: return {L"STATIC", SS_NOPREFIX | SS_LEFT, WS_EX_CLIENTEDGE};  // sunken border
        case control_kind::check_box: return {L"BUTTON", BS_AUTOCHECKBOX, 0};
        // Both scroll bars always; the height as laid out, not cut to whole items.
        case control_kind::list_box:
            return {L"LISTBOX", LBS_NOINTEGRALHEIGHT | LBS_DISABLENOSCROLL | WS_VSCROLL | WS_HSCROLL,
                    WS_EX_CLIENTEDGE};
        case control_kind::push_button: return {L"BUTTON", BS_PUSHBUTTON, 0};  // never BS_DEFPUSHBUTTON
        case control_kind::group_box: return {L"BUTTON", BS_GROUPBOX, 0};
        case control_kind::progress_bar: return {PROGRESS_CLASSW, 0, 0};
    }
    return {L"STATIC", 0, 0};
}

}  // namespace

layout_scale system_font_scale() {
    layout_scale s;
    HDC dc = GetDC(nullptr);
    if (!dc) return s;
    HGDIOBJ old = SelectObject(dc, GetStockObject(SYSTEM_FONT));
    TEXTMETRICW tm;
    if (GetTextMetricsW(dc, &tm) && tm.tmAveCharWidth > 0 && tm.tmHeight > 0) {
        s.char_width = tm.tmAveCharWidth;
        s.char_height = tm.tmHeight;
    }
    SelectObject(dc, old);
    ReleaseDC(nullptr, dc);
    return s;
}

w_db_upgrade_win32::w_db_upgrade_win32(HINSTANCE instance, database_session& sqlca, win32_ui_services& ui,
                                       window_options options)
    : instance_(instance), ui_(ui), logic_(sqlca, ui, *this, std::move(options)) {}

// The worker may still be waiting for a box: it is joined while the window's
// state still exists (the window refuses to close while it runs).
w_db_upgrade_win32::~w_db_upgrade_win32() {
    if (worker_.joinable()) worker_.join();
    if (hwnd_) DestroyWindow(hwnd_);
    for (auto& [style, font] : fonts_) DeleteObject(font);
    for (auto& [colour, brush] : brushes_) DeleteObject(brush);
}

bool w_db_upgrade_win32::open(int show_command) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &w_db_upgrade_win32::window_proc;
    wc.hInstance = instance_;
    wc.hIcon = LoadIconW(instance_, L"IDI_ICON1");
    if (!wc.hIcon) wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance_, L"IDI_ICON1", IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = nullptr;  // WM_ERASEBKGND paints the grey
    wc.lpszClassName = win32::window_class_name;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return false;

    // The outer size is the laid-out size; the controls stand in the client area.
    scale_ = system_font_scale();
    const int width = scale_.x(window_width_units), height = scale_.y(window_height_units);
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int left = work.left + (work.right - work.left - width) / 2;
    const int top = work.top + (work.bottom - work.top - height) / 2;

    // Caption, system menu with Close and a sizing border; no minimise or
    // maximise box. No WS_CLIPCHILDREN: the group box paints only its frame,
    // so the window's grey must reach under it, as in a dialog.
    window_thread_ = GetCurrentThreadId();
    const std::wstring title = wide(window_title);
    if (!CreateWindowExW(0, win32::window_class_name, title.c_str(),
                         WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, left, top, width, height, nullptr,
                         nullptr, instance_, this))
        return false;
    ui_.set_owner(hwnd_);
    create_controls();

    logic_.open();
    ShowWindow(hwnd_, show_command);
    UpdateWindow(hwnd_);
    restore_focus();
    // The login waits in the queue until the window has been painted.
    PostMessageW(hwnd_, ue_postopen_message, 0, 0);
    return true;
}

// Tab goes through the tab stops in z-order, so the tab stops come first, by
// tab order and then left to right; the other controls follow in the layout's
// order, the group box last. Every control that overlaps another (the banner
// on its panel, everything on the group box) keeps the layout's stacking.
void w_db_upgrade_win32::create_controls() {
    std::vector<std::size_t> tab_stops, others;
    std::optional<std::size_t> group_box;
    for (std::size_t i = 0; i < window_controls.size(); ++i) {
        if (is_tab_stop(window_controls[i])) tab_stops.push_back(i);
        else if (window_controls[i].kind == control_kind::group_box) group_box = i;
        else others.push_back(i);
    }
    std::stable_sort(tab_stops.begin(), tab_stops.end(), [](std::size_t a, std::size_t b) {
        const control_layout &x = window_controls[a], &y = window_controls[b];
        return std::tie(x.tab_order, x.x, x.y) < std::tie(y.tab_order, y.x, y.y);
    });

    HWND previous = HWND_TOP;
    auto place = [&](HWND h) {
        SetWindowPos(h, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = h;
    };
    for (std::size_t i : tab_stops) place(controls_[i] = make_control(window_controls[i], win32::control_id(i), true));
    for (std::size_t i : others) place(controls_[i] = make_control(window_controls[i], win32::control_id(i), true));
    // The progress line lies on the group box and is hidden until a command runs.
    for (std::size_t i = 0; i < progress_controls.size(); ++i)
        place(progress_[i] = make_control(progress_controls[i], win32::progress_control_id(i), false));
    if (group_box) place(controls_[*group_box] = make_control(window_controls[*group_box], win32::control_id(*group_box), true));

    SendMessageW(control("cbx_proc"), BM_SETCHECK, BST_CHECKED, 0);
}

HWND w_db_upgrade_win32::make_control(const control_layout& layout, int id, bool visible) {
    const win32_class cls = class_of(layout);
    // Each control is its own group: the arrow keys move no focus between buttons.
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | WS_GROUP | cls.style;
    if (visible) style |= WS_VISIBLE;
    if (is_tab_stop(layout)) style |= WS_TABSTOP;
    const std::wstring text = wide(layout.text);
    HWND h = CreateWindowExW(cls.ex_style, cls.name, text.c_str(), style, scale_.x(layout.x), scale_.y(layout.y),
                             scale_.x(layout.width), scale_.y(layout.height), hwnd_,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    if (h) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_for(layout.font)), FALSE);
    return h;
}

HWND w_db_upgrade_win32::control(std::string_view name) const {
    const std::size_t i = index_of(name);
    return i < controls_.size() ? controls_[i] : nullptr;
}

const control_layout* w_db_upgrade_win32::layout_of(HWND child) const {
    for (std::size_t i = 0; i < controls_.size(); ++i)
        if (controls_[i] == child) return &window_controls[i];
    for (std::size_t i = 0; i < progress_.size(); ++i)
        if (progress_[i] == child) return &progress_controls[i];
    return nullptr;
}

// Points at the screen's density, the Chinese character set, and the banner's
// fixed pitch and modern family; every other face is variable pitch.
HFONT w_db_upgrade_win32::font_for(const font_style& wanted) {
    for (auto& [known, font] : fonts_)
        if (same_font(known, wanted)) return font;
    HDC dc = GetDC(nullptr);
    const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
    if (dc) ReleaseDC(nullptr, dc);
    LOGFONTW lf{};
    lf.lfHeight = -MulDiv(wanted.points, dpi, 72);
    lf.lfWeight = wanted.bold ? FW_BOLD : FW_NORMAL;
    lf.lfItalic = wanted.italic;
    lf.lfUnderline = wanted.underline;
    lf.lfCharSet = GB2312_CHARSET;
    lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
    lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    lf.lfQuality = DEFAULT_QUALITY;
    lf.lfPitchAndFamily = wanted.fixed_pitch ? FIXED_PITCH | FF_MODERN : VARIABLE_PITCH | FF_DONTCARE;
    const std::wstring face = wide(wanted.face);
    face.copy(lf.lfFaceName, LF_FACESIZE - 1);
    HFONT font = CreateFontIndirectW(&lf);
    fonts_.emplace_back(wanted, font);
    return font;
}

HBRUSH w_db_upgrade_win32::brush_for(COLORREF c) {
    for (auto& [known, brush] : brushes_)
        if (known == c) return brush;
    HBRUSH brush = CreateSolidBrush(c);
    brushes_.emplace_back(c, brush);
    return brush;
}

// Statics, the check box and the group box ask here for their colours.
LRESULT w_db_upgrade_win32::colour_static(HDC dc, HWND child) {
    const control_layout* layout = layout_of(child);
    if (!layout) return DefWindowProcW(hwnd_, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(child));
    SetTextColor(dc, layout->system_text_colour ? GetSysColor(COLOR_WINDOWTEXT) : rgb(layout->text_colour));
    if (!layout->system_back_colour) {
        SetBkColor(dc, rgb(layout->back_colour));
        return reinterpret_cast<LRESULT>(brush_for(rgb(layout->back_colour)));
    }
    if (layout->kind == control_kind::check_box) {
        SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
    }
    SetBkColor(dc, rgb(window_grey));
    return reinterpret_cast<LRESULT>(brush_for(rgb(window_grey)));
}

// A label as low as its font (13 px at 10 pt) keeps its underline in view: a
// substitute face taller than 宋体 would put the font's own underline below
// the bottom edge, so there the line is drawn on the last pixel row.
void w_db_upgrade_win32::draw_underlined(const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    const RECT r = item.rcItem;
    FillRect(dc, &r, reinterpret_cast<HBRUSH>(colour_static(dc, item.hwndItem)));
    wchar_t text[256];
    const int n = GetWindowTextW(item.hwndItem, text, 256);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(item.hwndItem, WM_GETFONT, 0, 0)));
    SetBkMode(dc, TRANSPARENT);
    RECT text_rect = r;
    DrawTextW(dc, text, n, &text_rect, DT_LEFT | DT_TOP | DT_SINGLELINE | DT_NOPREFIX);
    TEXTMETRICW tm{};
    GetTextMetricsW(dc, &tm);
    SIZE size{};
    GetTextExtentPoint32W(dc, text, n, &size);
    const int underline_at = tm.tmAscent + std::max<LONG>(1, tm.tmDescent / 2);
    if (n > 0 && r.top + underline_at >= r.bottom) {
        HPEN pen = CreatePen(PS_SOLID, 1, GetTextColor(dc));
        HGDIOBJ old_pen = SelectObject(dc, pen);
        MoveToEx(dc, r.left, r.bottom - 1, nullptr);
        LineTo(dc, r.left + size.cx, r.bottom - 1);
        SelectObject(dc, old_pen);
        DeleteObject(pen);
    }
    SelectObject(dc, old);
}

LRESULT CALLBACK w_db_upgrade_win32::window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<w_db_upgrade_win32*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_NCCREATE) {
        self = static_cast<w_db_upgrade_win32*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    if (!self) return DefWindowProcW(hwnd, message, wparam, lparam);
    const LRESULT result = self->handle(message, wparam, lparam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
        self->hwnd_ = nullptr;
    }
    return result;
}

LRESULT w_db_upgrade_win32::handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_ERASEBKGND: {
            RECT r;
            GetClientRect(hwnd_, &r);
            FillRect(reinterpret_cast<HDC>(wparam), &r, brush_for(rgb(window_grey)));
            return 1;
        }
        case WM_DRAWITEM: {
            const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lparam);
            if (item->CtlType != ODT_STATIC) break;
            draw_underlined(*item);
            return TRUE;
        }
        case WM_CTLCOLORSTATIC:
            return colour_static(reinterpret_cast<HDC>(wparam), reinterpret_cast<HWND>(lparam));
        case WM_COMMAND:
            if (lparam && HIWORD(wparam) == BN_CLICKED) on_command(LOWORD(wparam));
            return 0;  // Enter and Esc (IDOK, IDCANCEL from the dialog manager) do nothing: no default button
        case WM_SETCURSOR:
            if (LOWORD(lparam) == HTCLIENT) {
                if (HCURSOR c = ui_.cursor()) {
                    SetCursor(c);
                    return TRUE;
                }
            }
            break;
        case WM_ACTIVATE:
            if (LOWORD(wparam) == WA_INACTIVE) {
                HWND f = GetFocus();
                if (f && IsChild(hwnd_, f)) focus_ = f;
            } else {
                restore_focus();
            }
            return 0;
        case WM_SETFOCUS: restore_focus(); return 0;
        case WM_TIMER:
            if (wparam == progress_timer) show_progress();
            return 0;
        case WM_CLOSE:
            // Closing during a command would leave a database half upgraded.
            if (logic_.busy()) return 0;
            DestroyWindow(hwnd_);
            return 0;
        case WM_SYSCOMMAND:
            // The system menu's Close and Alt+F4 come this way; refused alike while busy.
            if ((wparam & 0xFFF0) == SC_CLOSE && logic_.busy()) return 0;
            break;
        case WM_DESTROY:
            KillTimer(hwnd_, progress_timer);
            PostQuitMessage(0);
            return 0;
        case ue_postopen_message: logic_.ue_postopen(); return 0;
        case command_done_message: {
            auto done = std::move(done_);
            done_ = nullptr;
            if (done) done();
            return 0;
        }
        case call_message: (*reinterpret_cast<const std::function<void()>*>(lparam))(); return 0;
    }
    return DefWindowProcW(hwnd_, message, wparam, lparam);
}

// A button's click while a command runs does nothing: the session is the command's.
void w_db_upgrade_win32::on_command(int id) {
    if (logic_.busy()) return;
    for (std::size_t i = 0; i < window_controls.size(); ++i) {
        if (win32::control_id(i) != id) continue;
        const std::string_view name = window_controls[i].name;
        if (name == "cb_1") logic_.cb_1_clicked();
        else if (name == "cb_2") logic_.cb_2_clicked();
        else if (name == "cb_put") logic_.cb_put_clicked();
        else if (name == "cb_get") logic_.cb_get_clicked();
        return;
    }
}

// A plain window forgets its focused control when it loses activation; the
// dialog manager's way is to give it back.
void w_db_upgrade_win32::restore_focus() {
    if (!hwnd_) return;
    HWND target = focus_;
    if (!target || !IsWindowVisible(target) || !IsWindowEnabled(target)) target = GetNextDlgTabItem(hwnd_, nullptr, FALSE);
    if (target) SetFocus(target);
}

void w_db_upgrade_win32::set_developer_controls_visible(bool visible) {
    for (std::string_view name : {"cb_get", "cb_put", "lb_1", "cbx_proc"})
        ShowWindow(control(name), visible ? SW_SHOW : SW_HIDE);
}

void w_db_upgrade_win32::set_upgrade_enabled(bool enabled) {
    HWND button = control("cb_1");
    // A disabled control cannot keep the focus: the next tab stop takes it.
    if (!enabled && GetFocus() == button) {
        HWND next = GetNextDlgTabItem(hwnd_, button, FALSE);
        if (next && next != button) SetFocus(next);
    }
    if (!enabled && focus_ == button) focus_ = nullptr;
    EnableWindow(button, enabled);
}

bool w_db_upgrade_win32::package_box_checked() const {
    return SendMessageW(control("cbx_proc"), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// GBK names, shown as text in exactly the order given (no LBS_SORT): the
// package's order.
void w_db_upgrade_win32::show_package_names(const std::vector<std::string>& gbk_names) {
    HWND list = control("lb_1");
    SendMessageW(list, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list, LB_RESETCONTENT, 0, 0);
    HDC dc = GetDC(list);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(list, WM_GETFONT, 0, 0)));
    LONG widest = 0;
    for (const std::string& gbk : gbk_names) {
        std::optional<std::u16string> text = gbk_to_utf16(gbk);
        if (!text) text = utf8_to_utf16(gbk_to_utf8_lossy(gbk));
        const std::wstring item(text->begin(), text->end());
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
        SIZE size{};
        if (GetTextExtentPoint32W(dc, item.c_str(), static_cast<int>(item.size()), &size))
            widest = std::max(widest, size.cx);
    }
    SelectObject(dc, old);
    ReleaseDC(list, dc);
    // The horizontal scroll bar reaches the end of the longest name.
    SendMessageW(list, LB_SETHORIZONTALEXTENT, widest + 2 * GetSystemMetrics(SM_CXEDGE), 0);
    SendMessageW(list, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list, nullptr, TRUE);
}

void w_db_upgrade_win32::close_window() {
    if (hwnd_) DestroyWindow(hwnd_);
}

void w_db_upgrade_win32::command_started() {
    shown_ = {};
    show_progress();
    for (HWND h : progress_) ShowWindow(h, SW_SHOW);
    // The progress line follows the work at a rate a person can read.
    SetTimer(hwnd_, progress_timer, 100, nullptr);
}

void w_db_upgrade_win32::command_finished() {
    KillTimer(hwnd_, progress_timer);
    for (HWND h : progress_) ShowWindow(h, SW_HIDE);
}

// Whether text, drawn as a static control without SS_LEFTNOWORDWRAP draws
// it (broken into rows at its width), fits the control.
bool w_db_upgrade_win32::fits(HWND label, const std::string& text) const {
    RECT room{};
    GetClientRect(label, &room);
    RECT needed{0, 0, room.right, 0};
    const std::wstring w = wide(text);
    HDC dc = GetDC(label);
    if (!dc) return true;
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(label, WM_GETFONT, 0, 0)));
    DrawTextW(dc, w.c_str(), static_cast<int>(w.size()), &needed,
              DT_LEFT | DT_WORDBREAK | DT_EXPANDTABS | DT_NOPREFIX | DT_CALCRECT);
    SelectObject(dc, old);
    ReleaseDC(label, dc);
    return needed.right <= room.right && needed.bottom <= room.bottom;
}

// Only what changed is set again: an unchanged text costs no repaint.
void w_db_upgrade_win32::show_progress() {
    const std::optional<progress_state> now = logic_.progress_now();
    if (!now) return;
    const std::wstring first = wide(now->first_line_fitting([&](const std::string& text) { return fits(progress_[0], text); }));
    const std::wstring second = wide(now->second_line());
    if (first != shown_.first) SetWindowTextW(progress_[0], (shown_.first = first).c_str());
    if (second != shown_.second) SetWindowTextW(progress_[1], (shown_.second = second).c_str());
    const int maximum = now->count > 0 ? static_cast<int>(now->count) : 0;  // 0: no end known yet
    if (maximum != shown_.maximum) SendMessageW(progress_[2], PBM_SETRANGE32, 0, shown_.maximum = maximum);
    const int position = maximum > 0 ? static_cast<int>(now->index) : 0;
    if (position != shown_.position) SendMessageW(progress_[2], PBM_SETPOS, shown_.position = position, 0);
}

// The command runs on a thread of its own; its end comes back through the
// window's queue, where the window's own state is changed.
void w_db_upgrade_win32::run_in_background(std::function<void()> work, std::function<void()> done) {
    if (worker_.joinable()) worker_.join();
    done_ = std::move(done);
    HWND target = hwnd_;
    worker_ = std::thread([target, work = std::move(work)] {
        work();
        PostMessageW(target, command_done_message, 0, 0);
    });
}

// SendMessage blocks the worker until the window's thread has run f: a box
// comes modal on that thread, and the worker waits until it is dismissed.
void w_db_upgrade_win32::call_on_window_thread(const std::function<void()>& f) {
    if (GetCurrentThreadId() == window_thread_) {
        f();
        return;
    }
    SendMessageW(hwnd_, call_message, 0, reinterpret_cast<LPARAM>(&f));
}

// While a command runs, keys and clicks meant for the window and its controls
// go nowhere; the frame (moving, the refused close) and other windows, the
// command's message boxes among them, get theirs. The window is not disabled
// for it: MessageBoxW disables its owner and enables it again when dismissed,
// which would hand the input back in the middle of the command.
bool w_db_upgrade_win32::input_refused(const MSG& m) const {
    if (!logic_.busy() || !hwnd_ || (m.hwnd != hwnd_ && !IsChild(hwnd_, m.hwnd))) return false;
    return (m.message >= WM_KEYFIRST && m.message <= WM_KEYLAST) ||
           (m.message >= WM_MOUSEFIRST && m.message <= WM_MOUSELAST);
}

// IsDialogMessage gives a plain window what a dialog has: Tab between the tab
// stops and Alt+letter for the mnemonics.
int w_db_upgrade_win32::run() {
    MSG m;
    BOOL got;
    while ((got = GetMessageW(&m, nullptr, 0, 0)) != 0) {
        if (got == -1) return 1;
        if (input_refused(m)) continue;
        if (hwnd_ && IsDialogMessageW(hwnd_, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
    return static_cast<int>(m.wParam);
}

}  // namespace velmora::app
