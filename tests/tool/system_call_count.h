// Test helper: how many system calls a piece of work makes, counted by running
// it in a child process that the test traces (ptrace) from the work's first
// call to the child's exit. A count, not a time: it holds on a busy machine.
#pragma once

#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace tool_test {

struct TracedRun {
  bool traced = false;   // false: the system refused the tracing (skip the test)
  long systemCalls = 0;  // entries into the kernel, the child's exit included
  int exitCode = -1;     // what `work` answered, or -1 when the child did not exit
};

// Runs `work` in a forked child and counts its system calls; `work` answers
// the child's exit code (0 for success; one that throws exits with 255). Only
// the child runs it.
inline TracedRun CountSystemCalls(const std::function<int()>& work) {
  constexpr int kNotTraced = 77;
  TracedRun run;
  const pid_t child = ::fork();
  if (child < 0) return run;
  if (child == 0) {
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(kNotTraced);
    ::raise(SIGSTOP);  // the parent sets its options, then lets the work run
    int code = -1;     // the child must never return into the test, not even by an exception
    try {
      code = work();
    } catch (...) {
    }
    ::_exit(code);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) return run;  // it could not be traced
  if (::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    return run;
  }
  run.traced = true;
  long stops = 0;  // one on entering each call and one on leaving it
  int deliver = 0;
  while (::ptrace(PTRACE_SYSCALL, child, nullptr, deliver) == 0 && ::waitpid(child, &status, 0) == child) {
    if (WIFEXITED(status)) {
      run.exitCode = WEXITSTATUS(status);
      break;
    }
    if (WIFSIGNALED(status)) break;
    const bool atCall = WIFSTOPPED(status) && WSTOPSIG(status) == (SIGTRAP | 0x80);
    if (atCall) ++stops;
    deliver = atCall ? 0 : WSTOPSIG(status);  // the child's own signals go on to it
  }
  run.systemCalls = (stops + 1) / 2;  // the final exit is entered and never left
  return run;
}

}  // namespace tool_test
