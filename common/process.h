// The one process layer of the system. Every program the system starts
// (ffmpeg, ffprobe, hardware test commands, thumbnails) goes through here:
// command texts are split with the Windows C-runtime rules and the program is
// started by argv with fork and execve, never through a shell (no /bin/sh
// fallback either). Every descriptor the parent opens is close-on-exec; a
// child's unused standard handles are /dev/null.
//
// Children never outlive their starter: each is started with the parent-death
// signal set to SIGKILL, so it ends when the thread that started it ends, be it
// by a normal exit or by a kill of the whole process. A Subprocess must
// therefore stay with (or at least not outlive) the thread that started it.
//
// Thread safety: a Subprocess is used by one owner; `kill` may be called from
// another thread while the owner reads (the pid is guarded inside). The free
// functions are reentrant.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qel {

// Splits a command text into arguments with the Windows C-runtime rules: blanks
// and tabs separate; double quotes group and are dropped; 2n backslashes before a
// quote give n backslashes and a quote delimiter, 2n+1 give n backslashes and a
// literal quote; other backslashes are literal; single quotes are ordinary.
std::vector<std::string> splitCommandLine(std::string_view text);

// The double-quoted runs of a command text as splitCommandLine reads them: each
// from its opening quote to just past the quote that closes it (the end of the
// text when none does). Text inside a run is part of one argument, whatever it
// looks like: an option spelled inside a quoted path is no option.
struct QuotedRun {
  size_t begin = 0;
  size_t end = 0;
};
std::vector<QuotedRun> quotedRunsOfCommandLine(std::string_view text);

// What a child's standard output and error are connected to.
enum class ChildOutput {
  Null,          // /dev/null
  Pipe,          // a pipe the parent reads
  IntoStdout,    // (stderr only) the same pipe as stdout
};

struct SpawnOptions {
  bool pipeStdin = false;                 // else stdin is /dev/null
  ChildOutput stdoutMode = ChildOutput::Pipe;
  ChildOutput stderrMode = ChildOutput::IntoStdout;
  // The child leads a process group of its own, so the signals a terminal
  // sends to its foreground group (Control+C, a hang-up) reach only its
  // starter, which decides how the child ends.
  bool ownProcessGroup = false;
};

// Outcome of one bounded read.
enum class ReadStatus { Data, Timeout, EndOfFile, Error };

// One child process, owned: started, read, stopped and reaped by its owner. The
// destructor kills (SIGKILL) and reaps a child that is still running.
class Subprocess {
 public:
  Subprocess() = default;
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;
  Subprocess(Subprocess&& other) noexcept;
  Subprocess& operator=(Subprocess&& other) noexcept;

  // Starts argv[0] (a path; a bare name is looked up in PATH) with the given
  // arguments. Returns false and fills `error` (strerror text) when the program
  // could not be started (missing, not executable, not a program); the object
  // then holds no child. The child gets only its three standard handles (every
  // other descriptor is closed in it), default dispositions for the signals a
  // daemon ignores or blocks, an empty signal mask, and SIGKILL as its
  // parent-death signal.
  bool start(const std::vector<std::string>& argv, const SpawnOptions& options, std::string& error);

  bool running() const;
  pid_t pid() const;

  // Waits at most `timeout` for output on the child's stdout pipe and appends
  // what is available (at most one read of up to 64 KiB) to `out`. EndOfFile
  // once the child's end is closed, or when there is no such pipe.
  ReadStatus readSome(std::string& out, std::chrono::milliseconds timeout);
  // Same over the stderr pipe (only with stderrMode Pipe).
  ReadStatus readSomeStderr(std::string& out, std::chrono::milliseconds timeout);

  // Writes all of `data` to the child's stdin (only with pipeStdin). False when
  // the child has closed its end. SIGPIPE must be ignored or blocked by the caller.
  bool writeStdin(std::string_view data);
  void closeStdin();

