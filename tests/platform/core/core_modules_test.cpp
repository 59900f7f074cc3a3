#include <gtest/gtest.h>

#include "platform/core/local_time.h"
#include "platform/core/modules.h"
#include "platform/core/os_version.h"
#include "support/platform_scopes.h"

namespace platform {
namespace {

using RtlGetVersionFn = int32_t (*)(OsVersionInfoEx*);

// The lookup the recorder makes: "RtlGetVersion" in "ntdll.dll" by name.
bool readVersion(OsVersionInfoEx& info) {
  ModuleHandle ntdll = LoadModule("ntdll.dll");
  if (ntdll == nullptr) return false;
  auto fn = reinterpret_cast<RtlGetVersionFn>(GetModuleEntry(ntdll, "RtlGetVersion"));
  bool ok = false;
  if (fn != nullptr) {
    info = {};
    info.size = sizeof info;
    ok = fn(&info) == 0;
  }
  FreeModule(ntdll);
  return ok;
}

class CoreModules : public ::testing::Test {
 protected:
  void TearDown() override {
    ShowAllModules();
    ResetOsVersion();
  }
};

TEST_F(CoreModules, DefaultVersionIsNewEnoughForEveryFeature) {
  OsVersionInfoEx info{};
  ASSERT_TRUE(readVersion(info));
  EXPECT_EQ(info.majorVersion, 10u);
  EXPECT_GE(info.buildNumber, 19041u);
  EXPECT_TRUE(IsOsVersionAtLeast(6, 2));
}

TEST_F(CoreModules, TestsSetAnOlderVersion) {
  SetOsVersion({10, 0, 18363});
  OsVersionInfoEx info{};
  ASSERT_TRUE(readVersion(info));
  EXPECT_EQ(info.buildNumber, 18363u);
  SetOsVersion({6, 1, 7601});
  EXPECT_FALSE(IsOsVersionAtLeast(6, 2));
  EXPECT_TRUE(IsOsVersionAtLeast(6, 1));
}

TEST_F(CoreModules, RecordWithAWrongSizeIsRefused) {
  OsVersionInfoEx info{};
  info.size = 12;
  EXPECT_NE(RtlGetVersion(&info), 0);
  EXPECT_NE(RtlGetVersion(nullptr), 0);
}

TEST_F(CoreModules, HiddenModuleOrEntryIsNotFound) {
  SetModuleEntryHidden("ntdll.dll", "RtlGetVersion", true);
  OsVersionInfoEx info{};
  EXPECT_FALSE(readVersion(info));
  ShowAllModules();
  SetPseudoModuleHidden("NTDLL.DLL", true);  // names compare without case
  EXPECT_EQ(LoadModule("ntdll.dll"), nullptr);
}

TEST_F(CoreModules, HandlesAreValidatedAndReferenceCounted) {
  const int before = LoadedModuleCount();
  ModuleHandle a = LoadModule("ntdll.dll");
  ModuleHandle b = LoadModule("Ntdll.dll");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a, b);
  EXPECT_TRUE(FreeModule(a));
  EXPECT_NE(GetModuleEntry(b, "RtlGetVersion"), nullptr);
  EXPECT_TRUE(FreeModule(b));
  EXPECT_EQ(LoadedModuleCount(), before);
  EXPECT_FALSE(FreeModule(a));
  EXPECT_EQ(GetModuleEntry(a, "RtlGetVersion"), nullptr);
  EXPECT_EQ(GetModuleEntry(reinterpret_cast<ModuleHandle>(0x1234567), "x"), nullptr);
}

TEST_F(CoreModules, RealLibrariesOpenThroughDlopen) {
  ModuleHandle libc = LoadModule("libc.so.6");
  ASSERT_NE(libc, nullptr);
  EXPECT_NE(GetModuleEntry(libc, "strlen"), nullptr);
  EXPECT_EQ(GetModuleEntry(libc, "no_such_entry_here"), nullptr);
  EXPECT_TRUE(FreeModule(libc));
  EXPECT_EQ(LoadModule("libnot-there-at-all.so"), nullptr);
}

TEST(CoreLocalTime, PinnedMomentAndRealClock) {
  const SystemTime pinned{2024, 1, 5, 5, 9, 30, 12, 345};
  {
    qel::test::ScopedLocalTime pin(pinned);
    const SystemTime got = GetLocalTime();
    EXPECT_EQ(got.year, 2024);
    EXPECT_EQ(got.milliseconds, 345);
  }
  const SystemTime now = GetLocalTime();
  EXPECT_GE(now.year, 2024);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LT(now.milliseconds, 1000);
}

}  // namespace
}  // namespace platform
