// The kernel source as the plug-in carries it, and the two constant blocks as C++ types
// taken from the very declarations the kernels compile.
#pragma once

#include <cstddef>
#include <type_traits>

namespace raydrift::metal {

#include "gpu/kernels/params.metal"
#include "gpu/kernels/host_params.metal"

// The kernels' constant block (Params), filled per frame.
using Constants = Params;

static_assert(sizeof(Constants) == 192 && std::is_standard_layout_v<Constants>);
static_assert(offsetof(Params, iw) == 0 && offsetof(Params, cs) == 32 && offsetof(Params, radius) == 48 &&
              offsetof(Params, margin) == 64 && offsetof(Params, sx) == 80 && offsetof(Params, view) == 96 &&
              offsetof(Params, lowCut) == 112 && offsetof(Params, saturation) == 128 &&
              offsetof(Params, tr) == 144 && offsetof(Params, inverseHi) == 160 &&
              offsetof(Params, modulationLo) == 176 && offsetof(Params, reserved1) == 188);
static_assert(sizeof(HostParams) == 17 * 4 && offsetof(HostParams, w) == 0 &&
              offsetof(HostParams, dx) == 32 && offsetof(HostParams, rejectNegative) == 64);

// Constant block, spatial kernels, colour and compositing kernels, host constant block,
// host kernels: concatenated in this order they are the source handed to the compiler.
inline constexpr std::size_t kKernelPieceCount = 5;
extern const char* const kKernelPieces[kKernelPieceCount];

}  // namespace raydrift::metal
