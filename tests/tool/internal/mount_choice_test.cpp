// Choosing the local disk with the most free space.
#include <gtest/gtest.h>

#include "tool/mount_choice.h"

namespace {

using namespace tool::filesystem_internal;

TEST(MountChoiceTest, MostFreeWinsAndTheEarlierKeepsATie) {
  struct Case {
    std::vector<std::pair<std::string, uint64_t>> candidates;
    std::string chosen;
  };
  const Case cases[] = {
      {{{"/d", 10}, {"/e", 20}}, "/e"},
      {{{"/d", 20}, {"/e", 20}}, "/d"},
      {{{"/d", 0}, {"/e", 0}}, ""},
      {{}, ""},
      {{{"/a", 5}, {"/b", 7}, {"/c", 7}}, "/b"},
  };
  for (const Case& c : cases) EXPECT_EQ(PickMostFree(c.candidates), c.chosen);
}

TEST(MountChoiceTest, LocalDisksAreRealMountPoints) {
  for (const std::string& mount : LocalDiskMounts()) {
    EXPECT_EQ(mount[0], '/') << mount;
    EXPECT_NE(mount.rfind("/proc", 0), 0u) << mount;
    EXPECT_NE(mount.rfind("/sys", 0), 0u) << mount;
  }
  EXPECT_EQ(MostFreeMount({"/definitely/not/mounted"}), "");
}

}  // namespace
