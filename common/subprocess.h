// The subprocess: every program the system starts (ffmpeg, ffprobe, hardware
// test commands, thumbnails) is started here by argv with fork and execve,
// never through a shell (no /bin/sh fallback either); its argv comes from
// splitCommandLine (common/command_line.h). Every descriptor the parent opens
// is close-on-exec; a child's unused standard handles are /dev/null.
//
// Children never outlive their starter: each is started with the parent-death
// signal set to SIGKILL, so it ends when the thread that started it ends, be it
// by a normal exit or by a kill of the whole process. A Subprocess must
// therefore stay with (or at least not outlive) the thread that started it.
//
// Thread safety: a Subprocess is used by one owner. `kill` and `terminate` may
// be called from another thread while the owner reads or writes (the child and
// its descriptors are guarded inside). The free functions are reentrant.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace qel {

// What a child's standard output and error are connected to.
enum class ChildOutput {
  Null,        // /dev/null
  Pipe,        // a pipe the parent reads
  IntoStdout,  // (stderr only) the same pipe as stdout
};

struct SpawnOptions {
  bool pipeStdin = false;  // else stdin is /dev/null
  ChildOutput stdoutMode = ChildOutput::Pipe;
  ChildOutput stderrMode = ChildOutput::IntoStdout;
  // The child leads a process group of its own, so the signals a terminal
  // sends to its foreground group (Control+C, a hang-up) reach only its
  // starter, which decides how the child ends.
  bool ownProcessGroup = false;
};

// Outcome of one bounded read.
enum class ReadStatus { Data, Timeout, EndOfFile, Error };

// Where a child stands for an owner that polls it.
enum class ChildState {
  NoChild,  // no child held: none started yet, or released by terminate
  Running,
  Exited,  // ended and reaped; its exit code is known
};

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
  // once the child's end is closed, when there is no such pipe, and while a
  // terminate is under way. A read in flight keeps the pipe open until it
  // returns, whatever another thread does meanwhile.
  ReadStatus readSome(std::string& out, std::chrono::milliseconds timeout);
  // Same over the stderr pipe (only with stderrMode Pipe).
  ReadStatus readSomeStderr(std::string& out, std::chrono::milliseconds timeout);

  // Writes all of `data` to the child's stdin (only with pipeStdin). False when
  // the child has closed its end, and while a terminate is under way (a write
  // in flight is a transfer terminate waits for, as a read is). SIGPIPE must be
  // ignored or blocked by the caller.
  bool writeStdin(std::string_view data);
  void closeStdin();

  // Sends SIGKILL to a running child; safe from another thread. Does not reap.
  void kill();

  // Ends the child and releases it (reaped, descriptors closed); safe from
  // another thread, also while the owner is inside a read. A child still
  // running gets `grace` to end by itself (only when no read or write is in flight:
  // then it is killed at once, which also ends the read), then SIGKILL. Reads
  // in flight are waited for; reads begun meanwhile report EndOfFile. True
  // when no child was held or it ended within `finalWait`; the child is reaped
  // either way, and poll reports NoChild from then on.
  bool terminate(std::chrono::milliseconds grace, std::chrono::milliseconds finalWait);

  // Reaps the child, blocking until it exits. Returns its exit code, or
  // 128 + signal number when a signal ended it; -1 when there was no child.
  int wait();
  // Reaps the child if it has exited; nullopt while it still runs.
  std::optional<int> tryWait();
  // Waits at most `timeout` for the child to exit (on a pidfd: no polling
  // loop) and reaps it; nullopt while it still runs. Only the owner may call
  // it, like tryWait.
  std::optional<int> waitFor(std::chrono::milliseconds timeout);

  // For an owner that polls, without blocking: Running while the child runs;
  // Exited, with `exitCode` set (as wait), once it has ended (it is reaped
  // then, and stays Exited until released); NoChild when no child is held.
  ChildState poll(int& exitCode);
  // Waits at most `timeout` for a running child to exit (on a pidfd: no
  // polling loop), then polls. NoChild at once while a terminate is under way.
  ChildState pollAfter(std::chrono::milliseconds timeout, int& exitCode);

 private:
  ReadStatus readPipe(const UniqueFd& pipe, std::string& out, std::chrono::milliseconds timeout);
  // Reaps the child if it has ended (or, with `block`, once it ends); true
  // when it is reaped now. Under mutex_.
  bool reapLocked(bool block);
  void closeAll();
  void takeFrom(Subprocess& other);

  mutable std::mutex mutex_;
  std::condition_variable readDone_;
  pid_t pid_ = -1;
  int exitCode_ = -1;
  bool held_ = false;         // started and not yet released
  bool terminating_ = false;  // terminate waits for reads; no new read may begin
  int readers_ = 0;           // reads and stdin writes in flight
  UniqueFd stdin_;
  UniqueFd stdout_;
  UniqueFd stderr_;
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
  bool started = false;  // false: `error` says why
  std::string error;
  int exitCode = -1;   // as Subprocess::wait
  std::string output;  // stdout (with stderr when merged)
};

// Runs argv to its end with stdin on /dev/null and captures stdout (and stderr
// when `mergeStderr`). A child still running after `timeout` is killed. With a
// `group`, the child runs through it: a cancelled group kills it (exit code
// 128 + SIGKILL, `error` "cancelled"), and a group cancelled before the start
// starts nothing (`started` false, `error` "cancelled").
CapturedRun runAndCapture(const std::vector<std::string>& argv, bool mergeStderr,
                          std::chrono::milliseconds timeout = std::chrono::minutes(10), ChildGroup* group = nullptr);

// Blocks SIGPIPE in the calling thread (for library threads that write to pipes).
void blockSigpipeInThisThread();

}  // namespace qel
