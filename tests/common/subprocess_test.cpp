#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/command_line.h"
#include "common/process_table.h"
#include "common/subprocess.h"
#include "support/test_support.h"

namespace qel {
namespace {

using std::chrono::milliseconds;

// Reads the child's stdout until end of file (bounded by the child ending).
std::string readAll(Subprocess& child) {
  std::string out;
  while (true) {
    const ReadStatus status = child.readSome(out, milliseconds(100));
    if (status == ReadStatus::EndOfFile || status == ReadStatus::Error) break;
  }
  return out;
}

bool isReaped(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST(SubprocessTest, ShellMetacharactersInFileNamesAreNeverRun) {
  test::TempDir dir;
  const std::string tricky = dir.file("$(touch PWNED).mp4");
  const std::string other = dir.file("a;touch PWNED2 `touch PWNED3`.txt");
  test::writeFile(tricky, "first\n");
  test::writeFile(other, "second\n");

  // Through the command-text path the engine uses: Windows-style quoting, then argv.
  const std::string text = "\"/usr/bin/cat\" \"" + tricky + "\" \"" + other + "\"";
  const CapturedRun run = runAndCapture(splitCommandLine(text), /*mergeStderr=*/true);
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_EQ(run.output, "first\nsecond\n");

  // And a real media tool given the name as one argument.
  const CapturedRun probe = runAndCapture({test::ffprobePath(), "-v", "error", tricky}, true);
  ASSERT_TRUE(probe.started) << probe.error;

  for (const char* name : {"PWNED", "PWNED2", "PWNED3"}) {
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::current_path() / name)) << name;
  }
}

TEST(SubprocessTest, UnusedStandardHandlesAreDevNull) {
  Subprocess child;
  std::string error;
  SpawnOptions options;
  options.stdoutMode = ChildOutput::Pipe;
  options.stderrMode = ChildOutput::Null;
  ASSERT_TRUE(child.start({"/usr/bin/readlink", "/proc/self/fd/0", "/proc/self/fd/2"}, options, error)) << error;
  EXPECT_EQ(readAll(child), "/dev/null\n/dev/null\n");
  EXPECT_EQ(child.wait(), 0);
}

TEST(SubprocessTest, ChildInheritsOnlyItsStandardHandles) {
  // A second child with open pipes in the parent: none of them may leak.
  Subprocess holder;
  std::string error;
  SpawnOptions pipes;
  pipes.pipeStdin = true;
  pipes.stderrMode = ChildOutput::Pipe;
  ASSERT_TRUE(holder.start({"/usr/bin/cat"}, pipes, error)) << error;

  // And one opened the way some libraries do, without close-on-exec.
  const int leaky = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 0);

  const CapturedRun run = runAndCapture({"/usr/bin/ls", "/proc/self/fd"}, false);
  ::close(leaky);
  ASSERT_TRUE(run.started) << run.error;
  std::istringstream lines(run.output);
  std::string fd;
  while (lines >> fd) {
    // 0-2 are the standard handles; 3 is ls's own handle on the folder it lists.
    // Descriptors the test program inherited without close-on-exec must not pass either.
    EXPECT_TRUE(fd == "0" || fd == "1" || fd == "2" || fd == "3") << "leaked descriptor " << fd;
  }
  holder.closeStdin();
  EXPECT_EQ(holder.wait(), 0);
}

TEST(SubprocessTest, ProgramsThatCannotStartReportWhy) {
  test::TempDir dir;
  const std::string notExecutable = dir.file("plain.txt");
  test::writeFile(notExecutable, "not a program\n");

  struct Case {
    std::vector<std::string> argv;
    std::string error;
  };
  const Case cases[] = {
      {{"/nonexistent/folder/ffmpeg", "-version"}, std::strerror(ENOENT)},
      {{"qel-no-such-program-in-path"}, std::strerror(ENOENT)},
      {{notExecutable}, std::strerror(EACCES)},
      {{dir.path()}, std::strerror(EACCES)},
      {{}, std::strerror(ENOENT)},
  };
  for (const Case& c : cases) {
    Subprocess child;
    std::string error;
    EXPECT_FALSE(child.start(c.argv, SpawnOptions{}, error)) << (c.argv.empty() ? "" : c.argv[0]);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(child.pid(), -1);
    EXPECT_FALSE(child.running());
    EXPECT_EQ(child.wait(), -1);

    const CapturedRun run = runAndCapture(c.argv, true);
    EXPECT_FALSE(run.started);
    EXPECT_EQ(run.error, c.error);
  }
}

