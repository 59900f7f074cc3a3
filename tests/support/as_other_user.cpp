#include "support/as_other_user.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

namespace qel::test {

namespace {

// The child's exit codes besides a body's.
constexpr int kPassed = 0;
constexpr int kFailed = 1;
constexpr int kCannotChangeUser = 77;

void writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// What the child writes until it closes its end, waiting at most until
// `deadline`; false when the deadline came first.
bool readAll(int fd, std::chrono::steady_clock::time_point deadline, std::string& text) {
  char buffer[4096];
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd ready{fd, POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return false;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

// A body runs a task or two; one that takes longer than this is stuck (a
// lock held by another thread at the fork, say).
constexpr std::chrono::minutes kBodyTimeLimit{3};

}  // namespace

int changeUserOfThisProcess(uid_t uid) {
  if (::syscall(SYS_setgroups, 0, nullptr) != 0) return 10;
  if (::syscall(SYS_setresgid, uid, uid, uid) != 0) return 11;
  if (::syscall(SYS_setresuid, uid, uid, uid) != 0) return 12;
  return 0;
}

std::optional<std::string> runAsUser(uid_t uid, const std::function<std::string()>& body, std::string& skipReason) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) return "pipe: " + std::string(std::strerror(errno));
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(pipe[0]);
    ::close(pipe[1]);
    return "fork: " + std::string(std::strerror(errno));
  }
  if (child == 0) {
    ::close(pipe[0]);
    if (changeUserOfThisProcess(uid) != 0) {
      writeAll(pipe[1], std::strerror(errno));
      ::_exit(kCannotChangeUser);
    }
    std::string failure;
    try {
      failure = body();
    } catch (const std::exception& e) {
      failure = std::string("exception: ") + e.what();
    } catch (...) {
      failure = "an exception";
    }
    writeAll(pipe[1], failure);
    ::_exit(failure.empty() ? kPassed : kFailed);
  }
  ::close(pipe[1]);
  std::string said;
  const bool ended = readAll(pipe[0], std::chrono::steady_clock::now() + kBodyTimeLimit, said);
  ::close(pipe[0]);
  if (!ended) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotChangeUser) {
    skipReason = "this test process (user " + std::to_string(::geteuid()) + ") may not change to user " +
                 std::to_string(uid) + ": " + said;
    return std::nullopt;
  }
  if (!ended) return "the child did not finish within the time limit; it said: " + said;
  if (!WIFEXITED(status)) return "the child died: status " + std::to_string(status) + "; it said: " + said;
  if (WEXITSTATUS(status) != kPassed && said.empty()) return "the child failed without a word";
  return said;
}

}  // namespace qel::test
