// CRedirector: runs one console program as a child process with its standard
// input, output and error on pipes (output and error on one pipe), keeps the
// input for its owner, and reads the output on a reader thread of its own,
// handing every piece of text (at most 255 bytes, so a line may arrive in two
// pieces) to WriteStdOutput. The program is started through the common process
// layer: the command text is split with the Windows rules, never by a shell.
//
// Thread safety: Open and Close run on the owner's thread (Close is serialised
// and may also come from inside a handler on the reader thread); WriteInput may
// run on one other thread while the reader thread delivers output.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "common/subprocess.h"
#include "platform/core/critical_section.h"
#include "platform/core/thread.h"

namespace qelrec {

class CRedirector {
 public:
  CRedirector() = default;
  virtual ~CRedirector();
  CRedirector(const CRedirector&) = delete;
  CRedirector& operator=(const CRedirector&) = delete;

  // Starts the program and the reader thread; false (after one text through
  // WriteStdError, "Redirect console error: <code in hex>") when either fails.
  bool Open(const std::wstring& commandLine);

  // Ends the reader thread and the child. wait = true lets the child finish:
  // its input is closed and the call returns once it has ended, with all of its
  // output read (so it never dies of a closed pipe while writing its last
  // lines); a child that has not ended within FinishWaitMs of that is killed
  // (logged), so no stop hangs on a program that stopped working. wait =
  // false kills it.
  virtual void Close(bool wait);
  // How long Close(true) lets the child finish (default kFinishWaitMs).
  void SetFinishWaitMs(uint32_t ms) { m_dwFinishWaitMs = ms; }
  static constexpr uint32_t kFinishWaitMs = 15000;

  // Writes to the child's standard input; false when there is no child or it
  // stopped reading. The calling thread must have SIGPIPE blocked.
  bool WriteInput(const void* data, size_t size);

  // True from a successful Open until Close (the child may have ended meanwhile).
  bool HasProcess() const { return m_hasProcess.load(); }
  pid_t ProcessId() const { return m_dwProcessId; }
  bool ReaderRunning() const { return m_bRunning.load(); }
  int ExitCode() const { return m_nExitCode; }

 protected:
  virtual void WriteStdOutput(const std::wstring& text) = 0;
  virtual void WriteStdError(const std::wstring& text) = 0;

  // Starts the child with its input and output on pipes; false and the system
  // error code when it cannot be started.
  bool Launch(const std::wstring& commandLine, int& errorCode);

  uint32_t m_dwWaitTime = 100;  // poll interval of the reader in milliseconds

 private:
  void ReaderThread();
  // 1 while the child is alive, 0 when it closed its output, -1 on a read error.
  int ReadPipe(std::chrono::milliseconds timeout);
  void DeliverOutput(const std::string& bytes);
  // Reads and drops the child's output until it closes it; false when that
  // did not happen by `deadline`.
  bool DrainOutput(std::chrono::steady_clock::time_point deadline);
  // The child's exit code, killing it first when it has not ended by `deadline`.
  int ReapBy(std::chrono::steady_clock::time_point deadline);

  platform::ThreadHandle m_hThread;
  std::atomic<bool> m_stopRequested{false};
  std::atomic<platform::ThreadId> m_dwThreadId{0};
  pid_t m_dwProcessId = 0;
  platform::CriticalSection m_csClose;
  std::atomic<bool> m_bRunning{false};
  std::atomic<bool> m_hasProcess{false};
  qel::Subprocess m_child;
  int m_nExitCode = -1;
  uint32_t m_dwFinishWaitMs = kFinishWaitMs;
};

// CCmdEncoder: the redirector that runs ffmpeg for the video writer. Its output
// handler picks "size=" and "time=" out of ffmpeg's progress and reports them.
class CCmdEncoder : public CRedirector {
 public:
  // Receives (writer, bytes, milliseconds) on the reader thread.
  using ProgressCallback = void (*)(void* writer, int64_t bytes, int milliseconds);

  CCmdEncoder() = default;
  ~CCmdEncoder() override;

  // Set before Open; the reader thread reads them.
  void SetProgressTarget(void* writer, ProgressCallback callback) {
    m_pWriter = writer;
    m_pfnProgress = callback;
  }

  void WriteStdOutput(const std::wstring& text) override;
  void WriteStdError(const std::wstring& text) override;

 private:
  ProgressCallback m_pfnProgress = nullptr;
  void* m_pWriter = nullptr;
};

// "hours:minutes:seconds.hundredths" in milliseconds (00:01:02.50 is 62500).
int ParseClockTextMs(const std::wstring& text);

}  // namespace qelrec
