#include "support/stray_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace qel::test {

StrayProcess::StrayProcess(const std::vector<std::string>& argv) {
  ::prctl(PR_GET_CHILD_SUBREAPER, &wasSubreaper_, 0, 0, 0);
  ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  if (argv.empty()) return;
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return;
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);

  // Between fork and exec only async-signal-safe calls: the test may run
  // threads of its own.
  const pid_t middle = ::fork();
  if (middle == 0) {
    ::setsid();
    const pid_t stray = ::fork();
    if (stray == 0) {
      if (devNull >= 0) {
        ::dup2(devNull, STDIN_FILENO);
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
      }
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    [[maybe_unused]] ssize_t put = ::write(report[1], &stray, sizeof stray);
    ::_exit(0);
  }
  ::close(report[1]);
  if (devNull >= 0) ::close(devNull);
  pid_t stray = 0;
  if (middle > 0 && ::read(report[0], &stray, sizeof stray) == static_cast<ssize_t>(sizeof stray) && stray > 0) {
    pid_ = stray;
  }
  // The stray holds the pipe until its exec closes it: at the end of the
  // pipe it runs the program, and /proc shows the program's name.
  for (char rest[16];;) {
    const ssize_t got = ::read(report[0], rest, sizeof rest);
    if (got > 0 || (got < 0 && errno == EINTR)) continue;
    break;
  }
  ::close(report[0]);
  // Once the middle process is reaped, its child has been handed over.
  int status = 0;
  while (middle > 0 && ::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
}

StrayProcess::~StrayProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  ::prctl(PR_SET_CHILD_SUBREAPER, wasSubreaper_, 0, 0, 0);
}

std::optional<int> StrayProcess::waitFor(std::chrono::milliseconds timeout) {
  if (pid_ <= 0 || reaped_) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t got = ::waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      reaped_ = true;
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return WEXITSTATUS(status);
    }
    if (got < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace qel::test
