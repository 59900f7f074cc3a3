// platform/display, duplication side: the factory, adapters, devices, outputs,
// output duplications, acquired images, textures and surfaces that desktop
// duplication code works with, with their result codes.
//
// Objects are shared (std::shared_ptr stands for a counted interface
// reference). Results are 32-bit codes; a set top bit is a failure.
//
// X11 backing: the factory reports no adapters, so duplication is unsupported
// and capture falls back to the GDI side.
// Simulated backing: one adapter per adapter index of the simulated devices,
// one output per device with an output slot; duplications serve the devices'
// framebuffers (a rotated output's image in its native orientation), with move
// and dirty metadata, time-outs when nothing changed, access lost after a mode
// change, and protocol checks (an acquire while holding a frame, a release
// without one, a map of an image that is not in system memory) recorded as
// violations (platform/core/faults.h).
//
// Thread safety: objects are used under their user's lock (as the real
// interfaces made single-threaded are); the layer's own state is guarded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/display/display.h"

namespace platform::display::dxgi {

using Result = uint32_t;
inline constexpr Result kOk = 0;
inline constexpr Result kInvalidCall = 0x887A0001;
inline constexpr Result kNotFound = 0x887A0002;
inline constexpr Result kMoreData = 0x887A0003;
inline constexpr Result kUnsupported = 0x887A0004;
inline constexpr Result kAccessLost = 0x887A0026;
inline constexpr Result kNotCurrentlyAvailable = 0x887A0022;
inline constexpr Result kWaitTimeout = 0x887A0027;
inline constexpr Result kNoInterface = 0x80004002;
inline constexpr Result kFail = 0x80004005;
inline bool Failed(Result result) { return (result & 0x80000000u) != 0; }

inline constexpr int kFormatB8G8R8A8 = 87;
// Output rotations as the duplication describes them.
inline constexpr int kModeRotationUnspecified = 0;
inline constexpr int kModeRotationIdentity = 1;
inline constexpr int kModeRotationRotate90 = 2;
inline constexpr int kModeRotationRotate180 = 3;
inline constexpr int kModeRotationRotate270 = 4;

inline constexpr uint32_t kCreateBgraSupport = 0x20;
inline constexpr uint32_t kCreateSingleThreaded = 0x1;
inline constexpr int kUsageDefault = 0;
inline constexpr int kUsageStaging = 3;
inline constexpr uint32_t kCpuAccessRead = 0x20000;
inline constexpr uint32_t kMapRead = 1;

struct OutputDesc {
  std::wstring deviceName;
  Rect desktopCoordinates;
  bool attachedToDesktop = false;
  int rotation = kModeRotationIdentity;
};

struct DuplicationDesc {
  int modeWidth = 0;
  int modeHeight = 0;
  int format = 0;
  int rotation = kModeRotationIdentity;
  bool desktopImageInSystemMemory = false;
};

struct FrameInfo {
  int64_t lastPresentTime = 0;
  uint32_t accumulatedFrames = 0;
  uint32_t totalMetadataBufferSize = 0;
};

struct MoveRect {
  int sourceX = 0;
  int sourceY = 0;
  Rect destination;
};
static_assert(sizeof(MoveRect) == 24 && sizeof(Rect) == 16, "metadata records keep their sizes");

struct MappedRect {
  int pitch = 0;
  uint8_t* bits = nullptr;
};

struct TextureDesc {
  int width = 0;
  int height = 0;
  int mipLevels = 1;
  int arraySize = 1;
  int format = 0;
  int sampleCount = 1;
  int sampleQuality = 0;
  int usage = kUsageDefault;
  uint32_t bindFlags = 0;
  uint32_t cpuAccessFlags = 0;
  uint32_t miscFlags = 0;
  bool operator==(const TextureDesc&) const = default;
};

class Surface {
 public:
  virtual ~Surface() = default;
  virtual Result Map(MappedRect* mapped, uint32_t flags) = 0;
  virtual Result Unmap() = 0;
};

class Texture2D {
 public:
  virtual ~Texture2D() = default;
  virtual void GetDesc(TextureDesc* desc) const = 0;
  virtual Result QuerySurface(std::shared_ptr<Surface>* surface) = 0;
};

// An acquired desktop image.
class Resource {
 public:
  virtual ~Resource() = default;
  virtual Result QueryTexture(std::shared_ptr<Texture2D>* texture) = 0;
};

class DeviceContext {
 public:
  virtual ~DeviceContext() = default;
  virtual void CopyResource(const std::shared_ptr<Texture2D>& destination,
                            const std::shared_ptr<Texture2D>& source) = 0;
};

class Device {
 public:
  virtual ~Device() = default;
  // Creates a texture (the staging textures a CPU reads).
  virtual Result CreateTexture2D(const TextureDesc& desc, std::shared_ptr<Texture2D>* texture) = 0;
  // Whether the device answers as a DXGI device.
  virtual Result QueryDxgiDevice() = 0;
};

class OutputDuplication {
 public:
  virtual ~OutputDuplication() = default;
  virtual void GetDesc(DuplicationDesc* desc) const = 0;
  virtual Result AcquireNextFrame(uint32_t timeoutMs, FrameInfo* info, std::shared_ptr<Resource>* resource) = 0;
  // Metadata of the held frame into a buffer of `bufferBytes`; `*required` is
  // the bytes written, or needed (kMoreData).
  virtual Result GetFrameMoveRects(uint32_t bufferBytes, MoveRect* rects, uint32_t* required) = 0;
  virtual Result GetFrameDirtyRects(uint32_t bufferBytes, Rect* rects, uint32_t* required) = 0;
  virtual Result MapDesktopSurface(MappedRect* mapped) = 0;
  virtual Result UnMapDesktopSurface() = 0;
  virtual Result ReleaseFrame() = 0;
};

class Device;

class Output {
 public:
  virtual ~Output() = default;
  virtual Result GetDesc(OutputDesc* desc) const = 0;
  virtual Result DuplicateOutput(const std::shared_ptr<Device>& device,
                                 std::shared_ptr<OutputDuplication>* duplication) = 0;
};

class Adapter {
 public:
  virtual ~Adapter() = default;
  virtual Result EnumOutputs(uint32_t index, std::shared_ptr<Output>* output) = 0;
};

class Factory {
 public:
  virtual ~Factory() = default;
  virtual Result EnumAdapters(uint32_t index, std::shared_ptr<Adapter>* adapter) = 0;
};

Result CreateFactory(std::shared_ptr<Factory>* factory);
Result CreateDevice(const std::shared_ptr<Adapter>& adapter, uint32_t flags, std::shared_ptr<Device>* device,
                    std::shared_ptr<DeviceContext>* context);

}  // namespace platform::display::dxgi
