// The records of the thumbnails each run writes, and the cleaning that removes
// only what a run that has ended recorded. A run is a ThumbnailLedger here: its
// record stays locked while the object lives, as a daemon's does while the
// process lives (the lock belongs to the open file, so a second open in the
// same process is refused it as another process would be).
#include "QelDaemon/thumbnail_ledger.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace qel {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> entriesOf(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(ThumbnailLedgerTest, AnIdIsClaimedOnceWhetherItsRunLivesOrHasEnded) {
  test::TempDir folder;
  std::optional<ThumbnailLedger> first(std::in_place);
  ASSERT_EQ(first->claim(folder.path(), "aB3dE9"), ThumbnailLedger::Claim::Claimed);
  EXPECT_TRUE(first->claimed());
  ThumbnailLedger second;
  EXPECT_EQ(second.claim(folder.path(), "aB3dE9"), ThumbnailLedger::Claim::IdTaken) << "a live run's id";
  EXPECT_FALSE(second.claimed());
  EXPECT_FALSE(second.record("aB3dE9_0.png"));
  first.reset();
  EXPECT_EQ(second.claim(folder.path(), "aB3dE9"), ThumbnailLedger::Claim::IdTaken) << "an ended run's id";
  // Only the record itself is there: the name it was made under went.
  EXPECT_EQ(entriesOf(folder.path()), std::vector<std::string>{ThumbnailRecordName("aB3dE9")});
  struct stat info {};
  ASSERT_EQ(::stat(folder.file(ThumbnailRecordName("aB3dE9")).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  ThumbnailLedger missing;
  EXPECT_EQ(missing.claim(folder.file("gone"), "Zz9Yy8"), ThumbnailLedger::Claim::Failed);
}

// What a cleaning removes: the thumbnails an ended run recorded, and its
// record; what it leaves: everything else in the folder, whatever its name.
TEST(ThumbnailLedgerTest, CleaningRemovesOnlyWhatEndedRunsRecorded) {
  test::TempDir root;
  const std::string folder = root.file("thumbnail");
  fs::create_directories(folder);
  auto inFolder = [&](const std::string& name) { return folder + "/" + name; };
  auto put = [&](const std::string& name) { test::writeFile(inFolder(name), "x"); };

  struct Run {
    const char* id;
    bool ends;
    std::vector<std::string> recorded;  // written to the folder too, unless listed in `unwritten`
    std::vector<std::string> removed;
  };
  const Run runs[] = {
      // An ended run: its thumbnails go. A recorded thumbnail that was never
      // made is no error.
      {"Ended1", true, {"Ended1_0.png", "Ended1_7.png", "Ended1_8.png"}, {"Ended1_0.png", "Ended1_7.png"}},
      // A live run (another daemon): nothing of it goes.
      {"Live01", false, {"Live01_0.png", "Live01_1.png"}, {}},
      // This run's own record: never cleaned by itself.
      {"Own123", false, {"Own123_0.png"}, {}},
      // An ended run whose record names what is not its thumbnail: names of
      // another form, another run's thumbnails, paths out of the folder.
      {"Forge1", true, {"holiday.png", "Live01_0.png", "../outside.png", "Forge1_0.png.bak", "README_1.png"}, {}},
  };
  const std::vector<std::string> unwritten{"Ended1_8.png", "../outside.png"};
  std::vector<std::unique_ptr<ThumbnailLedger>> live;
  for (const Run& run : runs) {
    auto ledger = std::make_unique<ThumbnailLedger>();
    ASSERT_EQ(ledger->claim(folder, run.id), ThumbnailLedger::Claim::Claimed) << run.id;
    for (const std::string& name : run.recorded) {
      ASSERT_TRUE(ledger->record(name));
      if (std::find(unwritten.begin(), unwritten.end(), name) == unwritten.end()) put(name);
    }
    if (!run.ends) live.push_back(std::move(ledger));
  }
  // Files of the thumbnail form that no record names, in a folder a user may
  // share with other programs; a folder and a link of the form.
  const std::vector<std::string> strays{"photo1_2.png", "abc123_0.png", "Scan01_15.png", "ABC.PNG"};
  for (const std::string& name : strays) put(name);
  fs::create_directories(inFolder("Ended2_0.png"));
  test::writeFile(root.file("outside.png"), "keep");

  EXPECT_EQ(RemoveEndedRunsThumbnails(folder, "Own123"), 2);

  for (const Run& run : runs) {
    SCOPED_TRACE(run.id);
    for (const std::string& name : run.recorded) {
      if (name.find('/') != std::string::npos) continue;
      const bool gone = std::find(run.removed.begin(), run.removed.end(), name) != run.removed.end();
      const bool unmade = std::find(unwritten.begin(), unwritten.end(), name) != unwritten.end();
      EXPECT_EQ(fs::exists(inFolder(name)), !gone && !unmade) << name;
    }
    EXPECT_EQ(fs::exists(inFolder(ThumbnailRecordName(run.id))), !run.ends);
  }
  for (const std::string& name : strays) EXPECT_TRUE(fs::exists(inFolder(name))) << name;
  EXPECT_TRUE(fs::is_directory(inFolder("Ended2_0.png")));
  EXPECT_TRUE(fs::exists(root.file("outside.png")));

  // Once the live run ends, a later cleaning takes its thumbnails too.
  live.clear();
  EXPECT_EQ(RemoveEndedRunsThumbnails(folder, "Other1"), 3);
  EXPECT_FALSE(fs::exists(inFolder("Live01_0.png")));
  EXPECT_FALSE(fs::exists(inFolder("Own123_0.png")));
  for (const std::string& name : strays) EXPECT_TRUE(fs::exists(inFolder(name))) << name;
}

}  // namespace
}  // namespace qel
