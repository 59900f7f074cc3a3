#include "capture/modules/desktop_capture/win/d3d_adapter_device.h"

namespace capture {

namespace dxgi = platform::display::dxgi;

// Failures other than "not found" skip an index; a driver that fails every
// index must not keep the walk going for ever.
constexpr uint32_t kMaxAdapters = 64;

std::vector<D3dAdapterDevice> EnumerateD3dDevices() {
  std::vector<D3dAdapterDevice> devices;
  std::shared_ptr<dxgi::Factory> factory;
  if (dxgi::Failed(dxgi::CreateFactory(&factory)) || !factory) return devices;
  for (uint32_t index = 0; index < kMaxAdapters; ++index) {
    std::shared_ptr<dxgi::Adapter> adapter;
    dxgi::Result result = factory->EnumAdapters(index, &adapter);
    if (result == dxgi::kNotFound) break;
    if (dxgi::Failed(result) || !adapter) continue;
    D3dAdapterDevice entry;
    entry.adapter = adapter;
    if (dxgi::Failed(dxgi::CreateDevice(adapter, dxgi::kCreateBgraSupport | dxgi::kCreateSingleThreaded, &entry.device,
                                        &entry.context)) ||
        !entry.device || !entry.context) {
      continue;
    }
    if (dxgi::Failed(entry.device->QueryDxgiDevice())) continue;
    devices.push_back(std::move(entry));
  }
  return devices;
}

}  // namespace capture
