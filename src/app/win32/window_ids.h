#pragma once
// How another program finds the Windows window and tells its controls apart:
// the window class, and each control's ID (GetDlgCtrlID) by its place in the
// layout's control lists. The window test reads them across processes.
//
//   window_controls[i]   ID 1001 + i   (st_4 1001, st_8 1002, ... gb_1 1013)
//   progress_controls[i] ID 1101 + i   (st_progress 1101, st_progress_object 1102, pb_progress 1103)

#include <cstddef>

namespace velmora::app::win32 {

inline constexpr wchar_t window_class_name[] = L"Velmora.w_db_upgrade";

constexpr int control_id(std::size_t index) { return 1001 + static_cast<int>(index); }
constexpr int progress_control_id(std::size_t index) { return 1101 + static_cast<int>(index); }

}  // namespace velmora::app::win32
