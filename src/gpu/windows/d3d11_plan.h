// The Direct3D 11 back end's decisions, apart from the device: which kernels a streak
// stage runs, whether a stage may run at all (double precision, sampled workload, memory
// budget), the buffer limits, and the check of a host world handed over in its own
// layout. Every refusal is a std::runtime_error whose message is the fallback reason;
// the entry points turn it into "declined", and the caller renders on the CPU.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "image/streak.h"
#include "settings/render_settings.h"

namespace raydrift::d3d11 {

// The streak source's kernels, in the order the context compiles them.
enum class StreakKernel {
    Rotate,
    Horizontal,
    Vertical,
    Crop,
    Upscale,
    HorizontalRolling,
    VerticalRolling,
    ExtendOriginal,
    VerticalModulatedRolling,
    LuminanceMatte,
    HorizontalCpuPrefix,
    HorizontalCpuWindow,
};
inline constexpr int kStreakKernelCount = 12;
// The entry names of the streak source, indexed by StreakKernel.
extern const char* const kStreakEntries[kStreakKernelCount];
// The entry names of the frame source, in compile order.
inline constexpr int kFrameKernelCount = 5;
extern const char* const kFrameEntries[kFrameKernelCount];
// The kernels that sum in double precision, skipped on a device without it.
bool needsDoubles(StreakKernel kernel);

// Color Dodge composited over the source (any view but Black and Alpha): the streaks
// must carry the CPU's precision.
bool precisionSensitive(RenderSettings const& settings);

// The kernels a streak stage dispatches, in order, for geometry `g` (see streak.h).
std::vector<StreakKernel> streakPasses(image::StreakGeometry const& g, RenderSettings const& settings,
                                       bool fp64, bool needsMargin);

// Throws the streak stage's refusals before anything is allocated: Color Dodge without
// double precision, then the sampled workload of a float vertical pass.
void checkStreakStage(image::StreakGeometry const& g, RenderSettings const& settings, bool fp64);

// The adapter's local video memory as DXGI reports it.
struct MemoryInfo {
    std::uint64_t budget = 0;
    std::uint64_t currentUsage = 0;
};
// Throws `message` when `extraBytes` exceed nine tenths of what the budget leaves; no
// check without memory information.
void checkBudget(std::optional<MemoryInfo> const& info, std::uint64_t extraBytes, const char* message);
// Bytes a frame's buffers add to those already cached, role by role (a buffer that grows
// replaces the cached one).
std::uint64_t extraBytes(std::vector<std::uint64_t> const& cached, std::vector<std::uint64_t> const& needed);

extern const char* const kStageBudgetMessage;  // matte and streak stage
extern const char* const kFrameBudgetMessage;  // whole frames, on images or host worlds

// Byte size of a structured buffer; "GPU buffer too large" when it does not fit 64 bits.
std::uint64_t structuredBytes(std::uint64_t elements, std::uint64_t stride);
// A raw buffer of host pixels: a positive multiple of 4 below 4 GiB, else "Invalid
// native GPU buffer size".
std::uint32_t rawBytes(std::uint64_t bytes);

// A host pixel world in its own layout (see the layout codes in nativeBytesPerPixel).
struct NativeWorld {
    const void* input = nullptr;
    void* output = nullptr;
    std::int32_t width = 0;  // canvas
    std::int32_t height = 0;
    std::int32_t inputStride = 0;  // bytes per row
    std::int32_t outputStride = 0;
    std::int32_t inputLayout = 0;
    std::int32_t outputLayout = 0;
    std::int32_t sourceWidth = 0;  // 0: the canvas width, and so on
    std::int32_t sourceHeight = 0;
    std::int32_t sourceX = 0;
    std::int32_t sourceY = 0;
    std::int32_t destinationWidth = 0;
    std::int32_t destinationHeight = 0;
    std::int32_t destinationX = 0;
    std::int32_t destinationY = 0;
};
// Bytes per pixel of layout codes 0 (straight BGRA float), 1 (straight BGRA 8-bit),
// 2 (premultiplied ARGB 8-bit), 3 (premultiplied ARGB 16-bit, 32768 = 1), 4 (premultiplied
// ARGB float); 0 for any other code.
int nativeBytesPerPixel(std::int32_t layout);
// The world with zero sizes resolved to the canvas, or "Unsupported native world layout"
// when it cannot be read or written as described.
NativeWorld checkedNativeWorld(NativeWorld world);

}  // namespace raydrift::d3d11
