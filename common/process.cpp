#include "common/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace qel {

// ---------------------------------------------------------------------------
// Command-text splitting

std::vector<std::string> splitCommandLine(std::string_view text) {
  // The rules of the Windows C runtime's argv parser, so command texts written
  // in their Windows form (double-quoted paths, \" inside graphs) give the
  // arguments the program would have seen there.
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = text.size();
  while (true) {
    while (i < n && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i >= n) break;

    std::string arg;
    bool inQuote = false;
    while (i < n) {
      size_t backslashes = 0;
      while (i < n && text[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < n && text[i] == '"') {
        arg.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          arg.push_back('"');  // escaped quote
        } else if (inQuote && i + 1 < n && text[i + 1] == '"') {
          arg.push_back('"');  // "" inside quotes is one literal quote
          ++i;
        } else {
          inQuote = !inQuote;
        }
        ++i;
        continue;
      }
      arg.append(backslashes, '\\');
      if (i >= n) break;
      if (!inQuote && (text[i] == ' ' || text[i] == '\t')) break;
      arg.push_back(text[i]);
      ++i;
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::vector<QuotedRun> quotedRunsOfCommandLine(std::string_view text) {
  // The same walk as splitCommandLine, keeping where the quoting turns on and off.
  std::vector<QuotedRun> runs;
  bool inQuote = false;
  size_t open = 0;
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    size_t backslashes = 0;
    while (i < n && text[i] == '\\') {
      ++backslashes;
      ++i;
    }
    if (i >= n) break;
    if (text[i] != '"' || backslashes % 2 == 1) {
      ++i;
      continue;
    }
    if (inQuote && i + 1 < n && text[i + 1] == '"') {
      i += 2;  // "" inside quotes is one literal quote
      continue;
    }
    if (inQuote) {
      runs.push_back({open, i + 1});
    } else {
      open = i;
    }
    inQuote = !inQuote;
    ++i;
  }
  if (inQuote) runs.push_back({open, n});
  return runs;
}

// ---------------------------------------------------------------------------
// Subprocess

namespace {

std::string errorText(int code) { return std::error_code(code, std::generic_category()).message(); }

void closeFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// The signals a child starts with at their default action: an executable
// ignores SIGPIPE and library threads block it (and the daemon blocks SIGTERM
// and SIGINT to read them from a signalfd); neither ignored dispositions nor
// masks may leak into ffmpeg, since both survive exec.
constexpr int kDefaultedSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD};

// Moves a descriptor the child will dup2 onto 0, 1 or 2 out of that range, so
// that no dup2 in the child overwrites another source (possible when the
// parent runs with a standard handle closed). Close-on-exec either way.
bool liftAboveStandardHandles(int& fd) {
  if (fd < 0 || fd > STDERR_FILENO) return true;
  const int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  ::close(fd);
  fd = lifted;
  return true;
}

// The files execve is tried on, in order: the path itself when it holds a
// slash, else every folder of PATH (glibc's default list when PATH is unset;
// an empty element is the current folder) joined with the name.
std::vector<std::string> programCandidates(const std::string& program) {
  if (program.find('/') != std::string::npos) return {program};
  const char* path = std::getenv("PATH");
  std::string_view folders = path != nullptr ? path : "/bin:/usr/bin";
  std::vector<std::string> candidates;
  size_t start = 0;
  while (true) {
    const size_t colon = folders.find(':', start);
    std::string_view folder = folders.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
    if (folder.empty()) folder = ".";
    candidates.push_back(std::string(folder) + "/" + program);
    if (colon == std::string_view::npos) break;
    start = colon + 1;
  }
  return candidates;
}

// What the child does between fork and exec. Only async-signal-safe calls:
// the parent is multithreaded, and any lock another thread held at the fork
// stays held in the child for ever.
struct ChildPlan {
  pid_t parent = -1;
  int stdinFrom = -1;   // dup2 sources for 0, 1, 2 (-1 for 2: same as 1)
  int stdoutFrom = -1;
  int stderrFrom = -1;
  bool stderrIntoStdout = false;
  bool ownProcessGroup = false;
  int reportFd = -1;    // write end of the exec-failure pipe (close-on-exec)
  long maxFd = 1024;    // fallback bound for closing descriptors one by one
  char* const* argv = nullptr;
  const std::vector<std::string>* candidates = nullptr;
};

[[noreturn]] void runChild(const ChildPlan& plan) {
  struct sigaction defaultAction {};
  defaultAction.sa_handler = SIG_DFL;
  sigemptyset(&defaultAction.sa_mask);
  for (int sig : kDefaultedSignals) ::sigaction(sig, &defaultAction, nullptr);

  // The child ends when the thread that started it ends (with the daemon, a
  // killed one included). The check after it covers a parent that died
  // before the request was made: the child has been handed to another
  // process by then, and no signal would ever come.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != plan.parent) ::_exit(127);
  if (plan.ownProcessGroup) ::setpgid(0, 0);

  int error = 0;
  if (::dup2(plan.stdinFrom, STDIN_FILENO) < 0 || ::dup2(plan.stdoutFrom, STDOUT_FILENO) < 0 ||
      ::dup2(plan.stderrIntoStdout ? STDOUT_FILENO : plan.stderrFrom, STDERR_FILENO) < 0) {
    error = errno;
  }
  if (error == 0) {
    // Our own descriptors are close-on-exec, but libraries (log appenders) and
    // whoever started us may hold some that are not; none of them belongs in
    // ffmpeg. The report pipe stays until exec closes it.
    const unsigned report = static_cast<unsigned>(plan.reportFd);
    const bool closed = (report == STDERR_FILENO + 1 || ::close_range(STDERR_FILENO + 1, report - 1, 0) == 0) &&
                        ::close_range(report + 1, ~0U, 0) == 0;
    if (!closed) {
      for (long fd = STDERR_FILENO + 1; fd < plan.maxFd; ++fd) {
        if (fd != plan.reportFd) ::close(static_cast<int>(fd));
      }
    }
    sigset_t empty;
    sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);

    // execvp's rules without its shell fallback: a file that is not a program
    // is an error (ENOEXEC), never a script for /bin/sh.
    bool sawAccessError = false;
    for (const std::string& candidate : *plan.candidates) {
      ::execve(candidate.c_str(), plan.argv, environ);
      error = errno;
      if (error == EACCES) {
        sawAccessError = true;
      } else if (error != ENOENT && error != ENOTDIR && error != ESTALE && error != ENODEV && error != ETIMEDOUT) {
        break;
      }
    }
    if (sawAccessError && (error == ENOENT || error == ENOTDIR)) error = EACCES;
  }
  while (::write(plan.reportFd, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

ReadStatus readBounded(int fd, std::string& out, std::chrono::milliseconds timeout) {
  if (fd < 0) return ReadStatus::EndOfFile;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) left = std::chrono::milliseconds(0);
    pollfd pfd{fd, POLLIN, 0};
    const int rc = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (rc < 0) {
      if (errno == EINTR) continue;
      return ReadStatus::Error;
    }
    if (rc == 0) return ReadStatus::Timeout;
    char buffer[64 * 1024];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      out.append(buffer, static_cast<size_t>(got));
      return ReadStatus::Data;
    }
    if (got == 0) return ReadStatus::EndOfFile;
    if (errno == EINTR || errno == EAGAIN) continue;
    return ReadStatus::Error;
  }
}

}  // namespace

