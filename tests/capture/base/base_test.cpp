// Base layer: the fatal check report, printf appending, trimming, histograms,
// the re-entrant lock and the disabled trace hooks.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "capture/base/checks.h"
#include "capture/base/histogram.h"
#include "capture/base/lock.h"
#include "capture/base/string_trim.h"
#include "capture/base/trace_event.h"
#include "platform/core/last_error.h"

namespace capture {
namespace {

// An extended regular expression matching `text` literally.
std::string Literal(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
    out += c;
  }
  return out;
}

const std::string kHead = "\n\n#\n# Fatal error in: f.cc, line 7\n# last system error: 5\n# Check failed: a == b";

TEST(FatalCheckDeathTest, ComparisonMarkerFormatsBothValues) {
  EXPECT_DEATH(
      {
        platform::SetLastError(5);
        FailCheckOp("f.cc", 7, "a == b", 3, 4);
      },
      Literal(kHead + " (3 vs. 4)\n# "));
}

TEST(FatalCheckDeathTest, ExtraArgumentsFollowByTheirCodes) {
  std::string text = "text";
  std::string_view view = std::string_view("viewed!").substr(0, 4);
  EXPECT_DEATH(
      {
        platform::SetLastError(5);
        FailCheck("f.cc", 7, "a == b", "msg ", -1, 2u, 3L, 4ULL, 1.5, text, view);
      },
      Literal(kHead + "\n# msg -123"
                      "41.5textview"));
}

TEST(FatalCheckDeathTest, NoArgumentsStillEndsWithMarker) {
  EXPECT_DEATH(
      {
        platform::SetLastError(5);
        FailCheck("f.cc", 7, "a == b");
      },
      Literal(kHead + "\n# ") + "$");
}

TEST(FatalCheckDeathTest, InvalidCodeEndsTheList) {
  static const CheckArgType codes[] = {CheckArgType::kInt, static_cast<CheckArgType>(99), CheckArgType::kInt,
                                       CheckArgType::kEnd};
  EXPECT_DEATH(
      {
        platform::SetLastError(5);
        ReportFailedCheck("f.cc", 7, "a == b", codes, 1, 2, 3);
      },
      Literal(kHead + "\n# 1[Invalid CheckArgType]") + "$");
}

TEST(FatalCheckDeathTest, MacroReportsOnlyWhenFalse) {
  int value = 1;
  CAPTURE_CHECK_AT("g.cc", 9, value == 1);
  EXPECT_DEATH(CAPTURE_CHECK_AT("g.cc", 9, value == 2, "why"), Literal("# Check failed: value == 2\n# why"));
}

TEST(AppendPrintfTest, AppendsAndCounts) {
  std::string s = "x=";
  EXPECT_EQ(AppendPrintf(&s, "%d/%s", 42, "y"), 4);
  EXPECT_EQ(s, "x=42/y");
  EXPECT_EQ(AppendPrintf(&s, "%s", ""), 0);
  EXPECT_EQ(s, "x=42/y");
  std::string big;
  EXPECT_EQ(AppendPrintf(&big, "%0300d", 7), 300);
  EXPECT_EQ(big.size(), 300u);
}

TEST(TrimWhitespaceTest, Table) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"", ""},
      {" \t\r\n ", ""},
      {"abc", "abc"},
      {"  a b  ", "a b"},
      {"\ta\tb\n", "a\tb"},
      {"\r\nx", "x"},
      {"x \v", "x \v"},
      {" slide  show ", "slide  show"},
  };
  for (const auto& c : cases) EXPECT_EQ(TrimWhitespace(c.in), c.out) << '"' << c.in << '"';
}

TEST(HistogramTest, NoRegistryMeansNoHistogram) {
  EXPECT_EQ(FindEnumHistogram("Capture.DesktopCapture.BlankFrameDetected", 2), nullptr);
  CountBooleanHistogram("Capture.DesktopCapture.BlankFrameDetected", true);  // no effect, no crash
}

TEST(HistogramTest, SamplesAreClampedToTheBooleanRange) {
  HistogramRecord record("h", 2);
  EXPECT_EQ(record.bucketCount(), 3);
  AddHistogramSample(&record, 7);
  AddHistogramSample(&record, -5);
  AddHistogramSample(&record, 1);
  EXPECT_EQ(record.CountOf(2), 1);
  EXPECT_EQ(record.CountOf(0), 1);
  EXPECT_EQ(record.CountOf(1), 1);
  EXPECT_EQ(record.CountOf(7), 0);
}

TEST(HistogramTest, AtMost300DistinctValues) {
  HistogramRecord record("h", 1000);
  for (int v = 1; v <= 301; ++v) record.Add(v);
  record.Add(1);
  EXPECT_EQ(record.CountOf(1), 2);
  EXPECT_EQ(record.CountOf(300), 1);
  EXPECT_EQ(record.CountOf(301), 0);  // a new value past the limit is dropped
}

TEST(HistogramTest, RegistryKeepsOneRecordPerName) {
  HistogramRegistry registry;
  HistogramRecord* a = registry.FindOrMake("a", 2);
  EXPECT_EQ(registry.FindOrMake("a", 2), a);
  EXPECT_NE(registry.FindOrMake("b", 2), a);
}

TEST(LockTest, ReentrantOnOneThreadExclusiveAcrossThreads) {
  Lock lock;
  LockGuard outer(&lock);
  {
    LockGuard inner(&lock);  // a critical section may be entered again by its owner
  }
  std::atomic<bool> got{true};
  std::thread other([&] {
    std::unique_lock<Lock> attempt(lock, std::try_to_lock);
    got = attempt.owns_lock();
  });
  other.join();
  EXPECT_FALSE(got);
}

TEST(TraceTest, CategoriesAreDisabledWithoutHook) {
  const unsigned char* flag = TraceCategoryFlag("capture");
  ASSERT_NE(flag, nullptr);
  EXPECT_EQ(*flag, 0);
  TraceScope scope(flag, "x");  // emits nothing, must not crash
}

}  // namespace
}  // namespace capture
