// The duplication side of the simulated display, and the X11 answer (a
// factory without adapters).
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/core/faults.h"
#include "platform/display/duplication.h"
#include "platform/display/sim_state.h"

namespace platform::display {
namespace internal {
namespace {

std::atomic<int> liveObjects{0};

// Counts the layer's live objects.
struct Counted {
  Counted() { ++liveObjects; }
  Counted(const Counted&) { ++liveObjects; }
  ~Counted() { --liveObjects; }
};

std::optional<dxgi::Result> fault(const char* call, int64_t target = kNoTarget) {
  if (auto code = injectedFault(call, target)) return *code;
  return std::nullopt;
}

// Rotates `r` inside a `w` x `h` source by `rotation` clockwise quarter turns.
Rect rotateRect(const Rect& r, int w, int h, int rotation) {
  switch (rotation) {
    case 1: return {h - r.bottom, r.left, h - r.top, r.right};
    case 2: return {w - r.right, h - r.bottom, w - r.left, h - r.top};
    case 3: return {r.top, w - r.right, r.bottom, w - r.left};
    default: return r;
  }
}

int inverse(int rotation) { return rotation == 1 ? 3 : rotation == 3 ? 1 : rotation; }

// A desktop image as the duplication hands it out.
struct Image {
  int width = 0;
  int height = 0;
  int pitch = 0;
  std::vector<uint8_t> bytes;
};

class SimTexture;

class SimSurface : public dxgi::Surface, Counted {
 public:
  explicit SimSurface(std::shared_ptr<SimTexture> texture) : texture_(std::move(texture)) {}
  dxgi::Result Map(dxgi::MappedRect* mapped, uint32_t flags) override;
  dxgi::Result Unmap() override;

 private:
  std::shared_ptr<SimTexture> texture_;
};

class SimTexture : public dxgi::Texture2D, Counted, public std::enable_shared_from_this<SimTexture> {
 public:
  SimTexture(const dxgi::TextureDesc& desc, std::shared_ptr<Image> image) : desc_(desc), image_(std::move(image)) {}
  void GetDesc(dxgi::TextureDesc* desc) const override { *desc = desc_; }
  dxgi::Result QuerySurface(std::shared_ptr<dxgi::Surface>* surface) override {
    if (auto f = fault("dxgi.QuerySurface")) return *f;
    *surface = std::make_shared<SimSurface>(shared_from_this());
    return dxgi::kOk;
  }
  const dxgi::TextureDesc& desc() const { return desc_; }
  Image& image() { return *image_; }
  bool mapped = false;

 private:
  dxgi::TextureDesc desc_;
  std::shared_ptr<Image> image_;
};

dxgi::Result SimSurface::Map(dxgi::MappedRect* mapped, uint32_t) {
  if (auto f = fault("dxgi.Map")) {
    *mapped = {};
    return *f;
  }
  if (texture_->desc().usage != dxgi::kUsageStaging || (texture_->desc().cpuAccessFlags & dxgi::kCpuAccessRead) == 0) {
    reportViolation("dxgi: Map of a texture the CPU cannot read");
    return dxgi::kInvalidCall;
  }
  if (texture_->mapped) {
    reportViolation("dxgi: Map of a surface that is mapped");
    return dxgi::kInvalidCall;
  }
  texture_->mapped = true;
  *mapped = {texture_->image().pitch, texture_->image().bytes.data()};
  return dxgi::kOk;
}

dxgi::Result SimSurface::Unmap() {
  if (!texture_->mapped) {
    reportViolation("dxgi: Unmap of a surface that is not mapped");
    return dxgi::kInvalidCall;
  }
  texture_->mapped = false;
  if (auto f = fault("dxgi.Unmap")) return *f;
  return dxgi::kOk;
}

class SimResource : public dxgi::Resource, Counted {
 public:
  explicit SimResource(std::shared_ptr<SimTexture> texture) : texture_(std::move(texture)) {}
  dxgi::Result QueryTexture(std::shared_ptr<dxgi::Texture2D>* texture) override {
    if (auto f = fault("dxgi.QueryTexture")) return *f;
    *texture = texture_;
    return dxgi::kOk;
  }

