// The engine run by a user who is not root, through the exports with the real
// ffmpeg: it replaces only what that user may write, as ffmpeg writing in
// place would. A file of the user's that is read-only stays as it is and the
// task fails naming it; an output whose folder the user may not write fails
// naming the folder. The engine runs in a child process that has changed to
// that user, started before any thread of the test.
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "QelApi/engine/engine_test_util.h"
#include "qelapi.h"
#include "support/as_other_user.h"
#include "support/task_events.h"

namespace qel::test {
namespace {

// A folder of the other user's with `mode`.
std::unique_ptr<TempDir> folderOfOtherUser(mode_t mode) {
  auto dir = std::make_unique<TempDir>();
  EXPECT_EQ(::chown(dir->path().c_str(), kOtherUid, kOtherUid), 0);
  EXPECT_EQ(::chmod(dir->path().c_str(), mode), 0);
  return dir;
}

void giveToOtherUser(const std::string& path, mode_t mode) {
  ASSERT_EQ(::chown(path.c_str(), kOtherUid, kOtherUid), 0);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

// Runs one task in the child's engine; its last report.
StateReport runInChild(void* handle, const std::string& request) {
  const uint64_t id = nextTaskId();
  if (submitTask(handle, id, request) != 0) return {};
  if (!taskEvents().waitForCompletion(id)) return {};
  const std::vector<StateReport> reports = taskEvents().reports(id);
  return reports.empty() ? StateReport{} : reports.back();
}

std::string scaleTask(const std::string& input, const std::string& output) {
  return taskRequest({taskOperation({ioItem(1, input)}, "-vf scale=80:60", {ioItem(1, output)})});
}

TEST(OutputAccessTest, AnotherUsersEngineReplacesOnlyWhatThatUserMayWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "the files of another user are made as root";
  const std::unique_ptr<TempDir> own = folderOfOtherUser(0755);
  const std::unique_ptr<TempDir> closed = folderOfOtherUser(0555);
  const std::unique_ptr<TempDir> log = folderOfOtherUser(0700);
  const std::string clip = own->file("in.mp4");
  const std::string readOnly = own->file("ro.mp4");
  const std::string inClosed = closed->file("keep.mp4");
  makeClip(clip, clipOf(1.0));
  makeClip(readOnly, clipOf(1.0));
  makeClip(inClosed, clipOf(1.0));
  ASSERT_EQ(::chmod(clip.c_str(), 0644), 0);  // whatever the umask
  giveToOtherUser(readOnly, 0444);
  giveToOtherUser(inClosed, 0644);
  const std::string readOnlyBytes = readFile(readOnly);
  const std::string inClosedBytes = readFile(inClosed);

  std::string skip;
  const std::optional<std::string> failures = runAsUser(
      kOtherUid,
      [&]() -> std::string {
        if (::access(ffmpegPath().c_str(), X_OK) != 0) return "SKIP: ffmpeg cannot be run by this user";
        void* handle = qelapi_init(initJson(log->path(), "debug").c_str());
        if (handle == nullptr) return "the engine did not start";
        taskEvents().attach(handle);
        std::string failed;
        const auto expect = [&](bool holds, const std::string& what, const StateReport& report) {
          if (!holds) failed += what + ": " + report.text + "\n";
        };
        const StateReport fresh = runInChild(handle, scaleTask(clip, own->file("new.mp4")));
        expect(!fresh.error && probe(own->file("new.mp4")).width == 80, "a new output", fresh);

        const StateReport refused = runInChild(handle, scaleTask(clip, readOnly));
        expect(refused.error && refused.errorCode == 6517, "the read-only file's task", refused);
        expect(refused.errorDetail == readOnly + ": Permission denied", "its detail", refused);
        expect(readFile(readOnly) == readOnlyBytes, "the read-only file changed", refused);

        const StateReport unwritable = runInChild(handle, scaleTask(clip, inClosed));
        expect(unwritable.error, "the closed folder's task", unwritable);
        expect(unwritable.errorDetail ==
                   "the output's folder cannot be written: " + closed->path() + ": Permission denied",
               "its detail", unwritable);
        expect(readFile(inClosed) == inClosedBytes, "the file in the closed folder changed", unwritable);
        qelapi_un_init(handle);
        return failed;
      },
      skip);
  if (!failures) GTEST_SKIP() << skip;
  if (failures->starts_with("SKIP: ")) GTEST_SKIP() << failures->substr(6);
  EXPECT_EQ(*failures, "");
  struct stat status {};
  ASSERT_EQ(::stat(readOnly.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0444u);
}

}  // namespace
}  // namespace qel::test
