// The part both backings share: an audio client whose capture client hands out
// the packets its source pushes, in order, and sets the client's event for each.
//
// Thread safety: Push may run on the source's thread while the capture's work
// item reads packets; a mutex guards the queue.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/audio/audio_client.h"

namespace platform::audio {

class PacketClient : public AudioClient, public AudioCaptureClient, public std::enable_shared_from_this<PacketClient> {
 public:
  static constexpr uint32_t kBlockAlign = 4;  // 16-bit stereo

  HRESULT GetBufferSize(uint32_t* frames) override;
  std::shared_ptr<AudioCaptureClient> GetCaptureClient() override;
  HRESULT SetEventHandle(const std::shared_ptr<platform::Event>& event) override;

  HRESULT GetNextPacketSize(uint32_t* frames) override;
  HRESULT GetBuffer(uint8_t** data, uint32_t* frames, uint32_t* flags) override;
  HRESULT ReleaseBuffer(uint32_t frames) override;

 protected:
  // Validates the one format the layer serves.
  static HRESULT CheckFormat(int shareMode, uint32_t streamFlags, const WaveFormat& format);
  // Queues a packet (whole frames) with its kBufferFlags and sets the event.
  void Push(std::vector<uint8_t> packet, uint32_t flags = 0);
  // Packets handed out through GetBuffer so far.
  uint64_t PacketsTaken() const;
  // A failing GetBuffer from this packet on (-1: never).
  void SetBufferFailureAfter(int64_t packets) { bufferFailureAfter_ = packets; }

  uint32_t bufferFrames_ = 882;  // 20 ms

 private:
  mutable std::mutex mutex_;
  struct Packet {
    std::vector<uint8_t> bytes;
    uint32_t flags;
  };
  std::deque<Packet> packets_;
  std::vector<uint8_t> current_;
  bool holding_ = false;
  uint64_t taken_ = 0;
  int64_t bufferFailureAfter_ = -1;
  std::shared_ptr<platform::Event> event_;
};

// Makes the backing's client (defined by each backing); the real one takes
// over a prepared standby when there is one.
std::shared_ptr<AudioClient> MakeSimClient();
std::shared_ptr<AudioClient> MakePulseClient();
void PreparePulseStandby();
void ReleasePulseStandby();
std::string LastPulseError();

}  // namespace platform::audio
