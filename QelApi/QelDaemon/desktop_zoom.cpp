#include "QelDaemon/desktop_zoom.h"

#include <chrono>
#include <cstdlib>
#include <string>

#include "common/subprocess.h"

namespace qel {
namespace {

// The DPI at which desktops draw at 100 %.
constexpr double kBaseDpi = 96.0;

// Reads a non-negative decimal number (digits with an optional fraction) in the
// "C" convention; nothing else is accepted.
bool ParseDpi(std::string_view text, double& out) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  double value = 0;
  bool digits = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    digits = true;
  }
  if (i < text.size() && text[i] == '.') {
    double scale = 0.1;
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10) {
      value += (text[i] - '0') * scale;
      digits = true;
    }
  }
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
  if (!digits || i != text.size()) return false;
  out = value;
  return true;
}

}  // namespace

double ZoomFromXrdbOutput(std::string_view text) {
  constexpr std::string_view kKey = "Xft.dpi:";
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (line.substr(0, kKey.size()) == kKey) {
      double dpi = 0;
      if (ParseDpi(line.substr(kKey.size()), dpi) && dpi > 0) return dpi / kBaseDpi;
      return 1.0;
    }
    start = end + 1;
  }
  return 1.0;
}

double GetDesktopZoom() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || display[0] == '\0') return 1.0;
  // xrdb answers at once from the X server's resource database; the bound
  // keeps an unreachable display from holding the event loop.
  CapturedRun run = runAndCapture({"xrdb", "-query"}, false, std::chrono::seconds(2));
  if (!run.started || run.exitCode != 0) return 1.0;
  return ZoomFromXrdbOutput(run.output);
}

}  // namespace qel