 private:
  std::shared_ptr<SimTexture> texture_;
};

class SimContext : public dxgi::DeviceContext, Counted {
 public:
  void CopyResource(const std::shared_ptr<dxgi::Texture2D>& destination,
                    const std::shared_ptr<dxgi::Texture2D>& source) override {
    auto* to = dynamic_cast<SimTexture*>(destination.get());
    auto* from = dynamic_cast<SimTexture*>(source.get());
    if (to == nullptr || from == nullptr || to->desc().width != from->desc().width ||
        to->desc().height != from->desc().height) {
      reportViolation("dxgi: CopyResource between textures of different sizes");
      return;
    }
    Image& a = to->image();
    const Image& b = from->image();
    for (int y = 0; y < b.height; ++y)
      std::memcpy(a.bytes.data() + size_t(y) * a.pitch, b.bytes.data() + size_t(y) * b.pitch, size_t(b.width) * 4);
  }
};

class SimDevice : public dxgi::Device, Counted {
 public:
  explicit SimDevice(int adapter) : adapter_(adapter) {}
  dxgi::Result CreateTexture2D(const dxgi::TextureDesc& desc, std::shared_ptr<dxgi::Texture2D>* texture) override {
    if (auto f = fault("dxgi.CreateTexture2D")) return *f;
    if (desc.width <= 0 || desc.height <= 0) return dxgi::kInvalidCall;
    auto image = std::make_shared<Image>();
    image->width = desc.width;
    image->height = desc.height;
    image->pitch = desc.width * 4 + 32;  // rows padded, as drivers do
    image->bytes.assign(size_t(image->pitch) * desc.height, 0);
    *texture = std::make_shared<SimTexture>(desc, image);
    return dxgi::kOk;
  }
  dxgi::Result QueryDxgiDevice() override {
    if (auto f = fault("dxgi.QueryDxgiDevice", adapter_)) return *f;
    return dxgi::kOk;
  }
  int adapter() const { return adapter_; }

 private:
  int adapter_;
};

class SimDuplication : public dxgi::OutputDuplication, Counted {
 public:
  SimDuplication(size_t device, const sim::Device& d, uint64_t generation) : device_(device) {
    desc_.modeWidth = d.mode->width();
    desc_.modeHeight = d.mode->height();
    desc_.format = d.format;
    desc_.rotation = d.rotation + 1;
    desc_.desktopImageInSystemMemory = d.imageInSystemMemory;
    rotation_ = d.rotation;
    state_.device = device;
    state_.generation = generation;
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    s.duplications.push_back(&state_);
  }
  ~SimDuplication() override {
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    s.duplications.erase(std::remove(s.duplications.begin(), s.duplications.end(), &state_), s.duplications.end());
  }

  void GetDesc(dxgi::DuplicationDesc* desc) const override { *desc = desc_; }

  dxgi::Result AcquireNextFrame(uint32_t, dxgi::FrameInfo* info, std::shared_ptr<dxgi::Resource>* resource) override {
    *info = {};
    resource->reset();
    if (holding_) {
      reportViolation("dxgi: AcquireNextFrame while a frame is held");
      return dxgi::kInvalidCall;
    }
    if (auto f = fault("dxgi.AcquireNextFrame", static_cast<int64_t>(device_))) return *f;
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    if (device_ >= s.devices.size() || s.generations[device_] != state_.generation) return dxgi::kAccessLost;
    if (s.knobs.neverDeliver || (!state_.first && state_.pendingFrames == 0)) return dxgi::kWaitTimeout;

    const sim::Device& d = s.devices[device_];
    const auto& fb = s.framebuffers[device_];
    const int w = fb.width, h = fb.height;
    // The native image: the desktop picture turned back by the monitor's rotation.
    auto image = std::make_shared<Image>();
    bool swapped = rotation_ == 1 || rotation_ == 3;
    image->width = swapped ? h : w;
    image->height = swapped ? w : h;
    image->pitch = image->width * 4 + 64;  // a pitch wider than the row, as real images have
    image->bytes.assign(size_t(image->pitch) * image->height, 0);
    if (!s.knobs.blankImages) {
      for (int ny = 0; ny < image->height; ++ny) {
        auto* row = reinterpret_cast<uint32_t*>(image->bytes.data() + size_t(ny) * image->pitch);
        for (int nx = 0; nx < image->width; ++nx) {
          int dx = nx, dy = ny;  // where the native pixel shows on the desktop
          if (rotation_ == 1) {
            dx = image->height - 1 - ny;
            dy = nx;
          } else if (rotation_ == 2) {
            dx = image->width - 1 - nx;
            dy = image->height - 1 - ny;
          } else if (rotation_ == 3) {
            dx = ny;
            dy = image->width - 1 - nx;
          }
          row[nx] = fb.pixels[size_t(dy) * w + dx];
        }
      }
    }
    moves_.clear();
    dirty_.clear();
    int back = inverse(rotation_);
    if (state_.first) {
      dirty_.push_back({0, 0, image->width, image->height});
    } else {
      for (const auto& [from, to] : state_.moves) {
        Rect source = rotateRect(from, w, h, back);
        moves_.push_back({source.left, source.top, rotateRect(to, w, h, back)});
      }
      for (const Rect& r : state_.dirty) dirty_.push_back(rotateRect(r, w, h, back));
    }
    info->accumulatedFrames = std::max<uint32_t>(1, state_.pendingFrames);
    info->lastPresentTime = static_cast<int64_t>(++s.imagesDelivered);
    info->totalMetadataBufferSize =
        s.knobs.noMetadata
            ? 0
            : static_cast<uint32_t>(moves_.size() * sizeof(dxgi::MoveRect) + dirty_.size() * sizeof(Rect));
    if (s.knobs.noMetadata) {
      moves_.clear();
      dirty_.clear();
    }
    state_.first = false;
    state_.pendingFrames = 0;
    state_.dirty.clear();
    state_.moves.clear();
    (void)d;

    dxgi::TextureDesc desc;
    desc.width = image->width;
    desc.height = image->height;
    desc.format = desc_.format;
    desc.bindFlags = 0x8;  // a render target, as desktop images are
    current_ = std::make_shared<SimTexture>(desc, image);
    *resource = std::make_shared<SimResource>(current_);
    holding_ = true;
    return dxgi::kOk;
  }

