// A picture record holding one I420 buffer, and the parameter record frames are
// made from. The recorder makes one frame per ring slot at the start of a
// recording and reuses it; every field besides the buffer stays zero or empty
// in this system, but the record keeps them so that a frame can travel with its
// timing and colour information where a consumer wants it.
//
// Thread safety: a frame is used by one thread at a time; its buffer
// references may be taken and dropped on any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "capture/api/video/i420_buffer.h"
#include "capture/base/ref_ptr.h"

namespace capture {

struct ColorSpace {
  uint8_t primaries = 0;
  uint8_t transfer = 0;
  uint8_t matrix = 0;
  uint8_t range = 0;
};

struct UpdateRect {
  int offsetX = 0;
  int offsetY = 0;
  int width = 0;
  int height = 0;
};

struct PacketInfo {
  uint32_t ssrc = 0;
  int64_t receiveTimeUs = 0;
};

// A shared, counted list of packet records.
class PacketInfoList {
 public:
  static RefPtr<PacketInfoList> Create() { return RefPtr<PacketInfoList>(new PacketInfoList()); }
  void AddRef() const { count_.fetch_add(1, std::memory_order_relaxed); }
  bool Release() const {
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      delete this;
      return false;
    }
    return true;
  }
  std::vector<PacketInfo> entries;

 private:
  PacketInfoList() = default;
  ~PacketInfoList() = default;
  mutable std::atomic<int> count_{0};
};

struct TimingInfo {
  int64_t encodeStartUs = 0;
  int64_t encodeFinishUs = 0;
};

class VideoFrame;

// The values a frame is made from; setters chain.
class VideoFrameParams {
 public:
  VideoFrameParams() = default;

  VideoFrameParams& SetBuffer(const RefPtr<PlanarI420Buffer>& buffer) {
    buffer_ = buffer;
    return *this;
  }
  VideoFrameParams& SetRotation(int rotation) {
    rotation_ = rotation;
    return *this;
  }
  VideoFrameParams& SetCaptureTimeUs(int64_t captureTimeUs) {
    captureTimeUs_ = captureTimeUs;
    return *this;
  }
  // A frame with a copy of every value and new references to the buffer and
  // the packet list. A record without a buffer is a broken invariant: the
  // process ends through the fatal check reporter.
  VideoFrame MakeFrame() const;

 private:
  friend class VideoFrame;
  uint16_t id_ = 0;
  RefPtr<PlanarI420Buffer> buffer_;
  int64_t captureTimeUs_ = 0;
  uint32_t timestamp32_ = 0;
  int64_t timestamp64_ = 0;
  int rotation_ = 0;
  std::optional<ColorSpace> colorSpace_;
  std::optional<UpdateRect> updateRect_;
  RefPtr<PacketInfoList> packetInfos_;
};

class VideoFrame {
 public:
  // Takes over the buffer and packet-list references; `other` is left without them.
  VideoFrame(VideoFrame&& other) noexcept;
  VideoFrame& operator=(VideoFrame&& other) noexcept;
  VideoFrame(const VideoFrame&) = delete;
  VideoFrame& operator=(const VideoFrame&) = delete;
  ~VideoFrame();

  uint16_t id() const { return id_; }
  // A new reference to the buffer; null when the frame holds none (moved from).
  RefPtr<PlanarI420Buffer> GetBuffer() const { return video_frame_buffer_; }
  int rotation() const { return rotation_; }
  int64_t captureTimeUs() const { return captureTimeUs_; }
  uint32_t timestamp32() const { return timestamp32_; }
  int64_t timestamp64() const { return timestamp64_; }
  const std::optional<ColorSpace>& colorSpace() const { return colorSpace_; }
  const std::optional<UpdateRect>& updateRect() const { return updateRect_; }
  const std::optional<TimingInfo>& timing() const { return timing_; }

 private:
  friend class VideoFrameParams;
  explicit VideoFrame(const VideoFrameParams& params);

  uint16_t id_ = 0;
  RefPtr<PlanarI420Buffer> video_frame_buffer_;
  uint32_t timestamp32_ = 0;
  int64_t timestamp64_ = 0;
  int64_t captureTimeUs_ = 0;
  int rotation_ = 0;
  std::optional<ColorSpace> colorSpace_;
  std::optional<UpdateRect> updateRect_;
  RefPtr<PacketInfoList> packetInfos_;
  std::optional<TimingInfo> timing_;
};

}  // namespace capture
