#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/text_convert.h"
#include "platform/core/local_time.h"
#include "platform/core/os_version.h"
#include "platform/ui/window.h"
#include "qelrecorder/output_names.h"
#include "qelrecorder/qelrecorder.h"
#include "qelrecorder/record_result.h"
#include "qelrecorder/record_settings.h"
#include "qelrecorder/recorder_test_util.h"
#include "qelrecorder/text16.h"
#include "support/test_support.h"

extern "C" {
void SetEncodeParameters(const wchar_t*, int, int, int, const wchar_t*);
void SetTmpOutputDirectory(const wchar_t*);
void SetFFMpegPath(const wchar_t*);
void SetCaptureAudio(bool);
void SetHotKey(const wchar_t*, const wchar_t*);
void SetDelayTime(uint64_t);
void SetDPIMode(int);
void SetMainAppWnd(platform::ui::HWND);
void SetLogHandler(LogHandlerA, LogHandlerW);
void GetOutputFileNamePath(wchar_t*, int, wchar_t*, int, int64_t*);
}

namespace qelrec {
namespace {

std::vector<std::wstring> errors;
void captureWide(const char* level, const char*, const wchar_t* message) {
  if (level != nullptr && std::string(level) == "ERROR") errors.push_back(message);
}

class RecorderSettings : public ::testing::Test {
 protected:
  void SetUp() override {
    CRecordSettings::Destroy();
    errors.clear();
    SetLogHandler(nullptr, captureWide);
  }
  void TearDown() override {
    CRecordSettings::Destroy();
    SetLogHandler(nullptr, nullptr);
    platform::SetLocalTimeOverride(std::nullopt);
    platform::ResetOsVersion();
  }
  qel::test::TempDir dir;
};

std::wstring w(const std::string& s) { return qel::utf8ToWide(s); }

TEST_F(RecorderSettings, DefaultsOfAFreshObject) {
  CRecordSettings& s = CRecordSettings::Get();
  EXPECT_EQ(s.m_fTargetFps, 30.0f);
  EXPECT_EQ(s.m_strCodec, "libx264");
  EXPECT_EQ(s.m_nQuality, 2);
  EXPECT_TRUE(s.m_bCaptureAudio);
  EXPECT_EQ(s.m_llDelayMs, 0u);
  EXPECT_EQ(U16ToWide(s.m_szTmpDir), DefaultTempFolder());
  EXPECT_EQ(U16ToWide(s.m_szTmpDir).back(), L'/');
  EXPECT_EQ(s.m_hMainAppWnd, nullptr);
  // An older system gets the slower default rate.
  CRecordSettings::Destroy();
  platform::SetOsVersion({6, 1, 7601});
  EXPECT_EQ(CRecordSettings::Get().m_fTargetFps, 24.0f);
}

// A host that was given no -vcodec passes an empty name: the default encoder
// stays, or no recording could ever start.
TEST_F(RecorderSettings, EmptyCodecNameKeepsTheDefaultEncoder) {
  SetEncodeParameters(L"", 30, 2, 0, L"");
  EXPECT_EQ(CRecordSettings::Get().m_strCodec, "libx264");
  SetEncodeParameters(L"libx265", 30, 2, 0, L"");
  SetEncodeParameters(L"", 30, 2, 0, L"");
  EXPECT_EQ(CRecordSettings::Get().m_strCodec, "libx265");
}

TEST_F(RecorderSettings, SettersStoreAndDestroyStartsOver) {
  SetEncodeParameters(L"libx265", 0, 5, 777, L" -preset fast");
  SetFFMpegPath(L"/opt/ff");
  SetCaptureAudio(false);
  SetHotKey(L"Ctrl+F5", L"Ctrl+F6");
  SetDelayTime(3000);
  SetDPIMode(2);
  CRecordSettings& s = CRecordSettings::Get();
  EXPECT_EQ(s.m_strCodec, "libx265");
  EXPECT_EQ(s.m_fTargetFps, 0.0f);  // stored unchecked; the start refuses it
  EXPECT_EQ(s.m_nQuality, 5);
  EXPECT_EQ(s.m_nBitrate, 777);
  EXPECT_EQ(s.m_strExtraArgs, L" -preset fast");
  EXPECT_EQ(s.m_strFFmpegDir, L"/opt/ff");
  EXPECT_FALSE(s.m_bCaptureAudio);
  EXPECT_EQ(s.m_strStartStopHotKey, L"Ctrl+F5");
  EXPECT_EQ(s.m_strHideShowHotKey, L"Ctrl+F6");
  EXPECT_EQ(s.m_llDelayMs, 3000u);
  EXPECT_EQ(s.m_nDpiMode, 2);
  CRecordSettings::Destroy();
  EXPECT_EQ(CRecordSettings::Get().m_strCodec, "libx264");
  wchar_t audio[8] = L"junk";
  wchar_t video[8] = L"junk";
  int64_t offset = 99;
  GetOutputFileNamePath(audio, 8, video, 8, &offset);
  EXPECT_EQ(std::wstring(audio), L"");
  EXPECT_EQ(std::wstring(video), L"");
  EXPECT_EQ(offset, 0);
}

TEST_F(RecorderSettings, OutputFolderIsCreatedWithItsParents) {
  const std::string folder = dir.file("a/b/c/");
  SetTmpOutputDirectory(w(folder).c_str());
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b/c")));
  CRecordSettings& s = CRecordSettings::Get();
  EXPECT_EQ(U16ToWide(s.m_szTmpDir), w(folder));
  EXPECT_FALSE(U16ToWide(s.m_szTmpDrive).empty());
  // The empty text keeps the folder but still makes it when it went missing.
  std::filesystem::remove_all(dir.file("a"));
  SetTmpOutputDirectory(L"");
  EXPECT_EQ(U16ToWide(s.m_szTmpDir), w(folder));
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("a/b/c")));
}

