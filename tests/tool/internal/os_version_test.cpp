// The Windows version rules over a fake source of version facts, and the
// architecture names.
#include <gtest/gtest.h>

#include "tool/os_version.h"

namespace {

using namespace tool::system_internal;

class FakeProvider : public VersionProvider {
 public:
  FakeProvider(std::optional<OsVersion> version, bool workstation) : version_(version), workstation_(workstation) {}
  std::optional<OsVersion> Version() const override { return version_; }
  bool IsWorkstation() const override { return workstation_; }

 private:
  std::optional<OsVersion> version_;
  bool workstation_;
};

TEST(OsVersionTest, NameTable) {
  struct Case {
    std::optional<OsVersion> version;
    bool workstation;
    const char* name;
  };
  const Case cases[] = {
      {OsVersion{10, 0, 0, 22631}, true, "Windows 10"},  // Windows 11 reports 10.0
      {OsVersion{6, 3, 0, 9600}, true, "Windows 8.1"},
      {OsVersion{6, 2, 0, 9200}, true, "Windows 8"},
      {OsVersion{6, 1, 1, 7601}, true, "Windows 7 SP1"},
      {OsVersion{6, 1, 0, 7600}, true, "Windows 7"},
      {OsVersion{6, 0, 2, 6002}, true, "Windows Vista SP2"},
      {OsVersion{6, 0, 1, 6001}, true, "Windows Vista SP1"},
      {OsVersion{6, 0, 0, 6000}, true, "Windows Vista"},
      {OsVersion{5, 1, 3, 2600}, true, "Windows XP SP3"},
      {OsVersion{5, 1, 2, 2600}, true, "Windows XP SP2"},
      {OsVersion{5, 1, 1, 2600}, true, "Windows XP SP1"},
      {OsVersion{5, 1, 0, 2600}, true, "Windows XP"},
      {OsVersion{5, 0, 4, 2195}, true, "Unknown Windows Version"},
      {OsVersion{5, 0, 4, 2195}, false, "Windows Server"},
      {std::nullopt, true, "Unknown Windows Version"},
  };
  for (const Case& c : cases) EXPECT_EQ(OsVersionName(FakeProvider(c.version, c.workstation)), c.name) << c.name;
}

TEST(OsVersionTest, AtLeastComparesMajorMinorServicePack) {
  FakeProvider seven(OsVersion{6, 1, 1, 7601}, true);
  EXPECT_TRUE(VersionAtLeast(seven, 6, 1, 1));
  EXPECT_FALSE(VersionAtLeast(seven, 6, 1, 2));
  EXPECT_TRUE(VersionAtLeast(seven, 5, 9, 9));
  EXPECT_FALSE(VersionAtLeast(seven, 6, 2, 0));
  EXPECT_FALSE(VersionAtLeast(seven, 10, 0, 0));
  EXPECT_EQ(BuildNumber(seven), "7601");
  FakeProvider none(std::nullopt, true);
  EXPECT_FALSE(VersionAtLeast(none, 0, 0, 0));
  EXPECT_EQ(BuildNumber(none), "");
  EXPECT_EQ(OsVersionName(SystemVersionProvider()), "Unknown Windows Version");
}

TEST(OsVersionTest, ArchitectureNames) {
  struct Case {
    const char* machine;
    const char* name;
  };
  for (Case c : {Case{"x86_64", "x64"}, Case{"i686", "x86"}, Case{"i386", "x86"}, Case{"armv7l", "arm"},
                 Case{"ia64", "Intel Itanium-based"}, Case{"aarch64", "unknown"}, Case{"riscv64", "unknown"}}) {
    EXPECT_EQ(ArchitectureName(c.machine), c.name) << c.machine;
  }
}

}  // namespace