TEST(SubprocessTest, BareNameIsFoundInPath) {
  const CapturedRun run = runAndCapture({"echo", "found"}, false);
  ASSERT_TRUE(run.started) << run.error;
  EXPECT_EQ(run.output, "found\n");
  EXPECT_EQ(run.exitCode, 0);
}

TEST(SubprocessTest, KillFromAnotherThreadEndsSilentChildAndReadSeesEnd) {
  Subprocess child;
  std::string error;
  ASSERT_TRUE(child.start({"/usr/bin/sleep", "30"}, SpawnOptions{}, error)) << error;
  const pid_t pid = child.pid();
  ASSERT_GT(pid, 0);
  EXPECT_TRUE(child.running());

  // A silent child: reads come back with Timeout instead of blocking.
  std::string out;
  EXPECT_EQ(child.readSome(out, milliseconds(50)), ReadStatus::Timeout);
  EXPECT_TRUE(out.empty());

  std::thread killer([&child] { child.kill(); });
  ReadStatus status;
  do {
    status = child.readSome(out, milliseconds(100));
  } while (status == ReadStatus::Timeout);
  killer.join();
  EXPECT_EQ(status, ReadStatus::EndOfFile);

  EXPECT_EQ(child.wait(), 128 + SIGKILL);
  EXPECT_FALSE(child.running());
  EXPECT_EQ(child.pid(), -1);
  EXPECT_TRUE(isReaped(pid));
  // Reaped once; later calls report the same result and touch nothing.
  EXPECT_EQ(child.wait(), 128 + SIGKILL);
  EXPECT_EQ(child.tryWait(), std::optional<int>(128 + SIGKILL));
  child.kill();
}

TEST(SubprocessTest, DestructorKillsAndReapsRunningChild) {
  pid_t pid;
  {
    Subprocess child;
    std::string error;
    ASSERT_TRUE(child.start({"/usr/bin/sleep", "30"}, SpawnOptions{}, error)) << error;
    pid = child.pid();
  }
  EXPECT_TRUE(isReaped(pid));
}

constexpr const char* kDeathHelperFlag = "--parent-death-helper";

// Run only as a child of the test below: starts a long sleep, reports its pid
// and dies at once, without any of the clean-up a normal exit would run.
TEST(SubprocessHelper, StartSleeperThenDie) {
  const std::string cmdline = test::readFile("/proc/self/cmdline");
  if (cmdline.find(kDeathHelperFlag) == std::string::npos)
    GTEST_SKIP() << "helper for SubprocessTest.ChildEndsWithAKilledParent";
  Subprocess sleeper;
  std::string error;
  SpawnOptions quiet;
  quiet.stdoutMode = ChildOutput::Null;
  quiet.stderrMode = ChildOutput::Null;
  ASSERT_TRUE(sleeper.start({"/usr/bin/sleep", "60"}, quiet, error)) << error;
  std::printf("sleeper-pid=%d\n", static_cast<int>(sleeper.pid()));
  std::fflush(stdout);
  ::raise(SIGKILL);
}

