#include "qelrecorder/record_settings.h"

#include <cstdlib>

#include "common/text_convert.h"
#include "platform/core/os_version.h"
#include "qelrecorder/text16.h"

namespace qelrec {

namespace {

std::atomic<CRecordSettings*> instance{nullptr};

}  // namespace

CRecordSettings& CRecordSettings::Get() {
  CRecordSettings* current = instance.load();
  if (current != nullptr) return *current;
  auto* made = new CRecordSettings;
  if (instance.compare_exchange_strong(current, made)) return *made;
  delete made;
  return *current;
}

void CRecordSettings::Destroy() { delete instance.exchange(nullptr); }

std::wstring DefaultTempFolder() {
  std::wstring folder = L"/tmp/";
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
    std::wstring candidate = qel::utf8ToWide(tmp);
    if (candidate.back() != L'/') candidate.push_back(L'/');
    if (U16UnitsOf(candidate) <= 259) folder = candidate;
  }
  return folder;
}

CRecordSettings::CRecordSettings() {
  // 30 frames per second from the system generation with the faster capture on.
  m_fTargetFps = platform::IsOsVersionAtLeast(6, 2) ? 30.0f : 24.0f;
  WideToU16(DefaultTempFolder(), m_szTmpDir);
}

// The host passes its -vcodec text as it stands, which is empty when the option
// was not given; an empty name would leave the writer with no encoder and every
// recording empty, so it keeps the default encoder instead.
void CRecordSettings::SetCodec(const std::wstring& codec) {
  if (!codec.empty()) m_strCodec = qel::wideToUtf8(codec);
}

RecordConfig CRecordSettings::TakeConfig() const {
  RecordConfig config;
  config.targetFps = m_fTargetFps;
  config.codec = m_strCodec;
  config.extraArgs = m_strExtraArgs;
  config.quality = m_nQuality;
  config.ffmpegDir = m_strFFmpegDir;
  config.outputFolder = U16ToWide(m_szTmpDir);
  config.processName = U16ToWide(m_szProcessName);
  config.fileSuffix = U16ToWide(m_szFileSuffix);
  return config;
}

void CRecordSettings::StoreResults(const RecordResult& result) {
  m_fMeasuredFps = result.measuredFps;
  m_llAudioOffsetMs = result.audioOffsetMs;
  m_llVideoDurationMs = result.videoDurationMs;
  m_bVideoComplete = result.videoComplete;
  // The paths came from MakeOutputFileName, which refuses any that would not fit.
  WideToU16(result.videoPath, m_szVideoPath);
  WideToU16(result.audioPath, m_szAudioPath);
}

}  // namespace qelrec
