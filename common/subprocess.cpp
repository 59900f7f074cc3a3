#include "common/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace qel {

// ---------------------------------------------------------------------------
// Subprocess

namespace {

std::string errorText(int code) { return std::error_code(code, std::generic_category()).message(); }

// How often terminate looks whether the child has ended.
constexpr std::chrono::milliseconds kReapStep{2};

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
bool liftAboveStandardHandles(UniqueFd& fd) {
  if (fd.get() < 0 || fd.get() > STDERR_FILENO) return true;
  const int lifted = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (lifted < 0) return false;
  fd.reset(lifted);
  return true;
}

// A pipe whose two ends are close-on-exec from birth, so that no child started
// concurrently (by another thread) inherits them.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
  int ends[2] = {-1, -1};
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  readEnd.reset(ends[0]);
  writeEnd.reset(ends[1]);
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
    std::string_view folder =
        folders.substr(start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
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
  int stdinFrom = -1;  // dup2 sources for 0, 1, 2 (-1 for 2: same as 1)
  int stdoutFrom = -1;
  int stderrFrom = -1;
  bool stderrIntoStdout = false;
  bool ownProcessGroup = false;
  int reportFd = -1;  // write end of the exec-failure pipe (close-on-exec)
  long maxFd = 1024;  // fallback bound for closing descriptors one by one
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

UniqueFd openChildPidfd(pid_t pid) { return UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))); }

// Waits at most `timeout` for the process behind `pidfd` to exit; reaps
// nothing. Without a pidfd it pauses briefly instead.
void waitOnPidfd(const UniqueFd& pidfd, std::chrono::milliseconds timeout) {
  if (!pidfd) {
    // A kernel without pidfds: a short bounded pause instead.
    std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(5)));
    return;
  }
  pollfd entry{pidfd.get(), POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
}

}  // namespace

Subprocess::~Subprocess() {
  kill();
  wait();
  closeAll();
}

void Subprocess::takeFrom(Subprocess& other) {
  pid_ = std::exchange(other.pid_, -1);
  exitCode_ = std::exchange(other.exitCode_, -1);
  held_ = std::exchange(other.held_, false);
  stdin_ = std::move(other.stdin_);
  stdout_ = std::move(other.stdout_);
  stderr_ = std::move(other.stderr_);
}

Subprocess::Subprocess(Subprocess&& other) noexcept {
  std::lock_guard<std::mutex> lock(other.mutex_);
  takeFrom(other);
}

Subprocess& Subprocess::operator=(Subprocess&& other) noexcept {
  if (this == &other) return *this;
  kill();
  wait();
  closeAll();
  std::scoped_lock lock(mutex_, other.mutex_);
  takeFrom(other);
  return *this;
}

void Subprocess::closeAll() {
  stdin_.reset();
  stdout_.reset();
  stderr_.reset();
}

bool Subprocess::start(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error) {
  error.clear();
  if (argv.empty() || argv[0].empty()) {
    error = errorText(ENOENT);
    return false;
  }
  // Held throughout: a terminate from another thread comes before the start
  // or after it, never halfway through.
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ > 0) {
    error = "a child process is already running";
    return false;
  }
  closeAll();
  held_ = false;
  exitCode_ = -1;

  // Ends that stay open on return are the parent's; the child's are closed
  // right after the fork, and everything on a failure.
  UniqueFd inRead, inWrite, outRead, outWrite, errRead, errWrite;
  const bool wantOut = options.stdoutMode == ChildOutput::Pipe;
  const bool wantErr = options.stderrMode == ChildOutput::Pipe;
  if ((options.pipeStdin && !makePipe(inRead, inWrite)) || (wantOut && !makePipe(outRead, outWrite)) ||
      (wantErr && !makePipe(errRead, errWrite))) {
    error = errorText(errno);
    return false;
  }

  // Sources for the child's standard handles: the pipes, or /dev/null rather
  // than a closed handle (a child that opens a file must never get descriptor
  // 0, 1 or 2 by accident).
  UniqueFd devNull;
  UniqueFd reportRead, reportWrite;
  if (!options.pipeStdin || !wantOut || options.stderrMode == ChildOutput::Null) {
    devNull.reset(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull) {
      error = errorText(errno);
      return false;
    }
  }
  if (!makePipe(reportRead, reportWrite)) {
    error = errorText(errno);
    return false;
  }
  for (UniqueFd* fd : {&inRead, &outWrite, &errWrite, &devNull, &reportWrite}) {
    if (!liftAboveStandardHandles(*fd)) {
      error = errorText(errno);
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
  plan.stdinFrom = options.pipeStdin ? inRead.get() : devNull.get();
  plan.stdoutFrom = wantOut ? outWrite.get() : devNull.get();
  plan.stderrIntoStdout = options.stderrMode == ChildOutput::IntoStdout;
  plan.ownProcessGroup = options.ownProcessGroup;
  plan.stderrFrom = wantErr ? errWrite.get() : devNull.get();
  plan.reportFd = reportWrite.get();
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

  // The child holds its own copies of these ends now; the report pipe's write
  // end must be gone here before its read can see the end.
  inRead.reset();
  outWrite.reset();
  errWrite.reset();
  devNull.reset();
  reportWrite.reset();
  if (child < 0) {
    error = errorText(forkError);
    return false;
  }
  // The report pipe closes with a successful exec; otherwise it carries the
  // errno of the failure, and the child is reaped here.
  int childError = 0;
  ssize_t got;
  do {
    got = ::read(reportRead.get(), &childError, sizeof childError);
  } while (got < 0 && errno == EINTR);
  reportRead.reset();
  if (got > 0) {
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    error = errorText(childError != 0 ? childError : ECHILD);
    return false;
  }
  pid_ = child;
  held_ = true;
  stdin_ = std::move(inWrite);
  stdout_ = std::move(outRead);
  stderr_ = std::move(errRead);
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

ReadStatus Subprocess::readPipe(const UniqueFd& pipe, std::string& out, std::chrono::milliseconds timeout) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminating_ || !pipe) return ReadStatus::EndOfFile;
    ++readers_;
  }
  // The read runs without the mutex so that terminate is never held up by it;
  // terminate in turn closes the descriptors only once readers_ is back to 0.
  const ReadStatus status = readBounded(pipe.get(), out, timeout);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --readers_;
  }
  readDone_.notify_all();
  return status;
}