TEST(SubprocessTest, ChildEndsWithAKilledParent) {
  Subprocess helper;
  std::string error;
  SpawnOptions options;
  options.stderrMode = ChildOutput::Null;
  ASSERT_TRUE(helper.start({"/proc/self/exe", "--gtest_filter=SubprocessHelper.*", kDeathHelperFlag}, options, error))
      << error;
  const std::string out = readAll(helper);
  EXPECT_EQ(helper.wait(), 128 + SIGKILL);
  const size_t at = out.find("sleeper-pid=");
  ASSERT_NE(at, std::string::npos) << out;
  const pid_t sleeper = static_cast<pid_t>(std::stoi(out.substr(at + std::strlen("sleeper-pid="))));
  ASSERT_GT(sleeper, 0);

  // Gone, or a zombie of whichever process adopted it.
  auto ended = [sleeper] {
    std::string stat;
    try {
      stat = test::readFile("/proc/" + std::to_string(sleeper) + "/stat");
    } catch (const std::exception&) {
      return true;
    }
    const size_t paren = stat.rfind(')');
    return paren == std::string::npos || paren + 2 >= stat.size() || stat[paren + 2] == 'Z';
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!ended() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_TRUE(ended()) << "the child outlived its killed parent";
  if (!ended()) ::kill(sleeper, SIGKILL);
}

TEST(SubprocessTest, MovedChildStaysOwnedOnce) {
  Subprocess first;
  std::string error;
  ASSERT_TRUE(first.start({"/usr/bin/sleep", "30"}, SpawnOptions{}, error)) << error;
  const pid_t pid = first.pid();

  Subprocess second(std::move(first));
  EXPECT_EQ(first.pid(), -1);
  EXPECT_EQ(second.pid(), pid);

  Subprocess third;
  third = std::move(second);
  EXPECT_EQ(third.pid(), pid);
  EXPECT_EQ(third.tryWait(), std::nullopt);
  third.kill();
  EXPECT_EQ(third.wait(), 128 + SIGKILL);
  EXPECT_TRUE(isReaped(pid));
}

TEST(SubprocessTest, StdinPipeAndSeparateStderr) {
  Subprocess cat;
  std::string error;
  SpawnOptions options;
  options.pipeStdin = true;
  ASSERT_TRUE(cat.start({"/usr/bin/cat"}, options, error)) << error;
  EXPECT_TRUE(cat.writeStdin("line one\nline two\n"));
  cat.closeStdin();
  EXPECT_FALSE(cat.writeStdin("after close"));
  EXPECT_EQ(readAll(cat), "line one\nline two\n");
  EXPECT_EQ(cat.wait(), 0);

  Subprocess ls;
  SpawnOptions split;
  split.stderrMode = ChildOutput::Pipe;
  ASSERT_TRUE(ls.start({"/usr/bin/ls", "/nonexistent-qel-folder"}, split, error)) << error;
  std::string err;
  ReadStatus status;
  do {
    status = ls.readSomeStderr(err, milliseconds(100));
  } while (status == ReadStatus::Data || status == ReadStatus::Timeout);
  EXPECT_NE(err.find("nonexistent-qel-folder"), std::string::npos) << err;
  EXPECT_EQ(readAll(ls), "");
  EXPECT_EQ(ls.wait(), 2);
}

TEST(SubprocessTest, ChildStartsWithDefaultSignalsWhatEverTheParentDid) {
  // Executables ignore SIGPIPE and library threads block it; ffmpeg must still
  // die of a broken pipe like any program.
  struct sigaction previous {};
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  sigset_t oldMask;
  pthread_sigmask(SIG_SETMASK, nullptr, &oldMask);
  blockSigpipeInThisThread();

  const CapturedRun run = runAndCapture({"/usr/bin/grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"}, false);

  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGPIPE, &previous, nullptr);

  ASSERT_TRUE(run.started) << run.error;
  std::istringstream lines(run.output);
  std::string key;
  std::string hex;
  int seen = 0;
  while (lines >> key >> hex) {
    const unsigned long long bits = std::stoull(hex, nullptr, 16);
    EXPECT_EQ(bits & (1ULL << (SIGPIPE - 1)), 0u) << key << " " << hex;
    ++seen;
  }
  EXPECT_EQ(seen, 2) << run.output;
}

TEST(RunAndCaptureTest, ExitCodesAndStderrMerging) {
  const CapturedRun ok = runAndCapture({"/usr/bin/true"}, false);
  EXPECT_TRUE(ok.started);
  EXPECT_EQ(ok.exitCode, 0);

  const CapturedRun failed = runAndCapture({"/usr/bin/false"}, false);
  EXPECT_EQ(failed.exitCode, 1);

  const CapturedRun merged = runAndCapture({"/usr/bin/ls", "/nonexistent-qel-folder"}, true);
  EXPECT_NE(merged.output.find("nonexistent-qel-folder"), std::string::npos);
  const CapturedRun quiet = runAndCapture({"/usr/bin/ls", "/nonexistent-qel-folder"}, false);
  EXPECT_EQ(quiet.output, "");
  EXPECT_EQ(quiet.exitCode, 2);
}

TEST(RunAndCaptureTest, ChildPastTheTimeoutIsKilledAndReaped) {
  const CapturedRun run = runAndCapture({"/usr/bin/sleep", "30"}, true, milliseconds(200));
  EXPECT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 128 + SIGKILL);
}

TEST(RunAndCaptureTest, ChildThatClosesItsOutputAndLingersIsStillBoundedByTheTimeout) {
  // The shell here is only the test's child program: it closes its stdout and sleeps on.
  const CapturedRun run = runAndCapture({"/bin/sh", "-c", "exec >&- 2>&-; sleep 30"}, false, milliseconds(300));
  EXPECT_TRUE(run.started);
  EXPECT_EQ(run.error, "timed out");
  EXPECT_EQ(run.exitCode, 128 + SIGKILL);
}

