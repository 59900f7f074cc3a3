// Process queries on a child forked by the test (it only waits to be killed).
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "common/process_table.h"
#include "common/subprocess.h"
#include "support/test_support.h"
#include "tool/elf_fixture.h"
#include "tool/log_capture.h"
#include "tool/process_info.h"
#include "tool/system_info.h"

namespace {

using namespace tool;

// A forked child that sleeps until the test ends; killed and reaped by the owner.
class Child {
 public:
  Child() {
    pid_ = ::fork();
    if (pid_ == 0) {
      for (;;) ::pause();
    }
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  uint64_t pid() const { return static_cast<uint64_t>(pid_); }

 private:
  pid_t pid_;
};

std::string OwnPath() {
  char path[4096];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

// An id no process can have: above the kernel's largest pid.
uint64_t UnusedPid() {
  std::ifstream in("/proc/sys/kernel/pid_max");
  uint64_t max = 4194304;
  in >> max;
  return max + 1;
}

TEST(ProcessInfoTest, ForkedChildIsSeenWithParentNameAndPath) {
  Child child;
  ASSERT_GT(child.pid(), 0u);
  const auto self = static_cast<uint64_t>(::getpid());
  EXPECT_TRUE(IsExistProcess(child.pid()));
  EXPECT_EQ(GetProceeParentID(child.pid()), self);
  EXPECT_EQ(GetProcessName(child.pid()), "test_tool");
  EXPECT_EQ(GetProcessPath(child.pid()), OwnPath());
  std::vector<uint64_t> children = GetProceeIDfromParentID(self);
  EXPECT_NE(std::find(children.begin(), children.end(), child.pid()), children.end());
}

TEST(ProcessInfoTest, ChildlessAndMissingProcesses) {
  Child child;
  EXPECT_TRUE(GetProceeIDfromParentID(child.pid()).empty());
  const uint64_t nobody = UnusedPid();
  EXPECT_EQ(GetProceeParentID(nobody), 0u);
  EXPECT_EQ(GetProcessName(nobody), "");
  EXPECT_FALSE(IsExistProcess(nobody));
  EXPECT_EQ(GetProcessPath(nobody), "");
}

TEST(ProcessInfoTest, ThreadIdsAreNoProcesses) {
  // /proc answers for the id of any thread, yet a thread is no process.
  std::promise<pid_t> id;
  std::promise<void> done;
  std::thread thread([&] {
    id.set_value(::gettid());
    done.get_future().wait();
  });
  const auto tid = static_cast<uint64_t>(id.get_future().get());
  EXPECT_FALSE(IsExistProcess(tid));
  EXPECT_EQ(GetProceeParentID(tid), 0u);
  EXPECT_EQ(GetProcessName(tid), "");
  EXPECT_EQ(GetProcessPath(tid), "");
  done.set_value();
  thread.join();
}

TEST(ProcessInfoTest, RunningApplicationByNameAndFilter) {
  Child child;
  const auto self = static_cast<uint64_t>(::getpid());
  EXPECT_EQ(GetRunningApplicationProcessID(
                "TEST_TOOL", [&](uint64_t id, uint64_t parent) { return id == child.pid() && parent == self; }),
            child.pid());
  EXPECT_EQ(GetRunningApplicationProcessID("test_tool", [](uint64_t, uint64_t) { return false; }), 0u);
  tool_test::LogCapture log;
  EXPECT_EQ(GetRunningApplicationProcessID("test_tool", nullptr), 0u);
  EXPECT_TRUE(log.contains("with an empty filter, ignored"));
}

TEST(ProcessInfoTest, LoopRunsInAscendingOrderAndStops) {
  int calls = 0;
  ProcessLoop([&](const ProcessEntry&) { return ++calls, false; });
  EXPECT_EQ(calls, 1);
  std::vector<uint64_t> ids;
  ProcessLoop([&](const ProcessEntry& entry) {
    ids.push_back(entry.process_id);
    return true;
  });
  EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
  EXPECT_NE(std::find(ids.begin(), ids.end(), static_cast<uint64_t>(::getpid())), ids.end());
  ProcessLoop(nullptr);  // stops at once
}

void* HandleOf(uint64_t pid) { return reinterpret_cast<void*>(static_cast<uintptr_t>(pid)); }

// A process's bitness is its program's: false for a 32-bit one; whatever
// cannot be read answers for the machine.
TEST(ProcessInfoTest, BitnessOfTheProcessProgram) {
  const bool machine = GetProcessArchitecture() == "x64";
  EXPECT_EQ(Is64BitProcess(nullptr), machine);
  EXPECT_EQ(Is64BitProcess(HandleOf(UnusedPid())), machine);
  Child child;
  EXPECT_EQ(Is64BitProcess(HandleOf(child.pid())), machine && sizeof(void*) == 8);
}

TEST(ProcessInfoTest, ThirtyTwoBitProcessIsNot64Bit) {
  qel::test::TempDir dir;
  const std::string program = dir.file("waits32");
  qel::test::writeFile(program, tool_test::I386WaitingProgram());
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  qel::Subprocess waiting;
  qel::SpawnOptions options;
  options.stdoutMode = qel::ChildOutput::Null;
  options.stderrMode = qel::ChildOutput::Null;
  std::string error;
  if (!waiting.start({program}, options, error)) {
    // Its header's class is tested in tool's internal tests instead.
    GTEST_SKIP() << "this machine cannot run a 32-bit program: " << error;
  }
  EXPECT_FALSE(Is64BitProcess(HandleOf(static_cast<uint64_t>(waiting.pid()))));
}

TEST(ProcessInfoTest, WindowsAndPrivileges) {
  EXPECT_EQ(GetWindowHandleByPID(0), nullptr);
  EXPECT_EQ(GetWindowHandleByPID(static_cast<uint64_t>(::getpid())), nullptr);
  EXPECT_FALSE(GrantPriviledge(nullptr, "SeNoSuchPrivilege"));
  int token = 0;
  EXPECT_FALSE(GrantPriviledge(&token, "SeDebugPrivilege"));
  // SeDebugPrivilege is CAP_SYS_PTRACE (19): granted exactly when permitted.
  std::ifstream status("/proc/self/status");
  unsigned long long permitted = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("CapPrm:", 0) == 0) permitted = std::stoull(line.substr(7), nullptr, 16);
  }
  EXPECT_EQ(GrantPriviledge(nullptr, "SeDebugPrivilege"), ((permitted >> 19) & 1) != 0);
}

}  // namespace