  dxgi::Result GetFrameMoveRects(uint32_t bytes, dxgi::MoveRect* rects, uint32_t* required) override {
    if (!holding_) {
      reportViolation("dxgi: GetFrameMoveRects without a frame");
      return dxgi::kInvalidCall;
    }
    if (auto f = fault("dxgi.GetFrameMoveRects")) return *f;
    *required = static_cast<uint32_t>(moves_.size() * sizeof(dxgi::MoveRect));
    if (bytes < *required) return dxgi::kMoreData;
    std::copy(moves_.begin(), moves_.end(), rects);
    return dxgi::kOk;
  }

  dxgi::Result GetFrameDirtyRects(uint32_t bytes, Rect* rects, uint32_t* required) override {
    if (!holding_) {
      reportViolation("dxgi: GetFrameDirtyRects without a frame");
      return dxgi::kInvalidCall;
    }
    if (auto f = fault("dxgi.GetFrameDirtyRects")) return *f;
    *required = static_cast<uint32_t>(dirty_.size() * sizeof(Rect));
    if (bytes < *required) return dxgi::kMoreData;
    std::copy(dirty_.begin(), dirty_.end(), rects);
    return dxgi::kOk;
  }

  dxgi::Result MapDesktopSurface(dxgi::MappedRect* mapped) override {
    *mapped = {};
    if (!desc_.desktopImageInSystemMemory) {
      reportViolation("dxgi: MapDesktopSurface of an image that is not in system memory");
      return dxgi::kUnsupported;
    }
    if (!holding_ || mapped_) {
      reportViolation("dxgi: MapDesktopSurface without a frame or mapped twice");
      return dxgi::kInvalidCall;
    }
    if (auto f = fault("dxgi.MapDesktopSurface")) return *f;
    mapped_ = true;
    *mapped = {current_->image().pitch, current_->image().bytes.data()};
    return dxgi::kOk;
  }

  dxgi::Result UnMapDesktopSurface() override {
    if (!mapped_) {
      reportViolation("dxgi: UnMapDesktopSurface without a mapping");
      return dxgi::kInvalidCall;
    }
    mapped_ = false;
    if (auto f = fault("dxgi.UnMapDesktopSurface")) return *f;
    return dxgi::kOk;
  }

  dxgi::Result ReleaseFrame() override {
    if (!holding_) {
      reportViolation("dxgi: ReleaseFrame without a frame");
      return dxgi::kInvalidCall;
    }
    if (mapped_) reportViolation("dxgi: ReleaseFrame while the desktop surface is mapped");
    holding_ = false;
    current_.reset();
    if (auto f = fault("dxgi.ReleaseFrame")) return *f;
    return dxgi::kOk;
  }

 private:
  size_t device_;
  int rotation_ = 0;
  dxgi::DuplicationDesc desc_;
  SimDuplicationState state_;
  bool holding_ = false;
  bool mapped_ = false;
  std::shared_ptr<SimTexture> current_;
  std::vector<dxgi::MoveRect> moves_;
  std::vector<Rect> dirty_;
};

class SimOutput : public dxgi::Output, Counted {
 public:
  explicit SimOutput(size_t device) : device_(device) {}

  dxgi::Result GetDesc(dxgi::OutputDesc* desc) const override {
    if (auto f = fault("dxgi.GetDesc", static_cast<int64_t>(device_))) return *f;
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    if (device_ >= s.devices.size()) return dxgi::kInvalidCall;
    const auto& d = s.devices[device_];
    desc->deviceName = d.name;
    desc->desktopCoordinates = d.mode && d.active ? *d.mode : Rect{};
    desc->attachedToDesktop = d.attached && d.active && d.mode.has_value();
    desc->rotation = d.rotation + 1;
    return dxgi::kOk;
  }