TEST_F(RecorderSettings, OverlongOutputFolderIsRefusedNotCut) {
  SetTmpOutputDirectory(w(dir.path()).c_str());
  const std::wstring tooLong = w(dir.path()) + L"/" + std::wstring(300, L'x');
  SetTmpOutputDirectory(tooLong.c_str());
  EXPECT_EQ(U16ToWide(CRecordSettings::Get().m_szTmpDir), w(dir.path()));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find(L"longer than 259"), std::wstring::npos);
}

TEST_F(RecorderSettings, OutputFileNameAtAFixedLocalTime) {
  platform::SetLocalTimeOverride(platform::SystemTime{2024, 1, 5, 5, 9, 30, 12, 345});
  CRecordSettings& s = CRecordSettings::Get();
  WideToU16(L"/rec", s.m_szTmpDir);
  WideToU16(L"notepad", s.m_szProcessName);
  std::wstring path;
  ASSERT_TRUE(MakeOutputFileName(s.TakeConfig(), path, L"h264"));
  EXPECT_EQ(path, L"/rec/notepad-20240105-0930123.h264");
  // A folder ending in a separator gives a doubled one, which the file system takes.
  WideToU16(L"/rec/", s.m_szTmpDir);
  ASSERT_TRUE(MakeOutputFileName(s.TakeConfig(), path, L"flac"));
  EXPECT_EQ(path, L"/rec//notepad-20240105-0930123.flac");
}

TEST_F(RecorderSettings, ProgramNamesLoseCharactersFileNamesCannotHold) {
  platform::SetLocalTimeOverride(platform::SystemTime{2024, 12, 0, 31, 23, 59, 59, 999});
  CRecordSettings& s = CRecordSettings::Get();
  WideToU16(L"/rec", s.m_szTmpDir);
  WideToU16(L"a/b\\c:d*e?f\"g<h>i|j\tk\x7Fl é", s.m_szProcessName);
  std::wstring path;
  ASSERT_TRUE(MakeOutputFileName(s.TakeConfig(), path, L"h264"));
  EXPECT_EQ(path, L"/rec/a_b_c_d_e_f_g_h_i_j_k_l é-20241231-2359599.h264");
}

TEST_F(RecorderSettings, OverlongOutputPathIsRefusedAndLogged) {
  CRecordSettings& s = CRecordSettings::Get();
  WideToU16(L"/" + std::wstring(200, L'f'), s.m_szTmpDir);
  WideToU16(std::wstring(60, L'n'), s.m_szProcessName);
  std::wstring path = L"old";
  EXPECT_FALSE(MakeOutputFileName(s.TakeConfig(), path, L"h264"));
  EXPECT_TRUE(path.empty());
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find(L"longer than 258"), std::wstring::npos);
  // 258 units exactly still fit the record's field with its terminator.
  WideToU16(std::wstring(258 - 201 - 1 - 17 - 5, L'n'), s.m_szProcessName);  // folder, /, -date-time, .h264
  ASSERT_TRUE(MakeOutputFileName(s.TakeConfig(), path, L"h264"));
  EXPECT_EQ(U16UnitsOf(path), 258u);
}

