// The capture clock over the platform's fake multimedia tick. Its own program:
// the wrap counter is process-wide and only ever grows.
#include <gtest/gtest.h>

#include "capture/base/clock.h"
#include "platform/core/clock.h"

namespace capture {
namespace {

TEST(CaptureClockTest, WrapsAreCountedAndStepsBackAreNot) {
  platform::ScopedFakeClock fake;
  platform::fakeclock::setMillis(0x80000000u);
  EXPECT_EQ(MultimediaClockNanos(), int64_t{0x80000000} * 1'000'000);
  platform::fakeclock::setMillis(0x7FFFFFFFu);  // a step back, far from the top: no wrap
  EXPECT_EQ(MultimediaClockNanos(), int64_t{0x7FFFFFFF} * 1'000'000);

  platform::fakeclock::setMillis(0xFFFFFFF0u);
  EXPECT_EQ(MultimediaClockNanos(), int64_t{0xFFFFFFF0} * 1'000'000);
  platform::fakeclock::setMillis(0x100000010ull);  // the 32-bit tick reads 0x10
  EXPECT_EQ(platform::timeGetTime(), 0x10u);
  EXPECT_EQ(MultimediaClockNanos(), (int64_t{1} << 32 | 16) * 1'000'000);
  platform::fakeclock::setMillis(0x100000020ull);
  EXPECT_EQ(ClockNanos(), (int64_t{1} << 32 | 32) * 1'000'000);
  EXPECT_EQ(ClockMillis(), (int64_t{1} << 32 | 32));
}

class FixedSource : public ClockSource {
 public:
  int64_t Nanos() override { return 1'999'999; }
};

TEST(CaptureClockTest, InstalledSourceIsAskedAndMillisTruncate) {
  FixedSource source;
  SetClockSource(&source);
  EXPECT_EQ(ClockNanos(), 1'999'999);
  EXPECT_EQ(ClockMillis(), 1);
  SetClockSource(nullptr);
}

}  // namespace
}  // namespace capture
