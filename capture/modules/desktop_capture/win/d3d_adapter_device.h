// One graphics adapter's device, its immediate context and the adapter itself,
// as the duplication code holds them (shared references).
//
// Thread safety: used under the duplication hub's lock.
#pragma once

#include <memory>
#include <vector>

#include "platform/display/duplication.h"

namespace capture {

struct D3dAdapterDevice {
  std::shared_ptr<platform::display::dxgi::Device> device;
  std::shared_ptr<platform::display::dxgi::DeviceContext> context;
  std::shared_ptr<platform::display::dxgi::Adapter> adapter;
};

// A device for every adapter that can make one, in adapter order; empty when
// there is no factory or no usable adapter.
std::vector<D3dAdapterDevice> EnumerateD3dDevices();

}  // namespace capture
