// Connections of platform/display/x11_connection against private Xvfb servers:
// the lost state of a connection ends with the connection, so a later one that
// Xlib places at the same address is never taken as lost.
#include <gtest/gtest.h>

#include <vector>

#include "support/xvfb_server.h"

// Xlib's macros (None, Bool, Status) clash with other headers' names: last.
#include "platform/display/x11_connection.h"

namespace platform::x11 {
namespace {

struct LossCase {
  const char* name;
  bool noticedBeforeClose;  // a request meets the dead server while the connection is open
};

class X11ConnectionLoss : public testing::TestWithParam<LossCase> {};

TEST_P(X11ConnectionLoss, LostStateEndsWithTheConnection) {
  Display* closedAt = nullptr;
  {
    qel::test::XvfbServer first(320, 240);
    if (!first.running()) GTEST_SKIP() << "no X server for this test: " << first.error();
    DisplayPtr display = OpenDisplay(first.display());
    ASSERT_NE(display, nullptr);
    closedAt = display.get();
    first.kill();
    EXPECT_FALSE(ConnectionLost(closedAt)) << "nothing has met the dead server yet";
    if (GetParam().noticedBeforeClose) {
      ErrorTrap trap(closedAt);
      EXPECT_EQ(trap.Sync(), BadImplementation);
      EXPECT_TRUE(ConnectionLost(closedAt));
    }
    display.reset();  // without the notice, the close itself meets the dead server
  }
  EXPECT_FALSE(ConnectionLost(closedAt)) << "a closed connection kept its lost state";

  qel::test::XvfbServer second(320, 240);
  ASSERT_TRUE(second.running()) << second.error();
  // Xlib mostly gives one of these the freed address of the first connection.
  std::vector<DisplayPtr> opened;
  for (int i = 0; i < 4; ++i) {
    opened.push_back(OpenDisplay(second.display()));
    ASSERT_NE(opened.back(), nullptr);
    EXPECT_FALSE(ConnectionLost(opened.back().get()))
        << "connection " << i << (opened.back().get() == closedAt ? ", at the closed one's address" : "");
    ErrorTrap trap(opened.back().get());
    EXPECT_EQ(trap.Sync(), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, X11ConnectionLoss,
                         testing::Values(LossCase{"MetOnlyByTheClose", false}, LossCase{"NoticedBeforeTheClose", true}),
                         [](const testing::TestParamInfo<LossCase>& param) { return param.param.name; });

}  // namespace
}  // namespace platform::x11
