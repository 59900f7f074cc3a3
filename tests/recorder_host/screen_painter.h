// A small X client for the recording tests: paints the whole root window of a
// server with given colours one after another, at a fixed pace, on its own
// thread, and then keeps the last one. Xlib stays inside the .cpp (its macros
// clash with GoogleTest's names).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace qelhost::test {

class ScreenPainter {
 public:
  explicit ScreenPainter(const std::string& display);
  ~ScreenPainter();
  ScreenPainter(const ScreenPainter&) = delete;
  ScreenPainter& operator=(const ScreenPainter&) = delete;

  bool ok() const { return display_ != nullptr; }
  // Paints colours[0] (0xRRGGBB) at once, then each next one `pace` later.
  void Start(std::vector<uint32_t> colours, std::chrono::milliseconds pace);

 private:
  void Paint(uint32_t colour);

  void* display_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace qelhost::test
