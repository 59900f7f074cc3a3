#include "capture/api/video/video_frame.h"

#include <utility>

#include "capture/base/checks.h"

namespace capture {

VideoFrame VideoFrameParams::MakeFrame() const {
  const auto& video_frame_buffer_ = buffer_;
  CAPTURE_CHECK_AT("../../api/video/video_frame", 165, video_frame_buffer_ != nullptr);
  return VideoFrame(*this);
}

VideoFrame::VideoFrame(const VideoFrameParams& params)
    : id_(params.id_),
      video_frame_buffer_(params.buffer_),
      timestamp32_(params.timestamp32_),
      timestamp64_(params.timestamp64_),
      captureTimeUs_(params.captureTimeUs_),
      rotation_(params.rotation_),
      colorSpace_(params.colorSpace_),
      updateRect_(params.updateRect_),
      packetInfos_(params.packetInfos_) {}

VideoFrame::VideoFrame(VideoFrame&& other) noexcept
    : id_(other.id_),
      video_frame_buffer_(std::move(other.video_frame_buffer_)),
      timestamp32_(other.timestamp32_),
      timestamp64_(other.timestamp64_),
      captureTimeUs_(other.captureTimeUs_),
      rotation_(other.rotation_),
      colorSpace_(other.colorSpace_),
      updateRect_(other.updateRect_),
      packetInfos_(std::move(other.packetInfos_)),
      timing_(other.timing_) {}

VideoFrame& VideoFrame::operator=(VideoFrame&& other) noexcept {
  if (this != &other) {
    packetInfos_ = std::move(other.packetInfos_);
    video_frame_buffer_ = std::move(other.video_frame_buffer_);
    id_ = other.id_;
    timestamp32_ = other.timestamp32_;
    timestamp64_ = other.timestamp64_;
    captureTimeUs_ = other.captureTimeUs_;
    rotation_ = other.rotation_;
    colorSpace_ = other.colorSpace_;
    updateRect_ = other.updateRect_;
    timing_ = other.timing_;
  }
  return *this;
}

VideoFrame::~VideoFrame() {
  // The packet list goes first, then the buffer.
  packetInfos_.reset();
  video_frame_buffer_.reset();
}

}  // namespace capture
