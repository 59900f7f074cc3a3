// Flags to settings, folders, the instance id and the engine's init configuration.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>

#include "QelDaemon/daemon_settings.h"
#include "support/test_support.h"

namespace qel {
namespace {

struct PortCase {
  int p;
  int port;
  int expectedPort;
  const char* refusal;  // nullptr: accepted
};

void PrintTo(const PortCase& c, std::ostream* os) { *os << "p=" << c.p << " port=" << c.port; }

class PortFlagsTest : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortFlagsTest, PortFlagsAreAppliedAndChecked) {
  const PortCase& c = GetParam();
  FlagValues flags;
  flags.p = c.p;
  flags.port = c.port;
  DaemonSettings settings;
  auto refusal = LoadSettings("/opt/qel/bin", flags, settings);
  EXPECT_EQ(settings.port, c.expectedPort);
  if (c.refusal == nullptr) {
    EXPECT_FALSE(refusal.has_value()) << *refusal;
  } else {
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(*refusal, c.refusal);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, PortFlagsTest,
                         ::testing::Values(PortCase{8800, 8800, 8800, nullptr},
                                           PortCase{9000, 8800, 9000, nullptr},  // p alone
                                           PortCase{9000, 9001, 9001, nullptr},  // port wins when set
                                           PortCase{8800, 1000, 1000, nullptr},  // the lowest accepted
                                           PortCase{8800, 999, 999, "The port number must be greater than 1000"},
                                           PortCase{8800, -5, -5, "The port number must be greater than 1000"},
                                           PortCase{8800, 65535, 65535, nullptr},
                                           // Above 16 bits: refused, never cut to another port (70000 would be 4464).
                                           PortCase{8800, 65536, 65536, "The port number must be less than 65536"},
                                           PortCase{70000, 8800, 70000, "The port number must be less than 65536"}));

TEST(SettingsTest, FfmpegFolderLosesOneTrailingSeparator) {
  struct Case {
    const char* flag;
    const char* exeDir;
    const char* folder;
  } cases[] = {
      {"D:\\tools\\", "", "D:\\tools"}, {"D:\\tools\\\\", "", "D:\\tools\\"}, {"/opt/ff/", "", "/opt/ff"},
      {"/opt/ff", "", "/opt/ff"},       {"", "/opt/qel/bin", "/opt/qel/bin"},
  };
  for (const Case& c : cases) {
    FlagValues flags;
    flags.ffmpegPath = c.flag;
    DaemonSettings settings;
    EXPECT_FALSE(LoadSettings(c.exeDir, flags, settings).has_value()) << c.flag;
    EXPECT_EQ(settings.ffmpegFolder, c.folder) << c.flag;
  }
}

TEST(SettingsTest, EmptyFfmpegFolderIsRefusedAfterThePortCheck) {
  FlagValues flags;
  DaemonSettings settings;
  auto refusal = LoadSettings("", flags, settings);
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(*refusal, "The ffmpeg's path is empty");
  flags.port = 999;
  refusal = LoadSettings("", flags, settings);
  ASSERT_TRUE(refusal.has_value());
  EXPECT_EQ(*refusal, "The port number must be greater than 1000");
}

TEST(SettingsTest, DefaultsWithoutFlags) {
  FlagValues flags;
  flags.logLevel = "";
  DaemonSettings settings;
  ASSERT_FALSE(LoadSettings("/opt/qel/bin", flags, settings).has_value());
  EXPECT_EQ(settings.port, 8800);
  EXPECT_EQ(settings.logLevel, "notice");
  EXPECT_EQ(settings.ffmpegFolder, "/opt/qel/bin");
  EXPECT_EQ(settings.instanceId.size(), 6u);
}

TEST(SettingsTest, InstanceIdsAreSixFileNameSafeRandomCharacters) {
  std::set<std::string> seen;
  for (int i = 0; i < 500; ++i) {
    std::string id = MakeInstanceId();
    ASSERT_EQ(id.size(), 6u);
    for (char c : id) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << id;
    seen.insert(id);
  }
  // 500 draws from 62^6 values: a repeat means the source is not random.
  EXPECT_EQ(seen.size(), 500u);
}

TEST(SettingsTest, ExeDirIsTheProgramsOwnFolder) {
  namespace fs = std::filesystem;
  EXPECT_EQ(fs::canonical(GetExeDir("no-such-program")), fs::canonical(test::binDir()));
}

// The log and thumbnail folders are the user's own: under "appdata" when it is
// set, else under the XDG data folder, else under ~/.local/share; never the
// temporary folder, which every user shares. The folders made are 0700.
TEST(SettingsTest, FoldersUnderAppdataElseTheUsersDataFolder) {
  test::TempDir dir;
  const std::string appdata = dir.file("appdata");
  const std::string dataHome = dir.file("data");
  const std::string home = dir.file("home");
  struct Case {
    const char* name;
    std::optional<std::string> appdata;
    std::optional<std::string> dataHome;
    std::string base;
  } cases[] = {
      {"appdata wins", appdata, dataHome, appdata},
      {"XDG_DATA_HOME", std::nullopt, dataHome, dataHome},
      {"empty appdata is unset", "", dataHome, dataHome},
      {"no XDG_DATA_HOME", std::nullopt, std::nullopt, home + "/.local/share"},
      {"relative XDG_DATA_HOME is ignored", std::nullopt, "data", home + "/.local/share"},
  };
  // Restored however the test ends.
  test::ScopedEnv homeEnv("HOME", home);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    test::ScopedEnv appdataEnv("appdata", c.appdata);
    test::ScopedEnv upperEnv("APPDATA", std::nullopt);
    test::ScopedEnv dataEnv("XDG_DATA_HOME", c.dataHome);
    const ::mode_t oldMask = ::umask(022);
    DaemonSettings settings;
    InitPaths(settings);
    ::umask(oldMask);
    EXPECT_EQ(settings.logFolder, c.base + "/Korvex/Logs");
    EXPECT_EQ(settings.thumbnailFolder, c.base + "/Korvex/thumbnail");
    EXPECT_EQ(settings.tempFolder, std::filesystem::temp_directory_path().string());
    // Every folder it made, from the first that was missing down.
    for (const std::string& made : {c.base, c.base + "/Korvex", settings.logFolder, settings.thumbnailFolder}) {
      struct stat info {};
      ASSERT_EQ(::stat(made.c_str(), &info), 0) << made;
      EXPECT_TRUE(S_ISDIR(info.st_mode)) << made;
      EXPECT_EQ(info.st_mode & 0777, 0700u) << made;
    }
  }
}

TEST(SettingsTest, InitConfigJsonHasItsMembersInOrder) {
  DaemonSettings settings;
  settings.logLevel = "notice";
  settings.logFolder = "/data/Korvex/Logs";
  settings.tempFolder = "/tmp";
  settings.thumbnailFolder = "/data/Korvex/thumbnail";
  settings.ffmpegFolder = "/opt/my \"ff\"";
  settings.instanceId = "aB3dE9";
  EXPECT_EQ(BuildInitConfigJson(settings),
            "{\"log_level\":\"notice\",\"log_path\":\"/data/Korvex/Logs\",\"tmp_path\":\"/tmp\","
            "\"qel_id\":\"aB3dE9\",\"ffmpeg_pathname\":\"/opt/my \\\"ff\\\"/ffmpeg\","
            "\"ffprobe_pathname\":\"/opt/my \\\"ff\\\"/ffprobe\"}");
}

}  // namespace
}  // namespace qel
