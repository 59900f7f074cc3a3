#include "qelrecorder/region_window.h"

namespace qelrec {

int CRegionSelectWndUI::BorderWidth() {
  const platform::ui::Control* frame = FindControl("ID_LAYOUT_RECORD_REGION");
  return frame != nullptr ? frame->borderSize : 4;
}

int CRegionSelectWndUI::OnNcHitTest(int x, int y, bool recording) {
  if (recording) return HTNOWHERE;
  platform::ui::Rect r{};
  if (!platform::ui::GetWindowRect(GetHWND(), r)) return HTNOWHERE;
  const platform::ui::Control* handle = FindControl("ID_LABEL_RECORD_REGION_MOVE");
  // The drag handle runs along the top edge inside the frame.
  const int b = BorderWidth();
  if (handle != nullptr && handle->visible && x >= r.left + b && x < r.right - b && y >= r.top + b && y < r.top + b + 24) {
    return HTCAPTION;
  }
  return HTCLIENT;
}

bool CRegionSelectWndUI::MoveTo(const platform::ui::Rect& rect, bool recording) {
  if (recording || GetHWND() == nullptr) return false;
  platform::ui::SetWindowPos(GetHWND(), rect);
  if (m_parent != nullptr) platform::ui::PostMessage(m_parent, WM_REGION_WND_MOVED, 0, 0);
  return true;
}

}  // namespace qelrec
