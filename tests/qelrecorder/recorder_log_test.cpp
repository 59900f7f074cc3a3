#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qelrecorder/printf_format.h"
#include "qelrecorder/recorder_log.h"

namespace qelrec {
namespace {

struct Line {
  std::string level;
  std::string function;
  std::string narrow;
  std::wstring wide;
};
std::vector<Line> lines;

void narrowHandler(const char* level, const char* function, const char* message) {
  lines.push_back({level ? level : "(null)", function, message, L""});
}
void wideHandler(const char* level, const char* function, const wchar_t* message) {
  lines.push_back({level ? level : "(null)", function, "", message});
}

class RecorderLog : public ::testing::Test {
 protected:
  void SetUp() override {
    lines.clear();
    SetLogHandlers(narrowHandler, wideHandler);
  }
  void TearDown() override { SetLogHandlers(nullptr, nullptr); }
};

TEST_F(RecorderLog, LevelsTagsAndBothFamilies) {
  LogInfoA("CFrameRate::InitFreqUnits", "QueryPerformanceFrequency FAILED!");
  LogWarnW("CCaptureCallback::OnCaptureResult", L"Capture frame failed with error: %d", 2);
  LogErrorA("CAudioCapturer::Stop", "FLAC__stream_encoder_finish fail, %s", "FLAC__STREAM_ENCODER_IO_ERROR");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, "(null)");
  EXPECT_EQ(lines[0].function, "CFrameRate::InitFreqUnits");
  EXPECT_EQ(lines[0].narrow, "QueryPerformanceFrequency FAILED!");
  EXPECT_EQ(lines[1].level, "WARN");
  EXPECT_EQ(lines[1].wide, L"Capture frame failed with error: 2");
  EXPECT_EQ(lines[2].level, "ERROR");
  EXPECT_EQ(lines[2].narrow, "FLAC__stream_encoder_finish fail, FLAC__STREAM_ENCODER_IO_ERROR");
}

TEST_F(RecorderLog, MessagesAreCutAtTheirLimits) {
  LogInfoA("t", "%s", std::string(5000, 'a'));
  LogInfoA("t", "%s", std::string(1024, 'b'));
  LogInfoW("t", L"%s", std::wstring(5000, L'c'));
  LogInfoW("t", L"%s", std::wstring(1023, L'd'));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].narrow, std::string(1024, 'a'));
  EXPECT_EQ(lines[1].narrow, std::string(1024, 'b'));
  EXPECT_EQ(lines[2].wide, std::wstring(1023, L'c'));
  EXPECT_EQ(lines[3].wide, std::wstring(1023, L'd'));
}

TEST_F(RecorderLog, NarrowCutNeverSplitsACharacter) {
  // 1023 ASCII bytes, then a two-byte character straddling the limit.
  LogInfoA("t", "%s%s", std::string(1023, 'x'), "\xC3\xA9tail");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].narrow, std::string(1023, 'x'));
}

TEST_F(RecorderLog, WithoutHandlersTheTextIsDropped) {
  SetLogHandlers(nullptr, nullptr);
  LogErrorW("t", L"%s %d", L"dropped", 1);
  LogErrorA("t", "%s", "dropped");
  EXPECT_TRUE(lines.empty());
  SetLogHandlers(narrowHandler, nullptr);  // each family has its own handler
  LogErrorW("t", L"wide only");
  LogErrorA("t", "narrow");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].narrow, "narrow");
}

struct FormatCase {
  std::wstring expected;
  std::wstring got;
};

TEST(PrintfFormat, ConversionsFollowTheArgumentsTypes) {
  const int hr = static_cast<int>(0x80020013u);
  const std::wstring path = L"/tmp/rec/é.h264";
  const FormatCase cases[] = {
      // Windows-style wide formats: %s a wide text, %S a narrow one.
      {L"Encoding video to (/tmp/rec/é.h264) with params (cv:libx264, profile: -x, vb:1500kbps)...",
       FormatW(L"Encoding video to (%s) with params (cv:%S, profile:%s, vb:%dkbps)...", path, "libx264", L" -x", 1500)},
      {L"Cant init video stream writer. Error=0x80020013.", FormatW(L"Cant init video stream writer. Error=0x%x.", hr)},
      {L"FAILED to create new thread 0x8007009b", FormatW(L"FAILED to create new thread 0x%x", 0x8007009Bu)},
      {L"2024-01-05 0930123", FormatW(L"%d-%02d-%02d %02d%02d%02d%01d", 2024, 1, 5, 9, 30, 12, 345 / 100)},
      {L"[  ab|cd  |1.50|-7|18446744073709551615]",
       FormatW(L"[%4s|%-4s|%.2f|%i|%llu]", "ab", L"cd", 1.5, -7, UINT64_MAX)},
      {L"100% a", FormatW(L"100%% %c", 'a')},
      {L"x=|", FormatW(L"x=%d|%s")},   // missing arguments print nothing
      {L"n=%n", FormatW(L"n=%n", 5)},  // never writes through an argument
      {L"ab", FormatW(L"%.2s", L"abcdef")},
      {L"é", FormatW(L"%s", u"\u00e9")},  // UTF-16 fields print as text
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);
  EXPECT_EQ(FormatA("%s|%S|%5d|%x", "na", L"wé", 42, -1), "na|wé|   42|ffffffff");
}

}  // namespace
}  // namespace qelrec
