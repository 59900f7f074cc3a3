// The simulated display that tests set up and paint: ordered display devices
// with names, keys, active flags, mode rectangles and rotation; one BGRA
// framebuffer per device in desktop orientation; a window table and a process
// table. The simulated backing of display.h serves from this state.
//
// Pixels are given as 32-bit values 0xAARRGGBB, which lie in memory as blue,
// green, red, alpha, like the frames.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/display/display.h"

namespace platform::display::sim {

struct Device {
  std::wstring name;
  std::wstring description = L"Simulated display";
  std::wstring key;
  bool active = true;
  bool primary = false;
  std::optional<Rect> mode;  // position and size on the virtual screen; none: no current mode
  int rotation = 0;          // clockwise quarter turns of the monitor
  // Duplication side.
  int adapter = 0;
  int outputSlot = 0;    // order among its adapter's outputs; -1: no duplication output
  bool attached = true;  // attached to the desktop, as the output describes itself
  bool imageInSystemMemory = false;
  int format = 87;     // 32-bit BGRA
  bool listed = true;  // false: only the duplication side sees it (no display device)
};

// Back to the start state: one active primary device "\\.\DISPLAY1"
// (1920 x 1080 at 0, 0), DPI 96, no windows, no processes; faults of the
// display calls and violations are kept (platform::resetFaults clears them).
void Reset();
// Replaces the devices; framebuffers are made (black) for every device with a mode.
void SetDevices(std::vector<Device> devices);
// Replaces one device; its framebuffer is kept when the mode size stays.
void UpdateDevice(size_t index, const Device& device);
std::vector<Device> Devices();
void SetDpi(int dpi);

// A device with the usual name and key for `index` ("\\.\DISPLAY<index+1>").
Device MakeDevice(int index, Rect mode, bool primary = false);

// Painting in the device's own coordinates (0, 0 is its top-left corner).
// Out-of-range parts are ignored.
void Fill(size_t device, Rect rect, uint32_t color);
void SetPixel(size_t device, int x, int y, uint32_t color);
// Copies `source` to (destinationX, destinationY) inside one framebuffer and
// records it as a move for the duplication side.
void Move(size_t device, Rect source, int destinationX, int destinationY);
// 0 outside the framebuffer.
uint32_t Pixel(size_t device, int x, int y);
// The pixel at a virtual-screen position (device order decides overlaps), 0 where no device is.
uint32_t ScreenPixel(int x, int y);

struct WindowEntry {
  std::wstring title;
  std::wstring className;
  uint32_t pid = 0;
  uint32_t style = 0;
};
Window AddWindow(const WindowEntry& window);
void RemoveWindow(Window window);
// A window's placement (until set: an empty frame, no owner, visible, not
// minimised); RestoreWindow clears `minimized`. Nothing for an unknown window.
void SetWindowPlacement(Window window, const WindowPlacement& placement);
std::optional<WindowPlacement> GetWindowPlacement(Window window);

void AddProcess(uint32_t pid, const std::wstring& imagePath);
void RemoveProcess(uint32_t pid);
// Process handles opened and not yet closed.
int OpenProcessHandles();

// Desktops: the one receiving input ("Default" at the start; "Winlogon" is the
// secure desktop). A thread starts on "Default".
void SetInputDesktop(const std::wstring& name);
// Composition as the last DwmEnableComposition call left it (on at the start),
// and how many calls were made.
bool CompositionEnabled();
int CompositionCalls();
void SetSessionId(uint32_t session);

// Device contexts, bitmaps, sections and desktop handles alive (leak checks).
int LiveGdiObjects();

// Scenario knobs of the duplication side.
struct DuplicationKnobs {
  bool blankImages = false;   // acquired images are all zero
  bool noMetadata = false;    // images come without move and dirty rectangles
  bool neverDeliver = false;  // every acquire times out
};
void SetDuplicationKnobs(const DuplicationKnobs& knobs);
// Duplication objects (factories, adapters, devices, outputs, duplications,
// images, textures, surfaces) alive.
int LiveDuplicationObjects();
// Acquires that returned an image.
uint64_t ImagesDelivered();

}  // namespace platform::display::sim
