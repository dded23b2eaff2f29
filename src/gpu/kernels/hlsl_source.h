// The Direct3D back end's two HLSL sources as the plug-in carries them, each compiled at
// run time on its own.
#pragma once

#include <cstddef>

namespace raydrift::d3d11 {

inline constexpr std::size_t kHlslSourceCount = 2;
// The streak kernels (constant block Settings, register b0), then the frame kernels
// (FrameSettings, b1).
extern const char* const kHlslSources[kHlslSourceCount];

}  // namespace raydrift::d3d11
