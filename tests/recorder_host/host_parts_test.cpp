// The host's parts: option lookup, number reading, the region, the result
// lines of a record and the primary monitor's work area.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "platform/core/backing.h"
#include "platform/display/sim_display.h"
#include "platform/ui/work_area.h"
#include "qelrecorder/qelrecorder.h"
#include "recorder_host/cmd_options.h"
#include "recorder_host/host_main.h"
#include "recorder_host/record_viewer.h"
#include "support/platform_scopes.h"

namespace qelhost {
namespace {

TEST(GetCmdOption, Table) {
  const struct {
    std::vector<std::wstring> args;
    std::wstring name;
    bool found;
    std::wstring value;
  } cases[] = {
      {{L"QelRecorder", L"-vcodec", L"libx264"}, L"vcodec", true, L"libx264"},
      {{L"QelRecorder", L"--vcodec", L"libx265"}, L"vcodec", true, L"libx265"},
      {{L"QelRecorder", L"--outputpath", L"D:\\My", L"Videos"}, L"outputpath", true, L"D:\\My Videos"},
      {{L"QelRecorder", L"-outputpath", L"a", L"b", L"-r", L"30"}, L"outputpath", true, L"a b"},
      {{L"QelRecorder", L"-delaytime", L"-5"}, L"delaytime", true, L""},
      {{L"QelRecorder", L"-delaytime"}, L"delaytime", true, L""},
      {{L"QelRecorder", L"-VCodec", L"libx264"}, L"vcodec", false, L""},
      {{L"QelRecorder", L"-vcodecs", L"libx264"}, L"vcodec", false, L""},
      {{L"QelRecorder", L"---vcodec", L"libx264"}, L"vcodec", false, L""},
      {{L"QelRecorder", L"vcodec", L"libx264"}, L"vcodec", false, L""},
      // The first match counts.
      {{L"QelRecorder", L"-r", L"30", L"-r", L"60"}, L"r", true, L"30"},
      // An empty argument does not end the value (it does not start with '-').
      {{L"QelRecorder", L"-tune", L"", L"x"}, L"tune", true, L" x"},
      // The walk includes the program path.
      {{L"-r", L"25"}, L"r", true, L"25"},
      {{L"QelRecorder", L"-b:v", L"4000"}, L"b:v", true, L"4000"},
  };
  for (const auto& c : cases) {
    const CmdOption option = GetCmdOption(c.args, c.name);
    EXPECT_EQ(option.found, c.found) << ::testing::PrintToString(c.args);
    EXPECT_EQ(option.value, c.value) << ::testing::PrintToString(c.args);
  }
}

TEST(ReadNumbers, LikeTheRuntimesReaders) {
  const struct {
    std::wstring text;
    int asInt;
    int64_t asInt64;
  } cases[] = {
      {L"30", 30, 30},
      {L"  42abc", 42, 42},
      {L"+7", 7, 7},
      {L"-12", -12, -12},
      {L"abc", 0, 0},
      {L"", 0, 0},
      {L"- 5", 0, 0},
      {L"2147483647", INT_MAX, 2147483647LL},
      {L"2147483648", INT_MAX, 2147483648LL},
      {L"-2147483648", INT_MIN, -2147483648LL},
      {L"-2147483649", INT_MIN, -2147483649LL},
      {L"9223372036854775807", INT_MAX, INT64_MAX},
      {L"9223372036854775808", INT_MAX, INT64_MAX},
      {L"-9223372036854775808", INT_MIN, INT64_MIN},
      {L"-99999999999999999999", INT_MIN, INT64_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadInt(c.text), c.asInt) << ::testing::PrintToString(c.text);
    EXPECT_EQ(ReadInt64(c.text), c.asInt64) << ::testing::PrintToString(c.text);
  }
}

TEST(HostOptions, ExtraArgumentsAndAudio) {
  HostOptions options;
  EXPECT_EQ(ExtraArguments(options), L"");
  options.tune = L"zerolatency";
  EXPECT_EQ(ExtraArguments(options), L" -tune zerolatency");
  options.preset = L"veryfast";
  EXPECT_EQ(ExtraArguments(options), L" -preset veryfast -tune zerolatency");
  for (const wchar_t* value : {L"true", L"01", L" 1", L""}) {
    options.recordaudio = value;
    EXPECT_FALSE(RecordAudio(options)) << ::testing::PrintToString(std::wstring(value));
  }
  options.recordaudio = L"1";
  EXPECT_TRUE(RecordAudio(options));
}

// Each value that reaches the encoder's command line stays one ffmpeg argument:
// a value of several words, or one holding a double quote, is refused by name.
TEST(HostOptions, EncoderValuesAreOneWordEach) {
  const struct {
    std::wstring HostOptions::*field;
    std::wstring value;
    std::string refused;  // empty: accepted
  } cases[] = {
      {&HostOptions::preset, L"ultrafast", ""},
      {&HostOptions::preset, L"ultrafast -f h264 /elsewhere/INJECTED.h264",
       "Option -preset takes one word; the value \"ultrafast -f h264 /elsewhere/INJECTED.h264\" is refused, "
       "nothing is recorded."},
      // Two arguments that the option joined.
      {&HostOptions::preset, L"fast out.h264",
       "Option -preset takes one word; the value \"fast out.h264\" is refused, nothing is recorded."},
      {&HostOptions::tune, L"zero\tlatency",
       "Option -tune takes one word; the value \"zero\tlatency\" is refused, nothing is recorded."},
      {&HostOptions::tune, L"film\"",
       "Option -tune takes one word; the value \"film\"\" is refused, nothing is recorded."},
      {&HostOptions::vcodec, L"libx264 -f null",
       "Option -vcodec takes one word; the value \"libx264 -f null\" is refused, nothing is recorded."},
      {&HostOptions::bitrate, L"4000 x",
       "Option -b:v takes one word; the value \"4000 x\" is refused, nothing is recorded."},
      {&HostOptions::r, L"30 x", "Option -r takes one word; the value \"30 x\" is refused, nothing is recorded."},
      {&HostOptions::quality, L"2\n",
       "Option -quality takes one word; the value \"2\n\" is refused, nothing is recorded."},
      // Paths are quoted where they are used, and the other options never reach the encoder.
      {&HostOptions::outputpath, L"/my videos", ""},
      {&HostOptions::ffmpegpath, L"/opt/ff mpeg", ""},
      {&HostOptions::starthotkey, L"Control F5", ""},
  };
  for (const auto& c : cases) {
    HostOptions options;
    options.vcodec = L"libx264";
    options.tune = L"zerolatency";
    options.*c.field = c.value;
    EXPECT_EQ(RefusedValueLine(options), c.refused) << ::testing::PrintToString(c.value);
  }
}

TEST(RecordingRegion, MiddleHalfMeasuredFromTheSizeAlone) {
  const struct {
    platform::ui::Rect area;
    platform::ui::Rect region;
  } cases[] = {
      {{0, 0, 1920, 1040}, {480, 260, 1440, 780}},
      {{0, 40, 1920, 1080}, {480, 260, 1440, 780}},  // taskbar at the top: same region
      {{0, 0, 1366, 767}, {341, 191, 1024, 574}},
      {{1920, 0, 3200, 1024}, {320, 256, 960, 768}},
      {{0, 0, 0, 0}, {0, 0, 0, 0}},
  };
  for (const auto& c : cases) {
    const platform::ui::Rect r = RecordingRegion(c.area);
    EXPECT_EQ((std::vector<int>{r.left, r.top, r.right, r.bottom}),
              (std::vector<int>{c.region.left, c.region.top, c.region.right, c.region.bottom}));
  }
}

TEST(LaunchResultLine, Table) {
  EXPECT_STREQ(LaunchResultLine(0), "Screen recording successful.");
  EXPECT_STREQ(LaunchResultLine(1), "Cancel screen recording.");
  EXPECT_STREQ(LaunchResultLine(-3), "Device not found, virtual sound drive installation maybe failed.");
  for (int other : {-1, 2, -2, 126}) EXPECT_STREQ(LaunchResultLine(other), "Call LaunchRecorder failed.");
}

void Put(char16_t* field, const std::u16string& text) {
  std::memcpy(field, text.data(), text.size() * sizeof(char16_t));
}

TEST(RecordDataLines, WholeRecords) {
  qelrec::RecordResultData record{};
  Put(record.szVideoPath, u"/tmp/a-20240105-0930123.h264");
  Put(record.szAudioPath, u"/tmp/a-20240105-0930123.flac");
  record.llVideoDurationMs = 3000;
  record.llAudioOffsetMs = -1;  // written as an unsigned number
  const std::vector<std::string> lines = RecordDataLines({1, sizeof record, &record});
  const std::vector<std::string> expected{
      "RecordData-VideoFile:/tmp/a-20240105-0930123.h264", "RecordData-AudioFile:/tmp/a-20240105-0930123.flac",
      "RecordData-VideoDuration:3000", "RecordData-AudioOffset:18446744073709551615"};
  EXPECT_EQ(lines, expected);
}

TEST(RecordDataLines, PathsAreReadWithinTheirFields) {
  qelrec::RecordResultData record{};
  // A video path that fills its field without a terminator, a pair and a lone
  // surrogate in the audio path.
  for (char16_t& c : record.szVideoPath) c = u'v';
  Put(record.szAudioPath, u"a\xD83D\xDE00-\xDC00");
  const std::vector<std::string> lines = RecordDataLines({1, sizeof record, &record});
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "RecordData-VideoFile:" + std::string(260, 'v'));
  EXPECT_EQ(lines[1], "RecordData-AudioFile:a\U0001F600-\uFFFD");
}

TEST(RecordDataLines, UnusableRecordsGiveTwoNullLines) {
  qelrec::RecordResultData record{};
  Put(record.szVideoPath, u"/tmp/v.h264");
  const std::vector<std::string> nulls{"RecordData-VideoFile:null", "RecordData-AudioFile:null"};
  EXPECT_EQ(RecordDataLines({0, sizeof record, &record}), nulls);
  EXPECT_EQ(RecordDataLines({2, sizeof record, &record}), nulls);
  // A record shorter than its layout is never read.
  EXPECT_EQ(RecordDataLines({1, sizeof record - 8, &record}), nulls);
  EXPECT_EQ(RecordDataLines({1, sizeof record, nullptr}), nulls);
}

TEST(WorkArea, PrimaryMonitorWhereverItIsListed) {
  qel::test::ScopedBacking displayBacking("display", platform::Backing::Simulated);
  namespace sim = platform::display::sim;
  sim::Reset();
  platform::ui::Rect area{};
  ASSERT_TRUE(platform::ui::SystemParametersInfo(platform::ui::SPI_GETWORKAREA, &area));
  EXPECT_EQ((std::vector<int>{area.left, area.top, area.right, area.bottom}), (std::vector<int>{0, 0, 1920, 1080}));
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 1280, 1024}), sim::MakeDevice(1, {1280, 0, 3200, 1080}, true)});
  ASSERT_TRUE(platform::ui::SystemParametersInfo(platform::ui::SPI_GETWORKAREA, &area));
  EXPECT_EQ((std::vector<int>{area.left, area.top, area.right, area.bottom}), (std::vector<int>{1280, 0, 3200, 1080}));
  // No primary: the first active monitor.
  sim::SetDevices({sim::MakeDevice(0, {0, 0, 800, 600}), sim::MakeDevice(1, {800, 0, 1600, 600})});
  ASSERT_TRUE(platform::ui::SystemParametersInfo(platform::ui::SPI_GETWORKAREA, &area));
  EXPECT_EQ(area.right, 800);
  // Nothing active: false, the rectangle untouched.
  sim::Device off = sim::MakeDevice(0, {0, 0, 800, 600});
  off.active = false;
  sim::SetDevices({off});
  area = {1, 2, 3, 4};
  EXPECT_FALSE(platform::ui::SystemParametersInfo(platform::ui::SPI_GETWORKAREA, &area));
  EXPECT_EQ(area.left, 1);
  EXPECT_FALSE(platform::ui::SystemParametersInfo(0x1234, &area));
  sim::Reset();
}

}  // namespace
}  // namespace qelhost