ReadStatus Subprocess::readSome(std::string& out, std::chrono::milliseconds timeout) {
  return readPipe(stdout_, out, timeout);
}

ReadStatus Subprocess::readSomeStderr(std::string& out, std::chrono::milliseconds timeout) {
  return readPipe(stderr_, out, timeout);
}

bool Subprocess::writeStdin(std::string_view data) {
  // Counted as a transfer in flight, like a read: a terminate from another
  // thread then kills the child at once (which ends a blocked write with
  // EPIPE) and closes the pipe only after the write has returned.
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (terminating_ || !stdin_) return false;
    ++readers_;
  }
  bool written = true;
  while (!data.empty()) {
    const ssize_t put = ::write(stdin_.get(), data.data(), data.size());
    if (put < 0) {
      if (errno == EINTR) continue;
      written = false;
      break;
    }
    data.remove_prefix(static_cast<size_t>(put));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --readers_;
  }
  readDone_.notify_all();
  return written;
}

void Subprocess::closeStdin() {
  std::lock_guard<std::mutex> lock(mutex_);
  stdin_.reset();
}

void Subprocess::kill() {
  // Under the mutex, and reaping happens under it too, so the pid signalled is
  // never one the system has already recycled.
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

bool Subprocess::terminate(std::chrono::milliseconds grace, std::chrono::milliseconds finalWait) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!held_) return true;
  terminating_ = true;
  if (pid_ > 0) {
    // A reap is only safe with no read in flight; while one is, the child is
    // killed at once, which also ends the read promptly.
    if (readers_ == 0) {
      const auto graceEnd = Clock::now() + grace;
      while (!reapLocked(false) && Clock::now() < graceEnd) std::this_thread::sleep_for(kReapStep);
    }
    if (pid_ > 0) ::kill(pid_, SIGKILL);
  }
  readDone_.wait(lock, [this] { return readers_ == 0; });
  // A concurrent terminate (an abort racing the owner's own stop) may have
  // finished the job while this one waited.
  if (!held_) return true;

  bool ended = pid_ <= 0;
  const auto deadline = Clock::now() + finalWait;
  while (!ended) {
    if (reapLocked(false)) {
      ended = true;
    } else if (Clock::now() >= deadline) {
      break;
    } else {
      std::this_thread::sleep_for(kReapStep);
    }
  }
  // A child that outlived the final wait is still reaped: it must not stay a
  // zombie.
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    reapLocked(true);
  }
  closeAll();
  held_ = false;
  terminating_ = false;
  return ended;
}

bool Subprocess::reapLocked(bool block) {
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (got < 0 && errno == EINTR);
  if (got == 0) return false;
  exitCode_ = got == pid_ ? decodeStatus(status) : -1;
  pid_ = -1;
  return true;
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
  reapLocked(true);
  return exitCode_;
}

std::optional<int> Subprocess::tryWait() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pid_ <= 0) return exitCode_;
  if (!reapLocked(false)) return std::nullopt;
  return exitCode_;
}

std::optional<int> Subprocess::waitFor(std::chrono::milliseconds timeout) {
  UniqueFd pidfd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pid_ <= 0 || reapLocked(false)) return exitCode_;
    // Opened before anyone can reap the child: the pidfd is this very child
    // even if it is reaped while we wait.
    pidfd = openChildPidfd(pid_);
  }
  waitOnPidfd(pidfd, timeout);
  return tryWait();
}

ChildState Subprocess::poll(int& exitCode) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!held_) return ChildState::NoChild;
  if (pid_ > 0 && !reapLocked(false)) return ChildState::Running;
  exitCode = exitCode_;
  return ChildState::Exited;
}

ChildState Subprocess::pollAfter(std::chrono::milliseconds timeout, int& exitCode) {
  UniqueFd pidfd;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!held_ || terminating_) return ChildState::NoChild;
    if (pid_ <= 0) {
      exitCode = exitCode_;
      return ChildState::Exited;
    }
    pidfd = openChildPidfd(pid_);
  }
  waitOnPidfd(pidfd, timeout);
  return poll(exitCode);
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

void blockSigpipeInThisThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace qel
