#include "qelrecorder/video_stream_writer.h"

#include <chrono>
#include <cstring>

#include "common/subprocess.h"
#include "platform/core/interlocked.h"
#include "platform/core/last_error.h"
#include "qelrecorder/output_names.h"
#include "qelrecorder/recorder_log.h"
#include "qelrecorder/text16.h"

namespace qelrec {

HRESULT HResultFromWin32(uint32_t code) {
  return code == 0 ? S_OK : static_cast<HRESULT>((code & 0xFFFFu) | 0x80070000u);
}

int GetVideoBitrateKbps(int quality, const std::string& codec, int height) {
  // Rows by codec and quality; columns by the area of a 4:3 picture of the
  // region's height (the width plays no part).
  static constexpr int kX264[3][5] = {
      {2500, 3500, 6000, 10000, 20000}, {1000, 1500, 2500, 3000, 10000}, {1500, 2500, 4000, 8000, 15000}};
  static constexpr int kX265[3][5] = {
      {1200, 2000, 3000, 6000, 20000}, {800, 900, 1500, 2000, 6000}, {800, 1200, 2000, 4000, 15000}};
  const int64_t h = height;
  const int64_t area = h * (4 * h / 3);
  int column = 4;
  if (area <= 345600) {
    column = 0;
  } else if (area <= 518400) {
    column = 1;
  } else if (area <= 921600) {
    column = 2;
  } else if (area <= 2073600) {
    column = 3;
  }
  const int row = (quality == 0 || quality == 1) ? quality : 2;
  if (codec == "libx264") return kX264[row][column];
  if (codec == "libx265") return kX265[row][column];
  return 5000;
}

bool BuildEncoderCommandLine(const std::wstring& ffmpegFolder, int width, int height, int fps, const std::string& codec,
                             int bitrateKbps, const std::wstring& extraArgs, const std::wstring& outputPath,
                             std::wstring& commandLine) {
  constexpr const char* kTag = "CVideoStreamWriter::Init";
  commandLine.clear();
  const wchar_t* format = nullptr;
  if (codec == "libx264") {
    format =
        L"\"%s/ffmpeg\" -f rawvideo -pix_fmt yuv420p -video_size %dx%d -r %d -i pipe:0 -c:v %S -x264-params "
        L"\"nal-hrd=cbr:force-cfr=1\"  -b:v %dk -minrate %dk -maxrate %dk -bufsize %dk %s  -y \"%s\"";
  } else if (codec == "libx265") {
    format =
        L"\"%s/ffmpeg\" -f rawvideo -pix_fmt yuv420p -video_size %dx%d -r %d -i pipe:0 -c:v %S  -b:v %dk "
        L"-minrate %dk -maxrate %dk -bufsize %dk %s  -y \"%s\"";
  } else {
    LogErrorW(kTag, L"Codec %S is not supported; ffmpeg not started.", codec);
    return false;
  }
  // Paths sit between double quotes of the command text: one holding a quote
  // would change the arguments ffmpeg gets.
  if (ffmpegFolder.find(L'"') != std::wstring::npos || outputPath.find(L'"') != std::wstring::npos) {
    LogErrorW(kTag, L"Path with a double quote cannot be passed to ffmpeg: %s | %s", ffmpegFolder, outputPath);
    return false;
  }
  const std::wstring text = FormatW(format, ffmpegFolder, width, height, fps, codec, bitrateKbps, bitrateKbps,
                                    bitrateKbps, bitrateKbps, extraArgs, outputPath);
  if (U16UnitsOf(text) > 1023) {
    LogErrorW(kTag, L"ffmpeg command line longer than 1023 characters; ffmpeg not started: %s", text);
    return false;
  }
  commandLine = text;
  return true;
}

CVideoStreamWriter::CVideoStreamWriter(RecordConfig config, RecordingResults& results)
    : m_config(std::move(config)), m_results(results), m_pEncoder(std::make_unique<CCmdEncoder>()) {}

CVideoStreamWriter::~CVideoStreamWriter() {
  Stop();
  m_pEncoder.reset();
  for (auto& frame : m_frames) frame.reset();
}

int CVideoStreamWriter::Init(int width, int height) {
  constexpr const char* kTag = "CVideoStreamWriter::Init";
  m_nReadIndex = 0;
  platform::InterlockedExchange(m_nWriteIndex, 0);
  platform::InterlockedExchange(m_nFillCount, 0);
  for (int& repeat : m_nRepeat) repeat = 0;
  for (auto& slot : m_frames) {
    auto buffer = capture::PlanarI420Buffer::Create(width, height);
    slot = std::make_shared<capture::VideoFrame>(
        capture::VideoFrameParams().SetBuffer(buffer).SetRotation(0).SetCaptureTimeUs(0).MakeFrame());
  }

  std::wstring outputPath;
  const bool named = MakeOutputFileName(m_config, outputPath, L"h264");
  const int fps = static_cast<int>(m_config.targetFps);
  const std::string& codec = m_config.codec;
  const std::wstring& extraArgs = m_config.extraArgs;
  const std::wstring folder = m_config.ffmpegDir.empty() ? GetModuleDirectory() : m_config.ffmpegDir;
  const int bitrate = GetVideoBitrateKbps(m_config.quality, codec, height);
  LogInfoW(kTag, L"Encoding video to (%s) with params (cv:%S, profile:%s, vb:%dkbps)...", outputPath, codec, extraArgs,
           bitrate);

  bool started = false;
  if (named &&
      BuildEncoderCommandLine(folder, width, height, fps, codec, bitrate, extraArgs, outputPath, m_strCommandLine)) {
    if (!m_pEncoder) m_pEncoder = std::make_unique<CCmdEncoder>();
    m_pEncoder->SetProgressTarget(this, &CVideoStreamWriter::OnEncoderProgress);
    started = m_pEncoder->Open(m_strCommandLine);
  }
  LogInfoA(kTag, "Init successfullly.");
  m_results.SetVideoPath(outputPath);
  return started ? 0 : 1;
}

HRESULT CVideoStreamWriter::Start() {
  if (ThreadRunning()) return S_OK;
  m_bStop = false;
  m_hDataEvent = std::make_unique<platform::Event>(false, false);
  m_hSpaceEvent = std::make_unique<platform::Event>(true, true);
  // The thread is handed its handle and id before its loop tests them, so it
  // never ends at once believing it has no handle. (Priority: raising a thread
  // to real-time needs privileges here; the ring drains fast enough without.)
  if (!platform::BeginThread(m_hThread, &m_dwThreadId, [this] { ThreadBody(); })) {
    m_dwThreadId = 0;
    const uint32_t error = platform::GetLastError();
    const HRESULT hr = error != 0 ? HResultFromWin32(error) : kErrorNotEnoughResources;
    LogErrorA("CVideoStreamWriter::Start", "FAILED to create new thread 0x%x", hr);
    return hr;
  }
  return S_OK;
}

void CVideoStreamWriter::ThreadBody() {
  // A write to an ffmpeg that has gone must fail, not end the process.
  qel::blockSigpipeInThisThread();
  bool waited = false;
  bool empty = false;
  while (!m_bStop.load() && m_hThread.Valid()) {
    if (!waited || empty) {
      if (m_hDataEvent->Wait() != platform::WaitResult::Signaled) break;
      waited = true;
      empty = false;
      continue;  // looks at the stop flag again
    }
    const int slot = m_nReadIndex;
    WritePicture(slot);
    m_nReadIndex = (slot + 1) % kRingSlots;
    const int left = platform::InterlockedDecrement(m_nFillCount);
    m_hSpaceEvent->Set();
    empty = left <= 0;
  }
  platform::InterlockedExchange(m_nFillCount, 0);
  m_dwThreadId = 0;
  // A producer waiting for space must not wait for a writer that has gone.
  m_hSpaceEvent->Set();
}

void CVideoStreamWriter::WritePicture(int slot) {
  const int repeat = m_nRepeat[slot];
  if (!m_frames[slot] || repeat <= 0) return;
  capture::RefPtr<capture::PlanarI420Buffer> buffer = m_frames[slot]->GetBuffer();
  if (!buffer) return;
  const int w = buffer->width();
  const int h = buffer->height();
  const size_t ySize = static_cast<size_t>(w) * h;
  const size_t cSize = ySize / 4;
  const void* block = nullptr;
  // The buffer keeps Y, U and V back to back without padding when the width is
  // even: that block is the picture as ffmpeg reads it, written as it stands.
  if (buffer->pitchY() == w && buffer->pitchU() == w / 2 && buffer->pitchV() == w / 2 &&
      buffer->planeU() == buffer->planeY() + ySize && buffer->planeV() == buffer->planeU() + cSize) {
    block = buffer->planeY();
  } else {
    m_copyBlock.resize(ySize + 2 * cSize);
    std::memcpy(m_copyBlock.data(), buffer->planeY(), ySize);
    std::memcpy(m_copyBlock.data() + ySize, buffer->planeU(), cSize);
    std::memcpy(m_copyBlock.data() + ySize + cSize, buffer->planeV(), cSize);
    block = m_copyBlock.data();
  }
  for (int k = 0; k < repeat; ++k) {
    if (m_observer) m_observer(static_cast<const uint8_t*>(block), ySize + 2 * cSize);
    // A failed write (ffmpeg gone) is ignored: the ring keeps draining so the
    // capture side never blocks for long.
    if (m_pEncoder) m_pEncoder->WriteInput(block, ySize + 2 * cSize);
  }
}

capture::VideoFrame* CVideoStreamWriter::ClaimSlot(int repeat) {
  constexpr const char* kTag = "CDesktopCaptureController::CaptureFrame";
  if (!ThreadRunning() || !m_hSpaceEvent) {
    LogWarnA(kTag, "WaitForNextFrame FAILED");
    return nullptr;
  }
  while (m_nFillCount.load() >= kRingSlots) {
    if (m_bStopping.load()) return nullptr;  // the stop is under way: no more pictures
    if (m_hSpaceEvent->Wait() != platform::WaitResult::Signaled || !ThreadRunning()) {
      LogWarnA(kTag, "WaitForNextFrame FAILED");
      return nullptr;
    }
  }
  const int slot = m_nWriteIndex.load();
  if (!m_frames[slot]) {
    LogWarnA(kTag, "WaitForNextFrame FAILED");
    return nullptr;
  }
  m_nRepeat[slot] = repeat;
  return m_frames[slot].get();
}

void CVideoStreamWriter::CommitSlot() {
  if (!ThreadRunning()) return;
  platform::InterlockedExchange(m_nWriteIndex, (m_nWriteIndex.load() + 1) % kRingSlots);
  m_hSpaceEvent->Reset();
  if (platform::InterlockedIncrement(m_nFillCount) == 1) m_hDataEvent->Set();
}

bool CVideoStreamWriter::WaitDrained(uint32_t timeoutMs) {
  if (!m_hSpaceEvent) return true;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (ThreadRunning() && m_nFillCount.load() > 0) {
    uint32_t wait = platform::kInfinite;
    if (timeoutMs != platform::kInfinite) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) return false;
      wait = static_cast<uint32_t>(left);
    }
    const platform::WaitResult result = m_hSpaceEvent->Wait(wait);
    if (result == platform::WaitResult::Timeout) return !(ThreadRunning() && m_nFillCount.load() > 0);
    if (result != platform::WaitResult::Signaled) break;
    m_hSpaceEvent->Reset();
  }
  return true;
}