// A cancelled group ends the child running through it at once (whatever its
// own time bound) and starts no more; the same program outside the group is
// untouched.
TEST(RunAndCaptureTest, CancelledGroupEndsItsChildrenAndStartsNoMore) {
  ChildGroup group;
  test::TempDir dir;
  const std::string marker = dir.file("grouped");
  test::writeFile(marker, "");
  CapturedRun grouped;
  std::thread runner([&] {
    grouped = runAndCapture({"/usr/bin/tail", "-f", marker}, false, std::chrono::minutes(10), &group);
  });
  Subprocess outside;
  std::string error;
  ASSERT_TRUE(outside.start({"/usr/bin/sleep", "30"}, {}, error)) << error;
  // Cancel once the grouped child runs (a cancel before its start would
  // refuse it instead, which the second run below shows).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  auto running = [&] {
    for (const ProcessEntry& process : listProcesses()) {
      if (process.commandLine == "/usr/bin/tail -f " + marker) return true;
    }
    return false;
  };
  while (!running() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(milliseconds(10));
  const auto cancelled = std::chrono::steady_clock::now();
  group.cancel();
  runner.join();
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(20));
  EXPECT_TRUE(grouped.started);
  EXPECT_EQ(grouped.exitCode, 128 + SIGKILL);
  EXPECT_EQ(grouped.error, "cancelled");
  EXPECT_TRUE(group.cancelled());

  const CapturedRun refused = runAndCapture({"/usr/bin/true"}, false, std::chrono::minutes(1), &group);
  EXPECT_FALSE(refused.started);
  EXPECT_EQ(refused.error, "cancelled");
  EXPECT_FALSE(outside.tryWait().has_value()) << "a child outside the group was ended";
}

TEST(RunAndCaptureTest, LargeOutputIsReadCompletely) {
  test::TempDir dir;
  const std::string big(300 * 1024, 'x');
  test::writeFile(dir.file("big"), big);
  const CapturedRun run = runAndCapture({"/usr/bin/cat", dir.file("big")}, false);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.output.size(), big.size());
  EXPECT_EQ(run.output, big);
}

TEST(ListProcessesTest, FindsOurChildWithItsCommandLine) {
  const std::string marker = "0.0" + std::to_string(::getpid());
  Subprocess child;
  std::string error;
  ASSERT_TRUE(child.start({"/usr/bin/sleep", "30", marker}, SpawnOptions{}, error)) << error;

  // Right after the spawn the kernel may still be setting up the new image, when
  // /proc shows an empty command line; look again until it is there.
  const std::string expected = "/usr/bin/sleep 30 " + marker;
  const std::string selfName = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  ProcessEntry mine;
  bool foundSelf = false;
  for (int attempt = 0; attempt < 500 && mine.commandLine.empty(); ++attempt) {
    if (attempt) std::this_thread::sleep_for(milliseconds(10));
    for (const ProcessEntry& p : listProcesses()) {
      if (p.pid == child.pid()) mine = p;
      if (p.pid == ::getpid()) {
        foundSelf = true;
        EXPECT_EQ(p.imageName, selfName);
        EXPECT_NE(p.commandLine.find(selfName), std::string::npos) << p.commandLine;
      }
    }
  }
  EXPECT_EQ(mine.pid, child.pid());
  EXPECT_EQ(mine.imageName, "sleep");
  EXPECT_EQ(mine.commandLine, expected);
  EXPECT_TRUE(foundSelf);

  child.kill();
  child.wait();
  for (const ProcessEntry& p : listProcesses()) EXPECT_NE(p.commandLine, expected);
}

// A terminate from another thread while the owner's read of stderr blocks:
// the read ends with end of file, the child is reaped, and the owner's polls
// answer NoChild from then on.
TEST(SubprocessTerminate, FromAnotherThreadEndsABlockedStderrRead) {
  Subprocess child;
  std::string error;
  SpawnOptions options;
  options.stderrMode = ChildOutput::Pipe;
  ASSERT_TRUE(child.start({"/usr/bin/sleep", "60"}, options, error)) << error;
  const pid_t pid = child.pid();
  std::atomic<bool> reading{false};
  ReadStatus status = ReadStatus::Data;
  std::thread owner([&] {
    std::string err;
    reading = true;
    do {
      status = child.readSomeStderr(err, milliseconds(200));
    } while (status == ReadStatus::Timeout);
  });
  while (!reading) std::this_thread::sleep_for(milliseconds(10));
  std::this_thread::sleep_for(milliseconds(300));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(child.terminate(std::chrono::seconds(60), std::chrono::seconds(60)));
  owner.join();
  // The read in flight got the child killed at once, not after the grace.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ(status, ReadStatus::EndOfFile);
  EXPECT_TRUE(isReaped(pid));
  int code = 12345;
  EXPECT_EQ(child.poll(code), ChildState::NoChild);
  EXPECT_EQ(child.pollAfter(milliseconds(50), code), ChildState::NoChild);
  EXPECT_EQ(code, 12345) << "no exit code is reported for a released child";
  std::string more;
  EXPECT_EQ(child.readSomeStderr(more, milliseconds(50)), ReadStatus::EndOfFile);
}

