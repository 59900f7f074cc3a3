#include "qelrecorder/redirector.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <regex>
#include <system_error>

#include "common/command_line.h"
#include "common/text_convert.h"
#include "qelrecorder/recorder_log.h"

namespace qelrec {

namespace {

constexpr size_t kPieceBytes = 255;

// The process layer reports why a start failed as the system's error text; the
// error line wants the code, which is the errno whose text that is.
int errnoFromText(const std::string& text) {
  for (int code = 1; code < 256; ++code) {
    if (std::generic_category().message(code) == text) return code;
  }
  return 0;
}

}  // namespace

CRedirector::~CRedirector() = default;

bool CRedirector::Launch(const std::wstring& commandLine, int& errorCode) {
  const std::vector<std::string> argv = qel::splitCommandLine(qel::wideToUtf8(commandLine));
  qel::SpawnOptions options;
  options.pipeStdin = true;
  options.stdoutMode = qel::ChildOutput::Pipe;
  options.stderrMode = qel::ChildOutput::IntoStdout;
  // A Control+C in the recorder's terminal is the recorder's to handle: it
  // stops the recording and closes ffmpeg's input, and ffmpeg, not signalled
  // itself, finishes the file.
  options.ownProcessGroup = true;
  std::string error;
  if (!m_child.start(argv, options, error)) {
    errorCode = errnoFromText(error);
    if (errorCode == 0) errorCode = ENOENT;
    return false;
  }
  m_dwProcessId = m_child.pid();
  return true;
}

bool CRedirector::Open(const std::wstring& commandLine) {
  int errorCode = 0;
  bool ok = Launch(commandLine, errorCode);
  if (ok) {
    m_hasProcess = true;
    m_stopRequested = false;
    if (!platform::BeginThread(m_hThread, &m_dwThreadId, [this] { ReaderThread(); })) {
      errorCode = EAGAIN;
      ok = false;
    }
  }
  if (!ok) {
    WriteStdError(FormatW(L"Redirect console error: %x\r\n", errorCode));
    Close(false);
    return false;
  }
  return true;
}

void CRedirector::ReaderThread() {
  m_bRunning = true;
  while (ReadPipe(std::chrono::milliseconds(m_dwWaitTime)) > 0) {
  }
  m_bRunning = false;
}

int CRedirector::ReadPipe(std::chrono::milliseconds timeout) {
  std::string bytes;
  switch (m_child.readSome(bytes, timeout)) {
    case qel::ReadStatus::Data: DeliverOutput(bytes); return m_stopRequested ? 0 : 1;
    case qel::ReadStatus::Timeout: return m_stopRequested ? 0 : 1;
    case qel::ReadStatus::EndOfFile: return 0;  // the child closed its output
    case qel::ReadStatus::Error: break;
  }
  WriteStdError(L"Read stdout pipe error\r\n");
  return -1;
}

void CRedirector::DeliverOutput(const std::string& bytes) {
  for (size_t at = 0; at < bytes.size(); at += kPieceBytes) {
    WriteStdOutput(qel::utf8ToWide(bytes.substr(at, kPieceBytes)));
  }
}

bool CRedirector::DrainOutput(std::chrono::steady_clock::time_point deadline) {
  std::string discard;
  while (std::chrono::steady_clock::now() < deadline) {
    discard.clear();
    const qel::ReadStatus status = m_child.readSome(discard, std::chrono::milliseconds(m_dwWaitTime));
    if (status == qel::ReadStatus::EndOfFile || status == qel::ReadStatus::Error) return true;
  }
  return false;
}

int CRedirector::ReapBy(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (const std::optional<int> code = m_child.waitFor(std::max(left, std::chrono::milliseconds(0)))) return *code;
  m_child.kill();
  return m_child.wait();
}

void CRedirector::Close(bool wait) {
  std::lock_guard<platform::CriticalSection> lock(m_csClose);
  const bool onReader = m_hThread.Valid() && m_dwThreadId.load() == platform::CurrentThreadId();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_dwFinishWaitMs);
  bool finished = true;
  if (wait) {
    // The child sees the end of its input and finishes. Its last lines are
    // still read (by the reader thread, or here), so it is never killed by a
    // closed pipe in the middle of writing its file.
    m_child.closeStdin();
    if (m_hThread.Valid() && !onReader) {
      finished = m_hThread.Wait(m_dwFinishWaitMs) == platform::WaitResult::Signaled;
    } else {
      finished = DrainOutput(deadline);
    }
  }
  if (!wait || !finished) {
    if (!finished) {
      LogWarnA("CRedirector::Close", "Program %d did not end within %u ms of the end of its input; it is ended.",
               static_cast<int>(m_dwProcessId), m_dwFinishWaitMs);
    }
    m_stopRequested = true;
    m_child.kill();
    // The reader notices the stop (or the end of the output) within one poll.
    if (m_hThread.Valid() && !onReader) m_hThread.Wait();
  }
  m_hThread.Close();
  if (m_hasProcess.exchange(false)) m_nExitCode = wait && finished ? ReapBy(deadline) : m_child.wait();
  m_dwThreadId = 0;
}

bool CRedirector::WriteInput(const void* data, size_t size) {
  if (!m_hasProcess.load()) return false;
  return m_child.writeStdin(std::string_view(static_cast<const char*>(data), size));
}

// ---------------------------------------------------------------------------

CCmdEncoder::~CCmdEncoder() {
  // The reader thread calls this object's handlers, so it must end while the
  // object is whole; an encoder still running finishes its file first.
  if (HasProcess() || ReaderRunning()) Close(true);
}

void CCmdEncoder::WriteStdOutput(const std::wstring& text) {
  static const std::wregex progress(LR"(\s*size=\s*(\d+)kB\s*time=\s*(\d+:\d+:\d+.\d+)\s*)",
                                    std::regex_constants::ECMAScript);
  std::wsmatch match;
  // Pieces are at most 255 bytes, far below what the recursive matcher copes with.
  if (!std::regex_search(text, match, progress)) return;
  if (m_pWriter == nullptr || m_pfnProgress == nullptr) return;
  const std::string digits = qel::wideToUtf8(match[1].str());
  int64_t kilobytes = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), kilobytes);
  if (ec != std::errc() || kilobytes > INT64_MAX / 1024) return;
  m_pfnProgress(m_pWriter, kilobytes * 1024, ParseClockTextMs(match[2].str()));
}

void CCmdEncoder::WriteStdError(const std::wstring& text) {
  LogInfoW("CCmdEncoder::WriteStdError", L"output %s\n.", text);
}

int ParseClockTextMs(const std::wstring& text) {
  // Each field is the number before its separator; anything else counts 0.
  const auto field = [&](size_t from, size_t to) {
    int64_t value = 0;
    for (size_t i = from; i < to && i < text.size(); ++i) {
      if (text[i] < L'0' || text[i] > L'9') break;
      value = value * 10 + (text[i] - L'0');
      if (value > 100000000) break;
    }
    return value;
  };
  const size_t c1 = text.find(L':');
  const size_t c2 = c1 == std::wstring::npos ? std::wstring::npos : text.find(L':', c1 + 1);
  const size_t dot = c2 == std::wstring::npos ? std::wstring::npos : text.find(L'.', c2 + 1);
  if (dot == std::wstring::npos) return 0;
  const int64_t ms =
      field(0, c1) * 3600000 + field(c1 + 1, c2) * 60000 + field(c2 + 1, dot) * 1000 + field(dot + 1, text.size()) * 10;
  return ms > INT32_MAX ? INT32_MAX : static_cast<int>(ms);
}

}  // namespace qelrec