  // Sends SIGKILL to a running child; safe from another thread. Does not reap.
  void kill();

  // Reaps the child, blocking until it exits. Returns its exit code, or
  // 128 + signal number when a signal ended it; -1 when there was no child.
  int wait();
  // Reaps the child if it has exited; nullopt while it still runs.
  std::optional<int> tryWait();
  // Waits at most `timeout` for the child to exit (on a pidfd: no polling
  // loop) and reaps it; nullopt while it still runs. Only the owner may call
  // it, like tryWait.
  std::optional<int> waitFor(std::chrono::milliseconds timeout);

 private:
  void closeAll();

  mutable std::mutex mutex_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
  int stdinFd_ = -1;
  int stdoutFd_ = -1;
  int stderrFd_ = -1;
};

// Children that one owner can end together from another thread. The engine
// runs the programs of its calls (probes, the hardware test) through one
// group, so that a shutdown need not wait for a slow or wedged program: it
// cancels the group, which kills every child running through it and refuses
// to start new ones from then on.
//
// Thread safety: every member may be called from any thread.
class ChildGroup {
 public:
  ChildGroup() = default;
  ChildGroup(const ChildGroup&) = delete;
  ChildGroup& operator=(const ChildGroup&) = delete;

  // Kills (SIGKILL) every child now running through the group; children that
  // would start later are refused. Their runs report the kill or the refusal
  // to their callers, who reap as always. Cannot be undone.
  void cancel();
  bool cancelled() const;

  // For the runners of the process layer: a started child joins the group
  // (false, and the child is killed at once, when the group is cancelled) and
  // leaves it before its owner reaps it.
  bool join(Subprocess& child);
  void leave(Subprocess& child);

 private:
  mutable std::mutex mutex_;
  bool cancelled_ = false;
  std::vector<Subprocess*> running_;
};

// Result of running a program to its end and capturing its output.
struct CapturedRun {
  bool started = false;   // false: `error` says why
  std::string error;
  int exitCode = -1;      // as Subprocess::wait
  std::string output;     // stdout (with stderr when merged)
};

// Runs argv to its end with stdin on /dev/null and captures stdout (and stderr
// when `mergeStderr`). A child still running after `timeout` is killed. With a
// `group`, the child runs through it: a cancelled group kills it (exit code
// 128 + SIGKILL, `error` "cancelled"), and a group cancelled before the start
// starts nothing (`started` false, `error` "cancelled").
CapturedRun runAndCapture(const std::vector<std::string>& argv, bool mergeStderr,
                          std::chrono::milliseconds timeout = std::chrono::minutes(10),
                          ChildGroup* group = nullptr);

// One running process as /proc shows it.
struct ProcessEntry {
  pid_t pid = 0;
  std::string imageName;    // file name of the executable (comm, or argv[0]'s name)
  std::string commandLine;  // arguments joined by single blanks
  pid_t parentPid = 0;      // 0 when the parent lies outside this pid namespace
  pid_t sessionId = 0;
  char state = '?';         // 'R', 'S', 'Z'... as /proc/<pid>/stat gives it
};

// Lists the running processes from /proc. Processes that vanish while being read
// are skipped.
std::vector<ProcessEntry> listProcesses();
// The one process `pid`, nullopt when there is none (or it vanished meanwhile).
std::optional<ProcessEntry> readProcess(pid_t pid);

// Blocks SIGPIPE in the calling thread (for library threads that write to pipes).
void blockSigpipeInThisThread();

// Opens a pidfd on `pid`, -1 where the kernel has none. Only meaningful for a
// child that is not reaped yet: then the pid cannot have been reused.
int openChildPidfd(pid_t pid);
// Waits at most `timeout` for the process behind `pidfd` to exit and closes the
// pidfd; reaps nothing. Without a pidfd (-1) it pauses briefly instead.
void waitOnPidfd(int pidfd, std::chrono::milliseconds timeout);

}  // namespace qel
