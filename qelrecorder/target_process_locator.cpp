#include "qelrecorder/target_process_locator.h"

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <memory>

#include "common/text_convert.h"
#include "platform/apps/shell_info.h"
#include "platform/core/mm_timer.h"
#include "qelrecorder/appx_helpers.h"
#include "qelrecorder/appx_package.h"
#include "qelrecorder/printf_format.h"
#include "qelrecorder/recorder_dialog.h"
#include "qelrecorder/recorder_log.h"
#include "qelrecorder/text16.h"

namespace qelrec {

namespace {
constexpr const char* kTag = "CTargetProcessLocator::GetProcessNameIcon";
}

CTargetProcessLocator::CTargetProcessLocator(platform::ui::HWND dialog) : m_hDialog(dialog) {
  std::memset(static_cast<void*>(m_entries), 0, sizeof m_entries);
}

CTargetProcessLocator::~CTargetProcessLocator() {
  StopTimer();
  for (const platform::apps::RenderProcessEntry& entry : m_entries) {
    if (entry.icon != 0) platform::apps::DestroyIcon(entry.icon);
  }
  for (uint32_t icon : m_retiredIcons) platform::apps::DestroyIcon(icon);
}

void CTargetProcessLocator::StartTimer() {
  if (m_uTimerId != 0) return;
  m_uTimerId =
      platform::TimeSetEvent(1000, 100, &CTargetProcessLocator::TimerProc, this, platform::TimerKind::Periodic);
}

void CTargetProcessLocator::StopTimer() {
  if (m_uTimerId == 0) return;
  platform::TimeKillEvent(m_uTimerId);  // returns once no tick runs
  m_uTimerId = 0;
}

void CTargetProcessLocator::TimerProc(uint32_t, void* user) { static_cast<CTargetProcessLocator*>(user)->OnTimer(); }

void CTargetProcessLocator::OnTimer() {
  int count = kMaxRenderProcesses;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (platform::apps::TSV_EnumerateRenderProcess(&count, m_entries) != 0) return;
    if (count > kMaxRenderProcesses) count = kMaxRenderProcesses;
    if (count < 0) count = 0;
    const bool changed = count != m_nCount;
    if (changed) {
      m_nCount = count;
      // A shorter list must not leave the selection past its end.
      if (m_nSelected >= m_nCount) m_nSelected = m_nCount > 0 ? m_nCount - 1 : 0;
    }
    for (int i = 0; i < count; ++i) {
      // An entry whose process changed under the same slot is named again.
      if (changed || m_entries[i].displayName[0] == 0 || m_namedPid[i] != m_entries[i].processId) {
        GetProcessNameIcon(m_entries[i]);
        m_namedPid[i] = m_entries[i].processId;
      }
    }
  }
  platform::ui::PostMessage(m_hDialog, WM_RENDER_PROCESSES_UPDATED, static_cast<platform::ui::WPARAM>(count), 0);
}

int CTargetProcessLocator::GetProcessNameIcon(platform::apps::RenderProcessEntry& entry) {
  LogInfoA(kTag, "Audio render process id: %ld", static_cast<long>(entry.processId));
  // The slot may have held another process: nothing of it may stay. Its icon
  // may still be on the dialog's button, so it is kept until the locator ends.
  entry.displayName[0] = 0;
  entry.logoFile[0] = 0;
  entry.window = 0;
  entry.backgroundColor = 0;
  if (entry.icon != 0) m_retiredIcons.push_back(entry.icon);
  entry.icon = 0;
  if (!platform::apps::ProcessExists(entry.processId)) {
    LogWarnA(kTag, "Query information of process failed: %ld", static_cast<long>(ESRCH));
    return -1;
  }
  const std::string image = platform::apps::ProcessImagePath(entry.processId);
  if (image.empty()) {
    LogWarnA(kTag, "Query image name of process failed: %ld", static_cast<long>(errno));
    return -2;
  }
  const std::wstring path = qel::utf8ToWide(image);
  WideToU16(path, entry.imagePath);
  if (std::unique_ptr<CAppxPackage> package = CAppxPackage::FromProcess(entry.processId)) {
    std::wstring logo;
    if (!package->m_logo.empty() && ChooseLogoFile(package->m_installedLocation, package->m_logo, logo)) {
      WideToU16(logo, entry.logoFile);
    }
    // The last application of the manifest wins.
    for (const AppxApplicationInfo& app : package->m_applications) {
      const std::wstring name = ResolveResourceString(package->m_fullName, app.Get(L"DisplayName"));
      if (!name.empty()) WideToU16(name, entry.displayName);
      const std::wstring colour = app.Get(L"BackgroundColor");
      if (!colour.empty() && colour[0] == L'#') {
        entry.backgroundColor = static_cast<uint32_t>(std::wcstoul(colour.c_str() + 1, nullptr, 16));
      }
    }
    return 0;
  }
  // The program's icon and the description from its version resource; here
  // both come from the program's .desktop file (platform/apps/shell_info.h).
  entry.icon = platform::apps::GetFileIcon(image);
  platform::apps::VersionInfo version;
  if (platform::apps::GetFileVersionInfo(image, &version) && !version.translations.empty()) {
    std::string description;
    auto it = version.strings.find("\\StringFileInfo\\040904B0\\FileDescription");
    if (it == version.strings.end()) {
      const auto [language, codePage] = version.translations.front();
      it = version.strings.find(FormatA("\\StringFileInfo\\%04x%04x\\FileDescription", language, codePage));
    }
    if (it != version.strings.end()) description = it->second;
    // At most 259 characters, as the field holds.
    std::wstring name = qel::utf8ToWide(description);
    if (name.size() > 259) name.resize(259);
    WideToU16(name, entry.displayName);
  }
  if (entry.displayName[0] == 0) {
    std::wstring name = path.substr(path.find_last_of(L'/') + 1);
    if (const size_t dot = name.find_last_of(L'.'); dot != std::wstring::npos && dot > 0) name.resize(dot);
    WideToU16(name, entry.displayName);
  }
  return 0;
}

int CTargetProcessLocator::Count() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_nCount;
}

bool CTargetProcessLocator::Entry(int index, platform::apps::RenderProcessEntry* out) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (index < 0 || index >= m_nCount || out == nullptr) return false;
  *out = m_entries[index];
  return true;
}

int CTargetProcessLocator::Selected() {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_nSelected;
}

void CTargetProcessLocator::SetSelected(int index) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_nSelected = index;
}

void CTargetProcessLocator::SetEntryWindow(int index, uint32_t pid, uint32_t window) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (index >= 0 && index < m_nCount && m_entries[index].processId == pid) m_entries[index].window = window;
}

bool CTargetProcessLocator::SelectNext(platform::apps::RenderProcessEntry* out) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_nCount <= 0) return false;
  m_nSelected = (m_nSelected + 1) % m_nCount;
  if (out != nullptr) *out = m_entries[m_nSelected];
  return true;
}

}  // namespace qelrec