Subprocess::~Subprocess() {
  kill();
  wait();
  closeAll();
}

Subprocess::Subprocess(Subprocess&& other) noexcept {
  std::lock_guard<std::mutex> lock(other.mutex_);
  pid_ = std::exchange(other.pid_, -1);
  exitCode_ = std::exchange(other.exitCode_, -1);
  stdinFd_ = std::exchange(other.stdinFd_, -1);
  stdoutFd_ = std::exchange(other.stdoutFd_, -1);
  stderrFd_ = std::exchange(other.stderrFd_, -1);
}

Subprocess& Subprocess::operator=(Subprocess&& other) noexcept {
  if (this == &other) return *this;
  kill();
  wait();
  closeAll();
  std::scoped_lock lock(mutex_, other.mutex_);
  pid_ = std::exchange(other.pid_, -1);
  exitCode_ = std::exchange(other.exitCode_, -1);
  stdinFd_ = std::exchange(other.stdinFd_, -1);
  stdoutFd_ = std::exchange(other.stdoutFd_, -1);
  stderrFd_ = std::exchange(other.stderrFd_, -1);
  return *this;
}

void Subprocess::closeAll() {
  closeFd(stdinFd_);
  closeFd(stdoutFd_);
  closeFd(stderrFd_);
}

bool Subprocess::start(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error) {
  error.clear();
  if (argv.empty() || argv[0].empty()) {
    error = errorText(ENOENT);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pid_ > 0) {
      error = "a child process is already running";
      return false;
    }
  }
  closeAll();
  exitCode_ = -1;

  // Parent ends of the pipes are close-on-exec from birth, so no other child
  // started concurrently (by another thread) inherits them.
  int inPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  auto closePipes = [&] {
    for (int* p : {inPipe, outPipe, errPipe}) {
      closeFd(p[0]);
      closeFd(p[1]);
    }
  };
  const bool wantOut = options.stdoutMode == ChildOutput::Pipe;
  const bool wantErr = options.stderrMode == ChildOutput::Pipe;
  if ((options.pipeStdin && ::pipe2(inPipe, O_CLOEXEC) != 0) || (wantOut && ::pipe2(outPipe, O_CLOEXEC) != 0) ||
      (wantErr && ::pipe2(errPipe, O_CLOEXEC) != 0)) {
    error = errorText(errno);
    closePipes();
    return false;
  }

  // Sources for the child's standard handles: the pipes, or /dev/null rather
  // than a closed handle (a child that opens a file must never get descriptor
  // 0, 1 or 2 by accident).
  int devNull = -1;
  int report[2] = {-1, -1};
  auto closeSetup = [&] {
    closePipes();
    closeFd(devNull);
    closeFd(report[0]);
    closeFd(report[1]);
  };
  if (!options.pipeStdin || !wantOut || options.stderrMode == ChildOutput::Null) {
    devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0) {
      error = errorText(errno);
      closeSetup();
      return false;
    }
  }
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = errorText(errno);
    closeSetup();
    return false;
  }
  for (int* fd : {&inPipe[0], &outPipe[1], &errPipe[1], &devNull, &report[1]}) {
    if (!liftAboveStandardHandles(*fd)) {
      error = errorText(errno);
      closeSetup();
      return false;
    }
  }

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const std::vector<std::string> candidates = programCandidates(argv[0]);

  ChildPlan plan;
  plan.parent = ::getpid();
  plan.stdinFrom = options.pipeStdin ? inPipe[0] : devNull;
  plan.stdoutFrom = wantOut ? outPipe[1] : devNull;
  plan.stderrIntoStdout = options.stderrMode == ChildOutput::IntoStdout;
  plan.ownProcessGroup = options.ownProcessGroup;
  plan.stderrFrom = wantErr ? errPipe[1] : devNull;
  plan.reportFd = report[1];
  plan.argv = args.data();
  plan.candidates = &candidates;
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
    plan.maxFd = static_cast<long>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
  }

  // All signals stay blocked across the fork, so that no handler of ours runs
  // in the child before it has reset its dispositions.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t child = ::fork();
  if (child == 0) runChild(plan);
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  // The child holds its own copies of these ends now.
  closeFd(inPipe[0]);
  closeFd(outPipe[1]);
  closeFd(errPipe[1]);
  closeFd(devNull);
  closeFd(report[1]);
  if (child < 0) {
    error = errorText(forkError);
    closeSetup();
    return false;
  }
  // The report pipe closes with a successful exec; otherwise it carries the
  // errno of the failure, and the child is reaped here.
  int childError = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  closeFd(report[0]);
  if (got > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    error = errorText(childError != 0 ? childError : ECHILD);
    closeSetup();
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pid_ = child;
  }
  stdinFd_ = inPipe[1];
  stdoutFd_ = outPipe[0];
  stderrFd_ = errPipe[0];
  return true;
}

