// Controls of the software Direct3D 11 device behind our stand-in declarations: the
// failures a test injects and the dispatches the device recorded. The device runs the
// HLSL kernels' C++ build (hlsl/), compiled from the text the plug-in embeds.
#pragma once

#include <string>
#include <vector>

#include "d3d11.h"

namespace rdd3d {

struct Faults {
    HRESULT createDevice = 0;      // D3D11CreateDevice fails with this when non-zero
    bool fp64 = true;              // double-precision shader operations reported
    std::string failCompile;       // D3DCompile fails for this entry point
    bool memoryQuery = true;       // IDXGIAdapter3 available for the budget query
    UINT64 budget = UINT64{1} << 40;
    UINT64 currentUsage = 0;
    HRESULT createBuffer = 0;      // CreateBuffer (not constant buffers) fails with this
};

// The faults in force; read when the device, a shader or a buffer is created.
Faults& faults();
void resetFaults();

// Runs the kernels from now on as the SPIR-V that glslang makes of the HLSL text, on the
// first Vulkan device with double precision (vulkan_compute.h), or again as their C++
// build; false, and nothing changes, when no such device is there. `device` gets its name.
bool useVulkan(bool on, std::string* device = nullptr);

// The entry point of every dispatch since the last clear, in order.
std::vector<std::string> dispatches();
void clearDispatches();

}  // namespace rdd3d
