// CRegionSelectWndUI: the see-through frame the user places over the area to
// record. Its inner rectangle (the window less the frame's border width on
// every side) is the capture region; it cannot move while a recording runs,
// and it tells its parent (the dialog) after every move with
// WM_REGION_WND_MOVED.
//
// Thread safety: the dialog's thread.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace qelrec {

inline constexpr uint32_t WM_REGION_WND_MOVED = 0x5400;
inline constexpr int HTNOWHERE = 0;
inline constexpr int HTCLIENT = 1;
inline constexpr int HTCAPTION = 2;

class CRegionSelectWndUI : public platform::ui::DialogWindow {
 public:
  explicit CRegionSelectWndUI(std::string skinName) : m_strSkinName(std::move(skinName)) {}

  // The frame's border width (4 when the control is missing).
  int BorderWidth();
  // Where a point (screen coordinates) of the window counts: nowhere while
  // recording, the caption over the drag handle, else the client area.
  int OnNcHitTest(int x, int y, bool recording);
  // Injector: the user moves or resizes the frame (refused while recording).
  bool MoveTo(const platform::ui::Rect& rect, bool recording);

 protected:
  std::string SkinFile() const override { return "recorder_region_wnd.xml"; }
  std::string SkinName() const override { return m_strSkinName.empty() ? "default" : m_strSkinName; }

 private:
  std::string m_strSkinName;
  platform::ui::HWND m_parent = nullptr;
  friend class CRecorderDlgUI;
};

}  // namespace qelrec