TEST_F(RecorderSettings, TooSmallCallerBufferGetsNothingRatherThanACutPath) {
  CRecordSettings& s = CRecordSettings::Get();
  WideToU16(L"/rec/v.h264", s.m_szVideoPath);
  WideToU16(L"/rec/a.flac", s.m_szAudioPath);
  s.m_llAudioOffsetMs = 120;
  wchar_t audio[64];
  wchar_t video[11];  // one short of the path and its terminator
  int64_t offset = 0;
  GetOutputFileNamePath(audio, 64, video, 11, &offset);
  EXPECT_EQ(std::wstring(audio), L"/rec/a.flac");
  EXPECT_EQ(std::wstring(video), L"");
  EXPECT_EQ(offset, 120);
  EXPECT_EQ(errors.size(), 1u);
}

// The host's side: a message-only window that keeps what WM_COPYDATA carried.
struct HostWindow {
  uintptr_t dwData = 99;
  uint32_t cbData = 0;
  RecordResultData record{};
  int calls = 0;
  platform::ui::HWND hwnd = nullptr;

  HostWindow() {
    platform::ui::WindowParams params;
    params.parent = platform::ui::HWND_MESSAGE;
    params.proc = [this](platform::ui::HWND, uint32_t msg, platform::ui::WPARAM, platform::ui::LPARAM l) {
      if (msg != platform::ui::WM_COPYDATA) return platform::ui::LRESULT{0};
      const auto* copy = reinterpret_cast<const platform::ui::CopyDataStruct*>(l);
      ++calls;
      dwData = copy->dwData;
      cbData = copy->cbData;
      if (copy->cbData == sizeof record) std::memcpy(&record, copy->lpData, sizeof record);
      return platform::ui::LRESULT{1};
    };
    hwnd = platform::ui::CreateWindowEx(params);
  }
  ~HostWindow() { platform::ui::DestroyWindow(hwnd); }
};

TEST_F(RecorderSettings, ResultRecordCarriesPathsOffsetAndDuration) {
  HostWindow host;
  SetMainAppWnd(host.hwnd);
  const std::string video = dir.file("v.h264");
  qel::test::writeFile(video, "data");
  CRecordSettings& s = CRecordSettings::Get();
  WideToU16(w(video), s.m_szVideoPath);
  WideToU16(L"/x/a.flac", s.m_szAudioPath);
  s.m_llAudioOffsetMs = 120;
  s.m_llVideoDurationMs = 3033;
  s.m_bVideoComplete = true;  // ffmpeg finished the file
  EXPECT_EQ(NotifyRecordResult("CRecorderDlgUI::OnBtnStopRecord"), 1u);
  EXPECT_EQ(host.calls, 1);
  EXPECT_EQ(host.dwData, 1u);
  EXPECT_EQ(host.cbData, 1056u);
  EXPECT_EQ(U16ToWide(host.record.szVideoPath), w(video));
  EXPECT_EQ(U16ToWide(host.record.szAudioPath), L"/x/a.flac");
  EXPECT_EQ(host.record.llAudioOffsetMs, 120);
  EXPECT_EQ(host.record.llVideoDurationMs, 3033);
  // The rest of each path field is zero.
  EXPECT_EQ(host.record.szVideoPath[259], 0);
  // A second stop in the same run sends a second record.
  NotifyRecordResult("CRecorderDlgUI::OnBtnStopRecord");
  EXPECT_EQ(host.calls, 2);
}

TEST_F(RecorderSettings, MissingEmptyOrUnfinishedVideoSendsAZeroRecord) {
  test::LogCollector log;
  HostWindow host;
  SetMainAppWnd(host.hwnd);
  CRecordSettings& s = CRecordSettings::Get();
  s.m_llVideoDurationMs = 5;
  // "unfinished": ffmpeg wrote bytes but did not finish the file (it was
  // ended, or failed): no recording, and a line names the file.
  for (const std::string& video :
       {std::string(), dir.file("missing.h264"), dir.file("empty.h264"), dir.file("unfinished.h264")}) {
    if (video.find("empty") != std::string::npos) qel::test::writeFile(video, "");
    if (video.find("unfinished") != std::string::npos) qel::test::writeFile(video, "partial data");
    s.m_bVideoComplete = video.find("unfinished") == std::string::npos;
    WideToU16(w(video), s.m_szVideoPath);
    EXPECT_EQ(NotifyRecordResult("t"), 0u) << video;
    EXPECT_EQ(host.dwData, 0u);
    EXPECT_EQ(host.cbData, 1056u);
    const RecordResultData zero{};
    EXPECT_EQ(std::memcmp(&host.record, &zero, sizeof zero), 0);
  }
  EXPECT_EQ(log.count("unfinished.h264 was not finished by ffmpeg", "ERROR"), 1) << log.dump();
}

}  // namespace
}  // namespace qelrec