  dxgi::Result DuplicateOutput(const std::shared_ptr<dxgi::Device>& device,
                               std::shared_ptr<dxgi::OutputDuplication>* duplication) override {
    if (auto f = fault("dxgi.DuplicateOutput", static_cast<int64_t>(device_))) return *f;
    if (!device) return dxgi::kInvalidCall;
    sim::Device d;
    uint64_t generation = 0;
    {
      auto& s = simState();
      std::lock_guard lock(s.mutex);
      if (device_ >= s.devices.size()) return dxgi::kInvalidCall;
      d = s.devices[device_];
      generation = s.generations[device_];
    }
    if (!d.mode || d.mode->empty() || !d.active) return dxgi::kNotCurrentlyAvailable;
    *duplication = std::make_shared<SimDuplication>(device_, d, generation);
    return dxgi::kOk;
  }

 private:
  size_t device_;
};

class SimAdapter : public dxgi::Adapter, Counted {
 public:
  explicit SimAdapter(int index) : index_(index) {}
  dxgi::Result EnumOutputs(uint32_t index, std::shared_ptr<dxgi::Output>* output) override {
    if (auto f = fault("dxgi.EnumOutputs", index)) return *f;
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    std::vector<std::pair<int, size_t>> slots;  // output slot, device index
    for (size_t i = 0; i < s.devices.size(); ++i)
      if (s.devices[i].adapter == index_ && s.devices[i].outputSlot >= 0) slots.push_back({s.devices[i].outputSlot, i});
    std::stable_sort(slots.begin(), slots.end());
    if (index >= slots.size()) return dxgi::kNotFound;
    *output = std::make_shared<SimOutput>(slots[index].second);
    return dxgi::kOk;
  }
  int index() const { return index_; }

 private:
  int index_;
};

class SimFactory : public dxgi::Factory, Counted {
 public:
  explicit SimFactory(bool noAdapters) : noAdapters_(noAdapters) {}
  dxgi::Result EnumAdapters(uint32_t index, std::shared_ptr<dxgi::Adapter>* adapter) override {
    if (noAdapters_) return dxgi::kNotFound;
    if (auto f = fault("dxgi.EnumAdapters", index)) return *f;
    auto& s = simState();
    std::lock_guard lock(s.mutex);
    int count = 0;
    for (const auto& d : s.devices)
      if (d.outputSlot >= 0) count = std::max(count, d.adapter + 1);
    if (static_cast<int>(index) >= count) return dxgi::kNotFound;
    *adapter = std::make_shared<SimAdapter>(static_cast<int>(index));
    return dxgi::kOk;
  }

 private:
  bool noAdapters_;
};

}  // namespace

void NoteDamageLocked(SimState& s, size_t device, const Rect& rect) {
  for (auto* d : s.duplications) {
    if (d->device != device) continue;
    ++d->pendingFrames;
    d->dirty.push_back(rect);
  }
}

void NoteMoveLocked(SimState& s, size_t device, const Rect& source, const Rect& destination) {
  for (auto* d : s.duplications) {
    if (d->device != device) continue;
    ++d->pendingFrames;
    d->moves.push_back({source, destination});
  }
}

void NoteDevicesReplacedLocked(SimState& s) {
  (void)s;  // makeFramebuffers bumped every generation: live duplications lose access
}

}  // namespace internal

namespace dxgi {

Result CreateFactory(std::shared_ptr<Factory>* factory) {
  if (auto f = internal::fault("dxgi.CreateFactory")) return *f;
  // A real X server has no duplication: a factory without adapters.
  *factory = std::make_shared<internal::SimFactory>(CurrentBacking() == Backing::Real);
  return kOk;
}

Result CreateDevice(const std::shared_ptr<Adapter>& adapter, uint32_t, std::shared_ptr<Device>* device,
                    std::shared_ptr<DeviceContext>* context) {
  auto* simAdapter = dynamic_cast<internal::SimAdapter*>(adapter.get());
  if (simAdapter == nullptr) return kInvalidCall;
  if (auto f = internal::fault("dxgi.CreateDevice", simAdapter->index())) return *f;
  *device = std::make_shared<internal::SimDevice>(simAdapter->index());
  *context = std::make_shared<internal::SimContext>();
  return kOk;
}

}  // namespace dxgi

namespace sim {

void SetDuplicationKnobs(const DuplicationKnobs& knobs) {
  auto& s = internal::simState();
  std::lock_guard lock(s.mutex);
  // Real images after blank ones come whole, as a duplication that recovers sends them.
  if (s.knobs.blankImages && !knobs.blankImages)
    for (auto* d : s.duplications) d->first = true;
  s.knobs = knobs;
}

int LiveDuplicationObjects() { return internal::liveObjects.load(); }

uint64_t ImagesDelivered() {
  auto& s = internal::simState();
  std::lock_guard lock(s.mutex);
  return s.imagesDelivered;
}

}  // namespace sim
}  // namespace platform::display