// A child that ended by itself stays Exited with its exit code for every
// poll, until a terminate releases it.
TEST(SubprocessTerminate, PollStaysExitedWithTheExitCodeUntilReleased) {
  Subprocess ls;
  std::string error;
  SpawnOptions options;
  options.stdoutMode = ChildOutput::Null;
  options.stderrMode = ChildOutput::Null;
  ASSERT_TRUE(ls.start({"/usr/bin/ls", "/nonexistent-qel-folder"}, options, error)) << error;
  int code = -1;
  ChildState state = ChildState::Running;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (state == ChildState::Running && std::chrono::steady_clock::now() < deadline) {
    state = ls.pollAfter(std::chrono::seconds(10), code);
  }
  ASSERT_EQ(state, ChildState::Exited);
  EXPECT_EQ(code, 2);
  for (int i = 0; i < 3; ++i) {
    code = -1;
    EXPECT_EQ(ls.poll(code), ChildState::Exited);
    EXPECT_EQ(code, 2);
    code = -1;
    EXPECT_EQ(ls.pollAfter(milliseconds(20), code), ChildState::Exited);
    EXPECT_EQ(code, 2);
  }
  EXPECT_TRUE(ls.terminate(milliseconds(100), milliseconds(100)));
  EXPECT_EQ(ls.poll(code), ChildState::NoChild);
}

// An owner waiting in pollAfter while another thread terminates the child:
// the wait ends with the child's end, answering NoChild, and so does every
// pollAfter after it.
TEST(SubprocessTerminate, PollAfterAnswersNoChildDuringAndAfterATerminate) {
  Subprocess child;
  std::string error;
  ASSERT_TRUE(child.start({"/usr/bin/sleep", "60"}, SpawnOptions{}, error)) << error;
  std::atomic<bool> polling{false};
  ChildState during = ChildState::Running;
  std::thread owner([&] {
    int code = -1;
    polling = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    do {
      during = child.pollAfter(std::chrono::seconds(5), code);
    } while (during == ChildState::Running && std::chrono::steady_clock::now() < deadline);
  });
  while (!polling) std::this_thread::sleep_for(milliseconds(10));
  std::this_thread::sleep_for(milliseconds(300));
  child.terminate(milliseconds(0), std::chrono::seconds(30));
  owner.join();
  EXPECT_EQ(during, ChildState::NoChild);
  int code = -1;
  EXPECT_EQ(child.pollAfter(std::chrono::seconds(5), code), ChildState::NoChild);
}

// A terminate from another thread while the owner's write to stdin blocks (the
// child never reads it): the write counts as a transfer in flight, so the
// child is killed at once, not after the grace, the write ends with false, and
// the pipe is closed only after it has returned.
TEST(SubprocessTerminate, FromAnotherThreadEndsABlockedStdinWriteAtOnce) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previous {};
  ASSERT_EQ(::sigaction(SIGPIPE, &ignore, &previous), 0);
  Subprocess child;
  std::string error;
  SpawnOptions options;
  options.pipeStdin = true;
  ASSERT_TRUE(child.start({"/usr/bin/sleep", "120"}, options, error)) << error;
  std::atomic<bool> writing{false};
  bool written = true;
  std::thread owner([&] {
    const std::string data(8 << 20, 'x');  // far more than a pipe holds
    writing = true;
    written = child.writeStdin(data);
  });
  while (!writing) std::this_thread::sleep_for(milliseconds(10));
  std::this_thread::sleep_for(milliseconds(500));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(child.terminate(std::chrono::seconds(90), std::chrono::seconds(30)));
  owner.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(45));
  EXPECT_FALSE(written);
  EXPECT_FALSE(child.writeStdin("after the terminate"));
  child.closeStdin();
  int code = -1;
  EXPECT_EQ(child.poll(code), ChildState::NoChild);
  ::sigaction(SIGPIPE, &previous, nullptr);
}

}  // namespace
}  // namespace qel
