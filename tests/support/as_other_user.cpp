#include "support/as_other_user.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

std::string readAll(int fd) {
  std::string text;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

}  // namespace

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
    const gid_t gid = static_cast<gid_t>(uid);
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0) {
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
  const std::string said = readAll(pipe[0]);
  ::close(pipe[0]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kCannotChangeUser) {
    skipReason = "this test process (user " + std::to_string(::geteuid()) + ") may not change to user " +
                 std::to_string(uid) + ": " + said;
    return std::nullopt;
  }
  if (!WIFEXITED(status)) return "the child died: status " + std::to_string(status) + "; it said: " + said;
  if (WEXITSTATUS(status) != kPassed && said.empty()) return "the child failed without a word";
  return said;
}

}  // namespace qel::test