bool Subprocess::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ <= 0) return false;
  // Look without reaping: the owner reaps through wait/tryWait.
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return false;
  return info.si_pid == 0;
}

pid_t Subprocess::pid() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return pid_;
}

ReadStatus Subprocess::readSome(std::string& out, std::chrono::milliseconds timeout) {
  return readBounded(stdoutFd_, out, timeout);
}

ReadStatus Subprocess::readSomeStderr(std::string& out, std::chrono::milliseconds timeout) {
  return readBounded(stderrFd_, out, timeout);
}

bool Subprocess::writeStdin(std::string_view data) {
  if (stdinFd_ < 0) return false;
  while (!data.empty()) {
    const ssize_t put = ::write(stdinFd_, data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

void Subprocess::closeStdin() { closeFd(stdinFd_); }

void Subprocess::kill() {
  // Under the mutex, and reaping happens under it too, so the pid signalled is
  // never one the system has already recycled.
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

int Subprocess::wait() {
  pid_t child;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pid_ <= 0) return exitCode_;
    child = pid_;
  }
  // Block without the mutex (so kill stays callable) and without reaping; the
  // reap itself happens under the mutex below.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ != child) return exitCode_;  // reaped meanwhile by a concurrent call
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(child, &status, 0);
  } while (got < 0 && errno == EINTR);
  exitCode_ = got == child ? decodeStatus(status) : -1;
  pid_ = -1;
  return exitCode_;
}

std::optional<int> Subprocess::tryWait() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ <= 0) return exitCode_;
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &status, WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return std::nullopt;
  exitCode_ = got == pid_ ? decodeStatus(status) : -1;
  pid_ = -1;
  return exitCode_;
}

