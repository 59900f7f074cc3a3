#include "recorder_host/screen_painter.h"

#include <X11/Xlib.h>

namespace qelhost::test {

ScreenPainter::ScreenPainter(const std::string& display) : display_(XOpenDisplay(display.c_str())) {}

ScreenPainter::~ScreenPainter() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (display_ != nullptr) XCloseDisplay(static_cast<Display*>(display_));
}

void ScreenPainter::Paint(uint32_t colour) {
  auto* display = static_cast<Display*>(display_);
  const Window root = DefaultRootWindow(display);
  // A 24-bit TrueColor screen takes the RGB value as its pixel.
  XSetWindowBackground(display, root, colour);
  XClearWindow(display, root);
  XSync(display, False);
}

void ScreenPainter::Start(std::vector<uint32_t> colours, std::chrono::milliseconds pace) {
  if (colours.empty() || display_ == nullptr) return;
  Paint(colours[0]);
  thread_ = std::thread([this, colours = std::move(colours), pace] {
    auto next = std::chrono::steady_clock::now();
    for (size_t i = 1; i < colours.size() && !stop_; ++i) {
      next += pace;
      std::this_thread::sleep_until(next);
      Paint(colours[i]);
    }
  });
}

}  // namespace qelhost::test
