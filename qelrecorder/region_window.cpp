#include "qelrecorder/region_window.h"

#include "common/text_convert.h"
#include "qelrecorder/output_names.h"

namespace qelrec {

void ApplyImageFolder(platform::ui::DialogWindow& window, const std::string& skinName) {
  window.AddDefaultAttributeList("ImageFolder", qel::wideToUtf8(GetModuleDirectory()) + "skins/" + skinName);
}

int CRegionSelectWndUI::BorderWidth() {
  const platform::ui::Control* frame = FindControl("ID_LAYOUT_RECORD_REGION");
  return frame != nullptr ? frame->borderSize : 4;
}

void CRegionSelectWndUI::InitWindow() {
  ApplyImageFolder(*this, m_strSkinName);
  // White is the colour key: the inside of the frame shows what lies beneath.
  platform::ui::SetWindowExStyle(GetHWND(), platform::ui::GetWindowExStyle(GetHWND()) | platform::ui::WS_EX_LAYERED);
  platform::ui::SetLayeredWindowAttributes(GetHWND(), 0xFFFFFF, 255, platform::ui::LWA_COLORKEY);
}

platform::ui::LRESULT CRegionSelectWndUI::HandleCustomMessage(uint32_t msg, platform::ui::WPARAM,
                                                              platform::ui::LPARAM lParam, bool& handled) {
  handled = false;
  if (msg == platform::ui::WM_SETCURSOR && static_cast<int>(lParam & 0xFFFF) == HTCAPTION) {
    platform::ui::SetCursorShape(platform::ui::IDC_SIZEALL);
    handled = true;
    return 1;
  }
  // Posted: the dialog follows once the move or resize step is done.
  if (msg == platform::ui::WM_SIZING || msg == platform::ui::WM_MOVING) {
    platform::ui::PostMessage(platform::ui::GetParent(GetHWND()), WM_REGION_WND_MOVED, 0, 0);
  }
  return 0;
}

int CRegionSelectWndUI::OnNcHitTest(int x, int y) {
  if (m_bRecording) return HTNOWHERE;
  const platform::ui::Control* handle = FindControl("ID_LABEL_RECORD_REGION_MOVE");
  platform::ui::Rect area{};
  if (handle != nullptr && IsReallyVisible(handle->name) && ControlScreenRect(handle->name, area) && x >= area.left &&
      x < area.right && y >= area.top && y < area.bottom) {
    return HTCAPTION;
  }
  return DialogWindow::OnNcHitTest(x, y);
}

}  // namespace qelrec
