#include "capture/modules/desktop_capture/win/screen_capturer_win_magnifier.h"

#include "capture/base/clock.h"
#include "capture/modules/desktop_capture/screen_list.h"
#include "capture/modules/desktop_capture/win/screen_frame.h"
#include "platform/display/display.h"
#include "platform/display/gdi.h"

namespace capture {

namespace display = platform::display;
namespace mag = platform::display::mag;
namespace ui = platform::ui;

namespace {
// The scaling callback has no context argument: the capturer that asks for an
// image leaves itself here for the callback on the same thread.
thread_local ScreenCapturerWinMagnification* magnifierThreadSlot = nullptr;
}  // namespace

ScreenCapturerWinMagnification::~ScreenCapturerWinMagnification() {
  if (magnifierWindow_ != nullptr) ui::DestroyWindow(magnifierWindow_);
  if (hostWindow_ != nullptr) ui::DestroyWindow(hostWindow_);
  if (initialized_) magUninitialize_();
  if (module_ != nullptr) platform::FreeModule(module_);
  releaseScreenContext();
  desktop_.revert();
  ring_.Reset();
  factory_.reset();
}

void ScreenCapturerWinMagnification::releaseScreenContext() {
  if (desktop_dc_ != 0) {
    display::ReleaseDC(desktop_dc_);
    desktop_dc_ = 0;
  }
}

void ScreenCapturerWinMagnification::BeginCapture(Callback* callback) {
  callback_ = callback;
  initializeMagnifier();  // a failure shows as PermanentError on every frame
}

void ScreenCapturerWinMagnification::UseSharedMemoryFactory(std::unique_ptr<SharedMemoryBlockFactory> factory) {
  factory_ = std::move(factory);
  ring_.Reset();  // frames made in the old factory's blocks must not outlive it
}

bool ScreenCapturerWinMagnification::ListSources(std::vector<SourceEntry>* sources) {
  return ListActiveScreens(sources);
}

bool ScreenCapturerWinMagnification::ChooseSource(int64_t id) { return screen_.Choose(id); }

void ScreenCapturerWinMagnification::ExcludeWindow(WindowHandle window) {
  excludedWindow_ = window;
  if (window != 0 && initialized_) {
    auto handle = reinterpret_cast<ui::HWND>(static_cast<uintptr_t>(window));
    magSetWindowFilterList_(magnifierWindow_, mag::kFilterModeExclude, 1, &handle);
  }
}

bool ScreenCapturerWinMagnification::initializeMagnifier() {
  if (display::GetSystemMetrics(display::Metric::kMonitorCount) != 1) return false;
  if (desktop_dc_ == 0) desktop_dc_ = display::GetDC();
  module_ = platform::LoadModule("Magnification.dll");
  if (module_ == nullptr) return false;
  auto entry = [&](const char* name) { return platform::GetModuleEntry(module_, name); };
  magInitialize_ = reinterpret_cast<decltype(magInitialize_)>(entry("MagInitialize"));
  magUninitialize_ = reinterpret_cast<decltype(magUninitialize_)>(entry("MagUninitialize"));
  magSetWindowSource_ = reinterpret_cast<decltype(magSetWindowSource_)>(entry("MagSetWindowSource"));
  magSetWindowFilterList_ = reinterpret_cast<decltype(magSetWindowFilterList_)>(entry("MagSetWindowFilterList"));
  magSetImageScalingCallback_ =
      reinterpret_cast<decltype(magSetImageScalingCallback_)>(entry("MagSetImageScalingCallback"));
  if (magInitialize_ == nullptr || magUninitialize_ == nullptr || magSetWindowSource_ == nullptr ||
      magSetWindowFilterList_ == nullptr || magSetImageScalingCallback_ == nullptr || !magInitialize_()) {
    return false;
  }
  // A hidden layered host (windows of this platform are never shown) with the
  // magnifier window as its child.
  ui::WindowParams host;
  host.title = "MagnifierHost";
  host.exStyle = 0x00080000;  // layered
  hostWindow_ = ui::CreateWindowEx(host);
  if (hostWindow_ != nullptr) {
    ui::WindowParams child;
    child.parent = hostWindow_;
    child.title = "MagnifierWindow";
    child.style = 0x40000000 | 0x10000000;  // child, visible
    magnifierWindow_ = ui::CreateWindowEx(child);
  }
  bool ready = magnifierWindow_ != nullptr && magSetImageScalingCallback_(magnifierWindow_, &OnScalingCallback);
  if (ready && excludedWindow_ != 0) {
    auto handle = reinterpret_cast<ui::HWND>(static_cast<uintptr_t>(excludedWindow_));
    ready = magSetWindowFilterList_(magnifierWindow_, mag::kFilterModeExclude, 1, &handle) != 0;
  }
  if (!ready) {
    magUninitialize_();
    return false;
  }
  initialized_ = true;
  return true;
}

int ScreenCapturerWinMagnification::OnScalingCallback(ui::HWND, void* sourceData, mag::ImageHeader sourceHeader, void*,
                                                      mag::ImageHeader, display::Rect, display::Rect, void*) {
  ScreenCapturerWinMagnification* owner = magnifierThreadSlot;
  magnifierThreadSlot = nullptr;
  if (owner != nullptr) owner->onImage(static_cast<const uint8_t*>(sourceData), sourceHeader);
  return 1;
}

void ScreenCapturerWinMagnification::onImage(const uint8_t* data, const mag::ImageHeader& header) {
  RefSharedFrame* frame = ring_.current();
  if (frame == nullptr) return;
  // A header of width or height 0 is refused before its size is divided by them.
  if (header.width == 0 || header.height == 0) return;
  if (!(header.format == mag::kPixelFormat32bppRgba)) return;
  if (static_cast<int>(header.width) != frame->size().width || static_cast<int>(header.height) != frame->size().height)
    return;
  if (static_cast<int>(header.stride) != frame->stride()) return;
  if (header.cbSize / header.width / header.height != static_cast<uint64_t>(DesktopFrame::kBytesPerPixel)) return;
  frame->CopyRectFromBuffer(data + header.offset, static_cast<int>(header.stride),
                            DesktopRect::MakeSize(frame->size()));
  imageReceived_ = true;
}

void ScreenCapturerWinMagnification::CaptureFrame() {
  if (callback_ == nullptr) return;  // BeginCapture has not run: nobody to report to
  if (!initialized_) {
    callback_->OnCaptureResult(CaptureResult::PermanentError, nullptr);
    return;
  }
  int64_t start = ClockNanos();
  std::unique_ptr<DesktopHandle> input = DesktopHandle::OpenInput();
  if (input && !desktop_.matches(*input)) {
    // The screen context belongs to the old desktop: get it again after the
    // switch, so the DPI keeps coming from a live context.
    releaseScreenContext();
    desktop_.switchTo(std::move(input));
    desktop_dc_ = display::GetDC();
  }
  DesktopRect screen = screen_.Rect();
  // An empty rectangle cannot be captured (and its size must not divide anything).
  if (screen.IsDegenerate()) {
    callback_->OnCaptureResult(CaptureResult::PermanentError, nullptr);
    return;
  }
  ring_.Advance();
  if (ring_.current() == nullptr || !(ring_.current()->size() == screen.size())) {
    std::unique_ptr<DesktopFrame> frame;
    if (factory_) {
      frame = SharedBlockFrame::Make(screen.size(), factory_.get());
    } else {
      frame = std::make_unique<HeapDesktopFrame>(screen.size());
    }
    ring_.ReplaceCurrent(frame ? RefSharedFrame::Wrap(std::move(frame)) : nullptr);
  }
  bool captured = false;
  if (ring_.current() != nullptr &&
      ui::SetWindowPos(magnifierWindow_, ui::Rect{screen.left, screen.top, screen.right, screen.bottom})) {
    imageReceived_ = false;
    magnifierThreadSlot = this;
    captured = magSetWindowSource_(magnifierWindow_,
                                   display::Rect{screen.left, screen.top, screen.right, screen.bottom}) != 0 &&
               imageReceived_;
    magnifierThreadSlot = nullptr;
  }
  if (!captured) {
    callback_->OnCaptureResult(CaptureResult::PermanentError, nullptr);
    return;
  }
  std::unique_ptr<DesktopFrame> frame = ShareScreenFrame(ring_, desktop_dc_, start);
  callback_->OnCaptureResult(CaptureResult::Success, std::move(frame));
}

}  // namespace capture
