#include "qelrecorder/LoopbackCapture/loopback_capture.h"

#include <limits>

#include "platform/audio/work_queue.h"
#include "qelrecorder/recorder_log.h"

namespace qelrec {

using namespace platform::audio;

CLoopbackCapture& CLoopbackCapture::Instance() {
  static CLoopbackCapture instance;
  return instance;
}

CLoopbackCapture::CLoopbackCapture() {
  m_CaptureFormat.formatTag = 1;
  m_CaptureFormat.channels = 2;
  m_CaptureFormat.samplesPerSec = 44100;
  m_CaptureFormat.bitsPerSample = 16;
  m_CaptureFormat.blockAlign = 4;
  m_CaptureFormat.avgBytesPerSec = 176400;
  m_CaptureFormat.cbSize = 0;
}

CLoopbackCapture::~CLoopbackCapture() {
  if (m_queueLocked) MFUnlockWorkQueue(m_dwQueueID);
}

int32_t CLoopbackCapture::StartCapture(uint32_t processId, AudioSampleSink sink, void* user) {
  m_SampleReadyEvent = std::make_shared<platform::Event>(false, false);
  m_AudioClient.reset();  // the previous recording's client, if any
  m_AudioCaptureClient.reset();
  HRESULT hr = MFStartup();
  if (!Failed(hr)) {
    uint32_t queue = 0;
    hr = MFLockSharedWorkQueue("Capture", 0, &queue);
    if (!Failed(hr)) {
      if (m_queueLocked) MFUnlockWorkQueue(m_dwQueueID);  // one lock held at a time
      m_dwQueueID = queue;
      m_queueLocked = true;
    }
  }
  if (!Failed(hr)) {
    m_hActivateCompleted = std::make_shared<platform::Event>(false, false);
    m_hCaptureStopped = std::make_shared<platform::Event>(false, false);
    m_hStartSettled = std::make_shared<platform::Event>(true, true);
    m_activateResult = E_UNEXPECTED;
    const ActivationParams params{1, processId, 1};
    hr = ActivateAudioInterfaceAsync(
        kProcessLoopbackDevice, params,
        [this](HRESULT result, std::shared_ptr<AudioClient> client) { ActivateCompleted(result, std::move(client)); });
  }
  if (!Failed(hr)) {
    m_hActivateCompleted->Wait();
    hr = m_activateResult.load();
  }
  if (Failed(hr)) {
    m_DeviceState = LoopbackState::Error;
    return hr;
  }
  m_sinkUser = user;
  m_sink = sink;
  if (m_DeviceState.load() == LoopbackState::Initialized) {
    m_DeviceState = LoopbackState::Starting;
    m_hStartSettled->Reset();
    hr = MFPutWorkItem2(kMultithreadedQueue, [this] { OnStartCapture(); });
    if (Failed(hr)) {
      m_DeviceState = LoopbackState::Error;
      m_hStartSettled->Set();
    }
    return hr;
  }
  return S_OK;
}

void CLoopbackCapture::ActivateCompleted(int32_t result, std::shared_ptr<AudioClient> client) {
  // Every outcome, failures included, is stored and completes the activation:
  // the starter waits for this event without a time-out.
  HRESULT hr = result;
  if (!Failed(hr) && !client) hr = E_UNEXPECTED;
  if (!Failed(hr)) {
    m_AudioClient = client;
    hr = m_AudioClient->Initialize(0, kStreamFlagsLoopback | kStreamFlagsEventCallback, 200000,
                                   static_cast<int64_t>(0x80000000u), m_CaptureFormat);
  }
  if (!Failed(hr)) hr = m_AudioClient->GetBufferSize(&m_BufferFrames);
  if (!Failed(hr)) {
    m_AudioCaptureClient = m_AudioClient->GetCaptureClient();
    if (!m_AudioCaptureClient) hr = E_UNEXPECTED;
  }
  if (!Failed(hr)) {
    m_SampleReadyArmed = true;
    hr = m_AudioClient->SetEventHandle(m_SampleReadyEvent);
  }
  m_DeviceState = Failed(hr) ? LoopbackState::Error : LoopbackState::Initialized;
  m_activateResult = hr;
  m_hActivateCompleted->Set();
}

int32_t CLoopbackCapture::ArmSampleReady() {
  uint64_t key = 0;
  const HRESULT hr = MFPutWaitingWorkItem(
      m_SampleReadyEvent, m_dwQueueID, [this] { OnSampleReady(); }, &key);
  if (!Failed(hr)) m_SampleReadyKey = key;
  return hr;
}

void CLoopbackCapture::OnStartCapture() {
  HRESULT hr = m_AudioClient->Start();
  if (Failed(hr)) {
    m_DeviceState = LoopbackState::Error;
  } else {
    m_DeviceState = LoopbackState::Capturing;
    ArmSampleReady();
  }
  m_hStartSettled->Set();
}

void CLoopbackCapture::OnSampleReady() {
  m_SampleReadyKey = 0;  // this waiting item has fired
  {
    std::unique_lock<platform::CriticalSection> lock(m_CritSec);
    if (m_DeviceState.load() != LoopbackState::Stopping) {
      uint32_t frames = 0;
      while (!Failed(m_AudioCaptureClient->GetNextPacketSize(&frames)) && frames != 0) {
        const uint32_t bytes = frames * m_CaptureFormat.blockAlign;
        if (bytes > std::numeric_limits<uint32_t>::max() - m_cbDataSize.load()) {
          // The byte total is 32-bit: the capture ends before it would wrap.
          lock.unlock();
          StopCapture();
          return;
        }
        uint8_t* data = nullptr;
        uint32_t got = 0;
        uint32_t flags = 0;
        if (Failed(m_AudioCaptureClient->GetBuffer(&data, &got, &flags))) {
          lock.unlock();
          m_DeviceState = LoopbackState::Error;
          return;
        }
        if ((flags & kBufferFlagsDataDiscontinuity) != 0 && (flags & kBufferFlagsSilent) != 0) {
          LogWarnA("CLoopbackCapture::HandleSamples",
                   "The sound server was lost; the audio goes on as silence up to the stop.");
        }
        const AudioSampleSink sink = m_sink.load();
        if (m_DeviceState.load() != LoopbackState::Stopping && sink != nullptr && data != nullptr) {
          sink(44100, 2, 2, data, static_cast<int>(got * m_CaptureFormat.blockAlign), m_sinkUser.load());
        }
        m_AudioCaptureClient->ReleaseBuffer(got);
        m_cbDataSize += got * m_CaptureFormat.blockAlign;
      }
    }
  }
  if (m_DeviceState.load() == LoopbackState::Capturing) ArmSampleReady();
}

int32_t CLoopbackCapture::StopCapture() {
  // A start still on its way settles first (Capturing or Error), so the stop
  // below really stops it and no sample reaches the sink after we return.
  if (m_DeviceState.load() == LoopbackState::Starting && m_hStartSettled) m_hStartSettled->Wait();
  const LoopbackState state = m_DeviceState.load();
  if (state != LoopbackState::Capturing && state != LoopbackState::Error) return kErrorInvalidStateHr;
  m_DeviceState = LoopbackState::Stopping;
  const HRESULT hr = MFPutWorkItem2(kMultithreadedQueue, [this] { OnStopCapture(); });
  if (Failed(hr)) return hr;
  m_hCaptureStopped->Wait();
  return S_OK;
}

void CLoopbackCapture::OnStopCapture() {
  const uint64_t key = m_SampleReadyKey.exchange(0);
  if (key != 0) MFCancelWorkItem(key);
  if (m_AudioClient) m_AudioClient->Stop();
  m_SampleReadyArmed = false;
  MFPutWorkItem2(kMultithreadedQueue, [this] { OnFinishCapture(); });
}

void CLoopbackCapture::OnFinishCapture() {
  // A sample item already queued before the stop may still be running: the
  // critical section lets it finish before the sink is cleared.
  std::lock_guard<platform::CriticalSection> lock(m_CritSec);
  m_DeviceState = LoopbackState::Stopped;
  m_sink = nullptr;
  m_sinkUser = nullptr;
  m_hCaptureStopped->Set();
}

}  // namespace qelrec
