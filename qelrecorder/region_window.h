// CRegionSelectWndUI: the see-through frame the user places over the area to
// record. Its inner rectangle (the window less the frame's border width on
// every side) is the capture region; it cannot be moved or resized while a
// recording runs, and it tells its parent (the dialog) whenever it is moved
// or resized, by posting WM_REGION_WND_MOVED.
//
// Thread safety: the dialog's thread.
#pragma once

#include <string>

#include "platform/ui/dialog.h"

namespace qelrec {

inline constexpr uint32_t WM_REGION_WND_MOVED = 0x5400;
using platform::ui::HTCAPTION;
using platform::ui::HTCLIENT;
using platform::ui::HTNOWHERE;

class CRegionSelectWndUI : public platform::ui::DialogWindow {
 public:
  explicit CRegionSelectWndUI(std::string skinName) : m_strSkinName(std::move(skinName)) {}

  // The frame's border width (4 when the control is missing).
  int BorderWidth();
  // Set by the dialog as recordings start and stop.
  void SetRecording(bool recording) { m_bRecording = recording; }
  // What a point (screen coordinates) is: nowhere while recording, the
  // caption over the drag handle, else as the base window says.
  int OnNcHitTest(int x, int y) override;

 protected:
  std::string SkinFile() const override { return "recorder_region_wnd.xml"; }
  std::string SkinName() const override { return m_strSkinName.empty() ? "default" : m_strSkinName; }
  void InitWindow() override;
  platform::ui::LRESULT HandleCustomMessage(uint32_t msg, platform::ui::WPARAM wParam, platform::ui::LPARAM lParam,
                                            bool& handled) override;

 private:
  std::string m_strSkinName;
  bool m_bRecording = false;
};

// The folder of a skin's images (the program's folder + "skins/" + skin name),
// set as the window's "ImageFolder" default.
void ApplyImageFolder(platform::ui::DialogWindow& window, const std::string& skinName);

}  // namespace qelrec