void CVideoStreamWriter::BeginStop() {
  m_bStopping = true;
  // Wakes a producer waiting for space; it sees the stop and gives up.
  if (m_hSpaceEvent) m_hSpaceEvent->Set();
}

void CVideoStreamWriter::EndEncoder() {
  if (m_pEncoder) m_pEncoder->Close(false);
}

int CVideoStreamWriter::Stop() {
  if (m_bStop.load()) return 0;
  if (!m_hThread.Valid()) {
    // No thread ever ran, but ffmpeg may: it must not be left behind.
    m_bStop = true;
    CloseEncoder();
    return 1;
  }
  m_bStop = true;
  m_hDataEvent->Set();
  int result = 0;
  if (m_dwThreadId.load() != 0 && m_hThread.Wait(kWriterStopWaitMs) != platform::WaitResult::Signaled) {
    result = kWaitTimeout;
    // The thread is stuck writing to an ffmpeg that no longer reads: ending
    // ffmpeg fails the write, so the thread ends and never outlives the writer.
    if (m_pEncoder) m_pEncoder->Close(false);
    m_hThread.Wait();
  }
  m_hThread.Close();
  CloseEncoder();
  return result;
}

void CVideoStreamWriter::CloseEncoder() {
  if (!m_pEncoder) return;
  m_pEncoder->Close(true);
  // Only a file ffmpeg finished by itself is a video: one it was killed in the
  // middle of, or ended with an error, is not.
  m_results.videoComplete = m_pEncoder->ExitCode() == 0;
  m_pEncoder.reset();
}

void CVideoStreamWriter::OnEncoderProgress(void* writer, int64_t bytes, int milliseconds) {
  auto* self = static_cast<CVideoStreamWriter*>(writer);
  self->m_llEncodedBytes = bytes;
  self->m_results.videoDurationMs = milliseconds;
}

}  // namespace qelrec
