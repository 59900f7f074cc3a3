// CTargetProcessLocator: polls, once a second on a multimedia-timer thread, the
// processes that play audio (the render-process library), completes each entry
// with its image path and display name, and tells the dialog by posting
// WM_RENDER_PROCESSES_UPDATED. The dialog reads entries, count and selection
// under the locator's lock.
//
// Thread safety: OnTimer runs on the timer's thread; every other member on the
// dialog's thread; the lock guards the table.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/apps/render_processes.h"
#include "platform/ui/window.h"

namespace qelrec {

inline constexpr int kMaxRenderProcesses = 8;

// Posted to the dialog after each tick that read the list; wParam: the count.
inline constexpr uint32_t WM_RENDER_PROCESSES_UPDATED = 0x2420;

class CTargetProcessLocator {
 public:
  explicit CTargetProcessLocator(platform::ui::HWND dialog);
  // Kills the timer, waiting for a running tick, and destroys every icon.
  virtual ~CTargetProcessLocator();
  CTargetProcessLocator(const CTargetProcessLocator&) = delete;
  CTargetProcessLocator& operator=(const CTargetProcessLocator&) = delete;

  void StartTimer();  // every 1000 ms
  void StopTimer();
  void OnTimer();
  int GetProcessNameIcon(platform::apps::RenderProcessEntry& entry);

  // Dialog side, each under the lock.
  int Count();
  // The entry at `index` (false when out of range).
  bool Entry(int index, platform::apps::RenderProcessEntry* out);
  int Selected();
  void SetSelected(int index);
  // Stores the window found for the entry at `index`, if that entry still
  // belongs to `pid` (a tick may have changed the list meanwhile).
  void SetEntryWindow(int index, uint32_t pid, uint32_t window);
  // selected = (selected + 1) mod count; false with no entries.
  bool SelectNext(platform::apps::RenderProcessEntry* out);

 private:
  static void TimerProc(uint32_t timerId, void* user);

  uint32_t m_uTimerId = 0;
  platform::ui::HWND m_hDialog;
  int m_nCount = 0;
  platform::apps::RenderProcessEntry m_entries[kMaxRenderProcesses];
  uint32_t m_namedPid[kMaxRenderProcesses] = {};  // the process each entry's name belongs to
  int m_nSelected = 0;
  // Icons that entries no longer hold: the dialog's button may still show
  // one, so they live as long as the locator.
  std::vector<uint32_t> m_retiredIcons;
  std::mutex m_lock;
};

}  // namespace qelrec
