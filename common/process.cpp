#include "common/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <algorithm>
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

// Owns the spawn attribute and file-action objects for one posix_spawn call.
class SpawnSetup {
 public:
  SpawnSetup() {
    actionsOk_ = posix_spawn_file_actions_init(&actions_) == 0;
    attrOk_ = posix_spawnattr_init(&attr_) == 0;
  }
  ~SpawnSetup() {
    if (actionsOk_) posix_spawn_file_actions_destroy(&actions_);
    if (attrOk_) posix_spawnattr_destroy(&attr_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  bool ok() const { return actionsOk_ && attrOk_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attr() { return &attr_; }

 private:
  posix_spawn_file_actions_t actions_{};
  posix_spawnattr_t attr_{};
  bool actionsOk_ = false;
  bool attrOk_ = false;
};

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

  SpawnSetup setup;
  if (!setup.ok()) {
    error = errorText(ENOMEM);
    closePipes();
    return false;
  }
  posix_spawn_file_actions_t* fa = setup.actions();
  int rc = 0;
  auto add = [&rc](int result) {
    if (rc == 0) rc = result;
  };
  // Unused standard handles go to /dev/null rather than staying closed: a
  // child that opens a file must never get descriptor 0, 1 or 2 by accident.
  if (options.pipeStdin) {
    add(posix_spawn_file_actions_adddup2(fa, inPipe[0], STDIN_FILENO));
  } else {
    add(posix_spawn_file_actions_addopen(fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
  }
  if (wantOut) {
    add(posix_spawn_file_actions_adddup2(fa, outPipe[1], STDOUT_FILENO));
  } else {
    add(posix_spawn_file_actions_addopen(fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0));
  }
  if (options.stderrMode == ChildOutput::IntoStdout) {
    add(posix_spawn_file_actions_adddup2(fa, STDOUT_FILENO, STDERR_FILENO));
  } else if (wantErr) {
    add(posix_spawn_file_actions_adddup2(fa, errPipe[1], STDERR_FILENO));
  } else {
    add(posix_spawn_file_actions_addopen(fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0));
  }
  // Our own descriptors are close-on-exec, but libraries (log appenders) and
  // whoever started us may hold some that are not; none of them belongs in ffmpeg.
  add(posix_spawn_file_actions_addclosefrom_np(fa, STDERR_FILENO + 1));

  // The child starts with default signal dispositions and an empty mask: an
  // executable ignores SIGPIPE and library threads block it, and neither may
  // leak into ffmpeg (ignored dispositions and masks survive exec).
  posix_spawnattr_t* attr = setup.attr();
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGHUP);
  sigaddset(&defaults, SIGQUIT);
  sigaddset(&defaults, SIGCHLD);
  sigset_t emptyMask;
  sigemptyset(&emptyMask);
  add(posix_spawnattr_setsigdefault(attr, &defaults));
  add(posix_spawnattr_setsigmask(attr, &emptyMask));
  add(posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
  if (rc != 0) {
    error = errorText(rc);
    closePipes();
    return false;
  }

  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t child = -1;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // glibc reports a failed exec (missing program, no permission, bad format)
    // through the return value, so no child is left to reap in that case. A bare
    // name is looked up in PATH; anything with a slash is taken as the path.
    if (argv[0].find('/') != std::string::npos) {
      rc = ::posix_spawn(&child, args[0], fa, attr, args.data(), environ);
    } else {
      rc = ::posix_spawnp(&child, args[0], fa, attr, args.data(), environ);
    }
    if (rc == 0) pid_ = child;
  }
  // The child holds its own copies of these ends now.
  closeFd(inPipe[0]);
  closeFd(outPipe[1]);
  closeFd(errPipe[1]);
  if (rc != 0) {
    error = errorText(rc);
    closePipes();
    return false;
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
  // The child is ours and not reaped yet (only its owner reaps), so its pid
  // cannot have been reused: a pidfd on it is the child itself.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) {
    pollfd entry{fd, POLLIN, 0};
    int ready;
    do {
      ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (ready < 0 && errno == EINTR);
    ::close(fd);
  } else {
    // A kernel without pidfds: a short bounded pause instead.
    std::this_thread::sleep_for(std::min(timeout, std::chrono::milliseconds(5)));
  }
  return tryWait();
}

// ---------------------------------------------------------------------------
// runAndCapture

CapturedRun runAndCapture(const std::vector<std::string>& argv, bool mergeStderr, std::chrono::milliseconds timeout) {
  CapturedRun run;
  Subprocess child;
  SpawnOptions options;
  options.stdoutMode = ChildOutput::Pipe;
  options.stderrMode = mergeStderr ? ChildOutput::IntoStdout : ChildOutput::Null;
  if (!child.start(argv, options, run.error)) return run;
  run.started = true;

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      child.kill();
      run.error = "timed out";
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    const ReadStatus status = child.readSome(run.output, std::min(left, std::chrono::milliseconds(100)));
    if (status == ReadStatus::EndOfFile || status == ReadStatus::Error) break;
  }
  // A child normally exits right after its output ends, but one that closes
  // stdout and keeps running must not hold the caller past the deadline either.
  while (run.error.empty()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      child.kill();
      run.error = "timed out";
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (const std::optional<int> code = child.waitFor(std::max(left, std::chrono::milliseconds(1)))) {
      run.exitCode = *code;
      return run;
    }
  }
  run.exitCode = child.wait();
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

}  // namespace

std::vector<ProcessEntry> listProcesses() {
  std::vector<ProcessEntry> list;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir("/proc"), &::closedir);
  if (!dir) return list;
  while (dirent* entry = ::readdir(dir.get())) {
    if (!allDigits(entry->d_name)) continue;
    const std::string base = std::string("/proc/") + entry->d_name;

    std::string cmdline;
    std::string comm;
    const bool haveCmdline = readWhole(base + "/cmdline", cmdline);
    const bool haveComm = readWhole(base + "/comm", comm);
    if (!haveCmdline && !haveComm) continue;  // gone meanwhile

    std::vector<std::string> args;
    size_t start = 0;
    while (start < cmdline.size()) {
      size_t end = cmdline.find('\0', start);
      if (end == std::string::npos) end = cmdline.size();
      args.emplace_back(cmdline, start, end - start);
      start = end + 1;
    }

    ProcessEntry item;
    item.pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    for (size_t k = 0; k < args.size(); ++k) {
      if (k) item.commandLine.push_back(' ');
      item.commandLine += args[k];
    }

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
    list.push_back(std::move(item));
  }
  return list;
}

void blockSigpipeInThisThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace qel