std::optional<int> Subprocess::waitFor(std::chrono::milliseconds timeout) {
  if (std::optional<int> code = tryWait()) return code;
  pid_t pid = -1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pid = pid_;
  }
  // The child is ours and not reaped yet (only its owner reaps).
  waitOnPidfd(openChildPidfd(pid), timeout);
  return tryWait();
}

int openChildPidfd(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

void waitOnPidfd(int pidfd, std::chrono::milliseconds timeout) {
  if (pidfd < 0) {
    // A kernel without pidfds: a short bounded pause instead.
    std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(5)));
    return;
  }
  pollfd entry{pidfd, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  ::close(pidfd);
}

// ---------------------------------------------------------------------------
// ChildGroup

void ChildGroup::cancel() {
  std::lock_guard lock(mutex_);
  cancelled_ = true;
  for (Subprocess* child : running_) child->kill();
}

bool ChildGroup::cancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

bool ChildGroup::join(Subprocess& child) {
  std::lock_guard lock(mutex_);
  if (cancelled_) {
    // Cancelled between the caller's start and here: it never runs on.
    child.kill();
    return false;
  }
  running_.push_back(&child);
  return true;
}

void ChildGroup::leave(Subprocess& child) {
  std::lock_guard lock(mutex_);
  std::erase(running_, &child);
}

// ---------------------------------------------------------------------------
// runAndCapture

namespace {

// Keeps a child in its group while the run owns it. A cancel may come after
// the run has reaped it: Subprocess::kill never signals a reaped pid.
class GroupMembership {
 public:
  GroupMembership(ChildGroup* group, Subprocess& child) : group_(group), child_(child) {
    if (group_ != nullptr && !group_->join(child_)) refused_ = true;
  }
  ~GroupMembership() {
    if (group_ != nullptr && !refused_) group_->leave(child_);
  }
  GroupMembership(const GroupMembership&) = delete;
  GroupMembership& operator=(const GroupMembership&) = delete;

 private:
  ChildGroup* group_;
  Subprocess& child_;
  bool refused_ = false;
};

constexpr const char* kCancelled = "cancelled";

}  // namespace

