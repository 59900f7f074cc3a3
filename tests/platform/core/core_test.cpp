// platform/core: backing choice, clocks with the fake clock, fault injection,
// violations and the thread's last error.
#include <gtest/gtest.h>

#include <thread>

#include "platform/core/backing.h"
#include "platform/core/clock.h"
#include "platform/core/faults.h"
#include "platform/core/last_error.h"
#include "support/platform_scopes.h"

namespace platform {
namespace {

TEST(BackingTest, ForcedBackingWinsAndIsNotProbed) {
  bool probed = false;
  {
    qel::test::ScopedBacking forced("testlayer", Backing::Simulated);
    EXPECT_EQ(chooseBacking("testlayer",
                            [&] {
                              probed = true;
                              return true;
                            }),
              Backing::Simulated);
    EXPECT_FALSE(probed);
  }
  if (!forcedBacking("testlayer")) {  // QEL_BACKING=sim in the environment forces every layer
    EXPECT_EQ(chooseBacking("testlayer", [] { return true; }), Backing::Real);
    EXPECT_EQ(chooseBacking("testlayer", [] { return false; }), Backing::Simulated);
  }
}

TEST(ClockTest, FakeClockDrivesEveryReading) {
  ScopedFakeClock fake(1'234'567'800);
  EXPECT_EQ(QueryPerformanceFrequency(), 10'000'000);
  EXPECT_EQ(QueryPerformanceCounter(), 12'345'678);
  EXPECT_EQ(timeGetTime(), 1234u);
  EXPECT_EQ(GetTickCount64(), 1234u);
  int seen = 0;
  int64_t last = 0;
  int id = fakeclock::addListener([&](int64_t now) {
    ++seen;
    last = now;
  });
  fakeclock::advance(1'000'000);
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(last, 1'235'567'800);
  EXPECT_EQ(timeGetTime(), 1235u);
  fakeclock::removeListener(id);
  fakeclock::advance(1);
  EXPECT_EQ(seen, 1);
  fakeclock::setStepPerRead(5'000'000);
  uint32_t a = timeGetTime();
  uint32_t b = timeGetTime();
  EXPECT_EQ(b - a, 5u);
}

TEST(ClockTest, RealClockIsMonotonic) {
  ASSERT_FALSE(fakeclock::enabled());
  int64_t a = QueryPerformanceCounter();
  int64_t b = QueryPerformanceCounter();
  EXPECT_LE(a, b);
  EXPECT_GT(a, 0);
}

enum class DemoCall { Open, Close };
const char* callName(DemoCall call) { return call == DemoCall::Open ? "demo.Open" : "demo.Close"; }

TEST(FaultTest, FromCallTimesAndTarget) {
  resetFaults();
  fail(DemoCall::Open, {.target = kAnyTarget, .from_call = 2, .times = 2, .code = 77});
  std::vector<uint32_t> seen;
  for (int i = 0; i < 6; ++i) seen.push_back(injectedFault(DemoCall::Open).value_or(0));
  EXPECT_EQ(seen, (std::vector<uint32_t>{0, 0, 77, 77, 0, 0}));
  EXPECT_EQ(callCount(DemoCall::Open), 6u);
  EXPECT_EQ(callCount(DemoCall::Close), 0u);

  fail("demo.Close", {.target = 3, .from_call = 0, .times = kForever, .code = 9});
  EXPECT_FALSE(injectedFault("demo.Close", 2));
  EXPECT_EQ(injectedFault("demo.Close", 3), 9u);
  EXPECT_EQ(injectedFault("demo.Close", 3), 9u);
  EXPECT_EQ(callCount("demo.Close"), 3u);
  resetFaults();
  EXPECT_FALSE(injectedFault("demo.Close", 3));
  EXPECT_EQ(callCount("demo.Close"), 1u);
}

TEST(FaultTest, ViolationsAreKeptUntilCleared) {
  clearViolations();
  reportViolation("frame released twice");
  EXPECT_EQ(violations(), std::vector<std::string>{"frame released twice"});
  clearViolations();
  EXPECT_TRUE(violations().empty());
}

TEST(LastErrorTest, PerThread) {
  SetLastError(kErrorAccessDenied);
  uint32_t other = 1;
  std::thread([&] { other = GetLastError(); }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

}  // namespace
}  // namespace platform
