#include "qelrecorder/recorder_dialog.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/text_convert.h"
#include "platform/apps/shell_info.h"
#include "platform/audio/audio_client.h"
#include "platform/core/last_error.h"
#include "platform/display/display.h"
#include "platform/ui/hotkeys.h"
#include "platform/ui/ui_extras.h"
#include "qelrecorder/hot_keys.h"
#include "qelrecorder/output_names.h"
#include "qelrecorder/qelrecorder.h"
#include "qelrecorder/record_result.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_log.h"
#include "qelrecorder/screen_recorder.h"
#include "qelrecorder/target_window.h"
#include "qelrecorder/text16.h"

namespace qelrec {

namespace {

CRecorderDlgUI* running = nullptr;
uint64_t countdownTicks = 0;  // process-wide, as the countdown counts

constexpr const char* kStartTag = "CRecorderDlgUI::OnBtnStartRecord";
constexpr const char* kStartFailed =
    "Unable to start recording process, please contact customer service for assistance!";

}  // namespace

CRecorderDlgUI* CRecorderDlgUI::Running() { return running; }
void CRecorderDlgUI::SetRunning(CRecorderDlgUI* dialog) { running = dialog; }

CRecorderDlgUI::CRecorderDlgUI(std::wstring skinName, platform::ui::Rect* hostRegion, CapturerMaker makeCapturer)
    : m_strSkinName(std::move(skinName)), m_makeCapturer(makeCapturer), m_pHostRegion(hostRegion) {}

CRecorderDlgUI::~CRecorderDlgUI() = default;

CScreenRecorder& CRecorderDlgUI::Recorder() {
  if (!m_pRecorder) m_pRecorder = std::make_unique<CScreenRecorder>(m_makeCapturer);
  return *m_pRecorder;
}

RecordResult CRecorderDlgUI::CurrentResults() const {
  return m_pRecorder ? m_pRecorder->Results().Snapshot() : RecordResult{};
}

std::string CRecorderDlgUI::SkinName() const {
  return m_strSkinName.empty() ? "default" : qel::wideToUtf8(m_strSkinName);
}

std::string CRecorderDlgUI::FormatTimeLabel(int64_t elapsedMs, float fps) {
  const auto seconds = static_cast<int32_t>(elapsedMs / 1000);
  const int hours = seconds / 3600;
  if (hours > 0) return FormatA("%02d:%02d:%02d - %.0f FPS", hours, (seconds / 60) % 60, seconds % 60, fps);
  return FormatA("%02d:%02d - %.0f FPS", seconds / 60, seconds % 60, fps);
}

std::string CRecorderDlgUI::FormatDiskLabel(int64_t bytes, double freeGiB) {
  const double mib = static_cast<double>(bytes) / 1048576.0;
  if (mib > 999) return FormatA("%.2fG/%.1fG", mib / 1024.0, freeGiB);
  return FormatA("%.1fM/%.1fG", mib, freeGiB);
}

int CRecorderDlgUI::CountdownSeconds(uint64_t delayMs, uint64_t ticks) {
  return static_cast<int>((static_cast<double>(delayMs) - static_cast<double>(ticks) * 100.0) / 1000.0 + 0.9);
}

void CRecorderDlgUI::SetText(const char* control, const std::string& text) { SetControlText(control, text); }

void CRecorderDlgUI::SetVisible(const char* control, bool visible) {
  if (platform::ui::Control* c = FindControl(control)) c->visible = visible;
}

void CRecorderDlgUI::InitWindow() {
  CRecordSettings& settings = CRecordSettings::Get();
  const auto [startStop, hideShow] = RegisterRecorderHotKeys(GetHWND());
  const std::string hotKeys =
      FormatA("Start/Stop: %s   Hide/Show: %s", qel::wideToUtf8(startStop), qel::wideToUtf8(hideShow));
  SetText("ID_LABEL_RECORDER_HOTKEY", hotKeys);
  if (platform::ui::Control* label = FindControl("ID_LABEL_RECORDER_HOTKEY")) label->tooltip = hotKeys;
  platform::ui::SetWindowTitle(GetHWND(), hotKeys);
  ApplyImageFolder(*this, qel::wideToUtf8(m_strSkinName));
  // The files are named after this program until a playing process is chosen.
  char buffer[4096];
  const ssize_t got = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (got > 0) {
    std::wstring name = qel::utf8ToWide(std::string(buffer, static_cast<size_t>(got)));
    name = name.substr(name.find_last_of(L'/') + 1);
    if (const size_t dot = name.find_last_of(L'.'); dot != std::wstring::npos && dot > 0) name.resize(dot);
    WideToU16(name, settings.m_szProcessName);
  }
  m_bCaptureAudio = settings.m_bCaptureAudio;
  // The picker of playing processes runs only when audio is recorded.
  if (m_bCaptureAudio) {
    m_pLocator = std::make_unique<CTargetProcessLocator>(GetHWND());
    m_pLocator->StartTimer();
    // The sound server gets ready for the capture while the user sets up.
    platform::audio::PrepareCaptureStandby();
  }
}

void CRecorderDlgUI::UpdateTargetButton(const platform::apps::RenderProcessEntry* entry) {
  platform::ui::Control* button = FindControl("ID_BTN_TARGET_PROCESS");
  if (button == nullptr) return;
  if (entry == nullptr) {
    button->image.clear();
    button->tooltip.clear();
    button->tag = 0;
    return;
  }
  if ((entry->icon == 0 && entry->logoFile[0] == 0) || entry->displayName[0] == 0) return;
  if (entry->logoFile[0] != 0) {
    button->image = FormatA("file='%s' dest='0,0,32,32'", entry->logoFile);
    button->bkColor = entry->backgroundColor | 0xFF000000u;
  } else {
    // The icon by handle, drawn from its full size (twice the hot spot).
    platform::apps::IconInfo info{};
    if (platform::apps::GetIconInfo(entry->icon, &info)) {
      button->image = FormatA("file='%%H:%ld' source='0,0,%d,%d' dest='0,0,32,32'", static_cast<long>(entry->icon),
                              static_cast<int>(info.xHotspot * 2), static_cast<int>(info.yHotspot * 2));
    } else {
      LogErrorA("CRecorderDlgUI::UpdateTargetButton", "GetIconInfo failed: %d",
                static_cast<int>(platform::GetLastError()));
      button->image = FormatA("file='%%H:%ld' source='0,0,56,56' dest='0,0,32,32'", static_cast<long>(entry->icon));
    }
    button->bkColor = 0;
  }
  button->tooltip = qel::wideToUtf8(U16ToWide(entry->displayName));
  button->tag = entry->processId;
}

void CRecorderDlgUI::CreateRegionWindow() {
  if (m_pRegionWnd) return;
  m_pRegionWnd = std::make_unique<CRegionSelectWndUI>(qel::wideToUtf8(m_strSkinName));
  m_pRegionWnd->SetDPI(CRecordSettings::Get().m_nDpiMode);
  const bool placed = m_pHostRegion != nullptr && m_pHostRegion->right != m_pHostRegion->left &&
                      m_pHostRegion->bottom != m_pHostRegion->top;
  const platform::ui::Rect at = placed ? *m_pHostRegion : platform::ui::Rect{0, 0, 0, 0};
  if (m_pRegionWnd->Create(GetHWND(), "QelRecordRegionSelectWnd", 0x90CF0000u, 0, at) == nullptr) return;
  if (!placed) m_pRegionWnd->CenterWindow();
}

void CRecorderDlgUI::Notify(const std::string& type, const std::string& control) {
  if (type == "windowinit") {
    CreateRegionWindow();
    CentreOnRegion();
    return;
  }
  if (type != "click") return;
  if (control == "ID_BUTTON_OK" || control == "ID_BTN_CLOSE" || control == "IDC_BTN_CLOSE_WINDOW") {
    if (m_pRegionWnd && m_pHostRegion != nullptr) platform::ui::GetWindowRect(m_pRegionWnd->GetHWND(), *m_pHostRegion);
    Close(control == "ID_BUTTON_OK" ? 0 : 1);
  } else if (control == "ID_BTN_TARGET_PROCESS") {
    SnapRegionToTarget();
  } else if (control == "ID_BTN_TARGET_NEXT") {
    platform::apps::RenderProcessEntry entry{};
    const platform::ui::Control* button = FindControl("ID_BTN_TARGET_PROCESS");
    if (m_pLocator && m_pLocator->SelectNext(&entry) && button != nullptr && button->tag != entry.processId) {
      UpdateTargetButton(&entry);
    }
  } else if (control == "ID_BTN_REGION_MANUAL_SELECT") {
    SetVisible("ID_LAYOUT_RECORDER_HINT", false);
    SetVisible("ID_LAYOUT_RECORDER_MAIN", true);
  } else if (control == "ID_BTN_START_RECORD") {
    StartRequest();
  } else if (control == "ID_BTN_STOP_RECORD") {
    OnBtnStopRecord();
  } else if (control == "ID_BTN_RECORD_MIN_INC" || control == "ID_BTN_RECORD_MIN_DEC") {
    platform::ui::Control* edit = FindControl("ID_EDIT_RECORD_STOP_IN_MINS");
    if (edit == nullptr) return;
    int minutes = std::atoi(edit->text.c_str());
    if (control == "ID_BTN_RECORD_MIN_INC") {
      ++minutes;
    } else if (minutes > 0) {
      --minutes;
    } else {
      return;
    }
    edit->text = FormatA("%d", minutes);
  }
}

void CRecorderDlgUI::StartRequest() {
  if (CRecordSettings::Get().m_llDelayMs != 0) {
    SetVisible("ID_LAYOUT_RECORDER_MAIN", false);
    SetVisible("ID_LAYOUT_RECORDER_DELAY_MAIN", true);
    platform::ui::SetTimer(GetHWND(), kCountdownTimer, 100);
  } else {
    OnBtnStartRecord();
  }
}

platform::ui::LRESULT CRecorderDlgUI::HandleCustomMessage(uint32_t msg, platform::ui::WPARAM wParam,
                                                          platform::ui::LPARAM, bool& handled) {
  handled = false;
  if (msg == WM_REGION_WND_MOVED) {
    CentreOnRegion();
    handled = true;
  } else if (msg == WM_RENDER_PROCESSES_UPDATED) {
    handled = true;
    const platform::ui::Control* button = FindControl("ID_BTN_TARGET_PROCESS");
    if (button == nullptr || !m_pLocator) return 0;
    const int count = m_pLocator->Count();
    // A list posted before a start may arrive after it: no picking while recording.
    SetVisible("ID_LAYOUT_RECORDER_NEXT", count > 1 && !m_bRecording);
    if (count == 0) {
      UpdateTargetButton(nullptr);
      return 0;
    }
    int selected = m_pLocator->Selected();
    if (selected < 0) {
      selected = count - 1;
      m_pLocator->SetSelected(selected);
    }
    platform::apps::RenderProcessEntry entry{};
    if (m_pLocator->Entry(selected, &entry) && button->tag != entry.processId) UpdateTargetButton(&entry);
  } else if (msg == WM_CAPTURE_ENDED) {
    // The screen is gone: the recording ends as a stop would end it.
    handled = true;
    if (m_bRecording) OnBtnStopRecord();
  } else if (msg == platform::ui::WM_TIMER) {
    if (wParam == kStatusTimer) {
      OnStatusTimer();
      handled = true;
    } else if (wParam == kCountdownTimer) {
      OnCountdownTimer();
    }
  } else if (msg == platform::ui::WM_HOTKEY) {
    if (wParam == static_cast<platform::ui::WPARAM>(kHotKeyStartStop)) {
      if (m_bRecording) {
        OnBtnStopRecord();
      } else {
        StartRequest();
      }
    } else if (wParam == static_cast<platform::ui::WPARAM>(kHotKeyHideShow)) {
      ShowWindow(!IsVisible());
    }
  }
  return 0;
}

void CRecorderDlgUI::OnBtnStartRecord() {
  CScreenRecorder& recorder = Recorder();
  if (!m_pRegionWnd || !platform::ui::IsWindow(m_pRegionWnd->GetHWND()) ||
      m_pRegionWnd->FindControl("ID_LAYOUT_RECORD_REGION") == nullptr) {
    LogErrorA(kStartTag, "Get record region failed.");
    platform::ui::MessageBox(GetHWND(), "Failed to find recording area", "Korvex", platform::ui::MB_ICONERROR);
    return;
  }
  platform::ui::Rect region{};
  platform::ui::GetWindowRect(m_pRegionWnd->GetHWND(), region);
  const int b = m_pRegionWnd->BorderWidth();
  region = {region.left + b, region.top + b, region.right - b, region.bottom - b};
  SetFrameRecording(true);
  CRecordSettings& settings = CRecordSettings::Get();
  if (m_pLocator) {
    m_pLocator->StopTimer();
    platform::apps::RenderProcessEntry entry{};
    if (m_pLocator->Count() > 0 && m_pLocator->Entry(m_pLocator->Selected(), &entry) && entry.displayName[0] != 0) {
      std::memcpy(settings.m_szProcessName, entry.displayName, sizeof settings.m_szProcessName);
    }
  }
  LogInfoW(kStartTag, L"Record started, target FPS: %.2f", settings.m_fTargetFps);

  const platform::ui::HMONITOR monitor =
      platform::ui::MonitorFromWindow(GetHWND(), platform::ui::MONITOR_DEFAULTTONEAREST);
  // A start that ends before anything runs leaves the dialog idle: the frame
  // is movable and green again and the picker polls again.
  const auto abandon = [this] {
    SetFrameRecording(false);
    if (m_pLocator) m_pLocator->StartTimer();
  };
  if (monitor == 0) {
    LogErrorA(kStartTag, "MonitorFromWindow failed, HWND: 0x%X", GetHWND());
    abandon();
    return;
  }
  m_monitorInfo = platform::ui::MonitorInfoEx{};
  const platform::ui::Control* target = FindControl("ID_BTN_TARGET_PROCESS");
  if (!platform::ui::GetMonitorInfo(monitor, &m_monitorInfo) || target == nullptr) {
    abandon();
    return;
  }

  // The recording is made with the settings as they are now.
  if (!recorder.StartRecording(settings.TakeConfig(), GetHWND(), m_monitorInfo, region,
                               static_cast<uint32_t>(target->tag), m_bCaptureAudio)) {
    platform::ui::MessageBox(GetHWND(), kStartFailed, "Korvex", platform::ui::MB_ICONERROR);
    OnBtnStopRecord();
    return;
  }
  recorder.m_bRecording = true;
  m_targetStartTime = platform::apps::ProcessStartTime(static_cast<uint32_t>(target->tag));
  struct statvfs volume {};
  const std::string drive = qel::wideToUtf8(U16ToWide(settings.m_szTmpDrive));
  const std::string folder = drive.empty() ? qel::wideToUtf8(U16ToWide(settings.m_szTmpDir)) : drive;
  if (::statvfs(folder.c_str(), &volume) == 0) {
    m_dFreeSpaceGiB = static_cast<double>(volume.f_bavail) * static_cast<double>(volume.f_frsize) / 1073741824.0;
  }
  platform::ui::SetTimer(GetHWND(), kStatusTimer, 900);
  SetVisible("ID_LAYOUT_RECORDER_NEXT", false);
  m_bRecording = true;
  const platform::ui::Rect& m = m_monitorInfo.rcMonitor;
  platform::ui::SetWindowPos(GetHWND(), {m.left, m.top, m.left + Scale(245), m.top + Scale(90)});
  SetIdleLayout(false);
}

void CRecorderDlgUI::OnBtnStopRecord() {
  m_bRecording = false;
  platform::ui::KillTimer(GetHWND(), kStatusTimer);
  CScreenRecorder& recorder = Recorder();
  SetFrameRecording(false);
  CRecordSettings& settings = CRecordSettings::Get();
  // The exports and the result record read the recording's results from the settings.
  settings.StoreResults(recorder.Stop());
  SetVisible("ID_LAYOUT_RECORDER_NEXT", m_pLocator && m_pLocator->Count() > 1);
  CentreOnRegion();
  // Without audio there is no locator: nothing to restart.
  if (m_pLocator) m_pLocator->StartTimer();
  LogInfoW("CRecorderDlgUI::OnBtnStopRecord", L"Record finished, FPS: %.2f/%.2f, video file: %s, audio file: %s",
           settings.m_fMeasuredFps.load(), settings.m_fTargetFps, settings.m_szVideoPath, settings.m_szAudioPath);
  NotifyRecordResult("CRecorderDlgUI::OnBtnStopRecord");
}

void CRecorderDlgUI::OnHostStop() {
  if (m_bRecording) {
    OnBtnStopRecord();
    return;
  }
  platform::ui::KillTimer(GetHWND(), kCountdownTimer);
  countdownTicks = 0;
  int code = kRecorderClosedOk;
  if (LastSentRecord() == SentRecord::kNoVideo) code = kRecorderFailed;
  if (LastSentRecord() == SentRecord::kNone) code = kRecorderClosedByUser;
  Close(code);
}

void CRecorderDlgUI::SetFrameRecording(bool recording) {
  if (!m_pRegionWnd) return;
  // Red without the drag handle while recording, green with it when idle.
  if (platform::ui::Control* frame = m_pRegionWnd->FindControl("ID_LAYOUT_RECORD_REGION")) {
    frame->borderColor = recording ? 0xFFFF0000u : 0xFF00FF00u;
  }
  if (platform::ui::Control* handle = m_pRegionWnd->FindControl("ID_LABEL_RECORD_REGION_MOVE")) {
    handle->visible = !recording;
  }
  m_pRegionWnd->SetRecording(recording);
}

void CRecorderDlgUI::OnStatusTimer() {
  CScreenRecorder& recorder = Recorder();
  CDesktopCaptureController* controller = recorder.Controller();
  if (controller == nullptr || controller->FrameRate() == nullptr) return;
  const CFrameRate& rate = *controller->FrameRate();
  // Before the first tick (or without a counter frequency) there is no
  // elapsed time yet: the label keeps showing 0.
  if (rate.m_frequency == 0 || rate.m_lastTick == 0) return;
  const int64_t elapsed = (rate.m_lastTick - rate.m_startTick) * 1000 / static_cast<int64_t>(rate.m_frequency);
  if (elapsed <= 0) return;
  SetText("ID_LABEL_RECORDER_TIME", FormatTimeLabel(elapsed, recorder.Results().measuredFps.load()));
  const int64_t bytes = controller->Writer() != nullptr ? controller->Writer()->EncodedBytes() : 0;
  SetText("ID_LABEL_RECORDER_DISK", FormatDiskLabel(bytes, m_dFreeSpaceGiB));
  const platform::ui::Control* inMinutes = FindControl("IDC_CHECK_RECORD_STOP_IN_MINS");
  const platform::ui::Control* minutesEdit = FindControl("ID_EDIT_RECORD_STOP_IN_MINS");
  if (inMinutes != nullptr && inMinutes->selected && minutesEdit != nullptr) {
    const long n = std::strtol(minutesEdit->text.c_str(), nullptr, 10);
    if (n != 0 && elapsed / 60000 >= n) {
      OnBtnStopRecord();
      return;
    }
  }
  const platform::ui::Control* autoStop = FindControl("IDC_CHECK_RECORD_AUTO_STOP");
  // Ended, or its id now belongs to a later process.
  if (autoStop != nullptr && autoStop->selected && recorder.m_dwTargetPid != 0 &&
      platform::apps::ProcessEndedSince(recorder.m_dwTargetPid, m_targetStartTime)) {
    OnBtnStopRecord();
  }
}

void CRecorderDlgUI::OnCountdownTimer() {
  ++countdownTicks;
  const uint64_t delay = CRecordSettings::Get().m_llDelayMs;
  SetText("ID_LABEL_RECORDER_DELAY",
          FormatA("Recording will start in %d seconds.", CountdownSeconds(delay, countdownTicks)));
  if (countdownTicks >= delay / 100) {
    countdownTicks = 0;
    platform::ui::KillTimer(GetHWND(), kCountdownTimer);
    SetVisible("ID_LAYOUT_RECORDER_MAIN", true);
    SetVisible("ID_LAYOUT_RECORDER_DELAY_MAIN", false);
    OnBtnStartRecord();
  }
}

void CRecorderDlgUI::CentreOnRegion() {
  if (m_bRecording || !m_pRegionWnd) return;
  platform::ui::Rect r{};
  if (!platform::ui::GetWindowRect(m_pRegionWnd->GetHWND(), r)) return;
  const int w = InitWidth();
  const int h = InitHeight();
  const int x = r.left + ((r.right - r.left) - w) / 2;
  const int y = r.top + m_pRegionWnd->BorderWidth();
  platform::ui::SetWindowPos(GetHWND(), {x, y, x + w, y + h});
  SetIdleLayout(true);
}

void CRecorderDlgUI::SnapRegionToTarget() {
  // The frame cannot move while a recording runs: what it shows is what is recorded.
  if (m_bRecording || !m_pLocator || !m_pRegionWnd) return;
  const int selected = m_pLocator->Selected();
  platform::apps::RenderProcessEntry entry{};
  if (!m_pLocator->Entry(selected, &entry)) return;
  const platform::display::Window window = FindTargetWindow(entry.processId);
  if (window == 0) return;
  m_pLocator->SetEntryWindow(selected, entry.processId, static_cast<uint32_t>(window));
  if (platform::display::IsIconic(window)) platform::display::RestoreWindow(window);
  platform::display::Rect bounds;
  if (!platform::display::GetWindowFrameBounds(window, &bounds)) return;
  const int b = m_pRegionWnd->BorderWidth();
  platform::ui::SetWindowPos(m_pRegionWnd->GetHWND(),
                             {bounds.left - b, bounds.top - b, bounds.right + b, bounds.bottom + b});
  m_pRegionWnd->ShowWindow(true);
  CentreOnRegion();
}

void CRecorderDlgUI::SetIdleLayout(bool idle) {
  SetVisible("ID_LAYOUT_RECORDER_MISC", idle);
  SetVisible("ID_LAYOUT_RECORDER_HINT", idle);
  SetVisible("ID_LAYOUT_RECORDER_HOTKEY", idle);
  SetVisible("ID_BTN_START_RECORD", idle);
  SetVisible("ID_BTN_STOP_RECORD", !idle);
  SetVisible("ID_LAYOUT_RECORDER_STATUS", !idle);
  if (idle) SetText("ID_LABEL_RECORDER_TIME", "00:00");
}

void CRecorderDlgUI::OnFinalMessage() {
  // The dialog's end: its keys and timers went with its window; the recorder
  // stops, and the settings start over at the next LaunchRecorder.
  m_pLocator.reset();
  if (m_pRecorder) m_pRecorder->Stop();
  m_pRecorder.reset();
  platform::audio::ReleaseCaptureStandby();
  CRecordSettings::Destroy();
  m_pRegionWnd.reset();
  if (running == this) running = nullptr;
}

}  // namespace qelrec