CapturedRun runAndCapture(const std::vector<std::string>& argv, bool mergeStderr, std::chrono::milliseconds timeout,
                          ChildGroup* group) {
  CapturedRun run;
  if (group != nullptr && group->cancelled()) {
    run.error = kCancelled;
    return run;
  }
  // Declared before the membership, so the child leaves its group before it
  // is destroyed.
  Subprocess child;
  SpawnOptions options;
  options.stdoutMode = ChildOutput::Pipe;
  options.stderrMode = mergeStderr ? ChildOutput::IntoStdout : ChildOutput::Null;
  if (!child.start(argv, options, run.error)) return run;
  run.started = true;
  GroupMembership membership(group, child);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  // The time the child has left; past the deadline it is killed and the run
  // marked, and there is none.
  auto timeLeft = [&]() -> std::optional<std::chrono::milliseconds> {
    const auto now = std::chrono::steady_clock::now();
    if (now < deadline) return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    child.kill();
    run.error = "timed out";
    return std::nullopt;
  };
  while (const auto left = timeLeft()) {
    // A cancelled child's output may never end: a program it started may
    // still hold the pipe.
    if (group != nullptr && group->cancelled()) break;
    const ReadStatus status = child.readSome(run.output, std::min(*left, std::chrono::milliseconds(100)));
    if (status == ReadStatus::EndOfFile || status == ReadStatus::Error) break;
  }
  // A child normally exits right after its output ends, but one that closes
  // stdout and keeps running must not hold the caller past the deadline either.
  if (run.error.empty()) {
    while (const auto left = timeLeft()) {
      if (const std::optional<int> code = child.waitFor(std::max(*left, std::chrono::milliseconds(1)))) {
        run.exitCode = *code;
        break;
      }
    }
  }
  if (run.exitCode == -1) run.exitCode = child.wait();
  if (group != nullptr && group->cancelled() && run.exitCode == 128 + SIGKILL) run.error = kCancelled;
  return run;
}

// ---------------------------------------------------------------------------
// listProcesses

namespace {

// Plain read(2): a process that ends while its /proc files are read makes the
// read fail with ESRCH, which a file stream would turn into an exception.
bool readWhole(const std::string& path, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok;
}

std::string fileNameOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool allDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

// The state, parent and session fields of /proc/<pid>/stat. The command name
// in parentheses may hold blanks and parentheses itself, so the fields are
// read after its last ')'.
bool readStatFields(const std::string& base, ProcessEntry& item) {
  std::string stat;
  if (!readWhole(base + "/stat", stat)) return false;
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return false;
  char state = '?';
  long parent = 0;
  long group = 0;
  long session = 0;
  if (std::sscanf(stat.c_str() + close + 1, " %c %ld %ld %ld", &state, &parent, &group, &session) != 4) return false;
  item.state = state;
  item.parentPid = static_cast<pid_t>(parent);
  item.sessionId = static_cast<pid_t>(session);
  return true;
}

std::optional<ProcessEntry> readProcessAt(const std::string& base, pid_t pid) {
  std::string cmdline;
  std::string comm;
  const bool haveCmdline = readWhole(base + "/cmdline", cmdline);
  const bool haveComm = readWhole(base + "/comm", comm);
  if (!haveCmdline && !haveComm) return std::nullopt;  // gone meanwhile

  std::vector<std::string> args;
  size_t start = 0;
  while (start < cmdline.size()) {
    size_t end = cmdline.find('\0', start);
    if (end == std::string::npos) end = cmdline.size();
    args.emplace_back(cmdline, start, end - start);
    start = end + 1;
  }

  ProcessEntry item;
  item.pid = pid;
  for (size_t k = 0; k < args.size(); ++k) {
    if (k) item.commandLine.push_back(' ');
    item.commandLine += args[k];
  }
  if (!readStatFields(base, item)) return std::nullopt;

  char target[4096];
  const ssize_t len = ::readlink((base + "/exe").c_str(), target, sizeof target - 1);
  if (len > 0) {
    std::string exe(target, static_cast<size_t>(len));
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.compare(exe.size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
      exe.resize(exe.size() - kDeleted.size());
    }
    item.imageName = fileNameOf(exe);
  } else if (!args.empty() && !args[0].empty()) {
    item.imageName = fileNameOf(args[0]);
  } else {
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\0')) comm.pop_back();
    item.imageName = comm;
  }
  return item;
}

}  // namespace

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> list;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc"), &::closedir);
  if (!dir) return list;
  while (dirent* entry = ::readdir(dir.get())) {
    if (!allDigits(entry->d_name)) continue;
    const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (std::optional<ProcessEntry> item = readProcessAt(std::string("/proc/") + entry->d_name, pid)) {
      list.push_back(std::move(*item));
    }
  }
  return list;
}

std::optional<ProcessEntry> readProcess(pid_t pid) {
  if (pid <= 0) return std::nullopt;
  return readProcessAt("/proc/" + std::to_string(pid), pid);
}

void blockSigpipeInThisThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace qel
